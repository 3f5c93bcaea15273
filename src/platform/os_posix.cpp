// POSIX implementation of the operating-system seam (Linux). Paths are UTF-8.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

#include "platform/os.h"

const char kPathSeparator = '/';
const char kPlatformOwnerGuide[] = "/usr/share/doc/taveloiap/README.gz (man taveloiap)";

void PlatformConsoleInit() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // A write to a pipe whose reader has gone fails and is dropped, for the whole run: the program goes on
    // to its end and its exit status instead of dying of SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
}

// One write(2) for an unbuffered stdout: glibc hands a whole fwrite to the system at once.
int PlatformConsoleWrite(const char* pcText, std::size_t szLen) {
    return std::fwrite(pcText, 1, szLen, stdout) == szLen ? 1 : 0;
}

// Shared objects are searched as the system's loader decides; the programs load none themselves.
void PlatformRestrictLibrarySearch() {}

void PlatformSleepMs(std::uint32_t ulMs) {
    struct timespec ts;
    ts.tv_sec = ulMs / 1000;
    ts.tv_nsec = static_cast<long>(ulMs % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

std::uint64_t PlatformNowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

std::uint32_t PlatformLastError() {
    return static_cast<std::uint32_t>(errno);
}
void PlatformSetLastError(std::uint32_t ulErr) {
    errno = static_cast<int>(ulErr);
}
std::uint32_t PlatformBadHandleError() {
    return EBADF;
}

int PlatformDeviceInUseError(std::uint32_t ulErr) {
    return ulErr == EBUSY ? kPlatformInUse : 0;
}

int PlatformBadReportError(std::uint32_t ulErr) {
    return ulErr == EPROTO ? 1 : 0;
}

// ---- Interruptions during a transfer ---------------------------------------------------------------
namespace {
std::atomic<int> g_bInterrupted{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");
struct sigaction g_tOldInt;
struct sigaction g_tOldHup;

extern "C" void OnInterrupt(int) {
    g_bInterrupted.store(1, std::memory_order_relaxed);
}
}  // namespace

void PlatformTransferGuardBegin() {
    g_bInterrupted.store(0, std::memory_order_relaxed);
    struct sigaction tNote;
    std::memset(&tNote, 0, sizeof(tNote));
    tNote.sa_handler = OnInterrupt;
    tNote.sa_flags = SA_RESTART;
    sigemptyset(&tNote.sa_mask);
    struct sigaction tIgnore;
    std::memset(&tIgnore, 0, sizeof(tIgnore));
    tIgnore.sa_handler = SIG_IGN;
    sigemptyset(&tIgnore.sa_mask);
    sigaction(SIGINT, &tNote, &g_tOldInt);
    sigaction(SIGHUP, &tIgnore, &g_tOldHup);
}

void PlatformTransferGuardEnd() {
    sigaction(SIGHUP, &g_tOldHup, nullptr);
    sigaction(SIGINT, &g_tOldInt, nullptr);
}

int PlatformTransferInterrupted() {
    return g_bInterrupted.load(std::memory_order_relaxed);
}

namespace {
int ToFd(PlatformHandle h) {
    return static_cast<int>(h);
}

// Files are opened "not shared" on Windows; an advisory lock is the nearest POSIX equivalent.
// Only a regular file is opened: O_NONBLOCK keeps the open of a FIFO (or a device) from waiting for a
// peer, and what is not a regular file is closed again at once (EISDIR, EINVAL). A regular file ignores
// O_NONBLOCK.
PlatformHandle OpenLocked(const char* strPath, int iFlags, int iLockType) {
    if (strPath == nullptr || strPath[0] == '\0') {
        errno = ENOENT;
        return kInvalidHandle;
    }
    int fd = open(strPath, iFlags | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        return kInvalidHandle;
    }
    struct stat st;
    int iRefused = fstat(fd, &st) != 0   ? errno
                   : S_ISREG(st.st_mode) ? 0
                   : S_ISDIR(st.st_mode) ? EISDIR
                                         : EINVAL;
    if (iRefused != 0) {
        close(fd);
        errno = iRefused;
        return kInvalidHandle;
    }
    struct flock fl;
    std::memset(&fl, 0, sizeof(fl));
    fl.l_type = static_cast<short>(iLockType);
    fl.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &fl) != 0) {
        int err = errno;
        close(fd);
        errno = (err == EAGAIN || err == EACCES) ? EBUSY : err;
        return kInvalidHandle;
    }
    return fd;
}
}  // namespace

PlatformHandle PlatformFileOpenRead(const char* strPath) {
    return OpenLocked(strPath, O_RDONLY, F_RDLCK);
}

PlatformHandle PlatformFileCreateWrite(const char* strPath) {
    // Lock before truncating, so a file another process holds is not emptied under it.
    PlatformHandle h = OpenLocked(strPath, O_WRONLY | O_CREAT, F_WRLCK);
    if (h != kInvalidHandle && ftruncate(ToFd(h), 0) != 0) {
        int err = errno;
        close(ToFd(h));
        errno = err;
        return kInvalidHandle;
    }
    return h;
}

namespace {
// One read "call" as the caller sees it: loops over short reads of a regular file until ulLen bytes or
// the end of the file. llOffset < 0 reads at the current position, else at that absolute offset.
int ReadFully(PlatformHandle h, long long llOffset, void* pvBuf, std::uint32_t ulLen,
              std::uint32_t* pulRead) {
    if (pulRead != nullptr) {
        *pulRead = 0;
    }
    if (h == kInvalidHandle) {
        errno = EBADF;
        return 0;
    }
    std::uint32_t ulDone = 0;
    auto* puc = static_cast<unsigned char*>(pvBuf);
    int iResult = 1;
    while (ulDone < ulLen) {
        ssize_t n = llOffset < 0
                        ? read(ToFd(h), puc + ulDone, ulLen - ulDone)
                        : pread(ToFd(h), puc + ulDone, ulLen - ulDone, static_cast<off_t>(llOffset + ulDone));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            iResult = 0;
        }
        if (n <= 0) {
            break;
        }
        ulDone += static_cast<std::uint32_t>(n);
    }
    if (pulRead != nullptr) {
        *pulRead = ulDone;
    }
    return iResult;
}
}  // namespace

int PlatformFileRead(PlatformHandle h, void* pvBuf, std::uint32_t ulLen, std::uint32_t* pulRead) {
    return ReadFully(h, -1, pvBuf, ulLen, pulRead);
}

int PlatformFileReadAt(PlatformHandle h, std::uint64_t ullOffset, void* pvBuf, std::uint32_t ulLen,
                       std::uint32_t* pulRead) {
    return ReadFully(h, static_cast<long long>(ullOffset), pvBuf, ulLen, pulRead);
}

int PlatformFileWrite(PlatformHandle h, const void* pvBuf, std::uint32_t ulLen, std::uint32_t* pulWritten) {
    if (pulWritten != nullptr) {
        *pulWritten = 0;
    }
    if (h == kInvalidHandle) {
        errno = EBADF;
        return 0;
    }
    std::uint32_t ulDone = 0;
    const auto* puc = static_cast<const unsigned char*>(pvBuf);
    while (ulDone < ulLen) {
        ssize_t n = write(ToFd(h), puc + ulDone, ulLen - ulDone);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        ulDone += static_cast<std::uint32_t>(n);
    }
    if (pulWritten != nullptr) {
        *pulWritten = ulDone;
    }
    return ulDone == ulLen ? 1 : 0;
}

int PlatformFileFlush(PlatformHandle h) {
    if (h == kInvalidHandle) {
        errno = EBADF;
        return 0;
    }
    return fsync(ToFd(h)) == 0 ? 1 : 0;
}

int PlatformFileSize(PlatformHandle h, std::uint64_t* pullSize) {
    struct stat st;
    if (h == kInvalidHandle || fstat(ToFd(h), &st) != 0) {
        if (h == kInvalidHandle) {
            errno = EBADF;
        }
        return 0;
    }
    *pullSize = static_cast<std::uint64_t>(st.st_size);
    return 1;
}

void PlatformFileClose(PlatformHandle* ph) {
    if (ph != nullptr && *ph != kInvalidHandle) {
        close(ToFd(*ph));
        *ph = kInvalidHandle;
    }
}

int PlatformFileReplace(const char* strFrom, const char* strTo) {
    return rename(strFrom, strTo) == 0 ? 1 : 0;
}

int PlatformFileRemove(const char* strPath) {
    return unlink(strPath) == 0 ? 1 : 0;
}

PlatformHandle PlatformFileCreateNew(const char* strPath) {
    return OpenLocked(strPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, F_WRLCK);
}

std::uint32_t PlatformFileExistsError() {
    return EEXIST;
}

namespace {
// The temporary file an interruption removes: its path, and whether it is still there under that name
// (set after the path is written). Changed only while SIGINT and SIGTERM are blocked, read by the handler.
char g_acTempPath[4096];
std::atomic<int> g_bTempArmed{0};
struct sigaction g_tOldTempInt;
struct sigaction g_tOldTempTerm;

extern "C" void OnTempInterrupt(int iSignal) {
    if (g_bTempArmed.load(std::memory_order_acquire)) {
        unlink(g_acTempPath);
    }
    // Then the signal's own ending: default handling, delivered again when the handler returns.
    signal(iSignal, SIG_DFL);
    raise(iSignal);
}

// Runs fn with SIGINT and SIGTERM held back, so that the handler never sees a half-made change.
template <typename Fn>
void WithInterruptsBlocked(Fn fn) {
    sigset_t tBlock;
    sigset_t tOld;
    sigemptyset(&tBlock);
    sigaddset(&tBlock, SIGINT);
    sigaddset(&tBlock, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &tBlock, &tOld);
    fn();
    pthread_sigmask(SIG_SETMASK, &tOld, nullptr);
}

// Takes over iSignal where it would end the program (default handling); a signal the program ignores or
// handles itself is left as it is. *ptOld keeps what was there.
void TakeSignalForTemp(int iSignal, struct sigaction* ptOld) {
    sigaction(iSignal, nullptr, ptOld);
    if (ptOld->sa_handler == SIG_DFL && (ptOld->sa_flags & SA_SIGINFO) == 0) {
        struct sigaction tRemove;
        std::memset(&tRemove, 0, sizeof(tRemove));
        tRemove.sa_handler = OnTempInterrupt;
        sigemptyset(&tRemove.sa_mask);
        sigaction(iSignal, &tRemove, nullptr);
    }
}

// Puts back what TakeSignalForTemp found, if it took the signal over.
void GiveSignalBack(int iSignal, const struct sigaction* ptOld) {
    struct sigaction tNow;
    sigaction(iSignal, nullptr, &tNow);
    if (tNow.sa_handler == OnTempInterrupt) {
        sigaction(iSignal, ptOld, nullptr);
    }
}
}  // namespace

PlatformHandle PlatformFileCreateTemp(const char* strPath) {
    if (strPath != nullptr && std::strlen(strPath) >= sizeof(g_acTempPath)) {
        errno = ENAMETOOLONG;
        return kInvalidHandle;
    }
    PlatformHandle h = kInvalidHandle;
    int iErr = 0;
    WithInterruptsBlocked([&] {
        h = PlatformFileCreateNew(strPath);
        iErr = errno;
        if (h != kInvalidHandle && !g_bTempArmed.load(std::memory_order_relaxed)) {
            std::strcpy(g_acTempPath, strPath);
            g_bTempArmed.store(1, std::memory_order_release);
            TakeSignalForTemp(SIGINT, &g_tOldTempInt);
            TakeSignalForTemp(SIGTERM, &g_tOldTempTerm);
        }
    });
    errno = iErr;
    return h;
}

// An interrupted program removes the file by its signal handler; nothing is marked on the file itself.
int PlatformFileTempKeep(PlatformHandle) {
    return 1;
}

void PlatformFileTempDone() {
    WithInterruptsBlocked([] {
        if (g_bTempArmed.exchange(0) != 0) {
            GiveSignalBack(SIGINT, &g_tOldTempInt);
            GiveSignalBack(SIGTERM, &g_tOldTempTerm);
        }
    });
}

void PlatformFileCopyMode(PlatformHandle hTo, const char* strFrom) {
    struct stat st;
    if (hTo != kInvalidHandle && stat(strFrom, &st) == 0) {
        fchmod(ToFd(hTo), st.st_mode & 0777);
    }
}

int PlatformFileQuery(const char* strPath, PlatformFileInfo* ptInfo) {
    *ptInfo = PlatformFileInfo{};
    if (strPath == nullptr || strPath[0] == '\0') {
        errno = ENOENT;
        return 0;
    }
    struct stat st;
    if (lstat(strPath, &st) != 0) {
        return errno == ENOENT ? 1 : 0;
    }
    ptInfo->bLink = S_ISLNK(st.st_mode) ? 1 : 0;
    if (ptInfo->bLink && stat(strPath, &st) != 0) {
        return errno == ENOENT ? 1 : 0;
    }
    if (S_ISREG(st.st_mode)) {
        ptInfo->eKind = PlatformFileKind::kRegular;
    } else if (S_ISDIR(st.st_mode)) {
        ptInfo->eKind = PlatformFileKind::kDirectory;
    } else {
        ptInfo->eKind = PlatformFileKind::kOther;
    }
    ptInfo->ullVolume = static_cast<std::uint64_t>(st.st_dev);
    ptInfo->ullIndex = static_cast<std::uint64_t>(st.st_ino);
    return 1;
}

int PlatformFileResolve(const char* strPath, char* pcOut, std::uint32_t ulCap) {
    char* pcReal = realpath(strPath, nullptr);
    if (pcReal == nullptr) {
        return 0;
    }
    std::size_t szLen = std::strlen(pcReal);
    int bFits = szLen < ulCap ? 1 : 0;
    if (bFits) {
        std::memcpy(pcOut, pcReal, szLen + 1);
    } else {
        errno = ENAMETOOLONG;
    }
    std::free(pcReal);
    return bFits;
}

std::uint32_t PlatformFileRefusalError(PlatformFileRefusal eRefusal) {
    switch (eRefusal) {
        case PlatformFileRefusal::kDirectory:
            return EISDIR;
        case PlatformFileRefusal::kNotRegular:
            return EINVAL;
        case PlatformFileRefusal::kInUse:
            break;
    }
    return EBUSY;
}

int PlatformPermissionError(std::uint32_t ulErr) {
    return ulErr == EACCES || ulErr == EPERM ? 1 : 0;
}

int PlatformListDirectory(const char* strDir, PlatformDirEntryFn pfnEach, void* pvArg) {
    DIR* ptDir = opendir(strDir);
    if (ptDir == nullptr) {
        return 0;
    }
    while (const dirent* ptEntry = readdir(ptDir)) {
        if (std::strcmp(ptEntry->d_name, ".") != 0 && std::strcmp(ptEntry->d_name, "..") != 0 &&
            pfnEach(ptEntry->d_name, pvArg) == 0) {
            break;
        }
    }
    closedir(ptDir);
    return 1;
}

void PlatformErrorText(std::uint32_t ulErr, char* pcOut, std::uint32_t ulCap) {
    std::snprintf(pcOut, ulCap, "%s", std::strerror(static_cast<int>(ulErr)));
}

// A read of a terminal or pipe ends only at its end here: a Ctrl-C ends the process by its signal.
int PlatformInputEnded() {
    return 0;
}

// A terminal stays open when the program ends.
void PlatformHoldOwnConsole(const char*) {}

void PlatformDiscardTypedAhead() {
    if (isatty(STDIN_FILENO) != 0) {
        tcflush(STDIN_FILENO, TCIFLUSH);
    }
}

// ---- Threads ----------------------------------------------------------------------------------------
namespace {
struct ThreadStart {
    PlatformThreadProc pfnProc;
    void* pvArg;
};

void* ThreadTrampoline(void* pv) {
    ThreadStart tStart = *static_cast<ThreadStart*>(pv);
    delete static_cast<ThreadStart*>(pv);
    tStart.pfnProc(tStart.pvArg);
    return nullptr;
}
}  // namespace

PlatformHandle PlatformThreadStart(PlatformThreadProc pfnProc, void* pvArg) {
    auto* ptStart = new (std::nothrow) ThreadStart{pfnProc, pvArg};
    if (ptStart == nullptr) {
        errno = ENOMEM;
        return kInvalidHandle;
    }
    pthread_t tThread;
    int err = pthread_create(&tThread, nullptr, ThreadTrampoline, ptStart);
    if (err != 0) {
        delete ptStart;
        errno = err;
        return kInvalidHandle;
    }
    static_assert(sizeof(pthread_t) <= sizeof(PlatformHandle), "pthread_t must fit a handle");
    return static_cast<PlatformHandle>(tThread);
}

void PlatformThreadRelease(PlatformHandle hThread) {
    if (hThread != kInvalidHandle) {
        pthread_detach(static_cast<pthread_t>(hThread));
    }
}

void PlatformThreadJoin(PlatformHandle hThread) {
    if (hThread != kInvalidHandle) {
        pthread_join(static_cast<pthread_t>(hThread), nullptr);
    }
}

// ---- Executable path and text conversions ---------------------------------------------------------
int PlatformStartDirectory(char* pcOut, std::uint32_t ulCap) {
    if (ulCap < 2 || getcwd(pcOut, ulCap - 1) == nullptr) {
        if (ulCap > 0) {
            pcOut[0] = '\0';
        }
        return 0;
    }
    std::size_t szLen = std::strlen(pcOut);
    if (szLen == 0 || pcOut[szLen - 1] != '/') {
        pcOut[szLen] = '/';
        pcOut[szLen + 1] = '\0';
    }
    return 1;
}

std::uint32_t PlatformExePathWide(wchar_t* pwcOut, std::uint32_t ulCap) {
    if (pwcOut == nullptr || ulCap == 0) {
        return 0;
    }
    pwcOut[0] = L'\0';
    char acPath[4096];
    ssize_t n = readlink("/proc/self/exe", acPath, sizeof(acPath) - 1);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof(acPath) - 1) {
        return 0;
    }
    acPath[n] = '\0';
    std::uint32_t ulNeeded = PlatformNarrowToWide(acPath, nullptr, 0);
    if (ulNeeded == 0 || ulNeeded > ulCap) {
        errno = ENAMETOOLONG;
        return 0;
    }
    std::uint32_t ulWritten = PlatformNarrowToWide(acPath, pwcOut, ulCap);
    return ulWritten == 0 ? 0 : ulWritten - 1;
}

// UTF-8 <-> UTF-32 (wchar_t is 32 bits here). Invalid input bytes become U+FFFD, as a code page's
// default character stands in on Windows.
std::uint32_t PlatformWideToNarrow(const wchar_t* pwcIn, char* pcOut, std::uint32_t ulCap) {
    std::uint32_t ulLen = 0;
    auto put = [&](unsigned char uc) {
        if (pcOut != nullptr && ulLen < ulCap) {
            pcOut[ulLen] = static_cast<char>(uc);
        }
        ++ulLen;
    };
    for (const wchar_t* p = pwcIn;; ++p) {
        auto c = static_cast<std::uint32_t>(*p);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            put(static_cast<unsigned char>(c));
        } else if (c < 0x800) {
            put(static_cast<unsigned char>(0xC0 | (c >> 6)));
            put(static_cast<unsigned char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            put(static_cast<unsigned char>(0xE0 | (c >> 12)));
            put(static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F)));
            put(static_cast<unsigned char>(0x80 | (c & 0x3F)));
        } else {
            put(static_cast<unsigned char>(0xF0 | (c >> 18)));
            put(static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F)));
            put(static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F)));
            put(static_cast<unsigned char>(0x80 | (c & 0x3F)));
        }
        if (c == 0) {
            break;
        }
    }
    if (pcOut == nullptr) {
        return ulLen;
    }
    if (ulLen > ulCap) {
        if (ulCap > 0) {
            pcOut[0] = '\0';
        }
        errno = ENAMETOOLONG;
        return 0;
    }
    return ulLen;
}

std::uint32_t PlatformNarrowToWide(const char* pcIn, wchar_t* pwcOut, std::uint32_t ulCap) {
    std::uint32_t ulLen = 0;
    auto put = [&](std::uint32_t c) {
        if (pwcOut != nullptr && ulLen < ulCap) {
            pwcOut[ulLen] = static_cast<wchar_t>(c);
        }
        ++ulLen;
    };
    const auto* p = reinterpret_cast<const unsigned char*>(pcIn);
    for (;;) {
        std::uint32_t c = *p;
        int iMore = 0;
        std::uint32_t ulMin = 0;
        if (c < 0x80) {
            iMore = 0;
        } else if ((c & 0xE0) == 0xC0) {
            iMore = 1;
            c &= 0x1F;
            ulMin = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            iMore = 2;
            c &= 0x0F;
            ulMin = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            iMore = 3;
            c &= 0x07;
            ulMin = 0x10000;
        } else {
            put(0xFFFD);
            ++p;
            continue;
        }
        ++p;
        bool bBad = false;
        for (int k = 0; k < iMore; ++k) {
            if ((*p & 0xC0) != 0x80) {
                bBad = true;
                break;
            }
            c = (c << 6) | (*p & 0x3F);
            ++p;
        }
        if (bBad || c < ulMin || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            put(0xFFFD);
            continue;
        }
        put(c);
        if (c == 0) {
            break;
        }
    }
    if (pwcOut == nullptr) {
        return ulLen;
    }
    if (ulLen > ulCap) {
        if (ulCap > 0) {
            pwcOut[0] = L'\0';
        }
        errno = ENAMETOOLONG;
        return 0;
    }
    return ulLen;
}
