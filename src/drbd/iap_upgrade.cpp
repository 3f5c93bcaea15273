// The upgrade sequence: state, boot loader, start, version file info, packages with a progress line,
// and the closing re-detection.
#include <cstdio>

#include "drbd/iap_commands.h"
#include "drbd/upgrade_texts.h"
#include "firmware/mcu_cipher_file.h"
#include "hidlink/hidlink.h"
#include "platform/os.h"

namespace {
constexpr std::uint16_t kPackageLength = 1025;
constexpr std::uint32_t kPackageImageBytes = 1024;
constexpr std::uint16_t kRedetectDelayMs = 500;
constexpr std::uint32_t kStartPauseMs = 100;

// Returns to the start of the console line and blanks it.
void PrintEraseLine() {
    std::printf("\r[Tavelo IAP]:%60s", "");
}
}  // namespace

int IapUpgradeFirmware(ComResource* ptComResource, ConfgFile* ptConfgFile,
                       PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion) {
    int iResult = 1;
    std::printf("\r\n");

    // A file that cannot be flashed whole is refused before the tablet is put into its boot loader,
    // started or erased.
    if (CheckMcuCipherFile(ptConfgFile) == 0) {
        std::printf("[Tavelo IAP]: IAP应用流程 |-> 固件文件无效，升级未开始，数位板未被改动\r\n");
        return 0;
    }

    PrintEraseLine();
    std::printf("%s", kUpgradeTexts.strReady);

    // Only a state the tablet has just reported decides whether it must go to its boot loader.
    if (IapGetState(ptComResource, ptConfgFile, punPrtcDRBDCmdUnion) == 1 &&
        punPrtcDRBDCmdUnion->ucState == 1) {
        punPrtcDRBDCmdUnion->ucState = 0;
        IapSetState(ptComResource, ptConfgFile, punPrtcDRBDCmdUnion);
    }

    IapStart(ptComResource, ptConfgFile, punPrtcDRBDCmdUnion);
    PlatformSleepMs(kStartPauseMs);
    ReadVersionFileInfo(ptConfgFile, punPrtcDRBDCmdUnion);
    IapSendVersionFileInfo(ptComResource, ptConfgFile, punPrtcDRBDCmdUnion);

    // The count is taken before the package member overwrites the version file info it overlays.
    std::uint32_t ulImageLength = punPrtcDRBDCmdUnion->tVersionFileInfo.ulVersionFileLength;
    std::uint32_t ulCount = ulImageLength / kPackageImageBytes;
    if (ulImageLength % kPackageImageBytes != 0) {
        ulCount += 1;
    }
    punPrtcDRBDCmdUnion->tPackage.usPackageLength = kPackageLength;

    // One open of the McuCipherFile serves every package of the transfer (not shared, so it cannot be
    // changed under the upgrade on systems that honour that); a failed open is reported per package.
    PlatformFileClose(&ptConfgFile->hMcuCipherFile);
    if (ulCount > 0) {
        ptConfgFile->hMcuCipherFile = PlatformFileOpenRead(ptConfgFile->strMcuCipherFilePath);
    }
    for (std::uint32_t i = 0; i < ulCount; ++i) {
        punPrtcDRBDCmdUnion->tPackage.usPackageIndex = static_cast<std::uint16_t>(i);
        punPrtcDRBDCmdUnion->tPackage.ucLastPackage = (i == ulCount - 1) ? 1 : 0;
        if (IapSendPackage(ptComResource, ptConfgFile, punPrtcDRBDCmdUnion) == 0) {
            iResult = 0;
            std::printf("[Tavelo IAP]: IAP应用流程 |-> 传输本文件错误\r\n");
            break;
        }
        // A single package is the whole image: 100 %, not 0 / 0.
        double dPercent =
            ulCount > 1 ? static_cast<double>(i) / static_cast<double>(ulCount - 1) * 100.0 : 100.0;
        PrintEraseLine();
        std::printf(kUpgradeTexts.strProgress, dPercent,
                    punPrtcDRBDCmdUnion->tPackage.ucLastPackage == 1 ? kUpgradeTexts.strFinish
                                                                     : kUpgradeTexts.strProcessing);
    }

    PlatformFileClose(&ptConfgFile->hMcuCipherFile);

    std::printf("\r\n");
    ReconnectHidDevice(kRedetectDelayMs);
    return iResult;
}
