#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "device/confg_file.h"
#include "device/device_table.h"

namespace {

// The model index is process-wide and never reset: the "before any match" cases must run first.
TEST(DeviceTable, A_BeforeAnyMatchIndexIs7AndPathsAreNotBuilt) {
    EXPECT_EQ(GetDeviceModelIndex(), 7);
    auto ptConfg = std::make_unique<ConfgFile>();
    std::memset(ptConfg.get(), 0, sizeof(ConfgFile));
    BuildFirmwarePath(E_FirmwareFile_McuCipher, "/opt/tavelo/", ptConfg->strMcuCipherFilePath);
    EXPECT_STREQ(ptConfg->strMcuCipherFilePath, "");
    EXPECT_EQ(MatchDeviceId(0x0483, 0x7B00), 0);
    EXPECT_EQ(GetDeviceModelIndex(), 7);  // a failed match never sets the index
}

TEST(DeviceTable, EveryRowMatchesItsOwnIdsAndNothingElse) {
    const std::uint32_t pids[7] = {0x7B01, 0x7B02, 0x7B21, 0x7B22, 0x7B23, 0x7B31, 0x7B32};
    for (int i = 0; i < 7; ++i) {
        ASSERT_EQ(MatchDeviceId(0x0483, pids[i]), 1);
        EXPECT_EQ(GetDeviceModelIndex(), i);
        EXPECT_EQ(MatchDeviceId(0x0484, pids[i]), 0);
        EXPECT_EQ(MatchDeviceId(0x10483, pids[i]), 0);  // IDs compared in full, not cut to 16 bits
        EXPECT_EQ(GetDeviceModelIndex(), i);
    }
    for (std::uint32_t pid = 0x7A00; pid < 0x7C00; ++pid) {
        bool bInTable = false;
        for (std::uint32_t p : pids) {
            bInTable = bInTable || p == pid;
        }
        EXPECT_EQ(MatchDeviceId(0x0483, pid), bInTable ? 1 : 0) << std::hex << pid;
    }
    EXPECT_EQ(MatchDeviceId(0x0483, 0x7B23), 1);
    EXPECT_EQ(GetDeviceModelIndex(), 4);
    const DeviceEntry* ptDev = nullptr;
    GetDeviceEntry(&ptDev, GetDeviceModelIndex());
    ASSERT_NE(ptDev, nullptr);
    EXPECT_STREQ(ptDev->strModelName, "'Tavelo Fjord 12 Pro'");
    EXPECT_EQ(MatchDeviceId(0x0483, 0x1234), 0);
    EXPECT_EQ(GetDeviceModelIndex(), 4);
}

TEST(DeviceTable, RowsAreExact) {
    const char* codes[7] = {"KT1", "KT2", "QX21", "QX22", "QX23", "QX31", "QX32"};
    const char* names[7] = {"'Tavelo K1 Plus V2'",   "'Tavelo K2 V2'",   "'Tavelo Wren M'", "'Tavelo Wren S'",
                            "'Tavelo Fjord 12 Pro'", "'Tavelo Sable M'", "'Tavelo Sable S'"};
    for (int i = 0; i < 7; ++i) {
        std::string code = std::string("Tavelo-") + codes[i];
        EXPECT_EQ(DeviceTable[i].ulVid, 0x0483u);
        EXPECT_STREQ(DeviceTable[i].strModelName, names[i]);
        EXPECT_EQ(DeviceTable[i].strMcuVerFileName, code + ".bin");
        EXPECT_EQ(DeviceTable[i].strChecksumFileName, code + "-Checksum.bin");
        EXPECT_EQ(DeviceTable[i].strMcuCipherFileName, code + "-Cipher.bin");
        EXPECT_EQ(DeviceTable[i].strMcuClearVerFileName, code + "-Clear.bin");
        // Text fields are zero-filled to their width.
        std::size_t n = std::strlen(DeviceTable[i].strModelName);
        for (std::size_t k = n; k < sizeof(DeviceTable[i].strModelName); ++k) {
            ASSERT_EQ(DeviceTable[i].strModelName[k], '\0');
        }
    }
}

TEST(FirmwarePaths, BothPathConventions) {
    ASSERT_EQ(MatchDeviceId(0x0483, 0x7B01), 1);
    char dest[kPathFieldBytes];
    BuildFirmwarePath(E_FirmwareFile_McuVer, "D:\\Tools\\", dest);
    EXPECT_STREQ(dest, "D:\\Tools\\Tavelo-KT1.bin");
    BuildFirmwarePath(E_FirmwareFile_Checksum, "C:\\", dest);
    EXPECT_STREQ(dest, "C:\\Tavelo-KT1-Checksum.bin");
    BuildFirmwarePath(E_FirmwareFile_McuCipher, "/opt/tavelo/", dest);
    EXPECT_STREQ(dest, "/opt/tavelo/Tavelo-KT1-Cipher.bin");
    BuildFirmwarePath(E_FirmwareFile_McuClearVer, "/", dest);
    EXPECT_STREQ(dest, "/Tavelo-KT1-Clear.bin");
    std::strcpy(dest, "unchanged");
    BuildFirmwarePath(4, "/opt/", dest);
    EXPECT_STREQ(dest, "unchanged");

    wchar_t exe1[] = L"D:\\Tools\\TaveloIAP.exe";
    EXPECT_EQ(TrimToDirectory(exe1, L'\\'), 1);
    EXPECT_STREQ(exe1, L"D:\\Tools\\");
    wchar_t exe2[] = L"C:\\TaveloIAP.exe";
    TrimToDirectory(exe2, L'\\');
    EXPECT_STREQ(exe2, L"C:\\");
    wchar_t exe3[] = L"/usr/local/bin/TaveloIAP";
    TrimToDirectory(exe3, L'/');
    EXPECT_STREQ(exe3, L"/usr/local/bin/");
    // U+4E57, whose GBK form is 81 5C, ends in a backslash byte: the wide path holds no separator there.
    wchar_t exe4[] = L"D:\\Tools\\\u4e57.exe";
    TrimToDirectory(exe4, L'\\');
    EXPECT_STREQ(exe4, L"D:\\Tools\\");
    wchar_t noSep[] = L"TaveloIAP";
    EXPECT_EQ(TrimToDirectory(noSep, L'/'), 0);
    EXPECT_STREQ(noSep, L"");
}

TEST(FirmwarePaths, PathThatDoesNotFitIsRefusedNotCut) {
    ASSERT_EQ(MatchDeviceId(0x0483, 0x7B01), 1);
    // "Tavelo-KT1-Cipher.bin" is 21 characters: a directory of 234 makes 255, the longest that fits.
    std::string dir(233, 'd');
    dir += '/';
    char dest[kPathFieldBytes + 16];
    std::memset(dest, 'X', sizeof(dest));
    BuildFirmwarePath(E_FirmwareFile_McuCipher, dir.c_str(), dest);
    EXPECT_EQ(std::strlen(dest), 255u);
    EXPECT_EQ(dest[256], 'X');

    std::string longer(234, 'd');
    longer += '/';
    std::memset(dest, 'X', sizeof(dest));
    BuildFirmwarePath(E_FirmwareFile_McuCipher, longer.c_str(), dest);
    EXPECT_STREQ(dest, "");   // refused whole: never a shortened path such as ".../Tavelo-KT1-Cipher.bi"
    EXPECT_EQ(dest[1], 'X');  // nothing written beyond the terminator

    std::string huge(300, 'd');  // a directory longer than the field itself
    EXPECT_EQ(JoinDirAndFileName(huge.c_str(), "x", dest), 0);
    EXPECT_STREQ(dest, "");
}

TEST(ExeDirectory, IsTheDirectoryOfThisTestProgram) {
    auto ptConfg = std::make_unique<ConfgFile>();
    std::memset(ptConfg.get(), 0, sizeof(ConfgFile));
    ASSERT_EQ(GetExeDirectory(ptConfg->strExeDir, ptConfg->wstrExeDir), 1);
    std::string dir = ptConfg->strExeDir;
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), kPathSeparator);
    // The wide field holds the same directory.
    char back[kPathFieldBytes];
    ASSERT_NE(WideToAnsi(ptConfg->wstrExeDir, back, kPathFieldBytes), 0u);
    EXPECT_EQ(dir, back);
}

TEST(TextConversions, RoundTripAndSizeLimits) {
    const char* strUtf8 = "/tmp/\xE6\x95\xB0\xE4\xBD\x8D\xE6\x9D\xBF/";  // a directory with CJK characters
    wchar_t wide[kWidePathFieldChars];
    std::uint32_t n = AnsiToWide(strUtf8, wide, kWidePathFieldChars);
    EXPECT_EQ(n, 10u);  // 9 characters and the terminator
    char back[kPathFieldBytes];
    EXPECT_EQ(WideToAnsi(wide, back, kPathFieldBytes), std::strlen(strUtf8) + 1);
    EXPECT_STREQ(back, strUtf8);

    // Output that does not fit its field is refused and the field left empty; nothing is written past it.
    char small[8];
    std::memset(small, 'X', sizeof(small));
    EXPECT_EQ(WideToAnsi(wide, small, 4), 0u);
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(small[4], 'X');
    wchar_t wsmall[4];
    EXPECT_EQ(AnsiToWide(strUtf8, wsmall, 4), 0u);
    EXPECT_EQ(wsmall[0], L'\0');
}

}  // namespace
