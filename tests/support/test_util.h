/* Helpers shared by the tests: environment and files set up for one test,
 * running the swatch program, and reading GIF replies. */
#ifndef SWATCH_TEST_UTIL_H
#define SWATCH_TEST_UTIL_H

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gd.h>

#include "inprocessrequest.h"
#include "replies.h"
#include "vxmcgi.h"

namespace swatchtest
{

/* The headers of the replies, as the program defines them (their bytes are
 * checked once, in test_replies.cpp): a GIF, the banner page, a refused
 * request, a body too long, and a failure of the program's own. */
inline const std::string kImageHeader = ImageReplyHeader("image/gif");
/* The start of the banner page: its header and the title line. */
inline const std::string kBannerStart = std::string(kBannerReplyHeader) + "VXM Swatchery\n";
inline const std::string kRefusedHeader = ErrorReplyHeader(CPLE_IllegalArg);
inline const std::string kTooLongHeader = ErrorReplyHeader(VXMCGIE_BodyTooLarge);
inline const std::string kFailedHeader = ErrorReplyHeader(CPLE_OutOfMemory);

/* Builds with AddressSanitizer and UndefinedBehaviorSanitizer run slower,
 * take more memory, and cannot run under a tight address-space limit. */
#ifdef SWATCH_SANITIZED
constexpr bool kSanitized = true;
constexpr double kSanitizerSlowdown = 6.0;
#else
constexpr bool kSanitized = false;
constexpr double kSanitizerSlowdown = 1.0;
#endif

/* Sets (or, with nullopt, unsets) environment variables and restores the
 * previous values when it goes out of scope. */
class ScopedEnv
{
  public:
    ScopedEnv() = default;
    explicit ScopedEnv(const std::map<std::string, std::optional<std::string>> &oVars)
    {
        for (const auto &oVar : oVars)
            Set(oVar.first, oVar.second);
    }
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

    void Set(const std::string &osName, const std::optional<std::string> &osValue);

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_aoSaved;
};

/* The CGI variables a server sets when it runs the swatch program for a
 * GET of /cgi-bin/swatch followed by the path, with the query string. */
std::map<std::string, std::string> CgiGet(const std::string &osPath, const std::string &osQuery = "");
/* The same for a POST of the body (its CONTENT_LENGTH; a test may set
 * another). */
std::map<std::string, std::string> CgiPost(const std::string &osPath, const std::string &osBody);

/* Unsets every CGI variable the request library reads. */
void ClearCgiEnvironment(ScopedEnv &oEnv);

/* A file in a private temporary folder, removed with the folder. */
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    std::string Path(const std::string &osName) const { return m_osDir + "/" + osName; }

  private:
    std::string m_osDir;
};

void WriteFile(const std::string &osPath, const std::string &osContent);
std::string ReadFile(const std::string &osPath);

/* Makes stdin read the given bytes until the object goes out of scope, the
 * way a request answered in process reads its body. */
class ScopedStdin
{
  public:
    explicit ScopedStdin(const std::string &osContent)
        : m_osContent(osContent), m_oBody(m_osContent.data(), m_osContent.size())
    {
    }

  private:
    const std::string m_osContent;
    ScopedRequestBody m_oBody;
};

/* The capture file (/temp/cgienv.env) in a /temp of the test's own, which
 * tests/private_temp.sh gives the test program: the machine's file is never
 * touched. Not usable (the test skips) when the program runs without it.
 * The file is removed when the guard ends. */
class ScopedCaptureFile
{
  public:
    static constexpr const char *kDir = "/temp";
    static constexpr const char *kFile = "/temp/cgienv.env";
    static constexpr const char *kWhyNot =
        "the capture file is only written in a /temp of the test's own: run the test through "
        "tests/private_temp.sh, as root (ctest does)";

    ScopedCaptureFile();
    ~ScopedCaptureFile();
    bool IsUsable() const { return m_bUsable; }
    ScopedCaptureFile(const ScopedCaptureFile &) = delete;
    ScopedCaptureFile &operator=(const ScopedCaptureFile &) = delete;

  private:
    bool m_bUsable = false;
};

/* Result of running a program. */
struct RunResult
{
    int nExitStatus = -1; /* -1 when killed by a signal */
    int nSignal = 0;
    std::string osStdout;
    std::string osStderr;
    double dfSeconds = 0;  /* wall-clock time of the run */
    long nMaxRssKb = 0;    /* peak resident memory of the program */
};

/* Runs the program with the given environment (nothing else is inherited
 * but sanitizer settings),
 * the given bytes on stdin, in the given working directory. */
RunResult RunProgram(const std::string &osProgram, const std::vector<std::string> &aosArgs,
                     const std::map<std::string, std::string> &oEnv,
                     const std::string &osStdin = "", const std::string &osWorkDir = "");

/* A process started in the background; stopped with SIGTERM and reaped
 * when the object goes out of scope. Its output goes to the given file. */
class BackgroundProcess
{
  public:
    BackgroundProcess(const std::string &osProgram, const std::vector<std::string> &aosArgs,
                      const std::map<std::string, std::string> &oExtraEnv,
                      const std::string &osLogPath);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess &) = delete;
    BackgroundProcess &operator=(const BackgroundProcess &) = delete;
    bool Running();
    /* Sends SIGTERM and waits; returns the exit status (-1 for a signal). */
    int Stop();
    int Pid() const { return m_nPid; }

  private:
    int m_nPid = -1;
    int m_nStatus = -1;
};

/* The address space the program maps once it has started (as a FastCGI
 * worker at rest), in bytes; 0 when it could not be told. Tests that run it
 * out of memory give it this much and a little more. */
long long ProgramAddressSpace(const std::string &osProgram);

/* A TCP port on 127.0.0.1 that was free a moment ago. */
int FreeLoopbackPort();
/* True once something accepts connections on 127.0.0.1:port. */
bool WaitForPort(int nPort, int nTimeoutMs);

struct HttpResponse
{
    int nStatus = 0;
    std::map<std::string, std::string> oHeaders; /* names in lower case */
    std::string osBody;
};
/* One HTTP/1.0 request to 127.0.0.1:port; nStatus 0 when it failed. */
HttpResponse HttpRequest(int nPort, const std::string &osMethod, const std::string &osTarget,
                         const std::string &osBody = "",
                         const std::string &osContentType = "");

/* Runs fnChild in a forked process whose stdout goes to the result; the
 * child's exit status is fnChild's result. Time and memory are measured as
 * for RunProgram. */
RunResult RunForked(const std::function<int()> &fnChild);

/* Splits a CGI reply into header lines text and body at the first empty
 * line ("\n\n"). */
bool SplitReply(const std::string &osReply, std::string &osHeader, std::string &osBody);

/* What a GIF file says about itself, read from its bytes. */
struct GifInfo
{
    std::string osSignature;        /* "GIF87a" or "GIF89a" */
    int nWidth = 0, nHeight = 0;    /* logical screen */
    std::vector<int> anPalette;     /* 0xRRGGBB, the whole global table */
    int nTransparent = -1;          /* from the graphic control extension */
    bool bInterlaced = false;
};
bool ParseGif(const std::string &osGif, GifInfo &sInfo);

/* Decodes a GIF with GD; the caller destroys the image. */
gdImagePtr DecodeGif(const std::string &osGif);

/* The image's palette indexes as rows of characters, '0' + index, for
 * readable comparisons. */
std::vector<std::string> PixelRows(gdImagePtr hImage);

/* What a reader sees of each pixel, row by row: 0xRRGGBB, or -1 where the
 * pixel is transparent (palette or true-colour image). */
std::vector<int> SeenColours(gdImagePtr hImage);

} // namespace swatchtest

#endif
