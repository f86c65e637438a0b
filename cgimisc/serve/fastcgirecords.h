/*
 * VXM Swatchery: the FastCGI records of one connection, read and written
 * without any I/O of its own. The worker feeds in the bytes that arrive and
 * takes out the bytes to send; in between, this layer collects each request
 * whole (parameters and body) before it is answered, answers requests in the
 * order they began, and keeps what it holds bounded: a request's parameters
 * and its body are at most kVXMCgiMaxBodyBytes each (a parameter counted
 * with what it costs to hold), a connection holds at most
 * kMaxRequestsPerConnection requests, no record is read while more than
 * kMaxUnreadOutputBytes of answers wait to be taken, and a record is dealt
 * with as soon as it is whole.
 *
 * Why not libfcgi: its streams block on one connection until a request's
 * input is read, and it drops what it read ahead of the request it serves,
 * so a slow peer holds the worker and a pipelined request is lost.
 */
#ifndef VXM_FASTCGIRECORDS_H_INCLUDED
#define VXM_FASTCGIRECORDS_H_INCLUDED

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include <cpl_string.h>

using FastCgiClock = std::chrono::steady_clock;

/* How long a request's input may take to arrive, from its first record. */
constexpr std::chrono::seconds kRequestInputTimeout{10};
/* How long a reply may take to be taken by the server. */
constexpr std::chrono::seconds kReplyTimeout{30};
/* How long a kept connection may stay without a request; one that has
 * never sent one has kRequestInputTimeout. */
constexpr std::chrono::seconds kIdleConnectionTimeout{60};
/* Answers to management records (and ends of aborted requests) queued
 * and not taken, past which no more records are read until they are. */
constexpr size_t kMaxUnreadOutputBytes = 1024 * 1024;
/* What holding one parameter costs besides its bytes (its string on the
 * heap and its place in the list), counted against kVXMCgiMaxBodyBytes. */
constexpr size_t kParamOverheadBytes = 64;
/* Past this much, the output buffer's memory is given back once it has
 * been sent, so that an idle connection holds no large reply's room. */
constexpr size_t kKeptOutputBytes = 256 * 1024;
/* Requests begun and not yet answered on one connection. Servers send one
 * at a time; a few pipelined ones wait their turn. */
constexpr size_t kMaxRequestsPerConnection = 4;
/* How many connections one worker holds at most; past that it leaves new
 * ones to the other workers. Said to the server in FCGI_GET_VALUES. */
constexpr size_t kMaxConnections = 256;

/* One request as it arrives: its parameters, then its body. */
struct FastCgiRequest
{
    uint16_t nId = 0;
    bool bKeepConnection = false;
    FastCgiClock::time_point tBegun;

    std::string osParamBytes; // the PARAMS stream, until it ends
    bool bParamsDone = false;
    CPLStringList aosParams; // NAME=value, once the PARAMS stream ended

    /* The body the answer needs: CONTENT_LENGTH bytes, or all of the input
     * for a POST that has no length (a chunked body passed on). */
    bool bBodyToEnd = false;
    size_t nBodyWanted = 0;
    std::string osBody;
    bool bInputDone = false; // the empty STDIN record came
    /* Past what the program takes: parameters (answered 400) or a body of
     * unknown length (answered 413; a body with a longer CONTENT_LENGTH is
     * refused by the request library without being read). */
    bool bParamsTooLong = false;
    bool bBodyTooLong = false;

    /* All that the answer needs has come. */
    bool IsComplete() const;
};

class FastCgiConnection
{
  public:
    explicit FastCgiConnection(FastCgiClock::time_point tNow);

    /* Takes bytes that arrived. False when they break the protocol: the
     * connection is then to be closed. */
    bool Receive(const char *pabyData, size_t nSize, FastCgiClock::time_point tNow);

    /* The request to answer next: the oldest one, once it is complete; null
     * while there is none, or while the last reply is still being sent. */
    FastCgiRequest *RequestToAnswer();
    /* Sends the answer to RequestToAnswer(): AppendReply as often as needed,
     * then FinishReply, which ends the request (its later input is
     * ignored). */
    void AppendReply(const char *pabyData, size_t nSize);
    void FinishReply(FastCgiClock::time_point tNow);

    /* What is to be sent, and how much of it went. */
    const char *PendingData() const
    {
        return m_osOutput.data() + m_nOutputSent;
    }
    size_t PendingSize() const
    {
        return m_osOutput.size() - m_nOutputSent;
    }
    void Sent(size_t nSize);

    /* Requests that have not arrived in time get a 408 reply; false when
     * the connection is to be closed: its reply has not been taken in time,
     * it has been idle too long, or its input broke the protocol. */
    bool CheckTimes(FastCgiClock::time_point tNow);
    /* The server asked for the connection to end after its request, and
     * the reply has gone. */
    bool IsFinished() const
    {
        return m_bCloseWhenSent && PendingSize() == 0;
    }
    /* Once finished: the server has sent all it was to send (the last
     * request's input ended, and nothing came after it). */
    bool HasNothingMoreToRead() const
    {
        return m_bLastInputEnded && m_osInput.empty();
    }
    /* When CheckTimes next has something to do. */
    FastCgiClock::time_point NextDeadline() const;
    /* No request under way and nothing to send: the connection can be
     * closed without losing anything, the longest idle first. */
    bool IsIdle() const
    {
        return m_aoRequests.empty() && PendingSize() == 0 && m_osInput.empty();
    }
    FastCgiClock::time_point IdleSince() const
    {
        return m_tIdleSince;
    }

    /* True while more input is welcome: not while a reply waits to be sent
     * and the next request is already complete. */
    bool WantsInput() const;

  private:
    /* Deals with the whole records of the input held; false on a record
     * that breaks the protocol. */
    bool ProcessInput(FastCgiClock::time_point tNow);
    bool HandleRecord(uint8_t nType, uint16_t nId, const char *pabyContent, size_t nLength,
                      FastCgiClock::time_point tNow);
    bool BeginRequest(uint16_t nId, const char *pabyContent, size_t nLength,
                      FastCgiClock::time_point tNow);
    bool TakeParams(FastCgiRequest &oRequest, const char *pabyContent, size_t nLength);
    void TakeStdin(FastCgiRequest &oRequest, const char *pabyContent, size_t nLength);
    void AnswerGetValues(const char *pabyContent, size_t nLength);
    FastCgiRequest *FindRequest(uint16_t nId);
    void AppendRecord(uint8_t nType, uint16_t nId, const char *pabyContent, size_t nLength);
    void EndRequest(uint16_t nId, uint8_t nProtocolStatus);
    /* A connection that has never sent a request is given the time a
     * request's input has, not a kept connection's. */
    FastCgiClock::duration IdleTimeout() const
    {
        return m_bHadRequest ? FastCgiClock::duration(kIdleConnectionTimeout)
                             : FastCgiClock::duration(kRequestInputTimeout);
    }

    std::string m_osInput; // bytes of a record not yet whole
    std::deque<FastCgiRequest> m_aoRequests;
    std::string m_osOutput;
    size_t m_nOutputSent = 0;
    FastCgiClock::time_point m_tReplyQueued; // when the reply being sent was made
    FastCgiClock::time_point m_tIdleSince;
    bool m_bCloseWhenSent = false;
    bool m_bLastInputEnded = false;
    bool m_bBroken = false; // held input broke the protocol
    bool m_bHadRequest = false; // a request has begun on the connection
};

#endif /* VXM_FASTCGIRECORDS_H_INCLUDED */
