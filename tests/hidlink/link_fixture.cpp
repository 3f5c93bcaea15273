#include "link_fixture.h"

#include <cstring>
#include <mutex>
#include <utility>

#include "drbd/drbd_frame.h"
#include "platform/os.h"

namespace linktest {

namespace {
std::mutex g_tPauseMutex;
std::vector<std::pair<std::thread::id, std::uint32_t>> g_vtPauses;

// Records the pause; long pauses (the 500 ms re-detection delay) are shortened so the suite stays quick.
void RecordPause(std::uint32_t ulMs) {
    {
        std::lock_guard<std::mutex> lk(g_tPauseMutex);
        g_vtPauses.emplace_back(std::this_thread::get_id(), ulMs);
    }
    PlatformSleepMs(ulMs >= 100 ? 20 : ulMs);
}
}  // namespace

std::vector<std::uint32_t> PausesOn(std::thread::id tThread) {
    std::lock_guard<std::mutex> lk(g_tPauseMutex);
    std::vector<std::uint32_t> v;
    for (const auto& [tId, ulMs] : g_vtPauses) {
        if (tId == tThread) {
            v.push_back(ulMs);
        }
    }
    return v;
}

void ClearPauses() {
    std::lock_guard<std::mutex> lk(g_tPauseMutex);
    g_vtPauses.clear();
}

bool WaitUntil(const std::function<bool()>& fnPred, std::uint32_t ulBoundMs) {
    const std::uint64_t ullStart = PlatformNowMs();
    while (!fnPred()) {
        if (PlatformNowMs() - ullStart > ulBoundMs) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

ExchangeResult Exchange(std::uint16_t usCommand, const std::vector<std::uint8_t>& vucPara,
                        std::uint16_t usCapacity) {
    static std::uint8_t aucTx[2400];
    static std::uint8_t aucRx[2404];
    DrbdCmdCode tCmd{0x0000, 0x0301, usCommand};
    if (!vucPara.empty()) {
        std::memcpy(aucTx + kDrbdOffPara, vucPara.data(), vucPara.size());
    }
    std::uint16_t usTxLen = DrbdBuildFrame(aucTx, &tCmd, nullptr, static_cast<std::uint16_t>(vucPara.size()));
    std::memset(aucRx, 0xEE, sizeof(aucRx));
    std::uint16_t usRxLen = 0xBEEF;
    std::uint16_t usAux = 0;
    ExchangeResult t;
    t.iResult = LinkExchange(kInvalidHandle, usTxLen, aucTx, &usAux, usCapacity, aucRx, &usRxLen);
    if (usRxLen <= sizeof(aucRx)) {
        t.vucReply.assign(aucRx, aucRx + usRxLen);
    }
    if (t.iResult == kLinkRecvTimeOut) {
        t.eStatus = E_PrtcDRBD_RspRet_Err_RecvTimeOut;
    } else {
        t.bParams = DrbdCheckReply(aucRx, usRxLen, &tCmd, &t.eStatus) != nullptr;
    }
    // Nothing past the copied bytes was touched.
    for (std::size_t i = usRxLen; i < sizeof(aucRx) && usRxLen <= sizeof(aucRx); ++i) {
        EXPECT_EQ(aucRx[i], 0xEE) << "reply buffer written at " << i;
        if (aucRx[i] != 0xEE) {
            break;
        }
    }
    return t;
}

std::vector<std::uint8_t> PackagePara(const std::vector<std::uint8_t>& vucImage, std::uint32_t ulIndex,
                                      bool bLast) {
    const std::uint16_t usLastLen = static_cast<std::uint16_t>(vucImage.size() % 1024);
    std::vector<std::uint8_t> v = {static_cast<std::uint8_t>(bLast ? 1 : 0),
                                   static_cast<std::uint8_t>(usLastLen >> 8),
                                   static_cast<std::uint8_t>(usLastLen & 0xFF),
                                   static_cast<std::uint8_t>(ulIndex >> 8),
                                   static_cast<std::uint8_t>(ulIndex & 0xFF),
                                   0x04,
                                   0x01};
    const std::uint8_t ucKey = static_cast<std::uint8_t>(0x3C + 37 * ulIndex);
    for (std::uint32_t k = 0; k < 1024; ++k) {
        std::size_t uAt = static_cast<std::size_t>(ulIndex) * 1024 + k;
        std::uint8_t ucPlain = uAt < vucImage.size() ? vucImage[uAt] : static_cast<std::uint8_t>(k * 7);
        v.push_back(static_cast<std::uint8_t>(ucPlain ^ ucKey));
    }
    v.push_back(ucKey);
    return v;
}

void LinkTest::SetUp() {
    ASSERT_EQ(HidLinkReset(), 1) << "a reader thread of an earlier test is still alive";
    HidLinkSetTimeouts(HidLinkTimeouts{2000, 2000, kBoundMs, 5000});
    HidLinkSetPause(RecordPause);
    ClearPauses();
    SetHidHost(tHost_.Host());
}

void LinkTest::TearDown() {
    HidLinkShutdown(Res());
    EXPECT_EQ(HidLinkWaitReaderThreads(0, kBoundMs), 1) << "a reader thread outlived the shutdown";
    sim::SimHidHost::Stats t = tHost_.GetStats();
    EXPECT_EQ(t.ulBadCloses, 0u) << "a handle was closed twice";
    EXPECT_EQ(t.ulLiveWrites + t.ulLiveReads + t.ulLiveEvents + t.ulLiveProbes + t.ulLiveLists, 0u)
        << "a handle was left open";
    EXPECT_EQ(t.ulReadsInProgress, 0u);
    HidLinkSetPause(nullptr);
    HidLinkSetTimeouts(HidLinkDefaultTimeouts());
    HidLinkSetAwayNoticeMs(kTabletAwayNoticeMs);
    EXPECT_EQ(HidLinkReset(), 1);
    SetHidHost(nullptr);
}

std::shared_ptr<sim::VirtualTablet> LinkTest::AddTablet(sim::VirtualTablet::Config tConfig,
                                                        sim::SimHidHost::Where eWhere) {
    auto pt = std::make_shared<sim::VirtualTablet>(std::move(tConfig));
    tHost_.AddTablet(pt, eWhere);
    return pt;
}

void LinkTest::OpenLink() {
    ASSERT_EQ(DetectHidDevice(Res()), 0);
    ASSERT_EQ(DetectHidDevice(Res()), 1);
    ASSERT_TRUE(tHost_.WaitForReadsInProgress(1, kBoundMs));
}

bool LinkTest::WaitForLinkOpenedTimes(std::uint32_t ulTimes) {
    return WaitUntil([&] {
        return tHost_.GetStats().ulReadOpens >= ulTimes && bRedetecting.load() == 0 &&
               hReaderThread.load() != kInvalidHandle && tHost_.GetStats().ulReadsInProgress >= 1;
    });
}

}  // namespace linktest
