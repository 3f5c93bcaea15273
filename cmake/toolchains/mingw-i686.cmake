# Cross build for 32-bit Windows with mingw-w64 (Debian: g++-mingw-w64-i686).
# Compilers, static linking and the GBK character set: mingw-common.cmake.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TAVELO_MINGW_PREFIX i686-w64-mingw32)

include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Test programs (preset win32-test) run under the i386 Wine loader of the test guest's Wine root
# (scripts/vm test wine); this kind of machine cannot start it and need not have it.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEDEBUG=-all /usr/lib/wine/wine)
