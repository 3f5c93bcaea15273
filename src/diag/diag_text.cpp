#include "diag/diag_text.h"

#include <cstdio>
#include <cstring>

char HexDumpBuffer[kHexDumpBufferSize];

namespace {

// Length of the first dump item ("    0x%02X ") and of every further one ("0x%02X ").
constexpr std::uint32_t kFirstItemLen = 9;
constexpr std::uint32_t kItemLen = 5;

// Length of the title as the dump keeps it: cut so that it, its "\r\n" and the NUL fit the buffer.
std::uint32_t DumpTitleLen(const char* strTitle) {
    std::uint32_t ulLen = strTitle == nullptr ? 0 : static_cast<std::uint32_t>(std::strlen(strTitle));
    const std::uint32_t ulMax = kHexDumpBufferSize - 3;
    return ulLen > ulMax ? ulMax : ulLen;
}

}  // namespace

void SplitByteToNibbles(std::uint8_t ucValue, std::uint8_t* pucOut) {
    pucOut[0] = static_cast<std::uint8_t>(ucValue >> 4);
    pucOut[1] = static_cast<std::uint8_t>(ucValue & 0x0F);
}

void SplitWordToNibbles(std::uint16_t usValue, std::uint8_t* pucOut) {
    pucOut[0] = static_cast<std::uint8_t>((usValue >> 12) & 0x0F);
    pucOut[1] = static_cast<std::uint8_t>((usValue >> 8) & 0x0F);
    pucOut[2] = static_cast<std::uint8_t>((usValue >> 4) & 0x0F);
    pucOut[3] = static_cast<std::uint8_t>(usValue & 0x0F);
}

void HexCharsToNibbles(const char* pcChars, std::uint16_t usCount, std::uint8_t* pucOut) {
    for (std::uint16_t i = 0; i < usCount; ++i) {
        char c = pcChars[i];
        if (c >= '0' && c <= '9') {
            pucOut[i] = static_cast<std::uint8_t>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            pucOut[i] = static_cast<std::uint8_t>(c - 'A' + 10);
        } else if (c >= 'a' && c <= 'f') {
            pucOut[i] = static_cast<std::uint8_t>(c - 'a' + 10);
        }
    }
}

void NibblesToHexUpper(const std::uint8_t* pucNibbles, std::uint16_t usCount, char* pcOut) {
    for (std::uint16_t i = 0; i < usCount; ++i) {
        if (pucNibbles[i] <= 15) {
            pcOut[i] = "0123456789ABCDEF"[pucNibbles[i]];
        }
    }
}

void NibblesToHexLower(const std::uint8_t* pucNibbles, std::uint16_t usCount, char* pcOut) {
    for (std::uint16_t i = 0; i < usCount; ++i) {
        if (pucNibbles[i] <= 15) {
            pcOut[i] = "0123456789abcdef"[pucNibbles[i]];
        }
    }
}

std::uint32_t HexTextToBytes(const char* pcText, std::uint32_t ulLen, std::uint8_t* pucOut) {
    std::uint32_t ulBytes = 0;
    for (std::uint32_t i = 0; i < ulLen; i += 2) {
        std::uint8_t aucHexArray[2] = {0, 0};
        HexCharsToNibbles(pcText + i, ulLen - i >= 2 ? 2 : 1, aucHexArray);
        pucOut[ulBytes++] = static_cast<std::uint8_t>(aucHexArray[0] * 16 + aucHexArray[1]);
    }
    return ulBytes;
}

std::uint32_t BytesToHexText(const std::uint8_t* pucBytes, std::uint32_t ulCount, char* pcOut) {
    for (std::uint32_t i = 0; i < ulCount; ++i) {
        std::uint8_t aucHexArray[2];
        SplitByteToNibbles(pucBytes[i], aucHexArray);
        NibblesToHexLower(aucHexArray, 2, pcOut + 2 * i);
    }
    return 2 * ulCount;
}

std::int32_t FindPatternEnd(const std::uint8_t* pucBuf, std::uint16_t usBufLen,
                            const std::uint8_t* pucPattern, std::uint16_t usPatLen) {
    if (usPatLen == 0) {
        return usBufLen > 0 ? 0 : -1;  // the empty pattern matches at the start
    }
    for (std::int32_t p = 0; p + usPatLen < usBufLen; ++p) {
        if (std::memcmp(pucBuf + p, pucPattern, usPatLen) == 0) {
            return p + usPatLen;
        }
    }
    return -1;
}

std::int32_t FindTextPattern(const std::uint8_t* pucBuf, std::uint32_t ulCount, const char* strPattern,
                             std::int32_t iMode) {
    auto ucPatLen = static_cast<std::uint8_t>(std::strlen(strPattern));
    for (std::uint32_t p = 0; p < ulCount; ++p) {
        if (std::memcmp(pucBuf + p, strPattern, ucPatLen) == 0) {
            return static_cast<std::int32_t>(iMode == 1 ? p + ucPatLen : p);
        }
    }
    return -1;
}

std::uint16_t HexDumpCapacity(const char* strTitle) {
    // Room for items: the buffer less the title, its "\r\n" and the NUL.
    std::uint32_t ulRoom = kHexDumpBufferSize - DumpTitleLen(strTitle) - 3;
    if (ulRoom < kFirstItemLen) {
        return 0;
    }
    return static_cast<std::uint16_t>(1 + (ulRoom - kFirstItemLen) / kItemLen);
}

void PrintHexDump(const std::uint8_t* pucBytes, std::uint16_t usCount, const char* strTitle) {
    std::memset(HexDumpBuffer, 0, sizeof(HexDumpBuffer));
    std::uint32_t ulTitleLen = DumpTitleLen(strTitle);
    if (ulTitleLen > 0) {
        std::memcpy(HexDumpBuffer, strTitle, ulTitleLen);
    }
    std::memcpy(HexDumpBuffer + ulTitleLen, "\r\n", 2);
    std::uint32_t ulPos = ulTitleLen + 2;
    std::uint16_t usShown = HexDumpCapacity(strTitle);
    if (usShown > usCount) {
        usShown = usCount;
    }
    for (std::uint16_t i = 0; i < usShown; ++i) {
        // Room was counted above: every item fits together with the NUL.
        int n = std::snprintf(HexDumpBuffer + ulPos, kHexDumpBufferSize - ulPos,
                              i == 0 ? "    0x%02X " : "0x%02X ", pucBytes[i]);
        ulPos += static_cast<std::uint32_t>(n);
    }
    std::printf("%s\r\n", HexDumpBuffer);
}

void EraseShownText(const char* strText) {
    if (strText == nullptr) {
        return;
    }
    auto ucLen = static_cast<std::uint8_t>(std::strlen(strText));
    for (std::uint8_t i = 0; i < ucLen; ++i) {
        std::printf("\b");
    }
    for (std::uint8_t i = 0; i < ucLen; ++i) {
        std::printf(" ");
    }
    for (std::uint8_t i = 0; i < ucLen; ++i) {
        std::printf("\b");
    }
}
