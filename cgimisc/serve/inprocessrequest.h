/*
 * VXM Swatchery: a request answered inside a process that goes on serving
 * (the FastCGI worker, the tests, the fuzzers): the request sees its own CGI
 * variables and body as a CGI run would, its reply is built in memory, and
 * an error ends the request, with its error page, instead of the process.
 */
#ifndef VXM_INPROCESSREQUEST_H_INCLUDED
#define VXM_INPROCESSREQUEST_H_INCLUDED

#include <cstddef>
#include <cstdio>
#include <string>

class VXMCgiRequest;

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

#endif /* VXM_INPROCESSREQUEST_H_INCLUDED */
