/*
 * The FastCGI record layer: records of the FastCGI 1.0 protocol, responder
 * role, as a web server sends them on a kept or a one-request connection.
 *
 * A record is an 8-byte header (version 1, type, request id, content length,
 * padding length, a reserved byte), its content and its padding.
 */
#include "fastcgirecords.h"

#include <algorithm>
#include <cstring>

#include "inprocessrequest.h"
#include "replies.h"
#include "vxmcgi.h"

namespace
{

enum RecordType : uint8_t
{
    kBeginRequest = 1,
    kAbortRequest = 2,
    kEndRequest = 3,
    kParams = 4,
    kStdin = 5,
    kStdout = 6,
    kGetValues = 9,
    kGetValuesResult = 10,
    kUnknownType = 11,
};

constexpr size_t kHeaderBytes = 8;
constexpr uint16_t kResponderRole = 1;
constexpr uint8_t kKeepConnectionFlag = 1;
constexpr uint8_t kRequestComplete = 0;
constexpr uint8_t kUnknownRole = 3;
/* Longest content of one record. */
constexpr size_t kMaxContentBytes = 0xFFFF;
/* Input held back while a connection has as many requests as it may: one
 * whole record, at the most. */
constexpr size_t kMaxHeldInputBytes = kHeaderBytes + kMaxContentBytes + 0xFF;

/* Reads one length of a name-value pair: one byte, or four with the top bit
 * set. False when the bytes end first. */
bool ReadPairLength(const std::string &osPairs, size_t &nAt, size_t &nLength)
{
    if (nAt >= osPairs.size())
        return false;
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(osPairs[nAt + i]); };
    if ((byte(0) & 0x80) == 0)
    {
        nLength = byte(0);
        nAt += 1;
        return true;
    }
    if (osPairs.size() - nAt < 4)
        return false;
    nLength = (static_cast<size_t>(byte(0) & 0x7F) << 24) | (static_cast<size_t>(byte(1)) << 16) |
              (static_cast<size_t>(byte(2)) << 8) | byte(3);
    nAt += 4;
    return true;
}

/* The name-value pairs of a PARAMS stream as NAME=value; false when a
 * length runs past the end. *pbTooMany (when given) is set, and nothing
 * kept, when the pairs cost more to hold than kVXMCgiMaxBodyBytes. */
bool ParsePairs(const std::string &osPairs, CPLStringList &aosParams, bool *pbTooMany = nullptr)
{
    size_t nAt = 0;
    size_t nCost = osPairs.size();
    while (nAt < osPairs.size())
    {
        nCost += kParamOverheadBytes;
        if (pbTooMany != nullptr && nCost > static_cast<size_t>(kVXMCgiMaxBodyBytes))
        {
            *pbTooMany = true;
            aosParams.Clear();
            return true;
        }
        size_t nName = 0, nValue = 0;
        if (!ReadPairLength(osPairs, nAt, nName) || !ReadPairLength(osPairs, nAt, nValue) ||
            nName > osPairs.size() - nAt || nValue > osPairs.size() - nAt - nName)
            return false;
        std::string osPair = osPairs.substr(nAt, nName);
        osPair += '=';
        osPair.append(osPairs, nAt + nName, nValue);
        aosParams.AddString(osPair.c_str());
        nAt += nName + nValue;
    }
    return true;
}

} // namespace

bool FastCgiRequest::IsComplete() const
{
    if (!bParamsDone)
        return false;
    if (bParamsTooLong || bInputDone)
        return true;
    return bBodyToEnd ? bBodyTooLong : osBody.size() >= nBodyWanted;
}

FastCgiConnection::FastCgiConnection(FastCgiClock::time_point tNow) : m_tIdleSince(tNow)
{
}

bool FastCgiConnection::Receive(const char *pabyData, size_t nSize, FastCgiClock::time_point tNow)
{
    m_osInput.append(pabyData, nSize);
    return ProcessInput(tNow);
}

bool FastCgiConnection::ProcessInput(FastCgiClock::time_point tNow)
{
    // Answers queued from here on are given the reply's time to be taken.
    if (PendingSize() == 0)
        m_tReplyQueued = tNow;
    size_t nAt = 0;
    bool bOk = true;
    while (bOk && m_osInput.size() - nAt >= kHeaderBytes)
    {
        const auto *pabyHeader = reinterpret_cast<const uint8_t *>(m_osInput.data() + nAt);
        if (pabyHeader[0] != 1)
        {
            bOk = false;
            break;
        }
        const size_t nLength = static_cast<size_t>(pabyHeader[4] << 8 | pabyHeader[5]);
        const size_t nRecord = kHeaderBytes + nLength + pabyHeader[6];
        if (m_osInput.size() - nAt < nRecord)
            break;
        // A new request waits while the connection has as many as it may.
        if (pabyHeader[1] == kBeginRequest && m_aoRequests.size() >= kMaxRequestsPerConnection)
            break;
        // So does a record that is answered at once (a management record, a
        // request's beginning or abort) while a megabyte of answers is not
        // taken: the peer's input is then held, one record at the most.
        const bool bAnswered = pabyHeader[1] == kBeginRequest || pabyHeader[1] == kAbortRequest ||
                               (pabyHeader[2] | pabyHeader[3]) == 0;
        if (bAnswered && PendingSize() > kMaxUnreadOutputBytes)
            break;
        bOk = HandleRecord(pabyHeader[1], static_cast<uint16_t>(pabyHeader[2] << 8 | pabyHeader[3]),
                           m_osInput.data() + nAt + kHeaderBytes, nLength, tNow);
        nAt += nRecord;
    }
    m_osInput.erase(0, nAt);
    return bOk;
}

bool FastCgiConnection::WantsInput() const
{
    return m_osInput.size() < kMaxHeldInputBytes;
}

FastCgiRequest *FastCgiConnection::FindRequest(uint16_t nId)
{
    // A server that pipelines may use one id again once a request's input
    // has ended: records go to the newest request of their id.
    for (auto it = m_aoRequests.rbegin(); it != m_aoRequests.rend(); ++it)
        if (it->nId == nId)
            return &*it;
    return nullptr;
}

bool FastCgiConnection::HandleRecord(uint8_t nType, uint16_t nId, const char *pabyContent,
                                     size_t nLength, FastCgiClock::time_point tNow)
{
    if (nId == 0)
    {
        // Management records: the server asks what the worker takes.
        if (nType == kGetValues)
            AnswerGetValues(pabyContent, nLength);
        else
        {
            char abyUnknown[8] = {static_cast<char>(nType)};
            AppendRecord(kUnknownType, 0, abyUnknown, sizeof(abyUnknown));
        }
        return true;
    }
    if (nType == kBeginRequest)
        return BeginRequest(nId, pabyContent, nLength, tNow);

    // Records of a request that has ended (the rest of an input the answer
    // did not need) or never began are passed over.
    FastCgiRequest *poRequest = FindRequest(nId);
    if (poRequest == nullptr)
        return true;
    switch (nType)
    {
        case kParams:
            return poRequest->bParamsDone || TakeParams(*poRequest, pabyContent, nLength);
        case kStdin:
            if (!poRequest->bParamsDone)
                return false;
            TakeStdin(*poRequest, pabyContent, nLength);
            return true;
        case kAbortRequest:
            EndRequest(nId, kRequestComplete);
            m_aoRequests.erase(std::find_if(m_aoRequests.begin(), m_aoRequests.end(),
                                            [poRequest](const FastCgiRequest &oRequest)
                                            { return &oRequest == poRequest; }));
            m_tIdleSince = tNow;
            return true;
        default:
            return true;
    }
}

bool FastCgiConnection::BeginRequest(uint16_t nId, const char *pabyContent, size_t nLength,
                                     FastCgiClock::time_point tNow)
{
    const FastCgiRequest *poSameId = FindRequest(nId);
    if (nLength < 8 || (poSameId != nullptr && !poSameId->bInputDone))
        return false;
    const auto *pabyBody = reinterpret_cast<const uint8_t *>(pabyContent);
    if ((pabyBody[0] << 8 | pabyBody[1]) != kResponderRole)
    {
        // Only responders here: the request ends at once.
        EndRequest(nId, kUnknownRole);
        return true;
    }
    m_bHadRequest = true;
    FastCgiRequest oRequest;
    oRequest.nId = nId;
    oRequest.bKeepConnection = (pabyBody[2] & kKeepConnectionFlag) != 0;
    oRequest.tBegun = tNow;
    m_aoRequests.push_back(std::move(oRequest));
    return true;
}

bool FastCgiConnection::TakeParams(FastCgiRequest &oRequest, const char *pabyContent,
                                   size_t nLength)
{
    if (nLength > 0)
    {
        if (oRequest.bParamsTooLong)
            return true;
        if (oRequest.osParamBytes.size() + nLength > static_cast<size_t>(kVXMCgiMaxBodyBytes))
        {
            oRequest.bParamsTooLong = true;
            std::string().swap(oRequest.osParamBytes);
        }
        else
            oRequest.osParamBytes.append(pabyContent, nLength);
        return true;
    }

    oRequest.bParamsDone = true;
    const bool bParsed = ParsePairs(oRequest.osParamBytes, oRequest.aosParams, &oRequest.bParamsTooLong);
    std::string().swap(oRequest.osParamBytes);
    if (!bParsed)
        return false;
    if (oRequest.bParamsTooLong)
        return true;
    const char *pszLength = oRequest.aosParams.FetchNameValue("CONTENT_LENGTH");
    const char *pszMethod = oRequest.aosParams.FetchNameValue("REQUEST_METHOD");
    if (pszLength == nullptr)
        oRequest.bBodyToEnd = pszMethod != nullptr && strcmp(pszMethod, "POST") == 0;
    else
    {
        // A longer body is refused unread, so none of it is waited for.
        const int nWanted = VXMCgiAtoi(pszLength);
        if (nWanted > 0 && nWanted <= kVXMCgiMaxBodyBytes)
            oRequest.nBodyWanted = static_cast<size_t>(nWanted);
    }
    return true;
}

void FastCgiConnection::TakeStdin(FastCgiRequest &oRequest, const char *pabyContent,
                                  size_t nLength)
{
    if (nLength == 0)
        oRequest.bInputDone = true;
    else if (oRequest.bBodyToEnd)
    {
        if (oRequest.bBodyTooLong)
            return;
        if (oRequest.osBody.size() + nLength > static_cast<size_t>(kVXMCgiMaxBodyBytes))
        {
            oRequest.bBodyTooLong = true;
            std::string().swap(oRequest.osBody);
        }
        else
            oRequest.osBody.append(pabyContent, nLength);
    }
    else if (oRequest.osBody.size() < oRequest.nBodyWanted)
        oRequest.osBody.append(pabyContent,
                               std::min(nLength, oRequest.nBodyWanted - oRequest.osBody.size()));
}

void FastCgiConnection::AnswerGetValues(const char *pabyContent, size_t nLength)
{
    CPLStringList aosAsked;
    if (!ParsePairs(std::string(pabyContent, nLength), aosAsked))
        return;
    // One request at a time per connection; requests on one connection are
    // answered in turn, not side by side.
    const std::string osMaxConnections = std::to_string(kMaxConnections);
    const std::pair<const char *, const char *> asKnown[] = {
        {"FCGI_MAX_CONNS", osMaxConnections.c_str()},
        {"FCGI_MAX_REQS", osMaxConnections.c_str()},
        {"FCGI_MPXS_CONNS", "0"}};
    // Each name answered once, whatever was asked: the answer fits a record.
    std::string osPairs;
    for (const auto &oKnown : asKnown)
    {
        const size_t nName = strlen(oKnown.first);
        for (int i = 0; i < aosAsked.size(); i++)
        {
            if (strncmp(aosAsked[i], oKnown.first, nName) == 0 && aosAsked[i][nName] == '=')
            {
                osPairs += static_cast<char>(nName);
                osPairs += static_cast<char>(strlen(oKnown.second));
                osPairs += oKnown.first;
                osPairs += oKnown.second;
                break;
            }
        }
    }
    AppendRecord(kGetValuesResult, 0, osPairs.data(), osPairs.size());
}

void FastCgiConnection::AppendRecord(uint8_t nType, uint16_t nId, const char *pabyContent,
                                     size_t nLength)
{
    const char abyHeader[kHeaderBytes] = {1,
                                          static_cast<char>(nType),
                                          static_cast<char>(nId >> 8),
                                          static_cast<char>(nId & 0xFF),
                                          static_cast<char>(nLength >> 8),
                                          static_cast<char>(nLength & 0xFF),
                                          0,
                                          0};
    m_osOutput.append(abyHeader, kHeaderBytes);
    m_osOutput.append(pabyContent, nLength);
}

void FastCgiConnection::EndRequest(uint16_t nId, uint8_t nProtocolStatus)
{
    // Application status 0, then the protocol status.
    const char abyBody[8] = {0, 0, 0, 0, static_cast<char>(nProtocolStatus)};
    AppendRecord(kEndRequest, nId, abyBody, sizeof(abyBody));
}

FastCgiRequest *FastCgiConnection::RequestToAnswer()
{
    if (m_bCloseWhenSent || PendingSize() > 0 || m_aoRequests.empty() ||
        !m_aoRequests.front().IsComplete())
        return nullptr;
    return &m_aoRequests.front();
}

void FastCgiConnection::AppendReply(const char *pabyData, size_t nSize)
{
    const uint16_t nId = m_aoRequests.front().nId;
    for (size_t nAt = 0; nAt < nSize; nAt += kMaxContentBytes)
        AppendRecord(kStdout, nId, pabyData + nAt, std::min(kMaxContentBytes, nSize - nAt));
}

void FastCgiConnection::FinishReply(FastCgiClock::time_point tNow)
{
    const FastCgiRequest &oRequest = m_aoRequests.front();
    AppendRecord(kStdout, oRequest.nId, nullptr, 0);
    EndRequest(oRequest.nId, kRequestComplete);
    if (!oRequest.bKeepConnection)
    {
        m_bCloseWhenSent = true;
        m_bLastInputEnded = oRequest.bInputDone && m_aoRequests.size() == 1;
    }
    m_aoRequests.pop_front();
    m_tReplyQueued = tNow;
    m_tIdleSince = tNow;
    // Requests held back for room may go on now.
    if (!ProcessInput(tNow))
        m_bBroken = true;
}

void FastCgiConnection::Sent(size_t nSize)
{
    m_nOutputSent += nSize;
    if (m_nOutputSent == m_osOutput.size())
    {
        // A large reply's room is given back, not kept for the connection's life.
        if (m_osOutput.capacity() > kKeptOutputBytes)
            std::string().swap(m_osOutput);
        else
            m_osOutput.clear();
        m_nOutputSent = 0;
    }
}

bool FastCgiConnection::CheckTimes(FastCgiClock::time_point tNow)
{
    if (m_bBroken || (PendingSize() > 0 && tNow - m_tReplyQueued >= kReplyTimeout))
        return false;
    // Records held back while answers waited go on once they are taken.
    if (PendingSize() == 0 && !m_osInput.empty() && !ProcessInput(tNow))
        return false;
    // Requests are answered in turn, so the oldest one times out first.
    while (!m_aoRequests.empty() && !m_aoRequests.front().IsComplete() &&
           tNow - m_aoRequests.front().tBegun >= kRequestInputTimeout)
    {
        ReplyBuffer oPage;
        if (oPage.Stream() != nullptr)
        {
            WriteErrorPage(oPage.Stream(), VXMCGIE_RequestTimeout,
                           "The request did not arrive in time.");
            const std::string osPage = oPage.Contents();
            AppendReply(osPage.data(), osPage.size());
        }
        FinishReply(tNow);
    }
    if (PendingSize() > 0 || m_bCloseWhenSent)
        return true;
    return !m_aoRequests.empty() || tNow - m_tIdleSince < IdleTimeout();
}

FastCgiClock::time_point FastCgiConnection::NextDeadline() const
{
    if (m_bBroken)
        return FastCgiClock::time_point::min();
    FastCgiClock::time_point tNext = FastCgiClock::time_point::max();
    if (PendingSize() > 0)
        tNext = m_tReplyQueued + kReplyTimeout;
    if (m_bCloseWhenSent)
        return tNext;
    // Idle only with nothing to send, as CheckTimes counts it.
    if (m_aoRequests.empty())
    {
        if (PendingSize() == 0)
            tNext = std::min(tNext, m_tIdleSince + IdleTimeout());
    }
    else if (!m_aoRequests.front().IsComplete())
        tNext = std::min(tNext, m_aoRequests.front().tBegun + kRequestInputTimeout);
    return tNext;
}
