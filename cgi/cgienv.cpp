/*
 * Capture file: a request's decoded parameters and CGI variables stored as
 * lines of text, so that the request can be replayed outside a web server.
 *
 *   parameter lines (as decoded, one entry a line)
 *   --- end params/start env vars ---
 *   NAME=value for each of the CGI variables below
 */
#include "vxmcgi.h"

#include <cpl_conv.h>

/* The CGI variables a capture file stores, in file order. */
static const char *const apszCapturedVariables[] = {
    "SERVER_SOFTWARE", "SERVER_NAME",     "GATEWAY_INTERFACE", "SERVER_PROTOCOL",
    "SERVER_PORT",     "REQUEST_METHOD",  "PATH_INFO",         "PATH_TRANSLATED",
    "SCRIPT_NAME",     "QUERY_STRING",    "REMOTE_HOST",       "REMOTE_ADDR",
    "AUTH_TYPE",       "REMOTE_USER",     "REMOTE_IDENT",      "CONTENT_TYPE",
    "CONTENT_LENGTH",
};

void VXMCgiRequest::SaveEnvironment(const char *pszFilename)
{
    if (!m_bParsed)
        EnsureParsed();

    char **papszLines = CSLDuplicate(m_papszParams);
    papszLines = CSLAddString(papszLines, VXMCGI_ENV_SEPARATOR);
    for (const char *pszVariable : apszCapturedVariables)
        papszLines = CSLAddNameValue(papszLines, pszVariable, GetEnv(pszVariable));

    // CSLSave reports a file that cannot be opened or written through
    // CPLError; the number of lines it wrote is of no further use here.
    CSLSave(papszLines, pszFilename);
    CSLDestroy(papszLines);
}

void VXMCgiRequest::LoadEnvironment(const char *pszFilename)
{
    char **papszLines = CSLLoad(pszFilename);
    const int nLines = CSLCount(papszLines);
    if (nLines == 0)
    {
        // Missing, unreadable or empty file: no parameters, but the request
        // is not settled, so a later access still reads the live form input.
        CSLDestroy(papszLines);
        CSLDestroy(m_papszParams);
        m_papszParams = nullptr;
        return;
    }

    CSLDestroy(m_papszEnv);
    m_papszEnv = nullptr;
    CSLDestroy(m_papszParams);
    m_papszParams = nullptr;
    m_bParsed = 1;

    for (int iLine = 0; iLine < nLines; iLine++)
    {
        if (EQUAL(papszLines[iLine], VXMCGI_ENV_SEPARATOR))
        {
            // Move the variable lines into the replay list, then drop the
            // separator; what remains are the parameter lines.
            const int nVariables = nLines - (iLine + 1);
            if (nVariables > 0)
                papszLines = CSLRemoveStrings(papszLines, iLine + 1, nVariables, &m_papszEnv);
            papszLines = CSLRemoveStrings(papszLines, iLine, 1, nullptr);
            break;
        }
    }
    m_papszParams = papszLines;
}
