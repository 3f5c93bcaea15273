// A HID report descriptor parser that presents what Windows presents for each top-level collection:
// its Usage and UsagePage and its input, output and feature report byte lengths. Windows gives each
// top-level collection the length of its largest report of a kind plus one byte for the report ID, which
// is counted even when the device uses no report IDs; a collection with no report of a kind has 0.
//
// Pure code, no system calls: the Linux HID host uses it on the descriptor of a hidraw node, whose one
// interface can hold several top-level collections. Any byte string is safe to parse: the parser never
// reads past the end, keeps its state bounded, and reports what it could make of a damaged descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// At most this many top-level collections are presented; further ones are passed over.
inline constexpr std::size_t kHidMaxTopCollections = 64;
// Depth of the Push/Pop stack of global items.
inline constexpr std::size_t kHidMaxGlobalStack = 16;

struct HidTopCollection {
    std::uint16_t usUsagePage;
    std::uint16_t usUsage;
    // Report byte lengths as Windows computes them, report ID byte included; 0 when the collection has
    // no report of that kind. Saturate at UINT32_MAX for absurd descriptors.
    std::uint32_t ulInputBytes;
    std::uint32_t ulOutputBytes;
    std::uint32_t ulFeatureBytes;
};

// The bits of one report (one report ID within one top-level collection), per kind.
struct HidReportBits {
    std::uint8_t ucReportId;  // 0 when the device uses no report IDs
    std::uint16_t usCollection;
    std::uint64_t ullInputBits;
    std::uint64_t ullOutputBits;
    std::uint64_t ullFeatureBits;
};

struct HidDescriptorInfo {
    std::vector<HidTopCollection> tCollections;  // in descriptor order
    std::vector<HidReportBits> tReports;         // one entry per (collection, report ID) seen
    bool bUsesReportIds;                         // a Report ID item occurs anywhere
    // Something was wrong (truncated item, unbalanced End Collection, stack over- or underflow, report ID
    // 0, too many collections). What was parsed up to and around the fault is still presented.
    bool bMalformed;
};

// Parses szLen bytes at pucDesc into *ptInfo (which is replaced). Returns true when the descriptor was
// well formed; false when bMalformed is set.
bool ParseHidReportDescriptor(const std::uint8_t* pucDesc, std::size_t szLen, HidDescriptorInfo* ptInfo);

// The top-level collection that an input report with this report ID belongs to (the first one that
// declares input data under the ID), or -1 when none does. Without report IDs pass 0.
int HidInputReportCollection(const HidDescriptorInfo& tInfo, std::uint8_t ucReportId);

// The largest input report byte length of any collection (report ID byte included), 0 when none.
std::uint32_t HidMaxInputBytes(const HidDescriptorInfo& tInfo);
