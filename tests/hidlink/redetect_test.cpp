// The tablet leaving and coming back, re-detection on either thread, the reader stopping on bad
// reports, a whole upgrade through the link, and the shutdown.
#include "device/device_table.h"
#include "drbd/drbd_frame.h"
#include "link_fixture.h"
#include "support/capture_stdout.h"

using linktest::Exchange;
using linktest::LinkTest;
using linktest::WaitUntil;
using sim::TabletFault;

namespace {

std::vector<std::uint8_t> Be32(std::uint32_t ul) {
    return {static_cast<std::uint8_t>(ul >> 24), static_cast<std::uint8_t>(ul >> 16),
            static_cast<std::uint8_t>(ul >> 8), static_cast<std::uint8_t>(ul)};
}

std::vector<std::uint8_t> VersionInfo(std::uint32_t ulLen, std::uint32_t ulCrc) {
    std::vector<std::uint8_t> v = Be32(ulLen);
    std::vector<std::uint8_t> vucCrc = Be32(ulCrc);
    v.insert(v.end(), vucCrc.begin(), vucCrc.end());
    return v;
}

TEST_F(LinkTest, TabletLeavingAndComingBackIsRedetectedByTheReader) {
    auto ptTablet = AddTablet();
    OpenLink();
    ptTablet->LeaveBus(80);
    // A device plugged in meanwhile, ahead of the tablet, changes nothing.
    tHost_.AddForeignDevice(0x046D, 0xC52B, {sim::MouseCollectionCaps()}, sim::SimHidHost::Where::kFront);
    ASSERT_TRUE(WaitForLinkOpenedTimes(2));
    // The stopped reader ran the re-detection and ended once a pass confirmed the new link.
    EXPECT_EQ(HidLinkWaitReaderThreads(1, linktest::kBoundMs), 1);
    EXPECT_EQ(bRedetecting.load(), 0);
    EXPECT_EQ(Res()->bLinkOpen.load(), 1);
    EXPECT_EQ(Exchange(sim::kCmdGetState).eStatus, 0u);
}

TEST_F(LinkTest, SetStateLeavesTheBusAndTheTabletComesBackInItsBootLoader) {
    auto ptTablet = AddTablet();
    OpenLink();
    linktest::ExchangeResult t = Exchange(sim::kCmdGetState);
    ASSERT_EQ(t.eStatus, 0u);
    EXPECT_EQ(t.vucReply[15], 1);
    ASSERT_EQ(Exchange(sim::kCmdSetState, {0}).eStatus, 0u);
    // Whichever thread takes the guard first, this returns with the tablet back and served.
    ReconnectHidDevice(500);
    EXPECT_EQ(bRedetecting.load(), 0);
    EXPECT_NE(hReaderThread.load(), kInvalidHandle);
    EXPECT_EQ(tHost_.GetStats().ulReadOpens, 2u);
    t = Exchange(sim::kCmdGetState);
    ASSERT_EQ(t.eStatus, 0u);
    EXPECT_EQ(t.vucReply[15], 0);
    EXPECT_EQ(ptTablet->Running(), sim::TabletFirmware::kBootLoader);
}

TEST_F(LinkTest, ReconnectWithTheLinkNeverOpenedPausesThenDetects) {
    AddTablet();
    ReconnectHidDevice(500);
    // No wait for a reader: the delay comes first, then the passes (open, confirm).
    std::vector<std::uint32_t> vulPauses = linktest::PausesOn(std::this_thread::get_id());
    ASSERT_FALSE(vulPauses.empty());
    EXPECT_EQ(vulPauses[0], 500u);
    EXPECT_EQ(bRedetecting.load(), 0);
    EXPECT_EQ(Res()->hDevInfoSet, kInvalidHandle);
    EXPECT_EQ(Res()->hHidProbe, kInvalidHandle);
    EXPECT_EQ(reinterpret_cast<std::intptr_t>(Res()->ptInterfaceDetail), -1);
    EXPECT_EQ(tHost_.GetStats().ulWriteOpens, 1u);
    ASSERT_TRUE(tHost_.WaitForReadsInProgress(1, linktest::kBoundMs));
    EXPECT_EQ(Exchange(sim::kCmdGetState).eStatus, 0u);
}

TEST_F(LinkTest, WaitingRedetectionSaysOnceThatTheTabletHasNotComeBack) {
    auto ptTablet = AddTablet();
    ptTablet->LeaveBus(sim::kNeverMs);
    HidLinkSetAwayNoticeMs(0);
    const std::thread::id tMain = std::this_thread::get_id();
    std::thread tBack([&] {
        // Back after some passes of the waiting re-detection.
        linktest::WaitUntil([&] { return linktest::PausesOn(tMain).size() >= 8; });
        ptTablet->ComeBack();
    });
    StdoutCapture tOut;
    ReconnectHidDevice(500);
    tBack.join();
    EXPECT_EQ(tOut.Finish(),
              "\r\n[Tavelo IAP]: The tablet has not come back yet. Still waiting for it; if it does not come "
              "back, unplug it and plug it in again.\r\n");
    EXPECT_NE(hReaderThread.load(), kInvalidHandle);
}

TEST_F(LinkTest, CallerFindingTheReadersRedetectionWaitsForItsEnd) {
    auto ptTablet = AddTablet();
    OpenLink();
    ptTablet->LeaveBus(300);
    ASSERT_TRUE(WaitUntil([] { return bRedetecting.load() == 1; }));
    ReconnectHidDevice(500);
    EXPECT_EQ(bRedetecting.load(), 0);
    EXPECT_NE(hReaderThread.load(), kInvalidHandle);
    EXPECT_EQ(tHost_.GetStats().ulReadOpens, 2u);
    EXPECT_EQ(Exchange(sim::kCmdGetState).eStatus, 0u);
}

TEST_F(LinkTest, ShortOrWronglyNumberedReportStopsTheReaderWithoutWakingTheReceiver) {
    HidLinkSetTimeouts(HidLinkTimeouts{300, 2000, linktest::kBoundMs, 5000});
    auto ptTablet = AddTablet();
    OpenLink();
    std::uint32_t ulOpens = 1;
    for (TabletFault::Kind eKind : {TabletFault::Kind::kShortReport, TabletFault::Kind::kWrongReportId}) {
        TabletFault tFault;
        tFault.eKind = eKind;
        ptTablet->AddFault(tFault);
        linktest::ExchangeResult t = Exchange(sim::kCmdGetState);
        EXPECT_EQ(t.iResult, kLinkRecvTimeOut);
        EXPECT_EQ(t.eStatus, E_PrtcDRBD_RspRet_Err_RecvTimeOut);
        // The reader took the tablet for gone, closed the link and re-detected it.
        ASSERT_TRUE(WaitForLinkOpenedTimes(++ulOpens));
        EXPECT_EQ(Exchange(sim::kCmdGetState).eStatus, 0u);
    }
}

TEST_F(LinkTest, WholeUpgradeThroughTheLink) {
    sim::VirtualTablet::Config tConfig;
    tConfig.iModelIndex = 6;
    auto ptTablet = AddTablet(tConfig);
    OpenLink();
    std::vector<std::uint8_t> vucImage(2500);
    for (std::size_t i = 0; i < vucImage.size(); ++i) {
        vucImage[i] = static_cast<std::uint8_t>(i * 31 + (i >> 8));
    }
    const std::uint16_t usCrc = DrbdCrc16(vucImage.data(), static_cast<std::uint32_t>(vucImage.size()));

    ASSERT_EQ(Exchange(sim::kCmdSetState, {0}).eStatus, 0u);
    ReconnectHidDevice(500);
    EXPECT_EQ(Exchange(sim::kCmdStart).eStatus, 0u);
    EXPECT_EQ(Exchange(sim::kCmdSendVersionFileInfo, VersionInfo(2500, usCrc)).eStatus, 0u);
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(Exchange(sim::kCmdSendPackage, linktest::PackagePara(vucImage, i, i == 2)).eStatus, 0u)
            << i;
    }
    ReconnectHidDevice(500);

    EXPECT_EQ(ptTablet->FirmwareInstalls(), 1u);
    EXPECT_EQ(ptTablet->Running(), sim::TabletFirmware::kApplication);
    std::vector<std::uint8_t> vucFlash = ptTablet->Flash();
    EXPECT_EQ(std::vector<std::uint8_t>(vucFlash.begin(), vucFlash.begin() + 2500), vucImage);
    linktest::ExchangeResult t = Exchange(sim::kCmdGetState);
    EXPECT_EQ(t.eStatus, 0u);
    EXPECT_EQ(t.vucReply[15], 1);
    EXPECT_EQ(GetDeviceModelIndex(), 6);
    // Three link openings: start-up, after IapSetState, after the last package.
    EXPECT_EQ(tHost_.GetStats().ulReadOpens, 3u);
}

TEST_F(LinkTest, TabletStayingOnTheBusEndsTheIdleWaitAndTheLinkGoesOn) {
    HidLinkSetTimeouts(HidLinkTimeouts{2000, 200, linktest::kBoundMs, 5000});
    sim::VirtualTablet::Config tConfig;
    tConfig.eStartIn = sim::TabletFirmware::kBootLoader;
    auto ptTablet = AddTablet(tConfig);
    OpenLink();
    std::vector<std::uint8_t> vucImage(1024, 0x42);
    const std::uint16_t usCrc = DrbdCrc16(vucImage.data(), 1024);
    EXPECT_EQ(Exchange(sim::kCmdStart).eStatus, 0u);
    EXPECT_EQ(Exchange(sim::kCmdSendVersionFileInfo, VersionInfo(1024, usCrc ^ 1u)).eStatus, 0u);
    // The image CRC does not match: the tablet answers with an error and stays where it is.
    EXPECT_EQ(Exchange(sim::kCmdSendPackage, linktest::PackagePara(vucImage, 0, true)).eStatus,
              E_PrtcDRBD_RspRet_Err_DevOpt);
    const PlatformHandle hReader = hReaderThread.load();
    ReconnectHidDevice(500);
    EXPECT_EQ(hReaderThread.load(), hReader);
    EXPECT_EQ(Res()->bLinkOpen.load(), 1);
    EXPECT_EQ(bRedetecting.load(), 0);
    EXPECT_EQ(tHost_.GetStats().ulReadOpens, 1u);
    EXPECT_EQ(Exchange(sim::kCmdGetState).eStatus, 0u);
    EXPECT_EQ(ptTablet->FirmwareInstalls(), 0u);
}

TEST_F(LinkTest, StartUpLoopAndTheReadersRedetectionNeverRunDiscoveryTogether) {
    auto ptTablet = AddTablet();
    ASSERT_EQ(DetectHidDevice(Res()), 0);
    ASSERT_TRUE(tHost_.WaitForReadsInProgress(1, linktest::kBoundMs));
    // The tablet drops right after the first pass opened it; the start-up loop goes on meanwhile.
    ptTablet->LeaveBus(100);
    EXPECT_TRUE(WaitUntil([] { return DetectHidDevice(GetHidResource()) == 1; }));
    EXPECT_TRUE(WaitUntil([] { return bRedetecting.load() == 0; }));
    EXPECT_EQ(tHost_.GetStats().ulMaxListsAtOnce, 1u);
    EXPECT_EQ(Exchange(sim::kCmdGetState).eStatus, 0u);
}

TEST_F(LinkTest, ShutdownStopsTheBlockedReaderInOrderAndClosesEachHandleOnce) {
    AddTablet();
    OpenLink();
    const std::uint32_t ulLists = tHost_.GetStats().ulListOpens;
    HidLinkShutdown(Res());
    EXPECT_EQ(HidLinkReaderThreads(), 0u);
    sim::SimHidHost::Stats t = tHost_.GetStats();
    EXPECT_EQ(t.ulCancelReads, 1u);
    EXPECT_EQ(t.ulLiveWrites + t.ulLiveReads + t.ulLiveEvents, 0u);
    EXPECT_EQ(t.ulBadCloses, 0u);
    EXPECT_EQ(t.ulListOpens, ulLists) << "the stopped reader started a re-detection";
    EXPECT_EQ(hReaderThread.load(), kInvalidHandle);
    EXPECT_EQ(Res()->hHidWrite.load(), kInvalidHandle);
    EXPECT_EQ(Res()->hHidRead.load(), kInvalidHandle);
    EXPECT_EQ(Res()->hReadEvent.load(), kInvalidHandle);
    EXPECT_EQ(Res()->bLinkOpen.load(), 0);
    // After the shutdown no pass opens the link again.
    EXPECT_EQ(DetectHidDevice(Res()), 0);
    EXPECT_EQ(tHost_.GetStats().ulWriteOpens, 1u);
}

TEST_F(LinkTest, ShutdownEndsARedetectionWaitingForAnAbsentTablet) {
    auto ptTablet = AddTablet();
    OpenLink();
    ptTablet->LeaveBus(sim::kNeverMs);
    ASSERT_TRUE(WaitUntil([] { return bRedetecting.load() == 1; }));
    const std::uint32_t ulLists = tHost_.GetStats().ulListOpens;
    ASSERT_TRUE(WaitUntil([&] { return tHost_.GetStats().ulListOpens >= ulLists + 2; }));
    HidLinkShutdown(Res());
    EXPECT_EQ(HidLinkReaderThreads(), 0u);
    EXPECT_EQ(Res()->hHidRead.load(), kInvalidHandle);
}

}  // namespace
