#!/usr/bin/env bash
# scripts/vm test [linux|wine|all]: builds what the guest tests need on the host, then runs them in one
# boot of the test guest each. linux: the release TaveloIAP/TaveloIAP-zh on the real USB HID stack
# against the gadget tablet (tests/vm/real_stack_tests.sh). wine: the 32-bit Windows programs under
# i386 Wine (tests/vm/wine_tests.sh). Figures go to build/vm/figures.txt.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$root"
what="${1:-all}"
shift || true
# With "wine", further arguments name the Wine cases to run (tests/vm/wine_tests.sh).
jobs="$(nproc)"
vm_dir="${TAVELO_VM_DIR:-$root/build/vm}"
status=0

if [ "$what" = linux ] || [ "$what" = all ]; then
  scripts/install-deps
  cmake --preset release ${TAVELO_CMAKE_ARGS:-} >/dev/null
  cmake --build --preset release -j"$jobs" --target TaveloIAP TaveloIAP-zh gadget_tablet taveloiap-cipher
  share="$vm_dir/share-linux"
  rm -rf "$share" && mkdir -p "$share"
  scripts/vm run --share "$share" -- tests/vm/real_stack_tests.sh "$root/build/release" || status=1
  [ -f "$share/figures.txt" ] && cp "$share/figures.txt" "$vm_dir/figures.txt"
fi
if [ "$what" = wine ] || [ "$what" = all ]; then
  # The gadget tablet and the firmware-file tool of the guest side come from the release build.
  scripts/install-deps
  cmake --preset release ${TAVELO_CMAKE_ARGS:-} >/dev/null
  cmake --build --preset release -j"$jobs" --target gadget_tablet taveloiap-cipher
  tests/vm/build-win32.sh
  share="$vm_dir/share-wine"
  mkdir -p "$share"
  scripts/vm run --mem 2048 --share "$share" -- tests/vm/wine_tests.sh "$root" "$@" || status=1
fi
exit "$status"
