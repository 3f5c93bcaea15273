// HID report descriptor parser: top-level collections and their report lengths as Windows presents them.
#include "platform/hid_report_descriptor.h"

#include <array>
#include <limits>

namespace {
// Item types and tags of the short item prefix (type in bits 2..3, tag in bits 4..7).
constexpr std::uint8_t kTypeMain = 0;
constexpr std::uint8_t kTypeGlobal = 1;
constexpr std::uint8_t kTypeLocal = 2;

constexpr std::uint8_t kMainInput = 0x8;
constexpr std::uint8_t kMainOutput = 0x9;
constexpr std::uint8_t kMainCollection = 0xA;
constexpr std::uint8_t kMainFeature = 0xB;
constexpr std::uint8_t kMainEndCollection = 0xC;

constexpr std::uint8_t kGlobalUsagePage = 0x0;
constexpr std::uint8_t kGlobalReportSize = 0x7;
constexpr std::uint8_t kGlobalReportId = 0x8;
constexpr std::uint8_t kGlobalReportCount = 0x9;
constexpr std::uint8_t kGlobalPush = 0xA;
constexpr std::uint8_t kGlobalPop = 0xB;

constexpr std::uint8_t kLocalUsage = 0x0;
constexpr std::uint8_t kLocalUsageMinimum = 0x1;

constexpr std::uint8_t kLongItemPrefix = 0xFE;

// The global items that matter for report lengths and collection usages; Push and Pop save and restore it.
struct GlobalState {
    std::uint16_t usUsagePage;
    std::uint32_t ulReportSize;
    std::uint32_t ulReportCount;
    std::uint8_t ucReportId;
};

// The local items that name a collection; cleared after every main item.
struct LocalState {
    bool bHaveUsage;
    bool bUsageHasPage;  // a four-byte usage carries its own usage page in the high half
    std::uint32_t ulUsage;
    bool bHaveUsageMinimum;
    bool bUsageMinimumHasPage;
    std::uint32_t ulUsageMinimum;
};

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max()
                                                             : a + b;
}

// Report bytes as Windows counts them: the bits rounded up to whole bytes, plus the report ID byte.
std::uint32_t ReportBytes(std::uint64_t ullBits) {
    if (ullBits == 0) {
        return 0;
    }
    std::uint64_t ullBytes = ullBits / 8 + (ullBits % 8 != 0 ? 1 : 0) + 1;
    return ullBytes > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                                : static_cast<std::uint32_t>(ullBytes);
}

class Parser {
  public:
    explicit Parser(HidDescriptorInfo* ptInfo) : m_ptInfo(ptInfo) {}

    void Run(const std::uint8_t* pucDesc, std::size_t szLen) {
        std::size_t i = 0;
        while (i < szLen) {
            const std::uint8_t ucPrefix = pucDesc[i];
            const std::size_t szLeft = szLen - i - 1;  // bytes behind the prefix
            if (ucPrefix == kLongItemPrefix) {
                // Long item: data size, tag, then the data. No long item tags are defined; skip it.
                if (szLeft < 2 || szLeft - 2 < pucDesc[i + 1]) {
                    m_ptInfo->bMalformed = true;
                    break;
                }
                i += 3 + static_cast<std::size_t>(pucDesc[i + 1]);
                continue;
            }
            std::size_t szData = ucPrefix & 0x3u;
            if (szData == 3) {
                szData = 4;
            }
            if (szLeft < szData) {
                m_ptInfo->bMalformed = true;  // the item's data runs past the end
                break;
            }
            std::uint32_t ulData = 0;
            for (std::size_t k = 0; k < szData; ++k) {
                ulData |= static_cast<std::uint32_t>(pucDesc[i + 1 + k]) << (8 * k);
            }
            i += 1 + szData;
            const std::uint8_t ucType = (ucPrefix >> 2) & 0x3u;
            const std::uint8_t ucTag = ucPrefix >> 4;
            if (ucType == kTypeMain) {
                Main(ucTag);
            } else if (ucType == kTypeGlobal) {
                Global(ucTag, ulData);
            } else if (ucType == kTypeLocal) {
                Local(ucTag, ulData, szData);
            }
            // Type 3 (reserved) is skipped.
        }
        if (m_ulDepth != 0) {
            m_ptInfo->bMalformed = true;  // a collection was left open
        }
        Finish();
    }

  private:
    void Main(std::uint8_t ucTag) {
        switch (ucTag) {
            case kMainCollection:
                if (m_ulDepth == 0) {
                    OpenTopCollection();
                }
                ++m_ulDepth;
                break;
            case kMainEndCollection:
                if (m_ulDepth == 0) {
                    m_ptInfo->bMalformed = true;
                } else if (--m_ulDepth == 0) {
                    m_iCurrent = -1;
                }
                break;
            case kMainInput:
            case kMainOutput:
            case kMainFeature:
                AddData(ucTag);
                break;
            default:
                break;
        }
        m_tLocal = LocalState{};
    }

    void Global(std::uint8_t ucTag, std::uint32_t ulData) {
        switch (ucTag) {
            case kGlobalUsagePage:
                m_tGlobal.usUsagePage = static_cast<std::uint16_t>(ulData);
                break;
            case kGlobalReportSize:
                m_tGlobal.ulReportSize = ulData;
                break;
            case kGlobalReportCount:
                m_tGlobal.ulReportCount = ulData;
                break;
            case kGlobalReportId:
                m_ptInfo->bUsesReportIds = true;
                if (ulData == 0 || ulData > 0xFF) {
                    m_ptInfo->bMalformed = true;
                }
                m_tGlobal.ucReportId = static_cast<std::uint8_t>(ulData);
                break;
            case kGlobalPush:
                if (m_szStack == m_aStack.size()) {
                    m_ptInfo->bMalformed = true;
                } else {
                    m_aStack[m_szStack++] = m_tGlobal;
                }
                break;
            case kGlobalPop:
                if (m_szStack == 0) {
                    m_ptInfo->bMalformed = true;
                } else {
                    m_tGlobal = m_aStack[--m_szStack];
                }
                break;
            default:
                break;
        }
    }

    void Local(std::uint8_t ucTag, std::uint32_t ulData, std::size_t szData) {
        if (ucTag == kLocalUsage && !m_tLocal.bHaveUsage) {
            m_tLocal.bHaveUsage = true;
            m_tLocal.bUsageHasPage = szData == 4;
            m_tLocal.ulUsage = ulData;
        } else if (ucTag == kLocalUsageMinimum && !m_tLocal.bHaveUsageMinimum) {
            m_tLocal.bHaveUsageMinimum = true;
            m_tLocal.bUsageMinimumHasPage = szData == 4;
            m_tLocal.ulUsageMinimum = ulData;
        }
    }

    void OpenTopCollection() {
        m_aReportIndex.fill(-1);
        if (m_ptInfo->tCollections.size() >= kHidMaxTopCollections) {
            m_ptInfo->bMalformed = true;
            m_iCurrent = -1;  // its reports count nowhere
            return;
        }
        HidTopCollection tColl{};
        tColl.usUsagePage = m_tGlobal.usUsagePage;
        // A collection is named by its first Usage (or, lacking one, its Usage Minimum). A usage of one or
        // two bytes takes the current usage page; a four-byte usage carries its own.
        if (m_tLocal.bHaveUsage || m_tLocal.bHaveUsageMinimum) {
            const bool bFromUsage = m_tLocal.bHaveUsage;
            const std::uint32_t ulUsage = bFromUsage ? m_tLocal.ulUsage : m_tLocal.ulUsageMinimum;
            const bool bHasPage = bFromUsage ? m_tLocal.bUsageHasPage : m_tLocal.bUsageMinimumHasPage;
            tColl.usUsage = static_cast<std::uint16_t>(ulUsage & 0xFFFFu);
            if (bHasPage) {
                tColl.usUsagePage = static_cast<std::uint16_t>(ulUsage >> 16);
            }
        }
        m_ptInfo->tCollections.push_back(tColl);
        m_iCurrent = static_cast<int>(m_ptInfo->tCollections.size()) - 1;
    }

    void AddData(std::uint8_t ucTag) {
        if (m_iCurrent < 0) {
            return;  // data outside any presented collection belongs to no report Windows shows
        }
        std::int32_t& iIndex = m_aReportIndex[m_tGlobal.ucReportId];
        if (iIndex < 0) {
            HidReportBits tReport{};
            tReport.ucReportId = m_tGlobal.ucReportId;
            tReport.usCollection = static_cast<std::uint16_t>(m_iCurrent);
            m_ptInfo->tReports.push_back(tReport);
            iIndex = static_cast<std::int32_t>(m_ptInfo->tReports.size()) - 1;
        }
        HidReportBits& tReport = m_ptInfo->tReports[static_cast<std::size_t>(iIndex)];
        const std::uint64_t ullSize = m_tGlobal.ulReportSize;
        const std::uint64_t ullBits = ullSize * m_tGlobal.ulReportCount;  // both < 2^32: no overflow
        std::uint64_t* pullBits = ucTag == kMainInput    ? &tReport.ullInputBits
                                  : ucTag == kMainOutput ? &tReport.ullOutputBits
                                                         : &tReport.ullFeatureBits;
        *pullBits = SaturatingAdd(*pullBits, ullBits);
    }

    void Finish() {
        for (const HidReportBits& tReport : m_ptInfo->tReports) {
            HidTopCollection& tColl = m_ptInfo->tCollections[tReport.usCollection];
            std::uint32_t ulIn = ReportBytes(tReport.ullInputBits);
            std::uint32_t ulOut = ReportBytes(tReport.ullOutputBits);
            std::uint32_t ulFeature = ReportBytes(tReport.ullFeatureBits);
            tColl.ulInputBytes = ulIn > tColl.ulInputBytes ? ulIn : tColl.ulInputBytes;
            tColl.ulOutputBytes = ulOut > tColl.ulOutputBytes ? ulOut : tColl.ulOutputBytes;
            tColl.ulFeatureBytes = ulFeature > tColl.ulFeatureBytes ? ulFeature : tColl.ulFeatureBytes;
        }
    }

    HidDescriptorInfo* m_ptInfo;
    GlobalState m_tGlobal{};
    LocalState m_tLocal{};
    std::array<GlobalState, kHidMaxGlobalStack> m_aStack{};
    std::size_t m_szStack = 0;
    std::uint32_t m_ulDepth = 0;                     // collection nesting; bounded by the item count
    int m_iCurrent = -1;                             // index of the open top-level collection, -1 outside one
    std::array<std::int32_t, 256> m_aReportIndex{};  // report ID -> entry of tReports in this collection
};
}  // namespace

bool ParseHidReportDescriptor(const std::uint8_t* pucDesc, std::size_t szLen, HidDescriptorInfo* ptInfo) {
    *ptInfo = HidDescriptorInfo{};
    if (pucDesc == nullptr) {
        szLen = 0;
    }
    Parser tParser(ptInfo);
    tParser.Run(pucDesc, szLen);
    return !ptInfo->bMalformed;
}

int HidInputReportCollection(const HidDescriptorInfo& tInfo, std::uint8_t ucReportId) {
    for (const HidReportBits& tReport : tInfo.tReports) {
        if (tReport.ucReportId == ucReportId && tReport.ullInputBits != 0) {
            return tReport.usCollection;
        }
    }
    return -1;
}

std::uint32_t HidMaxInputBytes(const HidDescriptorInfo& tInfo) {
    std::uint32_t ulMax = 0;
    for (const HidTopCollection& tColl : tInfo.tCollections) {
        ulMax = tColl.ulInputBytes > ulMax ? tColl.ulInputBytes : ulMax;
    }
    return ulMax;
}
