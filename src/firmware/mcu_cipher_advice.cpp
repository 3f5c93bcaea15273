// The line that tells a tablet owner why the upgrade refused its firmware file and what to do about it.
#include <cstdio>
#include <cstring>
#include <string>

#include "device/device_table.h"
#include "firmware/mcu_cipher_file.h"
#include "platform/os.h"

namespace {

constexpr std::size_t kTextBytes = 1024;

// A path or system message as the lines carry it: marked as a text in the system's encoding.
std::string SystemText(const char* str) {
    std::string strOut(std::strlen(str) + 2, '\0');
    const int iLen = std::snprintf(strOut.data(), strOut.size() + 1, PLATFORM_SYSTEM_TEXT("%s"), str);
    strOut.resize(iLen > 0 ? static_cast<std::size_t>(iLen) : 0);
    return strOut;
}

// What is wrong with the file at strFile, in words, from the failure the check recorded; true when the
// file is not there at all.
bool DescribeFailure(const McuFileFailureRecord& tFailure, const char* strFile, const char* strStartFolder,
                     char* pcOut, std::size_t szCap) {
    char acErrorText[256];
    PlatformErrorText(tFailure.ulError, acErrorText, sizeof(acErrorText));
    const std::string strShownPath = SystemText(strFile);
    const std::string strShownStart = SystemText(strStartFolder);
    const std::string strShownError = SystemText(acErrorText);
    const char* strPath = strShownPath.c_str();
    const char* strStartDir = strShownStart.c_str();
    const char* acSystem = strShownError.c_str();
    const auto ullSize = static_cast<unsigned long long>(tFailure.ullFileSize);
    switch (tFailure.eFailure) {
        case McuFileFailure::kOpen: {
            // What the path leads to tells the refusals of a directory or special file from the rest.
            PlatformFileInfo tInfo;
            const int bKnown = PlatformFileQuery(strFile, &tInfo);
            if (bKnown != 0 && tInfo.eKind == PlatformFileKind::kDirectory) {
                std::snprintf(pcOut, szCap, "The firmware file %s is a folder, not a file", strPath);
            } else if (bKnown != 0 && tInfo.eKind == PlatformFileKind::kOther) {
                std::snprintf(
                    pcOut, szCap,
                    "The firmware file %s is a device, FIFO or other special file, not a regular file",
                    strPath);
            } else if (bKnown != 0 && tInfo.eKind == PlatformFileKind::kMissing &&
                       strStartFolder[0] != '\0') {
                std::snprintf(
                    pcOut, szCap,
                    "Cannot open the firmware file %s: %s, and the current folder %s has none either",
                    strPath, acSystem, strStartDir);
            } else {
                std::snprintf(pcOut, szCap, "Cannot open the firmware file %s: %s", strPath, acSystem);
            }
            return bKnown != 0 && tInfo.eKind == PlatformFileKind::kMissing;
        }
        case McuFileFailure::kRead:
            std::snprintf(pcOut, szCap, "Cannot read the firmware file %s: %s", strPath, acSystem);
            return false;
        case McuFileFailure::kNoMemory:
            std::snprintf(pcOut, szCap, "Not enough memory to check the firmware file %s: %s", strPath,
                          acSystem);
            return false;
        case McuFileFailure::kDamaged:
            if (ullSize == 0) {
                std::snprintf(pcOut, szCap, "The firmware file %s is empty (0 bytes)", strPath);
            } else if (ullSize < kMcuCipherHeaderBytes) {
                std::snprintf(pcOut, szCap,
                              "The firmware file %s is cut short: its %llu bytes do not hold a header",
                              strPath, ullSize);
            } else if (ullSize > kMcuCipherMaxFileBytes) {
                std::snprintf(
                    pcOut, szCap,
                    "The firmware file %s is no firmware file: its %llu bytes are more than one holds "
                    "(%u)",
                    strPath, ullSize, static_cast<unsigned>(kMcuCipherMaxFileBytes));
            } else {
                std::snprintf(
                    pcOut, szCap,
                    "The firmware file %s is damaged or cut short: its size (%llu bytes) does not match "
                    "its header",
                    strPath, ullSize);
            }
            return false;
        case McuFileFailure::kCrcMismatch:
            std::snprintf(pcOut, szCap, "The firmware file %s is damaged: its image does not match its CRC",
                          strPath);
            return false;
        case McuFileFailure::kEmptyImage:
            std::snprintf(pcOut, szCap, "The firmware file %s holds no image: there is nothing to flash",
                          strPath);
            return false;
        default:
            std::snprintf(pcOut, szCap, "The firmware file %s cannot be used", strPath);
            return false;
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
    // A file that is not there is put there; one that is there but unusable is replaced. With a start
    // folder looked at first, the file goes there: the program's own folder belongs to the system.
    const bool bMissing =
        DescribeFailure(tFailure, strPath, ptConfgFile->strStartDir, acWhat, sizeof(acWhat));
    const char* strWhere =
        ptConfgFile->strStartDir[0] != '\0' && bMissing ? "in the current folder" : "there";
    PlatformPrintf("[Tavelo IAP]: %s. Put %s of %s %s under the name %s, then choose 1 again.\r\n", acWhat,
                   bMissing ? "the firmware file" : "a fresh copy of the firmware file", ptDev->strModelName,
                   strWhere, ptDev->strMcuCipherFileName);
}
