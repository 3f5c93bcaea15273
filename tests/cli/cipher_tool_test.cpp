// taveloiap-cipher run as a program on temporary files: output and exit status of every subcommand.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "version.h"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::string kUsage =
    "usage: taveloiap-cipher encode PLAIN CIPHER | decode CIPHER CLEAR | info CIPHER | verify CIPHER | "
    "hexdump FILE [N] [--offset O] [--length L] | serial-check [PATTERN] | --help\r\n";

void WriteFile(const fs::path& p, const Bytes& b) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

Bytes ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Byte i is i * ucMul + ucAdd.
Bytes Pattern(std::size_t szLen, std::uint8_t ucMul, std::uint8_t ucAdd) {
    Bytes b(szLen);
    for (std::size_t i = 0; i < szLen; ++i) {
        b[i] = static_cast<std::uint8_t>(i * ucMul + ucAdd);
    }
    return b;
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
    // standard output and error in out_ and err_. A run that hangs is ended (status 124).
    int Run(const std::string& strArgs) {
        std::string strCmd = std::string("timeout -k 5 60 '") + TAVELO_CIPHER_TOOL + "' " + strArgs + " >'" +
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
    for (const char* strLine :
         {"  encode PLAIN CIPHER\r\n      scramble the plain firmware image PLAIN (1 to 262144 "
          "bytes; an empty or larger image is refused)",
          "  decode CIPHER CLEAR\r\n", "  info CIPHER\r\n", "  verify CIPHER\r\n",
          "Exit status: 0 success"}) {
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
    const Bytes plain = Pattern(3000, 31, 7);
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

    // A file cut short: info still shows the header and the failed check; both fail.
    WriteFile(dir_ / "plain.bin", Bytes(10, 0x42));
    ASSERT_EQ(Run("encode " + Path("plain.bin") + " " + Path("cipher.bin")), 0);
    Bytes cipher = ReadFile(dir_ / "cipher.bin");
    ASSERT_FALSE(cipher.empty());
    cipher.pop_back();
    WriteFile(dir_ / "cipher.bin", cipher);
    const std::string kDamaged =
        "[Tavelo IAP]: IAP应用流程 |-> Error->McuCipherFile文件损坏 File<1050,1,10>, OrgMcuLen<10>\r\n";
    EXPECT_EQ(Run("info " + Path("cipher.bin")), 1);
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

// "{D}" in a row's text stands for the row's own directory.
std::string Expand(std::string str, const fs::path& dir) {
    for (std::size_t at = str.find("{D}"); at != std::string::npos; at = str.find("{D}", at)) {
        str.replace(at, 3, dir.string());
    }
    return str;
}

// A failure line of the firmware module with its error code.
std::string ModuleLine(const std::string& strWhat, int iErr) {
    return "[Tavelo IAP]: IAP应用流程 |-> Error->" + strWhat + "（" + std::to_string(iErr) + "）\r\n";
}

std::set<std::string> Names(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// Whatever a path names, the tool damages nothing it was not asked to write, never hangs, and explains
// every failure in one English line on standard error (the module's own lines stay on standard output).
// Each row runs in a directory of its own that starts with plain.bin (3000 bytes), cipher.bin (its sound
// encoding) and h.bin (the 40 bytes 0..39); plain.bin and cipher.bin must come out unchanged and the
// directory must hold nothing else than the row names (no temporary file left behind).
TEST_F(CipherToolTest, AnyPathIsSafeAndEveryFailureIsExplained) {
    const Bytes plain = Pattern(3000, 13, 5);
    WriteFile(dir_ / "plain.bin", plain);
    ASSERT_EQ(Run("encode " + Path("plain.bin") + " " + Path("cipher.bin")), 0);
    const Bytes kCipher = ReadFile(dir_ / "cipher.bin");
    const Bytes h = Pattern(40, 1, 0);

    // The device node: as root, one made for the test with the numbers of /dev/null, so that a fault
    // replaces no device of the machine; without root, /dev/null itself (renaming over it is denied).
    const bool bMknod = mknod((dir_ / "probe").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    const bool bRoot = geteuid() == 0;
    const std::string strDevice = bMknod ? "{D}/null" : "/dev/null";

    using Fn = std::function<void(const fs::path&)>;
    const Fn kNothing = [](const fs::path&) {};
    // big.bin: cipher.bin followed by a hole up to ullSize bytes.
    auto BigFile = [&](std::uintmax_t ullSize) -> Fn {
        return [&kCipher, ullSize](const fs::path& d) {
            WriteFile(d / "big.bin", kCipher);
            fs::resize_file(d / "big.bin", ullSize);
        };
    };
    const std::string kEncode = "encode '{D}/plain.bin' ";
    const std::string kEncoded = "[Tavelo IAP]: OrgMcuLen:3000, PackageCounter:3, LastPackageLen:952\r\n";
    const std::string kSpecial =
        "': it is a device, FIFO or other special file, not a regular file; it was left as it was\r\n";
    const std::string kSpecialInput = "': it is a device, FIFO or other special file, not a regular file\r\n";
    const std::string kBig =
        "' is damaged: its 104857600 bytes are more than any McuCipherFile holds (262426)\r\n";
    struct Row {
        const char* strWhat;
        Fn fnSetUp;
        std::string strArgs;
        int iStatus;
        std::string strOut;           // exact; "..." first: stdout holds the rest somewhere
        std::string strErr;           // exact
        std::set<std::string> extra;  // names in the directory besides the three it started with
        Fn fnCheck;
    };
    const Row kRows[] = {
        // Targets that are no regular file: refused before anything is read or written, left as they were.
        {"device node",
         [&](const fs::path& d) {
             if (bMknod)
                 mknod((d / "null").c_str(), S_IFCHR | 0666, makedev(1, 3));
         },
         kEncode + "'" + strDevice + "'", 1, ModuleLine("McuCipherFile打开错误", EINVAL),
         "taveloiap-cipher: encode: refused to write '" + strDevice + kSpecial,
         bMknod ? std::set<std::string>{"null"} : std::set<std::string>{},
         [&](const fs::path& d) { EXPECT_TRUE(fs::is_character_file(Expand(strDevice, d))); }},
        {"FIFO, never opened",
         [](const fs::path& d) { ASSERT_EQ(mkfifo((d / "fifo").c_str(), 0600), 0); },
         kEncode + "'{D}/fifo'",
         1,
         ModuleLine("McuCipherFile打开错误", EINVAL),
         "taveloiap-cipher: encode: refused to write '{D}/fifo" + kSpecial,
         {"fifo"},
         [](const fs::path& d) { EXPECT_TRUE(fs::is_fifo(d / "fifo")); }},
        // An input that is no regular file: refused at once, never read or waited on.
        {"FIFO as input",
         [](const fs::path& d) { ASSERT_EQ(mkfifo((d / "fifo").c_str(), 0600), 0); },
         "encode '{D}/fifo' '{D}/out.bin'",
         1,
         ModuleLine("McuVerFile打开错误", EINVAL),
         "taveloiap-cipher: encode: cannot open '{D}/fifo" + kSpecialInput,
         {"fifo"},
         kNothing},
        {"directory",
         [](const fs::path& d) { fs::create_directories(d / "dir" / "keep"); },
         kEncode + "'{D}/dir'",
         1,
         ModuleLine("McuCipherFile打开错误", EISDIR),
         "taveloiap-cipher: encode: refused to write '{D}/dir': it is a directory\r\n",
         {"dir"},
         [](const fs::path& d) { EXPECT_TRUE(fs::is_directory(d / "dir" / "keep")); }},
        // A link planted at the temporary name is not followed: another name is taken.
        {"NAME.tmp link",
         [](const fs::path& d) {
             WriteFile(d / "victim", Bytes{'v'});
             fs::create_symlink("victim", d / "out.bin.tmp");
         },
         kEncode + "'{D}/out.bin'",
         0,
         kEncoded,
         "",
         {"victim", "out.bin.tmp", "out.bin"},
         [&](const fs::path& d) {
             EXPECT_EQ(ReadFile(d / "victim"), Bytes{'v'});
             EXPECT_TRUE(fs::is_symlink(d / "out.bin.tmp"));
             EXPECT_EQ(fs::file_size(d / "out.bin"), kCipher.size());
         }},
        // The input file itself, under its own name or another.
        {"encode onto the input",
         kNothing,
         kEncode + "'{D}/plain.bin'",
         1,
         ModuleLine("McuCipherFile打开错误", EBUSY),
         "taveloiap-cipher: encode: refused to write '{D}/plain.bin': it is the input file itself\r\n",
         {},
         kNothing},
        {"encode onto a hard link of the input",
         [](const fs::path& d) { fs::create_hard_link(d / "plain.bin", d / "hard.bin"); },
         kEncode + "'{D}/hard.bin'",
         1,
         ModuleLine("McuCipherFile打开错误", EBUSY),
         "taveloiap-cipher: encode: refused to write '{D}/hard.bin': it is the input file itself\r\n",
         {"hard.bin"},
         kNothing},
        {"decode onto the input",
         kNothing,
         "decode '{D}/cipher.bin' '{D}/cipher.bin'",
         1,
         "..." + ModuleLine("McuVerFile打开错误", EBUSY),
         "taveloiap-cipher: decode: refused to write '{D}/cipher.bin': it is the input file itself\r\n",
         {},
         kNothing},
        // A symbolic link is written through, as cp does, and the file replaced keeps its permission bits;
        // a link that leads nowhere is refused.
        {"link to a file",
         [](const fs::path& d) {
             WriteFile(d / "real.bin", Bytes{'o', 'l', 'd'});
             fs::permissions(d / "real.bin", fs::perms(0604));
             fs::create_symlink("real.bin", d / "link.bin");
         },
         kEncode + "'{D}/link.bin'",
         0,
         kEncoded,
         "",
         {"real.bin", "link.bin"},
         [&](const fs::path& d) {
             ASSERT_TRUE(fs::is_symlink(d / "link.bin"));
             EXPECT_EQ(fs::read_symlink(d / "link.bin"), "real.bin");
             EXPECT_EQ(fs::file_size(d / "real.bin"), kCipher.size());
             EXPECT_EQ(fs::status(d / "real.bin").permissions(), fs::perms(0604));
         }},
        {"link to nothing",
         [](const fs::path& d) { fs::create_symlink("missing.bin", d / "link.bin"); },
         kEncode + "'{D}/link.bin'",
         1,
         ModuleLine("McuCipherFile打开错误", ENOENT),
         "taveloiap-cipher: encode: refused to write '{D}/link.bin': it is a symbolic link to a file that "
         "does "
         "not exist\r\n",
         {"link.bin"},
         [](const fs::path& d) { EXPECT_TRUE(fs::is_symlink(d / "link.bin")); }},
        // The decoder's line names the McuVerFile; the summary names the output file.
        {"decoder output in a missing directory",
         kNothing,
         "decode '{D}/cipher.bin' '{D}/nodir/o.bin'",
         1,
         "..." + ModuleLine("McuVerFile打开错误", ENOENT),
         "taveloiap-cipher: decode: cannot create '{D}/nodir/o.bin': No such file or directory\r\n",
         {},
         kNothing},
        // Sizes beyond what is read, and beyond 32 bits.
        {"info on 100 MiB",
         BigFile(100u << 20),
         "info '{D}/big.bin'",
         1,
         "...\r\nFile size:      104857600 bytes\r\n",
         "taveloiap-cipher: info: '{D}/big.bin" + kBig,
         {"big.bin"},
         kNothing},
        {"verify on 5 GiB",
         BigFile(5ull << 30),
         "verify '{D}/big.bin'",
         1,
         "[Tavelo IAP]: IAP应用流程 |-> Error->McuCipherFile文件损坏 File<5368709120,3,952>, "
         "OrgMcuLen<3000>\r\n"
         "{D}/big.bin: FAILED\r\n",
         "taveloiap-cipher: verify: '{D}/big.bin' is damaged: its 5368709120 bytes are more than any "
         "McuCipherFile "
         "holds (262426)\r\n",
         {"big.bin"},
         kNothing},
        // hexdump shows a part of a file.
        {"hexdump part",
         kNothing,
         "hexdump '{D}/h.bin' 8 --offset 30 --length 20",
         0,
         "{D}/h.bin: 40 bytes\r\n0000001E\r\n    0x1E 0x1F 0x20 0x21 0x22 0x23 0x24 0x25 \r\n"
         "00000026\r\n    0x26 0x27 \r\n",
         "",
         {},
         kNothing},
        {"hexdump part, hexadecimal",
         kNothing,
         "hexdump '{D}/h.bin' --length 2 --offset 0x10",
         0,
         "{D}/h.bin: 40 bytes\r\n00000010\r\n    0x10 0x11 \r\n",
         "",
         {},
         kNothing},
        {"hexdump from the end",
         kNothing,
         "hexdump '{D}/h.bin' --offset 40",
         0,
         "{D}/h.bin: 40 bytes\r\n",
         "",
         {},
         kNothing},
        {"hexdump past the end",
         kNothing,
         "hexdump '{D}/h.bin' --offset 41",
         1,
         "",
         "hexdump: offset 41 is past the end of {D}/h.bin (40 bytes)\r\n",
         {},
         kNothing},
        // Every argument error ends with the usage line.
        {"empty path",
         kNothing,
         "encode '' '{D}/x'",
         2,
         "",
         "taveloiap-cipher: a path must have 1 to 255 bytes: ''\r\n" + kUsage,
         {},
         kNothing},
        {"hexdump N 0",
         kNothing,
         "hexdump '{D}/h.bin' 0",
         2,
         "",
         "hexdump: N must be a number from 1 to 405: '0'\r\n" + kUsage,
         {},
         kNothing},
        {"hexdump --offset alone",
         kNothing,
         "hexdump '{D}/h.bin' --offset",
         2,
         "",
         "hexdump: --offset takes a number (decimal, or hexadecimal after 0x), once: ''\r\n" + kUsage,
         {},
         kNothing},
        {"hexdump --offset negative",
         kNothing,
         "hexdump '{D}/h.bin' --offset -1",
         2,
         "",
         "hexdump: --offset takes a number (decimal, or hexadecimal after 0x), once: '-1'\r\n" + kUsage,
         {},
         kNothing},
        {"hexdump --offset beyond 64 bits",
         kNothing,
         "hexdump '{D}/h.bin' --offset 18446744073709551616",
         2,
         "",
         "hexdump: --offset takes a number (decimal, or hexadecimal after 0x), once: "
         "'18446744073709551616'\r\n" +
             kUsage,
         {},
         kNothing},
        {"hexdump --offset twice",
         kNothing,
         "hexdump '{D}/h.bin' --offset 1 --offset 2",
         2,
         "",
         "hexdump: --offset takes a number (decimal, or hexadecimal after 0x), once: '2'\r\n" + kUsage,
         {},
         kNothing},
        {"hexdump --length 0",
         kNothing,
         "hexdump '{D}/h.bin' --length 0",
         2,
         "",
         "hexdump: --length takes a number from 1 (decimal, or hexadecimal after 0x), once: '0'\r\n" + kUsage,
         {},
         kNothing},
        {"hexdump two N",
         kNothing,
         "hexdump '{D}/h.bin' 8 9",
         2,
         "",
         "hexdump: unexpected operand '9'\r\n" + kUsage,
         {},
         kNothing},
        {"serial-check pattern",
         kNothing,
         "serial-check nopattern",
         2,
         "",
         "serial-check: PATTERN must hold \"%u\" and is for Linux only: 'nopattern'\r\n" + kUsage,
         {},
         kNothing},
    };
    if (!bMknod && bRoot) {
        GTEST_SKIP() << "root without mknod: no device node to test on";
    }
    int iRow = 0;
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.strWhat);
        const fs::path d = dir_ / ("row" + std::to_string(iRow++));
        fs::create_directories(d);
        WriteFile(d / "plain.bin", plain);
        WriteFile(d / "cipher.bin", kCipher);
        WriteFile(d / "h.bin", h);
        row.fnSetUp(d);

        EXPECT_EQ(Run(Expand(row.strArgs, d)), row.iStatus);
        const std::string strOut = Expand(row.strOut, d);
        if (strOut.rfind("...", 0) == 0) {
            EXPECT_NE(out_.find(strOut.substr(3)), std::string::npos) << out_;
        } else {
            EXPECT_EQ(out_, strOut);
        }
        EXPECT_EQ(err_, Expand(row.strErr, d));
        row.fnCheck(d);
        EXPECT_EQ(ReadFile(d / "plain.bin"), plain);
        EXPECT_EQ(ReadFile(d / "cipher.bin"), kCipher);
        std::set<std::string> names = {"plain.bin", "cipher.bin", "h.bin"};
        names.insert(row.extra.begin(), row.extra.end());
        EXPECT_EQ(Names(d), names);
    }
}

// An encode ended by SIGINT or SIGTERM while its temporary file exists (its first line waits on a full
// pipe) removes that file, leaves the old output as it was and ends by the signal.
TEST_F(CipherToolTest, InterruptedEncodeLeavesNoTemporaryFile) {
    WriteFile(dir_ / "plain.bin", Pattern(3000, 31, 7));
    WriteFile(dir_ / "cipher.bin", Bytes{'o', 'l', 'd'});
    for (int iSignal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(iSignal);
        int aiPipe[2];
        ASSERT_EQ(pipe(aiPipe), 0);
        const std::string strFill(static_cast<std::size_t>(fcntl(aiPipe[1], F_GETPIPE_SZ)), 'x');
        ASSERT_EQ(write(aiPipe[1], strFill.data(), strFill.size()), static_cast<ssize_t>(strFill.size()));
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(aiPipe[1], 1);
            signal(SIGINT, SIG_DFL);  // as from a terminal, also where the test runs in the background
            signal(SIGTERM, SIG_DFL);
            alarm(60);  // a run the signal does not end is ended here (SIGALRM), and fails the test
            execl(TAVELO_CIPHER_TOOL, TAVELO_CIPHER_TOOL, "encode", (dir_ / "plain.bin").c_str(),
                  (dir_ / "cipher.bin").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(aiPipe[1]);
        for (int i = 0; i < 10000 && !fs::exists(dir_ / "cipher.bin.tmp"); ++i) {
            usleep(1000);
        }
        EXPECT_TRUE(fs::exists(dir_ / "cipher.bin.tmp"));
        kill(pid, iSignal);
        int iStatus = 0;
        waitpid(pid, &iStatus, 0);
        close(aiPipe[0]);
        EXPECT_TRUE(WIFSIGNALED(iStatus) && WTERMSIG(iStatus) == iSignal) << iStatus;
        EXPECT_EQ(Names(dir_), (std::set<std::string>{"plain.bin", "cipher.bin"}));
        EXPECT_EQ(ReadFile(dir_ / "cipher.bin"), (Bytes{'o', 'l', 'd'}));
    }
}

}  // namespace
