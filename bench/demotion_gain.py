#!/usr/bin/python3
"""demotion_gain.py SERVER [--seconds S]: what demotion gives a healthy device on a line shared with a silent
one. A copy of the server runs in console mode in a folder of its own, on COM1 reaching the reference
instrument (device 1 only) through the end-to-end tests' relay, with one block of device 1 and ten blocks of
device 3, which never answers, all of period 0. For S seconds of wall time after the first request, the relay
counts the requests for each device: once with the default (no demotion), once with
demoteAfter='3' demoteForMs='10000'."""
import argparse, os, sys, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from line import frame, wait_until  # noqa: E402
from line_runs import instrument_on_line, server_on_line  # noqa: E402

SILENT_BLOCKS = 10


def measure(server, relay, root, seconds):
    tags = ("<TagConfig%s>\n<QueryBlock deviceAddr='1'><SingleReg name='Healthy' addr='0'/></QueryBlock>\n" % root +
            "".join("<QueryBlock deviceAddr='3'><SingleReg name='Silent%d' addr='%d'/></QueryBlock>\n" % (i, i)
                    for i in range(SILENT_BLOCKS)) + "</TagConfig>\n")
    relay.clear()
    with server_on_line(server, relay, tags) as (process, _):
        wait_until(lambda: relay.requests() or process.poll() is not None, "the first request")
        if not relay.requests():
            raise SystemExit("the server ended before its first request")
        start = relay.requests()[0][0]
        time.sleep(seconds)
        window = [data for at, data in relay.requests() if at - start < seconds]
        healthy = window.count(frame(1, 0, 1))
        return healthy * 60 / seconds, (len(window) - healthy) * 60 / seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("server")
    parser.add_argument("--seconds", type=float, default=60.0)
    args = parser.parse_args()
    with instrument_on_line([1]) as relay:
        print("| demotion | healthy block, reads per minute | silent device, requests per minute |")
        print("|---|---:|---:|")
        results = []
        for root in ("", " demoteAfter='3' demoteForMs='10000'"):
            healthy, silent = measure(args.server, relay, root, args.seconds)
            results.append(healthy)
            print("| %s | %.0f | %.0f |" % (root.strip() or "off (default)", healthy, silent), flush=True)
        print("gain: %.1f times as many reads of the healthy block" % (results[1] / max(results[0], 1)))


if __name__ == "__main__":
    main()
