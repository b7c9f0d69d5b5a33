#!/usr/bin/env bash
# Makes the packages and looks inside: the three .deb of the Linux build (each
# holds exactly its own files, programs and libraries stripped, the settings a
# conffile, manual pages that man renders without a warning; lintian finds no
# error or warning in them, and their programs hardened; each unpacked on its
# own, its programs run; the programs' package installed by dpkg into a root
# of its own and purged) and, when the Windows build is there, the zip with
# ruvado.exe stripped, packed into the build folder wherever cpack runs.
# Usage: packages.sh BUILD_DIR [WINDOWS_BUILD_DIR]
set -euo pipefail
build=$1
windows=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
passed=0

cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
version=$(cache CMAKE_PROJECT_VERSION)
release=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_RELEASE "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
config=$(cache CMAKE_BUILD_TYPE | tr '[:upper:]' '[:lower:]')
arch=$(dpkg --print-architecture)
[[ $(cache KIT_SCDOC) == */scdoc ]] || fail "no manual pages: scdoc was not found at configure time (./kit deps)"

cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 || fail "cpack: $(cat "$work/cpack.log")"
for name in fiscalkit fiscalkit-dev fiscalkit-sim; do
  [ -f "$work/${name}_$version-${release}_$arch.deb" ] || fail "no ${name}_$version-${release}_$arch.deb: $(ls "$work")"
done
[ "$(ls "$work"/*.deb | wc -l)" -eq 3 ] || fail "more packages than three: $(ls "$work")"

expect_runtime="etc/fiscald/fiscald.conf usr/bin/fiscald usr/bin/ruvado
usr/lib/systemd/system/fiscald@.service usr/lib/sysusers.d/fiscald.conf
usr/share/doc/fiscalkit/changelog.Debian.gz usr/share/doc/fiscalkit/copyright
usr/share/lintian/overrides/fiscalkit usr/share/man/man1/ruvado.1.gz usr/share/man/man8/fiscald.8.gz"
expect_dev="usr/include/fiscalkit/fiscalframe.h usr/include/fiscalkit/fiscalpacket.h
usr/include/fiscalkit/hexquad.h usr/include/fiscalkit/tracelet.h usr/include/fiscalkit/ttywire.h
usr/lib/cmake/fiscalkit/fiscalkitConfig.cmake usr/lib/cmake/fiscalkit/fiscalkitConfigVersion.cmake
usr/lib/cmake/fiscalkit/fiscalkitTargets-${config:-noconfig}.cmake
usr/lib/cmake/fiscalkit/fiscalkitTargets.cmake usr/lib/libfiscaldriver.a
usr/lib/libfiscalframe.a usr/lib/libfiscalpacket.a
usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/pkgconfig/fiscaldriver.pc
usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/pkgconfig/fiscalpacket.pc
usr/share/doc/fiscalkit-dev/changelog.Debian.gz usr/share/doc/fiscalkit-dev/copyright
usr/share/lintian/overrides/fiscalkit-dev"
expect_sim="usr/bin/fiscalsim usr/share/doc/fiscalkit-sim/changelog.Debian.gz
usr/share/doc/fiscalkit-sim/copyright usr/share/lintian/overrides/fiscalkit-sim
usr/share/man/man1/fiscalsim.1.gz"

# Each package unpacked into a root of its own: what it holds, nothing more.
for name in fiscalkit fiscalkit-dev fiscalkit-sim; do
  deb=$work/${name}_$version-${release}_$arch.deb
  root=$work/$name
  dpkg-deb -x "$deb" "$root"
  case $name in
    fiscalkit) expected=$expect_runtime ;;
    fiscalkit-dev) expected=$expect_dev ;;
    fiscalkit-sim) expected=$expect_sim ;;
  esac
  held=$(cd "$root" && find . -type f -printf '%P\n' | sort)
  [ "$held" = "$(tr ' ' '\n' <<<"$expected" | sort)" ] || fail "$name holds:
$held"
  grep -qx 'License: MIT' "$root/usr/share/doc/$name/copyright" || fail "$name: copyright"
  depends=$(dpkg-deb -f "$deb" Depends)
  case $name in
    fiscalkit-dev) [ -z "$depends" ] || fail "$name depends on $depends" ;;
    *) [[ $depends == *libc6* && $depends != *fiscalkit* ]] || fail "$name depends on [$depends]" ;;
  esac
  for f in $(cd "$root" && find . -path './usr/bin/*' -type f -printf '%P\n'); do
    sections=$(readelf -S -W "$root/$f")
    if grep -qE ' \.(debug_|symtab)' <<<"$sections"; then fail "$name: $f is not stripped"; fi
  done
  for f in $(cd "$root" && find . -name '*.a' -printf '%P\n'); do
    sections=$(readelf -S -W "$root/$f")
    if grep -q ' \.debug_' <<<"$sections"; then fail "$name: $f keeps debug information"; fi
  done
  for page in $(cd "$root" && find . -path './usr/share/man/*' -name '*.gz' -printf '%P\n'); do
    warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$root/$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man $page: $warnings"
  done
done
grep -qx 'prefix=/usr' "$work"/fiscalkit-dev/usr/lib/*/pkgconfig/fiscaldriver.pc \
  || fail "the .deb's pkg-config prefix is not /usr"
passed=$((passed + 1))

# lintian, as Debian checks its own packages: no error, no warning (what it
# gets wrong is overridden in cmake/lintian-overrides), and the programs and
# libraries hardened and stripped as Debian's are, which it tells as infos.
set +e
findings=$(lintian --fail-on error,warning --display-info "$work"/*.deb 2>&1)
status=$?
set -e
printf '%s\n' "$findings"
[ $status -eq 0 ] || fail "lintian: status $status"
if grep -E '^I: .*(hardening-|unneeded-section)' <<<"$findings"; then fail "not hardened or stripped as Debian's"; fi
passed=$((passed + 1))

runtime=$work/fiscalkit
deb=$work/fiscalkit_$version-${release}_$arch.deb
[ "$(dpkg-deb -I "$deb" conffiles)" = /etc/fiscald/fiscald.conf ] || fail "conffiles: $(dpkg-deb -I "$deb" conffiles)"
grep -q "ExecStart=/usr/bin/fiscald " "$runtime/usr/lib/systemd/system/fiscald@.service" \
  || fail "the unit does not run /usr/bin/fiscald"
grep -q "EnvironmentFile=-/etc/fiscald/fiscald.conf" "$runtime/usr/lib/systemd/system/fiscald@.service" \
  || fail "the unit does not read /etc/fiscald/fiscald.conf"
# dpkg installs it into an empty root of its own and runs its maintainer
# scripts from outside (as when a system is built in a folder): the user is
# made there, in dialout; a purge takes the settings and what the services
# kept, and leaves the user.
if [ "$(id -u)" -eq 0 ]; then
  droot=$work/dpkg-root
  mkdir -p "$droot/var/lib/dpkg/info" "$droot/var/lib/dpkg/updates"
  : >"$droot/var/lib/dpkg/status"
  in_root() {
    dpkg --root="$droot" --force-script-chrootless --force-depends "$@" >"$work/dpkg.log" 2>&1 \
      || fail "dpkg $*: $(cat "$work/dpkg.log")"
  }
  in_root -i "$deb"
  grep -qE '^fiscald:x:[0-9]+:[0-9]+:[^:]*:/var/lib/fiscald:/usr/sbin/nologin$' "$droot/etc/passwd" \
    || fail "no fiscald user: $(cat "$droot/etc/passwd")"
  grep -qE '^dialout:x:[0-9]+:(.*,)?fiscald(,.*)?$' "$droot/etc/group" \
    || fail "fiscald is not in dialout: $(cat "$droot/etc/group")"
  mkdir -p "$droot/var/lib/fiscald" "$droot/var/log/fiscald"
  touch "$droot/var/lib/fiscald/ttyS0.state" "$droot/var/log/fiscald/ttyS0.log"
  in_root --purge fiscalkit
  left=$(cd "$droot" && find etc/fiscald var/lib/fiscald var/log/fiscald 2>/dev/null || true)
  [ -z "$left" ] || fail "the purge left $left"
  grep -q '^fiscald:' "$droot/etc/passwd" || fail "the purge took the user"
else
  echo "packages: not root, so dpkg does not run the maintainer scripts"
fi
passed=$((passed + 1))

# The programs, run from where they were unpacked.
set +e
usage=$("$runtime/usr/bin/ruvado"); status=$?
set -e
[ "$usage" = "Uso: ruvado [-p tcpport] -t host archivo " ] && [ $status -eq 1 ] || fail "packaged ruvado: [$usage] status $status"
# ruvado(1) shows the very command line the program's usage gives.
text=$(MANWIDTH=200 man -E UTF-8 -l "$runtime/usr/share/man/man1/ruvado.1.gz" 2>/dev/null)
synopsis=$(sed -n '/^SYNOPSIS/{n;s/^ *//;p;q}' <<<"$text")
[ "Uso: $synopsis " = "$usage" ] || fail "ruvado(1) synopsis [$synopsis]"
for program in fiscalkit/usr/bin/fiscald fiscalkit-sim/usr/bin/fiscalsim; do
  out=$("$work/$program" --version) || fail "$program --version: status $?"
  [ "$out" = "${program##*/} $version" ] || fail "$program --version: [$out]"
  # Every long option of the usage has its place in the manual page.
  page=$(find "$work/${program%%/*}/usr/share/man" -name "${program##*/}.*.gz")
  text=$(MANWIDTH=200 man -E UTF-8 -l "$page" 2>/dev/null)
  for option in $("$work/$program" --help | grep -oE -- '--[a-z][a-z-]+' | sort -u); do
    grep -qwe "$option" <<<"$text" || fail "${page##*/} does not name $option"
  done
done
passed=$((passed + 1))

# The zip a till gets: the 32-bit program, stripped (so that 32-bit Windows
# runs it too, importing only what it always did), the guide with Windows line
# ends, and a sample receipt whose fields are separated by real FS bytes.
# cpack is run from a folder of its own, as from the source tree: the zip and
# cpack's work folder go to the build folder, nothing to where it ran.
if [ -n "$windows" ] && [ -f "$windows/CPackConfig.cmake" ]; then
  mkdir "$work/cwd"
  rm -f "$windows"/ruvado-*-windows.zip
  (cd "$work/cwd" && cpack --config "$windows/CPackConfig.cmake" >"$work/cpack.log" 2>&1) \
    || fail "cpack: $(cat "$work/cpack.log")"
  left=$(ls -A "$work/cwd")
  [ -z "$left" ] || fail "cpack left in the folder it ran in: $left"
  zip=$(ls "$windows"/ruvado-*-windows.zip) || fail "no ruvado-<version>-windows.zip made in $windows"
  unzip -q "$zip" -d "$work/zip"
  listing=$(cd "$work/zip" && find . -type f | sort)
  folder=$(basename "$zip" .zip)
  [ "$listing" = "$(printf './%s/%s\n' "$folder" README.txt "$folder" receipt.txt "$folder" ruvado.exe)" ] \
    || fail "the zip holds: $listing"
  till=$work/zip/$folder
  kind=$(file -b "$till/ruvado.exe")
  [[ "$kind" == "PE32 executable (console) Intel 80386"* ]] || fail "ruvado.exe is not a 32-bit console program: $kind"
  sections=$(i686-w64-mingw32-objdump -h "$till/ruvado.exe")
  if grep -qE ' \.debug_' <<<"$sections"; then fail "ruvado.exe is not stripped"; fi
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
