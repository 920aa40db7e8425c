#!/usr/bin/env python3
"""client_e2e.py SERVER CLIENT: brisvale-client against a running copy of the server, registered in a private
registry, whose COM1 reaches the reference instrument: values as the instrument holds them, watch's callbacks
showing 0x18 while it is silent and good again after, main's usage exit, and watch ending when the server hangs or
goes. What the client prints for each case is pinned in process by test_client."""
import contextlib, json, os, signal, subprocess, sys, threading, unittest

# The copy of the server and the instrument as the cross-process test makes them (from the same command line).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "remote"))
from cross_process import CLIENT, DEADLINE, WithServer, register_value, wait_until  # noqa: E402

# Four consecutive registers of device 1, read at every pass.
TAGS = ["Level", "Flow.In", "Flow.Out", "Valve 3"]
TAG_FILE = ("<TagConfig>\n  <QueryBlock deviceAddr='1'>\n"
            "    <SingleReg name='Level' addr='10'/>\n"
            "    <SingleReg name='Flow.In' addr='11'/>\n    <SingleReg name='Flow.Out' addr='12'/>\n"
            "    <SingleReg name='Valve 3' addr='13'/>\n  </QueryBlock>\n</TagConfig>\n")


# What the reference instrument holds for device 1, as the VT_I2 the server publishes.
EXPECTED = {name: (register_value(1, 10 + k) ^ 0x8000) - 0x8000 for k, name in enumerate(TAGS)}


class ClientAgainstTheServer(WithServer):
    tags = TAG_FILE

    def setUp(self):
        super().setUp()
        self.server.register("/r")
        # A client before the class object is published would have COM start a second server.
        self.server.start_console()
        self.env = self.server.env

    def client(self, *args, env=None):
        done = subprocess.run([CLIENT, *args], env=env or self.env, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=DEADLINE)
        return done.returncode, done.stdout, done.stderr

    @contextlib.contextmanager
    def watching(self, *args, env=None):
        """A running client (the arguments after its path), killed if still running at the end."""
        watch = subprocess.Popen([CLIENT, *args], env=env or self.env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            yield watch
        finally:
            if watch.poll() is None:
                watch.kill()
                watch.wait()
            watch.stdout.close()
            watch.stderr.close()

    def wait_for_qualities(self, quality):
        """Reads every tag until all show the quality; returns the last output."""
        last = [None]

        def all_show():
            code, out, err = self.client("--json", "read")
            self.assertEqual((code, err), (0, ""))
            last[0] = json.loads(out)
            return all(item["quality"] == quality for item in last[0]["items"])
        wait_until(lambda: self.server.process.poll() is not None or all_show(), "qualities 0x%02X" % quality,
                   DEADLINE)
        self.assertIsNone(self.server.process.poll(), self.server.console)
        return last[0]

    def test_1_values_as_the_instrument_holds_them(self):  # the texts: test_client
        document = self.wait_for_qualities(0xC0)
        self.assertEqual([item["name"] for item in document["items"]], TAGS)
        for item in document["items"]:
            self.assertEqual((item["value"], item["type"]), (EXPECTED[item["name"]], "VT_I2"))
        # main's own line and exit code for a command line it cannot use (the reasons: test_client).
        self.assertEqual(self.client("read", "--rate", "10"),
                         (2, "", "brisvale-client: --rate belongs to watch (--help shows the usage)\n"))

    def test_2_watch_follows_the_instrument_silent_and_back_until_ctrl_c(self):
        self.wait_for_qualities(0xC0)
        lines = []

        def qualities(name):
            return [json.loads(line)["quality"] for line in list(lines) if json.loads(line)["name"] == name]
        with self.watching("watch", "--json", "--rate", "100", "Flow.In", "Level") as watch:
            reader = threading.Thread(target=lambda: lines.extend(iter(watch.stdout.readline, "")), daemon=True)
            reader.start()
            wait_until(lambda: qualities("Level") and qualities("Flow.In"), "the first values", DEADLINE)
            self.instrument.stop()
            wait_until(lambda: 0x18 in qualities("Level"), "the silent instrument", DEADLINE)
            self.instrument.start()
            wait_until(lambda: qualities("Level")[-1] == 0xC0, "the instrument back", DEADLINE)
            watch.send_signal(signal.SIGINT)
            self.assertEqual(watch.wait(DEADLINE), 0)
            reader.join(DEADLINE)
            self.assertEqual(watch.stderr.read(), "")
        self.assertIn(json.loads(lines[0])["name"], ("Level", "Flow.In"))
        self.assertEqual(qualities("Level")[:1], [0xC0])

    def watch_until_it_ends(self, env, stop_server):
        """Starts watch, lets stop_server act once the first line is out; watch's exit code and error lines."""
        with self.watching("watch", "Level", env=env) as watch:
            first = watch.stdout.readline()
            self.assertTrue(first.startswith("Level  "), first)
            stop_server()
            return watch.wait(DEADLINE), watch.stderr.read()

    def test_3_watch_ends_when_the_server_hangs_or_goes(self):
        # Stopped, the server answers nothing: watch and a new client give up within their limits.
        short = dict(self.env, BRISVALE_COM_CALL_TIMEOUT_MS="1500", BRISVALE_COM_CONNECT_TIMEOUT_MS="1500")
        try:
            code, err = self.watch_until_it_ends(short, lambda: self.server.process.send_signal(signal.SIGSTOP))
            # The first values may come while Advise still waits for its answer.
            self.assertEqual(code, 1)
            self.assertRegex(err, r"^brisvale-client: the server did not answer in time "
                                  r"\((Advise|GetStatus): 0x8001011F\)\n$")
            self.assertEqual(self.client("status", env=short),
                             (4, "", "brisvale-client: OPC.Brisvale.1 did not answer in time (0x8001011F)\n"))
        finally:
            self.server.process.send_signal(signal.SIGCONT)

        code, err = self.watch_until_it_ends(self.env, self.server.kill)
        self.assertEqual(code, 1)
        self.assertRegex(err, r"^brisvale-client: the server went away \(\w+: 0x[0-9A-F]{8}\)\n$")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
