// Any bytes as a McuCipherFile: the whole-file check on an exact-size copy (so reading past the data is
// caught), then the header reader and the check through a real file, which must agree with it.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "firmware/mcu_cipher_file.h"

namespace {

struct Scratch {
    std::string strPath;
    Scratch() {
        std::random_device rd;
        strPath = (std::filesystem::temp_directory_path() /
                   ("tavelo_fuzz_cipher_" + std::to_string(rd()) + std::to_string(rd()) + ".bin"))
                      .string();
        // The operations' lines would only slow the fuzzer down.
        if (std::FILE* pt = std::fopen("/dev/null", "w")) {
            std::fclose(pt);
            if (std::freopen("/dev/null", "w", stdout) == nullptr) {
                __builtin_trap();
            }
        }
    }
    ~Scratch() { std::remove(strPath.c_str()); }
};

void WriteScratch(const std::string& strPath, const std::uint8_t* puc, std::size_t szLen) {
    std::FILE* pt = std::fopen(strPath.c_str(), "wb");
    if (pt == nullptr || (szLen > 0 && std::fwrite(puc, 1, szLen, pt) != szLen) || std::fclose(pt) != 0) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pucData, std::size_t szLen) {
    static Scratch tScratch;
    if (szLen > kMcuCipherMaxFileBytes + 1) {
        szLen = kMcuCipherMaxFileBytes + 1;  // longer files are all refused alike
    }
    std::vector<std::uint8_t> file(pucData, pucData + szLen);  // exact size: overreads are caught
    const auto ulLen = static_cast<std::uint32_t>(szLen);
    int bSound = CheckMcuCipherFileBytes(file.data(), ulLen);
    McuCipherFileHeader tHeader = {};
    int bHeader = UnpackMcuCipherFileHeader(file.data(), ulLen, &tHeader);
    if (bSound && !bHeader) {
        __builtin_trap();
    }

    WriteScratch(tScratch.strPath, file.data(), szLen);
    ConfgFile tConfg;
    std::memset(&tConfg, 0, sizeof(tConfg));
    tConfg.hMcuVerFile = tConfg.hMcuCipherFile = tConfg.hMcuClearVerFile = kInvalidHandle;
    std::snprintf(tConfg.strMcuCipherFilePath, sizeof(tConfg.strMcuCipherFilePath), "%s",
                  tScratch.strPath.c_str());

    std::uint32_t ulOrg = 0xAAAAAAAA, ulCrc = 0xBBBBBBBB, ulLast = 0xCCCCCCCC;
    ReadMcuCipherFileHeader(&tConfg, &ulOrg, &ulCrc, &ulLast);
    bool bUnchanged = ulOrg == 0xAAAAAAAA && ulCrc == 0xBBBBBBBB && ulLast == 0xCCCCCCCC;
    bool bFromHeader =
        bHeader && ulOrg == tHeader.OrgMcuLen && ulCrc == tHeader.McuCrc && ulLast == tHeader.LastPackageLen;
    // All or nothing; a sound file always gives its header, a short one never.
    if (!(bUnchanged || bFromHeader) || (bSound && !bFromHeader) || (!bHeader && !bUnchanged)) {
        __builtin_trap();
    }
    if (bFromHeader && (tHeader.OrgMcuLen > kMcuMaxImageBytes ||
                        szLen != kMcuCipherHeaderBytes + tHeader.PackageCounter * kMcuPackageRecordBytes)) {
        __builtin_trap();  // the reader passed on a header that disagrees with the file
    }
    if (CheckMcuCipherFile(&tConfg) != bSound || tConfg.hMcuCipherFile != kInvalidHandle) {
        __builtin_trap();
    }
    return 0;
}
