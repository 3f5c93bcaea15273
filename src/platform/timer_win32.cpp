// Thread timers on Windows: SetTimer without a window, delivered by this thread's message loop.
#include <windows.h>

#include "platform/timer_wait.h"

namespace {

// The thread's timer. A period beyond the longest the system accepts (USER_TIMER_MAXIMUM) runs as a
// chain of shorter system timers, and the procedure is called once the whole period has passed.
struct ThreadTimer {
    UINT_PTR uId;     // identifier handed out, 0: no timer
    UINT_PTR uSysId;  // identifier of the running system timer
    PlatformTimerProc pfnProc;
    std::uint32_t ulPeriodMs;
    std::uint32_t ulLeftMs;   // of the current period, before the running system timer started
    std::uint32_t ulArmedMs;  // period of the running system timer
};
thread_local ThreadTimer g_tTimer;

std::uint32_t SegmentMs(std::uint32_t ulLeftMs) {
    return ulLeftMs > USER_TIMER_MAXIMUM ? static_cast<std::uint32_t>(USER_TIMER_MAXIMUM) : ulLeftMs;
}

VOID CALLBACK TimerThunk(HWND hWnd, UINT uMsg, UINT_PTR uIdEvent, DWORD dwTime);

// Replaces the running system timer by one of another period (the identifier may change).
void Rearm(std::uint32_t ulMs) {
    UINT_PTR uNew = SetTimer(nullptr, g_tTimer.uSysId, ulMs, TimerThunk);
    if (uNew != 0) {
        g_tTimer.uSysId = uNew;
        g_tTimer.ulArmedMs = ulMs;
    }
}

VOID CALLBACK TimerThunk(HWND hWnd, UINT uMsg, UINT_PTR uIdEvent, DWORD dwTime) {
    if (uIdEvent != g_tTimer.uSysId || g_tTimer.pfnProc == nullptr) {
        return;
    }
    g_tTimer.ulLeftMs = g_tTimer.ulLeftMs > g_tTimer.ulArmedMs ? g_tTimer.ulLeftMs - g_tTimer.ulArmedMs : 0;
    if (g_tTimer.ulLeftMs != 0) {
        // Part of a long period has passed: run the next part.
        Rearm(SegmentMs(g_tTimer.ulLeftMs));
        return;
    }
    g_tTimer.ulLeftMs = g_tTimer.ulPeriodMs;
    if (g_tTimer.ulArmedMs != SegmentMs(g_tTimer.ulPeriodMs)) {
        Rearm(SegmentMs(g_tTimer.ulPeriodMs));
    }
    PlatformHandle hWindow = hWnd == nullptr ? kInvalidHandle : reinterpret_cast<PlatformHandle>(hWnd);
    g_tTimer.pfnProc(hWindow, uMsg, g_tTimer.uId, dwTime);
}

}  // namespace

std::uintptr_t PlatformTimerSet(std::uint32_t ulElapseMs, PlatformTimerProc pfnProc) {
    if (pfnProc == nullptr || g_tTimer.uId != 0) {
        SetLastError(pfnProc == nullptr ? ERROR_INVALID_PARAMETER : ERROR_BUSY);
        return 0;
    }
    std::uint32_t ulMs = ulElapseMs < kPlatformTimerMinimumMs ? kPlatformTimerMinimumMs : ulElapseMs;
    UINT_PTR uId = SetTimer(nullptr, 0, SegmentMs(ulMs), TimerThunk);
    if (uId == 0) {
        return 0;
    }
    g_tTimer.uId = uId;
    g_tTimer.uSysId = uId;
    g_tTimer.pfnProc = pfnProc;
    g_tTimer.ulPeriodMs = ulMs;
    g_tTimer.ulLeftMs = ulMs;
    g_tTimer.ulArmedMs = SegmentMs(ulMs);
    return uId;
}

void PlatformTimerPump(const std::uint8_t* pucDone) {
    MSG msgTimer;
    // The flag is tested after every dispatch, so the wait ends with the expiry that set it rather than
    // with the message after it.
    while (*pucDone == 0 && g_tTimer.uId != 0) {
        BOOL bGot = GetMessageA(&msgTimer, nullptr, 0, 0);
        if (bGot == 0) {
            PostQuitMessage(static_cast<int>(msgTimer.wParam));
            return;
        }
        if (bGot == -1) {
            return;
        }
        if (msgTimer.message == WM_TIMER) {
            DispatchMessageA(&msgTimer);
        }
    }
}

void PlatformTimerKill(std::uintptr_t uTimerId) {
    if (uTimerId != 0 && uTimerId == g_tTimer.uId) {
        KillTimer(nullptr, g_tTimer.uSysId);
        g_tTimer = ThreadTimer{};
    }
}
