/* Replies split into header and body, GIFs parsed and decoded into pixel rows. */
#include "test_util.h"

namespace swatchtest
{

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

} // namespace swatchtest
