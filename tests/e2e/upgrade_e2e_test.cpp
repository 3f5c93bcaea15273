// The whole program (TaveloIapMain) against the virtual tablet: console input in, console output out
// byte for byte, and the tablet's flash and frame log checked afterwards.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/app_main.h"
#include "device/confg_file.h"
#include "drbd/drbd_frame.h"
#include "firmware/mcu_cipher_file.h"
#include "hidlink/hidlink.h"
#include "hidlink/hidlink_control.h"
#include "sim/exchange_record.h"
#include "sim/sim_hid_host.h"
#include "sim/virtual_tablet.h"
#include "support/capture_stdout.h"
#include "support/link_pause.h"
#include "support/stdin_feed.h"

namespace {

using sim::TabletFault;
using sim::VirtualTablet;

#ifdef TAVELO_TEST_ZH
const char* const kHelp =
    "[使用说明]: =========================================================================\r\n"
    "[使用说明]: 操作步骤如下：\r\n"
    "[使用说明]:   第1步，使用USB线缆链接数位板，并确认链接成功\r\n"
    "[使用说明]:   第2步，依次通过键盘输入数字键'1'和'回车'进行数位板固件升级\r\n"
    "[使用说明]:   第3步，依次通过键盘输入数字键'2'和'回车'退出当前程序\r\n"
    "[使用说明]: =========================================================================\r\n"
    "\r\n";
const char* const kDetecting = "\r[Tavelo IAP]: 等待数位板设备接入";
const char* const kConnected = "\r[Tavelo IAP]: 已检测到数位板【'Tavelo K1 Plus V2'】成功链接 \r\n";
const char* const kMenu =
    "\r\n[Tavelo IAP]: 此版本支持以下操作：[1]固件升级 Or [2]退出\r\n[Tavelo IAP]: 请选择操作类型：";
const char* const kReady = "\r[Tavelo IAP]: IAP固件升级准备中..";
const char* const kProgress = "\r[Tavelo IAP]: IAP固件升级[%6.02f%%][%s]";
const char* const kFinish = "已完成";
const char* const kProcessing = "进行中..";
const char* const kInterrupted =
    "[Tavelo IAP]: 升级已中断：数位板停留在引导程序中。请重新运行本程序并选择1完成升级\r\n";
const char* const kNoExeDir =
    "[Tavelo IAP]: "
    "无法使用本程序所在的目录，读取不到固件文件：请将本程序及其固件文件移到名称较短的文件夹中\r\n";
const char* const kHint =
    "\r\n[Tavelo IAP]: 尚未检测到支持的数位板，继续等待（按 Ctrl-C 退出）。支持的型号列在 "
    "/usr/share/doc/taveloiap/README.gz (man taveloiap) 中。如果您的数位板是其中之一，请换一根 USB "
    "线缆或换一个 "
    "USB 接口再试；如果上方有一行指出某个数位板无法打开，请按该行的说明操作。\r\n";
const char* const kOutOfStep =
    "\r\n[Tavelo IAP]: "
    "数位板的应答顺序错乱，无法确认它对最后一个数据包的应答。请拔下数位板，重新插入后再次升级。"
    "\r\n";
const char* const kWaiting =
    "\r\n[Tavelo IAP]: 正在等待数位板重新启动，这可能需要一些时间。请不要拔下数位板。\r\n";
const char* const kFromStartFolder = "\r[Tavelo IAP]: 使用当前文件夹中的固件文件：";
const char* const kStartTooLong =
    "\r[Tavelo IAP]: "
    "无法使用固件文件Tavelo-KT1-Cipher.bin（位于当前文件夹%s）：该文件夹的路径太长（本程序只能"
    "使用不超过255字节的路径，含文件名）。请将该文件移到路径较短的文件夹中，在该文件夹中运行本程序，然后选择1"
    "。\r\n";
// The refused firmware file: what is wrong, then what to do.
const char* const kNotOpened = "无法打开固件文件%s：%s";
const char* const kNotOpenedStart = "无法打开固件文件%s：%s，当前文件夹%s中也没有该文件";
const char* const kNotReadable = "固件文件%s存在，但当前用户无权读取：%s";
const char* const kFolder = "固件文件%s是一个文件夹，不是文件";
const char* const kSpecial = "固件文件%s是设备、FIFO或其他特殊文件，不是普通文件";
const char* const kEmpty = "固件文件%s是空文件（0字节）";
const char* const kSizeMismatch = "固件文件%s已损坏或不完整：其大小（%llu字节）与文件头不符";
const char* const kCrc = "固件文件%s已损坏：其映像与CRC不符";
const char* const kNoImage = "固件文件%s中没有映像：没有可写入的内容";
const char* const kPutThere =
    "。请将'Tavelo K1 Plus V2'的固件文件放到该文件夹中，文件名为Tavelo-KT1-Cipher.bin，然后再次选择1。";
const char* const kPutInStartFolder =
    "。请将'Tavelo K1 Plus V2'的固件文件放到当前文件夹中，文件名为Tavelo-KT1-Cipher.bin，然后再次选择1。";
const char* const kPutShorterFolder =
    "。当前文件夹的路径太长，其中的固件文件无法使用：请将'Tavelo K1 Plus "
    "V2'的固件文件放到路径较短的文件夹中，"
    "文件名为Tavelo-KT1-Cipher.bin，在该文件夹中运行本程序，然后选择1。";
const char* const kPutFreshCopy =
    "。请将'Tavelo K1 Plus "
    "V2'的一份完好的固件文件放到该文件夹中，文件名为Tavelo-KT1-Cipher.bin，然后再次选择1。";
const char* const kPutInItsPlace =
    "。请将其移走，再将'Tavelo K1 Plus "
    "V2'的固件文件放到该文件夹中，文件名为Tavelo-KT1-Cipher.bin，然后再次选择1。";
const char* const kPutReadable =
    "。请让当前用户可以读取该文件（或将'Tavelo K1 Plus "
    "V2'的固件文件复制一份当前用户可以读取的放到该文件夹中，"
    "文件名为Tavelo-KT1-Cipher.bin），然后再次选择1。";
const char* const kNearName =
    "[Tavelo IAP]: 找不到固件文件%s，但%s的名称与其相近。如果它是'Tavelo K1 Plus "
    "V2'的固件文件，请将其重命名为"
    "Tavelo-KT1-Cipher.bin，然后再次选择1。\r\n";
#else
const char* const kHelp =
    "[Help]: =========================================================================\r\n"
    "[Help]: Please follow the steps：\r\n"
    "[Help]:   Step1，Please connect tavelo digital panel with USB cable, and confirm the connection.\r\n"
    "[Help]:   Step2，Please input num '1' and 'Enter' to upgrade the firmware of tavelo digital panel.\r\n"
    "[Help]:   Step3，Please input num '2' and 'Enter' to exit.\r\n"
    "[Help]: =========================================================================\r\n"
    "\r\n";
const char* const kDetecting = "\r[Tavelo IAP]: Detecting tavelo digital panel";
const char* const kConnected = "\r[Tavelo IAP]: Tavelo digital panel【'Tavelo K1 Plus V2'】connected \r\n";
const char* const kMenu =
    "\r\n[Tavelo IAP]: Function list：【1】Firmware Upgrade 【2】Exit\r\n[Tavelo IAP]: Please choose：";
const char* const kReady = "\r[Tavelo IAP]: Ready to updata the firmware..";
const char* const kProgress = "\r[Tavelo IAP]: Firmware is being upgraded[%6.02f%%][%s]";
const char* const kFinish = "Finish";
const char* const kProcessing = "Processing..";
const char* const kInterrupted =
    "[Tavelo IAP]: Upgrade interrupted: the tablet waits in its boot loader. Start the program again and "
    "choose 1 to complete the upgrade.\r\n";
const char* const kNoExeDir =
    "[Tavelo IAP]: The program's own directory could not be used, so no firmware file can be read: move the "
    "program and its firmware files to a folder with a shorter name.\r\n";
const char* const kHint =
    "\r\n[Tavelo IAP]: No supported tablet found yet; still waiting (Ctrl-C quits). The supported models are "
    "listed in /usr/share/doc/taveloiap/README.gz (man taveloiap). If yours is one of them, try another USB "
    "cable or port, and if a line above names a tablet that could not be opened, do as it says.\r\n";
const char* const kOutOfStep =
    "\r\n[Tavelo IAP]: The tablet's answers were out of step, so its answer to the last package cannot be "
    "trusted. Unplug the tablet, plug it in again and upgrade again.\r\n";
const char* const kWaiting =
    "\r\n[Tavelo IAP]: Waiting for the tablet to restart; this can take a while. Leave it plugged in.\r\n";
const char* const kFromStartFolder = "\r[Tavelo IAP]: Firmware file from the current folder: ";
const char* const kStartTooLong =
    "\r[Tavelo IAP]: The firmware file Tavelo-KT1-Cipher.bin in the current folder %s cannot be used: the "
    "folder's path is too long (the program takes a path of at most 255 bytes, the file name included). Move "
    "the file to a folder with a shorter path, start the program there and choose 1 again.\r\n";
// The refused firmware file: what is wrong, then what to do.
const char* const kNotOpened = "Cannot open the firmware file %s: %s";
const char* const kNotOpenedStart =
    "Cannot open the firmware file %s: %s, and the current folder %s has none either";
const char* const kNotReadable = "The firmware file %s is there, but this user may not read it: %s";
const char* const kFolder = "The firmware file %s is a folder, not a file";
const char* const kSpecial =
    "The firmware file %s is a device, FIFO or other special file, not a regular file";
const char* const kEmpty = "The firmware file %s is empty (0 bytes)";
const char* const kSizeMismatch =
    "The firmware file %s is damaged or cut short: its size (%llu bytes) does not match its header";
const char* const kCrc = "The firmware file %s is damaged: its image does not match its CRC";
const char* const kNoImage = "The firmware file %s holds no image: there is nothing to flash";
const char* const kPutThere =
    ". Put the firmware file of 'Tavelo K1 Plus V2' there under the name Tavelo-KT1-Cipher.bin, then choose "
    "1 "
    "again.";
const char* const kPutInStartFolder =
    ". Put the firmware file of 'Tavelo K1 Plus V2' in the current folder under the name "
    "Tavelo-KT1-Cipher.bin, "
    "then choose 1 again.";
const char* const kPutShorterFolder =
    ". The current folder's path is too long for a firmware file in it to be used: put the firmware file of "
    "'Tavelo K1 Plus V2' in a folder with a shorter path under the name Tavelo-KT1-Cipher.bin, start the "
    "program there and choose 1 again.";
const char* const kPutFreshCopy =
    ". Put a fresh copy of the firmware file of 'Tavelo K1 Plus V2' there under the name "
    "Tavelo-KT1-Cipher.bin, "
    "then choose 1 again.";
const char* const kPutInItsPlace =
    ". Move it away and put the firmware file of 'Tavelo K1 Plus V2' there under the name "
    "Tavelo-KT1-Cipher.bin, then choose 1 again.";
const char* const kPutReadable =
    ". Let this user read it (or put a copy of the firmware file of 'Tavelo K1 Plus V2' that this user can "
    "read "
    "there under the name Tavelo-KT1-Cipher.bin), then choose 1 again.";
const char* const kNearName =
    "[Tavelo IAP]: The firmware file %s is not there, but %s has a nearly matching name. If it is the "
    "firmware "
    "file of 'Tavelo K1 Plus V2', rename it to Tavelo-KT1-Cipher.bin, then choose 1 again.\r\n";
#endif
const std::string kErase = "\r[Tavelo IAP]:" + std::string(60, ' ');
const std::string kFailLine = "[Tavelo IAP]: IAP应用流程 |-> 传输本文件错误\r\n";

std::string Fmt(const char* strFormat, ...) {
    char acBuf[8192];
    std::va_list tArgs;
    va_start(tArgs, strFormat);
    std::vsnprintf(acBuf, sizeof(acBuf), strFormat, tArgs);
    va_end(tArgs);
    return acBuf;
}

// The owner's line after a refused firmware file: what is wrong, and what to do.
std::string Advice(const std::string& strWhat, const char* strRemedy = kPutFreshCopy) {
    return "[Tavelo IAP]: " + strWhat + strRemedy + "\r\n";
}

std::string Start() {
    return kHelp + kErase + kDetecting + kErase + kConnected;
}

std::string Progress(std::uint32_t i, std::uint32_t ulCount) {
    char buf[200];
    double d = ulCount > 1 ? static_cast<double>(i) / (ulCount - 1) * 100.0 : 100.0;
    std::snprintf(buf, sizeof(buf), kProgress, d, i == ulCount - 1 ? kFinish : kProcessing);
    return kErase + buf;
}

// The output of one upgrade of ulCount packages that all went through, up to its closing line end.
std::string Upgrade(std::uint32_t ulCount) {
    std::string s = "\r\n" + kErase + kReady;
    for (std::uint32_t i = 0; i < ulCount; ++i) {
        s += Progress(i, ulCount);
    }
    return s + "\r\n";
}

std::string Status(const char* strName) {
    return std::string("[Tavelo IAP]:  <- ServerResponseStatus is ") + strName + "\r\n";
}

class UpgradeE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        HidLinkTimeouts t = HidLinkDefaultTimeouts();
        t.ulReplyMs = 1500;
        t.ulLinkIdleMs = 1500;
        HidLinkSetTimeouts(t);
        HidLinkSetRestartNoticeMs(1000);
        char strDir[kPathFieldBytes];
        wchar_t wstrDir[kWidePathFieldChars];
        ASSERT_EQ(GetExeDirectory(strDir, wstrDir), 1);
        // Started from its own folder, the program looks for its firmware file there alone.
        startDir_ = std::filesystem::current_path();
        std::filesystem::current_path(strDir);
        plain_ = std::string(strDir) + "Tavelo-KT1.bin";
        cipher_ = std::string(strDir) + "Tavelo-KT1-Cipher.bin";
        std::filesystem::remove(plain_);
        std::filesystem::remove(cipher_);
    }

    void TearDown() override {
        SetHidHost(nullptr);
        HidLinkSetRestartNoticeMs(kRestartNoticeMs);
        DivideLinkPauses(1);
        EXPECT_EQ(HidLinkReaderThreads(), 0u);  // the shutdown left no reader behind
        HidLinkReset();
        std::filesystem::remove(plain_);
        std::filesystem::remove(cipher_);
        std::filesystem::current_path(startDir_);
    }

    std::shared_ptr<VirtualTablet> Plug(sim::TabletFirmware eStartIn = sim::TabletFirmware::kApplication,
                                        bool bEchoes = true, bool bInOrder = false,
                                        void (*pfnTune)(VirtualTablet::Config*) = nullptr) {
        VirtualTablet::Config c;
        c.iModelIndex = 0;
        c.eStartIn = eStartIn;
        c.ulRebootMs = 100;
        c.eReplyIds =
            bEchoes ? VirtualTablet::Config::ReplyIds::kEcho : VirtualTablet::Config::ReplyIds::kNothing;
        c.bInOrderReplies = bInOrder;
        if (pfnTune != nullptr) {
            pfnTune(&c);
        }
        tablet_ = std::make_shared<VirtualTablet>(c);
        iTabletId_ = host_.AddTablet(tablet_);
        SetHidHost(host_.Host());
        return tablet_;
    }

    // Writes a plain image of random bytes and its McuCipherFile next to the program.
    void MakeFirmware(std::size_t szBytes) {
        image_.resize(szBytes);
        std::mt19937 rng(static_cast<unsigned>(szBytes));
        for (auto& b : image_) {
            b = static_cast<std::uint8_t>(rng());
        }
        std::ofstream(plain_, std::ios::binary)
            .write(reinterpret_cast<const char*>(image_.data()), image_.size());
        auto ptConfg = std::make_unique<ConfgFile>();
        std::memset(ptConfg.get(), 0, sizeof(ConfgFile));
        ptConfg->hMcuVerFile = ptConfg->hChecksumFile = kInvalidHandle;
        ptConfg->hMcuCipherFile = ptConfg->hMcuClearVerFile = kInvalidHandle;
        std::strcpy(ptConfg->strMcuVerFilePath, plain_.c_str());
        std::strcpy(ptConfg->strMcuCipherFilePath, cipher_.c_str());
        StdoutCapture quiet;  // the encoder's own line is not part of the program's output
        EncodeMcuCipherFile(ptConfg.get());
        quiet.Finish();
        ASSERT_TRUE(std::filesystem::exists(cipher_));
    }

    // Runs the program; its exit status must be iStatus (0: the last upgrade succeeded or none was tried).
    // With TAVELO_RECORD_DIR set, the run is written there as an exchange record (for tests/replay).
    std::string Run(const std::string& strInput, int iStatus = 0) {
        const char* strRecordDir = std::getenv("TAVELO_RECORD_DIR");
        const bool bRecord = strRecordDir != nullptr && *strRecordDir != '\0' && tablet_ != nullptr;
        if (bRecord) {
            tablet_->StartRecording();
        }
        std::string out;
        int iGot = 0;
        {
            StdinFeed feed(strInput);
            StdoutCapture cap;
            iGot = TaveloIapMain();
            out = cap.Finish();
        }
        EXPECT_EQ(iGot, iStatus);
        if (bRecord) {
            WriteRecord(strRecordDir, strInput, out, iGot);
        }
        return out;
    }

    // The run the tablet recorded, with the firmware file, input, output and exit status.
    sim::ExchangeRecord RecordOf(const std::string& strInput, const std::string& strOut, int iExit) {
        const ::testing::TestInfo* ptInfo = ::testing::UnitTest::GetInstance()->current_test_info();
        sim::ExchangeRecord r;
        r.strProgram = "TaveloIAP";
#ifdef TAVELO_TEST_ZH
        r.strLanguage = "zh";
#else
        r.strLanguage = "en";
#endif
        r.strSystem = "simulated HID host, in-process";
        r.strSource = std::string("end-to-end test ") + ptInfo->test_suite_name() + "." + ptInfo->name();
        tablet_->FillRecord(&r);
        r.ulReplyMs = 1500;
        r.ulLinkIdleMs = 1500;
        r.strFirmwareName = "Tavelo-KT1-Cipher.bin";
        std::ifstream in(cipher_, std::ios::binary);
        r.vucFirmware.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        r.strInput = strInput;
        r.strConsole = strOut;
        r.iExitStatus = iExit;
        return r;
    }

    void WriteRecord(const std::string& strDir, const std::string& strInput, const std::string& strOut,
                     int iExit) {
        const sim::ExchangeRecord r = RecordOf(strInput, strOut, iExit);
        std::string strName = std::string("e2e-") + r.strLanguage + "-" +
                              ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& ch : strName) {
            ch = (ch == '/' ? '-' : ch);
        }
        std::ofstream(strDir + "/" + strName + ".log", std::ios::binary | std::ios::trunc)
            << sim::FormatExchangeRecord(r);
    }

    bool FlashHoldsImage() {
        auto flash = tablet_->Flash();
        return flash.size() >= image_.size() && std::memcmp(flash.data(), image_.data(), image_.size()) == 0;
    }

    std::vector<std::uint16_t> Commands() {
        std::vector<std::uint16_t> v;
        for (const auto& f : tablet_->Frames()) {
            v.push_back(f.usCommand);
        }
        return v;
    }

    std::uint32_t CountOf(std::uint16_t usCommand) {
        std::uint32_t n = 0;
        for (auto c : Commands()) {
            n += c == usCommand ? 1 : 0;
        }
        return n;
    }

    sim::SimHidHost host_;
    std::shared_ptr<VirtualTablet> tablet_;
    int iTabletId_ = 0;
    std::string plain_;
    std::string cipher_;
    std::filesystem::path startDir_;
    std::vector<std::uint8_t> image_;
};

TEST_F(UpgradeE2E, WholeUpgradeOutputByteForByte) {
    Plug();
    MakeFirmware(2500);  // three packages: 0.00, 50.00, 100.00
    std::string out = Run("1\n2\n");
    EXPECT_EQ(out, Start() + kMenu + Upgrade(3) + kMenu + "\r\n");
    EXPECT_TRUE(FlashHoldsImage());
    EXPECT_EQ(tablet_->FirmwareInstalls(), 1u);
    // From the application: state, boot loader, then (after the tablet came back) start, info, packages.
    std::vector<std::uint16_t> expected = {0x0101, 0x0102, 0x0103, 0x0105, 0x0104, 0x0104, 0x0104};
    EXPECT_EQ(Commands(), expected);
}

class FlashSizes : public UpgradeE2E, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(FlashSizes, FlashEqualsThePlainImage) {
    Plug(sim::TabletFirmware::kBootLoader);
    MakeFirmware(GetParam());
    std::uint32_t ulCount = static_cast<std::uint32_t>((GetParam() + 1023) / 1024);
    std::string out = Run("1\n2\n");
    EXPECT_EQ(out, Start() + kMenu + Upgrade(ulCount) + kMenu + "\r\n");
    EXPECT_TRUE(FlashHoldsImage());
    EXPECT_EQ(tablet_->FirmwareInstalls(), 1u);
    EXPECT_EQ(CountOf(0x0102), 0u);  // already in the boot loader: no IapSetState
    EXPECT_EQ(CountOf(0x0104), ulCount);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FlashSizes, ::testing::Values(1, 1024, 1025, 262144),
                         [](const ::testing::TestParamInfo<std::size_t>& i) {
                             return "Image" + std::to_string(i.param) + "Bytes";
                         });

struct PackageFault {
    const char* strName;
    TabletFault::Kind eKind;
    std::uint32_t ulValue;
    const char* strStatus;
};

// GoogleTest shows the fault by its name, not as raw bytes.
void PrintTo(const PackageFault& t, std::ostream* pOut) {
    *pOut << t.strName;
}

class SecondPackageFails : public UpgradeE2E, public ::testing::WithParamInterface<PackageFault> {};

TEST_P(SecondPackageFails, EndsTheTransferWithTheFailureLine) {
    Plug(sim::TabletFirmware::kBootLoader);
    MakeFirmware(2500);
    TabletFault f;
    f.eKind = GetParam().eKind;
    f.ulValue = GetParam().ulValue;
    f.ulAtFrame = 5;  // state, start, info, package 0, package 1
    tablet_->AddFault(f);
    std::string out = Run("1\n2\n", 1);
    std::string upgrade =
        "\r\n" + kErase + kReady + Progress(0, 3) + Status(GetParam().strStatus) + kFailLine + "\r\n";
    EXPECT_EQ(out, Start() + kMenu + upgrade + kMenu + "\r\n");
    EXPECT_EQ(CountOf(0x0104), 2u);  // package 2 is never sent
    EXPECT_EQ(tablet_->FirmwareInstalls(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SecondPackageFails,
    ::testing::Values(
        PackageFault{"Status", TabletFault::Kind::kStatus, 9, "E_PrtcDRBD_RspRet_Err_ParaValue"},
        PackageFault{"BadCrc", TabletFault::Kind::kBadCrc, 0, "E_PrtcDRBD_RspRet_Err_CrcCheck"},
        PackageFault{"NoReply", TabletFault::Kind::kNoReply, 0, "E_PrtcDRBD_RspRet_Err_RecvTimeOut"}),
    [](const ::testing::TestParamInfo<PackageFault>& i) { return std::string(i.param.strName); });

// Before the packages: a start without reply, or version file info the tablet did not take, ends the
// upgrade before any package; a start the tablet refuses is left to its answer to what follows.
TEST_F(UpgradeE2E, FailuresBeforeThePackages) {
    struct Case {
        std::uint16_t usAt;
        TabletFault::Kind eKind;
        std::uint32_t ulValue;
        std::string strLines;
        std::vector<std::uint16_t> vusCommands;
    };
    const Case kCases[] = {
        {0x0103,
         TabletFault::Kind::kNoReply,
         0,
         Status("E_PrtcDRBD_RspRet_Err_RecvTimeOut"),
         {0x0101, 0x0103}},
        {0x0105,
         TabletFault::Kind::kStatus,
         9,
         Status("E_PrtcDRBD_RspRet_Err_ParaValue"),
         {0x0101, 0x0103, 0x0105}},
        {0x0103,
         TabletFault::Kind::kStatus,
         11,
         Status("E_PrtcDRBD_RspRet_Err_NoCondition") + Status("E_PrtcDRBD_RspRet_Err_NoCondition"),
         {0x0101, 0x0103, 0x0105}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.strLines);
        Plug(sim::TabletFirmware::kBootLoader);
        MakeFirmware(2500);
        TabletFault f;
        f.eKind = c.eKind;
        f.ulValue = c.ulValue;
        f.usAtCommand = c.usAt;
        tablet_->AddFault(f);
        std::string out = Run("1\n2\n", 1);
        EXPECT_EQ(out, Start() + kMenu + "\r\n" + kErase + kReady + c.strLines + kFailLine + "\r\n" + kMenu +
                           "\r\n");
        EXPECT_EQ(Commands(), c.vusCommands);
        SetHidHost(nullptr);
        HidLinkReset();
        host_.RemoveDevice(iTabletId_);
    }
}

TEST_F(UpgradeE2E, TabletDroppingOffMidTransferThenACleanUpgrade) {
    Plug(sim::TabletFirmware::kBootLoader);
    MakeFirmware(5000);
    TabletFault f;
    f.eKind = TabletFault::Kind::kLeaveBus;
    f.ulAtFrame = 5;  // the second package
    f.ulValue = 300;
    tablet_->AddFault(f);
    std::string out = Run("1\n1\n2\n");
    std::string failed = "\r\n" + kErase + kReady + Progress(0, 5) +
                         Status("E_PrtcDRBD_RspRet_Err_RecvTimeOut") + kFailLine + "\r\n";
    EXPECT_EQ(out, Start() + kMenu + failed + kMenu + Upgrade(5) + kMenu + "\r\n");
    EXPECT_TRUE(FlashHoldsImage());
    EXPECT_EQ(tablet_->FirmwareInstalls(), 1u);
}

// A run the tablet recorded (its restart into the boot loader, a slow reply, a refused package, a stalled
// write, then a clean upgrade) goes through its text and, replayed by another tablet, gives the same
// requests and the same console output.
TEST_F(UpgradeE2E, ARecordedRunReplaysToTheSameOutput) {
    HidLinkTimeouts t = HidLinkDefaultTimeouts();
    t.ulReplyMs = 1000;
    t.ulLinkIdleMs = 200;  // a failed upgrade waits this long for the tablet to leave
    HidLinkSetTimeouts(t);
    DivideLinkPauses(5);
    Plug();
    MakeFirmware(2500);
    // From the application: 1 state, 2 to the boot loader, 3 start, 4 info, 5 and 6 packages (6 refused);
    // then from the boot loader: 7 state, 8 start, 9 info, 10 the first package stalls.
    tablet_->AddFault({TabletFault::Kind::kSlowReply, 3, 0, 1, 300, {}});
    tablet_->AddFault({TabletFault::Kind::kStatus, 6, 0, 1, 9, {}});
    tablet_->AddFault({TabletFault::Kind::kWriteStall, 10, 0, 1, 200, {}});
    const std::uint16_t usFirstSeq = DrbdSequenceCounterValue();
    tablet_->StartRecording();
    const std::string strInput = "1\n1\n1\n2\n";
    const std::string out = Run(strInput);
    ASSERT_EQ(tablet_->FirmwareInstalls(), 1u);

    const sim::ExchangeRecord r = RecordOf(strInput, out, 0);
    sim::ExchangeRecord back;
    std::string strError;
    ASSERT_TRUE(sim::ParseExchangeRecord(sim::FormatExchangeRecord(r), &back, &strError)) << strError;
    EXPECT_EQ(back.strConsole, out);

    SetHidHost(nullptr);
    ASSERT_EQ(HidLinkReset(), 1);
    sim::SimHidHost host;
    VirtualTablet::Config c;
    auto replay = std::make_shared<VirtualTablet>(c);
    replay->SetReplay(back.vtEvents, {false, t.ulReplyMs});
    host.AddTablet(replay);
    SetHidHost(host.Host());
    DrbdSequenceCounterSet(usFirstSeq);
    const std::string again = Run(back.strInput);
    SetHidHost(nullptr);
    EXPECT_EQ(replay->ReplayDifference(), "");
    EXPECT_EQ(replay->ReplayLeft(nullptr), 0u);
    EXPECT_EQ(again, out);
    // It left the bus and came back as often as the recorded tablet (its two restarts).
    std::uint32_t ulRecorded = 0;
    std::uint32_t ulReplayed = 0;
    tablet_->Present(&ulRecorded);
    replay->Present(&ulReplayed);
    EXPECT_EQ(ulReplayed, ulRecorded);
}

TEST_F(UpgradeE2E, UnsoundFirmwareFileIsRefusedBeforeAnyFrame) {
    Plug();
    const std::string refused = "[Tavelo IAP]: IAP应用流程 |-> 固件文件无效，升级未开始，数位板未被改动\r\n";
    const char* strPath = cipher_.c_str();
    // Missing.
    std::string out = Run("1\n2\n", 1);
    EXPECT_NE(out.find(refused + Advice(Fmt(kNotOpened, strPath, std::strerror(ENOENT)), kPutThere)),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find(kReady), std::string::npos);
    EXPECT_EQ(tablet_->FramesReceived(), 0u);

    // A header without image: the encoder makes none any more, but an old file may still be about.
    {
        std::vector<char> vcHeader(26, 0);
        vcHeader[1] = 1;  // no packages, no image, McuCrc 0 (the CRC of no bytes)
        std::ofstream(cipher_, std::ios::binary).write(vcHeader.data(), 26);
    }
    HidLinkReset();
    out = Run("1\n2\n", 1);
    EXPECT_NE(out.find(refused + Advice(Fmt(kNoImage, strPath))), std::string::npos) << out;
    EXPECT_EQ(tablet_->FramesReceived(), 0u);

    // Empty.
    std::ofstream(cipher_, std::ios::binary | std::ios::trunc).close();
    HidLinkReset();
    out = Run("1\n2\n", 1);
    EXPECT_NE(out.find(refused + Advice(Fmt(kEmpty, strPath))), std::string::npos) << out;

    // Not readable by this user (root reads every file).
    if (geteuid() != 0) {
        std::filesystem::permissions(cipher_, std::filesystem::perms::none);
        HidLinkReset();
        out = Run("1\n2\n", 1);
        std::filesystem::remove(cipher_);
        EXPECT_NE(out.find(refused + Advice(Fmt(kNotReadable, strPath, std::strerror(EACCES)), kPutReadable)),
                  std::string::npos)
            << out;
    }

    // Cut short in its last record.
    MakeFirmware(3000);
    std::filesystem::resize_file(cipher_, std::filesystem::file_size(cipher_) - 10);
    HidLinkReset();
    out = Run("1\n2\n", 1);
    EXPECT_NE(out.find(refused + Advice(Fmt(kSizeMismatch, strPath, 3091ULL))), std::string::npos) << out;
    EXPECT_EQ(tablet_->FramesReceived(), 0u);

    // Whole, but one scrambled byte changed: the image CRC no longer matches.
    MakeFirmware(3000);
    {
        std::fstream f(cipher_, std::ios::in | std::ios::out | std::ios::binary);
        f.seekg(26 + 1025 + 17);
        char c = 0;
        f.get(c);
        f.seekp(26 + 1025 + 17);
        f.put(static_cast<char>(c ^ 0x01));
    }
    HidLinkReset();
    out = Run("1\n2\n", 1);
    EXPECT_NE(out.find(refused + Advice(Fmt(kCrc, strPath))), std::string::npos) << out;
    EXPECT_EQ(tablet_->FramesReceived(), 0u);

    // A FIFO in its place is not waited on; it, like a folder of the name, is to be moved away.
    std::filesystem::remove(cipher_);
    ASSERT_EQ(mkfifo(cipher_.c_str(), 0600), 0);
    HidLinkReset();
    out = Run("1\n2\n", 1);
    EXPECT_NE(out.find(refused + Advice(Fmt(kSpecial, strPath), kPutInItsPlace)), std::string::npos) << out;
    std::filesystem::remove(cipher_);
    std::filesystem::create_directory(cipher_);
    HidLinkReset();
    out = Run("1\n2\n", 1);
    std::filesystem::remove(cipher_);
    EXPECT_NE(out.find(refused + Advice(Fmt(kFolder, strPath), kPutInItsPlace)), std::string::npos) << out;
    EXPECT_EQ(tablet_->FramesReceived(), 0u);
    EXPECT_EQ(tablet_->Running(), sim::TabletFirmware::kApplication);  // never sent to its boot loader
}

// A missing file with a nearly matching name beside it (a copy's number, another letter case, a hidden
// ".bin" typed again) is named with the name it must have; the wrong name is never flashed.
TEST_F(UpgradeE2E, NearlyMatchingFileNameIsNamed) {
    Plug();
    const std::string strDir = cipher_.substr(0, cipher_.rfind('/') + 1);
    for (const char* strName :
         {"Tavelo-KT1-Cipher (1).bin", "tavelo-kt1-cipher.BIN", "Tavelo-KT1-Cipher.bin.bin"}) {
        SCOPED_TRACE(strName);
        std::ofstream(strDir + strName).put('x');
        HidLinkReset();
        const std::string out = Run("1\n2\n", 1);
        std::filesystem::remove(strDir + strName);
        EXPECT_NE(out.find(Fmt(kNearName, cipher_.c_str(), (strDir + strName).c_str())), std::string::npos)
            << out;
    }
    // A download under way is not offered for renaming.
    std::ofstream(cipher_ + ".part").put('x');
    HidLinkReset();
    const std::string out = Run("1\n2\n", 1);
    std::filesystem::remove(cipher_ + ".part");
    EXPECT_NE(out.find(Advice(Fmt(kNotOpened, cipher_.c_str(), std::strerror(ENOENT)), kPutThere)),
              std::string::npos)
        << out;
    EXPECT_EQ(tablet_->FramesReceived(), 0u);
}

// Started from another folder, the program takes the firmware file there before its own, and says so;
// with none in either, the line names both. A start folder whose path is too long for the program is
// named when it holds the file, and the program's own file is not flashed in its stead.
TEST_F(UpgradeE2E, FirmwareFileOfTheStartFolderIsTakenFirst) {
    Plug(sim::TabletFirmware::kBootLoader);
    MakeFirmware(1500);
    char acTemplate[] = "/tmp/taveloiap-start-XXXXXX";
    ASSERT_NE(mkdtemp(acTemplate), nullptr);
    const std::string strStart = std::string(acTemplate) + "/";
    std::filesystem::rename(cipher_, strStart + "Tavelo-KT1-Cipher.bin");
    std::filesystem::current_path(strStart);
    std::string out = Run("1\n2\n");
    EXPECT_EQ(out, Start() + kMenu + kErase + kFromStartFolder + strStart + "Tavelo-KT1-Cipher.bin\r\n" +
                       Upgrade(2) + kMenu + "\r\n");
    EXPECT_TRUE(FlashHoldsImage());

    std::filesystem::remove(strStart + "Tavelo-KT1-Cipher.bin");
    HidLinkReset();
    out = Run("1\n2\n", 1);
    EXPECT_NE(out.find(Advice(Fmt(kNotOpenedStart, cipher_.c_str(), std::strerror(ENOENT), strStart.c_str()),
                              kPutInStartFolder)),
              std::string::npos)
        << out;

    // Too long: the folder alone (300 bytes), or with the file name (250 bytes).
    MakeFirmware(1500);
    const std::uint32_t ulFrames = tablet_->FramesReceived();
    for (std::size_t szLen : {300u, 250u}) {
        std::string strLong = strStart + std::string(200, 'd') + "/";
        strLong += std::string(szLen - strLong.size() - 1, 'e') + "/";
        std::filesystem::create_directories(strLong);
        std::filesystem::current_path(strLong);
        std::filesystem::copy_file(cipher_, strLong + "Tavelo-KT1-Cipher.bin");
        HidLinkReset();
        out = Run("1\n2\n", 1);
        EXPECT_EQ(out, Start() + kMenu + kErase + Fmt(kStartTooLong, strLong.c_str()) + kMenu + "\r\n");
        // Without the file there, the advice points to a folder of a shorter path.
        std::filesystem::remove(cipher_);
        std::filesystem::remove(strLong + "Tavelo-KT1-Cipher.bin");
        HidLinkReset();
        out = Run("1\n2\n", 1);
        EXPECT_NE(
            out.find(Advice(Fmt(kNotOpened, cipher_.c_str(), std::strerror(ENOENT)), kPutShorterFolder)),
            std::string::npos)
            << out;
        MakeFirmware(1500);
    }
    std::filesystem::current_path(startDir_);
    std::filesystem::remove_all(strStart);
    EXPECT_EQ(tablet_->FramesReceived(), ulFrames);
}

// Without a supported tablet for a while the wait gives one hint and goes on; the tablet is then taken.
TEST_F(UpgradeE2E, DetectingGivesOneHintAndWaitsOn) {
    VirtualTablet::Config c;
    c.iModelIndex = 0;
    auto ptTablet = std::make_shared<VirtualTablet>(c);
    SetHidHost(host_.Host());
    SetDetectingHintMs(100);
    std::thread tPlug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        host_.AddTablet(ptTablet);
    });
    std::string out = Run("2\n");
    tPlug.join();
    SetDetectingHintMs(0);
    EXPECT_EQ(out, kHelp + kErase + kDetecting + kHint + kErase + kDetecting + kErase + kConnected + kMenu +
                       "\r\n");
}

TEST_F(UpgradeE2E, SequenceNumbersRunOnAcrossTwoUpgrades) {
    Plug();
    MakeFirmware(1500);
    std::string out = Run("1\n1\n2\n");
    EXPECT_EQ(tablet_->FirmwareInstalls(), 2u);
    auto frames = tablet_->Frames();
    ASSERT_GE(frames.size(), 10u);
    for (std::size_t k = 1; k < frames.size(); ++k) {
        EXPECT_EQ(frames[k].usSeqNum, static_cast<std::uint16_t>(frames[0].usSeqNum + k)) << "frame " << k;
    }
    // Second run: the tablet came back running the new firmware (its application), so it is sent to its
    // boot loader again.
    EXPECT_EQ(CountOf(0x0102), 2u);
}

// Ctrl-C while the program waits, as long as it takes, for the tablet to restart after its last answer:
// the wait ends with the failure line and exit status 1, never with Finish.
TEST_F(UpgradeE2E, CtrlCEndsTheWaitForTheRestartWithoutFinish) {
    Plug(sim::TabletFirmware::kBootLoader, true, false,
         [](VirtualTablet::Config* c) { c->ulRestartAfterMs = 60000; });
    MakeFirmware(2500);
    std::atomic<std::uint32_t> ulPackages{0};
    tablet_->SetTimingHook([&](const VirtualTablet::ExchangeInfo& t) {
        if (t.usCommand == sim::kCmdSendPackage && ulPackages.fetch_add(1) == 2) {
            std::raise(SIGINT);
        }
        return VirtualTablet::ExchangeTiming{};
    });
    const std::string out = Run("1\n2\n", 1);
    tablet_->SetTimingHook(nullptr);
    EXPECT_EQ(out, Start() + kMenu + "\r\n" + kErase + kReady + Progress(0, 3) + Progress(1, 3) + kFailLine +
                       "\r\n");
    EXPECT_EQ(tablet_->FirmwareInstalls(), 1u);  // installed, but its restart was never seen
}

TEST_F(UpgradeE2E, InterruptionsDuringTheTransfer) {
    Plug(sim::TabletFirmware::kBootLoader);
    MakeFirmware(5000);  // five packages
    // While packages go out: the terminal closes and the pipe breaks (package 1), then Ctrl-C (package 3).
    std::atomic<std::uint32_t> ulPackages{0};
    tablet_->SetTimingHook([&](const VirtualTablet::ExchangeInfo& t) {
        if (t.usCommand == sim::kCmdSendPackage) {
            std::uint32_t n = ulPackages.fetch_add(1);
            if (n == 1) {
                std::raise(SIGHUP);
                std::raise(SIGPIPE);
            } else if (n == 3) {
                std::raise(SIGINT);
            }
        }
        return VirtualTablet::ExchangeTiming{};
    });
    std::string out = Run("1\n1\n2\n", 1);
    tablet_->SetTimingHook(nullptr);
    // The package under way is finished, no other is sent, and the program ends after one line.
    std::string stopped = "\r\n" + kErase + kReady;
    for (std::uint32_t i = 0; i < 4; ++i) {
        stopped += Progress(i, 5);
    }
    EXPECT_EQ(out, Start() + kMenu + stopped + "\r\n" + kInterrupted);
    EXPECT_EQ(CountOf(0x0104), 4u);
    EXPECT_EQ(tablet_->FirmwareInstalls(), 0u);
    EXPECT_EQ(tablet_->Running(), sim::TabletFirmware::kBootLoader);

    // Outside a transfer the default handling is back (Ctrl-C would end the program).
    struct sigaction tNow;
    ASSERT_EQ(sigaction(SIGINT, nullptr, &tNow), 0);
    EXPECT_EQ(tNow.sa_handler, SIG_DFL);

    // Run again, choose 1: the upgrade completes.
    HidLinkReset();
    out = Run("1\n2\n");
    EXPECT_EQ(out, Start() + kMenu + Upgrade(5) + kMenu + "\r\n");
    EXPECT_TRUE(FlashHoldsImage());
    EXPECT_EQ(tablet_->FirmwareInstalls(), 1u);
}

// Tablets that answer in every way the protocol allows, and reports nobody asked for: a copy of a reply
// that comes after the next request went out, a reply left over from an earlier run of the program on the
// same tablet (nobody replugged it), a report of an ID the tablet does not declare while a reply is owed,
// an answer the tablet contradicts. Each upgrade either installs the image and shows Finish, or fails
// with the failure line and exit status 1; a copy that shifts the line of a tablet that echoes nothing
// is caught when its last answer is confirmed.
TEST_F(UpgradeE2E, EveryAllowedTabletFinishesAndNoReplyNobodyAskedForBecomesTheVerdict) {
    using Kind = TabletFault::Kind;
    struct Case {
        const char* strName;
        bool bEchoes;
        sim::TabletFirmware eStartIn;
        std::vector<TabletFault> vtFaults;
        const char* strInput;        // "1\n2\n" or, upgrading twice, "1\n1\n2\n"
        bool bRerun;                 // the program is started again on the same tablet, nobody replugging it
        std::string strLastUpgrade;  // "" when it shows Finish and installs the image
        void (*pfnTune)(VirtualTablet::Config*) = nullptr;  // how the tablet answers
        std::uint16_t usFirstSeq = 0;                       // SeqNum of the program's first frame
        bool bInstalls = false;  // strLastUpgrade, and the image is installed all the same
    };
    auto F = [](Kind e, std::uint16_t usAt, std::uint32_t ulFrame, std::uint32_t ulValue) {
        TabletFault t;
        t.eKind = e;
        t.usAtCommand = usAt;
        t.ulAtFrame = ulFrame;
        t.ulValue = ulValue;
        return t;
    };
    const auto kBoot = sim::TabletFirmware::kBootLoader;
    const std::string kShifted =
        "\r\n" + kErase + kReady + Progress(0, 3) + Progress(1, 3) + kOutOfStep + kFailLine;
    using Config = VirtualTablet::Config;
    const Case kCases[] = {
        {"IapGetState answered with a bare success",
         true,
         sim::TabletFirmware::kApplication,
         {},
         "1\n2\n",
         false,
         "",
         [](Config* c) { c->bBareGetState = true; }},
        {"successes that carry parameter bytes",
         true,
         sim::TabletFirmware::kApplication,
         {},
         "1\n2\n",
         false,
         "",
         [](Config* c) { c->ucExtraParaBytes = 3; }},
        // The first package is request 256, answered with SeqNum 0.
        {"SeqNum's low byte only, past 256 requests",
         true,
         kBoot,
         {},
         "1\n2\n",
         false,
         "",
         [](Config* c) { c->eReplyIds = Config::ReplyIds::kSeqLowByte; },
         253},
        // It leaves the bus later than a reply may take, after IapSetState and after the last package.
        {"a restart later than any wait of ours",
         true,
         sim::TabletFirmware::kApplication,
         {},
         "1\n2\n",
         false,
         "\r\n" + kErase + kReady + kWaiting + Progress(0, 3) + Progress(1, 3) + kWaiting + Progress(2, 3) +
             "\r\n",
         [](Config* c) { c->ulRestartAfterMs = 2500; },
         0,
         true},
        // A copy of package 1's answer comes while the last package waits; the tablet hangs on that one
        // and its watchdog restarts it: the copy is no answer to the last package.
        {"copied answer, then a hang and a restart on the last package, tablet echoes",
         true,
         kBoot,
         {F(Kind::kDuplicateReply, 0, 5, 60), F(Kind::kHang, 0, 6, 300)},
         "1\n2\n",
         false,
         "\r\n" + kErase + kReady + Progress(0, 3) + Progress(1, 3) +
             Status("E_PrtcDRBD_RspRet_Err_RecvTimeOut") + kFailLine},
        // A package written wrong: the last package is refused (after a success echoing it), and the
        // tablet restarts into its boot loader.
        {"a success, then its refusal of the last package, tablet echoes",
         true,
         kBoot,
         {F(Kind::kCorruptPackage, 0, 4, 0), F(Kind::kAddedSuccess, 0, 6, 0)},
         "1\n2\n",
         false,
         kShifted,
         [](Config* c) { c->bLeavesAfterRefusedImage = true; }},
        // Frame 4 is package 0 from the boot loader; its copy comes after package 1 went out.
        {"copy of a package reply, tablet echoes",
         true,
         kBoot,
         {F(Kind::kDuplicateReply, 0, 4, 60)},
         "1\n2\n",
         false,
         ""},
        {"copy of a package reply, tablet echoes nothing",
         false,
         kBoot,
         {F(Kind::kDuplicateReply, 0, 4, 60)},
         "1\n2\n",
         false,
         kShifted},
        {"copy of the version info reply",
         false,
         kBoot,
         {F(Kind::kDuplicateReply, sim::kCmdSendVersionFileInfo, 0, 60)},
         "1\n2\n",
         false,
         kShifted},
        // The program pauses 100 ms after the start: the copy comes after the version info went out.
        {"copy of the start reply after the restart into the boot loader",
         false,
         sim::TabletFirmware::kApplication,
         {F(Kind::kDuplicateReply, sim::kCmdStart, 0, 160)},
         "1\n2\n",
         false,
         kShifted},
        // The first erase outlasts the reply limit: the first run fails, and its start reply reaches the
        // next run of the program (nobody replugged the tablet), which upgrades.
        {"left-over start reply of an earlier run",
         false,
         kBoot,
         {F(Kind::kSlowReply, sim::kCmdStart, 0, 4300)},
         "1\n2\n",
         true,
         ""},
        // Package 1's reply comes late; before it, a report of an undeclared ID ends the opening. The next
        // upgrade meets the late reply.
        {"undeclared report while a reply is owed",
         false,
         kBoot,
         {F(Kind::kSlowReply, 0, 5, 2200), F(Kind::kExtraReport, 0, 5, 1700)},
         "1\n1\n2\n",
         false,
         ""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.strName);
        Plug(c.eStartIn, c.bEchoes, true, c.pfnTune);
        DrbdSequenceCounterSet(c.usFirstSeq);
        tablet_->SetReplyDelayMs(20);  // each request takes the tablet a while (a package, programming)
        MakeFirmware(2500);
        for (const TabletFault& t : c.vtFaults) {
            tablet_->AddFault(t);
        }
        if (c.bRerun) {
            Run("1\n2\n", 1);
            HidLinkReset();
            DrbdSequenceCounterSet(0);  // a new process numbers its frames from 0 again
        }
        std::string out = Run(c.strInput, c.strLastUpgrade.empty() || c.bInstalls ? 0 : 1);
        if (c.bInstalls) {
            EXPECT_EQ(out, Start() + kMenu + c.strLastUpgrade + kMenu + "\r\n");
            EXPECT_EQ(tablet_->FirmwareInstalls(), 1u);
        } else if (c.strLastUpgrade.empty()) {
            const std::string strEnd = Upgrade(3) + kMenu + "\r\n";
            EXPECT_EQ(out.substr(out.size() - std::min(out.size(), strEnd.size())), strEnd);
            EXPECT_EQ(tablet_->FirmwareInstalls(), 1u);
            EXPECT_TRUE(FlashHoldsImage());
        } else {
            EXPECT_EQ(out, Start() + kMenu + c.strLastUpgrade + "\r\n" + kMenu + "\r\n");
        }
        SetHidHost(nullptr);
        HidLinkReset();
        host_.RemoveDevice(iTabletId_);
    }
}

TEST_F(UpgradeE2E, ExitStatusFollowsTheLastUpgrade) {
    Plug(sim::TabletFirmware::kBootLoader);
    MakeFirmware(1500);
    EXPECT_EQ(Run("2\n"), Start() + kMenu + "\r\n");  // none tried: 0
    HidLinkReset();
    TabletFault f;
    f.eKind = TabletFault::Kind::kStatus;
    f.ulValue = 9;
    f.usAtCommand = sim::kCmdSendPackage;
    tablet_->AddFault(f);
    Run("1\n1\n2\n");  // failed, then succeeded: 0
    EXPECT_EQ(tablet_->FirmwareInstalls(), 1u);
    HidLinkReset();
    // The tablet runs its application now: state, boot loader, start, info, 2 packages; then the next
    // upgrade's first package (its fifth frame) fails.
    f.ulAtFrame = tablet_->FramesReceived() + 6 + 5;
    tablet_->AddFault(f);
    Run("1\n1\n2\n", 1);  // succeeded, then failed: 1
    EXPECT_EQ(tablet_->FirmwareInstalls(), 2u);
}

// The program in a directory it cannot use (a path too long for its fields): it says so once, looks for
// no firmware file at all (not even the one in the current directory) and refuses the upgrade. Beside
// that file, with its output pipe closed after the first byte, it upgrades all the same and exits 0.
TEST(UpgradeE2EProgram, DirectoryThatCannotBeUsedGivesNoPathAndAClosedPipeChangesNothing) {
    namespace fs = std::filesystem;
    char acTemplate[] = "/tmp/taveloiap-dir-XXXXXX";
    ASSERT_NE(mkdtemp(acTemplate), nullptr);
    const fs::path root = acTemplate;
    fs::path deep = root;
    for (int i = 0; i < 4; ++i) {
        deep /= std::string(70, static_cast<char>('a' + i));
    }
    fs::create_directories(deep);
    const fs::path demo = deep / "TaveloIAP-demo";
    fs::copy_file(TAVELO_DEMO_PROGRAM, demo);
    // A sound firmware file in the current directory, where a bare file name would find it.
    {
        const fs::path plain = root / "Tavelo-KT1.bin";
        std::ofstream(plain, std::ios::binary) << std::string(3000, 'x');
        auto ptConfg = std::make_unique<ConfgFile>();
        std::memset(ptConfg.get(), 0, sizeof(ConfgFile));
        ptConfg->hMcuVerFile = ptConfg->hChecksumFile = kInvalidHandle;
        ptConfg->hMcuCipherFile = ptConfg->hMcuClearVerFile = kInvalidHandle;
        std::strcpy(ptConfg->strMcuVerFilePath, plain.c_str());
        std::strcpy(ptConfg->strMcuCipherFilePath, (root / "Tavelo-KT1-Cipher.bin").c_str());
        StdoutCapture quiet;
        EncodeMcuCipherFile(ptConfg.get());
        quiet.Finish();
    }
    const std::string strCommand =
        "cd '" + root.string() + "' && printf '1\\n2\\n' | '" + demo.string() + "' > out.txt 2> err.txt";
    const int iStatus = std::system(strCommand.c_str());
    std::ifstream in(root / "out.txt", std::ios::binary);
    const std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fs::copy_file(TAVELO_DEMO_PROGRAM, root / "TaveloIAP-demo");
    const std::string strClosedPipe =
        "cd '" + root.string() +
        "' && (printf '1\\n2\\n' | ./TaveloIAP-demo 2>/dev/null; echo $? >status.txt) | head -c 1 >/dev/null";
    std::system(strClosedPipe.c_str());
    int iClosedPipeStatus = -1;
    std::ifstream(root / "status.txt") >> iClosedPipeStatus;
    fs::remove_all(root);
    EXPECT_EQ(iClosedPipeStatus, 0);  // the demo's 0: the tablet holds the image
    ASSERT_TRUE(WIFEXITED(iStatus));
    EXPECT_EQ(WEXITSTATUS(iStatus), 1) << out;  // the upgrade was refused
    const std::string strStart = Start() + kNoExeDir + kMenu + "\r\n";
    EXPECT_EQ(out.substr(0, strStart.size()), strStart) << out;
    EXPECT_NE(out.find("固件文件无效，升级未开始"), std::string::npos) << out;
    EXPECT_EQ(out.find(kReady), std::string::npos) << out;
}

}  // namespace
