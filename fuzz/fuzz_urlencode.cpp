/* URL encoding: the result uses only unreserved bytes, "+" and "%XX", and
 * decoding it gives back the text. */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <cpl_conv.h>

#include "vxmcgi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pabyData, size_t nSize)
{
    const std::string osText(reinterpret_cast<const char *>(pabyData),
                             strnlen(reinterpret_cast<const char *>(pabyData), nSize));
    char *pszEncoded = VXMCgiUrlEncode(osText.c_str());
    if (strspn(pszEncoded, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                           "0123456789-_.!~*'()+%") != strlen(pszEncoded) ||
        strlen(pszEncoded) > 3 * osText.size())
        abort();
    VXMCgiUrlDecode(pszEncoded);
    if (osText != pszEncoded)
        abort();
    CPLFree(pszEncoded);
    return 0;
}
