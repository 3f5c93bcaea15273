// The hidraw HID host against emulated hidraw nodes: listing per collection, probing, the bytes of a
// write, and what a read delivers when a node carries a pen beside the vendor collection.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hidraw_testbed.h"
#include "platform/hid_host.h"

namespace {

constexpr std::uint16_t kVid = 0x0483;
constexpr std::uint16_t kPid = 0x7B01;
constexpr std::uint32_t kIn = 64;
constexpr std::uint32_t kOut = 1056;

// Waits (bounded) until the condition holds.
template <typename F>
bool WaitFor(F fnCond, int iMs = 5000) {
    for (int i = 0; i < iMs / 5; ++i) {
        if (fnCond()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return fnCond();
}

std::vector<std::string> ListPaths(const HidHost* h) {
    std::vector<std::string> paths;
    PlatformHandle hList = h->ListOpen(h->pvCtx);
    EXPECT_NE(hList, kInvalidHandle);
    for (std::uint32_t i = 0; h->ListEntry(h->pvCtx, hList, i) == 1; ++i) {
        std::uint32_t ulSize = h->ListPathSize(h->pvCtx, hList, i);
        std::string s(ulSize, '\0');
        EXPECT_EQ(h->ListPath(h->pvCtx, hList, i, s.data(), ulSize), 1);
        EXPECT_EQ(h->ListPath(h->pvCtx, hList, i, s.data(), ulSize - 1), 0);  // one byte short: refused
        s.resize(ulSize - 1);
        paths.push_back(s);
    }
    h->ListClose(h->pvCtx, hList);
    return paths;
}

class HidrawHost : public ::testing::Test {
  protected:
    void SetUp() override { m_ptHost = PlatformDefaultHidHost(); }

    int AddTablet(bool bWithPen = true, Bytes desc = {}) {
        HidDeviceSpec tSpec;
        tSpec.usVid = kVid;
        tSpec.usPid = kPid;
        tSpec.reportDescriptor = desc.empty() ? TabletReportDescriptor(kIn, kOut, bWithPen) : desc;
        return m_bed.AddDevice(tSpec, [this](int, const Bytes& report) {
            std::lock_guard<std::mutex> lock(m_mtx);
            m_written.push_back(report);
        });
    }
    int AddKeyboard() {
        HidDeviceSpec tSpec;
        tSpec.usVid = 0x046D;
        tSpec.usPid = 0xC31C;
        tSpec.reportDescriptor = KeyboardReportDescriptor();
        return m_bed.AddDevice(tSpec, nullptr);
    }
    std::string Path(int iNode, int iCollection) {
        return "/dev/hidraw" + std::to_string(iNode) + "#" + std::to_string(iCollection);
    }
    // Starts a Read on another thread; the future gives (result, bytes, errno).
    struct ReadResult {
        int iRet;
        Bytes data;
        int iErr;
    };
    std::future<ReadResult> StartRead(PlatformHandle hRead, std::uint32_t ulLen = kIn) {
        return std::async(std::launch::async, [this, hRead, ulLen] {
            ReadResult r{};
            r.data.assign(ulLen, 0xEE);
            std::uint32_t ulGot = 0;
            r.iRet = m_ptHost->Read(m_ptHost->pvCtx, hRead, kInvalidHandle, r.data.data(), ulLen, &ulGot);
            r.iErr = errno;
            r.data.resize(ulGot);
            return r;
        });
    }

    HidrawTestbed m_bed;
    const HidHost* m_ptHost = nullptr;
    std::mutex m_mtx;
    std::vector<Bytes> m_written;
};

Bytes Report(std::uint8_t ucId, std::size_t szData, std::uint8_t ucFill) {
    Bytes b(szData + 1, ucFill);
    b[0] = ucId;
    return b;
}

}  // namespace

TEST_F(HidrawHost, ListsEveryCollectionAndProbesWithoutOpeningTheNode) {
    int iKeyboard = AddKeyboard();
    int iTablet = AddTablet();
    std::vector<std::string> paths = ListPaths(m_ptHost);
    ASSERT_EQ(paths, (std::vector<std::string>{Path(iKeyboard, 0), Path(iTablet, 0), Path(iTablet, 1)}));

    struct Expect {
        std::uint16_t usVid, usPid, usPage, usUsage, usIn, usOut;
    };
    const Expect expected[] = {{0x046D, 0xC31C, 0x01, 0x06, 9, 0},
                               {kVid, kPid, 0x0D, 0x02, 10, 0},
                               {kVid, kPid, 0xFF0C, 0x07, kIn, kOut}};
    for (std::size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(paths[i]);
        PlatformHandle hProbe = m_ptHost->ProbeOpen(m_ptHost->pvCtx, paths[i].c_str());
        ASSERT_NE(hProbe, kInvalidHandle);
        std::uint16_t usVid = 0;
        std::uint16_t usPid = 0;
        EXPECT_EQ(m_ptHost->ProbeAttributes(m_ptHost->pvCtx, hProbe, &usVid, &usPid), 1);
        HidCaps tCaps{};
        EXPECT_EQ(m_ptHost->ProbeCaps(m_ptHost->pvCtx, hProbe, &tCaps), 1);
        m_ptHost->Close(m_ptHost->pvCtx, hProbe);
        EXPECT_EQ(usVid, expected[i].usVid);
        EXPECT_EQ(usPid, expected[i].usPid);
        EXPECT_EQ(tCaps.UsagePage, expected[i].usPage);
        EXPECT_EQ(tCaps.Usage, expected[i].usUsage);
        EXPECT_EQ(tCaps.InputReportByteLength, expected[i].usIn);
        EXPECT_EQ(tCaps.OutputReportByteLength, expected[i].usOut);
    }
    // A path of no present node, or a collection the node does not have, cannot be probed or opened.
    EXPECT_EQ(m_ptHost->ProbeOpen(m_ptHost->pvCtx, "/dev/hidraw9#0"), kInvalidHandle);
    PlatformHandle hProbe = m_ptHost->ProbeOpen(m_ptHost->pvCtx, Path(iTablet, 5).c_str());
    HidCaps tCaps{};
    EXPECT_EQ(m_ptHost->ProbeCaps(m_ptHost->pvCtx, hProbe, &tCaps), 0);
    m_ptHost->Close(m_ptHost->pvCtx, hProbe);
    EXPECT_EQ(m_ptHost->OpenRead(m_ptHost->pvCtx, Path(iTablet, 5).c_str()), kInvalidHandle);
}

TEST_F(HidrawHost, WriteSendsTheReportIdAndEveryByte) {
    int iTablet = AddTablet();
    PlatformHandle hWrite = m_ptHost->OpenWrite(m_ptHost->pvCtx, Path(iTablet, 1).c_str());
    ASSERT_NE(hWrite, kInvalidHandle);
    std::uint16_t usVid = 0;  // of the node the open reached
    std::uint16_t usPid = 0;
    EXPECT_EQ(m_ptHost->ProbeAttributes(m_ptHost->pvCtx, hWrite, &usVid, &usPid), 1);
    EXPECT_EQ(usVid, kVid);
    EXPECT_EQ(usPid, kPid);
    Bytes report(kOut, 0);
    report[0] = 0xFD;
    for (std::size_t i = 1; i < report.size(); ++i) {
        report[i] = static_cast<std::uint8_t>(i * 7);
    }
    std::uint32_t ulWritten = 0;
    EXPECT_EQ(m_ptHost->Write(m_ptHost->pvCtx, hWrite, report.data(), kOut, &ulWritten), 1);
    EXPECT_EQ(ulWritten, kOut);
    m_ptHost->Close(m_ptHost->pvCtx, hWrite);
    // The handle is gone: a write on it fails as on a bad handle.
    EXPECT_EQ(m_ptHost->Write(m_ptHost->pvCtx, hWrite, report.data(), kOut, &ulWritten), 0);
    EXPECT_EQ(errno, EBADF);
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> lock(m_mtx);
        return !m_written.empty();
    }));
    std::lock_guard<std::mutex> lock(m_mtx);
    ASSERT_EQ(m_written.size(), 1u);
    EXPECT_EQ(m_written[0], report);
}

TEST_F(HidrawHost, ReadDeliversTheVendorCollectionAloneAndPadsShortReports) {
    int iTablet = AddTablet();
    PlatformHandle hRead = m_ptHost->OpenRead(m_ptHost->pvCtx, Path(iTablet, 1).c_str());
    ASSERT_NE(hRead, kInvalidHandle);
    // Queued before the read: a pen report, then a vendor report shorter than the input length.
    m_bed.QueueInput(iTablet, Report(0x0A, 9, 0x11));
    m_bed.QueueInput(iTablet, Report(0xFC, 10, 0x22));
    ReadResult r = StartRead(hRead).get();
    ASSERT_EQ(r.iRet, 1);
    Bytes expected(kIn, 0);
    expected[0] = 0xFC;
    std::fill(expected.begin() + 1, expected.begin() + 11, 0x22);
    EXPECT_EQ(r.data, expected);

    // Pen reports arriving while the read waits are passed over; the reply that follows is delivered.
    std::future<ReadResult> f = StartRead(hRead);
    ASSERT_TRUE(WaitFor([&] { return m_bed.PendingReads(iTablet) == 1; }));
    for (int i = 0; i < 5; ++i) {
        m_bed.QueueInput(iTablet, Report(0x0A, 9, static_cast<std::uint8_t>(i)));
        ASSERT_TRUE(WaitFor([&] { return m_bed.PendingReads(iTablet) == 1; }));
    }
    EXPECT_EQ(f.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    Bytes full = Report(0xFC, kIn - 1, 0x33);
    full.push_back(0x44);  // a report longer than declared is cut to the collection's length
    m_bed.QueueInput(iTablet, full);
    r = f.get();
    ASSERT_EQ(r.iRet, 1);
    EXPECT_EQ(r.data, Report(0xFC, kIn - 1, 0x33));

    // A buffer shorter than the collection's reports is refused, as Windows does.
    r = StartRead(hRead, kIn - 1).get();
    EXPECT_EQ(r.iRet, 0);
    m_ptHost->Close(m_ptHost->pvCtx, hRead);
}

TEST_F(HidrawHost, TheOtherCollectionReadsOnlyItsOwnReports) {
    int iTablet = AddTablet();
    PlatformHandle hRead = m_ptHost->OpenRead(m_ptHost->pvCtx, Path(iTablet, 0).c_str());
    ASSERT_NE(hRead, kInvalidHandle);
    m_bed.QueueInput(iTablet, Report(0xFC, kIn - 1, 0x22));
    m_bed.QueueInput(iTablet, Report(0x0A, 9, 0x11));
    ReadResult r = StartRead(hRead, 10).get();
    ASSERT_EQ(r.iRet, 1);
    EXPECT_EQ(r.data, Report(0x0A, 9, 0x11));
    m_ptHost->Close(m_ptHost->pvCtx, hRead);
}

TEST_F(HidrawHost, AReportOfNoCollectionOrAnUnplugEndsTheRead) {
    int iTablet = AddTablet();
    PlatformHandle hRead = m_ptHost->OpenRead(m_ptHost->pvCtx, Path(iTablet, 1).c_str());
    ASSERT_NE(hRead, kInvalidHandle);
    m_bed.QueueInput(iTablet, Report(0x33, 20, 0x55));
    ReadResult r = StartRead(hRead).get();
    EXPECT_EQ(r.iRet, 0);
    EXPECT_EQ(r.iErr, EPROTO);
    EXPECT_TRUE(r.data.empty());
    // The output report's ID is no input report either.
    m_bed.QueueInput(iTablet, Report(0xFD, 20, 0x55));
    EXPECT_EQ(StartRead(hRead).get().iRet, 0);

    std::future<ReadResult> f = StartRead(hRead);
    ASSERT_TRUE(WaitFor([&] { return m_bed.PendingReads(iTablet) == 1; }));
    m_bed.RemoveDevice(iTablet);
    r = f.get();
    EXPECT_EQ(r.iRet, 0);
    EXPECT_EQ(r.iErr, ENODEV);
    // A read issued after the unplug fails too, at once.
    f = StartRead(hRead);
    ASSERT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    r = f.get();
    EXPECT_EQ(r.iRet, 0);
    EXPECT_EQ(r.iErr, ENODEV);
    m_ptHost->Close(m_ptHost->pvCtx, hRead);
    EXPECT_TRUE(ListPaths(m_ptHost).empty());
    EXPECT_EQ(m_ptHost->OpenWrite(m_ptHost->pvCtx, Path(iTablet, 1).c_str()), kInvalidHandle);
}

TEST_F(HidrawHost, DeviceWithoutReportIdsGetsAZeroInFront) {
    // Vendor collection, no report IDs: 63 data bytes in and out.
    const Bytes desc = {0x06, 0x0C, 0xFF, 0x09, 0x07, 0xA1, 0x01, 0x75, 0x08, 0x95,
                        0x3F, 0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xC0};
    int iTablet = AddTablet(false, desc);
    PlatformHandle hProbe = m_ptHost->ProbeOpen(m_ptHost->pvCtx, Path(iTablet, 0).c_str());
    HidCaps tCaps{};
    ASSERT_EQ(m_ptHost->ProbeCaps(m_ptHost->pvCtx, hProbe, &tCaps), 1);
    m_ptHost->Close(m_ptHost->pvCtx, hProbe);
    EXPECT_EQ(tCaps.InputReportByteLength, 64);
    EXPECT_EQ(tCaps.OutputReportByteLength, 64);

    PlatformHandle hRead = m_ptHost->OpenRead(m_ptHost->pvCtx, Path(iTablet, 0).c_str());
    ASSERT_NE(hRead, kInvalidHandle);
    m_bed.QueueInput(iTablet, Bytes(63, 0x77));
    ReadResult r = StartRead(hRead).get();
    ASSERT_EQ(r.iRet, 1);
    Bytes expected(64, 0x77);
    expected[0] = 0;
    EXPECT_EQ(r.data, expected);
    m_ptHost->Close(m_ptHost->pvCtx, hRead);
}

TEST_F(HidrawHost, ACancelledReadFailsAtOnce) {
    int iTablet = AddTablet();
    PlatformHandle hRead = m_ptHost->OpenRead(m_ptHost->pvCtx, Path(iTablet, 1).c_str());
    ASSERT_NE(hRead, kInvalidHandle);
    m_ptHost->CancelRead(m_ptHost->pvCtx, hRead);
    ReadResult r = StartRead(hRead).get();  // does not even start
    EXPECT_EQ(r.iRet, 0);
    EXPECT_EQ(r.iErr, ECANCELED);
    m_ptHost->Close(m_ptHost->pvCtx, hRead);

    // Cancelled while blocked: the emulation cannot wake the read, but what it brings is not delivered.
    hRead = m_ptHost->OpenRead(m_ptHost->pvCtx, Path(iTablet, 1).c_str());
    ASSERT_NE(hRead, kInvalidHandle);
    std::future<ReadResult> f = StartRead(hRead);
    ASSERT_TRUE(WaitFor([&] { return m_bed.PendingReads(iTablet) == 1; }));
    m_ptHost->CancelRead(m_ptHost->pvCtx, hRead);
    m_bed.QueueInput(iTablet, Report(0xFC, kIn - 1, 0x22));
    r = f.get();
    EXPECT_EQ(r.iRet, 0);
    EXPECT_EQ(r.iErr, ECANCELED);
    m_ptHost->Close(m_ptHost->pvCtx, hRead);
    EXPECT_EQ(StartRead(hRead).get().iErr, EBADF);
}

TEST_F(HidrawHost, ANodeTheUserMayNotOpenIsNamedOnce) {
    AddKeyboard();
    int iTablet = AddTablet();
    m_bed.AllowTestbedToUsers();
    m_bed.SetNodeOpenToUsers(iTablet, false);
    int aiPipe[2];
    ASSERT_EQ(pipe(aiPipe), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // As nobody: listing and probing work, opening the tablet's node does not.
        dup2(aiPipe[1], STDOUT_FILENO);
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(10);
        }
        const std::string strPath = Path(iTablet, 1);
        for (int i = 0; i < 3; ++i) {
            if (ListPaths(m_ptHost).size() != 3) {
                _exit(11);
            }
            errno = 0;
            if (m_ptHost->OpenWrite(m_ptHost->pvCtx, strPath.c_str()) != kInvalidHandle || errno != EACCES) {
                _exit(12);
            }
            if (m_ptHost->OpenRead(m_ptHost->pvCtx, strPath.c_str()) != kInvalidHandle || errno != EACCES) {
                _exit(13);
            }
        }
        std::fflush(stdout);
        _exit(0);
    }
    close(aiPipe[1]);
    std::string strOut;
    char buf[512];
    ssize_t n;
    while ((n = read(aiPipe[0], buf, sizeof(buf))) > 0) {
        strOut.append(buf, static_cast<std::size_t>(n));
    }
    close(aiPipe[0]);
    int iStatus = 0;
    ASSERT_EQ(waitpid(pid, &iStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(iStatus));
    EXPECT_EQ(WEXITSTATUS(iStatus), 0);
    const std::string strNode = "/dev/hidraw" + std::to_string(iTablet);
    EXPECT_EQ(strOut, "\r\n[Tavelo IAP]: Permission denied: cannot open " + strNode +
                          ". Install the udev rule 70-taveloiap.rules (copy it to /etc/udev/rules.d/, run "
                          "'udevadm control --reload' and replug the tablet) or run as root.\r\n");
}
