// The USB link timing model: packet counts, the bound of an upgrade, and the virtual tablet keeping to
// the model's times.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "drbd/drbd_frame.h"
#include "sim/usb_link_timing.h"
#include "sim/virtual_tablet.h"

namespace {

using sim::UsbSpeed;
using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(UsbLinkTiming, PacketsPerReport) {
    EXPECT_EQ(sim::UsbPacketsPerReport(UsbSpeed::kFull, 1048), 17u);
    EXPECT_EQ(sim::UsbPacketsPerReport(UsbSpeed::kFull, 64), 1u);
    EXPECT_EQ(sim::UsbPacketsPerReport(UsbSpeed::kFull, 65), 2u);
    EXPECT_EQ(sim::UsbPacketsPerReport(UsbSpeed::kFull, 0), 1u);  // a report always takes a packet
    EXPECT_EQ(sim::UsbPacketsPerReport(UsbSpeed::kHigh, 1048), 2u);
    EXPECT_EQ(sim::UsbPacketsPerReport(UsbSpeed::kHigh, 1024), 1u);
    EXPECT_EQ(sim::UsbReportTime(UsbSpeed::kFull, 1048), milliseconds(17));
    EXPECT_EQ(sim::UsbReportTime(UsbSpeed::kHigh, 1048), microseconds(250));
    // High bandwidth: three 1024-byte packets in one microframe.
    EXPECT_EQ(sim::UsbPacketsPerReport(UsbSpeed::kHighBandwidth, 1088), 2u);
    EXPECT_EQ(sim::UsbReportTime(UsbSpeed::kHighBandwidth, 1088), microseconds(125));
    EXPECT_EQ(sim::UsbReportTime(UsbSpeed::kHighBandwidth, 3072), microseconds(125));
    EXPECT_EQ(sim::UsbReportTime(UsbSpeed::kHighBandwidth, 3073), microseconds(250));
    EXPECT_EQ(sim::UsbReportTime(UsbSpeed::kFull, 1088), milliseconds(17));
}

TEST(UsbLinkTiming, BoundOfAnUpgrade) {
    // 1048-byte reports both ways at full speed: 34 ms an exchange, 8.704 s for 256 packages.
    sim::UsbLinkModel tFull{UsbSpeed::kFull, microseconds(0)};
    EXPECT_EQ(sim::UsbExchangeBound(tFull, 1048, 1048, true), milliseconds(34));
    EXPECT_EQ(sim::UpgradeTransferBound(tFull, 1048, 1048, 256), milliseconds(8704));
    // Flash time counts for packages only.
    sim::UsbLinkModel tFlash{UsbSpeed::kFull, milliseconds(4)};
    EXPECT_EQ(sim::UsbExchangeBound(tFlash, 1048, 64, true), milliseconds(22));
    EXPECT_EQ(sim::UsbExchangeBound(tFlash, 1048, 64, false), milliseconds(18));
    EXPECT_EQ(sim::UpgradeExchangesBound(tFlash, 1048, 64, 256, 4), milliseconds(256 * 22 + 4 * 18));
    sim::UsbLinkModel tHigh{UsbSpeed::kHigh, microseconds(0)};
    EXPECT_EQ(sim::UpgradeTransferBound(tHigh, 1048, 1048, 256), milliseconds(128));
}

TEST(UsbLinkTiming, HookGivesWriteAndReplyTimes) {
    auto fnHook = sim::UsbTimingHook(sim::UsbLinkModel{UsbSpeed::kFull, milliseconds(4)});
    sim::VirtualTablet::ExchangeInfo tState{sim::kCmdGetState, 15, 1048, 64};
    sim::VirtualTablet::ExchangeTiming t = fnHook(tState);
    EXPECT_EQ(t.tWrite, milliseconds(17));
    EXPECT_EQ(t.tReply, milliseconds(1));
    sim::VirtualTablet::ExchangeInfo tPackage{sim::kCmdSendPackage, 1047, 1048, 64};
    t = fnHook(tPackage);
    EXPECT_EQ(t.tWrite, milliseconds(17));
    EXPECT_EQ(t.tReply, milliseconds(5));
}

TEST(UsbLinkTiming, TabletTakesAtLeastTheModelsTime) {
    sim::VirtualTablet::Config c;
    c.usInputReportBytes = 1048;
    c.usOutputReportBytes = 1048;
    c.eStartIn = sim::TabletFirmware::kBootLoader;
    sim::VirtualTablet tablet(c);
    tablet.SetTimingHook(sim::UsbTimingHook(sim::UsbLinkModel{UsbSpeed::kFull, milliseconds(4)}));
    // A package request (its content does not matter for the timing).
    std::vector<std::uint8_t> report(1048, 0);
    report[0] = 0xFD;
    std::vector<std::uint8_t> para(7 + 1025, 0x11);
    std::copy(para.begin(), para.end(), report.begin() + 1 + kDrbdOffPara);
    const DrbdCmdCode tCmd = {0x0000, 0x0301, sim::kCmdSendPackage};
    ASSERT_EQ(DrbdBuildFrame(report.data() + 1, &tCmd, nullptr, static_cast<std::uint16_t>(para.size())),
              1047);

    auto t0 = sim::Clock::now();
    ASSERT_EQ(tablet.WriteOutputReport(1, static_cast<std::size_t>(tablet.VendorCollection()), report.data(),
                                       static_cast<std::uint32_t>(report.size())),
              1);
    auto t1 = sim::Clock::now();
    EXPECT_GE(t1 - t0, milliseconds(17));                     // 17 packets out
    EXPECT_GE(tablet.LastReplyDue() - t0, milliseconds(38));  // then 4 ms flash and 17 packets in
}

}  // namespace
