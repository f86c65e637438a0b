/*
 * The SVG canvas: a swatch as vector shapes that, rendered at 1x with crisp
 * edges, cover the pixels the GIF has and stay sharp when enlarged.
 *
 * Pixel (x, y) is the unit square from (x, y). A one-pixel line is a stroke
 * through the pixel centres, one pixel thick across its minor axis and half
 * a step longer than its end pixels at both ends, clipped and stepped as GD
 * clips and steps it, so that a dash pattern falls on the same pixels.
 * Filled shapes run through the pixel centres with a half-pixel border, the
 * way GD counts both ends of every span as inside.
 */
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "canvas.h"
#include "gdclip.h"

namespace
{

/* A number as short as it can be written: at most four decimals. */
std::string Num(double dfValue)
{
    char szBuffer[64];
    snprintf(szBuffer, sizeof(szBuffer), "%.4f", dfValue);
    char *pszEnd = szBuffer + strlen(szBuffer);
    while (pszEnd > szBuffer && pszEnd[-1] == '0')
        *--pszEnd = '\0';
    if (pszEnd > szBuffer && pszEnd[-1] == '.')
        *--pszEnd = '\0';
    if (strcmp(szBuffer, "-0") == 0)
        return "0";
    return szBuffer;
}

std::string Num(long long nValue)
{
    return std::to_string(nValue);
}

} // namespace

SvgCanvas::SvgCanvas(int nWidth, int nHeight, size_t nMaxBytes)
    : m_nWidth(nWidth), m_nHeight(nHeight), m_nMaxBytes(nMaxBytes)
{
}

int SvgCanvas::AllocateColor(int nRed, int nGreen, int nBlue)
{
    // The image formats keep the low byte of each component.
    m_anPalette.push_back(((nRed & 0xFF) << 16) | ((nGreen & 0xFF) << 8) | (nBlue & 0xFF));
    return static_cast<int>(m_anPalette.size()) - 1;
}

void SvgCanvas::SetTransparent(int nColor)
{
    m_nTransparent = nColor;
}

std::string SvgCanvas::Fill(int nColor) const
{
    char szColor[8];
    const int nRGB =
        nColor >= 0 && nColor < static_cast<int>(m_anPalette.size()) ? m_anPalette[nColor] : 0;
    snprintf(szColor, sizeof(szColor), "#%06x", nRGB);
    return szColor;
}

void SvgCanvas::CloseGroup()
{
    FlushBand();
    if (m_bGroupOpen)
        Append("</g>\n");
    m_bGroupOpen = false;
}

void SvgCanvas::Rect(long long x, long long y, long long nWidth, long long nHeight, int nColor)
{
    CloseGroup();
    // Only the part inside the swatch shows; the rest is left out.
    const long long x2 = std::min<long long>(x + nWidth, m_nWidth);
    const long long y2 = std::min<long long>(y + nHeight, m_nHeight);
    x = std::max(x, 0LL);
    y = std::max(y, 0LL);
    if (x2 <= x || y2 <= y)
        return;
    Append("<rect x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" width=\"" + Num(x2 - x) +
           "\" height=\"" + Num(y2 - y) + "\" fill=\"" + Fill(nColor) + "\"/>\n");
}

void SvgCanvas::FillAll(int nColor)
{
    Rect(0, 0, m_nWidth, m_nHeight, nColor);
}

void SvgCanvas::SetDashPattern(const char *pszPattern, int nColor)
{
    /* Ink and gap runs, in steps, starting with ink and ending with a gap
     * (either may be 0 long) as a dash array must. */
    const long long nReachable = ReachableDashSteps(m_nWidth, m_nHeight);
    const long long nLength = std::min<long long>(static_cast<long long>(strlen(pszPattern)), nReachable);
    m_nPatternLength = nLength;
    m_nPatternColor = nColor;
    m_anDashRuns.clear();
    bool bInk = true;
    long long nRun = 0;
    for (long long i = 0; i < nLength; i++)
    {
        if ((pszPattern[i] != ' ') != bInk)
        {
            m_anDashRuns.push_back(nRun);
            bInk = !bInk;
            nRun = 0;
        }
        nRun++;
    }
    m_anDashRuns.push_back(nRun);
    if (m_anDashRuns.size() % 2 == 1)
        m_anDashRuns.push_back(0);
    m_bAllInk = m_anDashRuns.size() == 2 && m_anDashRuns[1] == 0;
    m_bNoInk = m_anDashRuns[0] == 0 && m_anDashRuns.size() == 2;
    CloseGroup();
}

namespace
{

/* A slope, precise enough that the far end of the longest line lands within
 * a thousandth of a pixel of where it belongs. */
std::string Slope(double dfValue)
{
    char szBuffer[32];
    snprintf(szBuffer, sizeof(szBuffer), "%.8g", dfValue);
    return szBuffer;
}

} // namespace

void SvgCanvas::OpenStrokeGroup(int nColor, bool bDashed)
{
    if (m_bGroupOpen && m_nGroupColor == nColor && m_bGroupDashed == bDashed)
        return;
    CloseGroup();
    /* Every stroke is drawn in its own coordinates, where one unit along it
     * is one pixel step and one unit across it is one pixel of its minor
     * axis: the pattern is said once, in steps, whatever the slopes. */
    Append("<g fill=\"none\" stroke=\"" + Fill(nColor) + "\" stroke-width=\"1\"");
    if (bDashed && !m_bAllInk)
    {
        std::string osRuns;
        for (size_t i = 0; i < m_anDashRuns.size(); i++)
            osRuns += (i ? " " : "") + Num(m_anDashRuns[i]);
        Append(" stroke-dasharray=\"" + osRuns + "\"");
    }
    Append(">\n");
    m_bGroupOpen = true;
    m_nGroupColor = nColor;
    m_bGroupDashed = bDashed;
}

long long SvgCanvas::StrokeSegment(long long x1, long long y1, long long x2, long long y2,
                                   long long nPhase, int nColor, bool bDashed)
{
    if (!ClipSegmentLikeGd(x1, y1, x2, y2, m_nWidth, m_nHeight))
        return 0;

    /* GD steps along the major axis from the lower end. */
    const long long dx = std::llabs(x2 - x1);
    const long long dy = std::llabs(y2 - y1);
    const bool bMajorX = dy <= dx;
    if ((bMajorX && x1 > x2) || (!bMajorX && y1 > y2))
    {
        std::swap(x1, x2);
        std::swap(y1, y2);
    }
    const long long nSteps = std::max(dx, dy) + 1;
    if (bDashed && m_bNoInk)
        return nSteps;
    OpenStrokeGroup(nColor, bDashed);

    /* (u, v): u counts steps along the major axis from 0, v the minor axis
     * across it. The stroke runs from half a step before the first pixel's
     * centre to half a step after the last one's, at v = 0. */
    const long long u1 = bMajorX ? x1 : y1; // major coordinate of the first pixel
    const long long v1 = bMajorX ? y1 : x1;
    const long long nMinorDelta = bMajorX ? y2 - y1 : x2 - x1;
    const double dfSlope =
        nSteps > 1 ? static_cast<double>(nMinorDelta) / static_cast<double>(nSteps - 1) : 0;
    const double u0 = static_cast<double>(u1);
    const double v0 = static_cast<double>(v1) + 0.5 - dfSlope * (u0 + 0.5);
    const long long nOffset = bDashed && !m_bAllInk ? nPhase % m_nPatternLength : 0;
    if (nMinorDelta == 0)
    {
        AddToBand(bMajorX, u1, v1, nSteps, nOffset);
        return nSteps;
    }
    FlushBand();
    // Local x is (1, slope) in (major, minor); local y is the minor axis.
    std::string osPath = "<path";
    if (bMajorX && dfSlope != 0)
        osPath += " transform=\"matrix(1 " + Slope(dfSlope) + " 0 1 0 0)\"";
    else if (!bMajorX)
        osPath += " transform=\"matrix(" + Slope(dfSlope) + " 1 1 0 0 0)\"";
    osPath += " d=\"M" + Num(u0) + " " + Num(v0) + "h" + Num(nSteps) + "\"";
    if (nOffset != 0)
        osPath += " stroke-dashoffset=\"" + Num(nOffset) + "\"";
    Append(osPath + "/>\n");
    return nSteps;
}

void SvgCanvas::AddToBand(bool bMajorX, long long u, long long v, long long nSteps, long long nOffset)
{
    Band &sBand = m_sBand;
    if (sBand.nRows > 0 && sBand.bMajorX == bMajorX && sBand.u == u && sBand.nSteps == nSteps &&
        sBand.nOffset == nOffset && sBand.v + sBand.nRows == v)
    {
        sBand.nRows++;
        return;
    }
    FlushBand();
    sBand = Band{bMajorX, u, v, nSteps, nOffset, 1};
}

void SvgCanvas::FlushBand()
{
    Band &sBand = m_sBand;
    if (sBand.nRows == 0)
        return;
    /* One stroke as wide as the band: rows drawn one by one would each be
     * antialiased on their own when the image is scaled down, and their
     * overlapping edges would leave the band paler than it is. */
    std::string osPath = "<path";
    if (!sBand.bMajorX)
        osPath += " transform=\"matrix(0 1 1 0 0 0)\"";
    osPath += " d=\"M" + Num(sBand.u) + " " +
              Num(static_cast<double>(sBand.v) + static_cast<double>(sBand.nRows) / 2) + "h" +
              Num(sBand.nSteps) + "\"";
    if (sBand.nRows > 1)
        osPath += " stroke-width=\"" + Num(sBand.nRows) + "\"";
    if (sBand.nOffset != 0)
        osPath += " stroke-dashoffset=\"" + Num(sBand.nOffset) + "\"";
    sBand.nRows = 0;
    Append(osPath + "/>\n");
}

void SvgCanvas::DashedPolyline(const SwatchPoint *pasPoints, int nPoints)
{
    long long nPhase = 0;
    for (int i = 0; i + 1 < nPoints; i++)
        nPhase += StrokeSegment(pasPoints[i].x, pasPoints[i].y, pasPoints[i + 1].x,
                                pasPoints[i + 1].y, nPhase, m_nPatternColor, true);
}

void SvgCanvas::Line(SwatchPoint sFrom, SwatchPoint sTo, int nColor)
{
    if (sFrom.x == sTo.x || sFrom.y == sTo.y)
        FilledRectangle(sFrom, sTo, nColor);
    else
        StrokeSegment(sFrom.x, sFrom.y, sTo.x, sTo.y, 0, nColor, false);
}

void SvgCanvas::FilledRectangle(SwatchPoint sCorner1, SwatchPoint sCorner2, int nColor)
{
    const long long x = std::min(sCorner1.x, sCorner2.x);
    const long long y = std::min(sCorner1.y, sCorner2.y);
    Rect(x, y, std::max(sCorner1.x, sCorner2.x) - x + 1, std::max(sCorner1.y, sCorner2.y) - y + 1,
         nColor);
}

void SvgCanvas::FilledPolygon(const SwatchPoint *pasPoints, int nPoints, int nColor)
{
    CloseGroup();
    std::string osPath = "<path d=\"";
    for (int i = 0; i < nPoints; i++)
        osPath += (i ? "L" : "M") + Num(static_cast<double>(pasPoints[i].x) + 0.5) + " " +
                  Num(static_cast<double>(pasPoints[i].y) + 0.5);
    const std::string osColor = Fill(nColor);
    Append(osPath + "Z\" fill=\"" + osColor + "\" stroke=\"" + osColor +
           "\" stroke-width=\"1\" stroke-linejoin=\"round\"/>\n");
}

void SvgCanvas::Circle(SwatchPoint sCentre, int nDiameter, int nColor, bool bFilled)
{
    if (nDiameter <= 1)
    {
        // GD draws a circle this small as its centre pixel.
        SetPixel(sCentre, nColor);
        return;
    }
    CloseGroup();
    const std::string osCentre = "cx=\"" + Num(static_cast<double>(sCentre.x) + 0.5) +
                                 "\" cy=\"" + Num(static_cast<double>(sCentre.y) + 0.5) + "\"";
    const std::string osColor = Fill(nColor);
    /* GD's ring runs through pixel centres between S/2 - 1 and S/2 from the
     * centre pixel's; its filled circle holds those within S/2. */
    if (bFilled)
        Append("<circle " + osCentre + " r=\"" + Num(nDiameter / 2.0) + "\" fill=\"" + osColor +
               "\"/>\n");
    else
        Append("<circle " + osCentre + " r=\"" + Num(nDiameter / 2.0 - 0.5) +
               "\" fill=\"none\" stroke=\"" + osColor + "\" stroke-width=\"1\"/>\n");
}

void SvgCanvas::SetPixel(SwatchPoint sPoint, int nColor)
{
    if (nColor == m_nTransparent)
    {
        // See-through pixels are cut out of everything drawn.
        if (sPoint.x >= 0 && sPoint.x < m_nWidth && sPoint.y >= 0 && sPoint.y < m_nHeight)
            m_asHoles.push_back(sPoint);
        return;
    }
    Rect(sPoint.x, sPoint.y, 1, 1, nColor);
}

void SvgCanvas::Append(const std::string &osShape)
{
    // Past the limit the document is no longer built: the caller refuses it.
    if (m_osBody.size() + osShape.size() > m_nMaxBytes)
        m_bTooLarge = true;
    else
        m_osBody += osShape;
}

bool SvgCanvas::Write(std::string &osDocument)
{
    CloseGroup();
    if (m_bTooLarge)
        return false;
    const std::string osW = Num(static_cast<long long>(m_nWidth));
    const std::string osH = Num(static_cast<long long>(m_nHeight));
    osDocument = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" +
                 osW + "\" height=\"" + osH + "\" viewBox=\"0 0 " + osW + " " + osH +
                 "\" shape-rendering=\"crispEdges\">\n";
    if (!m_asHoles.empty())
    {
        osDocument += "<defs><clipPath id=\"holes\"><path clip-rule=\"evenodd\" d=\"M0 0H" + osW +
                      "V" + osH + "H0Z";
        for (const SwatchPoint &sHole : m_asHoles)
            osDocument += "M" + Num(sHole.x) + " " + Num(sHole.y) + "h1v1h-1Z";
        osDocument += "\"/></clipPath></defs>\n<g clip-path=\"url(#holes)\">\n";
    }
    // The background is index 0; it is painted unless it is the see-through
    // colour.
    if (m_nTransparent != 0 && !m_anPalette.empty())
        osDocument += "<rect width=\"" + osW + "\" height=\"" + osH + "\" fill=\"" + Fill(0) +
                      "\"/>\n";
    osDocument += m_osBody;
    if (!m_asHoles.empty())
        osDocument += "</g>\n";
    osDocument += "</svg>\n";
    return true;
}
