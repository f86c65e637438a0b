/*
 * Linked into the statically linked program only. libfcgi resolves a host
 * name when it opens a TCP socket itself (FCGX_OpenSocket with "host:port"),
 * which this program never does: it serves on the socket its process manager
 * hands over. A static program cannot use glibc's name lookup safely (it
 * would load the NSS modules of whatever glibc is installed at run time), so
 * the lookup is answered here: no host, no recovery.
 */
#include <netdb.h>

extern "C" struct hostent *gethostbyname(const char * /* pszName */)
{
    h_errno = NO_RECOVERY;
    return nullptr;
}
