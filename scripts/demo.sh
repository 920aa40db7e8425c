#!/usr/bin/env bash
# Runs the server against the simulated Modbus ASCII instrument on a
# pseudo-terminal, with the sample configuration of tools/demo
# (docs/tag-config.md explains it), and watches some of its tags live with
# brisvale-client (docs/client.md). The instrument answers as devices 1 and 2
# and falls silent for a few seconds now and then, so the qualities turn bad
# and recover; the sample's last block asks device 3, which never answers.
# One Ctrl-C ends the watch; the script then stops the server with Ctrl-C's
# signal, so that it writes its closing lines, and the instrument after it.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target brisvale-opc brisvale-sim brisvale-client >/dev/null

demo=$here/build/demo
every=30 silent=8  # the instrument's schedule: silent for the last 8 s of every 30 s
mkdir -p "$demo"
# The server names its files after its own path: run a copy in its own folder.
cp -f build/brisvale-opc "$demo/brisvale-opc"
cp -f tools/demo/brisvale-opc.port.cfg tools/demo/brisvale-opc.tag.cfg "$demo/"
echo "level=5" >"$demo/brisvale-opc.log.cfg"
# A registry of the demo's own: the user's registrations stay as they are.
export BRISVALE_COM_REGISTRY=$demo/registry

sim= server=
stop() {
  if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then
    kill -INT "$server"
    for _ in $(seq 300); do kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$server" 2>/dev/null && kill -KILL "$server"
    wait "$server" 2>/dev/null || true
    echo
    echo "Server stopped; the end of its log ($demo/brisvale-opc.log):"
    tail -n 3 "$demo/brisvale-opc.log" | sed 's/^/  /'
  fi
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
}
trap stop EXIT

# Sessions of their own: Ctrl-C in the terminal reaches the client only, and
# the script stops the other two in order.
setsid build/tools/brisvale-sim --link "$demo/ttySIM" --device 1 --device 2 \
  --silent-every "$every" --silent-for "$silent" 2>"$demo/brisvale-sim.err" &
sim=$!
for _ in $(seq 100); do [ -e "$demo/ttySIM" ] && break; sleep 0.1; done
ln -sfn "$(readlink -f "$demo/ttySIM")" "$demo/brisvale-opc.com1"

"$demo/brisvale-opc" /r >/dev/null  # so that the client finds the server by its ProgID
setsid "$demo/brisvale-opc" /c >"$demo/brisvale-opc.out" 2>&1 &
server=$!
for _ in $(seq 300); do
  grep -q "press Ctrl-C to terminate" "$demo/brisvale-opc.out" 2>/dev/null && break
  kill -0 "$server" 2>/dev/null || { cat "$demo/brisvale-opc.out"; exit 1; }
  sleep 0.1
done

echo "Server running (console: $demo/brisvale-opc.out, log: $demo/brisvale-opc.log)."
echo "Watching five tags. The instrument falls silent for $silent s of every $every s: the qualities turn"
echo "\"bad: comm failure (0x18)\" and come back \"good (0xC0)\". FlowRate is device 3, which never answers."
echo "Ctrl-C stops."
# Ctrl-C ends the client; the script goes on to stop the server.
trap : INT
status=0
build/tools/brisvale-client watch Temperature Setpoint Counter0 Input0 FlowRate || status=$?
trap - INT
exit "$status"
