// The reply rule: what the link makes of each report the tablet sends, when it may send, and whether
// the tablet's answer to the last package stands. A pure unit: events in, decisions out, no threads,
// clock or I/O. hidlink.cpp feeds it under its reply lock and carries out what it decides; a test drives
// it through every order of events up to a bound against a model of a tablet that answers in order.
//
// The rule, whole:
// - One request at a time. A request whose reply did not come in time is owed a reply; the first
//   reports that come while replies are owed are dropped as those replies, and nothing is sent while
//   one is owed. A departure from the bus forgives what is owed (a restart empties the tablet's queue);
//   an opening that ends on a bad report does not (the tablet is still there, its queue too).
// - A report is taken as the reply only while a request waits, and only if it can be its answer: a
//   success without the state byte to IapGetState, or with parameters to a command that returns none,
//   is no answer; once the tablet has echoed SeqNum and CmdCode twice in a row on this opening, a
//   report that does not echo the request is no answer either. Such a report, and any report while no
//   request waits, is a stray and is dropped.
// - Reports are otherwise taken by their place in the line, so an added report (a copy, a left-over
//   of an earlier run) can shift the line by one: the tablet then still owes one reply when the last
//   package's answer is taken, and it sends that before it restarts. So the last package's answer
//   stands only when the tablet leaves the bus after it with no report in between (a copy of the
//   answer, recognised by its echo, excepted); a report first means the answers were out of step.
#pragma once

#include <cstdint>

// What a reply report says of itself, read from its frame (nothing of it is trusted yet).
struct ReplyView {
    std::uint16_t usSeqNum;
    std::uint16_t usCmdWord;  // third CmdCode word
    std::uint16_t usRspRet;
    std::uint16_t usParaBytes;  // reply parameter bytes by MsgLen (0 when MsgLen is below 8)
};

// The view of an input report (report ID at byte 0); fields the report does not hold read as 0.
ReplyView ReplyViewOf(const std::uint8_t* pucReport, std::uint32_t ulLen);
// SeqNum and the third CmdCode word of a request frame (no report ID); 0 where the frame is too short.
void RequestIdOf(const std::uint8_t* pucFrame, std::uint32_t ulLen, std::uint16_t* pusSeqNum,
                 std::uint16_t* pusCmdWord);

enum class ReplyWait : std::uint8_t {
    kNone,   // no request waits (none sent, its wait ran out, or it was lost with a departure)
    kReply,  // a request waits for its reply
    kTaken,  // its reply was taken; reports until the next send are counted
};

enum class ReportFate : std::uint8_t { kOwed, kStray, kTaken };

enum class VerdictState : std::uint8_t { kPending, kConfirmed, kOutOfStep };

struct ReplyRule {
    std::uint8_t ucOwed = 0;  // replies of timed-out requests still to come
    ReplyWait eWait = ReplyWait::kNone;
    std::uint16_t usSeqNum = 0;  // of the last request sent
    std::uint16_t usCmdWord = 0;
    std::uint8_t ucEchoes = 0;     // replies taken in a row, this opening, that echoed their request
    std::uint8_t ucExtras = 0;     // reports since the reply was taken (kTaken)
    bool bLeftSinceTaken = false;  // the tablet left the bus since the reply was taken
};

// 1 when a request may go out: no reply is owed.
bool ReplyRuleMaySend(const ReplyRule& t);
// A request goes out (call before its write, so that a fast reply finds it waiting).
void ReplyRuleSent(ReplyRule* pt, std::uint16_t usSeqNum, std::uint16_t usCmdWord);
// Its write failed: no reply will come.
void ReplyRuleWriteFailed(ReplyRule* pt);
// A full-length report with the reply report ID came.
ReportFate ReplyRuleReport(ReplyRule* pt, const ReplyView& tView);
// The wait for the reply ran out: the reply is owed from now on.
void ReplyRuleTimedOut(ReplyRule* pt);
// The opening ended: the tablet left the bus (a failed read), or a report that is no reply came (the
// tablet is still there; the report counts like any other, but is never taken).
void ReplyRuleOpeningEnded(ReplyRule* pt, bool bLeftBus);
// After the last package's reply was taken: does it stand?
VerdictState ReplyRuleVerdict(const ReplyRule& t);
