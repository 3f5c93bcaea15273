// Report exchange through the link, end to end against the virtual tablet: bytes on the wire, reply
// lengths, time-outs and frames that do not fit.
#include <cstring>
#include <string>
#include <thread>

#include "drbd/drbd_frame.h"
#include "link_fixture.h"
#include "support/capture_stdout.h"

using linktest::Exchange;
using linktest::LinkTest;
using sim::TabletFault;

namespace {

using Kind = TabletFault::Kind;

TabletFault Fault(Kind eKind, std::uint32_t ulValue = 0, std::uint16_t usAtCommand = 0) {
    TabletFault t;
    t.eKind = eKind;
    t.ulValue = ulValue;
    t.usAtCommand = usAtCommand;
    return t;
}

TEST_F(LinkTest, RequestGoesOutAsReportFdWithFillerAndReplyComesBackWhole) {
    auto ptTablet = AddTablet();
    OpenLink();
    DrbdSequenceCounterSet(0);
    linktest::ExchangeResult t = Exchange(sim::kCmdGetState);

    const std::vector<std::uint8_t> vucExample = {0x89, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x06, 0x00,
                                                  0x00, 0x03, 0x01, 0x01, 0x01, 0x91, 0x20};
    auto vtFrames = ptTablet->Frames();
    ASSERT_EQ(vtFrames.size(), 1u);
    const std::vector<std::uint8_t>& vucReport = vtFrames[0].vucReport;
    ASSERT_EQ(vucReport.size(), 1056u);
    EXPECT_EQ(vucReport[0], 0xFD);
    EXPECT_EQ(std::vector<std::uint8_t>(vucReport.begin() + 1, vucReport.begin() + 16), vucExample);
    EXPECT_EQ(std::vector<std::uint8_t>(vucReport.begin() + 16, vucReport.end()),
              std::vector<std::uint8_t>(1040, 0));

    // The reply: MsgLen 9 (one parameter byte), 18 bytes from report byte 1 on, state 1 in the application.
    EXPECT_EQ(t.iResult, 0);
    ASSERT_EQ(t.vucReply.size(), 18u);
    EXPECT_EQ(t.eStatus, 0u);
    EXPECT_EQ(t.vucReply[15], 1);
    EXPECT_EQ(Res()->usReplyFrameLen, 9);
    EXPECT_EQ(Res()->usReplyLen, 18);

    // A receive with no send since then hands the same reply out again at once.
    std::uint8_t aucAgain[1200];
    std::uint16_t usLen = 0;
    ASSERT_EQ(LinkReceive(kInvalidHandle, sizeof(aucAgain), aucAgain, &usLen), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(aucAgain, aucAgain + usLen), t.vucReply);
}

TEST_F(LinkTest, ShorterSendKeepsTheLongerOnesTailAsFillerAndBareReplyIs17Bytes) {
    auto ptTablet = AddTablet();
    OpenLink();
    std::vector<std::uint8_t> vucPara(100);
    for (std::size_t i = 0; i < vucPara.size(); ++i) {
        vucPara[i] = static_cast<std::uint8_t>(i + 1);
    }
    linktest::ExchangeResult tLong = Exchange(sim::kCmdSetUpgradeTarget, vucPara);
    // A reply with MsgLen 8 (status only) is 17 bytes.
    EXPECT_EQ(tLong.eStatus, 0u);
    EXPECT_EQ(tLong.vucReply.size(), 17u);
    Exchange(sim::kCmdGetState);

    auto vtFrames = ptTablet->Frames();
    ASSERT_EQ(vtFrames.size(), 2u);
    const auto& vucFirst = vtFrames[0].vucReport;
    const auto& vucSecond = vtFrames[1].vucReport;
    ASSERT_EQ(vucSecond.size(), 1056u);
    EXPECT_EQ(vtFrames[1].vucFrame.size(), 15u);
    // Bytes 16 .. 115 are the first frame's, then zero as before the first send.
    EXPECT_EQ(std::vector<std::uint8_t>(vucSecond.begin() + 16, vucSecond.begin() + 116),
              std::vector<std::uint8_t>(vucFirst.begin() + 16, vucFirst.begin() + 116));
    EXPECT_EQ(std::vector<std::uint8_t>(vucSecond.begin() + 116, vucSecond.end()),
              std::vector<std::uint8_t>(1056 - 116, 0));
}

TEST_F(LinkTest, ReplyCopyIsBoundedByReportAndCapacityAndTheCheckFailsIt) {
    sim::VirtualTablet::Config tConfig;
    tConfig.usInputReportBytes = 1200;
    auto ptTablet = AddTablet(tConfig);
    OpenLink();

    // MsgLen 1191 claims a 1200-byte frame: only the 1199 bytes behind the report ID are handed on.
    ptTablet->AddFault(Fault(Kind::kMsgLen, 1191));
    linktest::ExchangeResult t = Exchange(sim::kCmdGetState);
    EXPECT_EQ(t.iResult, 0);
    EXPECT_EQ(t.vucReply.size(), 1199u);
    EXPECT_EQ(t.eStatus, E_PrtcDRBD_RspRet_Err_MsgLen);
    EXPECT_FALSE(t.bParams);

    // MsgLen 0xFFFF does not wrap to a short length; a small capacity bounds the copy.
    ptTablet->AddFault(Fault(Kind::kMsgLen, 0xFFFF));
    t = Exchange(sim::kCmdGetState, {}, 40);
    EXPECT_EQ(t.vucReply.size(), 40u);
    EXPECT_EQ(t.eStatus, E_PrtcDRBD_RspRet_Err_MsgLen);

    // A well-formed reply is still taken whole after that.
    t = Exchange(sim::kCmdGetState);
    EXPECT_EQ(t.vucReply.size(), 18u);
    EXPECT_EQ(t.eStatus, 0u);
}

TEST_F(LinkTest, ReplyCutByAShortInputReportLengthFailsTheCheck) {
    sim::VirtualTablet::Config tConfig;
    tConfig.usInputReportBytes = 16;  // 15 frame bytes per report
    AddTablet(tConfig);
    OpenLink();
    linktest::ExchangeResult t = Exchange(sim::kCmdGetState);
    EXPECT_EQ(t.iResult, 0);
    EXPECT_EQ(t.vucReply.size(), 15u);
    EXPECT_EQ(t.eStatus, E_PrtcDRBD_RspRet_Err_MsgLen);
}

TEST_F(LinkTest, FaultyRepliesGiveTheirStatus) {
    auto ptTablet = AddTablet();
    OpenLink();
    ptTablet->AddFault(Fault(Kind::kBadCrc));
    linktest::ExchangeResult t = Exchange(sim::kCmdGetState);
    EXPECT_EQ(t.eStatus, E_PrtcDRBD_RspRet_Err_CrcCheck);
    EXPECT_FALSE(t.bParams);

    ptTablet->AddFault(Fault(Kind::kStatus, E_PrtcDRBD_RspRet_Err_CmdCode));
    t = Exchange(sim::kCmdGetState);
    EXPECT_EQ(t.eStatus, E_PrtcDRBD_RspRet_Err_CmdCode);
    EXPECT_TRUE(t.bParams);

    // A slow reply within the time limit is waited for.
    ptTablet->AddFault(Fault(Kind::kSlowReply, 150));
    t = Exchange(sim::kCmdGetRunningRegion);
    EXPECT_EQ(t.eStatus, 0u);
    ASSERT_EQ(t.vucReply.size(), 19u);
    EXPECT_EQ(t.vucReply[15], 0x04);
    EXPECT_EQ(t.vucReply[16], 0x00);
}

const std::string kOwedLine =
    "\r\n[Tavelo IAP]: The tablet has not answered an earlier request, so nothing more is sent to it until "
    "it does. If it stays silent, unplug the tablet and plug it in again.\r\n";

TEST_F(LinkTest, ReplyThatNeverComesTimesOutAsStatus10) {
    HidLinkSetTimeouts(HidLinkTimeouts{200, 2000, linktest::kBoundMs, 5000});
    auto ptTablet = AddTablet();
    OpenLink();
    ptTablet->AddFault(Fault(Kind::kNoReply, 0, sim::kCmdGetState));
    linktest::ExchangeResult t = Exchange(sim::kCmdGetState);
    EXPECT_EQ(t.iResult, kLinkRecvTimeOut);
    EXPECT_TRUE(t.vucReply.empty());
    EXPECT_EQ(t.eStatus, E_PrtcDRBD_RspRet_Err_RecvTimeOut);
    EXPECT_STREQ(ResponseStatusTable[t.eStatus].strName, "E_PrtcDRBD_RspRet_Err_RecvTimeOut");
    // Its reply may still come: nothing more goes out on this opening, each command fails at once...
    for (int i = 0; i < 2; ++i) {
        StdoutCapture tOut;
        EXPECT_EQ(Exchange(sim::kCmdGetState).iResult, kLinkRecvTimeOut);
        EXPECT_EQ(tOut.Finish(), kOwedLine);
    }
    EXPECT_EQ(ptTablet->FramesReceived(), 1u);
    // ... until the tablet was replugged.
    ptTablet->LeaveBus(50);
    ASSERT_TRUE(WaitForLinkOpenedTimes(2));
    EXPECT_EQ(Exchange(sim::kCmdGetState).eStatus, 0u);
}

// However late the reply comes, in either reply mode (in order: a late reply holds up the next one; or
// each reply timed from its own write), it is never taken for a later command's.
class LateReply : public LinkTest, public ::testing::WithParamInterface<bool> {};

TEST_P(LateReply, IsDroppedNotTakenForTheNextCommand) {
    const bool bInOrder = GetParam();
    HidLinkSetTimeouts(HidLinkTimeouts{300, 2000, linktest::kBoundMs, 5000});
    sim::VirtualTablet::Config tConfig;
    tConfig.bInOrderReplies = bInOrder;
    auto ptTablet = AddTablet(tConfig);
    OpenLink();
    ptTablet->SetReplyDelayMs(50);
    // 450 ms: after the limit, and 150 ms before the next command would give up on it.
    ptTablet->AddFault(Fault(Kind::kSlowReply, 400, sim::kCmdGetState));
    EXPECT_EQ(Exchange(sim::kCmdGetState).iResult, kLinkRecvTimeOut);
    // The next command waits for the late reply, drops it, and reads its own.
    linktest::ExchangeResult t = Exchange(sim::kCmdGetRunningRegion);
    EXPECT_EQ(t.eStatus, 0u);
    ASSERT_EQ(t.vucReply.size(), 19u);
    EXPECT_EQ(t.vucReply[11], 0x01);
    EXPECT_EQ(t.vucReply[12], 0x07);
    // 1050 ms: after the next command's wait too. That command is not sent; once the reply has come
    // and was dropped, the link is in step again.
    ptTablet->AddFault(Fault(Kind::kSlowReply, 1000, sim::kCmdGetState));
    EXPECT_EQ(Exchange(sim::kCmdGetState).iResult, kLinkRecvTimeOut);
    {
        StdoutCapture tOut;
        EXPECT_EQ(Exchange(sim::kCmdGetRunningRegion).iResult, kLinkRecvTimeOut);
        EXPECT_EQ(tOut.Finish(), kOwedLine);
    }
    const std::uint32_t ulFrames = ptTablet->FramesReceived();
    std::this_thread::sleep_until(ptTablet->LastReplyDue());
    t = Exchange(sim::kCmdGetRunningRegion);
    EXPECT_EQ(t.eStatus, 0u);
    EXPECT_EQ(t.vucReply.size(), 19u);
    EXPECT_EQ(ptTablet->FramesReceived(), ulFrames + 1);
}

INSTANTIATE_TEST_SUITE_P(ReplyModes, LateReply, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return i.param ? "InOrder" : "PerWrite";
                         });

TEST_F(LinkTest, FrameLongerThanTheOutputReportIsRefusedNotWritten) {
    sim::VirtualTablet::Config tConfig;
    tConfig.usOutputReportBytes = 1048;  // exactly a package frame behind the report ID
    auto ptTablet = AddTablet(tConfig);
    OpenLink();

    // 1032 parameter bytes: the 1047-byte package frame fits.
    linktest::ExchangeResult t = Exchange(sim::kCmdSetUpgradeTarget, std::vector<std::uint8_t>(1032, 1));
    EXPECT_EQ(t.eStatus, 0u);
    ASSERT_EQ(ptTablet->FramesReceived(), 1u);
    EXPECT_EQ(ptTablet->Frames()[0].vucFrame.size(), 1047u);

    StdoutCapture tOut;
    t = Exchange(sim::kCmdSetUpgradeTarget, std::vector<std::uint8_t>(1033, 1));
    std::string strOut = tOut.Finish();
    EXPECT_EQ(strOut, "帧长1048字节超出输出报告(1048字节)，未写入!\r\n");
    EXPECT_EQ(t.iResult, kLinkRecvTimeOut);
    EXPECT_EQ(ptTablet->FramesReceived(), 1u);
}

// A failed write gets no reply: the exchange fails at once (here well within the long reply limit) as
// status 10, and waits for nothing.
TEST_F(LinkTest, FailedWriteFailsTheExchangeAtOnce) {
    HidLinkSetTimeouts(HidLinkTimeouts{linktest::kBoundMs, 2000, linktest::kBoundMs, 5000});
    auto ptTablet = AddTablet();
    {
        // The link closed.
        StdoutCapture tOut;
        const std::uint64_t ullStart = PlatformNowMs();
        linktest::ExchangeResult t = Exchange(sim::kCmdGetState);
        EXPECT_LT(PlatformNowMs() - ullStart, linktest::kBoundMs / 2);
        EXPECT_EQ(tOut.Finish(), "写入0失败!(" + std::to_string(PlatformBadHandleError()) + ")\r\n");
        EXPECT_EQ(t.iResult, kLinkRecvTimeOut);
    }
    {
        // The tablet's OUT endpoint stalls: the write fails at the host's limit, the frame never arrived.
        OpenLink();
        TabletFault tStall = Fault(Kind::kWriteStall, 100, sim::kCmdGetState);
        ptTablet->AddFault(tStall);
        StdoutCapture tOut;
        const std::uint64_t ullStart = PlatformNowMs();
        linktest::ExchangeResult t = Exchange(sim::kCmdGetState);
        EXPECT_LT(PlatformNowMs() - ullStart, linktest::kBoundMs / 2);
        EXPECT_EQ(tOut.Finish(), "写入0失败!(" + std::to_string(sim::SimHidHost::kNoDeviceError) + ")\r\n");
        EXPECT_EQ(t.iResult, kLinkRecvTimeOut);
        EXPECT_EQ(ptTablet->FramesReceived(), 0u);
        EXPECT_EQ(Exchange(sim::kCmdGetState).eStatus, 0u);
    }
}

}  // namespace
