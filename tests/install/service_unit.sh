#!/usr/bin/env bash
# The service unit as installed: systemd-analyze verifies it and rates its
# hardening; then its ExecStart line, expanded as systemd expands it (the
# unit's Environment=, its EnvironmentFile= files in order, the specifiers),
# runs the installed fiscald on the simulator's pseudo-terminal as instance
# pts-N, which answers a command over TCP and stops with status 0 on SIGTERM.
# systemd is not running here, so its expansion is done by this script.
# Usage: service_unit.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
sim_pid=
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill -KILL "$server_pid" 2>/dev/null || true; fi
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
passed=0

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" --component runtime >/dev/null
unit=$prefix/lib/systemd/system/fiscald@.service
[ -f "$unit" ] || fail "no unit installed"

# verify loads an instance of the template, checks the program exists and
# that man finds the page the unit names.
out=$(cd "$work" && MANPATH=$prefix/share/man systemd-analyze verify "$unit" 2>&1) \
  || fail "systemd-analyze verify: $out"
[ -z "$out" ] || fail "systemd-analyze verify: $out"
# Exposure 3.0 of 10 at most: the sandboxing options are in force.
out=$(systemd-analyze security --offline=true --threshold=30 "$unit" 2>&1) \
  || fail "exposure over 3.0: $(tail -n1 <<<"$out")"
passed=$((passed + 1))

"$build/sim/fiscalsim" -r 2400 >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
line=$(head -n1 "$work/sim.out")
[[ $line == pts/* ]] || fail "the simulator named no pts line: [$line]"
unit_name=$(systemd-escape --template fiscald@.service "$line")
instance=${unit_name#fiscald@}
instance=${instance%.service}
[ "$instance" = "${line/\//-}" ] || fail "instance of $line is $instance"

# The shipped settings with one line changed, and the instance's own file.
etc=$prefix/etc/fiscald
echo 'FISCALD_PORT=0' >>"$etc/fiscald.conf"
printf '%s\n' '# this instance' 'FISCALD_ALLOW="127.0.0.0/8 192.168.0.0/24"' \
  'FISCALD_TRACE_FILE=' >"$etc/$instance.conf"
mkdir -p "$work/state/fiscald" "$work/run/fiscald"   # StateDirectory=, RuntimeDirectory=

# Specifiers: %i the instance, %I it unescaped, %S the state root, %t the
# runtime root, %% a %.
specifiers() {
  local text=$1 out="" c
  while [ -n "$text" ]; do
    c=${text:0:1}
    if [ "$c" = % ]; then
      case ${text:1:1} in
        i) out+=$instance ;;
        I) out+=$(systemd-escape --unescape "$instance") ;;
        S) out+=$work/state ;;
        t) out+=$work/run ;;
        %) out+=% ;;
        *) fail "specifier %${text:1:1} not handled here" ;;
      esac
      text=${text:2}
    else
      out+=$c
      text=${text:1}
    fi
  done
  printf '%s' "$out"
}

# The unit's lines, continuations joined as systemd joins them.
declare -A env=()
env_files=()
exec_start=
while IFS= read -r row || [ -n "$row" ]; do
  while [[ $row == *\\ ]] && IFS= read -r next; do row="${row%\\} $next"; done
  case $row in
    Environment=*)
      for assignment in ${row#Environment=}; do env[${assignment%%=*}]=${assignment#*=}; done ;;
    EnvironmentFile=*) env_files+=("$(specifiers "${row#EnvironmentFile=}")") ;;
    ExecStart=*) exec_start=${row#ExecStart=} ;;
  esac
done <"$unit"

# EnvironmentFile=: NAME=value lines, comments, quotes; '-' marks a file that
# may be missing. Later files win.
for file in "${env_files[@]}"; do
  optional=0
  [[ $file == -* ]] && { optional=1; file=${file#-}; }
  [ -f "$file" ] || { [ $optional = 1 ] && continue; fail "missing $file"; }
  while IFS= read -r row || [ -n "$row" ]; do
    [[ $row =~ ^[[:space:]]*([#\;].*)?$ ]] && continue
    [[ $row =~ ^[[:space:]]*([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*=[[:space:]]*(.*[^[:space:]])?[[:space:]]*$ ]] \
      || fail "$file: not an assignment: $row"
    name=${BASH_REMATCH[1]}
    value=${BASH_REMATCH[2]}
    if [[ $value =~ ^\"(.*)\"$ || $value =~ ^\'(.*)\'$ ]]; then value=${BASH_REMATCH[1]}; fi
    env[$name]=$value
  done <"$file"
done

# ExecStart: $NAME alone splits into words (none when empty), ${NAME} is one
# word even when empty.
argv=()
read -ra words <<<"$exec_start"
for word in "${words[@]}"; do
  word=$(specifiers "$word")
  if [[ $word =~ ^\$([A-Za-z_][A-Za-z0-9_]*)$ ]]; then
    read -ra split <<<"${env[${BASH_REMATCH[1]}]-}"
    argv+=("${split[@]}")
    continue
  fi
  while [[ $word =~ ^(.*)\$\{([A-Za-z_][A-Za-z0-9_]*)\}(.*)$ ]]; do
    word=${BASH_REMATCH[1]}${env[${BASH_REMATCH[2]}]-}${BASH_REMATCH[3]}
  done
  [[ $word == *[\$\"\']* ]] && fail "ExecStart word not handled here: $word"
  argv+=("$word")
done
[ "${argv[0]}" = "$prefix/bin/fiscald" ] || fail "ExecStart runs ${argv[0]}"
[ "${argv[-1]}" = "/dev/$line" ] || fail "ExecStart serves ${argv[-1]}"
printf 'ExecStart:'; printf ' [%s]' "${argv[@]}"; echo

"${argv[@]}" >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
for _ in $(seq 300); do
  grep -q '^escuchando en ' "$work/server.out" && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
address=$(sed -n 's/^escuchando en //p' "$work/server.out")
[[ $address =~ ^127\.0\.0\.1:[0-9]+$ ]] \
  || fail "the server did not listen: $(cat "$work/server.out" "$work/server.err")"
passed=$((passed + 1))

printf '*\n' >"$work/status.txt"
out=$(cd "$work" && "$prefix/bin/ruvado" -p "${address##*:}" -t 127.0.0.1 status.txt) \
  || fail "ruvado ended with status $?: $out"
grep -qE '^Respuesta : \[[0-9A-F]{4}\|[0-9A-F]{4}(\|.*)?\]$' <<<"$out" || fail "no answer: $out"
# --journal: plain lines without CR or stamp.
grep -qx 'Controlador fiscal detectado a 2400 baudios' "$work/server.err" \
  || fail "no plain journal line: $(od -c "$work/server.err" | head)"
# The operator's view, through the control socket the unit names.
out=$("$prefix/bin/fiscald" --status "$work/run/fiscald/$instance.control") \
  || fail "fiscald --status ended with status $?: $out"
grep -qx 'linea abierta' <<<"$out" && grep -qx 'servidos 1' <<<"$out" \
  || fail "fiscald --status: $out"
passed=$((passed + 1))

kill -TERM "$server_pid"
for _ in $(seq 300); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$server_pid" 2>/dev/null && fail "still running 30 s after SIGTERM"
set +e
wait "$server_pid"
status=$?
set -e
server_pid=
[ $status -eq 0 ] || fail "SIGTERM: status $status"
[ -s "$work/state/fiscald/$instance.state" ] || fail "no state file kept"
passed=$((passed + 1))
echo "service unit: $passed passed, 0 failed"
