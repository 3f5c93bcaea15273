// The package command's parameters, built from the McuCipherFile, and the command union's overlay.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "device/confg_file.h"
#include "drbd/com_resource.h"
#include "drbd/iap_commands.h"
#include "support/capture_stdout.h"

namespace {

class PackageParaTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("tavelo-pkg-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        confg_ = std::make_unique<ConfgFile>();
        std::memset(confg_.get(), 0, sizeof(ConfgFile));
        confg_->hMcuVerFile = confg_->hChecksumFile = kInvalidHandle;
        confg_->hMcuCipherFile = confg_->hMcuClearVerFile = kInvalidHandle;
        path_ = (dir_ / "Tavelo-KT1-Cipher.bin").string();
        std::strcpy(confg_->strMcuCipherFilePath, path_.c_str());
        std::memset(&union_, 0, sizeof(union_));
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // A file whose every byte tells its own offset, so a wrong offset shows.
    std::vector<std::uint8_t> WriteFile(std::size_t szBytes) {
        std::vector<std::uint8_t> bytes(szBytes);
        for (std::size_t k = 0; k < szBytes; ++k) {
            bytes[k] = static_cast<std::uint8_t>((k * 7 + k / 251) & 0xFF);
        }
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return bytes;
    }

    std::vector<std::uint8_t> Build(std::uint16_t usIndex, std::uint8_t ucLast,
                                    std::uint16_t usLength = 1025) {
        union_.tPackage.ucLastPackage = ucLast;
        union_.tPackage.usPackageIndex = usIndex;
        union_.tPackage.usPackageLength = usLength;
        std::vector<std::uint8_t> para(1200, 0xAA);
        std::uint16_t usParaLen = 0;
        BuildPackagePara(confg_.get(), para.data(), &usParaLen, &union_);
        para.resize(usParaLen);
        EXPECT_EQ(confg_->hMcuCipherFile, kInvalidHandle);  // closed again before it returns
        return para;
    }

    std::filesystem::path dir_;
    std::string path_;
    std::unique_ptr<ConfgFile> confg_;
    PrtcDRBDCmdUnion union_;
};

TEST_F(PackageParaTest, EachPackageCarriesItsRecordAsStored) {
    auto file = WriteFile(26 + 3 * 1025);
    SetLastPackageLen(100);
    for (std::uint16_t i = 0; i < 3; ++i) {
        auto para = Build(i, i == 2 ? 1 : 0);
        ASSERT_EQ(para.size(), 1032u);
        const std::uint8_t header[7] = {static_cast<std::uint8_t>(i == 2), 0x00, 0x64, 0x00,
                                        static_cast<std::uint8_t>(i),      0x04, 0x01};
        EXPECT_EQ(0, std::memcmp(para.data(), header, 7)) << "package " << i;
        EXPECT_EQ(0, std::memcmp(para.data() + 7, file.data() + 26 + 1025 * i, 1025)) << "package " << i;
    }
}

TEST_F(PackageParaTest, ShortLastRecordIsFilledWith0xFF) {
    auto file = WriteFile(26 + 1025 + 500);
    auto para = Build(1, 1);
    ASSERT_EQ(para.size(), 1032u);
    EXPECT_EQ(0, std::memcmp(para.data() + 7, file.data() + 26 + 1025, 500));
    for (std::size_t k = 7 + 500; k < para.size(); ++k) {
        ASSERT_EQ(para[k], 0xFF) << k;
    }
    // A package wholly beyond the file is all filler.
    auto beyond = Build(9, 0);
    ASSERT_EQ(beyond.size(), 1032u);
    for (std::size_t k = 7; k < beyond.size(); ++k) {
        ASSERT_EQ(beyond[k], 0xFF) << k;
    }
}

TEST_F(PackageParaTest, NothingBeyondTheFirst512KiBOfTheFileIsSent) {
    // Package 511 starts at 26 + 511 x 1025 = 523,801 and the read limit is 524,288: 487 bytes are taken.
    auto file = WriteFile(26 + 520 * 1025);
    auto para = Build(511, 0);
    ASSERT_EQ(para.size(), 1032u);
    EXPECT_EQ(0, std::memcmp(para.data() + 7, file.data() + 26 + 511 * 1025, 487));
    for (std::size_t k = 7 + 487; k < para.size(); ++k) {
        ASSERT_EQ(para[k], 0xFF) << k;
    }
}

TEST_F(PackageParaTest, MissingFileGivesTheHeaderAloneAndTheOpenErrorLine) {
    SetLastPackageLen(0);
    StdoutCapture cap;
    auto para = Build(0, 1);
    std::string out = cap.Finish();
    ASSERT_EQ(para.size(), 7u);
    const std::uint8_t header[7] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x04, 0x01};
    EXPECT_EQ(0, std::memcmp(para.data(), header, 7));
    EXPECT_EQ(out, "[Tavelo IAP]:  -> Error->Mcu版本文件打开错误（" + std::to_string(ENOENT) + "）\r\n");
}

TEST(CmdUnion, MembersOverlayAsTheUpgradeExpects) {
    PrtcDRBDCmdUnion un;
    std::memset(&un, 0, sizeof(un));
    un.tVersionFileInfo.ulVersionFileLength = 0x11223344;
    un.tVersionFileInfo.ulVersionFileCrc = 0x55667788;
    // The package member written after the count was taken overwrites the version file info.
    un.tPackage.ucLastPackage = 1;
    un.tPackage.usPackageIndex = 0xA1B2;
    un.tPackage.usPackageLength = 1025;
    EXPECT_EQ(un.ucState, 1);
    EXPECT_EQ(un.ucTarget, 1);
    EXPECT_EQ(un.aucRaw[0], 1);
    std::uint16_t usIndex;
    std::memcpy(&usIndex, un.aucRaw + 3, 2);
    EXPECT_EQ(usIndex, 0xA1B2);
    std::uint16_t usLength;
    std::memcpy(&usLength, un.aucRaw + 5, 2);
    EXPECT_EQ(usLength, 1025);
    std::uint16_t usBoot;
    std::memcpy(&usBoot, un.aucRaw, 2);
    EXPECT_EQ(un.usBootPackageLength, usBoot);
}

}  // namespace
