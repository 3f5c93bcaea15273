#include <cstdio>
#include <cstring>
#include <cwchar>

#include "device/confg_file.h"
#include "device/device_table.h"

namespace {
// The path of model iIndex's file of kind eKind; see BuildFirmwarePath.
void BuildModelFirmwarePath(int iIndex, int eKind, const char* strDir, char* strDest) {
    if (iIndex == kNoDeviceModel) {
        return;
    }
    const DeviceEntry* ptDev = nullptr;
    GetDeviceEntry(&ptDev, iIndex);
    if (ptDev == nullptr) {
        return;
    }
    const char* strName = nullptr;
    switch (eKind) {
        case E_FirmwareFile_McuVer:
            strName = ptDev->strMcuVerFileName;
            break;
        case E_FirmwareFile_Checksum:
            strName = ptDev->strChecksumFileName;
            break;
        case E_FirmwareFile_McuCipher:
            strName = ptDev->strMcuCipherFileName;
            break;
        case E_FirmwareFile_McuClearVer:
            strName = ptDev->strMcuClearVerFileName;
            break;
        default:
            return;
    }
    // Without the program's directory there is no path: a bare file name would be looked for in
    // whatever the current directory is.
    if (strDir[0] == '\0') {
        strDest[0] = '\0';
        return;
    }
    JoinDirAndFileName(strDir, strName, strDest);
}
}  // namespace

void BuildFirmwarePath(int eKind, const char* strDir, char* strDest) {
    BuildModelFirmwarePath(GetDeviceModelIndex(), eKind, strDir, strDest);
}

// One model index for all four paths, even if discovery matches another model meanwhile.
int BuildFirmwarePaths(ConfgFile* ptConfgFile) {
    const int iModel = GetDeviceModelIndex();
    const char* strDir = ptConfgFile->strExeDir;
    BuildModelFirmwarePath(iModel, E_FirmwareFile_McuVer, strDir, ptConfgFile->strMcuVerFilePath);
    BuildModelFirmwarePath(iModel, E_FirmwareFile_Checksum, strDir, ptConfgFile->strChecksumFilePath);
    BuildModelFirmwarePath(iModel, E_FirmwareFile_McuCipher, strDir, ptConfgFile->strMcuCipherFilePath);
    BuildModelFirmwarePath(iModel, E_FirmwareFile_McuClearVer, strDir, ptConfgFile->strMcuClearVerFilePath);
    ptConfgFile->iPathModel = iModel;
    return iModel;
}

void GetStartDirectory(ConfgFile* ptConfgFile) {
    char* strStart = ptConfgFile->strStartDir;
    strStart[0] = '\0';
    ptConfgFile->bStartDirTooLong = 0;
    char acStart[kStartDirLongBytes];
    if (ptConfgFile->strExeDir[0] == '\0' || PlatformStartDirectory(acStart, sizeof(acStart)) == 0) {
        return;
    }
    if (std::strlen(acStart) >= kPathFieldBytes) {
        ptConfgFile->bStartDirTooLong = 1;  // the program's own folder fits, so this is another one
        return;
    }
    std::strcpy(strStart, acStart);
    // The same folder under another name (a link) is the program's own: looked at once.
    PlatformFileInfo tStart;
    PlatformFileInfo tExe;
    if (std::strcmp(strStart, ptConfgFile->strExeDir) == 0 ||
        (PlatformFileQuery(strStart, &tStart) != 0 && PlatformFileQuery(ptConfgFile->strExeDir, &tExe) != 0 &&
         tStart.eKind == PlatformFileKind::kDirectory && tExe.eKind == PlatformFileKind::kDirectory &&
         tStart.ullVolume == tExe.ullVolume && tStart.ullIndex == tExe.ullIndex)) {
        strStart[0] = '\0';
    }
}

int GetLongStartDirectory(const ConfgFile* ptConfgFile, char* pcOut) {
    pcOut[0] = '\0';
    if (ptConfgFile->strStartDir[0] != '\0') {
        std::strcpy(pcOut, ptConfgFile->strStartDir);
        return 1;
    }
    return ptConfgFile->bStartDirTooLong != 0 && PlatformStartDirectory(pcOut, kStartDirLongBytes) != 0 ? 1
                                                                                                        : 0;
}

int StartPathTooLong(const ConfgFile* ptConfgFile) {
    if (ptConfgFile->bStartDirTooLong != 0) {
        return 1;
    }
    const DeviceEntry* ptDev = nullptr;
    if (ptConfgFile->strStartDir[0] == '\0' || ptConfgFile->iPathModel == kNoDeviceModel) {
        return 0;
    }
    GetDeviceEntry(&ptDev, ptConfgFile->iPathModel);
    const std::size_t szPath = std::strlen(ptConfgFile->strStartDir) +
                               (ptDev != nullptr ? std::strlen(ptDev->strMcuCipherFileName) : 0);
    return szPath >= kPathFieldBytes ? 1 : 0;
}

int ChooseMcuCipherFilePath(ConfgFile* ptConfgFile) {
    char* strPath = ptConfgFile->strMcuCipherFilePath;
    const int iModel = ptConfgFile->iPathModel;
    BuildModelFirmwarePath(iModel, E_FirmwareFile_McuCipher, ptConfgFile->strExeDir, strPath);
    const DeviceEntry* ptDev = nullptr;
    char acStart[kStartDirLongBytes];
    if (iModel != kNoDeviceModel) {
        GetDeviceEntry(&ptDev, iModel);
    }
    if (ptDev == nullptr || GetLongStartDirectory(ptConfgFile, acStart) == 0) {
        return kMcuCipherFromOwnFolder;
    }
    // Looked at by its whole path, however long: a file that is there is never passed over in silence.
    char acPath[kStartDirLongBytes + kPathFieldBytes];
    std::snprintf(acPath, sizeof(acPath), "%s%s", acStart, ptDev->strMcuCipherFileName);
    // A name that cannot even be looked at is taken too: the open then tells why.
    PlatformFileInfo tInfo;
    if (PlatformFileQuery(acPath, &tInfo) != 0 && tInfo.eKind == PlatformFileKind::kMissing) {
        return kMcuCipherFromOwnFolder;
    }
    if (std::strlen(acPath) >= kPathFieldBytes) {
        return kMcuCipherStartTooLong;
    }
    std::strcpy(strPath, acPath);
    return kMcuCipherFromStartFolder;
}

int JoinDirAndFileName(const char* strDir, const char* strFileName, char* strDest) {
    std::size_t szDir = strnlen(strDir, kPathFieldBytes);
    std::size_t szName = strnlen(strFileName, kPathFieldBytes);
    if (szDir + szName >= kPathFieldBytes) {
        strDest[0] = '\0';
        return 0;
    }
    std::memcpy(strDest, strDir, szDir);
    std::memcpy(strDest + szDir, strFileName, szName);
    strDest[szDir + szName] = '\0';
    return 1;
}

std::uint32_t WideToAnsi(const wchar_t* wstrIn, char* strOut, std::uint32_t ulCap) {
    std::uint32_t ulNeeded = PlatformWideToNarrow(wstrIn, nullptr, 0);
    if (ulNeeded == 0 || ulNeeded > ulCap) {
        if (ulCap > 0) {
            strOut[0] = '\0';
        }
        return 0;
    }
    return PlatformWideToNarrow(wstrIn, strOut, ulNeeded);
}

std::uint32_t AnsiToWide(const char* strIn, wchar_t* wstrOut, std::uint32_t ulCap) {
    std::uint32_t ulNeeded = PlatformNarrowToWide(strIn, nullptr, 0);
    if (ulNeeded == 0 || ulNeeded > ulCap) {
        if (ulCap > 0) {
            wstrOut[0] = L'\0';
        }
        return 0;
    }
    return PlatformNarrowToWide(strIn, wstrOut, ulNeeded);
}

int TrimToDirectory(wchar_t* wstrPath, wchar_t wcSeparator) {
    wchar_t* pwcLast = std::wcsrchr(wstrPath, wcSeparator);
    if (pwcLast == nullptr) {
        wstrPath[0] = L'\0';
        return 0;
    }
    pwcLast[1] = L'\0';
    return 1;
}

// The directory is cut from the wide path, before the conversion: in a multi-byte code page such as
// GBK a character's second byte can be 0x5C, the backslash, and must not be taken for a separator.
int GetExeDirectory(char* strExeDir, wchar_t* wstrExeDir) {
    strExeDir[0] = '\0';
    if (PlatformExePathWide(wstrExeDir, kWidePathFieldChars) == 0 ||
        TrimToDirectory(wstrExeDir, static_cast<wchar_t>(kPathSeparator)) == 0 ||
        WideToAnsi(wstrExeDir, strExeDir, kPathFieldBytes) == 0 ||
        AnsiToWide(strExeDir, wstrExeDir, kWidePathFieldChars) == 0) {
        strExeDir[0] = '\0';
        wstrExeDir[0] = L'\0';
        return 0;
    }
    return 1;
}
