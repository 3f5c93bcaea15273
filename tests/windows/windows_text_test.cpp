// The bytes of the program's texts as the Windows build writes them: sources are UTF-8, the build turns
// every narrow literal into code page 936 (GBK), and files and pipes get those bytes unchanged. Expected
// bytes are spelled out in hex here, so they do not go through the conversion under test.
#include <gtest/gtest.h>

#include <string>

#include "drbd/drbd_frame.h"
#include "platform/os.h"
#include "support/capture_stdout.h"

namespace {

TEST(WindowsTexts, LiteralsAreGbkBytes) {
    // The fullwidth punctuation of the English build's texts.
    EXPECT_EQ(std::string("："), "\xA3\xBA");
    EXPECT_EQ(std::string("，"), "\xA3\xAC");
    EXPECT_EQ(std::string("【"), "\xA1\xBE");
    EXPECT_EQ(std::string("】"), "\xA1\xBF");
    EXPECT_EQ(std::string("（%d）"), "\xA3\xA8%d\xA3\xA9");
    // The head of the diagnostic lines, and the failed-write line.
    EXPECT_EQ(std::string("[Tavelo IAP]: IAP应用流程 |-> "),
              "[Tavelo IAP]: IAP\xD3\xA6\xD3\xC3\xC1\xF7\xB3\xCC |-> ");
    EXPECT_EQ(std::string("写入%d失败!(%d)\r\n"), "\xD0\xB4\xC8\xEB%d\xCA\xA7\xB0\xDC!(%d)\r\n");
}

TEST(WindowsTexts, PrintedLinesKeepTheirLineEndsByteForByte) {
    PlatformConsoleInit();
    StdoutCapture tCapture;
    PrintResponseStatus(E_PrtcDRBD_RspRet_Err_CrcCheck);
    PrintResponseStatus(200);
    std::printf("\r[Tavelo IAP]: 已完成\r\n");
    EXPECT_EQ(tCapture.Finish(),
              "[Tavelo IAP]:  <- ServerResponseStatus is E_PrtcDRBD_RspRet_Err_CrcCheck\r\n"
              "[Tavelo IAP]:  <- ServerResponseStatus is Unknown(200)\r\n"
              "\r[Tavelo IAP]: \xD2\xD1\xCD\xEA\xB3\xC9\r\n");
}

}  // namespace
