#!/usr/bin/env bash
# Runs the Windows port test under Wine with COM1 mapped to a pseudo-terminal
# whose far end echoes. COM9 stays unmapped: no such device.
#
# usage: wine_port_test.sh WINE TEST_EXE [ARG...]
#
# The mapping goes into the registry of the prefix in WINEPREFIX (the one the
# other Windows tests use): it takes effect when the wineserver starts, so
# nothing else may run in that prefix meanwhile. It is removed at the end.
# Every process started here is stopped by its own PID.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wine=$1
shift

export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY
ports='HKLM\Software\Wine\Ports'

work=$(mktemp -d)
peer=
cleanup() {
  # The wineserver goes first: it holds the terminal, and its far end
  # closing would hang it up.
  wineserver -w
  if [ -n "$peer" ]; then kill "$peer" 2>/dev/null; wait "$peer" 2>/dev/null; fi
  "$wine" reg delete "$ports" /v COM1 /f >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

/usr/bin/python3 "$here/echo_peer.py" "$work/ready" &
peer=$!
# Python may be slow to start on a loaded machine: up to 60 s.
for ((i = 0; i < 600; i++)); do
  [ -e "$work/ready" ] && break
  kill -0 "$peer" 2>/dev/null || { echo "wine_port_test: the echo peer ended" >&2; exit 1; }
  sleep 0.1
done
[ -e "$work/ready" ] || { echo "wine_port_test: the echo peer did not start" >&2; exit 1; }

"$wine" reg add "$ports" /v COM1 /t REG_SZ /d "$(cat "$work/ready")" /f >/dev/null 2>&1 || exit 1
wineserver -w

"$wine" "$@"
