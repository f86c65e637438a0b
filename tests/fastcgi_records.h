/* FastCGI records as a web server writes them, for the tests and the
 * fuzzer that speak to a worker directly. */
#ifndef SWATCH_FASTCGI_RECORDS_H
#define SWATCH_FASTCGI_RECORDS_H

#include <map>
#include <string>

namespace fastcgirecords
{

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

/* BEGIN_REQUEST (responder, connection kept) and the parameters. */
inline std::string RequestHead(const std::map<std::string, std::string> &oParams)
{
    std::string osPairs;
    for (const auto &oParam : oParams)
        osPairs += Length(oParam.first.size()) + Length(oParam.second.size()) + oParam.first +
                   oParam.second;
    const char abyBegin[8] = {0, 1, 1 /* keep the connection */, 0, 0, 0, 0, 0};
    return Record(kBeginRequest, std::string(abyBegin, 8)) + Record(kParams, osPairs) +
           Record(kParams, "");
}

} // namespace fastcgirecords

#endif
