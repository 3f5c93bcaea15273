// The HID link's pauses (discovery, re-detection delay, idle polls) at a fraction of their length, so
// that tests of the whole program run quickly; the program's other pauses are left as they are. A run
// recorded with a divisor is replayed with the same one.
#pragma once

#include <atomic>
#include <cstdint>

#include "hidlink/hidlink_control.h"
#include "platform/os.h"

inline std::atomic<std::uint32_t> g_ulLinkPauseDivisor{1};

inline void DividedLinkPause(std::uint32_t ulMs) {
    const std::uint32_t ulDivisor = g_ulLinkPauseDivisor.load();
    PlatformSleepMs(ulMs >= ulDivisor ? ulMs / ulDivisor : 1);
}

// Each pause of the link becomes 1/ulDivisor of its length (at least 1 ms); 1 restores the real pauses.
inline void DivideLinkPauses(std::uint32_t ulDivisor) {
    g_ulLinkPauseDivisor = ulDivisor;
    HidLinkSetPause(ulDivisor > 1 ? DividedLinkPause : nullptr);
}
