#!/usr/bin/python3
"""client_roundtrip.py SERVER CLIENT SIM [--reads N] [--seconds S]: brisvale-client's path across the process
boundary on Linux, with 1 and with 20 clients at once. A copy of the server runs in console mode in a folder of
its own with a registry of its own, polling 1,000 registers of the simulated instrument (17 blocks, every pass).
- read: one `brisvale-client --json read` of all 1,000 tags, from start to exit (activation, browse, AddItems,
  the sync read from the cache, the JSON); wall time per run, and the server's CPU per read: its CPU time over
  the runs (every thread, /proc/PID/stat) less what it spends polling alone in the same time.
- change: `brisvale-client watch --json --rate 100` on the first block's ten tags; for every line, the time it
  reaches us less the value's timestamp (the start of the polling pass that read it)."""
import argparse, calendar, json, os, pathlib, shutil, subprocess, sys, tempfile, threading, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from line import wait_until  # noqa: E402

TAGS, PER_BLOCK = 1000, 61
WATCHED = ["R%d" % k for k in range(10)]


def cpu_ns(pid):
    """User and system time of every thread, those that have ended included (the server's connection threads end
    with their clients), in clock ticks: fine enough over many reads."""
    fields = pathlib.Path("/proc/%d/stat" % pid).read_text().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) * 1e9 / os.sysconf("SC_CLK_TCK")


def quantiles(values):
    ordered = sorted(values)
    return ordered[len(ordered) // 2], ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]


def epoch_of(timestamp):  # "2026-12-07T02:35:01.123Z"
    return calendar.timegm(time.strptime(timestamp[:19], "%Y-%m-%dT%H:%M:%S")) + int(timestamp[20:23]) / 1000


def reads(client, env, clients, per_client):
    times, lock = [], threading.Lock()

    def one_client():
        for _ in range(per_client):
            start = time.monotonic()
            done = subprocess.run([client, "--json", "read"], env=env, stdin=subprocess.DEVNULL,
                                  capture_output=True)
            elapsed = time.monotonic() - start
            if done.returncode != 0 or len(json.loads(done.stdout)["items"]) != TAGS:
                raise SystemExit("read failed: %r" % done.stderr)
            with lock:
                times.append(elapsed)
    threads = [threading.Thread(target=one_client) for _ in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return times


def changes(client, env, clients, seconds):
    latencies, lock = [], threading.Lock()
    watchers = [subprocess.Popen([client, "watch", "--json", "--rate", "100", *WATCHED], env=env,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
                for _ in range(clients)]

    def collect(watcher):
        first = True
        for line in watcher.stdout:
            arrived = time.time()
            if first:  # the values held at subscription are not changes
                first = False
                continue
            with lock:
                latencies.append(arrived - epoch_of(json.loads(line)["timestamp"]))
    readers = [threading.Thread(target=collect, args=(w,), daemon=True) for w in watchers]
    for reader in readers:
        reader.start()
    time.sleep(seconds)
    for watcher in watchers:
        watcher.send_signal(2)
    for watcher in watchers:
        watcher.wait(60)
    return latencies


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("server")
    parser.add_argument("client")
    parser.add_argument("sim")
    parser.add_argument("--reads", type=int, default=40, help="reads per client")
    parser.add_argument("--seconds", type=float, default=20, help="watch time per run")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="brisvale-bench-client-") as folder:
        env = dict(os.environ, BRISVALE_COM_REGISTRY=os.path.join(folder, "registry"))
        exe = shutil.copy2(args.server, folder)
        pathlib.Path(exe + ".port.cfg").write_text("COM1:baud=9600 parity=N data=8 stop=1")
        blocks = ["<QueryBlock deviceAddr='1'><BlockOfRegs namePrefix='R' startIndex='%d' count='%d' "
                  "addrStart='%d'/></QueryBlock>\n" % (start, min(PER_BLOCK, TAGS - start), start)
                  for start in range(0, TAGS, PER_BLOCK)]
        pathlib.Path(exe + ".tag.cfg").write_text("<TagConfig>\n" + "".join(blocks) + "</TagConfig>\n")
        sim = subprocess.Popen([args.sim, "--link", os.path.join(folder, "ttySIM"), "--device", "1"],
                               stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        server = None
        try:
            wait_until(lambda: os.path.exists(os.path.join(folder, "ttySIM")), "the simulated instrument")
            os.symlink(os.path.realpath(os.path.join(folder, "ttySIM")), exe + ".com1")
            subprocess.run([exe, "/r"], env=env, cwd=folder, check=True, capture_output=True)
            with open(exe + ".out", "wb") as out:
                server = subprocess.Popen([exe, "/c"], env=env, cwd=folder, stdin=subprocess.DEVNULL, stdout=out,
                                          stderr=subprocess.STDOUT)
            console = lambda: pathlib.Path(exe + ".out").read_text(errors="replace")
            wait_until(lambda: console().count("+") >= 2 * len(blocks) or server.poll() is not None, "two passes")
            start_cpu, start = cpu_ns(server.pid), time.monotonic()
            time.sleep(5)
            idle_rate = (cpu_ns(server.pid) - start_cpu) / (time.monotonic() - start)

            print("sync read of %d tags (brisvale-client --json read, start to exit):" % TAGS)
            for clients in (1, 20):
                per_client = args.reads if clients == 1 else max(1, args.reads // 4)
                start_cpu, start = cpu_ns(server.pid), time.monotonic()
                times = reads(args.client, env, clients, per_client)
                wall = time.monotonic() - start
                extra = cpu_ns(server.pid) - start_cpu - idle_rate * wall
                median, p99 = quantiles(times)
                print("  %2d client(s), %3d reads: median %.1f ms, p99 %.1f ms; server CPU per read %.2f ms" %
                      (clients, len(times), median * 1e3, p99 * 1e3, extra / len(times) / 1e6))
            print("change notification, pass start to the client's output line (rate 100 ms, %d tags):" %
                  len(WATCHED))
            for clients in (1, 20):
                latencies = changes(args.client, env, clients, args.seconds)
                median, p99 = quantiles(latencies)
                print("  %2d client(s), %5d changes: median %.1f ms, p99 %.1f ms" %
                      (clients, len(latencies), median * 1e3, p99 * 1e3))
        finally:
            if server is not None and server.poll() is None:
                server.send_signal(2)
                server.wait(60)
            sim.terminate()
            sim.wait()


if __name__ == "__main__":
    main()
