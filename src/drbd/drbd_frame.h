// DRBD frames: layout, sequence counter, CRC-16/X-25 and response status codes.
#pragma once

#include <cstdint>

// Frame offsets (all multi-byte fields big-endian).
inline constexpr std::uint16_t kDrbdOffPkgHeader = 0;
inline constexpr std::uint16_t kDrbdOffTransAddr = 1;
inline constexpr std::uint16_t kDrbdOffRecvAddr = 2;
inline constexpr std::uint16_t kDrbdOffSeqNum = 3;
inline constexpr std::uint16_t kDrbdOffMsgLen = 5;
inline constexpr std::uint16_t kDrbdOffCmdCode = 7;
inline constexpr std::uint16_t kDrbdOffPara = 13;
inline constexpr std::uint16_t kDrbdOffRspPara = 15;  // reply parameters, after RspRet
// Frame bytes outside MsgLen: the seven header bytes and the CRC.
inline constexpr std::uint16_t kDrbdFrameOverhead = 9;
// MsgLen of the smallest reply: three command words and RspRet.
inline constexpr std::uint16_t kDrbdMinReplyMsgLen = 8;

// The three command words, host order (tCmdCdoe).
struct DrbdCmdCode {
    std::uint16_t usWord0;
    std::uint16_t usWord1;
    std::uint16_t usWord2;
};

// Response status (RspRet).
enum PrtcDRBDRspRet : std::uint32_t {
    E_PrtcDRBD_RspRet_Success = 0,
    E_PrtcDRBD_RspRet_Err_PkgHeader = 1,
    E_PrtcDRBD_RspRet_Err_TransAddr_Inconformity = 2,
    E_PrtcDRBD_RspRet_Err_RecvAddr_Inconformity = 3,
    E_PrtcDRBD_RspRet_Err_SeesionID = 4,
    E_PrtcDRBD_RspRet_Err_MsgLen = 5,
    E_PrtcDRBD_RspRet_Err_CmdCode = 6,
    E_PrtcDRBD_RspRet_Err_ParaLenOVF = 7,
    E_PrtcDRBD_RspRet_Err_CrcCheck = 8,
    E_PrtcDRBD_RspRet_Err_ParaValue = 9,
    E_PrtcDRBD_RspRet_Err_RecvTimeOut = 10,
    E_PrtcDRBD_RspRet_Err_NoCondition = 11,
    E_PrtcDRBD_RspRet_Err_DevOpt = 12,
};

struct ResponseStatusEntry {
    std::uint32_t eCode;
    char strName[50];
};
inline constexpr int kResponseStatusCount = 13;
extern const ResponseStatusEntry ResponseStatusTable[kResponseStatusCount];

// CRC-16/X-25 of ulLen bytes (table-driven).
std::uint16_t DrbdCrc16(const std::uint8_t* pucData, std::uint32_t ulLen);

// Builds a request frame in pucFrame: header, SeqNum from the process-wide counter (which then counts
// on, wrapping after 65535), command words, MsgLen = N + 6, parameters (copied from pucPara when given,
// else already at offset 13) and CRC. Returns the frame length N + 15.
std::uint16_t DrbdBuildFrame(std::uint8_t* pucFrame, const DrbdCmdCode* ptCmdCode,
                             const std::uint8_t* pucPara, std::uint16_t usParaLen);

// The value the next DrbdBuildFrame will put into SeqNum; and a way for tests to set it.
std::uint16_t DrbdSequenceCounterValue();
void DrbdSequenceCounterSet(std::uint16_t usValue);

// Checks a reply frame of which usRxLen bytes were received. The check reads nothing at or beyond
// usRxLen. Always writes *peErrCode:
//   - E_PrtcDRBD_RspRet_Err_MsgLen when MsgLen + 9 exceeds the bytes received, or when MsgLen is too
//     short to hold RspRet (fewer than 8);
//   - E_PrtcDRBD_RspRet_Err_CrcCheck when the CRC does not match;
//   - otherwise RspRet (which may be above 12).
// Returns the address of the reply parameters (offset 15) when the frame is whole and its CRC matches,
// else null. ptCmdCode is not consulted: replies are not matched against the request.
const std::uint8_t* DrbdCheckReply(const std::uint8_t* pucRxFrame, std::uint16_t usRxLen,
                                   const DrbdCmdCode* ptCmdCode, std::uint32_t* peErrCode);

// Prints "[Tavelo IAP]:  <- ServerResponseStatus is <name>\r\n"; a status without a table entry is
// shown by its number.
void PrintResponseStatus(std::uint32_t eErrCode);

// Turns a host-order field of 1..4 bytes into big-endian in place (no-op on a big-endian host).
void ToBigEndianInPlace(std::uint8_t* pucField, std::uint8_t ucLen);

// 1 when the last two bytes (low byte first) are the CRC of the bytes before them; 0 otherwise.
int CheckTrailingCrc(const std::uint8_t* pucData, std::uint32_t ulLen);
