/* Hostile requests: every one gets its documented reply, within a bound on
 * wall-clock time and peak memory measured from outside the process. */
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "inprocess.h"
#include "test_util.h"

using namespace swatchtest;

namespace
{

constexpr double kSlowdown = kSanitizerSlowdown;

enum class Reply
{
    Image,
    Banner,
    Error
};

struct HostileCase
{
    const char *pszName;
    std::string osPath, osQuery, osMethod, osBody, osLength;
    Reply eReply;
    int nWidth, nHeight; /* of the image */
    double dfMaxSeconds;
    long nMaxMb;
};

/* Checks one reply against the case's expectations and bounds. */
void CheckReply(const HostileCase &sCase, const RunResult &sRun)
{
    SCOPED_TRACE(sCase.pszName);
    EXPECT_EQ(sRun.nSignal, 0);
    const std::string &osOut = sRun.osStdout;
    switch (sCase.eReply)
    {
        case Reply::Image:
        {
            EXPECT_EQ(sRun.nExitStatus, 0) << osOut.substr(0, 200);
            ASSERT_EQ(osOut.rfind(kImageHeader, 0), 0u) << osOut.substr(0, 200);
            GifInfo sGif;
            ASSERT_TRUE(ParseGif(osOut.substr(kImageHeader.size()), sGif));
            EXPECT_EQ(sGif.nWidth, sCase.nWidth);
            EXPECT_EQ(sGif.nHeight, sCase.nHeight);
            break;
        }
        case Reply::Banner:
            EXPECT_EQ(sRun.nExitStatus, 1);
            EXPECT_EQ(osOut.rfind(kBannerStart, 0), 0u);
            break;
        case Reply::Error:
            EXPECT_EQ(sRun.nExitStatus, 1);
            EXPECT_TRUE(osOut.rfind(kRefusedHeader + "ERROR ", 0) == 0 ||
                        osOut.rfind(kTooLongHeader + "ERROR 413: ", 0) == 0 ||
                        osOut.rfind(kFailedHeader + "ERROR ", 0) == 0)
                << osOut;
            break;
    }
    EXPECT_LE(sRun.dfSeconds, sCase.dfMaxSeconds * kSlowdown);
    EXPECT_LE(sRun.nMaxRssKb, sCase.nMaxMb * 1024 * kSlowdown);
    printf("%-40s %7.3f s %7ld MB\n", sCase.pszName, sRun.dfSeconds, sRun.nMaxRssKb / 1024);
}

std::map<std::string, std::string> CgiVariables(const HostileCase &sCase)
{
    std::map<std::string, std::string> oEnv = CgiGet(sCase.osPath, sCase.osQuery);
    oEnv["REQUEST_METHOD"] = sCase.osMethod;
    if (!sCase.osLength.empty())
        oEnv["CONTENT_LENGTH"] = sCase.osLength;
    return oEnv;
}

std::string Repeat(const std::string &osPiece, size_t nTimes)
{
    std::string osText;
    osText.reserve(osPiece.size() * nTimes);
    for (size_t i = 0; i < nTimes; i++)
        osText += osPiece;
    return osText;
}

const std::string kBinaryBody = std::string("Color=00FF00&\0\x01\xff\xfe&&==%%", 24);

} // namespace

/* Requests a web server can pass: each CGI variable below 128 KiB. */
TEST(HostileRequests, ThroughTheProgram)
{
    const std::vector<HostileCase> asCases = {
        {"zero size", "/0/0", "", "GET", "", "", Reply::Image, 2, 2, 1, 60},
        {"negative size", "/-5/-7", "", "GET", "", "", Reply::Image, 2, 2, 1, 60},
        {"non-numeric fields", "/abc/def/ghi/x/y", "", "GET", "", "", Reply::Image, 2, 2, 1, 60},
        {"only slashes", "//////", "", "GET", "", "", Reply::Image, 50, 50, 1, 60},
        {"at the pixel limit", "/8192/8192", "", "GET", "", "", Reply::Image, 8192, 8192, 5, 250},
        {"one column past the limit", "/8193/8192", "", "GET", "", "", Reply::Error, 0, 0, 1, 60},
        {"beyond int", "/99999999999999999999/5", "", "GET", "", "", Reply::Error, 0, 0, 1, 60},
        {"side longer than a GIF holds", "/65536/2", "", "GET", "", "", Reply::Error, 0, 0, 1, 60},
        {"worst hatch", "/8192/8192",
         "LineType=Hatch&HatchType=5&HatchSpacing=1&LineWidth=8192&LineStyle=x+xx", "GET", "", "",
         Reply::Image, 8192, 8192, 10, 300},
        {"worst zig-zag", "/8192/8192", "LineType=ZigZag&LineWidth=99999", "GET", "", "",
         Reply::Image, 8192, 8192, 10, 300},
        {"worst grid", "/65535/1024", "LineType=Hatch&HatchType=6&HatchSpacing=1", "GET", "", "",
         Reply::Image, 65535, 1024, 10, 300},
        {"tall filled circle", "/3/65535", "SymbolId=6&SymbolSize=65000", "GET", "", "",
         Reply::Image, 3, 65535, 5, 200},
        {"huge symbol sizes", "/40/40", "SymbolId=5&SymbolSize=2147483647", "GET", "", "",
         Reply::Image, 40, 40, 1, 60},
        {"huge hatch spacing and width", "/40/40",
         "LineType=Hatch&HatchType=5&HatchSpacing=2147483647&LineWidth=2147483647", "GET", "", "",
         Reply::Image, 40, 40, 1, 60},
        {"malformed percent sequences", "/4/4",
         "Color=%&LineStyle=%%&x=%G&y=%zz&z=%00&w=%2&v=%", "GET", "", "", Reply::Image, 4, 4, 1,
         60},
        {"100 KiB query string", "/40/20", "LineStyle=" + std::string(100 * 1024, 'x'), "GET", "",
         "", Reply::Image, 40, 20, 2, 80},
        {"100 KiB path", "/40/20" + Repeat("/9", 50 * 1024), "", "GET", "", "", Reply::Image, 40, 20,
         2, 80},
        {"length larger than the body", "/4/4", "", "POST", "Color=00FF00", "65536",
         Reply::Image, 4, 4, 1, 60},
        // A body longer than any swatch request is refused unread.
        {"length past the body limit", "/4/4", "", "POST", "Color=00FF00", "65537",
         Reply::Error, 0, 0, 1, 60},
        {"16 MiB of parameters posted", "/4/4", "", "POST", Repeat("a=1&", 4 << 20),
         std::to_string(16 << 20), Reply::Error, 0, 0, 1, 60},
        {"negative length", "/4/4", "", "POST", "Color=00FF00", "-1", Reply::Image, 4, 4, 1, 60},
        {"length beyond int", "/4/4", "", "POST", "Color=00FF00", "99999999999999999999",
         Reply::Error, 0, 0, 1, 60},
        {"letters after the length", "/4/4", "", "POST", "Color=00FF00", "12abc", Reply::Image, 4,
         4, 1, 60},
        {"binary body with zero bytes", "/4/4", "", "POST", kBinaryBody,
         std::to_string(kBinaryBody.size()), Reply::Image, 4, 4, 1, 60},
        {"empty path", "", "LineStyle=x", "GET", "", "", Reply::Banner, 0, 0, 1, 60},
    };
    for (const auto &sCase : asCases)
        CheckReply(sCase, RunProgram(SWATCH_EXE, {}, CgiVariables(sCase), sCase.osBody));
}

/* Values larger than an environment passed to a new program can hold
 * (128 KiB a variable), answered in a forked process. */
TEST(HostileRequests, GiantValuesInProcess)
{
    std::string osManyParameters = Repeat("a=1&", 100000) + "Color=00FF00";
    const std::vector<HostileCase> asCases = {
        {"1 MiB path", "/10/10" + Repeat("/7", 512 * 1024), "", "GET", "", "", Reply::Image, 10,
         10, 2, 120},
        {"1 MiB number in the path", "/" + std::string(1 << 20, '9'), "", "GET", "", "",
         Reply::Error, 0, 0, 2, 120},
        {"1 MiB query string", "/40/20", "LineStyle=" + Repeat("x%20", 256 * 1024), "GET", "",
         "", Reply::Image, 40, 20, 2, 150},
        {"100,000 parameters", "/8/8", osManyParameters, "GET", "", "", Reply::Image, 8, 8, 5,
         150},
        {"100,000 parameters posted, refused unread", "/8/8", "", "POST", osManyParameters,
         std::to_string(osManyParameters.size()), Reply::Error, 0, 0, 5, 150},
    };
    for (const auto &sCase : asCases)
    {
        const RunResult sRun = RunForked([&sCase]() {
            const InProcessReply sReply = AnswerInProcess(CgiVariables(sCase), sCase.osBody);
            fwrite(sReply.osOutput.data(), 1, sReply.osOutput.size(), stdout);
            return sReply.nStatus;
        });
        CheckReply(sCase, sRun);
    }
}

/* The reader goes away part-way through the GIF, with SIGPIPE ignored as
 * some servers leave it: the program must not claim success. */
TEST(HostileRequests, ReaderGoesAwayDuringTheImage)
{
    const std::string osCommand =
        "trap '' PIPE; "
        "PATH_INFO=/8000/8000 "
        "QUERY_STRING='LineType=Hatch&HatchType=5&HatchSpacing=2&LineStyle=x+xx++x' "
        "SCRIPT_NAME=/x " SWATCH_EXE " | head -c 100 >/dev/null; "
        "exit ${PIPESTATUS[0]}";
    const RunResult sRun = RunProgram("/bin/bash", {"-c", osCommand}, {});
    EXPECT_NE(sRun.nExitStatus, 0);
    EXPECT_LE(sRun.dfSeconds, 10 * kSlowdown);
}
