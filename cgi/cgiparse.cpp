/*
 * Form input: reading the request's form input, splitting it into pieces and
 * URL-decoding them.
 */
#include "vxmcgi.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

/* Reads a POST body of nLength bytes into a zero-filled buffer of one byte
 * more. Returns null when the buffer cannot be had. */
static char *ReadPostBody(int nLength)
{
    // nLength is positive and at most INT_MAX, so the size never wraps.
    const size_t nBytes = static_cast<size_t>(nLength) + 1;
    char *pszBody = static_cast<char *>(VSICalloc(nBytes, 1));
    if (pszBody == nullptr)
    {
        CPLError(CE_Failure, CPLE_OutOfMemory,
                 "Cannot allocate %d bytes for the request body.", nLength);
        return nullptr;
    }
    // A short body leaves the rest of the buffer zero, so the text simply
    // ends where the data ended; the count read is therefore not needed.
    const size_t nRead = fread(pszBody, 1, static_cast<size_t>(nLength), stdin);
    (void)nRead;
    return pszBody;
}

char **VXMCgiParseInput()
{
    const char *pszMethod = getenv("REQUEST_METHOD");
    const char *pszLength = getenv("CONTENT_LENGTH");

    char *pszInput = nullptr;
    if (pszMethod != nullptr && strcmp(pszMethod, "POST") == 0 &&
        pszLength != nullptr)
    {
        const int nLength = VXMCgiAtoi(pszLength);
        if (nLength > 0)
            pszInput = ReadPostBody(nLength);
    }

    // Not a POST with a body (or its buffer could not be had and the error
    // handler returned): the query string is the form input.
    if (pszInput == nullptr)
    {
        const char *pszQuery = getenv("QUERY_STRING");
        pszInput = CPLStrdup(pszQuery != nullptr ? pszQuery : "");
    }

    // Every "&" separates, empty pieces are kept, quotes and backslashes are
    // ordinary characters. An empty text gives a list without entries.
    char **papszList = CSLTokenizeStringComplex(pszInput, "&", FALSE, TRUE);
    CPLFree(pszInput);

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
