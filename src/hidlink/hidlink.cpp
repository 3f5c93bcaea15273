// The HID link: discovery of a supported tablet's vendor interface, the reader thread, re-detection
// after the tablet left the bus, and the exchange of DRBD frames in HID reports.
//
// Shared state and who guards it:
// - the discovery working fields (hDevInfoSet, hHidProbe, tProbeCaps, ptInterfaceDetail) belong to the
//   discovery pass; passes run one at a time (g_tDiscoveryMutex), whichever thread runs them;
// - the link handles and tLinkCaps are stored, used for a write or a cancel, and closed under
//   g_tHandleMutex, so no handle is used after it was closed and each is closed once (exchange with
//   kInvalidHandle); the blocking read is made outside it, and hHidRead is closed only by its reader, or
//   when no reader lives;
// - the reply report is copied in and out under g_tReplyMutex; bReplyReady is raised with release
//   order and tested with acquire order, and the receiver sleeps on g_tReplyCv after a short spin;
// - hReaderThread is stored and taken under g_tThreadMutex, so a reader that stops at once cannot miss
//   its own handle.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "device/device_table.h"
#include "hidlink/hidlink.h"
#include "hidlink/hidlink_control.h"

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
constexpr std::int32_t kReaderStopped = 2;

std::mutex g_tDiscoveryMutex;
std::mutex g_tHandleMutex;
std::mutex g_tThreadMutex;
std::mutex g_tReplyMutex;
std::condition_variable g_tReplyCv;
std::uint16_t g_usReplyReportBytes = 0;  // length of the report in aucReplyReport (g_tReplyMutex)

std::mutex g_tLiveMutex;
std::condition_variable g_tLiveCv;
std::uint32_t g_ulLiveReaders = 0;

std::atomic<std::int32_t> g_bShutdown{0};
// Vendor and product ID of the tablet the link serves (0 when none), so that discovery can leave
// DeviceModelIndex naming it although other supported tablets are listed after it.
std::atomic<std::uint32_t> g_ulServedVid{0};
std::atomic<std::uint32_t> g_ulServedPid{0};

std::atomic<std::uint32_t> g_ulReplyTimeoutMs{kReplyTimeoutMs};
std::atomic<std::uint32_t> g_ulLinkIdleTimeoutMs{kLinkIdleTimeoutMs};
std::atomic<std::uint32_t> g_ulRedetectWaitMs{kRedetectWaitMs};
std::atomic<std::uint32_t> g_ulShutdownWaitMs{kShutdownWaitMs};
std::atomic<HidLinkPauseFn> g_pfnPause{nullptr};

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

void AddLiveReaders(int iDelta) {
    std::lock_guard<std::mutex> lk(g_tLiveMutex);
    g_ulLiveReaders = static_cast<std::uint32_t>(static_cast<int>(g_ulLiveReaders) + iDelta);
    g_tLiveCv.notify_all();
}

bool WaitLiveReaders(std::uint32_t ulCount, std::uint32_t ulTimeoutMs) {
    std::unique_lock<std::mutex> lk(g_tLiveMutex);
    return g_tLiveCv.wait_for(lk, std::chrono::milliseconds(ulTimeoutMs),
                              [&] { return g_ulLiveReaders <= ulCount; });
}

// Closes the handle in a link field if one is there (caller holds g_tHandleMutex).
void CloseField(const HidHost* ptHost, std::atomic<PlatformHandle>& ahField) {
    PlatformHandle h = ahField.exchange(kInvalidHandle, std::memory_order_acq_rel);
    if (h != kInvalidHandle) {
        ptHost->Close(ptHost->pvCtx, h);
    }
}

// Closes hOwn if the field still holds it (caller holds g_tHandleMutex).
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

// Opens the vendor interface at strPath and starts its reader. On any failure everything opened here
// is closed again, no reader runs and the link stays closed, so the next pass tries again.
void OpenLink(HidResource* pt, const HidHost* ptHost, const char* strPath, std::uint16_t usVid,
              std::uint16_t usPid) {
    void* pv = ptHost->pvCtx;
    PlatformHandle hWrite = ptHost->OpenWrite(pv, strPath);
    PlatformHandle hRead = hWrite != kInvalidHandle ? ptHost->OpenRead(pv, strPath) : kInvalidHandle;
    PlatformHandle hEvent = hRead != kInvalidHandle ? ptHost->EventCreate(pv) : kInvalidHandle;
    if (hEvent == kInvalidHandle) {
        if (hRead != kInvalidHandle) {
            ptHost->Close(pv, hRead);
        }
        if (hWrite != kInvalidHandle) {
            ptHost->Close(pv, hWrite);
        }
        pt->bLinkOpen.store(0, std::memory_order_release);
        return;
    }
    {
        std::lock_guard<std::mutex> lk(g_tHandleMutex);
        pt->tLinkCaps = pt->tProbeCaps;
        pt->hHidWrite.store(hWrite, std::memory_order_release);
        pt->hHidRead.store(hRead, std::memory_order_release);
        pt->hReadEvent.store(hEvent, std::memory_order_release);
    }
    // Set here rather than by the new reader, so that a stop asked for before it runs is not lost.
    pt->bReaderStop.store(0, std::memory_order_release);
    pt->ulReaderState.store(0, std::memory_order_release);
    g_ulServedVid.store(usVid, std::memory_order_release);
    g_ulServedPid.store(usPid, std::memory_order_release);
    pt->bLinkOpen.store(1, std::memory_order_release);
    AddLiveReaders(+1);
    {
        std::lock_guard<std::mutex> lk(g_tThreadMutex);
        PlatformHandle hThread = PlatformThreadStart(HidReaderThread, nullptr);
        if (hThread != kInvalidHandle) {
            hReaderThread.store(hThread, std::memory_order_release);
            return;
        }
    }
    AddLiveReaders(-1);
    {
        std::lock_guard<std::mutex> lk(g_tHandleMutex);
        CloseField(ptHost, pt->hReadEvent);
        CloseField(ptHost, pt->hHidWrite);
        CloseField(ptHost, pt->hHidRead);
    }
    g_ulServedVid.store(0, std::memory_order_release);
    pt->bLinkOpen.store(0, std::memory_order_release);
}

bool WaitReplyReady(HidResource* pt) {
    for (int i = 0; i < kReplySpinTurns; ++i) {
        if (pt->bReplyReady.load(std::memory_order_acquire) != 0) {
            return true;
        }
        std::this_thread::yield();
    }
    const auto tDeadline = std::chrono::steady_clock::now() +
                           std::chrono::milliseconds(g_ulReplyTimeoutMs.load(std::memory_order_relaxed));
    std::unique_lock<std::mutex> lk(g_tReplyMutex);
    return g_tReplyCv.wait_until(lk, tDeadline,
                                 [&] { return pt->bReplyReady.load(std::memory_order_acquire) != 0; });
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
            if (!ShuttingDown() && LinkLengthsUsable(pt->tProbeCaps)) {
                OpenLink(pt, ptHost, pcDetail, usVid, usPid);
            }
        }
        // Another collection of a supported tablet, or the link just opened: go on at once.
        ReleaseExamined(pt, ptHost);
        ++ulIndex;
        iFound = 0;
    }
    pt->ptInterfaceDetail = NoInterfaceDetail();
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
        pt->bLinkOpen.store(0, std::memory_order_release);
    }
}

std::int32_t RedetectHidDevice(std::uint16_t usDelayMs) {
    HidResource* pt = &g_tHidResource;
    WaitHidLinkIdle(pt);
    LinkPause(usDelayMs);
    std::int32_t iResult = 0;
    while (iResult == 0 && !ShuttingDown()) {
        iResult = DetectHidDevice(pt);
    }
    return iResult;
}

void ReconnectHidDevice(std::uint16_t usDelayMs) {
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
            while (bRedetecting.load(std::memory_order_acquire) != 0 && !ShuttingDown() &&
                   PlatformNowMs() - ullStart < ulLimit) {
                LinkPause(kIdlePollMs);
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
    // The link this reader serves, as discovery opened it before starting the thread.
    const PlatformHandle hRead = pt->hHidRead.load(std::memory_order_acquire);
    const PlatformHandle hEvent = pt->hReadEvent.load(std::memory_order_acquire);
    const PlatformHandle hWrite = pt->hHidWrite.load(std::memory_order_acquire);
    const std::uint32_t ulInputLen = pt->tLinkCaps.InputReportByteLength;

    pt->ulReaderState.store(0, std::memory_order_release);
    while (pt->bReaderStop.load(std::memory_order_acquire) == 0 && !ShuttingDown()) {
        pt->ulReaderState.store(1, std::memory_order_release);
        std::uint32_t ulGot = 0;
        std::memset(pt->aucReadReport, 0, sizeof(pt->aucReadReport));
        pt->aucReadReport[0] = kHidInputReportId;
        int iOk = ptHost->Read(pv, hRead, hEvent, pt->aucReadReport, ulInputLen, &ulGot);
        if (iOk != 0 && ulGot == ulInputLen && pt->aucReadReport[0] == kHidInputReportId) {
            {
                std::lock_guard<std::mutex> lk(g_tReplyMutex);
                std::memcpy(pt->aucReplyReport, pt->aucReadReport, sizeof(pt->aucReplyReport));
                g_usReplyReportBytes = static_cast<std::uint16_t>(ulInputLen);
                pt->bReplyReady.store(1, std::memory_order_release);
            }
            g_tReplyCv.notify_all();
        } else {
            // Failed read, wrong length or wrong report ID: the tablet is taken for gone.
            pt->bReaderStop.store(1, std::memory_order_release);
        }
    }

    // Close-down: the link handles first, then the thread handle, so that no discovery pass can open
    // a new link while this reader still closes the old one's handles.
    {
        std::lock_guard<std::mutex> lk(g_tHandleMutex);
        CloseOwnField(ptHost, pt->hReadEvent, hEvent);
        CloseOwnField(ptHost, pt->hHidWrite, hWrite);
        CloseOwnField(ptHost, pt->hHidRead, hRead);
    }
    PlatformHandle hSelf;
    {
        std::lock_guard<std::mutex> lk(g_tThreadMutex);
        hSelf = hReaderThread.exchange(kInvalidHandle, std::memory_order_acq_rel);
    }
    if (hSelf != kInvalidHandle) {
        PlatformThreadRelease(hSelf);
    }
    pt->ulReaderState.store(kReaderStopped, std::memory_order_release);
    // A reader stopped by the shutdown starts no re-detection.
    if (!ShuttingDown()) {
        ReconnectHidDevice(kRedetectDelayMs);
    }
    AddLiveReaders(-1);
    return 0;
}

std::int32_t HidSendFrame(HidResource* pt, const std::uint8_t* pucFrame, std::uint16_t usLen) {
    const HidHost* ptHost = GetHidHost();
    std::lock_guard<std::mutex> lk(g_tHandleMutex);
    const PlatformHandle hWrite = pt->hHidWrite.load(std::memory_order_acquire);
    const std::uint32_t ulReportLen = pt->tLinkCaps.OutputReportByteLength;
    // A frame that does not fit the report buffer, or the open interface's output report, is not sent.
    const std::uint32_t ulLimit =
        hWrite != kInvalidHandle ? ulReportLen : static_cast<std::uint32_t>(kHidReportBufferBytes);
    if (static_cast<std::uint32_t>(usLen) + 1u > ulLimit || usLen > kHidReportBufferBytes - 1u) {
        pt->bReplyReady.store(0, std::memory_order_release);
        std::printf("帧长%u字节超出输出报告(%u字节)，未写入!\r\n", static_cast<unsigned>(usLen),
                    static_cast<unsigned>(ulLimit));
        return 0;
    }
    pt->aucTxReport[0] = kHidOutputReportId;
    std::memcpy(pt->aucTxReport + 1, pucFrame, usLen);
    // Any reply raised before this point is stale; the next accepted report is the reply.
    pt->bReplyReady.store(0, std::memory_order_release);
    std::uint32_t ulWritten = 0;
    if (ptHost->Write(ptHost->pvCtx, hWrite, pt->aucTxReport, ulReportLen, &ulWritten) == 0) {
        std::uint32_t ulErr = PlatformLastError();
        std::printf("写入%d失败!(%d)\r\n", static_cast<int>(ulWritten), static_cast<int>(ulErr));
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
        std::lock_guard<std::mutex> lk(g_tThreadMutex);
        hThread = hReaderThread.exchange(kInvalidHandle, std::memory_order_acq_rel);
    }
    {
        std::lock_guard<std::mutex> lk(g_tHandleMutex);
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
    std::lock_guard<std::mutex> lk(g_tHandleMutex);
    CloseField(ptHost, pt->hHidWrite);
    if (bStopped) {
        CloseField(ptHost, pt->hHidRead);
        CloseField(ptHost, pt->hReadEvent);
        pt->bLinkOpen.store(0, std::memory_order_release);
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

void HidLinkSetPause(HidLinkPauseFn pfnPause) {
    g_pfnPause.store(pfnPause, std::memory_order_release);
}

std::uint32_t HidLinkReaderThreads() {
    std::lock_guard<std::mutex> lk(g_tLiveMutex);
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
        std::lock_guard<std::mutex> lk(g_tHandleMutex);
        CloseField(ptHost, pt->hHidWrite);
        CloseField(ptHost, pt->hHidRead);
        CloseField(ptHost, pt->hReadEvent);
        pt->tLinkCaps = HidCaps{};
    }
    pt->bLinkOpen.store(0);
    pt->bReaderStop.store(0);
    pt->ulReaderState.store(0);
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
    }
    hReaderThread.store(kInvalidHandle);
    bRedetecting.store(0);
    g_ulServedVid.store(0);
    g_ulServedPid.store(0);
    g_bShutdown.store(0, std::memory_order_release);
    return 1;
}
