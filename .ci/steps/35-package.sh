#!/usr/bin/env bash
# The Debian package as a user gets it: built from the sources (scripts/package deb), checked with
# lintian, installed with apt-get, the installed program run through its command in /usr/bin against a
# virtual tablet behind emulated hidraw nodes (umockdev), then purged, leaving nothing behind. Also: a
# non-root cmake --install into a prefix of its own.
set -euo pipefail
cd "$(dirname "$0")/../.."
start=$(date +%s)
scripts/install-deps lintian umockdev libumockdev-dev libglib2.0-dev pkg-config

scripts/package deb
deb=$(ls build/deb/taveloiap_*.deb)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/deb/CMakeCache.txt)
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || { echo "package version is not $version"; exit 1; }

echo "-- lintian $deb"
# Errors and warnings fail; what stays is overridden in dist/linux/lintian-overrides, with the reason.
lintian --fail-on error,warning --pedantic -I -E --display-experimental --show-overrides "$deb" 2>/dev/null

echo "-- apt-get install ./$deb"
. scripts/apt-helpers.sh
export DEBIAN_FRONTEND=noninteractive
if dpkg-query -W -f='${Status}' taveloiap 2>/dev/null | grep -q 'install ok installed'; then
  apt-get purge -y -qq taveloiap >/dev/null
fi
apt_install "./$deb" >/dev/null
[ "$(readlink -f /usr/bin/taveloiap)" = /usr/lib/taveloiap/TaveloIAP ]
[ "$(readlink -f /usr/bin/taveloiap-zh)" = /usr/lib/taveloiap/TaveloIAP-zh ]
[ -f /usr/lib/udev/rules.d/70-taveloiap.rules ]
zgrep -q "Where the firmware file goes" /usr/share/doc/taveloiap/README.gz
zgrep -q "用户命令" /usr/share/man/man1/taveloiap-zh.1.gz  # the Chinese program's page is in Chinese
[ "$(taveloiap-cipher --version)" = "taveloiap-cipher $version"$'\r' ]
echo "installed: $(taveloiap-cipher --version | tr -d '\r'), commands link into /usr/lib/taveloiap"

# The installed program, started as /usr/bin/taveloiap as an owner starts it: from the folder that holds
# the firmware file (a directory of the test's own), with none in /usr/lib/taveloiap. The end-to-end tests
# of the hidraw backend, run on it. The owner's README is installed.
echo "-- the installed program against the emulated tablet"
build=build/umockdev
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DTAVELO_UMOCKDEV_TESTS=ON ${TAVELO_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)" --target umockdev_taveloiap_e2e_test >/dev/null
TAVELO_E2E_PROGRAM=/usr/bin/taveloiap \
  ctest --test-dir "$build" -R umockdev_taveloiap_e2e_test --output-on-failure --timeout 600

echo "-- apt-get purge taveloiap"
files=$(mktemp)
stage=$(mktemp -d)
trap 'rm -rf "$files" "$stage"' EXIT
dpkg-query -L taveloiap > "$files"
apt-get purge -y -qq taveloiap >/dev/null
if dpkg-query -W -f='${Status}' taveloiap 2>/dev/null | grep -q 'install ok installed'; then
  echo "taveloiap is still installed"
  exit 1
fi
left=0
while IFS= read -r f; do
  # Directories the system shares with other packages stay; everything of the package's own goes.
  case "$f" in /usr/lib/taveloiap | /usr/share/doc/taveloiap) ;; *) [ -d "$f" ] && continue ;; esac
  if [ -e "$f" ] || [ -L "$f" ]; then
    echo "left behind: $f"
    left=1
  fi
done < "$files"
[ "$left" -eq 0 ]
echo "removed: $(wc -l < "$files") paths of the package gone"

# A user's own install: every destination under the prefix, no root needed. Run as nobody when the work
# tree is open to other users (the manifest cmake writes into the build tree is made writable for it).
# cmake_install.cmake names the build and source trees by absolute paths, so nobody's access is checked
# on those: a relative path, taken from the current directory, would pass where every directory above
# the clone is closed to nobody (a clone in /root) and the install would then fail. Such a tree is
# installed as root, which still checks every destination against the prefix.
echo "-- cmake --install --prefix DIR"
prefix="$stage/prefix"
manifest=build/deb/install_manifest.txt
chmod 777 "$stage"
: > "$manifest"
chmod 666 "$manifest"
nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
who=root
if "${nobody[@]}" test -r "$PWD/build/deb/cmake_install.cmake" -a -r "$PWD/dist/linux/70-taveloiap.rules"; then
  who=nobody
else
  echo "the work tree $PWD is closed to other users: installing as root"
  nobody=()
fi
"${nobody[@]}" cmake --install build/deb --prefix "$prefix" >/dev/null
if grep -v "^$prefix/" "$manifest"; then
  echo "cmake --install wrote outside the prefix"
  exit 1
fi
for f in bin/taveloiap bin/taveloiap-zh bin/taveloiap-cipher lib/taveloiap/TaveloIAP; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
cmp "$prefix/lib/udev/rules.d/70-taveloiap.rules" dist/linux/70-taveloiap.rules
echo "installed into a prefix as $who: $(wc -l < "$manifest") files, all under the prefix"
echo "package step done in $(( $(date +%s) - start )) s"
