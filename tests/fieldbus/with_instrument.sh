#!/usr/bin/env bash
# Runs COMMAND with the reference Modbus ASCII instrument (reference_instrument.py
# with the ARGs) on the far end of a pseudo-terminal pair
# that COMMAND reaches as COM1, while COM9 names no device: through links
# <exe>.comN beside COMMAND's executable, or with --wine, through the registry
# of that Wine prefix (created on first use).
# COMMAND can unplug the line and plug it back: it gets a folder
# in BRISVALE_LINE_CONTROL where creating the file "unplug" stops the
# instrument and its pseudo-terminals (the file "unplugged" then appears), and
# creating "replug" starts new ones under the same name ("replugged" appears
# once they serve).
# usage: with_instrument.sh [--wine PREFIX] [ARG...] -- COMMAND [ARG...]
# Every process started here is stopped by its own PID.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
prefix=
args=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  case $1 in
    --wine) prefix=$2; shift ;;
    *) args+=("$1") ;;
  esac
  shift
done
shift
work=$(mktemp -d)
# Reaped processes leave their list: their numbers may soon be another's.
line_pids=()
command_pid=
links=()
cleanup() {
  kill "${line_pids[@]}" $command_pid 2>/dev/null
  wait "${line_pids[@]}" $command_pid 2>/dev/null
  rm -rf "$work" "${links[@]}"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Polls for up to 60 s (Python starts slowly on a loaded machine), as long as pid lives.
wait_for() {  # pid test...
  local pid=$1 i
  shift
  for ((i = 0; i < 600; i++)); do
    "$@" && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "with_instrument: no $*" >&2
  exit 1
}

start_line() {
  rm -f "$work/ready"
  socat pty,raw,echo=0,link="$work/ttyA" pty,raw,echo=0,link="$work/ttyB" &
  line_pids=($!)
  wait_for $! test -e "$work/ttyA" -a -e "$work/ttyB"
  /usr/bin/python3 "$here/reference_instrument.py" --port "$work/ttyB" --ready "$work/ready" "${args[@]}" &
  line_pids+=($!)
  wait_for $! test -e "$work/ready"
}
# The pseudo-terminal under COM1 goes, as an unplugged adapter does.
stop_line() {
  kill "${line_pids[@]}" 2>/dev/null
  wait "${line_pids[@]}" 2>/dev/null
  line_pids=()
  rm -f "$work/ttyA" "$work/ttyB"
}

start_line
# Named by its link, so that a new pseudo-terminal is found under the same name.
device=$work/ttyA

if [ -n "$prefix" ]; then
  export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY
  # COM1 mapped to the line, COM9 to nothing, as the end-to-end tests map them.
  /usr/bin/python3 -c 'import sys; sys.path[:0] = sys.argv[1:2]; import line; line.map_wine_ports(sys.argv[2])' \
    "$here/../e2e" "$device" || exit 1
else
  exe=$(readlink -f "$(command -v "$1")")
  links=("$exe.com1" "$exe.com9")
  ln -sfn "$device" "$exe.com1" && ln -sfn "$work/none" "$exe.com9" || exit 1
fi
control=$work/control
mkdir -p "$control"
# Wine's drive Z: is the Unix root.
BRISVALE_LINE_CONTROL=${prefix:+Z:}$control "$@" &
command_pid=$!
while kill -0 "$command_pid" 2>/dev/null; do
  if [ -e "$control/unplug" ]; then
    # A request taken clears the answer to the one before, so that a second
    # round waits for its own.
    rm -f "$control/unplug" "$control/replugged"
    stop_line
    touch "$control/unplugged"
  elif [ -e "$control/replug" ]; then
    rm -f "$control/replug" "$control/unplugged"
    start_line
    touch "$control/replugged"
  fi
  sleep 0.05
done
wait "$command_pid"
status=$?
command_pid=
[ -z "$prefix" ] || wineserver -w
exit $status
