/* Loopback ports and plain HTTP/1.1 requests to a server under test. */
#include "test_util.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace swatchtest
{

int FreeLoopbackPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sAddr = {};
    sAddr.sin_family = AF_INET;
    sAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sAddr.sin_port = 0;
    socklen_t nLen = sizeof(sAddr);
    int nPort = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&sAddr), sizeof(sAddr)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&sAddr), &nLen) == 0)
        nPort = ntohs(sAddr.sin_port);
    close(fd);
    return nPort;
}

static int ConnectLoopback(int nPort)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sAddr = {};
    sAddr.sin_family = AF_INET;
    sAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sAddr.sin_port = htons(static_cast<uint16_t>(nPort));
    if (connect(fd, reinterpret_cast<sockaddr *>(&sAddr), sizeof(sAddr)) != 0)
    {
        close(fd);
        return -1;
    }
    return fd;
}

bool WaitForPort(int nPort, int nTimeoutMs)
{
    for (int nWaited = 0; nWaited < nTimeoutMs; nWaited += 50)
    {
        const int fd = ConnectLoopback(nPort);
        if (fd >= 0)
        {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

HttpResponse HttpRequest(int nPort, const std::string &osMethod, const std::string &osTarget,
                         const std::string &osBody, const std::string &osContentType)
{
    HttpResponse sResponse;
    const int fd = ConnectLoopback(nPort);
    if (fd < 0)
        return sResponse;
    std::string osRequest = osMethod + " " + osTarget + " HTTP/1.0\r\nHost: 127.0.0.1\r\n";
    if (!osContentType.empty())
        osRequest += "Content-Type: " + osContentType + "\r\n";
    if (osMethod == "POST")
        osRequest += "Content-Length: " + std::to_string(osBody.size()) + "\r\n";
    osRequest += "\r\n" + osBody;
    if (send(fd, osRequest.data(), osRequest.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(osRequest.size()))
    {
        close(fd);
        return sResponse;
    }
    std::string osReply;
    char abyBuf[65536];
    pollfd sPoll = {fd, POLLIN, 0};
    while (poll(&sPoll, 1, 20000) > 0)
    {
        const ssize_t n = recv(fd, abyBuf, sizeof(abyBuf), 0);
        if (n <= 0)
            break;
        osReply.append(abyBuf, static_cast<size_t>(n));
    }
    close(fd);

    const size_t nHeaderEnd = osReply.find("\r\n\r\n");
    if (nHeaderEnd == std::string::npos || osReply.compare(0, 5, "HTTP/") != 0)
        return sResponse;
    sResponse.nStatus = atoi(osReply.c_str() + osReply.find(' ') + 1);
    std::istringstream oHeaders(osReply.substr(0, nHeaderEnd));
    std::string osLine;
    std::getline(oHeaders, osLine);
    while (std::getline(oHeaders, osLine))
    {
        const size_t nColon = osLine.find(':');
        if (nColon == std::string::npos)
            continue;
        std::string osName = osLine.substr(0, nColon);
        for (char &ch : osName)
            ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
        std::string osValue = osLine.substr(nColon + 1);
        osValue.erase(0, osValue.find_first_not_of(' '));
        if (!osValue.empty() && osValue.back() == '\r')
            osValue.pop_back();
        sResponse.oHeaders[osName] = osValue;
    }
    sResponse.osBody = osReply.substr(nHeaderEnd + 4);
    return sResponse;
}

} // namespace swatchtest
