/*
 * A request answered inside a process that goes on serving (the FastCGI
 * worker): the request sees its own CGI variables and body as a CGI run
 * would, and an error ends the request, with its error page, instead of the
 * process.
 */
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include <cpl_error.h>
#include <cpl_multiproc.h>

#include "inprocessrequest.h"
#include "pipeline.h"
#include "replies.h"
#include "vxmcgi.h"

namespace
{

/* The first error a request reported. */
struct RequestError
{
    bool bFailed = false;
    CPLErrorNum nErrorNum = CPLE_None;
    std::string osMessage;
};

/* Thrown to leave a request after an error CPL would not return from. */
struct RequestFailed
{
};

/* Every error ends the request, whatever its class; the first one makes
 * the error page. An error CPL returns from (a failure) is only noted: CPL
 * and the pipeline then go their own way out, releasing what they hold, and
 * the request's reply is replaced by the error page. Only a fatal error,
 * after which CPL would abort, leaves by an exception; it comes from CPL's
 * allocation functions, whose callers hold nothing that unwinding would
 * lose. */
void CPL_STDCALL ContainedErrorHandler(CPLErr eErrClass, CPLErrorNum nErrorNum,
                                       const char *pszMessage)
{
    auto *psError = static_cast<RequestError *>(CPLGetErrorHandlerUserData());
    if (!psError->bFailed)
    {
        psError->bFailed = true;
        psError->nErrorNum = nErrorNum;
        try
        {
            psError->osMessage = pszMessage;
        }
        catch (const std::bad_alloc &)
        {
            psError->osMessage.clear();
        }
    }
    if (eErrClass == CE_Fatal)
        throw RequestFailed();
}

/* Makes ContainedErrorHandler the handler for the request and, on every way
 * out, takes it off again and clears what the request left in CPL's error
 * state. */
class ScopedContainedErrors
{
  public:
    explicit ScopedContainedErrors(RequestError &sError)
        : m_oPusher(ContainedErrorHandler, &sError)
    {
        CPLErrorReset();
    }
    ~ScopedContainedErrors()
    {
        // An exception out of the handler skips CPLError's own last step,
        // which forgets the handler's user data.
        CPLSetTLS(CTLS_ERRORHANDLERACTIVEDATA, nullptr, FALSE);
        CPLErrorReset();
    }
    ScopedContainedErrors(const ScopedContainedErrors &) = delete;
    ScopedContainedErrors &operator=(const ScopedContainedErrors &) = delete;

  private:
    CPLErrorHandlerPusher m_oPusher;
};

} // namespace

ReplyBuffer::ReplyBuffer() : m_fp(open_memstream(&m_pabyData, &m_nSize))
{
}

ReplyBuffer::~ReplyBuffer()
{
    if (m_fp != nullptr)
        fclose(m_fp);
    free(m_pabyData);
}

bool ReplyBuffer::CopyTo(FILE *fpOut)
{
    if (fflush(m_fp) != 0)
        return false;
    return fwrite(m_pabyData, 1, m_nSize, fpOut) == m_nSize && fflush(fpOut) == 0;
}

std::string ReplyBuffer::Contents()
{
    if (m_fp == nullptr || fflush(m_fp) != 0)
        return std::string();
    return std::string(m_pabyData, m_nSize);
}

ScopedRequestEnvironment::ScopedRequestEnvironment(char **papszVariables)
    : m_papszSaved(environ)
{
    environ = papszVariables != nullptr ? papszVariables : m_apszNone;
}

ScopedRequestEnvironment::~ScopedRequestEnvironment()
{
    environ = m_papszSaved;
}

ScopedRequestBody::ScopedRequestBody(const char *pabyBody, size_t nBody) : m_fpSaved(stdin)
{
    // fmemopen refuses an empty buffer: an empty body is a one-byte buffer
    // read to its end.
    static char chNothing = '\0';
    m_fpBody = nBody > 0 ? fmemopen(const_cast<char *>(pabyBody), nBody, "r")
                         : fmemopen(&chNothing, 1, "r");
    if (m_fpBody == nullptr)
        return;
    if (nBody == 0)
        fgetc(m_fpBody);
    stdin = m_fpBody;
}

ScopedRequestBody::~ScopedRequestBody()
{
    stdin = m_fpSaved;
    if (m_fpBody != nullptr)
        fclose(m_fpBody);
}

int AnswerSwatchRequestContained(VXMCgiRequest &oRequest, FILE *fpOut)
{
    // Built in memory, so that an error page can replace it whole.
    ReplyBuffer oReply;
    if (oReply.Stream() == nullptr)
    {
        WriteErrorPage(fpOut, CPLE_OutOfMemory, "Cannot buffer the reply.");
        return 1;
    }
    RequestError sError;
    int nStatus = 1;
    {
        const ScopedContainedErrors oErrors(sError);
        try
        {
            nStatus = AnswerSwatchRequest(oRequest, oReply.Stream());
        }
        catch (const RequestFailed &)
        {
        }
    }
    if (sError.bFailed)
    {
        WriteErrorPage(fpOut, sError.nErrorNum, sError.osMessage.c_str());
        return 1;
    }
    return oReply.CopyTo(fpOut) ? nStatus : 1;
}

int AnswerRequestInProcess(char **papszCgiVariables, const char *pabyBody, size_t nBody,
                           FILE *fpOut)
{
    const ScopedRequestEnvironment oEnvironment(papszCgiVariables);
    const ScopedRequestBody oBody(pabyBody, nBody);
    if (!oBody.IsReady())
    {
        // Nothing of the request has run: no handler of its own is in force.
        WriteErrorPage(fpOut, CPLE_OutOfMemory, "Cannot open the request body.");
        return 1;
    }
    VXMCgiRequest oRequest;
    return AnswerSwatchRequestContained(oRequest, fpOut);
}
