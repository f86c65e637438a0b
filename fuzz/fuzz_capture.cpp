/* The capture file reader: any bytes as a capture file (in CPL's in-memory
 * file system). Loading, looking up, saving and loading the saved file again
 * must agree; and a run without a request replays the file the way main
 * does, answering with an image, the banner or an error page. */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <cpl_error.h>
#include <cpl_vsi.h>

#include "inprocessrequest.h"
#include "pipeline.h"
#include "replies.h"
#include "vxmcgi.h"

namespace
{

void CheckRoundTrip()
{
    VXMCgiRequest oRequest;
    oRequest.LoadEnvironment("/vsimem/fuzz.env");
    char **papszParams = oRequest.GetParamList();
    for (char **papszIter = papszParams; papszIter && *papszIter; ++papszIter)
    {
        std::string osName = *papszIter;
        osName = osName.substr(0, osName.find_first_of("=:"));
        oRequest.GetParam(osName.c_str());
        CSLDestroy(oRequest.GetParamValues(osName.c_str()));
    }
    const std::string osPath = oRequest.GetEnv("PATH_INFO");
    oRequest.SaveEnvironment("/vsimem/fuzz-saved.env");

    // A saved file loads back to the same parameters and variables, as
    // long as no parameter holds a line break or reads as the separator.
    bool bPlain = true;
    for (char **papszIter = papszParams; papszIter && *papszIter; ++papszIter)
        if (strpbrk(*papszIter, "\r\n") || EQUAL(*papszIter, VXMCGI_ENV_SEPARATOR))
            bPlain = false;
    if (bPlain && osPath.find_first_of("\r\n") == std::string::npos)
    {
        VXMCgiRequest oReloaded;
        oReloaded.LoadEnvironment("/vsimem/fuzz-saved.env");
        if (CSLCount(oReloaded.GetParamList()) != CSLCount(papszParams) ||
            osPath != oReloaded.GetEnv("PATH_INFO"))
            abort();
    }
}

/* main's road: no request in the environment, so the file is replayed and
 * answered. Large swatches are skipped as slow, not interesting. */
void CheckReplay()
{
    const ScopedRequestEnvironment oNoRequest(nullptr);
    VXMCgiRequest oRequest;
    ReplayWhenNoRequest(oRequest, "/vsimem/fuzz.env");
    const SwatchPath sPath = ReadSwatchPath(oRequest.GetEnv("PATH_INFO"));
    if (static_cast<long long>(sPath.nWidth) * sPath.nHeight > 512 * 512)
        return;
    ReplyBuffer oOutput;
    const int nStatus = AnswerSwatchRequestContained(oRequest, oOutput.Stream());
    const std::string osOutput = oOutput.Contents();
    const bool bImage = osOutput.rfind("Content-Type: image/", 0) == 0;
    const bool bBanner = osOutput.rfind(std::string(kBannerReplyHeader) + "VXM Swatchery\n", 0) == 0;
    const bool bError = osOutput.rfind("Status: ", 0) == 0;
    if ((nStatus == 0) != bImage || !(bImage || bBanner || bError))
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pabyData, size_t nSize)
{
    CPLPushErrorHandler(CPLQuietErrorHandler);
    VSILFILE *fp = VSIFileFromMemBuffer("/vsimem/fuzz.env", const_cast<GByte *>(pabyData),
                                        nSize, FALSE);
    VSIFCloseL(fp);
    CheckRoundTrip();
    CheckReplay();
    VSIUnlink("/vsimem/fuzz.env");
    VSIUnlink("/vsimem/fuzz-saved.env");
    CPLPopErrorHandler();
    return 0;
}
