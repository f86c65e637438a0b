/*
 * The plain-text replies of the swatch program: the banner page and the
 * error page.
 */
#include <cstdio>
#include <cstdlib>

#include "swatch.h"

void PrintUsageTo(FILE *fpOut)
{
    fprintf(fpOut, "Content-Type: text/plain\n\n");
    fprintf(fpOut, "VXM Swatchery\n\n");
    fprintf(fpOut, "Written by the VXM Swatchery developers.\n\n");
    fprintf(fpOut, "Uses the GD (gd1.3) library from the GD Graphics Library project "
                   "(https://libgd.github.io/)\n");
    fprintf(fpOut, "\n");
    fprintf(fpOut, "$Revision: 1.6 $  $Date: 2002/02/18 16:30:59 $ (Built %s %s)\n", __DATE__,
            __TIME__);
}

void PrintUsage()
{
    PrintUsageTo(stdout);
}

void WriteErrorPage(FILE *fpOut, CPLErrorNum nErrorNum, const char *pszMessage)
{
    fprintf(fpOut, "Content-type: text/plain\n\n");
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
