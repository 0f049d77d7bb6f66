#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each (default 60), as many at once as there are cores, on
# a working copy of its seed corpus (build/asan/fuzzing/corpus/<target>, which keeps growing
# between runs).
# A crash, leak or time-out leaves its input in build/asan/fuzzing/findings/<target>/ and fails
# the script; such an input belongs in fuzz/regressions/<target>/ once fixed. A long run:
#   scripts/fuzz.sh 3600
# and to keep the inputs it found that reach new code (the normal test build runs them all):
#   build/asan/fuzz/<target>_fuzz -merge=1 fuzz/corpus/<target> build/asan/fuzzing/corpus/<target>
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
SECONDS_EACH=${1:-60}
TARGETS=(session dispatch values table profile btree extensions)
install_missing_packages libclang-rt-14-dev
configure_preset asan "${TARGETS[@]/%/_fuzz}"
# fuzz_one TARGET: fuzzes it, prints its totals; fails on a finding.
fuzz_one() {
  local target=$1
  local corpus=build/asan/fuzzing/corpus/$target
  local findings=build/asan/fuzzing/findings/$target
  mkdir -p "$corpus" "$findings"
  cp -n fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true
  if ! "build/asan/fuzz/${target}_fuzz" -max_total_time="$SECONDS_EACH" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" \
      >"build/asan/fuzzing/$target.log" 2>&1; then
    echo "fuzz target $target found a problem: see build/asan/fuzzing/$target.log and $findings" >&2
    tail -30 "build/asan/fuzzing/$target.log" >&2
    return 1
  fi
  echo "fuzzed $target for ${SECONDS_EACH}s: $(grep -E "stat::number_of_executed_units" \
    "build/asan/fuzzing/$target.log" | tr -s ' ')"
}

status=0
running=0
for target in "${TARGETS[@]}"; do
  if [ "$running" -ge "$(nproc)" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
  fuzz_one "$target" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
exit $status
