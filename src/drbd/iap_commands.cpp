#include "drbd/iap_commands.h"

#include <cstdio>
#include <cstring>

#include "drbd/drbd_frame.h"
#include "firmware/mcu_cipher_file.h"
#include "hidlink/hidlink.h"
#include "platform/os.h"

namespace {

// The LastPackageLen copy of the last header read; every package command carries it.
std::uint32_t LastPackageLen = 0;
// The response status of the last command (10 when its reply never came).
std::uint32_t g_ulLastStatus = 0;

void PutBe16(std::uint8_t* puc, std::uint16_t us) {
    puc[0] = static_cast<std::uint8_t>(us >> 8);
    puc[1] = static_cast<std::uint8_t>(us & 0xFF);
}

// The steps every command shares once its N parameter bytes are at offset 13 of aucTxFrame: build the
// frame, exchange it, check the reply. A reply that never came counts as status 10.
int RunCommand(ComResource* ptComResource, std::uint16_t usCmdWord, std::uint16_t usParaLen) {
    std::uint32_t eErrCode = 0;
    const DrbdCmdCode tCmdCdoe = {0x0000, 0x0301, usCmdWord};
    ptComResource->usTxFrameLen = DrbdBuildFrame(ptComResource->aucTxFrame, &tCmdCdoe, nullptr, usParaLen);
    ptComResource->usRxFrameLen = 0;
    std::int32_t lLink = LinkExchange(ptComResource->hComPort, ptComResource->usTxFrameLen,
                                      ptComResource->aucTxFrame, &ptComResource->usTxAux, kRxCapacity,
                                      ptComResource->aucRxFrame, &ptComResource->usRxFrameLen);
    if (lLink == kLinkRecvTimeOut) {
        eErrCode = E_PrtcDRBD_RspRet_Err_RecvTimeOut;
    } else {
        DrbdCheckReply(ptComResource->aucRxFrame, ptComResource->usRxFrameLen, &tCmdCdoe, &eErrCode);
    }
    g_ulLastStatus = eErrCode;
    if (eErrCode != E_PrtcDRBD_RspRet_Success) {
        PrintResponseStatus(eErrCode);
        return 0;
    }
    return 1;
}

// Reply parameter bytes present behind RspRet in the last reply.
std::uint16_t ReplyParaBytes(const ComResource* ptComResource) {
    std::uint16_t usLen = ptComResource->usRxFrameLen;
    return usLen >= kDrbdOffRspPara + 2 ? static_cast<std::uint16_t>(usLen - kDrbdOffRspPara - 2) : 0;
}

}  // namespace

std::uint32_t IapLastResponseStatus() {
    return g_ulLastStatus;
}

std::uint32_t GetLastPackageLen() {
    return LastPackageLen;
}
void SetLastPackageLen(std::uint32_t ulValue) {
    LastPackageLen = ulValue;
}

int IapGetState(ComResource* ptComResource, ConfgFile*, PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion) {
    int iResult = RunCommand(ptComResource, kIapCmdGetState, 0);
    if (iResult == 1) {
        // A success without a parameter byte leaves the state unknown (never a byte of its CRC): it gives
        // 1, so the tablet is sent to its boot loader, which a boot loader refuses or restarts into.
        punPrtcDRBDCmdUnion->ucState =
            ReplyParaBytes(ptComResource) >= 1 ? ptComResource->aucRxFrame[kDrbdOffRspPara] : 1;
    }
    return iResult;
}

int IapSetState(ComResource* ptComResource, ConfgFile*, PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion) {
    ptComResource->aucTxFrame[kDrbdOffPara] = punPrtcDRBDCmdUnion->ucState;
    int iResult = RunCommand(ptComResource, kIapCmdSetState, 1);
    if (iResult == 1) {
        // The tablet leaves the bus and comes back in its other mode, in its own time.
        HidLinkAwaitRestart();
    }
    return iResult;
}

int IapStart(ComResource* ptComResource, ConfgFile*, PrtcDRBDCmdUnion*) {
    return RunCommand(ptComResource, kIapCmdStart, 0);
}

int IapSendPackage(ComResource* ptComResource, ConfgFile* ptConfgFile,
                   PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion) {
    BuildPackagePara(ptConfgFile, ptComResource->aucTxFrame + kDrbdOffPara, &ptComResource->usTxParaLen,
                     punPrtcDRBDCmdUnion);
    return RunCommand(ptComResource, kIapCmdSendPackage, ptComResource->usTxParaLen);
}

int IapSendVersionFileInfo(ComResource* ptComResource, ConfgFile*, PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion) {
    std::uint8_t* pucPara = ptComResource->aucTxFrame + kDrbdOffPara;
    std::uint32_t ulLength = punPrtcDRBDCmdUnion->tVersionFileInfo.ulVersionFileLength;
    std::uint32_t ulCrc = punPrtcDRBDCmdUnion->tVersionFileInfo.ulVersionFileCrc;
    std::memcpy(pucPara, &ulLength, 4);
    ToBigEndianInPlace(pucPara, 4);
    std::memcpy(pucPara + 4, &ulCrc, 4);
    ToBigEndianInPlace(pucPara + 4, 4);
    return RunCommand(ptComResource, kIapCmdSendVersionFileInfo, 8);
}

int IapSetUpgradeTarget(ComResource* ptComResource, ConfgFile*, PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion) {
    static const char* const kTargetNames[] = {"KT1", "xxxx Mcu", "RfCtrlPeriph", "MassStroage"};
    std::uint8_t ucTarget = punPrtcDRBDCmdUnion->ucTarget;
    if (ucTarget >= 1 && ucTarget <= 4) {
        PlatformPrintf("[Tavelo IAP]: 设置待升级下位机固件对象命令_0x0000_0301_0106 -> %s\r\n",
                       kTargetNames[ucTarget - 1]);
    }
    ptComResource->aucTxFrame[kDrbdOffPara] = ucTarget;
    int iResult = RunCommand(ptComResource, kIapCmdSetUpgradeTarget, 1);
    if (iResult == 1) {
        PlatformPrintf("[Tavelo IAP]:  -> 应答参数：NULL\r\n");
    }
    return iResult;
}

int IapGetRunningRegion(ComResource* ptComResource, ConfgFile*, PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion) {
    PlatformPrintf("[Tavelo IAP]: 获取运行区间命令_0x0000_0301_0107：\r\n");
    int iResult = RunCommand(ptComResource, kIapCmdGetRunningRegion, 0);
    if (iResult == 1) {
        const std::uint8_t* puc = ptComResource->aucRxFrame + kDrbdOffRspPara;
        // Without the two parameter bytes the reply carries no length: 0 is stored.
        std::uint16_t usLen =
            ReplyParaBytes(ptComResource) >= 2
                ? static_cast<std::uint16_t>((static_cast<std::uint16_t>(puc[0]) << 8) | puc[1])
                : 0;
        punPrtcDRBDCmdUnion->usBootPackageLength = usLen;
        PlatformPrintf("[Tavelo IAP]:  -> 应答参数： Boot支持PackageLength：%dBytes\r\n",
                       static_cast<int>(usLen));
    }
    return iResult;
}

void BuildPackagePara(ConfgFile* ptConfgFile, std::uint8_t* pucPara, std::uint16_t* pusTxParaLen,
                      PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion) {
    *pusTxParaLen = 0;
    const PrtcDRBDPackagePara tPackage = punPrtcDRBDCmdUnion->tPackage;
    pucPara[0] = tPackage.ucLastPackage;
    PutBe16(pucPara + 1, static_cast<std::uint16_t>(LastPackageLen));
    PutBe16(pucPara + 3, tPackage.usPackageIndex);
    PutBe16(pucPara + 5, tPackage.usPackageLength);
    *pusTxParaLen = 7;

    // The package must fit the request frame and one report behind the frame's other 22 bytes.
    std::uint16_t usLength = tPackage.usPackageLength;
    if (usLength > kHidReportBufferBytes - 1 - 15 - 7) {
        PlatformPrintf("[Tavelo IAP]:  -> Error->PackageLength %u 超出帧长度\r\n",
                       static_cast<unsigned>(usLength));
        return;
    }

    // The upgrade sends the file it checked and holds; a lone package command opens the file itself.
    const bool bHeld = ptConfgFile->pucMcuCipherFile != nullptr;
    if (!bHeld) {
        ptConfgFile->hMcuCipherFile = PlatformFileOpenRead(ptConfgFile->strMcuCipherFilePath);
        if (ptConfgFile->hMcuCipherFile == kInvalidHandle) {
            PlatformPrintf("[Tavelo IAP]:  -> Error->Mcu版本文件打开错误（%d）\r\n",
                           static_cast<int>(PlatformLastError()));
            return;
        }
    }
    // Only the record being sent is taken: the bytes at package-area offset index x length, as far as
    // they lie within the first 524,288 bytes of the file; the rest of the package is 0xFF filler.
    std::uint8_t* pucData = pucPara + 7;
    std::memset(pucData, 0xFF, usLength);
    const std::uint64_t ullAreaLimit = kMcuCipherReadLimit - kMcuCipherHeaderBytes;
    std::uint64_t ullOffset = static_cast<std::uint64_t>(tPackage.usPackageIndex) * usLength;
    if (ullOffset < ullAreaLimit) {
        std::uint64_t ullWant = ullAreaLimit - ullOffset;
        std::uint32_t ulWant = ullWant < usLength ? static_cast<std::uint32_t>(ullWant) : usLength;
        const std::uint64_t ullAt = kMcuCipherHeaderBytes + ullOffset;
        if (bHeld) {
            const std::uint32_t ulHeld = ptConfgFile->ulMcuCipherFileBytes;
            if (ullAt < ulHeld) {
                std::uint64_t ullThere = ulHeld - ullAt;
                std::memcpy(pucData, ptConfgFile->pucMcuCipherFile + ullAt,
                            ullThere < ulWant ? static_cast<std::size_t>(ullThere) : ulWant);
            }
        } else {
            std::uint32_t ulRead = 0;
            PlatformFileReadAt(ptConfgFile->hMcuCipherFile, ullAt, pucData, ulWant, &ulRead);
            if (ulRead < ulWant) {
                std::memset(pucData + ulRead, 0xFF, ulWant - ulRead);
            }
        }
    }
    PlatformFileClose(&ptConfgFile->hMcuCipherFile);
    *pusTxParaLen = static_cast<std::uint16_t>(*pusTxParaLen + usLength);
}

void ReadVersionFileInfo(ConfgFile* ptConfgFile, PrtcDRBDCmdUnion* punPrtcDRBDCmdUnion) {
    std::uint32_t ulVersionFileLength = 0;
    std::uint32_t ulVersionFileCrc = 0;
    ReadMcuCipherFileHeader(ptConfgFile, &ulVersionFileLength, &ulVersionFileCrc, &LastPackageLen);
    punPrtcDRBDCmdUnion->tVersionFileInfo.ulVersionFileLength = ulVersionFileLength;
    punPrtcDRBDCmdUnion->tVersionFileInfo.ulVersionFileCrc = ulVersionFileCrc;
}
