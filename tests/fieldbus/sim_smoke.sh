#!/usr/bin/env bash
# The simulated instrument as a program: its command line, its pty link, and
# its answers as an independent master (pyserial) sees them.
# usage: sim_smoke.sh PATH/TO/brisvale-sim
set -uo pipefail
sim=$1
work=$(mktemp -d)
pid=
cleanup() {
  [ -z "$pid" ] || { kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; }
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

wait_for_link() {
  local i
  for ((i = 0; i < 300; i++)); do
    [ -L "$1" ] && return 0
    kill -0 "$pid" 2>/dev/null || fail "brisvale-sim ended before its link appeared"
    sleep 0.1
  done
  fail "no link $1"
}

# Sends one request per argument (device:start:count) and prints each answer,
# or "silent"; every request opens the port afresh, as the server does.
ask() {
  /usr/bin/python3 - "$@" <<'PY'
import sys, serial
port = sys.argv[1]
for item in sys.argv[2:]:
    unit, start, count = (int(x) for x in item.split(":"))
    m = bytes([unit, 3, start >> 8, start & 255, count >> 8, count & 255])
    frame = b":" + m.hex().upper().encode() + b"%02X\r\n" % ((-sum(m)) & 0xFF)
    with serial.Serial(port, 9600, timeout=0.5, exclusive=True) as s:
        s.reset_input_buffer()
        s.write(frame)
        answer = s.read_until(b"\n", 600)
    print(answer.decode("ascii", "replace").strip() or "silent")
PY
}

lrc_ok() {  # :HEX...LRC
  /usr/bin/python3 -c 'import sys; b = bytes.fromhex(sys.argv[1][1:]); sys.exit(0 if sum(b) % 256 == 0 and sys.argv[1] == sys.argv[1].upper() else 1)' "$1"
}

"$sim" --help | grep -q "usage: brisvale-sim" || fail "--help"
"$sim" --bogus 2>/dev/null; [ $? -eq 2 ] || fail "a bad option must exit with 2"

link="$work/ttySIM"
"$sim" --link "$link" --device 1 --device 2 2>"$work/sim.log" &
pid=$!
wait_for_link "$link"
mapfile -t answers < <(ask "$link" 1:0:2 2:8:3 3:0:1 1:0:0 1:1023:2 1:0:2)
[ ${#answers[@]} -eq 6 ] || fail "answers: ${answers[*]}"
[[ ${answers[0]} == :010304* ]] && lrc_ok "${answers[0]}" || fail "device 1: ${answers[0]}"
[[ ${answers[1]} == :020306* ]] && lrc_ok "${answers[1]}" || fail "device 2: ${answers[1]}"
[ "${answers[2]}" = silent ] || fail "device 3 must be silent: ${answers[2]}"
[ "${answers[3]}" = :01830379 ] || fail "count 0: ${answers[3]}"
[ "${answers[4]}" = :0183027A ] || fail "past the table: ${answers[4]}"
[[ ${answers[5]} == :010304* ]] || fail "after reopening: ${answers[5]}"
kill -TERM "$pid"
wait "$pid"; status=$?; pid=
[ $status -eq 0 ] || fail "SIGTERM must end it cleanly, status $status"
[ ! -e "$link" ] && [ ! -L "$link" ] || fail "the link must go at exit"

"$sim" --link "$link" --garble lrc --once 2>/dev/null &
pid=$!
wait_for_link "$link"
answer=$(ask "$link" 1:0:2)
[[ $answer == :010304* ]] && ! lrc_ok "$answer" || fail "garbled LRC: $answer"
for ((i = 0; i < 100; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
wait "$pid"; status=$?; pid=
[ $status -eq 0 ] || fail "--once must end after one request, status $status"

"$sim" --link "$link" --silent 2>/dev/null &
pid=$!
wait_for_link "$link"
[ "$(ask "$link" 1:0:2)" = silent ] || fail "--silent"
kill -INT "$pid"
wait "$pid"; status=$?; pid=
[ $status -eq 0 ] || fail "SIGINT must end it cleanly, status $status"
echo "brisvale-sim: all checks passed"
