/* HTML entity decoding with either table, in place in a buffer of exactly
 * the text's size: never longer, and text without "&" is unchanged. */
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "vxmcgi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pabyData, size_t nSize)
{
    if (nSize == 0)
        return 0;
    const bool bAscii = pabyData[0] & 1;
    char *pszText = static_cast<char *>(malloc(nSize));
    memcpy(pszText, pabyData + 1, nSize - 1);
    pszText[nSize - 1] = '\0';
    const size_t nBefore = strlen(pszText);
    const bool bHasAmpersand = strchr(pszText, '&') != nullptr;
    char *pszCopy = strdup(pszText);
    if (bAscii)
        VXMCgiDecodeEntitiesAscii(pszText);
    else
        VXMCgiDecodeEntitiesLatin1(pszText);
    if (strlen(pszText) > nBefore || (!bHasAmpersand && strcmp(pszText, pszCopy) != 0))
        abort();
    free(pszCopy);
    free(pszText);
    return 0;
}
