#include "inprocess.h"

#include <cstdio>
#include <cstdlib>

#include <cpl_string.h>

#include "swatch.h"

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
    CPLStringList aosVariables;
    for (const auto &oVar : oCgiVariables)
        aosVariables.AddString((oVar.first + "=" + oVar.second).c_str());

    char *pabyOutput = nullptr;
    size_t nOutput = 0;
    FILE *fpOut = open_memstream(&pabyOutput, &nOutput);
    InProcessReply sReply;
    sReply.nStatus = AnswerRequestInProcess(aosVariables.List(), osBody.data(), osBody.size(), fpOut);
    fclose(fpOut);
    sReply.osOutput.assign(pabyOutput, nOutput);
    free(pabyOutput);
    return sReply;
}

} // namespace swatchtest
