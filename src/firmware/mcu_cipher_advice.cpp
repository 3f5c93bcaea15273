// The line that tells a tablet owner why the upgrade refused its firmware file and what to do about it.
#include <cstdio>
#include <cstring>
#include <string>

#include "device/device_table.h"
#include "device/owner_texts.h"
#include "firmware/mcu_cipher_file.h"
#include "platform/os.h"

namespace {

// A path or system message as the lines carry it: marked as a text in the system's encoding.
std::string SystemText(const char* str) {
    std::string strOut(std::strlen(str) + 2, '\0');
    const int iLen = std::snprintf(strOut.data(), strOut.size() + 1, PLATFORM_SYSTEM_TEXT("%s"), str);
    strOut.resize(iLen > 0 ? static_cast<std::size_t>(iLen) : 0);
    return strOut;
}
constexpr std::size_t kTextBytes = 1024;

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// A name the file may have been given by mistake: another letter case, a copy's " (1)" before the
// extension, or its extension twice (a hidden ".bin" typed again: "x.bin.bin").
bool NearlyMatches(const char* strName, const char* strWanted) {
    std::string strLow(strName);
    std::string strWant(strWanted);
    for (char& c : strLow) {
        c = LowerAscii(c);
    }
    for (char& c : strWant) {
        c = LowerAscii(c);
    }
    const std::size_t szDot = strWant.rfind('.');
    const std::string strStem = strWant.substr(0, szDot);
    const std::string strExt = szDot == std::string::npos ? std::string() : strWant.substr(szDot);
    // Not a download under way or a tool's temporary file (".part", ".tmp"): only the extension twice.
    if (strLow == strWant || strLow == strWant + strExt) {
        return true;
    }
    if (strLow.size() <= strWant.size() || strLow.compare(0, strStem.size(), strStem) != 0 ||
        strLow.compare(strLow.size() - strExt.size(), strExt.size(), strExt) != 0) {
        return false;
    }
    // Between stem and extension: an optional blank and a number in brackets.
    std::string strMid = strLow.substr(strStem.size(), strLow.size() - strStem.size() - strExt.size());
    if (!strMid.empty() && strMid[0] == ' ') {
        strMid.erase(0, 1);
    }
    if (strMid.size() < 3 || strMid.front() != '(' || strMid.back() != ')') {
        return false;
    }
    return strMid.find_first_not_of("0123456789", 1) == strMid.size() - 1;
}

struct NearName {
    const char* strWanted;
    std::string strFound;  // the first nearly matching name in byte order, for the same line every run
};

int TakeNearName(const char* strName, void* pvArg) {
    auto* ptNear = static_cast<NearName*>(pvArg);
    // The name itself is no other name (a link to nothing has it).
    if (std::strcmp(strName, ptNear->strWanted) != 0 && NearlyMatches(strName, ptNear->strWanted) &&
        (ptNear->strFound.empty() || ptNear->strFound > strName)) {
        ptNear->strFound = strName;
    }
    return 1;
}

// A file of a nearly matching name in the start folder, else in the program's own: when there is one, the
// line that names it, and true.
bool PrintNearName(const ConfgFile* ptConfgFile, const DeviceEntry* ptDev) {
    char acStart[kStartDirLongBytes];
    const char* astrDirs[2] = {nullptr, ptConfgFile->strExeDir};
    if (GetLongStartDirectory(ptConfgFile, acStart) != 0) {
        astrDirs[0] = acStart;
    }
    for (const char* strDir : astrDirs) {
        NearName tNear{ptDev->strMcuCipherFileName, {}};
        if (strDir == nullptr || strDir[0] == '\0' ||
            PlatformListDirectory(strDir, TakeNearName, &tNear) == 0 || tNear.strFound.empty()) {
            continue;
        }
        PlatformPrintf(kOwnerTexts.strFileNearName,
                       SystemText((std::string(strDir) + ptDev->strMcuCipherFileName).c_str()).c_str(),
                       SystemText((std::string(strDir) + tNear.strFound).c_str()).c_str(),
                       ptDev->strModelName, ptDev->strMcuCipherFileName);
        return true;
    }
    return false;
}

// What is wrong with the file at the chosen path, in words, from the failure the check recorded. Returns
// what the owner is asked to do (a remedy of kOwnerTexts, with the model and the file name), and sets
// *pbMissing when the file is not there at all.
const char* OwnerTexts::*DescribeFailure(const McuFileFailureRecord& tFailure, const ConfgFile* ptConfgFile,
                                         char* pcOut, std::size_t szCap, bool* pbMissing) {
    char acErrorText[256];
    PlatformErrorText(tFailure.ulError, acErrorText, sizeof(acErrorText));
    const std::string strShownPath = SystemText(ptConfgFile->strMcuCipherFilePath);
    const std::string strShownStart = SystemText(ptConfgFile->strStartDir);
    const std::string strShownError = SystemText(acErrorText);
    const char* strPath = strShownPath.c_str();
    const char* acSystem = strShownError.c_str();
    const auto ullSize = static_cast<unsigned long long>(tFailure.ullFileSize);
    const OwnerTexts& t = kOwnerTexts;
    *pbMissing = false;
    switch (tFailure.eFailure) {
        case McuFileFailure::kOpen: {
            // What the path leads to tells the refusals of a directory or special file from the rest.
            PlatformFileInfo tInfo;
            const int bKnown = PlatformFileQuery(ptConfgFile->strMcuCipherFilePath, &tInfo);
            if (bKnown != 0 && tInfo.eKind == PlatformFileKind::kDirectory) {
                std::snprintf(pcOut, szCap, t.strFileFolder, strPath);
                return &OwnerTexts::strPutInItsPlace;
            }
            if (bKnown != 0 && tInfo.eKind == PlatformFileKind::kOther) {
                std::snprintf(pcOut, szCap, t.strFileSpecial, strPath);
                return &OwnerTexts::strPutInItsPlace;
            }
            if (bKnown != 0 && tInfo.eKind == PlatformFileKind::kMissing) {
                *pbMissing = true;
                if (StartPathTooLong(ptConfgFile) != 0) {
                    std::snprintf(pcOut, szCap, t.strFileNotOpened, strPath, acSystem);
                    return &OwnerTexts::strPutShorterFolder;
                }
                if (ptConfgFile->strStartDir[0] != '\0') {
                    std::snprintf(pcOut, szCap, t.strFileNotOpenedStart, strPath, acSystem,
                                  strShownStart.c_str());
                    return &OwnerTexts::strPutInStartFolder;
                }
                std::snprintf(pcOut, szCap, t.strFileNotOpened, strPath, acSystem);
                return &OwnerTexts::strPutThere;
            }
            if (PlatformPermissionError(tFailure.ulError) != 0) {
                std::snprintf(pcOut, szCap,
                              bKnown != 0 && tInfo.eKind == PlatformFileKind::kRegular ? t.strFileNotReadable
                                                                                       : t.strFileNotOpened,
                              strPath, acSystem);
                return &OwnerTexts::strPutReadable;
            }
            std::snprintf(pcOut, szCap, t.strFileNotOpened, strPath, acSystem);
            return &OwnerTexts::strPutFreshCopy;
        }
        case McuFileFailure::kRead:
            std::snprintf(pcOut, szCap, t.strFileReadFailed, strPath, acSystem);
            break;
        case McuFileFailure::kNoMemory:
            std::snprintf(pcOut, szCap, t.strFileNoMemory, strPath, acSystem);
            break;
        case McuFileFailure::kDamaged:
            if (ullSize == 0) {
                std::snprintf(pcOut, szCap, t.strFileEmpty, strPath);
            } else if (ullSize < kMcuCipherHeaderBytes) {
                std::snprintf(pcOut, szCap, t.strFileNoHeader, strPath, ullSize);
            } else if (ullSize > kMcuCipherMaxFileBytes) {
                std::snprintf(pcOut, szCap, t.strFileTooLarge, strPath, ullSize,
                              static_cast<unsigned>(kMcuCipherMaxFileBytes));
            } else {
                std::snprintf(pcOut, szCap, t.strFileSizeMismatch, strPath, ullSize);
            }
            break;
        case McuFileFailure::kCrcMismatch:
            std::snprintf(pcOut, szCap, t.strFileCrc, strPath);
            break;
        case McuFileFailure::kEmptyImage:
            std::snprintf(pcOut, szCap, t.strFileNoImage, strPath);
            break;
        default:
            std::snprintf(pcOut, szCap, t.strFileUnusable, strPath);
            break;
    }
    return &OwnerTexts::strPutFreshCopy;
}

}  // namespace

void PrintMcuCipherFileAdvice(const ConfgFile* ptConfgFile) {
    const McuFileFailureRecord& tFailure = McuCipherFileLastFailure();
    const DeviceEntry* ptDev = nullptr;
    if (ptConfgFile->iPathModel != kNoDeviceModel) {
        GetDeviceEntry(&ptDev, ptConfgFile->iPathModel);
    }
    if (ptConfgFile->strMcuCipherFilePath[0] == '\0' || ptDev == nullptr) {
        return;  // no path was built: the line about the program's directory said why
    }
    char acWhat[kTextBytes];
    bool bMissing = false;
    const char* OwnerTexts::*pstrRemedy =
        DescribeFailure(tFailure, ptConfgFile, acWhat, sizeof(acWhat), &bMissing);
    // A file that is not there may be there under a name nearly its own.
    if (bMissing && PrintNearName(ptConfgFile, ptDev)) {
        return;
    }
    char acRemedy[kTextBytes];
    std::snprintf(acRemedy, sizeof(acRemedy), kOwnerTexts.*pstrRemedy, ptDev->strModelName,
                  ptDev->strMcuCipherFileName);
    PlatformPrintf("[Tavelo IAP]: %s%s\r\n", acWhat, acRemedy);
}
