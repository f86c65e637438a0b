/* URL decoding: any bytes, decoded in place in a buffer of exactly their
 * size; the result is never longer than the input. */
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "vxmcgi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pabyData, size_t nSize)
{
    char *pszText = static_cast<char *>(malloc(nSize + 1));
    memcpy(pszText, pabyData, nSize);
    pszText[nSize] = '\0';
    const size_t nBefore = strlen(pszText);
    VXMCgiUrlDecode(pszText);
    if (strlen(pszText) > nBefore)
        abort();
    free(pszText);
    return 0;
}
