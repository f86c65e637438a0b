/*
 * The canvas for an image format.
 */
#include "canvas.h"

std::unique_ptr<SwatchCanvas> MakeSwatchCanvas(SwatchFormat eFormat, int nWidth, int nHeight,
                                               int nScale, size_t nMaxSvgBytes)
{
    if (eFormat == SwatchFormat::Svg)
        return std::make_unique<SvgCanvas>(nWidth, nHeight, nMaxSvgBytes);
    return GdCanvas::Create(nWidth, nHeight, nScale, eFormat);
}
