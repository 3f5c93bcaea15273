#include "cli/cipher_subcommand.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "diag/diag_text.h"
#include "platform/os.h"
#include "platform/serial_port.h"
#include "serial/serial_link.h"

namespace {

constexpr std::uint32_t kHexdumpDefaultBytes = 16;

// Each dump is titled with the offset of its first byte, in at least 8 and at most 16 hex digits.
void FormatOffsetTitle(char* pcTitle, std::size_t ulCap, std::uint64_t ullOffset) {
    std::snprintf(pcTitle, ulCap, "%08llX", static_cast<unsigned long long>(ullOffset));
}

}  // namespace

int RunHexdumpSubcommand(int iOperandCount, char** ppcOperands) {
    const char* strPath = ppcOperands[0];
    // What a dump holds under the longest title, so that no dump of the file is cut.
    char acTitle[32];
    FormatOffsetTitle(acTitle, sizeof(acTitle), ~0ull);
    std::uint32_t ulPerDump = kHexdumpDefaultBytes;
    std::uint32_t ulMax = HexDumpCapacity(acTitle);
    if (iOperandCount > 1) {
        char* pcEnd = nullptr;
        unsigned long ul = std::strtoul(ppcOperands[1], &pcEnd, 10);
        if (ppcOperands[1][0] < '0' || ppcOperands[1][0] > '9' || *pcEnd != '\0' || ul == 0 || ul > ulMax) {
            std::fprintf(stderr, "hexdump: N must be a number from 1 to %u: '%s'\r\n",
                         static_cast<unsigned>(ulMax), ppcOperands[1]);
            return kCipherExitUsage;
        }
        ulPerDump = static_cast<std::uint32_t>(ul);
    }
    PlatformHandle hFile = PlatformFileOpenRead(strPath);
    std::uint64_t ullSize = 0;
    if (hFile == kInvalidHandle || !PlatformFileSize(hFile, &ullSize)) {
        std::fprintf(stderr, "hexdump: cannot read %s (%u)\r\n", strPath,
                     static_cast<unsigned>(PlatformLastError()));
        PlatformFileClose(&hFile);
        return kCipherExitFailed;
    }
    std::printf("%s: %llu bytes\r\n", strPath, static_cast<unsigned long long>(ullSize));
    std::vector<std::uint8_t> buf(ulPerDump);
    std::uint64_t ullOffset = 0;
    for (;;) {
        std::uint32_t ulGot = 0;
        if (!PlatformFileRead(hFile, buf.data(), ulPerDump, &ulGot)) {
            std::fprintf(stderr, "hexdump: read error in %s at %llu (%u)\r\n", strPath,
                         static_cast<unsigned long long>(ullOffset),
                         static_cast<unsigned>(PlatformLastError()));
            PlatformFileClose(&hFile);
            return kCipherExitFailed;
        }
        if (ulGot == 0) {
            break;
        }
        FormatOffsetTitle(acTitle, sizeof(acTitle), ullOffset);
        PrintHexDump(buf.data(), static_cast<std::uint16_t>(ulGot), acTitle);
        ullOffset += ulGot;
    }
    PlatformFileClose(&hFile);
    return kCipherExitOk;
}

int RunSerialCheckSubcommand(int iOperandCount, char** ppcOperands) {
    if (iOperandCount > 0 && !PlatformSerialSetNodePattern(ppcOperands[0])) {
        std::fprintf(stderr, "serial-check: PATTERN must hold \"%%u\" and is for Linux only: '%s'\r\n",
                     ppcOperands[0]);
        return kCipherExitUsage;
    }
    char acName[3][64];
    for (int i = 0; i < 3; ++i) {
        if (!PlatformSerialPortName(static_cast<std::uint32_t>(10 * i), acName[i], sizeof(acName[i]))) {
            std::strcpy(acName[i], "(none)");
        }
    }
    std::printf("serial-check: port 0 is %s, port 10 is %s, port 20 is %s (numbers 0 to 31).\r\n", acName[0],
                acName[1], acName[2]);

    PlatformHandle hComPort = kInvalidHandle;
    SerialDcb tComDcb{};
    SerialTimeouts tComTimeouts{};
    if (!OpenSerialPort(&hComPort, &tComDcb, &tComTimeouts, "115200")) {
        std::printf("\r\nserial-check: no port was opened and set.\r\n");
        return kCipherExitFailed;
    }
    PlatformSerialClose(&hComPort);
    return kCipherExitOk;
}
