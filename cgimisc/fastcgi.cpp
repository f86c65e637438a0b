/*
 * Persistent mode: started by a FastCGI process manager (standard input is
 * then a listening socket), the program answers request after request in
 * one process. Each request goes through AnswerRequestInProcess: it sees
 * exactly what a CGI run would, its own CGI variables as the environment
 * and its body on standard input, and its reply is the same bytes. An error
 * ends that request only.
 *
 * A worker holds any number of connections and answers whichever has a
 * request ready, one request at a time, accepting new connections
 * meanwhile: a server's idle kept connection never takes a worker out of
 * service.
 */
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <cpl_error.h>
#include <cpl_string.h>
#include <fcgiapp.h>

#include "swatch.h"
#include "vxmcgi.h"

namespace
{

/* Reads the request's input up to its end, or up to nMax bytes. */
void ReadInput(FCGX_Request &sRequest, std::string &osInput, size_t nMax)
{
    char abyBuffer[16384];
    while (osInput.size() < nMax)
    {
        const int nRead = FCGX_GetStr(
            abyBuffer, static_cast<int>(std::min(sizeof(abyBuffer), nMax - osInput.size())),
            sRequest.in);
        if (nRead <= 0)
            break;
        osInput.append(abyBuffer, static_cast<size_t>(nRead));
    }
}

/* Reads the request's body: up to CONTENT_LENGTH bytes, all that a CGI run
 * could read, and never more than the program takes (a longer body is
 * refused before it is read). A request without a length reads nothing, so
 * its answer does not wait for the end of its input. */
void ReadRequestBody(FCGX_Request &sRequest, std::string &osBody)
{
    const int nLength = VXMCgiAtoi(FCGX_GetParam("CONTENT_LENGTH", sRequest.envp));
    if (nLength <= 0 || nLength > kVXMCgiMaxBodyBytes)
        return;
    osBody.reserve(static_cast<size_t>(nLength));
    ReadInput(sRequest, osBody, static_cast<size_t>(nLength));
}

/* Reads and drops whatever is left of the request's input, up to its end.
 * libfcgi leaves it on the connection otherwise, and a server that keeps
 * the connection for its next request (sending the empty closing record in
 * a write of its own, perhaps after the reply) would have that request
 * read from the middle of this one's records. */
void DrainRequestInput(FCGX_Request &sRequest)
{
    char abyBuffer[16384];
    while (FCGX_GetStr(abyBuffer, sizeof(abyBuffer), sRequest.in) > 0)
    {
    }
}

/* Writes what the reply's FILE passes on to the request's FastCGI output. */
ssize_t WriteToRequestOutput(void *pCookie, const char *pabyData, size_t nSize)
{
    auto *poOut = static_cast<FCGX_Stream *>(pCookie);
    const int nChunk = static_cast<int>(std::min<size_t>(nSize, 1 << 30));
    return FCGX_PutStr(pabyData, nChunk, poOut) == nChunk ? nChunk : -1;
}

/* Answers one accepted request. AnswerRequestInProcess builds the reply in
 * memory (an error page must be able to replace it whole) and then writes
 * it to a FILE that passes it on to the FastCGI stream. The reply goes out
 * before the rest of the input is read, for a server that sends the end of
 * the input only then. */
void ServeOneRequest(FCGX_Request &sRequest)
{
    std::string osBody;
    char **papszVariables = sRequest.envp;
    CPLStringList aosWithLength;
    const char *pszMethod = FCGX_GetParam("REQUEST_METHOD", sRequest.envp);
    if (pszMethod != nullptr && strcmp(pszMethod, "POST") == 0 &&
        FCGX_GetParam("CONTENT_LENGTH", sRequest.envp) == nullptr)
    {
        // A server that passes on a chunked body may not know its length:
        // the body is then all the request's input, and the request gets
        // its length as a CGI run would. One longer than the program takes
        // is given that length and no bytes, and is refused.
        ReadInput(sRequest, osBody, kVXMCgiMaxBodyBytes + 1);
        aosWithLength.Assign(CSLDuplicate(sRequest.envp), TRUE);
        aosWithLength.SetNameValue("CONTENT_LENGTH", std::to_string(osBody.size()).c_str());
        if (osBody.size() > static_cast<size_t>(kVXMCgiMaxBodyBytes))
            osBody.clear();
        papszVariables = aosWithLength.List();
    }
    else
        ReadRequestBody(sRequest, osBody);

    cookie_io_functions_t sWriter = {nullptr, WriteToRequestOutput, nullptr, nullptr};
    FILE *fpReply = fopencookie(sRequest.out, "w", sWriter);
    if (fpReply == nullptr)
    {
        CPLError(CE_Failure, CPLE_OutOfMemory, "FastCGI worker: cannot open the reply stream.");
        FCGX_FPrintF(sRequest.out, "Status: 500 Internal Server Error\r\n\r\n");
    }
    else
    {
        AnswerRequestInProcess(papszVariables, osBody.data(), osBody.size(), fpReply);
        fclose(fpReply);
    }
    // The body is let go of as soon as the request is answered.
    std::string().swap(osBody);
    FCGX_FFlush(sRequest.out);
    DrainRequestInput(sRequest);
}

} // namespace

bool IsStartedByFastCgi()
{
    // A FastCGI process manager hands over a listening socket as standard
    // input. (FCGX_IsCGI would tell as well, but it initialises the library,
    // which takes over SIGTERM and SIGPIPE also in a plain CGI run.)
    int bListening = 0;
    socklen_t nLength = sizeof(bListening);
    return getsockopt(0, SOL_SOCKET, SO_ACCEPTCONN, &bListening, &nLength) == 0 && bListening;
}

namespace
{

/* Set when the process manager asks the worker to stop. */
volatile sig_atomic_t bStopRequested = 0;

void RequestStop(int)
{
    bStopRequested = 1;
}

/* How many connections one worker holds at most; past that it leaves new
 * ones to the other workers. */
constexpr size_t kMaxConnections = 256;
/* A peer that stops halfway through a record, or stops reading the reply,
 * is given up after this long instead of holding the worker. */
constexpr int kStalledPeerSeconds = 10;

/* Accepts one waiting connection; -1 when there is none (another worker
 * took it) or on failure. */
int AcceptConnection(int fdListen)
{
    const int fd = accept4(fdListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return -1;
    // The connection is read only once poll says it has data; blocking
    // reads within a request are bounded in time.
    const timeval sTimeout = {kStalledPeerSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &sTimeout, sizeof(sTimeout));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sTimeout, sizeof(sTimeout));
    return fd;
}

/* A libfcgi request bound to one connection. It has no listening socket of
 * its own, so libfcgi never accepts (and waits) on its behalf: a connection
 * that ends leaves it with no descriptor. */
std::unique_ptr<FCGX_Request> NewConnection(int fd)
{
    auto poRequest = std::make_unique<FCGX_Request>();
    FCGX_InitRequest(poRequest.get(), -1, 0);
    poRequest->ipcFd = fd;
    // Kept until its first request says otherwise (libfcgi closes a
    // connection it is not told to keep before it reads from it).
    poRequest->keepConnection = 1;
    return poRequest;
}

/* Answers the request that has arrived on the connection; false when the
 * connection is over (closed by the server, broken, or not to be kept). */
bool ServeConnection(FCGX_Request &sRequest)
{
    if (FCGX_Accept_r(&sRequest) < 0)
        return false;
    ServeOneRequest(sRequest);
    FCGX_Finish_r(&sRequest);
    GiveBackMemoryOfLargeRequests();
    return sRequest.ipcFd >= 0;
}

} // namespace

int ServeFastCgi(int fdListen)
{
    // A server that goes away mid-reply must not end the worker.
    signal(SIGPIPE, SIG_IGN);

    // Errors of the worker itself go to CPL's default handler, standard
    // error, which the server keeps in its error log.
    if (FCGX_Init() != 0)
    {
        CPLError(CE_Failure, CPLE_AppDefined, "FastCGI worker: cannot initialise libfcgi.");
        return 1;
    }
    // A process manager stops its workers with SIGTERM, or SIGUSR1 (the
    // FastCGI way, multiwatch's): the worker finishes the request it is
    // answering and ends. (libfcgi's own handler only notes the signal for
    // its accept loop, which this worker does not run.)
    struct sigaction sStop = {};
    sStop.sa_handler = RequestStop;
    sigemptyset(&sStop.sa_mask);
    sigaction(SIGTERM, &sStop, nullptr);
    sigaction(SIGUSR1, &sStop, nullptr);

    // Workers share the listening socket: one that wakes for a connection
    // another has taken goes back to its own connections at once.
    const int nFlags = fcntl(fdListen, F_GETFL);
    if (nFlags == -1 || fcntl(fdListen, F_SETFL, nFlags | O_NONBLOCK) == -1)
    {
        CPLError(CE_Failure, CPLE_AppDefined, "FastCGI worker: cannot use the listening socket.");
        return 1;
    }
    KeepMemoryBetweenRequests();

    std::vector<std::unique_ptr<FCGX_Request>> apoConnections;
    std::vector<pollfd> asPoll;
    while (!bStopRequested)
    {
        // The kept connections first, in the order they came, then the
        // listening socket while there is room for another connection.
        asPoll.clear();
        for (const auto &poConnection : apoConnections)
            asPoll.push_back({poConnection->ipcFd, POLLIN, 0});
        if (apoConnections.size() < kMaxConnections)
            asPoll.push_back({fdListen, POLLIN, 0});
        if (poll(asPoll.data(), asPoll.size(), -1) < 0)
        {
            if (errno == EINTR)
                continue;
            CPLError(CE_Failure, CPLE_AppDefined, "FastCGI worker: poll failed.");
            return 1;
        }

        // One request from each connection that has one, so that no
        // connection waits behind another's stream of requests; those that
        // are over are dropped in place.
        const size_t nKept = apoConnections.size();
        size_t nOpen = 0;
        for (size_t i = 0; i < nKept; i++)
        {
            if ((asPoll[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0 ||
                ServeConnection(*apoConnections[i]))
                apoConnections[nOpen++] = std::move(apoConnections[i]);
        }
        apoConnections.resize(nOpen);

        if (asPoll.size() > nKept && (asPoll.back().revents & POLLIN) != 0)
        {
            const int fd = AcceptConnection(fdListen);
            if (fd >= 0)
                apoConnections.push_back(NewConnection(fd));
        }
    }
    return 0;
}
