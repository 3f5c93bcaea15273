// The scrambled firmware file (McuCipherFile): layout, encoder, decoder, header reader and check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "device/confg_file.h"

inline constexpr std::uint32_t kMcuCipherHeaderBytes = 26;
inline constexpr std::uint32_t kMcuPackageDataBytes = 1024;
inline constexpr std::uint32_t kMcuPackageRecordBytes = 1025;  // data and key byte
inline constexpr std::uint32_t kMcuMaxImageBytes = 262144;
inline constexpr std::uint32_t kMcuMaxPackages = kMcuMaxImageBytes / kMcuPackageDataBytes;
inline constexpr std::uint32_t kMcuCipherReadLimit = 524288;
// The largest McuCipherFile the encoder writes: the header and 256 records.
inline constexpr std::uint32_t kMcuCipherMaxFileBytes =
    kMcuCipherHeaderBytes + kMcuMaxPackages * kMcuPackageRecordBytes;

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
// any failure (the reason is printed). Reads the held bytes when the file is held (HoldMcuCipherFile).
void ReadMcuCipherFileHeader(ConfgFile* ptConfgFile, std::uint32_t* pulOrgMcuLen, std::uint32_t* pulMcuCrc,
                             std::uint32_t* pulLastPackageLen);
void XorWithKey(const std::uint8_t* pucSrc, std::uint8_t* pucDst, std::uint32_t ulLen, std::uint8_t ucKey);
// Checks the McuCipherFile whole: header consistent with the file size, and the CRC-16/X-25 of the
// descrambled image equal to McuCrc. Returns 1 for a sound file; otherwise prints the reason and
// returns 0.
int CheckMcuCipherFile(ConfgFile* ptConfgFile);
// The whole-file check that keeps what it read: for a sound file, 1, and the file's bytes stay in
// ptConfgFile (pucMcuCipherFile, ulMcuCipherFileBytes) until ReleaseMcuCipherFile, so that what is sent
// is exactly what was checked whatever happens to the file meanwhile. Otherwise 0 after the reason, and
// nothing is held. A file held before is released first.
int HoldMcuCipherFile(ConfgFile* ptConfgFile);
void ReleaseMcuCipherFile(ConfgFile* ptConfgFile);

// ---- Outcome-reporting forms of the encoder and decoder ------------------------------------------------
// The same operations as EncodeMcuCipherFile / DecodeMcuCipherFile (which call these), returning 1 when
// the output file was written and put in place, 0 after a failure line. The output file is written under
// a temporary name beside it (its path followed by ".tmp"), flushed, then renamed over the target, so a
// failed run leaves an existing output file as it was.
int EncodeMcuCipherFileEx(ConfgFile* ptConfgFile);
int DecodeMcuCipherFileEx(ConfgFile* ptConfgFile);

// Reads the McuCipherFile and prints its header fields, its size and the outcome of the whole-file check
// (for the firmware engineers' tool). Returns 1 when the file could be read and holds a whole header (the
// fields were shown), else 0 after a failure line. *pbSound (may be null) receives 1 for a sound file.
int PrintMcuCipherFileInfo(ConfgFile* ptConfgFile, int* pbSound);

// ---- The file held in memory ------------------------------------------------------------------------------
// The 26 header bytes, little-endian, into pucOut.
void PackMcuCipherFileHeader(const McuCipherFileHeader* ptHeader, std::uint8_t* pucOut);
// The header of a file of ulLen bytes at pucFile. Returns 0 (nothing read, *ptHeader unchanged) when the
// file is shorter than the header.
int UnpackMcuCipherFileHeader(const std::uint8_t* pucFile, std::uint32_t ulLen,
                              McuCipherFileHeader* ptHeader);
// The whole-file check on a McuCipherFile of ulLen bytes at pucFile; reads nothing at or beyond ulLen.
// An image of 0 bytes is not sound: there is nothing to flash.
// Returns 1 for a sound file; otherwise prints the reason and returns 0.
int CheckMcuCipherFileBytes(const std::uint8_t* pucFile, std::uint32_t ulLen);

// ---- Seams for tests ------------------------------------------------------------------------------------
// The encoder takes the moment of encoding from the calendar clock: the header's local date and time, and
// the seed of the standard generator that draws the key bytes and the filler. With bFixed 1 every later
// encoding uses tNow instead; bFixed 0 returns to the clock.
void McuCipherFileFixTime(int bFixed, std::time_t tNow);
// The allocator of the working buffers (std::malloc when null); buffers are released with std::free.
// Returns the allocator that was in use.
using McuCipherAllocFn = void* (*)(std::size_t);
McuCipherAllocFn McuCipherFileSetAllocator(McuCipherAllocFn pfnAlloc);
