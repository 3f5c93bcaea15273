#include "cli/cipher_subcommand.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/capture_stdout.h"

namespace {

struct TempFile {
    explicit TempFile(const std::vector<std::uint8_t>& data) {
        static int iCount = 0;
        strPath = (std::filesystem::temp_directory_path() /
                   ("tvhexdump." + std::to_string(std::random_device{}()) + "." + std::to_string(++iCount)))
                      .string();
        std::FILE* pt = std::fopen(strPath.c_str(), "wb");
        if (pt == nullptr) {
            ADD_FAILURE() << "cannot create " << strPath;
            return;
        }
        if (!data.empty()) {
            std::fwrite(data.data(), 1, data.size(), pt);
        }
        std::fclose(pt);
    }
    ~TempFile() { std::remove(strPath.c_str()); }
    std::string strPath;
};

int Hexdump(std::vector<std::string> operands, std::string* pstrOut) {
    std::vector<char*> argv;
    for (auto& s : operands) {
        argv.push_back(s.data());
    }
    StdoutCapture cap;
    int iStatus = RunHexdumpSubcommand(static_cast<int>(argv.size()), argv.data());
    *pstrOut = cap.Finish();
    return iStatus;
}

TEST(HexdumpSubcommand, DumpsTheWholeFileInTitledChunks) {
    std::vector<std::uint8_t> data(20);
    for (int i = 0; i < 20; ++i) {
        data[i] = static_cast<std::uint8_t>(0xF0 + i);
    }
    TempFile file(data);
    std::string out;
    ASSERT_EQ(Hexdump({file.strPath, "8"}, &out), kCipherExitOk);
    EXPECT_EQ(out, file.strPath + ": 20 bytes\r\n" +
                       "00000000\r\n    0xF0 0xF1 0xF2 0xF3 0xF4 0xF5 0xF6 0xF7 \r\n"
                       "00000008\r\n    0xF8 0xF9 0xFA 0xFB 0xFC 0xFD 0xFE 0xFF \r\n"
                       "00000010\r\n    0x00 0x01 0x02 0x03 \r\n");

    // The default is 16 bytes a dump; the largest N is what a dump holds under a 16-digit title.
    ASSERT_EQ(Hexdump({file.strPath}, &out), kCipherExitOk);
    EXPECT_NE(out.find("00000010\r\n    0x00 0x01 0x02 0x03 \r\n"), std::string::npos);
    ASSERT_EQ(Hexdump({file.strPath, "405"}, &out), kCipherExitOk);
    EXPECT_EQ(Hexdump({file.strPath, "406"}, &out), kCipherExitUsage);
    EXPECT_EQ(Hexdump({file.strPath, "0"}, &out), kCipherExitUsage);
    EXPECT_EQ(Hexdump({file.strPath, "8x"}, &out), kCipherExitUsage);

    TempFile empty({});
    ASSERT_EQ(Hexdump({empty.strPath}, &out), kCipherExitOk);
    EXPECT_EQ(out, empty.strPath + ": 0 bytes\r\n");
    EXPECT_EQ(Hexdump({"/nonexistent/dir/file"}, &out), kCipherExitFailed);
    EXPECT_EQ(out, "");
}

}  // namespace
