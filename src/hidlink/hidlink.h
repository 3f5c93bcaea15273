// The HID link: discovery of a supported tablet, its vendor interface, the reader thread and the
// exchange of DRBD frames in HID reports.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/hid_host.h"
#include "platform/os.h"

inline constexpr std::uint16_t kHidReportBufferBytes = 1200;
inline constexpr std::uint8_t kHidOutputReportId = 0xFD;
inline constexpr std::uint8_t kHidInputReportId = 0xFC;
inline constexpr std::uint16_t kVendorUsage = 0x0007;
inline constexpr std::uint16_t kVendorUsagePage = 0xFF0C;

// How long a command waits for the tablet's reply before the exchange counts as timed out. Generous:
// a tablet erases its flash while it answers IapStart.
inline constexpr std::uint32_t kReplyTimeoutMs = 10000;
// How long a re-detection waits for the reader to stop (the tablet to leave the bus) before it goes on.
inline constexpr std::uint32_t kLinkIdleTimeoutMs = 5000;

// Result of LinkExchange / LinkReceive when no reply came within kReplyTimeoutMs, or the request could
// not be written.
inline constexpr std::int32_t kLinkRecvTimeOut = 10;

struct HidResource {
    std::atomic<std::int32_t> bLinkOpen;
    std::atomic<PlatformHandle> hHidWrite;
    std::atomic<PlatformHandle> hHidRead;
    std::atomic<PlatformHandle> hReadEvent;
    std::atomic<std::int32_t> bReaderStop;
    std::atomic<std::int32_t> ulReaderState;  // 0 starting, 1 reading, 2 stopped
    HidCaps tLinkCaps;
    PlatformHandle hDevInfoSet;
    PlatformHandle hHidProbe;
    HidCaps tProbeCaps;
    char* ptInterfaceDetail;  // device path of the interface being examined
    std::uint8_t aucTxReport[kHidReportBufferBytes];
    std::atomic<std::int32_t> bReplyReady;
    std::uint16_t usReplyLen;
    std::uint16_t usReplyFrameLen;
    std::uint8_t aucReplyReport[kHidReportBufferBytes];
    std::uint8_t aucReadReport[kHidReportBufferBytes];
};

// The one link record of the process (static storage), and the two process-wide words beside it.
HidResource* GetHidResource();
extern std::atomic<PlatformHandle> hReaderThread;
extern std::atomic<std::int32_t> bRedetecting;

// One discovery pass; 1 when a supported tablet's vendor interface is open and a reader serves it.
std::int32_t DetectHidDevice(HidResource* ptHidResource);
int ReadHidCaps(HidResource* ptHidResource);
void WaitHidLinkIdle(HidResource* ptHidResource);
std::int32_t RedetectHidDevice(std::uint16_t usDelayMs);
// Waits for the link to go idle, pauses usDelayMs and detects the tablet until it is back. A caller that
// finds a re-detection running on another thread waits for it at most kRedetectWaitMs, or, with
// bUntilBack (after a restart the tablet promised), as long as it takes.
void ReconnectHidDevice(std::uint16_t usDelayMs, bool bUntilBack = false);

std::uint32_t HidReaderThread(void* pvUnused);
// Sends the frame as one output report, once the replies owed by earlier timed-out exchanges have come
// (waiting for them at most one reply time limit). 1 when the report was written; 0
// when it was not (a reply still owed, a frame that does not fit, or a failed write, each with its line
// printed): no reply is waited for then.
std::int32_t HidSendFrame(HidResource* ptHidResource, const std::uint8_t* pucFrame, std::uint16_t usLen);
// Waits for the reply to the last send (at most kReplyTimeoutMs) and copies its frame, without the
// report ID, into pucDest. Copies min(MsgLen + 9, bytes the report holds, usCapacity) bytes and stores
// that count in *pusLen, so the reply check sees how much is really there. Returns 1, or 0 when the wait
// timed out (*pusLen is then 0); the reply is then owed until it comes (the reader drops it) or the
// tablet leaves the bus. Only a report that can answer the request is taken (see reply_rule.h).
std::int32_t HidReceiveFrame(HidResource* ptHidResource, std::uint8_t* pucDest, std::uint16_t usCapacity,
                             std::uint16_t* pusLen);

std::int32_t LinkSend(PlatformHandle hLink, std::uint16_t usLen, const std::uint8_t* pucFrame, void* pvSpare);
// 0 when a reply was copied, kLinkRecvTimeOut when none came in time.
std::int32_t LinkReceive(PlatformHandle hLink, std::uint16_t usCapacity, std::uint8_t* pucBuf,
                         std::uint16_t* pusLen);
// LinkSend, then LinkReceive; returns 0 or kLinkRecvTimeOut.
std::int32_t LinkExchange(PlatformHandle hLink, std::uint16_t usTxLen, const std::uint8_t* pucTx,
                          void* pvSpare, std::uint16_t usRxCapacity, std::uint8_t* pucRx,
                          std::uint16_t* pusRxLen);

// After IapSetState's success: waits, with no time limit of ours, until the tablet has left the bus and is
// back (a restart takes as long as it takes), or sent a refusal first (it may stay: the upgrade goes on).
// A line says so when the wait is long; Ctrl-C here ends the program.
void HidLinkAwaitRestart();
// After the last package's success: waits, with no time limit of ours, for the tablet to leave the bus
// (it restarts once it has the whole image). 1 when it left with nothing said first but an exact copy of
// its answer. 0, with a line saying why, when another report came first (its answers were out of step
// or contradict each other, so the answer taken may not be its answer to the last package), or when
// Ctrl-C ended the wait (the transfer guard notes it; the wait looks at the note several times a second).
int HidLinkConfirmVerdict();

// Shutdown of the link: stops the reader in order where the host can wake it, then closes hHidWrite,
// hHidRead and hReadEvent (each only if open, each exactly once) and leaves no thread touching them.
void HidLinkShutdown(HidResource* ptHidResource);
