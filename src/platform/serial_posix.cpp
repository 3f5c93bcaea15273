// Serial ports on Linux: device nodes, termios settings in raw mode, exclusive use.
#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/serial_port.h"

namespace {

int ToFd(PlatformHandle h) {
    return static_cast<int>(h);
}

// The number-to-node mapping: each block of ten numbers is one kind of adapter.
struct NodeFamily {
    const char* strPrefix;
    std::uint32_t ulFirstPort;
};
constexpr NodeFamily kNodeFamilies[] = {{"/dev/ttyUSB", 0}, {"/dev/ttyACM", 10}, {"/dev/ttyS", 20}};

constexpr std::size_t kNodePatternMax = 200;
char g_acNodePattern[kNodePatternMax + 1];  // empty: the fixed mapping is in force

struct RateEntry {
    std::uint32_t ulRate;
    speed_t tSpeed;
};
constexpr RateEntry kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool RateToSpeed(std::uint32_t ulRate, speed_t* ptSpeed) {
    for (const RateEntry& e : kRates) {
        if (e.ulRate == ulRate) {
            *ptSpeed = e.tSpeed;
            return true;
        }
    }
    return false;
}

std::uint32_t SpeedToRate(speed_t tSpeed) {
    for (const RateEntry& e : kRates) {
        if (e.tSpeed == tSpeed) {
            return e.ulRate;
        }
    }
    return 0;
}

// Milliseconds to termios tenths of a second, rounded up so that a short time-out does not become
// "no time-out" (0), and capped at the largest VTIME.
cc_t MsToTenths(std::uint32_t ulMs) {
    std::uint32_t ul = ulMs / 100 + (ulMs % 100 != 0 ? 1 : 0);
    return static_cast<cc_t>(ul > 255 ? 255 : ul);
}

}  // namespace

int PlatformSerialPortName(std::uint32_t ulPort, char* pcOut, std::uint32_t ulCap) {
    if (pcOut == nullptr || ulCap == 0) {
        return 0;
    }
    pcOut[0] = '\0';
    if (ulPort >= kSerialPortCount) {
        return 0;
    }
    int n;
    if (g_acNodePattern[0] != '\0') {
        const char* pcMark = std::strstr(g_acNodePattern, "%u");
        n = std::snprintf(pcOut, ulCap, "%.*s%u%s", static_cast<int>(pcMark - g_acNodePattern),
                          g_acNodePattern, static_cast<unsigned>(ulPort), pcMark + 2);
    } else {
        const NodeFamily* ptFamily = &kNodeFamilies[0];
        for (const NodeFamily& f : kNodeFamilies) {
            if (ulPort >= f.ulFirstPort) {
                ptFamily = &f;
            }
        }
        n = std::snprintf(pcOut, ulCap, "%s%u", ptFamily->strPrefix,
                          static_cast<unsigned>(ulPort - ptFamily->ulFirstPort));
    }
    if (n < 0 || static_cast<std::uint32_t>(n) >= ulCap) {
        pcOut[0] = '\0';
        return 0;
    }
    return 1;
}

int PlatformSerialSetNodePattern(const char* strPattern) {
    if (strPattern == nullptr) {
        g_acNodePattern[0] = '\0';
        return 1;
    }
    std::size_t len = std::strlen(strPattern);
    if (len > kNodePatternMax || std::strstr(strPattern, "%u") == nullptr) {
        return 0;
    }
    std::memcpy(g_acNodePattern, strPattern, len + 1);
    return 1;
}

PlatformHandle PlatformSerialOpen(const char* strName) {
    if (strName == nullptr || strName[0] == '\0') {
        errno = ENOENT;
        return kInvalidHandle;
    }
    // O_NONBLOCK only for the open itself: without it the open of a modem line waits for carrier.
    int fd = open(strName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return kInvalidHandle;
    }
    int err = 0;
    if (!isatty(fd)) {
        err = ENOTTY;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // Not shared: a second open of the same port by this or another program fails here.
        err = EBUSY;
    } else if (ioctl(fd, TIOCEXCL) != 0) {
        err = errno;
    } else {
        int iFlags = fcntl(fd, F_GETFL);
        if (iFlags < 0 || fcntl(fd, F_SETFL, iFlags & ~O_NONBLOCK) != 0) {
            err = errno;
        }
    }
    if (err != 0) {
        close(fd);
        errno = err;
        return kInvalidHandle;
    }
    return fd;
}

int PlatformSerialBuildDcb(const char* strDef, SerialDcb* ptDcb) {
    if (strDef == nullptr || ptDcb == nullptr) {
        errno = EINVAL;
        return 0;
    }
    // Parse into a copy, so that a definition with an error changes nothing.
    SerialDcb tDcb = *ptDcb;
    const char* p = strDef;
    for (;;) {
        while (*p == ' ' || *p == '\t') {
            ++p;
        }
        if (*p == '\0') {
            break;
        }
        const char* pcKey = p;
        while (*p != '\0' && *p != '=' && *p != ' ' && *p != '\t') {
            ++p;
        }
        std::size_t ulKeyLen = static_cast<std::size_t>(p - pcKey);
        if (*p != '=') {
            errno = EINVAL;
            return 0;
        }
        ++p;
        const char* pcValue = p;
        while (*p != '\0' && *p != ' ' && *p != '\t') {
            ++p;
        }
        std::size_t ulValueLen = static_cast<std::size_t>(p - pcValue);
        char acValue[16];
        if (ulValueLen == 0 || ulValueLen >= sizeof(acValue)) {
            errno = EINVAL;
            return 0;
        }
        std::memcpy(acValue, pcValue, ulValueLen);
        acValue[ulValueLen] = '\0';
        auto keyIs = [&](const char* strKey) {
            return std::strlen(strKey) == ulKeyLen && strncasecmp(pcKey, strKey, ulKeyLen) == 0;
        };
        auto asNumber = [&](unsigned long* pul) {
            char* pcEnd = nullptr;
            errno = 0;
            *pul = std::strtoul(acValue, &pcEnd, 10);
            return acValue[0] >= '0' && acValue[0] <= '9' && *pcEnd == '\0' && errno == 0 &&
                   *pul <= 0xFFFFFFFFul;
        };
        unsigned long ul = 0;
        if (keyIs("baud")) {
            if (!asNumber(&ul)) {
                errno = EINVAL;
                return 0;
            }
            tDcb.BaudRate = static_cast<std::uint32_t>(ul);
        } else if (keyIs("parity")) {
            static const char kParityLetters[] = "noems";
            const char* pcFound = ulValueLen == 1 ? std::strchr(kParityLetters, acValue[0] | 0x20) : nullptr;
            if (pcFound == nullptr) {
                errno = EINVAL;
                return 0;
            }
            tDcb.Parity = static_cast<std::uint8_t>(pcFound - kParityLetters);
        } else if (keyIs("data")) {
            if (!asNumber(&ul) || ul < 5 || ul > 8) {
                errno = EINVAL;
                return 0;
            }
            tDcb.ByteSize = static_cast<std::uint8_t>(ul);
        } else if (keyIs("stop")) {
            if (std::strcmp(acValue, "1") == 0) {
                tDcb.StopBits = kSerialStopBitsOne;
            } else if (std::strcmp(acValue, "1.5") == 0) {
                tDcb.StopBits = kSerialStopBitsOneHalf;
            } else if (std::strcmp(acValue, "2") == 0) {
                tDcb.StopBits = kSerialStopBitsTwo;
            } else {
                errno = EINVAL;
                return 0;
            }
        } else {
            errno = EINVAL;
            return 0;
        }
    }
    *ptDcb = tDcb;
    return 1;
}

int PlatformSerialSetState(PlatformHandle hPort, const SerialDcb* ptDcb) {
    if (hPort == kInvalidHandle || ptDcb == nullptr) {
        errno = EBADF;
        return 0;
    }
    speed_t tSpeed;
    tcflag_t ulSize;
    switch (ptDcb->ByteSize) {
        case 5:
            ulSize = CS5;
            break;
        case 6:
            ulSize = CS6;
            break;
        case 7:
            ulSize = CS7;
            break;
        case 8:
            ulSize = CS8;
            break;
        default:
            errno = EINVAL;
            return 0;
    }
    // termios knows no 1.5 stop bits.
    if (!RateToSpeed(ptDcb->BaudRate, &tSpeed) || ptDcb->Parity > kSerialParitySpace ||
        (ptDcb->StopBits != kSerialStopBitsOne && ptDcb->StopBits != kSerialStopBitsTwo)) {
        errno = EINVAL;
        return 0;
    }
    struct termios t;
    if (tcgetattr(ToFd(hPort), &t) != 0) {
        return 0;
    }
    cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= ulSize | CLOCAL | CREAD;
    switch (ptDcb->Parity) {
        case kSerialParityOdd:
            t.c_cflag |= PARENB | PARODD;
            break;
        case kSerialParityEven:
            t.c_cflag |= PARENB;
            break;
        case kSerialParityMark:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case kSerialParitySpace:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (ptDcb->StopBits == kSerialStopBitsTwo) {
        t.c_cflag |= CSTOPB;
    }
    if (cfsetispeed(&t, tSpeed) != 0 || cfsetospeed(&t, tSpeed) != 0) {
        return 0;
    }
    if (tcsetattr(ToFd(hPort), TCSANOW, &t) != 0) {
        return 0;
    }
    // tcsetattr succeeds when any of the changes was made; check that all of them were.
    struct termios tNow;
    const tcflag_t ulMask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    if (tcgetattr(ToFd(hPort), &tNow) != 0) {
        return 0;
    }
    if ((tNow.c_cflag & ulMask) != (t.c_cflag & ulMask) || cfgetospeed(&tNow) != tSpeed ||
        (tNow.c_lflag & ICANON) != 0) {
        errno = EINVAL;
        return 0;
    }
    return 1;
}

int PlatformSerialGetState(PlatformHandle hPort, SerialDcb* ptDcb) {
    if (hPort == kInvalidHandle || ptDcb == nullptr) {
        errno = EBADF;
        return 0;
    }
    struct termios t;
    if (tcgetattr(ToFd(hPort), &t) != 0) {
        return 0;
    }
    ptDcb->BaudRate = SpeedToRate(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
        case CS5:
            ptDcb->ByteSize = 5;
            break;
        case CS6:
            ptDcb->ByteSize = 6;
            break;
        case CS7:
            ptDcb->ByteSize = 7;
            break;
        default:
            ptDcb->ByteSize = 8;
            break;
    }
    if ((t.c_cflag & PARENB) == 0) {
        ptDcb->Parity = kSerialParityNone;
    } else if ((t.c_cflag & CMSPAR) != 0) {
        ptDcb->Parity = (t.c_cflag & PARODD) != 0 ? kSerialParityMark : kSerialParitySpace;
    } else {
        ptDcb->Parity = (t.c_cflag & PARODD) != 0 ? kSerialParityOdd : kSerialParityEven;
    }
    ptDcb->StopBits = (t.c_cflag & CSTOPB) != 0 ? kSerialStopBitsTwo : kSerialStopBitsOne;
    return 1;
}

int PlatformSerialSetTimeouts(PlatformHandle hPort, const SerialTimeouts* ptTimeouts) {
    if (hPort == kInvalidHandle || ptTimeouts == nullptr) {
        errno = EBADF;
        return 0;
    }
    struct termios t;
    if (tcgetattr(ToFd(hPort), &t) != 0) {
        return 0;
    }
    bool bNoTotal = ptTimeouts->ReadTotalTimeoutMultiplier == 0 && ptTimeouts->ReadTotalTimeoutConstant == 0;
    if (bNoTotal && ptTimeouts->ReadIntervalTimeout == 0xFFFFFFFFu) {
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
    } else if (bNoTotal) {
        t.c_cc[VMIN] = 255;
        t.c_cc[VTIME] = MsToTenths(ptTimeouts->ReadIntervalTimeout);
    } else {
        cc_t ucTenths = MsToTenths(ptTimeouts->ReadTotalTimeoutConstant);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = ucTenths == 0 ? 1 : ucTenths;
    }
    return tcsetattr(ToFd(hPort), TCSANOW, &t) == 0 ? 1 : 0;
}

int PlatformSerialPurge(PlatformHandle hPort, std::uint32_t ulFlags) {
    if (hPort == kInvalidHandle) {
        errno = EBADF;
        return 0;
    }
    // Reads and writes are synchronous on the caller's thread: there is nothing outstanding to abort.
    bool bIn = (ulFlags & kSerialPurgeRxClear) != 0;
    bool bOut = (ulFlags & kSerialPurgeTxClear) != 0;
    if (!bIn && !bOut) {
        return 1;
    }
    int iQueue = bIn && bOut ? TCIOFLUSH : (bIn ? TCIFLUSH : TCOFLUSH);
    return tcflush(ToFd(hPort), iQueue) == 0 ? 1 : 0;
}

void PlatformSerialClose(PlatformHandle* phPort) {
    if (phPort != nullptr && *phPort != kInvalidHandle) {
        ioctl(ToFd(*phPort), TIOCNXCL);
        close(ToFd(*phPort));
        *phPort = kInvalidHandle;
    }
}
