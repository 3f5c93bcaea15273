#include "app/app_main.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/console_texts.h"
#include "device/confg_file.h"
#include "device/device_table.h"
#include "device/owner_texts.h"
#include "drbd/com_resource.h"
#include "drbd/iap_commands.h"
#include "hidlink/hidlink.h"
#include "platform/hid_host.h"
#include "platform/os.h"

namespace {

constexpr std::size_t kPresDbgParaBytes = 36;
constexpr std::size_t kKeyValueChars = 30;  // 29 characters and the terminator

void* DefaultAlloc(AppRecord, std::size_t szBytes) {
    return std::malloc(szBytes);
}
AppAllocFn g_pfnAlloc = DefaultAlloc;

// How long "Detecting" waits for a supported tablet before the hint line.
constexpr std::uint32_t kDetectingHintMs = 10000;
std::uint32_t g_ulDetectingHintMs = kDetectingHintMs;

// The menu's input came to its end (rather than a typed 2).
bool g_bInputEnded = false;

void PrintEraseLine() {
    PlatformPrintf("\r[Tavelo IAP]:%60s", "");
}

// The line naming the connected tablet's model.
void PrintConnected(int iModel) {
    const DeviceEntry* ptDev = nullptr;
    GetDeviceEntry(&ptDev, iModel);
    PrintEraseLine();
    PlatformPrintf(kConsoleTexts.strConnected, ptDev != nullptr ? ptDev->strModelName : "");
}

// The start folder holds the model's firmware file, but its path is longer than the program takes.
void PrintStartFolderTooLong(const ConfgFile* ptConfgFile) {
    const DeviceEntry* ptDev = nullptr;
    GetDeviceEntry(&ptDev, ptConfgFile->iPathModel);
    char acStart[kStartDirLongBytes];
    GetLongStartDirectory(ptConfgFile, acStart);
    PrintEraseLine();
    PlatformPrintf(kOwnerTexts.strStartFolderTooLong, ptDev != nullptr ? ptDev->strMcuCipherFileName : "",
                   acStart, static_cast<unsigned>(kPathFieldBytes - 1));
}

// Reads one input line: keeps its first 29 characters in strKeyValue and drops the rest of the line
// and its line end, so an over-long line is one choice. Returns 0 at the end of input with nothing read.
int ReadMenuLine(char* strKeyValue) {
    std::size_t szKept = 0;
    bool bAny = false;
    for (;;) {
        int c = std::getchar();
        if (c == EOF) {
            break;
        }
        bAny = true;
        if (c == '\n') {
            break;
        }
        if (szKept < kKeyValueChars - 1) {
            strKeyValue[szKept++] = static_cast<char>(c);
        }
    }
    strKeyValue[szKept] = '\0';
    return bAny ? 1 : 0;
}

// atoi's rules (leading blanks, sign, digits, rest ignored; no number gives 0), without its undefined
// behaviour on overflow.
long MenuValue(const char* strKeyValue) {
    errno = 0;
    long lValue = std::strtol(strKeyValue, nullptr, 10);
    return errno == ERANGE ? LONG_MIN : lValue;
}

// Waits until discovery has a supported tablet's link open. When none has come after a while, says once
// what the owner can do, and goes on waiting.
void WaitForTablet(HidResource* ptHidResource) {
    const std::uint64_t ullStart = PlatformNowMs();
    bool bHinted = false;
    while (DetectHidDevice(ptHidResource) != 1) {
        if (!bHinted && PlatformNowMs() - ullStart >= g_ulDetectingHintMs) {
            bHinted = true;
            PlatformPrintf(kOwnerTexts.strDetectingHint, kPlatformOwnerGuide);
            PrintEraseLine();
            PlatformPrintf("%s", kConsoleTexts.strDetecting);
        }
    }
}

}  // namespace

// The debug-parameter block lives until the process ends; nothing reads or writes it. A later run of
// TaveloIapMain in the same process (tests) releases the block of the run before.
void* g_ptPresDbgPara = nullptr;

void SetAppAllocator(AppAllocFn pfnAlloc) {
    g_pfnAlloc = pfnAlloc != nullptr ? pfnAlloc : DefaultAlloc;
}

void SetDetectingHintMs(std::uint32_t ulMs) {
    g_ulDetectingHintMs = ulMs != 0 ? ulMs : kDetectingHintMs;
}

int ShowMenu() {
    char strKeyValue[kKeyValueChars];
    // Keys typed before the menu was shown (while the program detected the tablet or ran an upgrade)
    // are no answer to it.
    PlatformDiscardTypedAhead();
    for (;;) {
        PlatformPrintf("\r\n");
        PlatformPrintf("%s", kConsoleTexts.strMenuEntries);
        PlatformPrintf("%s", kConsoleTexts.strMenuPrompt);
        std::memset(strKeyValue, 0, sizeof(strKeyValue));
        PlatformSetLastError(0);  // what ends the read is told by the code it leaves
        if (ReadMenuLine(strKeyValue) == 0) {
            if (PlatformInputEnded() != 0) {
                std::clearerr(stdin);
                continue;  // ended by a Ctrl-C this process ignores: the menu is read again
            }
            // End of input: nobody is left to choose, so the program ends as on choice 2 (unless the
            // input was ended by a Ctrl-C, which ends the program as interrupted).
            g_bInputEnded = true;
            PlatformPrintf("\r\n");
            return 2;
        }
        long lChoice = MenuValue(strKeyValue);
        if (lChoice == 1) {
            return 1;
        }
        if (lChoice == 2) {
            PlatformPrintf("\r\n");
            return 2;
        }
    }
}

int TaveloIapMain() {
    PlatformConsoleInit();
    g_bInputEnded = false;

    auto* ptComResource = static_cast<ComResource*>(g_pfnAlloc(E_AppRecord_ComResource, sizeof(ComResource)));
    auto* ptConfgFile = static_cast<ConfgFile*>(g_pfnAlloc(E_AppRecord_ConfgFile, sizeof(ConfgFile)));
    auto* punPrtcDRBDCmdUnion =
        static_cast<PrtcDRBDCmdUnion*>(g_pfnAlloc(E_AppRecord_CmdUnion, sizeof(PrtcDRBDCmdUnion)));
    HidResource* ptHidResource = GetHidResource();
    void* ptPresDbgPara = g_pfnAlloc(E_AppRecord_PresDbgPara, kPresDbgParaBytes);
    std::free(g_ptPresDbgPara);
    g_ptPresDbgPara = ptPresDbgPara;

    bool bRecordsReady = false;
    bool bInterrupted = false;
    bool bOwnerChoseExit = false;
    int iExitStatus = 1;  // the program did not run unless its records are there
    std::uint32_t ulHidErr = 0;
    const char* strHidMissing = nullptr;
    if (ptComResource == nullptr) {
        PlatformPrintf("[Tavelo IAP]: Error -> ptComResource Malloc\r\n");
    } else if (ptConfgFile == nullptr) {
        PlatformPrintf("[Tavelo IAP]: Error -> ptConfgFile Malloc\r\n");
    } else if (ptPresDbgPara == nullptr) {
        PlatformPrintf("[Tavelo IAP]: Error -> ptPresDbgPara Malloc\r\n");
    } else if (punPrtcDRBDCmdUnion == nullptr) {
        PlatformPrintf("[Tavelo IAP]: Error -> punPrtcDRBDCmdUnion Malloc\r\n");
    } else if ((strHidMissing = PlatformHidHostLoad(&ulHidErr)) != nullptr) {
        // The system's HID library or one of its functions is missing: nothing could reach a tablet.
        PlatformPrintf("[Tavelo IAP]: Error -> %s（%u）\r\n", strHidMissing, static_cast<unsigned>(ulHidErr));
    } else {
        bRecordsReady = true;
        iExitStatus = 0;  // 0 until an upgrade fails; an upgrade that succeeds sets it back
    }

    if (bRecordsReady) {
        std::memset(ptComResource, 0, sizeof(ComResource));
        ptComResource->hComPort = kInvalidHandle;
        std::memset(ptConfgFile, 0, sizeof(ConfgFile));
        // Every handle field starts as "not open": a zero would name standard input on POSIX systems.
        ptConfgFile->hMcuVerFile = kInvalidHandle;
        ptConfgFile->hChecksumFile = kInvalidHandle;
        ptConfgFile->hMcuCipherFile = kInvalidHandle;
        ptConfgFile->hMcuClearVerFile = kInvalidHandle;
        ptConfgFile->iPathModel = kNoDeviceModel;
        // Cleared so that no decision is ever taken on bytes nobody wrote.
        std::memset(punPrtcDRBDCmdUnion, 0, sizeof(PrtcDRBDCmdUnion));

        PlatformPrintf("%s%s%s%s%s%s\r\n", kConsoleTexts.strHelpRule, kConsoleTexts.strHelpHeading,
                       kConsoleTexts.strHelpStep1, kConsoleTexts.strHelpStep2, kConsoleTexts.strHelpStep3,
                       kConsoleTexts.strHelpRule);

        PrintEraseLine();
        PlatformPrintf("%s", kConsoleTexts.strDetecting);
        WaitForTablet(ptHidResource);

        PrintConnected(GetDeviceModelIndex());
        if (GetExeDirectory(ptConfgFile->strExeDir, ptConfgFile->wstrExeDir) == 0) {
            // No path at all rather than a bare file name looked for in the current directory.
            PlatformPrintf("%s", kConsoleTexts.strNoExeDir);
        }
        BuildFirmwarePaths(ptConfgFile);
        GetStartDirectory(ptConfgFile);

        while (ShowMenu() == 1) {
            // Each upgrade flashes the file of the tablet connected now: another model plugged in since
            // is named, and its own files are taken.
            if (GetDeviceModelIndex() != ptConfgFile->iPathModel) {
                PrintConnected(BuildFirmwarePaths(ptConfgFile));
            }
            // A file in the folder the program was started from is taken before the program's own, and
            // named, so that the owner sees which file goes to the tablet.
            const int iChosen = ChooseMcuCipherFilePath(ptConfgFile);
            if (iChosen == kMcuCipherFromStartFolder) {
                PrintEraseLine();
                PlatformPrintf(kOwnerTexts.strFromStartFolder, ptConfgFile->strMcuCipherFilePath);
            } else if (iChosen == kMcuCipherStartTooLong) {
                // The owner's file is there but cannot be read by its path: the one in the program's
                // folder is not flashed in its stead.
                PrintStartFolderTooLong(ptConfgFile);
                iExitStatus = 1;
                continue;
            }
            iExitStatus = IapUpgradeFirmware(ptComResource, ptConfgFile, punPrtcDRBDCmdUnion) == 1 ? 0 : 1;
            if (PlatformTransferInterrupted()) {
                bInterrupted = true;
                break;  // Ctrl-C during the transfer: the program ends once the transfer has stopped
            }
        }
        bOwnerChoseExit = !bInterrupted && !g_bInputEnded;
    }

    // Shutdown: the link first (its reader stopped in order, each handle closed once), then the records.
    if (bRecordsReady) {
        HidLinkShutdown(ptHidResource);
    }
    std::free(punPrtcDRBDCmdUnion);
    if (ptComResource != nullptr) {
        if (bRecordsReady) {
            PlatformFileClose(&ptComResource->hComPort);
        }
        std::free(ptComResource);
    }
    if (ptConfgFile != nullptr) {
        if (bRecordsReady) {
            PlatformFileClose(&ptConfgFile->hMcuVerFile);
        }
        std::free(ptConfgFile);
    }
    // Ended by itself (failed start, interrupted upgrade, end of input) rather than by a typed 2: a window
    // that belongs to the program alone would close with its last lines unread.
    if (!bOwnerChoseExit) {
        PlatformHoldOwnConsole(kOwnerTexts.strEnded);
    }
    return iExitStatus;
}
