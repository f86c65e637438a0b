/* The address space a running program maps. */
#include "test_util.h"

#include "fastcgi_client.h"

#include <climits>
#include <csignal>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace swatchtest
{


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
