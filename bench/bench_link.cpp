// The upgrade over the virtual tablet with the USB link model: wall time against the physical bound,
// the main thread's CPU time, the link's receiver against a spinning one, the reply hand-off against a
// raw read loop, and the CRC work of one upgrade.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "device/confg_file.h"
#include "drbd/com_resource.h"
#include "drbd/drbd_frame.h"
#include "drbd/iap_commands.h"
#include "firmware/mcu_cipher_file.h"
#include "hidlink/hidlink.h"
#include "hidlink/hidlink_control.h"
#include "sim/sim_hid_host.h"
#include "sim/usb_link_timing.h"
#include "sim/virtual_tablet.h"

namespace {

using Clock = std::chrono::steady_clock;
using sim::TabletFirmware;
using sim::UsbLinkModel;
using sim::UsbSpeed;
using sim::VirtualTablet;

// Report lengths of the benchmarked vendor collection, report ID included, as the tablet declares them:
// 64-byte input reports (every reply fits) and 1088-byte output reports (the largest request, 1047
// bytes, behind its report ID, padded to whole 64-byte packets).
constexpr std::uint16_t kInputReportBytes = 64;
constexpr std::uint16_t kOutputReportBytes = 1088;
// Time the tablet is off the bus when it restarts; shorter than the program's 500 ms re-detection
// delay, so it is hidden in that delay.
constexpr std::uint32_t kRebootMs = 300;
constexpr std::uint32_t kImageBytes = 256 * 1024;
constexpr std::uint32_t kPackages = kImageBytes / 1024;
// Commands of an upgrade beside the packages, from the application: state, boot loader, start,
// version information.
constexpr std::uint32_t kOtherCommands = 4;
// The pauses the upgrade makes on purpose: 100 ms after IapStart, 500 ms before each of the two
// re-detections (after IapSetState and after the last package).
constexpr double kFixedPausesS = 0.1 + 0.5 + 0.5;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::vector<std::uint8_t> RandomImage(std::size_t n, unsigned uSeed) {
    std::vector<std::uint8_t> v(n);
    std::mt19937 rng(uSeed);
    for (auto& b : v) {
        b = static_cast<std::uint8_t>(rng());
    }
    return v;
}

// Sends what the program prints to /dev/null while it lives (the benchmark's own output stays clean).
class QuietStdout {
  public:
    QuietStdout() {
        std::fflush(stdout);
        iSaved_ = dup(1);
        int fd = open("/dev/null", O_WRONLY);
        dup2(fd, 1);
        close(fd);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(iSaved_, 1);
        close(iSaved_);
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

  private:
    int iSaved_ = -1;
};

// A 256 KiB image of random bytes and its McuCipherFile in a temporary directory, made once.
struct FirmwareFiles {
    FirmwareFiles() {
        dir = std::filesystem::temp_directory_path() / ("tavelo-bench-upgrade-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        plain = (dir / "plain.bin").string();
        cipher = (dir / "cipher.bin").string();
        image = RandomImage(kImageBytes, 7);
        std::ofstream(plain, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), image.size());
        ConfgFile tConfg;
        std::memset(&tConfg, 0, sizeof(tConfg));
        tConfg.hMcuVerFile = tConfg.hChecksumFile = tConfg.hMcuCipherFile = tConfg.hMcuClearVerFile =
            kInvalidHandle;
        std::strcpy(tConfg.strMcuVerFilePath, plain.c_str());
        std::strcpy(tConfg.strMcuCipherFilePath, cipher.c_str());
        QuietStdout q;
        EncodeMcuCipherFile(&tConfg);
    }
    ~FirmwareFiles() { std::filesystem::remove_all(dir); }
    std::filesystem::path dir;
    std::string plain;
    std::string cipher;
    std::vector<std::uint8_t> image;
};

FirmwareFiles& Firmware() {
    static FirmwareFiles tFiles;
    return tFiles;
}

// The program's working records, allocated and cleared as main does.
struct Records {
    explicit Records(const std::string& strCipher) {
        std::memset(com.get(), 0, sizeof(ComResource));
        com->hComPort = kInvalidHandle;
        std::memset(confg.get(), 0, sizeof(ConfgFile));
        confg->hMcuVerFile = confg->hChecksumFile = confg->hMcuCipherFile = confg->hMcuClearVerFile =
            kInvalidHandle;
        std::strcpy(confg->strMcuCipherFilePath, strCipher.c_str());
        std::memset(un.get(), 0, sizeof(PrtcDRBDCmdUnion));
    }
    std::unique_ptr<ComResource> com = std::make_unique<ComResource>();
    std::unique_ptr<ConfgFile> confg = std::make_unique<ConfgFile>();
    std::unique_ptr<PrtcDRBDCmdUnion> un = std::make_unique<PrtcDRBDCmdUnion>();
};

VirtualTablet::Config TabletConfig(TabletFirmware eStartIn) {
    VirtualTablet::Config c;
    c.iModelIndex = 0;
    c.usInputReportBytes = kInputReportBytes;
    c.usOutputReportBytes = kOutputReportBytes;
    c.eStartIn = eStartIn;
    c.ulRebootMs = kRebootMs;
    return c;
}

// A virtual tablet on the simulated host, with the HID link open on it.
struct Rig {
    explicit Rig(TabletFirmware eStartIn) : tablet(std::make_shared<VirtualTablet>(TabletConfig(eStartIn))) {
        host.AddTablet(tablet);
        SetHidHost(host.Host());
        for (int i = 0; i < 100 && !bOpen; ++i) {
            bOpen = DetectHidDevice(GetHidResource()) == 1;
        }
    }
    ~Rig() {
        HidLinkShutdown(GetHidResource());
        SetHidHost(nullptr);
        HidLinkReset();
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;
    sim::SimHidHost host;
    std::shared_ptr<VirtualTablet> tablet;
    bool bOpen = false;
};

// The package transfer phase of an upgrade: it starts when the first package request reaches the
// tablet (the timing hook, on the main thread) and ends at the main thread's first pause after it, the
// closing re-detection. Marks are written on the main thread only.
struct PhaseMarks {
    std::atomic<std::thread::id> tMain;
    bool bStarted = false;
    bool bEnded = false;
    Clock::time_point tStart;
    Clock::time_point tEnd;
    double dCpuStart = 0;
    double dCpuEnd = 0;
};
PhaseMarks g_tMarks;

void MarkingPause(std::uint32_t ulMs) {
    if (std::this_thread::get_id() == g_tMarks.tMain.load() && g_tMarks.bStarted && !g_tMarks.bEnded) {
        g_tMarks.tEnd = Clock::now();
        g_tMarks.dCpuEnd = ThreadCpuSeconds();
        g_tMarks.bEnded = true;
    }
    PlatformSleepMs(ulMs);
}

bool FlashHoldsImage(VirtualTablet& t, const std::vector<std::uint8_t>& image) {
    auto flash = t.Flash();
    return flash.size() >= image.size() && std::memcmp(flash.data(), image.data(), image.size()) == 0;
}

// One whole upgrade of a 256 KiB image, from the application, under the full-speed or the high-speed
// model. Wall time against the physical bound, for the package transfer and for the whole upgrade
// (whose bound adds the program's fixed pauses), and the main thread's CPU time in both.
void BM_Upgrade256KiB(benchmark::State& state, UsbSpeed eSpeed, std::chrono::microseconds tFlash) {
    FirmwareFiles& fw = Firmware();
    const UsbLinkModel tModel{eSpeed, tFlash};
    for (auto _ : state) {
        Rig rig(TabletFirmware::kApplication);
        if (!rig.bOpen) {
            state.SkipWithError("the virtual tablet was not found");
            break;
        }
        Records rec(fw.cipher);
        g_tMarks.tMain.store(std::this_thread::get_id());
        g_tMarks.bStarted = g_tMarks.bEnded = false;
        auto fnUsb = sim::UsbTimingHook(tModel);
        rig.tablet->SetTimingHook([fnUsb](const VirtualTablet::ExchangeInfo& t) {
            if (t.usCommand == sim::kCmdSendPackage && !g_tMarks.bStarted) {
                g_tMarks.bStarted = true;
                g_tMarks.tStart = Clock::now();
                g_tMarks.dCpuStart = ThreadCpuSeconds();
            }
            return fnUsb(t);
        });
        HidLinkSetPause(MarkingPause);
        const double dCpu0 = ThreadCpuSeconds();
        const Clock::time_point t0 = Clock::now();
        int iOk = 0;
        {
            QuietStdout q;
            iOk = IapUpgradeFirmware(rec.com.get(), rec.confg.get(), rec.un.get());
        }
        const Clock::time_point t1 = Clock::now();
        const double dCpu1 = ThreadCpuSeconds();
        HidLinkSetPause(nullptr);
        rig.tablet->SetTimingHook(nullptr);
        if (iOk != 1 || rig.tablet->FirmwareInstalls() != 1 || !FlashHoldsImage(*rig.tablet, fw.image) ||
            !g_tMarks.bEnded) {
            state.SkipWithError("the upgrade did not leave the image in the flash");
            break;
        }
        const double dWhole = Seconds(t1 - t0);
        const double dPhase = Seconds(g_tMarks.tEnd - g_tMarks.tStart);
        const double dPhaseBound =
            std::chrono::duration<double>(
                sim::UpgradeTransferBound(tModel, kOutputReportBytes, kInputReportBytes, kPackages))
                .count();
        const double dWholeBound =
            std::chrono::duration<double>(sim::UpgradeExchangesBound(tModel, kOutputReportBytes,
                                                                     kInputReportBytes, kPackages,
                                                                     kOtherCommands))
                .count() +
            kFixedPausesS;
        state.SetIterationTime(dWhole);
        state.counters["phase_s"] = dPhase;
        state.counters["phase_bound_s"] = dPhaseBound;
        state.counters["phase_ratio"] = dPhase / dPhaseBound;
        state.counters["whole_s"] = dWhole;
        state.counters["whole_bound_s"] = dWholeBound;
        state.counters["whole_ratio"] = dWhole / dWholeBound;
        state.counters["phase_cpu_share"] = (g_tMarks.dCpuEnd - g_tMarks.dCpuStart) / dPhase;
        state.counters["whole_cpu_share"] = (dCpu1 - dCpu0) / dWhole;
        state.counters["whole_cpu_s"] = dCpu1 - dCpu0;
    }
}
BENCHMARK_CAPTURE(BM_Upgrade256KiB, full_speed, UsbSpeed::kFull, sim::kDefaultFlashPerPackage)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Upgrade256KiB, high_speed, UsbSpeed::kHigh, sim::kDefaultFlashPerPackage)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Upgrade256KiB, high_bandwidth, UsbSpeed::kHighBandwidth, sim::kDefaultFlashPerPackage)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
// The link alone, without flash time: what the program adds to each exchange shows most here.
BENCHMARK_CAPTURE(BM_Upgrade256KiB, high_speed_no_flash, UsbSpeed::kHigh, std::chrono::microseconds(0))
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// A short request frame (IapGetState) built as the commands build it.
std::uint16_t BuildStateRequest(std::uint8_t* pucFrame) {
    const DrbdCmdCode tCmd = {0x0000, 0x0301, kIapCmdGetState};
    return DrbdBuildFrame(pucFrame, &tCmd, nullptr, 0);
}

// The link's receiver against a receiver that spins on the reply flag without pause (the baseline),
// both waiting for a slow tablet: 20 ms of work before each reply (high-speed link, so that nearly
// all of the wall time is spent waiting for the reply rather than blocked in the write).
void BM_ReceiverCpu(benchmark::State& state) {
    constexpr int kExchanges = 32;
    for (auto _ : state) {
        Rig rig(TabletFirmware::kBootLoader);
        if (!rig.bOpen) {
            state.SkipWithError("the virtual tablet was not found");
            break;
        }
        rig.tablet->SetTimingHook(
            sim::UsbTimingHook(UsbLinkModel{UsbSpeed::kHigh, sim::kDefaultFlashPerPackage}));
        rig.tablet->SetReplyDelayMs(20);
        HidResource* pt = GetHidResource();
        std::uint8_t aucTx[64];
        std::uint8_t aucRx[kRxCapacity];
        std::uint16_t usRxLen = 0;
        int iFailed = 0;

        double dCpu0 = ThreadCpuSeconds();
        Clock::time_point t0 = Clock::now();
        for (int k = 0; k < kExchanges; ++k) {
            std::uint16_t usLen = BuildStateRequest(aucTx);
            iFailed += LinkExchange(kInvalidHandle, usLen, aucTx, nullptr, kRxCapacity, aucRx, &usRxLen) != 0;
        }
        double dCpu1 = ThreadCpuSeconds();
        Clock::time_point t1 = Clock::now();
        for (int k = 0; k < kExchanges; ++k) {
            std::uint16_t usLen = BuildStateRequest(aucTx);
            HidSendFrame(pt, aucTx, usLen);
            // Baseline only: poll the flag without pause (bounded, so a lost reply cannot hang the run).
            const Clock::time_point tLimit = Clock::now() + std::chrono::seconds(2);
            while (pt->bReplyReady.load(std::memory_order_acquire) == 0 && Clock::now() < tLimit) {
            }
            iFailed += HidReceiveFrame(pt, aucRx, kRxCapacity, &usRxLen) != 1;
        }
        double dCpu2 = ThreadCpuSeconds();
        Clock::time_point t2 = Clock::now();
        if (iFailed != 0) {
            state.SkipWithError("an exchange got no reply");
            break;
        }
        state.SetIterationTime(Seconds(t1 - t0));
        state.counters["link_cpu_share"] = (dCpu1 - dCpu0) / Seconds(t1 - t0);
        state.counters["spin_cpu_share"] = (dCpu2 - dCpu1) / Seconds(t2 - t1);
    }
}
BENCHMARK(BM_ReceiverCpu)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// The vendor interface's device path on a host, or an empty string.
std::string VendorPath(const HidHost* ptHost) {
    std::string strPath;
    PlatformHandle hList = ptHost->ListOpen(ptHost->pvCtx);
    for (std::uint32_t i = 0; strPath.empty() && ptHost->ListEntry(ptHost->pvCtx, hList, i) != 0; ++i) {
        char acPath[256];
        if (ptHost->ListPath(ptHost->pvCtx, hList, i, acPath, sizeof(acPath)) == 0) {
            continue;
        }
        PlatformHandle hProbe = ptHost->ProbeOpen(ptHost->pvCtx, acPath);
        HidCaps tCaps{};
        if (hProbe != kInvalidHandle && ptHost->ProbeCaps(ptHost->pvCtx, hProbe, &tCaps) != 0 &&
            tCaps.Usage == kVendorUsage && tCaps.UsagePage == kVendorUsagePage) {
            strPath = acPath;
        }
        if (hProbe != kInvalidHandle) {
            ptHost->Close(ptHost->pvCtx, hProbe);
        }
    }
    ptHost->ListClose(ptHost->pvCtx, hList);
    return strPath;
}

double Percentile(std::vector<double> v, double dQ) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    std::size_t k = static_cast<std::size_t>(dQ * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(k, v.size() - 1)];
}

// From an input report's arrival at the host (the moment the tablet makes it readable) to the waiting
// command holding the reply: through the link (reader thread, then the command in LinkExchange) and
// through a raw read loop (the same host read on the calling thread, no hand-off). The two alternate in
// blocks, on two tablets, so that both see the same machine.
void BM_ReplyHandoff(benchmark::State& state) {
    const std::chrono::microseconds tReply(state.range(0));
    constexpr int kBlocks = 20;
    constexpr int kPerBlock = 50;
    auto fnHook = [tReply](const VirtualTablet::ExchangeInfo&) {
        VirtualTablet::ExchangeTiming t;
        t.tReply = tReply;
        return t;
    };
    for (auto _ : state) {
        // The raw side: its own host, not the link's, with handles opened here.
        sim::SimHidHost tRawHost;
        auto ptRawTablet = std::make_shared<VirtualTablet>(TabletConfig(TabletFirmware::kBootLoader));
        tRawHost.AddTablet(ptRawTablet);
        ptRawTablet->SetTimingHook(fnHook);
        const HidHost* ptRaw = tRawHost.Host();
        std::string strPath = VendorPath(ptRaw);
        PlatformHandle hWrite = ptRaw->OpenWrite(ptRaw->pvCtx, strPath.c_str());
        PlatformHandle hRead = ptRaw->OpenRead(ptRaw->pvCtx, strPath.c_str());
        PlatformHandle hEvent = ptRaw->EventCreate(ptRaw->pvCtx);

        Rig rig(TabletFirmware::kBootLoader);
        rig.tablet->SetTimingHook(fnHook);
        if (!rig.bOpen || hWrite == kInvalidHandle || hRead == kInvalidHandle) {
            state.SkipWithError("the virtual tablets were not found");
            break;
        }
        std::vector<double> vRaw;
        std::vector<double> vLink;
        std::vector<std::uint8_t> vucReport(kOutputReportBytes, 0);
        std::uint8_t aucTx[64];
        std::uint8_t aucRx[kRxCapacity];
        std::uint16_t usRxLen = 0;
        int iFailed = 0;
        double dBusy = 0;
        for (int b = 0; b < kBlocks; ++b) {
            for (int k = 0; k < kPerBlock; ++k) {
                vucReport[0] = kHidOutputReportId;
                std::uint16_t usLen = BuildStateRequest(vucReport.data() + 1);
                (void)usLen;
                std::uint32_t ulDone = 0;
                Clock::time_point tw = Clock::now();
                ptRaw->Write(ptRaw->pvCtx, hWrite, vucReport.data(), kOutputReportBytes, &ulDone);
                std::uint32_t ulGot = 0;
                iFailed += ptRaw->Read(ptRaw->pvCtx, hRead, hEvent, aucRx, kInputReportBytes, &ulGot) != 1;
                Clock::time_point tTaken = Clock::now();
                vRaw.push_back(
                    std::chrono::duration<double, std::micro>(tTaken - ptRawTablet->LastReplyDue()).count());
                dBusy += Seconds(tTaken - tw);
            }
            for (int k = 0; k < kPerBlock; ++k) {
                std::uint16_t usLen = BuildStateRequest(aucTx);
                Clock::time_point tw = Clock::now();
                iFailed +=
                    LinkExchange(kInvalidHandle, usLen, aucTx, nullptr, kRxCapacity, aucRx, &usRxLen) != 0;
                Clock::time_point tTaken = Clock::now();
                vLink.push_back(
                    std::chrono::duration<double, std::micro>(tTaken - rig.tablet->LastReplyDue()).count());
                dBusy += Seconds(tTaken - tw);
            }
        }
        ptRaw->Close(ptRaw->pvCtx, hEvent);
        ptRaw->Close(ptRaw->pvCtx, hRead);
        ptRaw->Close(ptRaw->pvCtx, hWrite);
        if (iFailed != 0) {
            state.SkipWithError("an exchange got no reply");
            break;
        }
        state.SetIterationTime(dBusy);
        state.counters["raw_median_us"] = Percentile(vRaw, 0.5);
        state.counters["raw_p99_us"] = Percentile(vRaw, 0.99);
        state.counters["link_median_us"] = Percentile(vLink, 0.5);
        state.counters["link_p99_us"] = Percentile(vLink, 0.99);
        state.counters["median_ratio"] = Percentile(vLink, 0.5) / Percentile(vRaw, 0.5);
    }
}
BENCHMARK(BM_ReplyHandoff)
    ->ArgName("reply_us")
    ->Arg(1000)
    ->Arg(250)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The floor the simulation itself sets: the 256 package reports of an upgrade written and their
// replies read straight through the host, on the calling thread, with no link, no file and no
// progress line. Its distance to the bound is the simulated link's own (sleeps that end late); the
// upgrade's distance to this floor is what the program adds.
void BM_RawPackageLoop(benchmark::State& state, UsbSpeed eSpeed, std::chrono::microseconds tFlash) {
    const UsbLinkModel tModel{eSpeed, tFlash};
    for (auto _ : state) {
        sim::SimHidHost tHost;
        auto ptTablet = std::make_shared<VirtualTablet>(TabletConfig(TabletFirmware::kBootLoader));
        tHost.AddTablet(ptTablet);
        ptTablet->SetTimingHook(sim::UsbTimingHook(tModel));
        const HidHost* ptRaw = tHost.Host();
        std::string strPath = VendorPath(ptRaw);
        PlatformHandle hWrite = ptRaw->OpenWrite(ptRaw->pvCtx, strPath.c_str());
        PlatformHandle hRead = ptRaw->OpenRead(ptRaw->pvCtx, strPath.c_str());
        PlatformHandle hEvent = ptRaw->EventCreate(ptRaw->pvCtx);
        std::vector<std::uint8_t> vucReport(kOutputReportBytes, 0x5A);
        std::uint8_t aucRx[kInputReportBytes];
        int iFailed = 0;
        const Clock::time_point t0 = Clock::now();
        for (std::uint32_t k = 0; k < kPackages; ++k) {
            vucReport[0] = kHidOutputReportId;
            const DrbdCmdCode tCmd = {0x0000, 0x0301, kIapCmdSendPackage};
            DrbdBuildFrame(vucReport.data() + 1, &tCmd, nullptr, 7 + 1025);
            std::uint32_t ulDone = 0;
            std::uint32_t ulGot = 0;
            iFailed += ptRaw->Write(ptRaw->pvCtx, hWrite, vucReport.data(), kOutputReportBytes, &ulDone) != 1;
            iFailed += ptRaw->Read(ptRaw->pvCtx, hRead, hEvent, aucRx, kInputReportBytes, &ulGot) != 1;
        }
        const Clock::time_point t1 = Clock::now();
        ptRaw->Close(ptRaw->pvCtx, hEvent);
        ptRaw->Close(ptRaw->pvCtx, hRead);
        ptRaw->Close(ptRaw->pvCtx, hWrite);
        if (iFailed != 0) {
            state.SkipWithError("an exchange failed");
            break;
        }
        const double dBound =
            std::chrono::duration<double>(
                sim::UpgradeTransferBound(tModel, kOutputReportBytes, kInputReportBytes, kPackages))
                .count();
        state.SetIterationTime(Seconds(t1 - t0));
        state.counters["raw_s"] = Seconds(t1 - t0);
        state.counters["raw_ratio"] = Seconds(t1 - t0) / dBound;
    }
}
BENCHMARK_CAPTURE(BM_RawPackageLoop, full_speed, UsbSpeed::kFull, sim::kDefaultFlashPerPackage)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_RawPackageLoop, high_speed, UsbSpeed::kHigh, sim::kDefaultFlashPerPackage)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_RawPackageLoop, high_bandwidth, UsbSpeed::kHighBandwidth, sim::kDefaultFlashPerPackage)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_RawPackageLoop, high_speed_no_flash, UsbSpeed::kHigh, std::chrono::microseconds(0))
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// The CRC work the program does in one upgrade of a 256 KiB image from the application: the image
// check of the firmware file before the tablet is touched, every request frame it builds (four short
// commands and 256 packages of 1047 bytes) and every reply it checks.
void BM_CrcOfOneUpgrade(benchmark::State& state) {
    auto image = RandomImage(kImageBytes, 3);
    std::uint32_t ulSum = 0;
    for (auto _ : state) {
        ulSum += DrbdCrc16(image.data(), kImageBytes);
        // Short requests: state (15 bytes), boot loader (16), start (15), version info (23); their
        // replies: 18 bytes for the state, 17 for the others.
        for (std::uint32_t ulFrame : {15u, 16u, 15u, 23u}) {
            ulSum += DrbdCrc16(image.data(), ulFrame - 2);
        }
        for (std::uint32_t ulReply : {18u, 17u, 17u, 17u}) {
            ulSum += DrbdCrc16(image.data() + 64, ulReply - 2);
        }
        for (std::uint32_t k = 0; k < kPackages; ++k) {
            ulSum += DrbdCrc16(image.data() + k * 1024 / 2, 1047 - 2);
            ulSum += DrbdCrc16(image.data() + k, 17 - 2);
        }
        benchmark::DoNotOptimize(ulSum);
    }
}
BENCHMARK(BM_CrcOfOneUpgrade)->Unit(benchmark::kMicrosecond);

}  // namespace
