// The report descriptor parser against what Windows computed for real devices, against tablet-like
// descriptors, and against damaged ones. Also checks that the udev rule covers every supported tablet.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "device/device_table.h"
#include "platform/hid_report_descriptor.h"

namespace {

// ---- A reader for the fixture's fixed shape: an array of flat objects of strings and integers --------
struct FixtureCase {
    std::map<std::string, std::string> strFields;
    std::map<std::string, long> lFields;
};

class FlatJsonReader {
  public:
    explicit FlatJsonReader(std::string strText) : m_strText(std::move(strText)) {}

    bool ReadCases(std::vector<FixtureCase>* ptCases) {
        if (!Expect('[')) {
            return false;
        }
        while (true) {
            SkipSpace();
            if (Peek() == ']') {
                ++m_szPos;
                return true;
            }
            FixtureCase tCase;
            if (!ReadObject(&tCase)) {
                return false;
            }
            ptCases->push_back(tCase);
            SkipSpace();
            if (Peek() == ',') {
                ++m_szPos;
            }
        }
    }

  private:
    bool ReadObject(FixtureCase* ptCase) {
        if (!Expect('{')) {
            return false;
        }
        while (true) {
            SkipSpace();
            if (Peek() == '}') {
                ++m_szPos;
                return true;
            }
            std::string strKey;
            if (!ReadString(&strKey) || !Expect(':')) {
                return false;
            }
            SkipSpace();
            if (Peek() == '"') {
                std::string strValue;
                if (!ReadString(&strValue)) {
                    return false;
                }
                ptCase->strFields[strKey] = strValue;
            } else {
                std::size_t szStart = m_szPos;
                while (m_szPos < m_strText.size() &&
                       (std::isdigit(static_cast<unsigned char>(m_strText[m_szPos])) ||
                        m_strText[m_szPos] == '-')) {
                    ++m_szPos;
                }
                if (szStart == m_szPos) {
                    return false;
                }
                ptCase->lFields[strKey] = std::stol(m_strText.substr(szStart, m_szPos - szStart));
            }
            SkipSpace();
            if (Peek() == ',') {
                ++m_szPos;
            }
        }
    }
    bool ReadString(std::string* pStr) {
        if (!Expect('"')) {
            return false;
        }
        std::size_t szEnd = m_strText.find('"', m_szPos);
        if (szEnd == std::string::npos) {
            return false;
        }
        *pStr = m_strText.substr(m_szPos, szEnd - m_szPos);
        m_szPos = szEnd + 1;
        return true;
    }
    bool Expect(char c) {
        SkipSpace();
        if (Peek() != c) {
            return false;
        }
        ++m_szPos;
        return true;
    }
    char Peek() const { return m_szPos < m_strText.size() ? m_strText[m_szPos] : '\0'; }
    void SkipSpace() {
        while (m_szPos < m_strText.size() && std::isspace(static_cast<unsigned char>(m_strText[m_szPos]))) {
            ++m_szPos;
        }
    }

    std::string m_strText;
    std::size_t m_szPos = 0;
};

std::string ReadWholeFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::uint8_t> FromHex(const std::string& strHex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < strHex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(strHex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

HidDescriptorInfo Parse(const std::vector<std::uint8_t>& desc) {
    HidDescriptorInfo tInfo;
    ParseHidReportDescriptor(desc.data(), desc.size(), &tInfo);
    return tInfo;
}

// ---- A builder for descriptors of our own ----------------------------------------------------------
class Desc {
  public:
    // A short item with the shortest data size that holds v (or the size given: 0, 1, 2 or 4).
    Desc& Item(std::uint8_t ucType, std::uint8_t ucTag, std::uint32_t v, int iSize = -1) {
        if (iSize < 0) {
            iSize = v <= 0xFF ? 1 : v <= 0xFFFF ? 2 : 4;
        }
        const std::uint8_t ucCode = iSize == 4 ? 3 : static_cast<std::uint8_t>(iSize);
        m_bytes.push_back(static_cast<std::uint8_t>((ucTag << 4) | (ucType << 2) | ucCode));
        for (int i = 0; i < iSize; ++i) {
            m_bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
        return *this;
    }
    Desc& UsagePage(std::uint32_t v) { return Item(1, 0x0, v); }
    Desc& Usage(std::uint32_t v, int iSize = -1) { return Item(2, 0x0, v, iSize); }
    Desc& Collection(std::uint8_t ucKind = 1) { return Item(0, 0xA, ucKind); }
    Desc& End() { return Item(0, 0xC, 0, 0); }
    Desc& ReportId(std::uint32_t v) { return Item(1, 0x8, v); }
    Desc& ReportSize(std::uint32_t v, int iSize = -1) { return Item(1, 0x7, v, iSize); }
    Desc& ReportCount(std::uint32_t v, int iSize = -1) { return Item(1, 0x9, v, iSize); }
    Desc& Input(std::uint32_t v = 2) { return Item(0, 0x8, v); }
    Desc& Output(std::uint32_t v = 2) { return Item(0, 0x9, v); }
    Desc& Feature(std::uint32_t v = 2) { return Item(0, 0xB, v); }
    Desc& Push() { return Item(1, 0xA, 0, 0); }
    Desc& Pop() { return Item(1, 0xB, 0, 0); }
    Desc& Raw(std::initializer_list<std::uint8_t> bytes) {
        m_bytes.insert(m_bytes.end(), bytes);
        return *this;
    }
    // Vendor collection of the tablets: Usage 7 on 0xFF0C, input 0xFC and output 0xFD of the given sizes
    // (bytes behind the report ID).
    Desc& VendorCollection(std::uint32_t ulInData, std::uint32_t ulOutData) {
        UsagePage(0xFF0C).Usage(0x07).Collection(1);
        ReportId(0xFC).ReportSize(8).ReportCount(ulInData).Usage(0x01).Input();
        ReportId(0xFD).ReportSize(8).ReportCount(ulOutData).Usage(0x01).Output();
        return End();
    }
    // A digitizer pen collection with a nested physical collection: report 0x0A, 9 bytes of data.
    Desc& PenCollection() {
        UsagePage(0x0D).Usage(0x02).Collection(1).ReportId(0x0A).Usage(0x20).Collection(0);
        ReportSize(1).ReportCount(8).Input();   // tip, barrel, eraser, in range ...
        ReportSize(16).ReportCount(4).Input();  // x, y, pressure, tilt
        return End().End();
    }
    const std::vector<std::uint8_t>& Bytes() const { return m_bytes; }

  private:
    std::vector<std::uint8_t> m_bytes;
};

const HidTopCollection* FindCollection(const HidDescriptorInfo& tInfo, std::uint16_t usPage,
                                       std::uint16_t usUsage) {
    for (const HidTopCollection& t : tInfo.tCollections) {
        if (t.usUsagePage == usPage && t.usUsage == usUsage) {
            return &t;
        }
    }
    return nullptr;
}

}  // namespace

TEST(HidReportDescriptor, AgreesWithWindowsOnRealDevices) {
    std::vector<FixtureCase> tCases;
    FlatJsonReader tReader(ReadWholeFile(TAVELO_HIDRAW_TEST_DATA "/windows-caps.json"));
    ASSERT_TRUE(tReader.ReadCases(&tCases));
    ASSERT_EQ(tCases.size(), 25u);
    for (const FixtureCase& tCase : tCases) {
        SCOPED_TRACE(tCase.strFields.at("case"));
        HidDescriptorInfo tInfo = Parse(FromHex(tCase.strFields.at("descriptor")));
        EXPECT_FALSE(tInfo.bMalformed);
        // Where two collections share usage page and usage, one of them has to match.
        bool bMatched = false;
        int iSameUsage = 0;
        for (const HidTopCollection& t : tInfo.tCollections) {
            if (t.usUsagePage != tCase.lFields.at("usage_page") || t.usUsage != tCase.lFields.at("usage")) {
                continue;
            }
            ++iSameUsage;
            bMatched =
                bMatched ||
                (static_cast<long>(t.ulInputBytes) == tCase.lFields.at("input_report_byte_length") &&
                 static_cast<long>(t.ulOutputBytes) == tCase.lFields.at("output_report_byte_length") &&
                 static_cast<long>(t.ulFeatureBytes) == tCase.lFields.at("feature_report_byte_length"));
            if (!bMatched && iSameUsage == 1) {
                std::printf("  got in %u out %u feature %u\n", t.ulInputBytes, t.ulOutputBytes,
                            t.ulFeatureBytes);
            }
        }
        EXPECT_GE(iSameUsage, 1);
        EXPECT_TRUE(bMatched);
    }
}

TEST(HidReportDescriptor, TabletWithPenBesideVendorCollection) {
    // 63 bytes in and 1055 bytes out behind the report IDs: a package frame of 1047 bytes fits.
    Desc d;
    d.PenCollection().VendorCollection(63, 1055);
    HidDescriptorInfo tInfo = Parse(d.Bytes());
    EXPECT_FALSE(tInfo.bMalformed);
    EXPECT_TRUE(tInfo.bUsesReportIds);
    ASSERT_EQ(tInfo.tCollections.size(), 2u);
    const HidTopCollection& tPen = tInfo.tCollections[0];
    EXPECT_EQ(tPen.usUsagePage, 0x0D);
    EXPECT_EQ(tPen.usUsage, 0x02);
    EXPECT_EQ(tPen.ulInputBytes, 10u);  // 1 + 8 bits + 64 bits
    EXPECT_EQ(tPen.ulOutputBytes, 0u);
    const HidTopCollection& tVendor = tInfo.tCollections[1];
    EXPECT_EQ(tVendor.usUsagePage, 0xFF0C);
    EXPECT_EQ(tVendor.usUsage, 0x07);
    EXPECT_EQ(tVendor.ulInputBytes, 64u);
    EXPECT_EQ(tVendor.ulOutputBytes, 1056u);
    EXPECT_EQ(tVendor.ulFeatureBytes, 0u);
    // Input reports route to their collections; an output-only ID and an unknown ID route nowhere.
    EXPECT_EQ(HidInputReportCollection(tInfo, 0x0A), 0);
    EXPECT_EQ(HidInputReportCollection(tInfo, 0xFC), 1);
    EXPECT_EQ(HidInputReportCollection(tInfo, 0xFD), -1);
    EXPECT_EQ(HidInputReportCollection(tInfo, 0x33), -1);
    EXPECT_EQ(HidMaxInputBytes(tInfo), 64u);
}

TEST(HidReportDescriptor, LargestReportOfAKindSetsTheLengthAndBitsRoundUp) {
    Desc d;
    d.UsagePage(0xFF0C).Usage(0x07).Collection(1);
    d.ReportId(1).ReportSize(8).ReportCount(10).Input();
    d.ReportId(2).ReportSize(1).ReportCount(81).Input();  // 81 bits: 11 bytes
    d.ReportId(3).ReportSize(8).ReportCount(4).Feature();
    d.ReportId(2).ReportSize(8).ReportCount(1).Input();  // report 2 goes on: 89 bits, 12 bytes
    d.End();
    HidDescriptorInfo tInfo = Parse(d.Bytes());
    ASSERT_EQ(tInfo.tCollections.size(), 1u);
    EXPECT_EQ(tInfo.tCollections[0].ulInputBytes, 13u);
    EXPECT_EQ(tInfo.tCollections[0].ulFeatureBytes, 5u);
    EXPECT_EQ(tInfo.tCollections[0].ulOutputBytes, 0u);
}

TEST(HidReportDescriptor, NoReportIdsStillCountTheIdByte) {
    Desc d;
    d.UsagePage(0xFF0C)
        .Usage(0x07)
        .Collection(1)
        .ReportSize(8)
        .ReportCount(64)
        .Input()
        .ReportCount(32)
        .Output()
        .End();
    HidDescriptorInfo tInfo = Parse(d.Bytes());
    EXPECT_FALSE(tInfo.bUsesReportIds);
    ASSERT_EQ(tInfo.tCollections.size(), 1u);
    EXPECT_EQ(tInfo.tCollections[0].ulInputBytes, 65u);
    EXPECT_EQ(tInfo.tCollections[0].ulOutputBytes, 33u);
    EXPECT_EQ(HidInputReportCollection(tInfo, 0), 0);
}

TEST(HidReportDescriptor, PushPopAndLongCountsAndFourByteUsages) {
    Desc d;
    // Four-byte usage carries its page; Push keeps size 8 / count 2048 across a Pop.
    d.UsagePage(0x01).Usage(0xFF0C0007u, 4).Collection(1).ReportId(0xFC);
    d.ReportSize(8).ReportCount(2048, 4).Push();
    d.ReportSize(1).ReportCount(3).Input().Pop();
    d.Input();  // 3 bits + 2048 bytes
    d.End();
    HidDescriptorInfo tInfo = Parse(d.Bytes());
    EXPECT_FALSE(tInfo.bMalformed);
    const HidTopCollection* p = FindCollection(tInfo, 0xFF0C, 0x07);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->ulInputBytes, 1u + 2048u + 1u);
}

TEST(HidReportDescriptor, NestedCollectionsBelongToTheirTopLevelCollection) {
    Desc d;
    d.UsagePage(0x01).Usage(0x02).Collection(1).ReportId(1).Usage(0x01).Collection(0);
    d.ReportSize(8).ReportCount(3).Input().Collection(2).ReportCount(5).Input().End().End().End();
    d.UsagePage(0x0C).Usage(0x01).Collection(1).ReportId(2).ReportSize(16).ReportCount(1).Input().End();
    HidDescriptorInfo tInfo = Parse(d.Bytes());
    EXPECT_FALSE(tInfo.bMalformed);
    ASSERT_EQ(tInfo.tCollections.size(), 2u);
    EXPECT_EQ(tInfo.tCollections[0].ulInputBytes, 9u);
    EXPECT_EQ(tInfo.tCollections[1].ulInputBytes, 3u);
}

TEST(HidReportDescriptor, LongItemsAreSkipped) {
    Desc d;
    d.UsagePage(0xFF0C).Usage(0x07).Collection(1).Raw({0xFE, 0x03, 0xF0, 0x81, 0x02, 0x91});  // long item
    d.ReportSize(8).ReportCount(7).Input().Raw({0xFE, 0x00, 0x10}).End();  // empty long item
    HidDescriptorInfo tInfo = Parse(d.Bytes());
    EXPECT_FALSE(tInfo.bMalformed);
    ASSERT_EQ(tInfo.tCollections.size(), 1u);
    EXPECT_EQ(tInfo.tCollections[0].ulInputBytes, 8u);
}

TEST(HidReportDescriptor, DamagedDescriptorsAreFlaggedAndNeverOverread) {
    Desc good;
    good.UsagePage(0xFF0C).Usage(0x07).Collection(1).ReportSize(8).ReportCount(7).Input().End();
    // Every truncation of a good descriptor parses safely (ASan checks the exact-size copies).
    for (std::size_t n = 0; n <= good.Bytes().size(); ++n) {
        std::vector<std::uint8_t> part(good.Bytes().begin(), good.Bytes().begin() + static_cast<long>(n));
        HidDescriptorInfo tInfo = Parse(part);
        // Cut inside an item, or with the collection (opened at byte 7) left open.
        EXPECT_EQ(tInfo.bMalformed, n == 1 || n == 2 || n == 4 || (n >= 6 && n < good.Bytes().size())) << n;
    }
    // An item whose data runs past the end, a long item whose length does too, a lone long-item prefix.
    for (const std::vector<std::uint8_t>& bad :
         {std::vector<std::uint8_t>{0x06, 0x0C}, std::vector<std::uint8_t>{0x97, 0x00, 0x01, 0x00},
          std::vector<std::uint8_t>{0xFE, 0x05, 0x00, 0x01}, std::vector<std::uint8_t>{0xFE}}) {
        EXPECT_TRUE(Parse(bad).bMalformed);
    }
    // Unbalanced End Collection, pop of an empty stack, report ID 0.
    EXPECT_TRUE(Parse(Desc().End().Bytes()).bMalformed);
    EXPECT_TRUE(Parse(Desc().Pop().Bytes()).bMalformed);
    EXPECT_TRUE(Parse(Desc().ReportId(0).Bytes()).bMalformed);
}

TEST(HidReportDescriptor, StateStaysBounded) {
    // Pushes beyond the stack, deep nesting and more top-level collections than presented.
    Desc d;
    for (std::size_t i = 0; i < kHidMaxGlobalStack + 5; ++i) {
        d.Push();
    }
    for (int i = 0; i < 10000; ++i) {
        d.Collection(0);
    }
    for (int i = 0; i < 10000; ++i) {
        d.End();
    }
    for (std::size_t i = 0; i < kHidMaxTopCollections + 10; ++i) {
        d.UsagePage(0x01).Usage(0x02).Collection(1).ReportId(static_cast<std::uint32_t>(i % 255 + 1));
        d.ReportSize(8).ReportCount(4).Input().End();
    }
    HidDescriptorInfo tInfo = Parse(d.Bytes());
    EXPECT_TRUE(tInfo.bMalformed);
    EXPECT_EQ(tInfo.tCollections.size(), kHidMaxTopCollections);
    // Enormous sizes saturate instead of wrapping.
    Desc huge;
    huge.UsagePage(0xFF0C).Usage(0x07).Collection(1).ReportSize(0xFFFFFFFFu, 4).ReportCount(0xFFFFFFFFu, 4);
    huge.Input().Input().End();
    HidDescriptorInfo tHuge = Parse(huge.Bytes());
    ASSERT_EQ(tHuge.tCollections.size(), 1u);
    EXPECT_EQ(tHuge.tCollections[0].ulInputBytes, 0xFFFFFFFFu);
}

TEST(UdevRule, CoversEverySupportedTabletAndNothingElse) {
    std::ifstream in(TAVELO_UDEV_RULES);
    ASSERT_TRUE(in.good());
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ids;
    std::string strLine;
    while (std::getline(in, strLine)) {
        if (strLine.empty() || strLine[0] == '#') {
            continue;
        }
        EXPECT_NE(strLine.find("KERNEL==\"hidraw*\""), std::string::npos) << strLine;
        EXPECT_NE(strLine.find("TAG+=\"uaccess\""), std::string::npos) << strLine;
        unsigned uVid = 0;
        unsigned uPid = 0;
        std::size_t szV = strLine.find("ATTRS{idVendor}==\"");
        std::size_t szP = strLine.find("ATTRS{idProduct}==\"");
        ASSERT_NE(szV, std::string::npos) << strLine;
        ASSERT_NE(szP, std::string::npos) << strLine;
        ASSERT_EQ(std::sscanf(strLine.c_str() + szV + 18, "%4x", &uVid), 1);
        ASSERT_EQ(std::sscanf(strLine.c_str() + szP + 19, "%4x", &uPid), 1);
        ids.emplace_back(uVid, uPid);
    }
    ASSERT_EQ(ids.size(), static_cast<std::size_t>(kDeviceTableRows));
    for (int i = 0; i < kDeviceTableRows; ++i) {
        EXPECT_EQ(ids[static_cast<std::size_t>(i)].first, DeviceTable[i].ulVid);
        EXPECT_EQ(ids[static_cast<std::size_t>(i)].second, DeviceTable[i].ulPid);
    }
}
