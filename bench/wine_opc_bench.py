#!/usr/bin/env python3
"""wine_opc_bench.py SERVER PROBE: figures of the OPC interfaces across processes under Wine, for
bench/README.md. Runs a copy of the server registered in WINEPREFIX (a private prefix, made on first use) with
1,000 tags on five devices of the reference instrument, and the probe client of the tests (tests/com):
activation with no server running and with one running, a sync read of every tag, the delay from a pass's
timestamp to the client's OnDataChange, and the server's CPU with 0 and 5 subscribed clients at 100 ms.
Not a test: nothing is asserted."""
import os, pathlib, shutil, statistics, subprocess, sys, tempfile, time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "e2e"))
from line import WINE64, Instrument, Relay, map_wine_ports, quietly  # noqa: E402

SERVER, PROBE = sys.argv[1:3]
DEVICES = (1, 2, 3, 4, 5)
SECONDS = int(os.environ.get("BENCH_SECONDS", "10"))  # each CPU figure and the watch time


def tag_file(devices=DEVICES, blocks=4):
    """200 tags a device, in four blocks of 50 registers polled every 100 ms: 1,000 tags."""
    text = "<TagConfig>\n"
    for device in devices:
        for block in range(blocks):
            text += ("  <QueryBlock deviceAddr='%d' millisecondPeriod='100'>\n    <BlockOfRegs namePrefix='D%dB%d_' "
                     "count='50' addrStart='%d'/>\n  </QueryBlock>\n" % (device, device, block, block * 50))
    return text + "</TagConfig>\n"


def probe(folder, *args, seconds=None):
    out = os.path.join(folder, "probe-%s.out" % time.monotonic_ns())
    with open(out, "wb") as sink:
        process = subprocess.Popen([WINE64, PROBE, *args], stdin=subprocess.DEVNULL, stdout=sink,
                                   stderr=subprocess.STDOUT)
    return process, out


def lines(out):
    return pathlib.Path(out).read_text(errors="replace").replace("\r", "").splitlines()


def run_probe(folder, *args):
    process, out = probe(folder, *args)
    process.wait(300)
    return lines(out)


def figure(found, key):
    return [line.split(" ", 1)[1] for line in found if line.startswith(key + " ")]


def server_pids(folder):
    name = os.path.basename(folder)
    found = []
    for p in os.listdir("/proc"):
        try:  # a process may end between the listing and the reading
            if p.isdigit() and name in pathlib.Path("/proc", p, "cmdline").read_bytes().decode(errors="replace"):
                found.append(int(p))
        except OSError:
            pass
    return found


def cpu_seconds(pid):
    fields = pathlib.Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def cpu_share(pid):
    before, start = cpu_seconds(pid), time.monotonic()
    time.sleep(SECONDS)
    return 100.0 * (cpu_seconds(pid) - before) / (time.monotonic() - start)


def lag_figures(watchers):
    lags = sorted(float(line.split()[1]) for _, out in watchers for line in lines(out) if line.startswith("lag-ms "))
    if not lags:
        return "none: %r" % [lines(out) for _, out in watchers]
    return "%d callbacks, median %.1f, 90%% %.1f, max %.1f" % (
        len(lags), statistics.median(lags), lags[int(len(lags) * 0.9)], lags[-1])


def main():
    relay = Relay()
    map_wine_ports(relay.server_path)
    counters = []
    for device in DEVICES:
        counters += ["--count", "%d:0" % device]
    instrument = Instrument(relay, list(DEVICES), counters)
    instrument.start()
    folder = tempfile.mkdtemp(prefix="brisvale-bench-")
    exe = shutil.copy2(SERVER, folder)
    shutil.copy2(os.path.join(os.path.dirname(SERVER), "brisvale-opc-ps.dll"), folder)
    pathlib.Path(exe + ".port.cfg").write_text("COM1:baud=9600 parity=N data=8 stop=1")
    pathlib.Path(exe + ".tag.cfg").write_text(tag_file())
    quietly(WINE64, exe, "/r")
    try:
        cold = run_probe(folder, "time", "0")
        print("activation, no server running:", figure(cold, "activation-ms"))
        warm = [figure(run_probe(folder, "time", "0"), "activation-ms")[0] for _ in range(5)]
        print("activation, server running:", warm)
        print("sync read of every tag:", figure(run_probe(folder, "time", "50"), "read-ms"))
        pid = server_pids(folder)[0]
        print("server CPU %%, no client: %.1f" % cpu_share(pid))
        watchers = [probe(folder, "lag", str(SECONDS + 20)) for _ in range(5)]
        time.sleep(5)  # all subscribed
        print("server CPU %%, 5 clients at 100 ms: %.1f" % cpu_share(pid))
        for process, _ in watchers:
            process.wait(300)
        print("pass timestamp -> OnDataChange, 1,000 tags, ms:", lag_figures(watchers))
        # One short block: the pass is over within a few milliseconds of its timestamp.
        for pid in server_pids(folder):
            os.kill(pid, 9)
        subprocess.run(["wineserver", "-k"])  # or Wine's COM keeps the dead server's class registered
        pathlib.Path(exe + ".tag.cfg").write_text(tag_file(DEVICES[:1], 1))
        watchers = [probe(folder, "lag", str(SECONDS))]
        watchers[0][0].wait(300)
        print("pass timestamp -> OnDataChange, 50 tags, ms:", lag_figures(watchers))
    finally:
        for pid in server_pids(folder):
            os.kill(pid, 9)
        quietly(WINE64, exe, "/u")
        instrument.stop()
        relay.close()
        subprocess.run(["wineserver", "-k"])
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
