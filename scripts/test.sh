#!/usr/bin/env bash
# Builds and runs every test: the Linux build, then the Windows build under Wine (WINDOWS=0
# skips it). PRESET=asan or PRESET=tsan runs the Linux tests under a sanitizer instead of the
# plain build, without the Windows part. Extra arguments go to ctest (for example:
# scripts/test.sh -L values).
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
source scripts/windows.sh
PRESET=${PRESET:-debug}
configure_preset "$PRESET"
ctest --test-dir "build/$PRESET" --output-on-failure --timeout 600 -j"$(nproc)" "$@"
if [ "$PRESET" = debug ] && [ "${WINDOWS:-1}" != 0 ]; then
  test_windows "$@"
fi
