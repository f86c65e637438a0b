/*
 * The request pipeline: from the request's path and form parameters to the
 * reply: the image (GIF, PNG or SVG, at its scale), the banner page or the
 * error page.
 *
 *   PATH_INFO     /width/height/red/green/blue, e.g. /40/20/255/0/0
 *   parameters    LineStyle, LineWidth, LineType, HatchType, HatchSpacing,
 *                 SymbolId, SymbolSize, BgColor, Outline, Corner, Color;
 *                 Format (gif, png, svg) and Scale (1 to 4)
 */
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string>

#include <fcntl.h>

#include <cpl_error.h>
#include <cpl_string.h>

#include "canvas.h"
#include "painters.h"
#include "pipeline.h"
#include "replies.h"
#include "vxmcgi.h"

/* Where the program was built for Windows, standard output is switched to
 * binary mode before the image is written. Streams here have no text mode,
 * so all that is left of that step is its failure: a descriptor that is not
 * open gives -1, with errno set. A stream without a descriptor (in memory)
 * is ready. */
static int CheckOutputOpen(FILE *fp)
{
    const int fd = fileno(fp);
    if (fd < 0)
        return 0;
    if (fcntl(fd, F_GETFL) == -1)
    {
        errno = EBADF;
        return -1;
    }
    return 0;
}

/* A colour written as hex digits RRGGBB, read the way a 32-bit strtoul in
 * base 16 reads it: leading white space, one optional sign, an optional 0x,
 * hex digits up to the first other character. A number beyond 32 bits reads
 * as 0xFFFFFFFF and a minus sign negates modulo 2^32. */
static uint32_t ReadHexColor(const char *pszText)
{
    while (isspace(static_cast<unsigned char>(*pszText)))
        pszText++;
    bool bNegative = false;
    if (*pszText == '+' || *pszText == '-')
        bNegative = *pszText++ == '-';
    // strtoull would take white space or a second sign here; strtoul of the
    // whole text does not, and reads nothing.
    if (!isxdigit(static_cast<unsigned char>(*pszText)))
        return 0;
    errno = 0;
    const unsigned long long nMagnitude = strtoull(pszText, nullptr, 16);
    if (errno == ERANGE || nMagnitude > 0xFFFFFFFFULL)
        return 0xFFFFFFFFU;
    const uint32_t nValue = static_cast<uint32_t>(nMagnitude);
    return bNegative ? 0U - nValue : nValue;
}

namespace
{

struct SwatchColor
{
    int nRed = 0;
    int nGreen = 0;
    int nBlue = 0;
};

/* RRGGBB in the low 24 bits of a colour number; higher bits are dropped. */
SwatchColor SplitColor(uint32_t nRGB)
{
    SwatchColor sColor;
    sColor.nRed = (nRGB >> 16) & 0xFF;
    sColor.nGreen = (nRGB >> 8) & 0xFF;
    sColor.nBlue = nRGB & 0xFF;
    return sColor;
}

int AllocateColor(SwatchCanvas &oCanvas, const SwatchColor &sColor)
{
    return oCanvas.AllocateColor(sColor.nRed, sColor.nGreen, sColor.nBlue);
}

} // namespace

SwatchPath ReadSwatchPath(const char *pszPath)
{
    SwatchPath sPath;
    const CPLStringList aosFields(CSLTokenizeStringComplex(pszPath, "/", FALSE, FALSE));
    int *const apnFields[] = {&sPath.nWidth, &sPath.nHeight, &sPath.nRed, &sPath.nGreen,
                              &sPath.nBlue};
    for (int i = 0; i < aosFields.size() && i < 5; i++)
        *apnFields[i] = VXMCgiAtoi(aosFields[i]);
    sPath.nWidth = std::max(sPath.nWidth, kMinSwatchSide);
    sPath.nHeight = std::max(sPath.nHeight, kMinSwatchSide);
    return sPath;
}

namespace
{

/* The style parameters, borrowed from the request. The first lookup makes
 * the request read its form input. */
struct SwatchStyle
{
    const char *pszLineStyle;
    const char *pszLineWidth;
    const char *pszLineType;
    const char *pszHatchType;
    const char *pszHatchSpacing;
    int nSymbolId;
    int nSymbolSize;

    bool IsLine() const
    {
        return *pszLineStyle != '\0' || *pszLineWidth != '\0' || *pszLineType != '\0';
    }
};

int ReadNumberParam(VXMCgiRequest &oRequest, const char *pszName)
{
    const char *pszValue = oRequest.GetParam(pszName);
    return *pszValue != '\0' ? VXMCgiAtoi(pszValue) : -1;
}

SwatchStyle ReadSwatchStyle(VXMCgiRequest &oRequest)
{
    SwatchStyle sStyle;
    sStyle.pszLineStyle = oRequest.GetParam("LineStyle");
    sStyle.pszLineWidth = oRequest.GetParam("LineWidth");
    sStyle.pszLineType = oRequest.GetParam("LineType");
    sStyle.pszHatchType = oRequest.GetParam("HatchType");
    sStyle.pszHatchSpacing = oRequest.GetParam("HatchSpacing");
    sStyle.nSymbolId = ReadNumberParam(oRequest, "SymbolId");
    sStyle.nSymbolSize = ReadNumberParam(oRequest, "SymbolSize");
    return sStyle;
}

/* What the program knows of each format: the Format value that asks for
 * it (in any letter case; none asks for GIF), its content type, and whether
 * it is a vector image, drawn once in swatch pixels whatever the scale. */
struct SwatchFormatInfo
{
    const char *pszName;
    const char *pszContentType;
    SwatchFormat eFormat;
    bool bVector;
};
constexpr SwatchFormatInfo asFormats[] = {
    {kSwatchFormatNames[0], "image/gif", SwatchFormat::Gif, false},
    {kSwatchFormatNames[1], "image/png", SwatchFormat::Png, false},
    {kSwatchFormatNames[2], "image/svg+xml", SwatchFormat::Svg, true},
};
static_assert(std::size(asFormats) == std::size(kSwatchFormatNames), "a format for each name");

/* The image the reply carries: GIF unless the request asks for PNG or SVG,
 * at 1 to 4 device pixels a swatch pixel. Only the URL chooses them, so a
 * cache needs no Vary. */
struct SwatchOutput
{
    const SwatchFormatInfo *psFormat = &asFormats[0];
    int nScale = 1;

    SwatchFormat Format() const
    {
        return psFormat->eFormat;
    }
    /* Pixels a side of the image drawn for a swatch pixel. */
    int Raster() const
    {
        return psFormat->bVector ? 1 : nScale;
    }
    const char *ContentType() const
    {
        return psFormat->pszContentType;
    }
};

/* Format and Scale are new to the URL, so a value the program does not know
 * is refused rather than read as something else. */
bool ReadSwatchOutput(VXMCgiRequest &oRequest, SwatchOutput &sOutput)
{
    const char *pszFormat = oRequest.GetParam("Format");
    if (*pszFormat != '\0')
    {
        sOutput.psFormat = nullptr;
        for (const SwatchFormatInfo &sFormat : asFormats)
            if (EQUAL(pszFormat, sFormat.pszName))
                sOutput.psFormat = &sFormat;
        if (sOutput.psFormat == nullptr)
        {
            CPLError(CE_Failure, CPLE_IllegalArg, "Format must be gif, png or svg.");
            return false;
        }
    }

    const char *pszScale = oRequest.GetParam("Scale");
    if (*pszScale != '\0')
    {
        if (pszScale[0] < '1' || pszScale[0] > '0' + kMaxSwatchScale || pszScale[1] != '\0')
        {
            CPLError(CE_Failure, CPLE_IllegalArg, "Scale must be 1, 2, 3 or 4.");
            return false;
        }
        sOutput.nScale = pszScale[0] - '0';
    }
    return true;
}

/* A swatch too large to draw, or to describe in a GIF, is refused; the
 * limits hold for the image drawn, at its scale. */
bool CheckSwatchSize(const SwatchPath &sPath, int nScale)
{
    const long long nWidth = static_cast<long long>(sPath.nWidth) * nScale;
    const long long nHeight = static_cast<long long>(sPath.nHeight) * nScale;
    // Sides of up to 2^31 x 4 each: their product would overflow 64 bits.
    if (nWidth > kMaxSwatchPixels / nHeight)
    {
        CPLError(CE_Failure, CPLE_IllegalArg,
                 "A swatch of %lld x %lld pixels is larger than the limit of %lld pixels.",
                 nWidth, nHeight, kMaxSwatchPixels);
        return false;
    }
    if (nWidth > kMaxSwatchSide || nHeight > kMaxSwatchSide)
    {
        CPLError(CE_Failure, CPLE_IllegalArg,
                 "A swatch of %lld x %lld pixels does not fit a GIF, whose sides are at most %d "
                 "pixels.",
                 nWidth, nHeight, kMaxSwatchSide);
        return false;
    }
    return true;
}

/* The four colours of a swatch, as the request gives them. */
struct SwatchColors
{
    bool bBackground = false; // else white, and see-through
    SwatchColor sBackground;
    bool bOutline = false;
    SwatchColor sOutline;
    bool bCorner = false; // corner marks, see-through
    SwatchColor sCorner;
    SwatchColor sForeground; // Color, else the path's colour
};

/* A colour parameter: false when it is empty. */
bool ReadColorParam(VXMCgiRequest &oRequest, const char *pszName, SwatchColor &sColor)
{
    const char *pszValue = oRequest.GetParam(pszName);
    if (*pszValue == '\0')
        return false;
    sColor = SplitColor(ReadHexColor(pszValue));
    return true;
}

SwatchColors ReadSwatchColors(VXMCgiRequest &oRequest, const SwatchPath &sPath)
{
    SwatchColors sColors;
    sColors.bBackground = ReadColorParam(oRequest, "BgColor", sColors.sBackground);
    sColors.bOutline = ReadColorParam(oRequest, "Outline", sColors.sOutline);
    sColors.bCorner = ReadColorParam(oRequest, "Corner", sColors.sCorner);
    if (!ReadColorParam(oRequest, "Color", sColors.sForeground))
        sColors.sForeground = {sPath.nRed, sPath.nGreen, sPath.nBlue};
    return sColors;
}

/* Everything a request asks of its swatch, read in one place: the style
 * texts stay borrowed from the request. */
struct SwatchRequest
{
    SwatchPath sPath;
    SwatchStyle sStyle;
    SwatchColors sColors;
    SwatchOutput sOutput;
};

bool ReadSwatchRequest(VXMCgiRequest &oRequest, const char *pszPath, SwatchRequest &sSwatch)
{
    sSwatch.sPath = ReadSwatchPath(pszPath);
    sSwatch.sStyle = ReadSwatchStyle(oRequest);
    sSwatch.sColors = ReadSwatchColors(oRequest, sSwatch.sPath);
    return ReadSwatchOutput(oRequest, sSwatch.sOutput);
}

/* The palette indexes the painters draw with. */
struct SwatchPalette
{
    int nOutline = 0; // 0: no outline
    int nCorner = 0;  // 0: no corner marks
    bool bCorner = false;
    int nForeground = 0;
};

/* Allocates the colours in this order: background (always index 0, so
 * never painted), outline, corner, foreground. Without a background colour
 * the white background is transparent; corner marks take the transparent
 * index for themselves. */
SwatchPalette AllocatePalette(SwatchCanvas &oCanvas, const SwatchColors &sColors)
{
    if (sColors.bBackground)
        AllocateColor(oCanvas, sColors.sBackground);
    else
        oCanvas.SetTransparent(oCanvas.AllocateColor(255, 255, 255));

    SwatchPalette sPalette;
    if (sColors.bOutline)
        sPalette.nOutline = AllocateColor(oCanvas, sColors.sOutline);
    if (sColors.bCorner)
    {
        sPalette.bCorner = true;
        sPalette.nCorner = AllocateColor(oCanvas, sColors.sCorner);
        oCanvas.SetTransparent(sPalette.nCorner);
    }
    sPalette.nForeground = AllocateColor(oCanvas, sColors.sForeground);
    return sPalette;
}

/* Exactly one sample: the line if any of its three texts is set, else the
 * symbol if its id is above 0 (an unknown id draws nothing), else the flat
 * patch. */
void DrawSample(SwatchCanvas &oCanvas, const SwatchPath &sPath, const SwatchStyle &sStyle,
                int nForeground)
{
    if (sStyle.IsLine())
    {
        DrawLineSample(oCanvas, sPath.nWidth, sPath.nHeight, nForeground, sStyle.pszLineStyle,
                       sStyle.pszLineWidth, sStyle.pszLineType, sStyle.pszHatchType,
                       sStyle.pszHatchSpacing);
    }
    else if (sStyle.nSymbolId > 0)
    {
        DrawSymbolSample(oCanvas, sPath.nWidth, sPath.nHeight, nForeground, sStyle.nSymbolId,
                         sStyle.nSymbolSize);
    }
    else
    {
        /* Flat patch: every pixel takes the foreground index. A flood fill
         * from (1, 1) would do on a blank image, but GD fills images narrower
         * than 4 pixels only right of and below the seed. */
        oCanvas.FillAll(nForeground);
    }
}

/* The swatch drawn on a canvas of the format and scale, as that format's
 * bytes: make the canvas, allocate the palette, draw the sample, draw the
 * frame, write. False when it could not be made: memory ran out (reported),
 * or an SVG passed the reply limit. */
bool DrawSwatch(const SwatchRequest &sSwatch, SwatchFormat eFormat, int nScale,
                std::string &osImage)
{
    const SwatchPath &sPath = sSwatch.sPath;
    const std::unique_ptr<SwatchCanvas> poCanvas =
        MakeSwatchCanvas(eFormat, sPath.nWidth, sPath.nHeight, nScale, kMaxReplyBytes);
    if (poCanvas == nullptr)
        return false;
    const SwatchPalette sPalette = AllocatePalette(*poCanvas, sSwatch.sColors);
    DrawSample(*poCanvas, sPath, sSwatch.sStyle, sPalette.nForeground);
    if (sPalette.nOutline > 0 || sPalette.bCorner)
        DrawFrame(*poCanvas, sPalette.nOutline, sPalette.nCorner, sPath.nWidth, sPath.nHeight);
    return poCanvas->Write(osImage);
}

/* An SVG says in shapes what a GIF says in compressed pixels: one that
 * would be more than 8 times the GIF of the same swatch (and 64 KiB) is
 * refused, and so is one past the reply limit. */
bool CheckSvgSize(const SwatchRequest &sSwatch, bool bWritten, const std::string &osSvg)
{
    constexpr size_t kSmallSvgBytes = 64 * 1024;
    size_t nLimit = kMaxReplyBytes;
    if (bWritten && osSvg.size() > kSmallSvgBytes)
    {
        std::string osGif;
        if (!DrawSwatch(sSwatch, SwatchFormat::Gif, 1, osGif))
            return false;
        nLimit = std::min(nLimit, 8 * osGif.size() + kSmallSvgBytes);
    }
    if (bWritten && osSvg.size() <= nLimit)
        return true;
    CPLError(CE_Failure, CPLE_IllegalArg,
             "This swatch is too intricate for SVG: its document would be larger than %zu "
             "bytes. Ask for Format=png instead.",
             nLimit);
    return false;
}

/* No reply is larger than the limit; it is refused before any of it goes
 * out. */
bool CheckReplySize(const SwatchOutput &sOutput, const std::string &osImage)
{
    if (osImage.size() <= kMaxReplyBytes)
        return true;
    CPLError(CE_Failure, CPLE_IllegalArg,
             "This swatch would be a reply of %zu bytes, more than the limit of %zu. Ask for %s.",
             osImage.size(), kMaxReplyBytes,
             sOutput.Format() == SwatchFormat::Png ? "a smaller swatch"
                                                   : "Format=png or a smaller swatch");
    return false;
}

/* Writes the header and the image. The header goes out only after all
 * drawing, so an error page can never follow it. */
bool WriteImageReply(const SwatchOutput &sOutput, const std::string &osImage, FILE *fpOut)
{
    WriteImageHeader(fpOut, sOutput.ContentType());
    fwrite(osImage.data(), 1, osImage.size(), fpOut);
    // A reply that did not reach the reader (it went away, or the disk is
    // full) is no success.
    if (fflush(fpOut) != 0 || ferror(fpOut))
    {
        CPLError(CE_Failure, CPLE_FileIO, "Cannot write the image: %s", strerror(errno));
        return false;
    }
    return true;
}

/* AnswerSwatchRequest without its guard against running out of memory.
 * The image is made whole in memory before the header: an error on the way
 * still gets its error page, and a reply past the limits is refused
 * unsent. */
int AnswerSwatchRequestUnguarded(VXMCgiRequest &oRequest, FILE *fpOut)
{
    const char *pszPath = oRequest.GetEnv("PATH_INFO");
    if (*pszPath == '\0')
    {
        PrintUsage(fpOut);
        return 1;
    }
    SwatchRequest sSwatch;
    if (!ReadSwatchRequest(oRequest, pszPath, sSwatch) ||
        !CheckSwatchSize(sSwatch.sPath, sSwatch.sOutput.Raster()))
        return 1;
    if (CheckOutputOpen(fpOut) == -1)
    {
        CPLError(CE_Failure, CPLE_FileIO,
                 "VXMChart::SaveSlideGIF(): Cannot set output file mode (%s)", strerror(errno));
        return 1;
    }
    const SwatchOutput &sOutput = sSwatch.sOutput;
    std::string osImage;
    const bool bDrawn = DrawSwatch(sSwatch, sOutput.Format(), sOutput.Raster(), osImage);
    if (sOutput.psFormat->bVector ? !CheckSvgSize(sSwatch, bDrawn, osImage)
                                  : !bDrawn || !CheckReplySize(sOutput, osImage))
        return 1;
    return WriteImageReply(sOutput, osImage, fpOut) ? 0 : 1;
}

} // namespace

void ReplayWhenNoRequest(VXMCgiRequest &oRequest, const char *pszCaptureFile)
{
    if (*oRequest.GetEnv("SCRIPT_NAME") == '\0' && *oRequest.GetEnv("PATH_INFO") == '\0' &&
        *oRequest.GetEnv("QUERY_STRING") == '\0')
    {
        oRequest.LoadEnvironment(pszCaptureFile);
    }
}

int AnswerSwatchRequest(VXMCgiRequest &oRequest, FILE *fpOut)
{
    // The C++ library reports running out of memory by throwing; CPL and GD
    // by returning. Either way the request gets the error page.
    try
    {
        return AnswerSwatchRequestUnguarded(oRequest, fpOut);
    }
    catch (const std::bad_alloc &)
    {
        CPLError(CE_Failure, CPLE_OutOfMemory, "Out of memory while drawing the swatch.");
        return 1;
    }
}
