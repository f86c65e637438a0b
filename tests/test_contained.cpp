/* Requests answered one after another in one process, with errors that end
 * the request only. */
#include <fstream>
#include <string>
#include <sys/resource.h>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gtest/gtest.h>

#include "inprocess.h"
#include "swatch.h"
#include "test_util.h"
#include "vxmcgi.h"

using namespace swatchtest;

namespace
{

std::map<std::string, std::string> Get(const std::string &osPath, const std::string &osQuery = "")
{
    return {{"REQUEST_METHOD", "GET"},
            {"SCRIPT_NAME", "/cgi-bin/swatch"},
            {"PATH_INFO", osPath},
            {"QUERY_STRING", osQuery}};
}

const std::string kImageHeader = "Content-Type: image/gif\n\n";

} // namespace

TEST(ContainedRequest, ErrorEndsTheRequestAndTheNextOneIsServed)
{
    const InProcessReply sError = AnswerInProcess(Get("/9000/9000"), "");
    EXPECT_EQ(sError.nStatus, 1);
    EXPECT_EQ(sError.osOutput.rfind("Content-type: text/plain\n\nERROR 5: ", 0), 0u)
        << sError.osOutput;

    const InProcessReply sImage = AnswerInProcess(Get("/3/2", "Color=00FF00"), "");
    EXPECT_EQ(sImage.nStatus, 0);
    ASSERT_EQ(sImage.osOutput.rfind(kImageHeader, 0), 0u);
    gdImagePtr hImage = DecodeGif(sImage.osOutput.substr(kImageHeader.size()));
    ASSERT_NE(hImage, nullptr);
    EXPECT_EQ(gdImageSX(hImage), 3);
    EXPECT_EQ(gdImageGreen(hImage, gdImageGetPixel(hImage, 0, 0)), 255);
    gdImageDestroy(hImage);

    const InProcessReply sBanner = AnswerInProcess(Get(""), "");
    EXPECT_EQ(sBanner.nStatus, 1);
    EXPECT_EQ(sBanner.osOutput.rfind("Content-Type: text/plain\n\nVXM Swatchery\n", 0), 0u);
}

TEST(ContainedRequest, RequestsDoNotShareState)
{
    auto oPost = Get("/2/2");
    oPost["REQUEST_METHOD"] = "POST";
    oPost["CONTENT_LENGTH"] = "12";
    const InProcessReply sFirst = AnswerInProcess(oPost, "Color=0000FF");
    const InProcessReply sSecond = AnswerInProcess(Get("/2/2"), "Color=0000FF");
    ASSERT_EQ(sFirst.nStatus, 0);
    ASSERT_EQ(sSecond.nStatus, 0);
    GifInfo sBlue, sBlack;
    ASSERT_TRUE(ParseGif(sFirst.osOutput.substr(kImageHeader.size()), sBlue));
    ASSERT_TRUE(ParseGif(sSecond.osOutput.substr(kImageHeader.size()), sBlack));
    EXPECT_EQ(sBlue.anPalette[1], 0x0000FF);
    EXPECT_EQ(sBlack.anPalette[1], 0x000000); // a GET does not read the body
}

TEST(ContainedRequest, EachPostReadsItsOwnBody)
{
    // Bodies of equal length: stale bytes buffered from the first body
    // would pass for the second.
    auto oPost = Get("/2/2");
    oPost["REQUEST_METHOD"] = "POST";
    oPost["CONTENT_LENGTH"] = "12";
    for (const char *pszColor : {"0000FF", "00FF00", "FF0000"})
    {
        const InProcessReply sReply = AnswerInProcess(oPost, std::string("Color=") + pszColor);
        ASSERT_EQ(sReply.nStatus, 0);
        GifInfo sGif;
        ASSERT_TRUE(ParseGif(sReply.osOutput.substr(kImageHeader.size()), sGif));
        EXPECT_EQ(sGif.anPalette[1], static_cast<int>(strtol(pszColor, nullptr, 16)));
    }
}

namespace
{

/* The address space the process maps now, in bytes. */
long long MappedBytes()
{
    std::ifstream oStatus("/proc/self/status");
    std::string osLine;
    while (std::getline(oStatus, osLine))
        if (osLine.rfind("VmSize:", 0) == 0)
            return atoll(osLine.c_str() + 7) * 1024;
    return 0;
}

} // namespace

TEST(ContainedRequest, AllocationFailuresEndTheRequestOnly)
{
    if (kSanitized)
        GTEST_SKIP() << "AddressSanitizer cannot run under a limited address space";

    // The handler in force around the requests must not see their errors.
    static int nOuterCalls = 0;
    CPLPushErrorHandlerEx([](CPLErr, CPLErrorNum, const char *) { nOuterCalls++; }, nullptr);

    auto oBigImage = Get("/8192/8192");
    auto oBigBody = Get("/4/4");
    oBigBody["REQUEST_METHOD"] = "POST";
    oBigBody["CONTENT_LENGTH"] = std::to_string(128 << 20);
    const std::string osBigBody(128 << 20, 'x');

    for (const auto *poCase : {&oBigImage, &oBigBody})
    {
        const std::string &osBody = poCase == &oBigBody ? osBigBody : std::string();
        // Room for a little more than the process maps now: neither the
        // 64 MiB image nor the 128 MiB body fits.
        struct rlimit sOld;
        getrlimit(RLIMIT_AS, &sOld);
        struct rlimit sTight = sOld;
        sTight.rlim_cur = static_cast<rlim_t>(MappedBytes() + (48 << 20));
        ASSERT_EQ(setrlimit(RLIMIT_AS, &sTight), 0);
        const InProcessReply sReply = AnswerInProcess(*poCase, osBody);
        setrlimit(RLIMIT_AS, &sOld);

        EXPECT_EQ(sReply.nStatus, 1);
        EXPECT_EQ(sReply.osOutput.rfind("Content-type: text/plain\n\nERROR 2: ", 0), 0u)
            << sReply.osOutput;
    }
    CPLPopErrorHandler();
    EXPECT_EQ(nOuterCalls, 0);

    // With room again, the same process answers as before.
    EXPECT_EQ(AnswerInProcess(Get("/4/4"), "").nStatus, 0);
}
