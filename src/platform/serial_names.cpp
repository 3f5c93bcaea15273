// The COM name rule, the same on every system (the Windows program opens these names; tests on any
// system check them).
#include <cstdio>

#include "platform/serial_port.h"

int PlatformSerialComName(std::uint32_t ulPort, char* pcOut, std::uint32_t ulCap) {
    if (pcOut == nullptr || ulCap == 0) {
        return 0;
    }
    pcOut[0] = '\0';
    if (ulPort >= kSerialPortCount) {
        return 0;
    }
    // COM1..COM9 are reserved device names; from COM10 on only the device namespace reaches the port.
    const char* strPrefix = ulPort < 10 ? "COM" : "\\\\.\\COM";
    int n = std::snprintf(pcOut, ulCap, "%s%u", strPrefix, static_cast<unsigned>(ulPort));
    if (n < 0 || static_cast<std::uint32_t>(n) >= ulCap) {
        pcOut[0] = '\0';
        return 0;
    }
    return 1;
}
