/*
 * Persistent mode: started by a FastCGI process manager (standard input is
 * then a listening socket), the program answers request after request in
 * one process. Each request sees exactly what a CGI run would: its own CGI
 * variables as the environment, its body on standard input, a fresh request
 * object; and its reply is the same bytes. An error ends that request only.
 */
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdio_ext.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <fcgiapp.h>

#include "swatch.h"
#include "vxmcgi.h"

namespace
{

/* Between requests the environment is empty. */
char *apszNoEnvironment[] = {nullptr};

/* Makes the request's parameters the whole environment, as a CGI run sees
 * it. The parameter array stays valid until the request is finished; it is
 * used as it stands, since setenv would keep a copy of every value it was
 * ever given. */
void SetRequestEnvironment(FCGX_ParamArray papszParams)
{
    environ = papszParams != nullptr ? papszParams : apszNoEnvironment;
}

/* Puts the request's body on standard input: up to CONTENT_LENGTH bytes of
 * it, all that a CGI run could read. A request without a body gets an empty
 * standard input. */
void SetRequestBody(FCGX_Stream *poIn, int fdEmpty)
{
    long long nLeft = VXMCgiAtoi(getenv("CONTENT_LENGTH"));
    int fdBody = fdEmpty;
    if (nLeft > 0 && (fdBody = memfd_create("swatch-body", 0)) >= 0)
    {
        char abyBuffer[65536];
        while (nLeft > 0)
        {
            const int nRead = FCGX_GetStr(
                abyBuffer, static_cast<int>(std::min<long long>(nLeft, sizeof(abyBuffer))), poIn);
            if (nRead <= 0 || write(fdBody, abyBuffer, static_cast<size_t>(nRead)) != nRead)
                break;
            nLeft -= nRead;
        }
        lseek(fdBody, 0, SEEK_SET);
    }
    else
    {
        fdBody = fdEmpty;
    }
    // Standard input already empty from the last request: nothing to do.
    static bool bStdinEmpty = false;
    if (fdBody != fdEmpty || !bStdinEmpty)
        dup2(fdBody, 0);
    bStdinEmpty = fdBody == fdEmpty;
    if (fdBody != fdEmpty)
        close(fdBody);
    // Forget whatever the previous request left in stdin's buffer: a seek
    // may keep a buffer that seems to cover the new position.
    __fpurge(stdin);
    clearerr(stdin);
}

void ServeOneRequest(FCGX_Request &sRequest, int fdEmpty)
{
    SetRequestEnvironment(sRequest.envp);
    SetRequestBody(sRequest.in, fdEmpty);

    char *pabyReply = nullptr;
    size_t nReply = 0;
    FILE *fpReply = open_memstream(&pabyReply, &nReply);
    if (fpReply == nullptr)
        return;
    {
        VXMCgiRequest oRequest;
        AnswerSwatchRequestContained(oRequest, fpReply);
    }
    fclose(fpReply);
    FCGX_PutStr(pabyReply, static_cast<int>(nReply), sRequest.out);
    free(pabyReply);
    environ = apszNoEnvironment;
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

int ServeFastCgi()
{
    // A server that goes away mid-reply must not end the worker.
    signal(SIGPIPE, SIG_IGN);

    // The listening socket arrives as standard input, which each request's
    // body takes over; the socket moves to a descriptor of its own.
    const int fdListen = dup(0);
    const int fdEmpty = open("/dev/null", O_RDONLY);
    environ = apszNoEnvironment;
    if (fdListen < 0 || fdEmpty < 0 || FCGX_Init() != 0)
        return 1;
    KeepMemoryBetweenRequests();
    FCGX_Request sRequest;
    FCGX_InitRequest(&sRequest, fdListen, 0);
    while (FCGX_Accept_r(&sRequest) >= 0)
    {
        ServeOneRequest(sRequest, fdEmpty);
        FCGX_Finish_r(&sRequest);
    }
    return 0;
}
