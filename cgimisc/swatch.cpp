/*
 * VXM Swatchery: a CGI program that draws legend swatches as GIF images
 * (or PNG or SVG, on request).
 *
 * The reply is "Content-Type: image/gif" and the GIF (or the PNG or SVG
 * with its own type); an empty path gets a
 * plain-text banner page, and any reported error a plain-text error page.
 * Started by a FastCGI process manager, the same program serves request
 * after request.
 */
#include <cstdio>

#include <cpl_error.h>

#include "fastcgi.h"
#include "pipeline.h"
#include "replies.h"
#include "vxmcgi.h"

/* A request captured earlier, replayed when the program runs without a web
 * server: the file cgienv.env in the folder temp at the root. */
static const char szCaptureFile[] = "/temp/cgienv.env";

int main(int /* argc */, char ** /* argv */)
{
    /* Started by a FastCGI process manager: serve request after request on
     * the listening socket it handed over as standard input. */
    if (IsStartedByFastCgi())
        return ServeFastCgi(0);

    /* One request, then the process ends: memory freed on the way (the PNG
     * encoder's compression state, a large image) is never handed back to
     * the system only to be asked for and touched again. */
    KeepMemoryBetweenRequests();

    VXMCgiRequest oRequest;
    /* Run by hand, without a web server: replay the captured request. Errors
     * of the replay still go to CPL's default handler. */
    ReplayWhenNoRequest(oRequest, szCaptureFile);

    CPLSetErrorHandler(CgiErrorHandler);
    return AnswerSwatchRequest(oRequest, stdout);
}
