#include "hidlink/reply_rule.h"

#include <algorithm>

namespace {

// Report offsets of the reply frame's fields (the frame starts behind the report ID).
constexpr std::uint32_t kOffSeqNum = 1 + 3;
constexpr std::uint32_t kOffMsgLen = 1 + 5;
constexpr std::uint32_t kOffCmdWord = 1 + 11;
constexpr std::uint32_t kOffRspRet = 1 + 13;
constexpr std::uint32_t kFrameOverhead = 9;  // frame bytes beside the MsgLen ones
constexpr std::uint8_t kEchoesLearned = 2;

std::uint16_t Be16At(const std::uint8_t* puc, std::uint32_t ulLen, std::uint32_t ulOff) {
    return ulOff + 2 <= ulLen ? static_cast<std::uint16_t>((puc[ulOff] << 8) | puc[ulOff + 1]) : 0;
}

bool EchoesLast(const ReplyRule& t, const ReplyView& tView) {
    return tView.usSeqNum == t.usSeqNum && tView.usCmdWord == t.usCmdWord;
}

bool EchoesPrevious(const ReplyRule& t, const ReplyView& tView) {
    return t.ucSent >= 2 && tView.usSeqNum == t.usPrevSeqNum && tView.usCmdWord == t.usPrevCmdWord;
}

}  // namespace

ReplyView ReplyViewOf(const std::uint8_t* pucReport, std::uint32_t ulLen) {
    // FNV-1a over the frame: MsgLen + 9 bytes behind the report ID, as far as the report holds them.
    std::uint32_t ulFrameEnd = 1 + Be16At(pucReport, ulLen, kOffMsgLen) + kFrameOverhead;
    if (ulFrameEnd > ulLen) {
        ulFrameEnd = ulLen;
    }
    std::uint64_t ullDigest = 0xcbf29ce484222325ull;
    for (std::uint32_t i = 1; i < ulFrameEnd; ++i) {
        ullDigest = (ullDigest ^ pucReport[i]) * 0x100000001b3ull;
    }
    return ReplyView{Be16At(pucReport, ulLen, kOffSeqNum), Be16At(pucReport, ulLen, kOffCmdWord),
                     Be16At(pucReport, ulLen, kOffRspRet), ullDigest};
}

void RequestIdOf(const std::uint8_t* pucFrame, std::uint32_t ulLen, std::uint16_t* pusSeqNum,
                 std::uint16_t* pusCmdWord) {
    // The frame's offsets are the report's less the report ID.
    *pusSeqNum = Be16At(pucFrame, ulLen, kOffSeqNum - 1);
    *pusCmdWord = Be16At(pucFrame, ulLen, kOffCmdWord - 1);
}

bool ReplyRuleMaySend(const ReplyRule& t) {
    return t.ucOwed == 0;
}

void ReplyRuleSent(ReplyRule* pt, std::uint16_t usSeqNum, std::uint16_t usCmdWord) {
    pt->eWait = ReplyWait::kReply;
    pt->ucSent = static_cast<std::uint8_t>(pt->ucSent < 2 ? pt->ucSent + 1 : 2);
    pt->usPrevSeqNum = pt->usSeqNum;
    pt->usPrevCmdWord = pt->usCmdWord;
    pt->usSeqNum = usSeqNum;
    pt->usCmdWord = usCmdWord;
}

void ReplyRuleWriteFailed(ReplyRule* pt) {
    pt->eWait = ReplyWait::kNone;
}

ReportFate ReplyRuleReport(ReplyRule* pt, const ReplyView& tView) {
    if (pt->ucOwed > 0) {
        --pt->ucOwed;
        return ReportFate::kOwed;
    }
    const bool bEchoes = EchoesLast(*pt, tView);
    if (pt->eWait == ReplyWait::kTaken) {
        // Before the tablet left the bus, anything but an exact copy of the taken reply says the line
        // may be shifted or the tablet contradicted itself; what comes after the departure belongs to a
        // later opening.
        const bool bCopy = bEchoes && tView.ullFrameDigest == pt->ullTakenDigest;
        if (!bCopy && !pt->bLeftSinceTaken && pt->ucExtras < 0xFF) {
            ++pt->ucExtras;
            pt->bRefusedSinceTaken = pt->bRefusedSinceTaken || tView.usRspRet != 0;
        }
        return ReportFate::kStray;
    }
    if (pt->eWait != ReplyWait::kReply) {
        return ReportFate::kStray;
    }
    if (EchoesPrevious(*pt, tView) && (pt->ucEchoes >= kEchoesLearned || tView.usCmdWord != pt->usCmdWord)) {
        return ReportFate::kStray;  // the previous request's late answer, or a copy of it
    }
    pt->ucEchoes = bEchoes ? std::min<std::uint8_t>(pt->ucEchoes + 1, kEchoesLearned) : 0;
    pt->eWait = ReplyWait::kTaken;
    pt->ullTakenDigest = tView.ullFrameDigest;
    pt->ucExtras = 0;
    pt->bLeftSinceTaken = false;
    pt->bRefusedSinceTaken = false;
    return ReportFate::kTaken;
}

void ReplyRuleTimedOut(ReplyRule* pt) {
    if (pt->eWait == ReplyWait::kReply) {
        pt->eWait = ReplyWait::kNone;
        if (pt->ucOwed < 0xFF) {
            ++pt->ucOwed;
        }
    }
}

void ReplyRuleOpeningEnded(ReplyRule* pt, bool bLeftBus) {
    if (!bLeftBus) {
        // A report that is no reply, from a tablet still on the bus: it counts as a report (a broken
        // reply, maybe), but is never taken. What else is owed stays owed.
        if (pt->ucOwed > 0) {
            --pt->ucOwed;
        } else if (pt->eWait == ReplyWait::kReply) {
            pt->eWait = ReplyWait::kNone;  // the wait runs out with nothing owed
        } else if (pt->eWait == ReplyWait::kTaken && !pt->bLeftSinceTaken && pt->ucExtras < 0xFF) {
            ++pt->ucExtras;
        }
        return;
    }
    pt->ucOwed = 0;
    if (pt->eWait == ReplyWait::kReply) {
        pt->eWait = ReplyWait::kNone;  // the request went with the tablet's queue
    } else if (pt->eWait == ReplyWait::kTaken) {
        pt->bLeftSinceTaken = true;
    }
}

VerdictState ReplyRuleVerdict(const ReplyRule& t) {
    if (t.eWait != ReplyWait::kTaken || t.ucExtras > 0) {
        return VerdictState::kOutOfStep;
    }
    return t.bLeftSinceTaken ? VerdictState::kConfirmed : VerdictState::kPending;
}

bool ReplyRuleRestartAwaited(const ReplyRule& t) {
    return t.eWait == ReplyWait::kTaken && !t.bLeftSinceTaken && !t.bRefusedSinceTaken;
}
