/* Query-string building: lines of the input are the base and the entries.
 * The entries stay as they were, the result starts with the base, and each
 * piece after it decodes back to the entry's name and value. */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <cpl_conv.h>
#include <cpl_string.h>

#include "vxmcgi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pabyData, size_t nSize)
{
    std::string osInput(reinterpret_cast<const char *>(pabyData), nSize);
    osInput = osInput.substr(0, osInput.find('\0'));
    std::vector<std::string> aosLines;
    size_t nPos = 0;
    while (true)
    {
        const size_t nEnd = osInput.find('\n', nPos);
        aosLines.push_back(osInput.substr(nPos, nEnd - nPos));
        if (nEnd == std::string::npos)
            break;
        nPos = nEnd + 1;
    }
    const std::string osBase = aosLines[0];
    char **papszList = nullptr;
    for (size_t i = 1; i < aosLines.size(); i++)
        papszList = CSLAddString(papszList, aosLines[i].c_str());

    char *pszResult = VXMCgiBuildQueryString(osBase.c_str(), papszList);
    const std::string osResult = pszResult;
    CPLFree(pszResult);
    if (osResult.compare(0, osBase.size(), osBase) != 0)
        abort();
    for (size_t i = 1; i < aosLines.size(); i++)
        if (aosLines[i] != papszList[i - 1])
            abort();

    // Pieces after the base: "?" then "&"-separated name=value, encoded.
    std::string osQuery = osResult.substr(osBase.size());
    if (aosLines.size() == 1)
    {
        if (!osQuery.empty())
            abort();
    }
    else
    {
        if (osQuery.empty() || osQuery[0] != '?')
            abort();
        char **papszPieces = CSLTokenizeStringComplex(osQuery.c_str() + 1, "&", FALSE, TRUE);
        if (CSLCount(papszPieces) != static_cast<int>(aosLines.size() - 1))
            abort();
        for (int i = 0; papszPieces[i]; i++)
        {
            VXMCgiUrlDecode(papszPieces[i]);
            std::string osExpected = aosLines[i + 1];
            if (osExpected.find('=') == std::string::npos)
                osExpected += "=";
            if (osExpected != papszPieces[i])
                abort();
        }
        CSLDestroy(papszPieces);
    }
    CSLDestroy(papszList);
    return 0;
}
