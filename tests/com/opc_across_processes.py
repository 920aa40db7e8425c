#!/usr/bin/env python3
"""opc_across_processes.py SERVER PROBE: under Wine, OPC clients in processes of their own (PROBE, a client of
ours that knows only COM's local-server activation and the standard OPC DA interfaces) against a copy of the
server registered in the private prefix of WINEPREFIX, with its proxy/stub DLL beside it and COM1 reaching the
reference instrument. Checks the registry that /r, /rc and /u leave, and what the clients see."""
import os, pathlib, re, shutil, signal, subprocess, sys, tempfile, time, unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "e2e"))
from line import Instrument, Relay, map_wine_ports, quietly, wait_until  # noqa: E402

SERVER, PROBE = sys.argv[1:3]
PROXY_DLL = os.path.join(os.path.dirname(SERVER), "brisvale-opc-ps.dll")
CLSID = "{6B1E4D2A-3C7F-4E85-9A61-0F2D8B3C5E74}"
PROXY_CLSID = "{1DEECC74-9DD7-442A-B7C1-18AA57683B45}"
PROGID = "OPC.Brisvale.1"
CATEGORIES = ("{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}", "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}")
INTERFACES = {  # name: IID
    "IOPCServer": "{39C13A4D-011E-11D0-9675-0020AFD8ADB3}",
    "IOPCCommon": "{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}",
    "IOPCShutdown": "{F31DFDE1-07B6-11D2-B2D8-0060083BA1FB}",
    "IOPCBrowseServerAddressSpace": "{39C13A4F-011E-11D0-9675-0020AFD8ADB3}",
    "IOPCItemProperties": "{39C13A72-011E-11D0-9675-0020AFD8ADB3}",
    "IOPCGroupStateMgt": "{39C13A50-011E-11D0-9675-0020AFD8ADB3}",
    "IOPCSyncIO": "{39C13A52-011E-11D0-9675-0020AFD8ADB3}",
    "IOPCItemMgt": "{39C13A54-011E-11D0-9675-0020AFD8ADB3}",
    "IEnumOPCItemAttributes": "{39C13A55-011E-11D0-9675-0020AFD8ADB3}",
    "IOPCDataCallback": "{39C13A70-011E-11D0-9675-0020AFD8ADB3}",
    "IOPCAsyncIO2": "{39C13A71-011E-11D0-9675-0020AFD8ADB3}",
}
FOREIGN = ("IOPCAsyncIO2", "{0E1F2A3B-4C5D-4E6F-8091-A2B3C4D5E6F7}")  # as the OPC core components would leave it
GOOD, COMM_FAILURE = "C0", "18"
DEADLINE = 120.0  # seconds; generous for a loaded machine and Wine's start-up
TAGS = ("<TagConfig>\n  <QueryBlock deviceAddr='1'>\n    <SingleReg name='Counter' addr='3'/>\n"
        "    <BlockOfRegs namePrefix='R' count='2' addrStart='4'/>\n  </QueryBlock>\n</TagConfig>\n")


def register_value(unit, address):  # as the reference instrument computes it
    return (unit * 0x1111 + address * 0x0101 + 7) & 0xFFFF


def read(path):
    return pathlib.Path(path).read_bytes().decode(errors="replace").replace("\r", "") if os.path.isfile(path) else ""


def reg_query(key):
    """{value name ("" for the default): data} of key, or None when it does not exist."""
    with tempfile.TemporaryFile() as out:
        code = subprocess.run(["wine", "reg", "query", key], stdin=subprocess.DEVNULL, stdout=out,
                              stderr=subprocess.STDOUT).returncode
        out.seek(0)
        text = out.read().decode(errors="replace").replace("\r", "")
    if code != 0:
        return None
    values = {}
    for name, data in re.findall(r"^ {4}(.*?) {4}REG_\w+ {4}(.*)$", text, re.M):
        values["" if name == "(Default)" else name] = data
    return values


def default(key):
    values = reg_query(key)
    return None if values is None else values.get("")


def forget(key):
    subprocess.run(["wine", "reg", "delete", key, "/f"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def pids_running(folder):
    """The processes whose command line names a file in folder: the programs started from there."""
    name, found = os.path.basename(folder), []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if name in pathlib.Path("/proc", entry, "cmdline").read_bytes().decode(errors="replace"):
                    found.append(int(entry))
            except OSError:
                pass
    return found


class Probe:
    """One run of the probe client in its own process, its output in a file."""

    def __init__(self, test, *args):
        self.out = os.path.join(test.probe_folder, "probe-%d.out" % len(os.listdir(test.probe_folder)))
        with open(self.out, "wb") as out:
            self.process = subprocess.Popen(["wine", test.probe, *args], stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=subprocess.STDOUT)
        test.addCleanup(self.kill)

    def lines(self):
        return read(self.out).splitlines()

    def wait_for(self, pattern, what, after=0):
        """The index of the first line past the first after lines that matches pattern; fails if the probe ends
        first."""
        found = []

        def seen():
            found[:] = [k for k, line in enumerate(self.lines()) if k >= after and re.fullmatch(pattern, line)]
            return found or self.process.poll() is not None

        wait_until(seen, what, DEADLINE)
        if not found:
            raise AssertionError("the probe ended before %s: %r" % (what, self.lines()))
        return found[0]

    def finish(self):
        code = self.process.wait(DEADLINE)
        return code, self.lines()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


class AcrossProcesses(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.relay = Relay()
        map_wine_ports(cls.relay.server_path)
        cls.instrument = Instrument(cls.relay, [1], ["--count", "1:3"])
        cls.instrument.start()
        cls.folder = tempfile.mkdtemp(prefix="brisvale-com-")
        cls.exe = shutil.copy2(SERVER, cls.folder)
        cls.dll = shutil.copy2(PROXY_DLL, cls.folder)
        pathlib.Path(cls.exe + ".log.cfg").write_text("level=5\n")
        pathlib.Path(cls.exe + ".port.cfg").write_text("COM1:baud=9600 parity=N data=8 stop=1")
        pathlib.Path(cls.exe + ".tag.cfg").write_text(TAGS)
        cls.probe_folder = tempfile.mkdtemp(prefix="brisvale-probe-")
        cls.probe = shutil.copy2(PROBE, cls.probe_folder)
        cls.windows_exe = quietly_output("winepath", "-w", cls.exe)
        cls.windows_dll = quietly_output("winepath", "-w", cls.dll)
        cls.forget_registrations()

    @classmethod
    def tearDownClass(cls):
        cls.stop_server()
        cls.forget_registrations()
        cls.instrument.stop()
        cls.relay.close()
        shutil.rmtree(cls.folder, ignore_errors=True)
        shutil.rmtree(cls.probe_folder, ignore_errors=True)

    @classmethod
    def forget_registrations(cls):
        for key in ("HKCR\\CLSID\\" + CLSID, "HKCR\\" + PROGID, "HKCR\\CLSID\\" + PROXY_CLSID,
                    *("HKCR\\Interface\\" + iid for iid in INTERFACES.values())):
            forget(key)

    @classmethod
    def stop_server(cls):
        """Kills the server (COM started it without a console: no Ctrl-C reaches it), and the prefix's helpers:
        Wine's COM would keep the dead server's class registered and answer the next activation with
        0x800706BA instead of starting it again."""
        for pid in pids_running(cls.folder):
            os.kill(pid, signal.SIGKILL)
        subprocess.run(["wineserver", "-k"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def run_server(self, *args):
        with open(self.exe + ".out", "wb") as out:
            code = subprocess.run(["wine", self.exe, *args], cwd=self.folder, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.STDOUT, timeout=DEADLINE).returncode
        self.assertEqual(code, 0, read(self.exe + ".out"))

    def log(self):
        return re.findall(r"^.*? (ERROR|WARNING|MESSAGE|INFO|DEBUG) \[[0-9]+\] (.*)$", read(self.exe + ".log"), re.M)

    def proxies(self):
        return {name: default("HKCR\\Interface\\%s\\ProxyStubClsid32" % iid) for name, iid in INTERFACES.items()}

    def test_1_registration_keeps_a_proxy_already_there(self):
        foreign_key = "HKCR\\Interface\\%s\\ProxyStubClsid32" % INTERFACES[FOREIGN[0]]
        quietly("wine", "reg", "add", foreign_key, "/ve", "/d", FOREIGN[1], "/f")
        self.addCleanup(forget, "HKCR\\Interface\\" + INTERFACES[FOREIGN[0]])
        ours = {name: PROXY_CLSID for name in INTERFACES}
        ours[FOREIGN[0]] = FOREIGN[1]
        for option, command in (("/rc", '"%s" /c'), ("/r", '"%s"')):
            with self.subTest(option):
                self.run_server(option)
                self.assertEqual(default("HKCR\\CLSID\\%s\\LocalServer32" % CLSID), command % self.windows_exe)
                self.assertEqual(default("HKCR\\CLSID\\%s\\ProgID" % CLSID), PROGID)
                self.assertEqual(default("HKCR\\%s\\CLSID" % PROGID), CLSID)
                for category in CATEGORIES:
                    self.assertIsNotNone(reg_query("HKCR\\CLSID\\%s\\Implemented Categories\\%s" % (CLSID, category)))
                self.assertEqual(self.proxies(), ours)
                self.assertEqual(reg_query("HKCR\\CLSID\\%s\\InprocServer32" % PROXY_CLSID),
                                 {"": self.windows_dll, "ThreadingModel": "Both"})
        self.run_server("/u")
        for key in ("CLSID\\" + CLSID, PROGID, "CLSID\\" + PROXY_CLSID):
            self.assertIsNone(reg_query("HKCR\\" + key), key)
        self.assertEqual(self.proxies(), {name: FOREIGN[1] if name == FOREIGN[0] else None for name in INTERFACES})
        for name, iid in INTERFACES.items():
            if name != FOREIGN[0]:
                self.assertIsNone(reg_query("HKCR\\Interface\\" + iid), name)

    def test_2_a_session_from_another_process(self):
        self.run_server("/r")
        self.addCleanup(self.run_server, "/u")
        # The first activation starts the server; a read before its first poll shows the tags' first quality.
        for _ in range(20):
            code, lines = Probe(self, "session").finish()
            self.assertEqual(code, 0, lines)
            if all(line.split()[3] == GOOD for line in lines if line.startswith("read ")):
                break
        self.assertEqual(len(pids_running(self.folder)), 1, "one server for every activation")
        self.assertIn(("WARNING", "unknown option <-Embedding>"), self.log(), "COM started it")
        self.assertIn("status 1 Brisvale OPC Server", lines)
        # [out] strings on their own (the widl fix): null across processes without it.
        self.assertIn("error-string The item is not defined in the server's address space.", lines)
        self.assertIn("common-error-string The value of the handle is invalid.", lines)
        self.assertIn("item-id Counter", lines)
        self.assertIn("group probe 100 7", lines)
        self.assertEqual([line for line in lines if line.startswith("tag ")], ["tag Counter", "tag R0", "tag R1"])
        reads = [line.split() for line in lines if line.startswith("read ")]
        self.assertEqual([r[1] for r in reads], ["Counter", "R0", "R1"])
        self.assertEqual([r[2] for r in reads[1:]], ["I2:%d" % self.signed(register_value(1, a)) for a in (4, 5)])
        self.assertEqual({(r[3], r[4]) for r in reads}, {(GOOD, "00000000")})

    @staticmethod
    def signed(value):
        return value - 0x10000 if value >= 0x8000 else value

    def test_3_subscriptions_of_two_clients(self):
        self.run_server("/r")
        self.addCleanup(self.run_server, "/u")
        watchers = [Probe(self, "watch", "0") for _ in range(2)]
        for watcher in watchers:
            watcher.wait_for("subscribed", "the subscription")
        for watcher in watchers:
            first = watcher.wait_for(r"change \d+ Counter I2:\d+ C0", "a good value of the counter")
            watcher.wait_for(r"change \d+ Counter I2:\d+ C0", "the counter changing", first + 1)
        self.instrument.stop()
        try:
            marks = [len(watcher.lines()) for watcher in watchers]
            for watcher, mark in zip(watchers, marks):
                watcher.wait_for(r"change \d+ Counter I2:-?\d+ 18", "communication failure while silent", mark)
        finally:
            self.instrument.start()
        marks = [len(watcher.lines()) for watcher in watchers]
        for watcher, mark in zip(watchers, marks):
            watcher.wait_for(r"change \d+ Counter I2:-?\d+ C0", "good again after the restart", mark)

        # The last client leaving: the server stays and keeps polling the instrument.
        for watcher in watchers:
            watcher.kill()
        requests = len(self.relay.requests())
        wait_until(lambda: len(self.relay.requests()) >= requests + 5, "polls after the clients left", DEADLINE)
        self.assertEqual(len(pids_running(self.folder)), 1)
        self.stop_server()
        wait_until(lambda: not pids_running(self.folder), "the server stopped", DEADLINE)

    def test_4_a_client_killed_outright(self):
        # Wine never notices a killed client by itself: only the server's own rule lets its session go. The
        # instrument's counter keeps changing, so the server keeps calling the dead client's sink, and the first of
        # those calls fails (0x800706BA under Wine). What the log cannot show from outside, the subscription ending
        # before the session, the toolkit's own tests show: here the session's end is the proof that the failed
        # callback was noticed, and the survivor's changes that only the dead client was dropped.
        self.run_server("/r")
        self.addCleanup(self.run_server, "/u")
        killed, survivor = Probe(self, "watch", "0"), Probe(self, "watch", "0")
        for watcher in (killed, survivor):
            watcher.wait_for(r"change \d+ Counter I2:\d+ C0", "a subscription delivering")
        finished = len(self.sessions_finished())
        killed.process.send_signal(signal.SIGKILL)
        killed.process.wait()
        wait_until(lambda: len(self.sessions_finished()) > finished, "the killed client's session to end", DEADLINE)
        mark = len(survivor.lines())
        for _ in range(3):  # the other client keeps its subscription, and the session ended once
            mark = survivor.wait_for(r"change \d+ Counter I2:\d+ C0", "changes", mark) + 1
        self.assertEqual(len(self.sessions_finished()), finished + 1, self.sessions_finished())
        survivor.kill()
        self.stop_server()

    def sessions_finished(self):
        return [text for level, text in self.log() if level == "INFO" and text.startswith("a_server_finished(")]


def quietly_output(*command):
    with tempfile.TemporaryFile() as out:
        subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, check=True)
        out.seek(0)
        return out.read().decode().strip()


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
