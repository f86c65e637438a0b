/*
 * VXM CGI request library.
 *
 * The request object through which a CGI program sees its form parameters
 * and CGI variables, the parsing and URL decoding of form input, and the
 * capture/replay file that lets a request be reproduced outside a web server,
 * and codecs for URLs and HTML entities.
 *
 * Texts are bytes ending at the first zero byte. Lists are CPL string lists
 * of "name=value" entries; lookups ignore ASCII letter case and accept "=" or
 * ":" as the separator. Buffers handed to a caller come from the CPL memory
 * functions and are released with CPLFree / CSLDestroy.
 */
#ifndef VXMCGI_H_INCLUDED
#define VXMCGI_H_INCLUDED

#include <cpl_string.h>

/* Separator line of a capture file: parameter lines before it, variable
 * lines after it. */
#define VXMCGI_ENV_SEPARATOR "--- end params/start env vars ---"

/* Largest capture file that LoadEnvironment reads, in bytes. A saved request
 * is its decoded parameters (at most its body or query string: servers cap a
 * body at 64 KiB for this program and a request line at about 8 KiB) and
 * seventeen short variables; a file of 1 MiB is no saved request. */
constexpr int kMaxCaptureFileBytes = 1024 * 1024;

/* The CGI variables a capture file stores, in file order: those a request
 * is made of. */
constexpr int kVXMCgiCapturedVariableCount = 17;
extern const char *const apszVXMCgiCapturedVariables[kVXMCgiCapturedVariableCount];

/* Longest request body the library reads, in bytes. A form of style
 * parameters is a few hundred bytes; a longer body is refused before any of
 * it is read. */
constexpr int kVXMCgiMaxBodyBytes = 64 * 1024;
/* Error number of a refused body, the HTTP status that goes with it. */
constexpr CPLErrorNum VXMCGIE_BodyTooLarge = 413;
/* Error number of a request whose input did not arrive in time (a server
 * that keeps the program running gives up on it), with its HTTP status. */
constexpr CPLErrorNum VXMCGIE_RequestTimeout = 408;

class VXMCgiRequest
{
  public:
    VXMCgiRequest();
    ~VXMCgiRequest();

    VXMCgiRequest(const VXMCgiRequest &) = delete;
    VXMCgiRequest &operator=(const VXMCgiRequest &) = delete;

    /* Reads and decodes the form input once; later calls do nothing. */
    void EnsureParsed();

    /* Value of a form parameter; never null, "" when absent. Borrowed. */
    const char *GetParam(const char *pszName);
    /* Copies of the values of every matching parameter, in order; the caller
     * releases the list with CSLDestroy. Null when nothing matches. */
    char **GetParamValues(const char *pszName) CPL_WARN_UNUSED_RESULT;
    /* The parameter list itself (borrowed); may be null when empty. */
    char **GetParamList();

    /* A CGI variable: the replay list first, then the process environment;
     * never null, "" when absent. Never reads the form input. */
    const char *GetEnv(const char *pszName);
    /* Sets a replay value; the process environment is not changed. A null
     * name or value leaves the replay list as it is. */
    void SetEnv(const char *pszName, const char *pszValue);

    /* Writes the decoded parameters and the CGI variables to a capture file. */
    void SaveEnvironment(const char *pszFilename);
    /* Replaces the parameter and replay lists from a capture file. Only a
     * regular file of at most kMaxCaptureFileBytes is read; anything else is
     * reported through CPLError. A file that cannot be read, or has no
     * lines, drops the parameters and leaves the replay list alone: a
     * request that has not read its form input yet reads it on the next
     * lookup; one that has read it is left with no parameters. */
    void LoadEnvironment(const char *pszFilename);

  private:
    bool m_bParsed;
    char **m_papszParams;
    char **m_papszEnv;
};

/* Reads the form input (a POST body or QUERY_STRING), splits it at every "&"
 * and URL-decodes each piece. Never returns null; the caller owns the list.
 * A CONTENT_LENGTH above kVXMCgiMaxBodyBytes is reported through CPLError
 * (VXMCGIE_BodyTooLarge) and the body is not read. */
char **VXMCgiParseInput() CPL_WARN_UNUSED_RESULT;

/* Decodes "+" and %XX sequences in place. */
void VXMCgiUrlDecode(char *pszText);

/* Reads a decimal integer the way atoi does (leading white space, optional
 * sign, digits up to the first other character, 0 without digits), but
 * saturates at INT_MIN / INT_MAX instead of overflowing. Null reads as 0. */
int VXMCgiAtoi(const char *pszText);

/* Returns a new, form-encoded copy of the text (letters, digits and
 * -_.!~*'() unchanged, space as "+", every other byte as %XX), or null for
 * a null text. Release it with CPLFree. */
char *VXMCgiUrlEncode(const char *pszText) CPL_WARN_UNUSED_RESULT;

/* Returns base followed by "?name=value&name=value..." built from the list,
 * each name and value encoded with VXMCgiUrlEncode; a list without entries
 * gives a copy of base. Null base and null list count as empty. The list is
 * left as it was. Never null; release it with CPLFree. */
char *VXMCgiBuildQueryString(const char *pszBase,
                             CSLConstList papszList) CPL_WARN_UNUSED_RESULT;

/* Decodes HTML entities in place: decimal numeric entities (&#233;) and the
 * named entities of the table (each entry: replacement byte, then the text
 * from "&" to ";"). Anything not a complete, known entity, or a numeric one
 * whose byte would be zero, stays as it is. */
void VXMCgiDecodeEntities(char *pszText, const char *pszTable);
/* ... with &quot; &amp; &lt; &gt; &nbsp; and 24 accented letters as their
 * ISO 8859-1 bytes. */
void VXMCgiDecodeEntitiesLatin1(char *pszText);
/* ... with the same entities, accented letters folded to plain ASCII. */
void VXMCgiDecodeEntitiesAscii(char *pszText);

#endif /* VXMCGI_H_INCLUDED */
