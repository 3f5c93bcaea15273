#include "drbd/drbd_frame.h"

#include <cstdio>
#include <cstring>

#include "platform/os.h"

namespace {
constexpr std::uint16_t kCrcTable[256] = {
#include "drbd/crc_table.inc"
};

// Process-wide frame sequence counter; frames are built on the console thread only.
std::uint16_t DrbdSequenceCounter = 0;

void PutBe16(std::uint8_t* puc, std::uint16_t us) {
    puc[0] = static_cast<std::uint8_t>(us >> 8);
    puc[1] = static_cast<std::uint8_t>(us & 0xFF);
}

std::uint16_t GetBe16(const std::uint8_t* puc) {
    return static_cast<std::uint16_t>((static_cast<std::uint16_t>(puc[0]) << 8) | puc[1]);
}
}  // namespace

const ResponseStatusEntry ResponseStatusTable[kResponseStatusCount] = {
    {0, "E_PrtcDRBD_RspRet_Success"},
    {1, "E_PrtcDRBD_RspRet_Err_PkgHeader"},
    {2, "E_PrtcDRBD_RspRet_Err_TransAddr_Inconformity"},
    {3, "E_PrtcDRBD_RspRet_Err_RecvAddr_Inconformity"},
    {4, "E_PrtcDRBD_RspRet_Err_SeesionID"},
    {5, "E_PrtcDRBD_RspRet_Err_MsgLen"},
    {6, "E_PrtcDRBD_RspRet_Err_CmdCode"},
    {7, "E_PrtcDRBD_RspRet_Err_ParaLenOVF"},
    {8, "E_PrtcDRBD_RspRet_Err_CrcCheck"},
    {9, "E_PrtcDRBD_RspRet_Err_ParaValue"},
    {10, "E_PrtcDRBD_RspRet_Err_RecvTimeOut"},
    {11, "E_PrtcDRBD_RspRet_Err_NoCondition"},
    {12, "E_PrtcDRBD_RspRet_Err_DevOpt"},
};

std::uint16_t DrbdCrc16(const std::uint8_t* pucData, std::uint32_t ulLen) {
    std::uint16_t usCrc = 0xFFFF;
    for (std::uint32_t i = 0; i < ulLen; ++i) {
        usCrc = static_cast<std::uint16_t>((usCrc >> 8) ^ kCrcTable[(usCrc ^ pucData[i]) & 0xFF]);
    }
    return static_cast<std::uint16_t>(usCrc ^ 0xFFFF);
}

std::uint16_t DrbdBuildFrame(std::uint8_t* pucFrame, const DrbdCmdCode* ptCmdCode,
                             const std::uint8_t* pucPara, std::uint16_t usParaLen) {
    pucFrame[kDrbdOffPkgHeader] = 0x89;
    pucFrame[kDrbdOffTransAddr] = 0xFF;
    pucFrame[kDrbdOffRecvAddr] = 0xFF;
    PutBe16(pucFrame + kDrbdOffSeqNum, DrbdSequenceCounter);
    DrbdSequenceCounter = static_cast<std::uint16_t>(DrbdSequenceCounter + 1);
    PutBe16(pucFrame + kDrbdOffCmdCode, ptCmdCode->usWord0);
    PutBe16(pucFrame + kDrbdOffCmdCode + 2, ptCmdCode->usWord1);
    PutBe16(pucFrame + kDrbdOffCmdCode + 4, ptCmdCode->usWord2);
    PutBe16(pucFrame + kDrbdOffMsgLen, static_cast<std::uint16_t>(usParaLen + 6));
    if (pucPara != nullptr && usParaLen > 0) {
        std::memmove(pucFrame + kDrbdOffPara, pucPara, usParaLen);
    }
    std::uint32_t ulCrcLen = static_cast<std::uint32_t>(usParaLen) + kDrbdOffPara;
    PutBe16(pucFrame + ulCrcLen, DrbdCrc16(pucFrame, ulCrcLen));
    return static_cast<std::uint16_t>(usParaLen + 15);
}

std::uint16_t DrbdSequenceCounterValue() {
    return DrbdSequenceCounter;
}
void DrbdSequenceCounterSet(std::uint16_t usValue) {
    DrbdSequenceCounter = usValue;
}

const std::uint8_t* DrbdCheckReply(const std::uint8_t* pucRxFrame, std::uint16_t usRxLen,
                                   const DrbdCmdCode* /*ptCmdCode*/, std::uint32_t* peErrCode) {
    // MsgLen itself must have been received before it can be read.
    if (usRxLen < kDrbdOffMsgLen + 2) {
        *peErrCode = E_PrtcDRBD_RspRet_Err_MsgLen;
        return nullptr;
    }
    std::uint32_t ulMsgLen = GetBe16(pucRxFrame + kDrbdOffMsgLen);
    std::uint32_t ulTotal = ulMsgLen + kDrbdFrameOverhead;  // 32-bit: no wrap for MsgLen near 0xFFFF
    if (ulMsgLen < kDrbdMinReplyMsgLen || ulTotal > usRxLen) {
        *peErrCode = E_PrtcDRBD_RspRet_Err_MsgLen;
        return nullptr;
    }
    std::uint16_t usStored = GetBe16(pucRxFrame + ulTotal - 2);
    if (DrbdCrc16(pucRxFrame, ulTotal - 2) != usStored) {
        *peErrCode = E_PrtcDRBD_RspRet_Err_CrcCheck;
        return nullptr;
    }
    *peErrCode = GetBe16(pucRxFrame + kDrbdOffPara);
    return pucRxFrame + kDrbdOffRspPara;
}

void PrintResponseStatus(std::uint32_t eErrCode) {
    if (eErrCode < static_cast<std::uint32_t>(kResponseStatusCount)) {
        PlatformPrintf("[Tavelo IAP]:  <- ServerResponseStatus is %s\r\n",
                       ResponseStatusTable[eErrCode].strName);
    } else {
        PlatformPrintf("[Tavelo IAP]:  <- ServerResponseStatus is Unknown(%u)\r\n",
                       static_cast<unsigned>(eErrCode));
    }
}

void ToBigEndianInPlace(std::uint8_t* pucField, std::uint8_t ucLen) {
    const std::uint16_t usProbe = 0x1234;
    std::uint8_t ucFirst;
    std::memcpy(&ucFirst, &usProbe, 1);
    if (ucFirst != 0x34 || ucLen > 4) {
        return;  // big-endian host: already in order
    }
    std::uint8_t aucTemp[4];
    for (std::uint8_t i = 0; i < ucLen; ++i) {
        aucTemp[i] = pucField[ucLen - 1 - i];
    }
    std::memcpy(pucField, aucTemp, ucLen);
}

int CheckTrailingCrc(const std::uint8_t* pucData, std::uint32_t ulLen) {
    if (ulLen < 2) {
        return 0;
    }
    std::uint16_t usStored = static_cast<std::uint16_t>(
        pucData[ulLen - 2] | (static_cast<std::uint16_t>(pucData[ulLen - 1]) << 8));
    return DrbdCrc16(pucData, ulLen - 2) == usStored ? 1 : 0;
}
