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

/* Moves the end points of a line onto the window mindim..maxdim of its first
 * coordinate, the way GD does before it steps along a line; false when the
 * line misses the window. Called for x, then with the coordinates swapped
 * for y. */
bool ClipLikeGd(long long &x0, long long &y0, long long &x1, long long &y1, long long nMin,
                long long nMax)
{
    const auto slope = [&]() { return static_cast<double>(y1 - y0) / static_cast<double>(x1 - x0); };
    if (x0 < nMin)
    {
        if (x1 < nMin)
            return false;
        const double m = slope();
        y0 -= static_cast<long long>(m * static_cast<double>(x0 - nMin));
        x0 = nMin;
        if (x1 > nMax)
        {
            y1 += static_cast<long long>(m * static_cast<double>(nMax - x1));
            x1 = nMax;
        }
        return true;
    }
    if (x0 > nMax)
    {
        if (x1 > nMax)
            return false;
        const double m = slope();
        y0 += static_cast<long long>(m * static_cast<double>(nMax - x0));
        x0 = nMax;
        if (x1 < nMin)
        {
            y1 -= static_cast<long long>(m * static_cast<double>(x1 - nMin));
            x1 = nMin;
        }
        return true;
    }
    if (x1 > nMax)
    {
        const double m = slope();
        y1 += static_cast<long long>(m * static_cast<double>(nMax - x1));
        x1 = nMax;
    }
    else if (x1 < nMin)
    {
        const double m = slope();
        y1 -= static_cast<long long>(m * static_cast<double>(x1 - nMin));
        x1 = nMin;
    }
    return true;
}

} // namespace

bool ClipSegmentLikeGd(long long &x1, long long &y1, long long &x2, long long &y2, long long nWidth,
                       long long nHeight)
{
    return ClipLikeGd(x1, y1, x2, y2, 0, nWidth - 1) && ClipLikeGd(y1, x1, y2, x2, 0, nHeight - 1);
}

SvgCanvas::SvgCanvas(int nWidth, int nHeight) : m_nWidth(nWidth), m_nHeight(nHeight)
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
    if (m_bGroupOpen)
        m_osBody += "</g>\n";
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
    m_osBody += "<rect x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" width=\"" + Num(x2 - x) +
                "\" height=\"" + Num(y2 - y) + "\" fill=\"" + Fill(nColor) + "\"/>\n";
}

void SvgCanvas::FillAll(int nColor)
{
    Rect(0, 0, m_nWidth, m_nHeight, nColor);
}

void SvgCanvas::SetDashPattern(const char *pszPattern, int nColor)
{
    /* Ink and gap runs, in steps, starting with ink and ending with a gap
     * (either may be 0 long) as a dash array must. */
    const long long nReachable = 3LL * (m_nWidth + m_nHeight) + 3;
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

    /* One step along the line, and the stroke width that makes the line one
     * pixel thick across its minor axis. */
    double ux = 1, uy = 0;
    if (bMajorX && dx > 0)
        uy = static_cast<double>(y2 - y1) / static_cast<double>(dx);
    else if (!bMajorX)
    {
        ux = static_cast<double>(x2 - x1) / static_cast<double>(dy);
        uy = 1;
    }
    const double dfStep = std::hypot(ux, uy);

    if (!m_bGroupOpen || m_dfGroupStep != dfStep || m_nGroupColor != nColor ||
        m_bGroupDashed != bDashed)
    {
        CloseGroup();
        m_osBody += "<g fill=\"none\" stroke=\"" + Fill(nColor) + "\" stroke-width=\"" +
                    Num(1 / dfStep) + "\"";
        if (bDashed && !m_bAllInk)
        {
            m_osBody += " stroke-dasharray=\"";
            for (size_t i = 0; i < m_anDashRuns.size(); i++)
                m_osBody += (i ? " " : "") + Num(static_cast<double>(m_anDashRuns[i]) * dfStep);
            m_osBody += "\"";
        }
        m_osBody += ">\n";
        m_bGroupOpen = true;
        m_dfGroupStep = dfStep;
        m_nGroupColor = nColor;
        m_bGroupDashed = bDashed;
    }
    const double sx = static_cast<double>(x1) + 0.5 - ux / 2;
    const double sy = static_cast<double>(y1) + 0.5 - uy / 2;
    const double ex = static_cast<double>(x2) + 0.5 + ux / 2;
    const double ey = static_cast<double>(y2) + 0.5 + uy / 2;
    m_osBody += "<path d=\"M" + Num(sx) + " " + Num(sy) + "L" + Num(ex) + " " + Num(ey) + "\"";
    if (bDashed && !m_bAllInk && nPhase % m_nPatternLength != 0)
        m_osBody += " stroke-dashoffset=\"" +
                    Num(static_cast<double>(nPhase % m_nPatternLength) * dfStep) + "\"";
    m_osBody += "/>\n";
    return nSteps;
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
    m_osBody += "<path d=\"";
    for (int i = 0; i < nPoints; i++)
        m_osBody += (i ? "L" : "M") + Num(static_cast<double>(pasPoints[i].x) + 0.5) + " " +
                    Num(static_cast<double>(pasPoints[i].y) + 0.5);
    const std::string osColor = Fill(nColor);
    m_osBody += "Z\" fill=\"" + osColor + "\" stroke=\"" + osColor +
                "\" stroke-width=\"1\" stroke-linejoin=\"round\"/>\n";
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
        m_osBody += "<circle " + osCentre + " r=\"" + Num(nDiameter / 2.0) + "\" fill=\"" +
                    osColor + "\"/>\n";
    else
        m_osBody += "<circle " + osCentre + " r=\"" + Num(nDiameter / 2.0 - 0.5) +
                    "\" fill=\"none\" stroke=\"" + osColor + "\" stroke-width=\"1\"/>\n";
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

void SvgCanvas::Write(FILE *fpOut)
{
    CloseGroup();
    const std::string osW = Num(static_cast<long long>(m_nWidth));
    const std::string osH = Num(static_cast<long long>(m_nHeight));
    fprintf(fpOut,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"%s\" "
            "height=\"%s\" viewBox=\"0 0 %s %s\" shape-rendering=\"crispEdges\">\n",
            osW.c_str(), osH.c_str(), osW.c_str(), osH.c_str());
    if (!m_asHoles.empty())
    {
        std::string osClip = "M0 0H" + osW + "V" + osH + "H0Z";
        for (const SwatchPoint &sHole : m_asHoles)
            osClip += "M" + Num(sHole.x) + " " + Num(sHole.y) + "h1v1h-1Z";
        fprintf(fpOut,
                "<defs><clipPath id=\"holes\"><path clip-rule=\"evenodd\" d=\"%s\"/></clipPath>"
                "</defs>\n<g clip-path=\"url(#holes)\">\n",
                osClip.c_str());
    }
    // The background is index 0; it is painted unless it is the see-through
    // colour.
    if (m_nTransparent != 0 && !m_anPalette.empty())
        fprintf(fpOut, "<rect width=\"%s\" height=\"%s\" fill=\"%s\"/>\n", osW.c_str(),
                osH.c_str(), Fill(0).c_str());
    fwrite(m_osBody.data(), 1, m_osBody.size(), fpOut);
    if (!m_asHoles.empty())
        fprintf(fpOut, "</g>\n");
    fprintf(fpOut, "</svg>\n");
}
