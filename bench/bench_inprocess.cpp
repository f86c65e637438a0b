/* In-process cost of one swatch request (parse, draw, encode) at several
 * sizes, side by side with GD alone encoding an image of the same size, so
 * that the growth with size and the share of the encoder are visible. */
#include <cstdio>
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>
#include <gd.h>

#include "painters.h"
#include "fastcgi.h"
#include "inprocessrequest.h"
#include "pipeline.h"
#include "vxmcgi.h"

namespace
{

FILE *NullOutput()
{
    static FILE *fp = fopen("/dev/null", "wb");
    return fp;
}

void SetRequest(int nSize, const char *pszQuery)
{
    const std::string osPath = "/" + std::to_string(nSize) + "/" + std::to_string(nSize);
    setenv("SCRIPT_NAME", "/cgi-bin/swatch", 1);
    setenv("REQUEST_METHOD", "GET", 1);
    setenv("PATH_INFO", osPath.c_str(), 1);
    setenv("QUERY_STRING", pszQuery, 1);
}

void RunRequests(benchmark::State &oState, const char *pszQuery)
{
    const int nSize = static_cast<int>(oState.range(0));
    SetRequest(nSize, pszQuery);
    KeepMemoryBetweenRequests(); // as the persistent mode does
    for (auto _ : oState)
    {
        VXMCgiRequest oRequest;
        if (AnswerSwatchRequestContained(oRequest, NullOutput()) != 0)
            oState.SkipWithError("request failed");
    }
    oState.SetItemsProcessed(oState.iterations() * nSize * nSize);
}

void BM_RequestFlat(benchmark::State &oState)
{
    RunRequests(oState, "");
}

void BM_RequestCrossHatch(benchmark::State &oState)
{
    RunRequests(oState, "LineType=Hatch&HatchType=5");
}

/* GD alone: the GIF encoding of a flat swatch of the same size, the image
 * made once outside the timed loop. */
void BM_GdEncodeOnly(benchmark::State &oState)
{
    const int nSize = static_cast<int>(oState.range(0));
    gdImagePtr hImage = gdImageCreate(nSize, nSize);
    gdImageColorTransparent(hImage, gdImageColorAllocate(hImage, 255, 255, 255));
    const int nColor = gdImageColorAllocate(hImage, 0, 0, 0);
    gdImageFilledRectangle(hImage, 0, 0, nSize - 1, nSize - 1, nColor);
    for (auto _ : oState)
        gdImageGif(hImage, NullOutput());
    gdImageDestroy(hImage);
    oState.SetItemsProcessed(oState.iterations() * nSize * nSize);
}

} // namespace

BENCHMARK(BM_GdEncodeOnly)->Arg(16)->Arg(50)->Arg(500)->Arg(4000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RequestFlat)->Arg(16)->Arg(50)->Arg(500)->Arg(4000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RequestCrossHatch)
    ->Arg(16)
    ->Arg(50)
    ->Arg(500)
    ->Arg(4000)
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
