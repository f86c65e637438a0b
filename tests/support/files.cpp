/* Files and folders a test makes and reads, and the capture file in a /temp of its own. */
#include "test_util.h"

#include <cstring>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace swatchtest
{

TempDir::TempDir()
{
    char szTemplate[] = "/tmp/swatchtest.XXXXXX";
    const char *pszDir = mkdtemp(szTemplate);
    m_osDir = pszDir ? pszDir : "/tmp";
}

static int RemoveEntry(const char *pszPath, const struct stat *, int, struct FTW *)
{
    chmod(pszPath, 0700);
    return remove(pszPath);
}

TempDir::~TempDir()
{
    if (m_osDir != "/tmp")
        nftw(m_osDir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void WriteFile(const std::string &osPath, const std::string &osContent)
{
    std::ofstream oOut(osPath, std::ios::binary | std::ios::trunc);
    oOut.write(osContent.data(), static_cast<std::streamsize>(osContent.size()));
}

std::string ReadFile(const std::string &osPath)
{
    std::ifstream oIn(osPath, std::ios::binary);
    std::ostringstream oText;
    oText << oIn.rdbuf();
    return oText.str();
}

ScopedCaptureFile::ScopedCaptureFile()
{
    // Only a /temp of the test's own (tests/private_temp.sh) is written.
    const char *pszPrivate = getenv("SWATCH_PRIVATE_TEMP");
    m_bUsable = pszPrivate != nullptr && strcmp(pszPrivate, "1") == 0 && access(kDir, W_OK) == 0;
    if (m_bUsable)
        unlink(kFile);
}

ScopedCaptureFile::~ScopedCaptureFile()
{
    if (m_bUsable)
        unlink(kFile);
}

} // namespace swatchtest
