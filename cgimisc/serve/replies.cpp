/*
 * The replies of the swatch program beside the image itself: the image's
 * header, the banner page and the error page.
 */
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "replies.h"
#include "vxmcgi.h"

const char kBannerReplyHeader[] = "Content-Type: text/plain\n\n";

void PrintUsage(FILE *fpOut)
{
    fputs(kBannerReplyHeader, fpOut);
    fprintf(fpOut, "VXM Swatchery\n\n");
    fprintf(fpOut, "Written by the VXM Swatchery developers.\n\n");
    fprintf(fpOut, "Uses the GD (gd1.3) library from the GD Graphics Library project "
                   "(https://libgd.github.io/)\n");
    fprintf(fpOut, "\n");
    fprintf(fpOut, "$Revision: 1.6 $  $Date: 2002/02/18 16:30:59 $ (Built %s %s)\n", __DATE__,
            __TIME__);
}

std::string ImageReplyHeader(const char *pszContentType)
{
    // A swatch is a pure function of its URL, so anything between the
    // program and the reader may keep it. The server may set the time
    // (a CDN in front takes a year well).
    long long nMaxAge = kDefaultSwatchMaxAge;
    const char *pszMaxAge = getenv("SWATCH_MAX_AGE");
    if (pszMaxAge != nullptr && *pszMaxAge != '\0')
        nMaxAge = std::max(0, VXMCgiAtoi(pszMaxAge));
    return std::string("Content-Type: ") + pszContentType +
           "\nCache-Control: public, max-age=" + std::to_string(nMaxAge) + "\n\n";
}

std::string ErrorReplyHeader(CPLErrorNum nErrorNum)
{
    // The program refuses a request with CPLE_IllegalArg, a body too long
    // with VXMCGIE_BodyTooLarge, or one that did not arrive in time with
    // VXMCGIE_RequestTimeout; any other error is a failure of its
    // own. Either way the page is no swatch and must never be kept in place
    // of one. "Content-type" keeps the lower-case t the error page has
    // always had (header names compare without regard to case, but its
    // bytes are kept for whoever compares them); the other replies write
    // "Content-Type".
    const char *pszStatus = nErrorNum == CPLE_IllegalArg           ? "400 Bad Request"
                            : nErrorNum == VXMCGIE_BodyTooLarge   ? "413 Payload Too Large"
                            : nErrorNum == VXMCGIE_RequestTimeout ? "408 Request Timeout"
                                                                   : "500 Internal Server Error";
    return std::string("Status: ") + pszStatus +
           "\nCache-Control: no-store\nContent-type: text/plain\n\n";
}

void WriteImageHeader(FILE *fpOut, const char *pszContentType)
{
    fputs(ImageReplyHeader(pszContentType).c_str(), fpOut);
}

void WriteErrorPage(FILE *fpOut, CPLErrorNum nErrorNum, const char *pszMessage)
{
    fputs(ErrorReplyHeader(nErrorNum).c_str(), fpOut);
    fprintf(fpOut, "ERROR %d: %s\n", nErrorNum, pszMessage);
}

/* Every error reported once this handler is installed ends the request with
 * a plain-text error page and exit status 1, whatever its class: exiting
 * here also keeps CPL from aborting after a fatal error. */
void CPL_STDCALL CgiErrorHandler(CPLErr /* eErrClass */, CPLErrorNum nErrorNum,
                                 const char *pszMessage)
{
    WriteErrorPage(stdout, nErrorNum, pszMessage);
    exit(1);
}
