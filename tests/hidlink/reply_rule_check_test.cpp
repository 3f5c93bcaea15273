// The reply rule under every order of events, up to a bound: a depth-first search over what the
// program, the link and a tablet may do next, with the rule deciding. The tablet is any tablet the
// protocol allows: it answers in order, a success may carry any parameter bytes, its SeqNum and CmdCode
// are kept one way per mode (echoed, SeqNum's low byte, a constant, a counter of its own, nothing), and
// it restarts whenever it likes after the answers that promise a restart. Those choices cost nothing;
// faults are bounded. At every end it asserts:
// - live: a sequence without a fault finished (and no such sequence waits forever);
// - recoverable: a fault-free run of the program from there, replugged or not, finishes;
// - safe: "Finish" only for an installed image, except where the tablet's answers cannot tell: the
//   answer taken for the last package was not the tablet's own, and its own never came before it left
//   the bus. Such sequences are counted and one is printed, never passed silently. A failure prints the
//   events that led there.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "hidlink/reply_rule.h"

namespace {

constexpr std::uint16_t kGetState = 0x0101, kSetState = 0x0102, kStart = 0x0103, kPackage = 0x0104,
                        kVersionInfo = 0x0105;
constexpr std::uint16_t kNoRequest = 0xFFFF;

// How a mode of the tablet fills SeqNum and CmdCode, and what its successes carry.
enum class Echo : std::uint8_t { kFull, kLowByte, kConstant, kCounter, kNothing };
struct Answering {
    Echo e;
    std::uint16_t usValue;  // the constant, or where the counter starts after a restart
    std::uint8_t ucShape;   // 0: as described (IapGetState's state byte only); 1: all bare; 2: one byte more
};

enum Fault : std::uint8_t {
    kDup,        // a reply comes twice
    kLost,       // a reply is lost on its way (the request was carried out)
    kSwallow,    // the tablet takes a request and neither carries it out nor answers
    kRefuse,     // the tablet refuses a request and does not carry it out
    kHang,       // the tablet hangs on a request; its watchdog restarts it later
    kAdded,      // the tablet adds a success for the waiting request, in its own way of answering
    kStray,      // a success that echoes nothing (a left-over of another program, say)
    kBad,        // a report that is no reply ends the opening; the tablet stays on the bus
    kUnplug,     // unplugged and plugged in again: it restarts, its queue is gone
    kUsbOnly,    // unplugged from USB only (own power): no restart, queue kept
    kLate,       // the program's wait runs out while a reply is still coming
    kRerun,      // the program ends and is started again on the same tablet
    kInterrupt,  // the owner stops a wait that has no bound (Ctrl-C)
    kFaults
};

enum Pc : std::uint8_t {
    kPcGetState,
    kPcSetState,
    kPcAwaitRestart,  // after IapSetState: until the tablet left and came back
    kPcStart,
    kPcInfo,
    kPcPackage,
    kPcVerdict,
    kPcFinish,
    kPcFailed
};

struct QueuedReply {
    std::uint16_t usSeqNum, usCmdWord, usRspRet;
    std::uint8_t ucParas;     // parameter bytes
    std::uint8_t ucState;     // IapGetState's state byte
    std::uint8_t ucLeaveTo;   // 0: stays; 1: restarts into its application; 2: into its boot loader
    std::uint16_t usAnswers;  // the request it is the tablet's own answer to (kNoRequest: none)
};

std::uint64_t DigestOf(const QueuedReply& r) {
    return (std::uint64_t{r.usSeqNum} << 48) ^ (std::uint64_t{r.usCmdWord} << 32) ^
           (std::uint64_t{r.usRspRet} << 16) ^ (std::uint64_t{r.ucParas} << 8) ^ r.ucState;
}

enum class Outcome { kOk, kRefused, kTimedOut };

struct World {
    // The program and its link.
    ReplyRule tRule;
    Pc ePc = kPcGetState;
    bool bAwaiting = false;
    bool bLinkOpen = true;
    bool bGone = false;  // the tablet left and has not come back yet (its restart takes any time)
    std::uint8_t ucPackage = 0;
    std::uint16_t usNextSeq = 0;
    std::uint16_t usLastPackageSeq = kNoRequest;
    bool bTakenOwn = true;      // the reply taken last was the tablet's own answer to the request
    bool bTakenAdded = false;   // ... or a success the tablet added
    bool bOwnLastCame = false;  // the tablet's own answer to the last package reached the program
    // The tablet.
    bool bBoot = false, bErased = false, bInfo = false, bInstalled = false, bBootable = true;
    bool bHung = false;
    std::uint8_t ucPackages = 0;  // bit i: package i written since the erase
    std::uint8_t ucLeaveTo = 0;   // it answered, and will restart (as in QueuedReply)
    std::uint16_t usCounter = 0;
    std::uint16_t usHeardPrev = kNoRequest, usHeardPrev2 = kNoRequest;  // SeqNums of its last requests
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
                                         tRule.bRefusedSinceTaken,
                                         tRule.ucSent,
                                         ePc,
                                         bAwaiting,
                                         bLinkOpen,
                                         bGone,
                                         ucPackage,
                                         bTakenOwn,
                                         bTakenAdded,
                                         bOwnLastCame,
                                         bBoot,
                                         bErased,
                                         bInfo,
                                         bInstalled,
                                         bBootable,
                                         bHung,
                                         ucPackages,
                                         ucLeaveTo,
                                         ucQueued};
        put(aucFlags, sizeof aucFlags);
        const std::uint16_t ausWords[] = {tRule.usSeqNum,      tRule.usCmdWord, tRule.usPrevSeqNum,
                                          tRule.usPrevCmdWord, usNextSeq,       usLastPackageSeq,
                                          usCounter,           usHeardPrev,     usHeardPrev2};
        put(ausWords, sizeof ausWords);
        put(&tRule.ullTakenDigest, sizeof tRule.ullTakenDigest);
        put(atQueue, sizeof(QueuedReply) * ucQueued);
        put(aucFaults, sizeof aucFaults);
        return s;
    }
};

struct CheckCase {
    const char* strName;
    std::uint8_t ucPackages;
    Answering tApp, tBoot;  // how each mode answers
    bool bStartInBootLoader;
    bool bKeepsOldImage;  // an erase leaves the old application bootable
};

struct Checker {
    CheckCase c{};
    std::uint8_t ucMostFaults = 3;
    std::unordered_set<std::string> tSeen;
    std::unordered_map<std::string, bool> tRecoverable;
    std::vector<std::string> vstrPath;
    std::uint64_t ullStates = 0, ullEnds = 0, ullFinished = 0, ullCannotTell = 0, ullForged = 0;
    std::string strViolation, strCannotTell;
    bool bCleanOnly = false;  // within a recoverability search: no fault may happen
    bool bStuck = false;      // ... and one ended waiting forever or failed
    std::string strStuck;     // how

    static int Faults(const World& w) {
        int i = 0;
        for (std::uint8_t uc : w.aucFaults) {
            i += uc;
        }
        return i;
    }
    static bool Clean(const World& w) { return Faults(w) == 0; }
    bool May(const World& w, Fault e) const {
        if (bCleanOnly) {
            return false;
        }
        if (e == kInterrupt) {
            return w.aucFaults[e] == 0;  // the owner's, not the tablet's: outside the bound
        }
        if (Faults(w) - w.aucFaults[kInterrupt] >= ucMostFaults) {
            return false;
        }
        return w.aucFaults[e] < (e == kLate ? 2 : 1);
    }
    // Once it has answered with a restart to come, or hangs, the tablet takes nothing more.
    static bool Restarting(const World& w) {
        bool b = w.bHung || w.ucLeaveTo != 0;
        for (std::uint8_t i = 0; i < w.ucQueued; ++i) {
            b = b || w.atQueue[i].ucLeaveTo != 0;
        }
        return b;
    }
    static std::uint8_t LeaveToQueued(const World& w) {
        for (std::uint8_t i = 0; i < w.ucQueued; ++i) {
            if (w.atQueue[i].ucLeaveTo != 0) {
                return w.atQueue[i].ucLeaveTo;
            }
        }
        return 1;
    }
    const Answering& Mode(const World& w) const { return w.bBoot ? c.tBoot : c.tApp; }
    bool EchoesInFull() const { return c.tApp.e == Echo::kFull && c.tBoot.e == Echo::kFull; }

    // SeqNum and CmdCode as the tablet's mode puts them into an answer to (usSeq, usCmd); a low-byte
    // echo past 256 requests repeats the SeqNum of an older request (iOlder).
    QueuedReply Shaped(World* pw, std::uint16_t usSeq, std::uint16_t usCmd, bool bOlder) const {
        const Answering& m = Mode(*pw);
        QueuedReply r{usSeq, usCmd, 0, 0, 0, 0, usSeq};
        switch (m.e) {
            case Echo::kFull:
                break;
            case Echo::kLowByte:
                r.usSeqNum = bOlder ? pw->usHeardPrev2 : usSeq;
                break;
            case Echo::kConstant:
                r.usSeqNum = m.usValue;
                break;
            case Echo::kCounter:
                r.usSeqNum = pw->usCounter++;
                break;
            case Echo::kNothing:
                r.usSeqNum = 0;
                r.usCmdWord = 0;
                break;
        }
        return r;
    }

    void Succeeds(const World& w, QueuedReply* pr, std::uint16_t usCmd, std::uint8_t ucState) const {
        const std::uint8_t ucShape = Mode(w).ucShape;
        pr->usRspRet = 0;
        if (usCmd == kGetState && ucShape != 1) {
            pr->ucParas = static_cast<std::uint8_t>(ucShape == 2 ? 2 : 1);
            pr->ucState = ucState;
        } else {
            pr->ucParas = ucShape == 2 ? 1 : 0;
        }
    }

    // The tablet carries out a request (ucIndex: a package's) and queues its answer.
    void TabletTakes(World* pw, std::uint16_t usSeq, std::uint16_t usCmd, std::uint8_t ucIndex, bool bRefuse,
                     bool bOlder, bool bRefuseSetState) const {
        QueuedReply r = Shaped(pw, usSeq, usCmd, bOlder);
        pw->usHeardPrev2 = pw->usHeardPrev;
        pw->usHeardPrev = usSeq;
        const bool bLoaded = pw->bBoot && pw->bErased && pw->bInfo;
        if (bRefuse) {
            r.usRspRet = 6;
        } else if (usCmd == kGetState) {
            Succeeds(*pw, &r, usCmd, pw->bBoot ? 0 : 1);
        } else if (usCmd == kSetState && pw->bBoot && bRefuseSetState) {
            r.usRspRet = 11;  // a boot loader may refuse to be sent to itself, and stays
        } else if (usCmd == kSetState) {
            Succeeds(*pw, &r, usCmd, 0);
            r.ucLeaveTo = 2;
        } else if (usCmd == kStart) {
            if (!pw->bBoot) {
                r.usRspRet = 11;
            } else {
                Succeeds(*pw, &r, usCmd, 0);
                pw->bErased = true, pw->bInfo = false, pw->bInstalled = false, pw->ucPackages = 0;
                pw->bBootable = pw->bBootable && c.bKeepsOldImage;
            }
        } else if (usCmd == kVersionInfo) {
            pw->bInfo = pw->bBoot && pw->bErased;
            if (pw->bInfo) {
                Succeeds(*pw, &r, usCmd, 0);
            } else {
                r.usRspRet = 11;
            }
        } else if (!bLoaded) {
            r.usRspRet = 11;
        } else {
            pw->ucPackages = static_cast<std::uint8_t>(pw->ucPackages | (1u << ucIndex));
            Succeeds(*pw, &r, usCmd, 0);
            if (ucIndex + 1 == c.ucPackages) {
                if (pw->ucPackages == (1u << c.ucPackages) - 1) {
                    pw->bInstalled = pw->bBootable = true;
                    r.ucLeaveTo = 1;
                } else {
                    r.usRspRet = 12;  // the image's CRC does not match
                    r.ucParas = 0;
                }
            }
        }
        pw->atQueue[pw->ucQueued++] = r;
    }

    // The program's side once a command ended, as the upgrade sequence goes on from it.
    void CommandEnded(World* pw, Outcome e, const QueuedReply* pr = nullptr) const {
        const bool bOk = e == Outcome::kOk;
        pw->bAwaiting = false;
        switch (pw->ePc) {
            case kPcGetState:
                // A bare success yields state 1: the tablet is sent to its boot loader.
                pw->ePc = bOk && (pr->ucParas == 0 || pr->ucState == 1) ? kPcSetState : kPcStart;
                break;
            case kPcSetState:
                pw->ePc = bOk ? kPcAwaitRestart : kPcStart;
                break;
            case kPcStart:
                pw->ePc = e == Outcome::kTimedOut ? kPcFailed : kPcInfo;
                break;
            case kPcInfo:
                pw->ePc = bOk ? kPcPackage : kPcFailed;
                break;
            case kPcPackage:
                if (!bOk) {
                    pw->ePc = kPcFailed;
                } else if (++pw->ucPackage == c.ucPackages) {
                    pw->ePc = kPcVerdict;
                }
                break;
            default:
                break;
        }
    }

    void Departs(World* pw) const {
        ReplyRuleOpeningEnded(&pw->tRule, true);
        pw->bLinkOpen = false;
    }

    // The tablet restarts: its queue is gone; it comes back in its application when that is bootable
    // and wanted (ucTo 1), else in its boot loader.
    void Restart(World* pw, std::uint8_t ucTo) const {
        pw->ucQueued = 0;
        pw->ucLeaveTo = 0;
        pw->bHung = false;
        pw->bBoot = !(ucTo == 1 && pw->bBootable);
        pw->bErased = pw->bInfo = false;
        pw->ucPackages = 0;
        pw->usCounter = Mode(*pw).usValue;
        pw->usHeardPrev = pw->usHeardPrev2 = kNoRequest;
        Departs(pw);
        pw->bGone = true;
    }

    void NewRun(World* pw) const {
        pw->tRule = ReplyRule{};
        pw->ePc = kPcGetState;
        pw->bAwaiting = false;
        pw->ucPackage = 0;
        pw->usNextSeq = 0;
        pw->usLastPackageSeq = kNoRequest;
        pw->bTakenOwn = true;
        pw->bOwnLastCame = false;
    }

    void End(const World& w) {
        ++ullEnds;
        if (w.ePc == kPcFinish && !w.bInstalled) {
            // Not the tablet's own answer to the last package, and its own never came: the answers
            // look like a clean upgrade. Anything else is a lie the rule let through.
            if (w.bOwnLastCame) {
                return Violation("Finish though the tablet's own answer to the last package came");
            }
            if (w.bTakenAdded) {
                ++ullForged;  // its own success, added ahead of an answer that never came
            } else if (!w.bTakenOwn && !EchoesInFull()) {
                if (ullCannotTell++ == 0) {
                    strCannotTell = Path();
                }
            } else {
                return Violation("Finish for an image the tablet did not install");
            }
        }
        if (w.ePc == kPcFailed && Clean(w)) {
            return Violation("a sequence without a fault failed");
        }
        ullFinished += w.ePc == kPcFinish;
        // Recoverable: a fault-free run from here finishes, with the tablet replugged or not.
        for (int iReplug = 0; iReplug < 2; ++iReplug) {
            World n = w;
            // The owner starts it once the tablet has settled: a restart it promised is done, and what it
            // still had to say came before the first request (a stray to the new run).
            if (iReplug == 1 || Restarting(n)) {
                Restart(&n, iReplug == 1 || n.bHung ? 1 : n.ucLeaveTo != 0 ? n.ucLeaveTo : LeaveToQueued(n));
            }
            n.ucQueued = 0;
            n.bGone = false;
            n.bLinkOpen = true;
            NewRun(&n);
            std::memset(n.aucFaults, 0, sizeof n.aucFaults);
            if (!Recovers(n)) {
                return Violation(std::string(iReplug == 1 ? "a replugged tablet" : "the tablet") +
                                 " cannot be upgraded by a fault-free run (it " + strStuck +
                                 " after:" + strStuck.substr(0, 0) + ")");
            }
        }
        // Later runs on the same tablet, with more faults.
        if (May(w, kRerun)) {
            World n = w;
            n.aucFaults[kRerun]++;
            NewRun(&n);
            Step(n, "program started again");
        }
    }

    // Whether every fault-free way on from w finishes (a nested search, remembered per state).
    bool Recovers(const World& w) {
        const std::string strKey = w.Key();
        auto it = tRecoverable.find(strKey);
        if (it != tRecoverable.end()) {
            return it->second;
        }
        tRecoverable[strKey] = true;  // a loop back here is no failure of its own
        Checker k;
        k.c = c;
        k.bCleanOnly = true;
        k.ucMostFaults = 0;
        k.Visit(w);
        const bool bOk = !k.bStuck;
        tRecoverable[strKey] = bOk;
        strStuck = k.strStuck;
        return bOk;
    }

    void Visit(const World& w) {
        if (!strViolation.empty() || !tSeen.insert(w.Key()).second) {
            return;
        }
        ++ullStates;
        if (w.ePc == kPcFinish || w.ePc == kPcFailed) {
            if (bCleanOnly) {
                if (w.ePc == kPcFailed || !w.bInstalled) {
                    Stuck(w.ePc == kPcFailed ? "failed" : "Finish, not installed");
                }
                return;
            }
            return End(w);
        }
        // Nothing but a fault can happen: the program waits forever.
        if (!Explore(w)) {
            if (bCleanOnly) {
                Stuck("waits forever");
            } else if (Clean(w)) {
                Violation("a sequence without a fault waits forever");
            }
        }
    }

    // Takes every step that may happen next; false when only a fault can.
    bool Explore(const World& w) {
        if (bCleanOnly && (bStuck || vstrPath.size() > 200)) {
            Stuck("never ends");
            return true;
        }
        bool bFree = false;
        auto step = [&](const World& n, const std::string& s) {
            bFree = bFree || Faults(n) == Faults(w);
            Step(n, s);
        };
        // The program.
        static constexpr std::uint16_t kCommandOf[] = {kGetState, kSetState,    0,
                                                       kStart,    kVersionInfo, kPackage};
        if (w.ePc == kPcAwaitRestart || w.ePc == kPcVerdict) {
            const VerdictState e = ReplyRuleVerdict(w.tRule);
            if (w.ePc == kPcVerdict && e != VerdictState::kPending) {
                World n = w;
                n.ePc = e == VerdictState::kConfirmed ? kPcFinish : kPcFailed;
                step(n, e == VerdictState::kConfirmed ? "tablet left: Finish" : "out of step: failed");
            } else if (w.ePc == kPcAwaitRestart && !ReplyRuleRestartAwaited(w.tRule) &&
                       (w.bLinkOpen || !w.tRule.bLeftSinceTaken)) {
                World n = w;
                n.ePc = kPcStart;
                step(n, w.tRule.bLeftSinceTaken ? "tablet back" : "a refusal came, no restart: go on");
            }
            if (May(w, kInterrupt)) {
                World n = w;
                n.aucFaults[kInterrupt]++;
                n.ePc = kPcFailed;
                Step(n, "ctrl-c ends the wait");
            }
        } else if (!w.bAwaiting) {
            const std::uint16_t usCmd = kCommandOf[w.ePc];
            if (!w.bLinkOpen) {
                World n = w;
                n.usNextSeq++;
                CommandEnded(&n, Outcome::kTimedOut);
                step(n, "write fails (link closed)");
            } else if (!ReplyRuleMaySend(w.tRule)) {
                World n = w;
                n.usNextSeq++;
                CommandEnded(&n, Outcome::kTimedOut);
                step(n, "send refused (reply owed)");
            } else {
                // How the tablet takes it. 0: carries it out; 1: swallows it; 2: refuses it; 3: hangs;
                // 4: a low-byte echo's older SeqNum; 5: a boot loader refuses IapSetState (allowed).
                // Then, where it answers: an added success ahead of its answer (a fault), and, where it
                // refuses the last package, whether it leaves the bus after that (allowed either way).
                for (int iWay = 0; iWay < 6 * 4; ++iWay) {
                    const int iHow = iWay / 4;
                    const bool bAdded = (iWay & 1) != 0, bLeaves = (iWay & 2) != 0;
                    const Fault aeFault[] = {kFaults, kSwallow, kRefuse, kHang, kFaults, kFaults};
                    if ((iHow == 5 && (usCmd != kSetState || !w.bBoot)) ||
                        (aeFault[iHow] != kFaults && !May(w, aeFault[iHow])) || (bAdded && !May(w, kAdded)) ||
                        (iHow == 4 && (Mode(w).e != Echo::kLowByte || w.usHeardPrev2 == kNoRequest)) ||
                        ((bAdded || bLeaves) && (iHow == 1 || iHow == 3)) ||
                        (Restarting(w) && iWay != 0)) {  // a tablet about to restart takes nothing more
                        continue;
                    }
                    World n = w;
                    const std::uint16_t usSeq = n.usNextSeq++;
                    ReplyRuleSent(&n.tRule, usSeq, usCmd);
                    n.bAwaiting = true;
                    if (usCmd == kPackage && w.ucPackage + 1 == c.ucPackages) {
                        n.usLastPackageSeq = usSeq;
                    }
                    if (aeFault[iHow] != kFaults) {
                        n.aucFaults[aeFault[iHow]]++;
                    }
                    if (Restarting(n) || iHow == 1) {
                        // taken by nobody
                    } else if (iHow == 3) {
                        n.bHung = true;
                    } else {
                        if (bAdded) {
                            n.aucFaults[kAdded]++;
                            QueuedReply r = Shaped(&n, usSeq, usCmd, false);
                            Succeeds(n, &r, usCmd, 1);
                            r.ucParas = 3;  // not the frame of the tablet's own answer
                            r.usAnswers = kNoRequest;
                            n.atQueue[n.ucQueued++] = r;
                        }
                        TabletTakes(&n, usSeq, usCmd, w.ucPackage, iHow == 2, iHow == 4, iHow == 5);
                        QueuedReply& r = n.atQueue[n.ucQueued - 1];
                        if (bLeaves) {
                            if (r.usRspRet == 0 || usCmd != kPackage || w.ucPackage + 1 != c.ucPackages) {
                                continue;
                            }
                            r.ucLeaveTo = 2;
                        }
                    }
                    const char* astrHow[] = {"",         " (swallowed)",    " (refused)",
                                             " (hangs)", " (older SeqNum)", " (refused by the boot loader)"};
                    step(n, "send " + std::to_string(usCmd) + " seq " + std::to_string(usSeq) +
                                astrHow[iHow] + (bAdded ? " (an added success ahead of its answer)" : "") +
                                (bLeaves ? " (leaves after its refusal)" : ""));
                }
            }
        } else {
            // The wait for the reply runs out: a fault only while a reply is still coming.
            const bool bComing = w.bLinkOpen && w.ucQueued > 0;
            if (!bComing || May(w, kLate)) {
                World n = w;
                n.aucFaults[kLate] += bComing;
                ReplyRuleTimedOut(&n.tRule);
                CommandEnded(&n, Outcome::kTimedOut);
                step(n, "reply wait ran out");
            }
        }
        // The tablet's replies.
        if (w.bLinkOpen && w.ucQueued > 0) {
            // 0: it comes; 1: it comes twice; 2: it is lost; 3: it comes broken.
            for (int iHow = 0; iHow < 4; ++iHow) {
                const Fault aeFault[] = {kFaults, kDup, kLost, kBad};
                if (aeFault[iHow] != kFaults && !May(w, aeFault[iHow])) {
                    continue;
                }
                World n = w;
                const QueuedReply r = n.atQueue[0];
                if (aeFault[iHow] != kFaults) {
                    n.aucFaults[aeFault[iHow]]++;
                }
                if (iHow == 1) {
                    n.atQueue[0].usAnswers = kNoRequest;  // the copy is nobody's own answer
                } else {
                    std::memmove(n.atQueue, n.atQueue + 1, sizeof(QueuedReply) * (n.ucQueued - 1));
                    n.ucQueued--;
                    if (r.ucLeaveTo != 0) {
                        n.ucLeaveTo = r.ucLeaveTo;
                    }
                }
                if (iHow == 3) {
                    ReplyRuleOpeningEnded(&n.tRule, false);
                    n.bLinkOpen = false;
                } else if (iHow != 2) {
                    Deliver(&n, r);
                }
                step(n, std::string(iHow == 2   ? "reply lost"
                                    : iHow == 3 ? "reply comes broken"
                                                : "reply comes") +
                            " (seq " + std::to_string(r.usSeqNum) + ", cmd " + std::to_string(r.usCmdWord) +
                            ", status " + std::to_string(r.usRspRet) + ", " + std::to_string(r.ucParas) +
                            " parameter bytes" + (iHow == 1 ? ", a copy follows)" : ")"));
            }
        }
        // Reports the tablet adds, and the ends of an opening.
        if (w.bLinkOpen) {
            if (May(w, kStray) && !EchoesInFull()) {
                World n = w;
                n.aucFaults[kStray]++;
                Deliver(&n, QueuedReply{0x7777, 0, 0, 1, 1, 0, kNoRequest});
                step(n, "a stray success echoing nothing");
            }
            if (May(w, kBad)) {
                World n = w;
                n.aucFaults[kBad]++;
                ReplyRuleOpeningEnded(&n.tRule, false);
                n.bLinkOpen = false;
                step(n, "bad report ends the opening");
            }
        }
        if (!w.bGone && (w.ucLeaveTo != 0 || w.bHung)) {
            World n = w;
            Restart(&n, w.bHung ? 1 : w.ucLeaveTo);
            step(n, w.bHung ? "watchdog restarts the hung tablet" : "tablet restarts (leaves the bus)");
        }
        if (!w.bGone && May(w, kUnplug)) {
            World n = w;
            n.aucFaults[kUnplug]++;
            Restart(&n, 1);
            step(n, "unplugged and plugged in again");
        }
        if (w.bLinkOpen && May(w, kUsbOnly)) {
            World n = w;
            n.aucFaults[kUsbOnly]++;
            Departs(&n);
            step(n, "unplugged from USB only (no restart)");
        }
        if (w.bGone) {
            World n = w;
            n.bGone = false;
            n.bLinkOpen = true;
            step(n, "tablet back on the bus, link opened");
        } else if (!w.bLinkOpen) {
            World n = w;
            n.bLinkOpen = true;
            step(n, "link opened again");
        }
        return bFree;
    }

    void Deliver(World* pw, const QueuedReply& r) const {
        const ReplyView tView{r.usSeqNum, r.usCmdWord, r.usRspRet, DigestOf(r)};
        // (what comes after the departure that ended the verdict's wait is too late to count)
        pw->bOwnLastCame =
            pw->bOwnLastCame || (r.usAnswers == pw->usLastPackageSeq && r.usAnswers != kNoRequest &&
                                 !(pw->ePc == kPcVerdict && pw->tRule.bLeftSinceTaken));
        if (ReplyRuleReport(&pw->tRule, tView) == ReportFate::kTaken) {
            EXPECT_TRUE(pw->bAwaiting);
            pw->bTakenOwn = r.usAnswers == pw->tRule.usSeqNum;
            pw->bTakenAdded = r.ucParas == 3;
            CommandEnded(pw, r.usRspRet == 0 ? Outcome::kOk : Outcome::kRefused, &r);
        }
    }

    void Stuck(const char* strHow) {
        if (!bStuck) {
            bStuck = true;
            strStuck = std::string(strHow) + Path();
        }
    }

    std::string Path() const {
        std::string s;
        for (const std::string& str : vstrPath) {
            s += "\n  " + str;
        }
        return s;
    }

    void Step(const World& n, const std::string& strEvent) {
        vstrPath.push_back(strEvent);
        Visit(n);
        vstrPath.pop_back();
    }

    void Violation(const std::string& strWhat) {
        if (strViolation.empty()) {
            strViolation = strWhat + " after:" + Path();
        }
    }
};

void PrintTo(const CheckCase& c, std::ostream* pOut) {
    *pOut << c.strName;
}

class ReplyRuleCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(ReplyRuleCheck, LiveRecoverableAndSafeAsFarAsTheAnswersTell) {
    Checker k;
    k.c = GetParam();
    if (const char* str = std::getenv("TAVELO_REPLY_RULE_FAULTS")) {
        k.ucMostFaults = static_cast<std::uint8_t>(std::atoi(str));
    }
    World w;
    w.bBoot = k.c.bStartInBootLoader;
    w.bBootable = !k.c.bStartInBootLoader;
    w.usCounter = k.Mode(w).usValue;
    k.Visit(w);
    std::printf(
        "[ reply rule ] %s: %llu states, %llu ends, %llu of them Finish; Finish without the image: %llu "
        "where "
        "a copy or stray stood for the last answer, %llu where the tablet's own added success did\n",
        k.c.strName, static_cast<unsigned long long>(k.ullStates), static_cast<unsigned long long>(k.ullEnds),
        static_cast<unsigned long long>(k.ullFinished), static_cast<unsigned long long>(k.ullCannotTell),
        static_cast<unsigned long long>(k.ullForged));
    if (k.ullCannotTell > 0) {
        std::printf(
            "[ reply rule ] %s: the known limit, which the answers cannot tell from a clean upgrade:%s\n",
            k.c.strName, k.strCannotTell.c_str());
    }
    EXPECT_EQ(k.strViolation, "");
    // A checker whose count collapses has stopped checking.
    EXPECT_GT(k.ullStates, 10000u);
    EXPECT_GT(k.ullFinished, 0u);
}

constexpr Answering kFull{Echo::kFull, 0, 0};
constexpr Answering kFullBare{Echo::kFull, 0, 1};
constexpr Answering kLowByte{Echo::kLowByte, 0, 0};
constexpr Answering kNothing{Echo::kNothing, 0, 2};
constexpr Answering kConstantAtSeq3{Echo::kConstant, 3, 0};
constexpr Answering kCounterFromOne{Echo::kCounter, 1, 1};

INSTANTIATE_TEST_SUITE_P(
    EveryOrder, ReplyRuleCheck,
    ::testing::Values(CheckCase{"EchoingFromTheApplication", 2, kFull, kFull, false, false},
                      CheckCase{"EchoingBareFromTheBootLoader", 3, kFullBare, kFullBare, true, false},
                      CheckCase{"EchoingKeepsItsOldImage", 2, kFull, kFull, false, true},
                      CheckCase{"LowByteFromTheApplication", 2, kLowByte, kLowByte, false, false},
                      CheckCase{"SilentFromTheApplication", 2, kNothing, kNothing, false, false},
                      CheckCase{"SilentBootLoaderKeepsItsOldImage", 2, kFull, kNothing, false, true},
                      CheckCase{"ConstantFromTheBootLoader", 3, kConstantAtSeq3, kConstantAtSeq3, true,
                                false},
                      CheckCase{"CounterLaggingInTheBootLoader", 3, kFull, kCounterFromOne, false, false}),
    [](const ::testing::TestParamInfo<CheckCase>& i) { return std::string(i.param.strName); });

}  // namespace
