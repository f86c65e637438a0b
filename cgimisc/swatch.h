/*
 * VXM Swatchery: the program's roads from a request to its reply.
 *
 * A CGI run answers one request and ends (main, AnswerSwatchRequest with
 * CgiErrorHandler). A process that goes on serving, the FastCGI worker,
 * answers each request through AnswerRequestInProcess, where an error ends
 * that request only.
 */
#ifndef VXM_SWATCH_H_INCLUDED
#define VXM_SWATCH_H_INCLUDED

#include <cstddef>
#include <cstdio>
#include <string>

#include <cpl_error.h>

class VXMCgiRequest;

/* Largest swatch, in pixels, that the program draws. The image takes one
 * byte a pixel. */
constexpr long long kMaxSwatchPixels = 64LL * 1024 * 1024;
/* Longest side a GIF can describe: its header holds 16-bit sizes. */
constexpr int kMaxSwatchSide = 65535;
/* Largest reply the program sends, in bytes: a swatch whose image would be
 * larger is refused. */
constexpr size_t kMaxReplyBytes = 16 * 1024 * 1024;

/* How long a swatch may be kept by a browser or cache, in seconds, unless
 * the server sets SWATCH_MAX_AGE: a swatch is a pure function of its URL. */
constexpr long long kDefaultSwatchMaxAge = 24 * 60 * 60;

/************************************************************************/
/*                               Pipeline                               */
/************************************************************************/

/* A run without a request (SCRIPT_NAME, PATH_INFO and QUERY_STRING all
 * empty, as from a shell) answers the request captured in pszCaptureFile:
 * loads it into oRequest. Does nothing when a request is present. */
void ReplayWhenNoRequest(VXMCgiRequest &oRequest, const char *pszCaptureFile);

/* Answers one request on fpOut: the header and image (returns 0), or the
 * banner page for a request without a path (returns 1). Errors are reported
 * through CPLError, whose installed handler writes the error page: a CGI
 * run's handler then ends the process; a contained request's handler
 * returns, and this function goes its way out and returns 1. */
int AnswerSwatchRequest(VXMCgiRequest &oRequest, FILE *fpOut);

/************************************************************************/
/*                                Replies                               */
/************************************************************************/

/* The header lines each reply starts with, up to its empty line: */
/* the banner page; */
extern const char kBannerReplyHeader[];
/* an image of the given type ("image/gif", ...), which may be cached for
 * SWATCH_MAX_AGE seconds (default kDefaultSwatchMaxAge); */
std::string ImageReplyHeader(const char *pszContentType);
/* the error page: a Status line (400 for a request the program refuses,
 * CPLE_IllegalArg; 413 for a body too long, VXMCGIE_BodyTooLarge; 408 for
 * a request that did not arrive in time, VXMCGIE_RequestTimeout; 500 for
 * its own failures), a header that keeps it out of every cache, and
 * "Content-type: text/plain". */
std::string ErrorReplyHeader(CPLErrorNum nErrorNum);

/* Writes the banner page, the reply to a request without a path. */
void PrintUsage(FILE *fpOut);

/* Writes the header of an image reply (ImageReplyHeader). */
void WriteImageHeader(FILE *fpOut, const char *pszContentType);

/* Writes the error page: its header (ErrorReplyHeader), then
 * "ERROR number: message". */
void WriteErrorPage(FILE *fpOut, CPLErrorNum nErrorNum, const char *pszMessage);

/* CPL error handler of a CGI run: writes the error page and ends the
 * process with exit status 1. */
void CPL_STDCALL CgiErrorHandler(CPLErr eErrClass, CPLErrorNum nErrorNum,
                                 const char *pszMessage);

/************************************************************************/
/*                   A request answered in a running process            */
/************************************************************************/

/* What the request path asks for: /width/height/red/green/blue. Every "/"
 * separates and empty pieces are dropped; fields past the fifth are
 * ignored. Width and height are at least 2 (50 when absent); the colour
 * (black when absent) is taken as it stands, whatever its range. */
struct SwatchPath
{
    int nWidth = 50;
    int nHeight = 50;
    int nRed = 0;
    int nGreen = 0;
    int nBlue = 0;
};
SwatchPath ReadSwatchPath(const char *pszPath);

/* Answers oRequest on fpOut like AnswerSwatchRequest, but an error writes
 * the error page to fpOut and ends this request only (returns 1). CPL is
 * left as it was found: handler stack, error state. */
int AnswerSwatchRequestContained(VXMCgiRequest &oRequest, FILE *fpOut);

/* Answers one request inside the calling process, as a CGI run would see
 * it: papszCgiVariables ("NAME=value", null-terminated; borrowed; null for
 * none) is the whole environment and the nBody bytes at pabyBody are
 * standard input while the request is answered; both are put back on every
 * way out. Returns the status a CGI run would exit with. */
int AnswerRequestInProcess(char **papszCgiVariables, const char *pabyBody, size_t nBody,
                           FILE *fpOut);

/* Makes papszVariables ("NAME=value", null-terminated; borrowed; null for
 * none) the whole environment until the guard ends. The array is used as it
 * stands: setenv would keep a copy of every value it was ever given. */
class ScopedRequestEnvironment
{
  public:
    explicit ScopedRequestEnvironment(char **papszVariables);
    ~ScopedRequestEnvironment();
    ScopedRequestEnvironment(const ScopedRequestEnvironment &) = delete;
    ScopedRequestEnvironment &operator=(const ScopedRequestEnvironment &) = delete;

  private:
    char **m_papszSaved;
    char *m_apszNone[1] = {nullptr};
};

/* Makes the nBody bytes at pabyBody (borrowed) standard input, read from
 * memory, until the guard ends. The request library reads its body through
 * stdin, which glibc lets a program point at another stream; descriptor 0
 * is left alone. */
class ScopedRequestBody
{
  public:
    ScopedRequestBody(const char *pabyBody, size_t nBody);
    ~ScopedRequestBody();
    bool IsReady() const
    {
        return m_fpBody != nullptr;
    }
    ScopedRequestBody(const ScopedRequestBody &) = delete;
    ScopedRequestBody &operator=(const ScopedRequestBody &) = delete;

  private:
    FILE *m_fpSaved;
    FILE *m_fpBody = nullptr;
};

/* A reply written to memory (its stream), to be copied out whole or read. */
class ReplyBuffer
{
  public:
    ReplyBuffer();
    ~ReplyBuffer();
    /* Null when no memory could be had for it. */
    FILE *Stream() const
    {
        return m_fp;
    }
    /* Copies what was written to fpOut; false when it could not be. */
    bool CopyTo(FILE *fpOut);
    /* What was written. */
    std::string Contents();
    ReplyBuffer(const ReplyBuffer &) = delete;
    ReplyBuffer &operator=(const ReplyBuffer &) = delete;

  private:
    char *m_pabyData = nullptr;
    size_t m_nSize = 0;
    FILE *m_fp;
};

/* Tunes the process for answering many requests: memory freed after one
 * request is kept for the next. */
void KeepMemoryBetweenRequests();
/* Hands the memory a large request freed back to the system; called after
 * each request, it costs nothing after an ordinary one. */
void GiveBackMemoryOfLargeRequests();

/************************************************************************/
/*                              FastCGI mode                            */
/************************************************************************/

/* True when a FastCGI process manager started the program (standard input
 * is a listening socket). */
bool IsStartedByFastCgi();
/* Answers FastCGI requests on the listening socket fdListen until the
 * manager stops the program. Returns the process's exit status. */
int ServeFastCgi(int fdListen);

#endif /* VXM_SWATCH_H_INCLUDED */
