/* The CGI variables of a request, set and unset for a test. */
#include "test_util.h"

#include <cstdlib>

namespace swatchtest
{

std::map<std::string, std::string> CgiGet(const std::string &osPath, const std::string &osQuery)
{
    return {{"GATEWAY_INTERFACE", "CGI/1.1"},
            {"REQUEST_METHOD", "GET"},
            {"SCRIPT_NAME", "/cgi-bin/swatch"},
            {"PATH_INFO", osPath},
            {"QUERY_STRING", osQuery}};
}

std::map<std::string, std::string> CgiPost(const std::string &osPath, const std::string &osBody)
{
    std::map<std::string, std::string> oVariables = CgiGet(osPath);
    oVariables["REQUEST_METHOD"] = "POST";
    oVariables["CONTENT_LENGTH"] = std::to_string(osBody.size());
    oVariables.erase("QUERY_STRING");
    return oVariables;
}

ScopedEnv::~ScopedEnv()
{
    for (auto it = m_aoSaved.rbegin(); it != m_aoSaved.rend(); ++it)
    {
        if (it->second)
            setenv(it->first.c_str(), it->second->c_str(), 1);
        else
            unsetenv(it->first.c_str());
    }
}

void ScopedEnv::Set(const std::string &osName, const std::optional<std::string> &osValue)
{
    const char *pszOld = getenv(osName.c_str());
    m_aoSaved.emplace_back(osName, pszOld ? std::optional<std::string>(pszOld) : std::nullopt);
    if (osValue)
        setenv(osName.c_str(), osValue->c_str(), 1);
    else
        unsetenv(osName.c_str());
}

void ClearCgiEnvironment(ScopedEnv &oEnv)
{
    for (const char *pszName : apszVXMCgiCapturedVariables)
        oEnv.Set(pszName, std::nullopt);
}

} // namespace swatchtest
