// A HID host that presents no interfaces: the default on systems without a HID backend yet.
#include "platform/hid_host.h"

namespace {
PlatformHandle NoList(void*) {
    return kInvalidHandle;
}
int NoEntry(void*, PlatformHandle, std::uint32_t) {
    return 0;
}
std::uint32_t NoPathSize(void*, PlatformHandle, std::uint32_t) {
    return 0;
}
int NoPath(void*, PlatformHandle, std::uint32_t, char*, std::uint32_t) {
    return 0;
}
void NoListClose(void*, PlatformHandle) {}
PlatformHandle NoOpen(void*, const char*) {
    PlatformSetLastError(PlatformBadHandleError());
    return kInvalidHandle;
}
int NoAttributes(void*, PlatformHandle, std::uint16_t*, std::uint16_t*) {
    return 0;
}
int NoCaps(void*, PlatformHandle, HidCaps*) {
    return 0;
}
PlatformHandle NoEvent(void*) {
    return kInvalidHandle;
}
int NoRead(void*, PlatformHandle, PlatformHandle, std::uint8_t*, std::uint32_t, std::uint32_t* pulGot) {
    *pulGot = 0;
    PlatformSetLastError(PlatformBadHandleError());
    return 0;
}
void NoCancel(void*, PlatformHandle) {}
int NoWrite(void*, PlatformHandle, const std::uint8_t*, std::uint32_t, std::uint32_t* pulWritten) {
    *pulWritten = 0;
    PlatformSetLastError(PlatformBadHandleError());
    return 0;
}
void NoClose(void*, PlatformHandle) {}

const HidHost kNoHidHost = {nullptr, NoList, NoEntry, NoPathSize, NoPath, NoListClose, NoOpen,  NoAttributes,
                            NoCaps,  NoOpen, NoOpen,  NoEvent,    NoRead, NoCancel,    NoWrite, NoClose};
}  // namespace

const HidHost* PlatformDefaultHidHost() {
    return &kNoHidHost;
}
