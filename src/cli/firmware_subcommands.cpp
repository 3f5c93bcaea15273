// encode, decode, info and verify: each fills a ConfgFile record with the paths it is given and runs the
// firmware module's operation on it.
#include <cstdio>
#include <cstring>

#include "cli/cipher_subcommand.h"
#include "device/confg_file.h"
#include "firmware/mcu_cipher_file.h"

namespace {

void ResetConfgFile(ConfgFile* ptConfgFile) {
    std::memset(ptConfgFile, 0, sizeof(ConfgFile));
    ptConfgFile->hMcuVerFile = kInvalidHandle;
    ptConfgFile->hChecksumFile = kInvalidHandle;
    ptConfgFile->hMcuCipherFile = kInvalidHandle;
    ptConfgFile->hMcuClearVerFile = kInvalidHandle;
}

int StatusOf(int bOk) {
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
    return StatusOf(EncodeMcuCipherFileEx(&tConfgFile));
}

int RunDecodeSubcommand(int iOperandCount, char** ppcOperands) {
    ConfgFile tConfgFile;
    ResetConfgFile(&tConfgFile);
    if (!CopyPathOperand(tConfgFile.strMcuCipherFilePath, ppcOperands[0]) ||
        !CopyPathOperand(tConfgFile.strMcuClearVerFilePath, ppcOperands[1])) {
        return kCipherExitUsage;
    }
    return StatusOf(DecodeMcuCipherFileEx(&tConfgFile));
}

// Exit status 0 when the header could be shown, whether or not the file passes the check (shown too).
int RunInfoSubcommand(int iOperandCount, char** ppcOperands) {
    ConfgFile tConfgFile;
    ResetConfgFile(&tConfgFile);
    if (!CopyPathOperand(tConfgFile.strMcuCipherFilePath, ppcOperands[0])) {
        return kCipherExitUsage;
    }
    return StatusOf(PrintMcuCipherFileInfo(&tConfgFile, nullptr));
}

int RunVerifySubcommand(int iOperandCount, char** ppcOperands) {
    ConfgFile tConfgFile;
    ResetConfgFile(&tConfgFile);
    if (!CopyPathOperand(tConfgFile.strMcuCipherFilePath, ppcOperands[0])) {
        return kCipherExitUsage;
    }
    int bSound = CheckMcuCipherFile(&tConfgFile);
    std::printf("%s: %s\r\n", tConfgFile.strMcuCipherFilePath, bSound ? "sound" : "FAILED");
    return StatusOf(bSound);
}
