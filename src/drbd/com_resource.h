// The records the IAP commands share with the rest of the program: the command link record with the
// request and reply frame buffers, and the command parameter union the upgrade passes values through.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/os.h"
#include "platform/serial_types.h"

inline constexpr std::uint16_t kTxFrameBytes = 2400;
inline constexpr std::uint16_t kRxFrameBytes = 2404;
// Reply capacity the commands hand to the link: one report buffer.
inline constexpr std::uint16_t kRxCapacity = 1200;

struct ComResource {
    PlatformHandle hComPort;
    SerialDcb tComDcb;
    SerialTimeouts tComTimeouts;
    std::uint8_t aucTxFrame[kTxFrameBytes];
    std::uint16_t usTxFrameLen;
    std::uint16_t usTxParaLen;
    std::uint16_t usTxAux;
    std::uint8_t aucRxFrame[kRxFrameBytes];
    std::uint16_t usRxFrameLen;
};

// The members overlay one another from the first byte on; the upgrade relies on the order in which it
// uses them (it reads ulVersionFileLength before it writes the package member).
#pragma pack(push, 1)
struct PrtcDRBDPackagePara {
    std::uint8_t ucLastPackage;
    std::uint16_t usUnused;  // not read by the package command
    std::uint16_t usPackageIndex;
    std::uint16_t usPackageLength;
};

struct PrtcDRBDVersionFileInfo {
    std::uint32_t ulVersionFileLength;
    std::uint32_t ulVersionFileCrc;
};

union PrtcDRBDCmdUnion {
    std::uint8_t ucState;
    PrtcDRBDPackagePara tPackage;
    PrtcDRBDVersionFileInfo tVersionFileInfo;
    std::uint8_t ucTarget;
    std::uint16_t usBootPackageLength;
    std::uint8_t aucRaw[512];
};
#pragma pack(pop)

static_assert(sizeof(PrtcDRBDCmdUnion) == 512, "the command scratch area is 512 bytes");
static_assert(offsetof(PrtcDRBDPackagePara, usPackageIndex) == 3, "package index spans bytes 3..4");
static_assert(offsetof(PrtcDRBDPackagePara, usPackageLength) == 5, "package length spans bytes 5..6");
