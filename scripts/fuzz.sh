#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each (default 60), one after the other, on a working copy
# of its seed corpus (build/asan/fuzzing/corpus/<target>, which keeps growing between runs).
# A crash, leak or time-out leaves its input in build/asan/fuzzing/findings/<target>/ and fails
# the script; such an input belongs in fuzz/regressions/<target>/ once fixed. A long run:
#   scripts/fuzz.sh 3600
# and to keep the inputs it found that reach new code (the normal test build runs them all):
#   build/asan/fuzz/<target>_fuzz -merge=1 fuzz/corpus/<target> build/asan/fuzzing/corpus/<target>
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
SECONDS_EACH=${1:-60}
TARGETS=(session dispatch values table profile btree)
install_missing_packages libclang-rt-14-dev
configure_preset asan "${TARGETS[@]/%/_fuzz}"
status=0
for target in "${TARGETS[@]}"; do
  corpus=build/asan/fuzzing/corpus/$target
  findings=build/asan/fuzzing/findings/$target
  mkdir -p "$corpus" "$findings"
  cp -n fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true
  echo "fuzzing $target for ${SECONDS_EACH}s"
  if ! "build/asan/fuzz/${target}_fuzz" -max_total_time="$SECONDS_EACH" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" \
      >"build/asan/fuzzing/$target.log" 2>&1; then
    echo "fuzz target $target found a problem: see build/asan/fuzzing/$target.log and $findings" >&2
    tail -30 "build/asan/fuzzing/$target.log" >&2
    status=1
  fi
  grep -E "^Done|stat::number_of_executed_units" "build/asan/fuzzing/$target.log" || true
done
exit $status
