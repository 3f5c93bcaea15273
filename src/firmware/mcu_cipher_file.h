// The scrambled firmware file (McuCipherFile): layout, encoder, decoder, header reader and check.
#pragma once

#include <cstdint>

#include "device/confg_file.h"

inline constexpr std::uint32_t kMcuCipherHeaderBytes = 26;
inline constexpr std::uint32_t kMcuPackageDataBytes = 1024;
inline constexpr std::uint32_t kMcuPackageRecordBytes = 1025;  // data and key byte
inline constexpr std::uint32_t kMcuMaxImageBytes = 262144;
inline constexpr std::uint32_t kMcuMaxPackages = kMcuMaxImageBytes / kMcuPackageDataBytes;
inline constexpr std::uint32_t kMcuCipherReadLimit = 524288;

// The 26-byte header as host values (the file holds it little-endian, packed).
struct McuCipherFileHeader {
    std::uint8_t Algo[2];
    std::uint16_t Year;
    std::uint16_t Month;
    std::uint16_t Day;
    std::uint16_t Hour;
    std::uint16_t Minute;
    std::uint16_t Second;
    std::uint16_t PackageCounter;
    std::uint16_t LastPackageLen;
    std::uint32_t OrgMcuLen;
    std::uint32_t McuCrc;
};

void EncodeMcuCipherFile(ConfgFile* ptConfgFile);
void DecodeMcuCipherFile(ConfgFile* ptConfgFile);
// Stores OrgMcuLen, McuCrc and LastPackageLen through the out-parameters; leaves them as they were on
// any failure (the reason is printed).
void ReadMcuCipherFileHeader(ConfgFile* ptConfgFile, std::uint32_t* pulOrgMcuLen, std::uint32_t* pulMcuCrc,
                             std::uint32_t* pulLastPackageLen);
void XorWithKey(const std::uint8_t* pucSrc, std::uint8_t* pucDst, std::uint32_t ulLen, std::uint8_t ucKey);
// Checks the McuCipherFile whole: header consistent with the file size, and the CRC-16/X-25 of the
// descrambled image equal to McuCrc. Returns 1 for a sound file; otherwise prints the reason and
// returns 0.
int CheckMcuCipherFile(ConfgFile* ptConfgFile);
