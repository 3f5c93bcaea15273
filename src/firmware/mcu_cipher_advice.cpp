// The line that tells a tablet owner why the upgrade refused its firmware file and what to do about it.
#include <cstdarg>
#include <cstdio>

#include "device/device_table.h"
#include "firmware/mcu_cipher_file.h"
#include "platform/os.h"

namespace {

constexpr std::size_t kTextBytes = 1024;

// snprintf into pcOut; a text too long for the line is cut.
void Put(char* pcOut, std::size_t szCap, const char* strFormat, ...) TAVELO_PRINTF_FORMAT(3, 4);
void Put(char* pcOut, std::size_t szCap, const char* strFormat, ...) {
    va_list ap;
    va_start(ap, strFormat);
    std::vsnprintf(pcOut, szCap, strFormat, ap);
    va_end(ap);
}

// What is wrong with the file at strPath, in words, from the failure the check recorded.
void DescribeFailure(const McuFileFailureRecord& tFailure, const char* strPath, const char* strStartDir,
                     char* pcOut, std::size_t szCap) {
    char acSystem[256];
    PlatformErrorText(tFailure.ulError, acSystem, sizeof(acSystem));
    const auto ullSize = static_cast<unsigned long long>(tFailure.ullFileSize);
    switch (tFailure.eFailure) {
        case McuFileFailure::kOpen: {
            // What the path leads to tells the refusals of a directory or special file from the rest.
            PlatformFileInfo tInfo;
            const int bKnown = PlatformFileQuery(strPath, &tInfo);
            if (bKnown != 0 && tInfo.eKind == PlatformFileKind::kDirectory) {
                Put(pcOut, szCap, "The firmware file %s is a folder, not a file", strPath);
            } else if (bKnown != 0 && tInfo.eKind == PlatformFileKind::kOther) {
                Put(pcOut, szCap,
                    "The firmware file %s is a device, FIFO or other special file, not a regular file",
                    strPath);
            } else if (bKnown != 0 && tInfo.eKind == PlatformFileKind::kMissing && strStartDir[0] != '\0') {
                Put(pcOut, szCap,
                    "Cannot open the firmware file %s: %s, and the current folder %s has none either",
                    strPath, acSystem, strStartDir);
            } else {
                Put(pcOut, szCap, "Cannot open the firmware file %s: %s", strPath, acSystem);
            }
            return;
        }
        case McuFileFailure::kRead:
            Put(pcOut, szCap, "Cannot read the firmware file %s: %s", strPath, acSystem);
            return;
        case McuFileFailure::kNoMemory:
            Put(pcOut, szCap, "Not enough memory to check the firmware file %s: %s", strPath, acSystem);
            return;
        case McuFileFailure::kDamaged:
            if (ullSize == 0) {
                Put(pcOut, szCap, "The firmware file %s is empty (0 bytes)", strPath);
            } else if (ullSize < kMcuCipherHeaderBytes) {
                Put(pcOut, szCap, "The firmware file %s is cut short: its %llu bytes do not hold a header",
                    strPath, ullSize);
            } else if (ullSize > kMcuCipherMaxFileBytes) {
                Put(pcOut, szCap,
                    "The firmware file %s is no firmware file: its %llu bytes are more than one holds "
                    "(%u)",
                    strPath, ullSize, static_cast<unsigned>(kMcuCipherMaxFileBytes));
            } else {
                Put(pcOut, szCap,
                    "The firmware file %s is damaged or cut short: its size (%llu bytes) does not match "
                    "its header",
                    strPath, ullSize);
            }
            return;
        case McuFileFailure::kCrcMismatch:
            Put(pcOut, szCap, "The firmware file %s is damaged: its image does not match its CRC", strPath);
            return;
        case McuFileFailure::kEmptyImage:
            Put(pcOut, szCap, "The firmware file %s holds no image: there is nothing to flash", strPath);
            return;
        default:
            Put(pcOut, szCap, "The firmware file %s cannot be used", strPath);
            return;
    }
}

}  // namespace

void PrintMcuCipherFileAdvice(const ConfgFile* ptConfgFile) {
    const McuFileFailureRecord& tFailure = McuCipherFileLastFailure();
    const char* strPath = ptConfgFile->strMcuCipherFilePath;
    const DeviceEntry* ptDev = nullptr;
    if (ptConfgFile->iPathModel != kNoDeviceModel) {
        GetDeviceEntry(&ptDev, ptConfgFile->iPathModel);
    }
    if (strPath[0] == '\0' || ptDev == nullptr) {
        return;  // no path was built: the line about the program's directory said why
    }
    char acWhat[kTextBytes];
    DescribeFailure(tFailure, strPath, ptConfgFile->strStartDir, acWhat, sizeof(acWhat));
    // A file that is not there is put there; one that is there but unusable is replaced. With a start
    // folder looked at first, the file goes there: the program's own folder belongs to the system.
    PlatformFileInfo tInfo;
    const bool bMissing = tFailure.eFailure == McuFileFailure::kOpen &&
                          PlatformFileQuery(strPath, &tInfo) != 0 &&
                          tInfo.eKind == PlatformFileKind::kMissing;
    const char* strWhere =
        ptConfgFile->strStartDir[0] != '\0' && bMissing ? "in the current folder" : "there";
    PlatformPrintf("[Tavelo IAP]: %s. Put %s of %s %s under the name %s, then choose 1 again.\r\n", acWhat,
                   bMissing ? "the firmware file" : "a fresh copy of the firmware file", ptDev->strModelName,
                   strWhere, ptDev->strMcuCipherFileName);
}
