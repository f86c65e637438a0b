/* Swatches served by a real web server: scripts/serve starts lighttpd on a
 * loopback port with swatch as a CGI program; requests go over HTTP. The
 * browser test loads the gallery in headless Chromium. */
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

using namespace swatchtest;

namespace
{

class ServedSwatch : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        m_nPort = FreeLoopbackPort();
        ASSERT_GT(m_nPort, 0);
        m_poServer = std::make_unique<BackgroundProcess>(
            SERVE_SCRIPT, std::vector<std::string>{"--port", std::to_string(m_nPort)},
            std::map<std::string, std::string>{{"SWATCH_BIN", SWATCH_EXE}}, m_oDir.Path("serve.log"));
        ASSERT_TRUE(WaitForPort(m_nPort, 20000)) << ReadFile(m_oDir.Path("serve.log"));
    }

    TempDir m_oDir;
    int m_nPort = 0;
    std::unique_ptr<BackgroundProcess> m_poServer;
};

} // namespace

// GET, POST, the banner and the error page through lighttpd, in CGI and
// FastCGI mode, are checked byte for byte against CGI runs with the other
// servers in tests/deploy_servers.sh.

TEST_F(ServedSwatch, GalleryPage)
{
    const HttpResponse sPage = HttpRequest(m_nPort, "GET", "/");
    EXPECT_EQ(sPage.nStatus, 200);
    EXPECT_EQ(sPage.oHeaders.at("content-type").rfind("text/html", 0), 0u);
    EXPECT_NE(sPage.osBody.find("/cgi-bin/swatch"), std::string::npos);
}

TEST_F(ServedSwatch, SecondStartOnABusyPortSaysSo)
{
    const RunResult sRun =
        RunProgram(SERVE_SCRIPT, {"--port", std::to_string(m_nPort)},
                   {{"SWATCH_BIN", SWATCH_EXE}, {"PATH", getenv("PATH") ? getenv("PATH") : ""}});
    EXPECT_EQ(sRun.nExitStatus, 1);
    EXPECT_NE(sRun.osStderr.find("already in use"), std::string::npos) << sRun.osStderr;
    // The first server is still serving.
    EXPECT_EQ(HttpRequest(m_nPort, "GET", "/").nStatus, 200);
}

TEST_F(ServedSwatch, StopsCleanly)
{
    EXPECT_EQ(m_poServer->Stop(), 0) << ReadFile(m_oDir.Path("serve.log"));
    EXPECT_FALSE(WaitForPort(m_nPort, 200));
    EXPECT_NE(ReadFile(m_oDir.Path("serve.log")).find("Stopped."), std::string::npos);
}

/* The gallery in a real browser: every swatch decodes at its requested size,
 * and a screenshot is kept for people to look at. */
TEST_F(ServedSwatch, GalleryInHeadlessChromium)
{
    if (system("command -v chromium >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "chromium is missing: apt-get install chromium fonts-dejavu-core";

    const std::string osUrl = "http://127.0.0.1:" + std::to_string(m_nPort) + "/";
    const std::string osChromium =
        "timeout 120 chromium --headless --no-sandbox --disable-gpu --no-first-run "
        "--disable-background-networking --disable-component-update --disable-sync "
        "--hide-scrollbars --user-data-dir=" + m_oDir.Path("profile") +
        " --virtual-time-budget=15000 ";

    // On a screen of 1 and of 2 device pixels a CSS pixel: every swatch at
    // its size, each in the version drawn for that screen.
    mkdir(ARTIFACT_DIR, 0755);
    for (const char *pszScale : {"1", "2"})
    {
        SCOPED_TRACE(std::string("device scale ") + pszScale);
        const std::string osScaled =
            osChromium + "--force-device-scale-factor=" + pszScale + " ";
        const std::string osDom = m_oDir.Path("dom.html");
        ASSERT_EQ(system((osScaled + "--dump-dom " + osUrl + " >" + osDom + " 2>/dev/null").c_str()), 0);
        const std::string osText = ReadFile(osDom);
        const auto attribute = [&](const std::string &osName) {
            const size_t nAt = osText.find(osName + "=\"");
            return nAt == std::string::npos ? -1 : atoi(osText.c_str() + nAt + osName.size() + 2);
        };
        const int nChecked = attribute("data-images-checked");
        EXPECT_GE(nChecked, 80) << osText.substr(0, 300);
        EXPECT_EQ(attribute("data-images-for-screen"), nChecked);
        EXPECT_NE(osText.find("data-images-bad=\"\""), std::string::npos)
            << osText.substr(0, osText.find("<head>"));

        const std::string osShot =
            std::string(ARTIFACT_DIR) + "/gallery" + (*pszScale == '1' ? "" : "@2x") + ".png";
        unlink(osShot.c_str());
        ASSERT_EQ(system((osScaled + "--window-size=1280,2400 --screenshot=" + osShot + " " +
                          osUrl + " >/dev/null 2>&1")
                             .c_str()),
                  0);
        const std::string osPng = ReadFile(osShot);
        EXPECT_GT(osPng.size(), 10000u);
        EXPECT_EQ(osPng.substr(1, 3), "PNG");
        printf("gallery screenshot: %s\n", osShot.c_str());
    }
}

/* Persistent mode: the same program as FastCGI workers of the same server. */
namespace
{

class FastCgiSwatch : public ::testing::Test
{
  protected:
    /* Starts a server in the given mode; returns its port. */
    int Start(const std::string &osMode, const std::string &osWorkers = "2")
    {
        const int nPort = FreeLoopbackPort();
        const std::string osLog = m_oDir.Path("serve-" + osMode + ".log");
        m_apoServers.push_back(std::make_unique<BackgroundProcess>(
            SERVE_SCRIPT,
            std::vector<std::string>{"--port", std::to_string(nPort), "--mode", osMode},
            std::map<std::string, std::string>{{"SWATCH_BIN", SWATCH_EXE},
                                               {"SWATCH_WORKERS", osWorkers}},
            osLog));
        EXPECT_TRUE(WaitForPort(nPort, 20000)) << ReadFile(osLog);
        return nPort;
    }

    /* The program the FastCGI workers run, as the serve script reports it
     * once the server answers; empty when it does not. */
    std::string WorkerProgram()
    {
        std::string osLog;
        for (int i = 0; i < 200 && osLog.find("Press Ctrl-C") == std::string::npos; i++)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            osLog = ReadFile(m_oDir.Path("serve-fastcgi.log"));
        }
        const size_t nAt = osLog.find("FastCGI workers: ");
        if (nAt == std::string::npos)
            return std::string();
        return osLog.substr(nAt + 17, osLog.find('\n', nAt) - (nAt + 17));
    }

    /* The processes running the given program below this test's last
     * server, oldest first: never a run of the same program by another test. */
    std::vector<int> WorkerPids(const std::string &osProgram) const
    {
        std::vector<std::pair<long long, int>> aoStarted;
        DIR *psDir = opendir("/proc");
        while (dirent *psEntry = readdir(psDir))
        {
            const int nPid = atoi(psEntry->d_name);
            if (nPid <= 0 || ReadFile("/proc/" + std::to_string(nPid) + "/cmdline").c_str() != osProgram)
                continue;
            int nAncestor = nPid;
            while (nAncestor > 1 && nAncestor != m_apoServers.back()->Pid())
                nAncestor = static_cast<int>(StatField(nAncestor, 4));
            if (nAncestor > 1)
                aoStarted.emplace_back(StatField(nPid, 22), nPid);
        }
        closedir(psDir);
        std::sort(aoStarted.begin(), aoStarted.end());
        std::vector<int> anPids;
        for (const auto &oStarted : aoStarted)
            anPids.push_back(oStarted.second);
        return anPids;
    }

    /* Field n (from 1) of /proc/PID/stat; 0 when the process is gone. */
    static long long StatField(int nPid, int nField)
    {
        const std::string osStat = ReadFile("/proc/" + std::to_string(nPid) + "/stat");
        const size_t nAt = osStat.rfind(')'); // the name may hold spaces
        if (nAt == std::string::npos)
            return 0;
        std::istringstream oFields(osStat.substr(nAt + 2));
        std::string osField;
        for (int i = 3; i <= nField && oFields >> osField; i++)
            ;
        return atoll(osField.c_str());
    }

    /* Resident memory, in kB, of this test's workers running the program. */
    long WorkerRssKb(const std::string &osProgram, int &nWorkers) const
    {
        long nTotal = 0;
        const std::vector<int> anPids = WorkerPids(osProgram);
        nWorkers = static_cast<int>(anPids.size());
        for (const int nPid : anPids)
        {
            std::istringstream oStatus(ReadFile("/proc/" + std::to_string(nPid) + "/status"));
            std::string osLine;
            while (std::getline(oStatus, osLine))
                if (osLine.rfind("VmRSS:", 0) == 0)
                    nTotal += atol(osLine.c_str() + 6);
        }
        return nTotal;
    }

    TempDir m_oDir;
    std::vector<std::unique_ptr<BackgroundProcess>> m_apoServers;
};

struct MixedRequest
{
    const char *pszMethod, *pszTarget, *pszBody;
};

const MixedRequest asMixedRequests[] = {
    {"GET", "/cgi-bin/swatch/40/20/255/0/0", ""},
    {"POST", "/cgi-bin/swatch/30/10", "LineType=Hatch&HatchType=5&Color=00FF00"},
    {"GET", "/cgi-bin/swatch/9000/9000", ""},
    {"GET", "/cgi-bin/swatch", ""},
    {"GET", "/cgi-bin/swatch/20/20?SymbolId=5&Outline=0000FF&Corner=FF0000", ""},
    {"POST", "/cgi-bin/swatch/5/5?Color=FF0000", "BgColor=000000"},
    {"GET", "/cgi-bin/swatch/5/5?Color=FF0000", ""}, // the body of the last POST is gone
    {"GET", "/cgi-bin/swatch/60/20?LineType=ZigZag&LineWidth=3&LineStyle=xx+", ""},
    {"POST", "/cgi-bin/swatch/8/8", "LineWidth=%zz&Color=%"},
    {"GET", "/cgi-bin/swatch/65536/2", ""},
    {"GET", "/cgi-bin/swatch/4/4", ""},
};

} // namespace

TEST_F(FastCgiSwatch, RepliesAreIdenticalToCgiMode)
{
    const int nCgi = Start("cgi");
    const int nFastCgi = Start("fastcgi");
    for (int nRound = 0; nRound < 3; nRound++)
    {
        for (const auto &sRequest : asMixedRequests)
        {
            SCOPED_TRACE(std::string(sRequest.pszMethod) + " " + sRequest.pszTarget);
            const std::string osType =
                *sRequest.pszBody ? "application/x-www-form-urlencoded" : "";
            HttpResponse sCgi = HttpRequest(nCgi, sRequest.pszMethod, sRequest.pszTarget,
                                                  sRequest.pszBody, osType);
            HttpResponse sFast = HttpRequest(nFastCgi, sRequest.pszMethod,
                                                   sRequest.pszTarget, sRequest.pszBody, osType);
            EXPECT_EQ(sFast.nStatus, sCgi.nStatus);
            EXPECT_EQ(sFast.oHeaders["content-type"], sCgi.oHeaders["content-type"]);
            EXPECT_EQ(sFast.osBody, sCgi.osBody);
            EXPECT_FALSE(sCgi.osBody.empty());
        }
    }
}

TEST_F(FastCgiSwatch, ErrorRequestsLeaveTheWorkersMemoryWhereItWas)
{
    if (kSanitized)
        GTEST_SKIP() << "AddressSanitizer holds freed memory in quarantine";
    const int nPort = Start("fastcgi", "1");
    const std::string osWorker = WorkerProgram();
    ASSERT_FALSE(osWorker.empty()) << ReadFile(m_oDir.Path("serve-fastcgi.log"));

    const auto oErrorRequest = [nPort](int i) {
        // Alternate the two kinds of error page.
        return HttpRequest(nPort, "GET",
                           i % 2 ? "/cgi-bin/swatch/9000/9000" : "/cgi-bin/swatch/2/70000");
    };
    for (int i = 0; i < 200; i++)
        ASSERT_EQ(oErrorRequest(i).osBody.rfind("ERROR 5: ", 0), 0u);
    int nWorkers = 0;
    const long nBefore = WorkerRssKb(osWorker, nWorkers);
    ASSERT_EQ(nWorkers, 1);
    for (int i = 0; i < 10000; i++)
    {
        const HttpResponse sResponse = oErrorRequest(i);
        ASSERT_EQ(sResponse.osBody.rfind("ERROR 5: ", 0), 0u) << i;
    }
    const long nAfter = WorkerRssKb(osWorker, nWorkers);
    ASSERT_EQ(nWorkers, 1); // the same worker served them all
    EXPECT_LE(nAfter - nBefore, 256) << nBefore << " kB before, " << nAfter << " kB after";

    // And it still draws.
    HttpResponse sImage = HttpRequest(nPort, "GET", "/cgi-bin/swatch/4/4");
    EXPECT_EQ(sImage.oHeaders["content-type"], "image/gif");
}

/* A bounded soak: mixed traffic through the server in FastCGI mode for a
 * quarter of a minute, one worker killed a third of the way in. Only the
 * requests caught by the kill may fail; every reply that comes back is the
 * one a CGI run of the program gives; the workers' memory after the run is
 * where it was after warming up. */
TEST_F(FastCgiSwatch, SoakWithAWorkerKilled)
{
    if (kSanitized)
        GTEST_SKIP() << "a soak measures the normal build";
    const int nPort = Start("fastcgi", "2");
    const std::string osWorker = WorkerProgram();
    ASSERT_FALSE(osWorker.empty()) << ReadFile(m_oDir.Path("serve-fastcgi.log"));

    // What a CGI run answers to each request: HTTP status and body.
    struct Expected
    {
        int nStatus;
        std::string osBody;
    };
    std::vector<Expected> aoExpected;
    for (const auto &sRequest : asMixedRequests)
    {
        const std::string osTarget = sRequest.pszTarget;
        const size_t nQuery = osTarget.find('?');
        std::string osPath = osTarget.substr(15, nQuery == std::string::npos ? std::string::npos
                                                                              : nQuery - 15);
        // As the server runs it: the query string beside a body too.
        auto oEnv = CgiGet(osPath, nQuery == std::string::npos ? "" : osTarget.substr(nQuery + 1));
        oEnv["REQUEST_METHOD"] = sRequest.pszMethod;
        oEnv["CONTENT_LENGTH"] = std::to_string(strlen(sRequest.pszBody));
        const std::string osOut = RunProgram(SWATCH_EXE, {}, oEnv, sRequest.pszBody).osStdout;
        const size_t nEnd = osOut.find("\n\n");
        ASSERT_NE(nEnd, std::string::npos);
        aoExpected.push_back({osOut.rfind("Status: ", 0) == 0 ? atoi(osOut.c_str() + 8) : 200,
                              osOut.substr(nEnd + 2)});
    }

    size_t nSent = 0;
    int nFailed = 0;
    const auto oSendOne = [&]() {
        const size_t i = nSent++ % (sizeof(asMixedRequests) / sizeof(asMixedRequests[0]));
        const auto &sRequest = asMixedRequests[i];
        const HttpResponse sResponse =
            HttpRequest(nPort, sRequest.pszMethod, sRequest.pszTarget, sRequest.pszBody,
                        *sRequest.pszBody ? "application/x-www-form-urlencoded" : "");
        if (sResponse.nStatus != aoExpected[i].nStatus || sResponse.osBody != aoExpected[i].osBody)
        {
            nFailed++;
            // A reply that came back must be right: only a lost one may fail.
            EXPECT_TRUE(sResponse.nStatus >= 500 || sResponse.nStatus <= 0)
                << sRequest.pszTarget << " gave " << sResponse.nStatus;
        }
    };
    for (int i = 0; i < 400; i++)
        oSendOne();
    int nWorkers = 0;
    const long nWarmKb = WorkerRssKb(osWorker, nWorkers);
    ASSERT_EQ(nWorkers, 2);
    ASSERT_EQ(nFailed, 0);

    const auto tStart = std::chrono::steady_clock::now();
    const auto tKill = tStart + std::chrono::seconds(5);
    const auto tEnd = tStart + std::chrono::seconds(15);
    bool bKilled = false;
    while (std::chrono::steady_clock::now() < tEnd)
    {
        if (!bKilled && std::chrono::steady_clock::now() >= tKill)
        {
            const std::vector<int> anPids = WorkerPids(osWorker);
            ASSERT_FALSE(anPids.empty());
            bKilled = kill(anPids.front(), SIGKILL) == 0;
            ASSERT_TRUE(bKilled);
        }
        oSendOne();
    }
    const long nAfterKb = WorkerRssKb(osWorker, nWorkers);
    printf("soak: %zu requests in 15 s, %d failed; workers %ld kB after warming up, %ld kB after\n",
           nSent, nFailed, nWarmKb, nAfterKb);
    EXPECT_LE(nFailed, 5);
    EXPECT_EQ(nWorkers, 2); // the killed worker was replaced
    EXPECT_LE(nAfterKb, nWarmKb + 512);
}
