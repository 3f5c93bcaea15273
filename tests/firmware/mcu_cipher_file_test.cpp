#include "firmware/mcu_cipher_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/bitwise_crc.h"
#include "support/capture_stdout.h"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::time_t kFixedTime = 1700000000;  // the moment every encoding of these tests takes place

std::string Format(const char* strFormat, ...) {
    char acBuf[512];
    va_list ap;
    va_start(ap, strFormat);
    std::vsnprintf(acBuf, sizeof(acBuf), strFormat, ap);
    va_end(ap);
    return acBuf;
}

void PutLe16(Bytes& b, std::size_t szOff, std::uint32_t ul) {
    b[szOff] = static_cast<std::uint8_t>(ul);
    b[szOff + 1] = static_cast<std::uint8_t>(ul >> 8);
}

void PutLe32(Bytes& b, std::size_t szOff, std::uint32_t ul) {
    PutLe16(b, szOff, ul);
    PutLe16(b, szOff + 2, ul >> 16);
}

Bytes Pattern(std::size_t szLen, unsigned uiSeed) {
    std::mt19937 gen(uiSeed);
    Bytes b(szLen);
    for (auto& uc : b) {
        uc = static_cast<std::uint8_t>(gen());
    }
    return b;
}

void WriteFile(const fs::path& p, const Bytes& b) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

Bytes ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The local date and time the encoder writes for kFixedTime, as the decoder's line shows it.
std::tm FixedLocalTime() {
    std::time_t t = kFixedTime;
    return *std::localtime(&t);
}

std::string DecoderLine(std::size_t szFileLen, unsigned uiPackages, unsigned uiLastLen) {
    std::tm tm = FixedLocalTime();
    return Format("[Tavelo IAP]: File<%zu,%u,%u>, Algo<0,1>, Time<%d.%d.%d %d:%d:%d>\r\n", szFileLen,
                  uiPackages, uiLastLen, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
}

std::string DamagedLine(std::size_t szFileLen, unsigned uiPackages, unsigned uiLastLen,
                        std::uint32_t ulOrgLen) {
    return Format(
        "[Tavelo IAP]: IAP应用流程 |-> Error->McuCipherFile文件损坏 File<%zu,%u,%u>, OrgMcuLen<%u>\r\n",
        szFileLen, uiPackages, uiLastLen, ulOrgLen);
}

std::string ShortLine(std::size_t szFileLen) {
    return Format("[Tavelo IAP]: IAP应用流程 |-> Error->McuCipherFile文件损坏 File<%zu>, Header<26>\r\n",
                  szFileLen);
}

std::string ErrLine(const char* strWhat, int iErr) {
    return Format("[Tavelo IAP]: IAP应用流程 |-> Error->%s（%d）\r\n", strWhat, iErr);
}

class McuCipherFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device rd;
        dir_ = fs::temp_directory_path() / Format("tavelo_fw_%08x%08x", rd(), rd());
        fs::create_directories(dir_);
        plain_ = dir_ / "Tavelo-KT1.bin";
        cipher_ = dir_ / "Tavelo-KT1-Cipher.bin";
        clear_ = dir_ / "Tavelo-KT1-Clear.bin";
        ptConfg_ = std::make_unique<ConfgFile>();
        // As start-up leaves it: zero-filled, only hMcuVerFile marked closed.
        std::memset(ptConfg_.get(), 0, sizeof(ConfgFile));
        ptConfg_->hMcuVerFile = kInvalidHandle;
        SetPaths(plain_, cipher_, clear_);
        McuCipherFileFixTime(1, kFixedTime);
    }

    void TearDown() override {
        McuCipherFileFixTime(0, 0);
        McuCipherFileSetAllocator(nullptr);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    void SetPaths(const fs::path& plain, const fs::path& cipher, const fs::path& clear) {
        std::snprintf(ptConfg_->strMcuVerFilePath, kPathFieldBytes, "%s", plain.c_str());
        std::snprintf(ptConfg_->strMcuCipherFilePath, kPathFieldBytes, "%s", cipher.c_str());
        std::snprintf(ptConfg_->strMcuClearVerFilePath, kPathFieldBytes, "%s", clear.c_str());
    }

    // Only the files the test itself put there (no temporary file left behind).
    std::size_t FileCount() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }

    std::string Encode(int* pbOk = nullptr) {
        StdoutCapture cap;
        int bOk = EncodeMcuCipherFileEx(ptConfg_.get());
        if (pbOk != nullptr) {
            *pbOk = bOk;
        }
        // Every file an operation opened is closed and its handle field marked closed.
        EXPECT_EQ(ptConfg_->hMcuVerFile, kInvalidHandle);
        EXPECT_EQ(ptConfg_->hMcuCipherFile, kInvalidHandle);
        return cap.Finish();
    }

    std::string Decode(int* pbOk = nullptr) {
        StdoutCapture cap;
        int bOk = DecodeMcuCipherFileEx(ptConfg_.get());
        if (pbOk != nullptr) {
            *pbOk = bOk;
        }
        EXPECT_EQ(ptConfg_->hMcuCipherFile, kInvalidHandle);
        EXPECT_EQ(ptConfg_->hMcuClearVerFile, kInvalidHandle);
        return cap.Finish();
    }

    std::string Check(int* pbSound) {
        StdoutCapture cap;
        *pbSound = CheckMcuCipherFile(ptConfg_.get());
        EXPECT_EQ(ptConfg_->hMcuCipherFile, kInvalidHandle);
        return cap.Finish();
    }

    // Runs the header reader with sentinel values; returns its output.
    std::string ReadHeader(std::uint32_t* pulOrg, std::uint32_t* pulCrc, std::uint32_t* pulLast) {
        *pulOrg = 0xAAAAAAAA;
        *pulCrc = 0xBBBBBBBB;
        *pulLast = 0xCCCCCCCC;
        StdoutCapture cap;
        ReadMcuCipherFileHeader(ptConfg_.get(), pulOrg, pulCrc, pulLast);
        EXPECT_EQ(ptConfg_->hMcuCipherFile, kInvalidHandle);
        return cap.Finish();
    }

    // A sound McuCipherFile of an image of ulLen bytes, as the encoder made it.
    Bytes MakeCipher(std::uint32_t ulLen, Bytes* pPlain = nullptr) {
        Bytes plain = Pattern(ulLen, ulLen);
        WriteFile(plain_, plain);
        Encode();
        if (pPlain != nullptr) {
            *pPlain = plain;
        }
        return ReadFile(cipher_);
    }

    fs::path dir_, plain_, cipher_, clear_;
    std::unique_ptr<ConfgFile> ptConfg_;
};

TEST_F(McuCipherFileTest, RoundTripsKeepTheImageAndFollowTheLayout) {
    const std::tm tm = FixedLocalTime();
    for (std::uint32_t ulSize : {1u, 9u, 1023u, 1024u, 1025u, 2048u, 262144u}) {
        SCOPED_TRACE(ulSize);
        Bytes plain = Pattern(ulSize, ulSize);
        WriteFile(plain_, plain);
        const std::uint32_t ulOrg = ulSize;
        const unsigned uiPackages = (ulOrg + 1023) / 1024;
        const unsigned uiLast = ulOrg % 1024;

        int bOk = 0;
        EXPECT_EQ(Encode(&bOk), Format("[Tavelo IAP]: OrgMcuLen:%u, PackageCounter:%u, LastPackageLen:%u\r\n",
                                       ulOrg, uiPackages, uiLast));
        EXPECT_EQ(bOk, 1);
        Bytes cipher = ReadFile(cipher_);
        ASSERT_EQ(cipher.size(), 26u + 1025u * uiPackages);
        EXPECT_EQ(FileCount(), 2u);

        Bytes header(26);
        header[1] = 1;
        PutLe16(header, 2, tm.tm_year + 1900);
        PutLe16(header, 4, tm.tm_mon + 1);
        PutLe16(header, 6, tm.tm_mday);
        PutLe16(header, 8, tm.tm_hour);
        PutLe16(header, 10, tm.tm_min);
        PutLe16(header, 12, tm.tm_sec);
        PutLe16(header, 14, uiPackages);
        PutLe16(header, 16, uiLast);
        PutLe32(header, 18, ulOrg);
        PutLe32(header, 22, BitwiseCrc16X25(plain.data(), ulOrg));
        EXPECT_EQ(Bytes(cipher.begin(), cipher.begin() + 26), header);

        // One key per record from the generator seeded with the encoding time, then the filler.
        std::srand(static_cast<unsigned>(kFixedTime));
        for (unsigned i = 0; i < uiPackages; ++i) {
            auto ucKey = static_cast<std::uint8_t>(std::rand() & 0xFF);
            const std::size_t szRec = 26 + 1025 * i;
            ASSERT_EQ(cipher[szRec + 1024], ucKey) << "record " << i;
            for (unsigned j = 0; j < 1024; ++j) {
                std::size_t szImg = 1024 * i + j;
                std::uint8_t ucWant =
                    szImg < ulOrg ? plain[szImg] : static_cast<std::uint8_t>(std::rand() & 0xFF);
                ASSERT_EQ(cipher[szRec + j] ^ ucKey, ucWant) << "record " << i << " byte " << j;
            }
        }

        int bSound = 0;
        EXPECT_EQ(Check(&bSound), "");
        EXPECT_EQ(bSound, 1);

        std::uint32_t ulOrgOut, ulCrcOut, ulLastOut;
        EXPECT_EQ(ReadHeader(&ulOrgOut, &ulCrcOut, &ulLastOut), "");
        EXPECT_EQ(ulOrgOut, ulOrg);
        EXPECT_EQ(ulCrcOut, BitwiseCrc16X25(plain.data(), ulOrg));
        EXPECT_EQ(ulLastOut, uiLast);

        EXPECT_EQ(Decode(&bOk), DecoderLine(cipher.size(), uiPackages, uiLast));
        EXPECT_EQ(bOk, 1);
        EXPECT_EQ(ReadFile(clear_), Bytes(plain.begin(), plain.begin() + ulOrg));
        EXPECT_EQ(FileCount(), 3u);
        fs::remove(clear_);
    }
}

TEST_F(McuCipherFileTest, NineDigitsGiveTheKnownHeaderAndSecondEncodingDiffersOnlyInTimeAndKeys) {
    WriteFile(plain_, Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'});
    Encode();
    Bytes first = ReadFile(cipher_);
    ASSERT_EQ(first.size(), 26u + 1025u);
    const Bytes kTail = {0x01, 0x00, 0x09, 0x00, 0x09, 0x00, 0x00, 0x00, 0x6E, 0x90, 0x00, 0x00};
    EXPECT_EQ(Bytes(first.begin() + 14, first.begin() + 26), kTail);
    EXPECT_EQ(first[0], 0);
    EXPECT_EQ(first[1], 1);

    McuCipherFileFixTime(1, kFixedTime + 86400 + 3661);
    Encode();
    Bytes second = ReadFile(cipher_);
    ASSERT_EQ(second.size(), first.size());
    EXPECT_EQ(Bytes(second.begin() + 14, second.begin() + 26), kTail);
    EXPECT_NE(Bytes(second.begin() + 2, second.begin() + 14), Bytes(first.begin() + 2, first.begin() + 14));
    EXPECT_NE(second, first);
}

TEST_F(McuCipherFileTest, EncoderFailuresLeaveTheOldCipherFile) {
    const Bytes kOld = {'o', 'l', 'd'};
    WriteFile(cipher_, kOld);
    int bOk = 1;
    // No plain image.
    EXPECT_EQ(Encode(&bOk), ErrLine("McuVerFile打开错误", ENOENT));
    EXPECT_EQ(bOk, 0);
    EXPECT_EQ(ReadFile(cipher_), kOld);
    EXPECT_EQ(FileCount(), 1u);

    // An image the encoder cannot make a whole McuCipherFile of: empty, or beyond 256 KiB (never cut).
    const std::pair<std::uint32_t, std::string> kRefused[] = {
        {0u, "[Tavelo IAP]: IAP应用流程 |-> Error->McuVerFile为空（0字节）\r\n"},
        {262145u, "[Tavelo IAP]: IAP应用流程 |-> Error->McuVerFile超过262144字节\r\n"}};
    for (const auto& [ulSize, strLine] : kRefused) {
        WriteFile(plain_, Pattern(ulSize, 3));
        EXPECT_EQ(Encode(&bOk), strLine);
        EXPECT_EQ(bOk, 0);
        EXPECT_EQ(ReadFile(cipher_), kOld);
        EXPECT_EQ(FileCount(), 2u);  // plain and the old cipher file: no temporary file
    }
    fs::remove(plain_);

    // A directory stands in the plain image's place: not opened.
    fs::create_directories(dir_ / "PlainDir");
    SetPaths(dir_ / "PlainDir", cipher_, clear_);
    EXPECT_EQ(Encode(&bOk), ErrLine("McuVerFile打开错误", EISDIR));
    EXPECT_EQ(bOk, 0);
    EXPECT_EQ(ReadFile(cipher_), kOld);
    EXPECT_EQ(FileCount(), 2u);
    fs::remove(dir_ / "PlainDir");

    // A directory stands in the McuCipherFile's place: refused before anything is written.
    WriteFile(plain_, Pattern(3000, 1));
    fs::path dirTarget = dir_ / "AsDirectory";
    fs::create_directories(dirTarget / "keep");
    SetPaths(plain_, dirTarget, clear_);
    EXPECT_EQ(Encode(&bOk), ErrLine("McuCipherFile打开错误", EISDIR));
    EXPECT_EQ(bOk, 0);
    EXPECT_TRUE(fs::is_directory(dirTarget / "keep"));
    EXPECT_EQ(FileCount(), 3u);  // plain, old cipher, directory: no temporary file

    // The McuCipherFile's directory does not exist.
    SetPaths(plain_, dir_ / "missing" / "x-Cipher.bin", clear_);
    EXPECT_EQ(Encode(&bOk), ErrLine("McuCipherFile打开错误", ENOENT));
    EXPECT_EQ(bOk, 0);
}

TEST_F(McuCipherFileTest, DecoderFailuresLeaveTheOldClearFile) {
    const Bytes kOld = {'o', 'l', 'd'};
    WriteFile(clear_, kOld);
    int bOk = 1;
    EXPECT_EQ(Decode(&bOk), ErrLine("McuCipherFile打开错误", ENOENT));
    EXPECT_EQ(bOk, 0);
    EXPECT_EQ(ReadFile(clear_), kOld);

    fs::create_directories(dir_ / "CipherDir");
    SetPaths(plain_, dir_ / "CipherDir", clear_);
    EXPECT_EQ(Decode(&bOk), ErrLine("McuCipherFile打开错误", EISDIR));
    EXPECT_EQ(ReadFile(clear_), kOld);
    fs::remove(dir_ / "CipherDir");
    SetPaths(plain_, cipher_, clear_);

    Bytes cipher = MakeCipher(1500);
    WriteFile(cipher_, Bytes(cipher.begin(), cipher.end() - 1));
    EXPECT_EQ(Decode(&bOk), DecoderLine(2075, 2, 476) + DamagedLine(2075, 2, 476, 1500));
    EXPECT_EQ(bOk, 0);
    EXPECT_EQ(ReadFile(clear_), kOld);

    WriteFile(cipher_, Bytes(cipher.begin(), cipher.begin() + 25));
    EXPECT_EQ(Decode(&bOk), ShortLine(25));
    EXPECT_EQ(ReadFile(clear_), kOld);

    // The McuClearVerFile cannot be created: the McuVerFile open line, as for the plain image.
    WriteFile(cipher_, cipher);
    SetPaths(plain_, cipher_, dir_ / "missing" / "x-Clear.bin");
    EXPECT_EQ(Decode(&bOk), DecoderLine(2076, 2, 476) + ErrLine("McuVerFile打开错误", ENOENT));
    EXPECT_EQ(bOk, 0);

    // A directory stands in its place: refused with the same line.
    fs::create_directories(dir_ / "AsDirectory" / "keep");
    SetPaths(plain_, cipher_, dir_ / "AsDirectory");
    EXPECT_EQ(Decode(&bOk), DecoderLine(2076, 2, 476) + ErrLine("McuVerFile打开错误", EISDIR));
    EXPECT_EQ(bOk, 0);
    EXPECT_TRUE(fs::is_directory(dir_ / "AsDirectory" / "keep"));
    EXPECT_EQ(FileCount(), 4u);  // plain, cipher, old clear, directory: no temporary file
}

// Files whose header does not agree with their size are damaged for every operation that reads them.
TEST_F(McuCipherFileTest, DamagedFilesAreRefusedEverywhere) {
    const Bytes good = MakeCipher(1500);
    struct Damage {
        const char* strName;
        Bytes file;
        std::string strLine;
    };
    std::vector<Damage> cases;
    auto patched = [&](std::size_t szOff, std::uint32_t ul, bool b32) {
        Bytes b = good;
        b32 ? PutLe32(b, szOff, ul) : PutLe16(b, szOff, ul);
        return b;
    };
    cases.push_back({"empty", {}, ShortLine(0)});
    cases.push_back({"header cut", Bytes(good.begin(), good.begin() + 25), ShortLine(25)});
    cases.push_back({"header only", Bytes(good.begin(), good.begin() + 26), DamagedLine(26, 2, 476, 1500)});
    cases.push_back({"record cut", Bytes(good.begin(), good.end() - 1), DamagedLine(2075, 2, 476, 1500)});
    Bytes longer = good;
    longer.push_back(0);
    cases.push_back({"byte appended", longer, DamagedLine(2077, 2, 476, 1500)});
    cases.push_back({"PackageCounter", patched(14, 3, false), DamagedLine(2076, 3, 476, 1500)});
    cases.push_back({"LastPackageLen", patched(16, 477, false), DamagedLine(2076, 2, 477, 1500)});
    cases.push_back({"OrgMcuLen", patched(18, 1501, true), DamagedLine(2076, 2, 476, 1501)});
    Bytes huge = Bytes(good.begin(), good.begin() + 26);
    PutLe16(huge, 14, 0xFFFF);
    PutLe16(huge, 16, 0xFFFF);
    PutLe32(huge, 18, 0xFFFFFFFF);
    cases.push_back({"claims everything", huge, DamagedLine(26, 65535, 65535, 0xFFFFFFFF)});
    // 257 records describing 262,145 bytes, complete: consistent with itself but above the limit.
    Bytes over(26 + 257 * 1025, 0);
    std::memcpy(over.data(), good.data(), 14);
    PutLe16(over, 14, 257);
    PutLe16(over, 16, 1);
    PutLe32(over, 18, 262145);
    cases.push_back({"image too long", over, DamagedLine(over.size(), 257, 1, 262145)});

    const Bytes kOldClear = {'c', 'l', 'e', 'a', 'r'};
    for (const Damage& d : cases) {
        SCOPED_TRACE(d.strName);
        WriteFile(cipher_, d.file);
        WriteFile(clear_, kOldClear);
        int bResult = 1;
        EXPECT_EQ(Check(&bResult), d.strLine);
        EXPECT_EQ(bResult, 0);

        std::uint32_t ulOrg, ulCrc, ulLast;
        EXPECT_EQ(ReadHeader(&ulOrg, &ulCrc, &ulLast), d.strLine);
        EXPECT_EQ(ulOrg, 0xAAAAAAAAu);
        EXPECT_EQ(ulCrc, 0xBBBBBBBBu);
        EXPECT_EQ(ulLast, 0xCCCCCCCCu);

        std::string strDecoded = Decode(&bResult);
        EXPECT_EQ(bResult, 0);
        EXPECT_EQ(strDecoded.substr(strDecoded.size() - d.strLine.size()), d.strLine);
        EXPECT_EQ(ReadFile(clear_), kOldClear);

        // The same verdict on an exact-size copy in memory: nothing past the data is read.
        auto pucExact = std::make_unique<std::uint8_t[]>(d.file.size());
        std::copy(d.file.begin(), d.file.end(), pucExact.get());
        StdoutCapture cap;
        EXPECT_EQ(CheckMcuCipherFileBytes(pucExact.get(), static_cast<std::uint32_t>(d.file.size())), 0);
        EXPECT_EQ(cap.Finish(), d.strLine);
    }

    // A header alone that says so (as the encoder once wrote for an empty image): consistent, but with
    // nothing to flash the whole-file check refuses it.
    Bytes none = Bytes(good.begin(), good.begin() + 26);
    PutLe16(none, 14, 0);
    PutLe16(none, 16, 0);
    PutLe32(none, 18, 0);
    PutLe32(none, 22, 0);  // the CRC of no bytes
    WriteFile(cipher_, none);
    int bSound = 1;
    EXPECT_EQ(Check(&bSound), DamagedLine(26, 0, 0, 0));
    EXPECT_EQ(bSound, 0);
}

TEST_F(McuCipherFileTest, CheckComparesTheImageCrc) {
    Bytes plain;
    Bytes cipher = MakeCipher(1500, &plain);
    int bSound = 0;

    Bytes bad = cipher;
    bad[26 + 1025 + 7] ^= 0x01;  // an image byte of record 1
    Bytes image = plain;
    image[1024 + 7] ^= 0x01;
    WriteFile(cipher_, bad);
    EXPECT_EQ(
        Check(&bSound),
        Format("[Tavelo IAP]: IAP应用流程 |-> Error->McuCipherFile校验错误 McuCrc<0x%08X>, Crc<0x%04X>\r\n",
               BitwiseCrc16X25(plain.data(), plain.size()), BitwiseCrc16X25(image.data(), image.size())));
    EXPECT_EQ(bSound, 0);
    // The decoder compares nothing: it writes what the records hold.
    int bOk = 0;
    Decode(&bOk);
    EXPECT_EQ(bOk, 1);
    EXPECT_EQ(ReadFile(clear_), image);

    // McuCrc must have its upper half zero; the header reader still passes all 32 bits on.
    bad = cipher;
    bad[25] = 0x01;
    WriteFile(cipher_, bad);
    Check(&bSound);
    EXPECT_EQ(bSound, 0);
    std::uint32_t ulOrg, ulCrc, ulLast;
    EXPECT_EQ(ReadHeader(&ulOrg, &ulCrc, &ulLast), "");
    EXPECT_EQ(ulCrc, 0x01000000u | BitwiseCrc16X25(plain.data(), plain.size()));

    // The filler is not part of the image.
    bad = cipher;
    bad[26 + 1025 + 1000] ^= 0xFF;
    WriteFile(cipher_, bad);
    EXPECT_EQ(Check(&bSound), "");
    EXPECT_EQ(bSound, 1);
}

TEST_F(McuCipherFileTest, EveryCutOfASoundFileIsRefusedWithoutOverread) {
    const Bytes good = MakeCipher(2100);
    ASSERT_EQ(good.size(), 26u + 3u * 1025u);
    StdoutCapture cap;
    for (std::size_t szLen = 0; szLen < good.size(); ++szLen) {
        auto pucExact = std::make_unique<std::uint8_t[]>(szLen);
        std::copy(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(szLen), pucExact.get());
        ASSERT_EQ(CheckMcuCipherFileBytes(pucExact.get(), static_cast<std::uint32_t>(szLen)), 0) << szLen;
        McuCipherFileHeader tHeader = {};
        tHeader.OrgMcuLen = 77;
        ASSERT_EQ(UnpackMcuCipherFileHeader(pucExact.get(), static_cast<std::uint32_t>(szLen), &tHeader),
                  szLen >= 26 ? 1 : 0);
        ASSERT_EQ(tHeader.OrgMcuLen, szLen >= 26 ? 2100u : 77u);
    }
    auto pucExact = std::make_unique<std::uint8_t[]>(good.size());
    std::copy(good.begin(), good.end(), pucExact.get());
    EXPECT_EQ(CheckMcuCipherFileBytes(pucExact.get(), static_cast<std::uint32_t>(good.size())), 1);
    cap.Finish();
}

TEST_F(McuCipherFileTest, HeaderReaderKeepsItsOutputsWhenTheFileIsMissing) {
    std::uint32_t ulOrg, ulCrc, ulLast;
    EXPECT_EQ(ReadHeader(&ulOrg, &ulCrc, &ulLast), ErrLine("McuCipherFile打开错误", ENOENT));
    EXPECT_EQ(ulOrg, 0xAAAAAAAAu);
    EXPECT_EQ(ulCrc, 0xBBBBBBBBu);
    EXPECT_EQ(ulLast, 0xCCCCCCCCu);
}

// An allocator that fails from its n-th call on, as a machine out of memory would.
int iAllocsLeft = 0;
void* CountedAlloc(std::size_t szBytes) {
    if (iAllocsLeft-- <= 0) {
        errno = ENOMEM;
        return nullptr;
    }
    return std::malloc(szBytes);
}

TEST_F(McuCipherFileTest, BuffersThatCannotBeHadGiveTheirLines) {
    const Bytes cipher = MakeCipher(100);
    WriteFile(clear_, {'o', 'l', 'd'});
    McuCipherFileSetAllocator(CountedAlloc);

    iAllocsLeft = 0;
    EXPECT_EQ(Encode(), ErrLine("McuVerFile动态内存申请失败", ENOMEM));
    iAllocsLeft = 1;
    EXPECT_EQ(Encode(), ErrLine("McuCipherFile动态内存申请失败", ENOMEM));
    EXPECT_EQ(ReadFile(cipher_), cipher);

    iAllocsLeft = 0;
    EXPECT_EQ(Decode(), ErrLine("McuClearVerFile动态内存申请失败", ENOMEM));
    iAllocsLeft = 1;
    EXPECT_EQ(Decode(), ErrLine("McuCipherFile动态内存申请失败", ENOMEM));
    EXPECT_EQ(ReadFile(clear_), (Bytes{'o', 'l', 'd'}));

    iAllocsLeft = 0;
    std::uint32_t ulOrg, ulCrc, ulLast;
    EXPECT_EQ(ReadHeader(&ulOrg, &ulCrc, &ulLast), ErrLine("McuCipherFile动态内存申请失败", ENOMEM));
    EXPECT_EQ(ulOrg, 0xAAAAAAAAu);
    int bSound = 1;
    for (int iLeft : {0, 1}) {
        iAllocsLeft = iLeft;
        EXPECT_EQ(Check(&bSound), ErrLine("McuCipherFile动态内存申请失败", ENOMEM));
        EXPECT_EQ(bSound, 0);
    }
}

}  // namespace
