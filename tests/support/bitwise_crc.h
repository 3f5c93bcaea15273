// CRC-16/X-25 computed bit by bit: an oracle independent of the table the product uses, and the
// baseline the benchmarks compare the table against.
#pragma once

#include <cstddef>
#include <cstdint>

inline std::uint16_t BitwiseCrc16X25(const std::uint8_t* puc, std::size_t szLen) {
    std::uint16_t usCrc = 0xFFFF;
    for (std::size_t i = 0; i < szLen; ++i) {
        usCrc ^= puc[i];
        for (int b = 0; b < 8; ++b) {
            usCrc = (usCrc & 1) ? static_cast<std::uint16_t>((usCrc >> 1) ^ 0x8408)
                                : static_cast<std::uint16_t>(usCrc >> 1);
        }
    }
    return static_cast<std::uint16_t>(~usCrc);
}
