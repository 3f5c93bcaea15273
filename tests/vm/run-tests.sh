#!/usr/bin/env bash
# scripts/vm test [linux|wine|all]: builds what the guest tests need on the host, then runs them in one
# boot of the test guest each. linux: the release TaveloIAP/TaveloIAP-zh on the real USB HID stack
# against the gadget tablet (tests/vm/real_stack_tests.sh), in the host's root (Debian 12). wine: the
# 32-bit Windows programs under i386 Wine 10 (tests/vm/wine_tests.sh), in a Debian 13 root
# (tests/vm/wine_root.sh). Figures go to build/vm/figures.txt.
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
  # The guest switches root into the Debian 13 root with Wine 10. Its Wine prefix is cached beside it,
  # keyed on the root (its check file) and the recipe; one whose checksum fails is made again.
  userland="$(tests/vm/wine_root.sh)"
  cache="$(dirname "$userland")"
  prefix="$cache/prefix-$(cat "$userland.ok" tests/vm/wine_prefix.sh | sha256sum | cut -c1-16).tar"
  share="$vm_dir/share-wine"
  rm -rf "$share" && mkdir -p "$share"
  if [ -f "$prefix.sha256" ] && [ "$(sha256sum < "$prefix" 2>/dev/null)" = "$(cat "$prefix.sha256")" ]; then
    ln "$prefix" "$share/wine32-prefix.tar" 2>/dev/null || cp "$prefix" "$share/wine32-prefix.tar"
  elif [ -e "$prefix" ]; then
    echo "vm: the cached Wine prefix $prefix does not match its checksum: made again"
    rm -f "$prefix" "$prefix.sha256"
  fi
  scripts/vm run --root "$userland" --mem 2048 --timeout 2400 --share "$share" -- tests/vm/wine_tests.sh "$root" "$@" || status=1
  if [ -f "$share/new-prefix.tar" ]; then
    sha256sum < "$share/new-prefix.tar" > "$share/new-prefix.sha256"
    mv "$share/new-prefix.tar" "$prefix.part" && mv "$prefix.part" "$prefix"
    mv "$share/new-prefix.sha256" "$prefix.sha256"
  fi
fi
exit "$status"
