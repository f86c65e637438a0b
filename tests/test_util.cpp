#include "test_util.h"

#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ftw.h>

namespace swatchtest
{

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
    for (const char *pszName :
         {"SERVER_SOFTWARE", "SERVER_NAME", "GATEWAY_INTERFACE", "SERVER_PROTOCOL", "SERVER_PORT",
          "REQUEST_METHOD", "PATH_INFO", "PATH_TRANSLATED", "SCRIPT_NAME", "QUERY_STRING",
          "REMOTE_HOST", "REMOTE_ADDR", "AUTH_TYPE", "REMOTE_USER", "REMOTE_IDENT",
          "CONTENT_TYPE", "CONTENT_LENGTH"})
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

ScopedStdin::ScopedStdin(const std::string &osContent)
{
    char szTemplate[] = "/tmp/swatchstdin.XXXXXX";
    const int fd = mkstemp(szTemplate);
    m_osPath = szTemplate;
    if (fd >= 0)
    {
        if (write(fd, osContent.data(), osContent.size()) < 0)
            perror("write");
        lseek(fd, 0, SEEK_SET);
    }
    fflush(stdin);
    m_nSavedFd = dup(0);
    dup2(fd, 0);
    close(fd);
    clearerr(stdin);
    fseek(stdin, 0, SEEK_SET);
}

ScopedStdin::~ScopedStdin()
{
    dup2(m_nSavedFd, 0);
    close(m_nSavedFd);
    clearerr(stdin);
    unlink(m_osPath.c_str());
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
    std::vector<char *> apszEnv;
    for (auto &osText : aosEnvText)
        apszEnv.push_back(&osText[0]);
    apszEnv.push_back(nullptr);
    std::vector<std::string> aosArgv = {osProgram};
    aosArgv.insert(aosArgv.end(), aosArgs.begin(), aosArgs.end());
    std::vector<char *> apszArgv;
    for (auto &osArg : aosArgv)
        apszArgv.push_back(&osArg[0]);
    apszArgv.push_back(nullptr);

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
    int nStatus = 0;
    waitpid(nPid, &nStatus, 0);
    if (WIFEXITED(nStatus))
        sResult.nExitStatus = WEXITSTATUS(nStatus);
    else if (WIFSIGNALED(nStatus))
        sResult.nSignal = WTERMSIG(nStatus);
    sResult.osStdout = ReadAllFd(fileno(fpOut));
    sResult.osStderr = ReadAllFd(fileno(fpErr));
    fclose(fpIn);
    fclose(fpOut);
    fclose(fpErr);
    return sResult;
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

} // namespace swatchtest
