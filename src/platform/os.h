// The operating-system seam: the few services the program takes from the system, declared once.
// One implementation per system is chosen at build time (os_posix.cpp or os_win32.cpp); nothing above
// this folder includes a system header.
#pragma once

#include <cstddef>
#include <cstdint>

// Format checks of PlatformPrintf, against the formatter mingw-w64 builds use (C99, not the system's).
#if defined(__MINGW32__)
#define TAVELO_PRINTF_FORMAT(iFormat, iArgs) __attribute__((format(gnu_printf, iFormat, iArgs)))
#else
#define TAVELO_PRINTF_FORMAT(iFormat, iArgs) __attribute__((format(printf, iFormat, iArgs)))
#endif

// A handle of the system (file, HID interface, thread, event). kInvalidHandle marks "nothing open".
using PlatformHandle = std::intptr_t;
inline constexpr PlatformHandle kInvalidHandle = -1;

// Directory separator of the system's paths ('\\' on Windows, '/' elsewhere).
extern const char kPathSeparator;
// Where an owner finds the supported models: the owner's guide as installed with the program (a path or
// file name, the same in every message language).
extern const char kPlatformOwnerGuide[];

// Prepares standard output for the program's lines: written without newline translation and without
// holding back text that has no line end (the waiting and progress lines). From here on a write to a
// pipe whose reader has gone fails and is dropped (SIGPIPE ignored on POSIX systems): a closed output
// pipe never ends the program.
void PlatformConsoleInit();

// The program's text on standard output: formatted into a buffer, then handed to the system whole, in
// one write where it can. Through the C library, mingw-w64's printf would send an unbuffered stream a
// character at a time, one console call each. Returns the bytes formatted, or -1.
int PlatformPrintf(const char* strFormat, ...) TAVELO_PRINTF_FORMAT(1, 2);
// Writes szLen bytes to standard output, after what the C library still holds for it; 1 / 0. Files and
// pipes get the bytes unchanged (write / WriteFile). On Windows a console gets the text as UTF-16
// (WriteConsoleW), its code page left as it is: the program's texts converted from GBK (code page 936,
// the build's encoding of its literals), the pieces marked by PLATFORM_SYSTEM_TEXT from the system's ANSI
// code page; the marks themselves are written nowhere.
int PlatformConsoleWrite(const char* pcText, std::size_t szLen);

// Marks a piece of a text that is in the system's narrow encoding rather than the program's: a path, or
// a system message from PlatformErrorText. Put around a conversion of a format, it goes along with the
// text formatted into a buffer and printed later:
//   PlatformPrintf("[Tavelo IAP]: file " PLATFORM_SYSTEM_TEXT("%s") "\r\n", strPath);
// Only Windows has two encodings (ANSI code page and GBK) and the marks (bytes 0x0E and 0x0F, which
// neither a GBK text nor a Windows path holds); elsewhere the piece is left as it is.
#if defined(_WIN32)
#define PLATFORM_SYSTEM_TEXT(strPiece) "\x0E" strPiece "\x0F"
#else
#define PLATFORM_SYSTEM_TEXT(strPiece) strPiece
#endif

// Libraries the process loads from now on come from the system directory only, the current directory
// left out of every search (Windows: SetDefaultDllDirectories where the system has it, SetDllDirectoryW
// with an empty name); nothing elsewhere. The programs call it first, before anything else is loaded.
void PlatformRestrictLibrarySearch();

// Pauses the calling thread.
void PlatformSleepMs(std::uint32_t ulMs);

// Monotonic milliseconds since an arbitrary start, for bounded waits.
std::uint64_t PlatformNowMs();

// The calling thread's last system error code (GetLastError / errno), as the lines of the program print it.
std::uint32_t PlatformLastError();
void PlatformSetLastError(std::uint32_t ulErr);
// The error code a call on an invalid handle leaves behind (ERROR_INVALID_HANDLE / EBADF).
std::uint32_t PlatformBadHandleError();
// Whether ulErr, left by a failed open of a device, says that another program holds the device:
// kPlatformInUse for a code that says so at once (ERROR_SHARING_VIOLATION / EBUSY), kPlatformInUseIfAgain
// for one that says so only when the same device gives it again on a later try (ERROR_ACCESS_DENIED, which
// an open also gets while a device that is being removed is still listed), 0 otherwise.
inline constexpr int kPlatformInUse = 1;
inline constexpr int kPlatformInUseIfAgain = 2;
int PlatformDeviceInUseError(std::uint32_t ulErr);
// 1 when ulErr, left by a failed read of a HID interface, says that a report came that the interface
// does not declare (EPROTO from the hidraw host), not that the device left; 0 otherwise.
int PlatformBadReportError(std::uint32_t ulErr);

// ---- Interruptions during a transfer to the tablet -------------------------------------------------
// Between PlatformTransferGuardBegin and PlatformTransferGuardEnd a closed terminal (SIGHUP) does not end
// the program (output that cannot be written is dropped), and Ctrl-C (SIGINT; on Windows the console's
// Ctrl-C and Ctrl-Break) only notes the request, which PlatformTransferInterrupted reports from then on
// until the next PlatformTransferGuardBegin. Outside the guard the system's default handling applies:
// Ctrl-C ends the program. A closed pipe ends it nowhere (PlatformConsoleInit).
void PlatformTransferGuardBegin();
void PlatformTransferGuardEnd();
int PlatformTransferInterrupted();
// A read of standard input returned nothing (a menu read), with the read's last error still set. On
// Windows a Ctrl-C at the console ends a pending read the same way (ERROR_OPERATION_ABORTED), while the
// default handling ends the process on another thread: when a Ctrl-C is under way this does not return,
// so the program ends as interrupted and not as if the input had ended. Returns 1 when the read is to be
// made again (a Ctrl-C that this process ignores ended it), 0 when the input has ended (at once for any
// other end, as a Ctrl-Z; always elsewhere).
int PlatformInputEnded();

// Discards what was typed on the terminal or console of standard input and not read yet (tcflush /
// FlushConsoleInputBuffer), so that keys pressed ahead do not answer a question not asked yet. Input from
// a file or pipe is left as it is.
void PlatformDiscardTypedAhead();

// ---- The end of the program ---------------------------------------------------------------------------
// When the program has a console window of its own (Windows, started by double-click: no other process
// shares its console, and its input and output are that console), prints strLine and waits for an empty
// line (Enter alone), so that the last lines stay readable before the window closes; after a line with
// anything on it, strLine is printed again and the wait goes on. Returns at once otherwise, at the end of
// input, and on other systems.
void PlatformHoldOwnConsole(const char* strLine);

// ---- Files ------------------------------------------------------------------------------------------
// The opens below take only a regular file (a file on a disk), and never wait: a FIFO, device, pipe or
// directory is refused at once with the code PlatformFileRefusalError gives for it (on POSIX systems
// the open is non-blocking and the file's type is taken from the open descriptor).
// Open an existing file for reading, not shared (GENERIC_READ, share 0, OPEN_EXISTING).
// Returns kInvalidHandle on failure, with the last error set.
PlatformHandle PlatformFileOpenRead(const char* strPath);
// Create or truncate a file for writing, not shared (GENERIC_WRITE, share 0, CREATE_ALWAYS).
PlatformHandle PlatformFileCreateWrite(const char* strPath);
// One read call of at most ulLen bytes at the current position; *pulRead receives the count. 1 / 0.
int PlatformFileRead(PlatformHandle h, void* pvBuf, std::uint32_t ulLen, std::uint32_t* pulRead);
// One read call of at most ulLen bytes at an absolute offset (the current position is not relied on).
int PlatformFileReadAt(PlatformHandle h, std::uint64_t ullOffset, void* pvBuf, std::uint32_t ulLen,
                       std::uint32_t* pulRead);
// Writes all ulLen bytes; 1 when every byte was written.
int PlatformFileWrite(PlatformHandle h, const void* pvBuf, std::uint32_t ulLen, std::uint32_t* pulWritten);
// Flushes written data to the storage device; 1 / 0.
int PlatformFileFlush(PlatformHandle h);
// Size of an open file in bytes; 1 / 0.
int PlatformFileSize(PlatformHandle h, std::uint64_t* pullSize);
// Closes *ph if it is not kInvalidHandle and sets it to kInvalidHandle.
void PlatformFileClose(PlatformHandle* ph);
// Replaces strTo by strFrom in one step (rename over an existing file); 1 / 0.
int PlatformFileReplace(const char* strFrom, const char* strTo);
// Removes a file; 1 / 0.
int PlatformFileRemove(const char* strPath);

// Create a new file for writing, not shared, failing when the name exists in any form (a file, a
// directory, a symbolic link even to nothing): O_CREAT|O_EXCL|O_NOFOLLOW / CREATE_NEW. The error of a
// name that exists is PlatformFileExistsError().
PlatformHandle PlatformFileCreateNew(const char* strPath);
std::uint32_t PlatformFileExistsError();

// A temporary file, created as PlatformFileCreateNew does (one at a time). Until PlatformFileTempDone, an
// interruption that ends the program (SIGINT or SIGTERM where the program has no handling of its own; on
// Windows the console's Ctrl-C, Ctrl-Break or closing) removes it on the way out, so none is left behind.
PlatformHandle PlatformFileCreateTemp(const char* strPath);
// On Windows the file is also marked delete-on-close when it is created, so it goes with its handle
// however the process ends; PlatformFileTempKeep clears the mark just before the file is closed and
// renamed into place (1 / 0; does nothing elsewhere and returns 1).
int PlatformFileTempKeep(PlatformHandle h);
// The temporary file was put in place or removed: an interruption removes nothing any more.
void PlatformFileTempDone();
// Gives the open file hTo the permission bits (rwx for owner, group, others) of the file strFrom, links
// followed; nothing on Windows, whose files have none.
void PlatformFileCopyMode(PlatformHandle hTo, const char* strFrom);

// What a path names, without opening it for reading or writing (nothing blocks, a file held open by
// another program can still be looked at).
enum class PlatformFileKind : std::uint8_t {
    kMissing,    // nothing there (also a symbolic link that leads nowhere)
    kRegular,    // a regular file
    kDirectory,  // a directory
    kOther,      // a device node, FIFO, socket, console or other special file
};
struct PlatformFileInfo {
    PlatformFileKind eKind = PlatformFileKind::kMissing;  // of what the path leads to, links followed
    int bLink = 0;                                        // the path itself is a symbolic link
    // Identity of the file the path leads to: device and inode / volume serial and file index. Two
    // paths name the same file when both are equal.
    std::uint64_t ullVolume = 0;
    std::uint64_t ullIndex = 0;
};
// 1 with *ptInfo filled (kMissing when nothing is there), 0 with the last error set when the path could
// not be looked at.
int PlatformFileQuery(const char* strPath, PlatformFileInfo* ptInfo);
// The path of the file that strPath leads to, all symbolic links followed, into pcOut (capacity ulCap).
// 1, or 0 with the last error set (a link that leads nowhere, a loop, a result that does not fit).
int PlatformFileResolve(const char* strPath, char* pcOut, std::uint32_t ulCap);

// 1 when ulErr, left by a failed open of a file that is there, says that this user may not read it
// (EACCES, EPERM / ERROR_ACCESS_DENIED); 0 otherwise.
int PlatformPermissionError(std::uint32_t ulErr);
// Calls pfnEach with the name of each entry of the directory strDir (a path ending with the separator),
// "." and ".." left out, in the system's narrow path encoding, until it returns 0. 1 when the directory
// could be read, 0 otherwise.
using PlatformDirEntryFn = int (*)(const char* strName, void* pvArg);
int PlatformListDirectory(const char* strDir, PlatformDirEntryFn pfnEach, void* pvArg);

// Error codes for paths the program refuses itself, so that its lines carry a code of the system.
enum class PlatformFileRefusal : std::uint8_t {
    kDirectory,   // a directory where a file is meant (EISDIR / ERROR_ACCESS_DENIED)
    kNotRegular,  // a special file where a regular file is meant (EINVAL / ERROR_ACCESS_DENIED)
    kInUse,       // the file is in use as the operation's input (EBUSY / ERROR_SHARING_VIOLATION)
};
std::uint32_t PlatformFileRefusalError(PlatformFileRefusal eRefusal);

// The system's text for an error code, in English where the system has it, into pcOut (capacity ulCap,
// at least 1): one line without line end or closing full stop.
void PlatformErrorText(std::uint32_t ulErr, char* pcOut, std::uint32_t ulCap);

// ---- Threads ----------------------------------------------------------------------------------------
using PlatformThreadProc = std::uint32_t (*)(void* pvArg);
// Starts a thread at once (CreateThread / pthread_create). Returns its handle, kInvalidHandle on failure.
PlatformHandle PlatformThreadStart(PlatformThreadProc pfnProc, void* pvArg);
// Releases a thread handle without waiting for the thread (CloseHandle / pthread_detach).
void PlatformThreadRelease(PlatformHandle hThread);
// Waits for a thread to end and releases its handle. Only for handles not released.
void PlatformThreadJoin(PlatformHandle hThread);

// ---- Executable path and text conversions ---------------------------------------------------------
// The folder the program was started from, where an owner keeps a downloaded firmware file: the current
// directory, ending with the separator, into pcOut (capacity ulCap). Returns 1; 0 with pcOut empty when
// it cannot be had or does not fit, and always on Windows, where the program looks for its files beside
// itself only (a double-clicked program's current directory is not one the owner chose).
int PlatformStartDirectory(char* pcOut, std::uint32_t ulCap);
// Full path of the running executable as wide characters into pwcOut (capacity in wide characters,
// terminator included). Returns the number of characters written without the terminator, 0 on failure
// or when the path does not fit (pwcOut is then left empty).
std::uint32_t PlatformExePathWide(wchar_t* pwcOut, std::uint32_t ulCap);
// Wide text (NUL-terminated) to the system's narrow path encoding (ANSI code page / UTF-8).
// With pcOut null: returns the bytes needed, terminator included. Otherwise converts into pcOut
// (capacity ulCap) and returns the bytes written with the terminator, or 0 when it does not fit.
std::uint32_t PlatformWideToNarrow(const wchar_t* pwcIn, char* pcOut, std::uint32_t ulCap);
// The reverse conversion; counts in wide characters, terminator included.
std::uint32_t PlatformNarrowToWide(const char* pcIn, wchar_t* pwcOut, std::uint32_t ulCap);
