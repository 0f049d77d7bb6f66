#!/usr/bin/env bash
# Installs a build into a temporary prefix and checks what lands where: both executables, a
# manual page for each (rendered by groff without a warning, where groff is installed) and the
# bash completion of pellary-cli, which must complete a command and an option.
# Usage: scripts/check_install.sh BUILD_DIR   (ctest runs it as the test "install")
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() {
  echo "check_install: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$prefix" >/dev/null
for program in pellary pellary-cli; do
  [ -x "$prefix/bin/$program" ] || fail "no bin/$program"
  page="$prefix/share/man/man1/$program.1"
  [ -f "$page" ] || fail "no share/man/man1/$program.1"
  grep -q '@PROJECT_VERSION@' "$page" && fail "$program.1 was installed unconfigured"
  if command -v groff >/dev/null; then
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "groff on $program.1: $warnings"
  fi
done
"$prefix/bin/pellary-cli" --version | grep -q '^pellary-cli ' || fail "pellary-cli does not run"

completion="$prefix/share/bash-completion/completions/pellary-cli"
[ -f "$completion" ] || fail "no share/bash-completion/completions/pellary-cli"
# completes EXPECTED WORD...: completing the last word of the line gives EXPECTED.
completes() {
  local expected=$1
  shift
  local got
  got=$(bash -c 'source "$0"; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _pellary_cli
                 echo "${COMPREPLY[*]}"' "$completion" "$@")
  [ "$got" = "$expected" ] || fail "completing '$*' gives '$got', not '$expected'"
}
completes put pellary-cli pu
completes --force pellary-cli -P 7027 put --fo
completes "mv mkdir monitor" pellary-cli help m
