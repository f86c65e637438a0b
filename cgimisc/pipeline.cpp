/*
 * The request pipeline: from the request's path and form parameters to the
 * reply, the GIF image or the banner page.
 *
 *   PATH_INFO     /width/height/red/green/blue, e.g. /40/20/255/0/0
 *   parameters    LineStyle, LineWidth, LineType, HatchType, HatchSpacing,
 *                 SymbolId, SymbolSize, BgColor, Outline, Corner, Color
 */
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cpl_error.h>
#include <cpl_string.h>
#include <gd.h>

#include "swatch.h"
#include "vxmcgi.h"

/* Switches an output stream to untranslated mode; -1 on failure, with errno
 * set. Where streams have no text mode there is nothing to switch, and the
 * only possible failure is a descriptor that is not open. A stream without
 * a descriptor (in memory) has nothing to switch. */
static int SetBinaryMode(FILE *fp)
{
    const int fd = fileno(fp);
    if (fd < 0)
        return 0;
#ifdef _WIN32
    return _setmode(fd, _O_BINARY);
#else
    if (fcntl(fd, F_GETFL) == -1)
    {
        errno = EBADF;
        return -1;
    }
    return 0;
#endif
}

namespace
{
/* Destroys the image when the request is answered. */
class ImageGuard
{
  public:
    explicit ImageGuard(gdImagePtr &hImage) : m_hImage(hImage)
    {
    }
    ~ImageGuard()
    {
        if (m_hImage != nullptr)
            gdImageDestroy(m_hImage);
    }
    ImageGuard(const ImageGuard &) = delete;
    ImageGuard &operator=(const ImageGuard &) = delete;

  private:
    gdImagePtr &m_hImage;
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

static int AllocateHexColor(gdImagePtr hImage, const char *pszText)
{
    const uint32_t nRGB = ReadHexColor(pszText);
    return gdImageColorAllocate(hImage, (nRGB >> 16) & 0xFF, (nRGB >> 8) & 0xFF,
                                nRGB & 0xFF);
}

int AnswerSwatchRequest(VXMCgiRequest &oRequest, FILE *fpOut)
{
    const char *pszPath = oRequest.GetEnv("PATH_INFO");
    if (*pszPath == '\0')
    {
        PrintUsageTo(fpOut);
        return 1;
    }

    /* Path: /width/height/red/green/blue, empty pieces dropped. */
    int nWidth = 50;
    int nHeight = 50;
    int nRed = 0;
    int nGreen = 0;
    int nBlue = 0;
    char **papszFields = CSLTokenizeStringComplex(pszPath, "/", FALSE, FALSE);
    const int nFields = CSLCount(papszFields);
    int *const apnFields[] = {&nWidth, &nHeight, &nRed, &nGreen, &nBlue};
    for (int i = 0; i < nFields && i < 5; i++)
        *apnFields[i] = VXMCgiAtoi(papszFields[i]);
    CSLDestroy(papszFields);

    if (nWidth <= 2)
        nWidth = 2;
    if (nHeight <= 2)
        nHeight = 2;

    const char *pszLineStyle = oRequest.GetParam("LineStyle");
    const char *pszLineWidth = oRequest.GetParam("LineWidth");
    const char *pszLineType = oRequest.GetParam("LineType");
    const char *pszHatchType = oRequest.GetParam("HatchType");
    const char *pszHatchSpacing = oRequest.GetParam("HatchSpacing");

    const char *pszSymbolId = oRequest.GetParam("SymbolId");
    const int nSymbolId = *pszSymbolId != '\0' ? VXMCgiAtoi(pszSymbolId) : -1;
    const char *pszSymbolSize = oRequest.GetParam("SymbolSize");
    const int nSymbolSize = *pszSymbolSize != '\0' ? VXMCgiAtoi(pszSymbolSize) : -1;

    if (static_cast<long long>(nWidth) * nHeight > kMaxSwatchPixels)
    {
        CPLError(CE_Failure, CPLE_IllegalArg,
                 "A swatch of %d x %d pixels is larger than the limit of %lld pixels.",
                 nWidth, nHeight, kMaxSwatchPixels);
        return 1;
    }
    if (nWidth > kMaxSwatchSide || nHeight > kMaxSwatchSide)
    {
        CPLError(CE_Failure, CPLE_IllegalArg,
                 "A swatch of %d x %d pixels does not fit a GIF, whose sides are at most %d "
                 "pixels.",
                 nWidth, nHeight, kMaxSwatchSide);
        return 1;
    }
    gdImagePtr hImage = gdImageCreate(nWidth, nHeight);
    // Released on every way out of this function; an error handler that
    // ends the process leaves it to the process's end.
    ImageGuard oImageGuard(hImage);
    if (hImage == nullptr)
    {
        CPLError(CE_Failure, CPLE_OutOfMemory, "Cannot create an image of %d x %d pixels.",
                 nWidth, nHeight);
        return 1;
    }

    /* Palette, in this order: background (always index 0, so never painted),
     * outline, corner, foreground. */
    const char *pszBgColor = oRequest.GetParam("BgColor");
    if (*pszBgColor != '\0')
    {
        AllocateHexColor(hImage, pszBgColor);
    }
    else
    {
        gdImageColorTransparent(hImage, gdImageColorAllocate(hImage, 255, 255, 255));
    }

    const char *pszOutline = oRequest.GetParam("Outline");
    const char *pszCorner = oRequest.GetParam("Corner");
    int nOutlineColor = 0;
    int nCornerColor = 0;
    if (*pszOutline != '\0')
        nOutlineColor = AllocateHexColor(hImage, pszOutline);
    if (*pszCorner != '\0')
    {
        nCornerColor = AllocateHexColor(hImage, pszCorner);
        gdImageColorTransparent(hImage, nCornerColor);
    }

    const char *pszColor = oRequest.GetParam("Color");
    if (*pszColor != '\0')
    {
        const uint32_t nRGB = ReadHexColor(pszColor);
        nRed = (nRGB >> 16) & 0xFF;
        nGreen = (nRGB >> 8) & 0xFF;
        nBlue = nRGB & 0xFF;
    }
    const int nForeground = gdImageColorAllocate(hImage, nRed, nGreen, nBlue);

    if (SetBinaryMode(fpOut) == -1)
    {
        CPLError(CE_Failure, CPLE_FileIO,
                 "VXMChart::SaveSlideGIF(): Cannot set output file mode (%s)", strerror(errno));
        return 1;
    }

    if (*pszLineStyle != '\0' || *pszLineWidth != '\0' || *pszLineType != '\0')
    {
        DrawLineSample(hImage, nWidth, nHeight, nForeground, pszLineStyle, pszLineWidth,
                       pszLineType, pszHatchType, pszHatchSpacing);
    }
    else if (nSymbolId > 0)
    {
        DrawSymbolSample(hImage, nWidth, nHeight, nForeground, nSymbolId, nSymbolSize);
    }
    else
    {
        /* Flat patch: every pixel takes the foreground index. A flood fill
         * from (1, 1) would do on a blank image, but GD fills images narrower
         * than 4 pixels only right of and below the seed. The rows are set
         * whole through GD's pixel rows (what gdImagePalettePixel reads and
         * writes): pixel by pixel, the fill would cost as much again as
         * encoding the GIF. */
        for (int y = 0; y < nHeight; y++)
            memset(hImage->pixels[y], nForeground, static_cast<size_t>(nWidth));
    }

    if (nOutlineColor > 0 || *pszCorner != '\0')
        DrawFrame(hImage, nOutlineColor, nCornerColor, nWidth, nHeight);

    /* The header goes out only after all drawing, so an error page can never
     * follow it. */
    fprintf(fpOut, "Content-Type: image/gif\n\n");
    gdImageGif(hImage, fpOut);
    // GD does not report failed writes. A reply that did not reach the
    // reader (it went away, or the disk is full) is no success.
    if (fflush(fpOut) != 0 || ferror(fpOut))
    {
        CPLError(CE_Failure, CPLE_FileIO, "Cannot write the image: %s", strerror(errno));
        return 1;
    }
    return 0;
}
