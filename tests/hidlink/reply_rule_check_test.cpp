// The reply rule under every order of events, up to a bound: a depth-first search over what the
// program, the link and a tablet that answers in order may do next, with the rule deciding. At every end
// it asserts that "Finish" comes only for an image the tablet installed, and that a sequence without a
// fault finishes. A failure prints the events that led there.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <unordered_set>
#include <vector>

#include "hidlink/reply_rule.h"

namespace {

constexpr std::uint16_t kGetState = 0x0101, kSetState = 0x0102, kStart = 0x0103, kPackage = 0x0104,
                        kVersionInfo = 0x0105;

// Faults a sequence may contain, each at most once (late replies: twice).
enum Fault : std::uint8_t {
    kDup,         // a reply comes twice, the copy later
    kLost,        // a reply is lost on its way (the request was carried out)
    kSwallow,     // the tablet takes a request and neither carries it out nor answers
    kRefuse,      // the tablet answers a request with an error and does not carry it out
    kStrayOwn,    // a report the tablet adds: a success echoing exactly the request now waiting
    kStrayState,  // ... a success with a state byte, echoing nothing
    kStrayBare,   // ... a success without parameters, echoing nothing
    kBadReport,   // a report that is no reply (an added one, or a reply that came broken) ends the
                  // opening; the tablet stays on the bus
    kUnplug,      // the tablet is unplugged and plugged in again: it restarts, its queue is gone
    kUsbOnly,     // a tablet with its own power is unplugged from USB only: no restart, queue kept
    kRerun,       // the program ends and is started again on the same tablet, nobody replugging it
    kLate,        // a wait for a reply runs out (the reply may still come)
    kFaults
};
constexpr const char* kFaultNames[kFaults] = {
    "duplicate",   "lost",       "swallowed", "refused",         "stray(echo)", "stray(state)",
    "stray(bare)", "bad report", "unplug",    "usb-only unplug", "rerun",       "late"};

enum Pc : std::uint8_t {
    kPcGetState,
    kPcSetState,
    kPcReconnect,
    kPcStart,
    kPcInfo,
    kPcPackage,
    kPcVerdict,
    kPcFinish,
    kPcFailed
};

struct QueuedReply {
    std::uint16_t usSeqNum, usCmdWord, usRspRet, usParaBytes;
    std::uint8_t ucState;    // IapGetState's state byte
    std::uint8_t ucLeaveTo;  // 0: stays; 1: restarts into its application; 2: into its boot loader
};

enum class Outcome { kOk, kRefused, kTimedOut };

struct World {
    // The program and its link.
    ReplyRule tRule;
    Pc ePc = kPcGetState;
    bool bAwaiting = false;
    bool bLinkOpen = true;
    std::uint8_t ucPackage = 0;
    std::uint16_t usNextSeq = 0;
    // The tablet.
    bool bBoot = false, bErased = false, bInfo = false, bInstalled = false;
    std::uint8_t ucPackages = 0;  // bit i: package i written since the erase
    std::uint8_t ucLeaveTo = 0;   // its last answer is out and it is about to restart (as above)
    std::uint8_t ucQueued = 0;
    QueuedReply atQueue[6] = {};
    std::uint8_t aucFaults[kFaults] = {};

    std::string Key() const {
        std::string s;
        auto put = [&](const void* pv, std::size_t n) { s.append(static_cast<const char*>(pv), n); };
        const std::uint8_t aucFlags[] = {static_cast<std::uint8_t>(tRule.eWait),
                                         tRule.ucOwed,
                                         tRule.ucEchoes,
                                         tRule.ucExtras,
                                         tRule.bLeftSinceTaken,
                                         ePc,
                                         bAwaiting,
                                         bLinkOpen,
                                         ucPackage,
                                         bBoot,
                                         bErased,
                                         bInfo,
                                         bInstalled,
                                         ucPackages,
                                         ucLeaveTo,
                                         ucQueued};
        put(aucFlags, sizeof aucFlags);
        put(&tRule.usSeqNum, 2);
        put(&tRule.usCmdWord, 2);
        put(&usNextSeq, 2);
        for (std::uint8_t i = 0; i < ucQueued; ++i) {
            put(&atQueue[i].usSeqNum, 2);
            put(&atQueue[i].usCmdWord, 2);
            put(&atQueue[i].usRspRet, 2);
            put(&atQueue[i].usParaBytes, 2);
            put(&atQueue[i].ucState, 1);
            put(&atQueue[i].ucLeaveTo, 1);
        }
        put(aucFaults, sizeof aucFaults);
        return s;
    }
};

struct Checker {
    std::uint8_t ucPackages = 2;
    bool bEchoingTablet = true;
    std::unordered_set<std::string> tSeen;
    std::vector<std::string> vstrPath;
    std::uint64_t ullStates = 0, ullEnds = 0, ullFinished = 0;
    std::string strViolation;

    bool Clean(const World& w) const {
        for (int i = 0; i < kFaults; ++i) {
            if (w.aucFaults[i] != 0 && i != kRerun) {
                return false;
            }
        }
        return true;
    }
    std::uint8_t ucMostFaults = 4;

    bool May(const World& w, Fault e) const {
        int iTotal = 0;
        for (std::uint8_t uc : w.aucFaults) {
            iTotal += uc;
        }
        if (iTotal >= ucMostFaults) {
            return false;
        }
        if (e >= kStrayOwn && e <= kStrayBare) {  // one stray of any kind
            return w.aucFaults[kStrayOwn] + w.aucFaults[kStrayState] + w.aucFaults[kStrayBare] == 0;
        }
        return w.aucFaults[e] < (e == kLate ? 2 : 1);
    }

    // Once it has answered with a restart to come, the tablet takes nothing more.
    static bool Restarting(const World& w) {
        bool b = w.ucLeaveTo != 0;
        for (std::uint8_t i = 0; i < w.ucQueued; ++i) {
            b = b || w.atQueue[i].ucLeaveTo != 0;
        }
        return b;
    }

    // The tablet works on a request as it arrives (ucIndex: a package's); its reply joins its queue.
    void TabletTakes(World* pw, std::uint16_t usSeq, std::uint16_t usCmd, std::uint8_t ucIndex,
                     bool bRefuse) const {
        if (Restarting(*pw)) {
            return;
        }
        QueuedReply r{
            bEchoingTablet ? usSeq : std::uint16_t{0}, bEchoingTablet ? usCmd : std::uint16_t{0}, 0, 0, 0, 0};
        if (bRefuse) {
            r.usRspRet = 6;
        } else if (usCmd == kGetState) {
            r.usParaBytes = 1;
            r.ucState = pw->bBoot ? 0 : 1;
        } else if (usCmd == kSetState) {
            r.ucLeaveTo = 2;
        } else if (usCmd == kStart) {
            if (!pw->bBoot) {
                r.usRspRet = 11;
            } else {
                pw->bErased = true, pw->bInfo = false, pw->bInstalled = false, pw->ucPackages = 0;
            }
        } else if (usCmd == kVersionInfo) {
            pw->bInfo = pw->bBoot && pw->bErased;
            r.usRspRet = pw->bInfo ? 0 : 11;
        } else if (!pw->bBoot || !pw->bErased || !pw->bInfo) {
            r.usRspRet = 11;
        } else {
            pw->ucPackages = static_cast<std::uint8_t>(pw->ucPackages | (1u << ucIndex));
            if (ucIndex + 1 == ucPackages) {
                if (pw->ucPackages == (1u << ucPackages) - 1) {
                    pw->bInstalled = true;
                    r.ucLeaveTo = 1;
                } else {
                    r.usRspRet = 12;  // the image's CRC does not match
                }
            }
        }
        pw->atQueue[pw->ucQueued++] = r;
    }

    // The program's side once a command ended, as the upgrade sequence goes on from it.
    void CommandEnded(World* pw, Outcome e, std::uint8_t ucState = 0) const {
        const bool bOk = e == Outcome::kOk;
        pw->bAwaiting = false;
        switch (pw->ePc) {
            case kPcGetState:
                pw->ePc = bOk && ucState == 1 ? kPcSetState : kPcStart;
                break;
            case kPcSetState:
                pw->ePc = bOk ? kPcReconnect : kPcStart;
                break;
            case kPcStart:
                // A start that timed out ends the upgrade; a refused one is left to what follows.
                pw->ePc = e == Outcome::kTimedOut ? kPcFailed : kPcInfo;
                break;
            case kPcInfo:
                pw->ePc = bOk ? kPcPackage : kPcFailed;
                break;
            case kPcPackage:
                if (!bOk) {
                    pw->ePc = kPcFailed;
                } else if (++pw->ucPackage == ucPackages) {
                    pw->ePc = kPcVerdict;
                }
                break;
            default:
                break;
        }
    }

    void Restart(World* pw, std::uint8_t ucTo) const {
        pw->ucQueued = 0;
        pw->ucLeaveTo = 0;
        if (ucTo != 0) {
            pw->bBoot = ucTo == 2;
        }
        pw->bErased = pw->bInfo = false;
        pw->ucPackages = 0;
    }

    void Departs(World* pw) const {
        ReplyRuleOpeningEnded(&pw->tRule, true);
        pw->bLinkOpen = false;
    }

    void Visit(const World& w) {
        if (!strViolation.empty() || !tSeen.insert(w.Key()).second) {
            return;
        }
        ++ullStates;
        if (w.ePc == kPcFinish || w.ePc == kPcFailed) {
            ++ullEnds;
            if (w.ePc == kPcFinish && !w.bInstalled) {
                Violation("Finish for an image the tablet did not install");
                return;
            }
            if (w.ePc == kPcFailed && Clean(w)) {
                Violation("a sequence without a fault failed");
                return;
            }
            ullFinished += w.ePc == kPcFinish;
            if (May(w, kRerun) && w.bLinkOpen) {
                World n = w;
                n.aucFaults[kRerun]++;
                n.tRule = ReplyRule{};
                n.ePc = kPcGetState;
                n.ucPackage = 0;
                n.usNextSeq = 0;
                Step(n, "program started again");
            }
            return;
        }
        // The command of each step of the sequence that sends one.
        static constexpr std::uint16_t kCommandOf[] = {kGetState, kSetState,    0,
                                                       kStart,    kVersionInfo, kPackage};
        const std::uint16_t usCmd = w.ePc <= kPcPackage ? kCommandOf[w.ePc] : 0;
        // The program.
        if (w.ePc == kPcReconnect) {
            if (w.bLinkOpen && !Restarting(w)) {
                World n = w;
                n.ePc = kPcStart;
                Step(n, "re-detection done");
            }
        } else if (w.ePc == kPcVerdict) {
            VerdictState e = ReplyRuleVerdict(w.tRule);
            if (e != VerdictState::kPending) {
                World n = w;
                n.ePc = e == VerdictState::kConfirmed ? kPcFinish : kPcFailed;
                Step(n, e == VerdictState::kConfirmed ? "verdict confirmed: Finish" : "out of step: failed");
            }
            World n = w;
            n.ePc = kPcFailed;
            if (May(w, kLate)) {
                n.aucFaults[kLate]++;
                Step(n, "verdict wait ran out: failed");
            }
        } else if (!w.bAwaiting) {
            if (!w.bLinkOpen) {
                World n = w;
                CommandEnded(&n, Outcome::kTimedOut);
                Step(n, "write fails (link closed)");
            } else if (!ReplyRuleMaySend(w.tRule)) {
                World n = w;
                CommandEnded(&n, Outcome::kTimedOut);
                Step(n, "send refused (reply owed)");
            } else {
                for (int iHow = 0; iHow < 3; ++iHow) {
                    if ((iHow == 1 && !May(w, kSwallow)) || (iHow == 2 && !May(w, kRefuse))) {
                        continue;
                    }
                    World n = w;
                    const std::uint16_t usSeq = n.usNextSeq++;
                    ReplyRuleSent(&n.tRule, usSeq, usCmd);
                    n.bAwaiting = true;
                    if (iHow == 1) {
                        n.aucFaults[kSwallow]++;
                    } else {
                        n.aucFaults[kRefuse] += iHow == 2;
                        TabletTakes(&n, usSeq, usCmd, w.ucPackage, iHow == 2);
                    }
                    Step(n, std::string("send ") + std::to_string(usCmd) + " seq " + std::to_string(usSeq) +
                                (iHow == 1   ? " (swallowed)"
                                 : iHow == 2 ? " (refused)"
                                             : ""));
                }
            }
        } else if (May(w, kLate)) {
            World n = w;
            n.aucFaults[kLate]++;
            ReplyRuleTimedOut(&n.tRule);
            CommandEnded(&n, Outcome::kTimedOut);
            Step(n, "reply wait ran out");
        }
        // The tablet's replies.
        if (w.bLinkOpen && w.ucQueued > 0) {
            // 0: it comes; 1: it comes twice, the copy later; 2: it is lost; 3: it comes broken.
            for (int iHow = 0; iHow < 4; ++iHow) {
                if ((iHow == 1 && !May(w, kDup)) || (iHow == 2 && !May(w, kLost)) ||
                    (iHow == 3 && !May(w, kBadReport))) {
                    continue;
                }
                World n = w;
                const QueuedReply r = n.atQueue[0];
                if (iHow == 1) {
                    n.aucFaults[kDup]++;  // the copy stays first in line
                } else {
                    std::memmove(n.atQueue, n.atQueue + 1, sizeof(QueuedReply) * (n.ucQueued - 1));
                    n.ucQueued--;
                    n.aucFaults[kLost] += iHow == 2;
                    if (r.ucLeaveTo != 0) {
                        n.ucLeaveTo = r.ucLeaveTo;
                    }
                }
                if (iHow == 3) {
                    n.aucFaults[kBadReport]++;
                    ReplyRuleOpeningEnded(&n.tRule, false);
                    n.bLinkOpen = false;
                } else if (iHow != 2) {
                    Deliver(&n, r);
                }
                Step(n, std::string(iHow == 2   ? "reply lost"
                                    : iHow == 3 ? "reply comes broken"
                                                : "reply comes") +
                            " (seq " + std::to_string(r.usSeqNum) + ", cmd " + std::to_string(r.usCmdWord) +
                            ", status " + std::to_string(r.usRspRet) + (iHow == 1 ? ", copy follows)" : ")"));
            }
        }
        // Reports the tablet adds, and the ends of an opening.
        if (w.bLinkOpen) {
            const QueuedReply atStrays[] = {
                {w.tRule.usSeqNum, w.tRule.usCmdWord, 0,
                 static_cast<std::uint16_t>(w.tRule.usCmdWord == kGetState ? 1 : 0), 1, 0},
                {0x7777, kGetState, 0, 1, 1, 0},
                {0x7777, kPackage, 0, 0, 0, 0}};
            for (int i = 0; i < 3; ++i) {
                const Fault e = static_cast<Fault>(kStrayOwn + i);
                if (May(w, e)) {
                    World n = w;
                    n.aucFaults[e]++;
                    Deliver(&n, atStrays[i]);
                    Step(n, kFaultNames[e]);
                }
            }
            if (May(w, kBadReport)) {
                World n = w;
                n.aucFaults[kBadReport]++;
                ReplyRuleOpeningEnded(&n.tRule, false);
                n.bLinkOpen = false;
                Step(n, "bad report ends the opening");
            }
        }
        if (w.ucLeaveTo != 0) {
            World n = w;
            Restart(&n, w.ucLeaveTo);
            Departs(&n);
            Step(n, "tablet restarts (leaves the bus)");
        }
        // A departure while the last answer is being confirmed is taken as the tablet's restart: an
        // unplug at that instant cannot be told from it without asking the tablet again.
        if (w.ePc != kPcVerdict) {
            if (May(w, kUnplug)) {
                World n = w;
                n.aucFaults[kUnplug]++;
                Restart(&n, w.ucLeaveTo);
                Departs(&n);
                Step(n, "unplugged and plugged in again");
            }
            if (w.bLinkOpen && May(w, kUsbOnly)) {
                World n = w;
                n.aucFaults[kUsbOnly]++;
                Departs(&n);
                Step(n, "unplugged from USB only (no restart)");
            }
        }
        if (!w.bLinkOpen && w.ucLeaveTo == 0) {
            World n = w;
            n.bLinkOpen = true;
            Step(n, "link opened again");
        }
    }

    void Deliver(World* pw, const QueuedReply& r) const {
        const ReplyView tView{r.usSeqNum, r.usCmdWord, r.usRspRet, r.usParaBytes};
        if (ReplyRuleReport(&pw->tRule, tView) == ReportFate::kTaken) {
            EXPECT_TRUE(pw->bAwaiting);
            // The reply check: status 0 is success; IapGetState reads the state byte.
            CommandEnded(pw, r.usRspRet == 0 ? Outcome::kOk : Outcome::kRefused,
                         r.usParaBytes >= 1 ? r.ucState : 0);
        }
    }

    void Step(const World& n, const std::string& strEvent) {
        vstrPath.push_back(strEvent);
        Visit(n);
        vstrPath.pop_back();
    }

    void Violation(const std::string& strWhat) {
        strViolation = strWhat + " after:";
        for (const std::string& s : vstrPath) {
            strViolation += "\n  " + s;
        }
    }
};

struct CheckCase {
    const char* strName;
    std::uint8_t ucPackages;
    bool bEchoingTablet;
    bool bStartInBootLoader;
};

void PrintTo(const CheckCase& c, std::ostream* pOut) {
    *pOut << c.strName;
}

class ReplyRuleCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(ReplyRuleCheck, NoFinishWithoutAnInstalledImageAndEveryCleanSequenceFinishes) {
    const CheckCase& c = GetParam();
    Checker k;
    k.ucPackages = c.ucPackages;
    k.bEchoingTablet = c.bEchoingTablet;
    if (const char* str = std::getenv("TAVELO_REPLY_RULE_FAULTS")) {
        k.ucMostFaults = static_cast<std::uint8_t>(std::atoi(str));
    }
    World w;
    w.bBoot = c.bStartInBootLoader;
    k.Visit(w);
    std::printf("[ reply rule ] %s: %llu states, %llu ends, %llu of them Finish\n", c.strName,
                static_cast<unsigned long long>(k.ullStates), static_cast<unsigned long long>(k.ullEnds),
                static_cast<unsigned long long>(k.ullFinished));
    EXPECT_EQ(k.strViolation, "");
    // A checker whose count collapses has stopped checking.
    EXPECT_GT(k.ullStates, 100000u);
    EXPECT_GT(k.ullFinished, 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryOrder, ReplyRuleCheck,
                         ::testing::Values(CheckCase{"EchoingFromTheApplication", 2, true, false},
                                           CheckCase{"SilentFromTheApplication", 2, false, false},
                                           CheckCase{"EchoingFromTheBootLoader", 3, true, true},
                                           CheckCase{"SilentFromTheBootLoader", 3, false, true}),
                         [](const ::testing::TestParamInfo<CheckCase>& i) {
                             return std::string(i.param.strName);
                         });

}  // namespace

// What a report is taken as, one exchange at a time: a success that cannot answer the request waiting is
// a stray (the wait goes on); a refusal is taken whatever it carries; once the tablet has echoed twice, a
// report that does not echo the request is a stray.
TEST(ReplyRule, ReportsThatCannotAnswerTheRequestAreStrays) {
    struct Row {
        std::uint16_t usCmd;
        ReplyView tView;
        ReportFate eFate;
    };
    const Row kRows[] = {
        {kGetState, {0, 0, 0, 0}, ReportFate::kStray},  // IapGetState without its state byte
        {kGetState, {0, 0, 0, 1}, ReportFate::kTaken},
        {kPackage, {0, 0, 0, 1}, ReportFate::kStray},  // parameters to a command that returns none
        {kPackage, {0, 0, 9, 1}, ReportFate::kTaken},  // a refusal, whatever it carries
        {kVersionInfo, {0, 0, 0, 0}, ReportFate::kTaken},
    };
    for (const Row& r : kRows) {
        ReplyRule t;
        ReplyRuleSent(&t, 5, r.usCmd);
        EXPECT_EQ(ReplyRuleReport(&t, r.tView), r.eFate) << r.usCmd;
    }
    ReplyRule t;
    for (std::uint16_t us = 1; us <= 2; ++us) {
        ReplyRuleSent(&t, us, kPackage);
        ASSERT_EQ(ReplyRuleReport(&t, ReplyView{us, kPackage, 0, 0}), ReportFate::kTaken);
    }
    ReplyRuleSent(&t, 3, kPackage);
    EXPECT_EQ(ReplyRuleReport(&t, ReplyView{2, kPackage, 0, 0}), ReportFate::kStray);  // a copy of the last
    EXPECT_EQ(ReplyRuleReport(&t, ReplyView{3, kPackage, 0, 0}), ReportFate::kTaken);
}
