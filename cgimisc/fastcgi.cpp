/*
 * Persistent mode: started by a FastCGI process manager (standard input is
 * then a listening socket), the program answers request after request in
 * one process. Each request goes through AnswerRequestInProcess: it sees
 * exactly what a CGI run would, its own CGI variables as the environment
 * and its body on standard input, and its reply is the same bytes. An error
 * ends that request only.
 */
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include <cpl_error.h>
#include <fcgiapp.h>

#include "swatch.h"
#include "vxmcgi.h"

namespace
{

/* Reads the request's body: up to CONTENT_LENGTH bytes, all that a CGI run
 * could read. A request without one reads nothing, so its answer does not
 * wait for the end of its input. */
void ReadRequestBody(FCGX_Request &sRequest, std::string &osBody)
{
    long long nLeft = std::max(0, VXMCgiAtoi(FCGX_GetParam("CONTENT_LENGTH", sRequest.envp)));
    // Room for the announced body at once, up to a size no honest swatch
    // request nears: a string grown by doubling would hold up to twice the
    // body, and a false length must not reserve memory it never fills.
    osBody.reserve(static_cast<size_t>(std::min<long long>(nLeft, 1024 * 1024)));
    char abyBuffer[16384];
    while (nLeft > 0)
    {
        const int nRead = FCGX_GetStr(
            abyBuffer, static_cast<int>(std::min<long long>(nLeft, sizeof(abyBuffer))), sRequest.in);
        if (nRead <= 0)
            break;
        osBody.append(abyBuffer, static_cast<size_t>(nRead));
        nLeft -= nRead;
    }
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
        AnswerRequestInProcess(sRequest.envp, osBody.data(), osBody.size(), fpReply);
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
    FCGX_Request sRequest;
    if (FCGX_InitRequest(&sRequest, fdListen, 0) != 0)
    {
        CPLError(CE_Failure, CPLE_AppDefined, "FastCGI worker: cannot set up a request.");
        return 1;
    }
    KeepMemoryBetweenRequests();
    while (FCGX_Accept_r(&sRequest) >= 0)
    {
        ServeOneRequest(sRequest);
        FCGX_Finish_r(&sRequest);
    }
    return 0;
}
