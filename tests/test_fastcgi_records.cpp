/* The FastCGI record layer on a clock of the test's own: records in, bytes
 * out, and each of its times firing exactly when it is due, no socket and
 * no waiting. */
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "fastcgi_client.h"
#include "fastcgirecords.h"
#include "test_util.h"

using namespace fastcgiclient;
using namespace swatchtest;

namespace
{

const FastCgiClock::time_point t0{};
constexpr std::chrono::milliseconds kJustBefore{1};

/* A request with these parameters, its input ended unless bOpen. */
std::string Request(int nId, const std::map<std::string, std::string> &oParams = CgiGet("/8/8"), bool bOpen = false)
{
    return RequestHead(oParams, nId) + (bOpen ? "" : Record(kStdin, "", nId));
}

const std::string kGetValues =
    Record(static_cast<RecordType>(9), Length(14) + Length(0) + "FCGI_MAX_CONNS", 0);

bool Feed(FastCgiConnection &oConnection, const std::string &osBytes, FastCgiClock::time_point t)
{
    return oConnection.Receive(osBytes.data(), osBytes.size(), t);
}

/* Answers the request in hand with a reply of nBytes. */
void Answer(FastCgiConnection &oConnection, size_t nBytes, FastCgiClock::time_point t)
{
    const std::string osReply(nBytes, 'r');
    oConnection.AppendReply(osReply.data(), osReply.size());
    oConnection.FinishReply(t);
}

} // namespace

TEST(FastCgiRecords, EachTimeFiresWhenDueAndNotBefore)
{
    const struct
    {
        const char *pszWhat;
        std::string osInput; // what the peer sends at t0
        bool bAnswer;        // the request is answered at t0, its reply not taken
        std::chrono::seconds tDue;
    } asCases[] = {
        {"a connection that never sends a request", "", false, kRequestInputTimeout},
        {"a kept connection idle after its request", "", true, kIdleConnectionTimeout},
        {"a reply not taken", "", true, kReplyTimeout},
        {"answers to management records not taken", kGetValues, false, kReplyTimeout},
    };
    for (const auto &sCase : asCases)
    {
        SCOPED_TRACE(sCase.pszWhat);
        FastCgiConnection oConnection(t0);
        const bool bRequest = sCase.bAnswer;
        ASSERT_TRUE(Feed(oConnection, bRequest ? Request(1) : sCase.osInput, t0));
        if (bRequest)
        {
            ASSERT_NE(oConnection.RequestToAnswer(), nullptr);
            Answer(oConnection, 100, t0);
            // The idle case: the reply is taken at once.
            if (sCase.tDue == kIdleConnectionTimeout)
                oConnection.Sent(oConnection.PendingSize());
        }
        EXPECT_EQ(oConnection.NextDeadline(), t0 + sCase.tDue);
        EXPECT_TRUE(oConnection.CheckTimes(t0 + sCase.tDue - kJustBefore));
        EXPECT_FALSE(oConnection.CheckTimes(t0 + sCase.tDue));
    }
}

TEST(FastCgiRecords, PipelinedPastTheLimitIdsReusedAndAborts)
{
    FastCgiConnection oConnection(t0);
    // Six requests at once: four are taken, the rest wait in the input
    // until there is room; id 1 is used again once its input has ended.
    std::string osPipelined;
    for (const int nId : {1, 2, 3, 4, 1, 5})
        osPipelined += Request(nId);
    ASSERT_TRUE(Feed(oConnection, osPipelined, t0));
    std::vector<int> anAnswered;
    // Request 3 is aborted before its turn: it ends without a reply.
    ASSERT_TRUE(Feed(oConnection, Record(static_cast<RecordType>(2), "", 3), t0));
    for (int nRound = 0; nRound < 6; nRound++)
    {
        oConnection.Sent(oConnection.PendingSize());
        FastCgiRequest *poRequest = oConnection.RequestToAnswer();
        if (poRequest == nullptr)
            break;
        anAnswered.push_back(poRequest->nId);
        Answer(oConnection, 10, t0);
    }
    EXPECT_EQ(anAnswered, (std::vector<int>{1, 2, 4, 1, 5}));
}

TEST(FastCgiRecords, ManagementRecordsWhileAReplyIsUnsent)
{
    // A reply of 2 MB not taken: a GET_VALUES after it is held, not
    // answered, and the peer's input stops being taken at one record.
    FastCgiConnection oConnection(t0);
    ASSERT_TRUE(Feed(oConnection, Request(1), t0));
    Answer(oConnection, 2 * 1024 * 1024, t0);
    const size_t nReply = oConnection.PendingSize();
    const std::string &osAsk = kGetValues;
    ASSERT_TRUE(Feed(oConnection, osAsk, t0));
    EXPECT_EQ(oConnection.PendingSize(), nReply);
    std::string osFlood;
    while (osFlood.size() < 70000)
        osFlood += osAsk;
    ASSERT_TRUE(Feed(oConnection, osFlood, t0));
    EXPECT_FALSE(oConnection.WantsInput());
    // Once the reply is taken, what was held is answered.
    oConnection.Sent(nReply);
    EXPECT_TRUE(oConnection.CheckTimes(t0));
    EXPECT_GT(oConnection.PendingSize(), 0u);
    EXPECT_TRUE(oConnection.WantsInput());
}
