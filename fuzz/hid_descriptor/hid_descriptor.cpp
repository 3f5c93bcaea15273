// The report descriptor parser on any bytes a device might present: it must never read past them, and
// what it presents must be consistent (every report belongs to a presented collection, every length
// comes from some report).
#include <cstdint>
#include <vector>

#include "platform/hid_report_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pucData, std::size_t szLen) {
    std::vector<std::uint8_t> desc(pucData, pucData + szLen);  // exact size: overreads are caught
    HidDescriptorInfo tInfo;
    const bool bOk = ParseHidReportDescriptor(desc.data(), desc.size(), &tInfo);
    if (bOk == tInfo.bMalformed || tInfo.tCollections.size() > kHidMaxTopCollections) {
        __builtin_trap();
    }
    for (const HidReportBits& tReport : tInfo.tReports) {
        if (tReport.usCollection >= tInfo.tCollections.size()) {
            __builtin_trap();
        }
        if (tReport.ullInputBits != 0 && HidInputReportCollection(tInfo, tReport.ucReportId) < 0) {
            __builtin_trap();
        }
    }
    std::uint32_t ulMax = HidMaxInputBytes(tInfo);
    for (const HidTopCollection& tColl : tInfo.tCollections) {
        if (tColl.ulInputBytes > ulMax || tColl.ulInputBytes == 1 || tColl.ulOutputBytes == 1 ||
            tColl.ulFeatureBytes == 1) {
            __builtin_trap();  // a report has at least one byte behind its ID
        }
    }
    return 0;
}
