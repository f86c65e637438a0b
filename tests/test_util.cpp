#include "test_util.h"

#include "fastcgi_client.h"

#include "inprocess.h"

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdio_ext.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

namespace swatchtest
{

std::map<std::string, std::string> CgiGet(const std::string &osPath, const std::string &osQuery)
{
    return {{"GATEWAY_INTERFACE", "CGI/1.1"},
            {"REQUEST_METHOD", "GET"},
            {"SCRIPT_NAME", "/cgi-bin/swatch"},
            {"PATH_INFO", osPath},
            {"QUERY_STRING", osQuery}};
}

std::map<std::string, std::string> CgiPost(const std::string &osPath, const std::string &osBody)
{
    std::map<std::string, std::string> oVariables = CgiGet(osPath);
    oVariables["REQUEST_METHOD"] = "POST";
    oVariables["CONTENT_LENGTH"] = std::to_string(osBody.size());
    oVariables.erase("QUERY_STRING");
    return oVariables;
}

ScopedEnv::~ScopedEnv()
{
    for (auto it = m_aoSaved.rbegin(); it != m_aoSaved.rend(); ++it)
    {
        if (it->second)
            setenv(it->first.c_str(), it->second->c_str(), 1);
        else
            unsetenv(it->first.c_str());
    }
}

void ScopedEnv::Set(const std::string &osName, const std::optional<std::string> &osValue)
{
    const char *pszOld = getenv(osName.c_str());
    m_aoSaved.emplace_back(osName, pszOld ? std::optional<std::string>(pszOld) : std::nullopt);
    if (osValue)
        setenv(osName.c_str(), osValue->c_str(), 1);
    else
        unsetenv(osName.c_str());
}

void ClearCgiEnvironment(ScopedEnv &oEnv)
{
    for (const char *pszName : apszVXMCgiCapturedVariables)
        oEnv.Set(pszName, std::nullopt);
}

TempDir::TempDir()
{
    char szTemplate[] = "/tmp/swatchtest.XXXXXX";
    const char *pszDir = mkdtemp(szTemplate);
    m_osDir = pszDir ? pszDir : "/tmp";
}

static int RemoveEntry(const char *pszPath, const struct stat *, int, struct FTW *)
{
    chmod(pszPath, 0700);
    return remove(pszPath);
}

TempDir::~TempDir()
{
    if (m_osDir != "/tmp")
        nftw(m_osDir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void WriteFile(const std::string &osPath, const std::string &osContent)
{
    std::ofstream oOut(osPath, std::ios::binary | std::ios::trunc);
    oOut.write(osContent.data(), static_cast<std::streamsize>(osContent.size()));
}

std::string ReadFile(const std::string &osPath)
{
    std::ifstream oIn(osPath, std::ios::binary);
    std::ostringstream oText;
    oText << oIn.rdbuf();
    return oText.str();
}

ScopedCaptureFile::ScopedCaptureFile()
{
    // Only a /temp of the test's own (tests/private_temp.sh) is written.
    const char *pszPrivate = getenv("SWATCH_PRIVATE_TEMP");
    m_bUsable = pszPrivate != nullptr && strcmp(pszPrivate, "1") == 0 && access(kDir, W_OK) == 0;
    if (m_bUsable)
        unlink(kFile);
}

ScopedCaptureFile::~ScopedCaptureFile()
{
    if (m_bUsable)
        unlink(kFile);
}

static std::string ReadAllFd(int fd)
{
    std::string osOut;
    lseek(fd, 0, SEEK_SET);
    char abyBuf[65536];
    ssize_t n;
    while ((n = read(fd, abyBuf, sizeof(abyBuf))) > 0)
        osOut.append(abyBuf, static_cast<size_t>(n));
    return osOut;
}

/* The texts as a null-terminated array of pointers, the way exec takes its
 * arguments and environment. */
static std::vector<char *> PointerArray(std::vector<std::string> &aosTexts)
{
    std::vector<char *> apszTexts;
    for (auto &osText : aosTexts)
        apszTexts.push_back(&osText[0]);
    apszTexts.push_back(nullptr);
    return apszTexts;
}

static void WaitMeasured(pid_t nPid, std::chrono::steady_clock::time_point tStart,
                         RunResult &sResult)
{
    int nStatus = 0;
    struct rusage sUsage = {};
    wait4(nPid, &nStatus, 0, &sUsage);
    sResult.dfSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
    sResult.nMaxRssKb = sUsage.ru_maxrss;
    if (WIFEXITED(nStatus))
        sResult.nExitStatus = WEXITSTATUS(nStatus);
    else if (WIFSIGNALED(nStatus))
        sResult.nSignal = WTERMSIG(nStatus);
}

RunResult RunForked(const std::function<int()> &fnChild)
{
    RunResult sResult;
    FILE *fpOut = tmpfile();
    fflush(nullptr);
    const auto tStart = std::chrono::steady_clock::now();
    const pid_t nPid = fork();
    if (nPid == 0)
    {
        dup2(fileno(fpOut), 1);
        const int nStatus = fnChild();
        fflush(nullptr);
        _exit(nStatus);
    }
    WaitMeasured(nPid, tStart, sResult);
    sResult.osStdout = ReadAllFd(fileno(fpOut));
    fclose(fpOut);
    return sResult;
}

RunResult RunProgram(const std::string &osProgram, const std::vector<std::string> &aosArgs,
                     const std::map<std::string, std::string> &oEnv, const std::string &osStdin,
                     const std::string &osWorkDir)
{
    RunResult sResult;
    FILE *fpIn = tmpfile();
    FILE *fpOut = tmpfile();
    FILE *fpErr = tmpfile();
    if (!fpIn || !fpOut || !fpErr)
        return sResult;
    fwrite(osStdin.data(), 1, osStdin.size(), fpIn);
    fflush(fpIn);
    rewind(fpIn);

    std::vector<std::string> aosEnvText;
    for (const auto &oVar : oEnv)
        aosEnvText.push_back(oVar.first + "=" + oVar.second);
    // Sanitizer settings of the test run reach the program under test.
    for (const char *pszName : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *pszValue = getenv(pszName))
            aosEnvText.push_back(std::string(pszName) + "=" + pszValue);
    std::vector<char *> apszEnv = PointerArray(aosEnvText);
    std::vector<std::string> aosArgv = {osProgram};
    aosArgv.insert(aosArgv.end(), aosArgs.begin(), aosArgs.end());
    std::vector<char *> apszArgv = PointerArray(aosArgv);

    const auto tStart = std::chrono::steady_clock::now();
    const pid_t nPid = fork();
    if (nPid == 0)
    {
        dup2(fileno(fpIn), 0);
        dup2(fileno(fpOut), 1);
        dup2(fileno(fpErr), 2);
        if (!osWorkDir.empty() && chdir(osWorkDir.c_str()) != 0)
            _exit(126);
        execve(osProgram.c_str(), apszArgv.data(), apszEnv.data());
        _exit(127);
    }
    WaitMeasured(nPid, tStart, sResult);
    sResult.osStdout = ReadAllFd(fileno(fpOut));
    sResult.osStderr = ReadAllFd(fileno(fpErr));
    fclose(fpIn);
    fclose(fpOut);
    fclose(fpErr);
    return sResult;
}

BackgroundProcess::BackgroundProcess(const std::string &osProgram,
                                     const std::vector<std::string> &aosArgs,
                                     const std::map<std::string, std::string> &oExtraEnv,
                                     const std::string &osLogPath)
{
    std::vector<std::string> aosArgv = {osProgram};
    aosArgv.insert(aosArgv.end(), aosArgs.begin(), aosArgs.end());
    std::vector<char *> apszArgv = PointerArray(aosArgv);
    fflush(nullptr);
    m_nPid = fork();
    if (m_nPid == 0)
    {
        const int fdLog = open(osLogPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int fdNull = open("/dev/null", O_RDONLY);
        dup2(fdNull, 0);
        dup2(fdLog, 1);
        dup2(fdLog, 2);
        for (const auto &oVar : oExtraEnv)
            setenv(oVar.first.c_str(), oVar.second.c_str(), 1);
        execv(osProgram.c_str(), apszArgv.data());
        _exit(127);
    }
}

BackgroundProcess::~BackgroundProcess()
{
    Stop();
}

bool BackgroundProcess::Running()
{
    if (m_nPid <= 0)
        return false;
    int nStatus = 0;
    if (waitpid(m_nPid, &nStatus, WNOHANG) == m_nPid)
    {
        m_nStatus = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
        m_nPid = -1;
        return false;
    }
    return true;
}

int BackgroundProcess::Stop()
{
    if (m_nPid > 0)
    {
        kill(m_nPid, SIGTERM);
        int nStatus = 0;
        waitpid(m_nPid, &nStatus, 0);
        m_nStatus = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
        m_nPid = -1;
    }
    return m_nStatus;
}

int FreeLoopbackPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sAddr = {};
    sAddr.sin_family = AF_INET;
    sAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sAddr.sin_port = 0;
    socklen_t nLen = sizeof(sAddr);
    int nPort = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&sAddr), sizeof(sAddr)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&sAddr), &nLen) == 0)
        nPort = ntohs(sAddr.sin_port);
    close(fd);
    return nPort;
}

static int ConnectLoopback(int nPort)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sAddr = {};
    sAddr.sin_family = AF_INET;
    sAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sAddr.sin_port = htons(static_cast<uint16_t>(nPort));
    if (connect(fd, reinterpret_cast<sockaddr *>(&sAddr), sizeof(sAddr)) != 0)
    {
        close(fd);
        return -1;
    }
    return fd;
}

bool WaitForPort(int nPort, int nTimeoutMs)
{
    for (int nWaited = 0; nWaited < nTimeoutMs; nWaited += 50)
    {
        const int fd = ConnectLoopback(nPort);
        if (fd >= 0)
        {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

HttpResponse HttpRequest(int nPort, const std::string &osMethod, const std::string &osTarget,
                         const std::string &osBody, const std::string &osContentType)
{
    HttpResponse sResponse;
    const int fd = ConnectLoopback(nPort);
    if (fd < 0)
        return sResponse;
    std::string osRequest = osMethod + " " + osTarget + " HTTP/1.0\r\nHost: 127.0.0.1\r\n";
    if (!osContentType.empty())
        osRequest += "Content-Type: " + osContentType + "\r\n";
    if (osMethod == "POST")
        osRequest += "Content-Length: " + std::to_string(osBody.size()) + "\r\n";
    osRequest += "\r\n" + osBody;
    if (send(fd, osRequest.data(), osRequest.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(osRequest.size()))
    {
        close(fd);
        return sResponse;
    }
    std::string osReply;
    char abyBuf[65536];
    pollfd sPoll = {fd, POLLIN, 0};
    while (poll(&sPoll, 1, 20000) > 0)
    {
        const ssize_t n = recv(fd, abyBuf, sizeof(abyBuf), 0);
        if (n <= 0)
            break;
        osReply.append(abyBuf, static_cast<size_t>(n));
    }
    close(fd);

    const size_t nHeaderEnd = osReply.find("\r\n\r\n");
    if (nHeaderEnd == std::string::npos || osReply.compare(0, 5, "HTTP/") != 0)
        return sResponse;
    sResponse.nStatus = atoi(osReply.c_str() + osReply.find(' ') + 1);
    std::istringstream oHeaders(osReply.substr(0, nHeaderEnd));
    std::string osLine;
    std::getline(oHeaders, osLine);
    while (std::getline(oHeaders, osLine))
    {
        const size_t nColon = osLine.find(':');
        if (nColon == std::string::npos)
            continue;
        std::string osName = osLine.substr(0, nColon);
        for (char &ch : osName)
            ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
        std::string osValue = osLine.substr(nColon + 1);
        osValue.erase(0, osValue.find_first_not_of(' '));
        if (!osValue.empty() && osValue.back() == '\r')
            osValue.pop_back();
        sResponse.oHeaders[osName] = osValue;
    }
    sResponse.osBody = osReply.substr(nHeaderEnd + 4);
    return sResponse;
}

bool SplitReply(const std::string &osReply, std::string &osHeader, std::string &osBody)
{
    const size_t nPos = osReply.find("\n\n");
    if (nPos == std::string::npos)
        return false;
    osHeader = osReply.substr(0, nPos + 1);
    osBody = osReply.substr(nPos + 2);
    return true;
}

bool ParseGif(const std::string &osGif, GifInfo &sInfo)
{
    const auto *pabyData = reinterpret_cast<const unsigned char *>(osGif.data());
    const size_t nSize = osGif.size();
    if (nSize < 13)
        return false;
    sInfo.osSignature = osGif.substr(0, 6);
    sInfo.nWidth = pabyData[6] | (pabyData[7] << 8);
    sInfo.nHeight = pabyData[8] | (pabyData[9] << 8);
    size_t nPos = 13;
    if (pabyData[10] & 0x80)
    {
        const int nColors = 1 << ((pabyData[10] & 0x07) + 1);
        if (nSize < nPos + 3 * nColors)
            return false;
        for (int i = 0; i < nColors; i++, nPos += 3)
            sInfo.anPalette.push_back((pabyData[nPos] << 16) | (pabyData[nPos + 1] << 8) |
                                      pabyData[nPos + 2]);
    }
    // Walk the blocks up to the first image descriptor.
    while (nPos < nSize)
    {
        if (pabyData[nPos] == 0x21 && nPos + 2 < nSize)
        {
            const int nLabel = pabyData[nPos + 1];
            if (nLabel == 0xF9 && nPos + 6 < nSize && (pabyData[nPos + 3] & 0x01))
                sInfo.nTransparent = pabyData[nPos + 6];
            nPos += 2;
            while (nPos < nSize && pabyData[nPos] != 0)
                nPos += pabyData[nPos] + 1;
            nPos++;
        }
        else if (pabyData[nPos] == 0x2C && nPos + 9 < nSize)
        {
            sInfo.bInterlaced = (pabyData[nPos + 9] & 0x40) != 0;
            return true;
        }
        else
        {
            return false;
        }
    }
    return false;
}

gdImagePtr DecodeGif(const std::string &osGif)
{
    return gdImageCreateFromGifPtr(static_cast<int>(osGif.size()),
                                   const_cast<char *>(osGif.data()));
}

std::vector<std::string> PixelRows(gdImagePtr hImage)
{
    std::vector<std::string> aosRows;
    for (int y = 0; y < gdImageSY(hImage); y++)
    {
        std::string osRow;
        for (int x = 0; x < gdImageSX(hImage); x++)
            osRow += static_cast<char>('0' + gdImageGetPixel(hImage, x, y));
        aosRows.push_back(osRow);
    }
    return aosRows;
}

std::vector<int> SeenColours(gdImagePtr hImage)
{
    std::vector<int> anColours;
    for (int y = 0; y < gdImageSY(hImage); y++)
        for (int x = 0; x < gdImageSX(hImage); x++)
        {
            const int nPixel = gdImageGetPixel(hImage, x, y);
            if (gdImageTrueColor(hImage))
                anColours.push_back(gdTrueColorGetAlpha(nPixel) > gdAlphaMax / 2
                                        ? -1
                                        : nPixel & 0xFFFFFF);
            else if (nPixel == gdImageGetTransparent(hImage))
                anColours.push_back(-1);
            else
                anColours.push_back((gdImageRed(hImage, nPixel) << 16) |
                                    (gdImageGreen(hImage, nPixel) << 8) |
                                    gdImageBlue(hImage, nPixel));
        }
    return anColours;
}


long long ProgramAddressSpace(const std::string &osProgram)
{
    TempDir oDir;
    const int fdListen = fastcgiclient::ListenOnUnixSocket(oDir.Path("rest.sock"));
    if (fdListen < 0)
        return 0;
    fflush(nullptr);
    const int nPid = fork();
    if (nPid == 0)
    {
        dup2(fdListen, 0);
        char *apszArgv[] = {const_cast<char *>(osProgram.c_str()), nullptr};
        char *apszEnv[] = {nullptr};
        execve(osProgram.c_str(), apszArgv, apszEnv);
        _exit(127);
    }
    close(fdListen);
    // At rest once it runs the program and sleeps, waiting for connections:
    // its libraries are loaded and its mappings made.
    const std::string osProc = "/proc/" + std::to_string(nPid);
    char szProgram[PATH_MAX] = "";
    if (realpath(osProgram.c_str(), szProgram) == nullptr)
        szProgram[0] = '\0';
    std::string osStatus;
    for (int nTry = 0; nTry < 250; nTry++, usleep(20000))
    {
        char szExe[PATH_MAX] = "";
        const ssize_t nExe = readlink((osProc + "/exe").c_str(), szExe, sizeof(szExe) - 1);
        osStatus = ReadFile(osProc + "/status");
        if (nExe > 0 && std::string(szExe, static_cast<size_t>(nExe)) == szProgram &&
            osStatus.find("State:\tS") != std::string::npos)
            break;
    }
    kill(nPid, SIGKILL);
    waitpid(nPid, nullptr, 0);
    const size_t nAt = osStatus.find("VmSize:");
    return nAt == std::string::npos ? 0 : atoll(osStatus.c_str() + nAt + 7) * 1024;
}

} // namespace swatchtest
