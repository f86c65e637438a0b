/*
 * VXM Swatchery: what the painters draw on.
 *
 * The painters describe a swatch in the pixel coordinates of the 1x swatch
 * (origin at the top-left pixel, x to the right, y downward) and in palette
 * indexes. A canvas turns that into an image:
 *
 *   GdCanvas    a GD palette image at scale 1 to 4. At scale 1 every call is
 *               exactly the GD call the painter names; at scale s everything
 *               axis-aligned is the 1x drawing with each pixel an s x s block,
 *               and slanted lines and symbols are drawn at the finer
 *               resolution with the same geometry and weight.
 *   SvgCanvas   the same geometry as vector shapes.
 *
 * Shapes may run off the image; a canvas clips them.
 */
#ifndef VXM_CANVAS_H_INCLUDED
#define VXM_CANVAS_H_INCLUDED

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <gd.h>

struct SwatchPoint
{
    long long x;
    long long y;
};

/* The dash pattern entries a line of a W x H swatch can reach: between two
 * restarts of the pattern a line takes at most three segments of at most
 * max(W, H) pixel steps each, so entries past this are never drawn. */
inline long long ReachableDashSteps(long long nWidth, long long nHeight)
{
    return 3 * (nWidth + nHeight) + 3;
}

/* The image formats a canvas writes. */
enum class SwatchFormat
{
    Gif,
    Png,
    Svg
};

class SwatchCanvas
{
  public:
    virtual ~SwatchCanvas() = default;

    /* The image as its format's bytes. False when it cannot be: memory ran
     * out (reported through CPLError), or an SVG passed its limit (not
     * reported: the caller says what it refuses). */
    virtual bool Write(std::string &osImage) = 0;

    /* Palette indexes are handed out in allocation order from 0, one a call,
     * equal colours included. */
    virtual int AllocateColor(int nRed, int nGreen, int nBlue) = 0;
    /* At most one index is transparent; a later call replaces the earlier. */
    virtual void SetTransparent(int nColor) = 0;

    /* Every pixel takes the colour. */
    virtual void FillAll(int nColor) = 0;

    /* Installs a dash pattern for DashedPolyline: one character a pixel step
     * along a line's major axis, a space a gap and anything else ink in
     * nColor. The text is borrowed until the next call. */
    virtual void SetDashPattern(const char *pszPattern, int nColor) = 0;
    /* One-pixel lines through the points; the pattern starts at its first
     * entry and runs on from one segment into the next. */
    virtual void DashedPolyline(const SwatchPoint *pasPoints, int nPoints) = 0;

    /* A solid one-pixel line, both end points included. */
    virtual void Line(SwatchPoint sFrom, SwatchPoint sTo, int nColor) = 0;
    /* Every pixel with x1 <= x <= x2 and y1 <= y <= y2. */
    virtual void FilledRectangle(SwatchPoint sCorner1, SwatchPoint sCorner2, int nColor) = 0;
    virtual void FilledPolygon(const SwatchPoint *pasPoints, int nPoints, int nColor) = 0;
    /* A circle of diameter nDiameter around the pixel sCentre: a one-pixel
     * outline, or the outline and everything inside it. */
    virtual void Circle(SwatchPoint sCentre, int nDiameter, int nColor, bool bFilled) = 0;
    virtual void SetPixel(SwatchPoint sPoint, int nColor) = 0;
};

/* A canvas for a swatch of nWidth x nHeight pixels in the format: a GD
 * image at nScale for GIF and PNG, an SVG document of at most nMaxSvgBytes
 * in swatch pixels. Null, with the error reported through CPLError, when no
 * memory can be had for the image. */
std::unique_ptr<SwatchCanvas> MakeSwatchCanvas(SwatchFormat eFormat, int nWidth, int nHeight,
                                               int nScale, size_t nMaxSvgBytes);

/* Draws into a GD palette image of (width * scale) x (height * scale)
 * pixels: the caller's, or one of its own that it writes as GIF or PNG. */
class GdCanvas final : public SwatchCanvas
{
  public:
    /* Draws into the caller's image, which the caller releases. */
    GdCanvas(gdImagePtr hImage, int nScale);
    /* An image of its own, released with the canvas; null, with the error
     * reported, when it cannot be had. */
    static std::unique_ptr<GdCanvas> Create(int nWidth, int nHeight, int nScale,
                                            SwatchFormat eFormat);
    ~GdCanvas() override;
    GdCanvas(const GdCanvas &) = delete;
    GdCanvas &operator=(const GdCanvas &) = delete;

    bool Write(std::string &osImage) override;

    int AllocateColor(int nRed, int nGreen, int nBlue) override;
    void SetTransparent(int nColor) override;
    void FillAll(int nColor) override;
    void SetDashPattern(const char *pszPattern, int nColor) override;
    void DashedPolyline(const SwatchPoint *pasPoints, int nPoints) override;
    void Line(SwatchPoint sFrom, SwatchPoint sTo, int nColor) override;
    void FilledRectangle(SwatchPoint sCorner1, SwatchPoint sCorner2, int nColor) override;
    void FilledPolygon(const SwatchPoint *pasPoints, int nPoints, int nColor) override;
    void Circle(SwatchPoint sCentre, int nDiameter, int nColor, bool bFilled) override;
    void SetPixel(SwatchPoint sPoint, int nColor) override;

  private:
    /* The s one-pixel lines that stand for one line of the 1x swatch. */
    template <class DrawSegment>
    void ForEachScaledPolyline(const SwatchPoint *pasPoints, int nPoints, DrawSegment fnDraw);
    /* Where the dash pattern stands at the first pixel GD draws of a
     * scaled segment, so that it is the 1x line's pattern scaled: the 1x
     * pixel at major coordinate u takes entry nEntryAtZero + u. */
    int ScaledDashPosition(long long nEntryAtZero, int x1, int y1, int x2, int y2) const;
    /* A circle around pixel (cx, cy) of the 1x swatch, at scale 2 to 4. */
    void ScaledCircle(int cx, int cy, int nDiameter, int nColor, bool bFilled);

    gdImagePtr m_hImage;
    int m_nScale;
    bool m_bOwnsImage = false;
    SwatchFormat m_eFormat = SwatchFormat::Gif;
    int *m_panStyle = nullptr; // the dash pattern, one entry a pixel step
    int m_nStyleLength = 0;
    int m_nSolidColor = gdStyled; // the colour of a pattern of ink only
};

/* Collects the swatch as SVG shapes, up to nMaxBytes of them, and makes
 * the document. */
class SvgCanvas final : public SwatchCanvas
{
  public:
    SvgCanvas(int nWidth, int nHeight, size_t nMaxBytes);

    int AllocateColor(int nRed, int nGreen, int nBlue) override;
    void SetTransparent(int nColor) override;
    void FillAll(int nColor) override;
    void SetDashPattern(const char *pszPattern, int nColor) override;
    void DashedPolyline(const SwatchPoint *pasPoints, int nPoints) override;
    void Line(SwatchPoint sFrom, SwatchPoint sTo, int nColor) override;
    void FilledRectangle(SwatchPoint sCorner1, SwatchPoint sCorner2, int nColor) override;
    void FilledPolygon(const SwatchPoint *pasPoints, int nPoints, int nColor) override;
    void Circle(SwatchPoint sCentre, int nDiameter, int nColor, bool bFilled) override;
    void SetPixel(SwatchPoint sPoint, int nColor) override;

    /* The whole document: the background unless it is see-through, the
     * shapes in drawing order, and pixels set in the see-through colour cut
     * out of everything. False when the shapes passed nMaxBytes. */
    bool Write(std::string &osDocument) override;

  private:
    std::string Fill(int nColor) const;
    void Append(const std::string &osShape);
    void CloseGroup();
    /* Strokes of one colour and dash pattern share a group that states the
     * pattern. */
    void OpenStrokeGroup(int nColor, bool bDashed);
    void Rect(long long x, long long y, long long nWidth, long long nHeight, int nColor);
    /* A one-pixel stroke from pixel (x1, y1) to (x2, y2), clipped and stepped
     * the way GD steps along it, dashed from pattern step nPhase on. Returns
     * the number of pixel steps it takes. */
    long long StrokeSegment(long long x1, long long y1, long long x2, long long y2,
                            long long nPhase, int nColor, bool bDashed);
    /* Straight strokes of one length and pattern on adjacent rows (or
     * columns) are held back and written as one wide stroke. */
    void AddToBand(bool bMajorX, long long u, long long v, long long nSteps, long long nOffset);
    void FlushBand();

    int m_nWidth;
    int m_nHeight;
    size_t m_nMaxBytes;
    bool m_bTooLarge = false;
    std::vector<int> m_anPalette; // 0xRRGGBB
    int m_nTransparent = -1;
    std::vector<SwatchPoint> m_asHoles; // pixels set in the see-through colour
    std::string m_osBody;

    /* The dash pattern as ink and gap runs, in steps. */
    std::vector<long long> m_anDashRuns;
    long long m_nPatternLength = 1;
    int m_nPatternColor = 0;
    bool m_bAllInk = true;
    bool m_bNoInk = false;

    struct Band
    {
        bool bMajorX;
        long long u; // the first pixel's major coordinate
        long long v; // the first row's minor coordinate
        long long nSteps;
        long long nOffset; // where the dash pattern stands at u
        long long nRows;   // 0: no band held back
    };
    Band m_sBand{true, 0, 0, 0, 0, 0};

    bool m_bGroupOpen = false;
    int m_nGroupColor = -1;
    bool m_bGroupDashed = false;
};

#endif /* VXM_CANVAS_H_INCLUDED */
