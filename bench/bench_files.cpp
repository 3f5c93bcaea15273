// Firmware-side costs: the CRC against a bit-by-bit baseline, and building the 256 package requests of a
// full image by reading one record each against reading the whole file for every package.
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

// A 512 KiB McuCipherFile-sized file in a temporary directory, shared by the two package benchmarks.
struct PackageFixture {
    PackageFixture() {
        dir = std::filesystem::temp_directory_path() / "tavelo-bench-packages";
        std::filesystem::create_directories(dir);
        path = (dir / "Tavelo-KT1-Cipher.bin").string();
        auto bytes = RandomBytes(524288);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
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

void BM_BuildPackages_OneRecordEach(benchmark::State& state) {
    auto& fx = Fixture();
    PrtcDRBDCmdUnion un;
    std::memset(&un, 0, sizeof(un));
    std::vector<std::uint8_t> para(1200);
    for (auto _ : state) {
        // As the upgrade does: one open for the transfer, one record read per package.
        fx.confg->hMcuCipherFile = PlatformFileOpenRead(fx.path.c_str());
        for (std::uint16_t i = 0; i < 256; ++i) {
            un.tPackage.usPackageIndex = i;
            un.tPackage.usPackageLength = 1025;
            un.tPackage.ucLastPackage = i == 255;
            std::uint16_t usLen = 0;
            BuildPackagePara(fx.confg.get(), para.data(), &usLen, &un);
            benchmark::DoNotOptimize(para.data());
        }
        PlatformFileClose(&fx.confg->hMcuCipherFile);
    }
}
BENCHMARK(BM_BuildPackages_OneRecordEach)->Unit(benchmark::kMillisecond);

// The baseline design: for every package, take a 512 KiB buffer, read the whole file, copy one record.
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
            BuildPackageParaWholeFile(fx.path.c_str(), para.data(), i, 1025);
            benchmark::DoNotOptimize(para.data());
        }
    }
}
BENCHMARK(BM_BuildPackages_WholeFileEach)->Unit(benchmark::kMillisecond);

}  // namespace
