#include "device/device_table.h"

#include <atomic>

const DeviceEntry DeviceTable[kDeviceTableRows] = {
    {0x0483, 0x7B01, "'Tavelo K1 Plus V2'", "Tavelo-KT1.bin", "Tavelo-KT1-Checksum.bin",
     "Tavelo-KT1-Cipher.bin", "Tavelo-KT1-Clear.bin"},
    {0x0483, 0x7B02, "'Tavelo K2 V2'", "Tavelo-KT2.bin", "Tavelo-KT2-Checksum.bin", "Tavelo-KT2-Cipher.bin",
     "Tavelo-KT2-Clear.bin"},
    {0x0483, 0x7B21, "'Tavelo Wren M'", "Tavelo-QX21.bin", "Tavelo-QX21-Checksum.bin",
     "Tavelo-QX21-Cipher.bin", "Tavelo-QX21-Clear.bin"},
    {0x0483, 0x7B22, "'Tavelo Wren S'", "Tavelo-QX22.bin", "Tavelo-QX22-Checksum.bin",
     "Tavelo-QX22-Cipher.bin", "Tavelo-QX22-Clear.bin"},
    {0x0483, 0x7B23, "'Tavelo Fjord 12 Pro'", "Tavelo-QX23.bin", "Tavelo-QX23-Checksum.bin",
     "Tavelo-QX23-Cipher.bin", "Tavelo-QX23-Clear.bin"},
    {0x0483, 0x7B31, "'Tavelo Sable M'", "Tavelo-QX31.bin", "Tavelo-QX31-Checksum.bin",
     "Tavelo-QX31-Cipher.bin", "Tavelo-QX31-Clear.bin"},
    {0x0483, 0x7B32, "'Tavelo Sable S'", "Tavelo-QX32.bin", "Tavelo-QX32-Checksum.bin",
     "Tavelo-QX32-Cipher.bin", "Tavelo-QX32-Clear.bin"},
};

namespace {
// Written by discovery on either thread; read by the main thread. One word, written whole.
std::atomic<int> DeviceModelIndex{kNoDeviceModel};
}  // namespace

int MatchDeviceId(std::uint32_t ulVid, std::uint32_t ulPid) {
    for (int i = 0; i < kDeviceTableRows; ++i) {
        if (DeviceTable[i].ulVid == ulVid && DeviceTable[i].ulPid == ulPid) {
            DeviceModelIndex.store(i, std::memory_order_release);
            return 1;
        }
    }
    return 0;
}

int GetDeviceModelIndex() {
    return DeviceModelIndex.load(std::memory_order_acquire);
}

void GetDeviceEntry(const DeviceEntry** pptDev, int iModelIndex) {
    *pptDev = (iModelIndex >= 0 && iModelIndex < kDeviceTableRows) ? &DeviceTable[iModelIndex] : nullptr;
}
