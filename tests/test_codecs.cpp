/* URL encoding, query strings and HTML entity decoding. */
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <cpl_conv.h>
#include <cpl_string.h>
#include <gtest/gtest.h>

#include "vxmcgi.h"

namespace
{

std::string Encode(const std::string &osText)
{
    char *pszEncoded = VXMCgiUrlEncode(osText.c_str());
    std::string osResult = pszEncoded;
    CPLFree(pszEncoded);
    return osResult;
}

std::string Latin1(std::string osText)
{
    VXMCgiDecodeEntitiesLatin1(&osText[0]);
    return std::string(osText.c_str());
}

std::string Ascii(std::string osText)
{
    VXMCgiDecodeEntitiesAscii(&osText[0]);
    return std::string(osText.c_str());
}

} // namespace

TEST(UrlEncode, Bytes)
{
    const struct
    {
        std::string osIn, osOut;
    } asCases[] = {
        {"", ""},
        {"a b", "a+b"},
        {"AZaz09-_.!~*'()", "AZaz09-_.!~*'()"},
        {"+", "%2B"},
        {"%", "%25"},
        {"&=", "%26%3D"},
        {"/?#", "%2F%3F%23"},
        {"\"", "%22"},
        {"\n", "%0A"},
        {"\xE9", "%E9"},
        {"\xFF", "%FF"},
        {"\x01\x7F\x80", "%01%7F%80"},
    };
    for (const auto &sCase : asCases)
        EXPECT_EQ(Encode(sCase.osIn), sCase.osOut) << sCase.osIn;
    EXPECT_EQ(VXMCgiUrlEncode(nullptr), nullptr);
}

TEST(UrlEncode, EveryByteRoundTripsThroughDecoding)
{
    for (int nByte = 1; nByte < 256; nByte++)
    {
        const std::string osText(1, static_cast<char>(nByte));
        std::string osEncoded = Encode(osText);
        // Escaped bytes take exactly three characters, others one.
        EXPECT_TRUE(osEncoded.size() == 1 || osEncoded.size() == 3) << nByte;
        VXMCgiUrlDecode(&osEncoded[0]);
        EXPECT_EQ(std::string(osEncoded.c_str()), osText) << nByte;
    }
}

TEST(UrlEncode, RandomTextsRoundTrip)
{
    std::mt19937 oRandom(20261207);
    std::uniform_int_distribution<int> oByte(1, 255);
    std::uniform_int_distribution<int> oLength(0, 64);
    for (int i = 0; i < 2000; i++)
    {
        std::string osText(static_cast<size_t>(oLength(oRandom)), ' ');
        for (char &ch : osText)
            ch = static_cast<char>(oByte(oRandom));
        std::string osEncoded = Encode(osText);
        ASSERT_EQ(osEncoded.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.!~*'()+%"),
                  std::string::npos);
        VXMCgiUrlDecode(&osEncoded[0]);
        ASSERT_EQ(std::string(osEncoded.c_str()), osText);
    }
}

TEST(QueryString, Building)
{
    const struct
    {
        const char *pszBase;
        std::vector<std::string> aosEntries;
        bool bNullList;
        std::string osResult;
    } asCases[] = {
        {nullptr, {}, true, ""},
        {nullptr, {}, false, ""},
        {"page", {}, false, "page"},
        {"page", {"a=1"}, false, "page?a=1"},
        {"page", {"a=1", "b=x y"}, false, "page?a=1&b=x+y"},
        {"page", {"flag"}, false, "page?flag="},
        {"page", {""}, false, "page?="},
        {"page", {"=v"}, false, "page?=v"},
        {"page", {"a=b=c"}, false, "page?a=b%3Dc"},
        {nullptr, {"a=1"}, false, "?a=1"},
        {"page?x=1", {"a=1"}, false, "page?x=1?a=1"},
        {"page", {"a&b=c d"}, false, "page?a%26b=c+d"},
        {"", {"\xE9=\xFF", "n=%"}, false, "?%E9=%FF&n=%25"},
    };
    for (const auto &sCase : asCases)
    {
        char **papszList = nullptr;
        for (const auto &osEntry : sCase.aosEntries)
            papszList = CSLAddString(papszList, osEntry.c_str());
        if (!sCase.bNullList && papszList == nullptr)
            papszList = static_cast<char **>(CPLCalloc(sizeof(char *), 1));
        char *pszResult = VXMCgiBuildQueryString(sCase.pszBase, papszList);
        ASSERT_NE(pszResult, nullptr);
        EXPECT_EQ(std::string(pszResult), sCase.osResult);
        // Every entry holds exactly what it held before.
        for (size_t i = 0; i < sCase.aosEntries.size(); i++)
            EXPECT_EQ(std::string(papszList[i]), sCase.aosEntries[i]);
        CPLFree(pszResult);
        CSLDestroy(papszList);
    }
}

TEST(QueryString, WorstCaseFitsTheBuffer)
{
    // Every byte escaped; under AddressSanitizer an undersized buffer fails.
    std::string osNasty(300, '\x01');
    osNasty[100] = '=';
    const std::string aosEntries[] = {osNasty, std::string(200, '&'), std::string(50, '=')};
    char **papszList = nullptr;
    for (const auto &osEntry : aosEntries)
        papszList = CSLAddString(papszList, osEntry.c_str());
    char *pszResult = VXMCgiBuildQueryString("base", papszList);
    const size_t nExpected = 4 + (1 + 3 * 100 + 1 + 3 * 199) + (1 + 3 * 200 + 1) +
                             (1 + 0 + 1 + 3 * 49);
    EXPECT_EQ(strlen(pszResult), nExpected);
    CPLFree(pszResult);
    CSLDestroy(papszList);
}

TEST(Entities, DecodingWithEitherTable)
{
    const struct
    {
        std::string osIn, osLatin1, osAscii;
    } asCases[] = {
        {"", "", ""},
        {"no entities here", "no entities here", "no entities here"},
        {"caf&eacute;", "caf\xE9", "cafe"},
        {"&Ccedil;a", "\xC7" "a", "Ca"},
        {"&lt;b&gt;", "<b>", "<b>"},
        {"a&nbsp;b", "a b", "a b"},
        {"&quot;q&quot;", "\"q\"", "\"q\""},
        {"&amp;amp;", "&amp;", "&amp;"},
        {"&AMP;", "&AMP;", "&AMP;"},
        {"&hellip;", "&hellip;", "&hellip;"},
        {"&eacute", "&eacute", "&eacute"},
        {"x & y", "x & y", "x & y"},
        {"&#65;", "A", "A"},
        {"&#233;", "\xE9", "\xE9"},
        {"&#321;", "A", "A"},
        {"&#-1;", "\xFF", "\xFF"},
        {"&# 66;", "B", "B"},
        {"&#65", "&#65", "&#65"},
        {"&#65x;", "A", "A"},
        {"&#99999999999999999;", std::string(1, static_cast<char>(99999999999999999ULL % 256)),
         std::string(1, static_cast<char>(99999999999999999ULL % 256))},
        {"&x&amp;", "&x&", "&x&"},
        {"&Icirc;&iuml;&Ucirc;", "\xCE\xEF\xDB", "IiU"},
    };
    for (const auto &sCase : asCases)
    {
        EXPECT_EQ(Latin1(sCase.osIn), sCase.osLatin1) << sCase.osIn;
        EXPECT_EQ(Ascii(sCase.osIn), sCase.osAscii) << sCase.osIn;
    }
}

TEST(Entities, EveryTableEntry)
{
    const char *apszNames[] = {"quot",   "amp",    "lt",     "gt",     "nbsp",   "eacute",
                               "Eacute", "egrave", "Egrave", "ecirc",  "Ecirc",  "euml",
                               "Euml",   "agrave", "Agrave", "acirc",  "Acirc",  "ocirc",
                               "Ocirc",  "ugrave", "Ugrave", "ucirc",  "Ucirc",  "icirc",
                               "Icirc",  "iuml",   "Iuml",   "ccedil", "Ccedil"};
    const unsigned char abyLatin1[] = {0x22, 0x26, 0x3C, 0x3E, 0x20, 0xE9, 0xC9, 0xE8, 0xC8, 0xEA,
                                       0xCA, 0xEB, 0xCB, 0xE0, 0xC0, 0xE2, 0xC2, 0xF4, 0xD4, 0xF9,
                                       0xD9, 0xFB, 0xDB, 0xEE, 0xCE, 0xEF, 0xCF, 0xE7, 0xC7};
    const char szAscii[] = "\"&<> eEeEeEeEaAaAoOuUuUiIiIcC";
    for (size_t i = 0; i < 29; i++)
    {
        const std::string osEntity = std::string("&") + apszNames[i] + ";";
        EXPECT_EQ(Latin1(osEntity), std::string(1, static_cast<char>(abyLatin1[i]))) << osEntity;
        EXPECT_EQ(Ascii(osEntity), std::string(1, szAscii[i])) << osEntity;
    }
}

TEST(Entities, WholeEntriesOnly)
{
    // The second "&" with "amp;" is no entry of its own: only "&amp;" is.
    EXPECT_EQ(Latin1("&&amp;"), "&&");
    EXPECT_EQ(Ascii("&&amp;"), "&&");
    EXPECT_EQ(Latin1("t&;"), "t&;");
    EXPECT_EQ(Latin1("&eacute;&quot"), "\xE9&quot");
}

TEST(Entities, NumericZeroStaysInTheText)
{
    for (const char *pszText : {"a&#0;b", "a&#256;b", "a&#;b", "a&#x41;b", "a&#-256;b"})
        EXPECT_EQ(Latin1(pszText), pszText);
    EXPECT_EQ(Latin1("&#0;&#65;"), "&#0;A");
}

TEST(Entities, TwentyByteLimit)
{
    // "&", "#", 17 digits and ";" make 20 bytes: decoded.
    const std::string osTwenty = "&#" + std::string(15, '0') + "65;";
    ASSERT_EQ(osTwenty.size(), 20u);
    EXPECT_EQ(Latin1(osTwenty + "z"), "Az");
    const std::string osTwentyOne = "&#" + std::string(16, '0') + "65;";
    EXPECT_EQ(Latin1(osTwentyOne), osTwentyOne);
}

TEST(Entities, StaysInsideTheText)
{
    // The text sits at the very end of its own allocation, so a read past the
    // terminator or a write past the text is caught by AddressSanitizer.
    const struct
    {
        const char *pszIn, *pszOut;
    } asCases[] = {
        {"&", "&"},         {"&#", "&#"},        {"&#6", "&#6"},       {"&eacute", "&eacute"},
        {"&#65;", "A"},     {"x&amp;", "x&"},    {"&&&&&&&&&&&&&&&&&&&&&&&&", "&&&&&&&&&&&&&&&&&&&&&&&&"},
        {"&aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "&aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},
    };
    for (const auto &sCase : asCases)
    {
        const size_t nSize = strlen(sCase.pszIn) + 1;
        char *pszCopy = static_cast<char *>(malloc(nSize));
        memcpy(pszCopy, sCase.pszIn, nSize);
        VXMCgiDecodeEntitiesLatin1(pszCopy);
        EXPECT_STREQ(pszCopy, sCase.pszOut);
        free(pszCopy);
    }
    VXMCgiDecodeEntitiesLatin1(nullptr);
}

TEST(Entities, CustomTable)
{
    std::string osText = "&one;&two;&one";
    VXMCgiDecodeEntities(&osText[0], "1&one;2&two;");
    EXPECT_EQ(std::string(osText.c_str()), "12&one");
}
