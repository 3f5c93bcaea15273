// The HID host in use: the platform's default until a test or the demo installs another.
#include "platform/hid_host.h"

#include <atomic>

namespace {
std::atomic<const HidHost*> g_ptHidHost{nullptr};
}

const HidHost* GetHidHost() {
    const HidHost* ptHost = g_ptHidHost.load(std::memory_order_acquire);
    return ptHost != nullptr ? ptHost : PlatformDefaultHidHost();
}

void SetHidHost(const HidHost* ptHost) {
    g_ptHidHost.store(ptHost, std::memory_order_release);
}
