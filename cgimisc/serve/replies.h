/*
 * VXM Swatchery: the replies beside the image itself, their headers, and
 * the error handler of a CGI run.
 */
#ifndef VXM_REPLIES_H_INCLUDED
#define VXM_REPLIES_H_INCLUDED

#include <cstdio>
#include <string>

#include <cpl_error.h>

/* How long a swatch may be kept by a browser or cache, in seconds, unless
 * the server sets SWATCH_MAX_AGE: a swatch is a pure function of its URL. */
constexpr long long kDefaultSwatchMaxAge = 24 * 60 * 60;

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

#endif /* VXM_REPLIES_H_INCLUDED */
