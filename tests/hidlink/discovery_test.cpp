// Discovery passes against the simulated host: which interface is opened, what each pass returns, its
// pauses, DeviceModelIndex, and how failures of the host leave the link.
#include <cstdio>
#include <string>
#include <thread>

#include "device/device_table.h"
#include "link_fixture.h"
#include "support/capture_stdout.h"

using linktest::LinkTest;
using sim::SimHidHost;

namespace {

std::vector<std::uint32_t> MainPauses() {
    return linktest::PausesOn(std::this_thread::get_id());
}

bool DiscoveryFieldsIdle() {
    HidResource* pt = GetHidResource();
    return pt->hDevInfoSet == kInvalidHandle && pt->hHidProbe == kInvalidHandle &&
           reinterpret_cast<std::intptr_t>(pt->ptInterfaceDetail) == -1;
}

TEST_F(LinkTest, FirstPassOpensTheVendorInterfaceAndTheSecondConfirms) {
    tHost_.AddForeignDevice(0x046D, 0xC077, {sim::MouseCollectionCaps()});
    // Vendor ID of the tablets, product ID outside the table, even a vendor collection: passed over.
    tHost_.AddForeignDevice(0x0483, 0x5750, {sim::VendorCollectionCaps(64, 1056)});
    sim::VirtualTablet::Config tConfig;
    tConfig.iModelIndex = 2;
    tConfig.vtCollections = {sim::DigitizerCollectionCaps(), sim::VendorCollectionCaps(64, 1056),
                             sim::MouseCollectionCaps()};
    AddTablet(tConfig);
    tHost_.AddForeignDevice(0x1A2C, 0x0002, {sim::MouseCollectionCaps()});

    EXPECT_EQ(DetectHidDevice(Res()), 0);
    SimHidHost::Stats t = tHost_.GetStats();
    EXPECT_EQ(t.ulWriteOpens, 1u);
    EXPECT_EQ(t.ulReadOpens, 1u);
    EXPECT_EQ(t.ulEventCreates, 1u);
    EXPECT_EQ(HidLinkReaderThreads(), 1u);
    EXPECT_NE(hReaderThread.load(), kInvalidHandle);
    EXPECT_EQ(Res()->bLinkOpen.load(), 1);
    EXPECT_EQ(Res()->tLinkCaps.OutputReportByteLength, 1056);
    EXPECT_EQ(GetDeviceModelIndex(), 2);
    EXPECT_TRUE(DiscoveryFieldsIdle());
    // 10 ms after each foreign interface and at the end of the list; none after the tablet's other
    // collections or after opening the link.
    EXPECT_EQ(MainPauses(), (std::vector<std::uint32_t>{10, 10, 10, 10}));

    linktest::ClearPauses();
    EXPECT_EQ(DetectHidDevice(Res()), 1);
    t = tHost_.GetStats();
    EXPECT_EQ(t.ulWriteOpens, 1u);
    EXPECT_EQ(t.ulReadOpens, 1u);
    EXPECT_EQ(Res()->bLinkOpen.load(), 1);
    EXPECT_TRUE(DiscoveryFieldsIdle());
    EXPECT_EQ(MainPauses(), (std::vector<std::uint32_t>{10, 10}));
}

TEST_F(LinkTest, NoSupportedTabletOrNoVendorCollectionNeverOpens) {
    tHost_.AddForeignDevice(0x046D, 0xC077, {sim::MouseCollectionCaps()});
    const int iIndexBefore = GetDeviceModelIndex();
    EXPECT_EQ(DetectHidDevice(Res()), 0);
    EXPECT_EQ(GetDeviceModelIndex(), iIndexBefore);

    // A supported tablet without the vendor collection: its collections name the model, nothing opens.
    sim::VirtualTablet::Config tConfig;
    tConfig.iModelIndex = 4;
    tConfig.vtCollections = {sim::DigitizerCollectionCaps(), sim::MouseCollectionCaps()};
    AddTablet(tConfig);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(DetectHidDevice(Res()), 0);
    }
    EXPECT_EQ(GetDeviceModelIndex(), 4);
    EXPECT_EQ(tHost_.GetStats().ulWriteOpens, 0u);
    EXPECT_EQ(HidLinkReaderThreads(), 0u);
    EXPECT_EQ(Res()->bLinkOpen.load(), 0);
}

TEST_F(LinkTest, WithTwoTabletsTheFirstListedIsServedAndNamed) {
    sim::VirtualTablet::Config tFirst;
    tFirst.iModelIndex = 1;
    sim::VirtualTablet::Config tSecond;
    tSecond.iModelIndex = 5;
    auto ptFirst = AddTablet(tFirst);
    auto ptSecond = AddTablet(tSecond);

    // The first pass opens the first tablet; the second tablet's vendor interface then meets the
    // running reader and ends the pass with 1. The index still names the open tablet.
    EXPECT_EQ(DetectHidDevice(Res()), 1);
    EXPECT_EQ(GetDeviceModelIndex(), 1);
    EXPECT_EQ(tHost_.GetStats().ulWriteOpens, 1u);
    ASSERT_TRUE(tHost_.WaitForReadsInProgress(1, linktest::kBoundMs));
    EXPECT_EQ(linktest::Exchange(sim::kCmdGetState).eStatus, 0u);
    EXPECT_EQ(ptFirst->FramesReceived(), 1u);
    EXPECT_EQ(ptSecond->FramesReceived(), 0u);

    // A third tablet plugged in ahead of them in the list does not move the index off the served one.
    sim::VirtualTablet::Config tThird;
    tThird.iModelIndex = 3;
    AddTablet(tThird, SimHidHost::Where::kFront);
    EXPECT_EQ(DetectHidDevice(Res()), 1);
    EXPECT_EQ(GetDeviceModelIndex(), 1);
    EXPECT_EQ(tHost_.GetStats().ulWriteOpens, 1u);
}

TEST_F(LinkTest, VendorInterfaceWithUnusableReportLengthsIsNotOpened) {
    const HidCaps atCases[] = {sim::VendorCollectionCaps(1201, 1056), sim::VendorCollectionCaps(64, 1201),
                               sim::VendorCollectionCaps(64, 1047), sim::VendorCollectionCaps(1, 1056)};
    for (const HidCaps& tCaps : atCases) {
        SimHidHost tHost;
        SetHidHost(tHost.Host());
        sim::VirtualTablet::Config tConfig;
        tConfig.vtCollections = {tCaps};
        tHost.AddTablet(std::make_shared<sim::VirtualTablet>(tConfig));
        StdoutCapture tOut;
        EXPECT_EQ(DetectHidDevice(Res()), 0);
        EXPECT_EQ(DetectHidDevice(Res()), 0);
        // Named once, not passed over silently.
        char acLine[400];
        std::snprintf(
            acLine, sizeof(acLine),
            "\r\n[Tavelo IAP]: Cannot use the tablet at /sim/hid/1.1/col00: its vendor interface has "
            "%u-byte input and %u-byte output reports (usable: input 2 to 1200 bytes, output 1048 to "
            "1200 bytes).\r\n",
            tCaps.InputReportByteLength, tCaps.OutputReportByteLength);
        EXPECT_EQ(tOut.Finish(), acLine);
        EXPECT_EQ(tHost.GetStats().ulWriteOpens, 0u)
            << tCaps.InputReportByteLength << "/" << tCaps.OutputReportByteLength;
        EXPECT_EQ(HidLinkReaderThreads(), 0u);
    }
    SetHidHost(tHost_.Host());
    // The limits themselves are fine.
    sim::VirtualTablet::Config tConfig;
    tConfig.vtCollections = {sim::VendorCollectionCaps(1200, 1048)};
    AddTablet(tConfig);
    OpenLink();
}

TEST_F(LinkTest, FailedOpenClosesWhatWasOpenedAndTheNextPassRetries) {
    AddTablet();
    // Another program holds the interface (EBUSY / ERROR_SHARING_VIOLATION): named once, no reader.
    const std::uint32_t ulInUse = PlatformFileRefusalError(PlatformFileRefusal::kInUse);
    tHost_.FailCalls(SimHidHost::Call::kOpenWrite, 20, 0, ulInUse);
    StdoutCapture tOut;
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(DetectHidDevice(Res()), 0);
    }
    EXPECT_EQ(tOut.Finish(),
              "\r\n[Tavelo IAP]: The tablet at /sim/hid/1.1/col01 is in use by another program (error " +
                  std::to_string(ulInUse) +
                  "); close the tablet's driver or settings program, then plug the tablet in "
                  "again.\r\n");
    EXPECT_EQ(tHost_.GetStats().ulReadOpens, 0u);
    EXPECT_EQ(HidLinkReaderThreads(), 0u);
    for (SimHidHost::Call eCall :
         {SimHidHost::Call::kOpenWrite, SimHidHost::Call::kOpenRead, SimHidHost::Call::kEventCreate}) {
        tHost_.FailCalls(eCall, 1);
        EXPECT_EQ(DetectHidDevice(Res()), 0);
        SimHidHost::Stats t = tHost_.GetStats();
        EXPECT_EQ(t.ulLiveWrites + t.ulLiveReads + t.ulLiveEvents, 0u);
        EXPECT_EQ(HidLinkReaderThreads(), 0u);
        EXPECT_EQ(hReaderThread.load(), kInvalidHandle);
        EXPECT_EQ(Res()->bLinkOpen.load(), 0);
        EXPECT_EQ(Res()->hHidWrite.load(), kInvalidHandle);
        EXPECT_EQ(Res()->hHidRead.load(), kInvalidHandle);
    }
    // Access denied (Windows), which a collection on its way off the bus gives too: named only when the
    // same interface gives it again.
    const std::uint32_t ulDenied = PlatformFileRefusalError(PlatformFileRefusal::kDirectory);
    if (PlatformDeviceInUseError(ulDenied) == kPlatformInUseIfAgain) {
        HidLinkReset();
        // Not after a pass in between that the interface did not refuse (here: opened, then failed).
        tHost_.FailCalls(SimHidHost::Call::kOpenWrite, 1, 0, ulDenied);
        EXPECT_EQ(DetectHidDevice(Res()), 0);
        tHost_.FailCalls(SimHidHost::Call::kEventCreate, 1);
        EXPECT_EQ(DetectHidDevice(Res()), 0);
        tHost_.FailCalls(SimHidHost::Call::kOpenWrite, 2, 0, ulDenied);
        StdoutCapture tDenied;
        EXPECT_EQ(DetectHidDevice(Res()), 0);
        EXPECT_EQ(tDenied.Finish(), "");
        StdoutCapture tAgain;
        EXPECT_EQ(DetectHidDevice(Res()), 0);
        EXPECT_NE(tAgain.Finish().find("is in use by another program (error 5)"), std::string::npos);
    }
    // Another model took the path between probe and open: not opened; the next pass opens the tablet.
    sim::VirtualTablet::Config tOther;
    tOther.iModelIndex = 5;
    tHost_.TakeOverNextOpen(1, std::make_shared<sim::VirtualTablet>(tOther));
    EXPECT_EQ(DetectHidDevice(Res()), 0);
    EXPECT_EQ(HidLinkReaderThreads(), 0u);
    EXPECT_EQ(tHost_.GetStats().ulLiveWrites, 0u);
    OpenLink();
    EXPECT_EQ(linktest::Exchange(sim::kCmdGetState).eStatus, 0u);
}

TEST_F(LinkTest, FailedCapabilityQueryDoesNotReuseTheEarlierInterfacesCaps) {
    sim::VirtualTablet::Config tConfig;
    tConfig.vtCollections = {sim::VendorCollectionCaps(64, 1056), sim::DigitizerCollectionCaps()};
    AddTablet(tConfig);
    // The vendor collection's query succeeds, the digitizer's fails. Taken with the vendor's caps, the
    // digitizer would meet the new reader and end the pass with 1.
    tHost_.FailCalls(SimHidHost::Call::kProbeCaps, 1, 1);
    EXPECT_EQ(DetectHidDevice(Res()), 0);
    EXPECT_EQ(Res()->tProbeCaps.Usage, 0);
    EXPECT_EQ(Res()->tProbeCaps.UsagePage, 0);
    EXPECT_EQ(DetectHidDevice(Res()), 1);
    EXPECT_EQ(tHost_.GetStats().ulWriteOpens, 1u);
}

TEST_F(LinkTest, PathQueryFailuresAreRetriedThenPassedOver) {
    tHost_.AddForeignDevice(0x046D, 0xC077, {sim::MouseCollectionCaps()});
    AddTablet();
    tHost_.FailCalls(SimHidHost::Call::kListPath, 2);
    // Two failures on the first interface, retried on the same index with a pause each.
    EXPECT_EQ(DetectHidDevice(Res()), 0);
    EXPECT_EQ(tHost_.GetStats().ulWriteOpens, 1u);
    EXPECT_EQ(MainPauses(), (std::vector<std::uint32_t>{10, 10, 10, 10}));

    // An interface whose path never comes is given up after a bounded number of tries.
    tHost_.FailCalls(SimHidHost::Call::kListPath, kDetailQueryTries);
    EXPECT_EQ(DetectHidDevice(Res()), 1);
}

}  // namespace
