// Controls of the HID link beside its operations: its time limits, the pause it uses, a view of its
// reader threads and a return to start values. The program keeps the defaults; tests and the demo use
// these to run quickly and to end every test with no thread left behind.
#pragma once

#include <cstdint>

// A caller of ReconnectHidDevice that finds a re-detection already running on another thread waits at
// most this long for it to end.
inline constexpr std::uint32_t kRedetectWaitMs = 30000;
// HidLinkShutdown waits at most this long for the reader threads to stop.
inline constexpr std::uint32_t kShutdownWaitMs = 2000;
// Retries of a failed device-path query before discovery passes over that interface.
inline constexpr std::uint32_t kDetailQueryTries = 5;
// The longest request frame of the IAP commands (a package); a vendor interface whose output report
// cannot carry it behind the report ID is not opened.
inline constexpr std::uint16_t kLargestRequestFrameBytes = 1047;

// A re-detection that a command waits on (after IapSetState, at the end of an upgrade) waits for the
// tablet without end; after this long without it, it says so once and keeps waiting.
inline constexpr std::uint32_t kTabletAwayNoticeMs = 30000;

struct HidLinkTimeouts {
    std::uint32_t ulReplyMs;         // HidReceiveFrame (kReplyTimeoutMs)
    std::uint32_t ulLinkIdleMs;      // WaitHidLinkIdle (kLinkIdleTimeoutMs)
    std::uint32_t ulRedetectWaitMs;  // second caller of ReconnectHidDevice (kRedetectWaitMs)
    std::uint32_t ulShutdownMs;      // HidLinkShutdown (kShutdownWaitMs)
};
HidLinkTimeouts HidLinkDefaultTimeouts();
void HidLinkSetTimeouts(const HidLinkTimeouts& tTimeouts);

// Sets the time after which a waiting re-detection says the tablet has not come back
// (kTabletAwayNoticeMs until set).
void HidLinkSetAwayNoticeMs(std::uint32_t ulMs);

// A wait for a restart the tablet promised (after IapSetState, after the last package) says once, after
// this long without the tablet leaving the bus, that it waits for the restart; and keeps waiting.
inline constexpr std::uint32_t kRestartNoticeMs = 10000;
void HidLinkSetRestartNoticeMs(std::uint32_t ulMs);

// Every pause of the link (discovery's 10 ms pauses, the re-detection delay, the idle polls) goes
// through this function; null restores PlatformSleepMs.
using HidLinkPauseFn = void (*)(std::uint32_t ulMs);
void HidLinkSetPause(HidLinkPauseFn pfnPause);

// Reader threads alive now, counting one that still runs the re-detection it started.
std::uint32_t HidLinkReaderThreads();
// Waits until at most ulCount reader threads are alive; 1, or 0 after ulTimeoutMs.
int HidLinkWaitReaderThreads(std::uint32_t ulCount, std::uint32_t ulTimeoutMs);

// Puts the link record, hReaderThread, bRedetecting and the shutdown mark back to their start values
// (closing link handles that are still open). Only when no reader thread is alive: returns 1, else 0
// and changes nothing.
int HidLinkReset();
