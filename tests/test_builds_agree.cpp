/* The program built with CPL from Debian's GDAL source, linked statically,
 * and the program built against the system's shared libgdal answer every
 * request with the same bytes: images, banner, error pages, the replay of a
 * capture file, what CPL writes on standard error, and the exit status. */
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

using namespace swatchtest;

namespace
{

/* A request as a CGI environment and a body. */
struct Request
{
    std::map<std::string, std::string> oEnv;
    std::string osBody;
};

std::vector<Request> VariedRequests()
{
    const std::vector<std::string> aosPaths = {"/40/20/255/0/0", "/7/3", "/", "/0/-5/300/-1",
                                               "/65/33/0/128/255", "/9000/9000", "/2/70000"};
    const std::vector<std::string> aosQueries = {
        "",
        "Color=00FF00&Outline=0000FF&Corner=FF0000",
        "BgColor=FFFFCC&Color=-1",
        "LineStyle=xx++&LineWidth=3",
        "LineType=ZigZag&LineWidth=2&LineStyle=xxx+",
        "LineType=hatch&HatchType=5&HatchSpacing=3",
        "LineType=Hatch&HatchType=6&LineWidth=2&Outline=000000",
        "LineType=Hatch&HatchType=2&HatchSpacing=-1",
        "SymbolId=1", "SymbolId=2&SymbolSize=9", "SymbolId=3", "SymbolId=4&SymbolSize=0",
        "SymbolId=5&Corner=00FF00", "SymbolId=6&SymbolSize=100", "SymbolId=7",
        "Color=%GG&LineStyle=%2", "a=1&&b=&=c&LineWidth=99999999999999",
    };
    std::vector<Request> aoRequests;
    for (const auto &osPath : aosPaths)
        for (const auto &osQuery : aosQueries)
            aoRequests.push_back({CgiGet(osPath, osQuery), ""});
    // The banner, and bodies read as form input (short, long, announced
    // longer than they are).
    aoRequests.push_back({{{"SCRIPT_NAME", "/cgi-bin/swatch"}}, ""});
    const std::string osForm = "LineType=Hatch&HatchType=3&Color=00FF00";
    for (const std::string osLength : {"20", "4", "100000"})
    {
        auto oPost = CgiPost("/30/10", osForm);
        oPost["CONTENT_LENGTH"] = osLength;
        aoRequests.push_back({oPost, osForm});
    }
    return aoRequests;
}

/* The banner's last line names when the program was built, which differs
 * from one build to the next by design. */
std::string WithoutBuildTime(std::string osOut)
{
    const size_t nAt = osOut.rfind("(Built ");
    if (osOut.rfind(kBannerStart, 0) == 0 &&
        nAt != std::string::npos)
        osOut.erase(nAt);
    return osOut;
}

void ExpectSameRun(const RunResult &sOurs, const RunResult &sTheirs, const std::string &osWhat)
{
    SCOPED_TRACE(osWhat);
    EXPECT_EQ(sOurs.nExitStatus, sTheirs.nExitStatus);
    EXPECT_EQ(WithoutBuildTime(sOurs.osStdout), WithoutBuildTime(sTheirs.osStdout));
    EXPECT_EQ(sOurs.osStderr, sTheirs.osStderr);
}

} // namespace

TEST(BuildsAgree, EveryRequest)
{
    const std::vector<Request> aoRequests = VariedRequests();
    ASSERT_GT(aoRequests.size(), 100u);
    for (const Request &oRequest : aoRequests)
    {
        std::string osWhat;
        for (const auto &oVar : oRequest.oEnv)
            osWhat += oVar.first + "=" + oVar.second + " ";
        const RunResult sOurs = RunProgram(SWATCH_EXE, {}, oRequest.oEnv, oRequest.osBody);
        const RunResult sTheirs = RunProgram(OTHER_SWATCH_EXE, {}, oRequest.oEnv, oRequest.osBody);
        ExpectSameRun(sOurs, sTheirs, osWhat);
        EXPECT_FALSE(sOurs.osStdout.empty()) << osWhat;
    }
}

TEST(BuildsAgree, ReplayAndCplMessages)
{
    ScopedCaptureFile oCaptureFile;
    if (!oCaptureFile.IsUsable())
        GTEST_SKIP() << ScopedCaptureFile::kWhyNot;
    // No capture file: CPL reports the failed open on standard error.
    ExpectSameRun(RunProgram(SWATCH_EXE, {}, {}), RunProgram(OTHER_SWATCH_EXE, {}, {}),
                  "no capture file");
    const std::vector<std::string> aosFiles = {
        "Color=00FF00\nOutline=0000FF\n--- end params/start env vars ---\n"
        "SCRIPT_NAME=/cgi-bin/swatch\nPATH_INFO=/4/3\nQUERY_STRING=Color=00FF00\n",
        "LineType=Hatch\r\nHatchType=5\r\n--- end params/start env vars ---\r\nPATH_INFO=/20/20\r\n",
        "no separator\nPATH_INFO=/5/5\n",
        "",
        std::string("PATH_INFO=/3/3\n\0\xff binary\n", 25),
    };
    for (const auto &osFile : aosFiles)
    {
        WriteFile(ScopedCaptureFile::kFile, osFile);
        ExpectSameRun(RunProgram(SWATCH_EXE, {}, {}), RunProgram(OTHER_SWATCH_EXE, {}, {}),
                      osFile);
    }
}
