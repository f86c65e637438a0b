/*
 * The swatch painters: line and hatch samples, point symbols, and the frame.
 */
#include "painters.h"

#include <algorithm>
#include <initializer_list>

#include <cpl_string.h>

#include "vxmcgi.h"

/************************************************************************/
/*                         Line and hatch samples                       */
/************************************************************************/

namespace
{

/* Draws dashed lines: the pattern restarts at the first entry for every
 * line, or every zig-zag copy. */
class DashedPen
{
  public:
    explicit DashedPen(SwatchCanvas &oCanvas) : m_oCanvas(oCanvas)
    {
    }

    void Line(long long x1, long long y1, long long x2, long long y2)
    {
        const SwatchPoint asLine[2] = {{x1, y1}, {x2, y2}};
        m_oCanvas.DashedPolyline(asLine, 2);
    }

    void Polyline(std::initializer_list<SwatchPoint> asPoints)
    {
        m_oCanvas.DashedPolyline(asPoints.begin(), static_cast<int>(asPoints.size()));
    }

  private:
    SwatchCanvas &m_oCanvas;
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

/* Three segments a copy, down-up-down-up, the copies shifted right one
 * pixel each; the pattern runs on across the segments. A copy that starts
 * right of the swatch draws nothing. */
void DrawZigZag(DashedPen &oPen, long long W, long long H, long long L)
{
    const long long D = W / 3;
    for (long long i = 0; i < L && i < W; i++)
        oPen.Polyline({{i, H}, {D + i, 0}, {2 * D + i, H}, {W + i, 0}});
}

/* Bands of L lines with a gap of S before each, in the families the hatch
 * type selects. */
void DrawHatch(DashedPen &oPen, long long W, long long H, long long L, const char *pszHatchType,
               const char *pszHatchSpacing)
{
    long long S = VXMCgiAtoi(pszHatchSpacing);
    if (S < 1)
        S = kDefaultHatchSpacing;
    const int nType = VXMCgiAtoi(pszHatchType);
    const long long K = (W + H) / S;

    /* Past this offset no diagonal of either family meets the swatch. */
    const long long nLastDiagonal = 2 * (W + H);
    const auto upToK = [K](long long k, long long) { return k <= K; };

    const auto rising = [&]() {
        ForEachHatchOffset(S, L, nLastDiagonal, upToK,
                           [&](long long d) { oPen.Line(0, d, d, 0); });
    };
    const auto falling = [&]() {
        ForEachHatchOffset(S, L, nLastDiagonal, upToK,
                           [&](long long d) { oPen.Line(0, H - d, d, H); });
    };
    /* Straight families: a band belongs to the hatch when its start lies
     * within the swatch; all its lines are drawn, but those past the last
     * row or column change nothing and are skipped. */
    const auto horizontal = [&]() {
        ForEachHatchOffset(S, L, H - 1, [H](long long, long long b) { return b <= H; },
                           [&](long long y) { oPen.Line(0, y, W, y); });
    };
    const auto vertical = [&]() {
        ForEachHatchOffset(S, L, W - 1, [W](long long, long long b) { return b <= W; },
                           [&](long long x) { oPen.Line(x, 0, x, H); });
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

/* L rows across the middle of the swatch. */
void DrawCentredBand(DashedPen &oPen, long long W, long long H, long long L)
{
    const long long Y0 = H / 2 - L / 2;
    for (long long i = 0; i < L; i++)
        oPen.Line(0, Y0 + i, W, Y0 + i);
}

} // namespace

int DrawLineSample(SwatchCanvas &oCanvas, int nWidth, int nHeight, int nColor,
                   const char *pszLineStyle, const char *pszLineWidth,
                   const char *pszLineType, const char *pszHatchType,
                   const char *pszHatchSpacing)
{
    /* Dash pattern: one entry a pixel step, a space is a gap. */
    oCanvas.SetDashPattern(*pszLineStyle != '\0' ? pszLineStyle : "x", nColor);
    DashedPen oPen(oCanvas);

    /* Line width: at least 1, at most the swatch height. */
    long long L = VXMCgiAtoi(pszLineWidth);
    if (L <= 1)
        L = 1;
    if (L >= nHeight)
        L = nHeight;

    if (EQUAL(pszLineType, "ZigZag"))
        DrawZigZag(oPen, nWidth, nHeight, L);
    else if (EQUAL(pszLineType, "Hatch"))
        DrawHatch(oPen, nWidth, nHeight, L, pszHatchType, pszHatchSpacing);
    else
        DrawCentredBand(oPen, nWidth, nHeight, L);
    return 0;
}

int DrawLineSample(gdImagePtr &hImage, int nWidth, int nHeight, int nColor,
                   const char *pszLineStyle, const char *pszLineWidth,
                   const char *pszLineType, const char *pszHatchType,
                   const char *pszHatchSpacing)
{
    GdCanvas oCanvas(hImage, 1);
    return DrawLineSample(oCanvas, nWidth, nHeight, nColor, pszLineStyle, pszLineWidth,
                          pszLineType, pszHatchType, pszHatchSpacing);
}

/************************************************************************/
/*                              Symbol samples                          */
/************************************************************************/

int DrawSymbolSample(SwatchCanvas &oCanvas, int nWidth, int nHeight, int nColor,
                     int nSymbolId, int nSymbolSize)
{
    int S = nSymbolSize;
    if (S < 0 || (S > nWidth && S > nHeight))
        S = std::min(nWidth, nHeight);

    const long long cx = nWidth / 2;
    const long long cy = nHeight / 2;
    const long long h = S / 2;
    const long long q = S / 4;
    /* The star's arm row lies 3/8 down the swatch, whatever the symbol size. */
    const long long Y = static_cast<long long>(nHeight * 0.375);

    switch (nSymbolId)
    {
        case 1:
            oCanvas.FilledRectangle({cx - h, cy - h}, {cx + h, cy + h}, nColor);
            break;
        case 2:
            oCanvas.Circle({cx, cy}, S, nColor, false);
            break;
        case 3:
        {
            const SwatchPoint asTriangle[3] = {{cx - h, cy + h}, {cx, cy - h}, {cx + h, cy + h}};
            oCanvas.FilledPolygon(asTriangle, 3, nColor);
            break;
        }
        case 4:
            oCanvas.Line({cx - h, cy}, {cx + h, cy}, nColor);
            oCanvas.Line({cx, cy - h}, {cx, cy + h}, nColor);
            break;
        case 5:
        {
            const SwatchPoint asStar[10] = {
                {cx - h, Y},      {cx - q, Y},     {cx, cy - h},     {cx + q, Y},
                {cx + h, Y},      {cx + q, cy},    {cx + h, cy + h}, {cx, cy + q},
                {cx - h, cy + h}, {cx - q, cy},
            };
            oCanvas.FilledPolygon(asStar, 10, nColor);
            break;
        }
        case 6:
            oCanvas.Circle({cx, cy}, S, nColor, true);
            break;
        default:
            break;
    }
    return 0;
}

int DrawSymbolSample(gdImagePtr &hImage, int nWidth, int nHeight, int nColor,
                     int nSymbolId, int nSymbolSize)
{
    GdCanvas oCanvas(hImage, 1);
    return DrawSymbolSample(oCanvas, nWidth, nHeight, nColor, nSymbolId, nSymbolSize);
}

/************************************************************************/
/*                                 Frame                                */
/************************************************************************/

int DrawFrame(SwatchCanvas &oCanvas, int nOutlineColor, int nCornerColor, int nWidth,
              int nHeight)
{
    const long long W = nWidth;
    const long long H = nHeight;
    if (nOutlineColor > 0)
    {
        /* Far ends lie one pixel past the swatch and are clipped, leaving the
         * outermost ring of pixels. */
        oCanvas.Line({0, 0}, {W, 0}, nOutlineColor);
        oCanvas.Line({0, 0}, {0, H}, nOutlineColor);
        oCanvas.Line({0, H - 1}, {W, H - 1}, nOutlineColor);
        oCanvas.Line({W - 1, 0}, {W - 1, H}, nOutlineColor);
    }
    if (nCornerColor > 0)
    {
        oCanvas.SetPixel({0, 0}, nCornerColor);
        oCanvas.SetPixel({0, H - 1}, nCornerColor);
        oCanvas.SetPixel({W - 1, 0}, nCornerColor);
        oCanvas.SetPixel({W - 1, H - 1}, nCornerColor);
    }
    return 0;
}

int DrawFrame(gdImagePtr &hImage, int nOutlineColor, int nCornerColor, int nWidth,
              int nHeight)
{
    GdCanvas oCanvas(hImage, 1);
    return DrawFrame(oCanvas, nOutlineColor, nCornerColor, nWidth, nHeight);
}
