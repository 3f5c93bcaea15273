#include "hidlink/reply_rule.h"

namespace {

// Report offsets of the reply frame's fields (the frame starts behind the report ID).
constexpr std::uint32_t kOffSeqNum = 1 + 3;
constexpr std::uint32_t kOffMsgLen = 1 + 5;
constexpr std::uint32_t kOffCmdWord = 1 + 11;
constexpr std::uint32_t kOffRspRet = 1 + 13;
constexpr std::uint16_t kMinReplyMsgLen = 8;  // three command words and RspRet
constexpr std::uint8_t kEchoesLearned = 2;

std::uint16_t Be16At(const std::uint8_t* puc, std::uint32_t ulLen, std::uint32_t ulOff) {
    return ulOff + 2 <= ulLen ? static_cast<std::uint16_t>((puc[ulOff] << 8) | puc[ulOff + 1]) : 0;
}

// Whether a reply can answer the command: a success says what the command returns (IapGetState its
// state byte; IapSetState, IapStart, IapSendPackage, IapSendVersionFileInfo and IapSetUpgradeTarget
// nothing). A refusal fails its command whatever it carries, so any shape of it may be taken.
bool ShapeFits(std::uint16_t usCmdWord, const ReplyView& t) {
    if (t.usRspRet != 0) {
        return true;
    }
    switch (usCmdWord) {
        case 0x0101:
            return t.usParaBytes >= 1;
        case 0x0102:
        case 0x0103:
        case 0x0104:
        case 0x0105:
        case 0x0106:
            return t.usParaBytes == 0;
        default:
            return true;
    }
}

bool Echoes(const ReplyRule& t, const ReplyView& tView) {
    return tView.usSeqNum == t.usSeqNum && tView.usCmdWord == t.usCmdWord;
}

}  // namespace

ReplyView ReplyViewOf(const std::uint8_t* pucReport, std::uint32_t ulLen) {
    const std::uint16_t usMsgLen = Be16At(pucReport, ulLen, kOffMsgLen);
    return ReplyView{Be16At(pucReport, ulLen, kOffSeqNum), Be16At(pucReport, ulLen, kOffCmdWord),
                     Be16At(pucReport, ulLen, kOffRspRet),
                     static_cast<std::uint16_t>(usMsgLen > kMinReplyMsgLen ? usMsgLen - kMinReplyMsgLen : 0)};
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
    const bool bEchoes = Echoes(*pt, tView);
    const bool bEchoLearned = pt->ucEchoes >= kEchoesLearned;
    if (pt->eWait == ReplyWait::kTaken) {
        // Before the tablet left the bus, a report other than a copy of the taken reply says the line
        // may be shifted; what comes after the departure belongs to a later opening.
        if (!(bEchoLearned && bEchoes) && !pt->bLeftSinceTaken && pt->ucExtras < 0xFF) {
            ++pt->ucExtras;
        }
        return ReportFate::kStray;
    }
    if (pt->eWait != ReplyWait::kReply || (bEchoLearned && !bEchoes) || !ShapeFits(pt->usCmdWord, tView)) {
        return ReportFate::kStray;
    }
    pt->ucEchoes = bEchoes ? static_cast<std::uint8_t>(bEchoLearned ? kEchoesLearned : pt->ucEchoes + 1) : 0;
    pt->eWait = ReplyWait::kTaken;
    pt->ucExtras = 0;
    pt->bLeftSinceTaken = false;
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
    pt->ucEchoes = 0;
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
