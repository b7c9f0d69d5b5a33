#!/bin/sh
# Runs the local-address test in a fresh network namespace (as an
# unprivileged user namespace's root) laid out by SCENARIO:
#   pick: lo up; "kitdown" down with 192.0.2.77/24; "kitup" up with
#         198.51.100.5/25 -> the test expects 198.51.100.5/255.255.255.128
#   none: only lo, up -> the test expects no address
# Exits 77 (skipped) where namespaces cannot be made.
set -eu
test_binary=$1
scenario=$2
unshare -rn true 2>/dev/null || { echo "no network namespaces here"; exit 77; }
export LOCALADDR_EXPECT
case $scenario in
pick) LOCALADDR_EXPECT=198.51.100.5/255.255.255.128 ;;
none) LOCALADDR_EXPECT=none ;;
esac
exec unshare -rn sh -ec '
  ip link set lo up
  if [ "$1" = pick ]; then
    ip link add kitup type veth peer name kitdown
    ip addr add 192.0.2.77/24 dev kitdown
    ip addr add 198.51.100.5/25 dev kitup
    ip link set kitup up
  fi
  exec "$0"
' "$test_binary" "$scenario"
