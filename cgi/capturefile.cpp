/*
 * Capture file: a request's decoded parameters and CGI variables stored as
 * lines of text, so that the request can be replayed outside a web server.
 *
 *   parameter lines (as decoded, one entry a line)
 *   --- end params/start env vars ---
 *   NAME=value for each of the CGI variables below
 */
#include "vxmcgi.h"

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_vsi.h>

const char *const apszVXMCgiCapturedVariables[kVXMCgiCapturedVariableCount] = {
    "SERVER_SOFTWARE", "SERVER_NAME",     "GATEWAY_INTERFACE", "SERVER_PROTOCOL",
    "SERVER_PORT",     "REQUEST_METHOD",  "PATH_INFO",         "PATH_TRANSLATED",
    "SCRIPT_NAME",     "QUERY_STRING",    "REMOTE_HOST",       "REMOTE_ADDR",
    "AUTH_TYPE",       "REMOTE_USER",     "REMOTE_IDENT",      "CONTENT_TYPE",
    "CONTENT_LENGTH",
};

void VXMCgiRequest::SaveEnvironment(const char *pszFilename)
{
    EnsureParsed();

    char **papszLines = CSLDuplicate(m_papszParams);
    papszLines = CSLAddString(papszLines, VXMCGI_ENV_SEPARATOR);
    for (const char *pszVariable : apszVXMCgiCapturedVariables)
        papszLines = CSLAddNameValue(papszLines, pszVariable, GetEnv(pszVariable));

    // CSLSave reports a file that cannot be opened or written through
    // CPLError; the number of lines it wrote is of no further use here.
    CSLSave(papszLines, pszFilename);
    CSLDestroy(papszLines);
}

/* Reads the capture file's lines. The file is opened once and checked on
 * what was opened: it must be a regular file of at most
 * kMaxCaptureFileBytes, and at most one byte more than that is ever read,
 * whatever its size says (it may grow, or be a /proc file that reports no
 * size). Neither the open nor a read waits (a FIFO would block the open, a
 * file like /proc/kmsg a read). Anything else is reported as a file that
 * cannot be opened. A file that cannot be opened at all is left to CSLLoad,
 * which reports it in its own words. */
static char **ReadCaptureFile(const char *pszFilename)
{
    const int fd = open(pszFilename, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return CSLLoad(pszFilename);

    struct stat sStat;
    std::string osContent;
    bool bReadable = fstat(fd, &sStat) == 0 && S_ISREG(sStat.st_mode);
    if (!bReadable)
        CPLError(CE_Failure, CPLE_OpenFailed, "Capture file %s is not a regular file.",
                 pszFilename);
    else
    {
        char abyBuffer[16384];
        while (osContent.size() <= static_cast<size_t>(kMaxCaptureFileBytes))
        {
            const ssize_t nRead = read(fd, abyBuffer, sizeof(abyBuffer));
            if (nRead <= 0)
                break;
            osContent.append(abyBuffer, static_cast<size_t>(nRead));
        }
        if (sStat.st_size > kMaxCaptureFileBytes ||
            osContent.size() > static_cast<size_t>(kMaxCaptureFileBytes))
        {
            CPLError(CE_Failure, CPLE_OpenFailed,
                     "Capture file %s is larger than %d bytes, more than any saved request.",
                     pszFilename, kMaxCaptureFileBytes);
            bReadable = false;
        }
    }
    close(fd);
    if (!bReadable)
        return nullptr;

    // The lines as CSLLoad reads them, from the bytes read.
    const CPLString osMemFile = CPLSPrintf("/vsimem/vxmcgi_capture_%p.env", &osContent);
    VSILFILE *fpMem = VSIFileFromMemBuffer(osMemFile, reinterpret_cast<GByte *>(&osContent[0]),
                                           osContent.size(), FALSE);
    char **papszLines = fpMem != nullptr ? CSLLoad(osMemFile) : nullptr;
    if (fpMem != nullptr)
        VSIFCloseL(fpMem);
    VSIUnlink(osMemFile);
    return papszLines;
}

void VXMCgiRequest::LoadEnvironment(const char *pszFilename)
{
    char **papszLines = ReadCaptureFile(pszFilename);
    const int nLines = CSLCount(papszLines);
    if (nLines == 0)
    {
        // Missing, unreadable or empty file: no parameters. A request that
        // has not read its form input yet is not settled by this, and still
        // reads it on the next lookup; one that has read it keeps none.
        CSLDestroy(papszLines);
        CSLDestroy(m_papszParams);
        m_papszParams = nullptr;
        return;
    }

    CSLDestroy(m_papszEnv);
    m_papszEnv = nullptr;
    CSLDestroy(m_papszParams);
    m_papszParams = nullptr;
    m_bParsed = true;

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
