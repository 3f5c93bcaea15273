// Serial-port settings records, as the system keeps them for an open port: the device-control block
// fields the program sets and reads back, and the time-outs. Kept in the ComResource record.
#pragma once

#include <cstdint>

struct SerialDcb {
    std::uint32_t DCBlength;
    std::uint32_t BaudRate;
    std::uint8_t ByteSize;
    std::uint8_t Parity;    // 0 none
    std::uint8_t StopBits;  // 0 one stop bit
};

struct SerialTimeouts {
    std::uint32_t ReadIntervalTimeout;
    std::uint32_t ReadTotalTimeoutMultiplier;
    std::uint32_t ReadTotalTimeoutConstant;
    std::uint32_t WriteTotalTimeoutMultiplier;
    std::uint32_t WriteTotalTimeoutConstant;
};
