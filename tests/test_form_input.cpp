/* Form input: URL decoding, splitting and the choice between POST body and
 * query string. */
#include <climits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"
#include "vxmcgi.h"

using namespace swatchtest;

namespace
{

std::string Decode(std::string osText)
{
    VXMCgiUrlDecode(&osText[0]);
    return std::string(osText.c_str()); // up to the first zero byte
}

std::vector<std::string> ToVector(char **papszList)
{
    std::vector<std::string> aos;
    for (char **papszIter = papszList; papszIter && *papszIter; ++papszIter)
        aos.emplace_back(*papszIter);
    return aos;
}

/* Parses the form input under the given CGI variables and stdin bytes. */
std::vector<std::string> Parse(const std::map<std::string, std::optional<std::string>> &oVars,
                               const std::string &osStdin = "", bool *pbNull = nullptr)
{
    ScopedEnv oEnv;
    ClearCgiEnvironment(oEnv);
    for (const auto &oVar : oVars)
        oEnv.Set(oVar.first, oVar.second);
    ScopedStdin oStdin(osStdin);
    char **papszList = VXMCgiParseInput();
    if (pbNull)
        *pbNull = papszList == nullptr;
    std::vector<std::string> aos = ToVector(papszList);
    CSLDestroy(papszList);
    return aos;
}

} // namespace

TEST(UrlDecode, DecodesPlusAndPercentSequences)
{
    const struct
    {
        const char *pszIn;
        std::string osOut;
    } asCases[] = {
        {"a+b%20c", "a b c"},
        {"%41", "A"},
        {"%7e", "~"},
        {"%7E", "~"},
        {"%zz", "S"},          // Z reads as 35: 16 * 35 + 35 = 595 = 0x253
        {"%ZZ", "S"},
        {"%G1", "\x01"},       // G reads as 16: 256 + 1 = 0x101
        {"%%41", "\xE4" "1"},  // "%" reads as -18: -288 + 4 = -284 = 0xE4 mod 256
        {"%2", "%2"},          // fewer than two characters follow
        {"%", "%"},
        {"100%", "100%"},
        {"a%", "a%"},
        {"", ""},
        {"plain", "plain"},
        {"%e9t%C3%A9", "\xE9t\xC3\xA9"},
        {"%2B%26%3D", "+&="},
    };
    for (const auto &sCase : asCases)
        EXPECT_EQ(Decode(sCase.pszIn), sCase.osOut) << sCase.pszIn;
}

TEST(UrlDecode, DecodedZeroByteEndsTheText)
{
    EXPECT_EQ(Decode("ab%00cd"), "ab");
    EXPECT_EQ(Decode("%g0tail"), ""); // 16 * 16 + 0 = 256, which is 0 modulo 256
}

TEST(UrlDecode, NullAndEmptyTextsAreLeftAlone)
{
    VXMCgiUrlDecode(nullptr);
    EXPECT_EQ(Decode(""), "");
}

TEST(ParseInput, QueryStringPieces)
{
    const struct
    {
        const char *pszQuery;
        std::vector<std::string> aosExpected;
    } asCases[] = {
        {"", {}},
        {"&", {"", ""}},
        {"a=1&", {"a=1", ""}},
        {"&a=1", {"", "a=1"}},
        {"a=1&&b=2", {"a=1", "", "b=2"}},
        {"flag&a=1", {"flag", "a=1"}},
        {"v=x%26y&w=1", {"v=x&y", "w=1"}},          // split before decoding
        {"na%3Dme=v", {"na=me=v"}},
        {"q=%22quoted%22\"&r=back\\slash", {"q=\"quoted\"\"", "r=back\\slash"}},
        {"s=+a+b+", {"s= a b "}},
    };
    for (const auto &sCase : asCases)
        EXPECT_EQ(Parse({{"QUERY_STRING", sCase.pszQuery}}), sCase.aosExpected) << sCase.pszQuery;
}

TEST(ParseInput, NoInputGivesAnEmptyListNotNull)
{
    bool bNull = true;
    EXPECT_TRUE(Parse({}, "", &bNull).empty());
    EXPECT_FALSE(bNull);
}

TEST(ParseInput, PostBodyWinsOverQueryString)
{
    EXPECT_EQ(Parse({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "9"}, {"QUERY_STRING", "q=1"}},
                    "a=1&b=x+y"),
              (std::vector<std::string>{"a=1", "b=x y"}));
}

TEST(ParseInput, WhenTheBodyIsNotRead)
{
    const std::vector<std::string> aosQuery = {"q=1"};
    // Method in lower case, zero, negative or non-numeric length, no length.
    EXPECT_EQ(Parse({{"REQUEST_METHOD", "post"}, {"CONTENT_LENGTH", "3"}, {"QUERY_STRING", "q=1"}},
                    "a=1"),
              aosQuery);
    for (const char *pszLength : {"0", "-5", "abc", ""})
        EXPECT_EQ(Parse({{"REQUEST_METHOD", "POST"},
                         {"CONTENT_LENGTH", pszLength},
                         {"QUERY_STRING", "q=1"}},
                        "a=1"),
                  aosQuery)
            << pszLength;
    EXPECT_EQ(Parse({{"REQUEST_METHOD", "POST"}, {"QUERY_STRING", "q=1"}}, "a=1"), aosQuery);
    EXPECT_EQ(Parse({{"REQUEST_METHOD", "GET"}, {"CONTENT_LENGTH", "3"}, {"QUERY_STRING", "q=1"}},
                    "a=1"),
              aosQuery);
}

TEST(ParseInput, BodyLengthIsTakenAsAtoiReadsIt)
{
    // Only the announced bytes are read; trailing letters after the number
    // are ignored, and so are bytes beyond the length.
    EXPECT_EQ(Parse({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", " 3xyz"}}, "a=1&b=2"),
              (std::vector<std::string>{"a=1"}));
}

TEST(ParseInput, ShortBodyGivesWhatArrived)
{
    EXPECT_EQ(Parse({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "1000"}}, "a=1&b=2"),
              (std::vector<std::string>{"a=1", "b=2"}));
}

TEST(ParseInput, BodyPastTheLimitIsRefusedUnread)
{
    // Past the longest body a request may have, beyond the range of int
    // included: reported, and the body is not read.
    const CPLErrorHandlerPusher oQuiet(CPLQuietErrorHandler);
    for (const char *pszLength : {"65537", "2147483648", "99999999999999999999999"})
    {
        CPLErrorReset();
        EXPECT_EQ(Parse({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", pszLength}}, "a=1"),
                  std::vector<std::string>{})
            << pszLength;
        EXPECT_EQ(CPLGetLastErrorNo(), VXMCGIE_BodyTooLarge) << pszLength;
    }
    CPLErrorReset();
}

TEST(ParseInput, BodyUpToTheLimitIsReadWhole)
{
    // The longest body is read whole, and nothing after it.
    std::string osBody;
    for (int i = 0; osBody.size() < 65000; i++)
        osBody += "p=" + std::to_string(i) + "&";
    const std::string osLast = "last=" + std::string(65536 - osBody.size() - 5, 'y');
    osBody += osLast;
    const auto aosEntries = Parse({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "65536"}},
                                  osBody + "&beyond=1");
    ASSERT_GT(aosEntries.size(), 1000u);
    EXPECT_EQ(aosEntries[1000], "p=1000");
    EXPECT_EQ(aosEntries.back(), osLast);
}

TEST(ParseInput, ZeroByteInBodyEndsTheText)
{
    EXPECT_EQ(Parse({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "7"}},
                    std::string("a=1\0b=2", 7)),
              (std::vector<std::string>{"a=1"}));
}

TEST(Atoi, ReadsLikeAtoiAndSaturates)
{
    const struct
    {
        const char *pszText;
        int nValue;
    } asCases[] = {
        {"42", 42},          {"  -7x", -7},     {"+5", 5},   {"abc", 0},
        {"", 0},             {"- 5", 0},        {"\t12", 12}, {"2147483647", INT_MAX},
        {"2147483648", INT_MAX}, {"-2147483649", INT_MIN}, {"99999999999999999999999", INT_MAX},
    };
    for (const auto &sCase : asCases)
        EXPECT_EQ(VXMCgiAtoi(sCase.pszText), sCase.nValue) << sCase.pszText;
    EXPECT_EQ(VXMCgiAtoi(nullptr), 0);
}
