/* Requests answered one after another in one process, with errors that end
 * the request only. */
#include <fstream>
#include <string>
#include <vector>
#include <malloc.h>
#include <sys/resource.h>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gtest/gtest.h>

#include "failing_malloc.h"
#include "inprocess.h"
#include "test_util.h"
#include "vxmcgi.h"

using namespace swatchtest;

namespace
{



} // namespace

TEST(ContainedRequest, ErrorEndsTheRequestAndTheNextOneIsServed)
{
    const InProcessReply sError = AnswerInProcess(CgiGet("/9000/9000"), "");
    EXPECT_EQ(sError.nStatus, 1);
    EXPECT_EQ(sError.osOutput.rfind(kRefusedHeader + "ERROR 5: ", 0), 0u)
        << sError.osOutput;

    const InProcessReply sImage = AnswerInProcess(CgiGet("/3/2", "Color=00FF00"), "");
    EXPECT_EQ(sImage.nStatus, 0);
    ASSERT_EQ(sImage.osOutput.rfind(kImageHeader, 0), 0u);
    gdImagePtr hImage = DecodeGif(sImage.osOutput.substr(kImageHeader.size()));
    ASSERT_NE(hImage, nullptr);
    EXPECT_EQ(gdImageSX(hImage), 3);
    EXPECT_EQ(gdImageGreen(hImage, gdImageGetPixel(hImage, 0, 0)), 255);
    gdImageDestroy(hImage);

    const InProcessReply sBanner = AnswerInProcess(CgiGet(""), "");
    EXPECT_EQ(sBanner.nStatus, 1);
    EXPECT_EQ(sBanner.osOutput.rfind(kBannerStart, 0), 0u);
}

TEST(ContainedRequest, RequestsDoNotShareState)
{
    const auto oPost = CgiPost("/2/2", "Color=0000FF");
    const InProcessReply sFirst = AnswerInProcess(oPost, "Color=0000FF");
    const InProcessReply sSecond = AnswerInProcess(CgiGet("/2/2"), "Color=0000FF");
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
    const auto oPost = CgiPost("/2/2", "Color=0000FF");
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

/* The address space the process maps now, in bytes, with freed heap given
 * back first: what an earlier test freed must not count as room. Large
 * blocks are mapped and unmapped on their own, so the count follows them. */
long long MappedBytes()
{
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    malloc_trim(0);
    std::ifstream oStatus("/proc/self/status");
    std::string osLine;
    while (std::getline(oStatus, osLine))
        if (osLine.rfind("VmSize:", 0) == 0)
            return atoll(osLine.c_str() + 7) * 1024;
    return 0;
}

/* Answers a request with room for only nRoom bytes more than the process
 * maps now. */
InProcessReply AnswerWithRoomFor(long long nRoom, const std::map<std::string, std::string> &oCgi,
                                 const std::string &osBody)
{
    struct rlimit sOld;
    getrlimit(RLIMIT_AS, &sOld);
    struct rlimit sTight = sOld;
    sTight.rlim_cur = static_cast<rlim_t>(MappedBytes() + nRoom);
    if (setrlimit(RLIMIT_AS, &sTight) != 0)
        return InProcessReply();
    InProcessReply sReply = AnswerInProcess(oCgi, osBody);
    setrlimit(RLIMIT_AS, &sOld);
    return sReply;
}

} // namespace

TEST(ContainedRequest, AllocationFailuresEndTheRequestOnly)
{
    if (kSanitized)
        GTEST_SKIP() << "AddressSanitizer cannot run under a limited address space";

    // The handler in force around the requests must not see their errors.
    static int nOuterCalls = 0;
    CPLPushErrorHandlerEx([](CPLErr, CPLErrorNum, const char *) { nOuterCalls++; }, nullptr);

    auto oBigImage = CgiGet("/8192/8192");
    auto oBigBody = CgiGet("/4/4");
    oBigBody["REQUEST_METHOD"] = "POST";
    oBigBody["CONTENT_LENGTH"] = std::to_string(128 << 20);
    const std::string osBigBody(128 << 20, 'x');

    for (const auto *poCase : {&oBigImage, &oBigBody})
    {
        const bool bBody = poCase == &oBigBody;
        // Room for a little more than the process maps now: the 64 MiB image
        // does not fit; the 128 MiB body is refused without reading it.
        const InProcessReply sReply =
            AnswerWithRoomFor(48 << 20, *poCase, bBody ? osBigBody : std::string());

        EXPECT_EQ(sReply.nStatus, 1);
        EXPECT_EQ(sReply.osOutput.rfind(bBody ? kTooLongHeader + "ERROR 413: "
                                              : kFailedHeader + "ERROR 2: ",
                                        0),
                  0u)
            << sReply.osOutput;
    }
    CPLPopErrorHandler();
    EXPECT_EQ(nOuterCalls, 0);

    // With room again, the same process answers as before.
    EXPECT_EQ(AnswerInProcess(CgiGet("/4/4"), "").nStatus, 0);
}

#ifdef SWATCH_FAILING_MALLOC
/* Every kind of error a request can end in, thousands of times in one
 * process: a refused size, a body too long, and memory running out for the
 * body, while CPL
 * builds the list of form pieces, for the dash pattern and for the image.
 * Nothing may stay behind: no heap, no handler, no error state. */
TEST(ContainedRequest, ErrorRequestsLeakNothing)
{
    // Allocations of this size fail; the request's own texts stay below.
    constexpr size_t kFailFrom = 300 * 1024;
    // Below the largest body the program reads.
    constexpr size_t kFailBodyFrom = 48 * 1024;

    auto oPost = CgiGet("/8/8");
    oPost["REQUEST_METHOD"] = "POST";

    struct ErrorCase
    {
        const char *pszName;
        std::map<std::string, std::string> oCgi;
        std::string osBody;
        std::string osExpected;
        int nTimes = 1000;
        size_t nFailFrom = kFailFrom;
    };
    std::vector<ErrorCase> asCases = {
        {"refused size", CgiGet("/9000/9000"), "", kRefusedHeader + "ERROR 5: "},
        // The image's table of 40,000 row pointers.
        {"image", CgiGet("/2/40000"), "", kFailedHeader + "ERROR 2: Cannot create"},
        {"body", oPost, std::string(64 << 10, 'x'), kFailedHeader + "ERROR 2: ", 1000,
         kFailBodyFrom},
        {"body too long", oPost, std::string(1 << 20, 'x'), kTooLongHeader + "ERROR 413: "},
        // 64 Ki empty pieces: CPL's list of them outgrows the limit. CPL
        // goes on with the pieces, each failing again: fewer of these.
        {"list", oPost, std::string(64 << 10, '&'), kFailedHeader + "ERROR 2: ", 100},
        // A dash pattern of 100,000 steps on the longest swatch: the pattern
        // and the image fit, its style array of 4 bytes a step does not.
        {"dash pattern", CgiGet("/65535/2", "LineStyle=" + std::string(100000, 'x')), "",
         kFailedHeader + "ERROR 2: CPLMalloc(): Out of memory allocating 400000 bytes"},
        // The SVG document outgrows the limit: the C++ library throws.
        {"svg", CgiGet("/8192/8192", "LineType=Hatch&HatchType=5&HatchSpacing=1&Format=svg"), "",
         kFailedHeader + "ERROR 2: Out of memory while drawing the swatch.", 100},
    };
    for (auto &sCase : asCases)
        sCase.oCgi["CONTENT_LENGTH"] = std::to_string(sCase.osBody.size());

    static int nOuterCalls = 0;
    static int nOuterData = 0;
    CPLPushErrorHandlerEx([](CPLErr, CPLErrorNum, const char *) { nOuterCalls++; },
                          &nOuterData);
    for (const auto &sCase : asCases)
    {
        const auto oRound = [&](int nTimes) {
            for (int i = 0; i < nTimes; i++)
            {
                InProcessReply sReply;
                {
                    const ScopedFailingAllocations oFailing(sCase.nFailFrom);
                    sReply = AnswerInProcess(sCase.oCgi, sCase.osBody);
                }
                ASSERT_EQ(sReply.nStatus, 1) << sCase.pszName;
                ASSERT_EQ(sReply.osOutput.rfind(sCase.osExpected, 0), 0u)
                    << sCase.pszName << ": " << sReply.osOutput.substr(0, 200);
            }
        };
        oRound(20); // CPL's and the C library's own one-time allocations
        const long nBefore = LiveAllocations();
        oRound(sCase.nTimes);
        EXPECT_EQ(LiveAllocations(), nBefore) << sCase.pszName << ": blocks left behind";
        if (HasFatalFailure())
            break;
    }

    // CPL is as it was: the outer handler, its own data, no error pending.
    EXPECT_EQ(CPLGetErrorHandlerUserData(), &nOuterData);
    EXPECT_EQ(CPLGetLastErrorNo(), CPLE_None);
    CPLPopErrorHandler();
    EXPECT_EQ(nOuterCalls, 0);
}
#endif
