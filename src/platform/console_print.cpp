// PlatformPrintf: the formatting half, the same on every system; PlatformConsoleWrite is the system's.
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>

#include "platform/os.h"

int PlatformPrintf(const char* strFormat, ...) {
    char acText[1024];
    std::va_list tArgs;
    va_start(tArgs, strFormat);
    std::va_list tArgsAgain;
    va_copy(tArgsAgain, tArgs);
    const int iLen = std::vsnprintf(acText, sizeof(acText), strFormat, tArgs);
    va_end(tArgs);
    const char* pcText = acText;
    std::unique_ptr<char[]> pcLonger;
    if (iLen >= static_cast<int>(sizeof(acText))) {
        // A text longer than the buffer (none of the program's is) is formatted again into one that fits.
        pcLonger.reset(new (std::nothrow) char[static_cast<std::size_t>(iLen) + 1]);
        if (pcLonger != nullptr) {
            std::vsnprintf(pcLonger.get(), static_cast<std::size_t>(iLen) + 1, strFormat, tArgsAgain);
        }
        pcText = pcLonger.get();
    }
    va_end(tArgsAgain);
    if (iLen < 0 || pcText == nullptr) {
        return -1;
    }
    return PlatformConsoleWrite(pcText, static_cast<std::size_t>(iLen)) != 0 ? iLen : -1;
}
