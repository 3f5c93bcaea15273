// encode, decode, info and verify: each fills a ConfgFile record with the paths it is given and runs the
// firmware module's operation on it. The module's lines go to standard output as it prints them; each
// failure gets one English line on standard error besides, naming the file by the path given.
#include <cstdio>
#include <cstring>

#include "cli/cipher_subcommand.h"
#include "device/confg_file.h"
#include "firmware/mcu_cipher_file.h"
#include "platform/os.h"

namespace {

void ResetConfgFile(ConfgFile* ptConfgFile) {
    std::memset(ptConfgFile, 0, sizeof(ConfgFile));
    ptConfgFile->hMcuVerFile = kInvalidHandle;
    ptConfgFile->hChecksumFile = kInvalidHandle;
    ptConfgFile->hMcuCipherFile = kInvalidHandle;
    ptConfgFile->hMcuClearVerFile = kInvalidHandle;
}

const char* PathOf(const ConfgFile& tConfgFile, McuFileRole eFile) {
    switch (eFile) {
        case McuFileRole::kMcuVerFile:
            return tConfgFile.strMcuVerFilePath;
        case McuFileRole::kMcuCipherFile:
            return tConfgFile.strMcuCipherFilePath;
        case McuFileRole::kMcuClearVerFile:
            return tConfgFile.strMcuClearVerFilePath;
        case McuFileRole::kNone:
            break;
    }
    return "";
}

// The failure the module recorded, in words, after "taveloiap-cipher: SUB: ". An output file that is
// refused or cannot be written is left as it was.
void PrintFailureSummary(const char* strSub, const ConfgFile& tConfgFile) {
    const McuFileFailureRecord& tFailure = McuCipherFileLastFailure();
    const char* strPath = PathOf(tConfgFile, tFailure.eFile);
    char acSystem[256];
    PlatformErrorText(tFailure.ulError, acSystem, sizeof(acSystem));
    auto ullSize = static_cast<unsigned long long>(tFailure.ullFileSize);
    bool bOutput = tFailure.eFile == McuFileRole::kMcuClearVerFile ||
                   (tFailure.eFile == McuFileRole::kMcuCipherFile && std::strcmp(strSub, "encode") == 0);
    std::fprintf(stderr, "taveloiap-cipher: %s: ", strSub);
    switch (tFailure.eFailure) {
        case McuFileFailure::kNone:
            std::fprintf(stderr, "failed (see the lines above)\r\n");
            return;
        case McuFileFailure::kNoMemory:
            std::fprintf(stderr, "not enough memory to work on '%s' (%s)\r\n", strPath, acSystem);
            return;
        case McuFileFailure::kOpen: {
            // An input the open refused for being a special file is named as what it is.
            const char* strWhy = acSystem;
            PlatformFileInfo tInput;
            if (!bOutput && tFailure.ulError == PlatformFileRefusalError(PlatformFileRefusal::kNotRegular) &&
                PlatformFileQuery(strPath, &tInput) && tInput.eKind == PlatformFileKind::kOther) {
                strWhy = "it is a device, FIFO or other special file, not a regular file";
            }
            std::fprintf(stderr, "cannot %s '%s': %s\r\n", bOutput ? "create" : "open", strPath, strWhy);
            return;
        }
        case McuFileFailure::kRead:
            std::fprintf(stderr, "cannot read '%s': %s\r\n", strPath, acSystem);
            return;
        case McuFileFailure::kWrite:
            std::fprintf(stderr, "cannot write '%s': %s; it was left as it was\r\n", strPath, acSystem);
            return;
        case McuFileFailure::kDirectory:
            std::fprintf(stderr, "refused to write '%s': it is a directory\r\n", strPath);
            return;
        case McuFileFailure::kNotRegular:
            std::fprintf(stderr,
                         "refused to write '%s': it is a device, FIFO or other special file, not a regular "
                         "file; it was left as it was\r\n",
                         strPath);
            return;
        case McuFileFailure::kLinkToNothing:
            std::fprintf(stderr,
                         "refused to write '%s': it is a symbolic link to a file that does not exist\r\n",
                         strPath);
            return;
        case McuFileFailure::kSameFile:
            std::fprintf(stderr, "refused to write '%s': it is the input file itself\r\n", strPath);
            return;
        case McuFileFailure::kDamaged:
            if (tFailure.ullFileSize < kMcuCipherHeaderBytes) {
                std::fprintf(stderr, "'%s' is damaged: its %llu bytes are shorter than a header\r\n", strPath,
                             ullSize);
            } else if (tFailure.ullFileSize > kMcuCipherMaxFileBytes) {
                std::fprintf(stderr,
                             "'%s' is damaged: its %llu bytes are more than any McuCipherFile holds (%u)\r\n",
                             strPath, ullSize, static_cast<unsigned>(kMcuCipherMaxFileBytes));
            } else {
                std::fprintf(stderr, "'%s' is damaged: its size (%llu bytes) does not match its header\r\n",
                             strPath, ullSize);
            }
            return;
        case McuFileFailure::kCrcMismatch:
            std::fprintf(stderr, "'%s' is damaged: its image does not match the CRC in its header\r\n",
                         strPath);
            return;
        case McuFileFailure::kEmptyImage:
            std::fprintf(stderr, "'%s' holds no image: there is nothing to flash\r\n", strPath);
            return;
        case McuFileFailure::kImageTooLong:
            std::fprintf(stderr,
                         "'%s' is longer than the %u bytes a tablet image may have; nothing was written\r\n",
                         strPath, static_cast<unsigned>(kMcuMaxImageBytes));
            return;
    }
    std::fprintf(stderr, "failed\r\n");
}

// The exit status of an operation; a failure gets its summary line.
int StatusOf(int bOk, const char* strSub, const ConfgFile& tConfgFile) {
    if (!bOk) {
        PrintFailureSummary(strSub, tConfgFile);
    }
    return bOk ? kCipherExitOk : kCipherExitFailed;
}

}  // namespace

int RunEncodeSubcommand(int iOperandCount, char** ppcOperands) {
    ConfgFile tConfgFile;
    ResetConfgFile(&tConfgFile);
    if (!CopyPathOperand(tConfgFile.strMcuVerFilePath, ppcOperands[0]) ||
        !CopyPathOperand(tConfgFile.strMcuCipherFilePath, ppcOperands[1])) {
        return kCipherExitUsage;
    }
    return StatusOf(EncodeMcuCipherFileEx(&tConfgFile), "encode", tConfgFile);
}

int RunDecodeSubcommand(int iOperandCount, char** ppcOperands) {
    ConfgFile tConfgFile;
    ResetConfgFile(&tConfgFile);
    if (!CopyPathOperand(tConfgFile.strMcuCipherFilePath, ppcOperands[0]) ||
        !CopyPathOperand(tConfgFile.strMcuClearVerFilePath, ppcOperands[1])) {
        return kCipherExitUsage;
    }
    return StatusOf(DecodeMcuCipherFileEx(&tConfgFile), "decode", tConfgFile);
}

// The header is shown whenever the file holds one, the check's outcome with it; the exit status is 0
// only for a sound file, as for verify.
int RunInfoSubcommand(int iOperandCount, char** ppcOperands) {
    ConfgFile tConfgFile;
    ResetConfgFile(&tConfgFile);
    if (!CopyPathOperand(tConfgFile.strMcuCipherFilePath, ppcOperands[0])) {
        return kCipherExitUsage;
    }
    int bSound = 0;
    PrintMcuCipherFileInfo(&tConfgFile, &bSound);
    return StatusOf(bSound, "info", tConfgFile);
}

int RunVerifySubcommand(int iOperandCount, char** ppcOperands) {
    ConfgFile tConfgFile;
    ResetConfgFile(&tConfgFile);
    if (!CopyPathOperand(tConfgFile.strMcuCipherFilePath, ppcOperands[0])) {
        return kCipherExitUsage;
    }
    int bSound = CheckMcuCipherFile(&tConfgFile);
    std::printf("%s: %s\r\n", tConfgFile.strMcuCipherFilePath, bSound ? "sound" : "FAILED");
    return StatusOf(bSound, "verify", tConfgFile);
}
