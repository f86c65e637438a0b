/* Arbitrary FastCGI record streams fed to a worker, the program's own
 * ServeFastCgi running on a thread of this process, over a Unix socket:
 * records split and joined at any byte, several requests on a kept
 * connection, stray and malformed records. Each stream is written in
 * pieces whose size the input's first byte sets, then the connection is
 * closed for writing. The worker must finish with the connection in bounded
 * time, and then still answer a well-formed request on a new connection. */
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "fastcgi_client.h"
#include "swatch.h"

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

/* Reads until the worker closes the connection; false on a time-out. */
bool ReadToEnd(int fd, std::string &osAll)
{
    char abyBuffer[65536];
    while (true)
    {
        const ssize_t nRead = recv(fd, abyBuffer, sizeof(abyBuffer), 0);
        if (nRead == 0)
            return true;
        if (nRead < 0)
            return false;
        osAll.append(abyBuffer, static_cast<size_t>(nRead));
    }
}

/* True when a request's parameters in the stream announce a name and value
 * whose lengths add up past what an int holds. libfcgi then asks for a
 * negative amount of memory and aborts the worker (an assertion in its
 * ReadParams), or gets a buffer too small for what it reads into it: a
 * fault of libfcgi that only a hostile FastCGI peer can reach, since the
 * web server is the worker's only peer, and whose worker the supervisor
 * replaces (see FastCgiWire.HostileParamsRecordCostsNoService). The stream
 * is read as the worker reads it: records of an 8-byte header, content and
 * padding; the PARAMS contents of one request id make one stream of pairs,
 * each length one byte, or four with the top bit set. */
bool HasOverlongParameter(const uint8_t *pabyData, size_t nSize)
{
    std::map<int, std::string> oParams;
    for (size_t nAt = 0; nAt + 8 <= nSize;)
    {
        const uint8_t *pabyHeader = pabyData + nAt;
        const size_t nLength = static_cast<size_t>(pabyHeader[4] << 8 | pabyHeader[5]);
        const size_t nContent = nAt + 8;
        if (pabyHeader[1] == 4 /* PARAMS */)
            oParams[pabyHeader[2] << 8 | pabyHeader[3]].append(
                reinterpret_cast<const char *>(pabyData) + nContent,
                std::min(nLength, nSize - nContent));
        nAt = nContent + nLength + pabyHeader[6];
    }
    for (const auto &oStream : oParams)
    {
        const std::string &osPairs = oStream.second;
        size_t nAt = 0;
        const auto readLength = [&](long long &nValue) {
            if (nAt >= osPairs.size())
                return false;
            nValue = static_cast<uint8_t>(osPairs[nAt]);
            if ((nValue & 0x80) == 0)
            {
                nAt++;
                return true;
            }
            if (nAt + 4 > osPairs.size())
                return false;
            nValue = (nValue & 0x7F) << 24 | static_cast<uint8_t>(osPairs[nAt + 1]) << 16 |
                     static_cast<uint8_t>(osPairs[nAt + 2]) << 8 |
                     static_cast<uint8_t>(osPairs[nAt + 3]);
            nAt += 4;
            return true;
        };
        long long nName = 0, nValue = 0;
        while (readLength(nName) && readLength(nValue))
        {
            if (nName + nValue + 2 > INT_MAX)
                return true;
            nAt += static_cast<size_t>(nName + nValue);
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pabyData, size_t nSize)
{
    static const bool bStarted = (StartWorker(), true);
    (void)bStarted;
    if (nSize == 0 || HasOverlongParameter(pabyData + 1, nSize - 1))
        return 0;

    const int fd = Connect();
    const size_t nPiece = pabyData[0] % 64 + 1;
    for (size_t nAt = 1; nAt < nSize; nAt += nPiece)
    {
        const size_t nLength = std::min(nPiece, nSize - nAt);
        if (send(fd, pabyData + nAt, nLength, MSG_NOSIGNAL) != static_cast<ssize_t>(nLength))
            break; // the worker gave up on the stream: allowed
    }
    shutdown(fd, SHUT_WR);
    std::string osIgnored;
    if (!ReadToEnd(fd, osIgnored))
        abort();
    close(fd);

    // The worker still answers, and answers right, on a fresh connection
    // (without keeping it, so that it closes it after the reply).
    std::string osHead = RequestHead({{"REQUEST_METHOD", "GET"},
                                      {"SCRIPT_NAME", "/cgi-bin/swatch"},
                                      {"PATH_INFO", "/4/4"}});
    osHead[8 + 2] = 0; // BEGIN_REQUEST flags: do not keep the connection
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
    return 0;
}
