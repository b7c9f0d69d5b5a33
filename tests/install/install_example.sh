#!/usr/bin/env bash
# Installs the kit into a temporary prefix, builds the example host program
# against it twice (pkg-config, then the CMake package), and runs both against
# the installed simulator.
# Usage: install_example.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/ruvado bin/fiscald bin/fiscalsim include/fiscalkit/ttywire.h \
         include/fiscalkit/tracelet.h include/fiscalkit/hexquad.h \
         include/fiscalkit/fiscalpacket.h lib/libfiscaldriver.a lib/libfiscalpacket.a \
         lib/pkgconfig/fiscaldriver.pc lib/pkgconfig/fiscalpacket.pc \
         lib/cmake/fiscalkit/fiscalkitConfig.cmake; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done
grep -qx "prefix=$prefix" "$prefix/lib/pkgconfig/fiscaldriver.pc" || fail "pkg-config prefix is not the install prefix"

# A sanitizer build installs instrumented libraries: the host is built with
# the same flags (KIT_SANITIZE_FLAGS), and then needs the sanitizers' runtime.
san=${KIT_SANITIZE_FLAGS:-}

# pkg-config, with the C compiler and linker only.
PKG_CONFIG_PATH=$prefix/lib/pkgconfig
export PKG_CONFIG_PATH
cc -std=c11 -Wall -Wextra -Werror $san "$source/examples/host/minihost.c" \
   $(pkg-config --cflags --libs fiscalpacket) -o "$work/minihost-pc"
# The CMake package.
cmake -S "$source/examples/host" -B "$work/cmake-build" -G Ninja \
      -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$san" -DCMAKE_EXE_LINKER_FLAGS="$san" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
if [ -z "$san" ] && ldd "$work/minihost-pc" | grep -q libstdc++; then fail "the C host needs the C++ runtime"; fi

"$prefix/bin/fiscalsim" -r 19200 >"$work/sim.out" &
sim_pid=$!
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
port=$(head -n1 "$work/sim.out")
[ -n "$port" ] || fail "the simulator named no port"

for host in "$work/minihost-pc" "$work/cmake-build/minihost"; do
  out=$("$host" "$port") || fail "$host ended with status $?"
  printf '%s\n' "$out"
  grep -q $'^Controlador fiscal detectado a 19200 baudios\r$' <<<"$out" || fail "$host: rate not found"
  grep -qE '^status [0-9A-F]{4} [0-9A-F]{4} answer \[.*\|.*\]$' <<<"$out" || fail "$host: no status answer"
done
echo "install example: 2 passed, 0 failed"
