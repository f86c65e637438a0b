#include "inprocess.h"

#include <cstdio>
#include <cstdlib>

#include <cpl_string.h>

#include "inprocessrequest.h"

namespace swatchtest
{

InProcessReply AnswerInProcess(const std::map<std::string, std::string> &oCgiVariables,
                               const std::string &osBody)
{
    CPLStringList aosVariables;
    for (const auto &oVar : oCgiVariables)
        aosVariables.AddString((oVar.first + "=" + oVar.second).c_str());

    ReplyBuffer oOutput;
    InProcessReply sReply;
    sReply.nStatus = AnswerRequestInProcess(aosVariables.List(), osBody.data(), osBody.size(),
                                            oOutput.Stream());
    sReply.osOutput = oOutput.Contents();
    return sReply;
}

} // namespace swatchtest
