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

/* Reads the request's whole input: the body, up to CONTENT_LENGTH bytes (all
 * that a CGI run could read), into osBody; whatever follows is read and
 * dropped. A connection the server keeps open then starts the next request
 * on a record boundary, however the server split the end of this input
 * (an empty closing record may come in a write of its own). */
void ReadRequestInput(FCGX_Request &sRequest, std::string &osBody)
{
    const char *pszLength = FCGX_GetParam("CONTENT_LENGTH", sRequest.envp);
    long long nLeft = std::max(0, VXMCgiAtoi(pszLength));
    char abyBuffer[16384];
    int nRead = 0;
    while ((nRead = FCGX_GetStr(abyBuffer, sizeof(abyBuffer), sRequest.in)) > 0)
    {
        const long long nKeep = std::min<long long>(nLeft, nRead);
        osBody.append(abyBuffer, static_cast<size_t>(nKeep));
        nLeft -= nKeep;
    }
}

/* Answers one accepted request. The reply is built in memory first: the
 * pipeline writes to a FILE, and an error page must be able to replace a
 * reply that was never sent. */
void ServeOneRequest(FCGX_Request &sRequest)
{
    std::string osBody;
    ReadRequestInput(sRequest, osBody);

    char *pabyReply = nullptr;
    size_t nReply = 0;
    FILE *fpReply = open_memstream(&pabyReply, &nReply);
    if (fpReply == nullptr)
    {
        CPLError(CE_Failure, CPLE_OutOfMemory, "FastCGI worker: cannot buffer a reply.");
        FCGX_FPrintF(sRequest.out, "Status: 500 Internal Server Error\r\n\r\n");
        return;
    }
    AnswerRequestInProcess(sRequest.envp, osBody.data(), osBody.size(), fpReply);
    // The body is let go of as soon as the request is answered.
    std::string().swap(osBody);
    fclose(fpReply);
    FCGX_PutStr(pabyReply, static_cast<int>(nReply), sRequest.out);
    free(pabyReply);
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
