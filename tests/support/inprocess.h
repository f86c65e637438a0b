/* Answers a swatch request inside the calling process, through the road the
 * FastCGI worker takes (AnswerRequestInProcess), with the reply captured in
 * memory. Errors end the request only. */
#ifndef SWATCH_INPROCESS_H
#define SWATCH_INPROCESS_H

#include <map>
#include <string>

namespace swatchtest
{

struct InProcessReply
{
    int nStatus = -1;
    std::string osOutput;
};

InProcessReply AnswerInProcess(const std::map<std::string, std::string> &oCgiVariables,
                               const std::string &osBody);

} // namespace swatchtest

#endif
