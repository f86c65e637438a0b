/*
 * The plain-text replies of the swatch program: the banner page and the
 * error page.
 */
#include <cstdio>
#include <cstdlib>

#include "swatch.h"

void PrintUsage()
{
    printf("Content-Type: text/plain\n\n");
    printf("VXM Swatchery\n\n");
    printf("Written by the VXM Swatchery developers.\n\n");
    printf("Uses the GD (gd1.3) library from the GD Graphics Library project "
           "(https://libgd.github.io/)\n");
    printf("\n");
    printf("$Revision: 1.6 $  $Date: 2002/02/18 16:30:59 $ (Built %s %s)\n", __DATE__,
           __TIME__);
}

/* Every error reported once this handler is installed ends the request with
 * a plain-text error page and exit status 1, whatever its class: exiting
 * here also keeps CPL from aborting after a fatal error. */
void CPL_STDCALL CgiErrorHandler(CPLErr /* eErrClass */, CPLErrorNum nErrorNum,
                                 const char *pszMessage)
{
    fprintf(stdout, "Content-type: text/plain\n\n");
    fprintf(stdout, "ERROR %d: %s\n", nErrorNum, pszMessage);
    exit(1);
}
