/*
 * URL encoding of texts and query strings in the form-encoded style:
 * letters, digits and -_.!~*'() pass unchanged, a space becomes "+", every
 * other byte "%XX" with upper-case hex digits.
 */
#include "vxmcgi.h"

#include <cstring>

#include <cpl_conv.h>

namespace
{

bool IsUnreserved(unsigned char byValue)
{
    // Explicit ranges rather than isalnum: bytes from 0x80 up are never
    // unreserved, whatever the locale.
    return (byValue >= 'A' && byValue <= 'Z') || (byValue >= 'a' && byValue <= 'z') ||
           (byValue >= '0' && byValue <= '9') || strchr("-_.!~*'()", byValue) != nullptr;
}

/* Encodes nLength bytes of pszText at pszOut, which has room for three bytes
 * each; returns the position after the last byte written (no terminator). */
char *EncodeInto(char *pszOut, const char *pszText, size_t nLength)
{
    static const char szHex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < nLength; i++)
    {
        const unsigned char byValue = static_cast<unsigned char>(pszText[i]);
        if (byValue != 0 && IsUnreserved(byValue))
        {
            *pszOut++ = static_cast<char>(byValue);
        }
        else if (byValue == ' ')
        {
            *pszOut++ = '+';
        }
        else
        {
            *pszOut++ = '%';
            *pszOut++ = szHex[byValue >> 4];
            *pszOut++ = szHex[byValue & 0x0F];
        }
    }
    return pszOut;
}

} // namespace

char *VXMCgiUrlEncode(const char *pszText)
{
    if (pszText == nullptr)
        return nullptr;
    const size_t nLength = strlen(pszText);
    char *pszResult = static_cast<char *>(CPLMalloc(3 * nLength + 1));
    *EncodeInto(pszResult, pszText, nLength) = '\0';
    return pszResult;
}

char *VXMCgiBuildQueryString(const char *pszBase, CSLConstList papszList)
{
    if (pszBase == nullptr)
        pszBase = "";

    // Room for the worst case, every byte escaped: base, then for each entry
    // a separator, its escaped bytes and the "=", then the terminator.
    const size_t nBaseLength = strlen(pszBase);
    size_t nSize = nBaseLength + 1;
    for (CSLConstList papszIter = papszList; papszIter && *papszIter; ++papszIter)
        nSize += 3 * strlen(*papszIter) + 2;
    char *pszResult = static_cast<char *>(CPLCalloc(nSize, 1));

    memcpy(pszResult, pszBase, nBaseLength);
    char *pszOut = pszResult + nBaseLength;
    bool bFirst = true;
    for (CSLConstList papszIter = papszList; papszIter && *papszIter; ++papszIter)
    {
        *pszOut++ = bFirst ? '?' : '&';
        bFirst = false;

        // The name runs to the first "="; every entry yields a "=", also one
        // without a value. Further "=" belong to the value and are escaped.
        const char *pszEntry = *papszIter;
        const char *pszEquals = strchr(pszEntry, '=');
        const size_t nNameLength =
            pszEquals ? static_cast<size_t>(pszEquals - pszEntry) : strlen(pszEntry);
        pszOut = EncodeInto(pszOut, pszEntry, nNameLength);
        *pszOut++ = '=';
        if (pszEquals)
            pszOut = EncodeInto(pszOut, pszEquals + 1, strlen(pszEquals + 1));
    }
    *pszOut = '\0';
    return pszResult;
}
