#!/usr/bin/env bash
# The whole suite under ThreadSanitizer: the HID link's reader thread, re-detection on either thread
# and the shutdown race against the main thread, driven by the virtual tablet.
set -euo pipefail
cd "$(dirname "$0")/../.."
export TAVELO_CMAKE_ARGS="${TAVELO_CMAKE_ARGS:--DTAVELO_WERROR=ON}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1}"
# TSan dies with "unexpected memory mapping" on hosts with more than 28 bits of mmap randomisation;
# without address space randomisation it runs (the setting is inherited by ctest's children).
runner=()
if [ "$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0)" -gt 28 ] && command -v setarch >/dev/null; then
  runner=(setarch "$(uname -m)" -R)
fi
"${runner[@]}" scripts/test tsan
