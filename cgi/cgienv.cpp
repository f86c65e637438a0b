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
#include <cpl_error.h>
#include <cpl_vsi.h>

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

/* Whether the file may be read as a capture file: it must be a regular file
 * of at most kMaxCaptureFileBytes. Anything else (a FIFO would block the
 * open, a device or a huge file would never end or fill memory) is reported
 * as a file that cannot be opened. A file that does not exist is left to
 * CSLLoad, which reports it. */
static bool IsReadableCaptureFile(const char *pszFilename)
{
    VSIStatBufL sStat;
    if (VSIStatL(pszFilename, &sStat) != 0)
        return true;
    if (!VSI_ISREG(sStat.st_mode))
    {
        CPLError(CE_Failure, CPLE_OpenFailed, "Capture file %s is not a regular file.",
                 pszFilename);
        return false;
    }
    if (sStat.st_size > kMaxCaptureFileBytes)
    {
        CPLError(CE_Failure, CPLE_OpenFailed,
                 "Capture file %s is larger than %d bytes, more than any saved request.",
                 pszFilename, kMaxCaptureFileBytes);
        return false;
    }
    return true;
}

void VXMCgiRequest::LoadEnvironment(const char *pszFilename)
{
    char **papszLines = IsReadableCaptureFile(pszFilename) ? CSLLoad(pszFilename) : nullptr;
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
