#!/bin/sh
# Runs a Windows program under wine in a prefix private to the build folder.
# Usage: wine-run.sh PREFIX PROGRAM.exe [ARG...]
# The prefix is made on first use (under a lock, since CTest may start several
# tests at once), and one persistent wineserver is kept alive for it so that
# every later start takes milliseconds instead of seconds.
set -eu
prefix=$1
shift
mkdir -p "$prefix"
WINEPREFIX=$(cd "$prefix" && pwd)
WINEDEBUG=-all
WINEARCH=win64
# No browser or .NET engine is wanted, and their install prompts would hang.
WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEPREFIX WINEDEBUG WINEARCH WINEDLLOVERRIDES
unset DISPLAY
if [ ! -f "$WINEPREFIX/.kit-ready" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.kit-ready" ]; then
      wineboot -i >/dev/null 2>&1 || true
      wineserver -w
      touch "$WINEPREFIX/.kit-ready"
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
