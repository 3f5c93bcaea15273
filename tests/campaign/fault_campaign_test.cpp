// Fault campaign: the whole program (TaveloIapMain) upgrades a virtual tablet again and again. In each
// round the first upgrade meets one fault drawn at random from the tablet's knobs, and the same program
// run then makes a clean upgrade. After every round:
// - nothing hung: a watchdog ends the process when a round outlives its deadline;
// - the faulted command printed its status line, and no failure was reported as success: "Finish" is
//   shown only for an image the tablet installed, and that image is the one that was checked;
// - the tablet only ever received its own image (every package it took is the file's record), also when
//   another model takes the first one's place: it is flashed with its own firmware file;
// - the clean upgrade left exactly the image in the tablet's flash;
// - no reader thread, host handle, thread, descriptor or allocation is left behind.
// A second test sweeps instead of sampling: every command of a small upgrade answered late by half, one,
// two and three reply limits, with the image refused after it.
//
// Environment: TAVELO_CAMPAIGN_ROUNDS (default 14, one round per kind of fault),
// TAVELO_CAMPAIGN_SECONDS (no round starts after this many seconds; default 45),
// TAVELO_CAMPAIGN_SEED (default 1; printed, so that a failing round can be replayed),
// TAVELO_RECORD_DIR (each round's run is written there as an exchange record, campaign-S-R.log, for
// tests/replay).
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/app_main.h"
#include "device/confg_file.h"
#include "device/device_table.h"
#include "drbd/drbd_frame.h"
#include "firmware/mcu_cipher_file.h"
#include "hidlink/hidlink.h"
#include "hidlink/hidlink_control.h"
#include "platform/os.h"
#include "sim/exchange_record.h"
#include "sim/sim_hid_host.h"
#include "sim/virtual_tablet.h"
#include "support/capture_stdout.h"
#include "support/link_pause.h"
#include "support/stdin_feed.h"
#include "version.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer runtime's count of heap bytes in use (declared here: GCC ships no header for it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#define TAVELO_SANITIZER_HEAP 1
#endif

// ---- Allocation count -----------------------------------------------------------------------------------
// Every operator new of the process is counted here. The C heap is counted by the sanitizer's allocator
// in sanitizer builds, and otherwise by counting wrappers around the C library's allocator.

namespace {
std::atomic<long long> g_llLiveNews{0};
std::atomic<long long> g_llLiveMallocs{0};

void* CountedAlloc(std::size_t sz) {
    void* pv = std::malloc(sz != 0 ? sz : 1);
    if (pv != nullptr) {
        g_llLiveNews.fetch_add(1, std::memory_order_relaxed);
    }
    return pv;
}
void CountedFree(void* pv) {
    if (pv != nullptr) {
        g_llLiveNews.fetch_sub(1, std::memory_order_relaxed);
        std::free(pv);
    }
}
}  // namespace

void* operator new(std::size_t sz) {
    void* pv = CountedAlloc(sz);
    if (pv == nullptr) {
        throw std::bad_alloc();
    }
    return pv;
}
void* operator new[](std::size_t sz) {
    void* pv = CountedAlloc(sz);
    if (pv == nullptr) {
        throw std::bad_alloc();
    }
    return pv;
}
void* operator new(std::size_t sz, const std::nothrow_t&) noexcept {
    return CountedAlloc(sz);
}
void* operator new[](std::size_t sz, const std::nothrow_t&) noexcept {
    return CountedAlloc(sz);
}
void operator delete(void* pv) noexcept {
    CountedFree(pv);
}
void operator delete[](void* pv) noexcept {
    CountedFree(pv);
}
void operator delete(void* pv, std::size_t) noexcept {
    CountedFree(pv);
}
void operator delete[](void* pv, std::size_t) noexcept {
    CountedFree(pv);
}
void operator delete(void* pv, const std::nothrow_t&) noexcept {
    CountedFree(pv);
}
void operator delete[](void* pv, const std::nothrow_t&) noexcept {
    CountedFree(pv);
}

#if !defined(TAVELO_SANITIZER_HEAP) && defined(__GLIBC__)
// The C library's allocator under its own names; the wrappers below count live blocks around it.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t sz) {
    void* pv = __libc_malloc(sz);
    if (pv != nullptr) {
        g_llLiveMallocs.fetch_add(1, std::memory_order_relaxed);
    }
    return pv;
}
void* calloc(std::size_t n, std::size_t sz) {
    void* pv = __libc_calloc(n, sz);
    if (pv != nullptr) {
        g_llLiveMallocs.fetch_add(1, std::memory_order_relaxed);
    }
    return pv;
}
void* realloc(void* pvOld, std::size_t sz) {
    void* pv = __libc_realloc(pvOld, sz);
    if (pvOld == nullptr && pv != nullptr) {
        g_llLiveMallocs.fetch_add(1, std::memory_order_relaxed);
    } else if (pvOld != nullptr && sz == 0 && pv == nullptr) {
        g_llLiveMallocs.fetch_sub(1, std::memory_order_relaxed);  // realloc(p, 0) freed p
    }
    return pv;
}
void* memalign(std::size_t al, std::size_t sz) {
    void* pv = __libc_memalign(al, sz);
    if (pv != nullptr) {
        g_llLiveMallocs.fetch_add(1, std::memory_order_relaxed);
    }
    return pv;
}
void* aligned_alloc(std::size_t al, std::size_t sz) {
    return memalign(al, sz);
}
int posix_memalign(void** ppv, std::size_t al, std::size_t sz) {
    void* pv = memalign(al, sz);
    if (pv == nullptr) {
        return ENOMEM;
    }
    *ppv = pv;
    return 0;
}
void free(void* pv) {
    if (pv != nullptr) {
        g_llLiveMallocs.fetch_sub(1, std::memory_order_relaxed);
        __libc_free(pv);
    }
}
}
#endif

namespace {

using sim::TabletFault;
using sim::TabletFirmware;
using sim::VirtualTablet;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kReplyTimeoutMs = 400;
constexpr std::uint32_t kLinkIdleTimeoutMs = 600;
// How long a tablet of the late-answer rounds takes over each request.
constexpr std::uint32_t kReplyDelayMs = 20;
constexpr std::uint32_t kRoundDeadlineS = 90;

const std::string kPrompt = "[Tavelo IAP]: Please choose：";
const std::string kFailLine = "[Tavelo IAP]: IAP应用流程 |-> 传输本文件错误\r\n";
const std::string kStatusLine = "[Tavelo IAP]:  <- ServerResponseStatus is ";
const std::string kFinish = "[100.00%][Finish]";

std::uint32_t EnvOr(const char* strName, std::uint32_t ulDefault) {
    const char* str = std::getenv(strName);
    return str != nullptr && *str != '\0' ? static_cast<std::uint32_t>(std::strtoul(str, nullptr, 10))
                                          : ulDefault;
}

// The link's pauses at a fifth of their length, so that a round takes about a second.
constexpr std::uint32_t kPauseDivisor = 5;

// ---- What a round leaves behind ---------------------------------------------------------------------

std::size_t CountDirEntries(const char* strDir) {
    std::size_t n = 0;
    if (DIR* pd = opendir(strDir)) {
        while (dirent* pe = readdir(pd)) {
            n += pe->d_name[0] != '.' ? 1 : 0;
        }
        closedir(pd);
    }
    return n;
}

// Bytes in use on the sanitizer's heap, or blocks in use on the C library's heap.
long long HeapInUse() {
#ifdef TAVELO_SANITIZER_HEAP
    return static_cast<long long>(__sanitizer_get_current_allocated_bytes());
#else
    return g_llLiveMallocs.load();
#endif
}

struct Footprint {
    std::size_t szThreads = 0;
    std::size_t szFds = 0;
    long long llNews = 0;
    long long llHeap = 0;
    bool operator==(const Footprint&) const = default;
};

Footprint TakeFootprint() {
    Footprint t;
    t.szThreads = CountDirEntries("/proc/self/task");
    t.szFds = CountDirEntries("/proc/self/fd");
    t.llNews = g_llLiveNews.load();
    t.llHeap = HeapInUse();
    return t;
}

// A reader thread that the shutdown released rather than joined may still be on its way out: wait
// (bounded) until the footprint is back to tBefore.
Footprint SettledFootprint(const Footprint& tBefore) {
    Footprint t = TakeFootprint();
    for (int i = 0; i < 300 && !(t == tBefore); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        t = TakeFootprint();
    }
    return t;
}

// ---- Faults -------------------------------------------------------------------------------------------

enum class FaultKind {
    kBadCrc,
    kStatus,
    kNoReply,
    kShortReport,
    kWrongReportId,
    kLeaveBus,
    kSlowWithinTimeout,
    kSlowBeyondTimeout,
    kForeignDevice,
    kLateInOrder,         // a tablet answering in order; a command before the packages answered too late
    kWriteStall,          // the tablet's OUT endpoint stops accepting for a while
    kRejectedAfterShift,  // a late answer before the packages, then the image check rejects the image
    kFileChanged,         // the firmware file is removed, replaced or cut once the check has read it
    kModelChange,         // another model takes the tablet's place when it restarts (ulValue: its model)
    kCount
};

const char* KindName(FaultKind e) {
    static const char* const kNames[] = {"bad CRC",
                                         "error status",
                                         "no reply",
                                         "short report",
                                         "wrong report ID",
                                         "leaves the bus",
                                         "slow answer",
                                         "answer too late",
                                         "foreign device",
                                         "answer too late, in order, before the packages",
                                         "write stall",
                                         "late answer before the packages, image rejected",
                                         "file changed after the check",
                                         "another model plugged in"};
    return kNames[static_cast<int>(e)];
}

struct RoundPlan {
    std::uint32_t ulRound = 0;
    FaultKind eKind = FaultKind::kBadCrc;
    TabletFirmware eStartIn = TabletFirmware::kApplication;
    std::size_t szImage = 0;
    std::uint32_t ulRebootMs = 0;
    std::uint32_t ulAtFrame = 0;    // frame of the first upgrade the fault hits
    std::uint16_t usCommand = 0;    // command of that frame
    std::uint32_t ulValue = 0;      // status, report length or delay of the fault
    std::uint32_t ulLastFrame = 0;  // the last package's frame (a rejected image)
    std::uint32_t ulForeignAfterMs = 0;
    bool bForeignFront = false;
    bool bForeignVendorLike = false;
    bool bPerWrite = false;  // a late answer from a tablet that times each reply from its own write
    std::uint32_t ulReplyMs = kReplyTimeoutMs;  // the link's reply limit and idle wait in this round
    std::uint32_t ulLinkIdleMs = kLinkIdleTimeoutMs;
    std::uint32_t ulEraseMs = 0;  // how long the tablet takes over IapStart
    bool bUserWaits = false;      // the clean upgrade is chosen once the tablet has answered all
};

// Commands of one upgrade of szImage bytes, in order.
std::vector<std::uint16_t> UpgradeCommands(TabletFirmware eStartIn, std::size_t szImage) {
    std::vector<std::uint16_t> v = {sim::kCmdGetState};
    if (eStartIn == TabletFirmware::kApplication) {
        v.push_back(sim::kCmdSetState);
    }
    v.push_back(sim::kCmdStart);
    v.push_back(sim::kCmdSendVersionFileInfo);
    for (std::size_t k = 0; k < (szImage + 1023) / 1024; ++k) {
        v.push_back(sim::kCmdSendPackage);
    }
    return v;
}

RoundPlan DrawRound(std::mt19937& rng, std::uint32_t ulRound, std::uint32_t ulKindOffset) {
    auto pick = [&rng](std::uint32_t lo, std::uint32_t hi) {
        return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
    };
    RoundPlan t;
    t.ulRound = ulRound;
    t.eKind =
        static_cast<FaultKind>((ulRound + ulKindOffset) % static_cast<std::uint32_t>(FaultKind::kCount));
    t.eStartIn = pick(0, 2) == 0 ? TabletFirmware::kBootLoader : TabletFirmware::kApplication;
    // 1 to 12 packages; now and then an exact number of KiB.
    t.szImage = pick(0, 3) == 0 ? pick(1, 12) * 1024u : pick(1, 12 * 1024);
    t.ulRebootMs = pick(20, 80);
    std::vector<std::uint16_t> vCommands = UpgradeCommands(t.eStartIn, t.szImage);
    t.ulAtFrame = pick(1, static_cast<std::uint32_t>(vCommands.size()));
    t.usCommand = vCommands[t.ulAtFrame - 1];
    switch (t.eKind) {
        case FaultKind::kStatus: {
            static const std::uint32_t kStatuses[] = {1, 5, 6, 7, 8, 9, 11, 12};
            t.ulValue = kStatuses[pick(0, 7)];
            break;
        }
        case FaultKind::kShortReport:
            t.ulValue = pick(0, 40);  // 0: one byte short
            break;
        case FaultKind::kWrongReportId:
            t.ulValue = pick(0, 1) == 0 ? 0u : pick(0, 0xFB);  // 0: 0xFB
            break;
        case FaultKind::kLeaveBus:
            t.ulValue = pick(20, 300);
            break;
        case FaultKind::kSlowWithinTimeout:
            t.ulValue = pick(10, 100);
            break;
        case FaultKind::kSlowBeyondTimeout:
            t.ulValue = kReplyTimeoutMs + pick(100, 400);
            break;
        case FaultKind::kLateInOrder: {
            // One of the commands before the package loop, late but within the time the next command
            // gives it. A late IapStart or IapSendVersionFileInfo ends the upgrade before any package.
            std::vector<std::uint32_t> vFrames;
            for (std::uint32_t k = 0; k < vCommands.size(); ++k) {
                const std::uint16_t us = vCommands[k];
                if (us == sim::kCmdStart || us == sim::kCmdSendVersionFileInfo || us == sim::kCmdGetState) {
                    vFrames.push_back(k + 1);
                }
            }
            t.ulAtFrame = vFrames[pick(0, static_cast<std::uint32_t>(vFrames.size()) - 1)];
            t.usCommand = vCommands[t.ulAtFrame - 1];
            t.ulValue = kReplyTimeoutMs + pick(50, 250);
            break;
        }
        case FaultKind::kRejectedAfterShift: {
            // A tablet in its boot loader answers IapGetState late: the upgrade goes on (no IapSetState),
            // so a reply taken for the wrong command would stay shifted through the packages and the
            // verdict on the last one would never be read.
            t.eStartIn = TabletFirmware::kBootLoader;
            vCommands = UpgradeCommands(t.eStartIn, t.szImage);
            t.ulAtFrame = 1;
            t.usCommand = vCommands[0];
            t.ulValue = kReplyTimeoutMs + pick(50, 250);
            t.ulLastFrame = static_cast<std::uint32_t>(vCommands.size());
            break;
        }
        case FaultKind::kWriteStall:
            t.ulValue = pick(20, 300);
            break;
        case FaultKind::kFileChanged:
            t.ulValue = pick(0, 2);  // 0 removed, 1 replaced by another sound file, 2 cut short
            break;
        case FaultKind::kModelChange:
            t.ulValue = pick(1, kDeviceTableRows - 1);
            break;
        case FaultKind::kForeignDevice:
            t.ulForeignAfterMs = pick(0, 300);
            t.bForeignFront = pick(0, 1) == 1;
            t.bForeignVendorLike = pick(0, 1) == 1;
            break;
        default:
            break;
    }
    return t;
}

std::string Describe(const RoundPlan& t) {
    char acBuf[256];
    std::snprintf(acBuf, sizeof(acBuf),
                  "round %u: %s at frame %u (command 0x%04X, value %u), %zu-byte image, tablet in its %s",
                  t.ulRound, KindName(t.eKind), t.ulAtFrame, t.usCommand, t.ulValue, t.szImage,
                  t.eStartIn == TabletFirmware::kApplication ? "application" : "boot loader");
    return acBuf;
}

// The status name the faulted command prints, or empty for faults that need not fail a command.
std::string ExpectedStatus(const RoundPlan& t) {
    switch (t.eKind) {
        case FaultKind::kBadCrc:
            return "E_PrtcDRBD_RspRet_Err_CrcCheck";
        case FaultKind::kStatus:
            return ResponseStatusTable[t.ulValue].strName;
        case FaultKind::kNoReply:
        case FaultKind::kShortReport:
        case FaultKind::kWrongReportId:
        case FaultKind::kLeaveBus:
        case FaultKind::kSlowBeyondTimeout:
        case FaultKind::kLateInOrder:
        case FaultKind::kWriteStall:
            return "E_PrtcDRBD_RspRet_Err_RecvTimeOut";
        case FaultKind::kRejectedAfterShift:
            // An answer late within the time limit leaves the refusal to be read.
            return t.ulValue + (t.usCommand == sim::kCmdStart ? t.ulEraseMs : 0) + kReplyDelayMs < t.ulReplyMs
                       ? ResponseStatusTable[sim::kStatusDevOpt].strName
                       : "E_PrtcDRBD_RspRet_Err_RecvTimeOut";
        default:
            return "";
    }
}

TabletFault::Kind TabletKind(FaultKind e) {
    switch (e) {
        case FaultKind::kBadCrc:
            return TabletFault::Kind::kBadCrc;
        case FaultKind::kStatus:
            return TabletFault::Kind::kStatus;
        case FaultKind::kNoReply:
            return TabletFault::Kind::kNoReply;
        case FaultKind::kShortReport:
            return TabletFault::Kind::kShortReport;
        case FaultKind::kWrongReportId:
            return TabletFault::Kind::kWrongReportId;
        case FaultKind::kLeaveBus:
            return TabletFault::Kind::kLeaveBus;
        case FaultKind::kWriteStall:
            return TabletFault::Kind::kWriteStall;
        default:
            return TabletFault::Kind::kSlowReply;
    }
}

std::size_t Count(const std::string& s, const std::string& strWhat) {
    std::size_t n = 0;
    for (std::size_t p = s.find(strWhat); p != std::string::npos; p = s.find(strWhat, p + 1)) {
        ++n;
    }
    return n;
}

// ---- Watchdog -------------------------------------------------------------------------------------------

// Ends the process when a round outlives its deadline: a hang is a failure that must not stall CI.
class Watchdog {
  public:
    Watchdog() : tThread_([this] { Run(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lk(tMutex_);
            bQuit_ = true;
        }
        tCv_.notify_all();
        tThread_.join();
    }
    void Arm(const std::string& strWhat, std::chrono::seconds tLimit) {
        std::lock_guard<std::mutex> lk(tMutex_);
        std::snprintf(acWhat_, sizeof(acWhat_), "%s", strWhat.c_str());
        tDeadline_ = Clock::now() + tLimit;
        bArmed_ = true;
        tCv_.notify_all();
    }
    void Disarm() {
        std::lock_guard<std::mutex> lk(tMutex_);
        bArmed_ = false;
    }

  private:
    void Run() {
        std::unique_lock<std::mutex> lk(tMutex_);
        while (!bQuit_) {
            if (bArmed_ && Clock::now() >= tDeadline_) {
                std::fprintf(stderr, "\nfault campaign: HANG in %s\n", acWhat_);
                std::fflush(stderr);
                std::abort();
            }
            tCv_.wait_for(lk, std::chrono::milliseconds(200));
        }
    }
    std::mutex tMutex_;
    std::condition_variable tCv_;
    bool bQuit_ = false;
    bool bArmed_ = false;
    Clock::time_point tDeadline_;
    char acWhat_[256] = {};
    std::thread tThread_;
};

// ---- The campaign ---------------------------------------------------------------------------------------

class FaultCampaign : public ::testing::Test {
  protected:
    void SetUp() override {
        DivideLinkPauses(kPauseDivisor);
        char strDir[kPathFieldBytes];
        wchar_t wstrDir[kWidePathFieldChars];
        ASSERT_EQ(GetExeDirectory(strDir, wstrDir), 1);
        dir_ = strDir;
        plain_ = dir_ + "Tavelo-KT1.bin";
        cipher_ = dir_ + "Tavelo-KT1-Cipher.bin";
    }
    void TearDown() override {
        DivideLinkPauses(1);
        HidLinkSetTimeouts(HidLinkDefaultTimeouts());
        std::filesystem::remove(plain_);
        std::filesystem::remove(cipher_);
        for (int i = 0; i < kDeviceTableRows; ++i) {
            std::filesystem::remove(dir_ + DeviceTable[i].strMcuVerFileName);
            std::filesystem::remove(dir_ + DeviceTable[i].strMcuCipherFileName);
        }
    }

    // Writes a plain image of random bytes and its McuCipherFile next to the program, under the names of
    // model iModel.
    std::vector<std::uint8_t> MakeFirmware(std::size_t szBytes, std::mt19937& rng, int iModel = 0) {
        std::vector<std::uint8_t> image(szBytes);
        for (auto& b : image) {
            b = static_cast<std::uint8_t>(rng());
        }
        const std::string plain = dir_ + DeviceTable[iModel].strMcuVerFileName;
        std::ofstream(plain, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        auto ptConfg = std::make_unique<ConfgFile>();
        std::memset(ptConfg.get(), 0, sizeof(ConfgFile));
        ptConfg->hMcuVerFile = ptConfg->hChecksumFile = kInvalidHandle;
        ptConfg->hMcuCipherFile = ptConfg->hMcuClearVerFile = kInvalidHandle;
        std::strcpy(ptConfg->strMcuVerFilePath, plain.c_str());
        std::strcpy(ptConfg->strMcuCipherFilePath, (dir_ + DeviceTable[iModel].strMcuCipherFileName).c_str());
        StdoutCapture quiet;  // the encoder's own line
        EncodeMcuCipherFile(ptConfg.get());
        quiet.Finish();
        return image;
    }

    // One round: a program run of two upgrades (the first one faulted) and the exit.
    void RunRound(const RoundPlan& plan, std::mt19937& rng);

    std::uint32_t ulSeed_ = 1;

    std::string dir_;
    std::string plain_;
    std::string cipher_;
};

void FaultCampaign::RunRound(const RoundPlan& plan, std::mt19937& rng) {
    SCOPED_TRACE(Describe(plan));
    HidLinkTimeouts tLimits = HidLinkDefaultTimeouts();
    tLimits.ulReplyMs = plan.ulReplyMs;
    tLimits.ulLinkIdleMs = plan.ulLinkIdleMs;
    tLimits.ulRedetectWaitMs = 5000;
    tLimits.ulShutdownMs = 2000;
    HidLinkSetTimeouts(tLimits);
    sim::SimHidHost host;
    // Whatever way the round ends, the link is off this host before the host goes.
    struct HostGuard {
        ~HostGuard() {
            SetHidHost(nullptr);
            HidLinkReset();
        }
    } tGuard;
    VirtualTablet::Config c;
    c.iModelIndex = 0;
    c.eStartIn = plan.eStartIn;
    c.ulRebootMs = plan.ulRebootMs;
    // A tablet that answers in order and takes a while over each request: a late answer holds up every
    // later one, so a reply taken for the wrong command stays shifted.
    const bool bInOrder =
        (plan.eKind == FaultKind::kLateInOrder || plan.eKind == FaultKind::kRejectedAfterShift) &&
        !plan.bPerWrite;
    c.bInOrderReplies = bInOrder;
    auto tablet = std::make_shared<VirtualTablet>(c);
    if (bInOrder || plan.bPerWrite) {
        tablet->SetReplyDelayMs(kReplyDelayMs);
    }
    // Another model in the first one's place cannot be replayed from one tablet's record.
    const char* strRecordDir = std::getenv("TAVELO_RECORD_DIR");
    const bool bRecord =
        strRecordDir != nullptr && *strRecordDir != '\0' && plan.eKind != FaultKind::kModelChange;
    if (bRecord) {
        tablet->StartRecording();
    }
    const int iTabletId = host.AddTablet(tablet);
    SetHidHost(host.Host());
    const std::vector<std::uint8_t> image = MakeFirmware(plan.szImage, rng);

    // The tablet the clean upgrade flashes, and the image it must get: another model, with a file of its
    // own, when that model takes the first tablet's place as it restarts.
    std::shared_ptr<VirtualTablet> secondTablet = tablet;
    std::vector<std::uint8_t> secondImage = image;
    const bool bModelChange = plan.eKind == FaultKind::kModelChange;
    if (bModelChange) {
        VirtualTablet::Config c2 = c;
        c2.iModelIndex = static_cast<int>(plan.ulValue);
        c2.eStartIn = TabletFirmware::kApplication;
        secondTablet = std::make_shared<VirtualTablet>(c2);
        secondImage = MakeFirmware(plan.szImage % 5000 + 700, rng, c2.iModelIndex);
        host.ReplugAs(iTabletId, secondTablet);
    }

    const bool bTabletFault =
        plan.eKind != FaultKind::kForeignDevice && plan.eKind != FaultKind::kFileChanged && !bModelChange;
    if (bTabletFault) {
        TabletFault f;
        f.eKind = TabletKind(plan.eKind);
        f.ulAtFrame = plan.ulAtFrame;
        f.ulValue = plan.ulValue;
        tablet->AddFault(f);
    }
    if (plan.eKind == FaultKind::kRejectedAfterShift) {
        TabletFault f;
        f.eKind = TabletFault::Kind::kStatus;
        f.ulAtFrame = plan.ulLastFrame;
        f.ulValue = sim::kStatusDevOpt;  // the image check failed
        tablet->AddFault(f);
    }
    // The second IapGetState opens the clean upgrade: what the tablet had installed by then is the
    // first upgrade's doing.
    std::atomic<std::uint32_t> ulStates{0};
    std::atomic<std::int64_t> llInstallsAfterFirst{-1};
    std::vector<std::uint8_t> vucFlashAfterFirst;
    VirtualTablet* ptTablet = tablet.get();
    // A changed firmware file: once the first upgrade has checked it (its IapStart), the file is removed,
    // replaced by another sound file or cut short; it is put back as the first upgrade's last package
    // goes out, for the clean upgrade.
    const std::uint32_t ulPackages = static_cast<std::uint32_t>((plan.szImage + 1023) / 1024);
    std::atomic<std::uint32_t> ulPackagesSeen{0};
    // The firmware file as the upgrade checks it.
    std::vector<std::uint8_t> vucCipher;
    {
        std::ifstream in(cipher_, std::ios::binary);
        vucCipher.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    auto writeCipher = [this](const std::vector<std::uint8_t>& v, std::size_t szLen) {
        std::ofstream(cipher_, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(szLen));
    };
    std::vector<std::uint8_t> vucOther;
    if (plan.eKind == FaultKind::kFileChanged && plan.ulValue == 1) {
        std::mt19937 rngOther(plan.ulRound);
        MakeFirmware(plan.szImage + 1500, rngOther);
        std::ifstream in(cipher_, std::ios::binary);
        vucOther.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        writeCipher(vucCipher, vucCipher.size());
    }
    auto hook = [&, ptTablet](const VirtualTablet::ExchangeInfo& t) {
        if (t.usCommand == sim::kCmdGetState && ulStates.fetch_add(1) == 1) {
            llInstallsAfterFirst.store(ptTablet->FirmwareInstalls());
            vucFlashAfterFirst = ptTablet->Flash();
            // A fault on a frame the first upgrade never sent does not carry over to the clean one.
            ptTablet->ClearFaults();
        }
        if (plan.eKind == FaultKind::kFileChanged && ulStates.load() == 1) {
            if (t.usCommand == sim::kCmdStart) {
                if (plan.ulValue == 0) {
                    std::filesystem::remove(cipher_);
                } else if (plan.ulValue == 1) {
                    writeCipher(vucOther, vucOther.size());
                } else {
                    writeCipher(vucCipher, vucCipher.size() / 2);
                }
            } else if (t.usCommand == sim::kCmdSendPackage && ulPackagesSeen.fetch_add(1) + 1 == ulPackages) {
                writeCipher(vucCipher, vucCipher.size());
            }
        }
        VirtualTablet::ExchangeTiming tTiming;
        if (t.usCommand == sim::kCmdStart) {
            tTiming.tReply = std::chrono::milliseconds(plan.ulEraseMs);
        }
        return tTiming;
    };
    tablet->SetTimingHook(hook);
    if (bModelChange) {
        secondTablet->SetTimingHook(hook);
    }

    std::thread tForeign;
    if (plan.eKind == FaultKind::kForeignDevice) {
        tForeign = std::thread([&host, &plan] {
            std::this_thread::sleep_for(std::chrono::milliseconds(plan.ulForeignAfterMs));
            std::vector<HidCaps> vtCaps = {sim::MouseCollectionCaps()};
            if (plan.bForeignVendorLike) {
                // Another maker's device with a collection on the tablet's vendor page and usage.
                vtCaps.push_back(sim::VendorCollectionCaps(64, 1056));
            }
            // Another maker's device, or one of the tablets' maker that is no supported tablet.
            const std::uint16_t usVid = plan.bForeignVendorLike ? 0x0483 : 0x1A2B;
            host.AddForeignDevice(
                usVid, 0x7BEE, vtCaps,
                plan.bForeignFront ? sim::SimHidHost::Where::kFront : sim::SimHidHost::Where::kBack);
        });
    }

    // A reply still owed keeps the link from sending: a request the tablet lost for good until the
    // tablet is replugged, as the program then asks, and a late reply until it has come. The user waits
    // for that before choosing the clean upgrade.
    std::thread tUser;
    std::string out;
    int iExit = -1;
    {
        std::unique_ptr<StdinFeed> feed;
        if (plan.eKind == FaultKind::kNoReply || plan.bUserWaits) {
            feed = std::make_unique<StdinFeed>("1\n", StdinFeed::kKeepOpen);
            tUser = std::thread([&] {
                tablet->WaitForFrames(plan.ulAtFrame, 20000);
                if (plan.eKind == FaultKind::kNoReply) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(4 * plan.ulReplyMs));
                    const std::uint32_t ulOpens = host.GetStats().ulReadOpens;
                    tablet->LeaveBus(plan.ulRebootMs);
                    // ... and until the program has found the tablet again.
                    for (int i = 0;
                         i < 2000 && !(host.GetStats().ulReadOpens > ulOpens && bRedetecting.load() == 0 &&
                                       hReaderThread.load() != kInvalidHandle);
                         ++i) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    }
                } else {
                    // Until the tablet has answered everything it was sent.
                    Clock::time_point tDue = tablet->LastReplyDue();
                    for (int i = 0; i < 100; ++i) {
                        std::this_thread::sleep_until(tDue + std::chrono::milliseconds(50));
                        if (tablet->LastReplyDue() == tDue) {
                            break;
                        }
                        tDue = tablet->LastReplyDue();
                    }
                }
                feed->Add("1\n2\n");
            });
        } else {
            feed = std::make_unique<StdinFeed>("1\n1\n2\n");
        }
        StdoutCapture cap;
        iExit = TaveloIapMain();
        out = cap.Finish();
        if (tUser.joinable()) {
            tUser.join();
        }
    }
    if (bRecord) {
        sim::ExchangeRecord r;
        r.strProgram = std::string("TaveloIAP ") + kTaveloVersion;
        r.strLanguage = "en";
        r.strSystem = "simulated HID host, in-process";
        r.strSource = "fault campaign, seed " + std::to_string(ulSeed_) + ", " + Describe(plan);
        tablet->FillRecord(&r);
        r.ulReplyMs = plan.ulReplyMs;
        r.ulLinkIdleMs = plan.ulLinkIdleMs;
        r.ulRedetectWaitMs = 5000;
        r.ulShutdownMs = 2000;
        r.ulPauseDivisor = kPauseDivisor;
        r.strFirmwareName = DeviceTable[c.iModelIndex].strMcuCipherFileName;
        r.vucFirmware = vucCipher;
        r.strInput = "1\n1\n2\n";
        r.strConsole = out;
        r.iExitStatus = iExit;
        const std::string strPath = std::string(strRecordDir) + "/campaign-" + std::to_string(ulSeed_) + "-" +
                                    std::to_string(plan.ulRound) + ".log";
        std::ofstream(strPath, std::ios::binary | std::ios::trunc) << sim::FormatExchangeRecord(r);
    }
    EXPECT_EQ(iExit, 0);
    if (tForeign.joinable()) {
        tForeign.join();
    }
    tablet->SetTimingHook(nullptr);
    secondTablet->SetTimingHook(nullptr);

    // The output of each upgrade lies between two menu prompts.
    std::size_t p1 = out.find(kPrompt);
    std::size_t p2 = p1 == std::string::npos ? p1 : out.find(kPrompt, p1 + 1);
    std::size_t p3 = p2 == std::string::npos ? p2 : out.find(kPrompt, p2 + 1);
    ASSERT_NE(p3, std::string::npos) << "the program did not come back to the menu three times:\n" << out;
    const std::string first = out.substr(p1, p2 - p1);
    const std::string second = out.substr(p2, p3 - p2);

    // The faulted command said so.
    const std::string strExpected = ExpectedStatus(plan);
    if (bModelChange && plan.eStartIn == TabletFirmware::kApplication) {
        // The other model came back from the first tablet's restart into its boot loader: it is not the
        // tablet whose file was checked, so the upgrade ends before it is started.
        EXPECT_NE(first.find(kFailLine), std::string::npos) << first;
        EXPECT_EQ(Count(first, kStatusLine), 0u) << first;
        EXPECT_EQ(first.find(kFinish), std::string::npos) << first;
    } else if (!strExpected.empty()) {
        EXPECT_NE(first.find(kStatusLine + strExpected + "\r\n"), std::string::npos)
            << "no status line for the faulted command:\n"
            << first;
    } else {
        // A slow answer within the time limit and a foreign device disturb nothing.
        EXPECT_EQ(Count(first, kStatusLine), 0u) << first;
        EXPECT_NE(first.find(kFinish), std::string::npos) << first;
    }
    if (plan.eKind == FaultKind::kWriteStall) {
        EXPECT_NE(first.find("写入0失败!("), std::string::npos) << first;
    }
    if (plan.eKind == FaultKind::kRejectedAfterShift) {
        EXPECT_EQ(first.find(kFinish), std::string::npos) << "a rejected image shown finished:\n" << first;
    }
    if (plan.usCommand == sim::kCmdSendPackage && !strExpected.empty()) {
        // A failed package ends the transfer with the failure line.
        EXPECT_NE(first.find(kFailLine), std::string::npos) << first;
    }
    // No failure reported as success: a finished transfer means an installed image, and a first
    // upgrade that installed nothing printed why.
    const std::int64_t llFirstInstalls = llInstallsAfterFirst.load();
    ASSERT_GE(llFirstInstalls, 0) << "the clean upgrade never started:\n" << out;
    const bool bFinished = first.find(kFinish) != std::string::npos;
    if (bFinished) {
        EXPECT_EQ(llFirstInstalls, 1) << "the transfer was shown finished, the tablet installed nothing:\n"
                                      << first;
        // ... and what it installed is the image that was checked.
        EXPECT_TRUE(vucFlashAfterFirst.size() >= image.size() &&
                    std::memcmp(vucFlashAfterFirst.data(), image.data(), image.size()) == 0)
            << "the first tablet's flash does not hold the checked image";
    } else {
        EXPECT_TRUE(first.find(kFailLine) != std::string::npos || Count(first, kStatusLine) > 0)
            << "the upgrade failed without a line:\n"
            << first;
    }

    // The tablet only ever received its own image: each package it took is the checked file's record.
    for (const VirtualTablet::ReceivedFrame& tFrame : tablet->Frames()) {
        if (tFrame.usCommand != sim::kCmdSendPackage || !tFrame.bFrameOk ||
            tFrame.vucFrame.size() < 15 + 7 + 1025) {
            continue;
        }
        const std::size_t szIndex =
            (static_cast<std::size_t>(tFrame.vucFrame[16]) << 8) | tFrame.vucFrame[17];
        const std::size_t szAt = 26 + szIndex * 1025;
        ASSERT_LE(szAt + 1025, vucCipher.size()) << "package " << szIndex << " lies beyond the file";
        EXPECT_EQ(std::memcmp(tFrame.vucFrame.data() + 13 + 7, vucCipher.data() + szAt, 1025), 0)
            << "frame " << tFrame.ulNumber << " carried another record than the file's package " << szIndex;
    }

    // The clean upgrade: no failure, and exactly the image in the flash.
    EXPECT_EQ(Count(second, kStatusLine), 0u) << second;
    EXPECT_EQ(second.find(kFailLine), std::string::npos) << second;
    EXPECT_NE(second.find(kFinish), std::string::npos) << second;
    if (bModelChange) {
        // The new model is named before its upgrade, which flashes its own image.
        EXPECT_NE(second.find(DeviceTable[plan.ulValue].strModelName), std::string::npos) << second;
        EXPECT_EQ(tablet->FirmwareInstalls(), static_cast<std::uint32_t>(llFirstInstalls));
        EXPECT_EQ(secondTablet->FirmwareInstalls(), 1u);
    } else {
        EXPECT_EQ(tablet->FirmwareInstalls(), static_cast<std::uint32_t>(llFirstInstalls) + 1);
    }
    const std::vector<std::uint8_t> flash = secondTablet->Flash();
    ASSERT_GE(flash.size(), secondImage.size());
    EXPECT_EQ(std::memcmp(flash.data(), secondImage.data(), secondImage.size()), 0)
        << "the flash differs from the image";
    const std::size_t szPages = (secondImage.size() + 1023) / 1024 * 1024;
    for (std::size_t k = szPages; k < flash.size(); ++k) {
        if (flash[k] != 0xFF) {
            ADD_FAILURE() << "flash byte " << k << " beyond the image's pages was written";
            break;
        }
    }

    // Nothing of the link left open or running.
    EXPECT_EQ(HidLinkReaderThreads(), 0u);
    SetHidHost(nullptr);
    sim::SimHidHost::Stats s = host.GetStats();
    EXPECT_EQ(s.ulBadCloses, 0u);
    EXPECT_EQ(s.ulLiveLists + s.ulLiveProbes + s.ulLiveWrites + s.ulLiveReads + s.ulLiveEvents, 0u);
    EXPECT_EQ(s.ulReadsInProgress, 0u);
    EXPECT_EQ(HidLinkReset(), 1);
}

TEST_F(FaultCampaign, EveryFaultIsReportedAndACleanUpgradeFollows) {
    const std::uint32_t ulRounds = EnvOr("TAVELO_CAMPAIGN_ROUNDS", 14);
    const std::uint32_t ulSeconds = EnvOr("TAVELO_CAMPAIGN_SECONDS", 45);
    const std::uint32_t ulSeed = EnvOr("TAVELO_CAMPAIGN_SEED", 1);
    std::fprintf(stderr, "fault campaign: seed %u, up to %u rounds, %u s\n", ulSeed, ulRounds, ulSeconds);
    std::mt19937 rng(ulSeed);
    ulSeed_ = ulSeed;
    const std::uint32_t ulKindOffset = ulSeed % static_cast<std::uint32_t>(FaultKind::kCount);
    Watchdog tWatchdog;

    // A first round that fails nothing settles what the process allocates once (stdio buffers, the
    // first helper thread's bookkeeping); the footprint is compared from then on.
    {
        RoundPlan warm = DrawRound(rng, 0, ulKindOffset);
        warm.eKind = FaultKind::kForeignDevice;
        warm.ulForeignAfterMs = 0;
        tWatchdog.Arm("the warm-up round", std::chrono::seconds(kRoundDeadlineS));
        RunRound(warm, rng);
        tWatchdog.Disarm();
    }
    const Clock::time_point tStart = Clock::now();
    std::uint32_t ulDone = 0;
    for (std::uint32_t r = 1; r <= ulRounds && !HasFatalFailure(); ++r) {
        if (Clock::now() - tStart >= std::chrono::seconds(ulSeconds)) {
            break;
        }
        const RoundPlan plan = DrawRound(rng, r, ulKindOffset);
        const std::string strWhat = Describe(plan);
        const Footprint tBefore = TakeFootprint();
        tWatchdog.Arm(strWhat, std::chrono::seconds(kRoundDeadlineS));
        const Clock::time_point t0 = Clock::now();
        RunRound(plan, rng);
        const Footprint tAfter = SettledFootprint(tBefore);
        tWatchdog.Disarm();
        EXPECT_EQ(tAfter.szThreads, tBefore.szThreads) << strWhat << ": threads left behind";
        EXPECT_EQ(tAfter.szFds, tBefore.szFds) << strWhat << ": descriptors left open";
        EXPECT_EQ(tAfter.llNews, tBefore.llNews) << strWhat << ": operator new blocks not freed";
        EXPECT_EQ(tAfter.llHeap, tBefore.llHeap) << strWhat << ": heap not freed";
        ++ulDone;
        std::fprintf(stderr, "fault campaign: %s: %.2f s\n", strWhat.c_str(),
                     std::chrono::duration<double>(Clock::now() - t0).count());
    }
    std::fprintf(stderr, "fault campaign: %u rounds in %.1f s\n", ulDone,
                 std::chrono::duration<double>(Clock::now() - tStart).count());
    EXPECT_GE(ulDone, 1u);
}

// A late answer to each command of a small upgrade in turn (a tablet in its boot loader, two packages, the
// image refused at the last one), late by about half, one, two and three reply limits, from a tablet
// answering in order and from one timing each reply from its own write: the upgrade is never shown
// finished, and the next upgrade is clean.
TEST_F(FaultCampaign, EveryCommandAnsweredLateNeverShowsARefusedImageFinished) {
    Watchdog tWatchdog;
    std::mt19937 rng(1);
    // Shorter limits than the campaign's: forty rounds.
    const std::uint32_t ulLimit = 300;
    const std::uint32_t kLateness[] = {ulLimit / 2, ulLimit + ulLimit / 4, 2 * ulLimit + ulLimit / 4,
                                       3 * ulLimit + ulLimit / 4};
    const std::vector<std::uint16_t> vCommands = UpgradeCommands(TabletFirmware::kBootLoader, 2048);
    std::uint32_t ulRound = 0;
    for (bool bPerWrite : {false, true}) {
        for (std::uint32_t ulAt = 1; ulAt <= vCommands.size(); ++ulAt) {
            for (std::uint32_t ulLate : kLateness) {
                RoundPlan plan;
                plan.ulRound = ++ulRound;
                plan.eKind = FaultKind::kRejectedAfterShift;
                plan.eStartIn = TabletFirmware::kBootLoader;
                plan.szImage = 2048;
                plan.ulRebootMs = 30;
                plan.ulAtFrame = ulAt;
                plan.usCommand = vCommands[ulAt - 1];
                plan.ulValue = ulLate;
                plan.ulLastFrame = static_cast<std::uint32_t>(vCommands.size());
                plan.bPerWrite = bPerWrite;
                plan.ulReplyMs = ulLimit;
                plan.ulLinkIdleMs = 300;
                // The erase outlasts the pause before the next command: a reply taken for the wrong
                // command would stay shifted to the end.
                plan.ulEraseMs = 200;
                plan.bUserWaits = true;
                const std::string strWhat = Describe(plan) + (bPerWrite ? ", per write" : ", in order");
                tWatchdog.Arm(strWhat, std::chrono::seconds(kRoundDeadlineS));
                RunRound(plan, rng);
                tWatchdog.Disarm();
                if (HasFatalFailure()) {
                    return;
                }
            }
        }
    }
}

}  // namespace
