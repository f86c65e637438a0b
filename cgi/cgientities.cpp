/*
 * Decoding of HTML character entities in place: decimal numeric entities
 * (&#233;) and the named entities of an entity table.
 *
 * An entity table is one text holding, for each entry, its replacement byte
 * followed by the entity's full text from "&" to ";".
 */
#include "vxmcgi.h"

#include <cstring>

namespace
{

/* The longest entity, counting "&" and ";". */
constexpr size_t kMaxEntityLength = 20;

/* Accented letters as their ISO 8859-1 bytes. */
const char szLatin1Entities[] =
    "\x22&quot;"
    "\x26&amp;"
    "\x3C&lt;"
    "\x3E&gt;"
    "\x20&nbsp;"
    "\xE9&eacute;"
    "\xC9&Eacute;"
    "\xE8&egrave;"
    "\xC8&Egrave;"
    "\xEA&ecirc;"
    "\xCA&Ecirc;"
    "\xEB&euml;"
    "\xCB&Euml;"
    "\xE0&agrave;"
    "\xC0&Agrave;"
    "\xE2&acirc;"
    "\xC2&Acirc;"
    "\xF4&ocirc;"
    "\xD4&Ocirc;"
    "\xF9&ugrave;"
    "\xD9&Ugrave;"
    "\xFB&ucirc;"
    "\xDB&Ucirc;"
    "\xEE&icirc;"
    "\xCE&Icirc;"
    "\xEF&iuml;"
    "\xCF&Iuml;"
    "\xE7&ccedil;"
    "\xC7&Ccedil;";

/* Accented letters folded to the plain ASCII letter. */
const char szAsciiEntities[] =
    "\"&quot;"
    "&&amp;"
    "<&lt;"
    ">&gt;"
    " &nbsp;"
    "e&eacute;"
    "E&Eacute;"
    "e&egrave;"
    "E&Egrave;"
    "e&ecirc;"
    "E&Ecirc;"
    "e&euml;"
    "E&Euml;"
    "a&agrave;"
    "A&Agrave;"
    "a&acirc;"
    "A&Acirc;"
    "o&ocirc;"
    "O&Ocirc;"
    "u&ugrave;"
    "U&Ugrave;"
    "u&ucirc;"
    "U&Ucirc;"
    "i&icirc;"
    "I&Icirc;"
    "i&iuml;"
    "I&Iuml;"
    "c&ccedil;"
    "C&Ccedil;";

static_assert(sizeof(szLatin1Entities) == 229, "29 entries, 228 bytes");
static_assert(sizeof(szAsciiEntities) == 229, "29 entries, 228 bytes");

/* Looks a complete candidate up in the table, entry by entry, so that only
 * a whole entity text matches (never a run across two entries). Returns
 * false when the table has no such entity. */
bool LookUpEntity(const char *pszTable, const char *pszCandidate, size_t nLength,
                  char &chReplacement)
{
    const char *pszEntry = pszTable;
    while (pszEntry[0] != '\0' && pszEntry[1] != '\0')
    {
        const char *pszText = pszEntry + 1;
        const char *pszEnd = strchr(pszText, ';');
        if (pszEnd == nullptr)
            return false;
        const size_t nEntryLength = static_cast<size_t>(pszEnd - pszText) + 1;
        if (nEntryLength == nLength && memcmp(pszText, pszCandidate, nLength) == 0)
        {
            chReplacement = pszEntry[0];
            return true;
        }
        pszEntry = pszEnd + 1;
    }
    return false;
}

/* Byte value of a numeric entity "&#...;": the number after "#" read as
 * atoi reads it (white space, a sign, decimal digits up to the first other
 * byte), taken modulo 256 however long it is. */
unsigned char NumericEntityValue(const char *pszDigits)
{
    while (*pszDigits == ' ' || (*pszDigits >= '\t' && *pszDigits <= '\r'))
        pszDigits++;
    bool bNegative = false;
    if (*pszDigits == '+' || *pszDigits == '-')
        bNegative = *pszDigits++ == '-';
    unsigned nValue = 0;
    for (; *pszDigits >= '0' && *pszDigits <= '9'; pszDigits++)
        nValue = (nValue * 10 + static_cast<unsigned>(*pszDigits - '0')) % 256;
    return static_cast<unsigned char>(bNegative ? (256 - nValue) % 256 : nValue);
}

} // namespace

void VXMCgiDecodeEntities(char *pszText, const char *pszTable)
{
    if (pszText == nullptr || pszTable == nullptr)
        return;

    const char *pszRead = pszText;
    char *pszWrite = pszText;
    while (*pszRead != '\0')
    {
        if (*pszRead != '&')
        {
            *pszWrite++ = *pszRead++;
            continue;
        }

        // The candidate runs from "&" to the first ";", at most 20 bytes,
        // never past the end of the text.
        char szCandidate[kMaxEntityLength + 1];
        size_t nLength = 0;
        bool bComplete = false;
        while (nLength < kMaxEntityLength && pszRead[nLength] != '\0')
        {
            szCandidate[nLength] = pszRead[nLength];
            if (szCandidate[nLength++] == ';')
            {
                bComplete = true;
                break;
            }
        }
        szCandidate[nLength] = '\0';

        char chReplacement = '\0';
        bool bDecoded = false;
        if (bComplete && szCandidate[1] == '#')
        {
            // A zero byte would cut the text short: such an entity stays.
            chReplacement = static_cast<char>(NumericEntityValue(szCandidate + 2));
            bDecoded = chReplacement != '\0';
        }
        else if (bComplete)
        {
            bDecoded = LookUpEntity(pszTable, szCandidate, nLength, chReplacement);
        }

        if (bDecoded)
        {
            *pszWrite++ = chReplacement;
            pszRead += nLength;
        }
        else
        {
            // Not an entity: keep the "&" and go on with the byte after it,
            // which may start an entity of its own.
            *pszWrite++ = *pszRead++;
        }
    }
    if (pszWrite != pszRead)
        *pszWrite = '\0';
}

void VXMCgiDecodeEntitiesLatin1(char *pszText)
{
    VXMCgiDecodeEntities(pszText, szLatin1Entities);
}

void VXMCgiDecodeEntitiesAscii(char *pszText)
{
    VXMCgiDecodeEntities(pszText, szAsciiEntities);
}
