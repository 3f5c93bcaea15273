#include "drbd/drbd_frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "support/bitwise_crc.h"
#include "support/capture_stdout.h"

namespace {

const DrbdCmdCode kGetState = {0x0000, 0x0301, 0x0101};

// A reply frame with the given status and parameters, CRC appended.
std::vector<std::uint8_t> MakeReply(std::uint16_t usStatus, std::vector<std::uint8_t> para) {
    std::vector<std::uint8_t> f = {0x89, 0xFF, 0xFF, 0x00, 0x07, 0, 0, 0x00, 0x00, 0x03, 0x01, 0x01, 0x01};
    std::uint16_t usMsgLen = static_cast<std::uint16_t>(8 + para.size());
    f[5] = static_cast<std::uint8_t>(usMsgLen >> 8);
    f[6] = static_cast<std::uint8_t>(usMsgLen);
    f.push_back(static_cast<std::uint8_t>(usStatus >> 8));
    f.push_back(static_cast<std::uint8_t>(usStatus));
    f.insert(f.end(), para.begin(), para.end());
    std::uint16_t crc = BitwiseCrc16X25(f.data(), f.size());
    f.push_back(static_cast<std::uint8_t>(crc >> 8));
    f.push_back(static_cast<std::uint8_t>(crc));
    return f;
}

TEST(DrbdCrc16, CheckValuesAndAgreementWithBitwiseReference) {
    const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(DrbdCrc16(digits, 9), 0x906E);
    EXPECT_EQ(DrbdCrc16(digits, 0), 0x0000);

    std::mt19937 rng(12345);
    std::vector<std::uint8_t> buf(4096);
    for (auto& b : buf) {
        b = static_cast<std::uint8_t>(rng());
    }
    for (int k = 0; k < 500; ++k) {
        std::size_t off = rng() % buf.size();
        std::size_t len = rng() % (buf.size() - off + 1);
        ASSERT_EQ(DrbdCrc16(buf.data() + off, static_cast<std::uint32_t>(len)),
                  BitwiseCrc16X25(buf.data() + off, len))
            << "offset " << off << " length " << len;
    }
}

TEST(DrbdBuildFrame, WorkedExampleAndSequenceNumbers) {
    DrbdSequenceCounterSet(0);
    std::uint8_t frame[64] = {};
    ASSERT_EQ(DrbdBuildFrame(frame, &kGetState, nullptr, 0), 15);
    const std::uint8_t expected[] = {0x89, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x06, 0x00,
                                     0x00, 0x03, 0x01, 0x01, 0x01, 0x91, 0x20};
    EXPECT_EQ(0, std::memcmp(frame, expected, sizeof(expected)));

    DrbdBuildFrame(frame, &kGetState, nullptr, 0);
    EXPECT_EQ(frame[3], 0x00);
    EXPECT_EQ(frame[4], 0x01);

    DrbdSequenceCounterSet(65535);
    DrbdBuildFrame(frame, &kGetState, nullptr, 0);
    EXPECT_EQ(frame[3], 0xFF);
    EXPECT_EQ(frame[4], 0xFF);
    DrbdBuildFrame(frame, &kGetState, nullptr, 0);
    EXPECT_EQ(frame[3], 0x00);
    EXPECT_EQ(frame[4], 0x00);
    EXPECT_EQ(DrbdSequenceCounterValue(), 1);
}

TEST(DrbdBuildFrame, ParametersFromSourceOrInPlaceAndCrcCoversAll) {
    const DrbdCmdCode cmd = {0x0000, 0x0301, 0x0105};
    const std::uint8_t para[] = {0x00, 0x00, 0x09, 0xC4, 0x00, 0x00, 0x12, 0x34};
    std::uint8_t a[64] = {};
    std::uint8_t b[64] = {};
    DrbdSequenceCounterSet(7);
    EXPECT_EQ(DrbdBuildFrame(a, &cmd, para, 8), 23);
    std::memcpy(b + 13, para, 8);
    DrbdSequenceCounterSet(7);
    EXPECT_EQ(DrbdBuildFrame(b, &cmd, nullptr, 8), 23);
    EXPECT_EQ(0, std::memcmp(a, b, 23));
    EXPECT_EQ(a[5], 0x00);
    EXPECT_EQ(a[6], 14);  // MsgLen = 6 + N
    std::uint16_t crc = BitwiseCrc16X25(a, 21);
    EXPECT_EQ(a[21], crc >> 8);
    EXPECT_EQ(a[22], crc & 0xFF);
}

TEST(DrbdCheckReply, StatusFromGoodReplyWhateverTheHeaderFields) {
    auto reply = MakeReply(0, {0x01});
    reply[0] = 0x11;  // another PkgHeader, SeqNum and CmdCode than any request: still accepted
    reply[3] = 0x42;
    reply[12] = 0x07;
    std::uint16_t crc = BitwiseCrc16X25(reply.data(), reply.size() - 2);
    reply[reply.size() - 2] = static_cast<std::uint8_t>(crc >> 8);
    reply[reply.size() - 1] = static_cast<std::uint8_t>(crc);
    std::uint32_t eErr = 99;
    const std::uint8_t* p =
        DrbdCheckReply(reply.data(), static_cast<std::uint16_t>(reply.size()), &kGetState, &eErr);
    ASSERT_EQ(p, reply.data() + 15);
    EXPECT_EQ(eErr, 0u);
    EXPECT_EQ(*p, 0x01);

    auto bare = MakeReply(0, {});  // MsgLen 8: no reply parameters, still a success
    EXPECT_NE(DrbdCheckReply(bare.data(), static_cast<std::uint16_t>(bare.size()), &kGetState, &eErr),
              nullptr);
    EXPECT_EQ(eErr, 0u);

    auto failed = MakeReply(6, {});
    EXPECT_NE(DrbdCheckReply(failed.data(), static_cast<std::uint16_t>(failed.size()), &kGetState, &eErr),
              nullptr);
    EXPECT_EQ(eErr, 6u);
}

TEST(DrbdCheckReply, BadCrcGivesStatus8EvenWithSuccessStatus) {
    auto reply = MakeReply(0, {0x01, 0x02});
    reply.back() ^= 0x01;
    std::uint32_t eErr = 0;
    EXPECT_EQ(DrbdCheckReply(reply.data(), static_cast<std::uint16_t>(reply.size()), &kGetState, &eErr),
              nullptr);
    EXPECT_EQ(eErr, static_cast<std::uint32_t>(E_PrtcDRBD_RspRet_Err_CrcCheck));
}

TEST(DrbdCheckReply, MsgLenBeyondReceivedBytesIsRefusedWithoutReadingPastThem) {
    auto reply = MakeReply(0, {0x01, 0x02, 0x03});
    std::uint32_t eErr = 0;
    // Exactly as many bytes as the frame needs: accepted. One fewer: refused.
    // The copy on the heap has no slack, so a read past it is caught by AddressSanitizer.
    std::vector<std::uint8_t> exact(reply);
    EXPECT_NE(DrbdCheckReply(exact.data(), static_cast<std::uint16_t>(exact.size()), &kGetState, &eErr),
              nullptr);
    std::vector<std::uint8_t> shortCopy(reply.begin(), reply.end() - 1);
    EXPECT_EQ(
        DrbdCheckReply(shortCopy.data(), static_cast<std::uint16_t>(shortCopy.size()), &kGetState, &eErr),
        nullptr);
    EXPECT_EQ(eErr, static_cast<std::uint32_t>(E_PrtcDRBD_RspRet_Err_MsgLen));

    // MsgLen 0xFFFF: the 16-bit total would wrap to 8; it must not pass as a short frame.
    std::vector<std::uint8_t> huge(reply);
    huge[5] = 0xFF;
    huge[6] = 0xFF;
    EXPECT_EQ(DrbdCheckReply(huge.data(), static_cast<std::uint16_t>(huge.size()), &kGetState, &eErr),
              nullptr);
    EXPECT_EQ(eErr, static_cast<std::uint32_t>(E_PrtcDRBD_RspRet_Err_MsgLen));

    // MsgLen too short to carry RspRet, and a reply too short to hold MsgLen at all.
    std::vector<std::uint8_t> tiny = {0x89, 0xFF, 0xFF, 0, 0, 0x00, 0x06, 0, 0, 3, 1, 1, 1, 0, 0};
    EXPECT_EQ(DrbdCheckReply(tiny.data(), static_cast<std::uint16_t>(tiny.size()), &kGetState, &eErr),
              nullptr);
    EXPECT_EQ(eErr, static_cast<std::uint32_t>(E_PrtcDRBD_RspRet_Err_MsgLen));
    std::vector<std::uint8_t> stub = {0x89, 0xFF, 0xFF};
    EXPECT_EQ(DrbdCheckReply(stub.data(), static_cast<std::uint16_t>(stub.size()), &kGetState, &eErr),
              nullptr);
    EXPECT_EQ(eErr, static_cast<std::uint32_t>(E_PrtcDRBD_RspRet_Err_MsgLen));
}

TEST(PrintResponseStatus, NamesFromTableAndNumbersBeyondIt) {
    StdoutCapture cap;
    PrintResponseStatus(6);
    PrintResponseStatus(12);
    PrintResponseStatus(13);
    PrintResponseStatus(0xFFFF);
    EXPECT_EQ(cap.Finish(),
              "[Tavelo IAP]:  <- ServerResponseStatus is E_PrtcDRBD_RspRet_Err_CmdCode\r\n"
              "[Tavelo IAP]:  <- ServerResponseStatus is E_PrtcDRBD_RspRet_Err_DevOpt\r\n"
              "[Tavelo IAP]:  <- ServerResponseStatus is Unknown(13)\r\n"
              "[Tavelo IAP]:  <- ServerResponseStatus is Unknown(65535)\r\n");
    for (int k = 0; k < kResponseStatusCount; ++k) {
        EXPECT_EQ(ResponseStatusTable[k].eCode, static_cast<std::uint32_t>(k));
    }
}

TEST(ByteHelpers, BigEndianInPlaceAndTrailingCrc) {
    std::uint16_t us = 0x0401;
    auto* p = reinterpret_cast<std::uint8_t*>(&us);
    ToBigEndianInPlace(p, 2);
    EXPECT_EQ(p[0], 0x04);
    EXPECT_EQ(p[1], 0x01);
    std::uint32_t ul = 0x000009C4;
    auto* q = reinterpret_cast<std::uint8_t*>(&ul);
    ToBigEndianInPlace(q, 4);
    EXPECT_EQ(q[0], 0x00);
    EXPECT_EQ(q[2], 0x09);
    EXPECT_EQ(q[3], 0xC4);

    const std::uint8_t zeros[2] = {0, 0};
    const std::uint8_t notZero[2] = {0, 1};
    EXPECT_EQ(CheckTrailingCrc(zeros, 0), 0);
    EXPECT_EQ(CheckTrailingCrc(zeros, 1), 0);
    EXPECT_EQ(CheckTrailingCrc(zeros, 2), 1);
    EXPECT_EQ(CheckTrailingCrc(notZero, 2), 0);
    std::uint8_t withCrc[11] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', 0x6E, 0x90};  // low byte first
    EXPECT_EQ(CheckTrailingCrc(withCrc, 11), 1);
    withCrc[10] = 0x6E;
    EXPECT_EQ(CheckTrailingCrc(withCrc, 11), 0);
}

}  // namespace
