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
// After HoldMcuCipherFile refused the file: one line in the program's message language with the path
// looked at, what is wrong with the file in words (the system's reason where it could not be opened or
// read) and what fits the cause: put the file there, a fresh copy, the folder or special file of its name
// moved away, read permission for this user, a folder of a shorter path; a file that is not there but has
// a nearly matching name in the start folder or the program's own is named, with the name it must have.
// Nothing when no path was built. The model is ptConfgFile->iPathModel's.
void PrintMcuCipherFileAdvice(const ConfgFile* ptConfgFile);

// ---- Outcome-reporting forms of the encoder and decoder ------------------------------------------------
// The same operations as EncodeMcuCipherFile / DecodeMcuCipherFile (which call these), returning 1 when
// the output file was written and put in place, 0 after a failure line.
// The output path must name a regular file or nothing: a directory, a device node, a FIFO or another
// special file is refused and left as it is, and so is the operation's own input file (under any name).
// A symbolic link is followed: the file it leads to is replaced and the link stays (a link that leads
// nowhere is refused). The new file is written under a new temporary name in the same directory (the
// path followed by ".tmp", or by ".XXXXXXXX.tmp" when that name is taken; created exclusively, never an
// existing name or a link), flushed, then renamed over the file it replaces; on any failure, and when
// SIGINT or SIGTERM ends the program meanwhile, it is removed, so a failed run leaves an existing output
// file as it was. The new file gets the permission bits of the file it replaces.
int EncodeMcuCipherFileEx(ConfgFile* ptConfgFile);
int DecodeMcuCipherFileEx(ConfgFile* ptConfgFile);

// ---- Why the last operation failed -----------------------------------------------------------------------
// Every failure line of the operations above and below is also recorded, for callers that explain it in
// their own words (the firmware engineers' tool): the file concerned, what went wrong and the system's
// error code of the line. Each operation clears the record when it starts; one per thread.
enum class McuFileRole : std::uint8_t { kNone, kMcuVerFile, kMcuCipherFile, kMcuClearVerFile };
enum class McuFileFailure : std::uint8_t {
    kNone,
    kNoMemory,       // a working buffer could not be had
    kOpen,           // an input file could not be opened, or the output file not created
    kRead,           // reading an input file failed
    kWrite,          // writing, flushing or putting the output file in place failed
    kDirectory,      // the output path names a directory
    kNotRegular,     // the output path names a device node, FIFO, socket or other special file
    kLinkToNothing,  // the output path is a symbolic link that leads to no file
    kSameFile,       // the output path names the operation's input file
    kDamaged,        // the McuCipherFile is shorter than a header, or its header disagrees with its size
    kCrcMismatch,    // the McuCipherFile's descrambled image does not match its McuCrc
    kEmptyImage,     // the plain image, or the image the McuCipherFile describes, has no bytes
    kImageTooLong,   // the plain image is longer than a McuCipherFile can hold
};
struct McuFileFailureRecord {
    McuFileFailure eFailure = McuFileFailure::kNone;
    McuFileRole eFile = McuFileRole::kNone;  // the file meant, also where the line names another
    std::uint32_t ulError = 0;               // the code the line carries (0 for kDamaged, kCrcMismatch)
    std::uint64_t ullFileSize = 0;           // kDamaged: the McuCipherFile's size in bytes
};
const McuFileFailureRecord& McuCipherFileLastFailure();

// Reads the McuCipherFile and prints its header fields, its size (all of it, also beyond what is read)
// and the outcome of the whole-file check (for the firmware engineers' tool). Returns 1 when the file could
// be read and holds a whole header (the fields were shown), else 0 after a failure line. *pbSound (may be
// null) receives 1 for a sound file.
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
