#!/usr/bin/env bash
# Runs a command with the reference Modbus ASCII instrument on the far end of a
# pseudo-terminal pair, and with the command's COM ports mapped to it.
#
# usage: with_instrument.sh [--com N] [--missing-com N] [--wine PREFIX]
#                           [--device U]... [--corrupt U:MODE]... -- COMMAND [ARG...]
#
#   --com N          COMn reaches the instrument (default 1)
#   --missing-com N  COMn names a device that does not exist
#   --wine PREFIX    COMMAND runs under Wine: map the ports in the registry of
#                    this private prefix (created on first use), not by links
#   --device, --corrupt   passed to reference_instrument.py
#
# On Linux the ports are the links <exe>.comN beside COMMAND's executable.
# Every process started here is stopped by its own PID at the end.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)

com=1
missing=
prefix=
instrument_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --com) com=$2; shift 2 ;;
    --missing-com) missing=$2; shift 2 ;;
    --wine) prefix=$2; shift 2 ;;
    --device | --corrupt) instrument_args+=("$1" "$2"); shift 2 ;;
    --) shift; break ;;
    *) echo "with_instrument: unknown option $1" >&2; exit 2 ;;
  esac
done
[ $# -gt 0 ] || { echo "with_instrument: no command" >&2; exit 2; }
[ ${#instrument_args[@]} -gt 0 ] || instrument_args=(--device 1)

work=$(mktemp -d)
pids=()
links=()

cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  [ ${#links[@]} -eq 0 ] || rm -f "${links[@]}"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Polls for a condition for up to 60 s (a loaded machine can be slow to start
# Python); fails at once if the process it waits for has died.
wait_for() {  # description pid test...
  local what=$1 pid=$2; shift 2
  local i
  for ((i = 0; i < 600; i++)); do
    "$@" && return 0
    kill -0 "$pid" 2>/dev/null || { echo "with_instrument: $what: process ended" >&2; return 1; }
    sleep 0.1
  done
  echo "with_instrument: $what: timed out" >&2
  return 1
}
both_links() { [ -e "$work/ttyA" ] && [ -e "$work/ttyB" ]; }

socat pty,raw,echo=0,link="$work/ttyA" pty,raw,echo=0,link="$work/ttyB" &
pids+=($!)
wait_for "socat pty pair" "${pids[-1]}" both_links || exit 1

/usr/bin/python3 "$here/reference_instrument.py" --port "$work/ttyB" --ready "$work/ready" "${instrument_args[@]}" &
pids+=($!)
wait_for "reference instrument" "${pids[-1]}" test -e "$work/ready" || exit 1

device=$(readlink -f "$work/ttyA")

if [ -n "$prefix" ]; then
  export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
  unset DISPLAY
  mkdir -p "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then wineboot -i >/dev/null 2>&1; wineserver -w; fi
  wine reg add 'HKLM\Software\Wine\Ports' /v "COM$com" /t REG_SZ /d "$device" /f >/dev/null 2>&1 || exit 1
  # Wine opens a port mapped to a missing path all the same: a missing port
  # is one with no mapping at all.
  [ -z "$missing" ] || wine reg delete 'HKLM\Software\Wine\Ports' /v "COM$missing" /f >/dev/null 2>&1
  # The port mapping is read when the wineserver starts.
  wineserver -w
  if [ -n "$missing" ] && [ -e "$WINEPREFIX/dosdevices/com$missing" ]; then
    echo "with_instrument: Wine maps COM$missing to a device of this machine; choose another port" >&2
    exit 1
  fi
else
  exe=$(readlink -f "$(command -v "$1")")
  ln -sfn "$device" "$exe.com$com"
  links+=("$exe.com$com")
  if [ -n "$missing" ]; then
    ln -sfn "$work/no-such-device" "$exe.com$missing"
    links+=("$exe.com$missing")
  fi
fi

"$@"
status=$?
[ -z "$prefix" ] || wineserver -w
exit $status
