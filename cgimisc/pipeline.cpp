/*
 * The request pipeline: from the request's path and form parameters to the
 * reply, the GIF image or the banner page.
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
#include <memory>
#include <new>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <cpl_error.h>
#include <cpl_string.h>
#include <gd.h>

#include "painters.h"
#include "swatch.h"
#include "vxmcgi.h"

/* Readies an output stream for the image's bytes; -1 on failure, with
 * errno set. Streams here have no text mode to switch off, so the only
 * possible failure is a descriptor that is not open. A stream without a
 * descriptor (in memory) is ready. */
static int SetBinaryMode(FILE *fp)
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

namespace
{
/* A GD image, destroyed with its owner. */
struct GdImageDeleter
{
    void operator()(gdImagePtr hImage) const
    {
        gdImageDestroy(hImage);
    }
};
using GdImage = std::unique_ptr<gdImage, GdImageDeleter>;

/* A buffer GD allocated, released with gdFree. */
struct GdFreeDeleter
{
    void operator()(void *pData) const
    {
        gdFree(pData);
    }
};
} // namespace

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
    sPath.nWidth = std::max(sPath.nWidth, 2);
    sPath.nHeight = std::max(sPath.nHeight, 2);
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

/* The image the reply carries: GIF unless the request asks for PNG or SVG,
 * at 1 to 4 device pixels a swatch pixel. Only the URL chooses them, so a
 * cache needs no Vary. */
enum class SwatchFormat
{
    Gif,
    Png,
    Svg
};

struct SwatchOutput
{
    SwatchFormat eFormat = SwatchFormat::Gif;
    int nScale = 1;

    /* Pixels a side of the image drawn: an SVG is drawn once, in swatch
     * pixels, whatever the scale. */
    int Raster() const
    {
        return eFormat == SwatchFormat::Svg ? 1 : nScale;
    }
    const char *ContentType() const
    {
        switch (eFormat)
        {
            case SwatchFormat::Png:
                return "image/png";
            case SwatchFormat::Svg:
                return "image/svg+xml";
            default:
                return "image/gif";
        }
    }
};

/* Format and Scale are new to the URL, so a value the program does not know
 * is refused rather than read as something else. */
bool ReadSwatchOutput(VXMCgiRequest &oRequest, SwatchOutput &sOutput)
{
    const char *pszFormat = oRequest.GetParam("Format");
    if (*pszFormat == '\0' || EQUAL(pszFormat, "gif"))
        sOutput.eFormat = SwatchFormat::Gif;
    else if (EQUAL(pszFormat, "png"))
        sOutput.eFormat = SwatchFormat::Png;
    else if (EQUAL(pszFormat, "svg"))
        sOutput.eFormat = SwatchFormat::Svg;
    else
    {
        CPLError(CE_Failure, CPLE_IllegalArg, "Format must be gif, png or svg.");
        return false;
    }

    const char *pszScale = oRequest.GetParam("Scale");
    if (*pszScale != '\0')
    {
        if (pszScale[0] < '1' || pszScale[0] > '4' || pszScale[1] != '\0')
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
SwatchPalette AllocatePalette(SwatchCanvas &oCanvas, VXMCgiRequest &oRequest,
                              SwatchColor sForeground)
{
    const char *pszBgColor = oRequest.GetParam("BgColor");
    if (*pszBgColor != '\0')
        AllocateColor(oCanvas, SplitColor(ReadHexColor(pszBgColor)));
    else
        oCanvas.SetTransparent(oCanvas.AllocateColor(255, 255, 255));

    SwatchPalette sPalette;
    const char *pszOutline = oRequest.GetParam("Outline");
    const char *pszCorner = oRequest.GetParam("Corner");
    if (*pszOutline != '\0')
        sPalette.nOutline = AllocateColor(oCanvas, SplitColor(ReadHexColor(pszOutline)));
    if (*pszCorner != '\0')
    {
        sPalette.bCorner = true;
        sPalette.nCorner = AllocateColor(oCanvas, SplitColor(ReadHexColor(pszCorner)));
        oCanvas.SetTransparent(sPalette.nCorner);
    }

    const char *pszColor = oRequest.GetParam("Color");
    if (*pszColor != '\0')
        sForeground = SplitColor(ReadHexColor(pszColor));
    sPalette.nForeground = AllocateColor(oCanvas, sForeground);
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

/* Draws the whole swatch on the canvas: its palette, its sample and its
 * frame. */
void DrawSwatch(SwatchCanvas &oCanvas, VXMCgiRequest &oRequest, const SwatchPath &sPath,
                const SwatchStyle &sStyle)
{
    const SwatchPalette sPalette =
        AllocatePalette(oCanvas, oRequest, {sPath.nRed, sPath.nGreen, sPath.nBlue});
    DrawSample(oCanvas, sPath, sStyle, sPalette.nForeground);
    if (sPalette.nOutline > 0 || sPalette.bCorner)
        DrawFrame(oCanvas, sPalette.nOutline, sPalette.nCorner, sPath.nWidth, sPath.nHeight);
}

/* The swatch drawn into a GD image at the scale asked for and encoded as
 * GIF or PNG into osImage; false, with the error reported, when memory ran
 * out. */
bool DrawRaster(VXMCgiRequest &oRequest, const SwatchPath &sPath, const SwatchStyle &sStyle,
                SwatchFormat eFormat, int nScale, std::string &osImage)
{
    const GdImage poImage(gdImageCreate(sPath.nWidth * nScale, sPath.nHeight * nScale));
    if (poImage == nullptr)
    {
        CPLError(CE_Failure, CPLE_OutOfMemory, "Cannot create an image of %d x %d pixels.",
                 sPath.nWidth * nScale, sPath.nHeight * nScale);
        return false;
    }
    {
        GdCanvas oCanvas(poImage.get(), nScale);
        DrawSwatch(oCanvas, oRequest, sPath, sStyle);
    }
    int nSize = 0;
    const std::unique_ptr<void, GdFreeDeleter> poData(
        eFormat == SwatchFormat::Png ? gdImagePngPtr(poImage.get(), &nSize)
                                     : gdImageGifPtr(poImage.get(), &nSize));
    if (poData == nullptr)
    {
        CPLError(CE_Failure, CPLE_OutOfMemory, "Cannot encode the image.");
        return false;
    }
    osImage.assign(static_cast<const char *>(poData.get()), static_cast<size_t>(nSize));
    return true;
}

/* The swatch as an SVG document. An SVG says in shapes what a GIF says in
 * compressed pixels; one that would be more than 8 times the GIF (and
 * 64 KiB) is refused, and so is one past the reply limit, before a byte of
 * it goes out. */
bool DrawSvg(VXMCgiRequest &oRequest, const SwatchPath &sPath, const SwatchStyle &sStyle,
             std::string &osImage)
{
    constexpr size_t kSmallSvgBytes = 64 * 1024;
    SvgCanvas oCanvas(sPath.nWidth, sPath.nHeight, kMaxReplyBytes);
    DrawSwatch(oCanvas, oRequest, sPath, sStyle);
    size_t nLimit = kMaxReplyBytes;
    if (oCanvas.Document(osImage) && osImage.size() > kSmallSvgBytes)
    {
        std::string osGif;
        if (!DrawRaster(oRequest, sPath, sStyle, SwatchFormat::Gif, 1, osGif))
            return false;
        nLimit = std::min(nLimit, 8 * osGif.size() + kSmallSvgBytes);
    }
    if (osImage.empty() || osImage.size() > nLimit)
    {
        CPLError(CE_Failure, CPLE_IllegalArg,
                 "This swatch is too intricate for SVG: its document would be larger than %zu "
                 "bytes. Ask for Format=png instead.",
                 nLimit);
        return false;
    }
    return true;
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

/* AnswerSwatchRequest without its guard against running out of memory. */
int AnswerSwatchRequestUnguarded(VXMCgiRequest &oRequest, FILE *fpOut)
{
    const char *pszPath = oRequest.GetEnv("PATH_INFO");
    if (*pszPath == '\0')
    {
        PrintUsage(fpOut);
        return 1;
    }

    const SwatchPath sPath = ReadSwatchPath(pszPath);
    const SwatchStyle sStyle = ReadSwatchStyle(oRequest);
    SwatchOutput sOutput;
    if (!ReadSwatchOutput(oRequest, sOutput) || !CheckSwatchSize(sPath, sOutput.Raster()))
        return 1;
    if (SetBinaryMode(fpOut) == -1)
    {
        CPLError(CE_Failure, CPLE_FileIO,
                 "VXMChart::SaveSlideGIF(): Cannot set output file mode (%s)", strerror(errno));
        return 1;
    }

    // The image is made whole in memory first: an error on the way still
    // gets its error page, and a reply past the limit is refused unsent.
    std::string osImage;
    const bool bDrawn = sOutput.eFormat == SwatchFormat::Svg
                            ? DrawSvg(oRequest, sPath, sStyle, osImage)
                            : DrawRaster(oRequest, sPath, sStyle, sOutput.eFormat,
                                         sOutput.nScale, osImage);
    if (!bDrawn)
        return 1;
    if (osImage.size() > kMaxReplyBytes)
    {
        CPLError(CE_Failure, CPLE_IllegalArg,
                 "This swatch would be a reply of %zu bytes, more than the limit of %zu. Ask "
                 "for %s.",
                 osImage.size(), kMaxReplyBytes,
                 sOutput.eFormat == SwatchFormat::Png ? "a smaller swatch"
                                                      : "Format=png or a smaller swatch");
        return 1;
    }
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
