// Win32 implementation of the operating-system seam. Paths are in the system's ANSI code page and go
// to the ANSI file interface; the console gets the program's texts as UTF-16, files and pipes as bytes.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/os.h"

const char kPathSeparator = '\\';
const char kPlatformOwnerGuide[] = "README.txt";

namespace {
HANDLE ToHandle(PlatformHandle h) {
    return reinterpret_cast<HANDLE>(h);
}
PlatformHandle FromHandle(HANDLE h) {
    return reinterpret_cast<PlatformHandle>(h);
}

// Win32 lengths are DWORD or int; the seam's are 32-bit unsigned. Capacities above INT_MAX are taken as
// INT_MAX, which no path or text here comes near.
int ClampToInt(std::uint32_t ul) {
    return ul > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(ul);
}

PlatformHandle OpenUnshared(const char* strPath, DWORD dwAccess, DWORD dwDisposition) {
    if (strPath == nullptr || strPath[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return kInvalidHandle;
    }
    HANDLE h = CreateFileA(strPath, dwAccess, 0, nullptr, dwDisposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return kInvalidHandle;
    }
    // Only a file on a disk is used: a device (NUL, CON, COM1) or a pipe is closed again at once.
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        SetLastError(ERROR_ACCESS_DENIED);
        return kInvalidHandle;
    }
    return FromHandle(h);
}
}  // namespace

namespace {
// Set by a Ctrl-C or Ctrl-Break that the default handling (ExitProcess) is about to answer; seen by
// PlatformInputEnded. Called only outside a transfer: the transfer's own handler answers it first.
HANDLE g_hCtrlCEvent = nullptr;

BOOL WINAPI NoteCtrlC(DWORD dwType) {
    if ((dwType == CTRL_C_EVENT || dwType == CTRL_BREAK_EVENT) && g_hCtrlCEvent != nullptr) {
        SetEvent(g_hCtrlCEvent);
    }
    return FALSE;
}

// How long a console read that came back empty waits for the Ctrl-C that may have ended it: the console
// ends the read and starts the handler's thread at about the same moment, in no fixed order.
constexpr DWORD kCtrlCGraceMs = 500;

bool StdinIsConsole() {
    DWORD dwMode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &dwMode) != FALSE;
}

HANDLE StdoutHandle() {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
}

bool StdoutIsConsole() {
    DWORD dwMode = 0;
    return GetConsoleMode(StdoutHandle(), &dwMode) != FALSE;
}

// The code page of the program's own texts: the build turns every narrow literal into GBK bytes (see
// cmake/toolchains/mingw-common.cmake), in the English build too (its fullwidth punctuation).
constexpr UINT kTextCodePage = 936;
// Around a piece in the system's ANSI code page (PLATFORM_SYSTEM_TEXT).
constexpr char kSystemTextBegin = '\x0E';
constexpr char kSystemTextEnd = '\x0F';

bool IsSystemTextMark(char c) {
    return c == kSystemTextBegin || c == kSystemTextEnd;
}

// Appends szLen bytes in code page uiCodePage to wstrOut as UTF-16. False when the system cannot convert
// from that code page.
bool AppendWide(std::wstring& wstrOut, UINT uiCodePage, const char* pc, std::size_t szLen) {
    if (szLen == 0) {
        return true;
    }
    if (szLen > static_cast<std::size_t>(INT_MAX)) {
        return false;
    }
    const int iLen = static_cast<int>(szLen);
    const int iWide = MultiByteToWideChar(uiCodePage, 0, pc, iLen, nullptr, 0);
    if (iWide <= 0) {
        return false;
    }
    const std::size_t szAt = wstrOut.size();
    wstrOut.resize(szAt + static_cast<std::size_t>(iWide));
    return MultiByteToWideChar(uiCodePage, 0, pc, iLen, &wstrOut[szAt], iWide) == iWide;
}

// The text as the console shows it: each piece converted from its own code page (the program's texts
// from GBK, the marked pieces from the ANSI code page), the marks left out. False when a piece cannot be
// converted.
bool ConsoleText(const char* pcText, std::size_t szLen, std::wstring& wstrOut) {
    bool bSystem = false;
    std::size_t szStart = 0;
    for (std::size_t i = 0; i <= szLen; ++i) {
        if (i < szLen && !IsSystemTextMark(pcText[i])) {
            continue;
        }
        if (!AppendWide(wstrOut, bSystem ? CP_ACP : kTextCodePage, pcText + szStart, i - szStart)) {
            return false;
        }
        if (i < szLen) {
            bSystem = pcText[i] == kSystemTextBegin;
        }
        szStart = i + 1;
    }
    return true;
}

// Writes UTF-16 text to the console, in parts small enough for every console (older ones refuse a write
// of 64 KiB or more), never between the two halves of a surrogate pair.
bool WriteConsoleWhole(HANDLE hOut, const std::wstring& wstr) {
    constexpr std::size_t kPartChars = 8192;
    std::size_t szDone = 0;
    while (szDone < wstr.size()) {
        std::size_t szPart = wstr.size() - szDone < kPartChars ? wstr.size() - szDone : kPartChars;
        if (szPart == kPartChars && IS_HIGH_SURROGATE(wstr[szDone + szPart - 1])) {
            --szPart;
        }
        DWORD dwWritten = 0;
        if (!WriteConsoleW(hOut, wstr.data() + szDone, static_cast<DWORD>(szPart), &dwWritten, nullptr) ||
            dwWritten == 0) {
            return false;
        }
        szDone += dwWritten;
    }
    return true;
}

// Hands bytes to standard output's descriptor: _write makes one WriteFile of them (binary mode, no
// translation), where the stream functions may split an unbuffered stream's output into many.
bool WriteBytes(const char* pcText, std::size_t szLen) {
    const int iFd = _fileno(stdout);
    while (szLen > 0) {
        const unsigned uChunk = szLen > 0x10000000u ? 0x10000000u : static_cast<unsigned>(szLen);
        const int iWritten = _write(iFd, pcText, uChunk);
        if (iWritten <= 0) {
            return false;
        }
        pcText += iWritten;
        szLen -= static_cast<std::size_t>(iWritten);
    }
    return true;
}
}  // namespace

void PlatformConsoleInit() {
    // Binary mode: the program's "\r\n" reaches the console, a file or a pipe as written, not as
    // "\r\r\n", on standard error too. Unbuffered: the waiting and progress lines, which have no line end,
    // show at once.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (g_hCtrlCEvent == nullptr) {
        g_hCtrlCEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(NoteCtrlC, TRUE);
    }
}

// On a console, the text goes as UTF-16 (WriteConsoleW), converted from the code page each piece is in,
// whatever the console's code page: a console that cannot take code page 936 (an older one outside
// China) still shows the Chinese texts, and a path in the ANSI code page is not misread as GBK. A file or
// pipe gets the bytes, without the marks.
int PlatformConsoleWrite(const char* pcText, std::size_t szLen) {
    std::fflush(stdout);
    HANDLE hOut = StdoutHandle();
    DWORD dwMode = 0;
    if (GetConsoleMode(hOut, &dwMode)) {
        std::wstring wstr;
        if (ConsoleText(pcText, szLen, wstr)) {
            return WriteConsoleWhole(hOut, wstr) ? 1 : 0;
        }
    }
    if (std::find_if(pcText, pcText + szLen, IsSystemTextMark) == pcText + szLen) {
        return WriteBytes(pcText, szLen) ? 1 : 0;
    }
    std::string strBytes(pcText, szLen);
    strBytes.erase(std::remove_if(strBytes.begin(), strBytes.end(), IsSystemTextMark), strBytes.end());
    return WriteBytes(strBytes.data(), strBytes.size()) ? 1 : 0;
}

void PlatformRestrictLibrarySearch() {
    // Taken by name: systems before Windows 8 (and 7 without its loader update) lack the function.
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE hKernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC pfn = hKernel != nullptr ? GetProcAddress(hKernel, "SetDefaultDllDirectories") : nullptr;
    if (pfn != nullptr) {
        reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void (*)()>(pfn))(
            LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    SetDllDirectoryW(L"");
}

void PlatformSleepMs(std::uint32_t ulMs) {
    Sleep(ulMs);
}

std::uint64_t PlatformNowMs() {
    return GetTickCount64();
}

std::uint32_t PlatformLastError() {
    return GetLastError();
}
void PlatformSetLastError(std::uint32_t ulErr) {
    SetLastError(ulErr);
}
std::uint32_t PlatformBadHandleError() {
    return ERROR_INVALID_HANDLE;
}

int PlatformDeviceInUseError(std::uint32_t ulErr) {
    if (ulErr == ERROR_SHARING_VIOLATION) {
        return kPlatformInUse;
    }
    // Also what an open gets while the collection is being removed (STATUS_DELETE_PENDING), as when the
    // tablet restarts while still listed: in use only when it lasts.
    return ulErr == ERROR_ACCESS_DENIED ? kPlatformInUseIfAgain : 0;
}

// No read error here tells a report that is no reply from a departure: every failed read is one.
int PlatformBadReportError(std::uint32_t) {
    return 0;
}

// ---- Interruptions during a transfer ---------------------------------------------------------------
// A closed console ends the process whatever a handler answers, and there are no SIGHUP or SIGPIPE:
// a write to a closed pipe fails and the text is dropped. Ctrl-C and Ctrl-Break are only noted.
namespace {
std::atomic<int> g_bInterrupted{0};

BOOL WINAPI OnConsoleControl(DWORD dwType) {
    if (dwType == CTRL_C_EVENT || dwType == CTRL_BREAK_EVENT) {
        g_bInterrupted.store(1, std::memory_order_relaxed);
        return TRUE;
    }
    return FALSE;
}
}  // namespace

void PlatformTransferGuardBegin() {
    g_bInterrupted.store(0, std::memory_order_relaxed);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void PlatformTransferGuardEnd() {
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
}

int PlatformTransferInterrupted() {
    return g_bInterrupted.load(std::memory_order_relaxed);
}

int PlatformInputEnded() {
    // What ended the read, taken before any other call can change it: a console read that a Ctrl-C
    // ended leaves ERROR_OPERATION_ABORTED; a Ctrl-Z or a closed pipe leaves no such code.
    const DWORD dwReadError = GetLastError();
    if (dwReadError != ERROR_OPERATION_ABORTED || g_hCtrlCEvent == nullptr || !StdinIsConsole()) {
        return 0;
    }
    if (WaitForSingleObject(g_hCtrlCEvent, kCtrlCGraceMs) == WAIT_OBJECT_0) {
        // The default handling is ending the process as interrupted; nothing else is to happen meanwhile.
        for (;;) {
            Sleep(INFINITE);
        }
    }
    // No handler saw the Ctrl-C: this process ignores it (started in a new process group, say), so the
    // input goes on.
    SetLastError(ERROR_SUCCESS);
    return 1;
}

void PlatformDiscardTypedAhead() {
    if (StdinIsConsole()) {
        FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
    }
}

void PlatformHoldOwnConsole(const char* strLine) {
    // A console shared with another process (a command prompt that started the program) stays open, and
    // with standard output elsewhere the line would not be seen.
    DWORD adwProcesses[2];
    if (!StdinIsConsole() || !StdoutIsConsole() || GetConsoleProcessList(adwProcesses, 2) != 1) {
        return;
    }
    // Keys pressed during the upgrade, or after a Ctrl-C, do not close the window unread. Only an empty
    // line ends the wait: a key combination that some consoles take as a character (Ctrl+A to select the
    // text) and the Enter after it do not close the window; the line is shown again.
    PlatformDiscardTypedAhead();
    for (;;) {
        PlatformConsoleWrite(strLine, std::strlen(strLine));
        bool bEmpty = true;
        int c;
        while ((c = std::getchar()) != '\n') {
            if (c == EOF) {
                return;
            }
            bEmpty = bEmpty && c == '\r';
        }
        if (bEmpty) {
            return;
        }
    }
}

// ---- Files ------------------------------------------------------------------------------------------
PlatformHandle PlatformFileOpenRead(const char* strPath) {
    return OpenUnshared(strPath, GENERIC_READ, OPEN_EXISTING);
}

PlatformHandle PlatformFileCreateWrite(const char* strPath) {
    return OpenUnshared(strPath, GENERIC_WRITE, CREATE_ALWAYS);
}

namespace {
// Reads up to ulLen bytes, going on after short reads until the end of the file. With ptPos the reads
// start at that offset (positioned reads on a synchronous handle) instead of the current position.
int ReadWhole(PlatformHandle h, const std::uint64_t* pullPos, void* pvBuf, std::uint32_t ulLen,
              std::uint32_t* pulRead) {
    if (pulRead != nullptr) {
        *pulRead = 0;
    }
    if (h == kInvalidHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    std::uint32_t ulDone = 0;
    auto* puc = static_cast<unsigned char*>(pvBuf);
    int iResult = 1;
    while (ulDone < ulLen) {
        DWORD dwGot = 0;
        BOOL bOk;
        if (pullPos != nullptr) {
            OVERLAPPED tPos = {};
            std::uint64_t ullAt = *pullPos + ulDone;
            tPos.Offset = static_cast<DWORD>(ullAt & 0xFFFFFFFFu);
            tPos.OffsetHigh = static_cast<DWORD>(ullAt >> 32);
            bOk = ReadFile(ToHandle(h), puc + ulDone, ulLen - ulDone, &dwGot, &tPos);
            if (!bOk && GetLastError() == ERROR_HANDLE_EOF) {
                break;
            }
        } else {
            bOk = ReadFile(ToHandle(h), puc + ulDone, ulLen - ulDone, &dwGot, nullptr);
        }
        if (!bOk) {
            iResult = 0;
            break;
        }
        if (dwGot == 0) {
            break;
        }
        ulDone += dwGot;
    }
    if (pulRead != nullptr) {
        *pulRead = ulDone;
    }
    return iResult;
}
}  // namespace

int PlatformFileRead(PlatformHandle h, void* pvBuf, std::uint32_t ulLen, std::uint32_t* pulRead) {
    return ReadWhole(h, nullptr, pvBuf, ulLen, pulRead);
}

int PlatformFileReadAt(PlatformHandle h, std::uint64_t ullOffset, void* pvBuf, std::uint32_t ulLen,
                       std::uint32_t* pulRead) {
    return ReadWhole(h, &ullOffset, pvBuf, ulLen, pulRead);
}

int PlatformFileWrite(PlatformHandle h, const void* pvBuf, std::uint32_t ulLen, std::uint32_t* pulWritten) {
    if (pulWritten != nullptr) {
        *pulWritten = 0;
    }
    if (h == kInvalidHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    std::uint32_t ulDone = 0;
    const auto* puc = static_cast<const unsigned char*>(pvBuf);
    while (ulDone < ulLen) {
        DWORD dwPut = 0;
        if (!WriteFile(ToHandle(h), puc + ulDone, ulLen - ulDone, &dwPut, nullptr)) {
            break;
        }
        if (dwPut == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            break;
        }
        ulDone += dwPut;
    }
    if (pulWritten != nullptr) {
        *pulWritten = ulDone;
    }
    return ulDone == ulLen ? 1 : 0;
}

int PlatformFileFlush(PlatformHandle h) {
    if (h == kInvalidHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return FlushFileBuffers(ToHandle(h)) ? 1 : 0;
}

int PlatformFileSize(PlatformHandle h, std::uint64_t* pullSize) {
    if (h == kInvalidHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    LARGE_INTEGER tSize;
    if (!GetFileSizeEx(ToHandle(h), &tSize)) {
        return 0;
    }
    *pullSize = static_cast<std::uint64_t>(tSize.QuadPart);
    return 1;
}

void PlatformFileClose(PlatformHandle* ph) {
    if (ph != nullptr && *ph != kInvalidHandle) {
        CloseHandle(ToHandle(*ph));
        *ph = kInvalidHandle;
    }
}

int PlatformFileReplace(const char* strFrom, const char* strTo) {
    // Write-through: the rename is on the disk when this returns, so a crash leaves the old file or the
    // new one, never neither.
    return MoveFileExA(strFrom, strTo, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 1 : 0;
}

int PlatformFileRemove(const char* strPath) {
    return DeleteFileA(strPath) ? 1 : 0;
}

PlatformHandle PlatformFileCreateNew(const char* strPath) {
    // CREATE_NEW fails on any existing name, a symbolic link included, and never follows one.
    return OpenUnshared(strPath, GENERIC_WRITE, CREATE_NEW);
}

std::uint32_t PlatformFileExistsError() {
    return ERROR_FILE_EXISTS;
}

namespace {
// The temporary file an interruption removes: its path, and whether it is still there under that name
// (set after the path is written).
char g_acTempPath[MAX_PATH * 4];
std::atomic<int> g_bTempArmed{0};

// Runs on a thread of its own before the default handling ends the process. The temporary file is open
// with FILE_SHARE_DELETE, so it can be deleted while the program still writes it: it goes when the
// process closes its handle.
BOOL WINAPI RemoveTempOnControl(DWORD) {
    if (g_bTempArmed.load(std::memory_order_acquire)) {
        DeleteFileA(g_acTempPath);
    }
    return FALSE;
}

// Sets or clears the file's delete-on-close mark; 1 / 0.
int MarkDeleteOnClose(HANDLE h, bool bDelete) {
    FILE_DISPOSITION_INFO tDisposition{};
    tDisposition.DeleteFile = bDelete ? TRUE : FALSE;
    return SetFileInformationByHandle(h, FileDispositionInfo, &tDisposition, sizeof(tDisposition)) ? 1 : 0;
}
}  // namespace

PlatformHandle PlatformFileCreateTemp(const char* strPath) {
    if (strPath == nullptr || strPath[0] == '\0' || std::strlen(strPath) >= sizeof(g_acTempPath)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return kInvalidHandle;
    }
    // The handler is in place before the file exists: a Ctrl-C between the two would leave it behind.
    static const bool s_bHandlerSet = SetConsoleCtrlHandler(RemoveTempOnControl, TRUE) != FALSE;
    (void)s_bHandlerSet;
    const bool bArm = !g_bTempArmed.load(std::memory_order_relaxed);
    if (bArm) {
        std::strcpy(g_acTempPath, strPath);
    }
    HANDLE h = CreateFileA(strPath, GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return kInvalidHandle;
    }
    // Marked at once, the file goes with the handle however the process ends (also killed, or ended
    // before the handler below knows the file); PlatformFileTempKeep clears the mark. The handler stays
    // for the moment between that and the rename.
    MarkDeleteOnClose(h, true);
    if (bArm) {
        g_bTempArmed.store(1, std::memory_order_release);
    }
    return FromHandle(h);
}

int PlatformFileTempKeep(PlatformHandle h) {
    if (h == kInvalidHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return MarkDeleteOnClose(ToHandle(h), false);
}

void PlatformFileTempDone() {
    g_bTempArmed.store(0, std::memory_order_release);
}

void PlatformFileCopyMode(PlatformHandle, const char*) {}

namespace {
bool IsNotFound(DWORD dwErr) {
    return dwErr == ERROR_FILE_NOT_FOUND || dwErr == ERROR_PATH_NOT_FOUND;
}

// Opens what a path leads to (links followed) for looking at it only: no data access, so it neither
// conflicts with another program's unshared handle nor blocks; directories open too.
HANDLE OpenForQuery(const char* strPath) {
    return CreateFileA(strPath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}
}  // namespace

int PlatformFileQuery(const char* strPath, PlatformFileInfo* ptInfo) {
    *ptInfo = PlatformFileInfo{};
    if (strPath == nullptr || strPath[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    // Devices (NUL, CON, COM1) have no attributes of their own on every system: the handle tells them.
    DWORD dwAttributes = GetFileAttributesA(strPath);
    ptInfo->bLink =
        dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? 1 : 0;
    HANDLE h = OpenForQuery(strPath);
    if (h == INVALID_HANDLE_VALUE) {
        return IsNotFound(GetLastError()) ? 1 : 0;
    }
    BY_HANDLE_FILE_INFORMATION tFile;
    if (GetFileType(h) != FILE_TYPE_DISK) {
        ptInfo->eKind = PlatformFileKind::kOther;
    } else if (GetFileInformationByHandle(h, &tFile)) {
        ptInfo->eKind = (tFile.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                            ? PlatformFileKind::kDirectory
                            : PlatformFileKind::kRegular;
        ptInfo->ullVolume = tFile.dwVolumeSerialNumber;
        ptInfo->ullIndex = (static_cast<std::uint64_t>(tFile.nFileIndexHigh) << 32) | tFile.nFileIndexLow;
    } else {
        DWORD dwErr = GetLastError();
        CloseHandle(h);
        SetLastError(dwErr);
        return 0;
    }
    CloseHandle(h);
    return 1;
}

int PlatformFileResolve(const char* strPath, char* pcOut, std::uint32_t ulCap) {
    HANDLE h = OpenForQuery(strPath);
    if (h == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD dwLen = GetFinalPathNameByHandleA(h, pcOut, ulCap, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    DWORD dwErr = GetLastError();
    CloseHandle(h);
    if (dwLen == 0 || dwLen >= ulCap) {
        if (ulCap > 0) {
            pcOut[0] = '\0';
        }
        SetLastError(dwLen == 0 ? dwErr : ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return 1;
}

int PlatformPermissionError(std::uint32_t ulErr) {
    return ulErr == ERROR_ACCESS_DENIED ? 1 : 0;
}

int PlatformListDirectory(const char* strDir, PlatformDirEntryFn pfnEach, void* pvArg) {
    char acPattern[MAX_PATH + 2];
    if (std::snprintf(acPattern, sizeof(acPattern), "%s*", strDir) >= static_cast<int>(sizeof(acPattern))) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    WIN32_FIND_DATAA tFound;
    HANDLE hFind = FindFirstFileA(acPattern, &tFound);
    if (hFind == INVALID_HANDLE_VALUE) {
        return 0;
    }
    do {
        if (std::strcmp(tFound.cFileName, ".") != 0 && std::strcmp(tFound.cFileName, "..") != 0 &&
            pfnEach(tFound.cFileName, pvArg) == 0) {
            break;
        }
    } while (FindNextFileA(hFind, &tFound) != 0);
    FindClose(hFind);
    return 1;
}

std::uint32_t PlatformFileRefusalError(PlatformFileRefusal eRefusal) {
    // What the system itself answers: a directory or a device cannot be replaced by a file (access
    // denied), and a file held open by the operation cannot be written over (sharing violation).
    return eRefusal == PlatformFileRefusal::kInUse ? ERROR_SHARING_VIOLATION : ERROR_ACCESS_DENIED;
}

void PlatformErrorText(std::uint32_t ulErr, char* pcOut, std::uint32_t ulCap) {
    DWORD dwFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD dwLen = FormatMessageA(dwFlags, nullptr, ulErr, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), pcOut,
                                 ulCap, nullptr);
    if (dwLen == 0) {
        dwLen = FormatMessageA(dwFlags, nullptr, ulErr, 0, pcOut, ulCap, nullptr);
    }
    if (dwLen == 0 || dwLen >= ulCap) {
        std::snprintf(pcOut, ulCap, "system error %lu", static_cast<unsigned long>(ulErr));
        return;
    }
    // The system's texts end with a full stop and a line end.
    while (dwLen > 0 && (pcOut[dwLen - 1] == '\r' || pcOut[dwLen - 1] == '\n' || pcOut[dwLen - 1] == ' ' ||
                         pcOut[dwLen - 1] == '.')) {
        --dwLen;
    }
    pcOut[dwLen] = '\0';
}

// ---- Threads ----------------------------------------------------------------------------------------
namespace {
struct ThreadStart {
    PlatformThreadProc pfnProc;
    void* pvArg;
};

// CreateThread wants a WINAPI procedure (stdcall on 32-bit); the seam's procedures are plain functions.
DWORD WINAPI ThreadTrampoline(LPVOID pv) {
    ThreadStart tStart = *static_cast<ThreadStart*>(pv);
    delete static_cast<ThreadStart*>(pv);
    return tStart.pfnProc(tStart.pvArg);
}
}  // namespace

PlatformHandle PlatformThreadStart(PlatformThreadProc pfnProc, void* pvArg) {
    auto* ptStart = new (std::nothrow) ThreadStart{pfnProc, pvArg};
    if (ptStart == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return kInvalidHandle;
    }
    HANDLE hThread = CreateThread(nullptr, 0, ThreadTrampoline, ptStart, 0, nullptr);
    if (hThread == nullptr) {
        DWORD dwErr = GetLastError();
        delete ptStart;
        SetLastError(dwErr);
        return kInvalidHandle;
    }
    return FromHandle(hThread);
}

void PlatformThreadRelease(PlatformHandle hThread) {
    if (hThread != kInvalidHandle) {
        CloseHandle(ToHandle(hThread));
    }
}

void PlatformThreadJoin(PlatformHandle hThread) {
    if (hThread != kInvalidHandle) {
        WaitForSingleObject(ToHandle(hThread), INFINITE);
        CloseHandle(ToHandle(hThread));
    }
}

// ---- Executable path and text conversions ---------------------------------------------------------
int PlatformStartDirectory(char* pcOut, std::uint32_t ulCap) {
    if (ulCap > 0) {
        pcOut[0] = '\0';
    }
    return 0;
}

std::uint32_t PlatformExePathWide(wchar_t* pwcOut, std::uint32_t ulCap) {
    if (pwcOut == nullptr || ulCap == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    DWORD dwLen = GetModuleFileNameW(nullptr, pwcOut, ulCap);
    if (dwLen == 0) {
        pwcOut[0] = L'\0';
        return 0;
    }
    // A path that fills the whole field was cut short (older systems do not even terminate it): a cut
    // path names another directory, so it is refused.
    if (dwLen >= ulCap) {
        pwcOut[0] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return dwLen;
}

namespace {
// WideCharToMultiByte into the ANSI code page without best-fit mapping: a character the code page has
// no form for fails the conversion (ERROR_NO_UNICODE_TRANSLATION) instead of turning into a look-alike
// or the default character, which would name another folder. A UTF-8 code page has a form for every
// character and takes neither the flag nor the default-character check.
int WideToAnsiNoBestFit(const wchar_t* pwcIn, char* pcOut, int iCap) {
    const bool bUtf8 = GetACP() == CP_UTF8;
    BOOL bUsedDefault = FALSE;
    int iResult = WideCharToMultiByte(CP_ACP, bUtf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS, pwcIn, -1,
                                      pcOut, iCap, nullptr, bUtf8 ? nullptr : &bUsedDefault);
    if (iResult > 0 && bUsedDefault) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    return iResult;
}
}  // namespace

std::uint32_t PlatformWideToNarrow(const wchar_t* pwcIn, char* pcOut, std::uint32_t ulCap) {
    // Output that does not fit is refused whole, never cut.
    if (pcOut == nullptr) {
        int iNeeded = WideToAnsiNoBestFit(pwcIn, nullptr, 0);
        return iNeeded > 0 ? static_cast<std::uint32_t>(iNeeded) : 0;
    }
    if (ulCap == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    int iWritten = WideToAnsiNoBestFit(pwcIn, pcOut, ClampToInt(ulCap));
    if (iWritten <= 0) {
        pcOut[0] = '\0';
        return 0;
    }
    return static_cast<std::uint32_t>(iWritten);
}

std::uint32_t PlatformNarrowToWide(const char* pcIn, wchar_t* pwcOut, std::uint32_t ulCap) {
    if (pwcOut == nullptr) {
        int iNeeded = MultiByteToWideChar(CP_ACP, 0, pcIn, -1, nullptr, 0);
        return iNeeded > 0 ? static_cast<std::uint32_t>(iNeeded) : 0;
    }
    if (ulCap == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    int iWritten = MultiByteToWideChar(CP_ACP, 0, pcIn, -1, pwcOut, ClampToInt(ulCap));
    if (iWritten <= 0) {
        pwcOut[0] = L'\0';
        return 0;
    }
    return static_cast<std::uint32_t>(iWritten);
}
