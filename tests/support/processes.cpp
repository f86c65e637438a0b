/* Programs run as a web server runs them, in the foreground or the background, measured. */
#include "test_util.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace swatchtest
{

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

} // namespace swatchtest
