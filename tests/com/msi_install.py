#!/usr/bin/env python3
"""msi_install.py MSI_SCRIPT BUILD CLIENT: the Windows installer under Wine, as a plant engineer uses it. Builds three
packages of the server in BUILD with MSI_SCRIPT (scripts/msi.sh), an older version twice and a newer one; installs the
older one silently into a new prefix (WINEPREFIX), where COM1 reaches the reference instrument, and its rebuild over
it, which replaces it; CLIENT (brisvale-client) reads through the installed server; a configuration the user writes
into the install folder survives the newer package installed over the older one, and the removal, which leaves no
key of the server in either registry view and no file but the user's."""
import json, os, pathlib, shutil, subprocess, sys, tempfile, unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "e2e"))
from line import Instrument, Relay, map_wine_ports, wait_until  # noqa: E402

MSI_SCRIPT, BUILD, CLIENT = sys.argv[1:4]
WINE = "/usr/lib/wine/wine64"  # the 64-bit loader: the installer, the server and reg's 64-bit view
CLSID = "{6B1E4D2A-3C7F-4E85-9A61-0F2D8B3C5E74}"
PROXY_CLSID = "{1DEECC74-9DD7-442A-B7C1-18AA57683B45}"
IOPCSERVER = "{39C13A4D-011E-11D0-9675-0020AFD8ADB3}"
OUR_KEYS = ("CLSID\\" + CLSID, "OPC.Brisvale.1", "OPC.Brisvale", "AppID\\" + CLSID, "AppID\\brisvale-opc.exe",
            "CLSID\\" + PROXY_CLSID, "Interface\\%s\\ProxyStubClsid32" % IOPCSERVER)
UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
INSTALLED = ["README.md", "brisvale-opc-ps.dll", "brisvale-opc-ps32.dll", "brisvale-opc.exe",
             "samples/brisvale-opc.exe.port.cfg", "samples/brisvale-opc.exe.tag.cfg"]
SOURCE = pathlib.Path(__file__).resolve().parents[2]
GOOD = 0xC0
DEADLINE = 300.0  # seconds; an installation under Wine on a loaded machine is slow
PORT = "COM1:baud=9600 parity=N data=8 stop=1"
TAGS = ("<TagConfig>\n  <QueryBlock deviceAddr='1'>\n    <SingleReg name='Counter' addr='3'/>\n"
        "    <BlockOfRegs namePrefix='R' count='2' addrStart='4'/>\n  </QueryBlock>\n</TagConfig>\n")


def register_value(address):
    """What the reference instrument holds for device 1, as the VT_I2 the server publishes."""
    value = (0x1111 + address * 0x0101 + 7) & 0xFFFF
    return value - 0x10000 if value >= 0x8000 else value


def run(*command):
    """(exit code, output) of a Wine program, its CR LF line ends as Linux's."""
    with tempfile.TemporaryFile() as out:  # a file, not a pipe: Wine's helpers could hold a pipe open
        code = subprocess.run([WINE, *command], stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                              timeout=DEADLINE).returncode
        out.seek(0)
        return code, out.read().decode(errors="replace").replace("\r", "")


def keys_left(view):
    """The keys of ours that exist in a registry view ("32" or "64")."""
    return [key for key in OUR_KEYS if run("reg", "query", "HKCR\\" + key, "/reg:" + view)[0] == 0]


def products():
    """DisplayVersion of every installed product named like ours."""
    code, out = run("reg", "query", UNINSTALL, "/s", "/reg:64")
    versions, ours = [], False
    for line in out.splitlines():
        if line.startswith("HKEY_"):
            ours = False
        elif "DisplayName" in line:
            ours = line.rstrip().endswith("Brisvale OPC Server")
        elif ours and "DisplayVersion" in line:
            versions.append(line.split()[-1])
    return versions


class Installer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="brisvale-msi-", dir=BUILD)
        cls.packages = []
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)  # also when the set-up fails half-way
        for index, version in enumerate(("1.0.1", "1.0.1", "1.0.2")):
            package = os.path.join(cls.work, "brisvale-opc-%d.msi" % index)
            env = dict(os.environ, BRISVALE_MSI_BIN=BUILD, BRISVALE_MSI_VERSION=version, BRISVALE_MSI_OUTPUT=package)
            built = subprocess.run(["bash", MSI_SCRIPT], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, timeout=DEADLINE)
            if built.returncode != 0:
                raise AssertionError("the package was not built: " + built.stdout.decode(errors="replace"))
            cls.packages.append(package)
        # A new prefix for every run: what an earlier run left installed must not hide a fault of this one.
        prefix = os.environ["WINEPREFIX"]
        cls.stop_server()
        shutil.rmtree(prefix, ignore_errors=True)
        cls.relay = Relay()
        cls.addClassCleanup(cls.relay.close)
        map_wine_ports(cls.relay.server_path)  # makes the prefix anew
        cls.instrument = Instrument(cls.relay, [1], ["--count", "1:3"])
        cls.addClassCleanup(cls.instrument.stop)
        cls.instrument.start()
        cls.addClassCleanup(cls.stop_server)
        cls.folder = os.path.join(prefix, "drive_c", "Program Files", "Brisvale OPC")
        cls.client = shutil.copy2(CLIENT, cls.work)

    @classmethod
    def stop_server(cls):
        """Ends the server that COM started (without a console: no Ctrl-C reaches it) and the prefix's helpers,
        which would keep the dead server's class registered; a plant stops the server before an upgrade too."""
        for option in ("-k", "-w"):
            subprocess.run(["wineserver", option], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)

    def msiexec(self, option, package, *properties):
        code, out = run("msiexec", option, package, *properties, "/qn")
        self.assertEqual(code, 0, "msiexec %s: %s" % (option, out))

    def files(self, folders=False):
        root = pathlib.Path(self.folder)
        return sorted(str(path.relative_to(root)) for path in root.rglob("*") if folders or path.is_file())

    def reads(self):
        """brisvale-client reads every tag good from the installed server, which COM starts."""
        last = [None]

        def all_good():
            code, out = run(self.client, "--json", "read")
            self.assertEqual(code, 0, out)
            last[0] = json.loads(out)
            return all(item["quality"] == GOOD for item in last[0]["items"])

        wait_until(all_good, "good qualities through the installed server", DEADLINE)
        self.assertEqual([(item["name"], item["value"]) for item in last[0]["items"][1:]],
                         [("R0", register_value(4)), ("R1", register_value(5))])

    def test_install_upgrade_and_removal(self):
        older, rebuilt, newer = self.packages
        self.msiexec("/i", older)
        # An upgrade stays in the installed version's folder, where the user's configuration is (the files and
        # LocalServer32 below show it).
        self.msiexec("/i", rebuilt, "INSTALLDIR=C:\\Elsewhere\\")
        self.assertEqual(products(), ["1.0.1"], "a rebuild of the installed version replaced it, not beside it")
        documents = sorted("docs/" + path.name for path in (SOURCE / "docs").glob("*.md"))
        self.assertEqual([f for f in self.files() if not f.endswith(".log")], sorted(INSTALLED + documents))
        for name in ("port", "tag"):
            self.assertEqual(pathlib.Path(self.folder, "samples", "brisvale-opc.exe.%s.cfg" % name).read_bytes(),
                             (SOURCE / "tools" / "demo" / ("brisvale-opc.%s.cfg" % name)).read_bytes())
        code, out = run("reg", "query", "HKCR\\CLSID\\%s\\LocalServer32" % CLSID, "/ve", "/reg:64")
        self.assertIn('"C:\\Program Files\\Brisvale OPC\\brisvale-opc.exe"', out, "registered by its own /r")

        # The user's configuration, beside the executable where the server reads it.
        user = {"brisvale-opc.exe.port.cfg": PORT, "brisvale-opc.exe.tag.cfg": TAGS}
        for name, text in user.items():
            pathlib.Path(self.folder, name).write_text(text)
        self.reads()
        self.stop_server()

        self.msiexec("/i", newer)
        self.assertEqual(products(), ["1.0.2"], "the newer package replaced the older one")
        for name, text in user.items():
            self.assertEqual(pathlib.Path(self.folder, name).read_text(), text, "the upgrade kept " + name)
        # Whether the upgrade kept the log cannot be seen here: Wine removes the older package without
        # UPGRADINGPRODUCTCODE, so its removal deletes the log as a plain removal does.
        self.assertNotEqual(keys_left("64"), [], "the newer package registered the server")
        self.reads()
        self.stop_server()

        self.msiexec("/x", newer)
        self.assertEqual(products(), [])
        for view in ("64", "32"):
            self.assertEqual(keys_left(view), [], "keys of ours in the %s-bit view" % view)
        self.assertEqual(self.files(folders=True), sorted(user), "no file or folder but the user's")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
