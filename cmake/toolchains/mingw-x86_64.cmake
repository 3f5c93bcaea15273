# Cross build for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64).
# The -posix compilers use the POSIX thread model, which std::thread needs; -static makes an .exe that
# needs no DLL beside the system's own. Sources are UTF-8; the compile-time character set turns every
# narrow string literal into the code page 936 (GBK) bytes that the program writes to the console
# unchanged. It is named GB18030, the superset that encodes every GBK character with the same bytes:
# the C++20 library headers hold a literal outside GBK (the micro sign of <chrono>), which GBK refuses.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TAVELO_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${TAVELO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVELO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVELO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVELO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CXX_FLAGS_INIT "-fexec-charset=GB18030")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine (wine64), quietly.
if(EXISTS /usr/lib/wine/wine64)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEDEBUG=-all /usr/lib/wine/wine64)
endif()
