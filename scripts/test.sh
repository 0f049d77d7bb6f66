#!/usr/bin/env bash
# Builds and runs every test. PRESET=asan or PRESET=tsan runs them under a sanitizer;
# extra arguments go to ctest (for example: scripts/test.sh -L values).
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
PRESET=${PRESET:-debug}
configure_preset "$PRESET"
ctest --test-dir "build/$PRESET" --output-on-failure -j"$(nproc)" "$@"
