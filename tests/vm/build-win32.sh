#!/usr/bin/env bash
# Host side of the Wine tests in the test guest: the i386 Wine loader (architecture i386, wine32) and the
# 32-bit builds: the Windows tests and demo (preset win32-test) and the deliverable TaveloIAP.exe (win32).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$root"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  [ "$(id -u)" -eq 0 ] || { echo "run as root: dpkg --add-architecture i386" >&2; exit 1; }
  dpkg --add-architecture i386
  apt-get update -qq
fi
scripts/install-deps g++-mingw-w64-i686 wine wine32:i386 locales
cmake --preset win32-test ${TAVELO_CMAKE_ARGS:-} >/dev/null
cmake --build --preset win32-test -j"$(nproc)"
cmake --preset win32 ${TAVELO_CMAKE_ARGS:-} >/dev/null
cmake --build --preset win32 -j"$(nproc)" --target TaveloIAP
