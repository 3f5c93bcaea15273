// The supported tablets and the current model.
#pragma once

#include <cstdint>

struct DeviceEntry {
    std::uint32_t ulVid;
    std::uint32_t ulPid;
    char strModelName[40];
    char strMcuVerFileName[40];
    char strChecksumFileName[40];
    char strMcuCipherFileName[40];
    char strMcuClearVerFileName[40];
};

inline constexpr int kDeviceTableRows = 7;
// DeviceModelIndex value meaning "no supported tablet matched".
inline constexpr int kNoDeviceModel = kDeviceTableRows;

extern const DeviceEntry DeviceTable[kDeviceTableRows];

// Sets DeviceModelIndex to the first row with this VID and PID and returns 1; returns 0 and leaves the
// index unchanged when no row matches. Safe to call from the reader thread and the main thread.
int MatchDeviceId(std::uint32_t ulVid, std::uint32_t ulPid);
// The current model index: 0..6, or 7 before any match.
int GetDeviceModelIndex();
// Stores the address of row iModelIndex into *pptDev. Callers pass 0..6; any other index stores null.
void GetDeviceEntry(const DeviceEntry** pptDev, int iModelIndex);
