// The firmware file operations on Windows, run under Wine: round trips through ANSI paths with
// backslashes (in a directory whose name needs the run's code page), files that another program holds
// without sharing, and the failure lines as the console gets them: GBK bytes with the system's error code.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "device/confg_file.h"
#include "firmware/mcu_cipher_file.h"
#include "platform/os.h"
#include "support/capture_stdout.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// "[Tavelo IAP]: IAP应用流程 |-> Error->" in GBK, spelled out.
const std::string kDiagHead = "[Tavelo IAP]: IAP\xD3\xA6\xD3\xC3\xC1\xF7\xB3\xCC |-> Error->";
// "打开错误（", "写入错误（" and "）" in GBK.
const std::string kOpenError = "\xB4\xF2\xBF\xAA\xB4\xED\xCE\xF3\xA3\xA8";
const std::string kWriteError = "\xD0\xB4\xC8\xEB\xB4\xED\xCE\xF3\xA3\xA8";
const std::string kClose = "\xA3\xA9\r\n";

std::string OpenErrorLine(const char* strFile, DWORD dwErr) {
    return kDiagHead + strFile + kOpenError + std::to_string(dwErr) + kClose;
}

Bytes ReadBytes(const std::string& strPath) {
    Bytes v;
    HANDLE h =
        CreateFileA(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return v;
    }
    std::uint8_t auc[65536];
    DWORD dw = 0;
    while (ReadFile(h, auc, sizeof(auc), &dw, nullptr) && dw > 0) {
        v.insert(v.end(), auc, auc + dw);
    }
    CloseHandle(h);
    return v;
}

void WriteBytes(const std::string& strPath, const Bytes& v) {
    HANDLE h = CreateFileA(strPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << strPath;
    DWORD dw = 0;
    ASSERT_TRUE(WriteFile(h, v.data(), static_cast<DWORD>(v.size()), &dw, nullptr));
    CloseHandle(h);
}

bool Exists(const std::string& strPath) {
    return GetFileAttributesA(strPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class WindowsFirmwareFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        // The firmware directory's name is outside ASCII: 固件 under code page 936, café under 1252.
        wchar_t awcTemp[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, awcTemp), 0u);
        std::wstring wstrName = GetACP() == 936 ? L"\u56FA\u4EF6_" : L"caf\u00E9_";
        wstrDir_ = std::wstring(awcTemp) + wstrName + std::to_wstring(GetCurrentProcessId()) + L"_" +
                   std::to_wstring(s_iNext++) + L"\\";
        ASSERT_TRUE(CreateDirectoryW(wstrDir_.c_str(), nullptr)) << GetLastError();
        char acDir[kPathFieldBytes];
        ASSERT_GT(WideToAnsi(wstrDir_.c_str(), acDir, kPathFieldBytes), 0u);
        strDir_ = acDir;
        ASSERT_EQ(strDir_.find('?'), std::string::npos) << "directory name not in the code page";

        ptConfg_ = std::make_unique<ConfgFile>();
        std::memset(ptConfg_.get(), 0, sizeof(ConfgFile));
        ptConfg_->hMcuVerFile = kInvalidHandle;
        ASSERT_EQ(JoinDirAndFileName(acDir, "Tavelo-KT1.bin", ptConfg_->strMcuVerFilePath), 1);
        ASSERT_EQ(JoinDirAndFileName(acDir, "Tavelo-KT1-Cipher.bin", ptConfg_->strMcuCipherFilePath), 1);
        ASSERT_EQ(JoinDirAndFileName(acDir, "Tavelo-KT1-Clear.bin", ptConfg_->strMcuClearVerFilePath), 1);
        McuCipherFileFixTime(1, 1700000000);
    }
    void TearDown() override {
        McuCipherFileFixTime(0, 0);
        for (const char* str : {"Tavelo-KT1.bin", "Tavelo-KT1-Cipher.bin", "Tavelo-KT1-Clear.bin",
                                "Tavelo-KT1-Cipher.bin.tmp", "Tavelo-KT1-Clear.bin.tmp"}) {
            DeleteFileA((strDir_ + str).c_str());
        }
        RemoveDirectoryW(wstrDir_.c_str());
    }
    std::string Plain() const { return ptConfg_->strMcuVerFilePath; }
    std::string Cipher() const { return ptConfg_->strMcuCipherFilePath; }
    std::string Clear() const { return ptConfg_->strMcuClearVerFilePath; }

    static inline int s_iNext = 0;
    std::wstring wstrDir_;
    std::string strDir_;
    std::unique_ptr<ConfgFile> ptConfg_;
};

TEST_F(WindowsFirmwareFiles, RoundTripThroughAnsiPaths) {
    std::mt19937 tGen(7);
    for (std::size_t szLen : {std::size_t{9}, std::size_t{2048}, std::size_t{3000}}) {
        Bytes vPlain(szLen);
        for (auto& uc : vPlain) {
            uc = static_cast<std::uint8_t>(tGen());
        }
        if (szLen == 9) {
            vPlain = Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
        }
        WriteBytes(Plain(), vPlain);
        std::uint32_t ulPackages = static_cast<std::uint32_t>((szLen + 1023) / 1024);

        StdoutCapture tEncode;
        EncodeMcuCipherFile(ptConfg_.get());
        EXPECT_EQ(tEncode.Finish(), "[Tavelo IAP]: OrgMcuLen:" + std::to_string(szLen) +
                                        ", PackageCounter:" + std::to_string(ulPackages) +
                                        ", LastPackageLen:" + std::to_string(szLen % 1024) + "\r\n");
        Bytes vCipher = ReadBytes(Cipher());
        ASSERT_EQ(vCipher.size(), 26u + 1025u * ulPackages);
        if (szLen == 9) {
            const Bytes vTail = {0x01, 0x00, 0x09, 0x00, 0x09, 0x00, 0x00, 0x00, 0x6E, 0x90, 0x00, 0x00};
            EXPECT_EQ(Bytes(vCipher.begin() + 14, vCipher.begin() + 26), vTail);
        }
        EXPECT_FALSE(Exists(Cipher() + ".tmp"));

        std::uint32_t ulOrg = 0, ulCrc = 0, ulLast = 0;
        ReadMcuCipherFileHeader(ptConfg_.get(), &ulOrg, &ulCrc, &ulLast);
        EXPECT_EQ(ulOrg, szLen);
        EXPECT_EQ(ulLast, szLen % 1024);
        EXPECT_EQ(CheckMcuCipherFile(ptConfg_.get()), 1);

        StdoutCapture tDecode;
        DecodeMcuCipherFile(ptConfg_.get());
        std::string strLine = tDecode.Finish();
        EXPECT_EQ(strLine.rfind("[Tavelo IAP]: File<" + std::to_string(vCipher.size()) + "," +
                                    std::to_string(ulPackages) + "," + std::to_string(szLen % 1024) +
                                    ">, Algo<0,1>, Time<",
                                0),
                  0u)
            << strLine;
        EXPECT_EQ(ReadBytes(Clear()), vPlain);
        // Every handle field is closed again, so the files are free for others.
        EXPECT_EQ(ptConfg_->hMcuVerFile, kInvalidHandle);
        EXPECT_EQ(ptConfg_->hMcuCipherFile, kInvalidHandle);
        EXPECT_EQ(ptConfg_->hMcuClearVerFile, kInvalidHandle);
        HANDLE h = CreateFileA(Cipher().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        CloseHandle(h);
    }
}

TEST_F(WindowsFirmwareFiles, MissingFileLineCarriesTheSystemsCodeInGbk) {
    std::uint32_t ulOrg = 11, ulCrc = 22, ulLast = 33;
    StdoutCapture tCapture;
    ReadMcuCipherFileHeader(ptConfg_.get(), &ulOrg, &ulCrc, &ulLast);
    EXPECT_EQ(tCapture.Finish(), OpenErrorLine("McuCipherFile", ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ulOrg, 11u);
    EXPECT_EQ(ulCrc, 22u);
    EXPECT_EQ(ulLast, 33u);
    // The upgrade's refusal: the owner's line names the path and gives the system's words (model 0's file).
    char acWhy[256];
    PlatformErrorText(ERROR_FILE_NOT_FOUND, acWhy, sizeof(acWhy));
    const std::string strPut =
        "the firmware file of 'Tavelo K1 Plus V2' there under the name "
        "Tavelo-KT1-Cipher.bin, then choose 1 again.\r\n";
    StdoutCapture tAdvice;
    EXPECT_EQ(HoldMcuCipherFile(ptConfg_.get()), 0);
    PrintMcuCipherFileAdvice(ptConfg_.get());
    EXPECT_EQ(tAdvice.Finish(), OpenErrorLine("McuCipherFile", ERROR_FILE_NOT_FOUND) +
                                    "[Tavelo IAP]: Cannot open the firmware file " + Cipher() + ": " + acWhy +
                                    ". Put " + strPut);

    // A path field that was never built (empty): the system's refusal of it is the code shown.
    ptConfg_->strMcuCipherFilePath[0] = '\0';
    StdoutCapture tEmpty;
    ReadMcuCipherFileHeader(ptConfg_.get(), &ulOrg, &ulCrc, &ulLast);
    EXPECT_EQ(tEmpty.Finish(), OpenErrorLine("McuCipherFile", ERROR_PATH_NOT_FOUND));

    // A device in the file's place is not read: it gets the open line with the code of a refusal.
    std::strcpy(ptConfg_->strMcuCipherFilePath, "NUL");
    StdoutCapture tDevice;
    ReadMcuCipherFileHeader(ptConfg_.get(), &ulOrg, &ulCrc, &ulLast);
    EXPECT_EQ(tDevice.Finish(), OpenErrorLine("McuCipherFile", ERROR_ACCESS_DENIED));
    StdoutCapture tDeviceAdvice;
    EXPECT_EQ(HoldMcuCipherFile(ptConfg_.get()), 0);
    PrintMcuCipherFileAdvice(ptConfg_.get());
    EXPECT_EQ(
        tDeviceAdvice.Finish(),
        OpenErrorLine("McuCipherFile", ERROR_ACCESS_DENIED) +
            "[Tavelo IAP]: The firmware file NUL is a device, FIFO or other special file, not a regular "
            "file. Move it away and put " +
            strPut);
}

TEST_F(WindowsFirmwareFiles, FileHeldByAnotherProgramIsNotOpenedNorReplaced) {
    WriteBytes(Plain(), Bytes(1500, 0x5A));
    EncodeMcuCipherFile(ptConfg_.get());
    Bytes vBefore = ReadBytes(Cipher());
    ASSERT_EQ(vBefore.size(), 26u + 2u * 1025u);

    // Another program holds the McuCipherFile open and shares nothing.
    HANDLE hOther = CreateFileA(Cipher().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hOther, INVALID_HANDLE_VALUE);

    std::uint32_t ulOrg = 0, ulCrc = 0, ulLast = 0;
    StdoutCapture tRead;
    ReadMcuCipherFileHeader(ptConfg_.get(), &ulOrg, &ulCrc, &ulLast);
    EXPECT_EQ(tRead.Finish(), OpenErrorLine("McuCipherFile", ERROR_SHARING_VIOLATION));
    EXPECT_EQ(ulOrg, 0u);

    // A new encoding cannot put its file in place: it says so, and nothing is lost or left behind.
    WriteBytes(Plain(), Bytes(700, 0x11));
    StdoutCapture tEncode;
    EXPECT_EQ(EncodeMcuCipherFileEx(ptConfg_.get()), 0);
    std::string strOut = tEncode.Finish();
    EXPECT_NE(strOut.find(kDiagHead + "McuCipherFile"), std::string::npos) << strOut;
    EXPECT_EQ(strOut.substr(strOut.size() - 4), kClose);
    CloseHandle(hOther);
    EXPECT_EQ(ReadBytes(Cipher()), vBefore);
    EXPECT_FALSE(Exists(Cipher() + ".tmp"));
    EXPECT_EQ(ptConfg_->hMcuVerFile, kInvalidHandle);
    EXPECT_EQ(ptConfg_->hMcuCipherFile, kInvalidHandle);

    // Released, the same encoding goes through.
    StdoutCapture tAgain;
    EXPECT_EQ(EncodeMcuCipherFileEx(ptConfg_.get()), 1);
    tAgain.Finish();
    EXPECT_EQ(ReadBytes(Cipher()).size(), 26u + 1025u);
}

TEST_F(WindowsFirmwareFiles, DecoderOutputHeldOpenLeavesItUntouched) {
    WriteBytes(Plain(), Bytes(100, 0x42));
    EncodeMcuCipherFile(ptConfg_.get());
    WriteBytes(Clear(), Bytes{1, 2, 3});
    HANDLE hOther = CreateFileA(Clear().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hOther, INVALID_HANDLE_VALUE);
    StdoutCapture tDecode;
    EXPECT_EQ(DecodeMcuCipherFileEx(ptConfg_.get()), 0);
    std::string strOut = tDecode.Finish();
    EXPECT_NE(strOut.find(kDiagHead), std::string::npos) << strOut;
    CloseHandle(hOther);
    EXPECT_EQ(ReadBytes(Clear()), (Bytes{1, 2, 3}));
    EXPECT_FALSE(Exists(Clear() + ".tmp"));
}

// The output path must name a regular file or nothing: a directory, a device and the input itself are
// refused with the open line and the system's code, before anything is written; a file already at the
// temporary name is not reused.
TEST_F(WindowsFirmwareFiles, OutputThatIsNoRegularFileOrTheInputIsRefused) {
    const Bytes vPlain(100, 0x42);
    WriteBytes(Plain(), vPlain);
    const std::string strCipher = Cipher();
    const std::string strDirTarget = strDir_ + "AsDirectory";
    ASSERT_TRUE(CreateDirectoryA(strDirTarget.c_str(), nullptr));
    struct Row {
        std::string strTarget;
        DWORD dwErr;
        McuFileFailure eFailure;
    };
    const Row kRows[] = {
        {strDirTarget, ERROR_ACCESS_DENIED, McuFileFailure::kDirectory},
        {"NUL", ERROR_ACCESS_DENIED, McuFileFailure::kNotRegular},
        {Plain(), ERROR_SHARING_VIOLATION, McuFileFailure::kSameFile},
    };
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.strTarget);
        std::strcpy(ptConfg_->strMcuCipherFilePath, row.strTarget.c_str());
        StdoutCapture tEncode;
        EXPECT_EQ(EncodeMcuCipherFileEx(ptConfg_.get()), 0);
        EXPECT_EQ(tEncode.Finish(), OpenErrorLine("McuCipherFile", row.dwErr));
        EXPECT_EQ(McuCipherFileLastFailure().eFailure, row.eFailure);
        EXPECT_EQ(McuCipherFileLastFailure().eFile, McuFileRole::kMcuCipherFile);
    }
    EXPECT_EQ(ReadBytes(Plain()), vPlain);
    EXPECT_TRUE(RemoveDirectoryA(strDirTarget.c_str()));

    std::strcpy(ptConfg_->strMcuCipherFilePath, strCipher.c_str());
    WriteBytes(strCipher + ".tmp", Bytes{7});
    StdoutCapture tEncode;
    EXPECT_EQ(EncodeMcuCipherFileEx(ptConfg_.get()), 1);
    tEncode.Finish();
    EXPECT_EQ(ReadBytes(Cipher() + ".tmp"), Bytes{7});
    EXPECT_EQ(ReadBytes(Cipher()).size(), 26u + 1025u);
}

}  // namespace
