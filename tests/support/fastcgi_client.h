/* What a web server does to speak FastCGI to a worker: listen on a Unix
 * socket, connect to it, write records. For the tests and the fuzzer that
 * speak to a worker directly. */
#ifndef SWATCH_FASTCGI_CLIENT_H
#define SWATCH_FASTCGI_CLIENT_H

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>

namespace fastcgiclient
{

inline sockaddr_un UnixAddress(const std::string &osPath)
{
    sockaddr_un sAddr{};
    sAddr.sun_family = AF_UNIX;
    strncpy(sAddr.sun_path, osPath.c_str(), sizeof(sAddr.sun_path) - 1);
    return sAddr;
}

/* A listening socket at osPath, as a process manager hands it to a worker;
 * -1 on failure. */
inline int ListenOnUnixSocket(const std::string &osPath)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un sAddr = UnixAddress(osPath);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&sAddr), sizeof(sAddr)) != 0 ||
        listen(fd, 16) != 0)
    {
        close(fd);
        return -1;
    }
    return fd;
}

/* A connection to the worker at osPath whose reads give up after 10 s, so
 * that a worker that stops answering is noticed; -1 on failure. */
inline int ConnectToUnixSocket(const std::string &osPath)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un sAddr = UnixAddress(osPath);
    timeval sTimeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &sTimeout, sizeof(sTimeout));
    if (connect(fd, reinterpret_cast<const sockaddr *>(&sAddr), sizeof(sAddr)) != 0)
    {
        close(fd);
        return -1;
    }
    return fd;
}

enum RecordType : unsigned char
{
    kBeginRequest = 1,
    kEndRequest = 3,
    kParams = 4,
    kStdin = 5,
    kStdout = 6,
    kStderr = 7,
};

inline std::string Record(RecordType eType, const std::string &osContent, int nId = 1)
{
    const unsigned char abyHeader[8] = {1,
                                        eType,
                                        static_cast<unsigned char>(nId >> 8),
                                        static_cast<unsigned char>(nId),
                                        static_cast<unsigned char>(osContent.size() >> 8),
                                        static_cast<unsigned char>(osContent.size()),
                                        0,
                                        0};
    return std::string(reinterpret_cast<const char *>(abyHeader), 8) + osContent;
}

inline std::string Length(size_t n)
{
    if (n < 128)
        return std::string(1, static_cast<char>(n));
    const unsigned char aby[4] = {static_cast<unsigned char>(0x80 | (n >> 24)),
                                  static_cast<unsigned char>(n >> 16),
                                  static_cast<unsigned char>(n >> 8),
                                  static_cast<unsigned char>(n)};
    return std::string(reinterpret_cast<const char *>(aby), 4);
}

/* BEGIN_REQUEST of a responder, the connection kept unless bKeep is false. */
inline std::string BeginRecord(int nId = 1, bool bKeep = true)
{
    const char abyBegin[8] = {0, 1, static_cast<char>(bKeep ? 1 : 0), 0, 0, 0, 0, 0};
    return Record(kBeginRequest, std::string(abyBegin, 8), nId);
}

/* BEGIN_REQUEST (responder, connection kept unless bKeep is false) and the
 * parameters. */
inline std::string RequestHead(const std::map<std::string, std::string> &oParams, int nId = 1,
                               bool bKeep = true)
{
    std::string osPairs;
    for (const auto &oParam : oParams)
        osPairs += Length(oParam.first.size()) + Length(oParam.second.size()) + oParam.first +
                   oParam.second;
    return BeginRecord(nId, bKeep) + Record(kParams, osPairs, nId) + Record(kParams, "", nId);
}

} // namespace fastcgiclient

#endif
