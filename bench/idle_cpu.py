#!/usr/bin/python3
"""idle_cpu.py SERVER [--blocks N]... [--seconds S]: the built server's CPU time while it is idle between
reads. A copy of the server runs in console mode in a folder of its own, with N blocks of two registers whose
period is an hour, on COM1 reaching the reference instrument through the end-to-end tests' relay. Once the
first pass has read every block, nothing is due for an hour: the process's CPU time (every thread, from
/proc/PID/task/*/schedstat, in nanoseconds) over S seconds of wall time is what the 50 ms tick costs."""
import argparse, glob, os, pathlib, sys, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from line import wait_until  # noqa: E402
from line_runs import instrument_on_line, server_on_line  # noqa: E402


def cpu_ns(pid):
    total = 0
    for stat in glob.glob("/proc/%d/task/*/schedstat" % pid):
        try:
            total += int(pathlib.Path(stat).read_text().split()[0])
        except (OSError, IndexError, ValueError):  # a thread that ended meanwhile
            pass
    return total


def measure(server, relay, blocks, seconds):
    tags = "<TagConfig>\n" + "".join(
        "<QueryBlock deviceAddr='1' millisecondPeriod='3600000'><BlockOfRegs namePrefix='B%d_' count='2' "
        "addrStart='%d'/></QueryBlock>\n" % (i, 2 * i) for i in range(blocks)) + "</TagConfig>\n"
    with server_on_line(server, relay, tags) as (process, exe):
        signs = lambda: pathlib.Path(exe + ".out").read_text(errors="replace").count("+")
        wait_until(lambda: signs() >= blocks or process.poll() is not None, "the first pass")
        if signs() < blocks:
            raise SystemExit("the first pass failed: %r" % pathlib.Path(exe + ".out").read_text())
        time.sleep(1)  # the first pass's last cache update and log lines settle
        start_cpu, start = cpu_ns(process.pid), time.monotonic()
        time.sleep(seconds)
        used, wall = cpu_ns(process.pid) - start_cpu, time.monotonic() - start
        if signs() != blocks:
            raise SystemExit("a block was read again while it was not due")
        return used / 1e9, wall


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("server")
    parser.add_argument("--blocks", type=int, action="append")
    parser.add_argument("--seconds", type=float, default=60.0)
    args = parser.parse_args()
    with instrument_on_line([1]) as relay:
        print("| blocks | wall time | CPU time | share of one core | per 50 ms tick |")
        print("|---:|---:|---:|---:|---:|")
        for blocks in args.blocks or [1, 100]:
            used, wall = measure(args.server, relay, blocks, args.seconds)
            ticks = wall / 0.050
            print("| %d | %.1f s | %.1f ms | %.4f %% | %.1f us |" % (blocks, wall, used * 1e3, 100 * used / wall,
                                                                      used / ticks * 1e6), flush=True)


if __name__ == "__main__":
    main()
