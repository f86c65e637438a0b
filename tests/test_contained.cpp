/* Requests answered one after another in one process, with errors that end
 * the request only. */
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

TEST(ContainedRequest, AllocationFailureEndsTheRequestOnly)
{
    VXMCgiRequest oRequest;
    char *pabyOut = nullptr;
    size_t nOut = 0;
    FILE *fpOut = open_memstream(&pabyOut, &nOut);
    // The handler in force around the request must not see its errors.
    static int nOuterCalls = 0;
    CPLPushErrorHandlerEx([](CPLErr, CPLErrorNum, const char *) { nOuterCalls++; }, nullptr);
    {
        ScopedEnv oEnv;
        ClearCgiEnvironment(oEnv);
        // A POST body too large for the address space fails its allocation.
        oEnv.Set("REQUEST_METHOD", "POST");
        oEnv.Set("CONTENT_LENGTH", "2147483647");
        oEnv.Set("PATH_INFO", "/2/2");
        struct rlimit sOld;
        getrlimit(RLIMIT_AS, &sOld);
        struct rlimit sTight = sOld;
        sTight.rlim_cur = 1024L * 1024 * 1024;
        const bool bLimited = setrlimit(RLIMIT_AS, &sTight) == 0;
        const int nStatus = AnswerSwatchRequestContained(oRequest, fpOut);
        setrlimit(RLIMIT_AS, &sOld);
        if (!bLimited)
            GTEST_SKIP() << "cannot limit the address space";
        EXPECT_EQ(nStatus, 1);
    }
    CPLPopErrorHandler();
    fclose(fpOut);
    const std::string osOut(pabyOut, nOut);
    free(pabyOut);
    EXPECT_EQ(osOut.rfind("Content-type: text/plain\n\nERROR 2: ", 0), 0u) << osOut;
    EXPECT_EQ(nOuterCalls, 0);
}
