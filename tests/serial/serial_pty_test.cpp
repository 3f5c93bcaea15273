// The serial dialogue against pseudo-terminal pairs: the slave side stands in for the serial port.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cipher_subcommand.h"
#include "platform/serial_port.h"
#include "serial/serial_link.h"
#include "stdin_feed.h"
#include "support/capture_stdout.h"

namespace {

const char kPrompt[] = "请输入串口号：";
const char kIllegal[] = "非法输入，请重新输入串口号：";
const char kInvalid[] = "无效端口，请重新输入串口号：";
const char kInfo8N1[] = "串口信息：BuardRate: 115200，ByteSize: 8，Parity: 0，StopBits: 0\r\n";

std::string Repeat(const char* str, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
        s += str;
    }
    return s;
}

// A directory whose "port<n>" entries are the serial ports the dialogue finds, and one pseudo-terminal
// pair behind port 5.
class SerialPty : public ::testing::Test {
  protected:
    void SetUp() override {
        char acDir[] = "/tmp/tvserial.XXXXXX";
        ASSERT_NE(mkdtemp(acDir), nullptr);
        strDir_ = acDir;
        char acSlave[128];
        ASSERT_EQ(openpty(&iMaster_, &iSlave_, acSlave, nullptr, nullptr), 0);
        strSlave_ = acSlave;
        ASSERT_EQ(symlink(acSlave, Port(5).c_str()), 0);
        ASSERT_EQ(PlatformSerialSetNodePattern((strDir_ + "/port%u").c_str()), 1);
    }
    void TearDown() override {
        PlatformSerialSetNodePattern(nullptr);
        for (int i = 0; i < 32; ++i) {
            unlink(Port(i).c_str());
        }
        rmdir(strDir_.c_str());
        close(iMaster_);
        close(iSlave_);
    }
    std::string Port(int n) const { return strDir_ + "/port" + std::to_string(n); }

    // Runs the dialogue with the given input; returns what it printed.
    std::string Dialogue(const std::string& strInput, const char* strRate, std::uint8_t* pucResult) {
        StdinFeed feed(strInput);
        StdoutCapture cap;
        *pucResult = OpenSerialPort(&hPort_, &tDcb_, &tTimeouts_, strRate);
        return cap.Finish();
    }

    std::string strDir_;
    std::string strSlave_;
    int iMaster_ = -1;
    int iSlave_ = -1;
    PlatformHandle hPort_ = 1234;  // anything but kInvalidHandle: the dialogue must set it
    SerialDcb tDcb_{};
    SerialTimeouts tTimeouts_{};
};

// Reads exactly n bytes from fd, each wait bounded; fewer when nothing more comes.
std::vector<std::uint8_t> ReadSome(int fd, std::size_t n, int iWaitMs = 2000) {
    std::vector<std::uint8_t> out;
    while (out.size() < n) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, iWaitMs) <= 0) {
            break;
        }
        std::uint8_t buf[512];
        ssize_t got = read(fd, buf, n - out.size() < sizeof(buf) ? n - out.size() : sizeof(buf));
        if (got <= 0) {
            break;
        }
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

TEST_F(SerialPty, BadAnswersThenAPortThatOpensAt115200_8N1) {
    // Three letters (one prompt each), too large, negative, a port that cannot be opened, a letter that
    // keeps that number (tried again), then port 5.
    std::uint8_t ucResult = 0;
    std::string out = Dialogue("abc\n32\n-1\n7\nx\n5\n", "115200", &ucResult);
    EXPECT_EQ(out, std::string(kPrompt) + Repeat(kIllegal, 5) + Repeat(kInvalid, 2) + "串口" + Port(5) +
                       "申请成功\r\n" + kInfo8N1);
    ASSERT_EQ(ucResult, 1);
    ASSERT_NE(hPort_, kInvalidHandle);
    EXPECT_EQ(tDcb_.DCBlength, sizeof(SerialDcb));
    EXPECT_EQ(tDcb_.BaudRate, 115200u);
    EXPECT_EQ(tDcb_.ByteSize, 8);
    EXPECT_EQ(tDcb_.Parity, 0);
    EXPECT_EQ(tDcb_.StopBits, 0);
    EXPECT_EQ(tTimeouts_.ReadIntervalTimeout, 30u);
    EXPECT_EQ(tTimeouts_.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(tTimeouts_.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(tTimeouts_.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(tTimeouts_.WriteTotalTimeoutConstant, 0u);

    // What the terminal itself holds: 115200, 8 data bits, no parity, 1 stop bit, raw, no flow control;
    // reads wait for the first byte, then end on a full buffer or 100 ms of quiet.
    struct termios t;
    ASSERT_EQ(tcgetattr(iSlave_, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 255);
    EXPECT_EQ(t.c_cc[VTIME], 1);

    // Every byte value passes unchanged both ways, nothing echoed.
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<std::uint8_t>(i);
    }
    int fd = static_cast<int>(hPort_);
    ASSERT_EQ(write(iMaster_, all.data(), all.size()), 256);
    EXPECT_EQ(ReadSome(fd, 256), all);
    ASSERT_EQ(write(fd, all.data(), all.size()), 256);
    EXPECT_EQ(ReadSome(iMaster_, 256), all);
    EXPECT_TRUE(ReadSome(iMaster_, 1, 100).empty());

    // The port is not shared while it is open.
    ASSERT_EQ(symlink(strSlave_.c_str(), Port(6).c_str()), 0);
    EXPECT_EQ(PlatformSerialOpen(Port(6).c_str()), kInvalidHandle);
    PlatformSerialClose(&hPort_);
    EXPECT_EQ(hPort_, kInvalidHandle);
    PlatformHandle hAgain = PlatformSerialOpen(Port(6).c_str());
    EXPECT_NE(hAgain, kInvalidHandle);
    PlatformSerialClose(&hAgain);
}

TEST_F(SerialPty, EndOfInputEndsTheDialogue) {
    std::uint8_t ucResult = 9;
    EXPECT_EQ(Dialogue("", "115200", &ucResult), kPrompt);
    EXPECT_EQ(ucResult, 0);
    EXPECT_EQ(hPort_, kInvalidHandle);

    hPort_ = 1234;
    EXPECT_EQ(Dialogue("40\n", "115200", &ucResult), std::string(kPrompt) + kIllegal);
    EXPECT_EQ(ucResult, 0);
    EXPECT_EQ(hPort_, kInvalidHandle);

    // Not a terminal, absent, and a number far beyond the int range (not wrapped onto port 5).
    int fd = open(Port(3).c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(Dialogue("3\n4\n4294967301", "115200", &ucResult),
              std::string(kPrompt) + kInvalid + kInvalid + kIllegal);
    EXPECT_EQ(ucResult, 0);
    EXPECT_EQ(hPort_, kInvalidHandle);
}

TEST_F(SerialPty, OtherRatesAndRefusedSettingsCloseThePort) {
    // Any other rate text leaves the DCB cleared, which cannot be applied.
    std::uint8_t ucResult = 9;
    std::string out = Dialogue("5\n", "9600", &ucResult);
    EXPECT_EQ(out, std::string(kPrompt) + "串口" + Port(5) + "申请成功\r\n" + "SetCommState失败：（22）\r\n");
    EXPECT_EQ(ucResult, 0);
    EXPECT_EQ(hPort_, kInvalidHandle);
    EXPECT_EQ(Dialogue("5\n", nullptr, &ucResult), out);
    EXPECT_EQ(ucResult, 0);

    // The port was closed again: it opens and takes other settings, which read back as applied. (A
    // pseudo-terminal keeps rate and stop bits; it always reports 8 data bits without parity.)
    PlatformHandle h = PlatformSerialOpen(Port(5).c_str());
    ASSERT_NE(h, kInvalidHandle);
    SerialDcb tDcb{};
    ASSERT_EQ(PlatformSerialBuildDcb("baud=9600 parity=N data=8 stop=2", &tDcb), 1);
    ASSERT_EQ(PlatformSerialSetState(h, &tDcb), 1);
    SerialDcb tBack{};
    ASSERT_EQ(PlatformSerialGetState(h, &tBack), 1);
    EXPECT_EQ(tBack.BaudRate, 9600u);
    EXPECT_EQ(tBack.ByteSize, 8);
    EXPECT_EQ(tBack.Parity, kSerialParityNone);
    EXPECT_EQ(tBack.StopBits, kSerialStopBitsTwo);
    tDcb.StopBits = kSerialStopBitsOneHalf;  // not available with termios
    EXPECT_EQ(PlatformSerialSetState(h, &tDcb), 0);
    tDcb.StopBits = kSerialStopBitsOne;
    tDcb.BaudRate = 12345;  // no such rate
    EXPECT_EQ(PlatformSerialSetState(h, &tDcb), 0);

    // Time-outs: "return at once" and a total time-out.
    SerialTimeouts tNow = {0xFFFFFFFFu, 0, 0, 0, 0};
    ASSERT_EQ(PlatformSerialSetTimeouts(h, &tNow), 1);
    struct termios t;
    ASSERT_EQ(tcgetattr(iSlave_, &t), 0);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    SerialTimeouts tTotal = {0, 0, 250, 0, 0};
    ASSERT_EQ(PlatformSerialSetTimeouts(h, &tTotal), 1);
    ASSERT_EQ(tcgetattr(iSlave_, &t), 0);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 3);
    PlatformSerialClose(&h);
}

}  // namespace

namespace {

int SerialCheck(std::vector<std::string> operands, const std::string& strInput, std::string* pstrOut) {
    std::vector<char*> argv;
    for (auto& s : operands) {
        argv.push_back(s.data());
    }
    StdinFeed feed(strInput);
    StdoutCapture cap;
    int iStatus = RunSerialCheckSubcommand(static_cast<int>(argv.size()), argv.data());
    *pstrOut = cap.Finish();
    return iStatus;
}

TEST_F(SerialPty, SerialCheckSubcommand) {
    std::string out;
    const std::string strPattern = strDir_ + "/port%u";
    const std::string strHead = "serial-check: port 0 is " + Port(0) + ", port 10 is " + Port(10) +
                                ", port 20 is " + Port(20) + " (numbers 0 to 31).\r\n";
    ASSERT_EQ(SerialCheck({strPattern}, "5\n", &out), kCipherExitOk);
    EXPECT_EQ(out, strHead + kPrompt + "串口" + Port(5) + "申请成功\r\n" + kInfo8N1);
    // The port was closed again.
    PlatformHandle h = PlatformSerialOpen(Port(5).c_str());
    EXPECT_NE(h, kInvalidHandle);
    PlatformSerialClose(&h);

    ASSERT_EQ(SerialCheck({strPattern}, "6\n", &out), kCipherExitFailed);
    EXPECT_EQ(out, strHead + kPrompt + kInvalid + "\r\nserial-check: no port was opened and set.\r\n");
    EXPECT_EQ(SerialCheck({"/dev/ttyUSB"}, "", &out), kCipherExitUsage);
}

}  // namespace
