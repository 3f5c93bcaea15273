#include "diag/tll_timer.h"

#include <cstdio>

#include "platform/timer_wait.h"

namespace {

std::uint8_t g_ucTllTimeout = 0;
std::uintptr_t g_uTllTimerId = 0;  // timer of the running wait; 0 between waits

}  // namespace

void TllTimerWait(std::uint32_t ulElapse) {
    g_ucTllTimeout = 0;
    g_uTllTimerId = PlatformTimerSet(ulElapse, TllTimerProc);
    if (g_uTllTimerId == 0) {
        // Without a timer nothing would ever end the wait.
        return;
    }
    PlatformTimerPump(&g_ucTllTimeout);
    PlatformTimerKill(g_uTllTimerId);
    // A timer message still queued for the killed timer is no longer recognised.
    g_uTllTimerId = 0;
}

void TllTimerProc(PlatformHandle hWnd, std::uint32_t ulMsg, std::uintptr_t uIdEvent, std::uint32_t ulTime) {
    // Only the running wait's timer counts, and only its first expiry prints.
    if (uIdEvent == 0 || uIdEvent != g_uTllTimerId || g_ucTllTimeout != 0) {
        return;
    }
    std::printf("[Tavelo IAP]:  ->Tll超时事件\r\n");
    g_ucTllTimeout = 1;
}

std::uint8_t TllTimedOut() {
    return g_ucTllTimeout;
}
