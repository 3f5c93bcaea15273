// The HID link on the Win32 HID host, under Wine: no HID device is present there, so discovery must end
// its passes cleanly with no tablet, and a send on the closed link must print the failed-write line with
// the system's bad-handle code, in GBK.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "device/device_table.h"
#include "hidlink/hidlink.h"
#include "support/capture_stdout.h"

namespace {

TEST(WindowsHidLink, DiscoveryOnTheSystemsHidDevicesFindsNoTablet) {
    ASSERT_EQ(GetHidHost(), PlatformDefaultHidHost());
    HidResource* pt = GetHidResource();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(DetectHidDevice(pt), 0);
    }
    EXPECT_EQ(GetDeviceModelIndex(), kNoDeviceModel);
    EXPECT_EQ(pt->bLinkOpen.load(), 0);
    EXPECT_EQ(pt->hHidWrite.load(), kInvalidHandle);
    EXPECT_EQ(pt->hHidRead.load(), kInvalidHandle);
    EXPECT_EQ(hReaderThread.load(), kInvalidHandle);
}

TEST(WindowsHidLink, SendOnTheClosedLinkPrintsTheFailedWriteWithTheBadHandleCode) {
    const std::uint8_t aucFrame[15] = {0x89, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x06, 0x00,
                                       0x00, 0x03, 0x01, 0x01, 0x01, 0x91, 0x20};
    PlatformConsoleInit();
    StdoutCapture tCapture;
    // Not written: the exchange fails at once, no reply is waited for.
    EXPECT_EQ(HidSendFrame(GetHidResource(), aucFrame, sizeof(aucFrame)), 0);
    // 写入0失败!(6): write 0 failed, ERROR_INVALID_HANDLE.
    EXPECT_EQ(tCapture.Finish(),
              "\xD0\xB4\xC8\xEB"
              "0"
              "\xCA\xA7\xB0\xDC"
              "!(6)\r\n");
}

TEST(WindowsHidLink, ShutdownWithNothingOpenClosesNothing) {
    HidResource* pt = GetHidResource();
    HidLinkShutdown(pt);
    EXPECT_EQ(pt->hHidWrite.load(), kInvalidHandle);
    EXPECT_EQ(pt->hHidRead.load(), kInvalidHandle);
    EXPECT_EQ(pt->hReadEvent.load(), kInvalidHandle);
}

}  // namespace
