// The reply rule: what the link makes of each report the tablet sends, when it may send, and whether
// the tablet's answer to the last package stands. A pure unit: events in, decisions out, no threads,
// clock or I/O. hidlink.cpp feeds it under its reply lock and carries out what it decides; a test drives
// it through every order of events up to a bound against a model of the tablets the protocol allows.
//
// What a tablet may put in a reply is wide: a success may carry any number of parameter bytes, and
// SeqNum and CmdCode may echo the request, hold SeqNum's low byte only, a constant, a counter of the
// tablet's own, or nothing. So a reply is judged by its place in the line, and by its echo only where
// an echo is exact. The rule, whole:
// - One request at a time. A request whose reply did not come in time is owed a reply; the first
//   reports that come while replies are owed are dropped as those replies, and nothing is sent while
//   one is owed. A departure from the bus forgives what is owed (a restart empties the tablet's queue);
//   an opening that ends on a bad report does not (the tablet is still there, its queue too).
// - A report is a stray, and dropped, while no request waits; and while one waits when it repeats the
//   SeqNum and CmdCode of the request before the waiting one exactly, and either the tablet echoed
//   its last two replies' requests in full or the report's CmdCode is not the waiting request's. Such a
//   report is that request's late answer or a copy of it. No tablet that keeps its echo one way sends
//   one as the next answer, except one whose CmdCode is a fixed command word of ours and whose SeqNum
//   repeats the previous request's (the one kind of tablet this rule can fail). Only the previous
//   request is compared: a low-byte echo repeats older numbers after 256 requests.
// - Any other report while a request waits is its reply, whatever its shape; one that breaks the echo
//   makes the echo unlearned. The echo count lives across openings (a tablet that restarts into
//   another way of answering shows it at its next reply) and starts afresh with the program.
// - After the last package's reply is taken, the answer stands only when the tablet leaves the bus
//   with no report in between, other than an exact copy: a report that echoes the last request in
//   full and whose frame equals the answer taken. Any other report means the answers were out of step
//   or contradict each other: a shifted line leaves the tablet's real last answer to come before it
//   restarts. The wait for that departure has no bound of ours; the link says when it waits long.
// - Known limit: for a tablet that echoes nothing, a copy of the previous answer taken for the last
//   one, then a hang and a watchdog restart, looks exactly like a clean upgrade.
#pragma once

#include <cstdint>

// What a reply report says of itself, read from its frame (nothing of it is trusted yet).
struct ReplyView {
    std::uint16_t usSeqNum;
    std::uint16_t usCmdWord;  // third CmdCode word
    std::uint16_t usRspRet;
    std::uint64_t ullFrameDigest;  // of the frame's MsgLen + 9 bytes (as far as the report holds them)
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
    std::uint8_t ucSent = 0;     // requests sent, up to 2: is there a last one, and one before it?
    std::uint16_t usSeqNum = 0;  // of the last request sent
    std::uint16_t usCmdWord = 0;
    std::uint16_t usPrevSeqNum = 0;  // of the one before it
    std::uint16_t usPrevCmdWord = 0;
    std::uint8_t ucEchoes = 0;         // replies taken in a row that echoed their request in full (at most 2)
    std::uint64_t ullTakenDigest = 0;  // the frame of the reply taken
    std::uint8_t ucExtras = 0;         // reports since the reply was taken (kTaken), exact copies excepted
    bool bLeftSinceTaken = false;      // the tablet left the bus since the reply was taken
    bool bRefusedSinceTaken = false;   // and a refusal came after it before that
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
// After a reply was taken: has the tablet left the bus since, and was anything but a copy said first?
// kOutOfStep as soon as such a report came; kConfirmed once it left without one; kPending until then.
VerdictState ReplyRuleVerdict(const ReplyRule& t);
// After a success that promises a restart (IapSetState's) was taken: 1 while that restart is still to be
// waited for, 0 once the tablet left, or sent a refusal first (it answers in order, so its latest answer
// refused: it may well stay).
bool ReplyRuleRestartAwaited(const ReplyRule& t);
