#!/usr/bin/env python3
"""msi_install.py MSI_SCRIPT BUILD CLIENT: the Windows installer under Wine, as a plant engineer uses it. Builds three
packages of the server in BUILD with MSI_SCRIPT (scripts/msi.sh), an older version twice and a newer one; installs the
older one silently into a new prefix (WINEPREFIX), where COM1 reaches the reference instrument; a configuration the
user writes into the install folder survives its rebuild over it, which replaces it, and the newer package installed
over the older one; CLIENT (brisvale-client) reads through the installed server; the removal leaves no key of the
server in either registry view and no file but the user's."""
import json, os, pathlib, shutil, subprocess, sys, tempfile, unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "e2e"))
from line import WINE64, Instrument, Relay, map_wine_ports, wait_until  # noqa: E402

MSI_SCRIPT, BUILD, CLIENT = sys.argv[1:4]
CLSID = "{6B1E4D2A-3C7F-4E85-9A61-0F2D8B3C5E74}"
OUR_KEYS = ("CLSID\\" + CLSID, "OPC.Brisvale.1", "OPC.Brisvale", "AppID\\" + CLSID, "AppID\\brisvale-opc.exe",
            "CLSID\\{1DEECC74-9DD7-442A-B7C1-18AA57683B45}",  # the proxy/stub, and one interface it serves
            "Interface\\{39C13A4D-011E-11D0-9675-0020AFD8ADB3}\\ProxyStubClsid32")
INSTALLED = ["README.md", "brisvale-opc-ps.dll", "brisvale-opc-ps32.dll", "brisvale-opc.exe",
             "samples/brisvale-opc.exe.port.cfg", "samples/brisvale-opc.exe.tag.cfg"]
SOURCE = pathlib.Path(__file__).resolve().parents[2]
DEADLINE = 300.0  # seconds; an installation under Wine on a loaded machine is slow
USER = {"brisvale-opc.exe.port.cfg": "COM1:baud=9600 parity=N data=8 stop=1",
        "brisvale-opc.exe.tag.cfg": "<TagConfig>\n  <QueryBlock deviceAddr='1'>\n"
                                    "    <SingleReg name='Counter' addr='3'/>\n  </QueryBlock>\n</TagConfig>\n"}


def run(*command):
    """(exit code, output) of a 64-bit Wine program, its CR LF line ends as Linux's."""
    with tempfile.TemporaryFile() as out:  # a file, not a pipe: Wine's helpers could hold a pipe open
        code = subprocess.run([WINE64, *command], stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                              timeout=DEADLINE).returncode
        out.seek(0)
        return code, out.read().decode(errors="replace").replace("\r", "")


def products():
    """DisplayVersion of every installed product named like ours."""
    out = run("reg", "query", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", "/s", "/reg:64")[1]
    return [entry.split("DisplayVersion")[1].split()[1] for entry in out.split("\nHKEY_")
            if "Brisvale OPC Server\n" in entry and "DisplayVersion" in entry]


def stop_server():
    """Ends the server that COM started (without a console: no Ctrl-C reaches it) and the prefix's helpers, which
    would keep the dead server's class registered; a plant stops the server before an upgrade too."""
    for option in ("-k", "-w"):
        subprocess.run(["wineserver", option], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)


class Installer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="brisvale-msi-", dir=BUILD)
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)  # also when the set-up fails half-way
        cls.packages = [os.path.join(cls.work, "brisvale-opc-%d.msi" % k) for k in range(3)]
        for package, version in zip(cls.packages, ("1.0.1", "1.0.1", "1.0.2")):
            env = dict(os.environ, BRISVALE_MSI_BIN=BUILD, BRISVALE_MSI_VERSION=version, BRISVALE_MSI_OUTPUT=package)
            built = subprocess.run(["bash", MSI_SCRIPT], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, timeout=DEADLINE)
            if built.returncode != 0:
                raise AssertionError("the package was not built: " + built.stdout.decode(errors="replace"))
        # A new prefix for every run: what an earlier run left installed must not hide a fault of this one.
        stop_server()
        shutil.rmtree(os.environ["WINEPREFIX"], ignore_errors=True)
        cls.relay = Relay()
        cls.addClassCleanup(cls.relay.close)
        map_wine_ports(cls.relay.server_path)  # makes the prefix anew
        cls.instrument = Instrument(cls.relay, [1], ["--count", "1:3"])
        cls.addClassCleanup(cls.instrument.stop)
        cls.instrument.start()
        cls.addClassCleanup(stop_server)
        cls.folder = pathlib.Path(os.environ["WINEPREFIX"], "drive_c", "Program Files", "Brisvale OPC")
        cls.client = shutil.copy2(CLIENT, cls.work)

    def msiexec(self, option, package, *properties):
        code, out = run("msiexec", option, package, *properties, "/qn")
        self.assertEqual(code, 0, "msiexec %s: %s" % (option, out))

    def files(self, folders=False):
        return sorted(str(path.relative_to(self.folder)) for path in self.folder.rglob("*")
                      if folders or path.is_file())

    def test_install_upgrade_and_removal(self):
        older, rebuilt, newer = self.packages
        self.msiexec("/i", older)
        # The user's configuration, beside the executable where the server reads it.
        for name, text in USER.items():
            (self.folder / name).write_text(text)
        # An upgrade stays in the installed version's folder, where the user's configuration is.
        self.msiexec("/i", rebuilt, "INSTALLDIR=C:\\Elsewhere\\")
        self.assertEqual(products(), ["1.0.1"], "a rebuild of the installed version replaced it, not beside it")
        installed = sorted(INSTALLED + ["docs/" + path.name for path in (SOURCE / "docs").glob("*.md")] + list(USER))
        self.assertEqual([f for f in self.files() if not f.endswith(".log")], installed, "the user's files kept")

        self.msiexec("/i", newer)
        self.assertEqual(products(), ["1.0.2"], "the newer package replaced the older one")
        self.assertEqual({name: (self.folder / name).read_text() for name in USER}, USER, "the upgrade kept them")
        # Whether the upgrade kept the log cannot be seen here: Wine removes the older package without
        # UPGRADINGPRODUCTCODE, so its removal deletes the log as a plain removal does.

        # brisvale-client reads the tag good through the installed server, which COM starts; then it is stopped.
        def good():
            code, out = run(self.client, "--json", "read")
            self.assertEqual(code, 0, out)
            return json.loads(out)["items"][0]["quality"] == 0xC0

        wait_until(good, "a good quality through the installed server", DEADLINE)
        stop_server()

        self.msiexec("/x", newer)
        self.assertEqual(products(), [])
        left = [(view, key) for view in ("64", "32") for key in OUR_KEYS
                if run("reg", "query", "HKCR\\" + key, "/reg:" + view)[0] == 0]
        self.assertEqual(left, [], "keys of ours in either registry view")
        self.assertEqual(self.files(folders=True), sorted(USER), "no file or folder but the user's")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
