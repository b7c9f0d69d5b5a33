#!/usr/bin/env bash
# Makes the packages and looks inside: the .deb of the Linux build (unpacked,
# its programs run) and, when the Windows build is there, the zip with
# ruvado.exe.
# Usage: packages.sh BUILD_DIR [WINDOWS_BUILD_DIR]
set -euo pipefail
build=$1
windows=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
passed=0

(cd "$work" && cpack --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$work"/*.deb) || fail "no .deb made"
dpkg-deb -x "$deb" "$work/root"
for f in usr/bin/ruvado usr/bin/fiscald usr/bin/fiscalsim usr/include/fiscalkit/ttywire.h \
         usr/lib/libfiscaldriver.a usr/lib/pkgconfig/fiscaldriver.pc \
         usr/lib/cmake/fiscalkit/fiscalkitConfig.cmake; do
  [ -e "$work/root/$f" ] || fail "the .deb lacks $f"
done
grep -qx 'prefix=/usr' "$work/root/usr/lib/pkgconfig/fiscaldriver.pc" || fail "the .deb's pkg-config prefix is not /usr"
set +e
usage=$("$work/root/usr/bin/ruvado"); status=$?
set -e
[ "$usage" = "Uso: ruvado [-p tcpport] -t host archivo " ] && [ $status -eq 1 ] || fail "packaged ruvado: [$usage] status $status"
passed=$((passed + 1))

if [ -n "$windows" ] && [ -f "$windows/CPackConfig.cmake" ]; then
  (cd "$work" && cpack --config "$windows/CPackConfig.cmake" >/dev/null)
  zip=$(ls "$work"/*.zip) || fail "no zip made"
  listing=$(unzip -Z1 "$zip")
  grep -qx 'ruvado-[0-9.]*-windows/ruvado.exe' <<<"$listing" || fail "the zip lacks ruvado.exe: $listing"
  passed=$((passed + 1))
fi
echo "packages: $passed passed, 0 failed"
