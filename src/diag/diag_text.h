// Diagnostic text utilities: bytes, nibbles and ASCII hexadecimal digits, two byte-pattern searches, a
// one-line hexadecimal dump and a console text eraser. Hexadecimal text is plain ASCII without prefix or
// separators, two digits per byte, high nibble first; a counted run of text carries no NUL.
#pragma once

#include <cstdint>

// ---- Conversions (each runs over the positions 0 .. count - 1 in ascending order) ---------------------
// pucOut[0] = bits 7..4, pucOut[1] = bits 3..0.
void SplitByteToNibbles(std::uint8_t ucValue, std::uint8_t* pucOut);
// pucOut[0..3] = bits 15..12, 11..8, 7..4, 3..0.
void SplitWordToNibbles(std::uint16_t usValue, std::uint8_t* pucOut);
// '0'..'9' -> 0..9, 'A'..'F' and 'a'..'f' -> 10..15; any other character leaves its output byte as it was.
void HexCharsToNibbles(const char* pcChars, std::uint16_t usCount, std::uint8_t* pucOut);
// 0..9 -> '0'..'9', 10..15 -> 'A'..'F'; a value above 15 leaves its output byte as it was.
void NibblesToHexUpper(const std::uint8_t* pucNibbles, std::uint16_t usCount, char* pcOut);
// As NibblesToHexUpper with 'a'..'f'.
void NibblesToHexLower(const std::uint8_t* pucNibbles, std::uint16_t usCount, char* pcOut);

// Reads hexadecimal text of ulLen characters, a pair of digits per byte, into pucOut; returns the number
// of bytes written, (ulLen + 1) / 2. Upper and lower case digits are equal. Every pair starts from two
// zero nibbles, so a character that is not a hexadecimal digit counts as 0 and nothing carries over from
// an earlier pair or call; with an odd length the last digit is the high nibble of a last byte whose low
// nibble is 0 ("ABC" gives 0xAB 0xC0). No character at or beyond ulLen is read.
std::uint32_t HexTextToBytes(const char* pcText, std::uint32_t ulLen, std::uint8_t* pucOut);

// Writes two lower-case digits per byte, high nibble first, into pcOut (no NUL); returns 2 * ulCount.
std::uint32_t BytesToHexText(const std::uint8_t* pucBytes, std::uint32_t ulCount, char* pcOut);

// ---- Searches -----------------------------------------------------------------------------------------
// First occurrence of the pattern in the buffer, tried at the start positions 0 .. bufLen - patLen - 1;
// returns the index just after the match, or -1. The result always designates a byte inside the buffer:
// a match that ends on the buffer's last byte is not reported, and a buffer not longer than the
// pattern gives -1.
std::int32_t FindPatternEnd(const std::uint8_t* pucBuf, std::uint16_t usBufLen,
                            const std::uint8_t* pucPattern, std::uint16_t usPatLen);

// First occurrence of a NUL-terminated pattern at the start positions 0 .. ulCount - 1. The pattern
// length is its string length taken modulo 256. Returns the match position, or the index just after the
// match when iMode is 1; -1 without a match. The buffer must hold ulCount - 1 + pattern length bytes.
std::int32_t FindTextPattern(const std::uint8_t* pucBuf, std::uint32_t ulCount, const char* strPattern,
                             std::int32_t iMode);

// ---- Console output ---------------------------------------------------------------------------------
inline constexpr std::uint16_t kHexDumpBufferSize = 2048;
// The one text buffer of PrintHexDump, cleared at the start of every dump.
extern char HexDumpBuffer[kHexDumpBufferSize];

// Prints the title line ("%s\r\n") and one line of items, "    0x%02X " for the first byte and "0x%02X "
// for every further byte, built in HexDumpBuffer. A dump that would not fit the buffer is cut after the
// last whole item that does (and a title that alone would not fit is cut to what does); nothing is
// written beyond the buffer. A null title counts as empty.
void PrintHexDump(const std::uint8_t* pucBytes, std::uint16_t usCount, const char* strTitle);

// How many bytes one PrintHexDump with this title shows in full (408 with an empty title).
std::uint16_t HexDumpCapacity(const char* strTitle);

// Blanks the last n characters shown on the console line and leaves the cursor where they began: n
// backspaces, n spaces, n backspaces, one character per print, n = the text's length modulo 256.
void EraseShownText(const char* strText);
