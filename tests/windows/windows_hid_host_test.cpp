// The Win32 HID host, run under Wine. Wine has no HID devices: discovery must find an empty list and
// end cleanly. Reads and writes are checked on named pipes, which behave like a HID interface for them
// (reports of a fixed length, an overlapped read left pending, a peer that can go away).
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <tuple>
#include <vector>

#include "platform/hid_host.h"

namespace {

constexpr std::uint32_t kReportLen = 65;
// Bound of every wait on another thread here; reached only when the code under test hangs.
constexpr auto kHangBound = std::chrono::seconds(20);

const HidHost* Host() {
    return PlatformDefaultHidHost();
}

TEST(WindowsHidHost, IsTheDefaultHost) {
    EXPECT_EQ(GetHidHost(), PlatformDefaultHidHost());
}

TEST(WindowsHidHost, DiscoveryListsThePresentInterfacesAndEndsAtTheEndOfTheList) {
    const HidHost* pt = Host();
    PlatformHandle hList = pt->ListOpen(pt->pvCtx);
    ASSERT_NE(hList, kInvalidHandle);
    // Under Wine no HID interface is present; on a real system the first entries carry a device path.
    std::uint32_t ulIndex = 0;
    while (pt->ListEntry(pt->pvCtx, hList, ulIndex) == 1 && ulIndex < 256) {
        std::uint32_t ulSize = pt->ListPathSize(pt->pvCtx, hList, ulIndex);
        ASSERT_GT(ulSize, 1u);
        std::vector<char> vc(ulSize);
        ASSERT_EQ(pt->ListPath(pt->pvCtx, hList, ulIndex, vc.data(), ulSize), 1);
        EXPECT_EQ(std::strlen(vc.data()) + 1, ulSize);
        if (ulSize > 2) {
            EXPECT_EQ(pt->ListPath(pt->pvCtx, hList, ulIndex, vc.data(), ulSize - 1), 0);  // does not fit
            EXPECT_EQ(vc[0], '\0');
        }
        ++ulIndex;
    }
    EXPECT_EQ(pt->ListEntry(pt->pvCtx, hList, ulIndex), 0);
    EXPECT_EQ(pt->ListPathSize(pt->pvCtx, hList, ulIndex), 0u);
    char ac[8] = "xxxxxxx";
    EXPECT_EQ(pt->ListPath(pt->pvCtx, hList, ulIndex, ac, sizeof(ac)), 0);
    EXPECT_EQ(ac[0], '\0');
    pt->ListClose(pt->pvCtx, hList);

    EXPECT_EQ(pt->ListEntry(pt->pvCtx, kInvalidHandle, 0), 0);
    pt->ListClose(pt->pvCtx, kInvalidHandle);
}

TEST(WindowsHidHost, EverySlotRefusesTheInvalidHandle) {
    const HidHost* pt = Host();
    std::uint16_t usVid = 1, usPid = 1;
    HidCaps tCaps;
    std::memset(&tCaps, 0xAB, sizeof(tCaps));
    std::uint8_t auc[kReportLen] = {};
    std::uint32_t ul = 5;

    EXPECT_EQ(pt->ProbeAttributes(pt->pvCtx, kInvalidHandle, &usVid, &usPid), 0);
    EXPECT_EQ(usVid, 0u);
    EXPECT_EQ(usPid, 0u);
    EXPECT_EQ(PlatformLastError(), PlatformBadHandleError());
    EXPECT_EQ(pt->ProbeCaps(pt->pvCtx, kInvalidHandle, &tCaps), 0);
    EXPECT_EQ(tCaps.Usage, 0u);  // no capabilities of an earlier interface left behind
    EXPECT_EQ(tCaps.UsagePage, 0u);
    EXPECT_EQ(tCaps.InputReportByteLength, 0u);
    EXPECT_EQ(pt->Write(pt->pvCtx, kInvalidHandle, auc, kReportLen, &ul), 0);
    EXPECT_EQ(ul, 0u);
    EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));
    ul = 5;
    EXPECT_EQ(pt->Read(pt->pvCtx, kInvalidHandle, kInvalidHandle, auc, kReportLen, &ul), 0);
    EXPECT_EQ(ul, 0u);
    EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));
    pt->CancelRead(pt->pvCtx, kInvalidHandle);
    pt->Close(pt->pvCtx, kInvalidHandle);
}

TEST(WindowsHidHost, AnInterfaceThatCannotBeProbedReadsAsNoDevice) {
    const HidHost* pt = Host();
    EXPECT_EQ(pt->ProbeOpen(pt->pvCtx, "\\\\?\\hid#vid_0483&pid_7b01#absent"), kInvalidHandle);
    EXPECT_EQ(pt->ProbeOpen(pt->pvCtx, ""), kInvalidHandle);
    EXPECT_EQ(pt->OpenWrite(pt->pvCtx, "\\\\.\\pipe\\tavelo_absent"), kInvalidHandle);
    EXPECT_EQ(pt->OpenRead(pt->pvCtx, "\\\\.\\pipe\\tavelo_absent"), kInvalidHandle);
}

// A named pipe standing in for a HID interface: the test holds the server end, the host opens the
// client end by path as it opens a device.
class PipeInterface {
  public:
    PipeInterface() {
        strPath_ = "\\\\.\\pipe\\tavelo_hid_" + std::to_string(GetCurrentProcessId()) + "_" +
                   std::to_string(s_iNext++);
        hServer_ = CreateNamedPipeA(strPath_.c_str(), PIPE_ACCESS_DUPLEX,
                                    PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0,
                                    nullptr);
        EXPECT_NE(hServer_, INVALID_HANDLE_VALUE);
    }
    ~PipeInterface() { DropServer(); }
    const char* Path() const { return strPath_.c_str(); }
    // Sends one input report to the host side.
    void SendReport(const std::vector<std::uint8_t>& v) {
        DWORD dw = 0;
        ASSERT_TRUE(WriteFile(hServer_, v.data(), static_cast<DWORD>(v.size()), &dw, nullptr));
        ASSERT_EQ(dw, v.size());
    }
    // Takes one output report the host wrote.
    std::vector<std::uint8_t> TakeReport() {
        std::vector<std::uint8_t> v(4096);
        DWORD dw = 0;
        EXPECT_TRUE(ReadFile(hServer_, v.data(), static_cast<DWORD>(v.size()), &dw, nullptr));
        v.resize(dw);
        return v;
    }
    // The device leaves the bus.
    void DropServer() {
        if (hServer_ != INVALID_HANDLE_VALUE) {
            DisconnectNamedPipe(hServer_);
            CloseHandle(hServer_);
            hServer_ = INVALID_HANDLE_VALUE;
        }
    }

  private:
    static inline int s_iNext = 0;
    std::string strPath_;
    HANDLE hServer_ = INVALID_HANDLE_VALUE;
};

std::vector<std::uint8_t> Report(std::uint8_t ucFirst, std::uint8_t ucFill) {
    std::vector<std::uint8_t> v(kReportLen, ucFill);
    v[0] = ucFirst;
    return v;
}

struct ReadResult {
    int iOk;
    std::uint32_t ulGot;
    std::uint32_t ulErr;
    std::vector<std::uint8_t> vData;
};

std::future<ReadResult> ReadAsync(PlatformHandle hRead, PlatformHandle hEvent) {
    return std::async(std::launch::async, [hRead, hEvent] {
        const HidHost* pt = Host();
        ReadResult t{0, 0, 0, std::vector<std::uint8_t>(1200, 0)};
        t.iOk = pt->Read(pt->pvCtx, hRead, hEvent, t.vData.data(), kReportLen, &t.ulGot);
        t.ulErr = PlatformLastError();
        return t;
    });
}

class WindowsHidHostPipe : public ::testing::Test {
  protected:
    void SetUp() override {
        pt_ = Host();
        hRead_ = pt_->OpenRead(pt_->pvCtx, tPipe_.Path());
        ASSERT_NE(hRead_, kInvalidHandle);
        hEvent_ = pt_->EventCreate(pt_->pvCtx);
        ASSERT_NE(hEvent_, kInvalidHandle);
    }
    void TearDown() override {
        pt_->Close(pt_->pvCtx, hRead_);
        pt_->Close(pt_->pvCtx, hEvent_);
    }
    const HidHost* pt_ = nullptr;
    PipeInterface tPipe_;
    PlatformHandle hRead_ = kInvalidHandle;
    PlatformHandle hEvent_ = kInvalidHandle;
};

TEST_F(WindowsHidHostPipe, ReadsOneReportPerCallWithTheSameEvent) {
    auto tFirst = ReadAsync(hRead_, hEvent_);  // pending before the report arrives
    tPipe_.SendReport(Report(0xFC, 0x11));
    ASSERT_EQ(tFirst.wait_for(kHangBound), std::future_status::ready);
    ReadResult t = tFirst.get();
    EXPECT_EQ(t.iOk, 1);
    EXPECT_EQ(t.ulGot, kReportLen);
    EXPECT_EQ(std::vector<std::uint8_t>(t.vData.begin(), t.vData.begin() + kReportLen), Report(0xFC, 0x11));
    EXPECT_EQ(t.vData[kReportLen], 0u);  // nothing beyond the length asked for

    // A report already waiting, then the next one: the event is reset between reads.
    tPipe_.SendReport(Report(0xFC, 0x22));
    tPipe_.SendReport(Report(0xFC, 0x33));
    for (std::uint8_t uc : {0x22, 0x33}) {
        auto tNext = ReadAsync(hRead_, hEvent_);
        ASSERT_EQ(tNext.wait_for(kHangBound), std::future_status::ready);
        t = tNext.get();
        EXPECT_EQ(t.iOk, 1);
        EXPECT_EQ(t.ulGot, kReportLen);
        EXPECT_EQ(t.vData[1], uc);
    }
}

TEST_F(WindowsHidHostPipe, CancelWakesAPendingReadAsAFailedRead) {
    auto tRead = ReadAsync(hRead_, hEvent_);
    EXPECT_EQ(tRead.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);  // it waits
    pt_->CancelRead(pt_->pvCtx, hRead_);
    ASSERT_EQ(tRead.wait_for(kHangBound), std::future_status::ready);
    ReadResult t = tRead.get();
    EXPECT_EQ(t.iOk, 0);
    EXPECT_EQ(t.ulGot, 0u);
    EXPECT_NE(t.ulErr, 0u);
}

TEST_F(WindowsHidHostPipe, CancelBeforeTheReadMakesTheReadFailAtOnce) {
    pt_->CancelRead(pt_->pvCtx, hRead_);
    tPipe_.SendReport(Report(0xFC, 0x44));  // even with a report waiting, the stopped reader takes none
    auto tRead = ReadAsync(hRead_, hEvent_);
    ASSERT_EQ(tRead.wait_for(kHangBound), std::future_status::ready);
    EXPECT_EQ(tRead.get().iOk, 0);

    // A new opening of the interface is not cancelled, even when the system gives the same handle value.
    pt_->Close(pt_->pvCtx, hRead_);
    hRead_ = kInvalidHandle;
    PipeInterface tAgain;
    hRead_ = pt_->OpenRead(pt_->pvCtx, tAgain.Path());
    ASSERT_NE(hRead_, kInvalidHandle);
    tAgain.SendReport(Report(0xFC, 0x55));
    auto tNext = ReadAsync(hRead_, hEvent_);
    ASSERT_EQ(tNext.wait_for(kHangBound), std::future_status::ready);
    ReadResult t = tNext.get();
    EXPECT_EQ(t.iOk, 1);
    EXPECT_EQ(t.vData[1], 0x55);
}

TEST_F(WindowsHidHostPipe, DeviceLeavingEndsAPendingRead) {
    auto tRead = ReadAsync(hRead_, hEvent_);
    EXPECT_EQ(tRead.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    tPipe_.DropServer();
    ASSERT_EQ(tRead.wait_for(kHangBound), std::future_status::ready);
    ReadResult t = tRead.get();
    EXPECT_EQ(t.iOk, 0);
    EXPECT_EQ(t.ulGot, 0u);
}

TEST_F(WindowsHidHostPipe, ReadThatCannotStartFailsInsteadOfWaiting) {
    // A handle opened for writing only: the read is refused at once, never pending.
    PipeInterface tOther;
    PlatformHandle hWrite = pt_->OpenWrite(pt_->pvCtx, tOther.Path());
    ASSERT_NE(hWrite, kInvalidHandle);
    auto tRead = ReadAsync(hWrite, hEvent_);
    ASSERT_EQ(tRead.wait_for(kHangBound), std::future_status::ready);
    ReadResult t = tRead.get();
    EXPECT_EQ(t.iOk, 0);
    EXPECT_EQ(t.ulGot, 0u);
    EXPECT_NE(t.ulErr, static_cast<std::uint32_t>(ERROR_IO_PENDING));
    pt_->Close(pt_->pvCtx, hWrite);
}

TEST(WindowsHidHostWrite, WritesOneWholeReportSynchronously) {
    const HidHost* pt = Host();
    PipeInterface tPipe;
    PlatformHandle hWrite = pt->OpenWrite(pt->pvCtx, tPipe.Path());
    ASSERT_NE(hWrite, kInvalidHandle);
    std::vector<std::uint8_t> v = Report(0xFD, 0x5A);
    std::uint32_t ulWritten = 0;
    EXPECT_EQ(pt->Write(pt->pvCtx, hWrite, v.data(), kReportLen, &ulWritten), 1);
    EXPECT_EQ(ulWritten, kReportLen);
    EXPECT_EQ(tPipe.TakeReport(), v);

    // The device gone: the write fails with the system's code and reports 0 bytes.
    tPipe.DropServer();
    ulWritten = 7;
    EXPECT_EQ(pt->Write(pt->pvCtx, hWrite, v.data(), kReportLen, &ulWritten), 0);
    EXPECT_EQ(ulWritten, 0u);
    EXPECT_NE(PlatformLastError(), 0u);
    pt->Close(pt->pvCtx, hWrite);
}

TEST(WindowsHidHostWrite, WriteToAStalledInterfaceFailsAtItsLimit) {
    const HidHost* pt = Host();
    // A pipe with no buffer that nobody reads: a write stays pending, as on a tablet whose OUT endpoint
    // stopped accepting.
    const std::string strPath = "\\\\.\\pipe\\tavelo_hid_stall_" + std::to_string(GetCurrentProcessId());
    HANDLE hServer =
        CreateNamedPipeA(strPath.c_str(), PIPE_ACCESS_DUPLEX,
                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0, 0, 0, nullptr);
    ASSERT_NE(hServer, INVALID_HANDLE_VALUE);
    PlatformHandle hWrite = pt->OpenWrite(pt->pvCtx, strPath.c_str());
    ASSERT_NE(hWrite, kInvalidHandle);
    std::vector<std::uint8_t> v = Report(0xFD, 0x5A);
    auto tWrite = std::async(std::launch::async, [&] {
        std::uint32_t ulWritten = 7;
        int iOk = 1;
        // The first writes may fill what the pipe holds; one of them stalls.
        for (int i = 0; i < 64 && iOk == 1; ++i) {
            iOk = pt->Write(pt->pvCtx, hWrite, v.data(), kReportLen, &ulWritten);
        }
        return std::make_tuple(iOk, ulWritten, PlatformLastError());
    });
    ASSERT_EQ(tWrite.wait_for(kHangBound), std::future_status::ready) << "the write never ended";
    auto [iOk, ulWritten, ulErr] = tWrite.get();
    EXPECT_EQ(iOk, 0);
    EXPECT_EQ(ulWritten, 0u);
    EXPECT_EQ(ulErr, static_cast<std::uint32_t>(ERROR_TIMEOUT));
    pt->Close(pt->pvCtx, hWrite);
    CloseHandle(hServer);
}

TEST(WindowsHidHostProbe, AHandleThatIsNoHidInterfaceHasNoAttributesOrCaps) {
    const HidHost* pt = Host();
    PipeInterface tPipe;
    PlatformHandle hProbe = pt->ProbeOpen(pt->pvCtx, tPipe.Path());
    ASSERT_NE(hProbe, kInvalidHandle);
    std::uint16_t usVid = 0x1234, usPid = 0x5678;
    EXPECT_EQ(pt->ProbeAttributes(pt->pvCtx, hProbe, &usVid, &usPid), 0);
    EXPECT_EQ(usVid, 0u);
    EXPECT_EQ(usPid, 0u);
    HidCaps tCaps;
    std::memset(&tCaps, 0xAB, sizeof(tCaps));
    EXPECT_EQ(pt->ProbeCaps(pt->pvCtx, hProbe, &tCaps), 0);
    EXPECT_EQ(tCaps.Usage, 0u);
    EXPECT_EQ(tCaps.UsagePage, 0u);
    EXPECT_EQ(tCaps.OutputReportByteLength, 0u);
    pt->Close(pt->pvCtx, hProbe);
}

}  // namespace
