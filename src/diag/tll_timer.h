// The Tll timer wait: a one-shot wait on a thread timer, which prints the Tll line when it expires.
#pragma once

#include <cstdint>

#include "platform/os.h"

// Waits ulElapse milliseconds (all 32 bits; below 10 ms the system's minimum of 10 ms) on a timer of the
// calling thread, running the thread's message loop meanwhile. The expiry prints
// "[Tavelo IAP]:  ->Tll超时事件\r\n" once and ends the wait at once. When no timer can be started the wait
// returns at once, nothing printed, and TllTimedOut() gives 0.
void TllTimerWait(std::uint32_t ulElapse);

// The timer procedure: for the timer of the running wait it prints the Tll line and sets the timeout
// flag; any other timer identifier is ignored.
void TllTimerProc(PlatformHandle hWnd, std::uint32_t ulMsg, std::uintptr_t uIdEvent, std::uint32_t ulTime);

// 1 once the timer of the current or last wait has expired, 0 otherwise.
std::uint8_t TllTimedOut();
