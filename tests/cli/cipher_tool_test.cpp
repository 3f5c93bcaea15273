// taveloiap-cipher run as a program on temporary files: output and exit status of every subcommand.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "version.h"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::string kUsage =
    "usage: taveloiap-cipher encode PLAIN CIPHER | decode CIPHER CLEAR | info CIPHER | verify CIPHER | "
    "hexdump FILE [N] | serial-check [PATTERN] | --help\r\n";

void WriteFile(const fs::path& p, const Bytes& b) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

Bytes ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string ReadText(const fs::path& p) {
    Bytes b = ReadFile(p);
    return std::string(b.begin(), b.end());
}

class CipherToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device rd;
        dir_ = fs::temp_directory_path() / ("tavelo_cli_" + std::to_string(rd()) + std::to_string(rd()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Runs the tool with the given arguments (already quoted); returns its exit status and keeps its
    // standard output and error in out_ and err_.
    int Run(const std::string& strArgs) {
        std::string strCmd = std::string("'") + TAVELO_CIPHER_TOOL + "' " + strArgs + " >'" +
                             (dir_ / "out").string() + "' 2>'" + (dir_ / "err").string() + "' </dev/null";
        int iStatus = std::system(strCmd.c_str());
        out_ = ReadText(dir_ / "out");
        err_ = ReadText(dir_ / "err");
        fs::remove(dir_ / "out");
        fs::remove(dir_ / "err");
        return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
    }

    std::string Path(const char* strName) const { return "'" + (dir_ / strName).string() + "'"; }

    fs::path dir_;
    std::string out_, err_;
};

TEST_F(CipherToolTest, WrongArgumentsGiveTheUsageLineAndStatus2) {
    const char* const kCases[] = {"",     "frobnicate x", "encode only-one", "decode a b c",
                                  "info", "verify a b",   "--help extra",    "ENCODE a b"};
    for (const char* strArgs : kCases) {
        SCOPED_TRACE(strArgs);
        EXPECT_EQ(Run(strArgs), 2);
        EXPECT_EQ(out_, "");
        ASSERT_GE(err_.size(), kUsage.size());
        EXPECT_EQ(err_.substr(err_.size() - kUsage.size()), kUsage);
    }
    EXPECT_EQ(Run("info " + std::string(300, 'x')), 2);
    EXPECT_NE(err_.find("a path must have 1 to 255 bytes"), std::string::npos);
    EXPECT_EQ(Run("verify ''"), 2);
}

TEST_F(CipherToolTest, HelpNamesEverySubcommand) {
    EXPECT_EQ(Run("--help"), 0);
    EXPECT_EQ(err_, "");
    EXPECT_NE(out_.find(kUsage), std::string::npos);
    for (const char* strLine : {"  encode PLAIN CIPHER\r\n", "  decode CIPHER CLEAR\r\n", "  info CIPHER\r\n",
                                "  verify CIPHER\r\n", "Exit status: 0 success"}) {
        EXPECT_NE(out_.find(strLine), std::string::npos) << strLine;
    }
}

TEST_F(CipherToolTest, VersionIsTheProjectVersion) {
    EXPECT_EQ(Run("--version"), 0);
    EXPECT_EQ(out_, std::string("taveloiap-cipher ") + kTaveloVersion + "\r\n");
    EXPECT_EQ(err_, "");
    EXPECT_EQ(Run("--version extra"), 2);
    EXPECT_EQ(out_, "");
}

TEST_F(CipherToolTest, EncodeInfoVerifyDecodeRoundTrip) {
    Bytes plain(3000);
    for (std::size_t i = 0; i < plain.size(); ++i) {
        plain[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    WriteFile(dir_ / "plain.bin", plain);

    EXPECT_EQ(Run("encode " + Path("plain.bin") + " " + Path("cipher.bin")), 0);
    EXPECT_EQ(out_, "[Tavelo IAP]: OrgMcuLen:3000, PackageCounter:3, LastPackageLen:952\r\n");
    EXPECT_EQ(fs::file_size(dir_ / "cipher.bin"), 26u + 3u * 1025u);

    EXPECT_EQ(Run("info " + Path("cipher.bin")), 0);
    const std::string kPath = (dir_ / "cipher.bin").string();
    EXPECT_EQ(out_.substr(0, out_.find("Encoded:")),
              "McuCipherFile:  " + kPath + "\r\nFile size:      3101 bytes\r\nAlgo:           0,1\r\n");
    EXPECT_NE(
        out_.find(
            "\r\nPackageCounter: 3\r\nLastPackageLen: 952\r\nOrgMcuLen:      3000\r\nMcuCrc:         0x0000"),
        std::string::npos);
    EXPECT_EQ(out_.substr(out_.size() - 23), "Check:          sound\r\n");

    EXPECT_EQ(Run("verify " + Path("cipher.bin")), 0);
    EXPECT_EQ(out_, kPath + ": sound\r\n");

    EXPECT_EQ(Run("decode " + Path("cipher.bin") + " " + Path("clear.bin")), 0);
    EXPECT_EQ(out_.rfind("[Tavelo IAP]: File<3101,3,952>, Algo<0,1>, Time<", 0), 0u);
    EXPECT_EQ(ReadFile(dir_ / "clear.bin"), plain);
    EXPECT_EQ(err_, "");
}

TEST_F(CipherToolTest, FailedOperationsExitNonZeroAndKeepExistingFiles) {
    const Bytes kOld = {'o', 'l', 'd'};
    WriteFile(dir_ / "cipher.bin", kOld);
    EXPECT_EQ(Run("encode " + Path("missing.bin") + " " + Path("cipher.bin")), 1);
    EXPECT_EQ(out_, "[Tavelo IAP]: IAP应用流程 |-> Error->McuVerFile打开错误（2）\r\n");
    EXPECT_EQ(ReadFile(dir_ / "cipher.bin"), kOld);

    // "old" is shorter than a header.
    WriteFile(dir_ / "clear.bin", kOld);
    EXPECT_EQ(Run("decode " + Path("cipher.bin") + " " + Path("clear.bin")), 1);
    EXPECT_EQ(out_, "[Tavelo IAP]: IAP应用流程 |-> Error->McuCipherFile文件损坏 File<3>, Header<26>\r\n");
    EXPECT_EQ(ReadFile(dir_ / "clear.bin"), kOld);

    EXPECT_EQ(Run("info " + Path("cipher.bin")), 1);
    EXPECT_EQ(out_, "[Tavelo IAP]: IAP应用流程 |-> Error->McuCipherFile文件损坏 File<3>, Header<26>\r\n");

    EXPECT_EQ(Run("verify " + Path("missing.bin")), 1);
    EXPECT_EQ(out_, "[Tavelo IAP]: IAP应用流程 |-> Error->McuCipherFile打开错误（2）\r\n" +
                        (dir_ / "missing.bin").string() + ": FAILED\r\n");

    // A file cut short: info still shows the header (status 0) and the failed check; verify fails.
    WriteFile(dir_ / "plain.bin", Bytes(10, 0x42));
    ASSERT_EQ(Run("encode " + Path("plain.bin") + " " + Path("cipher.bin")), 0);
    Bytes cipher = ReadFile(dir_ / "cipher.bin");
    ASSERT_FALSE(cipher.empty());
    cipher.pop_back();
    WriteFile(dir_ / "cipher.bin", cipher);
    const std::string kDamaged =
        "[Tavelo IAP]: IAP应用流程 |-> Error->McuCipherFile文件损坏 File<1050,1,10>, OrgMcuLen<10>\r\n";
    EXPECT_EQ(Run("info " + Path("cipher.bin")), 0);
    EXPECT_NE(out_.find(kDamaged + "Check:          FAILED\r\n"), std::string::npos);
    EXPECT_EQ(Run("verify " + Path("cipher.bin")), 1);
    EXPECT_EQ(out_, kDamaged + (dir_ / "cipher.bin").string() + ": FAILED\r\n");
}

// The two subcommands of the diagnostic utilities and the serial link, as wired into the tool.
TEST_F(CipherToolTest, HexdumpAndSerialCheckAreReachable) {
    WriteFile(dir_ / "frame.bin", Bytes{0x01, 0xAB});
    const std::string strPattern = "'" + (dir_ / "port%u").string() + "'";
    EXPECT_EQ(Run("hexdump " + Path("frame.bin")), 0);
    EXPECT_EQ(out_, (dir_ / "frame.bin").string() + ": 2 bytes\r\n00000000\r\n    0x01 0xAB \r\n");
    EXPECT_EQ(Run("hexdump " + Path("frame.bin") + " 0"), 2);
    EXPECT_EQ(Run("hexdump " + Path("missing.bin")), 1);

    // Standard input is empty: the dialogue asks once and gives up.
    EXPECT_EQ(Run("serial-check " + strPattern), 1);
    EXPECT_NE(out_.find("请输入串口号：\r\nserial-check: no port was opened and set.\r\n"),
              std::string::npos);
}

}  // namespace
