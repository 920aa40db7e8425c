#!/usr/bin/env python3
"""opc_across_processes.py SERVER PROBE CLIENT PROBE32: under Wine with 32-bit support (WoW64), OPC clients in
processes of their own against a copy of the server registered in the private prefix of WINEPREFIX, with its
proxy/stub DLLs beside it and COM1 reaching the reference instrument. What only the process boundary can break: the
registration in both registry views, every interface of our IDL and each shape of its calls carried by our
proxy/stub (PROBE, a client of ours, and PROBE32, its 32-bit build, through the 32-bit proxy/stub), the callbacks,
the Data Access 1.0a streams, and a killed client or server noticed. CLIENT (brisvale-client) starts the server;
the OPC semantics behind the calls are pinned in process by tests/lightopc/."""
import json, os, pathlib, re, shutil, signal, subprocess, sys, tempfile, unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "e2e"))
from line import WINE64, Instrument, Relay, map_wine_ports, quietly, wait_until  # noqa: E402

SERVER, PROBE, CLIENT, PROBE32 = sys.argv[1:5]
IDL = pathlib.Path(__file__).resolve().parents[2] / "common" / "opc_da" / "opc_da.idl"
VIEWS = ("64", "32")
PROXY_DLLS = {view: os.path.join(os.path.dirname(SERVER), "brisvale-opc-ps%s.dll" % ("32" * (view == "32")))
              for view in VIEWS}
CLSID = "{6B1E4D2A-3C7F-4E85-9A61-0F2D8B3C5E74}"
PROXY_CLSID = "{1DEECC74-9DD7-442A-B7C1-18AA57683B45}"
PROGID = "OPC.Brisvale.1"
OUR_KEYS = ("CLSID\\" + CLSID, "CLSID\\" + PROXY_CLSID, PROGID, "OPC.Brisvale", "AppID\\" + CLSID,
            "AppID\\brisvale-opc.exe")
CATEGORIES = ("{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}", "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}",
              "{CC603642-66D7-48F1-B69A-B625E73652D7}")
# Every interface of the IDL: {name: IID}.
INTERFACES = {name: "{%s}" % iid.upper() for iid, name in
              re.findall(r"uuid\(([0-9A-Fa-f-]+)\)[^\]]*\]\s*interface\s+(\w+)", IDL.read_text())}
# The interfaces the server calls: IOPCShutdown only as it shuts down while clients are connected, which no test here
# does. The probe calls each of the others, once for each shape of parameters that no other call of it carries.
CALLED_BY_SERVER = ("IOPCDataCallback", "IOPCShutdown")
# One call for each shape of answer that could cross damaged without an RPC error: a top-level [out] string (it needs
# the build's fix of widl's proxy), strings in a structure, an array of strings, nested arrays of structures with a
# string in and out, VARIANTs, qualities, client handles and per-item results, and per-item errors with S_FALSE.
ANSWERS = {
    "IOPCBrowseServerAddressSpace::GetItemID": r"^0x00000000 Counter$",
    "IOPCServer::GetStatus": r"^0x00000000 1 Brisvale OPC Server$",
    "IOPCItemProperties::QueryAvailableProperties": r"^0x00000000 1:Item Canonical DataType\|",
    "IOPCBrowse::Browse": r"^0x00000000 0 Counter/0{8}/6 R0/0{8}/6 R1/0{8}/6$",
    "IOPCSyncIO::Read": r"^0x00000000 0 I2:-?\d+/C0\|1 I2:\d+/C0\|2 I2:\d+/C0 0{8},0{8},0{8}$",
    "IOPCItemIO::Read": r"^0x00000001 I2:-?\d+/C0\|\S+ 00000000,C0040007$",
}
# As the OPC core components would leave them, one in each view.
FOREIGN = {"64": ("IOPCAsyncIO2", "{0E1F2A3B-4C5D-4E6F-8091-A2B3C4D5E6F7}"),
           "32": ("IOPCItemProperties", "{0E1F2A3B-4C5D-4E6F-8091-A2B3C4D5E6F8}")}
GOOD = 0xC0
DEADLINE = 120.0  # seconds; generous for a loaded machine and Wine's start-up
TAGS = ("<TagConfig>\n  <QueryBlock deviceAddr='1'>\n    <SingleReg name='Counter' addr='3'/>\n"
        "    <BlockOfRegs namePrefix='R' count='2' addrStart='4'/>\n  </QueryBlock>\n</TagConfig>\n")
# A call that the proxy or the stub could not carry fails with an RPC error before it reaches the server.
RPC_FAILURE = r"^0x(800706|8001|800703E6)"


def read(path):
    """A file's text with Wine's CR LF line ends as Linux's."""
    return pathlib.Path(path).read_bytes().decode(errors="replace").replace("\r", "") if os.path.isfile(path) else ""


def output(*command):
    """(exit code, output) of a command, through a file (Wine's helpers could hold a pipe open), CR LF as LF."""
    with tempfile.TemporaryFile() as out:
        code = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT).returncode
        out.seek(0)
        return code, out.read().decode(errors="replace").replace("\r", "")


def why_no_32_bit():
    """None when Wine's i386 loader runs here; else why 32-bit programs cannot run (a kernel without 32-bit support
    refuses it: "Exec format error"; no wine32: no loader). Whether our 32-bit programs then work is the tests'."""
    try:
        code, text = output("/usr/lib/wine/wine", "--version")
    except OSError as error:
        code, text = 1, error.strerror
    return None if code == 0 else ("this machine cannot run 32-bit programs (Wine's i386 loader: %s): the 32-bit "
                                   "clients are not run" % (text.strip() or "exit %d" % code))


def reg(*args, view="64"):
    """reg.exe on one registry view of the prefix of WINEPREFIX."""
    return [WINE64, "reg", *args, "/reg:" + view]


def tree(key, view="64"):
    """{key: {value name ("" for the default): data}} of key and of every key below it in a registry view, as
    HKCR\\...; {} when key does not exist."""
    # reg.exe itself fails now and then on a loaded machine: only its own answer counts as "no such key".
    for attempt in range(3):
        code, text = output(*reg("query", key, "/s", view=view))
        if code == 0 or "Unable to find the specified registry key" in text:
            break
    else:
        raise AssertionError("reg query %s (view %s) failed: %s" % (key, view, text))
    keys = {}
    for block in text.split("\n\n") if code == 0 else ():
        lines = block.strip("\n").splitlines()
        if lines and lines[0].startswith("HKEY_CLASSES_ROOT\\"):
            keys["HKCR" + lines[0][len("HKEY_CLASSES_ROOT"):]] = {
                "" if name == "(Default)" else name: data
                for name, data in re.findall(r"^ {4}(.*?) {4}REG_\w+ {4}(.*)$", "\n".join(lines[1:]), re.M)}
    return keys


def interface_keys(view):
    """{key: values} of the keys of our interfaces' ids in a registry view, from one query."""
    ids = set(INTERFACES.values())
    return {key: values for key, values in tree("HKCR\\Interface", view).items() if key.split("\\")[2] in ids}


def forget(key, views=VIEWS):
    for view in views:
        output(*reg("delete", key, "/f", view=view))


def pids_running(folder):
    """The processes whose command line names a file in folder: the programs started from there."""
    found = subprocess.run(["pgrep", "-f", os.path.basename(folder)], stdout=subprocess.PIPE, text=True).stdout
    return [int(pid) for pid in found.split()]


class Process:
    """A client program run in a process of its own, its output in files; 32-bit programs are those in x86/."""

    def __init__(self, test, program, *args):
        folder = test.client_folder
        base = os.path.join(folder, "%s-%d" % (os.path.basename(program), len(os.listdir(folder))))
        self.out, self.err = base + ".out", base + ".err"
        loader = "wine" if os.path.basename(os.path.dirname(program)) == "x86" else WINE64
        with open(self.out, "wb") as out, open(self.err, "wb") as err:
            self.process = subprocess.Popen([loader, program, *args], stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        test.addCleanup(self.kill)

    def wait_for_changes(self, count, after=0):
        """Waits for count good values past the first after lines of a --json watch; fails if it ends first. The
        number of lines seen."""
        lines = lambda: read(self.out).splitlines()  # noqa: E731
        good = lambda: [line for line in lines()[after:] if json.loads(line)["quality"] == GOOD]  # noqa: E731
        wait_until(lambda: len(good()) >= count or self.process.poll() is not None, "%d good values" % count, DEADLINE)
        if len(good()) < count:
            raise AssertionError("the client ended early: %r %r" % (lines(), read(self.err)))
        return len(lines())

    def finish(self):
        """Waits for the end: (exit code, standard output, standard error)."""
        code = self.process.wait(DEADLINE)
        return code, read(self.out), read(self.err)

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
        cls.dlls = {view: shutil.copy2(dll, cls.folder) for view, dll in PROXY_DLLS.items()}
        pathlib.Path(cls.exe + ".log.cfg").write_text("level=5\n")
        pathlib.Path(cls.exe + ".port.cfg").write_text("COM1:baud=9600 parity=N data=8 stop=1")
        pathlib.Path(cls.exe + ".tag.cfg").write_text(TAGS)
        cls.client_folder = tempfile.mkdtemp(prefix="brisvale-clients-")
        cls.probe = shutil.copy2(PROBE, cls.client_folder)
        cls.client_exe = shutil.copy2(CLIENT, cls.client_folder)
        os.mkdir(os.path.join(cls.client_folder, "x86"))
        cls.probe32 = shutil.copy2(PROBE32, os.path.join(cls.client_folder, "x86"))
        cls.windows_exe = output(WINE64, "winepath", "-w", cls.exe)[1].strip()
        cls.windows_dlls = {view: output(WINE64, "winepath", "-w", dll)[1].strip() for view, dll in cls.dlls.items()}
        cls.forget_registrations()
        cls.no_32 = why_no_32_bit()

    @classmethod
    def tearDownClass(cls):
        # Kills the server (COM started it without a console: no Ctrl-C reaches it), and the prefix's helpers: Wine's
        # COM would keep the dead server's class registered and answer the next activation with 0x800706BA instead of
        # starting it again.
        pids = pids_running(cls.folder)
        for pid in pids:
            os.kill(pid, signal.SIGKILL)
        if pids:
            output("wineserver", "-k")
        cls.forget_registrations()
        cls.instrument.stop()
        cls.relay.close()
        shutil.rmtree(cls.folder, ignore_errors=True)
        shutil.rmtree(cls.client_folder, ignore_errors=True)

    @classmethod
    def forget_registrations(cls):
        for key in OUR_KEYS + tuple("Interface\\" + iid for iid in INTERFACES.values()):
            forget("HKCR\\" + key)

    def run_server(self, *args):
        with open(self.exe + ".out", "wb") as out:
            code = subprocess.run([WINE64, self.exe, *args], cwd=self.folder, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.STDOUT, timeout=DEADLINE).returncode
        self.assertEqual(code, 0, read(self.exe + ".out"))

    def serving(self):
        """Registered, the server running and its tags good: brisvale-client reads until they are. Wine starts a
        second server when two clients activate one that is not running at the same moment (Windows waits for the
        first): one client alone starts it."""
        self.run_server("/r")

        def all_good():
            code, out, err = Process(self, self.client_exe, "--json", "read").finish()
            self.assertEqual((code, err), (0, ""), out)
            return all(item["quality"] == GOOD for item in json.loads(out)["items"])

        wait_until(all_good, "good qualities", DEADLINE)

    def sessions_finished(self):
        return re.findall(r"(?m)^.*? INFO \[[0-9]+\] a_server_finished\(", read(self.exe + ".log"))

    def test_1_registration_in_both_views_keeps_a_proxy_already_there(self):
        foreign = {}
        for view, (name, clsid) in FOREIGN.items():
            foreign[view] = "HKCR\\Interface\\%s" % INTERFACES[name]
            quietly(*reg("add", foreign[view] + "\\ProxyStubClsid32", "/ve", "/d", clsid, "/f", view=view))
            self.addCleanup(forget, foreign[view], (view,))
        key, proxy = "HKCR\\CLSID\\" + CLSID, "HKCR\\CLSID\\%s\\InprocServer32" % PROXY_CLSID
        self.run_server("/r")
        expected = {key: {"": "Brisvale OPC server", "AppID": CLSID}, key + "\\Implemented Categories": {},
                    key + "\\LocalServer32": {"": '"%s"' % self.windows_exe}, key + "\\ProgID": {"": PROGID},
                    key + "\\VersionIndependentProgID": {"": "OPC.Brisvale"}}
        expected.update((key + "\\Implemented Categories\\" + category, {}) for category in CATEGORIES)
        for view in VIEWS:
            self.assertEqual(tree(key, view), expected, view)
            self.assertEqual(tree(proxy, view), {proxy: {"": self.windows_dlls[view], "ThreadingModel": "Both"}})
            keys = interface_keys(view)
            registered = {name: keys.get("HKCR\\Interface\\%s\\ProxyStubClsid32" % iid, {}).get("")
                          for name, iid in INTERFACES.items()}
            self.assertEqual(registered, {name: FOREIGN[view][1] if name == FOREIGN[view][0] else PROXY_CLSID
                                          for name in INTERFACES}, view)
        # Once, in the view both share.
        shared = {"HKCR\\%s\\CLSID" % PROGID: {"": CLSID},
                  "HKCR\\%s\\OPC\\Vendor" % PROGID: {"": "Brisvale OPC Server"},
                  "HKCR\\OPC.Brisvale\\CLSID": {"": CLSID}, "HKCR\\OPC.Brisvale\\CurVer": {"": PROGID},
                  "HKCR\\AppID\\brisvale-opc.exe": {"AppID": CLSID},
                  "HKCR\\AppID\\" + CLSID: {"": "Brisvale OPC server"}}
        found = {}
        for top in (PROGID, "OPC.Brisvale", "AppID\\brisvale-opc.exe", "AppID\\" + CLSID):
            found.update(tree("HKCR\\" + top))
        self.assertEqual({name: found.get(name) for name in shared}, shared)
        self.run_server("/u")
        # Of our interfaces' keys only the foreign proxy stays; the installer's test sees the server's keys go.
        for view in VIEWS:
            self.assertEqual(interface_keys(view), {foreign[view]: {},
                                                    foreign[view] + "\\ProxyStubClsid32": {"": FOREIGN[view][1]}}, view)

    def test_2_every_interface_through_our_proxies_in_both_bitnesses(self):
        self.run_server("/r")
        self.assertEqual(pids_running(self.folder), [], "no server before the first activation")
        self.serving()
        expected = set(INTERFACES) - set(CALLED_BY_SERVER)
        for bits, probe in (("64", self.probe), ("32", self.probe32)):
            with self.subTest(bits=bits):
                if bits == "32" and self.no_32:
                    self.skipTest(self.no_32)
                code, out, err = Process(self, probe, "methods").finish()
                self.assertEqual(code, 0, out + err)
                lines = out.splitlines()
                calls = {line.split(" ")[1]: line.split(" ", 2)[2] for line in lines if line.startswith("call ")}
                self.assertEqual({name.split("::")[0] for name in calls}, expected)
                for name, result in calls.items():
                    self.assertNotRegex(result, RPC_FAILURE, name)
                for name, pattern in ANSWERS.items():
                    self.assertRegex(calls[name], pattern, name)
                # The callbacks and the Data Access 1.0a streams, with the transactions' numbers, the group's client
                # handle and values; the per-item result of a refused value.
                patterns = [r"callback OnReadComplete t1 g7 3 I2:-?\d+/C0 ", r"callback OnDataChange t33 g7 3 I2:",
                            r"callback OnWriteComplete t32 g7 1 0xC0040006$",
                            "stream data %s 3 whole$" % calls["IOPCAsyncIO::Refresh"][11:],
                            "stream write %s 1 whole$" % calls["IOPCAsyncIO::Write"][11:]]
                for pattern in patterns:
                    self.assertTrue(any(re.match(pattern, line) for line in lines), (pattern, lines))

    def test_3_a_killed_client_and_a_killed_server_are_noticed(self):
        # Wine never notices a killed client by itself: only the server's own rule lets its session go, once the
        # first callback to the dead client failed (0x800706BA under Wine). Its session's end, and the other
        # client still receiving, show that the rule found exactly the dead client.
        self.serving()
        killed, watch = (Process(self, self.client_exe, "watch", "--rate", "100", "--json", "Counter")
                         for _ in range(2))
        killed.wait_for_changes(1)
        seen = watch.wait_for_changes(2)
        self.assertEqual(len(pids_running(self.folder)), 1, "one server for every activation")
        finished = len(self.sessions_finished())
        killed.kill()
        wait_until(lambda: len(self.sessions_finished()) > finished, "the killed client's session to end", DEADLINE)
        watch.wait_for_changes(2, seen)
        self.assertEqual(len(self.sessions_finished()), finished + 1, "the killed client's session ended, once")

        for pid in pids_running(self.folder):
            os.kill(pid, signal.SIGKILL)
        code, out, err = watch.finish()
        output("wineserver", "-k")
        self.assertEqual(code, 1, out)
        self.assertRegex(err, r"^brisvale-client: the server went away \(GetStatus: 0x[0-9A-F]{8}\)\n$")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
