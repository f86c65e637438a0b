/*
 * Form input: reading the request's form input, splitting it into pieces and
 * URL-decoding them.
 */
#include "vxmcgi.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_vsi.h>

int VXMCgiAtoi(const char *pszText)
{
    if (pszText == nullptr)
        return 0;
    // strtol reads exactly what atoi reads; it saturates at the range of
    // long, which is then narrowed to int by saturation as well, so an
    // over-long number never overflows.
    const long nValue = strtol(pszText, nullptr, 10);
    if (nValue > INT_MAX)
        return INT_MAX;
    if (nValue < INT_MIN)
        return INT_MIN;
    return static_cast<int>(nValue);
}

/* Reads a POST body of up to nLength bytes (at most kVXMCgiMaxBodyBytes)
 * into a buffer of text (ending at a zero byte); a body shorter than
 * announced simply ends where the data ended. Returns null, after reporting
 * the failure, when memory runs out. */
static char *ReadPostBody(int nLength)
{
    char *pszBody = static_cast<char *>(VSIMalloc(static_cast<size_t>(nLength) + 1));
    if (pszBody == nullptr)
    {
        CPLError(CE_Failure, CPLE_OutOfMemory,
                 "Cannot allocate memory for a request body of %d bytes.", nLength);
        return nullptr;
    }
    const size_t nRead = fread(pszBody, 1, static_cast<size_t>(nLength), stdin);
    pszBody[nRead] = '\0';
    return pszBody;
}

namespace
{
/* Releases a buffer from the CPL memory functions (CPL keeps its own such
 * helper to its own compilation). */
struct CPLBufferReleaser
{
    void operator()(char *pszBuffer) const
    {
        CPLFree(pszBuffer);
    }
};
} // namespace

char **VXMCgiParseInput()
{
    const char *pszMethod = getenv("REQUEST_METHOD");
    const char *pszLength = getenv("CONTENT_LENGTH");

    char *pszInput = nullptr;
    if (pszMethod != nullptr && strcmp(pszMethod, "POST") == 0 &&
        pszLength != nullptr)
    {
        const int nLength = VXMCgiAtoi(pszLength);
        if (nLength > kVXMCgiMaxBodyBytes)
            CPLError(CE_Failure, VXMCGIE_BodyTooLarge,
                     "A request body of %d bytes is longer than the %d bytes a request may have.",
                     nLength, kVXMCgiMaxBodyBytes);
        else if (nLength > 0)
            pszInput = ReadPostBody(nLength);
    }

    // Not a POST with a body (or its buffer could not be had and the error
    // handler returned): the query string is the form input.
    if (pszInput == nullptr)
    {
        const char *pszQuery = getenv("QUERY_STRING");
        pszInput = CPLStrdup(pszQuery != nullptr ? pszQuery : "");
    }
    // Held until the pieces are made, also when the error handler leaves
    // this function by an exception.
    const std::unique_ptr<char, CPLBufferReleaser> poInput(pszInput);

    // Every "&" separates, empty pieces are kept, quotes and backslashes are
    // ordinary characters. An empty text gives a list without entries.
    char **papszList = CSLTokenizeStringComplex(pszInput, "&", FALSE, TRUE);
    for (char **papszIter = papszList; papszIter != nullptr && *papszIter != nullptr;
         ++papszIter)
    {
        VXMCgiUrlDecode(*papszIter);
    }
    return papszList;
}

/* Value of one character of a percent sequence. No check that it is a hex
 * digit: any character goes through the same arithmetic, and the caller
 * takes the result modulo 256. */
static int PercentDigitValue(char chDigit)
{
    int nCode = static_cast<unsigned char>(chDigit);
    if (nCode >= 'a' && nCode <= 'z')
        nCode -= 'a' - 'A';
    if (nCode >= '0' && nCode <= '9')
        return nCode - '0';
    return nCode - 'A' + 10;
}

void VXMCgiUrlDecode(char *pszText)
{
    if (pszText == nullptr)
        return;

    const char *pszRead = pszText;
    char *pszWrite = pszText;
    while (*pszRead != '\0')
    {
        if (*pszRead == '+')
        {
            *pszWrite++ = ' ';
            pszRead++;
        }
        else if (*pszRead == '%' && pszRead[1] != '\0' && pszRead[2] != '\0')
        {
            const int nValue = 16 * PercentDigitValue(pszRead[1]) +
                               PercentDigitValue(pszRead[2]);
            *pszWrite++ = static_cast<char>(nValue & 0xFF);
            pszRead += 3;
        }
        else
        {
            *pszWrite++ = *pszRead++;
        }
    }
    *pszWrite = '\0';
}
