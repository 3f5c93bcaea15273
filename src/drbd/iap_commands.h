// The IAP command set: seven request/reply commands over the HID link, and the package parameters
// built from the McuCipherFile.
#pragma once

#include <cstdint>

#include "device/confg_file.h"
#include "drbd/com_resource.h"

inline constexpr std::uint16_t kIapCmdGetState = 0x0101;
inline constexpr std::uint16_t kIapCmdSetState = 0x0102;
inline constexpr std::uint16_t kIapCmdStart = 0x0103;
inline constexpr std::uint16_t kIapCmdSendPackage = 0x0104;
inline constexpr std::uint16_t kIapCmdSendVersionFileInfo = 0x0105;
inline constexpr std::uint16_t kIapCmdSetUpgradeTarget = 0x0106;
inline constexpr std::uint16_t kIapCmdGetRunningRegion = 0x0107;

// Each command: 1 on a reply with a matching CRC and status 0, else 0 after printing the status.
int IapGetState(ComResource* ptComResource, ConfgFile* ptConfgFile, PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion);
int IapSetState(ComResource* ptComResource, ConfgFile* ptConfgFile, PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion);
int IapStart(ComResource* ptComResource, ConfgFile* ptConfgFile, PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion);
int IapSendPackage(ComResource* ptComResource, ConfgFile* ptConfgFile, PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion);
int IapSendVersionFileInfo(ComResource* ptComResource, ConfgFile* ptConfgFile,
                           PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion);
int IapSetUpgradeTarget(ComResource* ptComResource, ConfgFile* ptConfgFile,
                        PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion);
int IapGetRunningRegion(ComResource* ptComResource, ConfgFile* ptConfgFile,
                        PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion);

// The response status of the last command run (E_PrtcDRBD_RspRet_Err_RecvTimeOut when no reply came).
std::uint32_t IapLastResponseStatus();

// Writes the package command's parameters at pucPara (7 header bytes, then usPackageLength bytes of
// the McuCipherFile's package area, 0xFF where the file holds no more) and their count. The bytes come
// from the held file when ptConfgFile holds one (HoldMcuCipherFile), else from the file itself.
void BuildPackagePara(ConfgFile* ptConfgFile, std::uint8_t* pucPara, std::uint16_t* pusTxParaLen,
                      PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion);
// Fills the union's version file info from the McuCipherFile header (0 and 0 when it cannot be read)
// and the process-wide LastPackageLen copy (kept when it cannot be read).
void ReadVersionFileInfo(ConfgFile* ptConfgFile, PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion);

// The process-wide LastPackageLen copy every package command carries.
std::uint32_t GetLastPackageLen();
void SetLastPackageLen(std::uint32_t ulValue);

// The upgrade sequence: 1 when every package was accepted, 0 otherwise (also when the firmware file
// was refused before the tablet was touched, and when Ctrl-C stopped the transfer between two packages:
// PlatformTransferInterrupted then says so).
int IapUpgradeFirmware(ComResource* ptComResource, ConfgFile* ptConfgFile,
                       PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion);
