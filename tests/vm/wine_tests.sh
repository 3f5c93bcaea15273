#!/usr/bin/env bash
# The 32-bit Windows programs under i386 Wine, inside the test guest (the host's kernel cannot run them):
# the Windows tests and the demo transcripts (ctest, preset win32-test), then the real TaveloIAP.exe
# against the gadget tablet through Wine's own HID stack (winebus on hidraw).
# Usage (in the guest, as root): wine_tests.sh SOURCE_DIR [CASE ...]
# CASE: windows_tests (the ctest run) or a case of wine_taveloiap.sh; none given: all of them.
set -uo pipefail
root="$1"
shift
wanted=" $* "
exe_cases=()
for c in "$@"; do [ "$c" = windows_tests ] || exe_cases+=("$c"); done
here="$root/tests/vm"
failures=0
export WINEARCH=win32 WINEPREFIX=/tmp/wine32 WINEDEBUG=-all
wine=/usr/lib/wine/wine
result() {  # NAME OK
  if [ "$2" -eq 0 ]; then echo "PASS $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}

# The prefix takes minutes to make under emulation: the host hands a cached one in the share
# (wine32-prefix.tar); one made here is left there as new-prefix.tar for the host to cache.
if [ -f /tmp/share/wine32-prefix.tar ] && tar -C /tmp -xf /tmp/share/wine32-prefix.tar &&
   grep -q '"Enable SDL"=dword:00000000' "$WINEPREFIX/system.reg" 2>/dev/null; then
  :
else
  start=$SECONDS
  "$here/wine_prefix.sh" || { echo "FAIL the Wine prefix could not be made"; exit 1; }
  echo "wine: prefix made in $((SECONDS - start)) s"
  tar -C /tmp -cf /tmp/share/new-prefix.part wine32 && mv /tmp/share/new-prefix.part /tmp/share/new-prefix.tar
fi
echo "wine: $("$wine" --version)"

# ---- The Windows tests and the demo transcripts, 32-bit ---------------------------------------------------
# The build tree is copied into memory (tests write beside their programs; programs mapped from the
# share can come up with pages of zeros) and mounted back on its own path.
if [ "$wanted" = "  " ] || [[ "$wanted" == *" windows_tests "* ]]; then
  tree="$root/build/win32-test"
  mkdir -p /tmp/win32-test
  cp -a "$tree/." /tmp/win32-test/
  mount --bind /tmp/win32-test "$tree"
  (cd "$root" && ctest --preset win32-test -j2 --timeout 600)
  result windows_tests_i686 $?
fi

# ---- The real TaveloIAP.exe and TaveloIAP-zh.exe through winebus -------------------------------------------
if [ "$wanted" = "  " ] || [ ${#exe_cases[@]} -gt 0 ]; then
  "$here/wine_taveloiap.sh" "$root" "${exe_cases[@]}"
  result taveloiap_exe_winebus $?
fi

echo "wine tests: $failures failed"
[ "$failures" -eq 0 ]
