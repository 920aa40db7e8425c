#!/usr/bin/env python3
"""client_e2e.py SERVER CLIENT: brisvale-client's watch against a running copy of the server, registered in a
private registry, whose COM1 reaches the reference instrument: the watch ends when the server goes. Values read
across processes and changes delivered to a watch: the cross-process test; what the client prints for each case,
the instrument falling silent included: test_client."""
import os, subprocess, sys, unittest

# The copy of the server and the instrument as the cross-process test makes them (from the same command line).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "remote"))
from cross_process import CLIENT, DEADLINE, WithServer  # noqa: E402


class ClientAgainstTheServer(WithServer):
    def test_watch_ends_when_the_server_goes(self):  # its liveness check: no other test sees it
        self.server.register("/r")
        # A client before the class object is published would have COM start a second server.
        self.server.start_console()
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
