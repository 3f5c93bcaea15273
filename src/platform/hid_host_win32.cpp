// The HID host of Windows: the HID class driver (hid.dll) and the device setup API (setupapi.dll).
// Each top-level collection of a device is an interface of its own, with its own device path.
// hid.dll is loaded at run time from the system directory, not imported (see LoadHidApi).
#include <windows.h>

#include <setupapi.h>

// mingw-w64's HID headers (hidsdi.h brings hidusage.h and hidpi.h) declare C functions without a C++ guard.
extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <vector>

#include "platform/hid_host.h"

namespace {
HANDLE ToHandle(PlatformHandle h) {
    return reinterpret_cast<HANDLE>(h);
}
PlatformHandle FromHandle(HANDLE h) {
    return h == INVALID_HANDLE_VALUE ? kInvalidHandle : reinterpret_cast<PlatformHandle>(h);
}

int FailBadHandle() {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
}

// ---- Read cancellation ------------------------------------------------------------------------------
// CancelRead must also stop a Read that is issued after it (the reader may be between two reads when the
// shutdown asks). So a cancelled read handle is remembered until it is closed; Read checks the mark
// before it waits and while it waits.
constexpr DWORD kCancelPollMs = 50;

// Never destroyed: a reader still in Read when the program returns from main checks them every 50 ms
// until the process ends.
std::mutex& g_tCancelLock = *new std::mutex();
std::vector<PlatformHandle>& g_vhCancelled = *new std::vector<PlatformHandle>();

bool IsCancelled(PlatformHandle hRead) {
    std::lock_guard<std::mutex> tGuard(g_tCancelLock);
    return std::find(g_vhCancelled.begin(), g_vhCancelled.end(), hRead) != g_vhCancelled.end();
}

void MarkCancelled(PlatformHandle hRead) {
    std::lock_guard<std::mutex> tGuard(g_tCancelLock);
    if (std::find(g_vhCancelled.begin(), g_vhCancelled.end(), hRead) == g_vhCancelled.end()) {
        g_vhCancelled.push_back(hRead);
    }
}

// A closed handle's value may come back for another open: its mark goes with it.
void ForgetCancelled(PlatformHandle h) {
    std::lock_guard<std::mutex> tGuard(g_tCancelLock);
    g_vhCancelled.erase(std::remove(g_vhCancelled.begin(), g_vhCancelled.end(), h), g_vhCancelled.end());
}

// ---- hid.dll, from the system directory only ---------------------------------------------------------
// hid.dll is not among the libraries Windows always takes from its system directory: imported, or loaded
// by name, it would be looked for in the program's folder first, and a file of that name lying there (a
// downloads folder) would run inside the program. So it is loaded by its place in the system directory,
// and its five functions are taken by name.
struct HidApi {
    decltype(&HidD_GetHidGuid) pfnGetHidGuid = nullptr;
    decltype(&HidD_GetAttributes) pfnGetAttributes = nullptr;
    decltype(&HidD_GetPreparsedData) pfnGetPreparsedData = nullptr;
    decltype(&HidP_GetCaps) pfnGetCaps = nullptr;
    decltype(&HidD_FreePreparsedData) pfnFreePreparsedData = nullptr;
    const char* strMissing = nullptr;  // what could not be had; nullptr when all five are there
    DWORD dwError = 0;
};

HMODULE LoadSystemHidLibrary() {
    // The LOAD_LIBRARY_SEARCH flags are known to the systems whose kernel32 has SetDefaultDllDirectories
    // (Windows 8 on, Windows 7 with its loader update); elsewhere the full path names the system's file.
    HMODULE hKernel = GetModuleHandleW(L"kernel32.dll");
    if (hKernel != nullptr && GetProcAddress(hKernel, "SetDefaultDllDirectories") != nullptr) {
        return LoadLibraryExW(L"hid.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    wchar_t awcPath[MAX_PATH + 16];
    const UINT uiLen = GetSystemDirectoryW(awcPath, MAX_PATH);
    if (uiLen == 0 || uiLen >= MAX_PATH) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    std::wcscpy(awcPath + uiLen, L"\\hid.dll");
    return LoadLibraryExW(awcPath, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

template <typename Fn>
void Resolve(HMODULE hLib, const char* strName, const char* strMissing, Fn* ppfn, HidApi* ptApi) {
    // Through the generic function type, which converts to and from every other without a warning.
    *ppfn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(hLib, strName)));
    if (*ppfn == nullptr && ptApi->strMissing == nullptr) {
        ptApi->strMissing = strMissing;
        ptApi->dwError = GetLastError();
    }
}

HidApi LoadHidApi() {
    HidApi tApi;
    HMODULE hLib = LoadSystemHidLibrary();
    if (hLib == nullptr) {
        tApi.strMissing = "hid.dll";
        tApi.dwError = GetLastError();
        return tApi;
    }
    Resolve(hLib, "HidD_GetHidGuid", "hid.dll HidD_GetHidGuid", &tApi.pfnGetHidGuid, &tApi);
    Resolve(hLib, "HidD_GetAttributes", "hid.dll HidD_GetAttributes", &tApi.pfnGetAttributes, &tApi);
    Resolve(hLib, "HidD_GetPreparsedData", "hid.dll HidD_GetPreparsedData", &tApi.pfnGetPreparsedData, &tApi);
    Resolve(hLib, "HidP_GetCaps", "hid.dll HidP_GetCaps", &tApi.pfnGetCaps, &tApi);
    Resolve(hLib, "HidD_FreePreparsedData", "hid.dll HidD_FreePreparsedData", &tApi.pfnFreePreparsedData,
            &tApi);
    return tApi;
}

// Loaded on first use, once for the process; the library stays loaded until the process ends.
const HidApi& Hid() {
    static const HidApi s_tApi = LoadHidApi();
    return s_tApi;
}

// Every slot that needs hid.dll fails with this when it could not be had.
bool HidMissing() {
    if (Hid().strMissing == nullptr) {
        return false;
    }
    SetLastError(Hid().dwError != 0 ? Hid().dwError : ERROR_MOD_NOT_FOUND);
    return true;
}

// ---- Interface list ---------------------------------------------------------------------------------
GUID HidInterfaceGuid() {
    GUID tGuid;
    std::memset(&tGuid, 0, sizeof(tGuid));
    if (!HidMissing()) {
        Hid().pfnGetHidGuid(&tGuid);
    }
    return tGuid;
}

PlatformHandle ListOpen(void*) {
    if (HidMissing()) {
        return kInvalidHandle;
    }
    GUID tGuid = HidInterfaceGuid();
    HDEVINFO hList = SetupDiGetClassDevsA(&tGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    return FromHandle(hList);
}

bool EnumInterface(PlatformHandle hList, std::uint32_t ulIndex, SP_DEVICE_INTERFACE_DATA* ptData) {
    if (hList == kInvalidHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    GUID tGuid = HidInterfaceGuid();
    std::memset(ptData, 0, sizeof(*ptData));
    ptData->cbSize = sizeof(*ptData);
    return SetupDiEnumDeviceInterfaces(ToHandle(hList), nullptr, &tGuid, ulIndex, ptData) != FALSE;
}

int ListEntry(void*, PlatformHandle hList, std::uint32_t ulIndex) {
    SP_DEVICE_INTERFACE_DATA tData;
    return EnumInterface(hList, ulIndex, &tData) ? 1 : 0;
}

// Size in bytes of the interface's detail record (header and device path), 0 when it cannot be had.
DWORD DetailRecordSize(PlatformHandle hList, SP_DEVICE_INTERFACE_DATA* ptData) {
    DWORD dwRequired = 0;
    SetupDiGetDeviceInterfaceDetailA(ToHandle(hList), ptData, nullptr, 0, &dwRequired, nullptr);
    if (dwRequired <= offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath)) {
        return 0;
    }
    return dwRequired;
}

std::uint32_t ListPathSize(void*, PlatformHandle hList, std::uint32_t ulIndex) {
    SP_DEVICE_INTERFACE_DATA tData;
    if (!EnumInterface(hList, ulIndex, &tData)) {
        return 0;
    }
    DWORD dwRequired = DetailRecordSize(hList, &tData);
    return dwRequired == 0 ? 0 : dwRequired - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
}

int ListPath(void*, PlatformHandle hList, std::uint32_t ulIndex, char* strPath, std::uint32_t ulCap) {
    if (strPath != nullptr && ulCap > 0) {
        strPath[0] = '\0';
    }
    SP_DEVICE_INTERFACE_DATA tData;
    if (strPath == nullptr || ulCap == 0 || !EnumInterface(hList, ulIndex, &tData)) {
        return 0;
    }
    DWORD dwRequired = DetailRecordSize(hList, &tData);
    if (dwRequired == 0) {
        return 0;
    }
    // The detail record comes from the heap, at the size the query gave; its size field is the size of
    // the fixed part, as the setup API requires.
    auto* ptDetail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::calloc(1, dwRequired));
    if (ptDetail == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    ptDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    int iResult = 0;
    if (SetupDiGetDeviceInterfaceDetailA(ToHandle(hList), &tData, ptDetail, dwRequired, nullptr, nullptr)) {
        std::size_t szRoom = dwRequired - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        std::size_t szLen = strnlen(ptDetail->DevicePath, szRoom);
        if (szLen < szRoom && szLen < ulCap) {
            std::memcpy(strPath, ptDetail->DevicePath, szLen + 1);
            iResult = 1;
        } else {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        }
    }
    std::free(ptDetail);
    return iResult;
}

void ListClose(void*, PlatformHandle hList) {
    if (hList != kInvalidHandle) {
        SetupDiDestroyDeviceInfoList(ToHandle(hList));
    }
}

// ---- Probe ------------------------------------------------------------------------------------------
PlatformHandle OpenPath(const char* strPath, DWORD dwAccess, DWORD dwFlags) {
    if (strPath == nullptr || strPath[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return kInvalidHandle;
    }
    return FromHandle(CreateFileA(strPath, dwAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, dwFlags, nullptr));
}

// No access asked: enough for the attribute and capability queries, and possible while another program
// holds the device open.
PlatformHandle ProbeOpen(void*, const char* strPath) {
    return OpenPath(strPath, 0, FILE_ATTRIBUTE_NORMAL);
}

int ProbeAttributes(void*, PlatformHandle hProbe, std::uint16_t* pusVid, std::uint16_t* pusPid) {
    *pusVid = 0;
    *pusPid = 0;
    if (hProbe == kInvalidHandle) {
        return FailBadHandle();
    }
    HIDD_ATTRIBUTES tAttributes;
    std::memset(&tAttributes, 0, sizeof(tAttributes));
    tAttributes.Size = sizeof(tAttributes);
    if (HidMissing() || !Hid().pfnGetAttributes(ToHandle(hProbe), &tAttributes)) {
        return 0;
    }
    *pusVid = tAttributes.VendorID;
    *pusPid = tAttributes.ProductID;
    return 1;
}

int ProbeCaps(void*, PlatformHandle hProbe, HidCaps* ptCaps) {
    std::memset(ptCaps, 0, sizeof(*ptCaps));
    if (hProbe == kInvalidHandle) {
        return FailBadHandle();
    }
    PHIDP_PREPARSED_DATA ptPreparsed = nullptr;
    if (HidMissing() || !Hid().pfnGetPreparsedData(ToHandle(hProbe), &ptPreparsed)) {
        return 0;
    }
    HIDP_CAPS tCaps;
    std::memset(&tCaps, 0, sizeof(tCaps));
    NTSTATUS lStatus = Hid().pfnGetCaps(ptPreparsed, &tCaps);
    Hid().pfnFreePreparsedData(ptPreparsed);
    if (lStatus != HIDP_STATUS_SUCCESS) {
        return 0;
    }
    ptCaps->Usage = tCaps.Usage;
    ptCaps->UsagePage = tCaps.UsagePage;
    ptCaps->InputReportByteLength = tCaps.InputReportByteLength;
    ptCaps->OutputReportByteLength = tCaps.OutputReportByteLength;
    ptCaps->FeatureReportByteLength = tCaps.FeatureReportByteLength;
    return 1;
}

// ---- Link handles -----------------------------------------------------------------------------------
// Longest a write of one output report may take. A tablet whose OUT endpoint stops accepting would
// otherwise hold the write, and the link's lock, for ever; the Linux USB stack gives up on such a
// transfer after the same 5 s.
constexpr DWORD kWriteLimitMs = 5000;

// Overlapped, so that a write can be given up on (see Write).
PlatformHandle OpenWrite(void*, const char* strPath) {
    return OpenPath(strPath, GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
}

PlatformHandle OpenRead(void*, const char* strPath) {
    PlatformHandle h = OpenPath(strPath, GENERIC_READ, FILE_FLAG_OVERLAPPED);
    if (h != kInvalidHandle) {
        ForgetCancelled(h);
    }
    return h;
}

PlatformHandle EventCreate(void*) {
    HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return hEvent == nullptr ? kInvalidHandle : FromHandle(hEvent);
}

int Read(void*, PlatformHandle hRead, PlatformHandle hEvent, std::uint8_t* pucBuf, std::uint32_t ulLen,
         std::uint32_t* pulGot) {
    *pulGot = 0;
    if (hRead == kInvalidHandle || hEvent == kInvalidHandle) {
        return FailBadHandle();
    }
    if (IsCancelled(hRead)) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return 0;
    }
    OVERLAPPED tOverlapped;
    std::memset(&tOverlapped, 0, sizeof(tOverlapped));
    tOverlapped.hEvent = ToHandle(hEvent);
    ResetEvent(ToHandle(hEvent));
    DWORD dwGot = 0;
    if (!ReadFile(ToHandle(hRead), pucBuf, ulLen, nullptr, &tOverlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        // Not even started: the event would never be signalled, so this is a failed read.
        return 0;
    }
    // Wait for the report. The wait wakes now and then to see whether CancelRead asked to stop (it also
    // cancels the I/O, which normally ends the wait at once).
    while (WaitForSingleObject(ToHandle(hEvent), kCancelPollMs) == WAIT_TIMEOUT) {
        if (IsCancelled(hRead)) {
            CancelIoEx(ToHandle(hRead), &tOverlapped);
            break;
        }
    }
    // Waits for the I/O to be over in every case: the control block and the buffer must not be left to
    // the driver after this returns.
    if (!GetOverlappedResult(ToHandle(hRead), &tOverlapped, &dwGot, TRUE)) {
        return 0;
    }
    *pulGot = dwGot;
    return 1;
}

void CancelRead(void*, PlatformHandle hRead) {
    if (hRead == kInvalidHandle) {
        return;
    }
    MarkCancelled(hRead);
    CancelIoEx(ToHandle(hRead), nullptr);
}

int Write(void*, PlatformHandle hWrite, const std::uint8_t* pucBuf, std::uint32_t ulLen,
          std::uint32_t* pulWritten) {
    *pulWritten = 0;
    if (hWrite == kInvalidHandle) {
        return FailBadHandle();
    }
    HANDLE hDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (hDone == nullptr) {
        return 0;
    }
    OVERLAPPED tOverlapped;
    std::memset(&tOverlapped, 0, sizeof(tOverlapped));
    tOverlapped.hEvent = hDone;
    if (!WriteFile(ToHandle(hWrite), pucBuf, ulLen, nullptr, &tOverlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        const DWORD dwErr = GetLastError();
        CloseHandle(hDone);
        SetLastError(dwErr);
        return 0;
    }
    // A write still pending at the limit is cancelled; either way the I/O is collected before this
    // returns, so the control block and the buffer are not left to the driver.
    bool bTimedOut = false;
    if (WaitForSingleObject(hDone, kWriteLimitMs) == WAIT_TIMEOUT) {
        CancelIoEx(ToHandle(hWrite), &tOverlapped);
        bTimedOut = true;
    }
    DWORD dwWritten = 0;
    const BOOL bDone = GetOverlappedResult(ToHandle(hWrite), &tOverlapped, &dwWritten, TRUE);
    const DWORD dwErr = GetLastError();
    CloseHandle(hDone);
    if (!bDone) {
        SetLastError(bTimedOut ? ERROR_TIMEOUT : dwErr);
        return 0;
    }
    // The class driver takes an output report whole or not at all: a completed write sent the report,
    // whatever count it gives back (Wine's gives one byte less than the report it sent).
    *pulWritten = dwWritten;
    return 1;
}

void Close(void*, PlatformHandle h) {
    if (h == kInvalidHandle) {
        return;
    }
    ForgetCancelled(h);
    CloseHandle(ToHandle(h));
}

const HidHost kWin32HidHost = {nullptr,   ListOpen,        ListEntry, ListPathSize, ListPath, ListClose,
                               ProbeOpen, ProbeAttributes, ProbeCaps, OpenWrite,    OpenRead, EventCreate,
                               Read,      CancelRead,      Write,     Close};
}  // namespace

const HidHost* PlatformDefaultHidHost() {
    return &kWin32HidHost;
}

const char* PlatformHidHostLoad(std::uint32_t* pulErr) {
    *pulErr = Hid().dwError;
    return Hid().strMissing;
}
