#include "firmware/mcu_cipher_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "drbd/drbd_frame.h"
#include "platform/os.h"

namespace {

// ---- Console lines ----------------------------------------------------------------------------------
// Failure lines carry the system's last error code at the moment of the failure.
constexpr const char* kLineMcuVerAlloc =
    "[Tavelo IAP]: IAP应用流程 |-> Error->McuVerFile动态内存申请失败（%d）\r\n";
constexpr const char* kLineMcuCipherAlloc =
    "[Tavelo IAP]: IAP应用流程 |-> Error->McuCipherFile动态内存申请失败（%d）\r\n";
constexpr const char* kLineMcuClearVerAlloc =
    "[Tavelo IAP]: IAP应用流程 |-> Error->McuClearVerFile动态内存申请失败（%d）\r\n";
// Also the line for a McuClearVerFile that cannot be created.
constexpr const char* kLineMcuVerOpen = "[Tavelo IAP]: IAP应用流程 |-> Error->McuVerFile打开错误（%d）\r\n";
constexpr const char* kLineMcuCipherOpen =
    "[Tavelo IAP]: IAP应用流程 |-> Error->McuCipherFile打开错误（%d）\r\n";
constexpr const char* kLineMcuVerRead = "[Tavelo IAP]: IAP应用流程 |-> Error->McuVerFile读取错误（%d）\r\n";
constexpr const char* kLineMcuCipherRead =
    "[Tavelo IAP]: IAP应用流程 |-> Error->McuCipherFile读取错误（%d）\r\n";
constexpr const char* kLineMcuCipherWrite =
    "[Tavelo IAP]: IAP应用流程 |-> Error->McuCipherFile写入错误（%d）\r\n";
constexpr const char* kLineMcuClearVerWrite =
    "[Tavelo IAP]: IAP应用流程 |-> Error->McuClearVerFile写入错误（%d）\r\n";
// The encoder's refusals of an image it cannot turn into a whole McuCipherFile.
constexpr const char* kLineMcuVerEmpty = "[Tavelo IAP]: IAP应用流程 |-> Error->McuVerFile为空（0字节）\r\n";
constexpr const char* kLineMcuVerTooLong = "[Tavelo IAP]: IAP应用流程 |-> Error->McuVerFile超过%u字节\r\n";

// ---- Failure record ---------------------------------------------------------------------------------
thread_local McuFileFailureRecord tLastFailure;

void ClearFailure() {
    tLastFailure = McuFileFailureRecord{};
}

void RecordFailure(McuFileFailure eFailure, McuFileRole eFile, std::uint32_t ulError,
                   std::uint64_t ullFileSize = 0) {
    tLastFailure.eFailure = eFailure;
    tLastFailure.eFile = eFile;
    tLastFailure.ulError = ulError;
    tLastFailure.ullFileSize = ullFileSize;
}

// Prints a failure line with the system's last error code and records it against eFile.
void PrintFailure(const char* strLine, McuFileFailure eFailure, McuFileRole eFile) {
    std::uint32_t ulErr = PlatformLastError();
    PlatformPrintf(strLine, static_cast<int>(ulErr));
    RecordFailure(eFailure, eFile, ulErr);
}

// ---- Test seams -------------------------------------------------------------------------------------
int bTimeFixed = 0;
std::time_t tFixedTime = 0;
McuCipherAllocFn pfnAllocator = nullptr;

std::uint8_t* AllocBuffer(std::size_t szBytes) {
    void* pv = pfnAllocator != nullptr ? pfnAllocator(szBytes) : std::malloc(szBytes);
    return static_cast<std::uint8_t*>(pv);
}

std::time_t EncodingTime() {
    return bTimeFixed ? tFixedTime : std::time(nullptr);
}

// ---- Little-endian fields ---------------------------------------------------------------------------
void PutLe16(std::uint8_t* puc, std::uint16_t us) {
    puc[0] = static_cast<std::uint8_t>(us & 0xFF);
    puc[1] = static_cast<std::uint8_t>(us >> 8);
}

void PutLe32(std::uint8_t* puc, std::uint32_t ul) {
    for (int k = 0; k < 4; ++k) {
        puc[k] = static_cast<std::uint8_t>((ul >> (8 * k)) & 0xFF);
    }
}

std::uint16_t GetLe16(const std::uint8_t* puc) {
    return static_cast<std::uint16_t>(puc[0] | (static_cast<std::uint16_t>(puc[1]) << 8));
}

std::uint32_t GetLe32(const std::uint8_t* puc) {
    return static_cast<std::uint32_t>(puc[0]) | (static_cast<std::uint32_t>(puc[1]) << 8) |
           (static_cast<std::uint32_t>(puc[2]) << 16) | (static_cast<std::uint32_t>(puc[3]) << 24);
}

// ---- Layout -----------------------------------------------------------------------------------------
std::uint32_t PackagesFor(std::uint32_t ulOrgMcuLen) {
    return (ulOrgMcuLen + kMcuPackageDataBytes - 1) / kMcuPackageDataBytes;
}

// 1 when the header describes an image the encoder can produce and the file holds exactly its records.
// ulRead bytes of a file of ullFileSize bytes are in memory: both must be the whole file.
int LayoutIsSound(const McuCipherFileHeader* ptHeader, std::uint32_t ulRead, std::uint64_t ullFileSize) {
    if (ptHeader->OrgMcuLen > kMcuMaxImageBytes) {
        return 0;
    }
    std::uint32_t ulPackages = PackagesFor(ptHeader->OrgMcuLen);
    std::uint32_t ulFileLen = kMcuCipherHeaderBytes + ulPackages * kMcuPackageRecordBytes;
    return ptHeader->PackageCounter == ulPackages &&
           ptHeader->LastPackageLen == ptHeader->OrgMcuLen % kMcuPackageDataBytes && ulRead == ulFileLen &&
           ullFileSize == ulFileLen;
}

// The damaged-file lines give the file's whole size, also beyond what was read.
void PrintShortFile(std::uint64_t ullFileSize) {
    PlatformPrintf("[Tavelo IAP]: IAP应用流程 |-> Error->McuCipherFile文件损坏 File<%llu>, Header<%u>\r\n",
                   static_cast<unsigned long long>(ullFileSize),
                   static_cast<unsigned>(kMcuCipherHeaderBytes));
    RecordFailure(McuFileFailure::kDamaged, McuFileRole::kMcuCipherFile, 0, ullFileSize);
}

void PrintBadLayout(std::uint64_t ullFileSize, const McuCipherFileHeader* ptHeader) {
    PlatformPrintf(
        "[Tavelo IAP]: IAP应用流程 |-> Error->McuCipherFile文件损坏 File<%llu,%u,%u>, OrgMcuLen<%u>\r\n",
        static_cast<unsigned long long>(ullFileSize), static_cast<unsigned>(ptHeader->PackageCounter),
        static_cast<unsigned>(ptHeader->LastPackageLen), static_cast<unsigned>(ptHeader->OrgMcuLen));
    RecordFailure(McuFileFailure::kDamaged, McuFileRole::kMcuCipherFile, 0, ullFileSize);
}

// Unpacks the header of a file of ullFileSize bytes, ulRead of them at pucFile, and checks it against
// the size; prints why not.
int ReadSoundHeader(const std::uint8_t* pucFile, std::uint32_t ulRead, std::uint64_t ullFileSize,
                    McuCipherFileHeader* ptHeader) {
    if (!UnpackMcuCipherFileHeader(pucFile, ulRead, ptHeader)) {
        PrintShortFile(ullFileSize);
        return 0;
    }
    if (!LayoutIsSound(ptHeader, ulRead, ullFileSize)) {
        PrintBadLayout(ullFileSize, ptHeader);
        return 0;
    }
    return 1;
}

// The plain image of a file whose layout is sound, into pucImage (OrgMcuLen bytes).
void Descramble(const std::uint8_t* pucFile, const McuCipherFileHeader* ptHeader, std::uint8_t* pucImage) {
    for (std::uint32_t i = 0; i < ptHeader->PackageCounter; ++i) {
        std::uint32_t ulLen = kMcuPackageDataBytes;
        if (i + 1 == ptHeader->PackageCounter && ptHeader->LastPackageLen != 0) {
            ulLen = ptHeader->LastPackageLen;
        }
        const std::uint8_t* pucRecord = pucFile + kMcuCipherHeaderBytes + i * kMcuPackageRecordBytes;
        XorWithKey(pucRecord, pucImage + i * kMcuPackageDataBytes, ulLen, pucRecord[kMcuPackageDataBytes]);
    }
}

// The CRC check of a file whose layout is sound; pucImage is a work area of OrgMcuLen bytes.
int ImageCrcMatches(const std::uint8_t* pucFile, const McuCipherFileHeader* ptHeader,
                    std::uint8_t* pucImage) {
    Descramble(pucFile, ptHeader, pucImage);
    std::uint16_t usCrc = DrbdCrc16(pucImage, ptHeader->OrgMcuLen);
    if (ptHeader->McuCrc != usCrc) {
        PlatformPrintf(
            "[Tavelo IAP]: IAP应用流程 |-> Error->McuCipherFile校验错误 McuCrc<0x%08X>, Crc<0x%04X>\r\n",
            static_cast<unsigned>(ptHeader->McuCrc), static_cast<unsigned>(usCrc));
        RecordFailure(McuFileFailure::kCrcMismatch, McuFileRole::kMcuCipherFile, 0);
        return 0;
    }
    return 1;
}

// ---- Files ------------------------------------------------------------------------------------------
// Length of a NUL-terminated path field, or kPathFieldBytes when it holds no terminator.
std::size_t PathLength(const char* strPath) {
    const void* pvEnd = std::memchr(strPath, '\0', kPathFieldBytes);
    return pvEnd == nullptr ? kPathFieldBytes
                            : static_cast<std::size_t>(static_cast<const char*>(pvEnd) - strPath);
}

// Opens the McuCipherFile, reads at most kMcuCipherReadLimit bytes of it in one call into pucBuf and
// closes it; *pullSize receives the whole file's size. Returns 1, or 0 after the open or read line.
int LoadMcuCipherFile(ConfgFile* ptConfgFile, std::uint8_t* pucBuf, std::uint32_t* pulRead,
                      std::uint64_t* pullSize) {
    ptConfgFile->hMcuCipherFile = kInvalidHandle;
    if (PathLength(ptConfgFile->strMcuCipherFilePath) < kPathFieldBytes) {
        ptConfgFile->hMcuCipherFile = PlatformFileOpenRead(ptConfgFile->strMcuCipherFilePath);
    }
    if (ptConfgFile->hMcuCipherFile == kInvalidHandle) {
        PrintFailure(kLineMcuCipherOpen, McuFileFailure::kOpen, McuFileRole::kMcuCipherFile);
        return 0;
    }
    int bRead = PlatformFileRead(ptConfgFile->hMcuCipherFile, pucBuf, kMcuCipherReadLimit, pulRead);
    if (!bRead) {
        PrintFailure(kLineMcuCipherRead, McuFileFailure::kRead, McuFileRole::kMcuCipherFile);
    }
    // A file the system cannot size is taken as long as what was read.
    if (!PlatformFileSize(ptConfgFile->hMcuCipherFile, pullSize) || *pullSize < *pulRead) {
        *pullSize = *pulRead;
    }
    PlatformFileClose(&ptConfgFile->hMcuCipherFile);
    return bRead;
}

// An output file written under a new temporary name beside the file it replaces and renamed over that
// file when complete.
constexpr std::uint32_t kOutputPathBytes = 1024;
struct TempOutput {
    char strFinal[kOutputPathBytes] = {};  // the file replaced: the output path, or where its links lead
    char strTempPath[kOutputPathBytes + 16] = {};
    bool bCreated = false;
};

// Temporary names are tried until one is free: NAME.tmp, then NAME.XXXXXXXX.tmp with varying hex digits.
// Each is created exclusively, so an existing name (a file, a link planted there) is never opened.
constexpr int kTempNameTries = 64;

int CreateUniqueTemp(TempOutput* ptTemp, PlatformHandle* ph) {
    thread_local std::uint32_t ulSerial = 0;
    for (int i = 0; i < kTempNameTries; ++i) {
        if (i == 0) {
            std::snprintf(ptTemp->strTempPath, sizeof(ptTemp->strTempPath), "%s.tmp", ptTemp->strFinal);
        } else {
            ++ulSerial;
            auto ulToken =
                static_cast<std::uint32_t>(PlatformNowMs() * 2654435761u) ^ (ulSerial * 0x9E3779B9u);
            std::snprintf(ptTemp->strTempPath, sizeof(ptTemp->strTempPath), "%s.%08X.tmp", ptTemp->strFinal,
                          static_cast<unsigned>(ulToken));
        }
        *ph = PlatformFileCreateTemp(ptTemp->strTempPath);
        if (*ph != kInvalidHandle) {
            ptTemp->bCreated = true;
            return 1;
        }
        if (PlatformLastError() != PlatformFileExistsError()) {
            return 0;
        }
    }
    return 0;
}

// Why a path of kind eKind cannot be written over, with the system's error set; kNone when it names a
// regular file or nothing.
McuFileFailure RefuseKind(PlatformFileKind eKind) {
    if (eKind == PlatformFileKind::kDirectory) {
        PlatformSetLastError(PlatformFileRefusalError(PlatformFileRefusal::kDirectory));
        return McuFileFailure::kDirectory;
    }
    if (eKind == PlatformFileKind::kOther) {
        PlatformSetLastError(PlatformFileRefusalError(PlatformFileRefusal::kNotRegular));
        return McuFileFailure::kNotRegular;
    }
    return McuFileFailure::kNone;
}

// Prepares the output file strTarget: looks at what the path names without opening it, follows its
// links, refuses a special file and the operation's input strInput, then creates the temporary file into
// *ph. kNone, or why not with the system's error left set.
McuFileFailure OpenTempOutput(const char* strTarget, const char* strInput, TempOutput* ptTemp,
                              PlatformHandle* ph) {
    *ph = kInvalidHandle;
    std::size_t szLen = PathLength(strTarget);
    if (szLen == 0 || szLen >= kPathFieldBytes) {
        // No usable path: the system's own refusal of an empty path gives the error code of the line.
        PlatformHandle hNone = PlatformFileCreateNew("");
        PlatformFileClose(&hNone);
        return McuFileFailure::kOpen;
    }
    PlatformFileInfo tTarget;
    if (!PlatformFileQuery(strTarget, &tTarget)) {
        return McuFileFailure::kOpen;
    }
    McuFileFailure eRefused = RefuseKind(tTarget.eKind);
    if (eRefused != McuFileFailure::kNone) {
        return eRefused;
    }
    if (!tTarget.bLink) {
        std::memcpy(ptTemp->strFinal, strTarget, szLen + 1);
    } else if (!PlatformFileResolve(strTarget, ptTemp->strFinal, sizeof(ptTemp->strFinal))) {
        return tTarget.eKind == PlatformFileKind::kMissing ? McuFileFailure::kLinkToNothing
                                                           : McuFileFailure::kOpen;
    }
    PlatformFileInfo tInput;
    if (tTarget.eKind == PlatformFileKind::kRegular && PlatformFileQuery(strInput, &tInput) &&
        tInput.eKind == PlatformFileKind::kRegular && tInput.ullVolume == tTarget.ullVolume &&
        tInput.ullIndex == tTarget.ullIndex) {
        PlatformSetLastError(PlatformFileRefusalError(PlatformFileRefusal::kInUse));
        return McuFileFailure::kSameFile;
    }
    if (!CreateUniqueTemp(ptTemp, ph)) {
        return McuFileFailure::kOpen;
    }
    // The file replaced keeps its permission bits.
    if (tTarget.eKind == PlatformFileKind::kRegular) {
        PlatformFileCopyMode(*ph, ptTemp->strFinal);
    }
    return McuFileFailure::kNone;
}

// Writes ulLen bytes to the temporary file, flushes and closes it, then puts it in place of the file it
// replaces. Returns 1, or 0 after strWriteLine (the temporary file is then removed by DiscardTempOutput).
int CommitTempOutput(TempOutput* ptTemp, PlatformHandle* ph, const std::uint8_t* puc, std::uint32_t ulLen,
                     const char* strWriteLine, McuFileRole eFile) {
    std::uint32_t ulWritten = 0;
    if (!PlatformFileWrite(*ph, puc, ulLen, &ulWritten) || ulWritten != ulLen || !PlatformFileFlush(*ph)) {
        PrintFailure(strWriteLine, McuFileFailure::kWrite, eFile);
        return 0;
    }
    // Kept from here on (an interruption still removes it by name until it is in place).
    if (!PlatformFileTempKeep(*ph)) {
        PrintFailure(strWriteLine, McuFileFailure::kWrite, eFile);
        return 0;
    }
    PlatformFileClose(ph);
    if (!PlatformFileReplace(ptTemp->strTempPath, ptTemp->strFinal)) {
        PrintFailure(strWriteLine, McuFileFailure::kWrite, eFile);
        return 0;
    }
    ptTemp->bCreated = false;
    PlatformFileTempDone();
    return 1;
}

// Closes the temporary file if still open and removes it unless it was put in place.
void DiscardTempOutput(TempOutput* ptTemp, PlatformHandle* ph) {
    PlatformFileClose(ph);
    if (ptTemp->bCreated) {
        PlatformFileRemove(ptTemp->strTempPath);
        ptTemp->bCreated = false;
        PlatformFileTempDone();
    }
}

// ---- Encoder ----------------------------------------------------------------------------------------
// Reads the open McuVerFile and writes the McuCipherFile through the open temporary output.
int EncodeOpenFiles(ConfgFile* ptConfgFile, TempOutput* ptTemp, std::uint8_t* pucPlain,
                    std::uint8_t* pucOut) {
    std::uint32_t ulRealReadBytesCnt = 0;
    if (!PlatformFileRead(ptConfgFile->hMcuVerFile, pucPlain, kMcuMaxImageBytes, &ulRealReadBytesCnt)) {
        PrintFailure(kLineMcuVerRead, McuFileFailure::kRead, McuFileRole::kMcuVerFile);
        return 0;
    }
    // One byte more tells an image that does not fit from one that fills the limit exactly: a longer
    // image is refused, never cut into another image.
    std::uint8_t ucBeyond = 0;
    std::uint32_t ulBeyond = 0;
    if (ulRealReadBytesCnt == kMcuMaxImageBytes) {
        if (!PlatformFileRead(ptConfgFile->hMcuVerFile, &ucBeyond, 1, &ulBeyond)) {
            PrintFailure(kLineMcuVerRead, McuFileFailure::kRead, McuFileRole::kMcuVerFile);
            return 0;
        }
        if (ulBeyond != 0) {
            PlatformPrintf(kLineMcuVerTooLong, static_cast<unsigned>(kMcuMaxImageBytes));
            RecordFailure(McuFileFailure::kImageTooLong, McuFileRole::kMcuVerFile, 0);
            return 0;
        }
    }
    PlatformFileClose(&ptConfgFile->hMcuVerFile);
    if (ulRealReadBytesCnt == 0) {
        PlatformPrintf("%s", kLineMcuVerEmpty);
        RecordFailure(McuFileFailure::kEmptyImage, McuFileRole::kMcuVerFile, 0);
        return 0;
    }

    McuCipherFileHeader tHeader = {};
    tHeader.OrgMcuLen = ulRealReadBytesCnt;
    tHeader.PackageCounter = static_cast<std::uint16_t>(ulRealReadBytesCnt / kMcuPackageDataBytes);
    tHeader.LastPackageLen = static_cast<std::uint16_t>(ulRealReadBytesCnt % kMcuPackageDataBytes);
    if (tHeader.LastPackageLen != 0) {
        ++tHeader.PackageCounter;
    }
    PlatformPrintf("[Tavelo IAP]: OrgMcuLen:%u, PackageCounter:%u, LastPackageLen:%u\r\n",
                   static_cast<unsigned>(tHeader.OrgMcuLen), static_cast<unsigned>(tHeader.PackageCounter),
                   static_cast<unsigned>(tHeader.LastPackageLen));

    std::time_t tNow = EncodingTime();
    tHeader.Algo[0] = 0;
    tHeader.Algo[1] = 1;
    if (const std::tm* ptLocal = std::localtime(&tNow)) {
        tHeader.Year = static_cast<std::uint16_t>(ptLocal->tm_year + 1900);
        tHeader.Month = static_cast<std::uint16_t>(ptLocal->tm_mon + 1);
        tHeader.Day = static_cast<std::uint16_t>(ptLocal->tm_mday);
        tHeader.Hour = static_cast<std::uint16_t>(ptLocal->tm_hour);
        tHeader.Minute = static_cast<std::uint16_t>(ptLocal->tm_min);
        tHeader.Second = static_cast<std::uint16_t>(ptLocal->tm_sec);
    }
    // The CRC covers the image as read, before any filler.
    tHeader.McuCrc = DrbdCrc16(pucPlain, ulRealReadBytesCnt);
    PackMcuCipherFileHeader(&tHeader, pucOut);

    std::srand(static_cast<unsigned>(tNow));
    for (std::uint32_t i = 0; i < tHeader.PackageCounter; ++i) {
        auto ucKey = static_cast<std::uint8_t>(std::rand() & 0xFF);
        std::uint8_t* pucData = pucPlain + i * kMcuPackageDataBytes;
        if (i + 1 == tHeader.PackageCounter && tHeader.LastPackageLen != 0) {
            // Filler is drawn after the key, in ascending positions.
            for (std::uint32_t j = tHeader.LastPackageLen; j < kMcuPackageDataBytes; ++j) {
                pucData[j] = static_cast<std::uint8_t>(std::rand() & 0xFF);
            }
        }
        std::uint8_t* pucRecord = pucOut + kMcuCipherHeaderBytes + i * kMcuPackageRecordBytes;
        XorWithKey(pucData, pucRecord, kMcuPackageDataBytes, ucKey);
        pucRecord[kMcuPackageDataBytes] = ucKey;
    }
    std::uint32_t ulFileLen = kMcuCipherHeaderBytes + tHeader.PackageCounter * kMcuPackageRecordBytes;
    return CommitTempOutput(ptTemp, &ptConfgFile->hMcuCipherFile, pucOut, ulFileLen, kLineMcuCipherWrite,
                            McuFileRole::kMcuCipherFile);
}

// ---- Decoder ----------------------------------------------------------------------------------------
int DecodeLoaded(ConfgFile* ptConfgFile, const std::uint8_t* pucFile, std::uint32_t ulRealReadBytesCnt,
                 std::uint64_t ullFileSize, std::uint8_t* pucImage) {
    McuCipherFileHeader tHeader = {};
    if (!UnpackMcuCipherFileHeader(pucFile, ulRealReadBytesCnt, &tHeader)) {
        PrintShortFile(ullFileSize);
        return 0;
    }
    PlatformPrintf("[Tavelo IAP]: File<%u,%u,%u>, Algo<%u,%u>, Time<%u.%u.%u %u:%u:%u>\r\n",
                   static_cast<unsigned>(ulRealReadBytesCnt), static_cast<unsigned>(tHeader.PackageCounter),
                   static_cast<unsigned>(tHeader.LastPackageLen), static_cast<unsigned>(tHeader.Algo[0]),
                   static_cast<unsigned>(tHeader.Algo[1]), static_cast<unsigned>(tHeader.Year),
                   static_cast<unsigned>(tHeader.Month), static_cast<unsigned>(tHeader.Day),
                   static_cast<unsigned>(tHeader.Hour), static_cast<unsigned>(tHeader.Minute),
                   static_cast<unsigned>(tHeader.Second));
    if (!LayoutIsSound(&tHeader, ulRealReadBytesCnt, ullFileSize)) {
        PrintBadLayout(ullFileSize, &tHeader);
        return 0;
    }
    Descramble(pucFile, &tHeader, pucImage);

    // A McuClearVerFile that cannot be created gets the McuVerFile's open line; the record names it.
    TempOutput tTemp;
    McuFileFailure eOpen =
        OpenTempOutput(ptConfgFile->strMcuClearVerFilePath, ptConfgFile->strMcuCipherFilePath, &tTemp,
                       &ptConfgFile->hMcuClearVerFile);
    if (eOpen != McuFileFailure::kNone) {
        PrintFailure(kLineMcuVerOpen, eOpen, McuFileRole::kMcuClearVerFile);
        return 0;
    }
    int bOk = CommitTempOutput(&tTemp, &ptConfgFile->hMcuClearVerFile, pucImage, tHeader.OrgMcuLen,
                               kLineMcuClearVerWrite, McuFileRole::kMcuClearVerFile);
    DiscardTempOutput(&tTemp, &ptConfgFile->hMcuClearVerFile);
    return bOk;
}

// The whole-file check on ulRead bytes at pucFile of a file of ullFileSize bytes.
int CheckLoaded(const std::uint8_t* pucFile, std::uint32_t ulRead, std::uint64_t ullFileSize) {
    McuCipherFileHeader tHeader = {};
    if (!ReadSoundHeader(pucFile, ulRead, ullFileSize, &tHeader)) {
        return 0;
    }
    // A file without image bytes describes itself correctly but has nothing to flash.
    if (tHeader.OrgMcuLen == 0) {
        PrintBadLayout(ullFileSize, &tHeader);
        RecordFailure(McuFileFailure::kEmptyImage, McuFileRole::kMcuCipherFile, 0, ullFileSize);
        return 0;
    }
    std::uint8_t* pucImage = AllocBuffer(kMcuMaxImageBytes);
    if (pucImage == nullptr) {
        PrintFailure(kLineMcuCipherAlloc, McuFileFailure::kNoMemory, McuFileRole::kMcuCipherFile);
        return 0;
    }
    int bSound = ImageCrcMatches(pucFile, &tHeader, pucImage);
    std::free(pucImage);
    return bSound;
}

}  // namespace

const McuFileFailureRecord& McuCipherFileLastFailure() {
    return tLastFailure;
}

void XorWithKey(const std::uint8_t* pucSrc, std::uint8_t* pucDst, std::uint32_t ulLen, std::uint8_t ucKey) {
    for (std::uint32_t k = 0; k < ulLen; ++k) {
        pucDst[k] = static_cast<std::uint8_t>(pucSrc[k] ^ ucKey);
    }
}

void PackMcuCipherFileHeader(const McuCipherFileHeader* ptHeader, std::uint8_t* pucOut) {
    pucOut[0] = ptHeader->Algo[0];
    pucOut[1] = ptHeader->Algo[1];
    PutLe16(pucOut + 2, ptHeader->Year);
    PutLe16(pucOut + 4, ptHeader->Month);
    PutLe16(pucOut + 6, ptHeader->Day);
    PutLe16(pucOut + 8, ptHeader->Hour);
    PutLe16(pucOut + 10, ptHeader->Minute);
    PutLe16(pucOut + 12, ptHeader->Second);
    PutLe16(pucOut + 14, ptHeader->PackageCounter);
    PutLe16(pucOut + 16, ptHeader->LastPackageLen);
    PutLe32(pucOut + 18, ptHeader->OrgMcuLen);
    PutLe32(pucOut + 22, ptHeader->McuCrc);
}

int UnpackMcuCipherFileHeader(const std::uint8_t* pucFile, std::uint32_t ulLen,
                              McuCipherFileHeader* ptHeader) {
    if (ulLen < kMcuCipherHeaderBytes) {
        return 0;
    }
    ptHeader->Algo[0] = pucFile[0];
    ptHeader->Algo[1] = pucFile[1];
    ptHeader->Year = GetLe16(pucFile + 2);
    ptHeader->Month = GetLe16(pucFile + 4);
    ptHeader->Day = GetLe16(pucFile + 6);
    ptHeader->Hour = GetLe16(pucFile + 8);
    ptHeader->Minute = GetLe16(pucFile + 10);
    ptHeader->Second = GetLe16(pucFile + 12);
    ptHeader->PackageCounter = GetLe16(pucFile + 14);
    ptHeader->LastPackageLen = GetLe16(pucFile + 16);
    ptHeader->OrgMcuLen = GetLe32(pucFile + 18);
    ptHeader->McuCrc = GetLe32(pucFile + 22);
    return 1;
}

int CheckMcuCipherFileBytes(const std::uint8_t* pucFile, std::uint32_t ulLen) {
    ClearFailure();
    return CheckLoaded(pucFile, ulLen, ulLen);
}

int EncodeMcuCipherFileEx(ConfgFile* ptConfgFile) {
    ClearFailure();
    int bOk = 0;
    TempOutput tTemp;
    McuFileFailure eOpen = McuFileFailure::kNone;
    ptConfgFile->hMcuVerFile = kInvalidHandle;
    ptConfgFile->hMcuCipherFile = kInvalidHandle;
    std::uint8_t* pucPlain = AllocBuffer(kMcuMaxImageBytes);
    std::uint8_t* pucOut = pucPlain != nullptr ? AllocBuffer(kMcuCipherMaxFileBytes) : nullptr;
    if (pucPlain == nullptr) {
        PrintFailure(kLineMcuVerAlloc, McuFileFailure::kNoMemory, McuFileRole::kMcuVerFile);
    } else if (pucOut == nullptr) {
        PrintFailure(kLineMcuCipherAlloc, McuFileFailure::kNoMemory, McuFileRole::kMcuCipherFile);
    } else {
        if (PathLength(ptConfgFile->strMcuVerFilePath) < kPathFieldBytes) {
            ptConfgFile->hMcuVerFile = PlatformFileOpenRead(ptConfgFile->strMcuVerFilePath);
        }
        if (ptConfgFile->hMcuVerFile == kInvalidHandle) {
            // The McuCipherFile is not touched.
            PrintFailure(kLineMcuVerOpen, McuFileFailure::kOpen, McuFileRole::kMcuVerFile);
        } else if ((eOpen = OpenTempOutput(ptConfgFile->strMcuCipherFilePath, ptConfgFile->strMcuVerFilePath,
                                           &tTemp, &ptConfgFile->hMcuCipherFile)) != McuFileFailure::kNone) {
            PrintFailure(kLineMcuCipherOpen, eOpen, McuFileRole::kMcuCipherFile);
        } else {
            bOk = EncodeOpenFiles(ptConfgFile, &tTemp, pucPlain, pucOut);
        }
    }
    std::free(pucPlain);
    std::free(pucOut);
    PlatformFileClose(&ptConfgFile->hMcuVerFile);
    DiscardTempOutput(&tTemp, &ptConfgFile->hMcuCipherFile);
    return bOk;
}

void EncodeMcuCipherFile(ConfgFile* ptConfgFile) {
    EncodeMcuCipherFileEx(ptConfgFile);
}

int DecodeMcuCipherFileEx(ConfgFile* ptConfgFile) {
    ClearFailure();
    int bOk = 0;
    ptConfgFile->hMcuCipherFile = kInvalidHandle;
    ptConfgFile->hMcuClearVerFile = kInvalidHandle;
    std::uint8_t* pucImage = AllocBuffer(kMcuMaxImageBytes);
    std::uint8_t* pucFile = pucImage != nullptr ? AllocBuffer(kMcuCipherReadLimit) : nullptr;
    std::uint32_t ulRealReadBytesCnt = 0;
    std::uint64_t ullFileSize = 0;
    if (pucImage == nullptr) {
        PrintFailure(kLineMcuClearVerAlloc, McuFileFailure::kNoMemory, McuFileRole::kMcuClearVerFile);
    } else if (pucFile == nullptr) {
        PrintFailure(kLineMcuCipherAlloc, McuFileFailure::kNoMemory, McuFileRole::kMcuCipherFile);
    } else if (LoadMcuCipherFile(ptConfgFile, pucFile, &ulRealReadBytesCnt, &ullFileSize)) {
        // The McuClearVerFile is only created once the McuCipherFile has been read and found whole.
        bOk = DecodeLoaded(ptConfgFile, pucFile, ulRealReadBytesCnt, ullFileSize, pucImage);
    }
    std::free(pucImage);
    std::free(pucFile);
    PlatformFileClose(&ptConfgFile->hMcuCipherFile);
    PlatformFileClose(&ptConfgFile->hMcuClearVerFile);
    return bOk;
}

void DecodeMcuCipherFile(ConfgFile* ptConfgFile) {
    DecodeMcuCipherFileEx(ptConfgFile);
}

void ReadMcuCipherFileHeader(ConfgFile* ptConfgFile, std::uint32_t* pulOrgMcuLen, std::uint32_t* pulMcuCrc,
                             std::uint32_t* pulLastPackageLen) {
    ClearFailure();
    // The checked copy an upgrade holds, or else the file as it is now.
    const std::uint8_t* pucBytes = ptConfgFile->pucMcuCipherFile;
    std::uint32_t ulBytes = ptConfgFile->ulMcuCipherFileBytes;
    std::uint64_t ullFileSize = ulBytes;
    std::uint8_t* pucFile = nullptr;
    if (pucBytes == nullptr) {
        pucFile = AllocBuffer(kMcuCipherReadLimit);
        if (pucFile == nullptr) {
            PrintFailure(kLineMcuCipherAlloc, McuFileFailure::kNoMemory, McuFileRole::kMcuCipherFile);
            return;
        }
        if (!LoadMcuCipherFile(ptConfgFile, pucFile, &ulBytes, &ullFileSize)) {
            std::free(pucFile);
            return;
        }
        pucBytes = pucFile;
    }
    McuCipherFileHeader tHeader = {};
    if (ReadSoundHeader(pucBytes, ulBytes, ullFileSize, &tHeader)) {
        *pulOrgMcuLen = tHeader.OrgMcuLen;
        *pulMcuCrc = tHeader.McuCrc;
        *pulLastPackageLen = tHeader.LastPackageLen;
    }
    std::free(pucFile);
}

namespace {
// Reads the McuCipherFile once and checks it whole. Returns the buffer holding it (*pulLen bytes; the
// caller frees it), or null after the reason.
std::uint8_t* LoadSoundMcuCipherFile(ConfgFile* ptConfgFile, std::uint32_t* pulLen) {
    std::uint8_t* pucFile = AllocBuffer(kMcuCipherReadLimit);
    std::uint64_t ullFileSize = 0;
    int bSound = 0;
    if (pucFile == nullptr) {
        PrintFailure(kLineMcuCipherAlloc, McuFileFailure::kNoMemory, McuFileRole::kMcuCipherFile);
    } else if (LoadMcuCipherFile(ptConfgFile, pucFile, pulLen, &ullFileSize)) {
        bSound = CheckLoaded(pucFile, *pulLen, ullFileSize);
    }
    if (!bSound) {
        std::free(pucFile);
        return nullptr;
    }
    return pucFile;
}
}  // namespace

int HoldMcuCipherFile(ConfgFile* ptConfgFile) {
    ClearFailure();
    ReleaseMcuCipherFile(ptConfgFile);
    std::uint32_t ulLen = 0;
    ptConfgFile->pucMcuCipherFile = LoadSoundMcuCipherFile(ptConfgFile, &ulLen);
    ptConfgFile->ulMcuCipherFileBytes = ptConfgFile->pucMcuCipherFile != nullptr ? ulLen : 0;
    return ptConfgFile->pucMcuCipherFile != nullptr ? 1 : 0;
}

void ReleaseMcuCipherFile(ConfgFile* ptConfgFile) {
    std::free(ptConfgFile->pucMcuCipherFile);
    ptConfgFile->pucMcuCipherFile = nullptr;
    ptConfgFile->ulMcuCipherFileBytes = 0;
}

int CheckMcuCipherFile(ConfgFile* ptConfgFile) {
    ClearFailure();
    std::uint32_t ulLen = 0;
    std::uint8_t* pucFile = LoadSoundMcuCipherFile(ptConfgFile, &ulLen);
    const int bSound = pucFile != nullptr ? 1 : 0;
    std::free(pucFile);
    return bSound;
}

int PrintMcuCipherFileInfo(ConfgFile* ptConfgFile, int* pbSound) {
    ClearFailure();
    if (pbSound != nullptr) {
        *pbSound = 0;
    }
    std::uint8_t* pucFile = AllocBuffer(kMcuCipherReadLimit);
    std::uint32_t ulRealReadBytesCnt = 0;
    std::uint64_t ullFileSize = 0;
    McuCipherFileHeader tHeader = {};
    int bShown = 0;
    if (pucFile == nullptr) {
        PrintFailure(kLineMcuCipherAlloc, McuFileFailure::kNoMemory, McuFileRole::kMcuCipherFile);
    } else if (LoadMcuCipherFile(ptConfgFile, pucFile, &ulRealReadBytesCnt, &ullFileSize)) {
        if (!UnpackMcuCipherFileHeader(pucFile, ulRealReadBytesCnt, &tHeader)) {
            PrintShortFile(ullFileSize);
        } else {
            bShown = 1;
            PlatformPrintf("McuCipherFile:  " PLATFORM_SYSTEM_TEXT("%s") "\r\n",
                           ptConfgFile->strMcuCipherFilePath);
            PlatformPrintf("File size:      %llu bytes\r\n", static_cast<unsigned long long>(ullFileSize));
            PlatformPrintf("Algo:           %u,%u\r\n", static_cast<unsigned>(tHeader.Algo[0]),
                           static_cast<unsigned>(tHeader.Algo[1]));
            PlatformPrintf("Encoded:        %04u-%02u-%02u %02u:%02u:%02u\r\n",
                           static_cast<unsigned>(tHeader.Year), static_cast<unsigned>(tHeader.Month),
                           static_cast<unsigned>(tHeader.Day), static_cast<unsigned>(tHeader.Hour),
                           static_cast<unsigned>(tHeader.Minute), static_cast<unsigned>(tHeader.Second));
            PlatformPrintf("PackageCounter: %u\r\n", static_cast<unsigned>(tHeader.PackageCounter));
            PlatformPrintf("LastPackageLen: %u\r\n", static_cast<unsigned>(tHeader.LastPackageLen));
            PlatformPrintf("OrgMcuLen:      %u\r\n", static_cast<unsigned>(tHeader.OrgMcuLen));
            PlatformPrintf("McuCrc:         0x%08X\r\n", static_cast<unsigned>(tHeader.McuCrc));
            int bSound = CheckLoaded(pucFile, ulRealReadBytesCnt, ullFileSize);
            PlatformPrintf("Check:          %s\r\n", bSound ? "sound" : "FAILED");
            if (pbSound != nullptr) {
                *pbSound = bSound;
            }
        }
    }
    std::free(pucFile);
    PlatformFileClose(&ptConfgFile->hMcuCipherFile);
    return bShown;
}

void McuCipherFileFixTime(int bFixed, std::time_t tNow) {
    bTimeFixed = bFixed;
    tFixedTime = tNow;
}

McuCipherAllocFn McuCipherFileSetAllocator(McuCipherAllocFn pfnAlloc) {
    McuCipherAllocFn pfnOld = pfnAllocator;
    pfnAllocator = pfnAlloc;
    return pfnOld;
}
