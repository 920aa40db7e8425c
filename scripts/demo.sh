#!/usr/bin/env bash
# Runs the server in console mode against the simulated Modbus ASCII
# instrument on a pseudo-terminal, with the sample configuration of
# tools/demo (docs/tag-config.md explains it). The instrument answers as
# devices 1 and 2; the sample's last block asks device 3, which stays silent,
# so the row of "+" shows the error banner and "-" as well.
# Press Ctrl-C to stop the server; the instrument stops with it.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target brisvale-opc brisvale-sim >/dev/null

demo=build/demo
mkdir -p "$demo"
# The server names its files after its own path: run a copy in its own folder.
cp -f build/brisvale-opc "$demo/brisvale-opc"
cp -f tools/demo/brisvale-opc.port.cfg tools/demo/brisvale-opc.tag.cfg "$demo/"
echo "level=5" >"$demo/brisvale-opc.log.cfg"

# A session of its own: Ctrl-C in the terminal reaches the server only, so the
# instrument does not vanish under the server's last reads.
setsid build/tools/brisvale-sim --link "$here/$demo/ttySIM" --device 1 --device 2 &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "$demo/ttySIM" ] && break; sleep 0.1; done
ln -sfn "$(readlink -f "$demo/ttySIM")" "$demo/brisvale-opc.com1"

echo "Log: $demo/brisvale-opc.log (level 5: $demo/brisvale-opc.log.cfg)"
echo "Expect a + for every block read, and - for device 3, which does not answer. Ctrl-C stops."
"$demo/brisvale-opc" /c && status=0 || status=$?
exit "$status"
