// The virtual tablet on its own, driven report by report as a host would.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "drbd/drbd_frame.h"
#include "sim/virtual_tablet.h"

namespace {

std::vector<std::uint8_t> Request(std::uint16_t usCommand, const std::vector<std::uint8_t>& vucPara,
                                  std::uint16_t usReportLen = 1056) {
    std::vector<std::uint8_t> vucReport(usReportLen, 0);
    vucReport[0] = 0xFD;
    DrbdCmdCode tCmd{0x0000, 0x0301, usCommand};
    DrbdBuildFrame(vucReport.data() + 1, &tCmd, vucPara.data(), static_cast<std::uint16_t>(vucPara.size()));
    return vucReport;
}

std::vector<std::uint8_t> ReadReport(sim::VirtualTablet& tTablet, std::uint32_t ulGeneration) {
    std::vector<std::uint8_t> v(1200);
    std::uint32_t ulGot = 0;
    std::atomic<bool> bCancel{false};
    if (tTablet.ReadInputReport(ulGeneration, 1, v.data(), 1200, &ulGot, bCancel) == 0) {
        return {};
    }
    v.resize(ulGot);
    return v;
}

TEST(VirtualTablet, AnswersEchoingSeqNumWithAValidFrameInAFullInputReport) {
    sim::VirtualTablet tTablet({});
    EXPECT_EQ(tTablet.VendorId(), 0x0483);
    EXPECT_EQ(tTablet.ProductId(), 0x7B01);
    std::uint32_t ulGen = 0;
    ASSERT_TRUE(tTablet.Present(&ulGen));
    DrbdSequenceCounterSet(0x1234);
    std::vector<std::uint8_t> vucReq = Request(sim::kCmdGetRunningRegion, {});
    ASSERT_EQ(tTablet.WriteOutputReport(ulGen, 1, vucReq.data(), 1056), 1);
    std::vector<std::uint8_t> vucIn = ReadReport(tTablet, ulGen);
    ASSERT_EQ(vucIn.size(), 64u);
    EXPECT_EQ(vucIn[0], 0xFC);
    const std::vector<std::uint8_t> vucHead = {0x89, 0xFF, 0xFF, 0x12, 0x34, 0x00, 0x0A, 0x00, 0x00,
                                               0x03, 0x01, 0x01, 0x07, 0x00, 0x00, 0x04, 0x00};
    EXPECT_EQ(std::vector<std::uint8_t>(vucIn.begin() + 1, vucIn.begin() + 18), vucHead);
    std::uint32_t eStatus = 99;
    EXPECT_NE(DrbdCheckReply(vucIn.data() + 1, 63, nullptr, &eStatus), nullptr);
    EXPECT_EQ(eStatus, 0u);

    // Reports of the wrong length or report ID are refused and not logged.
    EXPECT_EQ(tTablet.WriteOutputReport(ulGen, 1, vucReq.data(), 1055), 0);
    vucReq[0] = 0xFE;
    EXPECT_EQ(tTablet.WriteOutputReport(ulGen, 1, vucReq.data(), 1056), 0);
    EXPECT_EQ(tTablet.FramesReceived(), 1u);
}

TEST(VirtualTablet, ProgramsDescrambledPagesAndRestartsOnAGoodImage) {
    sim::VirtualTablet::Config tConfig;
    tConfig.eStartIn = sim::TabletFirmware::kBootLoader;
    tConfig.ulRebootMs = 30;
    sim::VirtualTablet tTablet(tConfig);
    std::uint32_t ulGen = 0;
    tTablet.Present(&ulGen);
    std::vector<std::uint8_t> vucImage(1500);
    for (std::size_t i = 0; i < vucImage.size(); ++i) {
        vucImage[i] = static_cast<std::uint8_t>(i ^ 0xA5);
    }
    std::uint16_t usCrc = DrbdCrc16(vucImage.data(), 1500);
    auto run = [&](std::uint16_t usCommand, const std::vector<std::uint8_t>& vucPara) {
        std::vector<std::uint8_t> vucReq = Request(usCommand, vucPara);
        EXPECT_EQ(tTablet.WriteOutputReport(ulGen, 1, vucReq.data(), 1056), 1);
        std::vector<std::uint8_t> vucIn = ReadReport(tTablet, ulGen);
        return vucIn.size() > 15 ? static_cast<int>((vucIn[14] << 8) | vucIn[15]) : -1;
    };
    EXPECT_EQ(run(sim::kCmdSendPackage, std::vector<std::uint8_t>(7, 0)), sim::kStatusNoCondition);
    EXPECT_EQ(run(sim::kCmdStart, {}), 0);
    EXPECT_EQ(
        run(sim::kCmdSendVersionFileInfo, {0, 0, 0x05, 0xDC, 0, 0, static_cast<std::uint8_t>(usCrc >> 8),
                                           static_cast<std::uint8_t>(usCrc)}),
        0);
    for (std::uint16_t usIndex = 0; usIndex < 2; ++usIndex) {
        std::vector<std::uint8_t> vucPara = {static_cast<std::uint8_t>(usIndex == 1), 0x01, 0xDC, 0x00,
                                             static_cast<std::uint8_t>(usIndex),      0x04, 0x01};
        const std::uint8_t ucKey = static_cast<std::uint8_t>(0x77 + usIndex);
        for (int k = 0; k < 1024; ++k) {
            std::size_t uAt = usIndex * 1024u + static_cast<std::size_t>(k);
            vucPara.push_back(static_cast<std::uint8_t>((uAt < 1500 ? vucImage[uAt] : 0) ^ ucKey));
        }
        vucPara.push_back(ucKey);
        EXPECT_EQ(run(sim::kCmdSendPackage, vucPara), 0);
    }
    // It left the bus after its reply and comes back running the new image.
    EXPECT_FALSE(tTablet.Present());
    EXPECT_TRUE(tTablet.WaitForPresence(true, 10000));
    std::uint32_t ulNewGen = 0;
    tTablet.Present(&ulNewGen);
    EXPECT_EQ(ulNewGen, ulGen + 1);
    EXPECT_EQ(tTablet.Running(), sim::TabletFirmware::kApplication);
    EXPECT_EQ(tTablet.FirmwareInstalls(), 1u);
    std::vector<std::uint8_t> vucFlash = tTablet.Flash();
    EXPECT_EQ(std::vector<std::uint8_t>(vucFlash.begin(), vucFlash.begin() + 1500), vucImage);
    EXPECT_EQ(tTablet.Frames().back().usCommand, sim::kCmdSendPackage);
}

TEST(VirtualTablet, ReportDescriptorCarriesTheVendorReportLengths) {
    sim::VirtualTablet tTablet({});
    std::vector<std::uint8_t> v = tTablet.ReportDescriptor();
    auto contains = [&](const std::vector<std::uint8_t>& vucPart) {
        return std::search(v.begin(), v.end(), vucPart.begin(), vucPart.end()) != v.end();
    };
    EXPECT_TRUE(contains({0x06, 0x0C, 0xFF, 0x09, 0x07, 0xA1, 0x01}));  // vendor page, usage 7
    EXPECT_TRUE(contains({0x85, 0xFC}));
    EXPECT_TRUE(contains({0x95, 0x3F, 0x81, 0x02}));        // 63 input bytes behind the ID
    EXPECT_TRUE(contains({0x96, 0x1F, 0x04, 0x91, 0x02}));  // 1055 output bytes behind the ID
}

}  // namespace
