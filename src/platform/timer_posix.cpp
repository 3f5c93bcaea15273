// Thread timers without a window system: the timer is kept per thread and PlatformTimerPump sleeps until
// its next expiry and calls its procedure, as a thread's message loop would deliver the timer message.
#include <errno.h>
#include <time.h>

#include <atomic>

#include "platform/timer_wait.h"

namespace {

struct ThreadTimer {
    std::uintptr_t uId;  // 0: no timer
    PlatformTimerProc pfnProc;
    std::uint64_t ullPeriodNs;
    std::uint64_t ullDueNs;  // next expiry on the monotonic clock
};
thread_local ThreadTimer g_tTimer;

// Identifiers are unique in the process, so a procedure can tell its timer from any other.
std::atomic<std::uintptr_t> g_uNextTimerId{1};

std::uint64_t MonotonicNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

void SleepUntilNs(std::uint64_t ullDueNs) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ullDueNs / 1000000000u);
    ts.tv_nsec = static_cast<long>(ullDueNs % 1000000000u);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

}  // namespace

std::uintptr_t PlatformTimerSet(std::uint32_t ulElapseMs, PlatformTimerProc pfnProc) {
    if (pfnProc == nullptr) {
        errno = EINVAL;
        return 0;
    }
    if (g_tTimer.uId != 0) {
        errno = EBUSY;
        return 0;
    }
    std::uint32_t ulMs = ulElapseMs < kPlatformTimerMinimumMs ? kPlatformTimerMinimumMs : ulElapseMs;
    std::uintptr_t uId = g_uNextTimerId.fetch_add(1);
    if (uId == 0) {
        uId = g_uNextTimerId.fetch_add(1);
    }
    g_tTimer.uId = uId;
    g_tTimer.pfnProc = pfnProc;
    g_tTimer.ullPeriodNs = static_cast<std::uint64_t>(ulMs) * 1000000u;
    g_tTimer.ullDueNs = MonotonicNs() + g_tTimer.ullPeriodNs;
    return uId;
}

void PlatformTimerPump(const std::uint8_t* pucDone) {
    while (*pucDone == 0) {
        if (g_tTimer.uId == 0) {
            return;
        }
        SleepUntilNs(g_tTimer.ullDueNs);
        std::uint64_t ullNow = MonotonicNs();
        // Expiries missed while busy are delivered once, as a pending timer message is.
        g_tTimer.ullDueNs += g_tTimer.ullPeriodNs;
        if (g_tTimer.ullDueNs <= ullNow) {
            g_tTimer.ullDueNs = ullNow + g_tTimer.ullPeriodNs;
        }
        g_tTimer.pfnProc(kInvalidHandle, kPlatformTimerMessage, g_tTimer.uId,
                         static_cast<std::uint32_t>(ullNow / 1000000u));
    }
}

void PlatformTimerKill(std::uintptr_t uTimerId) {
    if (uTimerId != 0 && uTimerId == g_tTimer.uId) {
        g_tTimer = ThreadTimer{};
    }
}
