/* Arbitrary FastCGI record streams fed to a worker, the program's own
 * ServeFastCgi running on a thread of this process, over a Unix socket:
 * records split and joined at any byte, several requests on a kept
 * connection, stray and malformed records. Each stream is written in
 * pieces whose size the input's first byte sets (its low six bits), then
 * the connection is closed for writing. The worker must finish with the
 * connection in bounded time, and then still answer a well-formed request
 * on a new connection; when the first byte's top bit is set, the peer
 * stops reading instead and keeps the connection open meanwhile, with what
 * the worker answered untaken. */
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "fastcgi_client.h"
#include "fastcgi.h"
#include "replies.h"

using namespace fastcgiclient;

namespace
{

std::string osSocketPath;

void StartWorker()
{
    char szDir[] = "/tmp/fuzz-fastcgi.XXXXXX";
    if (mkdtemp(szDir) == nullptr)
        abort();
    osSocketPath = std::string(szDir) + "/worker.sock";
    const int fdListen = ListenOnUnixSocket(osSocketPath);
    if (fdListen < 0)
        abort();
    std::thread([fdListen] { ServeFastCgi(fdListen); }).detach();
}

int Connect()
{
    const int fd = ConnectToUnixSocket(osSocketPath);
    if (fd < 0)
        abort();
    return fd;
}

/* Reads until the worker closes the connection (a worker that drops a
 * stream breaking the protocol, with bytes of it unread, resets it);
 * false on a time-out. */
bool ReadToEnd(int fd, std::string &osAll)
{
    char abyBuffer[65536];
    while (true)
    {
        const ssize_t nRead = recv(fd, abyBuffer, sizeof(abyBuffer), 0);
        if (nRead == 0 || (nRead < 0 && errno == ECONNRESET))
            return true;
        if (nRead < 0)
            return false;
        osAll.append(abyBuffer, static_cast<size_t>(nRead));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pabyData, size_t nSize)
{
    static const bool bStarted = (StartWorker(), true);
    (void)bStarted;
    if (nSize == 0)
        return 0;

    const int fd = Connect();
    const size_t nPiece = (pabyData[0] & 63) + 1;
    const bool bStopsReading = (pabyData[0] & 0x80) != 0;
    for (size_t nAt = 1; nAt < nSize; nAt += nPiece)
    {
        const size_t nLength = std::min(nPiece, nSize - nAt);
        if (send(fd, pabyData + nAt, nLength, MSG_NOSIGNAL) != static_cast<ssize_t>(nLength))
            break; // the worker gave up on the stream: allowed
    }
    shutdown(fd, SHUT_WR);
    std::string osIgnored;
    if (!bStopsReading && !ReadToEnd(fd, osIgnored))
        abort();

    // The worker still answers, and answers right, on a fresh connection
    // (without keeping it, so that it closes it after the reply).
    const std::string osHead = RequestHead({{"REQUEST_METHOD", "GET"},
                                            {"SCRIPT_NAME", "/cgi-bin/swatch"},
                                            {"PATH_INFO", "/4/4"}},
                                           1, false);
    const int fdCheck = Connect();
    const std::string osRequest = osHead + Record(kStdin, "");
    if (send(fdCheck, osRequest.data(), osRequest.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(osRequest.size()))
        abort();
    std::string osReply;
    if (!ReadToEnd(fdCheck, osReply) ||
        osReply.find(ImageReplyHeader("image/gif") + "GIF89a") ==
            std::string::npos)
        abort();
    close(fdCheck);
    close(fd);
    return 0;
}
