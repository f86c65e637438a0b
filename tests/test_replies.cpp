/* The error handler of the swatch program: every reported error, fatal ones
 * included, ends in the plain-text error page and exit status 1. */
#include <cstdio>
#include <string>
#include <unistd.h>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gtest/gtest.h>

#include "swatch.h"
#include "test_util.h"

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
