#!/usr/bin/env python3
"""client_e2e.py SERVER CLIENT: brisvale-client against a running copy of the server, registered in a private
registry, whose COM1 reaches the reference instrument: values as the instrument holds them, and watch's callbacks
showing 0x18 while it is silent and good again after. What the client prints for each case is pinned in process
by test_client; time-outs and a server that goes, by the cross-process tests."""
import contextlib, json, os, signal, subprocess, sys, threading, unittest

# The copy of the server and the instrument as the cross-process test makes them (from the same command line).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "remote"))
from cross_process import CLIENT, DEADLINE, WithServer, register_value, wait_until  # noqa: E402

# Two consecutive registers of device 1, read at every pass.
TAGS = ["Level", "Flow.In"]
TAG_FILE = ("<TagConfig>\n  <QueryBlock deviceAddr='1'>\n    <SingleReg name='Level' addr='10'/>\n"
            "    <SingleReg name='Flow.In' addr='11'/>\n  </QueryBlock>\n</TagConfig>\n")


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

    def client(self, *args):
        done = subprocess.run([CLIENT, *args], env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=DEADLINE)
        return done.returncode, done.stdout, done.stderr

    @contextlib.contextmanager
    def watching(self, *args):
        """A running client (the arguments after its path), killed if still running at the end."""
        watch = subprocess.Popen([CLIENT, *args], env=self.env, stdin=subprocess.DEVNULL,
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

    def test_values_as_the_instrument_holds_them_and_watch_across_its_silence(self):  # the texts: test_client
        document = self.wait_for_qualities(0xC0)
        self.assertEqual([item["name"] for item in document["items"]], TAGS)
        for item in document["items"]:
            self.assertEqual((item["value"], item["type"]), (EXPECTED[item["name"]], "VT_I2"))

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

    def test_watch_ends_when_the_server_goes(self):  # its liveness check: no other test sees it
        with self.watching("watch", "Level") as watch:
            first = watch.stdout.readline()
            self.assertTrue(first.startswith("Level  "), first)
            self.server.kill()
            self.assertEqual(watch.wait(DEADLINE), 1)
            self.assertRegex(watch.stderr.read(), r"^brisvale-client: the server went away \(\w+: 0x[0-9A-F]{8}\)\n$")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
