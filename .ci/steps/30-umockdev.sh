#!/usr/bin/env bash
# The Linux hidraw backend against emulated hidraw devices: installs umockdev, builds with the umockdev
# tests on and runs them (each under umockdev-wrapper), the backend's ones also under ASan+UBSan. (The
# installed program and the udev rule's install: 35-package.sh.)
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps umockdev libumockdev-dev libglib2.0-dev pkg-config
build=build/umockdev
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DTAVELO_UMOCKDEV_TESTS=ON ${TAVELO_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)" --target umockdev_hidraw_host_test umockdev_taveloiap_e2e_test
ctest --test-dir "$build" -L umockdev --output-on-failure --timeout 600

# The hidraw backend's own tests once more under ASan+UBSan (the preload comes before the ASan runtime).
asan=build/umockdev-asan
cmake -S . -B "$asan" -DCMAKE_BUILD_TYPE=Debug -DTAVELO_UMOCKDEV_TESTS=ON ${TAVELO_CMAKE_ARGS:-} \
  -DCMAKE_CXX_FLAGS="-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$asan" -j"$(nproc)" --target umockdev_hidraw_host_test
ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 \
  ctest --test-dir "$asan" -R umockdev_hidraw_host_test --output-on-failure --timeout 600

