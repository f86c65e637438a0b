/* The request object: parameter lookups, the replay environment, and the
 * capture file. */
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <cpl_error.h>
#include <gtest/gtest.h>

#include "test_util.h"
#include "vxmcgi.h"

using namespace swatchtest;

namespace
{

std::vector<std::string> ToVector(char **papszList)
{
    std::vector<std::string> aos;
    for (char **papszIter = papszList; papszIter && *papszIter; ++papszIter)
        aos.emplace_back(*papszIter);
    return aos;
}

/* A request whose live input is the given query string (or POST body). */
class RequestTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ClearCgiEnvironment(m_oEnv);
    }
    void SetQuery(const std::string &osQuery)
    {
        m_oEnv.Set("QUERY_STRING", osQuery);
    }

    ScopedEnv m_oEnv;
    TempDir m_oDir;
};

/* Collects CPL errors instead of printing them. */
struct ErrorLog
{
    ErrorLog()
    {
        CPLPushErrorHandlerEx(Collect, this);
    }
    ~ErrorLog()
    {
        CPLPopErrorHandler();
    }
    static void CPL_STDCALL Collect(CPLErr, CPLErrorNum nNum, const char *pszMsg)
    {
        auto *poLog = static_cast<ErrorLog *>(CPLGetErrorHandlerUserData());
        poLog->anNumbers.push_back(nNum);
        poLog->aosMessages.emplace_back(pszMsg);
    }
    std::vector<int> anNumbers;
    std::vector<std::string> aosMessages;
};

} // namespace

TEST_F(RequestTest, AbsentAndEmptyParametersGiveEmptyText)
{
    SetQuery("LineWidth=&Other=1");
    VXMCgiRequest oRequest;
    const char *pszAbsent = oRequest.GetParam("LineStyle");
    ASSERT_NE(pszAbsent, nullptr);
    EXPECT_STREQ(pszAbsent, "");
    const char *pszEmpty = oRequest.GetParam("LineWidth");
    ASSERT_NE(pszEmpty, nullptr);
    EXPECT_STREQ(pszEmpty, "");
    // The empty value points into the entry itself.
    EXPECT_EQ(pszEmpty, oRequest.GetParamList()[0] + strlen("LineWidth="));
    EXPECT_STREQ(oRequest.GetParam(nullptr), "");
}

TEST_F(RequestTest, NameMatching)
{
    SetQuery("linestyle=x+x&SymbolId:3&LineStyle=second&lonely&Line2=z");
    VXMCgiRequest oRequest;
    EXPECT_STREQ(oRequest.GetParam("LineStyle"), "x x"); // case ignored, first wins
    EXPECT_STREQ(oRequest.GetParam("SymbolId"), "3");    // ":" separates too
    EXPECT_STREQ(oRequest.GetParam("Line"), "");         // a prefix is no match
    EXPECT_STREQ(oRequest.GetParam("lonely"), "");
    EXPECT_EQ(ToVector(oRequest.GetParamList()),
              (std::vector<std::string>{"linestyle=x x", "SymbolId:3", "LineStyle=second",
                                        "lonely", "Line2=z"}));
}

TEST_F(RequestTest, GetParamValuesReturnsEveryMatchInOrder)
{
    SetQuery("LineStyle=1&x=0&LINESTYLE=2");
    VXMCgiRequest oRequest;
    EXPECT_STREQ(oRequest.GetParam("LineStyle"), "1");
    char **papszValues = oRequest.GetParamValues("LineStyle");
    EXPECT_EQ(ToVector(papszValues), (std::vector<std::string>{"1", "2"}));
    CSLDestroy(papszValues);
    EXPECT_EQ(oRequest.GetParamValues("Missing"), nullptr);
}

TEST_F(RequestTest, FormInputIsReadOnce)
{
    m_oEnv.Set("REQUEST_METHOD", "POST");
    m_oEnv.Set("CONTENT_LENGTH", "3");
    ScopedStdin oStdin("a=1b=2");
    VXMCgiRequest oRequest;
    EXPECT_STREQ(oRequest.GetParam("a"), "1");
    // A second parse would read "b=2" from what is left on stdin.
    EXPECT_STREQ(oRequest.GetParam("b"), "");
    EXPECT_STREQ(oRequest.GetParam("a"), "1");
    EXPECT_EQ(ToVector(oRequest.GetParamList()), (std::vector<std::string>{"a=1"}));
}

TEST_F(RequestTest, GetEnvNeverReadsFormInput)
{
    m_oEnv.Set("REQUEST_METHOD", "POST");
    m_oEnv.Set("CONTENT_LENGTH", "3");
    m_oEnv.Set("PATH_INFO", "/4/4");
    ScopedStdin oStdin("a=1");
    {
        VXMCgiRequest oRequest;
        EXPECT_STREQ(oRequest.GetEnv("PATH_INFO"), "/4/4");
        EXPECT_STREQ(oRequest.GetEnv("NO_SUCH_VARIABLE_HERE"), "");
        EXPECT_STREQ(oRequest.GetEnv(nullptr), "");
    }
    // The body is still there for the next reader.
    char szBuf[4] = {};
    ASSERT_EQ(fread(szBuf, 1, 3, stdin), 3u);
    EXPECT_STREQ(szBuf, "a=1");
}

TEST_F(RequestTest, SetEnvShadowsTheProcessEnvironment)
{
    m_oEnv.Set("PATH_INFO", "/live");
    VXMCgiRequest oRequest;
    oRequest.SetEnv("PATH_INFO", "/replayed");
    EXPECT_STREQ(oRequest.GetEnv("path_info"), "/replayed");
    EXPECT_STREQ(getenv("PATH_INFO"), "/live");
    oRequest.SetEnv("PATH_INFO", "");
    EXPECT_STREQ(oRequest.GetEnv("PATH_INFO"), ""); // an empty replay value still wins
}

TEST_F(RequestTest, SetEnvReplacesInPlaceKeepingTheSeparator)
{
    const std::string osFile = m_oDir.Path("env");
    WriteFile(osFile, VXMCGI_ENV_SEPARATOR "\npath_info:/old\nOTHER=1\n");
    VXMCgiRequest oRequest;
    oRequest.LoadEnvironment(osFile.c_str());
    oRequest.SetEnv("PATH_INFO", "/new");
    EXPECT_STREQ(oRequest.GetEnv("PATH_INFO"), "/new");
    // Saving writes what GetEnv answers; the replay list did not grow.
    oRequest.SaveEnvironment(osFile.c_str());
    EXPECT_NE(ReadFile(osFile).find("\nPATH_INFO=/new\n"), std::string::npos);
}

TEST_F(RequestTest, SetEnvWithNullNameOrValueChangesNothing)
{
    VXMCgiRequest oRequest;
    oRequest.SetEnv("PATH_INFO", "/kept");
    oRequest.SetEnv("PATH_INFO", nullptr); // CPL alone would remove the entry
    oRequest.SetEnv(nullptr, "/x");
    EXPECT_STREQ(oRequest.GetEnv("PATH_INFO"), "/kept");
}

/* Capture file */

TEST_F(RequestTest, SaveWritesParametersSeparatorAndSeventeenVariables)
{
    SetQuery("LineStyle=x+x&Color=%23FF0000&flag");
    m_oEnv.Set("PATH_INFO", "/40/20");
    m_oEnv.Set("REQUEST_METHOD", "GET");
    const std::string osFile = m_oDir.Path("capture.env");
    VXMCgiRequest oRequest;
    oRequest.SetEnv("SERVER_NAME", "replayed.example");
    oRequest.SaveEnvironment(osFile.c_str());
    EXPECT_EQ(ReadFile(osFile), "LineStyle=x x\n"
                                "Color=#FF0000\n"
                                "flag\n"
                                "--- end params/start env vars ---\n"
                                "SERVER_SOFTWARE=\n"
                                "SERVER_NAME=replayed.example\n"
                                "GATEWAY_INTERFACE=\n"
                                "SERVER_PROTOCOL=\n"
                                "SERVER_PORT=\n"
                                "REQUEST_METHOD=GET\n"
                                "PATH_INFO=/40/20\n"
                                "PATH_TRANSLATED=\n"
                                "SCRIPT_NAME=\n"
                                "QUERY_STRING=LineStyle=x+x&Color=%23FF0000&flag\n"
                                "REMOTE_HOST=\n"
                                "REMOTE_ADDR=\n"
                                "AUTH_TYPE=\n"
                                "REMOTE_USER=\n"
                                "REMOTE_IDENT=\n"
                                "CONTENT_TYPE=\n"
                                "CONTENT_LENGTH=\n");
}

TEST_F(RequestTest, RequestWithoutParametersSavesEighteenLines)
{
    const std::string osFile = m_oDir.Path("capture.env");
    VXMCgiRequest oRequest;
    oRequest.SaveEnvironment(osFile.c_str());
    const std::string osText = ReadFile(osFile);
    EXPECT_EQ(std::count(osText.begin(), osText.end(), '\n'), 18);
    EXPECT_EQ(osText.rfind(VXMCGI_ENV_SEPARATOR "\n", 0), 0u);
}

TEST_F(RequestTest, SavedFileLoadsBackWithoutDecodingAgain)
{
    SetQuery("LineStyle=a%2Bb&Color=%2541");
    m_oEnv.Set("PATH_INFO", "/8/8");
    const std::string osFile = m_oDir.Path("capture.env");
    {
        VXMCgiRequest oRequest;
        oRequest.SaveEnvironment(osFile.c_str());
    }
    SetQuery("LineStyle=live");
    m_oEnv.Set("PATH_INFO", "/live");
    m_oEnv.Set("SERVER_NAME", "live.example");
    VXMCgiRequest oRequest;
    oRequest.LoadEnvironment(osFile.c_str());
    EXPECT_STREQ(oRequest.GetParam("LineStyle"), "a+b");
    EXPECT_STREQ(oRequest.GetParam("Color"), "%41");
    EXPECT_STREQ(oRequest.GetEnv("PATH_INFO"), "/8/8");
    EXPECT_STREQ(oRequest.GetEnv("SERVER_NAME"), ""); // saved empty, hides the live value

    // Saving the loaded request again writes the same file.
    const std::string osAgain = m_oDir.Path("again.env");
    oRequest.SaveEnvironment(osAgain.c_str());
    EXPECT_EQ(ReadFile(osAgain), ReadFile(osFile));
}

TEST_F(RequestTest, LoadSplitsAtTheSeparator)
{
    const struct
    {
        const char *pszName;
        std::string osFile;
        std::vector<std::string> aosParams;
        const char *pszPathInfo; /* what GetEnv answers; live value is /live */
    } asCases[] = {
        {"capitals", "a=1\n--- END PARAMS/START ENV VARS ---\nPATH_INFO=/r\n", {"a=1"}, "/r"},
        {"trailing space", "a=1\n" VXMCGI_ENV_SEPARATOR " \nPATH_INFO=/r\n",
         {"a=1", VXMCGI_ENV_SEPARATOR " ", "PATH_INFO=/r"}, "/live"},
        {"separator only", VXMCGI_ENV_SEPARATOR "\n", {}, "/live"},
        {"separator last", "a=1\nb=2\n" VXMCGI_ENV_SEPARATOR "\n", {"a=1", "b=2"}, "/live"},
        {"separator first", VXMCGI_ENV_SEPARATOR "\npath_info=/lower\n", {}, "/lower"},
        {"two separators",
         "a=1\n" VXMCGI_ENV_SEPARATOR "\nPATH_INFO=/r\n" VXMCGI_ENV_SEPARATOR "\n", {"a=1"}, "/r"},
        {"no separator", "a=1\nPATH_INFO=/p\n", {"a=1", "PATH_INFO=/p"}, "/live"},
        {"CR LF", "a=1\r\n" VXMCGI_ENV_SEPARATOR "\r\nPATH_INFO=/crlf\r\n", {"a=1"}, "/crlf"},
        {"empty lines", "\n\nb=2\n" VXMCGI_ENV_SEPARATOR "\n", {"", "", "b=2"}, "/live"},
    };
    for (const auto &sCase : asCases)
    {
        SCOPED_TRACE(sCase.pszName);
        m_oEnv.Set("PATH_INFO", "/live");
        SetQuery("live=1");
        const std::string osFile = m_oDir.Path("load.env");
        WriteFile(osFile, sCase.osFile);
        VXMCgiRequest oRequest;
        oRequest.LoadEnvironment(osFile.c_str());
        EXPECT_EQ(ToVector(oRequest.GetParamList()), sCase.aosParams);
        EXPECT_STREQ(oRequest.GetParam("live"), ""); // the live input is never read
        EXPECT_STREQ(oRequest.GetEnv("PATH_INFO"), sCase.pszPathInfo);
    }
}

TEST_F(RequestTest, ValueWithLineFeedSavesAsTwoLines)
{
    SetQuery("a=x%0Ay&b=z%0D");
    const std::string osFile = m_oDir.Path("capture.env");
    {
        VXMCgiRequest oRequest;
        oRequest.SaveEnvironment(osFile.c_str());
    }
    VXMCgiRequest oRequest;
    oRequest.LoadEnvironment(osFile.c_str());
    EXPECT_EQ(ToVector(oRequest.GetParamList()), (std::vector<std::string>{"a=x", "y", "b=z"}));
}

TEST_F(RequestTest, EmptyOrMissingFileKeepsTheLiveRequest)
{
    SetQuery("live=1");
    const std::string osEmpty = m_oDir.Path("empty.env");
    WriteFile(osEmpty, "");
    {
        VXMCgiRequest oRequest;
        oRequest.LoadEnvironment(osEmpty.c_str());
        EXPECT_STREQ(oRequest.GetParam("live"), "1"); // not settled: parses live input
    }
    {
        ErrorLog oLog;
        VXMCgiRequest oRequest;
        oRequest.SetEnv("PATH_INFO", "/kept");
        oRequest.LoadEnvironment(m_oDir.Path("missing.env").c_str());
        ASSERT_EQ(oLog.anNumbers.size(), 1u);
        EXPECT_EQ(oLog.anNumbers[0], CPLE_OpenFailed);
        EXPECT_NE(oLog.aosMessages[0].find("missing.env"), std::string::npos);
        EXPECT_STREQ(oRequest.GetEnv("PATH_INFO"), "/kept"); // replay list untouched
        EXPECT_STREQ(oRequest.GetParam("live"), "1");
    }
    {
        // After a parse, a failed load leaves no parameters.
        VXMCgiRequest oRequest;
        EXPECT_STREQ(oRequest.GetParam("live"), "1");
        oRequest.LoadEnvironment(osEmpty.c_str());
        EXPECT_STREQ(oRequest.GetParam("live"), "");
    }
}

TEST_F(RequestTest, LoadReplacesWhatAnEarlierLoadGave)
{
    const std::string osFirst = m_oDir.Path("first.env");
    const std::string osSecond = m_oDir.Path("second.env");
    WriteFile(osFirst, "a=1\n" VXMCGI_ENV_SEPARATOR "\nPATH_INFO=/first\nEXTRA=e\n");
    WriteFile(osSecond, "b=2\n" VXMCGI_ENV_SEPARATOR "\nPATH_INFO=/second\n");
    VXMCgiRequest oRequest;
    oRequest.LoadEnvironment(osFirst.c_str());
    EXPECT_STREQ(oRequest.GetEnv("extra"), "e"); // a variable outside the seventeen
    oRequest.LoadEnvironment(osSecond.c_str());
    EXPECT_STREQ(oRequest.GetParam("a"), "");
    EXPECT_STREQ(oRequest.GetParam("b"), "2");
    EXPECT_STREQ(oRequest.GetEnv("PATH_INFO"), "/second");
    EXPECT_STREQ(oRequest.GetEnv("EXTRA"), "");
}

TEST_F(RequestTest, SaveFailuresAreReported)
{
    ErrorLog oLog;
    VXMCgiRequest oRequest;
    oRequest.SaveEnvironment(m_oDir.Path("no/such/folder/capture.env").c_str());
    oRequest.SaveEnvironment("/dev/full");
    ASSERT_EQ(oLog.anNumbers.size(), 2u);
    EXPECT_EQ(oLog.anNumbers[0], CPLE_OpenFailed);
    EXPECT_EQ(oLog.anNumbers[1], CPLE_FileIO);
}

TEST_F(RequestTest, LongVariableLinesAreWrittenWhole)
{
    const std::string osLong(20000, 'q');
    m_oEnv.Set("QUERY_STRING", osLong);
    const std::string osFile = m_oDir.Path("capture.env");
    VXMCgiRequest oRequest;
    oRequest.SaveEnvironment(osFile.c_str());
    EXPECT_NE(ReadFile(osFile).find("\nQUERY_STRING=" + osLong + "\n"), std::string::npos);
}
