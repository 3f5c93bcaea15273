#!/usr/bin/env bash
# A whole upgrade of the virtual tablet by the Windows demo program, under wine64: the program is copied
# into a fresh directory (whose name may need the ANSI code page of the run), a firmware image holding
# every byte value is scrambled next to it by the Windows taveloiap-cipher, and the menu gets "1" then
# "2". Standard output must equal the expected transcript in GBK, byte for byte, and the demo must
# report that the tablet's flash holds the image (exit status 0).
# The expected transcript is UTF-8 in the notation of expected/*.txt; it is turned into GBK here.
# Usage: run_demo_under_wine.sh DEMO.exe CIPHER.exe EXPECTED.txt WORK_DIR
# TAVELO_WINE names the Wine loader (default wine64; the 32-bit build runs under /usr/lib/wine/wine).
set -euo pipefail
demo="$1" cipher="$2" expected="$3" work="$4"
wine=(env WINEDEBUG=-all "${TAVELO_WINE:-/usr/lib/wine/wine64}")

rm -rf "$work"
mkdir -p "$work"
cp "$demo" "$cipher" "$work/"
cd "$work"

# 3000 bytes (three packages, the last one short) cycling through all 256 byte values, so that a text-mode
# read or write anywhere (CR LF, Ctrl-Z) would show.
for i in $(seq 0 255); do printf "\\$(printf %03o "$i")"; done > cycle.bin
for _ in $(seq 1 12); do cat cycle.bin; done | head -c 3000 > Tavelo-KT1.bin
rm cycle.bin
"${wine[@]}" "./$(basename "$cipher")" encode Tavelo-KT1.bin Tavelo-KT1-Cipher.bin > cipher.log

# Transcript notation: comment lines dropped, lines joined, {erase} and the \r \n escapes expanded.
erase="\\\\r[Tavelo IAP]:$(printf '%60s' '')"
printf '%b' "$(grep -v '^#' "$expected" | tr -d '\n' | sed "s/{erase}/$erase/g")" > expected.utf8
iconv -f UTF-8 -t GBK expected.utf8 > expected.bin

status=0
printf '1\n2\n' | "${wine[@]}" "./$(basename "$demo")" > stdout.bin 2> stderr.txt || status=$?

ok=1
if [ "$status" -ne 0 ]; then
  echo "demo exit status $status"
  ok=0
fi
if ! grep -q "flash holds exactly" stderr.txt; then
  echo "the tablet's flash does not hold the image"
  ok=0
fi
if ! cmp stdout.bin expected.bin; then
  echo "standard output differs from $expected (shown as UTF-8, CR as \\r):"
  diff <(iconv -f GBK -t UTF-8 expected.bin | sed 's/\r/\\r/g') \
       <(iconv -f GBK -t UTF-8 stdout.bin | sed 's/\r/\\r/g') || true
  ok=0
fi
if [ "$ok" -ne 1 ]; then
  echo "--- stderr:"
  cat stderr.txt
  exit 1
fi
echo "demo upgrade under Wine: output matches $(basename "$expected") byte for byte"
