/*
 * VXM Swatchery: the painters that draw a swatch into a GD palette image.
 *
 * A painter takes a reference to the image handle, the swatch width and
 * height, the palette index of the drawing colour and its own style values;
 * it draws and returns 0. Painters never create, replace or release the
 * image and allocate no colours. End points may lie on x = width or
 * y = height and shapes may run off the image: GD clips every pixel.
 * Width and height are those of the image, at least 2.
 */
#ifndef VXM_SWATCH_H_INCLUDED
#define VXM_SWATCH_H_INCLUDED

#include <cstdio>

#include <cpl_error.h>
#include <gd.h>

class VXMCgiRequest;

/* Largest swatch, in pixels, that the program draws. The image takes one
 * byte a pixel. */
constexpr long long kMaxSwatchPixels = 64LL * 1024 * 1024;
/* Longest side a GIF can describe: its header holds 16-bit sizes. */
constexpr int kMaxSwatchSide = 65535;

/* A line drawn with a dash pattern and a width, as a centred band, a
 * zig-zag or a hatch. The five texts are the form parameters LineStyle,
 * LineWidth, LineType, HatchType and HatchSpacing (never null). */
int DrawLineSample(gdImagePtr &hImage, int nWidth, int nHeight, int nColor,
                   const char *pszLineStyle, const char *pszLineWidth,
                   const char *pszLineType, const char *pszHatchType,
                   const char *pszHatchSpacing);

/* One of six point symbols, centred. A negative size asks for the smaller
 * image side. */
int DrawSymbolSample(gdImagePtr &hImage, int nWidth, int nHeight, int nColor,
                     int nSymbolId, int nSymbolSize);

/* A one-pixel outline around the image and marks on its four corner
 * pixels; an index of 0 or less leaves that part out. */
int DrawFrame(gdImagePtr &hImage, int nOutlineColor, int nCornerColor, int nWidth,
              int nHeight);

/* Answers one request on fpOut: the header and GIF (returns 0), or the
 * banner page for a request without a path (returns 1). Errors are reported
 * through CPLError; the installed handler writes the error page and does not
 * return (it ends the process, or the request). */
int AnswerSwatchRequest(VXMCgiRequest &oRequest, FILE *fpOut);

/* The same for a process that serves many requests: an error writes the
 * error page to fpOut and ends this request only (returns 1). */
int AnswerSwatchRequestContained(VXMCgiRequest &oRequest, FILE *fpOut);

/* Tunes the process for answering many requests: memory freed after one
 * request is kept for the next. */
void KeepMemoryBetweenRequests();

/* True when a FastCGI process manager started the program (standard input
 * is a listening socket). */
bool IsStartedByFastCgi();
/* Answers FastCGI requests until the manager stops the program. */
int ServeFastCgi();

/* Writes the banner page, the reply to a request without a path. */
void PrintUsage();
void PrintUsageTo(FILE *fpOut);

/* Writes the error page: "Content-type: text/plain", an empty line and
 * "ERROR number: message". */
void WriteErrorPage(FILE *fpOut, CPLErrorNum nErrorNum, const char *pszMessage);

/* CPL error handler: writes the error page and ends the process with exit
 * status 1. */
void CPL_STDCALL CgiErrorHandler(CPLErr eErrClass, CPLErrorNum nErrorNum,
                                 const char *pszMessage);

#endif /* VXM_SWATCH_H_INCLUDED */
