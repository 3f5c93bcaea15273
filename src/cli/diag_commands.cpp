#include "cli/cipher_subcommand.h"

#include <cstdarg>
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

// An argument error of the subcommand: the message on standard error (the tool adds its usage line).
int UsageMessage(const char* strFormat, ...) {
    va_list tArgs;
    va_start(tArgs, strFormat);
    std::vfprintf(stderr, strFormat, tArgs);
    va_end(tArgs);
    std::fprintf(stderr, "\r\n");
    return kCipherExitUsage;
}

// A count or offset as typed: decimal digits, or hexadecimal ones after 0x; no sign, no space, no more
// than 64 bits. 1 with *pull set, else 0.
int ParseNumber(const char* str, std::uint64_t* pull) {
    std::uint64_t ullBase = 10;
    if (str[0] == '0' && (str[1] == 'x' || str[1] == 'X')) {
        ullBase = 16;
        str += 2;
    }
    if (*str == '\0') {
        return 0;
    }
    std::uint64_t ull = 0;
    for (; *str != '\0'; ++str) {
        std::uint64_t ullDigit = 0;
        if (*str >= '0' && *str <= '9') {
            ullDigit = static_cast<std::uint64_t>(*str - '0');
        } else if (ullBase == 16 && *str >= 'a' && *str <= 'f') {
            ullDigit = static_cast<std::uint64_t>(*str - 'a' + 10);
        } else if (ullBase == 16 && *str >= 'A' && *str <= 'F') {
            ullDigit = static_cast<std::uint64_t>(*str - 'A' + 10);
        } else {
            return 0;
        }
        if (ull > (UINT64_MAX - ullDigit) / ullBase) {
            return 0;
        }
        ull = ull * ullBase + ullDigit;
    }
    *pull = ull;
    return 1;
}

// What hexdump is asked to show.
struct HexdumpRange {
    std::uint32_t ulPerDump = kHexdumpDefaultBytes;
    std::uint64_t ullOffset = 0;
    std::uint64_t ullLength = UINT64_MAX;  // to the end of the file
};

// The operands after FILE: N, --offset O and --length L, each at most once, in any order. Returns
// kCipherExitOk, or kCipherExitUsage after its message.
int ParseHexdumpOperands(int iOperandCount, char** ppcOperands, std::uint32_t ulMaxPerDump,
                         HexdumpRange* ptRange) {
    bool bPerDump = false, bOffset = false, bLength = false;
    for (int i = 1; i < iOperandCount; ++i) {
        const char* strArg = ppcOperands[i];
        std::uint64_t ull = 0;
        bool bIsOffset = std::strcmp(strArg, "--offset") == 0;
        if (bIsOffset || std::strcmp(strArg, "--length") == 0) {
            bool& bGiven = bIsOffset ? bOffset : bLength;
            const char* strValue = i + 1 < iOperandCount ? ppcOperands[i + 1] : "";
            if (bGiven || !ParseNumber(strValue, &ull) || (!bIsOffset && ull == 0)) {
                return UsageMessage(
                    "hexdump: %s takes a number%s (decimal, or hexadecimal after 0x), once: '%s'", strArg,
                    bIsOffset ? "" : " from 1", strValue);
            }
            bGiven = true;
            (bIsOffset ? ptRange->ullOffset : ptRange->ullLength) = ull;
            ++i;
        } else if (!bPerDump && strArg[0] != '-') {
            // N is decimal only.
            if (std::strspn(strArg, "0123456789") != std::strlen(strArg) || !ParseNumber(strArg, &ull) ||
                ull < 1 || ull > ulMaxPerDump) {
                return UsageMessage("hexdump: N must be a number from 1 to %u: '%s'",
                                    static_cast<unsigned>(ulMaxPerDump), strArg);
            }
            bPerDump = true;
            ptRange->ulPerDump = static_cast<std::uint32_t>(ull);
        } else {
            return UsageMessage("hexdump: unexpected operand '%s'", strArg);
        }
    }
    return kCipherExitOk;
}

}  // namespace

int RunHexdumpSubcommand(int iOperandCount, char** ppcOperands) {
    const char* strPath = ppcOperands[0];
    // What a dump holds under the longest title, so that no dump of the file is cut.
    char acTitle[32];
    FormatOffsetTitle(acTitle, sizeof(acTitle), ~0ull);
    HexdumpRange tRange;
    int iStatus = ParseHexdumpOperands(iOperandCount, ppcOperands, HexDumpCapacity(acTitle), &tRange);
    if (iStatus != kCipherExitOk) {
        return iStatus;
    }
    PlatformHandle hFile = PlatformFileOpenRead(strPath);
    std::uint64_t ullSize = 0;
    if (hFile == kInvalidHandle || !PlatformFileSize(hFile, &ullSize)) {
        char acSystem[256];
        PlatformErrorText(PlatformLastError(), acSystem, sizeof(acSystem));
        std::fprintf(stderr, "hexdump: cannot read %s: %s\r\n", strPath, acSystem);
        PlatformFileClose(&hFile);
        return kCipherExitFailed;
    }
    if (tRange.ullOffset > ullSize) {
        std::fprintf(stderr, "hexdump: offset %llu is past the end of %s (%llu bytes)\r\n",
                     static_cast<unsigned long long>(tRange.ullOffset), strPath,
                     static_cast<unsigned long long>(ullSize));
        PlatformFileClose(&hFile);
        return kCipherExitFailed;
    }
    std::printf("%s: %llu bytes\r\n", strPath, static_cast<unsigned long long>(ullSize));
    std::vector<std::uint8_t> buf(tRange.ulPerDump);
    std::uint64_t ullOffset = tRange.ullOffset;
    std::uint64_t ullLeft = tRange.ullLength;
    while (ullLeft > 0) {
        std::uint32_t ulWant =
            ullLeft < tRange.ulPerDump ? static_cast<std::uint32_t>(ullLeft) : tRange.ulPerDump;
        std::uint32_t ulGot = 0;
        if (!PlatformFileReadAt(hFile, ullOffset, buf.data(), ulWant, &ulGot)) {
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
        ullLeft -= ulGot;
    }
    PlatformFileClose(&hFile);
    return kCipherExitOk;
}

int RunSerialCheckSubcommand(int iOperandCount, char** ppcOperands) {
    if (iOperandCount > 0 && !PlatformSerialSetNodePattern(ppcOperands[0])) {
        return UsageMessage("serial-check: PATTERN must hold \"%%u\" and is for Linux only: '%s'",
                            ppcOperands[0]);
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
