// The Win32 side of the operating-system seam, run under Wine: executable directory and the ANSI
// conversions (in the code page the test run asks for), files with their share modes and creation
// dispositions, threads, last error, the console's byte mode and its output code page.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/confg_file.h"
#include "device/device_table.h"
#include "platform/os.h"

namespace {

// The run's code page: 1252 by default under Wine, 936 with a Chinese locale (see CMakeLists.txt).
UINT ExpectedAcp() {
    const char* str = std::getenv("TAVELO_EXPECT_ACP");
    return str != nullptr ? static_cast<UINT>(std::atoi(str)) : GetACP();
}

TEST(WindowsCodePage, RunsInTheCodePageAskedFor) {
    EXPECT_EQ(GetACP(), ExpectedAcp());
}

// A fresh directory under the system's temporary directory, removed with its files at the end.
class TempDir {
  public:
    TempDir() {
        char acTemp[MAX_PATH];
        DWORD n = GetTempPathA(MAX_PATH, acTemp);
        EXPECT_GT(n, 0u);
        strDir_ = std::string(acTemp) + "tavelo_win_" + std::to_string(GetCurrentProcessId()) + "_" +
                  std::to_string(s_iCounter++) + "\\";
        EXPECT_TRUE(CreateDirectoryA(strDir_.c_str(), nullptr));
    }
    ~TempDir() {
        WIN32_FIND_DATAA tFind;
        HANDLE h = FindFirstFileA((strDir_ + "*").c_str(), &tFind);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                if ((tFind.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                    DeleteFileA((strDir_ + tFind.cFileName).c_str());
                }
            } while (FindNextFileA(h, &tFind));
            FindClose(h);
        }
        RemoveDirectoryA(strDir_.c_str());
    }
    std::string Path(const char* strName) const { return strDir_ + strName; }
    const std::string& Dir() const { return strDir_; }

  private:
    static inline int s_iCounter = 0;
    std::string strDir_;
};

std::string ReadAll(const std::string& strPath) {
    std::string str;
    std::FILE* pt = std::fopen(strPath.c_str(), "rb");
    if (pt == nullptr) {
        return "<missing>";
    }
    char ac[4096];
    std::size_t n;
    while ((n = std::fread(ac, 1, sizeof(ac), pt)) > 0) {
        str.append(ac, n);
    }
    std::fclose(pt);
    return str;
}

void WriteAll(const std::string& strPath, const std::string& strData) {
    std::FILE* pt = std::fopen(strPath.c_str(), "wb");
    ASSERT_NE(pt, nullptr);
    std::fwrite(strData.data(), 1, strData.size(), pt);
    std::fclose(pt);
}

// ---- Executable directory -----------------------------------------------------------------------

TEST(WindowsExeDirectory, IsTheDirectoryOfThisProgramEndingWithABackslash) {
    wchar_t awcModule[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, awcModule, MAX_PATH);
    ASSERT_GT(n, 0u);
    ASSERT_LT(n, static_cast<DWORD>(MAX_PATH));
    std::wstring wstrModule(awcModule, n);
    std::wstring wstrDir = wstrModule.substr(0, wstrModule.rfind(L'\\') + 1);

    auto pt = std::make_unique<ConfgFile>();
    std::memset(pt.get(), 0, sizeof(ConfgFile));
    ASSERT_EQ(GetExeDirectory(pt->strExeDir, pt->wstrExeDir), 1);
    EXPECT_EQ(std::wstring(pt->wstrExeDir), wstrDir);
    std::size_t szLen = std::strlen(pt->strExeDir);
    ASSERT_GT(szLen, 0u);
    EXPECT_EQ(pt->strExeDir[szLen - 1], '\\');

    // The ANSI directory names the same directory as the wide one.
    DWORD dwAttr = GetFileAttributesA(pt->strExeDir);
    ASSERT_NE(dwAttr, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(dwAttr & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(std::wstring(pt->wstrExeDir).size(), wstrDir.size());

    // The firmware paths are the directory and the file names, and are opened by the ANSI file interface.
    std::string strProbe = std::string(pt->strExeDir) + "Tavelo-KT1-Cipher.bin";
    WriteAll(strProbe, "probe");
    ASSERT_EQ(MatchDeviceId(0x0483, 0x7B01), 1);
    BuildFirmwarePath(E_FirmwareFile_McuCipher, pt->strExeDir, pt->strMcuCipherFilePath);
    EXPECT_EQ(std::string(pt->strMcuCipherFilePath), strProbe);
    PlatformHandle h = PlatformFileOpenRead(pt->strMcuCipherFilePath);
    EXPECT_NE(h, kInvalidHandle);
    PlatformFileClose(&h);
    DeleteFileA(strProbe.c_str());
}

TEST(WindowsExeDirectory, ExePathThatDoesNotFitIsRefusedNotCut) {
    wchar_t awcFull[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, awcFull, MAX_PATH);
    ASSERT_GT(n, 3u);

    std::vector<wchar_t> vwc(n + 1, L'x');
    EXPECT_EQ(PlatformExePathWide(vwc.data(), n + 1), n);  // exactly room for the terminator
    EXPECT_EQ(std::wstring(vwc.data()), std::wstring(awcFull, n));

    std::vector<wchar_t> vwcShort(n + 8, L'x');
    SetLastError(0);
    EXPECT_EQ(PlatformExePathWide(vwcShort.data(), n), 0u);  // one short: cut by the system, refused
    EXPECT_EQ(vwcShort[0], L'\0');
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    for (DWORD i = n; i < n + 8; ++i) {
        ASSERT_EQ(vwcShort[i], L'x') << "written past the field at " << i;
    }
}

// ---- ANSI conversions -----------------------------------------------------------------------------

TEST(WindowsAnsiConversion, AsciiPathRoundTripsWithTerminatorCounted) {
    char ac[kPathFieldBytes];
    wchar_t awc[kWidePathFieldChars];
    EXPECT_EQ(WideToAnsi(L"D:\\Tools\\", ac, kPathFieldBytes), 10u);
    EXPECT_STREQ(ac, "D:\\Tools\\");
    EXPECT_EQ(AnsiToWide(ac, awc, kWidePathFieldChars), 10u);
    EXPECT_EQ(std::wstring(awc), L"D:\\Tools\\");
    EXPECT_EQ(WideToAnsi(L"C:\\", ac, kPathFieldBytes), 4u);
    EXPECT_STREQ(ac, "C:\\");
}

TEST(WindowsAnsiConversion, FollowsTheSystemCodePage) {
    char ac[kPathFieldBytes];
    wchar_t awc[kWidePathFieldChars];
    if (GetACP() == 936) {
        // 固件 (firmware) in GBK, and back.
        EXPECT_EQ(WideToAnsi(L"C:\\\u56FA\u4EF6\\", ac, kPathFieldBytes), 9u);
        EXPECT_EQ(std::string(ac), std::string("C:\\\xB9\xCC\xBC\xFE\\"));
        EXPECT_EQ(AnsiToWide("C:\\\xB9\xCC\xBC\xFE\\", awc, kWidePathFieldChars), 7u);
        EXPECT_EQ(std::wstring(awc), std::wstring(L"C:\\\u56FA\u4EF6\\"));
    } else {
        ASSERT_EQ(GetACP(), 1252u);
        // é is in code page 1252. Chinese characters are not, and ā (a with macron) is there only as the
        // look-alike a: both fail the conversion instead of naming another folder ("C:\\??\\", C:\\a\\).
        EXPECT_EQ(WideToAnsi(L"C:\\caf\u00E9\\", ac, kPathFieldBytes), 9u);
        EXPECT_EQ(std::string(ac), std::string("C:\\caf\xE9\\"));
        EXPECT_EQ(WideToAnsi(L"C:\\\u56FA\u4EF6\\", ac, kPathFieldBytes), 0u);
        EXPECT_STREQ(ac, "");
        EXPECT_EQ(WideToAnsi(L"C:\\\u0101\\", ac, kPathFieldBytes), 0u);
        EXPECT_STREQ(ac, "");
        EXPECT_EQ(AnsiToWide("C:\\caf\xE9\\", awc, kWidePathFieldChars), 9u);
        EXPECT_EQ(std::wstring(awc), std::wstring(L"C:\\caf\u00E9\\"));
    }
}

TEST(WindowsAnsiConversion, OutputThatDoesNotFitIsRefusedAndTheFieldLeftEmpty) {
    // 255 characters and the terminator fit 256 bytes; 256 characters do not.
    std::wstring wstrFits(255, L'a');
    std::wstring wstrLong(256, L'a');
    std::vector<char> vc(kPathFieldBytes + 16, 'Z');
    EXPECT_EQ(WideToAnsi(wstrFits.c_str(), vc.data(), kPathFieldBytes), 256u);
    EXPECT_EQ(std::strlen(vc.data()), 255u);
    std::fill(vc.begin(), vc.end(), 'Z');
    EXPECT_EQ(WideToAnsi(wstrLong.c_str(), vc.data(), kPathFieldBytes), 0u);
    EXPECT_EQ(vc[0], '\0');
    for (std::size_t i = kPathFieldBytes; i < vc.size(); ++i) {
        ASSERT_EQ(vc[i], 'Z') << "written past the field at " << i;
    }

    std::string strLong(260, 'b');
    std::vector<wchar_t> vwc(kWidePathFieldChars + 16, L'Z');
    EXPECT_EQ(AnsiToWide(strLong.c_str(), vwc.data(), kWidePathFieldChars), 0u);
    EXPECT_EQ(vwc[0], L'\0');
    for (std::size_t i = kWidePathFieldChars; i < vwc.size(); ++i) {
        ASSERT_EQ(vwc[i], L'Z') << "written past the field at " << i;
    }
    std::string strFits(259, 'b');
    EXPECT_EQ(AnsiToWide(strFits.c_str(), vwc.data(), kWidePathFieldChars), 260u);

    if (GetACP() == 936) {
        // 128 Chinese characters are 128 wide characters but 256 bytes in GBK: the ANSI field is too small.
        std::wstring wstrCjk(128, L'\u56FA');
        std::fill(vc.begin(), vc.end(), 'Z');
        EXPECT_EQ(WideToAnsi(wstrCjk.c_str(), vc.data(), kPathFieldBytes), 0u);
        EXPECT_EQ(vc[0], '\0');
        EXPECT_EQ(vc[kPathFieldBytes], 'Z');
    }
}

TEST(WindowsAnsiConversion, PathWithCharactersOutsideTheCodePage) {
    // A file in a directory whose name is 固件: under code page 936 its ANSI path opens it; under 1252 the
    // name has no ANSI form, so there is no path to open at all.
    TempDir tDir;
    wchar_t awcDir[kWidePathFieldChars];
    ASSERT_GT(AnsiToWide(tDir.Dir().c_str(), awcDir, kWidePathFieldChars), 0u);
    std::wstring wstrSub = std::wstring(awcDir) + L"\u56FA\u4EF6\\";
    ASSERT_TRUE(CreateDirectoryW(wstrSub.c_str(), nullptr)) << GetLastError();
    std::wstring wstrFile = wstrSub + L"Tavelo-KT1-Cipher.bin";
    HANDLE hw = CreateFileW(wstrFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
    ASSERT_NE(hw, INVALID_HANDLE_VALUE);
    CloseHandle(hw);

    char acPath[kPathFieldBytes];
    if (GetACP() == 936) {
        ASSERT_GT(WideToAnsi(wstrFile.c_str(), acPath, kPathFieldBytes), 0u);
        PlatformHandle h = PlatformFileOpenRead(acPath);
        EXPECT_NE(h, kInvalidHandle);
        PlatformFileClose(&h);
    } else {
        EXPECT_EQ(WideToAnsi(wstrFile.c_str(), acPath, kPathFieldBytes), 0u);
    }
    DeleteFileW(wstrFile.c_str());
    RemoveDirectoryW(wstrSub.c_str());
}

// ---- Files ------------------------------------------------------------------------------------------

TEST(WindowsFiles, MissingFileFailsWithTheSystemsCode) {
    TempDir tDir;
    SetLastError(0);
    PlatformHandle h = PlatformFileOpenRead(tDir.Path("absent.bin").c_str());
    EXPECT_EQ(h, kInvalidHandle);
    EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(PlatformFileOpenRead(tDir.Path("nodir\\absent.bin").c_str()), kInvalidHandle);
    EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(PlatformFileOpenRead(""), kInvalidHandle);  // an unbuilt path field
    EXPECT_NE(PlatformLastError(), 0u);
}

TEST(WindowsFiles, FilesAreNotSharedWhileOpen) {
    TempDir tDir;
    std::string strPath = tDir.Path("held.bin");
    WriteAll(strPath, "0123456789");

    // Held for reading: a second reader and a writer are both refused with a sharing violation, and
    // the refused create does not empty the file.
    PlatformHandle hRead = PlatformFileOpenRead(strPath.c_str());
    ASSERT_NE(hRead, kInvalidHandle);
    EXPECT_EQ(PlatformFileOpenRead(strPath.c_str()), kInvalidHandle);
    EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(PlatformFileCreateWrite(strPath.c_str()), kInvalidHandle);
    EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION));
    PlatformFileClose(&hRead);
    EXPECT_EQ(hRead, kInvalidHandle);
    EXPECT_EQ(ReadAll(strPath), "0123456789");

    // Held for writing: no reader either.
    PlatformHandle hWrite = PlatformFileCreateWrite(strPath.c_str());
    ASSERT_NE(hWrite, kInvalidHandle);
    EXPECT_EQ(PlatformFileOpenRead(strPath.c_str()), kInvalidHandle);
    EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION));
    PlatformFileClose(&hWrite);

    // Another program's handle that shares nothing keeps ours out as well.
    HANDLE hOther = CreateFileA(strPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hOther, INVALID_HANDLE_VALUE);
    EXPECT_EQ(PlatformFileOpenRead(strPath.c_str()), kInvalidHandle);
    EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION));
    CloseHandle(hOther);
}

TEST(WindowsFiles, CreateReplacesAnExistingFileAndReadsFollowTheData) {
    TempDir tDir;
    std::string strPath = tDir.Path("out.bin");
    WriteAll(strPath, std::string(5000, 'o'));

    PlatformHandle h = PlatformFileCreateWrite(strPath.c_str());
    ASSERT_NE(h, kInvalidHandle);
    std::string strData;
    for (int i = 0; i < 3000; ++i) {
        strData.push_back(static_cast<char>(i * 7));
    }
    std::uint32_t ulPut = 0;
    EXPECT_EQ(PlatformFileWrite(h, strData.data(), 3000, &ulPut), 1);
    EXPECT_EQ(ulPut, 3000u);
    EXPECT_EQ(PlatformFileFlush(h), 1);
    PlatformFileClose(&h);
    EXPECT_EQ(ReadAll(strPath), strData);  // the old, longer content is gone whole

    h = PlatformFileOpenRead(strPath.c_str());
    ASSERT_NE(h, kInvalidHandle);
    std::uint64_t ullSize = 0;
    EXPECT_EQ(PlatformFileSize(h, &ullSize), 1);
    EXPECT_EQ(ullSize, 3000u);
    std::vector<char> vc(4096, 0);
    std::uint32_t ulGot = 0;
    EXPECT_EQ(PlatformFileRead(h, vc.data(), 1000, &ulGot), 1);
    EXPECT_EQ(ulGot, 1000u);
    EXPECT_EQ(std::string(vc.data(), 1000), strData.substr(0, 1000));
    EXPECT_EQ(PlatformFileRead(h, vc.data(), 4096, &ulGot), 1);  // short at the end of the file
    EXPECT_EQ(ulGot, 2000u);
    EXPECT_EQ(std::string(vc.data(), 2000), strData.substr(1000));
    EXPECT_EQ(PlatformFileRead(h, vc.data(), 4096, &ulGot), 1);
    EXPECT_EQ(ulGot, 0u);

    // Positioned reads, also reaching past the end.
    EXPECT_EQ(PlatformFileReadAt(h, 26, vc.data(), 100, &ulGot), 1);
    EXPECT_EQ(ulGot, 100u);
    EXPECT_EQ(std::string(vc.data(), 100), strData.substr(26, 100));
    EXPECT_EQ(PlatformFileReadAt(h, 2990, vc.data(), 100, &ulGot), 1);
    EXPECT_EQ(ulGot, 10u);
    EXPECT_EQ(PlatformFileReadAt(h, 5000, vc.data(), 100, &ulGot), 1);
    EXPECT_EQ(ulGot, 0u);
    PlatformFileClose(&h);
    PlatformFileClose(&h);  // a second close of a closed field does nothing
}

TEST(WindowsFiles, ClosedHandleFailsWithInvalidHandle) {
    std::uint32_t ul = 99;
    char ac[4];
    std::uint64_t ull = 0;
    EXPECT_EQ(PlatformFileRead(kInvalidHandle, ac, 4, &ul), 0);
    EXPECT_EQ(ul, 0u);
    EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(PlatformFileWrite(kInvalidHandle, ac, 4, &ul), 0);
    EXPECT_EQ(PlatformLastError(), PlatformBadHandleError());
    EXPECT_EQ(PlatformFileSize(kInvalidHandle, &ull), 0);
    EXPECT_EQ(PlatformBadHandleError(), static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));
}

TEST(WindowsFiles, ReplaceSwapsInTheNewFileOrLeavesBothAlone) {
    TempDir tDir;
    std::string strFrom = tDir.Path("new.tmp");
    std::string strTo = tDir.Path("target.bin");
    WriteAll(strFrom, "new content");
    WriteAll(strTo, "old content, longer");

    // The target held open without sharing: the replacement fails and neither file changes.
    PlatformHandle hHeld = PlatformFileOpenRead(strTo.c_str());
    ASSERT_NE(hHeld, kInvalidHandle);
    EXPECT_EQ(PlatformFileReplace(strFrom.c_str(), strTo.c_str()), 0);
    EXPECT_NE(PlatformLastError(), 0u);
    PlatformFileClose(&hHeld);
    EXPECT_EQ(ReadAll(strTo), "old content, longer");
    EXPECT_EQ(ReadAll(strFrom), "new content");

    EXPECT_EQ(PlatformFileReplace(strFrom.c_str(), strTo.c_str()), 1);
    EXPECT_EQ(ReadAll(strTo), "new content");
    EXPECT_EQ(ReadAll(strFrom), "<missing>");
    EXPECT_EQ(PlatformFileRemove(strTo.c_str()), 1);
    EXPECT_EQ(PlatformFileRemove(strTo.c_str()), 0);
    EXPECT_EQ(PlatformLastError(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
}

// However the process ends (here: its handle closed without the file kept), the temporary file goes.
TEST(WindowsFiles, TemporaryFileGoesWithItsHandleUnlessKept) {
    TempDir tDir;
    const std::string strTemp = tDir.Path("out.bin.tmp");
    for (const bool bKeep : {false, true}) {
        PlatformHandle h = PlatformFileCreateTemp(strTemp.c_str());
        ASSERT_NE(h, kInvalidHandle);
        EXPECT_EQ(PlatformFileWrite(h, "whole", 5, nullptr), 1);
        if (bKeep) {
            EXPECT_EQ(PlatformFileTempKeep(h), 1);
        }
        PlatformFileClose(&h);
        EXPECT_EQ(ReadAll(strTemp), bKeep ? "whole" : "<missing>");
        PlatformFileTempDone();
    }
}

// ---- Threads, errors, pauses ----------------------------------------------------------------------

std::uint32_t CountUp(void* pv) {
    static_cast<std::atomic<int>*>(pv)->fetch_add(1);
    return 0;
}

TEST(WindowsThreads, StartedThreadRunsWithItsArgumentAndCanBeJoinedOrReleased) {
    std::atomic<int> iCount{0};
    PlatformHandle h1 = PlatformThreadStart(CountUp, &iCount);
    ASSERT_NE(h1, kInvalidHandle);
    PlatformThreadJoin(h1);
    EXPECT_EQ(iCount.load(), 1);

    PlatformHandle h2 = PlatformThreadStart(CountUp, &iCount);
    ASSERT_NE(h2, kInvalidHandle);
    PlatformThreadRelease(h2);  // not waited for; it still runs
    std::uint64_t ullStart = PlatformNowMs();
    while (iCount.load() < 2 && PlatformNowMs() - ullStart < 10000) {
        PlatformSleepMs(1);
    }
    EXPECT_EQ(iCount.load(), 2);
}

TEST(WindowsThreads, LastErrorIsPerThreadAndRoundTrips) {
    PlatformSetLastError(1234);
    EXPECT_EQ(PlatformLastError(), 1234u);
    EXPECT_EQ(GetLastError(), 1234u);
    std::atomic<int> iCount{0};
    PlatformHandle h = PlatformThreadStart(
        [](void* pv) -> std::uint32_t {
            PlatformSetLastError(77);
            static_cast<std::atomic<int>*>(pv)->store(static_cast<int>(PlatformLastError()));
            return 0;
        },
        &iCount);
    PlatformThreadJoin(h);
    EXPECT_EQ(iCount.load(), 77);
    EXPECT_EQ(PlatformLastError(), 1234u);
}

// ---- Console ----------------------------------------------------------------------------------------

TEST(WindowsConsole, InitPutsStandardOutputIntoByteModeUnbuffered) {
    // Standard output on a text-mode pipe: before the set-up "\r\n" goes out as "\r\r\n"; after it, the
    // program's bytes go out unchanged and at once, without a flush. Standard error too.
    int aiPipe[2];
    int aiErrPipe[2];
    ASSERT_EQ(_pipe(aiPipe, 65536, _O_TEXT), 0);
    ASSERT_EQ(_pipe(aiErrPipe, 4096, _O_TEXT), 0);
    std::fflush(stdout);
    int iSaved = _dup(_fileno(stdout));
    int iSavedErr = _dup(_fileno(stderr));
    ASSERT_GE(iSaved, 0);
    ASSERT_EQ(_dup2(aiPipe[1], _fileno(stdout)), 0);
    ASSERT_EQ(_dup2(aiErrPipe[1], _fileno(stderr)), 0);
    _setmode(_fileno(stdout), _O_TEXT);
    _setmode(_fileno(stderr), _O_TEXT);

    std::printf("A\r\n");
    std::fflush(stdout);
    PlatformConsoleInit();
    std::printf("\r[Tavelo IAP]: \xB5\xC8\xB4\xFD\r\n");  // 等待 (waiting) in GBK
    std::printf("\rno line end");
    PlatformPrintf(" [" PLATFORM_SYSTEM_TEXT("%s") "]", "C:\\Jos\xE9\\");  // an ANSI path, marked
    std::fprintf(stderr, "taveloiap-cipher: error\r\n");

    _dup2(iSaved, _fileno(stdout));
    _dup2(iSavedErr, _fileno(stderr));
    _close(iSaved);
    _close(iSavedErr);
    _close(aiPipe[1]);
    _close(aiErrPipe[1]);
    _setmode(aiErrPipe[0], _O_BINARY);
    char acErr[64] = {};
    EXPECT_EQ(_read(aiErrPipe[0], acErr, sizeof(acErr) - 1), 25);
    EXPECT_STREQ(acErr, "taveloiap-cipher: error\r\n");
    _close(aiErrPipe[0]);
    _setmode(aiPipe[0], _O_BINARY);
    std::string strGot;
    char ac[256];
    int n;
    while ((n = _read(aiPipe[0], ac, sizeof(ac))) > 0) {
        strGot.append(ac, static_cast<std::size_t>(n));
    }
    _close(aiPipe[0]);
    EXPECT_EQ(strGot,
              std::string("A\r\r\n\r[Tavelo IAP]: \xB5\xC8\xB4\xFD\r\n\rno line end [C:\\Jos\xE9\\]"));
}

// ---- Console output code page ----------------------------------------------------------------------
// These need standard output on a console: CTest runs them under a pseudo-terminal (script), where Wine
// gives the program one (windows_console_code_page, CMakeLists.txt). Elsewhere they skip. The program
// under test is this one, started again as a child on the same console to run one case of its own
// (TAVELO_CONSOLE_CHILD names it), so that its exit, normal or by Ctrl+C, is seen from outside.

bool StdoutIsConsole() {
    DWORD dwMode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))), &dwMode) != 0;
}

// Standard output on a new screen buffer of this console while it lives, to read back what was written.
class ScreenAsStdout {
  public:
    ScreenAsStdout() {
        HANDLE h = CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, CONSOLE_TEXTMODE_BUFFER, nullptr);
        std::fflush(stdout);
        iSaved_ = _dup(_fileno(stdout));
        const int iFd = _open_osfhandle(reinterpret_cast<std::intptr_t>(h), _O_BINARY);
        EXPECT_EQ(_dup2(iFd, _fileno(stdout)), 0);
        _close(iFd);
    }
    ~ScreenAsStdout() {
        _dup2(iSaved_, _fileno(stdout));
        _close(iSaved_);
    }
    // Row y without its trailing blanks.
    static std::wstring Row(SHORT y) {
        std::wstring wstr(80, L' ');
        DWORD dwGot = 0;
        ReadConsoleOutputCharacterW(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))), wstr.data(),
                                    80, COORD{0, y}, &dwGot);
        wstr.resize(dwGot);
        return wstr.erase(wstr.find_last_not_of(L' ') + 1);
    }

  private:
    int iSaved_ = -1;
};

// Puts the characters of wstrKeys into this console's input, as if typed ('\r' is Enter).
void TypeKeys(const std::wstring& wstrKeys) {
    std::vector<INPUT_RECORD> vtKeys;
    for (wchar_t wc : wstrKeys) {
        for (BOOL bDown : {TRUE, FALSE}) {
            INPUT_RECORD t{};
            t.EventType = KEY_EVENT;
            t.Event.KeyEvent.bKeyDown = bDown;
            t.Event.KeyEvent.wRepeatCount = 1;
            t.Event.KeyEvent.wVirtualKeyCode = wc == L'\r' ? VK_RETURN : static_cast<WORD>(std::towupper(wc));
            t.Event.KeyEvent.uChar.UnicodeChar = wc;
            vtKeys.push_back(t);
        }
    }
    DWORD dwWritten = 0;
    EXPECT_TRUE(WriteConsoleInputW(GetStdHandle(STD_INPUT_HANDLE), vtKeys.data(),
                                   static_cast<DWORD>(vtKeys.size()), &dwWritten));
}

// Runs this program's case `strCase` as a child on this console; its exit code, or -1. With bCtrlC the
// child, once it has signalled the event TaveloConsoleChildReady, gets a Ctrl+C (sent to the whole
// console, which this process ignores from then on). dwCreation: CreateProcess flags (a new console).
long RunConsoleChild(const char* strCase, bool bCtrlC, DWORD dwCreation = 0) {
    wchar_t awcExe[MAX_PATH];
    if (GetModuleFileNameW(nullptr, awcExe, MAX_PATH) == 0) {
        return -1;
    }
    std::wstring strCmd = std::wstring(L"\"") + awcExe + L"\" --gtest_filter=WindowsConsoleCodePage.*";
    HANDLE hReady = CreateEventA(nullptr, TRUE, FALSE, "TaveloConsoleChildReady");
    SetEnvironmentVariableA("TAVELO_CONSOLE_CHILD", strCase);
    STARTUPINFOW tStart{};
    tStart.cb = sizeof(tStart);
    PROCESS_INFORMATION tProc{};
    BOOL bStarted = CreateProcessW(nullptr, strCmd.data(), nullptr, nullptr, FALSE, dwCreation, nullptr,
                                   nullptr, &tStart, &tProc);
    SetEnvironmentVariableA("TAVELO_CONSOLE_CHILD", nullptr);
    long lExit = -1;
    if (bStarted) {
        if (bCtrlC && WaitForSingleObject(hReady, 30000) == WAIT_OBJECT_0) {
            SetConsoleCtrlHandler(nullptr, TRUE);  // this process ignores the Ctrl+C it sends to both
            GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        }
        DWORD dwExit = 0;
        if (WaitForSingleObject(tProc.hProcess, 60000) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(tProc.hProcess, &dwExit)) {
            lExit = static_cast<long>(dwExit);
        } else {
            TerminateProcess(tProc.hProcess, 99);
        }
        CloseHandle(tProc.hThread);
        CloseHandle(tProc.hProcess);
    }
    CloseHandle(hReady);
    return lExit;
}

bool IsConsoleChild(const char* strCase) {
    const char* str = std::getenv("TAVELO_CONSOLE_CHILD");
    return str != nullptr && std::strcmp(str, strCase) == 0;
}

// The console's code page stays as it is; the texts go out as UTF-16, each from its own code page: the
// program's from GBK, the marked path from the ANSI code page. Read back from a screen buffer of its own.
TEST(WindowsConsoleCodePage, TheConsoleShowsEachTextFromItsOwnCodePageAndKeepsItsCodePage) {
    if (std::getenv("TAVELO_CONSOLE_CHILD") != nullptr) {
        GTEST_SKIP();
    }
    if (!StdoutIsConsole()) {
        GTEST_SKIP() << "standard output is no console here";
    }
    ASSERT_TRUE(SetConsoleOutputCP(850));
    ScreenAsStdout tScreen;
    PlatformConsoleInit();
    EXPECT_EQ(GetConsoleOutputCP(), 850u);
    // 中文：【测试】 in GBK, then a path in the ANSI code page: José\ (1252) or 固件\ (936). Read as GBK,
    // "\xE9\\" would be one character and the backslash gone.
    const bool b936 = GetACP() == 936;
    PlatformPrintf(
        "\xD6\xD0\xCE\xC4\xA3\xBA\xA1\xBE\xB2\xE2\xCA\xD4\xA1\xBF " PLATFORM_SYSTEM_TEXT("%s") " %d\r\n",
        b936 ? "C:\\\xB9\xCC\xBC\xFE\\" : "C:\\Jos\xE9\\", 7);
    EXPECT_EQ(tScreen.Row(0), std::wstring(L"\u4E2D\u6587\uFF1A\u3010\u6D4B\u8BD5\u3011 ") +
                                  (b936 ? L"C:\\\u56FA\u4EF6\\" : L"C:\\Jos\u00E9\\") + L" 7");
    EXPECT_EQ(GetConsoleOutputCP(), 850u);
}

// Reading a line ended by a Ctrl-C leaves ERROR_OPERATION_ABORTED: the Ctrl-C's handler is waited for,
// and when none comes (this process ignores Ctrl-C) the read is made again. Any other end (Ctrl-Z) is
// the end of input at once.
TEST(WindowsConsoleCodePage, OnlyAReadEndedByCtrlCWaitsForItsHandler) {
    DWORD dwMode = 0;
    if (std::getenv("TAVELO_CONSOLE_CHILD") != nullptr ||
        !GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &dwMode)) {
        GTEST_SKIP() << "standard input is no console here";
    }
    PlatformConsoleInit();
    for (const DWORD dwErr :
         {DWORD{ERROR_SUCCESS}, DWORD{ERROR_HANDLE_EOF}, DWORD{ERROR_OPERATION_ABORTED}}) {
        const std::uint64_t ullStart = PlatformNowMs();
        SetLastError(dwErr);
        const bool bAborted = dwErr == ERROR_OPERATION_ABORTED;
        EXPECT_EQ(PlatformInputEnded(), bAborted ? 1 : 0) << dwErr;
        EXPECT_EQ(PlatformNowMs() - ullStart >= 400u, bAborted) << dwErr;
    }
}

// A Ctrl+C removes the temporary file the child is writing, and leaves the console's code page alone.
TEST(WindowsConsoleCodePage, CtrlCRemovesTheTemporaryFile) {
    if (IsConsoleChild("break")) {
        PlatformConsoleInit();
        PlatformHandle hTemp = PlatformFileCreateTemp(std::getenv("TAVELO_CONSOLE_TEMP"));
        EXPECT_NE(hTemp, kInvalidHandle);
        EXPECT_EQ(PlatformFileWrite(hTemp, "part", 4, nullptr), 1);
        HANDLE hReady = OpenEventA(EVENT_MODIFY_STATE, FALSE, "TaveloConsoleChildReady");
        SetEvent(hReady);
        Sleep(30000);    // ended by the Ctrl+C
        ExitProcess(7);  // not ended: says so, and runs no atexit function
    }
    if (std::getenv("TAVELO_CONSOLE_CHILD") != nullptr) {
        GTEST_SKIP();
    }
    if (!StdoutIsConsole()) {
        GTEST_SKIP() << "standard output is no console here";
    }
    ASSERT_TRUE(SetConsoleOutputCP(850));
    char acTemp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, acTemp), 0u);
    const std::string strTemp = acTemp + std::string("tavelo_ctrlc_") + std::to_string(GetCurrentProcessId());
    SetEnvironmentVariableA("TAVELO_CONSOLE_TEMP", strTemp.c_str());
    const long lExit = RunConsoleChild("break", true);
    EXPECT_NE(lExit, 7);  // the Ctrl+C ended it (Windows: STATUS_CONTROL_C_EXIT; Wine: 0)
    EXPECT_NE(lExit, -1);
    EXPECT_EQ(GetConsoleOutputCP(), 850u);
    EXPECT_EQ(GetFileAttributesA(strTemp.c_str()), INVALID_FILE_ATTRIBUTES);
    DeleteFileA(strTemp.c_str());
}

// The closing wait of a program alone on its console: with standard output elsewhere it neither shows
// its line nor waits (an Enter typed ahead stays unread); on the console, "x" and Enter show the line
// again, and Enter alone ends the wait. The keys are typed once the line is there; keys typed before it
// are discarded.
void HoldAloneOnItsConsole() {
    HANDLE hIn = GetStdHandle(STD_INPUT_HANDLE);
    FlushConsoleInputBuffer(hIn);
    TypeKeys(L"\r");
    int aiPipe[2];
    ASSERT_EQ(_pipe(aiPipe, 4096, _O_BINARY), 0);
    std::fflush(stdout);
    int iSaved = _dup(_fileno(stdout));
    ASSERT_EQ(_dup2(aiPipe[1], _fileno(stdout)), 0);
    PlatformHoldOwnConsole("waits\r\n");
    _dup2(iSaved, _fileno(stdout));
    _close(iSaved);
    _close(aiPipe[1]);
    char ac[64] = {};
    EXPECT_EQ(_read(aiPipe[0], ac, sizeof(ac) - 1), 0) << ac;
    _close(aiPipe[0]);
    DWORD dwEvents = 0;
    EXPECT_TRUE(GetNumberOfConsoleInputEvents(hIn, &dwEvents));
    EXPECT_EQ(dwEvents, 2u);
    FlushConsoleInputBuffer(hIn);

    ScreenAsStdout tScreen;
    TypeKeys(L"q\r");  // typed ahead, during the upgrade: discarded before the line is shown
    std::atomic<int> iTyped{0};
    std::thread tTyper([&] {
        for (SHORT y = 0; y < 2; ++y) {
            const std::uint64_t ullStart = PlatformNowMs();
            while (ScreenAsStdout::Row(y) != L"waits" && PlatformNowMs() - ullStart < 10000) {
                Sleep(10);
            }
            if (ScreenAsStdout::Row(y) != L"waits") {
                return;
            }
            TypeKeys(y == 0 ? L"x\r" : L"\r");
            iTyped.store(y + 1);
        }
    });
    PlatformHoldOwnConsole("waits\r\n");
    tTyper.join();
    EXPECT_EQ(iTyped.load(), 2);
    EXPECT_EQ(ScreenAsStdout::Row(2), L"");
}

// The end of a program that ended by itself: alone on its console (started by double-click), it shows its
// line and waits; sharing the console (started from a command prompt), it ends at once. Under Wine this
// process is alone on its console; elsewhere (a command prompt) the case runs in a child on a new console.
TEST(WindowsConsoleCodePage, TheEndWaitsForEnterOnlyOnAConsoleOfItsOwn) {
    if (IsConsoleChild("shared")) {
        PlatformHoldOwnConsole("waits\r\n");  // nothing typed: a wait would last until the parent gives up
        return;
    }
    if (IsConsoleChild("alone")) {
        HoldAloneOnItsConsole();
        return;
    }
    if (std::getenv("TAVELO_CONSOLE_CHILD") != nullptr) {
        GTEST_SKIP();
    }
    if (!StdoutIsConsole()) {
        GTEST_SKIP() << "standard output is no console here";
    }
    EXPECT_EQ(RunConsoleChild("shared", false), 0);
    DWORD adwProcesses[2];
    if (GetConsoleProcessList(adwProcesses, 2) == 1) {
        HoldAloneOnItsConsole();
    } else {
        EXPECT_EQ(RunConsoleChild("alone", false, CREATE_NEW_CONSOLE), 0);
    }
}

TEST(WindowsConsoleCodePage, OutputToAPipeLeavesTheConsoleAsItIs) {
    if (std::getenv("TAVELO_CONSOLE_CHILD") != nullptr) {
        GTEST_SKIP();
    }
    if (!StdoutIsConsole()) {
        GTEST_SKIP() << "standard output is no console here";
    }
    ASSERT_TRUE(SetConsoleOutputCP(850));
    int aiPipe[2];
    ASSERT_EQ(_pipe(aiPipe, 4096, _O_BINARY), 0);
    std::fflush(stdout);
    int iSaved = _dup(_fileno(stdout));
    ASSERT_EQ(_dup2(aiPipe[1], _fileno(stdout)), 0);
    PlatformConsoleInit();
    const UINT uiDuring = GetConsoleOutputCP();
    _dup2(iSaved, _fileno(stdout));
    _close(iSaved);
    _close(aiPipe[0]);
    _close(aiPipe[1]);
    EXPECT_EQ(uiDuring, 850u);
}

}  // namespace
