#!/usr/bin/env python3
"""cross_process.py SERVER CLIENT: brisvale-client processes reach a copy of the server, which polls the reference
instrument on its COM1, through COM activation as the file registry records it: activations that have to start the
server first, a client and a server that die, and a server that clients cannot reach."""
import json, os, pathlib, pwd, re, shutil, signal, subprocess, sys, tempfile, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from line import Instrument, Relay, wait_until  # noqa: E402

SERVER, CLIENT = sys.argv[1], sys.argv[2]
READY = "press Ctrl-C to terminate"
DEADLINE = 120.0
TAGS = ("<TagConfig>\n  <QueryBlock deviceAddr='1'>\n    <SingleReg name='Level' addr='10'/>\n"
        "    <BlockOfRegs namePrefix='Flow' count='2' addrStart='11'/>\n  </QueryBlock>\n</TagConfig>\n")


def register_value(unit, address):  # as the reference instrument holds them
    return (unit * 0x1111 + address * 0x0101 + 7) & 0xFFFF


def read(path):
    return pathlib.Path(path).read_text(errors="replace") if os.path.isfile(path) else ""


class Installation:
    """A copy of the server in a folder of its own, with its own registry, reaching the instrument on COM1."""

    def __init__(self, test, relay, tags=TAGS):
        self.test = test
        self.folder = test.enterContext(tempfile.TemporaryDirectory(prefix="brisvale-remote-"))
        self.exe = shutil.copy2(SERVER, self.folder)
        pathlib.Path(self.exe + ".log.cfg").write_text("level=5\n")
        pathlib.Path(self.exe + ".port.cfg").write_text("COM1:baud=9600 parity=N data=8 stop=1")
        pathlib.Path(self.exe + ".tag.cfg").write_text(tags)
        os.symlink(relay.server_path, self.exe + ".com1")
        self.env = dict(os.environ, BRISVALE_COM_REGISTRY=os.path.join(self.folder, "registry"))
        test.addCleanup(self.stop_started)

    def register(self, option):
        done = subprocess.run([self.exe, option], env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=DEADLINE)
        self.test.assertEqual(done.returncode, 0, done.stdout)

    def start_console(self):
        out = open(self.exe + ".out", "wb")
        self.process = subprocess.Popen([self.exe, "/c"], cwd=self.folder, env=self.env, stdin=subprocess.DEVNULL,
                                        stdout=out, stderr=subprocess.STDOUT)
        out.close()
        self.test.addCleanup(self.kill)
        wait_until(lambda: READY in self.console or self.process.poll() is not None, "the server", DEADLINE)
        self.test.assertIsNone(self.process.poll(), self.console)

    console = property(lambda self: read(self.exe + ".out"))
    log = property(lambda self: read(self.exe + ".log"))

    def client(self, *args):
        return subprocess.Popen([CLIENT, *args], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)

    def started(self):
        """The servers that activation started from this copy (its path names them, as no other copy has it)."""
        def runs_this_copy(pid):
            try:
                return os.readlink("/proc/%s/exe" % pid) == self.exe
            except OSError:
                return False
        console = str(getattr(getattr(self, "process", None), "pid", ""))
        return [int(e) for e in os.listdir("/proc") if e.isdigit() and e != console and runs_this_copy(e)]

    def stop_started(self):
        for pid in self.started():
            os.kill(pid, signal.SIGTERM)
        wait_until(lambda: not self.started(), "the started servers to end", DEADLINE)

    def kill(self):
        self.process.kill()  # does nothing to a process that has ended
        self.process.wait()


class WithServer(unittest.TestCase):
    """For each test, the reference instrument and a copy of the server with these tags (client_e2e.py too)."""
    tags = TAGS

    @classmethod
    def setUpClass(cls):
        cls.relay = Relay()
        cls.addClassCleanup(cls.relay.close)

    def setUp(self):
        self.relay.clear()
        self.instrument = Instrument(self.relay, [1])
        self.addCleanup(self.instrument.stop)
        self.instrument.start()
        self.server = Installation(self, self.relay, self.tags)


class ClientsInOtherProcesses(WithServer):
    """What only processes of their own show. The calls and the refused user at the socket: test_remote.cpp; the
    console and log lines of a client's attach and detach: tests/host/test_class_factory.cpp; the client's exit
    codes and messages: tests/tools/test_client_text.cpp; values and qualities: client_e2e.py."""

    def test_activation_starts_the_server_once(self):
        server = self.server
        server.register("/r")  # "/rc" differs only in the command line registered, pinned in process
        # Two clients at once, with no server running: one server starts, both reach it.
        both = [server.client("--json", "status") for _ in range(2)]
        outs = [p.communicate(timeout=DEADLINE)[0] for p in both]
        self.assertEqual([p.returncode for p in both], [0, 0], outs)
        started = [json.loads(out)["start_time"] for out in outs]
        self.assertEqual(started[0], started[1], "the same server")
        self.assertEqual(len(server.started()), 1)
        # A server killed outright leaves its socket behind: a later activation starts a new one (its
        # listening socket can outlive the process for a moment, and an activation meeting it fails).
        dead = server.started()[0]
        os.kill(dead, signal.SIGKILL)
        wait_until(lambda: dead not in server.started(), "the killed server to end", DEADLINE)

        def restarted():
            out, _ = server.client("--json", "status").communicate(timeout=DEADLINE)
            return out.startswith("{") and json.loads(out)["start_time"] != started[0]
        wait_until(restarted, "a new server", DEADLINE)
        self.assertEqual(len(server.started()), 1)

    def test_a_server_that_clients_cannot_reach_says_so(self):
        server = self.server
        if os.geteuid() != 0:
            self.skipTest("a registry of another user needs root to make")
        # Its registry belongs to another user: nothing can be published for it.
        registry = server.env["BRISVALE_COM_REGISTRY"]
        os.makedirs(registry, exist_ok=True)
        os.chown(registry, pwd.getpwnam("nobody").pw_uid, -1)
        why = re.escape("Clients of other processes cannot reach this server: its registry belongs to another "
                        "user: " + os.path.realpath(registry))
        # Started by hand, it says so on the console and in the log, and polls on.
        server.start_console()
        self.assertRegex(server.console, why)
        self.assertRegex(server.log, r"ERROR \[\d+\] " + why)
        polled = len(self.relay.requests())
        wait_until(lambda: len(self.relay.requests()) >= polled + 2, "polls after the failure", DEADLINE)
        self.assertIsNone(server.process.poll())
        server.process.send_signal(signal.SIGINT)
        self.assertEqual(server.process.wait(DEADLINE), 0, server.console)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
