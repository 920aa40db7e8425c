#!/usr/bin/env python3
"""client_e2e.py SERVER CLIENT: brisvale-client against a running copy of the server, registered in a private
registry, whose COM1 reaches the reference instrument: a value of the instrument reaches the client, and the watch
ends when the server goes. What the client prints for each case, the instrument falling silent included:
test_client."""
import json, os, subprocess, sys, unittest

# The copy of the server and the instrument as the cross-process test makes them (from the same command line).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "remote"))
from cross_process import CLIENT, DEADLINE, WithServer, register_value, wait_until  # noqa: E402


class ClientAgainstTheServer(WithServer):
    def setUp(self):
        super().setUp()
        self.server.register("/r")
        # A client before the class object is published would have COM start a second server.
        self.server.start_console()

    def test_a_value_of_the_instrument_reaches_the_client(self):  # the whole path, once
        items = []

        def good():
            done = subprocess.run([CLIENT, "--json", "read", "Level"], env=self.server.env, stdin=subprocess.DEVNULL,
                                  capture_output=True, text=True, timeout=DEADLINE)
            self.assertEqual((done.returncode, done.stderr), (0, ""))
            items[:] = json.loads(done.stdout)["items"]
            return items[0]["quality"] == 0xC0
        wait_until(good, "a good value of Level", DEADLINE)
        # Device 1's register 10 as the instrument holds it, published as a VT_I2.
        self.assertEqual((items[0]["value"], items[0]["type"]), ((register_value(1, 10) ^ 0x8000) - 0x8000, "VT_I2"))
        self.assertRegex(items[0]["timestamp"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")

    def test_watch_ends_when_the_server_goes(self):  # its liveness check: no other test sees it
        watch = subprocess.Popen([CLIENT, "watch", "Level"], env=self.server.env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(watch.wait)
        self.addCleanup(watch.kill)  # nothing once it has ended
        first = watch.stdout.readline()
        self.assertTrue(first.startswith("Level  "), first)
        self.server.kill()
        self.assertEqual(watch.wait(DEADLINE), 1)
        _, err = watch.communicate()
        self.assertRegex(err, r"^brisvale-client: the server went away \(\w+: 0x[0-9A-F]{8}\)\n$")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
