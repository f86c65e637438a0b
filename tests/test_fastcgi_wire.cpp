/* The FastCGI worker spoken to directly, record by record, the way a server
 * that keeps its connections does: several requests on one connection, the
 * end of a request's input sent in a write of its own, after the reply. */
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "fastcgi_client.h"
#include "test_util.h"

using namespace swatchtest;
using namespace fastcgiclient;

namespace
{

/* A worker: the program with a listening socket as standard input. */
class Worker
{
  public:
    explicit Worker(const std::string &osSocket) : m_osSocket(osSocket)
    {
        const int fdListen = ListenOnUnixSocket(osSocket);
        if (fdListen < 0)
            return;
        m_nPid = fork();
        if (m_nPid == 0)
        {
            dup2(fdListen, 0);
            char *apszArgv[] = {const_cast<char *>(SWATCH_EXE), nullptr};
            char *apszEnv[] = {nullptr};
            execve(SWATCH_EXE, apszArgv, apszEnv);
            _exit(127);
        }
        close(fdListen);
    }
    ~Worker()
    {
        if (m_nPid > 0)
        {
            kill(m_nPid, SIGKILL);
            waitpid(m_nPid, nullptr, 0);
        }
    }
    int Connect() const
    {
        return ConnectToUnixSocket(m_osSocket);
    }

  private:
    std::string m_osSocket;
    int m_nPid = -1;
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

    const std::map<std::string, std::string> oGet = {{"REQUEST_METHOD", "GET"},
                                                     {"SCRIPT_NAME", "/cgi-bin/swatch"},
                                                     {"PATH_INFO", "/40/20/255/0/0"},
                                                     {"QUERY_STRING", "Outline=0000FF"}};
    std::map<std::string, std::string> oPost = {{"REQUEST_METHOD", "POST"},
                                                {"SCRIPT_NAME", "/cgi-bin/swatch"},
                                                {"PATH_INFO", "/30/10"}};
    const std::string osBody = "LineType=Hatch&HatchType=3&Color=00FF00";
    oPost["CONTENT_LENGTH"] = std::to_string(osBody.size());
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
