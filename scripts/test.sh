#!/usr/bin/env bash
# The whole test run:
#   0. scripts/check_layers.py: every include between libraries points down;
#   1. the plain build (debug): every test, and a few seconds of the load tool (bench/soak);
#   2. the ASan+UBSan build (asan) with every test, then each fuzz target for FUZZ_SECONDS (60);
#      the TSan build (tsan) over the concurrent areas (runtime, monitor, srpc, store, e2e);
#   3. the Windows build under Wine: its tests, and the end-to-end tests against pellary.exe.
# PRESET=<debug|asan|tsan|release> runs that preset's tests only; SANITIZERS=0 leaves out part 2,
# WINDOWS=0 part 3.
# Extra arguments go to ctest (for example: PRESET=debug scripts/test.sh -L values).
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
source scripts/windows.sh
# The end-to-end test of README's load-balanced deployment runs HAProxy in front of two servers
# (installed where we may; elsewhere that test skips, saying why).
if [ "$(id -u)" -eq 0 ]; then install_missing_packages haproxy; fi
python3 scripts/check_layers.py

# run_tests PRESET [CTEST-ARGUMENTS...]
run_tests() {
  local preset=$1
  shift
  local started=$SECONDS
  configure_preset "$preset"
  ctest --test-dir "build/$preset" --output-on-failure --timeout 600 -j"$(nproc)" "$@"
  echo "== $preset: $((SECONDS - started)) s"
}

if [ -n "${PRESET:-}" ]; then
  run_tests "$PRESET" "$@"
  exit 0
fi
run_tests debug "$@"
# The load tool is a benchmark, not a test; a few seconds show that it still runs and checks.
build/debug/bench/soak --server build/debug/service/pellary --clients 100 --seconds 5
if [ "${SANITIZERS:-1}" != 0 ]; then
  run_tests asan "$@"
  started=$SECONDS
  scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
  echo "== fuzzing: $((SECONDS - started)) s"
  run_tests tsan -L 'runtime|monitor|srpc|store|e2e' "$@"
fi
if [ "${WINDOWS:-1}" != 0 ]; then
  started=$SECONDS
  test_windows "$@"
  echo "== windows: $((SECONDS - started)) s"
fi
