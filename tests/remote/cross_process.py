#!/usr/bin/env python3
"""cross_process.py SERVER CLIENT: brisvale-client processes reach a copy of the server, which polls the reference
instrument on its COM1, through COM activation as the file registry records it: many at once, ones that die, ones of
another user, and activations that have to start the server first."""
import datetime, json, os, pathlib, pwd, re, shutil, signal, socket, stat, subprocess, sys, tempfile, time, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from line import Instrument, Relay, wait_until  # noqa: E402

SERVER, CLIENT = sys.argv[1], sys.argv[2]
READY = "press Ctrl-C to terminate"
DEADLINE = 120.0
TAGS = ("<TagConfig>\n  <QueryBlock deviceAddr='1'>\n    <SingleReg name='Level' addr='10'/>\n"
        "    <BlockOfRegs namePrefix='Flow' count='2' addrStart='11'/>\n  </QueryBlock>\n</TagConfig>\n")
EXPECTED = {"Level": 10, "Flow0": 11, "Flow1": 12}


def register_value(unit, address):  # as the reference instrument holds them
    return (unit * 0x1111 + address * 0x0101 + 7) & 0xFFFF


def read(path):
    return pathlib.Path(path).read_text(errors="replace") if os.path.isfile(path) else ""


def seconds(stamp):  # a time as brisvale-client prints it
    utc = datetime.datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc)
    return utc.timestamp()


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

    def client(self, *args, user=None):
        command = [CLIENT, *args]
        if user is not None:
            entry = pwd.getpwnam(user)
            command = ["setpriv", "--reuid=%d" % entry.pw_uid, "--regid=%d" % entry.pw_gid, "--clear-groups",
                       *command]
        return subprocess.Popen(command, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)

    def run_client(self, *args, user=None):
        process = self.client(*args, user=user)
        out, _ = process.communicate(timeout=DEADLINE)
        return process.returncode, out.strip()

    def start_time(self):
        code, out = self.run_client("--json", "status")
        self.test.assertEqual(code, 0, out)
        return json.loads(out)["start_time"]

    def started(self):
        """The servers that activation started from this copy (its path names them, as no other copy has it)."""
        def runs_this_copy(pid):
            try:
                return os.readlink("/proc/%s/exe" % pid) == self.exe
            except OSError:
                return False
        console = str(getattr(getattr(self, "process", None), "pid", ""))
        return [int(e) for e in os.listdir("/proc") if e.isdigit() and e != console and runs_this_copy(e)]

    def refuses_connections(self):
        """Whether the socket the server of this copy's registry listens on refuses: it is in the user's runtime
        folder where the system made one, else in the private folder in /tmp; named by an FNV-1a hash of the
        registry's real path and the class."""
        root = os.path.realpath(self.env["BRISVALE_COM_REGISTRY"])
        (clsid,) = os.listdir(os.path.join(root, "CLSID"))
        hashed = 1469598103934665603
        for byte in (root + "\n" + clsid).encode():
            hashed = ((hashed ^ byte) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
        runtime = "/run/user/%d" % os.geteuid()
        info = os.lstat(runtime) if os.path.lexists(runtime) else None
        private = info and info.st_uid == os.geteuid() and stat.S_ISDIR(info.st_mode) and info.st_mode & 0o77 == 0
        folder = runtime + "/brisvale-com" if private else "/tmp/brisvale-com-%d" % os.geteuid()
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
            try:
                probe.connect("%s/%016x.sock" % (folder, hashed))
            except (ConnectionRefusedError, FileNotFoundError):
                return True
            return False

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

    def test_clients_attach_read_watch_die_and_are_refused(self):
        server = self.server
        server.register("/r")
        server.start_console()
        begin = time.time()
        wait_until(lambda: len(self.relay.requests()) >= 2, "the first polls", DEADLINE)

        # Twenty at once: each its own client number, each detached again.
        for client in [server.client("--json", "status") for _ in range(20)]:
            out, _ = client.communicate(timeout=DEADLINE)
            status = json.loads(out) if client.returncode == 0 else {}
            self.assertEqual((status.get("state"), status.get("group_count")), ("running", 0), out)
            self.assertRegex(status["vendor"], r"\S")
        wait_until(lambda: server.console.count("-Detaching a client") >= 20, "twenty detaches", DEADLINE)
        user = pwd.getpwuid(os.geteuid()).pw_name
        numbers = re.findall(r"\+Attaching a client #(\d+)\. USERID: <%s>" % re.escape(user), server.console)
        self.assertEqual(sorted(map(int, numbers)), list(range(1, 21)))
        self.assertEqual(server.console.count("-Detaching a client"), 20)
        self.assertEqual(len(re.findall(r"MESSAGE \[\d+\] USER:#\d+ <%s>" % re.escape(user), server.log)), 20)
        counts = [int(n) for n in re.findall(r"myClassFactory::server_count = (\d+)", server.log)]
        finished = [int(n) for n in re.findall(r"a_server_finished\((\d+)\) USERID", server.log)]
        self.assertEqual((len(finished), finished[-1]), (20, min(counts) - 1), "server_count back where it began")

        # The server keeps polling with nobody attached.
        polled = len(self.relay.requests())
        wait_until(lambda: len(self.relay.requests()) >= polled + 3, "polls after the last client left", DEADLINE)
        self.assertIsNone(server.process.poll())

        # Values, qualities and timestamps of the cache.
        code, out = server.run_client("--json", "read")
        self.assertEqual(code, 0, out)
        items = {item["name"]: item for item in json.loads(out)["items"]}
        self.assertEqual(sorted(items), sorted(EXPECTED), out)
        for name, item in items.items():
            self.assertEqual((item["value"] & 0xFFFF, item["quality"]), (register_value(1, EXPECTED[name]), 0xC0))
            self.assertTrue(begin - 1 <= seconds(item["timestamp"]) <= time.time(), (item, begin))

        # A change delivered to the client's process; then the client killed outright still detaches.
        watch = server.client("watch", "Level")
        self.assertRegex(watch.stdout.readline(), r"^Level +-?\d+  \S+  good \(0xC0\)$")
        detaches = server.console.count("-Detaching a client")
        watch.kill()
        watch.communicate()
        wait_until(lambda: server.console.count("-Detaching a client") > detaches, "the killed client's detach", 30)

        # Another user is refused, before any session is made for it.
        attaches = server.console.count("+Attaching a client")
        if os.geteuid() != 0 or shutil.which("setpriv") is None:
            print("skipped: a client of another user needs root and setpriv to run", file=sys.stderr)
        else:
            registry = server.env["BRISVALE_COM_REGISTRY"]
            for path in (server.folder, registry, registry + "/CLSID", registry + "/ProgID"):
                os.chmod(path, 0o755)
            code, out = server.run_client("status", user="nobody")
            if code in (126, 127):
                print("skipped: user nobody cannot run the client: " + out, file=sys.stderr)
            else:
                self.assertEqual((code, out), (5, "brisvale-client: OPC.Brisvale.1 refused the client (0x80070005)"))
        self.assertEqual(server.console.count("+Attaching a client"), attaches)
        self.assertIsNone(server.process.poll())

        server.process.send_signal(signal.SIGINT)
        self.assertEqual(server.process.wait(DEADLINE), 0, server.console)

    def test_activation_starts_the_server_once(self):
        server = self.server
        for option in ("/r", "/rc"):
            server.register(option)
            # Two clients at once, with no server running: one server starts, both reach it.
            both = [server.client("--json", "status") for _ in range(2)]
            outs = [p.communicate(timeout=DEADLINE)[0] for p in both]
            self.assertEqual([p.returncode for p in both], [0, 0], outs)
            started = [json.loads(out)["start_time"] for out in outs]
            self.assertEqual(started[0], started[1], "the same server")
            self.assertEqual(len(server.started()), 1)
            self.assertEqual(server.start_time(), started[0], "a later activation reaches it too")
            if option == "/r":  # a /rc command line starts it with /c first, which it obeys
                self.assertIn("unknown option <-Embedding>", server.log)
                # A server killed outright leaves its socket behind: the next activation starts a new one.
                dead = server.started()[0]
                os.kill(dead, signal.SIGKILL)
                wait_until(lambda: dead not in server.started(), "the killed server to end", DEADLINE)
                # Its listening socket can outlive the process for a moment.
                wait_until(server.refuses_connections, "the killed server's socket to refuse", DEADLINE)
                self.assertNotEqual(server.start_time(), started[0])
                self.assertEqual(len(server.started()), 1)
            server.stop_started()
            os.unlink(server.exe + ".log")

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
        # Started for a client, it is of no use: it says why in the log and ends.
        done = subprocess.run([server.exe, "-Embedding"], cwd=server.folder, env=server.env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=DEADLINE)
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertRegex(server.log, r"ERROR \[\d+\] " + why)
        self.assertIn("CoRegisterClassObject() failed. Exiting...", server.log)
        os.unlink(server.exe + ".log")
        # Started by hand, it says so on the console and in the log, and polls on.
        server.start_console()
        self.assertRegex(server.console, why)
        self.assertRegex(server.log, r"ERROR \[\d+\] " + why)
        polled = len(self.relay.requests())
        wait_until(lambda: len(self.relay.requests()) >= polled + 2, "polls after the failure", DEADLINE)
        self.assertIsNone(server.process.poll())
        server.process.send_signal(signal.SIGINT)
        self.assertEqual(server.process.wait(DEADLINE), 0, server.console)

    def test_activation_failures_are_told_apart(self):
        server = self.server
        failed = "brisvale-client: OPC.Brisvale.1 "
        self.assertEqual(server.run_client("status"), (3, failed + "is not registered (0x800401F3)"))
        server.register("/r")
        # The started server cannot initialise its driver and ends.
        pathlib.Path(server.exe + ".tag.cfg").write_text("<TagConfig><QueryBlock deviceAddr='x'>")
        self.assertEqual(server.run_client("status"),
                         (4, failed + "is registered but could not be started (0x80080005)"))
        self.assertEqual(server.started(), [])

if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
