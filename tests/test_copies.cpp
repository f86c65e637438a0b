/* The program's limits and defaults where others must say them again: the
 * designer's and gallery's URL module, the deploy files and the server
 * configuration scripts/serve writes. Each copy must be the program's own
 * value. */
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "painters.h"
#include "pipeline.h"
#include "replies.h"
#include "test_util.h"
#include "vxmcgi.h"

using namespace swatchtest;

namespace
{

/* The value of `export const NAME = a * b * ...;` in a JavaScript module. */
long long JsConstant(const std::string &osSource, const std::string &osName)
{
    std::smatch oMatch;
    if (!std::regex_search(osSource, oMatch,
                           std::regex("export const " + osName + " = ([0-9 *]+);")))
        return -1;
    long long nValue = 1;
    const std::string osProduct = oMatch[1];
    const std::regex oNumber("[0-9]+");
    for (std::sregex_iterator it(osProduct.begin(), osProduct.end(), oNumber), end; it != end;
         ++it)
        nValue *= std::stoll(it->str());
    return nValue;
}

/* Every match of the pattern's first group in the file, as numbers. */
std::vector<long long> Numbers(const std::string &osFile, const std::string &osPattern)
{
    const std::string osText = ReadFile(SWATCH_SOURCE_DIR "/" + osFile);
    std::vector<long long> anValues;
    const std::regex oPattern(osPattern);
    for (std::sregex_iterator it(osText.begin(), osText.end(), oPattern), end; it != end; ++it)
        anValues.push_back(std::stoll((*it)[1].str()));
    return anValues;
}

} // namespace

TEST(Copies, LimitsAndDefaultsAreTheProgramsOwn)
{
    const std::string osModule = ReadFile(SWATCH_SOURCE_DIR "/web/swatch-url.js");
    EXPECT_EQ(JsConstant(osModule, "MAX_SIDE"), kMaxSwatchSide);
    EXPECT_EQ(JsConstant(osModule, "MAX_PIXELS"), kMaxSwatchPixels);
    EXPECT_EQ(JsConstant(osModule, "DEFAULT_SIDE"), kDefaultSwatchSide);
    EXPECT_EQ(JsConstant(osModule, "DEFAULT_HATCH_SPACING"), kDefaultHatchSpacing);
    EXPECT_EQ(JsConstant(osModule, "MAX_BODY_BYTES"), kVXMCgiMaxBodyBytes);
    EXPECT_EQ(JsConstant(osModule, "MIN_SIDE"), kMinSwatchSide);
    EXPECT_EQ(JsConstant(osModule, "MAX_SCALE"), kMaxSwatchScale);
    std::string osFormats;
    for (const char *pszName : kSwatchFormatNames)
        osFormats += std::string(osFormats.empty() ? "" : ", ") + '"' + pszName + '"';
    EXPECT_NE(osModule.find("export const FORMATS = [" + osFormats + "];"), std::string::npos)
        << osFormats;

    // Every server refuses the bodies the program refuses, and keeps a
    // swatch as long as the program says by default.
    const struct
    {
        const char *pszFile;
        const char *pszPattern;
        long long nExpected;
        size_t nCount;
    } asCopies[] = {
        {"deploy/apache-cgi.conf", "LimitRequestBody ([0-9]+)", kVXMCgiMaxBodyBytes, 1},
        {"deploy/apache-fastcgi.conf", "LimitRequestBody ([0-9]+)", kVXMCgiMaxBodyBytes, 1},
        {"deploy/apache-fastcgi.conf", "Content-Length\\}\" \">([0-9]+)\"", kVXMCgiMaxBodyBytes, 1},
        {"deploy/nginx-fastcgi.conf", "client_max_body_size ([0-9]+)k;", kVXMCgiMaxBodyBytes / 1024, 1},
        {"scripts/serve", "server.max-request-size = ([0-9]+)", kVXMCgiMaxBodyBytes / 1024, 1},
        {"deploy/apache-cgi.conf", "SWATCH_MAX_AGE ([0-9]+)", kDefaultSwatchMaxAge, 1},
        {"deploy/apache-fastcgi.conf", "SWATCH_MAX_AGE ([0-9]+)", kDefaultSwatchMaxAge, 1},
        {"deploy/nginx-fastcgi.conf", "SWATCH_MAX_AGE ([0-9]+);", kDefaultSwatchMaxAge, 1},
    };
    for (const auto &sCopy : asCopies)
    {
        SCOPED_TRACE(std::string(sCopy.pszFile) + ": " + sCopy.pszPattern);
        const std::vector<long long> anFound = Numbers(sCopy.pszFile, sCopy.pszPattern);
        EXPECT_EQ(anFound, std::vector<long long>(sCopy.nCount, sCopy.nExpected));
    }
}
