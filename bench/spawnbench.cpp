/* Times whole processes the way a web server starts a CGI program.
 *
 *   spawnbench RUNS LABEL=EXE[|PATH_INFO[|QUERY_STRING]] ...
 *
 * Every case runs RUNS times, the cases interleaved so that they share the
 * machine's state; stdout goes to /dev/null. Prints the median and mean time
 * of one run of each case, its ratio to the first case, the median of the
 * page faults of one run (each a page of the program or its memory touched
 * for the first time) and the largest peak resident size of one run. */
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

struct Case
{
    std::string osLabel, osExe, osPath, osQuery;
    std::vector<double> adfMicros;
    std::vector<double> adfFaults; // minor page faults of each run
    long nMaxRssKb = 0;            // largest peak resident size of one run
};

double Median(std::vector<double> adf)
{
    std::sort(adf.begin(), adf.end());
    return adf.empty() ? 0 : adf[adf.size() / 2];
}

double Mean(const std::vector<double> &adf)
{
    double dfSum = 0;
    for (double df : adf)
        dfSum += df;
    return adf.empty() ? 0 : dfSum / adf.size();
}

double RunOnce(Case &sCase)
{
    std::vector<std::string> aosEnv = {"GATEWAY_INTERFACE=CGI/1.1", "REQUEST_METHOD=GET",
                                       "SCRIPT_NAME=/cgi-bin/swatch",
                                       "PATH_INFO=" + sCase.osPath,
                                       "QUERY_STRING=" + sCase.osQuery};
    std::vector<char *> apszEnv;
    for (auto &os : aosEnv)
        apszEnv.push_back(&os[0]);
    apszEnv.push_back(nullptr);
    std::string osExe = sCase.osExe;
    char *apszArgv[] = {&osExe[0], nullptr};

    posix_spawn_file_actions_t sActions;
    posix_spawn_file_actions_init(&sActions);
    posix_spawn_file_actions_addopen(&sActions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&sActions, 0, "/dev/null", O_RDONLY, 0);

    const auto tStart = std::chrono::steady_clock::now();
    pid_t nPid = 0;
    if (posix_spawn(&nPid, osExe.c_str(), &sActions, nullptr, apszArgv, apszEnv.data()) != 0)
    {
        perror(osExe.c_str());
        exit(1);
    }
    int nStatus = 0;
    struct rusage sUsage;
    wait4(nPid, &nStatus, 0, &sUsage);
    sCase.nMaxRssKb = std::max(sCase.nMaxRssKb, sUsage.ru_maxrss);
    sCase.adfFaults.push_back(static_cast<double>(sUsage.ru_minflt + sUsage.ru_majflt));
    const auto tEnd = std::chrono::steady_clock::now();
    posix_spawn_file_actions_destroy(&sActions);
    return std::chrono::duration<double, std::micro>(tEnd - tStart).count();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
    {
        fprintf(stderr, "usage: %s RUNS LABEL=EXE[|PATH_INFO[|QUERY_STRING]] ...\n", argv[0]);
        return 2;
    }
    const int nRuns = atoi(argv[1]);
    std::vector<Case> asCases;
    for (int i = 2; i < argc; i++)
    {
        std::string osArg = argv[i];
        Case sCase;
        const size_t nEq = osArg.find('=');
        sCase.osLabel = osArg.substr(0, nEq);
        std::string osRest = osArg.substr(nEq + 1);
        std::vector<std::string> aosParts;
        size_t nPos = 0;
        while (true)
        {
            const size_t nBar = osRest.find('|', nPos);
            aosParts.push_back(osRest.substr(nPos, nBar - nPos));
            if (nBar == std::string::npos)
                break;
            nPos = nBar + 1;
        }
        sCase.osExe = aosParts[0];
        sCase.osPath = aosParts.size() > 1 ? aosParts[1] : "";
        sCase.osQuery = aosParts.size() > 2 ? aosParts[2] : "";
        asCases.push_back(sCase);
    }
    for (auto &sCase : asCases) // warm-up: page cache, dynamic loader caches
    {
        RunOnce(sCase);
        sCase.adfFaults.clear();
    }
    for (int iRun = 0; iRun < nRuns; iRun++)
        for (auto &sCase : asCases)
            sCase.adfMicros.push_back(RunOnce(sCase));

    const double dfBase = Median(asCases[0].adfMicros);
    printf("%-40s %12s %12s %10s %12s %14s\n", "case", "median (us)", "mean (us)", "ratio",
           "page faults", "peak RSS (KiB)");
    for (const auto &sCase : asCases)
        printf("%-40s %12.0f %12.0f %9.2fx %12.0f %14ld\n", sCase.osLabel.c_str(),
               Median(sCase.adfMicros), Mean(sCase.adfMicros), Median(sCase.adfMicros) / dfBase,
               Median(sCase.adfFaults), sCase.nMaxRssKb);
    return 0;
}
