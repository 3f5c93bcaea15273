# Shared by the mingw-w64 toolchain files, after they set TAVELO_MINGW_PREFIX.
# The -posix compilers use the POSIX thread model, which std::thread needs; -static makes an .exe that
# needs no DLL beside the system's own. Sources are UTF-8; the compile-time character set turns every
# narrow string literal into the code page 936 (GBK) bytes that the program writes to files and pipes
# unchanged (a console gets them converted to UTF-16 from code page 936). It is named GB18030, the superset that encodes every GBK character with the same bytes:
# the C++20 library headers hold a literal outside GBK (the micro sign of <chrono>), which GBK refuses.
set(CMAKE_C_COMPILER ${TAVELO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVELO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVELO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVELO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CXX_FLAGS_INIT "-fexec-charset=GB18030")
# Address space layout randomisation and no-execute data, asked for whatever the linker's default.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--dynamicbase,--nxcompat")
