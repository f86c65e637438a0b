/*
 * VXM Swatchery: the pipeline, from a request to its reply, and the limits
 * of what it draws.
 *
 * A CGI run answers one request and ends (main, AnswerSwatchRequest with
 * CgiErrorHandler); a process that goes on serving answers each request
 * through AnswerRequestInProcess (inprocessrequest.h), where an error ends
 * that request only.
 */
#ifndef VXM_PIPELINE_H_INCLUDED
#define VXM_PIPELINE_H_INCLUDED

#include <cstddef>
#include <cstdio>

class VXMCgiRequest;

/* Largest swatch, in pixels, that the program draws. The image takes one
 * byte a pixel. */
constexpr long long kMaxSwatchPixels = 64LL * 1024 * 1024;
/* Longest side a GIF can describe: its header holds 16-bit sizes. */
constexpr int kMaxSwatchSide = 65535;
/* Largest reply the program sends, in bytes: a swatch whose image would be
 * larger is refused. */
constexpr size_t kMaxReplyBytes = 16 * 1024 * 1024;
/* What a path without width or height asks for. */
constexpr int kDefaultSwatchSide = 50;
/* Width and height below this are drawn at this. */
constexpr int kMinSwatchSide = 2;
/* The Format values a request may give, in any letter case (none asks for
 * GIF), and the largest Scale: device pixels a swatch pixel. */
constexpr const char *kSwatchFormatNames[] = {"gif", "png", "svg"};
constexpr int kMaxSwatchScale = 4;

/* What the request path asks for: /width/height/red/green/blue. Every "/"
 * separates and empty pieces are dropped; fields past the fifth are
 * ignored. Width and height are at least 2 (50 when absent); the colour
 * (black when absent) is taken as it stands, whatever its range. */
struct SwatchPath
{
    int nWidth = kDefaultSwatchSide;
    int nHeight = kDefaultSwatchSide;
    int nRed = 0;
    int nGreen = 0;
    int nBlue = 0;
};
SwatchPath ReadSwatchPath(const char *pszPath);

/* A run without a request (SCRIPT_NAME, PATH_INFO and QUERY_STRING all
 * empty, as from a shell) answers the request captured in pszCaptureFile:
 * loads it into oRequest. Does nothing when a request is present. */
void ReplayWhenNoRequest(VXMCgiRequest &oRequest, const char *pszCaptureFile);

/* Answers one request on fpOut: the header and image (returns 0), or the
 * banner page for a request without a path (returns 1). Errors are reported
 * through CPLError, whose installed handler writes the error page: a CGI
 * run's handler then ends the process; a contained request's handler
 * returns, and this function goes its way out and returns 1. Running out of
 * memory, in CPL, GD or the C++ library, is such an error. */
int AnswerSwatchRequest(VXMCgiRequest &oRequest, FILE *fpOut);

#endif /* VXM_PIPELINE_H_INCLUDED */
