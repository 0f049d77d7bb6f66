#!/usr/bin/env bash
# Builds the server and runs it in the console from the program directory run/ (made on the
# first run, with pellary.pf copied from pellary.pf.sample; edit run/pellary.pf to configure).
# Ctrl+C or a client's _shutdown call stops it.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
configure_preset release pellary
program=build/release/service/pellary
if [ ! -x "$program" ]; then
  echo "the pellary executable was not built; see the build output above" >&2
  exit 1
fi
mkdir -p run/files run/temp run/log
cp "$program" run/pellary
if [ ! -f run/pellary.pf ]; then
  cp pellary.pf.sample run/pellary.pf
  printf '\nTempDir=%s/run/temp\nFileDir=%s/run/files\n' "$PWD" "$PWD" >> run/pellary.pf
fi
cd run
exec ./pellary -console
