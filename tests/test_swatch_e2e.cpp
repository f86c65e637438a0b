/* The swatch program run as a web server runs it: CGI variables in the
 * environment, a POST body on stdin, the reply read back and decoded. */
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"
#include "vxmcgi.h"

using namespace swatchtest;

namespace
{


constexpr int kWhite = 0xFFFFFF;
constexpr int kBlack = 0x000000;

/* A decoded image reply. */
struct Swatch
{
    RunResult sRun;
    GifInfo sGif;
    gdImagePtr hImage = nullptr;
    Swatch() = default;
    Swatch(const Swatch &) = delete;
    Swatch &operator=(const Swatch &) = delete;
    ~Swatch()
    {
        if (hImage)
            gdImageDestroy(hImage);
    }
    std::vector<std::string> Rows() const
    {
        return PixelRows(hImage);
    }
    /* The first n palette entries. */
    std::vector<int> Palette(size_t n) const
    {
        return std::vector<int>(sGif.anPalette.begin(),
                                sGif.anPalette.begin() + std::min(n, sGif.anPalette.size()));
    }
};

/* Runs the program and expects an image reply; fills in the decoded GIF. */
void RunForImage(Swatch &sSwatch, const std::map<std::string, std::string> &oEnv,
                 const std::string &osStdin = "")
{
    sSwatch.sRun = RunProgram(SWATCH_EXE, {}, oEnv, osStdin);
    ASSERT_EQ(sSwatch.sRun.nExitStatus, 0) << sSwatch.sRun.osStdout << sSwatch.sRun.osStderr;
    const std::string &osOut = sSwatch.sRun.osStdout;
    ASSERT_EQ(osOut.compare(0, kImageHeader.size(), kImageHeader), 0) << osOut.substr(0, 80);
    const std::string osGif = osOut.substr(kImageHeader.size());
    ASSERT_TRUE(ParseGif(osGif, sSwatch.sGif));
    EXPECT_FALSE(sSwatch.sGif.bInterlaced);
    sSwatch.hImage = DecodeGif(osGif);
    ASSERT_NE(sSwatch.hImage, nullptr);
    EXPECT_EQ(gdImageSX(sSwatch.hImage), sSwatch.sGif.nWidth);
    EXPECT_EQ(gdImageSY(sSwatch.hImage), sSwatch.sGif.nHeight);
}

std::vector<std::string> Filled(int nWidth, int nHeight, char chIndex)
{
    return std::vector<std::string>(nHeight, std::string(nWidth, chIndex));
}

/* The lines of a table of tests/, split at tabs; comments and blank lines
 * left out. */
std::vector<std::vector<std::string>> ReadTable(const char *pszName)
{
    std::vector<std::vector<std::string>> aaosRows;
    std::istringstream oTable(ReadFile(std::string(SWATCH_SOURCE_DIR "/tests/data/") + pszName));
    for (std::string osLine; std::getline(oTable, osLine);)
    {
        if (osLine.empty() || osLine[0] == '#')
            continue;
        std::vector<std::string> aosCells;
        std::istringstream oCells(osLine);
        for (std::string osCell; std::getline(oCells, osCell, '\t');)
            aosCells.push_back(osCell);
        aaosRows.push_back(aosCells);
    }
    return aaosRows;
}

/* The reply to a swatch path and query as one text. */
RunResult RunSwatchUrl(const std::string &osUrl)
{
    const size_t nQuery = osUrl.find('?');
    return RunProgram(SWATCH_EXE, {},
                      CgiGet(osUrl.substr(0, nQuery),
                             nQuery == std::string::npos ? "" : osUrl.substr(nQuery + 1)));
}

} // namespace

TEST(SwatchImage, SingleSlashIsFiftyByFiftyBlack)
{
    Swatch s;
    RunForImage(s, CgiGet("/"));
    EXPECT_EQ(s.sGif.osSignature, "GIF89a");
    EXPECT_EQ(s.Palette(2), (std::vector<int>{kWhite, kBlack}));
    EXPECT_EQ(s.sGif.nTransparent, 0);
    EXPECT_EQ(s.Rows(), Filled(50, 50, '1'));
    EXPECT_EQ(s.sRun.osStderr, "");
}

TEST(SwatchImage, PathFields)
{
    const struct
    {
        const char *pszPath;
        int nWidth, nHeight, nColor;
    } asCases[] = {
        {"/40/20/255/0/0", 40, 20, 0xFF0000},
        {"/1/1", 2, 2, kBlack},
        {"/0/-5", 2, 2, kBlack},
        {"/abc/x7", 2, 2, kBlack},
        {"/3/3", 3, 3, kBlack},
        {"/40//20", 40, 20, kBlack},
        {"//40/20/", 40, 20, kBlack},
        {"/40/20/0/0/255/9", 40, 20, 0x0000FF},
        {"/40/20/255", 40, 20, 0xFF0000},
        {"/7", 7, 50, kBlack},
        {"/5/4/18/52/86", 5, 4, 0x123456},
    };
    for (const auto &sCase : asCases)
    {
        SCOPED_TRACE(sCase.pszPath);
        Swatch s;
        RunForImage(s, CgiGet(sCase.pszPath));
        EXPECT_EQ(s.sGif.nWidth, sCase.nWidth);
        EXPECT_EQ(s.sGif.nHeight, sCase.nHeight);
        EXPECT_EQ(s.Palette(2), (std::vector<int>{kWhite, sCase.nColor}));
        // The flat patch covers every pixel, narrow swatches included.
        EXPECT_EQ(s.Rows(), Filled(sCase.nWidth, sCase.nHeight, '1'));
    }
}

TEST(SwatchImage, ColorParameter)
{
    // The shared table of colour texts, which the designer's reading of a
    // colour is checked against too; then the parameter itself: its name
    // in any letter case, and the path's colour when it is empty.
    std::vector<std::pair<std::string, int>> aoCases;
    for (const auto &aosCase : ReadTable("color_cases.tsv"))
        aoCases.emplace_back("Color=" + aosCase.at(0),
                             static_cast<int>(strtol(aosCase.at(1).c_str(), nullptr, 16)));
    ASSERT_GE(aoCases.size(), 10u);
    aoCases.emplace_back("color=0000ff", 0x0000FF);
    aoCases.emplace_back("Color=", 0xFF0000);
    for (const auto &oCase : aoCases)
    {
        SCOPED_TRACE(oCase.first);
        Swatch s;
        RunForImage(s, CgiGet("/4/4/255/0/0", oCase.first));
        EXPECT_EQ(s.Palette(2), (std::vector<int>{kWhite, oCase.second}));
    }
}

TEST(SwatchImage, UrlCasesDrawAsTheDesignerWritesThem)
{
    // The shared table of swatch URLs, which the designer's reading of a URL
    // is checked against too: each URL as written draws the same bytes as
    // the swatch path the designer writes for it.
    const auto aaosCases = ReadTable("url_cases.tsv");
    ASSERT_GE(aaosCases.size(), 20u);
    for (const auto &aosCase : aaosCases)
    {
        SCOPED_TRACE(aosCase[0]);
        ASSERT_EQ(aosCase.size(), 3u);
        const RunResult sWritten = RunSwatchUrl(aosCase[0]);
        const RunResult sDrawn = RunSwatchUrl(aosCase[1]);
        EXPECT_EQ(sWritten.nExitStatus, 0) << sWritten.osStdout;
        EXPECT_EQ(sWritten.osStdout, sDrawn.osStdout) << aosCase[1];
    }
}

TEST(SwatchImage, PaletteOrderAndTransparency)
{
    const struct
    {
        const char *pszQuery;
        std::vector<int> anPalette;
        int nTransparent;
        const char *pszSignature;
    } asCases[] = {
        {"", {kWhite, kBlack}, 0, "GIF89a"},
        {"BgColor=00FF00", {0x00FF00, kBlack}, -1, "GIF87a"},
        {"Corner=FF0000", {kWhite, 0xFF0000, kBlack}, 1, "GIF89a"},
        {"Outline=0000FF", {kWhite, 0x0000FF, kBlack}, 0, "GIF89a"},
        {"Outline=0000FF&Corner=FF0000", {kWhite, 0x0000FF, 0xFF0000, kBlack}, 2, "GIF89a"},
        {"BgColor=FFFF00&Outline=0000FF&Corner=FF0000&Color=00FFFF",
         {0xFFFF00, 0x0000FF, 0xFF0000, 0x00FFFF}, 2, "GIF89a"},
        // Equal colours still get slots of their own.
        {"BgColor=000000", {kBlack, kBlack}, -1, "GIF87a"},
    };
    for (const auto &sCase : asCases)
    {
        SCOPED_TRACE(sCase.pszQuery);
        Swatch s;
        RunForImage(s, CgiGet("/6/5", sCase.pszQuery));
        EXPECT_EQ(s.Palette(sCase.anPalette.size()), sCase.anPalette);
        EXPECT_EQ(s.sGif.nTransparent, sCase.nTransparent);
        EXPECT_EQ(s.sGif.osSignature, sCase.pszSignature);
    }
}

TEST(SwatchImage, FrameOverTheSample)
{
    Swatch s;
    RunForImage(s, CgiGet("/5/4", "Outline=0000FF&Corner=FF0000"));
    EXPECT_EQ(s.Rows(), (std::vector<std::string>{"21112", "13331", "13331", "21112"}));

    Swatch sOutline;
    RunForImage(sOutline, CgiGet("/4/3", "Outline=0000FF"));
    EXPECT_EQ(sOutline.Rows(), (std::vector<std::string>{"1111", "1221", "1111"}));

    Swatch sCorner;
    RunForImage(sCorner, CgiGet("/4/3", "Corner=FF0000"));
    EXPECT_EQ(sCorner.Rows(), (std::vector<std::string>{"1221", "2222", "1221"}));
}

TEST(SwatchImage, WhichSampleIsDrawn)
{
    // Hatch parameters alone do not select the line sample.
    Swatch sFlat;
    RunForImage(sFlat, CgiGet("/10/10", "HatchType=3&HatchSpacing=4"));
    EXPECT_EQ(sFlat.Rows(), Filled(10, 10, '1'));

    // A line parameter wins over a symbol.
    Swatch sLine;
    RunForImage(sLine, CgiGet("/10/10", "LineWidth=1&SymbolId=1"));
    std::vector<std::string> aosBand = Filled(10, 10, '0');
    aosBand[5] = std::string(10, '1');
    EXPECT_EQ(sLine.Rows(), aosBand);

    // A hatch through the whole pipeline: the 10 x 10 horizontal example.
    Swatch sHatch;
    RunForImage(sHatch, CgiGet("/10/10", "LineType=hatch&HatchType=3&HatchSpacing=4"));
    std::vector<std::string> aosHatch = Filled(10, 10, '0');
    aosHatch[4] = aosHatch[9] = std::string(10, '1');
    EXPECT_EQ(sHatch.Rows(), aosHatch);

    // Symbols: id 1 fills the centred square; 0, negative and non-numeric
    // ids give the flat patch; an id without a symbol leaves the background.
    Swatch sSquare;
    RunForImage(sSquare, CgiGet("/6/6", "SymbolId=1&SymbolSize=2"));
    EXPECT_EQ(sSquare.Rows(),
              (std::vector<std::string>{"000000", "000000", "001110", "001110", "001110", "000000"}));
    for (const char *pszId : {"SymbolId=0", "SymbolId=-3", "SymbolId=abc"})
    {
        Swatch sNoSymbol;
        RunForImage(sNoSymbol, CgiGet("/6/6", pszId));
        EXPECT_EQ(sNoSymbol.Rows(), Filled(6, 6, '1')) << pszId;
    }
    Swatch sNothing;
    RunForImage(sNothing, CgiGet("/6/6", "SymbolId=7&Outline=0000FF"));
    EXPECT_EQ(sNothing.Rows(),
              (std::vector<std::string>{"111111", "100001", "100001", "100001", "100001", "111111"}));

    // A size that is present but not a number is 0: the centre pixel only.
    Swatch sZero;
    RunForImage(sZero, CgiGet("/5/5", "SymbolId=1&SymbolSize=x"));
    EXPECT_EQ(sZero.Rows(), (std::vector<std::string>{"00000", "00000", "00100", "00000", "00000"}));
}

TEST(SwatchImage, PostBody)
{
    auto oEnv = CgiGet("/4/4", "Color=FF0000");
    oEnv["REQUEST_METHOD"] = "POST";
    oEnv["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
    const std::string osBody = "Color=00FF00&BgColor=0000FF";
    oEnv["CONTENT_LENGTH"] = std::to_string(osBody.size());
    Swatch s;
    RunForImage(s, oEnv, osBody);
    EXPECT_EQ(s.Palette(2), (std::vector<int>{0x0000FF, 0x00FF00}));

    // Announced longer than sent, up to the longest body read.
    for (const char *pszLength : {"500", "65536"})
    {
        oEnv["CONTENT_LENGTH"] = pszLength;
        Swatch sShort;
        RunForImage(sShort, oEnv, osBody);
        EXPECT_EQ(sShort.Palette(2), (std::vector<int>{0x0000FF, 0x00FF00})) << pszLength;
    }
    // Longer, and beyond the range of int: refused, the body left unread.
    for (const char *pszLength : {"65537", "99999999999999999999"})
    {
        oEnv["CONTENT_LENGTH"] = pszLength;
        const RunResult sRun = RunProgram(SWATCH_EXE, {}, oEnv, osBody);
        EXPECT_EQ(sRun.nExitStatus, 1);
        EXPECT_EQ(sRun.osStdout.rfind(kTooLongHeader + "ERROR 413: A request body of ", 0), 0u)
            << sRun.osStdout;
    }
}

TEST(SwatchImage, SizeAtThePixelLimit)
{
    Swatch s;
    RunForImage(s, CgiGet("/8192/8192"));
    EXPECT_EQ(s.sGif.nWidth, 8192);
    EXPECT_EQ(s.sGif.nHeight, 8192);
    EXPECT_EQ(gdImageGetPixel(s.hImage, 8191, 8191), 1);
}

TEST(SwatchImage, LongestSideAGifHolds)
{
    // A GIF stores its sides in 16 bits: 65535 is the longest that fits.
    Swatch s;
    RunForImage(s, CgiGet("/65535/3", "LineWidth=1"));
    EXPECT_EQ(s.sGif.nWidth, 65535);
    EXPECT_EQ(s.sGif.nHeight, 3);
    EXPECT_EQ(gdImageGetPixel(s.hImage, 65534, 1), 1);
    EXPECT_EQ(gdImageGetPixel(s.hImage, 65534, 0), 0);
}

/* PNG, scaled and SVG swatches against the GIF of the same request. */
namespace
{

struct FormatCase
{
    const char *pszPath;
    const char *pszQuery;
    bool bAxisAligned; // every shape horizontal or vertical
};

const FormatCase asFormatCases[] = {
    {"/40/20/200/0/0", "", true},
    {"/40/20/200/0/0", "Outline=000000&Corner=00FF00", true},
    {"/7/3/0/0/255", "Corner=FF00FF", true},
    {"/60/20/0/0/0", "LineStyle=xx%20%20&LineWidth=3", true},
    {"/40/40/0/0/255", "LineType=Hatch&HatchType=6&HatchSpacing=5&LineStyle=xxx%20", true},
    {"/40/40/0/0/255", "LineType=Hatch&HatchType=3&LineWidth=2&BgColor=FFFFCC", true},
    {"/41/30/0/0/0", "LineType=Hatch&HatchType=4&Outline=FF0000&Corner=0000FF", true},
    {"/40/40/0/0/0", "LineType=Hatch&HatchType=4&LineWidth=3&LineStyle=xx%20", true},
    {"/30/30/0/0/0", "SymbolId=1&SymbolSize=12&Outline=FF0000", true},
    {"/31/31/0/0/0", "SymbolId=4&SymbolSize=20", true},
    {"/40/40/0/128/0", "LineType=Hatch&HatchType=5&HatchSpacing=8", false},
    {"/40/30/0/0/0", "LineType=Hatch&HatchType=1&LineWidth=2&LineStyle=xx%20", false},
    {"/30/40/0/0/0", "LineType=Hatch&HatchType=2&HatchSpacing=6&LineStyle=xxxx%20%20", false},
    {"/60/20/200/0/0", "LineType=ZigZag&LineWidth=2&LineStyle=xxx%20%20", false},
    {"/20/40/200/0/0", "LineType=ZigZag&LineStyle=xx%20", false},
    {"/32/32/200/0/0", "SymbolId=5&Outline=000080&Corner=FF00FF", false},
    {"/32/32/0/0/0", "SymbolId=2", false},
    {"/32/32/0/0/0", "SymbolId=6&SymbolSize=20", false},
    {"/32/24/0/0/0", "SymbolId=3&BgColor=FFEEDD", false},
};

/* The body of an image reply of the given type, or "" (with a failure). */
std::string ImageBody(const RunResult &sRun, const std::string &osType)
{
    const std::string osHeader = ImageReplyHeader(osType.c_str());
    EXPECT_EQ(sRun.nExitStatus, 0) << sRun.osStdout.substr(0, 300);
    EXPECT_EQ(sRun.osStdout.rfind(osHeader, 0), 0u) << sRun.osStdout.substr(0, 120);
    return sRun.osStdout.rfind(osHeader, 0) == 0 ? sRun.osStdout.substr(osHeader.size()) : "";
}

/* What a reader sees of an image, with its size. */
struct Seen
{
    int nWidth = 0, nHeight = 0;
    std::vector<int> anColours;
};

Seen SeeImage(gdImagePtr hImage)
{
    Seen sSeen;
    if (hImage == nullptr)
        return sSeen;
    sSeen = {gdImageSX(hImage), gdImageSY(hImage), SeenColours(hImage)};
    gdImageDestroy(hImage);
    return sSeen;
}

Seen RequestImage(const FormatCase &sCase, const std::string &osExtra, const std::string &osType)
{
    const std::string osQuery =
        std::string(sCase.pszQuery) + (*sCase.pszQuery && !osExtra.empty() ? "&" : "") + osExtra;
    const std::string osBody =
        ImageBody(RunProgram(SWATCH_EXE, {}, CgiGet(sCase.pszPath, osQuery)), osType);
    void *pData = const_cast<char *>(osBody.data());
    const int nSize = static_cast<int>(osBody.size());
    return SeeImage(osType == "image/png" ? gdImageCreateFromPngPtr(nSize, pData)
                                          : gdImageCreateFromGifPtr(nSize, pData));
}

/* Each pixel of the image made an s x s block. */
Seen Enlarged(const Seen &sSeen, int s)
{
    Seen sBig{sSeen.nWidth * s, sSeen.nHeight * s, {}};
    for (int y = 0; y < sBig.nHeight; y++)
        for (int x = 0; x < sBig.nWidth; x++)
            sBig.anColours.push_back(sSeen.anColours[(y / s) * sSeen.nWidth + x / s]);
    return sBig;
}

/* The share of pixels on which two images of one size agree. */
double Agreement(const Seen &a, const Seen &b)
{
    if (a.anColours.size() != b.anColours.size() || a.anColours.empty())
        return 0;
    size_t nSame = 0;
    for (size_t i = 0; i < a.anColours.size(); i++)
        nSame += a.anColours[i] == b.anColours[i];
    return static_cast<double>(nSame) / static_cast<double>(a.anColours.size());
}

} // namespace

TEST(SwatchFormats, PngAndScaledSwatchesFollowTheGif)
{
    double dfWorst = 1;
    for (const FormatCase &sCase : asFormatCases)
    {
        SCOPED_TRACE(std::string(sCase.pszPath) + "?" + sCase.pszQuery);
        const Seen sGif = RequestImage(sCase, "", "image/gif");
        ASSERT_FALSE(sGif.anColours.empty());

        // PNG: the same pixels, colours and transparency.
        const Seen sPng = RequestImage(sCase, "Format=png", "image/png");
        EXPECT_EQ(sPng.nWidth, sGif.nWidth);
        EXPECT_EQ(sPng.nHeight, sGif.nHeight);
        EXPECT_TRUE(sPng.anColours == sGif.anColours);

        for (int s = 2; s <= 4; s++)
        {
            SCOPED_TRACE("Scale=" + std::to_string(s));
            const Seen sScaled = RequestImage(sCase, "Scale=" + std::to_string(s), "image/gif");
            const Seen sBlocks = Enlarged(sGif, s);
            ASSERT_EQ(sScaled.nWidth, sGif.nWidth * s);
            ASSERT_EQ(sScaled.nHeight, sGif.nHeight * s);
            if (sCase.bAxisAligned)
            {
                EXPECT_TRUE(sScaled.anColours == sBlocks.anColours);
                continue;
            }
            // Drawn finer, not enlarged, yet block by block the same swatch.
            const double dfAgreement = Agreement(sScaled, sBlocks);
            dfWorst = std::min(dfWorst, dfAgreement);
            EXPECT_GE(dfAgreement, 0.90);
            EXPECT_LT(dfAgreement, 1.0);
        }
        // The scaled PNG is the scaled GIF.
        EXPECT_TRUE(RequestImage(sCase, "Scale=2&Format=png", "image/png").anColours ==
                    RequestImage(sCase, "Scale=2", "image/gif").anColours);
    }
    printf("Worst agreement of a slanted scaled swatch with the enlarged GIF: %.3f\n", dfWorst);
}

TEST(SwatchFormats, ScaledDashesStaySideBySide)
{
    // Two falling dashed diagonals, y - x = 8 and y - x = -5; the second
    // starts above the swatch, so GD clips it before its pattern starts.
    // At scale s each is s lines side by side, each clipped on its own: a
    // dash character still covers the s columns of its 1x column in every
    // one of them, so the columns that hold ink are the 1x ink columns,
    // line by line (away from the swatch's outer ring, where the ends of
    // the s lines may reach into the next block).
    const FormatCase sCase = {"/20/20/0/0/0",
                              "LineType=Hatch&HatchType=2&HatchSpacing=12&LineStyle=xx%20%20", false};
    const Seen sGif = RequestImage(sCase, "", "image/gif");
    // Column x of line e, away from the outer ring.
    const auto inside = [](int e, int x) { return x >= 1 && x <= 18 && x + e >= 1 && x + e <= 18; };
    std::map<int, std::set<int>> oExpected;
    for (int y = 0; y < 20; y++)
        for (int x = 0; x < 20; x++)
            if (inside(y - x, x) && sGif.anColours[y * 20 + x] == kBlack)
                oExpected[y - x].insert(x);
    ASSERT_EQ(oExpected.size(), 2u);
    for (int s = 2; s <= 4; s++)
    {
        SCOPED_TRACE("Scale=" + std::to_string(s));
        const Seen sScaled = RequestImage(sCase, "Scale=" + std::to_string(s), "image/gif");
        ASSERT_EQ(sScaled.nWidth, 20 * s);
        std::map<int, std::set<int>> oFound;
        for (int y = 0; y < 20 * s; y++)
            for (int x = 0; x < 20 * s; x++)
                if (sScaled.anColours[y * 20 * s + x] == kBlack)
                {
                    // The line of a pixel: the s lines of 1x line e lie from
                    // y - x = e * s - (s - 1) / 2 on.
                    const int v = y - x + (s - 1) / 2;
                    const int e = v >= 0 ? v / s : -((s - 1 - v) / s);
                    if (inside(e, x / s))
                        oFound[e].insert(x / s);
                }
        EXPECT_EQ(oFound, oExpected);
    }
}

TEST(SwatchFormats, SvgRenderedByLibrsvgMatchesTheGif)
{
    if (system("command -v rsvg-convert >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "rsvg-convert is missing: apt-get install librsvg2-bin";
    double dfWorst = 1;
    for (const FormatCase &sCase : asFormatCases)
    {
        SCOPED_TRACE(std::string(sCase.pszPath) + "?" + sCase.pszQuery);
        const Seen sGif = RequestImage(sCase, "", "image/gif");
        for (const char *pszScale : {"", "&Scale=3"})
        {
            // An SVG is in swatch pixels whatever the scale asked for.
            const std::string osSvg = ImageBody(
                RunProgram(SWATCH_EXE, {},
                           CgiGet(sCase.pszPath, std::string(sCase.pszQuery) + "&Format=svg" + pszScale)),
                "image/svg+xml");
            EXPECT_EQ(osSvg.find("<script"), std::string::npos);
            const RunResult sRendered = RunProgram("/usr/bin/rsvg-convert", {}, {}, osSvg);
            ASSERT_EQ(sRendered.nExitStatus, 0) << sRendered.osStderr << osSvg.substr(0, 400);
            const Seen sSvg = SeeImage(gdImageCreateFromPngPtr(
                static_cast<int>(sRendered.osStdout.size()),
                const_cast<char *>(sRendered.osStdout.data())));
            ASSERT_EQ(sSvg.nWidth, sGif.nWidth);
            ASSERT_EQ(sSvg.nHeight, sGif.nHeight);
            const double dfAgreement = Agreement(sSvg, sGif);
            dfWorst = std::min(dfWorst, dfAgreement);
            EXPECT_GE(dfAgreement, 0.95);
        }
    }
    printf("Worst agreement of an SVG rendered at 1x with the GIF: %.3f\n", dfWorst);
}

TEST(SwatchFormats, SvgBandScaledDownIsAsDarkAsTheBand)
{
    // Drawn row by row, an 8-row band scaled to a quarter was four quarter-
    // pixel strokes a device row, antialiased one over another to 68% ink.
    if (system("command -v rsvg-convert >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "rsvg-convert is missing: apt-get install librsvg2-bin";
    // Scaled down, a swatch is drawn antialiased, as the SVG legend draws it.
    std::string osSvg =
        ImageBody(RunProgram(SWATCH_EXE, {}, CgiGet("/40/20/0/0/0", "LineWidth=8&Format=svg")),
                  "image/svg+xml");
    const std::string osCrisp = " shape-rendering=\"crispEdges\"";
    ASSERT_NE(osSvg.find(osCrisp), std::string::npos);
    osSvg.erase(osSvg.find(osCrisp), osCrisp.size());
    const RunResult sRendered =
        RunProgram("/usr/bin/rsvg-convert", {"--zoom", "0.25", "--background-color", "white"}, {}, osSvg);
    ASSERT_EQ(sRendered.nExitStatus, 0) << sRendered.osStderr;
    const Seen sSeen = SeeImage(gdImageCreateFromPngPtr(static_cast<int>(sRendered.osStdout.size()),
                                                        const_cast<char *>(sRendered.osStdout.data())));
    ASSERT_EQ(sSeen.nWidth, 10);
    ASSERT_EQ(sSeen.nHeight, 5);
    // Rows 6-13 of 20 cover device row 2 (rows 8-11) whole.
    for (int x = 0; x < sSeen.nWidth; x++)
        EXPECT_EQ(sSeen.anColours[2 * sSeen.nWidth + x], 0x000000) << "column " << x;
}

TEST(SwatchErrors, FormatAndScaleOutsideWhatIsOffered)
{
    const struct
    {
        const char *pszQuery;
        const char *pszMessage;
    } asCases[] = {
        {"Format=jpeg", "ERROR 5: Format must be gif, png or svg.\n"},
        {"Format=gif%20", "ERROR 5: Format must be gif, png or svg.\n"},
        {"Format=svgz&Scale=2", "ERROR 5: Format must be gif, png or svg.\n"},
        {"Scale=0", "ERROR 5: Scale must be 1, 2, 3 or 4.\n"},
        {"Scale=5", "ERROR 5: Scale must be 1, 2, 3 or 4.\n"},
        {"Scale=2.5", "ERROR 5: Scale must be 1, 2, 3 or 4.\n"},
        {"Scale=-1", "ERROR 5: Scale must be 1, 2, 3 or 4.\n"},
        {"Scale=%202", "ERROR 5: Scale must be 1, 2, 3 or 4.\n"},
        {"Scale=02&Format=png", "ERROR 5: Scale must be 1, 2, 3 or 4.\n"},
    };
    for (const auto &sCase : asCases)
    {
        SCOPED_TRACE(sCase.pszQuery);
        const RunResult sRun = RunProgram(SWATCH_EXE, {}, CgiGet("/40/20", sCase.pszQuery));
        EXPECT_EQ(sRun.nExitStatus, 1);
        EXPECT_EQ(sRun.osStdout, kRefusedHeader + sCase.pszMessage);
    }
    // Letter case does not matter, as for the other keywords, and Scale=1
    // is the plain swatch, byte for byte.
    const RunResult sPlain = RunProgram(SWATCH_EXE, {}, CgiGet("/40/20", "SymbolId=5"));
    EXPECT_EQ(RunProgram(SWATCH_EXE, {}, CgiGet("/40/20", "SymbolId=5&Scale=1&Format=GIF")).osStdout,
              sPlain.osStdout);
    EXPECT_EQ(sPlain.osStdout.rfind(kImageHeader + "GIF89a", 0), 0u);
    EXPECT_EQ(RunProgram(SWATCH_EXE, {}, CgiGet("/40/20", "Format=Png")).nExitStatus, 0);
}

TEST(SwatchErrors, SizeBeyondThePixelLimit)
{
    // The limits hold for the image drawn, a scaled one at its scale.
    // (/2147483647/2147483647 at scale 4 once multiplied its sides past 64
    // bits, which UBSan stops at.)
    for (const char *pszPath : {"/8193/8192", "/2147483647/2147483647", "/99999999999/3",
                                "/2147483647/2147483647?Scale=4",
                                "/65536/2", "/2/65536", "/4097/4096?Scale=2",
                                "/16384/2?Scale=4&Format=png", "/2048/2049?Scale=4"})
    {
        SCOPED_TRACE(pszPath);
        const std::string osPath = pszPath;
        const size_t nQuery = osPath.find('?');
        const RunResult sRun =
            RunProgram(SWATCH_EXE, {},
                       CgiGet(osPath.substr(0, nQuery),
                           nQuery == std::string::npos ? "" : osPath.substr(nQuery + 1)));
        EXPECT_EQ(sRun.nExitStatus, 1);
        EXPECT_EQ(sRun.osStdout.rfind(kRefusedHeader + "ERROR 5: A swatch of ", 0), 0u)
            << sRun.osStdout;
        EXPECT_EQ(sRun.osStdout.find("GIF8"), std::string::npos); // no image data
        EXPECT_EQ(sRun.osStdout.back(), '\n');
    }
}

TEST(SwatchErrors, ZigZagSvgIsBoundedByItsGif)
{
    // The zig-zag of a long dash pattern repeated its whole pattern for
    // every stroke of another slope: 666 MB of SVG for a GIF of 174 KB. An
    // SVG is at most 8 times its GIF and 64 KiB, or refused unsent, with a
    // word about PNG.
    const std::string osDashes = "LineStyle=" + [] {
        std::string osPattern;
        for (int i = 0; i < 3900; i++)
            osPattern += "x+";
        return osPattern;
    }();
    for (const char *pszStyle : {"LineType=ZigZag&LineWidth=8192", "LineType=Hatch&HatchType=5&HatchSpacing=1"})
    {
        SCOPED_TRACE(pszStyle);
        const std::string osQuery = std::string(pszStyle) + "&" + osDashes;
        const RunResult sGif = RunProgram(SWATCH_EXE, {}, CgiGet("/8192/8192", osQuery));
        const RunResult sSvg = RunProgram(SWATCH_EXE, {}, CgiGet("/8192/8192", osQuery + "&Format=svg"));
        ASSERT_EQ(sGif.nExitStatus, 0);
        const size_t nBound = 8 * (sGif.osStdout.size() - kImageHeader.size()) + 64 * 1024;
        if (sSvg.nExitStatus == 0)
            EXPECT_LE(sSvg.osStdout.size() - ImageReplyHeader("image/svg+xml").size(), nBound);
        else
            EXPECT_EQ(sSvg.osStdout.rfind(kRefusedHeader + "ERROR 5: ", 0), 0u) << sSvg.osStdout;
        EXPECT_NE(sSvg.osStdout.find(sSvg.nExitStatus == 0 ? "</svg>" : "Format=png"),
                  std::string::npos);
        printf("%s: GIF %zu bytes, SVG reply %zu bytes\n", pszStyle, sGif.osStdout.size(),
               sSvg.osStdout.size());
    }
}

TEST(SwatchErrors, OutOfMemoryOnTheSvgRoadIsTheErrorPage)
{
    // Memory runs out in the C++ library (the SVG document grows): the
    // error page and status 1, not an abort without a reply.
    if (kSanitized)
        GTEST_SKIP() << "AddressSanitizer cannot run under a limited address space";
    const long long nAtRest = ProgramAddressSpace(SWATCH_EXE);
    ASSERT_GT(nAtRest, 0);
    const std::string osLimitKb = std::to_string((nAtRest + (10 << 20)) / 1024);
    const RunResult sRun = RunProgram(
        "/bin/sh", {"-c", "ulimit -v " + osLimitKb + "; exec " SWATCH_EXE},
        CgiGet("/65535/1024", "LineType=Hatch&HatchType=5&HatchSpacing=1&Format=svg"));
    EXPECT_EQ(sRun.nExitStatus, 1);
    EXPECT_EQ(sRun.osStdout, kFailedHeader + "ERROR 2: Out of memory while drawing the swatch.\n");
}

TEST(SwatchErrors, ClosedStandardOutput)
{
    // The switch to binary output fails without an output descriptor; the
    // error ends the process with status 1 and no image.
    const std::string osShell = "exec " SWATCH_EXE " >&-";
    const RunResult sRun = RunProgram("/bin/sh", {"-c", osShell}, CgiGet("/4/4"));
    EXPECT_EQ(sRun.nExitStatus, 1);
}

TEST(SwatchErrors, TerminationSignalEndsAWaitingRequest)
{
    // A POST whose body never comes: the program waits on stdin until the
    // server gives up and sends SIGTERM, which must end it.
    const std::string osCommand = "sleep 3 | env PATH_INFO=/4/4 SCRIPT_NAME=/x "
                                  "REQUEST_METHOD=POST CONTENT_LENGTH=10 " SWATCH_EXE
                                  " & pid=$!; sleep 0.5; kill -TERM $pid; wait $pid; "
                                  "echo status=$?";
    const RunResult sRun = RunProgram("/bin/bash", {"-c", osCommand}, {{"PATH", "/usr/bin:/bin"}});
    EXPECT_NE(sRun.osStdout.find("status=143"), std::string::npos) << sRun.osStdout << sRun.osStderr;
    EXPECT_LE(sRun.dfSeconds, 10.0);
}

TEST(SwatchBanner, EmptyPathGivesTheBanner)
{
    auto oEnv = CgiGet("");
    const RunResult sRun = RunProgram(SWATCH_EXE, {}, oEnv);
    EXPECT_EQ(sRun.nExitStatus, 1);
    const std::string &osOut = sRun.osStdout;
    EXPECT_EQ(osOut.rfind(std::string(kBannerReplyHeader) + "VXM Swatchery\n\n", 0), 0u) << osOut;
    EXPECT_NE(osOut.find("\n\nUses the GD (gd1.3) library from "), std::string::npos);
    EXPECT_NE(osOut.find(")\n\n$Revision: 1.6 $  $Date: 2002/02/18 16:30:59 $ (Built "),
              std::string::npos);
    EXPECT_EQ(osOut.back(), '\n');
    EXPECT_EQ(sRun.osStderr, "");
}

/* Replay of the capture file, read when SCRIPT_NAME, PATH_INFO and
 * QUERY_STRING are all empty. The tests own the file for their duration. */
class SwatchReplay : public ::testing::Test
{
  protected:
    static constexpr const char *kFile = ScopedCaptureFile::kFile;

    void SetUp() override
    {
        if (!m_oCaptureFile.IsUsable())
            GTEST_SKIP() << ScopedCaptureFile::kWhyNot;
    }

    ScopedCaptureFile m_oCaptureFile;
};

TEST_F(SwatchReplay, CapturedRequestIsAnswered)
{
    WriteFile(kFile, "Color=00FF00\nOutline=0000FF\n"
                     "--- end params/start env vars ---\n"
                     "SCRIPT_NAME=/cgi-bin/swatch\n"
                     "PATH_INFO=/4/3\n"
                     "QUERY_STRING=Color=00FF00&Outline=0000FF\n");
    Swatch s;
    RunForImage(s, {});
    EXPECT_EQ(s.Palette(3), (std::vector<int>{kWhite, 0x0000FF, 0x00FF00}));
    EXPECT_EQ(s.Rows(), (std::vector<std::string>{"1111", "1221", "1111"}));
}

TEST_F(SwatchReplay, CaptureFileIsIgnoredWhenARequestIsPresent)
{
    WriteFile(kFile, "--- end params/start env vars ---\nPATH_INFO=/4/3\n");
    auto oEnv = CgiGet("");
    const RunResult sRun = RunProgram(SWATCH_EXE, {}, oEnv); // SCRIPT_NAME is set
    EXPECT_EQ(sRun.nExitStatus, 1);
    EXPECT_EQ(sRun.osStdout.rfind(kBannerReplyHeader, 0), 0u);
}

TEST_F(SwatchReplay, MissingEmptyOrPathlessFileGivesTheBanner)
{
    // Missing: CPL's default handler reports the failed open on stderr.
    RunResult sRun = RunProgram(SWATCH_EXE, {}, {});
    EXPECT_EQ(sRun.nExitStatus, 1);
    EXPECT_EQ(sRun.osStdout.rfind(std::string(kBannerReplyHeader) + "VXM Swatchery", 0), 0u);
    EXPECT_NE(sRun.osStderr.find("ERROR 4: "), std::string::npos) << sRun.osStderr;
    EXPECT_NE(sRun.osStderr.find(kFile), std::string::npos);

    // Without a separator the PATH_INFO line is a parameter, not a variable.
    for (const char *pszContent : {"", "PATH_INFO=/4/4\nColor=00FF00\n"})
    {
        SCOPED_TRACE(pszContent);
        WriteFile(kFile, pszContent);
        sRun = RunProgram(SWATCH_EXE, {}, {});
        EXPECT_EQ(sRun.nExitStatus, 1);
        EXPECT_EQ(sRun.osStdout.rfind(kBannerReplyHeader, 0), 0u);
        EXPECT_EQ(sRun.osStderr, "");
    }
}

TEST_F(SwatchReplay, HostileCaptureFiles)
{
    const std::string osSep = "--- end params/start env vars ---";
    const struct
    {
        const char *pszName;
        std::string osContent;
        bool bImage; /* else the banner page */
    } asCases[] = {
        {"900 KiB line", "LineStyle=" + std::string(900 << 10, 'x') + "\n" + osSep + "\nPATH_INFO=/30/10\n",
         true},
        {"900 KiB variable", osSep + "\nPATH_INFO=/30/10" + std::string(900 << 10, '/') + "\n", true},
        {"CR LF", "Color=00FF00\r\n" + osSep + "\r\nPATH_INFO=/30/10\r\n", true},
        {"binary bytes", std::string("\x01\xff=\x00\xfe\n\x80\x81\n", 9) + osSep +
                             "\nPATH_INFO=/30/10\n\xff\xfe\x00\x01\n",
         true},
        {"no line end at all", osSep + "\nPATH_INFO=/30/10", true},
        {"no separator", "PATH_INFO=/30/10\n", false},
        {"only zero bytes", std::string(4096, '\0'), false},
        // A zero byte ends its line: the separator line reads as empty.
        {"zero byte before the separator", std::string("a=1\n\0", 5) + osSep + "\nPATH_INFO=/30/10\n",
         false},
    };
    for (const auto &sCase : asCases)
    {
        SCOPED_TRACE(sCase.pszName);
        WriteFile(kFile, sCase.osContent);
        const RunResult sRun = RunProgram(SWATCH_EXE, {}, {});
        if (sCase.bImage)
        {
            EXPECT_EQ(sRun.nExitStatus, 0);
            GifInfo sGif;
            ASSERT_TRUE(ParseGif(sRun.osStdout.substr(kImageHeader.size()), sGif));
            EXPECT_EQ(sGif.nWidth, 30);
            EXPECT_EQ(sGif.nHeight, 10);
        }
        else
        {
            EXPECT_EQ(sRun.nExitStatus, 1);
            EXPECT_EQ(sRun.osStdout.rfind(kBannerReplyHeader, 0), 0u);
        }
        EXPECT_LE(sRun.dfSeconds, 5.0 * kSanitizerSlowdown);
    }
}

/* Whatever stands in the capture file's place that is no saved request is
 * reported on standard error, as a missing file is, and the banner page
 * follows: at once, without blocking, in bounded memory. */
TEST_F(SwatchReplay, CaptureFileThatIsNoSavedRequest)
{
    const std::string osSaved = "--- end params/start env vars ---\nPATH_INFO=/4/4\n";
    const struct
    {
        const char *pszName;
        std::function<int()> fnMake;
        const char *pszMessage;
    } asCases[] = {
        {"FIFO without a writer", [] { return mkfifo(kFile, 0644); }, "is not a regular file."},
        {"link to /dev/zero", [] { return symlink("/dev/zero", kFile); }, "is not a regular file."},
        {"link to /dev/urandom", [] { return symlink("/dev/urandom", kFile); },
         "is not a regular file."},
        {"folder", [] { return mkdir(kFile, 0755); }, "is not a regular file."},
        {"file past the limit",
         [&] {
             WriteFile(kFile, osSaved + std::string(kMaxCaptureFileBytes, '\n'));
             return 0;
         },
         "is larger than 1048576 bytes, more than any saved request."},
        // A regular file that says it is empty and goes on far past the
        // limit: what is read is bounded, not what the size says.
        {"link to /proc/self/pagemap", [] { return symlink("/proc/self/pagemap", kFile); },
         "is larger than 1048576 bytes, more than any saved request."},
    };
    for (const auto &sCase : asCases)
    {
        SCOPED_TRACE(sCase.pszName);
        ASSERT_EQ(sCase.fnMake(), 0);
        const RunResult sRun = RunProgram(SWATCH_EXE, {}, {});
        remove(kFile);
        EXPECT_EQ(sRun.nExitStatus, 1);
        EXPECT_EQ(sRun.osStdout.rfind(kBannerReplyHeader, 0), 0u) << sRun.osStdout.substr(0, 100);
        EXPECT_EQ(sRun.osStderr,
                  std::string("ERROR 4: Capture file ") + kFile + " " + sCase.pszMessage + "\n");
        EXPECT_LE(sRun.dfSeconds, 5.0 * kSanitizerSlowdown);
        EXPECT_LE(sRun.nMaxRssKb, 256 * 1024);
    }
    // A saved request of the largest size still plays.
    WriteFile(kFile, osSaved + std::string(kMaxCaptureFileBytes - osSaved.size(), '\n'));
    EXPECT_EQ(RunProgram(SWATCH_EXE, {}, {}).nExitStatus, 0);
}

TEST_F(SwatchReplay, CaptureFileThatCannotBeRead)
{
    RunResult sRun;

    // A file without read permission, read by an unprivileged user: CPL
    // reports the failed open on stderr, then the banner page.
    WriteFile(kFile, "--- end params/start env vars ---\nPATH_INFO=/4/4\n");
    chmod(kFile, 0);
    if (geteuid() != 0 || system("command -v setpriv >/dev/null") != 0)
        GTEST_SKIP() << "needs root and setpriv to run the program as another user";
    sRun = RunProgram("/usr/bin/setpriv",
                      {"--reuid=nobody", "--regid=nogroup", "--clear-groups", SWATCH_EXE}, {});
    EXPECT_EQ(sRun.nExitStatus, 1);
    EXPECT_EQ(sRun.osStdout.rfind(kBannerReplyHeader, 0), 0u) << sRun.osStdout << sRun.osStderr;
    EXPECT_NE(sRun.osStderr.find("ERROR 4: "), std::string::npos) << sRun.osStderr;
}
