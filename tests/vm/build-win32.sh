#!/usr/bin/env bash
# Host side of the Wine tests in the test guest: the 32-bit builds: the Windows tests and demo (preset
# win32-test), the deliverables TaveloIAP.exe and TaveloIAP-zh.exe (win32), and a hid.dll of one's own to
# plant beside them. Wine itself is in the guest's Debian 13 root (tests/vm/wine_root.sh).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$root"
scripts/install-deps g++-mingw-w64-i686 locales
cmake --preset win32-test ${TAVELO_CMAKE_ARGS:-} >/dev/null
cmake --build --preset win32-test -j"$(nproc)"
cmake --preset win32 ${TAVELO_CMAKE_ARGS:-} >/dev/null
cmake --build --preset win32 -j"$(nproc)" --target TaveloIAP TaveloIAP-zh
# The planted library: its DllMain, run when anything loads it, leaves a file in the current directory.
planted=build/win32/planted
mkdir -p "$planted"
cat > "$planted/hid.c" <<'EOF'
#include <windows.h>
BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pvReserved) {
    (void)hInstance;
    (void)pvReserved;
    if (dwReason == DLL_PROCESS_ATTACH) {
        HANDLE h = CreateFileA("planted-hid-dll-ran.txt", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    return TRUE;
}
EOF
i686-w64-mingw32-gcc -shared -o "$planted/hid.dll" "$planted/hid.c"
