/* A whole request answered on the road the FastCGI worker takes
 * (AnswerRequestInProcess): method, path, query string, CONTENT_LENGTH and
 * body come from the input, separated by zero bytes, so the announced length
 * is drawn independently of the body. The reply must be an image of the
 * requested size (at the scale asked for), the banner page or the error
 * page. */
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <cpl_string.h>
#include <gd.h>

#include "inprocessrequest.h"
#include "pipeline.h"
#include "replies.h"
#include "vxmcgi.h"

namespace
{

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pabyData, size_t nSize)
{
    const std::string osInput(reinterpret_cast<const char *>(pabyData), nSize);
    std::vector<std::string> aosParts;
    size_t nPos = 0;
    for (int i = 0; i < 4; i++)
    {
        const size_t nEnd = osInput.find('\0', nPos);
        aosParts.push_back(osInput.substr(nPos, nEnd == std::string::npos ? std::string::npos
                                                                          : nEnd - nPos));
        nPos = nEnd == std::string::npos ? osInput.size() : nEnd + 1;
    }
    const std::string osBody = osInput.substr(std::min(nPos, osInput.size()));
    const std::string &osPath = aosParts[1];

    const SwatchPath sPath = ReadSwatchPath(osPath.c_str());
    const long long nWidth = sPath.nWidth, nHeight = sPath.nHeight;
    // Sides of up to 2^31 each: their product fits 64 bits, four times
    // either side does, but not sixteen times the product.
    const long long nPixels = nWidth * nHeight;
    // Large swatches are slow without being more interesting; sizes past the
    // limit still run (they end in the error page at once).
    if (nPixels > 512 * 512 && nPixels <= kMaxSwatchPixels)
        return 0;

    CPLStringList aosVariables;
    for (const std::string &osVar :
         {"REQUEST_METHOD=" + aosParts[0], std::string("SCRIPT_NAME=/cgi-bin/swatch"),
          "PATH_INFO=" + osPath, "QUERY_STRING=" + aosParts[2], "CONTENT_LENGTH=" + aosParts[3]})
        aosVariables.AddString(osVar.c_str());

    ReplyBuffer oOutput;
    const int nStatus = AnswerRequestInProcess(aosVariables.List(), osBody.data(),
                                               osBody.size(), oOutput.Stream());
    const std::string osOutput = oOutput.Contents();

    // An image is the requested swatch at a scale of 1 to 4 (an SVG in
    // swatch pixels), a refusal names what it refuses, and a body is
    // refused only past the limit.
    static const std::string osGif = ImageReplyHeader("image/gif");
    static const std::string osPng = ImageReplyHeader("image/png");
    static const std::string osSvg = ImageReplyHeader("image/svg+xml");
    static const std::string osBanner = kBannerReplyHeader;
    static const std::string osRefused = ErrorReplyHeader(CPLE_IllegalArg);
    static const std::string osTooLong = ErrorReplyHeader(VXMCGIE_BodyTooLarge);
    const auto startsWith = [&](const std::string &osStart) {
        return osOutput.compare(0, osStart.size(), osStart) == 0;
    };
    if (startsWith(osGif) || startsWith(osPng))
    {
        if (nStatus != 0 || osPath.empty())
            abort();
        const std::string osImage = osOutput.substr(osOutput.find("\n\n") + 2);
        void *pData = const_cast<char *>(osImage.data());
        const int nImage = static_cast<int>(osImage.size());
        gdImagePtr hImage = startsWith(osGif)
                                ? gdImageCreateFromGifPtr(nImage, pData)
                                : gdImageCreateFromPngPtr(nImage, pData);
        if (hImage == nullptr)
            abort();
        const long long nScale = gdImageSX(hImage) / nWidth;
        if (nScale < 1 || nScale > 4 || gdImageSX(hImage) != nWidth * nScale ||
            gdImageSY(hImage) != nHeight * nScale)
            abort();
        gdImageDestroy(hImage);
    }
    else if (startsWith(osSvg))
    {
        const std::string osSize = "width=\"" + std::to_string(nWidth) + "\" height=\"" +
                                   std::to_string(nHeight) + "\"";
        if (nStatus != 0 || osPath.empty() || osOutput.find(osSize) == std::string::npos ||
            osOutput.compare(osOutput.size() - 7, 7, "</svg>\n") != 0)
            abort();
    }
    else if (startsWith(osBanner))
    {
        if (nStatus != 1 || !osPath.empty())
            abort();
    }
    else if (startsWith(osRefused))
    {
        // A format or scale not offered, a swatch too large at the largest
        // scale, or an SVG too intricate for its GIF; nothing here runs out
        // of memory.
        const std::string osMessage = osOutput.substr(osRefused.size());
        const bool bTooLarge = nPixels > kMaxSwatchPixels / 16 || nWidth * 4 > kMaxSwatchSide ||
                               nHeight * 4 > kMaxSwatchSide;
        if (nStatus != 1 ||
            !(osMessage.rfind("ERROR 5: Format must be", 0) == 0 ||
              osMessage.rfind("ERROR 5: Scale must be", 0) == 0 ||
              osMessage.rfind("ERROR 5: This swatch is too intricate for SVG", 0) == 0 ||
              (osMessage.rfind("ERROR 5: A swatch of", 0) == 0 && bTooLarge)))
            abort();
    }
    else if (startsWith(osTooLong))
    {
        if (nStatus != 1 || aosParts[0] != "POST" ||
            VXMCgiAtoi(aosParts[3].c_str()) <= kVXMCgiMaxBodyBytes)
            abort();
    }
    else
    {
        abort();
    }
    return 0;
}
