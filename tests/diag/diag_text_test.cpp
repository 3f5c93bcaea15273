#include "diag/diag_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/capture_stdout.h"

namespace {

// Exactly sized heap copies, so that a read past the end is caught under the address sanitizer.
std::vector<std::uint8_t> Bytes(const std::string& s) {
    return std::vector<std::uint8_t>(s.begin(), s.end());
}

std::int32_t PatternEnd(const std::string& buf, const std::string& pat) {
    auto b = Bytes(buf);
    auto p = Bytes(pat);
    return FindPatternEnd(b.data(), static_cast<std::uint16_t>(b.size()), p.data(),
                          static_cast<std::uint16_t>(p.size()));
}

TEST(DiagConversions, NibblesAndDigits) {
    std::uint8_t auc[4];
    SplitWordToNibbles(0xA5C3, auc);
    EXPECT_EQ(std::vector<std::uint8_t>(auc, auc + 4), (std::vector<std::uint8_t>{10, 5, 12, 3}));
    SplitByteToNibbles(0x7E, auc);
    EXPECT_EQ(auc[0], 7);
    EXPECT_EQ(auc[1], 14);

    // Characters that are no digit leave their output byte as it was.
    std::uint8_t aucOut[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    HexCharsToNibbles("9aFg/G", 6, aucOut);
    EXPECT_EQ(std::vector<std::uint8_t>(aucOut, aucOut + 6),
              (std::vector<std::uint8_t>{9, 10, 15, 0xEE, 0xEE, 0xEE}));

    const std::uint8_t aucNib[4] = {0, 10, 15, 16};
    char acUp[4] = {'x', 'x', 'x', 'x'};
    char acLow[4] = {'x', 'x', 'x', 'x'};
    NibblesToHexUpper(aucNib, 4, acUp);
    NibblesToHexLower(aucNib, 4, acLow);
    EXPECT_EQ(std::string(acUp, 4), "0AFx");
    EXPECT_EQ(std::string(acLow, 4), "0afx");
}

TEST(DiagConversions, HexTextBothWays) {
    const std::uint8_t aucIn[2] = {0x1F, 0xA0};
    char acText[5] = {'1', '2', '3', '4', '#'};
    EXPECT_EQ(BytesToHexText(aucIn, 2, acText), 4u);
    EXPECT_EQ(std::string(acText, 5), "1fa0#");  // no NUL added

    for (const char* str : {"1FA0ff", "1fa0FF"}) {
        std::uint8_t aucOut[3] = {};
        EXPECT_EQ(HexTextToBytes(str, 6, aucOut), 3u);
        EXPECT_EQ(std::vector<std::uint8_t>(aucOut, aucOut + 3),
                  (std::vector<std::uint8_t>{0x1F, 0xA0, 0xFF}));
    }

    // Round trips over every byte value and random runs, through lower and upper case text.
    std::vector<std::uint8_t> data(256);
    for (int i = 0; i < 256; ++i) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    std::mt19937 rng(8);
    for (int k = 0; k < 200; ++k) {
        data.push_back(static_cast<std::uint8_t>(rng()));
    }
    std::string text(data.size() * 2, '\0');
    ASSERT_EQ(BytesToHexText(data.data(), static_cast<std::uint32_t>(data.size()), text.data()), text.size());
    for (int iCase = 0; iCase < 2; ++iCase) {
        if (iCase == 1) {
            for (char& c : text) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
        }
        std::vector<std::uint8_t> back(data.size());
        ASSERT_EQ(HexTextToBytes(text.data(), static_cast<std::uint32_t>(text.size()), back.data()),
                  data.size());
        EXPECT_EQ(back, data);
    }
}

TEST(DiagConversions, HexTextOddLengthAndForeignCharacters) {
    // The text is an exact heap copy: the lone last digit must not pull in a character beyond it.
    std::vector<char> odd = {'A', 'B', 'C'};
    std::uint8_t aucOut[3] = {0x55, 0x55, 0x55};
    EXPECT_EQ(HexTextToBytes(odd.data(), 3, aucOut), 2u);
    EXPECT_EQ(aucOut[0], 0xAB);
    EXPECT_EQ(aucOut[1], 0xC0);
    EXPECT_EQ(aucOut[2], 0x55);

    // A character that is no digit counts as 0, whatever came before in this call or an earlier one.
    EXPECT_EQ(HexTextToBytes("FF", 2, aucOut), 1u);
    EXPECT_EQ(HexTextToBytes("zzG1 7", 6, aucOut), 3u);
    EXPECT_EQ(std::vector<std::uint8_t>(aucOut, aucOut + 3), (std::vector<std::uint8_t>{0x00, 0x01, 0x07}));
    EXPECT_EQ(HexTextToBytes("", 0, aucOut), 0u);
}

TEST(DiagSearch, PatternEndAtTheBufferEnd) {
    EXPECT_EQ(PatternEnd("ABCD", "BC"), 3);
    EXPECT_EQ(PatternEnd("BCDE", "BC"), 2);
    EXPECT_EQ(PatternEnd("ABCBCX", "BC"), 3);  // the first match wins
    // A match ending on the last byte is not reported: the result always indexes a byte of the buffer.
    EXPECT_EQ(PatternEnd("ABC", "BC"), -1);
    EXPECT_EQ(PatternEnd("BC", "BC"), -1);
    EXPECT_EQ(PatternEnd("B", "BC"), -1);
    EXPECT_EQ(PatternEnd("", "BC"), -1);
    EXPECT_EQ(PatternEnd("ABCD", "XY"), -1);
    EXPECT_EQ(PatternEnd("AB", ""), 0);
    EXPECT_EQ(PatternEnd("", ""), -1);
}

TEST(DiagSearch, TextPatternModesAndCount) {
    auto buf = Bytes("ABCD");
    EXPECT_EQ(FindTextPattern(buf.data(), 3, "BC", 0), 1);
    EXPECT_EQ(FindTextPattern(buf.data(), 3, "BC", 1), 3);
    EXPECT_EQ(FindTextPattern(buf.data(), 3, "BC", 7), 1);
    EXPECT_EQ(FindTextPattern(buf.data(), 1, "BC", 1), -1);
    EXPECT_EQ(FindTextPattern(buf.data(), 0, "BC", 0), -1);
    // The last start position reaches the last byte of a buffer of count - 1 + pattern length bytes.
    EXPECT_EQ(FindTextPattern(buf.data(), 3, "CD", 1), 4);
    EXPECT_EQ(FindTextPattern(buf.data(), 3, "CX", 0), -1);
}

TEST(DiagHexDump, TitleAndItemLine) {
    const std::uint8_t auc[2] = {0x01, 0xAB};
    StdoutCapture cap;
    PrintHexDump(auc, 2, "T");
    PrintHexDump(auc, 0, "empty");
    PrintHexDump(auc, 1, nullptr);
    EXPECT_EQ(cap.Finish(), "T\r\n    0x01 0xAB \r\nempty\r\n\r\n\r\n    0x01 \r\n");
}

TEST(DiagHexDump, LongDumpIsCutAfterTheLastWholeItem) {
    std::vector<std::uint8_t> data(1000);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    auto expected = [&](const std::string& title, std::size_t n) {
        std::string s = title + "\r\n";
        char ac[16];
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(ac, sizeof(ac), i == 0 ? "    0x%02X " : "0x%02X ", data[i]);
            s += ac;
        }
        return s + "\r\n";
    };
    EXPECT_EQ(HexDumpCapacity(""), 408);
    // Title + "\r\n" + 9 + 5 * (n - 1) + NUL within 2048.
    EXPECT_EQ(HexDumpCapacity("T"), 408);   // 2047
    EXPECT_EQ(HexDumpCapacity("TT"), 407);  // 2044; one more item would need 2049
    {
        StdoutCapture cap;
        PrintHexDump(data.data(), 408, "");
        EXPECT_EQ(cap.Finish(), expected("", 408));
    }
    {
        StdoutCapture cap;
        PrintHexDump(data.data(), 1000, "");
        EXPECT_EQ(cap.Finish(), expected("", 408));
    }
    {
        StdoutCapture cap;
        PrintHexDump(data.data(), 1000, "Flash page");
        EXPECT_EQ(cap.Finish(), expected("Flash page", HexDumpCapacity("Flash page")));
    }
    // A title that fills the buffer alone is cut; no item is shown.
    std::string longTitle(3000, 't');
    EXPECT_EQ(HexDumpCapacity(longTitle.c_str()), 0);
    StdoutCapture cap;
    PrintHexDump(data.data(), 10, longTitle.c_str());
    EXPECT_EQ(cap.Finish(), std::string(kHexDumpBufferSize - 3, 't') + "\r\n\r\n");
}

TEST(DiagEraser, BackspacesSpacesBackspaces) {
    StdoutCapture cap;
    EraseShownText("12345");
    EraseShownText("");
    EXPECT_EQ(cap.Finish(), "\b\b\b\b\b     \b\b\b\b\b");
}

}  // namespace
