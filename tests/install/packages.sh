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

# The zip a till gets: the 32-bit program (so that 32-bit Windows runs it too,
# importing only what it always did), the guide with Windows line ends, and a
# sample receipt whose fields are separated by real FS bytes.
if [ -n "$windows" ] && [ -f "$windows/CPackConfig.cmake" ]; then
  (cd "$work" && cpack --config "$windows/CPackConfig.cmake" >/dev/null)
  zip=$(ls "$work"/ruvado-*-windows.zip) || fail "no ruvado-<version>-windows.zip made"
  unzip -q "$zip" -d "$work/zip"
  listing=$(cd "$work/zip" && find . -type f | sort)
  folder=$(basename "$zip" .zip)
  [ "$listing" = "$(printf './%s/%s\n' "$folder" README.txt "$folder" receipt.txt "$folder" ruvado.exe)" ] \
    || fail "the zip holds: $listing"
  till=$work/zip/$folder
  kind=$(file -b "$till/ruvado.exe")
  [[ "$kind" == "PE32 executable (console) Intel 80386"* ]] || fail "ruvado.exe is not a 32-bit console program: $kind"
  dlls=$(i686-w64-mingw32-objdump -p "$till/ruvado.exe" | sed -n 's/^\tDLL Name: //p' | tr a-z A-Z | sort | tr '\n' ' ')
  [ "$dlls" = "KERNEL32.DLL MSVCRT.DLL WSOCK32.DLL " ] || fail "ruvado.exe imports $dlls"
  for text in README.txt receipt.txt; do
    [ "$(tr -cd '\n' <"$till/$text" | wc -c)" -gt 0 ] \
      && [ "$(grep -c $'\r$' "$till/$text")" = "$(tr -cd '\n' <"$till/$text" | wc -c)" ] \
      || fail "$text does not end every line in CR LF"
  done
  grep -q $'^B\x1c[^\x1c]*\x1c[0-9]*\x1c[0-9.]*\r$' "$till/receipt.txt" || fail "receipt.txt has no item with FS bytes"
  for code in A C E; do
    grep -qx "$code"$'\r' "$till/receipt.txt" || fail "receipt.txt lacks command $code"
  done
  passed=$((passed + 1))
fi
echo "packages: $passed passed, 0 failed"
