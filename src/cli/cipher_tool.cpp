// Argument handling of taveloiap-cipher: help, usage line and dispatch to the subcommand table.
#include <cstdio>
#include <cstring>

#include "cli/cipher_subcommand.h"
#include "device/confg_file.h"
#include "version.h"

namespace {

constexpr const char* kToolName = "taveloiap-cipher";

void PrintUsageLine(std::FILE* ptOut) {
    std::fprintf(ptOut, "usage: %s", kToolName);
    for (int i = 0; i < kCipherSubcommandCount; ++i) {
        std::fprintf(ptOut, " %s %s |", kCipherSubcommands[i].strName, kCipherSubcommands[i].strOperands);
    }
    std::fprintf(ptOut, " --help\r\n");
}

void PrintHelp() {
    std::printf("%s: the scrambled firmware files (McuCipherFile) of TaveloIAP.\r\n\r\n", kToolName);
    PrintUsageLine(stdout);
    std::printf("\r\n");
    for (int i = 0; i < kCipherSubcommandCount; ++i) {
        const CipherSubcommand& tCmd = kCipherSubcommands[i];
        std::printf("  %s %s\r\n      %s\r\n", tCmd.strName, tCmd.strOperands, tCmd.strSummary);
    }
    std::printf("  --help\r\n      show this text\r\n");
    std::printf("  --version\r\n      show the version\r\n\r\n");
    std::printf(
        "Output files are written under a new temporary name beside NAME and renamed over NAME once\r\n");
    std::printf(
        "complete: a failed or interrupted run leaves an existing NAME as it was, and a replaced NAME\r\n");
    std::printf(
        "keeps its permission bits. NAME must be a regular file or nothing: a directory, device, FIFO\r\n");
    std::printf(
        "or the input file itself is refused. A symbolic link is followed: the file it leads to is\r\n");
    std::printf("replaced and the link stays.\r\n");
    std::printf(
        "Exit status: %d success, %d the operation failed or the file is not sound, %d wrong arguments.\r\n",
        kCipherExitOk, kCipherExitFailed, kCipherExitUsage);
}

int UsageError(const char* strWhat, const char* strArg) {
    std::fprintf(stderr, "%s: %s%s\r\n", kToolName, strWhat, strArg);
    PrintUsageLine(stderr);
    return kCipherExitUsage;
}

}  // namespace

int CopyPathOperand(char* strField, const char* strOperand) {
    std::size_t szLen = std::strlen(strOperand);
    if (szLen == 0 || szLen >= kPathFieldBytes) {
        std::fprintf(stderr, "%s: a path must have 1 to %u bytes: '%s'\r\n", kToolName,
                     static_cast<unsigned>(kPathFieldBytes - 1), strOperand);
        return 0;
    }
    std::memcpy(strField, strOperand, szLen + 1);
    return 1;
}

int RunCipherTool(int argc, char** argv) {
    if (argc < 2) {
        return UsageError("no subcommand given", "");
    }
    const char* strName = argv[1];
    if (std::strcmp(strName, "--help") == 0 || std::strcmp(strName, "-h") == 0) {
        if (argc != 2) {
            return UsageError("--help takes no operands", "");
        }
        PrintHelp();
        return kCipherExitOk;
    }
    if (std::strcmp(strName, "--version") == 0) {
        if (argc != 2) {
            return UsageError("--version takes no operands", "");
        }
        std::printf("%s %s\r\n", kToolName, kTaveloVersion);
        return kCipherExitOk;
    }
    for (int i = 0; i < kCipherSubcommandCount; ++i) {
        const CipherSubcommand& tCmd = kCipherSubcommands[i];
        if (std::strcmp(strName, tCmd.strName) != 0) {
            continue;
        }
        int iOperands = argc - 2;
        if (iOperands < tCmd.iMinOperands || iOperands > tCmd.iMaxOperands) {
            return UsageError("wrong number of operands for ", strName);
        }
        // A handler's argument error is its own message; the usage line follows it here.
        int iStatus = tCmd.pfnRun(iOperands, argv + 2);
        if (iStatus == kCipherExitUsage) {
            PrintUsageLine(stderr);
        }
        return iStatus;
    }
    return UsageError("unknown subcommand ", strName);
}
