// Firmware-side costs: the CRC against a bit-by-bit baseline, and building the 256 package requests of the
// largest firmware file from the held file (as the upgrade does) and by a lone command's read of one
// record each, against reading the whole file for every package.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "device/confg_file.h"
#include "drbd/com_resource.h"
#include "drbd/drbd_frame.h"
#include "drbd/iap_commands.h"
#include "firmware/mcu_cipher_file.h"
#include "support/bitwise_crc.h"

namespace {

std::vector<std::uint8_t> RandomBytes(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    std::mt19937 rng(1);
    for (auto& b : v) {
        b = static_cast<std::uint8_t>(rng());
    }
    return v;
}

void BM_Crc16Table(benchmark::State& state) {
    auto data = RandomBytes(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(DrbdCrc16(data.data(), static_cast<std::uint32_t>(data.size())));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16Table)->Arg(1045)->Arg(262144);

void BM_Crc16Bitwise(benchmark::State& state) {
    auto data = RandomBytes(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(BitwiseCrc16X25(data.data(), data.size()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16Bitwise)->Arg(1045)->Arg(262144);

// The largest McuCipherFile the program accepts (256 full packages, 262,426 bytes) of a random image, in
// a temporary directory, shared by the package benchmarks.
struct PackageFixture {
    PackageFixture() {
        dir = std::filesystem::temp_directory_path() / "tavelo-bench-packages";
        std::filesystem::create_directories(dir);
        path = (dir / "Tavelo-KT1-Cipher.bin").string();
        const auto image = RandomBytes(kMcuMaxImageBytes);
        McuCipherFileHeader tHeader = {};
        tHeader.Algo[1] = 1;
        tHeader.PackageCounter = static_cast<std::uint16_t>(kMcuMaxPackages);
        tHeader.OrgMcuLen = kMcuMaxImageBytes;
        tHeader.McuCrc = DrbdCrc16(image.data(), kMcuMaxImageBytes);
        std::vector<std::uint8_t> file(kMcuCipherMaxFileBytes);
        PackMcuCipherFileHeader(&tHeader, file.data());
        for (std::uint32_t i = 0; i < kMcuMaxPackages; ++i) {
            std::uint8_t* pucRecord = file.data() + kMcuCipherHeaderBytes + i * kMcuPackageRecordBytes;
            pucRecord[kMcuPackageDataBytes] = static_cast<std::uint8_t>(0x5B + i);
            XorWithKey(image.data() + i * kMcuPackageDataBytes, pucRecord, kMcuPackageDataBytes,
                       pucRecord[kMcuPackageDataBytes]);
        }
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
        confg = std::make_unique<ConfgFile>();
        std::memset(confg.get(), 0, sizeof(ConfgFile));
        confg->hMcuVerFile = confg->hChecksumFile = kInvalidHandle;
        confg->hMcuCipherFile = confg->hMcuClearVerFile = kInvalidHandle;
        std::strcpy(confg->strMcuCipherFilePath, path.c_str());
    }
    ~PackageFixture() { std::filesystem::remove_all(dir); }
    std::filesystem::path dir;
    std::string path;
    std::unique_ptr<ConfgFile> confg;
};

PackageFixture& Fixture() {
    static PackageFixture tFixture;
    return tFixture;
}

// Builds the 256 package requests of the fixture's file.
void BuildAllPackages(ConfgFile* ptConfgFile, std::uint8_t* pucPara) {
    PrtcDRBDCmdUnion un;
    std::memset(&un, 0, sizeof(un));
    for (std::uint16_t i = 0; i < kMcuMaxPackages; ++i) {
        un.tPackage.usPackageIndex = i;
        un.tPackage.usPackageLength = kMcuPackageRecordBytes;
        un.tPackage.ucLastPackage = i == kMcuMaxPackages - 1;
        std::uint16_t usLen = 0;
        BuildPackagePara(ptConfgFile, pucPara, &usLen, &un);
        benchmark::DoNotOptimize(pucPara);
    }
}

// What an upgrade does for its packages: the file is held from its whole-file check on (once per upgrade,
// outside the timing), and every package is taken from the held bytes.
void BM_BuildPackages_OneRecordEach(benchmark::State& state) {
    auto& fx = Fixture();
    std::vector<std::uint8_t> para(1200);
    if (HoldMcuCipherFile(fx.confg.get()) != 1) {
        state.SkipWithError("the firmware file was refused");
        return;
    }
    for (auto _ : state) {
        BuildAllPackages(fx.confg.get(), para.data());
    }
    ReleaseMcuCipherFile(fx.confg.get());
}
BENCHMARK(BM_BuildPackages_OneRecordEach)->Unit(benchmark::kMillisecond);

// A lone package command (no file held): each package opens the file, reads its record and closes it.
void BM_BuildPackages_LoneCommand(benchmark::State& state) {
    auto& fx = Fixture();
    std::vector<std::uint8_t> para(1200);
    for (auto _ : state) {
        BuildAllPackages(fx.confg.get(), para.data());
    }
}
BENCHMARK(BM_BuildPackages_LoneCommand)->Unit(benchmark::kMillisecond);

// The baseline design: for every package, take a buffer of the read limit (512 KiB), read the whole file,
// copy one record.
void BuildPackageParaWholeFile(const char* strPath, std::uint8_t* pucPara, std::uint16_t usIndex,
                               std::uint16_t usLength) {
    auto* pucBuf = static_cast<std::uint8_t*>(std::malloc(524288));
    PlatformHandle h = PlatformFileOpenRead(strPath);
    std::uint32_t ulRead = 0;
    PlatformFileRead(h, pucBuf, 524288, &ulRead);
    PlatformFileClose(&h);
    std::size_t szRead = ulRead;
    std::size_t szArea = szRead > 26 ? szRead - 26 : 0;
    std::size_t szOff = static_cast<std::size_t>(usIndex) * usLength;
    std::size_t szTake = szOff < szArea ? std::min<std::size_t>(usLength, szArea - szOff) : 0;
    std::memcpy(pucPara + 7, pucBuf + 26 + szOff, szTake);
    std::memset(pucPara + 7 + szTake, 0xFF, usLength - szTake);
    std::free(pucBuf);
}

void BM_BuildPackages_WholeFileEach(benchmark::State& state) {
    auto& fx = Fixture();
    std::vector<std::uint8_t> para(1200);
    for (auto _ : state) {
        for (std::uint16_t i = 0; i < 256; ++i) {
            BuildPackageParaWholeFile(fx.path.c_str(), para.data(), i, kMcuPackageRecordBytes);
            benchmark::DoNotOptimize(para.data());
        }
    }
}
BENCHMARK(BM_BuildPackages_WholeFileEach)->Unit(benchmark::kMillisecond);

}  // namespace
