# Sourced by test.sh after setup.sh: the Windows build, cross-compiled with mingw-w64, and its
# tests under Wine. The Wine prefix lives in the build folder; one persistent wineserver,
# started here with its output detached, serves every test (a wineserver started by ctest
# would hold ctest's pipes open and ctest would wait for it), and is killed at the end.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64)
# DLLs that every Windows system has: the server may import these and nothing else.
SYSTEM_DLLS='^(kernel32|advapi32|ws2_32|wsock32|msvcrt|user32|dbghelp|psapi|ntdll)\.dll$'

check_static_imports() {
  local exe=$1 dll bad=0
  for dll in $(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print $3}'); do
    if ! [[ ${dll,,} =~ $SYSTEM_DLLS ]]; then
      echo "$exe imports $dll, which is not a system DLL" >&2
      bad=1
    fi
  done
  return $bad
}

start_wine() {
  export WINEPREFIX=$PWD/build/windows/wineprefix WINEDEBUG=-all
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  mkdir -p "$WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1
  wineboot -i </dev/null >/dev/null 2>&1
  # Tests that make a C:\temp of their own see it gone between runs, as on a fresh system.
  rm -rf "$WINEPREFIX/drive_c/temp"
}

# ctest_under_wine BUILD-DIR [CTEST-ARGUMENTS...]
# Now and then Wine fails to start a program at all: its test "fails" within a few hundredths
# of a second and prints nothing. The failed tests run once more; the first failure stays in
# the log, so a test that fails for its own reasons shows twice.
ctest_under_wine() {
  local dir=$1
  shift
  ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" "$@" && return 0
  echo "== $dir: running the failed tests once more" >&2
  ctest --test-dir "$dir" --output-on-failure --rerun-failed "$@"
}

# test_windows [CTEST-ARGUMENTS...]
test_windows() {
  install_missing_packages "${WINDOWS_PACKAGES[@]}"
  configure_preset windows
  check_static_imports build/windows/service/pellary.exe
  start_wine
  ctest_under_wine build/windows --timeout 300 "$@"
  # The end-to-end tests are the Linux client against the Windows server under Wine.
  PELLARY_SERVER=$PWD/build/windows/service/pellary.exe \
    ctest_under_wine build/debug --timeout 600 -L e2e "$@"
}
