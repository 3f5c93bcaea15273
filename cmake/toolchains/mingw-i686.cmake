# Cross build for 32-bit Windows with mingw-w64 (Debian: g++-mingw-w64-i686).
# Compilers, static linking and the GBK character set: mingw-common.cmake.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TAVELO_MINGW_PREFIX i686-w64-mingw32)

include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# The 32-bit Wine loader does not start on this kind of machine: the program is built, not run, here.
