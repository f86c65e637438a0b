#include "inprocess.h"

#include <cstdio>
#include <cstdlib>
#include <stdio_ext.h>
#include <sys/mman.h>
#include <unistd.h>

#include "swatch.h"
#include "vxmcgi.h"

namespace swatchtest
{

const char *const apszCgiVariables[17] = {
    "SERVER_SOFTWARE", "SERVER_NAME",  "GATEWAY_INTERFACE", "SERVER_PROTOCOL", "SERVER_PORT",
    "REQUEST_METHOD",  "PATH_INFO",    "PATH_TRANSLATED",   "SCRIPT_NAME",     "QUERY_STRING",
    "REMOTE_HOST",     "REMOTE_ADDR",  "AUTH_TYPE",         "REMOTE_USER",     "REMOTE_IDENT",
    "CONTENT_TYPE",    "CONTENT_LENGTH"};

InProcessReply AnswerInProcess(const std::map<std::string, std::string> &oCgiVariables,
                               const std::string &osBody)
{
    for (const char *pszName : apszCgiVariables)
        unsetenv(pszName);
    for (const auto &oVar : oCgiVariables)
        setenv(oVar.first.c_str(), oVar.second.c_str(), 1);

    // The body becomes standard input for the length of the request.
    const int fdBody = memfd_create("swatch-body", 0);
    if (!osBody.empty() && write(fdBody, osBody.data(), osBody.size()) < 0)
        perror("write");
    lseek(fdBody, 0, SEEK_SET);
    const int fdSavedStdin = dup(0);
    dup2(fdBody, 0);
    close(fdBody);
    __fpurge(stdin); // a seek could keep the previous request's bytes
    clearerr(stdin);

    char *pabyOutput = nullptr;
    size_t nOutput = 0;
    FILE *fpOut = open_memstream(&pabyOutput, &nOutput);
    InProcessReply sReply;
    {
        VXMCgiRequest oRequest;
        sReply.nStatus = AnswerSwatchRequestContained(oRequest, fpOut);
    }
    fclose(fpOut);
    sReply.osOutput.assign(pabyOutput, nOutput);
    free(pabyOutput);

    dup2(fdSavedStdin, 0);
    close(fdSavedStdin);
    __fpurge(stdin);
    clearerr(stdin);
    for (const char *pszName : apszCgiVariables)
        unsetenv(pszName);
    return sReply;
}

} // namespace swatchtest
