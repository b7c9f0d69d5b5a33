#!/usr/bin/env bash
# Runs one fuzz target for a bounded time from a scratch copy of its seeds
# (the committed corpus stays as it is), at low priority.
# Usage: run.sh TARGET SEED_DIR SECONDS [libFuzzer options...]
set -euo pipefail
target=$1 seeds=$2 seconds=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$seeds/." "$work/"
# Crash inputs land in the test's working directory as crash-<hash>.
exec nice -n 10 "$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
  -max_len=65536 -print_final_stats=1 "$@" "$work"
