/* The error handler of the swatch program: every reported error, fatal ones
 * included, ends in the plain-text error page and exit status 1. */
#include <cstdio>
#include <string>
#include <unistd.h>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gtest/gtest.h>

#include "replies.h"
#include "test_util.h"
#include "vxmcgi.h"

using namespace swatchtest;

namespace
{

/* Runs fnBody in a death-test child with stdout sent to osPath. */
template <class Body> void WithStdoutTo(const std::string &osPath, Body fnBody)
{
    fflush(stdout);
    if (!freopen(osPath.c_str(), "w", stdout))
        _exit(3);
    fnBody();
}

} // namespace

TEST(ReplyHeaders, BytesOfEachReply)
{
    // Everything between the program and the reader may keep a swatch for a
    // day, or as long as the server says; an error page never.
    EXPECT_EQ(ImageReplyHeader("image/gif"),
              "Content-Type: image/gif\nCache-Control: public, max-age=86400\n\n");
    {
        ScopedEnv oEnv;
        oEnv.Set("SWATCH_MAX_AGE", std::string("31536000"));
        EXPECT_EQ(ImageReplyHeader("image/svg+xml"),
                  "Content-Type: image/svg+xml\nCache-Control: public, max-age=31536000\n\n");
        oEnv.Set("SWATCH_MAX_AGE", std::string("-5"));
        EXPECT_EQ(ImageReplyHeader("image/png"),
                  "Content-Type: image/png\nCache-Control: public, max-age=0\n\n");
    }
    EXPECT_EQ(std::string(kBannerReplyHeader), "Content-Type: text/plain\n\n");
    const struct
    {
        CPLErrorNum nErrorNum;
        const char *pszStatus;
    } asErrors[] = {{CPLE_IllegalArg, "400 Bad Request"},
                    {VXMCGIE_BodyTooLarge, "413 Payload Too Large"},
                    {VXMCGIE_RequestTimeout, "408 Request Timeout"},
                    {CPLE_OutOfMemory, "500 Internal Server Error"},
                    {CPLE_FileIO, "500 Internal Server Error"},
                    {42, "500 Internal Server Error"}};
    for (const auto &sError : asErrors)
        EXPECT_EQ(ErrorReplyHeader(sError.nErrorNum),
                  std::string("Status: ") + sError.pszStatus +
                      "\nCache-Control: no-store\nContent-type: text/plain\n\n");
}

TEST(ErrorHandlerDeathTest, FatalErrorEndsInTheErrorPageNotAnAbort)
{
    TempDir oDir;
    const std::string osOut = oDir.Path("out");
    EXPECT_EXIT(WithStdoutTo(osOut,
                             [] {
                                 CPLSetErrorHandler(CgiErrorHandler);
                                 CPLError(CE_Fatal, CPLE_OutOfMemory, "out of %s", "luck");
                             }),
                ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(ReadFile(osOut), kFailedHeader + "ERROR 2: out of luck\n");
}

TEST(ErrorHandlerDeathTest, FailedAllocationEndsInTheErrorPage)
{
    TempDir oDir;
    const std::string osOut = oDir.Path("out");
    EXPECT_EXIT(WithStdoutTo(osOut,
                             [] {
                                 CPLSetErrorHandler(CgiErrorHandler);
                                 void *p = CPLMalloc(static_cast<size_t>(1) << 62);
                                 CPLFree(p);
                             }),
                ::testing::ExitedWithCode(1), "");
    const std::string osText = ReadFile(osOut);
    EXPECT_EQ(osText.rfind(kFailedHeader + "ERROR 2: CPLMalloc", 0), 0u) << osText;
}

TEST(ErrorHandlerDeathTest, ClassDoesNotMatter)
{
    TempDir oDir;
    const std::string osOut = oDir.Path("out");
    EXPECT_EXIT(WithStdoutTo(osOut,
                             [] {
                                 CPLSetErrorHandler(CgiErrorHandler);
                                 CPLError(CE_Warning, 42, "just a warning");
                             }),
                ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(ReadFile(osOut), kFailedHeader + "ERROR 42: just a warning\n");
}
