#include "inprocess.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

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
    std::vector<std::string> aosVariables;
    for (const auto &oVar : oCgiVariables)
        aosVariables.push_back(oVar.first + "=" + oVar.second);
    std::vector<char *> apszVariables;
    for (auto &osVar : aosVariables)
        apszVariables.push_back(&osVar[0]);
    apszVariables.push_back(nullptr);

    char *pabyOutput = nullptr;
    size_t nOutput = 0;
    FILE *fpOut = open_memstream(&pabyOutput, &nOutput);
    InProcessReply sReply;
    sReply.nStatus = AnswerRequestInProcess(apszVariables.data(), osBody.data(), osBody.size(), fpOut);
    fclose(fpOut);
    sReply.osOutput.assign(pabyOutput, nOutput);
    free(pabyOutput);
    return sReply;
}

} // namespace swatchtest
