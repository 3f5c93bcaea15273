// The upgrade sequence: state, boot loader, start, version file info, packages with a progress line,
// and the closing re-detection.
#include <cstdio>

#include "device/device_table.h"
#include "drbd/drbd_frame.h"
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
    PlatformPrintf("\r[Tavelo IAP]:%60s", "");
}

// Ends an upgrade that stopped before or during the transfer with the failure line.
void PrintFailureLine() {
    PlatformPrintf("[Tavelo IAP]: IAP应用流程 |-> 传输本文件错误\r\n");
}

// Sends the packages of the held file. 1 when every package was accepted; 0 after a failed package (with
// the failure line) or when Ctrl-C asked to stop before a package (*pbInterrupted set, nothing printed).
int SendPackages(ComResource* ptComResource, ConfgFile* ptConfgFile, PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion,
                 std::uint32_t ulCount, bool* pbInterrupted) {
    for (std::uint32_t i = 0; i < ulCount; ++i) {
        if (PlatformTransferInterrupted()) {
            *pbInterrupted = true;
            return 0;
        }
        punPrtcDRBDCmdUnion->tPackage.usPackageIndex = static_cast<std::uint16_t>(i);
        punPrtcDRBDCmdUnion->tPackage.ucLastPackage = (i == ulCount - 1) ? 1 : 0;
        if (IapSendPackage(ptComResource, ptConfgFile, punPrtcDRBDCmdUnion) == 0) {
            PrintFailureLine();
            return 0;
        }
        // The last package's answer is the tablet's verdict on the whole image; it stands only when
        // the tablet restarts after it with nothing more to say.
        if (i == ulCount - 1 && HidLinkConfirmVerdict() == 0) {
            PrintFailureLine();
            return 0;
        }
        // A single package is the whole image: 100 %, not 0 / 0.
        double dPercent =
            ulCount > 1 ? static_cast<double>(i) / static_cast<double>(ulCount - 1) * 100.0 : 100.0;
        // The blanked line and the progress in one write: a console shows no half-drawn line.
        char acProgress[256];
        std::snprintf(acProgress, sizeof(acProgress), kUpgradeTexts.strProgress, dPercent,
                      punPrtcDRBDCmdUnion->tPackage.ucLastPackage == 1 ? kUpgradeTexts.strFinish
                                                                       : kUpgradeTexts.strProcessing);
        PlatformPrintf("\r[Tavelo IAP]:%60s%s", "", acProgress);
    }
    return 1;
}

// From IapStart to the last package: 1 when every package was accepted. The tablet is started (and
// erased) only while it is the model whose file is held, and it gets packages only once it has the
// image's length and CRC, against which it checks what it received.
int Transfer(ComResource* ptComResource, ConfgFile* ptConfgFile, PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion,
             bool* pbInterrupted) {
    if (GetDeviceModelIndex() != ptConfgFile->iPathModel) {
        PrintFailureLine();
        return 0;
    }
    // A start whose reply never came leaves the tablet's state unknown, and its late reply could be
    // taken for the next command's; a refused start is left to the tablet's answer to what follows.
    if (IapStart(ptComResource, ptConfgFile, punPrtcDRBDCmdUnion) == 0 &&
        IapLastResponseStatus() == E_PrtcDRBD_RspRet_Err_RecvTimeOut) {
        PrintFailureLine();
        return 0;
    }
    PlatformSleepMs(kStartPauseMs);
    ReadVersionFileInfo(ptConfgFile, punPrtcDRBDCmdUnion);
    if (IapSendVersionFileInfo(ptComResource, ptConfgFile, punPrtcDRBDCmdUnion) == 0) {
        PrintFailureLine();
        return 0;
    }

    // The count is taken before the package member overwrites the version file info it overlays.
    std::uint32_t ulImageLength = punPrtcDRBDCmdUnion->tVersionFileInfo.ulVersionFileLength;
    std::uint32_t ulCount = ulImageLength / kPackageImageBytes;
    if (ulImageLength % kPackageImageBytes != 0) {
        ulCount += 1;
    }
    punPrtcDRBDCmdUnion->tPackage.usPackageLength = kPackageLength;
    return SendPackages(ptComResource, ptConfgFile, punPrtcDRBDCmdUnion, ulCount, pbInterrupted);
}
}  // namespace

int IapUpgradeFirmware(ComResource* ptComResource, ConfgFile* ptConfgFile,
                       PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion) {
    PlatformPrintf("\r\n");

    // A file that cannot be flashed whole is refused before the tablet is put into its boot loader,
    // started or erased. A sound one is read here once: what the tablet gets is what was checked, whatever
    // happens to the file afterwards.
    if (HoldMcuCipherFile(ptConfgFile) == 0) {
        PlatformPrintf("[Tavelo IAP]: IAP应用流程 |-> 固件文件无效，升级未开始，数位板未被改动\r\n");
        PrintMcuCipherFileAdvice(ptConfgFile);
        return 0;
    }

    PrintEraseLine();
    PlatformPrintf("%s", kUpgradeTexts.strReady);

    // Only a state the tablet has just reported decides whether it must go to its boot loader.
    if (IapGetState(ptComResource, ptConfgFile, punPrtcDRBDCmdUnion) == 1 &&
        punPrtcDRBDCmdUnion->ucState == 1) {
        punPrtcDRBDCmdUnion->ucState = 0;
        IapSetState(ptComResource, ptConfgFile, punPrtcDRBDCmdUnion);
    }

    // From the erase on, a closed terminal does not cut the transfer short, and Ctrl-C stops it only
    // between two packages.
    bool bInterrupted = false;
    PlatformTransferGuardBegin();
    const int iResult = Transfer(ptComResource, ptConfgFile, punPrtcDRBDCmdUnion, &bInterrupted);
    PlatformTransferGuardEnd();
    ReleaseMcuCipherFile(ptConfgFile);

    PlatformPrintf("\r\n");
    if (bInterrupted) {
        // The tablet stays erased in its boot loader, on the bus: nothing to wait for.
        PlatformPrintf("%s", kUpgradeTexts.strInterrupted);
        return 0;
    }
    // An upgrade that went through ended with the tablet leaving to start its image (the held file is
    // never empty): it comes back in its own time. After a failure the wait is bounded.
    ReconnectHidDevice(kRedetectDelayMs, iResult == 1);
    return iResult;
}
