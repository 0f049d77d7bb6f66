#!/usr/bin/env bash
# Builds the server and runs it in the console with the sample profile.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
configure_preset release
if [ ! -x build/release/app/pellary ]; then
  echo "The pellary server is not built yet: the libraries it stands on are in place and" >&2
  echo "tested (scripts/test.sh), the server itself comes with later work. See README.md." >&2
  exit 1
fi
