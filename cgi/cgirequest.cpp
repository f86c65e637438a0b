/*
 * VXMCgiRequest: form parameters and CGI variables of one request.
 */
#include "vxmcgi.h"

#include <cstdlib>

/* Returned for every absent parameter or variable, so that callers never
 * see a null text. */
static const char szEmpty[] = "";

VXMCgiRequest::VXMCgiRequest() : m_bParsed(false), m_papszParams(nullptr), m_papszEnv(nullptr)
{
}

VXMCgiRequest::~VXMCgiRequest()
{
    CSLDestroy(m_papszParams);
    CSLDestroy(m_papszEnv);
}

void VXMCgiRequest::EnsureParsed()
{
    if (m_bParsed)
        return;
    // Unparsed, the list is empty: a capture file that settles the request
    // also marks it parsed (LoadEnvironment).
    m_papszParams = VXMCgiParseInput();
    m_bParsed = true;
}

const char *VXMCgiRequest::GetParam(const char *pszName)
{
    EnsureParsed();
    const char *pszValue = CSLFetchNameValue(m_papszParams, pszName);
    return pszValue != nullptr ? pszValue : szEmpty;
}

char **VXMCgiRequest::GetParamValues(const char *pszName)
{
    EnsureParsed();
    return CSLFetchNameValueMultiple(m_papszParams, pszName);
}

char **VXMCgiRequest::GetParamList()
{
    EnsureParsed();
    return m_papszParams;
}

const char *VXMCgiRequest::GetEnv(const char *pszName)
{
    if (pszName == nullptr)
        return szEmpty;
    if (m_papszEnv != nullptr)
    {
        // A replayed value wins over the process environment, even when it
        // is empty.
        const char *pszValue = CSLFetchNameValue(m_papszEnv, pszName);
        if (pszValue != nullptr)
            return pszValue;
    }
    const char *pszValue = getenv(pszName);
    return pszValue != nullptr ? pszValue : szEmpty;
}

void VXMCgiRequest::SetEnv(const char *pszName, const char *pszValue)
{
    // CSLSetNameValue removes the entry for a null value; a replay entry is
    // never removed, so a null name or value changes nothing.
    if (pszName == nullptr || pszValue == nullptr)
        return;
    m_papszEnv = CSLSetNameValue(m_papszEnv, pszName, pszValue);
}
