#!/usr/bin/env bash
# The guest's userland for the Wine cases: a Debian 13 root made with mmdebstrap from the Debian
# registry, holding i386 Wine 10 (whose winebus follows the tablet's restart; Debian 12's Wine 8.0 does
# not: docs/TESTBED.md). The guest keeps its Debian 12 kernel and switches root into it.
# Kept in the machine's cache ($TAVELO_VM_CACHE, default /var/cache/taveloiap-vm) under a name keyed on
# what it is made from; a root whose check file is missing or does not match its files (half made,
# damaged) is made again. Usage (as root): tests/vm/wine_root.sh   (prints the root's directory)
set -euo pipefail
suite=trixie
mirror=http://deb.debian.org/debian
packages=(wine wine32:i386 udev perl procps kmod mawk busybox-static cmake)
# The Wine versions known to follow the tablet's restart (wine32:i386's Debian version).
wine_known='10.0~repack-*'
cache="${TAVELO_VM_CACHE:-/var/cache/taveloiap-vm}"
recipe="$suite $mirror --variant=apt --architectures=amd64,i386 ${packages[*]}"
key="$(printf '%s\n' "$recipe" | sha256sum | cut -c1-16)"
dir="$cache/root-$suite-$key"

# What is checked before use: every file's path, type, mode and size under the package-managed trees
# (mount points made later for the guest's shares lie outside them).
fingerprint() {
  (cd "$1" && find usr etc var/lib/dpkg -xdev -printf '%p %y %m %s %l\n' | LC_ALL=C sort | sha256sum | cut -c1-64)
}
wine_version() {
  dpkg-query --admindir="$1/var/lib/dpkg" -W -f '${Version}' wine32:i386 2>/dev/null || true
}

mkdir -p "$cache"
exec 9> "$cache/root.lock"
flock 9
if [ -f "$dir.ok" ] && [ -d "$dir" ] && [ "$(fingerprint "$dir")" = "$(sed -n 1p "$dir.ok")" ]; then
  echo "$dir"
  exit 0
fi
[ -e "$dir.ok" ] && echo "vm: the Wine root $dir does not match its check file: made again" >&2
rm -f "$dir.ok"
rm -rf "$dir" "$dir.part"
"$(dirname "$0")/../../scripts/install-deps" mmdebstrap >&2
echo "vm: making the Debian $suite root for Wine ($recipe)" >&2
start=$SECONDS
include="$(IFS=,; echo "${packages[*]}")"
# A mirror in the middle of a sync can fail a download: one more try on a fresh root.
for try in 1 2; do
  rm -rf "$dir.part"
  mmdebstrap --quiet --variant=apt --architectures=amd64,i386 --include="$include" \
    "$suite" "$dir.part" "$mirror" >&2 && break
  rm -rf "$dir.part"
  if [ "$try" -eq 2 ]; then
    echo "vm: mmdebstrap could not make the Debian $suite root from $mirror with: ${packages[*]} (the package it could not get is in its message above)" >&2
    exit 1
  fi
  echo "vm: mmdebstrap failed: trying once more" >&2
done
version="$(wine_version "$dir.part")"
# shellcheck disable=SC2053  # a pattern
if [[ "$version" != $wine_known ]]; then
  echo "vm: Debian $suite's wine32:i386 is '${version:-missing}', not a version known to follow the tablet's restart ($wine_known): check the restart case under it, then add it to tests/vm/wine_root.sh" >&2
  rm -rf "$dir.part"
  exit 1
fi
# Removes what the guest does not need and mmdebstrap leaves: the downloaded packages and lists.
rm -rf "$dir.part"/var/cache/apt/archives/*.deb "$dir.part"/var/lib/apt/lists/*_Packages*
mv "$dir.part" "$dir"
fingerprint "$dir" > "$dir.ok.part"
echo "wine32:i386 $version" >> "$dir.ok.part"
mv "$dir.ok.part" "$dir.ok"
echo "vm: Wine root made in $((SECONDS - start)) s ($(du -sh "$dir" | cut -f1), wine32:i386 $version)" >&2
echo "$dir"
