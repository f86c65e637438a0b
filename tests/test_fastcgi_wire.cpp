/* The FastCGI worker spoken to directly, record by record, the way a server
 * that keeps its connections does: several requests on one connection, the
 * end of a request's input sent in a write of its own, after the reply. */
#include <linux/close_range.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fastcgi_client.h"
#include "test_util.h"

using namespace swatchtest;
using namespace fastcgiclient;

namespace
{

/* Limits a worker process runs under (0: the test's own). */
struct WorkerLimits
{
    rlim_t nOpenFiles = 0;
    rlim_t nAddressSpace = 0;
};

/* Workers: the program with a listening socket as standard input, as
 * several processes sharing it, or kept running by Debian's multiwatch the
 * way the shipped deployments run them. */
class Worker
{
  public:
    explicit Worker(const std::string &osSocket, int nProcesses = 1, bool bSupervised = false,
                    WorkerLimits sLimits = {})
        : m_osSocket(osSocket), m_bSupervised(bSupervised)
    {
        const int fdListen = ListenOnUnixSocket(osSocket);
        if (fdListen < 0)
            return;
        std::string osCount = std::to_string(nProcesses);
        for (int i = 0; i < (bSupervised ? 1 : nProcesses); i++)
        {
            const int nPid = fork();
            if (nPid == 0)
            {
                dup2(fdListen, 0);
                const auto limit = [](int nResource, rlim_t nValue) {
                    const rlimit sLimit = {nValue, nValue};
                    if (nValue > 0)
                        setrlimit(nResource, &sLimit);
                };
                // Only the socket and the standard streams, as a process
                // manager hands them over.
                close_range(3, ~0U, 0);
                limit(RLIMIT_NOFILE, sLimits.nOpenFiles);
                limit(RLIMIT_AS, sLimits.nAddressSpace);
                char *apszWorker[] = {const_cast<char *>(SWATCH_EXE), nullptr};
                char *apszSupervisor[] = {const_cast<char *>(kMultiwatch),
                                          const_cast<char *>("-f"), &osCount[0],
                                          const_cast<char *>("--"),
                                          const_cast<char *>(SWATCH_EXE), nullptr};
                char *apszEnv[] = {nullptr};
                execve(bSupervised ? kMultiwatch : SWATCH_EXE,
                       bSupervised ? apszSupervisor : apszWorker, apszEnv);
                _exit(127);
            }
            m_anPids.push_back(nPid);
        }
        close(fdListen);
    }
    ~Worker()
    {
        // The supervisor stops its workers on SIGTERM.
        for (const int nPid : m_anPids)
        {
            kill(nPid, m_bSupervised ? SIGTERM : SIGKILL);
            waitpid(nPid, nullptr, 0);
        }
    }
    int Connect() const
    {
        return ConnectToUnixSocket(m_osSocket);
    }
    /* Sends the first worker the signal and waits for it to end; returns
     * its wait status. The worker is then no longer this object's to stop. */
    int StopWith(int nSignal)
    {
        int nStatus = -1;
        if (m_anPids.empty())
            return nStatus;
        if (kill(m_anPids[0], nSignal) == 0)
            waitpid(m_anPids[0], &nStatus, 0);
        m_anPids.erase(m_anPids.begin());
        return nStatus;
    }
    int Pid() const
    {
        return m_anPids.empty() ? -1 : m_anPids[0];
    }

    static constexpr const char *kMultiwatch = "/usr/bin/multiwatch";

  private:
    std::string m_osSocket;
    bool m_bSupervised;
    std::vector<int> m_anPids;
};

bool SendAll(int fd, const std::string &osData)
{
    return send(fd, osData.data(), osData.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(osData.size());
}

/* Reads records, collecting STDOUT, until END_REQUEST, or until nStdout
 * bytes of it have come (nStdout > 0). False on a closed connection or a
 * time-out. */
bool ReadReply(int fd, std::string &osStdout, size_t nStdout = 0)
{
    while (nStdout == 0 || osStdout.size() < nStdout)
    {
        unsigned char abyHeader[8];
        if (recv(fd, abyHeader, 8, MSG_WAITALL) != 8)
            return false;
        const size_t nLength = (abyHeader[4] << 8 | abyHeader[5]) + abyHeader[6];
        std::string osContent(nLength, '\0');
        if (nLength > 0 && recv(fd, &osContent[0], nLength, MSG_WAITALL) !=
                               static_cast<ssize_t>(nLength))
            return false;
        osContent.resize(abyHeader[4] << 8 | abyHeader[5]);
        if (abyHeader[1] == kStdout)
            osStdout += osContent;
        else if (abyHeader[1] == kEndRequest)
            return nStdout == 0;
    }
    return true;
}

} // namespace

TEST(FastCgiWire, KeptConnectionWithTheEndOfInputAfterTheReply)
{
    TempDir oDir;
    Worker oWorker(oDir.Path("swatch.sock"));
    const int fd = oWorker.Connect();
    ASSERT_GE(fd, 0);

    const auto oGet = CgiGet("/40/20/255/0/0", "Outline=0000FF");
    const std::string osBody = "LineType=Hatch&HatchType=3&Color=00FF00";
    const auto oPost = CgiPost("/30/10", osBody);
    const std::string osGetReply = RunProgram(SWATCH_EXE, {}, oGet).osStdout;
    const std::string osPostReply = RunProgram(SWATCH_EXE, {}, oPost, osBody).osStdout;
    ASSERT_EQ(osGetReply.rfind(kImageHeader, 0), 0u);

    for (int nRound = 0; nRound < 3; nRound++)
    {
        SCOPED_TRACE(nRound);
        // A GET: the reply comes without the end of the input, which is sent
        // afterwards in a write of its own.
        ASSERT_TRUE(SendAll(fd, RequestHead(oGet)));
        std::string osReply;
        ASSERT_TRUE(ReadReply(fd, osReply, osGetReply.size()));
        EXPECT_EQ(osReply, osGetReply);
        ASSERT_TRUE(SendAll(fd, Record(kStdin, "")));
        std::string osRest;
        ASSERT_TRUE(ReadReply(fd, osRest));
        EXPECT_EQ(osRest, "");

        // A POST on the same connection, its body split across two records.
        ASSERT_TRUE(SendAll(fd, RequestHead(oPost) + Record(kStdin, osBody.substr(0, 7)) +
                                    Record(kStdin, osBody.substr(7)) + Record(kStdin, "")));
        std::string osPost;
        ASSERT_TRUE(ReadReply(fd, osPost));
        EXPECT_EQ(osPost, osPostReply);
    }
    close(fd);
}

namespace
{

const std::map<std::string, std::string> oSmallGet = CgiGet("/8/8");

/* One GET with its end of input on the connection; its reply's output. */
std::string Answer(int fd, const std::map<std::string, std::string> &oParams = oSmallGet)
{
    std::string osReply;
    if (!SendAll(fd, RequestHead(oParams) + Record(kStdin, "")) || !ReadReply(fd, osReply))
        return "";
    return osReply;
}

/* The resident size of a process, in KiB. */
long ResidentKb(int nPid)
{
    const std::string osStatus = ReadFile("/proc/" + std::to_string(nPid) + "/status");
    const size_t nAt = osStatus.find("VmRSS:");
    return nAt == std::string::npos ? -1 : atol(osStatus.c_str() + nAt + 6);
}

} // namespace

TEST(FastCgiWire, IdleKeptConnectionsHoldNoWorker)
{
    // Two workers, four kept connections that each had a request and now
    // say nothing: a fifth connection is answered at once.
    TempDir oDir;
    Worker oWorkers(oDir.Path("swatch.sock"), 2);
    const std::string osExpected = RunProgram(SWATCH_EXE, {}, oSmallGet).osStdout;
    std::vector<int> anIdle;
    for (int i = 0; i < 4; i++)
    {
        anIdle.push_back(oWorkers.Connect());
        ASSERT_GE(anIdle.back(), 0);
        ASSERT_EQ(Answer(anIdle.back()), osExpected) << "kept connection " << i;
    }
    const auto tStart = std::chrono::steady_clock::now();
    const int fdNew = oWorkers.Connect();
    EXPECT_EQ(Answer(fdNew), osExpected);
    printf("Answered beside 4 idle kept connections in %.4f s\n",
           std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count());
    // The idle ones still carry requests, in turn: they were neither waited
    // for nor dropped to answer the new one.
    for (const int fd : anIdle)
        EXPECT_EQ(Answer(fd), osExpected);
    for (const int fd : anIdle)
        close(fd);
    close(fdNew);
}

TEST(FastCgiWire, BodiesPastTheLimitAreRefusedAndSkipped)
{
    // A body longer than the program takes is refused with 413 without
    // being kept; the rest of it is read past, and the connection carries
    // the next request. A POST without a length (a chunked body passed on)
    // is all of its input.
    TempDir oDir;
    Worker oWorker(oDir.Path("swatch.sock"));
    const int fd = oWorker.Connect();
    ASSERT_GE(fd, 0);
    auto oPost = CgiPost("/8/8", "");
    // The request with its input in records of at most 60000 bytes; the
    // reply's output.
    const auto exchange = [&](const std::string &osInput) {
        std::string osRecords = RequestHead(oPost), osReply;
        for (size_t i = 0; i < osInput.size(); i += 60000)
            osRecords += Record(kStdin, osInput.substr(i, 60000));
        if (!SendAll(fd, osRecords + Record(kStdin, "")) || !ReadReply(fd, osReply))
            return std::string("no reply");
        return osReply;
    };
    const std::string osLong(100000, 'x');
    oPost["CONTENT_LENGTH"] = "100000";
    EXPECT_EQ(exchange(osLong).rfind(kTooLongHeader + "ERROR 413: ", 0), 0u);

    oPost.erase("CONTENT_LENGTH");
    const std::string osBody = "LineType=Hatch&HatchType=3&Color=00FF00";
    const std::string osReply = exchange(osBody);
    oPost["CONTENT_LENGTH"] = std::to_string(osBody.size());
    EXPECT_EQ(osReply, RunProgram(SWATCH_EXE, {}, oPost, osBody).osStdout);

    oPost.erase("CONTENT_LENGTH");
    EXPECT_EQ(exchange(osLong).rfind(kTooLongHeader + "ERROR 413: ", 0), 0u);
    EXPECT_EQ(Answer(fd), RunProgram(SWATCH_EXE, {}, oSmallGet).osStdout);
    close(fd);
}

TEST(FastCgiWire, LargeSwatchLeavesAnIdleWorkerSmall)
{
    // What an idle worker holds after 6000 x 6000 swatches (36 MB of image,
    // 1.2 MB of reply each, on four kept connections) is what it held after
    // a small one: the memory is handed back, the replies' room too (each
    // kept connection once held its largest reply's).
    if (kSanitized)
        GTEST_SKIP() << "AddressSanitizer keeps freed memory in its quarantine";
    TempDir oDir;
    Worker oWorker(oDir.Path("swatch.sock"));
    int afd[4];
    for (int &fd : afd)
        ASSERT_GE(fd = oWorker.Connect(), 0);
    const int fd = afd[0];
    const std::string osSmall = RunProgram(SWATCH_EXE, {}, oSmallGet).osStdout;
    ASSERT_EQ(Answer(fd), osSmall);
    const long nIdleKb = ResidentKb(oWorker.Pid());
    for (const int fdLarge : afd)
    {
        const std::string osReply = Answer(
            fdLarge, CgiGet("/6000/6000", "LineType=Hatch&HatchType=5&HatchSpacing=2&LineStyle=xx%20x%20%20x"));
        ASSERT_EQ(osReply.rfind(kImageHeader + "GIF89a", 0), 0u);
        ASSERT_GT(osReply.size(), 1000000u);
    }
    // The worker hands the memory back once the reply is out, and what it
    // kept for the next request once it has been idle a second: it holds
    // what it held idle before them (it held 2 MiB more, 3.4 MiB in all
    // where it is linked statically; a shared libgdal's pages add the same
    // to both figures).
    long nKb = ResidentKb(oWorker.Pid());
    for (int nTry = 0; nTry < 40 && nKb - nIdleKb >= 1024; nTry++, usleep(100000))
        nKb = ResidentKb(oWorker.Pid());
    printf("Idle worker: %ld KiB resident, %ld KiB after 6000 x 6000 swatches\n", nIdleKb, nKb);
    EXPECT_GT(nIdleKb, 0);
    EXPECT_LT(nKb - nIdleKb, 1024);
    // Small requests after it are answered as before.
    EXPECT_EQ(Answer(fd), osSmall);
    for (const int fdKept : afd)
        close(fdKept);
}

/* A PARAMS record whose name and value lengths add up past 2 GiB (libfcgi,
 * which the worker once used, asked for a negative amount of memory and
 * its assertion ended the worker): the connection that sent it is closed,
 * and the same worker answers the next requests. */
TEST(FastCgiWire, HostileParamsRecordCostsNoService)
{
    TempDir oDir;
    Worker oWorker(oDir.Path("swatch.sock"));
    const std::string osExpected = RunProgram(SWATCH_EXE, {}, oSmallGet).osStdout;
    for (int nRound = 0; nRound < 3; nRound++)
    {
        SCOPED_TRACE(nRound);
        const int fdHostile = oWorker.Connect();
        ASSERT_GE(fdHostile, 0);
        const std::string osPair = Length(0x7FFFFFFF) + Length(0x7FFFFFF0) + "REQUEST";
        ASSERT_TRUE(SendAll(fdHostile, BeginRecord() +
                                           Record(kParams, osPair) + Record(kParams, "")));
        std::string osReply;
        EXPECT_FALSE(ReadReply(fdHostile, osReply)); // closed, unanswered
        EXPECT_EQ(osReply, "");
        close(fdHostile);
        const int fd = oWorker.Connect();
        EXPECT_EQ(Answer(fd), osExpected);
        close(fd);
    }
    EXPECT_EQ(waitpid(oWorker.Pid(), nullptr, WNOHANG), 0); // still the same worker
}

TEST(FastCgiWire, PipelinedRequestsAreAnsweredInOrder)
{
    // Three requests in one write, the next one's records right behind the
    // last one's end: each is answered, in turn (libfcgi dropped what it
    // had read ahead, and with it the second request).
    TempDir oDir;
    Worker oWorker(oDir.Path("swatch.sock"));
    const int fd = oWorker.Connect();
    ASSERT_GE(fd, 0);
    const std::string osBody = "SymbolId=5&Color=0000FF";
    const auto oPost = CgiPost("/12/6", osBody);
    auto oOther = oSmallGet;
    oOther["QUERY_STRING"] = "LineType=ZigZag";
    ASSERT_TRUE(SendAll(fd, RequestHead(oSmallGet) + Record(kStdin, "") + RequestHead(oPost) +
                                Record(kStdin, osBody) + Record(kStdin, "") +
                                RequestHead(oOther) + Record(kStdin, "")));
    for (const auto &sExpected : {RunProgram(SWATCH_EXE, {}, oSmallGet),
                                  RunProgram(SWATCH_EXE, {}, oPost, osBody),
                                  RunProgram(SWATCH_EXE, {}, oOther)})
    {
        std::string osReply;
        ASSERT_TRUE(ReadReply(fd, osReply));
        EXPECT_EQ(osReply, sExpected.osStdout);
    }
    close(fd);
}

namespace
{

double SecondsSince(std::chrono::steady_clock::time_point tStart)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
}

/* The processor time a process has used, in seconds. */
double CpuSeconds(int nPid)
{
    const std::string osStat = ReadFile("/proc/" + std::to_string(nPid) + "/stat");
    const size_t nAt = osStat.rfind(')');
    if (nAt == std::string::npos)
        return -1;
    long nUser = 0, nSystem = 0;
    // After the name: state and ten fields, then utime and stime.
    if (sscanf(osStat.c_str() + nAt + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld",
               &nUser, &nSystem) != 2)
        return -1;
    return static_cast<double>(nUser + nSystem) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

} // namespace

TEST(FastCgiWire, SlowPeersHoldNoWorker)
{
    // One worker. Four peers send a 64 KiB body a few bytes at a time, and
    // four take none of a large reply: a request beside them is answered at
    // once. The slow bodies get 408 once their time is up.
    TempDir oDir;
    Worker oWorker(oDir.Path("swatch.sock"));
    auto oPost = CgiPost("/8/8", "");
    oPost["CONTENT_LENGTH"] = "65536";
    const auto oLarge =
        CgiGet("/3000/3000", "LineType=Hatch&HatchType=5&HatchSpacing=2&LineStyle=x%20xx%20%20");
    std::vector<int> anSlowBodies, anSlowReaders;
    for (int i = 0; i < 4; i++)
    {
        anSlowBodies.push_back(oWorker.Connect());
        ASSERT_TRUE(SendAll(anSlowBodies.back(), RequestHead(oPost) + Record(kStdin, "Color=")));
        anSlowReaders.push_back(oWorker.Connect());
        ASSERT_TRUE(SendAll(anSlowReaders.back(), RequestHead(oLarge) + Record(kStdin, "")));
    }
    const auto tStart = std::chrono::steady_clock::now();
    const int fd = oWorker.Connect();
    const std::string osReply = Answer(fd);
    EXPECT_EQ(osReply, RunProgram(SWATCH_EXE, {}, oSmallGet).osStdout);
    printf("Answered beside 4 slow bodies and 4 slow readers in %.3f s\n", SecondsSince(tStart));
    // Answered while the slow peers were still held: none of them has had
    // its answer (the bodies' 408 comes only when their time is up).
    for (const int fdSlow : anSlowBodies)
    {
        pollfd sPoll{fdSlow, POLLIN, 0};
        EXPECT_EQ(poll(&sPoll, 1, 0), 0) << "a slow body was answered before the request beside it";
    }

    for (const int fdSlow : anSlowBodies)
    {
        std::string osTimedOut;
        EXPECT_TRUE(SendAll(fdSlow, Record(kStdin, "00FF")));
        EXPECT_TRUE(ReadReply(fdSlow, osTimedOut)); // within the client's 10 s + the worker's
        EXPECT_EQ(osTimedOut.rfind("Status: 408 Request Timeout\n", 0), 0u) << osTimedOut;
    }
    printf("Slow bodies answered 408 after %.1f s\n", SecondsSince(tStart));
    for (const int fdSlow : anSlowBodies)
        close(fdSlow);
    for (const int fdSlow : anSlowReaders)
        close(fdSlow);
    close(fd);
}

TEST(FastCgiWire, AtTheOpenFilesLimitTheWorkerWaitsAndServes)
{
    // A worker that may open 16 descriptors and is offered 30 connections:
    // it serves those it holds, does not spin on those it cannot take, and
    // takes the others as descriptors come free.
    if (kSanitized)
        GTEST_SKIP() << "UndefinedBehaviorSanitizer checks memory through a pipe, which takes "
                        "descriptors the limit leaves none of";
    TempDir oDir;
    WorkerLimits sLimits;
    sLimits.nOpenFiles = 16;
    Worker oWorker(oDir.Path("swatch.sock"), 1, false, sLimits);
    const std::string osExpected = RunProgram(SWATCH_EXE, {}, oSmallGet).osStdout;
    std::vector<int> anConnections;
    for (int i = 0; i < 30; i++)
        anConnections.push_back(oWorker.Connect());
    ASSERT_EQ(Answer(anConnections[0]), osExpected);
    const double dfCpuBefore = CpuSeconds(oWorker.Pid());
    usleep(1000000);
    const double dfCpu = CpuSeconds(oWorker.Pid()) - dfCpuBefore;
    printf("Worker at its open-files limit used %.2f s of processor in 1 s\n", dfCpu);
    EXPECT_LT(dfCpu, 0.2);
    EXPECT_EQ(Answer(anConnections[0]), osExpected);
    // Each connection closed makes room for one that waits.
    for (size_t i = 0; i + 1 < anConnections.size(); i++)
    {
        SCOPED_TRACE(i);
        close(anConnections[i]);
        ASSERT_EQ(Answer(anConnections[i + 1]), osExpected);
    }
    close(anConnections.back());
}

TEST(FastCgiWire, OutOfMemoryOnTheSvgRoadAnswersAndGoesOn)
{
    // Room for the worker and a little more: an SVG of many shapes runs the
    // C++ library out of memory. The request gets the error page and the
    // same worker answers the next one.
    if (kSanitized)
        GTEST_SKIP() << "AddressSanitizer cannot run under a limited address space";
    TempDir oDir;
    const long long nAtRest = ProgramAddressSpace(SWATCH_EXE);
    ASSERT_GT(nAtRest, 0);
    WorkerLimits sLimits;
    sLimits.nAddressSpace = static_cast<rlim_t>(nAtRest + (10 << 20));
    Worker oWorker(oDir.Path("swatch.sock"), 1, false, sLimits);
    const int fd = oWorker.Connect();
    ASSERT_GE(fd, 0);
    const auto oSvg = CgiGet("/65535/1024", "LineType=Hatch&HatchType=5&HatchSpacing=1&Format=svg");
    EXPECT_EQ(Answer(fd, oSvg), kFailedHeader + "ERROR 2: Out of memory while drawing the swatch.\n");
    EXPECT_EQ(Answer(fd), RunProgram(SWATCH_EXE, {}, oSmallGet).osStdout);
    EXPECT_EQ(waitpid(oWorker.Pid(), nullptr, WNOHANG), 0);
    close(fd);
}

TEST(FastCgiWire, StopsWhenItsManagerSaysSo)
{
    // Process managers stop workers with SIGTERM (lighttpd, spawn-fcgi's
    // users) or SIGUSR1 (multiwatch): the worker ends at once, even while it
    // holds a kept connection, and reports no failure.
    for (const int nSignal : {SIGTERM, SIGUSR1})
    {
        SCOPED_TRACE(nSignal);
        TempDir oDir;
        Worker oWorker(oDir.Path("swatch.sock"));
        const int fd = oWorker.Connect();
        ASSERT_GE(fd, 0);
        ASSERT_EQ(Answer(fd), RunProgram(SWATCH_EXE, {}, oSmallGet).osStdout);
        const int nStatus = oWorker.StopWith(nSignal);
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus;
        close(fd);
    }
}

/* The hostile peers of a review of the record layer, one case each: what
 * each cost a worker before, and the bound it is held to now. */
TEST(FastCgiWire, GetValuesIsAnsweredOnceANameInOneRecord)
{
    // A name asked over and over made an answer longer than a record holds
    // (its length wrapped): each name is answered once. (What a peer that
    // reads none of the answers can queue is the record layer's test.)
    TempDir oDir;
    Worker oWorker(oDir.Path("swatch.sock"));
    const int fd = oWorker.Connect();
    ASSERT_GE(fd, 0);
    std::string osAsked;
    for (int i = 0; i < 4000; i++)
        osAsked += Length(14) + Length(0) + "FCGI_MAX_CONNS";
    ASSERT_TRUE(SendAll(fd, Record(static_cast<RecordType>(9), osAsked, 0)));
    unsigned char abyHeader[8];
    ASSERT_EQ(recv(fd, abyHeader, 8, MSG_WAITALL), 8);
    EXPECT_EQ(abyHeader[1], 10); // GET_VALUES_RESULT
    EXPECT_EQ(abyHeader[4] << 8 | abyHeader[5], 2 + 14 + 3); // FCGI_MAX_CONNS=256, once
    close(fd);
}

TEST(FastCgiWire, TinyParametersAreChargedTheirCost)
{
    // 64 KiB of one-letter parameters held 22 times their size (a string on
    // the heap a pair): they are counted with what they cost, and refused.
    TempDir oDir;
    Worker oWorker(oDir.Path("swatch.sock"));
    const int fd = oWorker.Connect();
    ASSERT_GE(fd, 0);
    std::string osPairs;
    for (int i = 0; osPairs.size() < 60000; i++)
        osPairs += Length(1) + Length(0) + static_cast<char>('a' + i % 26);
    std::string osReply;
    ASSERT_TRUE(SendAll(fd, BeginRecord() + Record(kParams, osPairs) + Record(kParams, "") + Record(kStdin, "")));
    ASSERT_TRUE(ReadReply(fd, osReply));
    EXPECT_NE(osReply.find("parameters are longer than"), std::string::npos) << osReply.substr(0, 200);
    // An ordinary request on the same connection is answered as before.
    EXPECT_EQ(Answer(fd), RunProgram(SWATCH_EXE, {}, oSmallGet).osStdout);
    close(fd);
}

TEST(FastCgiWire, PeerGoneWhileItsInputIsHeldCostsNoCpu)
{
    // Four requests begun and a fifth held with a whole record behind it,
    // then the peer goes: the worker polled the hung-up socket again and
    // again (162,847 polls, 3.8 s of CPU in 12 s). It is closed instead.
    TempDir oDir;
    Worker oWorker(oDir.Path("swatch.sock"));
    const int fd = oWorker.Connect();
    ASSERT_GE(fd, 0);
    std::string osHeld;
    for (int nId = 1; nId <= 5; nId++)
        osHeld += BeginRecord(nId);
    osHeld += Record(kParams, std::string(65535, 'x'), 5) + Record(kStdin, std::string(1000, 'y'), 5);
    ASSERT_TRUE(SendAll(fd, osHeld));
    usleep(200000);
    close(fd);
    const double dfBefore = CpuSeconds(oWorker.Pid());
    usleep(2000000);
    const double dfCpu = CpuSeconds(oWorker.Pid()) - dfBefore;
    printf("CPU in the 2 s after the peer went: %.2f s\n", dfCpu);
    EXPECT_LT(dfCpu, 0.2);
}

TEST(FastCgiWire, StopFinishesTheRepliesInFlight)
{
    // SIGTERM cut a 9.5 MB reply at 3.9 MB, with no END_REQUEST: stopping
    // now sends the request that was received its whole reply, and then
    // ends with status 0.
    TempDir oDir;
    Worker oWorker(oDir.Path("swatch.sock"));
    const int fd = oWorker.Connect();
    ASSERT_GE(fd, 0);
    const auto oLarge = CgiGet("/6000/6000", "LineType=Hatch&HatchType=5&HatchSpacing=2&LineStyle=xx%20x%20%20x");
    const std::string osExpected = RunProgram(SWATCH_EXE, {}, oLarge).osStdout;
    ASSERT_TRUE(SendAll(fd, RequestHead(oLarge) + Record(kStdin, "")));
    std::string osReply;
    ASSERT_TRUE(ReadReply(fd, osReply, 1)); // the reply has begun
    kill(oWorker.Pid(), SIGTERM);
    std::string osRest;
    ASSERT_TRUE(ReadReply(fd, osRest));
    EXPECT_EQ(osReply + osRest, osExpected);
    const int nStatus = oWorker.StopWith(0);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus;
    close(fd);
}

TEST(FastCgiWire, SilentConnectionsAtTheLimitMakeRoom)
{
    // 256 connections that say nothing held a worker's every place for
    // 60 s: at the limit, the one silent the longest is closed for a new
    // one, and a connection that never sends is closed after 10 s.
    TempDir oDir;
    Worker oWorker(oDir.Path("swatch.sock"));
    std::vector<int> afdSilent;
    for (int i = 0; i < 256; i++)
    {
        afdSilent.push_back(oWorker.Connect());
        ASSERT_GE(afdSilent.back(), 0);
    }
    usleep(200000);
    const auto tStart = std::chrono::steady_clock::now();
    const int fd = oWorker.Connect();
    EXPECT_EQ(Answer(fd), RunProgram(SWATCH_EXE, {}, oSmallGet).osStdout);
    EXPECT_LT(SecondsSince(tStart), 2.0);
    close(fd);
    // The first of them was closed to make room (its end of input reads 0),
    // and only it: the next one is still open (it closed a second one while
    // it looked for another connection to take).
    char c;
    EXPECT_EQ(recv(afdSilent[0], &c, 1, 0), 0);
    EXPECT_EQ(recv(afdSilent[1], &c, 1, MSG_DONTWAIT), -1);
    EXPECT_EQ(errno, EAGAIN);
    for (const int fdSilent : afdSilent)
        close(fdSilent);
}
