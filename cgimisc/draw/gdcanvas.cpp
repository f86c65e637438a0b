/*
 * The GD canvas: a swatch drawn into a GD palette image, at scale 1 with
 * exactly the GD calls the painters name, at scale 2 to 4 with s times the
 * detail.
 *
 * How a 1x shape maps to scale s: pixel (x, y) of the 1x swatch is the block
 * of s x s pixels from (x*s, y*s), its centre at x*s + (s-1)/2. A one-pixel
 * line becomes s one-pixel lines side by side across its minor axis, through
 * the block centres of its end points and stretched along its major axis to
 * the outer edges of the end blocks; so horizontal and vertical lines are
 * exactly the enlarged 1x line, and a slanted one still steps one pixel at a
 * time. A dash pattern entry covers s steps. Filled shapes are drawn through
 * the block centres and grown by (s-1)/2 pixels on every side, the half
 * pixel GD adds around a 1x shape, scaled.
 */
#include <algorithm>
#include <cmath>
#include <cstring>
#include <pthread.h>

#include <cpl_conv.h>
#include <cpl_error.h>

#include "canvas.h"
#include "gdclip.h"

namespace
{

int RoundToPixel(double dfValue)
{
    return static_cast<int>(std::floor(dfValue + 0.5));
}

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

/* Polylines of the painters have at most four points (a zig-zag copy);
 * room for twice that. */
constexpr int kMaxPolylinePoints = 8;

struct ScaledPoint
{
    double x;
    double y;
};

} // namespace

GdCanvas::GdCanvas(gdImagePtr hImage, int nScale) : m_hImage(hImage), m_nScale(nScale)
{
}

std::unique_ptr<GdCanvas> GdCanvas::Create(int nWidth, int nHeight, int nScale,
                                           SwatchFormat eFormat)
{
    const gdImagePtr hImage = gdImageCreate(nWidth * nScale, nHeight * nScale);
    if (hImage == nullptr)
    {
        CPLError(CE_Failure, CPLE_OutOfMemory, "Cannot create an image of %d x %d pixels.",
                 nWidth * nScale, nHeight * nScale);
        return nullptr;
    }
    std::unique_ptr<GdCanvas> poCanvas(new GdCanvas(hImage, nScale));
    poCanvas->m_bOwnsImage = true;
    poCanvas->m_eFormat = eFormat;
    return poCanvas;
}

GdCanvas::~GdCanvas()
{
    CPLFree(m_panStyle);
    if (m_bOwnsImage)
        gdImageDestroy(m_hImage);
}

bool GdCanvas::Write(std::string &osImage)
{
    int nSize = 0;
    void *pData = m_eFormat == SwatchFormat::Png ? gdImagePngPtr(m_hImage, &nSize)
                                                 : gdImageGifPtr(m_hImage, &nSize);
    if (pData == nullptr)
    {
        CPLError(CE_Failure, CPLE_OutOfMemory, "Cannot encode the image.");
        return false;
    }
    // GD's buffer is let go of on every way out, a failed copy included.
    const std::unique_ptr<void, void (*)(void *)> poData(pData, gdFree);
    osImage.assign(static_cast<const char *>(pData), static_cast<size_t>(nSize));
    return true;
}

int GdCanvas::AllocateColor(int nRed, int nGreen, int nBlue)
{
    return gdImageColorAllocate(m_hImage, nRed, nGreen, nBlue);
}

void GdCanvas::SetTransparent(int nColor)
{
    gdImageColorTransparent(m_hImage, nColor);
}

void GdCanvas::FillAll(int nColor)
{
    /* The rows are set whole through GD's pixel rows (what
     * gdImagePalettePixel reads and writes): pixel by pixel, the fill would
     * cost as much again as encoding the GIF. */
    for (int y = 0; y < gdImageSY(m_hImage); y++)
        memset(m_hImage->pixels[y], nColor, static_cast<size_t>(gdImageSX(m_hImage)));
}

void GdCanvas::SetDashPattern(const char *pszPattern, int nColor)
{
    /* Entries no line reaches are left out. */
    const long long nReachable = ReachableDashSteps(gdImageSX(m_hImage), gdImageSY(m_hImage));
    const long long nLength = std::min<long long>(
        static_cast<long long>(strlen(pszPattern)) * m_nScale, nReachable);
    CPLFree(m_panStyle);
    m_panStyle = nullptr;
    m_nStyleLength = 0;
    m_panStyle = static_cast<int *>(CPLMalloc(sizeof(int) * static_cast<size_t>(nLength)));
    m_nStyleLength = static_cast<int>(nLength);
    m_nSolidColor = nColor;
    for (int i = 0; i < m_nStyleLength; i++)
    {
        m_panStyle[i] = pszPattern[i / m_nScale] == ' ' ? gdTransparent : nColor;
        if (m_panStyle[i] != nColor)
            m_nSolidColor = gdStyled;
    }
}

template <class DrawSegment>
void GdCanvas::ForEachScaledPolyline(const SwatchPoint *pasPoints, int nPoints,
                                     DrawSegment fnDraw)
{
    const int s = m_nScale;
    if (s == 1 || nPoints < 2)
    {
        for (int i = 0; i + 1 < nPoints; i++)
            fnDraw(i, static_cast<int>(pasPoints[i].x), static_cast<int>(pasPoints[i].y),
                   static_cast<int>(pasPoints[i + 1].x), static_cast<int>(pasPoints[i + 1].y));
        return;
    }
    nPoints = std::min(nPoints, kMaxPolylinePoints);

    const double c = (s - 1) / 2.0;
    ScaledPoint asCentre[kMaxPolylinePoints];
    for (int i = 0; i < nPoints; i++)
        asCentre[i] = {static_cast<double>(pasPoints[i].x) * s + c,
                       static_cast<double>(pasPoints[i].y) * s + c};

    /* The two ends reach the outer edges of their blocks along the major
     * axis of their segment. */
    const auto extend = [c](ScaledPoint &sEnd, const SwatchPoint &sFrom, const SwatchPoint &sTo,
                            double dfSide) {
        const double dx = static_cast<double>(sTo.x - sFrom.x);
        const double dy = static_cast<double>(sTo.y - sFrom.y);
        const double dfMajor = std::max(std::fabs(dx), std::fabs(dy));
        if (dfMajor == 0)
            sEnd.x += dfSide * c; // a single pixel: stretched across its block
        else
        {
            sEnd.x += dx * c / dfMajor;
            sEnd.y += dy * c / dfMajor;
        }
    };
    extend(asCentre[0], pasPoints[1], pasPoints[0], -1);
    extend(asCentre[nPoints - 1], pasPoints[nPoints - 2], pasPoints[nPoints - 1], 1);

    const bool bMajorX = std::llabs(pasPoints[1].x - pasPoints[0].x) >=
                         std::llabs(pasPoints[1].y - pasPoints[0].y);
    for (int t = 0; t < s; t++)
    {
        const double dfShift = t - c;
        for (int i = 0; i + 1 < nPoints; i++)
        {
            const ScaledPoint &a = asCentre[i];
            const ScaledPoint &b = asCentre[i + 1];
            if (bMajorX)
                fnDraw(i, RoundToPixel(a.x), RoundToPixel(a.y + dfShift), RoundToPixel(b.x),
                       RoundToPixel(b.y + dfShift));
            else
                fnDraw(i, RoundToPixel(a.x + dfShift), RoundToPixel(a.y),
                       RoundToPixel(b.x + dfShift), RoundToPixel(b.y));
        }
    }
}

namespace
{

/* The major axis of a segment as GD steps along it: x unless it is the
 * steeper. */
bool StepsAlongX(long long x1, long long y1, long long x2, long long y2)
{
    return std::llabs(y2 - y1) <= std::llabs(x2 - x1);
}

} // namespace

int GdCanvas::ScaledDashPosition(long long nEntryAtZero, int x1, int y1, int x2, int y2) const
{
    /* The scaled pixel at major coordinate U takes the entry of its 1x
     * step, scaled: s * nEntryAtZero + U. GD starts the pattern at the
     * first pixel of the segment it draws, once clipped. */
    long long cx1 = x1, cy1 = y1, cx2 = x2, cy2 = y2;
    if (!ClipSegmentLikeGd(cx1, cy1, cx2, cy2, gdImageSX(m_hImage), gdImageSY(m_hImage)))
        return 0;
    const long long nFirst =
        StepsAlongX(cx1, cy1, cx2, cy2) ? std::min(cx1, cx2) : std::min(cy1, cy2);
    const long long nLength = m_nStyleLength;
    return static_cast<int>(
        (((m_nScale * nEntryAtZero + nFirst) % nLength) + nLength) % nLength);
}

void GdCanvas::DashedPolyline(const SwatchPoint *pasPoints, int nPoints)
{
    /* A pattern of ink only draws the same pixels in the plain colour, at
     * half the cost of looking each pixel up in the pattern. */
    if (m_nScale == 1 || m_nSolidColor != gdStyled)
    {
        ForEachScaledPolyline(pasPoints, nPoints,
                              [this](int nSegment, int x1, int y1, int x2, int y2) {
                                  if (nSegment == 0 && m_nSolidColor == gdStyled)
                                      gdImageSetStyle(m_hImage, m_panStyle, m_nStyleLength);
                                  gdImageLine(m_hImage, x1, y1, x2, y2, m_nSolidColor);
                              });
        return;
    }

    /* Scaled, each of the s lines of a 1x line is clipped on its own, which
     * would start each at its own place in the pattern: every segment of
     * every line starts where the 1x line's pattern stands there, so that
     * the dashes of the s lines stay side by side.
     *
     * At 1x, GD clips a segment, steps from its lower end along its major
     * axis, and the pattern runs on from the steps of the segments before:
     * the pixel at major coordinate u takes entry anEntryAtZero[i] + u. */
    long long anEntryAtZero[kMaxPolylinePoints] = {0};
    nPoints = std::min(nPoints, kMaxPolylinePoints);
    long long nPhase = 0;
    for (int i = 0; i + 1 < nPoints; i++)
    {
        long long ax = pasPoints[i].x, ay = pasPoints[i].y;
        long long bx = pasPoints[i + 1].x, by = pasPoints[i + 1].y;
        if (!ClipSegmentLikeGd(ax, ay, bx, by, gdImageSX(m_hImage) / m_nScale,
                               gdImageSY(m_hImage) / m_nScale))
        {
            anEntryAtZero[i] = nPhase;
            continue;
        }
        anEntryAtZero[i] =
            nPhase - (StepsAlongX(ax, ay, bx, by) ? std::min(ax, bx) : std::min(ay, by));
        nPhase += std::max(std::llabs(bx - ax), std::llabs(by - ay)) + 1;
    }
    gdImageSetStyle(m_hImage, m_panStyle, m_nStyleLength);
    ForEachScaledPolyline(pasPoints, nPoints,
                          [&](int nSegment, int x1, int y1, int x2, int y2) {
                              m_hImage->stylePos =
                                  ScaledDashPosition(anEntryAtZero[nSegment], x1, y1, x2, y2);
                              gdImageLine(m_hImage, x1, y1, x2, y2, gdStyled);
                          });
}

void GdCanvas::Line(SwatchPoint sFrom, SwatchPoint sTo, int nColor)
{
    const SwatchPoint asLine[2] = {sFrom, sTo};
    ForEachScaledPolyline(asLine, 2, [this, nColor](int, int x1, int y1, int x2, int y2) {
        gdImageLine(m_hImage, x1, y1, x2, y2, nColor);
    });
}

void GdCanvas::FilledRectangle(SwatchPoint sCorner1, SwatchPoint sCorner2, int nColor)
{
    const long long s = m_nScale;
    if (s == 1)
    {
        gdImageFilledRectangle(m_hImage, static_cast<int>(sCorner1.x),
                               static_cast<int>(sCorner1.y), static_cast<int>(sCorner2.x),
                               static_cast<int>(sCorner2.y), nColor);
        return;
    }
    gdImageFilledRectangle(m_hImage, static_cast<int>(std::min(sCorner1.x, sCorner2.x) * s),
                           static_cast<int>(std::min(sCorner1.y, sCorner2.y) * s),
                           static_cast<int>(std::max(sCorner1.x, sCorner2.x) * s + s - 1),
                           static_cast<int>(std::max(sCorner1.y, sCorner2.y) * s + s - 1),
                           nColor);
}

namespace
{

/* The symbols' polygons have at most this many points: the star's ten. */
constexpr int kMaxPolygonPoints = 10;

/* Twice the signed area of a polygon: 0 for one without area. */
double DoubleArea(const SwatchPoint *pasPoints, int nPoints)
{
    double dfArea = 0;
    for (int i = 0; i < nPoints; i++)
    {
        const SwatchPoint &a = pasPoints[i];
        const SwatchPoint &b = pasPoints[(i + 1) % nPoints];
        dfArea += static_cast<double>(a.x) * b.y - static_cast<double>(b.x) * a.y;
    }
    return dfArea;
}

/* The outward unit normal of edge i -> j; false for an edge of no length. */
bool EdgeNormal(const SwatchPoint *pasPoints, int i, int j, double dfOutward, double &nx,
                double &ny)
{
    const double ex = static_cast<double>(pasPoints[j].x - pasPoints[i].x);
    const double ey = static_cast<double>(pasPoints[j].y - pasPoints[i].y);
    const double dfLength = std::hypot(ex, ey);
    nx = dfLength > 0 ? dfOutward * ey / dfLength : 0;
    ny = dfLength > 0 ? -dfOutward * ex / dfLength : 0;
    return dfLength > 0;
}

/* How far vertex i moves so that both its edges (the nearest ones before
 * and after it that have a length) move out by c: along the bisector of
 * their normals, a miter bounded at 2c for the star's sharp points. */
ScaledPoint MiterOffset(const SwatchPoint *pasPoints, int nPoints, int i, double dfOutward,
                        double c)
{
    double n1x = 0, n1y = 0, n2x = 0, n2y = 0;
    for (int k = 1; k < nPoints; k++)
    {
        const int j = (i - k + nPoints) % nPoints;
        if (EdgeNormal(pasPoints, j, (j + 1) % nPoints, dfOutward, n1x, n1y))
            break;
    }
    for (int k = 0; k + 1 < nPoints; k++)
    {
        const int j = (i + k) % nPoints;
        if (EdgeNormal(pasPoints, j, (j + 1) % nPoints, dfOutward, n2x, n2y))
            break;
    }
    ScaledPoint sMove = {n1x + n2x, n1y + n2y};
    const double dfDenominator = 1 + n1x * n2x + n1y * n2y;
    if (dfDenominator > 1e-9)
        sMove = {sMove.x * c / dfDenominator, sMove.y * c / dfDenominator};
    else
        sMove = {n1x * c, n1y * c};
    const double dfMiter = std::hypot(sMove.x, sMove.y);
    if (dfMiter > 2 * c)
        sMove = {sMove.x * 2 * c / dfMiter, sMove.y * 2 * c / dfMiter};
    return sMove;
}

} // namespace

void GdCanvas::FilledPolygon(const SwatchPoint *pasPoints, int nPoints, int nColor)
{
    const int s = m_nScale;
    gdPoint asPolygon[kMaxPolygonPoints];
    nPoints = std::min(nPoints, kMaxPolygonPoints);
    if (s == 1)
    {
        for (int i = 0; i < nPoints; i++)
            asPolygon[i] = {static_cast<int>(pasPoints[i].x), static_cast<int>(pasPoints[i].y)};
        gdImageFilledPolygon(m_hImage, asPolygon, nPoints, nColor);
        return;
    }

    const double dfArea = DoubleArea(pasPoints, nPoints);
    if (dfArea == 0)
    {
        /* No area (a symbol of size 0): the blocks of what GD draws at 1x,
         * the pixels spanned. */
        SwatchPoint sMin = pasPoints[0], sMax = pasPoints[0];
        for (int i = 1; i < nPoints; i++)
        {
            sMin = {std::min(sMin.x, pasPoints[i].x), std::min(sMin.y, pasPoints[i].y)};
            sMax = {std::max(sMax.x, pasPoints[i].x), std::max(sMax.y, pasPoints[i].y)};
        }
        FilledRectangle(sMin, sMax, nColor);
        return;
    }

    /* Through the block centres, each vertex moved out so that every edge
     * moves out by c. */
    const double c = (s - 1) / 2.0;
    for (int i = 0; i < nPoints; i++)
    {
        const ScaledPoint sMove = MiterOffset(pasPoints, nPoints, i, dfArea > 0 ? 1 : -1, c);
        asPolygon[i] = {RoundToPixel(static_cast<double>(pasPoints[i].x) * s + c + sMove.x),
                        RoundToPixel(static_cast<double>(pasPoints[i].y) * s + c + sMove.y)};
    }
    gdImageFilledPolygon(m_hImage, asPolygon, nPoints, nColor);
}

void GdCanvas::Circle(SwatchPoint sCentre, int nDiameter, int nColor, bool bFilled)
{
    const int s = m_nScale;
    const int cx = static_cast<int>(sCentre.x);
    const int cy = static_cast<int>(sCentre.y);
    if (s == 1)
    {
        gdImageArc(m_hImage, cx, cy, nDiameter, nDiameter, 0, 360, nColor);
        if (bFilled)
        {
            /* The fill stays within the circle's rows, or the image's. */
            const long long nRows = std::min<long long>(static_cast<long long>(nDiameter) + 1,
                                                        gdImageSY(m_hImage));
            FillToBorder(m_hImage, cx, cy, nColor, nRows);
        }
        return;
    }
    ScaledCircle(cx, cy, nDiameter, nColor, bFilled);
}

void GdCanvas::ScaledCircle(int cx, int cy, int nDiameter, int nColor, bool bFilled)
{
    const int s = m_nScale;
    /* At 1x GD draws the ring through pixels whose centres lie between
     * S/2 - 1 and S/2 from the centre pixel's, and the filled circle all
     * pixels within S/2. At scale s the same rings, s times larger, are
     * drawn around the centre of the centre pixel's block. */
    const double dfCentreX = (static_cast<double>(cx) + 0.5) * s;
    const double dfCentreY = (static_cast<double>(cy) + 0.5) * s;
    const double dfOuter = nDiameter / 2.0 * s;
    const double dfInner = bFilled ? 0 : (nDiameter / 2.0 - 1) * s;
    const int nFirstRow = std::max(0, static_cast<int>(std::floor(dfCentreY - dfOuter)));
    const int nLastRow =
        std::min(gdImageSY(m_hImage) - 1, static_cast<int>(std::ceil(dfCentreY + dfOuter)));
    /* Pixel x lies within half-width w of the centre when its centre does. */
    const auto firstIn = [](double dfCentre, double w) {
        return static_cast<int>(std::ceil(dfCentre - w - 0.5));
    };
    const auto lastIn = [](double dfCentre, double w) {
        return static_cast<int>(std::floor(dfCentre + w - 0.5));
    };
    for (int y = nFirstRow; y <= nLastRow; y++)
    {
        const double dy = y + 0.5 - dfCentreY;
        if (std::fabs(dy) > dfOuter)
            continue;
        const double dfOuterHalf = std::sqrt(dfOuter * dfOuter - dy * dy);
        const int x1 = firstIn(dfCentreX, dfOuterHalf);
        const int x2 = lastIn(dfCentreX, dfOuterHalf);
        if (dfInner > 0 && std::fabs(dy) < dfInner)
        {
            const double dfInnerHalf = std::sqrt(dfInner * dfInner - dy * dy);
            gdImageLine(m_hImage, x1, y, firstIn(dfCentreX, dfInnerHalf) - 1, y, nColor);
            gdImageLine(m_hImage, lastIn(dfCentreX, dfInnerHalf) + 1, y, x2, y, nColor);
        }
        else if (x1 <= x2)
            gdImageLine(m_hImage, x1, y, x2, y, nColor);
    }
}

void GdCanvas::SetPixel(SwatchPoint sPoint, int nColor)
{
    if (m_nScale == 1)
        gdImageSetPixel(m_hImage, static_cast<int>(sPoint.x), static_cast<int>(sPoint.y), nColor);
    else
        FilledRectangle(sPoint, sPoint, nColor);
}
