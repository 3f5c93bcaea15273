// Fixture of the HID link tests: a simulated HID host installed for the link, the link reset before and
// shut down after every test (no reader thread may survive a test), pauses recorded per thread.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "hidlink/hidlink.h"
#include "hidlink/hidlink_control.h"
#include "sim/sim_hid_host.h"
#include "sim/virtual_tablet.h"

namespace linktest {

// Bound of every wait on the tablet or a thread; long, since it only matters when something hangs.
inline constexpr std::uint32_t kBoundMs = 15000;

// Pauses the link asked for on the given thread, in order.
std::vector<std::uint32_t> PausesOn(std::thread::id tThread);
void ClearPauses();

// Polls pred every millisecond or two until it holds; false after ulBoundMs.
bool WaitUntil(const std::function<bool()>& fnPred, std::uint32_t ulBoundMs = kBoundMs);

struct ExchangeResult {
    std::int32_t iResult = -1;           // LinkExchange's result
    std::vector<std::uint8_t> vucReply;  // the bytes it copied (usRxFrameLen of them)
    std::uint32_t eStatus = 0xFFFFFFFF;  // 10 on a timeout, else DrbdCheckReply's status
    bool bParams = false;                // DrbdCheckReply gave the parameter address
};

// Builds a request (command words 0000 0301 usCommand) and runs it through LinkExchange with the given
// reply capacity, as the IAP commands do.
ExchangeResult Exchange(std::uint16_t usCommand, const std::vector<std::uint8_t>& vucPara = {},
                        std::uint16_t usCapacity = 1200);

// Package parameters of page ulIndex of vucImage: header (last flag, LastPackageLen, index, 1025) and a
// record scrambled with a key of its own.
std::vector<std::uint8_t> PackagePara(const std::vector<std::uint8_t>& vucImage, std::uint32_t ulIndex,
                                      bool bLast);

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::shared_ptr<sim::VirtualTablet> AddTablet(
        sim::VirtualTablet::Config tConfig = {},
        sim::SimHidHost::Where eWhere = sim::SimHidHost::Where::kBack);
    // Two passes, as start-up makes them with one tablet: the first opens the link (0), the second
    // confirms it (1).
    void OpenLink();
    // Waits until a re-detection has ended with a reader serving a link opened for the nth time.
    bool WaitForLinkOpenedTimes(std::uint32_t ulTimes);

    static HidResource* Res() { return GetHidResource(); }

    sim::SimHidHost tHost_;
};

}  // namespace linktest
