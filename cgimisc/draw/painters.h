/*
 * VXM Swatchery: the painters that draw a swatch on a canvas (canvas.h).
 *
 * A painter takes the canvas to draw on (or a reference to a GD image handle,
 * drawn at 1x), the swatch width and height (at least 2), the palette index
 * of the drawing colour and its own style values; it draws and returns 0.
 * Painters never create, replace or release the image and allocate no
 * colours. End points may lie on x = width or y = height and shapes may run
 * off the swatch: the canvas clips every pixel.
 */
#ifndef VXM_PAINTERS_H_INCLUDED
#define VXM_PAINTERS_H_INCLUDED

#include <gd.h>

#include "canvas.h"

/* The gap between hatch bands when HatchSpacing gives none. */
constexpr int kDefaultHatchSpacing = 4;

/* A line drawn with a dash pattern and a width, as a centred band, a
 * zig-zag or a hatch. The five texts are the form parameters LineStyle,
 * LineWidth, LineType, HatchType and HatchSpacing (never null). */
int DrawLineSample(SwatchCanvas &oCanvas, int nWidth, int nHeight, int nColor,
                   const char *pszLineStyle, const char *pszLineWidth,
                   const char *pszLineType, const char *pszHatchType,
                   const char *pszHatchSpacing);
int DrawLineSample(gdImagePtr &hImage, int nWidth, int nHeight, int nColor,
                   const char *pszLineStyle, const char *pszLineWidth,
                   const char *pszLineType, const char *pszHatchType,
                   const char *pszHatchSpacing);

/* One of six point symbols, centred. A negative size asks for the smaller
 * image side. */
int DrawSymbolSample(SwatchCanvas &oCanvas, int nWidth, int nHeight, int nColor,
                     int nSymbolId, int nSymbolSize);
int DrawSymbolSample(gdImagePtr &hImage, int nWidth, int nHeight, int nColor,
                     int nSymbolId, int nSymbolSize);

/* A one-pixel outline around the image and marks on its four corner
 * pixels; an index of 0 or less leaves that part out. */
int DrawFrame(SwatchCanvas &oCanvas, int nOutlineColor, int nCornerColor, int nWidth,
              int nHeight);
int DrawFrame(gdImagePtr &hImage, int nOutlineColor, int nCornerColor, int nWidth,
              int nHeight);

#endif /* VXM_PAINTERS_H_INCLUDED */
