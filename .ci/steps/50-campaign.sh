#!/usr/bin/env bash
# The fault campaign under ASan+UBSan and under TSan, with more rounds and another seed than the CTest
# run of the suite (which also runs the late-answer sweep, the same every time). Reuses build/asan and
# build/tsan when earlier steps built them. A few minutes at most: each run stops starting rounds after
# TAVELO_CAMPAIGN_SECONDS.
set -euo pipefail
cd "$(dirname "$0")/../.."
export TAVELO_CMAKE_ARGS="${TAVELO_CMAKE_ARGS:--DTAVELO_WERROR=ON}"
export TAVELO_CAMPAIGN_ROUNDS="${TAVELO_CAMPAIGN_ROUNDS:-27}"
export TAVELO_CAMPAIGN_SECONDS="${TAVELO_CAMPAIGN_SECONDS:-75}"
export TAVELO_CAMPAIGN_SEED="${TAVELO_CAMPAIGN_SEED:-7}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1}"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
scripts/install-deps
for preset in asan tsan; do
  [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" $TAVELO_CMAKE_ARGS >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)" --target fault_campaign_test >/dev/null
  runner=()
  # TSan needs address space randomisation off on hosts with more than 28 bits of it.
  if [ "$preset" = tsan ] && [ "$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0)" -gt 28 ] &&
     command -v setarch >/dev/null; then
    runner=(setarch "$(uname -m)" -R)
  fi
  echo "== fault campaign under $preset: up to $TAVELO_CAMPAIGN_ROUNDS rounds, seed $TAVELO_CAMPAIGN_SEED"
  "${runner[@]}" "build/$preset/tests/campaign/fault_campaign_test" --gtest_brief=1 \
    --gtest_filter='FaultCampaign.EveryFault*'
done
