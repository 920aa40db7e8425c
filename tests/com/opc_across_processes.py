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
VIEWS = ("64", "32")
PROXY_DLLS = {view: os.path.join(os.path.dirname(SERVER), "brisvale-opc-ps%s.dll" % ("32" * (view == "32")))
              for view in VIEWS}
CLSID = "{6B1E4D2A-3C7F-4E85-9A61-0F2D8B3C5E74}"
PROXY_CLSID = "{1DEECC74-9DD7-442A-B7C1-18AA57683B45}"
PROGID = "OPC.Brisvale.1"
CATEGORIES = ("{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}", "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}",
              "{CC603642-66D7-48F1-B69A-B625E73652D7}")
# Every interface of our IDL: {name: IID}. The IIDs are written here, not read from the IDL: the OPC core components'
# proxy/stub and every other vendor's client know our interfaces by these, and a wrong one in the IDL breaks them.
INTERFACES = {
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
    "IOPCBrowse": "{39227004-A18F-4B57-8B0A-5235670F4468}",
    "IOPCItemIO": "{85C0B427-2893-4CBC-BD78-E5FC5146F08F}",
    "IOPCSyncIO2": "{730F5F0F-55B1-4C81-9E18-FF8A0904E1FA}",
    "IOPCAsyncIO3": "{0967B97B-36EF-423E-B6F8-6BFF1E40D39D}",
    "IOPCGroupStateMgt2": "{8E368666-D72E-4F78-87ED-647611C61C9F}",
    "IOPCItemDeadbandMgt": "{5946DA93-8B39-4EC8-AB3D-AA73DF5BC86F}",
    "IOPCAsyncIO": "{39C13A53-011E-11D0-9675-0020AFD8ADB3}",
}
# Every key that registration writes, in either view.
OUR_KEYS = tuple("HKCR\\" + key for key in ("CLSID\\" + CLSID, "CLSID\\" + PROXY_CLSID, PROGID, "OPC.Brisvale",
                                             "AppID\\" + CLSID, "AppID\\brisvale-opc.exe",
                                             *("Interface\\" + iid for iid in INTERFACES.values())))
# The interfaces the server calls: IOPCShutdown only as it shuts down while clients are connected, which no test here
# does. The probe calls each of the others, once for each shape of parameters that no other call of it carries.
CALLED_BY_SERVER = ("IOPCDataCallback", "IOPCShutdown")
# One line for each shape of answer that could cross damaged without an RPC error: a top-level [out] string (it needs
# the build's fix of widl's proxy), strings in a structure, an array of strings, nested arrays of structures with a
# string in and out, VARIANTs, qualities, client handles and per-item results, and per-item errors with S_FALSE; the
# callbacks and the Data Access 1.0a streams, with the transactions' numbers, the group's client handle and values,
# and the per-item result of a refused value.
ANSWERS = (r"^call IOPCBrowseServerAddressSpace::GetItemID 0x00000000 Counter$",
           r"^call IOPCServer::GetStatus 0x00000000 1 Brisvale OPC Server$",
           r"^call IOPCItemProperties::QueryAvailableProperties 0x00000000 1:Item Canonical DataType\|",
           r"^call IOPCBrowse::Browse 0x00000000 0 Counter/0{8}/6 R0/0{8}/6 R1/0{8}/6$",
           r"^call IOPCSyncIO::Read 0x00000000 0 I2:-?\d+/C0\|1 I2:\d+/C0\|2 I2:\d+/C0 0{8},0{8},0{8}$",
           r"^call IOPCItemIO::Read 0x00000001 I2:-?\d+/C0\|\S+ 00000000,C0040007$",
           r"^callback OnReadComplete t1 g7 3 I2:-?\d+/C0 ", r"^callback OnDataChange t33 g7 3 I2:",
           r"^callback OnWriteComplete t32 g7 1 0xC0040006$",
           # The transaction that the call returned, in the stream, which may come before the call's own line.
           r"\A(?=[\s\S]*^call IOPCAsyncIO::Refresh 0x0{8} t(\d+)$)[\s\S]*^stream data t\1 3 whole$",
           r"\A(?=[\s\S]*^call IOPCAsyncIO::Write 0x0{8} t(\d+)$)[\s\S]*^stream write t\1 1 whole$",
           # A call that the proxy or the stub could not carry fails with an RPC error before it reaches the server.
           r"\A(?![\s\S]*^call \S+ 0x(800706|8001|800703E6))")
# As the OPC core components would leave them, one in each view.
FOREIGN = {"64": ("IOPCAsyncIO2", "{0E1F2A3B-4C5D-4E6F-8091-A2B3C4D5E6F7}"),
           "32": ("IOPCItemProperties", "{0E1F2A3B-4C5D-4E6F-8091-A2B3C4D5E6F8}")}
GOOD = 0xC0
DEADLINE = 120.0  # seconds; generous for a loaded machine and Wine's start-up
TAGS = ("<TagConfig>\n  <QueryBlock deviceAddr='1'>\n    <SingleReg name='Counter' addr='3'/>\n"
        "    <BlockOfRegs namePrefix='R' count='2' addrStart='4'/>\n  </QueryBlock>\n</TagConfig>\n")


def read(path):
    """A file's text with Wine's CR LF line ends as Linux's."""
    return pathlib.Path(path).read_bytes().decode(errors="replace").replace("\r", "") if os.path.isfile(path) else ""


def output(*command):
    """(exit code, output) of a command, through a file (Wine's helpers could hold a pipe open), CR LF as LF."""
    with tempfile.TemporaryFile() as out:
        code = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                              timeout=DEADLINE).returncode
        out.seek(0)
        return code, out.read().decode(errors="replace").replace("\r", "")


def tree(key, view="64"):
    """{key: {value name ("" for the default): data}} of key and of every key below it in a registry view, as
    HKCR\\...; {} when key does not exist."""
    # reg.exe itself fails now and then on a loaded machine: only its own answer counts as "no such key".
    for attempt in range(3):
        code, text = output(WINE64, "reg", "query", key, "/s", "/reg:" + view)
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


def proxies(view):
    """{interface: the class of its proxy/stub, None without} of our interfaces in a registry view, from one query."""
    keys = tree("HKCR\\Interface", view)
    return {name: keys.get("HKCR\\Interface\\%s\\ProxyStubClsid32" % iid, {}).get("")
            for name, iid in INTERFACES.items()}


def forget(*keys, views=VIEWS):
    for key in keys:
        for view in views:
            output(WINE64, "reg", "delete", key, "/f", "/reg:" + view)


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
        self.process.kill()  # nothing when it has ended
        self.process.wait()


class AcrossProcesses(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # What is set up is taken down in reverse order, also when the set-up fails half-way.
        cls.relay = Relay()
        cls.addClassCleanup(cls.relay.close)
        map_wine_ports(cls.relay.server_path)
        cls.instrument = Instrument(cls.relay, [1], ["--count", "1:3"])
        cls.addClassCleanup(cls.instrument.stop)
        cls.instrument.start()
        cls.folder = tempfile.mkdtemp(prefix="brisvale-com-")
        cls.client_folder = tempfile.mkdtemp(prefix="brisvale-clients-")
        for folder in (cls.folder, cls.client_folder):
            cls.addClassCleanup(shutil.rmtree, folder, ignore_errors=True)
        cls.exe = shutil.copy2(SERVER, cls.folder)
        cls.dlls = {view: shutil.copy2(dll, cls.folder) for view, dll in PROXY_DLLS.items()}
        pathlib.Path(cls.exe + ".log.cfg").write_text("level=5\n")
        pathlib.Path(cls.exe + ".port.cfg").write_text("COM1:baud=9600 parity=N data=8 stop=1")
        pathlib.Path(cls.exe + ".tag.cfg").write_text(TAGS)
        cls.probe = shutil.copy2(PROBE, cls.client_folder)
        cls.client_exe = shutil.copy2(CLIENT, cls.client_folder)
        os.mkdir(os.path.join(cls.client_folder, "x86"))
        cls.probe32 = shutil.copy2(PROBE32, os.path.join(cls.client_folder, "x86"))
        cls.windows_exe = output(WINE64, "winepath", "-w", cls.exe)[1].strip()
        cls.windows_dlls = {view: output(WINE64, "winepath", "-w", dll)[1].strip() for view, dll in cls.dlls.items()}
        forget(*OUR_KEYS)
        cls.addClassCleanup(forget, *OUR_KEYS)
        cls.addClassCleanup(cls.kill_servers)
        # Why 32-bit programs cannot run here, if they cannot: a kernel without 32-bit support refuses Wine's i386
        # loader ("Exec format error"); without wine32 there is no loader. Whether ours then work is the tests'.
        try:
            code, text = output("/usr/lib/wine/wine", "--version")
        except OSError as error:
            code, text = 1, error.strerror
        cls.no_32 = code and ("this machine cannot run 32-bit programs (Wine's i386 loader: %s): the 32-bit "
                              "clients are not run" % (text.strip() or "exit %d" % code))

    @classmethod
    def kill_servers(cls):
        # Kills the server (COM started it without a console: no Ctrl-C reaches it), and the prefix's helpers: Wine's
        # COM would keep the dead server's class registered and answer the next activation with 0x800706BA instead of
        # starting it again.
        pids = pids_running(cls.folder)
        for pid in pids:
            os.kill(pid, signal.SIGKILL)
        if pids:
            output("wineserver", "-k")

    def run_server(self, *args):
        code, text = output(WINE64, self.exe, *args)
        self.assertEqual(code, 0, text)

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
        for view, (name, clsid) in FOREIGN.items():
            foreign = "HKCR\\Interface\\%s" % INTERFACES[name]
            quietly(WINE64, "reg", "add", foreign + "\\ProxyStubClsid32", "/ve", "/d", clsid, "/f", "/reg:" + view)
            self.addCleanup(forget, foreign, views=(view,))
        key, proxy = "HKCR\\CLSID\\" + CLSID, "HKCR\\CLSID\\%s\\InprocServer32" % PROXY_CLSID
        self.run_server("/r")
        expected = {key: {"": "Brisvale OPC server", "AppID": CLSID}, key + "\\Implemented Categories": {},
                    key + "\\LocalServer32": {"": '"%s"' % self.windows_exe}, key + "\\ProgID": {"": PROGID},
                    key + "\\VersionIndependentProgID": {"": "OPC.Brisvale"}}
        expected.update((key + "\\Implemented Categories\\" + category, {}) for category in CATEGORIES)
        for view, (foreign, clsid) in FOREIGN.items():
            self.assertEqual(tree(key, view), expected, view)
            self.assertEqual(tree(proxy, view), {proxy: {"": self.windows_dlls[view], "ThreadingModel": "Both"}})
            self.assertEqual(proxies(view), {name: clsid if name == foreign else PROXY_CLSID for name in INTERFACES})
        # A client that names the server by its version-independent ProgID finds it (the versioned one: the probe).
        independent = "HKCR\\OPC.Brisvale\\CLSID"
        self.assertEqual(tree(independent), {independent: {"": CLSID}})
        self.run_server("/u")
        # Of our interfaces' proxies only the foreign one stays; the installer's test sees the server's keys go.
        for view, (foreign, clsid) in FOREIGN.items():
            self.assertEqual(proxies(view), {name: clsid if name == foreign else None for name in INTERFACES}, view)

    def test_2_every_interface_through_our_proxies_in_both_bitnesses(self):
        self.serving()
        for bits, probe in (("64", self.probe), ("32", self.probe32)):
            with self.subTest(bits=bits):
                if bits == "32" and self.no_32:
                    self.skipTest(self.no_32)
                code, out, err = Process(self, probe, "methods").finish()
                self.assertEqual(code, 0, out + err)
                self.assertEqual(set(re.findall(r"(?m)^call (\w+)::", out)), set(INTERFACES) - set(CALLED_BY_SERVER))
                for pattern in ANSWERS:
                    self.assertRegex(out, re.compile(pattern, re.M))

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
