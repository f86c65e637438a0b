/* The painters, drawing into GD images whose pixels are read back. Index 0
 * is the background and index 1 the drawing colour throughout. */
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "painters.h"
#include "test_util.h"

using namespace swatchtest;

namespace
{

constexpr int kBg = 0;
constexpr int kFg = 1;

/* A blank swatch image with background, drawing colour and two more. */
class Canvas
{
  public:
    Canvas(int nWidth, int nHeight) : m_hImage(gdImageCreate(nWidth, nHeight))
    {
        gdImageColorAllocate(m_hImage, 255, 255, 255);
        gdImageColorAllocate(m_hImage, 0, 0, 0);
        gdImageColorAllocate(m_hImage, 255, 0, 0);
        gdImageColorAllocate(m_hImage, 0, 0, 255);
    }
    ~Canvas()
    {
        gdImageDestroy(m_hImage);
    }
    Canvas(const Canvas &) = delete;
    Canvas &operator=(const Canvas &) = delete;

    gdImagePtr &Image()
    {
        return m_hImage;
    }
    int W() const
    {
        return gdImageSX(m_hImage);
    }
    int H() const
    {
        return gdImageSY(m_hImage);
    }
    int At(int x, int y) const
    {
        return gdImageGetPixel(m_hImage, x, y);
    }
    /* The pixels in the drawing colour. */
    std::set<std::pair<int, int>> Ink() const
    {
        std::set<std::pair<int, int>> oInk;
        for (int y = 0; y < H(); y++)
            for (int x = 0; x < W(); x++)
                if (At(x, y) == kFg)
                    oInk.insert({x, y});
        return oInk;
    }

  private:
    gdImagePtr m_hImage;
};

/* The pixels of the image for which the predicate holds. */
std::set<std::pair<int, int>> Where(int nWidth, int nHeight,
                                    const std::function<bool(int, int)> &fnTest)
{
    std::set<std::pair<int, int>> oSet;
    for (int y = 0; y < nHeight; y++)
        for (int x = 0; x < nWidth; x++)
            if (fnTest(x, y))
                oSet.insert({x, y});
    return oSet;
}

struct LineArgs
{
    const char *pszStyle = "";
    const char *pszWidth = "";
    const char *pszType = "";
    const char *pszHatchType = "";
    const char *pszSpacing = "";
};

std::set<std::pair<int, int>> DrawLines(int nWidth, int nHeight, const LineArgs &sArgs)
{
    Canvas oCanvas(nWidth, nHeight);
    EXPECT_EQ(DrawLineSample(oCanvas.Image(), nWidth, nHeight, kFg, sArgs.pszStyle,
                             sArgs.pszWidth, sArgs.pszType, sArgs.pszHatchType, sArgs.pszSpacing),
              0);
    return oCanvas.Ink();
}

LineArgs Hatch(const char *pszHatchType, const char *pszSpacing = "4", const char *pszWidth = "")
{
    LineArgs sArgs;
    sArgs.pszType = "Hatch";
    sArgs.pszHatchType = pszHatchType;
    sArgs.pszSpacing = pszSpacing;
    sArgs.pszWidth = pszWidth;
    return sArgs;
}

std::set<std::pair<int, int>> Rows(int nWidth, int nHeight, std::set<int> oRows)
{
    return Where(nWidth, nHeight, [&](int, int y) { return oRows.count(y) > 0; });
}

std::set<std::pair<int, int>> Columns(int nWidth, int nHeight, std::set<int> oColumns)
{
    return Where(nWidth, nHeight, [&](int x, int) { return oColumns.count(x) > 0; });
}

std::set<std::pair<int, int>> Unite(std::set<std::pair<int, int>> oA,
                                    const std::set<std::pair<int, int>> &oB)
{
    oA.insert(oB.begin(), oB.end());
    return oA;
}

} // namespace

/* Centred band */

TEST(LineSample, CentredBandRows)
{
    LineArgs sArgs;
    sArgs.pszWidth = "3";
    EXPECT_EQ(DrawLines(50, 20, sArgs), Rows(50, 20, {9, 10, 11}));
    sArgs.pszWidth = "2"; // 10 - 1
    EXPECT_EQ(DrawLines(50, 20, sArgs), Rows(50, 20, {9, 10}));
    sArgs.pszWidth = "4"; // 5 - 2
    EXPECT_EQ(DrawLines(7, 11, sArgs), Rows(7, 11, {3, 4, 5, 6}));
}

TEST(LineSample, WidthDefaultsAndLimits)
{
    for (const char *pszWidth : {"", "0", "1", "-4", "abc"})
    {
        LineArgs sArgs;
        sArgs.pszWidth = pszWidth;
        EXPECT_EQ(DrawLines(12, 8, sArgs), Rows(12, 8, {4})) << pszWidth;
    }
    for (const char *pszWidth : {"8", "9", "100000", "99999999999999"})
    {
        LineArgs sArgs;
        sArgs.pszWidth = pszWidth;
        EXPECT_EQ(DrawLines(12, 8, sArgs), Rows(12, 8, {0, 1, 2, 3, 4, 5, 6, 7})) << pszWidth;
    }
}

TEST(LineSample, DashPatternRestartsOnEveryLine)
{
    LineArgs sArgs;
    sArgs.pszStyle = "##  ";
    sArgs.pszWidth = "2";
    // Rows 4 and 5 of a 10 x 10 swatch, two pixels of ink and two of gap from
    // x = 0 on both rows.
    EXPECT_EQ(DrawLines(10, 10, sArgs),
              Where(10, 10, [](int x, int y) { return (y == 4 || y == 5) && x % 4 < 2; }));
    // Any non-space character is ink, tabs included.
    sArgs.pszStyle = "a\t  ";
    EXPECT_EQ(DrawLines(10, 10, sArgs),
              Where(10, 10, [](int x, int y) { return (y == 4 || y == 5) && x % 4 < 2; }));
}

TEST(LineSample, EmptyPatternIsSolidAndSpacesDrawNothing)
{
    LineArgs sArgs;
    sArgs.pszWidth = "1";
    EXPECT_EQ(DrawLines(6, 6, sArgs), Rows(6, 6, {3}));
    sArgs.pszStyle = "   ";
    EXPECT_TRUE(DrawLines(6, 6, sArgs).empty());
}

TEST(LineSample, LineTypeIgnoresLetterCaseOnly)
{
    LineArgs sArgs;
    for (const char *pszType : {"Hatch", "hatch", "HATCH"})
    {
        sArgs = Hatch("3");
        sArgs.pszType = pszType;
        EXPECT_EQ(DrawLines(10, 10, sArgs), Rows(10, 10, {4, 9})) << pszType;
    }
    for (const char *pszType : {"Hatching", "Hatc", "Line", "zig zag", ""})
    {
        sArgs = Hatch("3");
        sArgs.pszType = pszType;
        EXPECT_EQ(DrawLines(10, 10, sArgs), Rows(10, 10, {5})) << pszType;
    }
    sArgs = LineArgs();
    sArgs.pszType = "zIgZaG";
    EXPECT_TRUE(DrawLines(30, 10, sArgs).count({10, 0})); // a turning point
}

/* Hatches: the 10 x 10 example with spacing 4 and width 1, offsets 4, 9,
 * 14, 19, 24 and 29. */

TEST(LineSample, HatchFamilies)
{
    const auto rising = Where(10, 10, [](int x, int y) {
        const int d = x + y;
        return d == 4 || d == 9 || d == 14;
    });
    // Lines from (0, 10 - d) to (d, 10): y - x = 10 - d.
    const auto falling = Where(10, 10, [](int x, int y) {
        const int d = 10 - (y - x);
        return d == 4 || d == 9 || d == 14 || d == 19;
    });
    const auto horizontal = Rows(10, 10, {4, 9});
    const auto vertical = Columns(10, 10, {4, 9});

    EXPECT_EQ(DrawLines(10, 10, Hatch("1")), rising);
    EXPECT_EQ(DrawLines(10, 10, Hatch("2")), falling);
    EXPECT_EQ(DrawLines(10, 10, Hatch("3")), horizontal);
    EXPECT_EQ(DrawLines(10, 10, Hatch("4")), vertical);
    EXPECT_EQ(DrawLines(10, 10, Hatch("5")), Unite(rising, falling));
    EXPECT_EQ(DrawLines(10, 10, Hatch("6")), Unite(horizontal, vertical));
    for (const char *pszType : {"", "0", "7", "-2", "x", "99"})
        EXPECT_EQ(DrawLines(10, 10, Hatch(pszType)), rising) << pszType;
}

TEST(LineSample, HatchSpacingDefaultsToFour)
{
    const auto expected = Rows(10, 10, {4, 9});
    for (const char *pszSpacing : {"", "0", "-3", "abc", "4"})
        EXPECT_EQ(DrawLines(10, 10, Hatch("3", pszSpacing)), expected) << pszSpacing;
    EXPECT_EQ(DrawLines(10, 10, Hatch("3", "3")), Rows(10, 10, {3, 7})); // period 3 + 1
}

TEST(LineSample, HatchBandsOfWidthTwo)
{
    // Bands start at 4, 10, 16, ...: rows 4 and 5 (10 and 11 lie below).
    EXPECT_EQ(DrawLines(10, 10, Hatch("3", "4", "2")), Rows(10, 10, {4, 5}));
    // Diagonal offsets 4, 5, 10, 11, 16, 17.
    EXPECT_EQ(DrawLines(10, 10, Hatch("1", "4", "2")), Where(10, 10, [](int x, int y) {
                  const int d = x + y;
                  return d == 4 || d == 5 || d == 10 || d == 11 || d == 16 || d == 17;
              }));
}

TEST(LineSample, HatchPeriodIsSpacingPlusWidthOnWideSwatches)
{
    // 40 x 6, vertical, spacing 3, width 2: bands at 3, 8, 13, ... period 5.
    EXPECT_EQ(DrawLines(40, 6, Hatch("4", "3", "2")),
              Where(40, 6, [](int x, int) { return x >= 3 && (x - 3) % 5 < 2; }));
}

TEST(LineSample, SpacingBeyondTheSwatchDrawsNothing)
{
    for (const char *pszType : {"1", "2", "3", "4", "5", "6"})
        EXPECT_TRUE(DrawLines(10, 10, Hatch(pszType, "21")).empty()) << pszType;
    EXPECT_TRUE(DrawLines(10, 10, Hatch("1", "2147483647", "10")).empty());
    // Horizontal: a start of 11 lies past the height; vertical has room.
    EXPECT_TRUE(DrawLines(20, 10, Hatch("3", "11")).empty());
    EXPECT_EQ(DrawLines(20, 10, Hatch("4", "11")), Columns(20, 10, {11}));
}

TEST(LineSample, WorstHatchStaysCheap)
{
    // Spacing 1, width equal to the height, cross-hatch, very long pattern:
    // only lines that meet the image are drawn.
    const std::string osPattern(1 << 20, 'x');
    LineArgs sArgs = Hatch("5", "1", "1000");
    sArgs.pszStyle = osPattern.c_str();
    // Width 300: bands at 1..300, 302..601, ...; offsets 0 and 301 are gaps.
    const auto oInHatch = [](int d) { return d >= 1 && d % 301 != 0; };
    EXPECT_EQ(DrawLines(300, 300, sArgs), Where(300, 300, [&](int x, int y) {
                  return oInHatch(x + y) || oInHatch(300 - (y - x));
              }));
}

/* Zig-zag */

TEST(LineSample, ZigZagSegmentsAndCopies)
{
    // 30 x 10, width 2, D = 10: (i,10)-(10+i,0), (10+i,0)-(20+i,10),
    // (20+i,10)-(30+i,0) for i = 0, 1.
    LineArgs sArgs;
    sArgs.pszType = "ZigZag";
    sArgs.pszWidth = "2";
    const auto oExpected = Where(30, 10, [](int x, int y) {
        for (int i = 0; i < 2; i++)
        {
            const int u = x - i;
            if ((u >= 0 && u <= 10 && u + y == 10) || (u >= 10 && u <= 20 && y == u - 10) ||
                (u >= 20 && u <= 30 && u + y == 30))
                return true;
        }
        return false;
    });
    EXPECT_EQ(DrawLines(30, 10, sArgs), oExpected);
}

TEST(LineSample, ZigZagOnTheNarrowestSwatch)
{
    // W = 2 gives D = 0: two vertical segments on column i, then (i,2)-(2+i,0).
    LineArgs sArgs;
    sArgs.pszType = "ZigZag";
    EXPECT_EQ(DrawLines(2, 2, sArgs), Where(2, 2, [](int x, int y) { return x == 0 || (x == 1 && y == 1); }));
}

/* Symbols */

namespace
{

std::vector<std::string> DrawSymbol(int nWidth, int nHeight, int nId, int nSize)
{
    Canvas oCanvas(nWidth, nHeight);
    EXPECT_EQ(DrawSymbolSample(oCanvas.Image(), nWidth, nHeight, kFg, nId, nSize), 0);
    return PixelRows(oCanvas.Image());
}

/* The same swatch drawn straight from a GD call with the given geometry. */
std::vector<std::string> Expected(int nWidth, int nHeight,
                                  const std::function<void(gdImagePtr)> &fnDraw)
{
    Canvas oCanvas(nWidth, nHeight);
    fnDraw(oCanvas.Image());
    return PixelRows(oCanvas.Image());
}

/* Ink of one pixel, '1' for the drawing colour. */
bool Ink(const std::vector<std::string> &aosRows, int x, int y)
{
    return aosRows[y][x] == '1';
}

/* True when the picture is its own mirror image about the column cx, to a
 * pixel: GD fills a polygon's slanted edges half a pixel to one side. Only
 * pixels whose mirror lies in the image are looked at. */
bool MirroredAbout(const std::vector<std::string> &aosRows, int cx)
{
    for (size_t y = 0; y < aosRows.size(); y++)
    {
        const std::string &osRow = aosRows[y];
        const int nWidth = static_cast<int>(osRow.size());
        for (int x = 0; x < nWidth; x++)
        {
            const int xm = 2 * cx - x;
            if (osRow[x] != '1' || xm - 1 < 0 || xm + 1 >= nWidth)
                continue;
            if (osRow[xm - 1] != '1' && osRow[xm] != '1' && osRow[xm + 1] != '1')
                return false;
        }
    }
    return true;
}

/* The ink of each row as one run [first, last], or (-1, -1) for none;
 * false when a row holds more than one run. */
bool SingleRuns(const std::vector<std::string> &aosRows, std::vector<std::pair<int, int>> &aRuns)
{
    aRuns.clear();
    for (const std::string &osRow : aosRows)
    {
        const int nFirst = static_cast<int>(osRow.find('1'));
        const int nLast = static_cast<int>(osRow.rfind('1'));
        if (nFirst >= 0 && osRow.find('0', nFirst) < static_cast<size_t>(nLast))
            return false;
        aRuns.emplace_back(nFirst, nFirst >= 0 ? nLast : -1);
    }
    return true;
}

std::vector<std::string> Box(int nWidth, int nHeight, int x1, int y1, int x2, int y2)
{
    std::vector<std::string> aosRows(nHeight, std::string(nWidth, '0'));
    for (int y = std::max(0, y1); y <= std::min(y2, nHeight - 1); y++)
        for (int x = std::max(0, x1); x <= std::min(x2, nWidth - 1); x++)
            aosRows[y][x] = '1';
    return aosRows;
}

} // namespace

TEST(SymbolSample, SquareAndSizeRule)
{
    EXPECT_EQ(DrawSymbol(20, 20, 1, -1), Box(20, 20, 0, 0, 20, 20));
    EXPECT_EQ(DrawSymbol(50, 20, 1, -1), Box(50, 20, 15, 0, 35, 20));
    EXPECT_EQ(DrawSymbol(50, 20, 1, 30), Box(50, 20, 10, -5, 40, 25)); // between the sides
    EXPECT_EQ(DrawSymbol(50, 20, 1, 60), Box(50, 20, 15, 0, 35, 20));  // beyond both
    EXPECT_EQ(DrawSymbol(50, 20, 1, 0), Box(50, 20, 25, 10, 25, 10));  // the centre pixel
    // Even sizes give S + 1 pixels across, odd sizes S.
    EXPECT_EQ(DrawSymbol(10, 10, 1, 4), Box(10, 10, 3, 3, 7, 7));
    EXPECT_EQ(DrawSymbol(10, 10, 1, 5), Box(10, 10, 3, 3, 7, 7));
}

TEST(SymbolSample, PlusSign)
{
    EXPECT_EQ(DrawSymbol(20, 20, 4, -1), Expected(20, 20, [](gdImagePtr hImage) {
                  for (int i = 0; i < 20; i++)
                  {
                      gdImageSetPixel(hImage, i, 10, kFg);
                      gdImageSetPixel(hImage, 10, i, kFg);
                  }
              }));
    EXPECT_EQ(DrawSymbol(9, 9, 4, 0), Box(9, 9, 4, 4, 4, 4));
}

TEST(SymbolSample, TriangleVertices)
{
    // 20 x 20: apex (10, 0), base corners (0, 20) and (20, 20).
    const auto aosRows = DrawSymbol(20, 20, 3, -1);
    EXPECT_TRUE(MirroredAbout(aosRows, 10));
    std::vector<std::pair<int, int>> aRuns;
    ASSERT_TRUE(SingleRuns(aosRows, aRuns));
    EXPECT_EQ(aRuns[0], std::make_pair(10, 10)); // the apex alone
    EXPECT_LE(aRuns[19].first, 1);               // the base spans the swatch
    EXPECT_EQ(aRuns[19].second, 19);
    for (int y = 1; y < 20; y++) // widening by about one pixel a side each row
    {
        EXPECT_LE(aRuns[y].first, aRuns[y - 1].first) << y;
        EXPECT_NEAR(aRuns[y].first, 10 - y / 2.0, 1.0) << y;
    }

    // 50 x 20, size 10: apex (25, 5), base (20, 15) to (30, 15).
    const auto aosSmall = DrawSymbol(50, 20, 3, 10);
    EXPECT_TRUE(MirroredAbout(aosSmall, 25));
    ASSERT_TRUE(SingleRuns(aosSmall, aRuns));
    for (int y = 0; y < 20; y++)
        EXPECT_EQ(aRuns[y].first >= 0, y >= 5 && y <= 15) << y;
    EXPECT_EQ(aRuns[5], std::make_pair(25, 25));
    EXPECT_LE(aRuns[15].first, 21);
    EXPECT_GE(aRuns[15].second, 29);
}

TEST(SymbolSample, StarVertices)
{
    // 20 x 20: arms on row 7 from x = 0 to 20, apex (10, 0), feet (0, 20)
    // and (20, 20), the notch between the legs at (10, 15).
    const auto aosRows = DrawSymbol(20, 20, 5, -1);
    EXPECT_TRUE(MirroredAbout(aosRows, 10));
    EXPECT_EQ(aosRows[7], std::string(20, '1'));
    EXPECT_TRUE(Ink(aosRows, 10, 0));
    EXPECT_FALSE(Ink(aosRows, 9, 0));
    EXPECT_FALSE(Ink(aosRows, 0, 6)); // above the left arm
    EXPECT_TRUE(Ink(aosRows, 10, 14));
    for (int y = 16; y < 20; y++)
        EXPECT_FALSE(Ink(aosRows, 10, y)) << y; // the notch
    EXPECT_TRUE(Ink(aosRows, 1, 19));           // a foot (the edge at x = 0.5)
    EXPECT_FALSE(Ink(aosRows, 0, 12));          // between arm and foot

    // 50 x 20, size 10: arms on row 7 from x = 20 to 30, apex (25, 5),
    // feet (20, 15) and (30, 15), notch (25, 12).
    const auto aosSmall = DrawSymbol(50, 20, 5, 10);
    EXPECT_TRUE(MirroredAbout(aosSmall, 25));
    EXPECT_EQ(aosSmall[7], std::string(20, '0') + std::string(11, '1') + std::string(19, '0'));
    EXPECT_TRUE(Ink(aosSmall, 25, 5));
    EXPECT_EQ(aosSmall[4], std::string(50, '0'));
    EXPECT_EQ(aosSmall[16], std::string(50, '0'));
    EXPECT_TRUE(Ink(aosSmall, 20, 15) || Ink(aosSmall, 21, 15));
    EXPECT_FALSE(Ink(aosSmall, 25, 14));

    // 15 x 15: arms on row 5 (0.375 x 15 = 5.625, truncated), apex (7, 0).
    const auto aosOdd = DrawSymbol(15, 15, 5, -1);
    EXPECT_TRUE(MirroredAbout(aosOdd, 7));
    EXPECT_EQ(aosOdd[5], std::string(15, '1'));
    EXPECT_NE(aosOdd[6], std::string(15, '1'));

    // Taller than wide: the arms stay on row 18 = 3/8 of 50, the star spans
    // rows 15 to 35.
    const auto aosTall = DrawSymbol(20, 50, 5, -1);
    EXPECT_TRUE(MirroredAbout(aosTall, 10));
    EXPECT_EQ(aosTall[18], std::string(20, '1'));
    EXPECT_EQ(aosTall[14], std::string(20, '0'));
    EXPECT_TRUE(Ink(aosTall, 10, 15));
    EXPECT_TRUE(Ink(aosTall, 0, 34) || Ink(aosTall, 1, 34));
    EXPECT_EQ(aosTall[36], std::string(20, '0'));
}

TEST(SymbolSample, CircleOutlineAndFilledCircle)
{
    // Diameter 21 around (10, 10): every ink pixel lies on the circle of
    // radius 10, the four extreme points are drawn, the picture has the
    // circle's symmetries and the inside is empty.
    const auto oOutline = DrawSymbol(21, 21, 2, -1);
    int nInk = 0;
    for (int y = 0; y < 21; y++)
        for (int x = 0; x < 21; x++)
        {
            if (!Ink(oOutline, x, y))
                continue;
            nInk++;
            EXPECT_NEAR(std::hypot(x - 10, y - 10), 10.0, 1.0) << x << "," << y;
            EXPECT_TRUE(Ink(oOutline, 20 - x, y) && Ink(oOutline, x, 20 - y) && Ink(oOutline, y, x))
                << x << "," << y;
        }
    for (const auto &oPoint : {std::make_pair(10, 0), std::make_pair(0, 10),
                               std::make_pair(20, 10), std::make_pair(10, 20)})
        EXPECT_TRUE(Ink(oOutline, oPoint.first, oPoint.second));
    EXPECT_GT(nInk, 50); // a closed ring, about 2 pi r pixels
    EXPECT_LT(nInk, 90);

    const auto oFilled = DrawSymbol(21, 21, 6, -1);
    // Every outline pixel stays, the inside is filled, the corners are not.
    for (int y = 0; y < 21; y++)
        for (int x = 0; x < 21; x++)
        {
            if (Ink(oOutline, x, y))
            {
                EXPECT_TRUE(Ink(oFilled, x, y)) << x << "," << y;
            }
            if (std::hypot(x - 10, y - 10) < 9.5)
            {
                EXPECT_TRUE(Ink(oFilled, x, y)) << x << "," << y;
            }
        }
    EXPECT_FALSE(Ink(oFilled, 0, 0));
    EXPECT_FALSE(Ink(oFilled, 20, 20));
    // Along the middle row, ink runs unbroken from edge to edge.
    EXPECT_EQ(oFilled[10], std::string(21, '1'));
}

TEST(SymbolSample, TinyCirclesAreTheCentrePixel)
{
    for (int nSize : {0, 1})
    {
        EXPECT_EQ(DrawSymbol(9, 9, 2, nSize), Box(9, 9, 4, 4, 4, 4)) << nSize;
        EXPECT_EQ(DrawSymbol(9, 9, 6, nSize), Box(9, 9, 4, 4, 4, 4)) << nSize;
    }
}

TEST(SymbolSample, TallFilledCircleDoesNotExhaustTheStack)
{
    // A filled circle between the two sides of a narrow, very tall swatch:
    // the fill runs through hundreds of thousands of rows.
    const int nHeight = 600000;
    Canvas oCanvas(3, nHeight);
    DrawSymbolSample(oCanvas.Image(), 3, nHeight, kFg, 6, nHeight - 2);
    EXPECT_EQ(oCanvas.At(0, nHeight / 2), kFg);
    EXPECT_EQ(oCanvas.At(2, nHeight / 4), kFg);
    EXPECT_EQ(oCanvas.At(1, 0), kBg);
}

TEST(SymbolSample, UnknownIdsDrawNothing)
{
    const auto oBlank = Box(10, 10, 1, 1, 0, 0);
    for (int nId : {0, -1, 7, 1000})
        EXPECT_EQ(DrawSymbol(10, 10, nId, -1), oBlank) << nId;
}

/* Frame */

namespace
{

std::vector<std::string> DrawFrameOn(int nWidth, int nHeight, int nOutline, int nCorner)
{
    Canvas oCanvas(nWidth, nHeight);
    gdImageFilledRectangle(oCanvas.Image(), 0, 0, nWidth - 1, nHeight - 1, kFg);
    EXPECT_EQ(DrawFrame(oCanvas.Image(), nOutline, nCorner, nWidth, nHeight), 0);
    return PixelRows(oCanvas.Image());
}

} // namespace

TEST(Frame, OutlineCornersAndBoth)
{
    EXPECT_EQ(DrawFrameOn(5, 4, 2, 0),
              (std::vector<std::string>{"22222", "21112", "21112", "22222"}));
    EXPECT_EQ(DrawFrameOn(5, 4, 0, 3),
              (std::vector<std::string>{"31113", "11111", "11111", "31113"}));
    EXPECT_EQ(DrawFrameOn(5, 4, 2, 3),
              (std::vector<std::string>{"32223", "21112", "21112", "32223"}));
    EXPECT_EQ(DrawFrameOn(5, 4, 0, 0),
              (std::vector<std::string>{"11111", "11111", "11111", "11111"}));
    EXPECT_EQ(DrawFrameOn(5, 4, -1, -2),
              (std::vector<std::string>{"11111", "11111", "11111", "11111"}));
}

TEST(Frame, SmallestSwatch)
{
    EXPECT_EQ(DrawFrameOn(2, 2, 2, 0), (std::vector<std::string>{"22", "22"}));
    EXPECT_EQ(DrawFrameOn(2, 2, 2, 3), (std::vector<std::string>{"33", "33"}));
}
