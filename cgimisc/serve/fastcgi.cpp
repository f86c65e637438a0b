/*
 * Persistent mode: started by a FastCGI process manager (standard input is
 * then a listening socket), the program answers request after request in
 * one process. Each request goes through AnswerRequestInProcess: it sees
 * exactly what a CGI run would, its own CGI variables as the environment
 * and its body on standard input, and its reply is the same bytes. An error
 * ends that request only.
 *
 * A worker holds any number of connections and never waits on one of them:
 * every socket is non-blocking, a request is answered only once all of it
 * has arrived (FastCgiConnection collects it), and a reply that the server
 * does not take at once is sent as it makes room. Only the drawing is done
 * one request at a time. A peer that is slow to send or to take is given
 * up after the times fastcgirecords.h states.
 */
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <malloc.h>
#include <memory>
#include <new>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <cpl_error.h>
#include <cpl_string.h>

#include "fastcgi.h"
#include "fastcgirecords.h"
#include "inprocessrequest.h"
#include "pipeline.h"
#include "replies.h"
#include "vxmcgi.h"

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

/* How long the worker stops accepting when it has no descriptor left for a
 * new connection (the connections it has are served meanwhile). */
constexpr std::chrono::milliseconds kAcceptPause{100};
/* Input taken from one connection in one round, so that a busy one does
 * not keep the others waiting. */
constexpr size_t kReadPerRound = 256 * 1024;
/* How long a connection that is over is still read from (and what comes
 * dropped) before it is closed: a socket closed with input unread is reset,
 * and a reset can take the end of the reply with it. */
constexpr std::chrono::seconds kLingerTime{2};
/* How long after its last answer a worker gives back all the free memory
 * it keeps for the next request: requests that follow each other reuse
 * it, an idle worker holds no more than it started with. */
constexpr std::chrono::seconds kIdleTrimDelay{1};
/* When that is due; never while nothing was answered since the last time. */
FastCgiClock::time_point tTrimAt = FastCgiClock::time_point::max();

struct Connection
{
    Connection(int fdSocket, FastCgiClock::time_point tNow) : fd(fdSocket), oRecords(tNow)
    {
    }
    ~Connection()
    {
        close(fd);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    int fd;
    FastCgiConnection oRecords;
    bool bInputEnded = false; // the server will send no more
    /* Once over: shut for writing, and closed when the server closes its
     * side or this time has come. */
    bool bLingering = false;
    FastCgiClock::time_point tCloseAt;
};

/* Takes what has arrived on the connection; false when it is broken or its
 * input broke the protocol. */
bool ReadConnection(Connection &oConnection, FastCgiClock::time_point tNow)
{
    char abyBuffer[65536];
    size_t nTaken = 0;
    while (oConnection.oRecords.WantsInput() && nTaken < kReadPerRound)
    {
        const ssize_t nRead = recv(oConnection.fd, abyBuffer, sizeof(abyBuffer), 0);
        if (nRead > 0)
        {
            nTaken += static_cast<size_t>(nRead);
            if (!oConnection.oRecords.Receive(abyBuffer, static_cast<size_t>(nRead), tNow))
                return false;
        }
        else if (nRead == 0)
        {
            oConnection.bInputEnded = true;
            return true;
        }
        else if (errno != EINTR)
            return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    return true;
}

/* Sends what the connection has to send, as far as the server takes it;
 * false when the connection is broken. */
bool WriteConnection(Connection &oConnection)
{
    FastCgiConnection &oRecords = oConnection.oRecords;
    while (oRecords.PendingSize() > 0)
    {
        const ssize_t nSent =
            send(oConnection.fd, oRecords.PendingData(), oRecords.PendingSize(), MSG_NOSIGNAL);
        if (nSent > 0)
            oRecords.Sent(static_cast<size_t>(nSent));
        else if (nSent < 0 && errno != EINTR)
            return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    return true;
}

/* The reply's FILE writes into the connection's STDOUT records. */
struct ReplyWriter
{
    FastCgiConnection *poRecords;
    bool bFailed = false;
};

ssize_t WriteReply(void *pCookie, const char *pabyData, size_t nSize)
{
    auto *psWriter = static_cast<ReplyWriter *>(pCookie);
    try
    {
        psWriter->poRecords->AppendReply(pabyData, nSize);
        return static_cast<ssize_t>(nSize);
    }
    catch (const std::bad_alloc &)
    {
        psWriter->bFailed = true;
        return -1;
    }
}

/* The request's variables as a CGI run would have them: a POST whose body
 * had no length (a chunked body passed on) gets the length of what came,
 * or one past what the program takes when more came. */
void SetBodyLength(FastCgiRequest &oRequest)
{
    if (oRequest.bBodyToEnd)
    {
        const size_t nLength =
            oRequest.bBodyTooLong ? kVXMCgiMaxBodyBytes + 1 : oRequest.osBody.size();
        oRequest.aosParams.SetNameValue("CONTENT_LENGTH", std::to_string(nLength).c_str());
    }
}

/* Answers the connection's complete request; false when the reply could
 * not be made (memory ran out), which leaves the connection unusable. */
bool AnswerRequest(FastCgiConnection &oRecords, FastCgiRequest &oRequest)
{
    ReplyWriter sWriter{&oRecords};
    cookie_io_functions_t sFunctions = {nullptr, WriteReply, nullptr, nullptr};
    FILE *fpReply = fopencookie(&sWriter, "w", sFunctions);
    if (fpReply == nullptr)
        return false;
    if (oRequest.bParamsTooLong)
    {
        char szMessage[96];
        snprintf(szMessage, sizeof(szMessage),
                 "The request's parameters are longer than %d bytes.", kVXMCgiMaxBodyBytes);
        WriteErrorPage(fpReply, CPLE_IllegalArg, szMessage);
    }
    else
    {
        SetBodyLength(oRequest);
        AnswerRequestInProcess(oRequest.aosParams.List(), oRequest.osBody.data(),
                               oRequest.osBody.size(), fpReply);
    }
    fclose(fpReply);
    return !sWriter.bFailed;
}

/* One round of a connection: take its input, answer its next request if
 * all of it has come, send, and keep its times. False when the connection
 * is over. */
bool ServeConnection(Connection &oConnection, short nEvents)
{
    FastCgiConnection &oRecords = oConnection.oRecords;
    // Hung up or failed with nothing left to read: the peer is gone and
    // nothing can reach it (polling it again would return at once, for ever).
    if ((nEvents & (POLLHUP | POLLERR)) != 0 && (nEvents & POLLIN) == 0)
        return false;
    try
    {
        if ((nEvents & POLLIN) != 0 && !ReadConnection(oConnection, FastCgiClock::now()))
            return false;
        if (FastCgiRequest *poRequest = oRecords.RequestToAnswer())
        {
            const bool bAnswered = AnswerRequest(oRecords, *poRequest);
            GiveBackMemoryOfLargeRequests();
            tTrimAt = FastCgiClock::now() + kIdleTrimDelay;
            if (!bAnswered)
                return false;
            oRecords.FinishReply(FastCgiClock::now());
        }
        const bool bWasSending = oRecords.PendingSize() > 0;
        if (!WriteConnection(oConnection))
            return false;
        // A large reply's room, freed once it is taken, goes back at once.
        if (bWasSending && oRecords.PendingSize() == 0)
            GiveBackMemoryOfLargeRequests();
        if (!oRecords.CheckTimes(FastCgiClock::now()))
            return false;
        // A server that has sent all it was to send may be left at once;
        // otherwise what it still sends is read first.
        if (oRecords.IsFinished())
        {
            if (oRecords.HasNothingMoreToRead())
                return false;
            if (!oConnection.bLingering)
            {
                shutdown(oConnection.fd, SHUT_WR);
                oConnection.bLingering = true;
                oConnection.tCloseAt = FastCgiClock::now() + kLingerTime;
            }
        }
        if (oConnection.bLingering)
            return !oConnection.bInputEnded && FastCgiClock::now() < oConnection.tCloseAt;
        // A server that has sent its last byte gets what can still be
        // answered; then the connection is over.
        return !oConnection.bInputEnded || oRecords.RequestToAnswer() != nullptr ||
               oRecords.PendingSize() > 0;
    }
    catch (const std::bad_alloc &)
    {
        return false;
    }
}

/* How long poll may wait: until the first connection has something to do
 * by the clock, at once when one has a request to answer. */
int PollTimeoutMs(const std::vector<std::unique_ptr<Connection>> &apoConnections,
                  FastCgiClock::time_point tAcceptAgain, FastCgiClock::time_point tNow)
{
    FastCgiClock::time_point tNext = std::min(tTrimAt, tAcceptAgain > tNow ? tAcceptAgain : FastCgiClock::time_point::max());
    for (const auto &poConnection : apoConnections)
    {
        if (poConnection->oRecords.RequestToAnswer() != nullptr)
            return 0;
        tNext = std::min(tNext, poConnection->bLingering ? poConnection->tCloseAt
                                                        : poConnection->oRecords.NextDeadline());
    }
    if (tNext == FastCgiClock::time_point::max())
        return -1;
    if (tNext <= tNow)
        return 0;
    const auto nMs = std::chrono::ceil<std::chrono::milliseconds>(tNext - tNow).count();
    return static_cast<int>(std::min<long long>(nMs, 60 * 60 * 1000));
}

/* The connection idle the longest, which makes room for a new one when
 * the worker holds as many as it may; null when every one is busy. */
std::unique_ptr<Connection> *LongestIdle(std::vector<std::unique_ptr<Connection>> &apoConnections)
{
    std::unique_ptr<Connection> *ppoOldest = nullptr;
    for (auto &poConnection : apoConnections)
        if (!poConnection->bLingering && poConnection->oRecords.IsIdle() &&
            (ppoOldest == nullptr || poConnection->oRecords.IdleSince() < (*ppoOldest)->oRecords.IdleSince()))
            ppoOldest = &poConnection;
    return ppoOldest;
}

bool HasRoom(std::vector<std::unique_ptr<Connection>> &apoConnections)
{
    return apoConnections.size() < kMaxConnections || LongestIdle(apoConnections) != nullptr;
}

/* Accepts the connections that are waiting, while there is room: at the
 * limit, the connection idle the longest is closed for the new one. When
 * the process has no descriptor left, accepting pauses for a moment
 * instead of waking again at once for the same connection. */
void AcceptConnections(int fdListen, std::vector<std::unique_ptr<Connection>> &apoConnections,
                       FastCgiClock::time_point &tAcceptAgain)
{
    while (true)
    {
        const bool bFull = apoConnections.size() >= kMaxConnections;
        std::unique_ptr<Connection> *ppoIdle = bFull ? LongestIdle(apoConnections) : nullptr;
        if (bFull && ppoIdle == nullptr)
            return;
        const int fd = accept4(fdListen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
        {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                tAcceptAgain = FastCgiClock::now() + kAcceptPause;
            return; // none waiting (another worker took it), or a failure
        }
        // The idle one makes room only once there is a new one to take it
        // (the others keep the order they came in).
        if (ppoIdle != nullptr)
            apoConnections.erase(apoConnections.begin() + (ppoIdle - apoConnections.data()));
        try
        {
            apoConnections.push_back(std::make_unique<Connection>(fd, FastCgiClock::now()));
        }
        catch (const std::bad_alloc &)
        {
            close(fd);
            return;
        }
        // A server sends its request as soon as it connects: it is most
        // often there already, and answered without another wait.
        if (!ServeConnection(*apoConnections.back(), POLLIN))
            apoConnections.pop_back();
    }
}

/* Stops the worker on SIGTERM, SIGINT and SIGUSR1 (a process manager's
 * signals, multiwatch's the last). They are held while a request is
 * answered and taken only while the worker waits; returns the mask to wait
 * with. */
sigset_t TakeStopSignalsWhileWaiting()
{
    struct sigaction sStop = {};
    sStop.sa_handler = RequestStop;
    sigemptyset(&sStop.sa_mask);
    sigset_t sStopSignals, sWaitMask;
    sigemptyset(&sStopSignals);
    for (const int nSignal : {SIGTERM, SIGINT, SIGUSR1})
    {
        sigaction(nSignal, &sStop, nullptr);
        sigaddset(&sStopSignals, nSignal);
    }
    pthread_sigmask(SIG_BLOCK, &sStopSignals, &sWaitMask);
    for (const int nSignal : {SIGTERM, SIGINT, SIGUSR1})
        sigdelset(&sWaitMask, nSignal);
    return sWaitMask;
}

/* Waits until a connection has input, room for output or something to do
 * by the clock, or the listening socket (when bAccepting, last in asPoll)
 * has a connection, or a stop signal comes; asPoll then holds what came, a
 * connection's at its index. False when waiting failed. */
bool WaitForWork(const std::vector<std::unique_ptr<Connection>> &apoConnections, int fdListen,
                 bool bAccepting, FastCgiClock::time_point tAcceptAgain,
                 const sigset_t &sWaitMask, std::vector<pollfd> &asPoll)
{
    asPoll.clear();
    for (const auto &poConnection : apoConnections)
    {
        const FastCgiConnection &oRecords = poConnection->oRecords;
        const bool bRead = !poConnection->bInputEnded && oRecords.WantsInput();
        const bool bWrite = oRecords.PendingSize() > 0;
        asPoll.push_back(
            {poConnection->fd, static_cast<short>((bRead ? POLLIN : 0) | (bWrite ? POLLOUT : 0)), 0});
    }
    if (bAccepting)
        asPoll.push_back({fdListen, POLLIN, 0});

    const int nTimeoutMs = PollTimeoutMs(apoConnections, tAcceptAgain, FastCgiClock::now());
    const timespec sTimeout = {nTimeoutMs / 1000, (nTimeoutMs % 1000) * 1000000L};
    if (ppoll(asPoll.data(), asPoll.size(), nTimeoutMs < 0 ? nullptr : &sTimeout, &sWaitMask) < 0 &&
        errno != EINTR)
    {
        CPLError(CE_Failure, CPLE_AppDefined, "FastCGI worker: poll failed.");
        return false;
    }
    return true;
}

} // namespace

int ServeFastCgi(int fdListen)
{
    // A server that goes away mid-reply must not end the worker.
    signal(SIGPIPE, SIG_IGN);
    const sigset_t sWaitMask = TakeStopSignalsWhileWaiting();

    // Workers share the listening socket: one that wakes for a connection
    // another has taken goes back to its own connections at once. Errors
    // of the worker itself go to CPL's default handler, standard error,
    // which the server keeps in its error log.
    const int nFlags = fcntl(fdListen, F_GETFL);
    if (nFlags == -1 || fcntl(fdListen, F_SETFL, nFlags | O_NONBLOCK) == -1)
    {
        CPLError(CE_Failure, CPLE_AppDefined, "FastCGI worker: cannot use the listening socket.");
        return 1;
    }
    KeepMemoryBetweenRequests();

    std::vector<std::unique_ptr<Connection>> apoConnections;
    std::vector<pollfd> asPoll;
    FastCgiClock::time_point tAcceptAgain;
    // Asked to stop, the worker accepts no more connections and ends once
    // the requests it has received are answered and their replies taken
    // (or their times are up); connections without one are closed at once.
    while (!bStopRequested || !apoConnections.empty())
    {
        const bool bAccepting = !bStopRequested && HasRoom(apoConnections) &&
                                FastCgiClock::now() >= tAcceptAgain;
        if (!WaitForWork(apoConnections, fdListen, bAccepting, tAcceptAgain, sWaitMask, asPoll))
            return 1;

        // Every connection has its round, in the order they came: one
        // request answered at most, so that none waits behind another's
        // stream of requests. Those that are over are dropped in place.
        size_t nOpen = 0;
        for (size_t i = 0; i < apoConnections.size(); i++)
        {
            if (ServeConnection(*apoConnections[i], asPoll[i].revents) &&
                !(bStopRequested && apoConnections[i]->oRecords.IsIdle()))
                apoConnections[nOpen++] = std::move(apoConnections[i]);
        }
        const bool bDropped = nOpen < apoConnections.size();
        apoConnections.resize(nOpen);
        // What the connections that ended held goes back to the system.
        if (bDropped)
            GiveBackMemoryOfLargeRequests();
        if (FastCgiClock::now() >= tTrimAt)
        {
            malloc_trim(0);
            tTrimAt = FastCgiClock::time_point::max();
        }

        if (bAccepting && (asPoll.back().revents & POLLIN) != 0)
            AcceptConnections(fdListen, apoConnections, tAcceptAgain);
    }
    return 0;
}

void KeepMemoryBetweenRequests()
{
    // Image rows come from the heap; without this, freeing a large image
    // hands its memory back to the system and the next request pays again
    // for every page it touches (as much time as encoding the GIF). What
    // the largest request holds fits below this threshold: its image and a
    // second of that size (an SVG is checked against its GIF), and its
    // reply twice (the image's bytes and the records they go out in).
    constexpr long long kKeptBytes = 2 * kMaxSwatchPixels + 2LL * kMaxReplyBytes;
    mallopt(M_TRIM_THRESHOLD, static_cast<int>(kKeptBytes));
}

void GiveBackMemoryOfLargeRequests()
{
    // An ordinary request reuses what the one before freed; what a large
    // swatch took is handed back, so that an idle worker stays small.
    constexpr size_t kKeptFreeBytes = 8 * 1024 * 1024;
    if (mallinfo2().fordblks > kKeptFreeBytes)
        malloc_trim(0);
}
