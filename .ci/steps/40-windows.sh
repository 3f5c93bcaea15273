#!/usr/bin/env bash
# The Windows programs, cross-built with mingw-w64: the 32-bit deliverable (TaveloIAP.exe, its Chinese
# twin TaveloIAP-zh.exe and taveloiap-cipher.exe) packed into the zip, whose programs' version resources
# and manifests and README.txt are checked; and an x86_64 build of the Windows tests and the demo, which
# run under wine64.
# The 32-bit programs cannot run here (no 32-bit Wine loader on this kind of machine); they are built.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 locales
jobs="$(nproc)"

# Every text of the program is written as GBK bytes: the product sources must hold nothing GBK cannot
# encode (the compiler would otherwise emit a four-byte GB18030 sequence for it).
bad=0
while IFS= read -r f; do
  if ! iconv -f UTF-8 -t GBK "$f" >/dev/null 2>&1; then
    echo "not encodable in GBK: $f"
    bad=1
  fi
done < <(git ls-files 'src/*.cpp' 'src/*.h' 'src/*.inc')
[ "$bad" -eq 0 ]

echo "-- 32-bit Windows programs (preset win32) and the zip a user downloads"
scripts/install-deps python3
TAVELO_CMAKE_ARGS="-DTAVELO_WERROR=ON" scripts/package zip
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/win32/CMakeCache.txt)
python3 dist/windows/check_zip.py "build/win32/TaveloIAP-$version-win32.zip" "$version"

echo "-- x86_64 Windows tests (preset win64-test), run under wine64"
cmake --preset win64-test -DTAVELO_WERROR=ON >/dev/null
cmake --build --preset win64-test -j"$jobs"
# Create the Wine prefix once, before the tests start Wine in parallel.
WINEDEBUG=-all /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
ctest --preset win64-test -j"$jobs"
