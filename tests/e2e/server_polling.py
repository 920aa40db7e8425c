#!/usr/bin/env python3
"""server_polling.py SERVER [--wine] [--sim SIM --demo DIR]: runs a copy of the server in console mode, each
in a folder of its own with its port and tag files, COM1 reaching the reference instrument through a logging
relay, and checks from outside what only the running server shows: the console's row of signs, the exit of a
failed start-up, the log, recovery once the instrument is back. Block scheduling, per-block quality and the
loader's messages are the driver's own tests'. With --sim, the demo's sample files (DIR) run against the
simulated instrument SIM as well."""
import os, pathlib, re, shutil, signal, subprocess, sys, tempfile, unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from line import WINE64, Instrument, Relay, map_wine_ports, wait_until  # noqa: E402

SERVER = sys.argv[1]
WINE = "--wine" in sys.argv
SIM = sys.argv[sys.argv.index("--sim") + 1] if "--sim" in sys.argv else None
DEMO = sys.argv[sys.argv.index("--demo") + 1] if "--demo" in sys.argv else None
READY = "press Ctrl-C to terminate"
BANNER = "\nmodbus error. The subsequent modbus errors will be indicated with the minus sign (-)\n"
DRIVER_FAILED = "driver_init() failed. Exiting..."
DEADLINE = 120.0  # seconds; generous for a loaded machine and Wine's start-up


def tag_file(*blocks):
    """A tag file of (deviceAddr, entry) blocks."""
    return "<TagConfig>%s</TagConfig>\n" % "".join(
        "<QueryBlock deviceAddr='%d'>%s</QueryBlock>" % block for block in blocks)


def read(path):
    return pathlib.Path(path).read_bytes().decode(errors="replace").replace("\r", "") if os.path.isfile(path) else ""


class Server:
    """One run of a copy of the server in a folder of its own: started in console mode, stopped with Ctrl-C."""

    def __init__(self, test, port_file, tag_text, com9_missing=False):
        self.test, self.relay = test, test.relay
        folder = test.enterContext(tempfile.TemporaryDirectory(prefix="brisvale-e2e-"))
        # A copy, not a link: the server names its files after its own path.
        self.exe = shutil.copy2(SERVER, folder)
        for suffix, text in ((".log.cfg", "level=5\n"), (".port.cfg", port_file), (".tag.cfg", tag_text)):
            if text is not None:
                pathlib.Path(self.exe + suffix).write_text(text)
        if not WINE:
            os.symlink(self.relay.server_path, self.exe + ".com1")
            if com9_missing:
                os.symlink(os.path.join(folder, "no-such-device"), self.exe + ".com9")
        # On Linux a registry of its own, and so a socket of its own: a server of the default registry that runs
        # at the same time (another test's, anyone's) would hold the socket, and this one would log so at ERROR.
        env = dict(os.environ, BRISVALE_COM_REGISTRY=os.path.join(folder, "registry"))
        with open(self.exe + ".out", "wb") as out:  # stderr too: a sanitizer's report breaks the row of signs
            self.process = subprocess.Popen(([WINE64] if WINE else []) + [self.exe, "/c"], cwd=folder, env=env,
                                            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        test.addCleanup(self.kill)

    def console(self):
        return read(self.exe + ".out")

    def signs(self):
        """The row of signs after the ready line, the banner written as "!"."""
        text = self.console()
        return text.partition(READY)[2].replace(BANNER, "!") if READY in text else ""

    def log(self, *levels):
        """(level, text) of every log line, or of those at the given levels."""
        lines = re.findall(r"^.*? (ERROR|WARNING|MESSAGE|INFO|DEBUG) \[[0-9]+\] (.*)$", read(self.exe + ".log"), re.M)
        return [line for line in lines if not levels or line[0] in levels]

    def wait_for_signs(self, pattern, what):
        wait_until(lambda: re.search(pattern, self.signs()) or self.process.poll() is not None, what, DEADLINE)
        if self.process.poll() is not None:
            raise AssertionError("the server ended: %r %r" % (self.console(), self.log()))

    def stop(self):
        """Ctrl-C, exit code 0; the row of signs without the exit message."""
        self.process.send_signal(signal.SIGINT)
        self.test.assertEqual(self.process.wait(DEADLINE), 0)
        signs = self.signs()
        if not signs.endswith("Exiting...\n"):
            raise AssertionError("no exit message: %r" % self.console())
        return signs[: -len("Exiting...\n")]

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


class ServerOnTheLine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.relay = Relay()
        if WINE:
            map_wine_ports(cls.relay.server_path)

    @classmethod
    def tearDownClass(cls):
        cls.relay.close()

    def setUp(self):
        self.relay.clear()
        self.instrument = Instrument(self.relay, [1, 2])
        self.addCleanup(lambda: self.instrument.stop())
        self.instrument.start()

    def test_console_row_through_a_silent_device_and_an_instrument_that_goes_away(self):
        # No port file: COM1 as it is. Device 3 is silent.
        server = Server(self, None, tag_file((1, "<BlockOfRegs namePrefix='G' count='2'/>"),
                                             (3, "<SingleReg name='S'/>")))
        server.wait_for_signs(r"^\+!\+-\+-", "the banner once, then a minus for the silent device")

        self.instrument.stop()
        server.wait_for_signs(r"--", "the answering device failing too")
        self.instrument.start()
        server.wait_for_signs(r"--.*\+", "the answering device back")
        signs = server.stop()

        self.assertRegex(signs, r"^\+!(\+-)*\+?-+(\+?-)*\+", "the banner once, a minus for every later failure")
        self.assertEqual(signs.count("!"), 1)
        self.assertEqual(server.log("ERROR", "WARNING"), [], "failed reads are not logged")

    def test_failed_initialisation_ends_the_server(self):
        # Every step's message is pinned by the driver's own tests: here the port file's COM9, which names no
        # device, ends the server.
        server = Server(self, "COM9:baud=9600", tag_file((1, "<SingleReg name='T'/>")),
                        com9_missing=True)
        self.assertEqual(server.process.wait(DEADLINE), 0)
        self.assertEqual(server.console().rstrip("\n").rpartition("\n")[2], "Class OPC.Brisvale.1 :  " + DRIVER_FAILED)
        self.assertEqual(server.log("ERROR"), [("ERROR", "CreateFile failed with error 2."), ("ERROR", DRIVER_FAILED)])


@unittest.skipUnless(SIM and DEMO, "the simulated instrument is built on Linux only")
class DemoSample(unittest.TestCase):
    def test_the_demo_sample_loads_cleanly_and_shows_both_outcomes(self):
        self.relay = Relay()
        self.addCleanup(self.relay.close)
        sim = subprocess.Popen([SIM, "--tty", self.relay.instrument_path, "--device", "1", "--device", "2"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(sim.wait)
        self.addCleanup(sim.terminate)
        server = Server(self, *(read(os.path.join(DEMO, "brisvale-opc" + s)) for s in (".port.cfg", ".tag.cfg")))
        server.wait_for_signs(r"^\+\+\+\+!.*-", "four good blocks, the banner for device 3, then a minus")
        server.stop()
        self.assertEqual(server.log("ERROR", "WARNING"), [])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
