#!/usr/bin/env bash
# Sends an example command file with ruvado to the stand-in command server on
# loopback and shows the exchange. Until the real command server exists, the
# test server plays its part: an interim "DC2" and then an answer per command.
# Usage: examples/demo-sender.sh [BUILD_DIR] [COMMAND_FILE]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build/native}" && pwd)
commands=$(cd "$(dirname "${2:-$here/receipt.txt}")" && pwd)/$(basename "${2:-$here/receipt.txt}")
ruvado=$build/sender/ruvado
server=$build/tests/sender/support/testserver
for program in "$ruvado" "$server"; do
  [ -x "$program" ] || { echo "demo-sender: $program is not built (cmake --build --preset native)" >&2; exit 1; }
done

work=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Answers are fields separated by FS bytes, which ruvado shows as '|'.
fs=$'\x1c'
"$server" --port-file "$work/port" \
  --reply "0080${fs}0600" --reply "0080${fs}0600${fs}1" --reply "0080${fs}0600" \
  --reply "0080${fs}0600" --reply "0080${fs}0600${fs}3.75" --reply "0080${fs}0600${fs}17" \
  >/dev/null 2>"$work/server.err" &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
port=$(cat "$work/port")

echo "\$ ruvado -p $port -t 127.0.0.1 $(basename "$commands")"
cd "$work"
status=0
"$ruvado" -p "$port" -t 127.0.0.1 "$commands" || status=$?
wait "$server_pid" || true
server_pid=
echo "ruvado exit status: $status"
echo "spooler.log: $(cat spooler.log | head -1)"
exit "$status"
