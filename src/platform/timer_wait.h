// Thread timers: a repeating timer of the calling thread whose expiries are delivered by that thread's
// own message loop, so the timer procedure runs on the waiting thread. On Windows these are SetTimer
// timers without a window and a GetMessageA/DispatchMessageA loop; elsewhere an equivalent with the same
// behaviour (one timer per thread, expiries delivered only from inside PlatformTimerPump).
#pragma once

#include <cstdint>

#include "platform/os.h"

// The timer procedure's four arguments: window (kInvalidHandle when none), message
// (kPlatformTimerMessage), timer identifier, system time in milliseconds.
using PlatformTimerProc = void (*)(PlatformHandle hWnd, std::uint32_t ulMsg, std::uintptr_t uIdEvent,
                                   std::uint32_t ulTime);

inline constexpr std::uint32_t kPlatformTimerMessage = 0x0113;  // WM_TIMER
// Shorter periods are raised to this, as the system does on Windows.
inline constexpr std::uint32_t kPlatformTimerMinimumMs = 10;

// Starts a timer of the calling thread that expires every ulElapseMs milliseconds (all 32 bits count)
// until it is killed. Returns its identifier (never 0), or 0 when no timer could be started.
std::uintptr_t PlatformTimerSet(std::uint32_t ulElapseMs, PlatformTimerProc pfnProc);

// Runs the calling thread's message loop: the expiry of a timer of this thread calls its procedure,
// every other message is dropped. Returns as soon as *pucDone is nonzero after a delivery (at once when
// it already is), or when the loop cannot go on (a quit message, which is left for the thread's own
// loop; a failing queue; no timer to wait for).
void PlatformTimerPump(const std::uint8_t* pucDone);

// Stops a timer started by this thread. An identifier of 0 is ignored.
void PlatformTimerKill(std::uintptr_t uTimerId);
