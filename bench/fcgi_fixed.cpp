/* Baseline for the throughput benchmark: a FastCGI responder that answers
 * every request with the same few bytes, doing nothing else. It shows what
 * the web server's FastCGI path costs by itself. Like the swatch worker, it
 * reads each request's input to its end, so that a kept connection carries
 * the next request cleanly. */
#include <fcgiapp.h>

int main()
{
    static const char szReply[] = "Content-Type: image/gif\n\nGIF89a";
    FCGX_Request sRequest;
    if (FCGX_Init() != 0 || FCGX_InitRequest(&sRequest, 0, 0) != 0)
        return 1;
    while (FCGX_Accept_r(&sRequest) >= 0)
    {
        FCGX_PutStr(szReply, sizeof(szReply) - 1, sRequest.out);
        FCGX_FFlush(sRequest.out);
        char abyInput[4096];
        while (FCGX_GetStr(abyInput, sizeof(abyInput), sRequest.in) > 0)
        {
        }
        FCGX_Finish_r(&sRequest);
    }
    return 0;
}
