#!/bin/sh
# Runs a Windows program under wine in a prefix private to the build folder.
# Usage: wine-run.sh PREFIX PROGRAM.exe [ARG...]
# The prefix is made on first use (under a lock, since CTest may start several
# tests at once), and one persistent wineserver is kept alive for it so that
# every later start takes milliseconds instead of seconds.
# A 32-bit program (PE32) runs in a 32-bit prefix, a 64-bit one in a 64-bit
# prefix. Where wine has no 32-bit part (wine32), a 32-bit program is not run:
# the status is 77, which the tests take as skipped.
set -eu
prefix=$1
shift
case "$(file -b "$1")" in
  PE32+*) WINEARCH=win64 ;;
  PE32*) WINEARCH=win32 ;;
  *) echo "wine-run: $1 is no Windows program" >&2; exit 2 ;;
esac
wine32=no
[ -x /usr/lib/wine/wine ] && wine32=yes
if [ "$WINEARCH" = win32 ] && [ "$wine32" = no ]; then
  echo "wine-run: no 32-bit wine (wine32:i386) here, so $1 (32-bit) is not run" >&2
  exit 77
fi
mkdir -p "$prefix"
WINEPREFIX=$(cd "$prefix" && pwd)
WINEDEBUG=-all
# No browser or .NET engine is wanted, and their install prompts would hang.
WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEPREFIX WINEDEBUG WINEARCH WINEDLLOVERRIDES
unset DISPLAY
# What the prefix was made for. A prefix made for the other architecture, or
# for a 64-bit wine before its 32-bit part came (then nothing starts in it:
# "could not load kernel32.dll"), is made anew.
made_for="$WINEARCH wine32=$wine32"
if [ "$(cat "$WINEPREFIX/.kit-ready" 2>/dev/null)" != "$made_for" ]; then
  (
    flock 9
    if [ "$(cat "$WINEPREFIX/.kit-ready" 2>/dev/null)" != "$made_for" ]; then
      if [ -e "$WINEPREFIX/system.reg" ] || [ -e "$WINEPREFIX/.kit-ready" ]; then
        wineserver -k >/dev/null 2>&1 </dev/null 9>&- || true
        rm -rf "$WINEPREFIX"
        mkdir -p "$WINEPREFIX"
      fi
      wineboot -i >/dev/null 2>&1 </dev/null 9>&- || true
      wineserver -w
      echo "$made_for" >"$WINEPREFIX/.kit-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
# Keeps the server up between tests; a no-op when it already runs. A server
# started here gets its session's services booted at once with no output, or
# the first program would start them holding its output pipe open for as long
# as the server lives (and CTest would wait for that pipe forever).
(
  flock 9
  if wineserver -p >/dev/null 2>&1 </dev/null 9>&-; then
    wineboot >/dev/null 2>&1 </dev/null 9>&- || true
  fi
) 9>"$WINEPREFIX.lock"
exec wine "$@"
