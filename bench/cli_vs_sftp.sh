#!/usr/bin/env bash
# pellary-cli against sftp (driving sftp-server over a pipe: no network, no encryption) on the
# same 256 MiB file on this machine, side by side in one run:
#   - get of a file the server has cached, against `sftp get` with its defaults;
#   - put (every write call durable), against `sftp put -f` (durable once, at the end);
#   - small operations per second (exists and len) from a Python program on the Python client,
#     against `ls -l` of the same file through one sftp batch.
# Usage, after scripts/setup.sh has built the release preset (run from the repository):
#   bench/cli_vs_sftp.sh [MiB]
# Needs the Debian packages openssh-client and openssh-sftp-server.
set -euo pipefail
cd "$(dirname "$0")/.."
MIB=${1:-256}
SMALL_OPS=2000
SFTP_SERVER=/usr/lib/openssh/sftp-server
BUILD=build/release
[ -x "$SFTP_SERVER" ] || { echo "needs openssh-sftp-server and openssh-client" >&2; exit 1; }

work=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$work/server/files" "$work/server/temp" "$work/local" "$work/sftp"
cp "$BUILD/service/pellary" "$work/server/"
cat >"$work/server/pellary.pf" <<PROFILE
srpc.server.addr=127.0.0.1
srpc.server.port=$port
mon.addr=127.0.0.1
mon.port=$((port + 1))
TempDir=$work/server/temp/
FileDir=$work/server/files/
CacheSize=$((MIB + 64))
PROFILE
(cd "$work/server" && exec ./pellary -console >/dev/null 2>&1) &
server_pid=$!
cli() { "$BUILD/client/pellary-cli" --quiet --port "$port" "$@"; }
for _ in $(seq 100); do cli version >/dev/null 2>&1 && break; sleep 0.1; done

head -c $((MIB << 20)) /dev/urandom >"$work/local/source.bin"
sync

# Seconds taken by a command.
timed() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
sftp_batch() { sftp -q -D "$SFTP_SERVER" -b "$1"; }

echo "put -f $work/local/source.bin $work/sftp/put.bin" >"$work/put.batch"
echo "get $work/sftp/put.bin $work/local/sftp-get.bin" >"$work/get.batch"
pellary_put=$(timed cli put "$work/local/source.bin" "$work/server/files/put.bin")
sftp_put=$(timed sftp_batch "$work/put.batch")
cli get "$work/server/files/put.bin" "$work/local/warm.bin"  # now the server has it cached
sftp_batch "$work/get.batch" >/dev/null                     # and the OS has the sftp copy
pellary_get=$(timed cli get "$work/server/files/put.bin" "$work/local/get.bin")
sftp_get=$(timed sftp_batch "$work/get.batch")
cmp "$work/local/get.bin" "$work/local/source.bin"
cmp "$work/local/sftp-get.bin" "$work/local/source.bin"

for _ in $(seq $SMALL_OPS); do echo "ls -l $work/sftp/put.bin"; done >"$work/small.batch"
sftp_small=$(timed sftp_batch "$work/small.batch")
pellary_small=$(timed python3 - "$port" "$work/server/files/put.bin" $SMALL_OPS <<'PYTHON'
import sys
sys.path.insert(0, "client/python")
import pellary_client
port, path, count = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
with pellary_client.Client("127.0.0.1", port) as client:
    for _ in range(count // 2):
        assert client.file_exists(path)
        assert client.file_getlength(path) > 0
PYTHON
)
cli shutdown
wait "$server_pid" || true
server_pid=

rate() { echo "scale=1; $MIB / $1" | bc -l; }
ops() { echo "scale=0; $SMALL_OPS / $1" | bc -l; }
ratio() { echo "scale=2; $1 / $2" | bc -l; }
printf '%-36s %12s %12s %7s\n' "($MIB MiB)" pellary sftp ratio
printf '%-36s %12s %12s %7s\n' "get of a cached file, MiB/s" "$(rate "$pellary_get")" \
  "$(rate "$sftp_get")" "$(ratio "$sftp_get" "$pellary_get")"
printf '%-36s %12s %12s %7s\n' "put (durable), MiB/s" "$(rate "$pellary_put")" \
  "$(rate "$sftp_put")" "$(ratio "$sftp_put" "$pellary_put")"
printf '%-36s %12s %12s %7s\n' "exists/len vs ls -l, operations/s" "$(ops "$pellary_small")" \
  "$(ops "$sftp_small")" "$(ratio "$sftp_small" "$pellary_small")"
