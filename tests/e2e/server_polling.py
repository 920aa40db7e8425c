#!/usr/bin/env python3
"""server_polling.py SERVER [--wine] [--sim SIM --demo DIR]: runs a copy of the server in console mode, each
in a folder of its own with its port and tag files, COM1 reaching the reference instrument through a logging
relay, and checks from outside what goes over the wire, what the console shows and what the log holds.
With --sim, the demo's sample files (DIR) run against the simulated instrument SIM as well."""
import os, pathlib, re, shutil, signal, subprocess, sys, tempfile, termios, unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from line import WINE64, Instrument, REQUEST, Relay, frame, map_wine_ports, wait_until  # noqa: E402

SERVER = sys.argv[1]
WINE = "--wine" in sys.argv
SIM = sys.argv[sys.argv.index("--sim") + 1] if "--sim" in sys.argv else None
DEMO = sys.argv[sys.argv.index("--demo") + 1] if "--demo" in sys.argv else None
READY = "press Ctrl-C to terminate"
BANNER = "\nmodbus error. The subsequent modbus errors will be indicated with the minus sign (-)\n"
DRIVER_FAILED = "driver_init() failed. Exiting..."
GOOD_PORT = "COM1:baud=9600 parity=N data=8 stop=1"
DEADLINE = 120.0  # seconds; generous for a loaded machine and Wine's start-up


def tag_file(*blocks, root=""):
    """A tag file of (deviceAddr, millisecondPeriod or None, entries) blocks; root: the root's attributes."""
    text = "<TagConfig%s>\n" % root
    for device, period, entries in blocks:
        text += "  <QueryBlock deviceAddr='%d'%s>\n" % (
            device, "" if period is None else " millisecondPeriod='%d'" % period)
        text += "".join("    %s\n" % entry for entry in entries) + "  </QueryBlock>\n"
    return text + "</TagConfig>\n"


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

    def wait_for(self, condition, what):
        wait_until(lambda: condition() or self.process.poll() is not None, what, DEADLINE)
        if self.process.poll() is not None:
            raise AssertionError("the server ended: %r %r" % (self.console(), self.log()))

    def wait_for_signs(self, pattern, what):
        self.wait_for(lambda: re.search(pattern, self.signs()), what)

    def wait_for_reads(self, request, count, what):
        self.wait_for(lambda: [data for _, data in self.relay.requests()].count(request) >= count, what)

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


def blocks_of(requests, frames):
    """The request frames as block numbers (their index in frames); any other frame fails."""
    for _, data in requests:
        if data not in frames:
            raise AssertionError("unexpected request %r" % data)
    return [frames.index(data) for _, data in requests]


def passes(numbers):
    """Block numbers split into passes: a pass asks its blocks in file order, so a number not above the last
    one starts a new pass."""
    split = []
    for number in numbers:
        if not split or number <= split[-1][-1]:
            split.append([])
        split[-1].append(number)
    return split


class ServerOnTheLine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.relay = Relay()
        if WINE:
            map_wine_ports(cls.relay.server_path)

    @classmethod
    def tearDownClass(cls):
        cls.relay.close()

    def setUp(self, options=()):
        self.relay.clear()
        self.relay.set_speed(self.relay.speed())  # nothing left over from the last run
        self.instrument = Instrument(self.relay, [1, 2], options)
        self.addCleanup(lambda: self.instrument.stop())
        self.instrument.start()

    def test_each_block_at_its_own_period(self):
        # A first, then blocks due at every pass (no period, a negative one) and one every five minutes, whose
        # period in 100 ns units leaves the 32-bit range.
        frames = [frame(1, 10, 4), frame(2, 0x20, 2), frame(1, 40, 1), frame(2, 200, 1)]
        server = Server(self, GOOD_PORT, tag_file(
            (1, 1000, ["<SingleReg name='A0' addr='10'/>",
                       "<BlockOfRegs namePrefix='A' startIndex='1' count='3' addrStart='11'/>"]),
            (2, None, ["<BlockOfRegs namePrefix='Z' count='2' addrStart='0x20'/>"]),
            (1, -1000, ["<SingleReg name='N' addr='40'></SingleReg>"]),
            (2, 300000, ["<SingleReg name='L' addr='0xC8'/>"])))
        server.wait_for_reads(frames[0], 3, "three reads of the block of period 1000 ms")
        signs = server.stop()
        requests = self.relay.requests()
        numbers = blocks_of(requests, frames)
        split = passes(numbers)

        self.assertEqual(split[0], [0, 1, 2, 3], "the first pass reads every block once, in file order")
        self.assertEqual(numbers.count(3), 1, "five minutes are not over within the test")
        self.assertTrue(all(1 in p and 2 in p for p in split[:-1]), "blocks without a period or with a negative "
                        "one are read at every pass: %s" % split)
        times = [t for (t, _), n in zip(requests, numbers) if n == 0]
        for earlier, later in zip(times, times[1:]):
            # The request leaves a pause after its pass began, the relay sees it a moment later: 0.1 s of slack.
            self.assertGreater(later - earlier, 0.9, "asked again before its period was over")
            self.assertLess(later - earlier, 1.0 + 4.0, "not asked again soon after its period")
        self.assertRegex(signs, r"^\++$", "every read answered")
        self.assertGreaterEqual(len(signs), len(numbers) - 1)
        self.assertEqual(server.log("ERROR", "WARNING"), [])
        self.assertEqual(self.relay.speed(), termios.B9600, "the port file's baud rate is applied")

    def test_silent_device_and_an_instrument_that_goes_away(self):
        frames = [frame(1, 5, 2), frame(3, 5, 1)]
        # The silent device's block has a long period: a failed read keeps it due all the same.
        server = Server(self, GOOD_PORT, tag_file(
            (1, None, ["<BlockOfRegs namePrefix='G' count='2' addrStart='5'/>"]),
            (3, 60000, ["<SingleReg name='S' addr='5'/>"])))
        server.wait_for_signs(r"^\+!\+-\+-", "the banner once, then a minus for the silent device")
        self.assertEqual(blocks_of(self.relay.requests(), frames)[:6], [0, 1, 0, 1, 0, 1])

        self.instrument.stop()
        server.wait_for_signs(r"--", "the answering device failing too")
        self.instrument.start()
        server.wait_for_signs(r"--.*\+", "the answering device back")
        signs = server.stop()

        self.assertRegex(signs, r"^\+!(\+-)*\+?-+(\+?-)*\+", "the banner once, a minus for every later failure")
        self.assertEqual(signs.count("!"), 1)
        self.assertTrue(all(p == [0, 1] for p in passes(blocks_of(self.relay.requests(), frames))[:-1]),
                        "both blocks at every pass")
        self.assertEqual(server.log("ERROR"), [], "failed reads are not logged")

    def test_a_silent_device_is_demoted_and_read_again_once_it_answers(self):
        mute = os.path.join(self.enterContext(tempfile.TemporaryDirectory(prefix="brisvale-e2e-")), "mute")
        pathlib.Path(mute).touch()
        self.instrument.stop()
        self.setUp(["--mute", "3:" + mute])
        frames = [frame(1, 5, 1), frame(3, 5, 1), frame(3, 6, 1)]
        server = Server(self, GOOD_PORT, tag_file(
            (1, None, ["<SingleReg name='H' addr='5'/>"]),
            (3, None, ["<SingleReg name='S' addr='5'/>"]),
            (3, None, ["<SingleReg name='T' addr='6'/>"]), root=" demoteAfter='2' demoteForMs='3000'"))
        # Silent until its first probe has failed.
        server.wait_for_signs(r"^\+!-\++-", "demoted after two failures, and a failed probe")
        os.unlink(mute)
        server.wait_for_reads(frames[2], 3, "both blocks of the device read again")
        signs = server.stop()
        requests = self.relay.requests()
        split = passes(blocks_of(requests, frames))
        starts = [sum(len(p) for p in split[:k]) for k in range(len(split))]
        reading = [k for k, p in enumerate(split) if 1 in p]
        failed = [k for k in reading if split[k] != [0, 1, 2]]

        self.assertEqual(split[0], [0, 1, 2], "two failed reads in the first pass")
        self.assertTrue(failed and all(split[k] == [0, 1] for k in failed), "a failed probe leaves the rest out")
        restored = [k for k in reading if k > failed[-1]]
        self.assertTrue(all(split[k] == [0, 1, 2] for k in restored[:-1]), "both blocks back at once: %s" % split)
        for k, probe in zip([0] + failed, failed + restored[:1]):
            self.assertTrue(all(p == [0] for p in split[k + 1:probe]))
            self.assertGreaterEqual(probe - k, 3, "the healthy device read at every pass meanwhile")
            # The period runs from the start of the pass whose read failed; the relay may see that pass's first
            # request late on a loaded machine: 0.5 s of slack, still far beyond a pass without demotion.
            self.assertGreater(requests[starts[probe] + 1][0] - requests[starts[k]][0], 2.5,
                               "no request for the device while it is demoted")
        self.assertRegex(signs, r"^\+!-\++(-\++)+$", "one sign per read, none for the reads left out")
        self.assertEqual([entry for entry in server.log() if entry[1].startswith("device ")],
                         [("WARNING", "device 3 demoted for 3000 ms after 2 failed reads"),
                          ("MESSAGE", "device 3 answers again")])
        self.assertEqual(server.log("ERROR"), [])

    def test_no_port_file_runs_on_com1_as_it_is(self):
        self.relay.set_speed(termios.B2400)  # left behind by another program
        server = Server(self, None, tag_file((1, None, ["<SingleReg name='T' addr='1'/>"])))
        server.wait_for_signs(r"^\+\+\+", "three good reads on COM1")
        server.stop()

        self.assertEqual(blocks_of(self.relay.requests(), [frame(1, 1, 1)])[:3], [0, 0, 0])
        self.assertEqual(self.relay.speed(), termios.B2400, "an empty mode string changes none of the port's settings")
        self.assertEqual(server.log("ERROR", "WARNING"), [])

    def test_an_entry_read_from_another_register_is_named_once(self):
        # The channels are configured at 0x20 but follow the set-point: the block is read from 0x10 on.
        server = Server(self, GOOD_PORT, tag_file(
            (1, 1000, ["<SingleReg name='Temperature' addr='0x10'/>", "<SingleReg name='Setpoint' addr='17'/>",
                       "<BlockOfRegs namePrefix='Channel' startIndex='1' count='4' addrStart='0x20'/>"]),
            (2, None, ["<BlockOfRegs namePrefix='Input' count='8' addrStart='0'/>"])))
        server.wait_for_signs(r"^\+\+\+", "reads of both blocks")
        server.stop()

        self.assertEqual(blocks_of(self.relay.requests()[:2], [frame(1, 0x10, 6), frame(2, 0, 8)]), [0, 1])
        self.assertEqual(server.log("ERROR", "WARNING"),
                         [("WARNING", "entry <Channel1> is configured at register 32 but is read from register 18")])

    def test_failed_initialisation_ends_the_server(self):
        # Every message of a failed step is pinned by the driver's own tests: here a failure of the port file,
        # of the port and of the tag file end the server alike.
        good_tags = tag_file((1, None, ["<SingleReg name='T' addr='1'/>"]))
        rows = [
            (" \t\r\n", good_tags, "com number not specified. Use syntax: COM1:baud=9600 stop=1 parity=N data=8"),
            ("COM9:baud=9600", good_tags, "CreateFile failed with error 2."),
            (GOOD_PORT, "", "wrong config syntax"),
        ]
        for port_file, tags, message in rows:
            with self.subTest(port_file=port_file, tags=tags):
                self.relay.clear()
                server = Server(self, port_file, tags, com9_missing=True)
                self.assertEqual(server.process.wait(DEADLINE), 0)
                self.assertEqual(server.console().rstrip("\n").rpartition("\n")[2], "Class OPC.Brisvale.1 :  " +
                                 DRIVER_FAILED)
                log = server.log()
                self.assertEqual([text for level, text in log if level == "ERROR"], [message, DRIVER_FAILED])
                self.assertNotIn(("MESSAGE", "UpdateTags Started..."), log)
                self.assertEqual(log[-1][1].partition("(")[0], "WinMain")
                self.assertEqual(self.relay.requests(), [])


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

        first = [REQUEST.fullmatch(data).groups()[:3] for _, data in self.relay.requests()[:5]]
        self.assertEqual([(int(d, 16), int(s, 16), int(c, 16)) for d, s, c in first],
                         [(1, 0x100, 6), (1, 0x201, 3), (2, 0, 8), (2, 0x10, 1), (3, 0, 2)])
        self.assertEqual(server.log("ERROR", "WARNING"), [])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
