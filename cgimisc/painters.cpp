/*
 * The swatch painters: line and hatch samples, point symbols, and the frame.
 */
#include "painters.h"

#include <algorithm>
#include <cstring>
#include <pthread.h>

#include <cpl_conv.h>
#include <cpl_string.h>

#include "vxmcgi.h"

/************************************************************************/
/*                         Line and hatch samples                       */
/************************************************************************/

namespace
{

/* Draws styled lines: the dash pattern restarts at the first entry for every
 * line (or every zig-zag copy) because the pattern is installed anew. */
class StyledPen
{
  public:
    StyledPen(gdImagePtr hImage, int *panStyle, int nStyleLength)
        : m_hImage(hImage), m_panStyle(panStyle), m_nStyleLength(nStyleLength)
    {
    }

    void Restart()
    {
        gdImageSetStyle(m_hImage, m_panStyle, m_nStyleLength);
    }

    void Line(long long x1, long long y1, long long x2, long long y2)
    {
        gdImageLine(m_hImage, static_cast<int>(x1), static_cast<int>(y1),
                    static_cast<int>(x2), static_cast<int>(y2), gdStyled);
    }

    void RestartAndLine(long long x1, long long y1, long long x2, long long y2)
    {
        Restart();
        Line(x1, y1, x2, y2);
    }

  private:
    gdImagePtr m_hImage;
    int *m_panStyle;
    int m_nStyleLength;
};

/* Calls fnDraw(offset) for every line offset of a hatch family: band k
 * (from 0) starts at (k + 1) * S + k * L and holds L adjacent offsets.
 * Bands are taken while their start satisfies bandOk(start); offsets past
 * nLastUseful draw nothing in the image and are skipped, which changes no
 * pixel since the pattern restarts at every line. */
template <class BandOk, class Draw>
void ForEachHatchOffset(long long nSpacing, long long nWidth, long long nLastUseful,
                        BandOk bandOk, Draw fnDraw)
{
    for (long long k = 0;; k++)
    {
        const long long nStart = (k + 1) * nSpacing + k * nWidth;
        if (!bandOk(k, nStart) || nStart > nLastUseful)
            return;
        for (long long i = 0; i < nWidth && nStart + i <= nLastUseful; i++)
            fnDraw(nStart + i);
    }
}

} // namespace

int DrawLineSample(gdImagePtr &hImage, int nWidth, int nHeight, int nColor,
                   const char *pszLineStyle, const char *pszLineWidth,
                   const char *pszLineType, const char *pszHatchType,
                   const char *pszHatchSpacing)
{
    const long long W = nWidth;
    const long long H = nHeight;
    const long long nImageW = gdImageSX(hImage);
    const long long nImageH = gdImageSY(hImage);

    /* Dash pattern: one entry a pixel step, a space is a gap. Between two
     * restarts a pen takes at most three lines of at most max(sx, sy) pixel
     * steps each, so entries beyond that are never reached and are left out. */
    const char *pszPattern = (pszLineStyle != nullptr && *pszLineStyle != '\0') ? pszLineStyle : "x";
    const long long nReachable = 3 * (nImageW + nImageH) + 3;
    const int nStyleLength = static_cast<int>(
        std::min<long long>(static_cast<long long>(strlen(pszPattern)), nReachable));
    int *panStyle = static_cast<int *>(CPLMalloc(sizeof(int) * nStyleLength));
    for (int i = 0; i < nStyleLength; i++)
        panStyle[i] = pszPattern[i] == ' ' ? gdTransparent : nColor;
    StyledPen oPen(hImage, panStyle, nStyleLength);

    /* Line width: at least 1, at most the image height. */
    long long L = VXMCgiAtoi(pszLineWidth);
    if (L <= 1)
        L = 1;
    if (L >= H)
        L = H;

    if (pszLineType != nullptr && EQUAL(pszLineType, "ZigZag"))
    {
        /* Three segments a copy, down-up-down-up, the copies shifted right
         * one pixel each; the pattern runs on across the segments. A copy
         * that starts right of the image draws nothing. */
        const long long D = W / 3;
        for (long long i = 0; i < L && i < nImageW; i++)
        {
            oPen.Restart();
            oPen.Line(i, H, D + i, 0);
            oPen.Line(D + i, 0, 2 * D + i, H);
            oPen.Line(2 * D + i, H, W + i, 0);
        }
    }
    else if (pszLineType != nullptr && EQUAL(pszLineType, "Hatch"))
    {
        long long S = VXMCgiAtoi(pszHatchSpacing);
        if (S < 1)
            S = 4;
        const int nType = VXMCgiAtoi(pszHatchType);
        const long long K = (W + H) / S;

        /* Past this offset no diagonal of either family meets the image. */
        const long long nLastDiagonal = W + H + nImageW + nImageH;
        const auto upToK = [K](long long k, long long) { return k <= K; };

        const auto rising = [&]() {
            ForEachHatchOffset(S, L, nLastDiagonal, upToK,
                               [&](long long d) { oPen.RestartAndLine(0, d, d, 0); });
        };
        const auto falling = [&]() {
            ForEachHatchOffset(S, L, nLastDiagonal, upToK,
                               [&](long long d) { oPen.RestartAndLine(0, H - d, d, H); });
        };
        /* Straight families: a band belongs to the hatch when its start lies
         * within the swatch; all its lines are drawn, but those past the
         * image's last row or column change nothing and are skipped. */
        const auto horizontal = [&]() {
            ForEachHatchOffset(S, L, nImageH - 1,
                               [H](long long, long long b) { return b <= H; },
                               [&](long long y) { oPen.RestartAndLine(0, y, W, y); });
        };
        const auto vertical = [&]() {
            ForEachHatchOffset(S, L, nImageW - 1,
                               [W](long long, long long b) { return b <= W; },
                               [&](long long x) { oPen.RestartAndLine(x, 0, x, H); });
        };

        switch (nType)
        {
            case 2:
                falling();
                break;
            case 3:
                horizontal();
                break;
            case 4:
                vertical();
                break;
            case 5:
                rising();
                falling();
                break;
            case 6:
                horizontal();
                vertical();
                break;
            default:
                rising();
                break;
        }
    }
    else
    {
        /* Centred band of L rows. */
        const long long Y0 = H / 2 - L / 2;
        for (long long i = 0; i < L; i++)
            oPen.RestartAndLine(0, Y0 + i, W, Y0 + i);
    }

    CPLFree(panStyle);
    return 0;
}

/************************************************************************/
/*                              Symbol samples                          */
/************************************************************************/

namespace
{

/* gdImageFillToBorder recurses once a row; on the default stack it is safe
 * for fills of this many rows, sanitizer builds included. Taller fills run
 * on a thread whose stack is sized for them. */
constexpr long long kMaxFillRowsOnStack = 16384;
constexpr long long kFillStackBytesPerRow = 256;

struct FillToBorderJob
{
    gdImagePtr hImage;
    int x, y, nColor;
};

void *RunFillToBorder(void *pJob)
{
    const FillToBorderJob *psJob = static_cast<const FillToBorderJob *>(pJob);
    gdImageFillToBorder(psJob->hImage, psJob->x, psJob->y, psJob->nColor, psJob->nColor);
    return nullptr;
}

void FillToBorder(gdImagePtr hImage, int x, int y, int nColor, long long nRows)
{
    FillToBorderJob sJob = {hImage, x, y, nColor};
    if (nRows > kMaxFillRowsOnStack)
    {
        pthread_attr_t sAttr;
        pthread_attr_init(&sAttr);
        const size_t nStack = static_cast<size_t>(nRows * kFillStackBytesPerRow) + (1 << 20);
        pthread_t hThread;
        const bool bStarted = pthread_attr_setstacksize(&sAttr, nStack) == 0 &&
                              pthread_create(&hThread, &sAttr, RunFillToBorder, &sJob) == 0;
        pthread_attr_destroy(&sAttr);
        if (bStarted)
        {
            pthread_join(hThread, nullptr);
            return;
        }
        CPLError(CE_Failure, CPLE_OutOfMemory,
                 "Cannot reserve a stack to fill a symbol of %lld rows.", nRows);
        return;
    }
    RunFillToBorder(&sJob);
}

} // namespace

int DrawSymbolSample(gdImagePtr &hImage, int nWidth, int nHeight, int nColor,
                     int nSymbolId, int nSymbolSize)
{
    int S = nSymbolSize;
    if (S < 0 || (S > nWidth && S > nHeight))
        S = std::min(nWidth, nHeight);

    const int cx = nWidth / 2;
    const int cy = nHeight / 2;
    const int h = S / 2;
    const int q = S / 4;
    /* The star's arm row lies 3/8 down the image, whatever the symbol size. */
    const int Y = static_cast<int>(nHeight * 0.375);

    switch (nSymbolId)
    {
        case 1:
            gdImageFilledRectangle(hImage, cx - h, cy - h, cx + h, cy + h, nColor);
            break;
        case 2:
            gdImageArc(hImage, cx, cy, S, S, 0, 360, nColor);
            break;
        case 3:
        {
            gdPoint asTriangle[3] = {{cx - h, cy + h}, {cx, cy - h}, {cx + h, cy + h}};
            gdImageFilledPolygon(hImage, asTriangle, 3, nColor);
            break;
        }
        case 4:
            gdImageLine(hImage, cx - h, cy, cx + h, cy, nColor);
            gdImageLine(hImage, cx, cy - h, cx, cy + h, nColor);
            break;
        case 5:
        {
            gdPoint asStar[10] = {
                {cx - h, Y},      {cx - q, Y},     {cx, cy - h},     {cx + q, Y},
                {cx + h, Y},      {cx + q, cy},    {cx + h, cy + h}, {cx, cy + q},
                {cx - h, cy + h}, {cx - q, cy},
            };
            gdImageFilledPolygon(hImage, asStar, 10, nColor);
            break;
        }
        case 6:
        {
            gdImageArc(hImage, cx, cy, S, S, 0, 360, nColor);
            /* The fill stays within the circle's rows, or the image's. */
            const long long nRows =
                std::min<long long>(static_cast<long long>(S) + 1, gdImageSY(hImage));
            FillToBorder(hImage, cx, cy, nColor, nRows);
            break;
        }
        default:
            break;
    }
    return 0;
}

/************************************************************************/
/*                                 Frame                                */
/************************************************************************/

int DrawFrame(gdImagePtr &hImage, int nOutlineColor, int nCornerColor, int nWidth,
              int nHeight)
{
    if (nOutlineColor > 0)
    {
        /* Far ends lie one pixel past the image and are clipped, leaving the
         * outermost ring of pixels. */
        gdImageLine(hImage, 0, 0, nWidth, 0, nOutlineColor);
        gdImageLine(hImage, 0, 0, 0, nHeight, nOutlineColor);
        gdImageLine(hImage, 0, nHeight - 1, nWidth, nHeight - 1, nOutlineColor);
        gdImageLine(hImage, nWidth - 1, 0, nWidth - 1, nHeight, nOutlineColor);
    }
    if (nCornerColor > 0)
    {
        gdImageSetPixel(hImage, 0, 0, nCornerColor);
        gdImageSetPixel(hImage, 0, nHeight - 1, nCornerColor);
        gdImageSetPixel(hImage, nWidth - 1, 0, nCornerColor);
        gdImageSetPixel(hImage, nWidth - 1, nHeight - 1, nCornerColor);
    }
    return 0;
}
