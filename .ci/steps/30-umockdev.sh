#!/usr/bin/env bash
# The Linux hidraw backend against emulated hidraw devices: installs umockdev, builds with the umockdev
# tests on and runs them (each under umockdev-wrapper); checks that cmake --install ships the udev rule.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps umockdev libumockdev-dev libglib2.0-dev pkg-config
build=build/umockdev
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DTAVELO_UMOCKDEV_TESTS=ON ${TAVELO_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" -L umockdev --output-on-failure --timeout 600

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" >/dev/null
rules=$(find "$stage" -name 70-taveloiap.rules)
[ -n "$rules" ] || { echo "cmake --install did not install the udev rule"; exit 1; }
cmp "$rules" dist/linux/70-taveloiap.rules
echo "udev rule installed as ${rules#"$stage"}"
