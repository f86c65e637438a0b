/*
 * Answering a request inside a process that goes on serving: an error ends
 * the request, with its error page, instead of the process.
 */
#include <cstdio>
#include <malloc.h>

#include <cpl_error.h>

#include "swatch.h"
#include "vxmcgi.h"

namespace
{

struct RequestFailed
{
};

/* Writes the error page to the request's output and leaves the request.
 * Thrown from inside CPLError, the exception unwinds CPL's own frames too,
 * so nothing of CPL stays locked and a fatal error never reaches abort(). */
void CPL_STDCALL ContainedErrorHandler(CPLErr /* eErrClass */, CPLErrorNum nErrorNum,
                                       const char *pszMessage)
{
    WriteErrorPage(static_cast<FILE *>(CPLGetErrorHandlerUserData()), nErrorNum, pszMessage);
    throw RequestFailed();
}

} // namespace

void KeepMemoryBetweenRequests()
{
    // Image rows come from the heap; without this, freeing a large image
    // hands its memory back to the system and the next request pays again
    // for every page it touches (as much time as encoding the GIF). The
    // largest image and its row headers fit below this threshold.
    mallopt(M_TRIM_THRESHOLD, 160 * 1024 * 1024);
}

int AnswerSwatchRequestContained(VXMCgiRequest &oRequest, FILE *fpOut)
{
    CPLErrorReset();
    CPLPushErrorHandlerEx(ContainedErrorHandler, fpOut);
    int nStatus = 1;
    try
    {
        nStatus = AnswerSwatchRequest(oRequest, fpOut);
    }
    catch (const RequestFailed &)
    {
        nStatus = 1;
    }
    CPLPopErrorHandler();
    CPLErrorReset();
    return nStatus;
}
