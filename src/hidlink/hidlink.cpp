// The HID link: discovery of a supported tablet's vendor interface, the reader thread, re-detection
// after the tablet left the bus, and the exchange of DRBD frames in HID reports.
//
// The link's states, as bLinkOpen / ulReaderState / hReaderThread, and what moves it between them:
//
//   closed    0 / - / -1
//     |  a discovery pass opens the vendor interface and starts a reader (a new generation)
//     v
//   open      1 / 0, then 1 / the reader's thread handle
//     |  the reader's read fails: in one step under g_tLinkMutex it closes the link handles and its
//     v  thread handle and marks itself stopped; then it runs (or leaves to another thread) a re-detection
//   stopped   1 / 2 / -1
//     |  WaitHidLinkIdle, within the re-detection, whose passes then open the link again
//     v
//   closed
// HidLinkShutdown stops the reader in order and leaves the link closed from any state.
//
// SetLinkState is the one place where bLinkOpen and ulReaderState change. Each opening of the link has a
// generation; a reader stores its state only while its own opening is the current one, so a reader that
// stops late never marks a newer reader stopped. An opening ends when its reader stops (the tablet left
// the bus, or a report that is no reply came) or the link is shut down.
//
// Locks (where two are held at once, in this order):
// - g_tDiscoveryMutex: one discovery pass at a time, whichever thread runs it.
// - g_tLinkMutex: the opening (handles, capabilities, reader, generation) and the sender's output report.
//   A write is made under it, so no handle is closed under a write; the blocking read is made outside it
//   (hHidRead is closed only by its reader, or when no reader lives).
// - g_tReplyMutex (g_tReplyCv): the reply and the replies owed.
//
// Every word of the link's state, the opening it belongs to and what guards it:
//   of the current opening, written under g_tLinkMutex:
//     hHidWrite, hHidRead, hReadEvent, tLinkCaps   the open interface (its reader reads hHidRead, hReadEvent
//                                                  unlocked; it closes them, under the lock, as it stops)
//     hReaderThread                                the reader's handle (-1 once it stopped or was released)
//     g_ulLinkGeneration                           the opening's number (read anywhere)
//     g_ulServedVid, g_ulServedPid                 the tablet it serves (0 when none)
//     g_ulLiveReaders (g_tLinkCv)                  readers alive, of any opening
//     aucTxReport                                  the last output report
//   of the current opening, atomic words changed only by SetLinkState:
//     bLinkOpen, ulReaderState                     kOpened under g_tLinkMutex, kClosed under
//                                                  g_tDiscoveryMutex, a reader's marks for its own opening
//     bReaderStop                                  the reader's loop; set by the reader or the shutdown
//   of the exchange, across openings, under g_tReplyMutex:
//     g_tReplyRule                                 the reply rule's state (reply_rule.h): what is owed,
//                                                  what a report is taken as, the last answer's check
//     bReplyReady                                  raised with release order, tested with acquire order
//     aucReplyReport, g_usReplyReportBytes,        the reply and its length
//     usReplyFrameLen, usReplyLen
//   of the reader alone: aucReadReport (one reader reads at a time).
//   of discovery, under g_tDiscoveryMutex: hDevInfoSet, hHidProbe, tProbeCaps, ptInterfaceDetail and the
//     interfaces named as unusable.
//   of the process: bRedetecting (one compare-and-swap takes it), g_bShutdown (set once by the
//     shutdown), the time limits and the pause (settings, atomic).
//
// The exchange: one request, one reply, and the tablet answers in order; its echo of SeqNum and CmdCode
// counts only where it is exact. What each report is taken as, when a send is
// refused and whether the last package's answer stands are decided by the reply rule (reply_rule.h),
// which this file feeds under g_tReplyMutex:
// - the sender waits (one reply time limit) until no reply is owed, then marks the request sent before
//   its write; when a reply is still owed, nothing is sent and the command fails at once;
// - the reader hands each full-length 0xFC report to the rule, which takes it as the reply, drops it as
//   an owed reply, or drops it as a stray (no request waits, or it cannot answer the request); a failed
//   read is the tablet leaving the bus (which forgives what is owed), a report that is no reply ends
//   the opening with what is owed kept;
// - a receiver whose wait runs out leaves the reply owed;
// - after IapSetState's success, HidLinkAwaitRestart waits for the tablet to leave and come back; after
//   the last package's, HidLinkConfirmVerdict waits for it to leave. Neither has a time limit of ours (a
//   restart takes what it takes); both say so in a line when it is long, and the verdict's wait ends on
//   Ctrl-C. A report other than an exact copy before the departure means the answers were out of step,
//   and the upgrade fails: so a report nobody asked for (a copy, a left-over of an earlier run or
//   opening) never becomes the verdict: it either is dropped or shifts the line, and a shifted line
//   leaves the tablet's real last answer to come before it restarts.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "device/device_table.h"
#include "device/owner_texts.h"
#include "hidlink/hidlink.h"
#include "hidlink/hidlink_control.h"
#include "hidlink/reply_rule.h"

std::atomic<PlatformHandle> hReaderThread{kInvalidHandle};
std::atomic<std::int32_t> bRedetecting{0};

namespace {

// All zero at start, except that every handle field holds "nothing open".
HidResource g_tHidResource = {.bLinkOpen = 0,
                              .hHidWrite = kInvalidHandle,
                              .hHidRead = kInvalidHandle,
                              .hReadEvent = kInvalidHandle,
                              .bReaderStop = 0,
                              .ulReaderState = 0,
                              .tLinkCaps = {},
                              .hDevInfoSet = kInvalidHandle,
                              .hHidProbe = kInvalidHandle,
                              .tProbeCaps = {},
                              .ptInterfaceDetail = nullptr,
                              .aucTxReport = {},
                              .bReplyReady = 0,
                              .usReplyLen = 0,
                              .usReplyFrameLen = 0,
                              .aucReplyReport = {},
                              .aucReadReport = {}};

constexpr std::uint16_t kRedetectDelayMs = 500;
constexpr std::uint32_t kDiscoveryPauseMs = 10;
constexpr std::uint32_t kIdlePollMs = 10;
// Turns the receiver spins on bReplyReady (yielding) before it sleeps on the condition variable.
constexpr int kReplySpinTurns = 200;
constexpr std::int32_t kReaderStarting = 0;
constexpr std::int32_t kReaderReading = 1;
constexpr std::int32_t kReaderStopped = 2;

// A reader still blocked when HidLinkShutdown stops waiting runs on while main returns and the static
// destructors run, until the process ends: what it touches is never destroyed (objects made with new,
// and plain values).
static_assert(std::is_trivially_destructible_v<HidResource>, "the link record must outlive a late reader");
std::mutex& g_tDiscoveryMutex = *new std::mutex();

std::mutex& g_tLinkMutex = *new std::mutex();
std::condition_variable& g_tLinkCv = *new std::condition_variable();
std::uint32_t g_ulLiveReaders = 0;  // reader threads alive, counting one still in its re-detection
// Opening of the link now current; written under g_tLinkMutex, read anywhere.
std::atomic<std::uint32_t> g_ulLinkGeneration{0};

std::mutex& g_tReplyMutex = *new std::mutex();
std::condition_variable& g_tReplyCv = *new std::condition_variable();
std::uint16_t g_usReplyReportBytes = 0;  // length of the report in aucReplyReport
ReplyRule g_tReplyRule;
static_assert(std::is_trivially_destructible_v<ReplyRule>, "the reply rule must outlive a late reader");

std::atomic<std::int32_t> g_bShutdown{0};
// Vendor and product ID of the tablet the link serves (0 when none), so that discovery can leave
// DeviceModelIndex naming it although other supported tablets are listed after it.
std::atomic<std::uint32_t> g_ulServedVid{0};
std::atomic<std::uint32_t> g_ulServedPid{0};

std::atomic<std::uint32_t> g_ulReplyTimeoutMs{kReplyTimeoutMs};
std::atomic<std::uint32_t> g_ulLinkIdleTimeoutMs{kLinkIdleTimeoutMs};
std::atomic<std::uint32_t> g_ulRedetectWaitMs{kRedetectWaitMs};
std::atomic<std::uint32_t> g_ulShutdownWaitMs{kShutdownWaitMs};
std::atomic<std::uint32_t> g_ulAwayNoticeMs{kTabletAwayNoticeMs};
std::atomic<std::uint32_t> g_ulRestartNoticeMs{kRestartNoticeMs};
std::atomic<HidLinkPauseFn> g_pfnPause{nullptr};

// Vendor interfaces already named as unusable (under g_tDiscoveryMutex).
std::vector<std::string>* g_pvstrUnusableNamed = nullptr;
// Interfaces refused with a code that says "in use" only when it comes again (under g_tDiscoveryMutex):
// those refused in the last discovery pass, and those refused in the current one. A refusal counts as
// the second only right after the first, not after a pass that opened the interface, did not list it or
// was not refused by it (the refusals of a tablet restarting during an upgrade, long apart).
struct RefusedOnce {
    std::vector<std::string> vstrLastPass;
    std::vector<std::string> vstrThisPass;
};
RefusedOnce* g_ptRefusedOnce = nullptr;

thread_local bool t_bReaderThread = false;

bool ShuttingDown() {
    return g_bShutdown.load(std::memory_order_acquire) != 0;
}

void LinkPause(std::uint32_t ulMs) {
    HidLinkPauseFn pfn = g_pfnPause.load(std::memory_order_acquire);
    if (pfn != nullptr) {
        pfn(ulMs);
    } else {
        PlatformSleepMs(ulMs);
    }
}

char* NoInterfaceDetail() {
    return reinterpret_cast<char*>(static_cast<std::intptr_t>(-1));
}

enum class LinkState { kStart, kClosed, kOpened, kReading, kStopped };

// The one place where the link's state marks change. A reader's own marks (kReading, kStopped) are
// stored only while ulGeneration is the current opening; kOpened and kStopped are stored under
// g_tLinkMutex, kClosed under g_tDiscoveryMutex or with no reader alive.
void SetLinkState(HidResource* pt, LinkState eState, std::uint32_t ulGeneration = 0) {
    switch (eState) {
        case LinkState::kStart:  // the values at program start (HidLinkReset, no reader alive)
            pt->bLinkOpen.store(0, std::memory_order_release);
            pt->bReaderStop.store(0, std::memory_order_release);
            pt->ulReaderState.store(kReaderStarting, std::memory_order_release);
            break;
        case LinkState::kClosed:
            pt->bLinkOpen.store(0, std::memory_order_release);
            break;
        case LinkState::kOpened:
            // Set here rather than by the new reader, so that a stop asked for before it runs is kept.
            pt->bReaderStop.store(0, std::memory_order_release);
            pt->ulReaderState.store(kReaderStarting, std::memory_order_release);
            pt->bLinkOpen.store(1, std::memory_order_release);
            break;
        case LinkState::kReading:
        case LinkState::kStopped:
            if (ulGeneration == g_ulLinkGeneration.load(std::memory_order_acquire)) {
                pt->ulReaderState.store(eState == LinkState::kReading ? kReaderReading : kReaderStopped,
                                        std::memory_order_release);
            }
            break;
    }
}

bool WaitLiveReaders(std::uint32_t ulCount, std::uint32_t ulTimeoutMs) {
    std::unique_lock<std::mutex> lk(g_tLinkMutex);
    return g_tLinkCv.wait_for(lk, std::chrono::milliseconds(ulTimeoutMs),
                              [&] { return g_ulLiveReaders <= ulCount; });
}

// Closes the handle in a link field if one is there (caller holds g_tLinkMutex).
void CloseField(const HidHost* ptHost, std::atomic<PlatformHandle>& ahField) {
    PlatformHandle h = ahField.exchange(kInvalidHandle, std::memory_order_acq_rel);
    if (h != kInvalidHandle) {
        ptHost->Close(ptHost->pvCtx, h);
    }
}

// Closes hOwn if the field still holds it (caller holds g_tLinkMutex).
void CloseOwnField(const HidHost* ptHost, std::atomic<PlatformHandle>& ahField, PlatformHandle hOwn) {
    PlatformHandle hExpected = hOwn;
    if (hOwn != kInvalidHandle && ahField.compare_exchange_strong(hExpected, kInvalidHandle)) {
        ptHost->Close(ptHost->pvCtx, hOwn);
    }
}

// Frees the detail buffer and closes the probe of the interface just examined.
void ReleaseExamined(HidResource* pt, const HidHost* ptHost) {
    if (pt->ptInterfaceDetail != nullptr && pt->ptInterfaceDetail != NoInterfaceDetail()) {
        delete[] pt->ptInterfaceDetail;
    }
    pt->ptInterfaceDetail = nullptr;
    if (pt->hHidProbe != kInvalidHandle) {
        ptHost->Close(ptHost->pvCtx, pt->hHidProbe);
        pt->hHidProbe = kInvalidHandle;
    }
}

// Report lengths the link can work with: both fit the 1200-byte report buffers, a read brings at
// least one frame byte, and a write carries the largest request frame behind the report ID.
bool LinkLengthsUsable(const HidCaps& t) {
    return t.InputReportByteLength >= 2 && t.InputReportByteLength <= kHidReportBufferBytes &&
           t.OutputReportByteLength >= kLargestRequestFrameBytes + 1u &&
           t.OutputReportByteLength <= kHidReportBufferBytes;
}

// True the first time a reason for not opening an interface (strKey) comes up (caller holds
// g_tDiscoveryMutex), so that each is told once.
bool FirstNamed(const std::string& strKey) {
    if (g_pvstrUnusableNamed == nullptr) {
        g_pvstrUnusableNamed = new std::vector<std::string>();
    }
    for (const std::string& str : *g_pvstrUnusableNamed) {
        if (str == strKey) {
            return false;
        }
    }
    g_pvstrUnusableNamed->push_back(strKey);
    return true;
}

// Tells the user once per interface why a supported tablet is not opened (caller holds
// g_tDiscoveryMutex); otherwise "Detecting..." would wait with no reason given.
void NameUnusableInterface(const char* strPath, const HidCaps& t) {
    if (!FirstNamed(std::string(strPath) + "#" + std::to_string(t.InputReportByteLength) + "/" +
                    std::to_string(t.OutputReportByteLength))) {
        return;
    }
    PlatformPrintf(
        "\r\n[Tavelo IAP]: Cannot use the tablet at %s: its vendor interface has %u-byte input and "
        "%u-byte output reports (usable: input 2 to %u bytes, output %u to %u bytes).\r\n",
        strPath, static_cast<unsigned>(t.InputReportByteLength),
        static_cast<unsigned>(t.OutputReportByteLength), static_cast<unsigned>(kHidReportBufferBytes),
        static_cast<unsigned>(kLargestRequestFrameBytes + 1u), static_cast<unsigned>(kHidReportBufferBytes));
}

// The interface could not be opened because another program holds it (the tablet's driver or settings
// software): told once per interface, as the user has to close that program. A code that also comes
// from a device on its way off the bus counts only when the same interface gives it again.
void NameInterfaceInUse(const char* strPath, std::uint32_t ulErr, int iInUse) {
    if (iInUse == kPlatformInUseIfAgain) {
        if (g_ptRefusedOnce == nullptr) {
            g_ptRefusedOnce = new RefusedOnce();
        }
        g_ptRefusedOnce->vstrThisPass.emplace_back(strPath);
        const std::vector<std::string>& vstrLast = g_ptRefusedOnce->vstrLastPass;
        if (std::find(vstrLast.begin(), vstrLast.end(), strPath) == vstrLast.end()) {
            return;
        }
    }
    if (!FirstNamed(std::string(strPath) + "#in use")) {
        return;
    }
    PlatformPrintf(
        "\r\n[Tavelo IAP]: The tablet at %s is in use by another program (error %u); close the tablet's "
        "driver or settings program, then plug the tablet in again.\r\n",
        strPath, static_cast<unsigned>(ulErr));
}

// True when the interface behind an open handle is the tablet discovery matched (usVid/usPid). Another
// tablet may have taken the path between the probe and the open (a hidraw node number is reused).
bool OpenedTheMatchedTablet(const HidHost* ptHost, PlatformHandle h, std::uint16_t usVid,
                            std::uint16_t usPid) {
    std::uint16_t usOpenVid = 0;
    std::uint16_t usOpenPid = 0;
    return ptHost->ProbeAttributes(ptHost->pvCtx, h, &usOpenVid, &usOpenPid) != 0 && usOpenVid == usVid &&
           usOpenPid == usPid;
}

// Opens the vendor interface at strPath, when it still is the tablet discovery matched, and starts its
// reader. On any failure everything opened here is closed again, no reader runs and the link stays
// closed, so the next pass tries again.
void OpenLink(HidResource* pt, const HidHost* ptHost, const char* strPath, std::uint16_t usVid,
              std::uint16_t usPid) {
    void* pv = ptHost->pvCtx;
    PlatformHandle hWrite = ptHost->OpenWrite(pv, strPath);
    std::uint32_t ulOpenError = hWrite == kInvalidHandle ? PlatformLastError() : 0;
    PlatformHandle hRead = kInvalidHandle;
    if (hWrite != kInvalidHandle) {
        hRead = ptHost->OpenRead(pv, strPath);
        ulOpenError = hRead == kInvalidHandle ? PlatformLastError() : 0;
    }
    const int iInUse = ulOpenError != 0 ? PlatformDeviceInUseError(ulOpenError) : 0;
    if (iInUse != 0) {
        NameInterfaceInUse(strPath, ulOpenError, iInUse);
    }
    if (hRead != kInvalidHandle && (!OpenedTheMatchedTablet(ptHost, hWrite, usVid, usPid) ||
                                    !OpenedTheMatchedTablet(ptHost, hRead, usVid, usPid))) {
        ptHost->Close(pv, hRead);
        hRead = kInvalidHandle;
    }
    PlatformHandle hEvent = hRead != kInvalidHandle ? ptHost->EventCreate(pv) : kInvalidHandle;
    if (hEvent == kInvalidHandle) {
        if (hRead != kInvalidHandle) {
            ptHost->Close(pv, hRead);
        }
        if (hWrite != kInvalidHandle) {
            ptHost->Close(pv, hWrite);
        }
        SetLinkState(pt, LinkState::kClosed);
        return;
    }
    // The new reader takes its handles and generation under this lock, so it starts only once the
    // opening is complete, and a reader that stops at once cannot miss its own thread handle.
    std::lock_guard<std::mutex> lk(g_tLinkMutex);
    pt->tLinkCaps = pt->tProbeCaps;
    pt->hHidWrite.store(hWrite, std::memory_order_release);
    pt->hHidRead.store(hRead, std::memory_order_release);
    pt->hReadEvent.store(hEvent, std::memory_order_release);
    g_ulLinkGeneration.fetch_add(1, std::memory_order_acq_rel);
    g_ulServedVid.store(usVid, std::memory_order_release);
    g_ulServedPid.store(usPid, std::memory_order_release);
    SetLinkState(pt, LinkState::kOpened);
    ++g_ulLiveReaders;
    PlatformHandle hThread = PlatformThreadStart(HidReaderThread, nullptr);
    if (hThread != kInvalidHandle) {
        hReaderThread.store(hThread, std::memory_order_release);
        return;
    }
    --g_ulLiveReaders;
    g_tLinkCv.notify_all();
    CloseField(ptHost, pt->hReadEvent);
    CloseField(ptHost, pt->hHidWrite);
    CloseField(ptHost, pt->hHidRead);
    g_ulServedVid.store(0, std::memory_order_release);
    SetLinkState(pt, LinkState::kClosed);
}

bool WaitReplyReady(HidResource* pt) {
    // The limit counts from the start: on a busy machine each yield of the spin can last a time slice.
    const auto tDeadline = std::chrono::steady_clock::now() +
                           std::chrono::milliseconds(g_ulReplyTimeoutMs.load(std::memory_order_relaxed));
    for (int i = 0; i < kReplySpinTurns; ++i) {
        if (pt->bReplyReady.load(std::memory_order_acquire) != 0) {
            return true;
        }
        std::this_thread::yield();
    }
    std::unique_lock<std::mutex> lk(g_tReplyMutex);
    if (g_tReplyCv.wait_until(lk, tDeadline,
                              [&] { return pt->bReplyReady.load(std::memory_order_acquire) != 0; })) {
        return true;
    }
    // Timed out, decided under the lock the reader takes to hand a report over: its reply is owed.
    ReplyRuleTimedOut(&g_tReplyRule);
    return false;
}

// Before a send: what is owed is waited for (the reader drops it), at most one reply time limit; false
// when it is still owed then, and nothing may be sent.
bool LinkInStep() {
    std::unique_lock<std::mutex> lk(g_tReplyMutex);
    return g_tReplyCv.wait_for(lk,
                               std::chrono::milliseconds(g_ulReplyTimeoutMs.load(std::memory_order_relaxed)),
                               [] { return ReplyRuleMaySend(g_tReplyRule); });
}

// The reader's hand-over of a full-length reply report of its opening: the rule takes it as the reply,
// or drops it (an owed reply, or a stray).
void HandOverReport(HidResource* pt, std::uint32_t ulGeneration, std::uint32_t ulInputLen) {
    std::lock_guard<std::mutex> lk(g_tReplyMutex);
    if (ulGeneration != g_ulLinkGeneration.load(std::memory_order_acquire)) {
        return;  // a reader of an opening already replaced: nothing of it counts
    }
    if (ReplyRuleReport(&g_tReplyRule, ReplyViewOf(pt->aucReadReport, ulInputLen)) == ReportFate::kTaken) {
        std::memcpy(pt->aucReplyReport, pt->aucReadReport, sizeof(pt->aucReplyReport));
        g_usReplyReportBytes = static_cast<std::uint16_t>(ulInputLen);
        pt->bReplyReady.store(1, std::memory_order_release);
    }
    g_tReplyCv.notify_all();
}

// Waits under the reply lock until bDone() holds (the reader's hand-overs and the ends of openings wake
// it), with no time limit: a restart the tablet promised takes as long as it takes. Every 100 ms it looks
// whether Ctrl-C asked the transfer to stop (or the link is shut down), and returns false then. One line
// says that it waits, once the tablet has taken longer than the restart notice time.
template <typename Done>
bool AwaitTablet(Done bDone) {
    constexpr auto kLookEvery = std::chrono::milliseconds(100);
    const std::uint64_t ullStart = PlatformNowMs();
    bool bTold = false;
    std::unique_lock<std::mutex> lk(g_tReplyMutex);
    while (!bDone()) {
        if (PlatformTransferInterrupted() != 0 || ShuttingDown()) {
            return false;
        }
        if (!bTold && PlatformNowMs() - ullStart >= g_ulRestartNoticeMs.load(std::memory_order_relaxed)) {
            bTold = true;
            lk.unlock();
            PlatformPrintf("%s", kOwnerTexts.strRestartWait);
            lk.lock();
            continue;
        }
        g_tReplyCv.wait_for(lk, kLookEvery);
    }
    return true;
}

// A stopped reader's opening has ended: the tablet left the bus, or sent a report that is no reply.
void EndOpening(std::uint32_t ulGeneration, bool bLeftBus) {
    std::lock_guard<std::mutex> lk(g_tReplyMutex);
    if (ulGeneration == g_ulLinkGeneration.load(std::memory_order_acquire)) {
        ReplyRuleOpeningEnded(&g_tReplyRule, bLeftBus);
    }
    g_tReplyCv.notify_all();
}

}  // namespace

HidResource* GetHidResource() {
    return &g_tHidResource;
}

// ---- Discovery --------------------------------------------------------------------------------------

int ReadHidCaps(HidResource* pt) {
    const HidHost* ptHost = GetHidHost();
    HidCaps tCaps{};
    int iOk = pt->hHidProbe != kInvalidHandle ? ptHost->ProbeCaps(ptHost->pvCtx, pt->hHidProbe, &tCaps) : 0;
    // A failed query leaves zero, never the capabilities of an interface examined before.
    pt->tProbeCaps = iOk != 0 ? tCaps : HidCaps{};
    return iOk;
}

std::int32_t DetectHidDevice(HidResource* pt) {
    std::lock_guard<std::mutex> lkPass(g_tDiscoveryMutex);
    if (ShuttingDown()) {
        return 0;
    }
    const HidHost* ptHost = GetHidHost();
    void* pv = ptHost->pvCtx;
    std::uint32_t ulIndex = 0;
    std::uint32_t ulDetailTries = 0;
    std::int32_t iFound = 0;

    pt->hDevInfoSet = ptHost->ListOpen(pv);
    while (iFound == 0) {
        if (pt->hDevInfoSet == kInvalidHandle || ptHost->ListEntry(pv, pt->hDevInfoSet, ulIndex) == 0) {
            LinkPause(kDiscoveryPauseMs);
            break;
        }
        std::uint32_t ulSize = ptHost->ListPathSize(pv, pt->hDevInfoSet, ulIndex);
        char* pcDetail = ulSize != 0 ? new (std::nothrow) char[ulSize] : nullptr;
        if (pcDetail == nullptr || ptHost->ListPath(pv, pt->hDevInfoSet, ulIndex, pcDetail, ulSize) == 0) {
            delete[] pcDetail;
            LinkPause(kDiscoveryPauseMs);
            if (++ulDetailTries >= kDetailQueryTries) {
                ulDetailTries = 0;
                ++ulIndex;  // an interface whose path cannot be had is passed over
            }
            continue;
        }
        ulDetailTries = 0;
        pt->ptInterfaceDetail = pcDetail;

        std::uint16_t usVid = 0;
        std::uint16_t usPid = 0;
        pt->hHidProbe = ptHost->ProbeOpen(pv, pcDetail);
        if (pt->hHidProbe != kInvalidHandle &&
            ptHost->ProbeAttributes(pv, pt->hHidProbe, &usVid, &usPid) == 0) {
            usVid = 0;
            usPid = 0;
        }
        if (MatchDeviceId(usVid, usPid) != 1) {
            ReleaseExamined(pt, ptHost);
            ++ulIndex;
            LinkPause(kDiscoveryPauseMs);
            continue;
        }

        // A supported tablet: DeviceModelIndex names its row now.
        iFound = 1;
        ReadHidCaps(pt);
        if (pt->tProbeCaps.Usage == kVendorUsage && pt->tProbeCaps.UsagePage == kVendorUsagePage) {
            if (hReaderThread.load(std::memory_order_acquire) != kInvalidHandle) {
                // A reader serves the link already; its handles stay as they are.
                ReleaseExamined(pt, ptHost);
                ++ulIndex;
                break;
            }
            if (!LinkLengthsUsable(pt->tProbeCaps)) {
                NameUnusableInterface(pcDetail, pt->tProbeCaps);
            } else if (!ShuttingDown()) {
                OpenLink(pt, ptHost, pcDetail, usVid, usPid);
            }
        }
        // Another collection of a supported tablet, or the link just opened: go on at once.
        ReleaseExamined(pt, ptHost);
        ++ulIndex;
        iFound = 0;
    }
    pt->ptInterfaceDetail = NoInterfaceDetail();
    if (g_ptRefusedOnce != nullptr) {
        g_ptRefusedOnce->vstrLastPass.swap(g_ptRefusedOnce->vstrThisPass);
        g_ptRefusedOnce->vstrThisPass.clear();
    }
    if (pt->hDevInfoSet != kInvalidHandle) {
        ptHost->ListClose(pv, pt->hDevInfoSet);
        pt->hDevInfoSet = kInvalidHandle;
    }
    // Other supported tablets met in this pass have moved the model index; it names the served one.
    std::uint32_t ulServedVid = g_ulServedVid.load(std::memory_order_acquire);
    if (ulServedVid != 0 && hReaderThread.load(std::memory_order_acquire) != kInvalidHandle) {
        MatchDeviceId(ulServedVid, g_ulServedPid.load(std::memory_order_acquire));
    }
    return iFound;
}

void WaitHidLinkIdle(HidResource* pt) {
    const std::uint64_t ullStart = PlatformNowMs();
    const std::uint32_t ulLimit = g_ulLinkIdleTimeoutMs.load(std::memory_order_relaxed);
    while (pt->bLinkOpen.load(std::memory_order_acquire) == 1 &&
           pt->ulReaderState.load(std::memory_order_acquire) != kReaderStopped) {
        if (ShuttingDown() || PlatformNowMs() - ullStart >= ulLimit) {
            // The tablet stayed on the bus: the link stays open, and discovery finds its reader.
            return;
        }
        LinkPause(kIdlePollMs);
    }
    // Under the discovery lock: a pass on another thread may have opened a new link meanwhile, whose
    // reader is not stopped; its open mark stays.
    std::lock_guard<std::mutex> lk(g_tDiscoveryMutex);
    if (pt->ulReaderState.load(std::memory_order_acquire) == kReaderStopped) {
        SetLinkState(pt, LinkState::kClosed);
    }
}

// A re-detection has no end, but a user waiting on it is told once when the tablet stays away. A
// stopping reader's re-detection (no command waits on it) says nothing.
static void TellTabletAwayOnce(std::uint64_t ullSince, bool* pbTold) {
    if (*pbTold || t_bReaderThread ||
        PlatformNowMs() - ullSince < g_ulAwayNoticeMs.load(std::memory_order_relaxed)) {
        return;
    }
    *pbTold = true;
    PlatformPrintf("%s", kOwnerTexts.strNotBackYet);
}

std::int32_t RedetectHidDevice(std::uint16_t usDelayMs) {
    HidResource* pt = &g_tHidResource;
    const std::uint64_t ullStart = PlatformNowMs();
    WaitHidLinkIdle(pt);
    LinkPause(usDelayMs);
    bool bToldAway = false;
    std::int32_t iResult = 0;
    while (iResult == 0 && !ShuttingDown()) {
        iResult = DetectHidDevice(pt);
        if (iResult == 0) {
            TellTabletAwayOnce(ullStart, &bToldAway);
        }
    }
    return iResult;
}

void ReconnectHidDevice(std::uint16_t usDelayMs, bool bUntilBack) {
    if (ShuttingDown()) {
        return;
    }
    std::int32_t iExpected = 0;
    if (!bRedetecting.compare_exchange_strong(iExpected, 1, std::memory_order_acq_rel)) {
        // Another thread runs a re-detection. A stopping reader leaves it to that thread; any other
        // caller waits (bounded) until it has ended, so that its next command finds the link open.
        if (!t_bReaderThread) {
            const std::uint64_t ullStart = PlatformNowMs();
            const std::uint32_t ulLimit = g_ulRedetectWaitMs.load(std::memory_order_relaxed);
            bool bToldAway = false;
            while (bRedetecting.load(std::memory_order_acquire) != 0 && !ShuttingDown() &&
                   (bUntilBack || PlatformNowMs() - ullStart < ulLimit)) {
                LinkPause(kIdlePollMs);
                TellTabletAwayOnce(ullStart, &bToldAway);
            }
        }
        return;
    }
    {
        std::lock_guard<std::mutex> lk(g_tDiscoveryMutex);
        g_tHidResource.hDevInfoSet = kInvalidHandle;
        g_tHidResource.hHidProbe = kInvalidHandle;
        g_tHidResource.ptInterfaceDetail = NoInterfaceDetail();
    }
    RedetectHidDevice(usDelayMs);
    bRedetecting.store(0, std::memory_order_release);
}

// ---- Reader thread and exchange ---------------------------------------------------------------------

std::uint32_t HidReaderThread(void* /*pvUnused*/) {
    t_bReaderThread = true;
    HidResource* pt = &g_tHidResource;
    const HidHost* ptHost = GetHidHost();
    void* pv = ptHost->pvCtx;
    // The opening this reader serves, complete once the lock is free (see OpenLink).
    PlatformHandle hRead;
    PlatformHandle hEvent;
    PlatformHandle hWrite;
    std::uint32_t ulInputLen;
    std::uint32_t ulGeneration;
    bool bLeftBus = true;
    {
        std::lock_guard<std::mutex> lk(g_tLinkMutex);
        hRead = pt->hHidRead.load(std::memory_order_acquire);
        hEvent = pt->hReadEvent.load(std::memory_order_acquire);
        hWrite = pt->hHidWrite.load(std::memory_order_acquire);
        ulInputLen = pt->tLinkCaps.InputReportByteLength;
        ulGeneration = g_ulLinkGeneration.load(std::memory_order_acquire);
    }

    while (pt->bReaderStop.load(std::memory_order_acquire) == 0 && !ShuttingDown()) {
        SetLinkState(pt, LinkState::kReading, ulGeneration);
        std::uint32_t ulGot = 0;
        std::memset(pt->aucReadReport, 0, sizeof(pt->aucReadReport));
        pt->aucReadReport[0] = kHidInputReportId;
        int iOk = ptHost->Read(pv, hRead, hEvent, pt->aucReadReport, ulInputLen, &ulGot);
        if (iOk != 0 && ulGot == ulInputLen && pt->aucReadReport[0] == kHidInputReportId) {
            HandOverReport(pt, ulGeneration, ulInputLen);
        } else {
            // Failed read, wrong length or wrong report ID: the link is closed and the tablet looked
            // for again. A report that is no reply (one the host delivered, or one it refused as
            // undeclared) came from a tablet still on the bus; any other failed read is its departure.
            bLeftBus = iOk == 0 && PlatformBadReportError(PlatformLastError()) == 0;
            pt->bReaderStop.store(1, std::memory_order_release);
        }
    }

    // Close-down in one step under the link lock: the link handles, the thread handle and the stopped
    // mark, so that no discovery pass can open a new link in between and have its reader marked
    // stopped by this one.
    PlatformHandle hSelf;
    {
        std::lock_guard<std::mutex> lk(g_tLinkMutex);
        CloseOwnField(ptHost, pt->hReadEvent, hEvent);
        CloseOwnField(ptHost, pt->hHidWrite, hWrite);
        CloseOwnField(ptHost, pt->hHidRead, hRead);
        hSelf = hReaderThread.exchange(kInvalidHandle, std::memory_order_acq_rel);
        SetLinkState(pt, LinkState::kStopped, ulGeneration);
    }
    if (hSelf != kInvalidHandle) {
        PlatformThreadRelease(hSelf);
    }
    EndOpening(ulGeneration, bLeftBus);
    // A reader stopped by the shutdown starts no re-detection.
    if (!ShuttingDown()) {
        ReconnectHidDevice(kRedetectDelayMs);
    }
    {
        // Notified under the lock: once the count is seen, this thread touches nothing of the link
        // (the process may end around it).
        std::lock_guard<std::mutex> lk(g_tLinkMutex);
        --g_ulLiveReaders;
        g_tLinkCv.notify_all();
    }
    return 0;
}

std::int32_t HidSendFrame(HidResource* pt, const std::uint8_t* pucFrame, std::uint16_t usLen) {
    if (!LinkInStep()) {
        PlatformPrintf(
            "\r\n[Tavelo IAP]: The tablet has not answered an earlier request, so nothing more is sent "
            "to it until it does. If it stays silent, unplug the tablet and plug it in again.\r\n");
        return 0;
    }
    const HidHost* ptHost = GetHidHost();
    std::lock_guard<std::mutex> lk(g_tLinkMutex);
    const PlatformHandle hWrite = pt->hHidWrite.load(std::memory_order_acquire);
    const std::uint32_t ulReportLen = pt->tLinkCaps.OutputReportByteLength;
    // A frame that does not fit the report buffer, or the open interface's output report, is not sent.
    const std::uint32_t ulLimit =
        hWrite != kInvalidHandle ? ulReportLen : static_cast<std::uint32_t>(kHidReportBufferBytes);
    if (static_cast<std::uint32_t>(usLen) + 1u > ulLimit || usLen > kHidReportBufferBytes - 1u) {
        pt->bReplyReady.store(0, std::memory_order_release);
        PlatformPrintf("帧长%u字节超出输出报告(%u字节)，未写入!\r\n", static_cast<unsigned>(usLen),
                       static_cast<unsigned>(ulLimit));
        return 0;
    }
    pt->aucTxReport[0] = kHidOutputReportId;
    std::memcpy(pt->aucTxReport + 1, pucFrame, usLen);
    {
        // Any reply raised before this point is stale; the request waits from now, so that a reply
        // faster than the write's return finds it waiting.
        std::lock_guard<std::mutex> lkReply(g_tReplyMutex);
        std::uint16_t usSeqNum = 0;
        std::uint16_t usCmdWord = 0;
        RequestIdOf(pucFrame, usLen, &usSeqNum, &usCmdWord);
        ReplyRuleSent(&g_tReplyRule, usSeqNum, usCmdWord);
        pt->bReplyReady.store(0, std::memory_order_release);
    }
    std::uint32_t ulWritten = 0;
    // The host bounds the write (a stalled tablet makes it fail, not hang).
    if (ptHost->Write(ptHost->pvCtx, hWrite, pt->aucTxReport, ulReportLen, &ulWritten) == 0) {
        std::uint32_t ulErr = PlatformLastError();
        {
            std::lock_guard<std::mutex> lkReply(g_tReplyMutex);
            ReplyRuleWriteFailed(&g_tReplyRule);
        }
        PlatformPrintf("写入%d失败!(%d)\r\n", static_cast<int>(ulWritten), static_cast<int>(ulErr));
        // A request that did not go out gets no reply: the exchange fails now, and a report that
        // comes meanwhile is no answer to it.
        return 0;
    }
    return 1;
}

std::int32_t HidReceiveFrame(HidResource* pt, std::uint8_t* pucDest, std::uint16_t usCapacity,
                             std::uint16_t* pusLen) {
    if (!WaitReplyReady(pt)) {
        *pusLen = 0;
        return 0;
    }
    std::lock_guard<std::mutex> lk(g_tReplyMutex);
    pt->usReplyFrameLen = static_cast<std::uint16_t>((pt->aucReplyReport[6] << 8) | pt->aucReplyReport[7]);
    // MsgLen + 9 frame bytes, but never more than the report holds behind its ID, nor than the caller
    // can take; the reply check then sees how much really arrived.
    std::uint32_t ulLen = pt->usReplyFrameLen + 9u;
    const std::uint32_t ulHeld = g_usReplyReportBytes > 0 ? g_usReplyReportBytes - 1u : 0u;
    if (ulLen > ulHeld) {
        ulLen = ulHeld;
    }
    if (ulLen > usCapacity) {
        ulLen = usCapacity;
    }
    if (ulLen > 0) {
        std::memcpy(pucDest, pt->aucReplyReport + 1, ulLen);
    }
    pt->usReplyLen = static_cast<std::uint16_t>(ulLen);
    *pusLen = pt->usReplyLen;
    return 1;
}

std::int32_t LinkSend(PlatformHandle /*hLink*/, std::uint16_t usLen, const std::uint8_t* pucFrame,
                      void* /*pvSpare*/) {
    // A frame that was not sent can get no reply: report it as the timeout it would end in.
    return HidSendFrame(&g_tHidResource, pucFrame, usLen) != 0 ? 0 : kLinkRecvTimeOut;
}

std::int32_t LinkReceive(PlatformHandle /*hLink*/, std::uint16_t usCapacity, std::uint8_t* pucBuf,
                         std::uint16_t* pusLen) {
    return HidReceiveFrame(&g_tHidResource, pucBuf, usCapacity, pusLen) != 0 ? 0 : kLinkRecvTimeOut;
}

std::int32_t LinkExchange(PlatformHandle hLink, std::uint16_t usTxLen, const std::uint8_t* pucTx,
                          void* pvSpare, std::uint16_t usRxCapacity, std::uint8_t* pucRx,
                          std::uint16_t* pusRxLen) {
    std::int32_t iResult = LinkSend(hLink, usTxLen, pucTx, pvSpare);
    if (iResult != 0) {
        *pusRxLen = 0;
        return iResult;
    }
    return LinkReceive(hLink, usRxCapacity, pucRx, pusRxLen);
}

void HidLinkAwaitRestart() {
    if (!AwaitTablet([] { return !ReplyRuleRestartAwaited(g_tReplyRule); })) {
        return;
    }
    bool bLeft;
    {
        std::lock_guard<std::mutex> lk(g_tReplyMutex);
        bLeft = g_tReplyRule.bLeftSinceTaken;
    }
    if (bLeft) {
        ReconnectHidDevice(kRedetectDelayMs, true);
    }
}

int HidLinkConfirmVerdict() {
    if (!AwaitTablet([] { return ReplyRuleVerdict(g_tReplyRule) != VerdictState::kPending; })) {
        return 0;  // Ctrl-C: the failure line follows
    }
    VerdictState eVerdict;
    {
        std::lock_guard<std::mutex> lk(g_tReplyMutex);
        eVerdict = ReplyRuleVerdict(g_tReplyRule);
    }
    if (eVerdict == VerdictState::kConfirmed) {
        return 1;
    }
    PlatformPrintf("%s", kOwnerTexts.strOutOfStep);
    return 0;
}

// ---- Shutdown and controls --------------------------------------------------------------------------

void HidLinkShutdown(HidResource* pt) {
    g_bShutdown.store(1, std::memory_order_release);
    {
        // A pass that is opening the link finishes first; later passes open nothing.
        std::lock_guard<std::mutex> lk(g_tDiscoveryMutex);
    }
    const HidHost* ptHost = GetHidHost();
    pt->bReaderStop.store(1, std::memory_order_release);
    PlatformHandle hThread;
    {
        std::lock_guard<std::mutex> lk(g_tLinkMutex);
        hThread = hReaderThread.exchange(kInvalidHandle, std::memory_order_acq_rel);
        PlatformHandle hRead = pt->hHidRead.load(std::memory_order_acquire);
        if (hRead != kInvalidHandle) {
            ptHost->CancelRead(ptHost->pvCtx, hRead);
        }
    }
    const bool bStopped = WaitLiveReaders(0, g_ulShutdownWaitMs.load(std::memory_order_relaxed));
    if (hThread != kInvalidHandle) {
        if (bStopped) {
            PlatformThreadJoin(hThread);
        } else {
            PlatformThreadRelease(hThread);
        }
    }
    std::lock_guard<std::mutex> lk(g_tLinkMutex);
    CloseField(ptHost, pt->hHidWrite);
    if (bStopped) {
        CloseField(ptHost, pt->hHidRead);
        CloseField(ptHost, pt->hReadEvent);
        SetLinkState(pt, LinkState::kClosed);
    }
    // Otherwise a reader is still blocked on its read: its handles stay open for it to close, and the
    // process ends around it.
}

HidLinkTimeouts HidLinkDefaultTimeouts() {
    return HidLinkTimeouts{kReplyTimeoutMs, kLinkIdleTimeoutMs, kRedetectWaitMs, kShutdownWaitMs};
}

void HidLinkSetTimeouts(const HidLinkTimeouts& t) {
    g_ulReplyTimeoutMs.store(t.ulReplyMs);
    g_ulLinkIdleTimeoutMs.store(t.ulLinkIdleMs);
    g_ulRedetectWaitMs.store(t.ulRedetectWaitMs);
    g_ulShutdownWaitMs.store(t.ulShutdownMs);
}

void HidLinkSetAwayNoticeMs(std::uint32_t ulMs) {
    g_ulAwayNoticeMs.store(ulMs);
}

void HidLinkSetRestartNoticeMs(std::uint32_t ulMs) {
    g_ulRestartNoticeMs.store(ulMs);
}

void HidLinkSetPause(HidLinkPauseFn pfnPause) {
    g_pfnPause.store(pfnPause, std::memory_order_release);
}

std::uint32_t HidLinkReaderThreads() {
    std::lock_guard<std::mutex> lk(g_tLinkMutex);
    return g_ulLiveReaders;
}

int HidLinkWaitReaderThreads(std::uint32_t ulCount, std::uint32_t ulTimeoutMs) {
    return WaitLiveReaders(ulCount, ulTimeoutMs) ? 1 : 0;
}

int HidLinkReset() {
    // Readers are started only by discovery: with its lock held, none can appear meanwhile.
    std::lock_guard<std::mutex> lkPass(g_tDiscoveryMutex);
    if (HidLinkReaderThreads() != 0) {
        return 0;
    }
    HidResource* pt = &g_tHidResource;
    {
        const HidHost* ptHost = GetHidHost();
        std::lock_guard<std::mutex> lk(g_tLinkMutex);
        CloseField(ptHost, pt->hHidWrite);
        CloseField(ptHost, pt->hHidRead);
        CloseField(ptHost, pt->hReadEvent);
        pt->tLinkCaps = HidCaps{};
    }
    SetLinkState(pt, LinkState::kStart);
    pt->hDevInfoSet = kInvalidHandle;
    pt->hHidProbe = kInvalidHandle;
    pt->tProbeCaps = HidCaps{};
    pt->ptInterfaceDetail = nullptr;
    std::memset(pt->aucTxReport, 0, sizeof(pt->aucTxReport));
    {
        std::lock_guard<std::mutex> lk(g_tReplyMutex);
        pt->bReplyReady.store(0);
        pt->usReplyLen = 0;
        pt->usReplyFrameLen = 0;
        std::memset(pt->aucReplyReport, 0, sizeof(pt->aucReplyReport));
        std::memset(pt->aucReadReport, 0, sizeof(pt->aucReadReport));
        g_usReplyReportBytes = 0;
        g_tReplyRule = ReplyRule{};
    }
    delete g_pvstrUnusableNamed;
    g_pvstrUnusableNamed = nullptr;
    delete g_ptRefusedOnce;
    g_ptRefusedOnce = nullptr;
    hReaderThread.store(kInvalidHandle);
    bRedetecting.store(0);
    g_ulServedVid.store(0);
    g_ulServedPid.store(0);
    g_bShutdown.store(0, std::memory_order_release);
    return 1;
}
