#!/usr/bin/env bash
# The kit end to end on one machine, with no hardware: a simulated controller
# on a pseudo-terminal, the command server on loopback in front of it, and
# ruvado sending two command files through it.
# Usage: demo.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: demo.sh BUILD_DIR}" && pwd)
examples=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
sim_pid=
server_pid=

stop() {
  [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" || true
  [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" || true
  rm -rf "$work"
}
trap stop EXIT

# Waits until FILE has a line matching PATTERN, for at most SECONDS.
wait_for_line() {
  local file=$1 pattern=$2 seconds=$3
  for _ in $(seq $((seconds * 10))); do
    grep -q "$pattern" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "demo: gave up waiting for '$pattern' in $file" >&2
  return 1
}

echo "== A fiscal controller simulated at 38400 baud, slow commands take 2.5 s"
"$build/sim/fiscalsim" -r 38400 -b 2500 -l "$work/line" >"$work/sim.out" &
sim_pid=$!
wait_for_line "$work/sim.out" . 5
echo "   its line: /dev/$(head -n1 "$work/sim.out")"

echo "== The command server on that line, searching its rate, on a free loopback port"
"$build/server/fiscald" -p 0 -s -i 500 -f "$work/fiscald.trace" "$work/line" >"$work/server.out" &
server_pid=$!
wait_for_line "$work/server.out" '^escuchando en ' 15
address=$(sed -n 's/^escuchando en //p' "$work/server.out")
port=${address##*:}
echo "   listening on $address"
grep -a 'detectado' "$work/fiscald.trace" | sed 's/\r$//; s/^/   trace: /' || true

cd "$work"
for file in receipt.txt slow.txt; do
  echo
  echo "== ruvado -p $port -t 127.0.0.1 $file"
  "$build/sender/ruvado" -p "$port" -t 127.0.0.1 "$examples/$file"
done

echo
echo "== What the server sent while the slow commands worked (ruvado waits through these)"
grep -a 'intermedia' "$work/fiscald.trace" | sed 's/\r$//; s/^/   trace: /' | head -n 8 || true
echo
echo "== spooler.log, ruvado's own log"
sed 's/^/   /' "$work/spooler.log"
echo
echo "demo: done"
