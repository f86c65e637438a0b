/* The swatch program run as a web server runs it: CGI variables in the
 * environment, a POST body on stdin, the reply read back and decoded. */
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"
#include "vxmcgi.h"

using namespace swatchtest;

namespace
{

const char kBannerHeader[] = "Content-Type: text/plain\n\n";

constexpr int kWhite = 0xFFFFFF;
constexpr int kBlack = 0x000000;

/* A GET request for the path and query string. */
std::map<std::string, std::string> Get(const std::string &osPath, const std::string &osQuery = "")
{
    return {{"GATEWAY_INTERFACE", "CGI/1.1"},
            {"REQUEST_METHOD", "GET"},
            {"SCRIPT_NAME", "/cgi-bin/swatch"},
            {"PATH_INFO", osPath},
            {"QUERY_STRING", osQuery}};
}

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

} // namespace

TEST(SwatchImage, SingleSlashIsFiftyByFiftyBlack)
{
    Swatch s;
    RunForImage(s, Get("/"));
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
        RunForImage(s, Get(sCase.pszPath));
        EXPECT_EQ(s.sGif.nWidth, sCase.nWidth);
        EXPECT_EQ(s.sGif.nHeight, sCase.nHeight);
        EXPECT_EQ(s.Palette(2), (std::vector<int>{kWhite, sCase.nColor}));
        // The flat patch covers every pixel, narrow swatches included.
        EXPECT_EQ(s.Rows(), Filled(sCase.nWidth, sCase.nHeight, '1'));
    }
}

TEST(SwatchImage, ColorParameter)
{
    const struct
    {
        const char *pszQuery;
        int nColor;
    } asCases[] = {
        {"Color=00FF00", 0x00FF00},   {"Color=%2300FF00", kBlack}, {"Color=0x00ff00", 0x00FF00},
        {"Color=+00FF00", 0x00FF00},  {"Color=1000000FF", kWhite}, {"Color=100FF00", 0x00FF00},
        {"Color=-1", kWhite},         {"Color=ff8000", 0xFF8000},  {"Color=0XFF8000", 0xFF8000},
        {"Color=zz", kBlack},         {"color=0000ff", 0x0000FF},  {"Color=12g", 0x000012},
        {"Color=--1", kBlack},        {"Color=", 0xFF0000},
    };
    for (const auto &sCase : asCases)
    {
        SCOPED_TRACE(sCase.pszQuery);
        Swatch s;
        RunForImage(s, Get("/4/4/255/0/0", sCase.pszQuery));
        EXPECT_EQ(s.Palette(2), (std::vector<int>{kWhite, sCase.nColor}));
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
        RunForImage(s, Get("/6/5", sCase.pszQuery));
        EXPECT_EQ(s.Palette(sCase.anPalette.size()), sCase.anPalette);
        EXPECT_EQ(s.sGif.nTransparent, sCase.nTransparent);
        EXPECT_EQ(s.sGif.osSignature, sCase.pszSignature);
    }
}

TEST(SwatchImage, FrameOverTheSample)
{
    Swatch s;
    RunForImage(s, Get("/5/4", "Outline=0000FF&Corner=FF0000"));
    EXPECT_EQ(s.Rows(), (std::vector<std::string>{"21112", "13331", "13331", "21112"}));

    Swatch sOutline;
    RunForImage(sOutline, Get("/4/3", "Outline=0000FF"));
    EXPECT_EQ(sOutline.Rows(), (std::vector<std::string>{"1111", "1221", "1111"}));

    Swatch sCorner;
    RunForImage(sCorner, Get("/4/3", "Corner=FF0000"));
    EXPECT_EQ(sCorner.Rows(), (std::vector<std::string>{"1221", "2222", "1221"}));
}

TEST(SwatchImage, WhichSampleIsDrawn)
{
    // Hatch parameters alone do not select the line sample.
    Swatch sFlat;
    RunForImage(sFlat, Get("/10/10", "HatchType=3&HatchSpacing=4"));
    EXPECT_EQ(sFlat.Rows(), Filled(10, 10, '1'));

    // A line parameter wins over a symbol.
    Swatch sLine;
    RunForImage(sLine, Get("/10/10", "LineWidth=1&SymbolId=1"));
    std::vector<std::string> aosBand = Filled(10, 10, '0');
    aosBand[5] = std::string(10, '1');
    EXPECT_EQ(sLine.Rows(), aosBand);

    // A hatch through the whole pipeline: the 10 x 10 horizontal example.
    Swatch sHatch;
    RunForImage(sHatch, Get("/10/10", "LineType=hatch&HatchType=3&HatchSpacing=4"));
    std::vector<std::string> aosHatch = Filled(10, 10, '0');
    aosHatch[4] = aosHatch[9] = std::string(10, '1');
    EXPECT_EQ(sHatch.Rows(), aosHatch);

    // Symbols: id 1 fills the centred square; 0, negative and non-numeric
    // ids give the flat patch; an id without a symbol leaves the background.
    Swatch sSquare;
    RunForImage(sSquare, Get("/6/6", "SymbolId=1&SymbolSize=2"));
    EXPECT_EQ(sSquare.Rows(),
              (std::vector<std::string>{"000000", "000000", "001110", "001110", "001110", "000000"}));
    for (const char *pszId : {"SymbolId=0", "SymbolId=-3", "SymbolId=abc"})
    {
        Swatch sNoSymbol;
        RunForImage(sNoSymbol, Get("/6/6", pszId));
        EXPECT_EQ(sNoSymbol.Rows(), Filled(6, 6, '1')) << pszId;
    }
    Swatch sNothing;
    RunForImage(sNothing, Get("/6/6", "SymbolId=7&Outline=0000FF"));
    EXPECT_EQ(sNothing.Rows(),
              (std::vector<std::string>{"111111", "100001", "100001", "100001", "100001", "111111"}));

    // A size that is present but not a number is 0: the centre pixel only.
    Swatch sZero;
    RunForImage(sZero, Get("/5/5", "SymbolId=1&SymbolSize=x"));
    EXPECT_EQ(sZero.Rows(), (std::vector<std::string>{"00000", "00000", "00100", "00000", "00000"}));
}

TEST(SwatchImage, PostBody)
{
    auto oEnv = Get("/4/4", "Color=FF0000");
    oEnv["REQUEST_METHOD"] = "POST";
    oEnv["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
    const std::string osBody = "Color=00FF00&BgColor=0000FF";
    oEnv["CONTENT_LENGTH"] = std::to_string(osBody.size());
    Swatch s;
    RunForImage(s, oEnv, osBody);
    EXPECT_EQ(s.Palette(2), (std::vector<int>{0x0000FF, 0x00FF00}));

    // Announced longer than sent, and beyond the range of int.
    for (const char *pszLength : {"500", "99999999999999999999"})
    {
        oEnv["CONTENT_LENGTH"] = pszLength;
        Swatch sShort;
        RunForImage(sShort, oEnv, osBody);
        EXPECT_EQ(sShort.Palette(2), (std::vector<int>{0x0000FF, 0x00FF00})) << pszLength;
    }
}

TEST(SwatchImage, SizeAtThePixelLimit)
{
    Swatch s;
    RunForImage(s, Get("/8192/8192"));
    EXPECT_EQ(s.sGif.nWidth, 8192);
    EXPECT_EQ(s.sGif.nHeight, 8192);
    EXPECT_EQ(gdImageGetPixel(s.hImage, 8191, 8191), 1);
}

TEST(SwatchImage, LongestSideAGifHolds)
{
    // A GIF stores its sides in 16 bits: 65535 is the longest that fits.
    Swatch s;
    RunForImage(s, Get("/65535/3", "LineWidth=1"));
    EXPECT_EQ(s.sGif.nWidth, 65535);
    EXPECT_EQ(s.sGif.nHeight, 3);
    EXPECT_EQ(gdImageGetPixel(s.hImage, 65534, 1), 1);
    EXPECT_EQ(gdImageGetPixel(s.hImage, 65534, 0), 0);
}

TEST(SwatchErrors, SizeBeyondThePixelLimit)
{
    for (const char *pszPath : {"/8193/8192", "/2147483647/2147483647", "/99999999999/3",
                                "/65536/2", "/2/65536"})
    {
        SCOPED_TRACE(pszPath);
        const RunResult sRun = RunProgram(SWATCH_EXE, {}, Get(pszPath));
        EXPECT_EQ(sRun.nExitStatus, 1);
        EXPECT_EQ(sRun.osStdout.rfind(kRefusedHeader + "ERROR 5: A swatch of ", 0), 0u)
            << sRun.osStdout;
        EXPECT_EQ(sRun.osStdout.find("GIF8"), std::string::npos); // no image data
        EXPECT_EQ(sRun.osStdout.back(), '\n');
    }
}

TEST(SwatchErrors, ClosedStandardOutput)
{
    // The switch to binary output fails without an output descriptor; the
    // error ends the process with status 1 and no image.
    const std::string osShell = "exec " SWATCH_EXE " >&-";
    const RunResult sRun = RunProgram("/bin/sh", {"-c", osShell}, Get("/4/4"));
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
    auto oEnv = Get("");
    const RunResult sRun = RunProgram(SWATCH_EXE, {}, oEnv);
    EXPECT_EQ(sRun.nExitStatus, 1);
    const std::string &osOut = sRun.osStdout;
    EXPECT_EQ(osOut.rfind(std::string(kBannerHeader) + "VXM Swatchery\n\n", 0), 0u) << osOut;
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
            GTEST_SKIP() << ScopedCaptureFile::kDir << " is not writable";
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
    auto oEnv = Get("");
    const RunResult sRun = RunProgram(SWATCH_EXE, {}, oEnv); // SCRIPT_NAME is set
    EXPECT_EQ(sRun.nExitStatus, 1);
    EXPECT_EQ(sRun.osStdout.rfind(kBannerHeader, 0), 0u);
}

TEST_F(SwatchReplay, MissingEmptyOrPathlessFileGivesTheBanner)
{
    // Missing: CPL's default handler reports the failed open on stderr.
    RunResult sRun = RunProgram(SWATCH_EXE, {}, {});
    EXPECT_EQ(sRun.nExitStatus, 1);
    EXPECT_EQ(sRun.osStdout.rfind(std::string(kBannerHeader) + "VXM Swatchery", 0), 0u);
    EXPECT_NE(sRun.osStderr.find("ERROR 4: "), std::string::npos) << sRun.osStderr;
    EXPECT_NE(sRun.osStderr.find(kFile), std::string::npos);

    // Without a separator the PATH_INFO line is a parameter, not a variable.
    for (const char *pszContent : {"", "PATH_INFO=/4/4\nColor=00FF00\n"})
    {
        SCOPED_TRACE(pszContent);
        WriteFile(kFile, pszContent);
        sRun = RunProgram(SWATCH_EXE, {}, {});
        EXPECT_EQ(sRun.nExitStatus, 1);
        EXPECT_EQ(sRun.osStdout.rfind(kBannerHeader, 0), 0u);
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
            EXPECT_EQ(sRun.osStdout.rfind(kBannerHeader, 0), 0u);
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
    };
    for (const auto &sCase : asCases)
    {
        SCOPED_TRACE(sCase.pszName);
        ASSERT_EQ(sCase.fnMake(), 0);
        const RunResult sRun = RunProgram(SWATCH_EXE, {}, {});
        remove(kFile);
        EXPECT_EQ(sRun.nExitStatus, 1);
        EXPECT_EQ(sRun.osStdout.rfind(kBannerHeader, 0), 0u) << sRun.osStdout.substr(0, 100);
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
    EXPECT_EQ(sRun.osStdout.rfind(kBannerHeader, 0), 0u) << sRun.osStdout << sRun.osStderr;
    EXPECT_NE(sRun.osStderr.find("ERROR 4: "), std::string::npos) << sRun.osStderr;
}
