#!/usr/bin/env python3
"""server_blackbox.py SERVER [--wine]: runs copies of the server as users do, each in a folder of its own, and
checks console output, log and exit code: a registration, a failed unregistration, the console run ended by
Ctrl-C, and an unknown option with the usage (the option spellings: test_host_command_line; the loop's ends and
its exception guard: test_host_service_loop)."""
import os, pathlib, re, shutil, signal, subprocess, sys, tempfile, time, unittest

SERVER = sys.argv[1]
WINE = "--wine" in sys.argv
CLSID = "{6B1E4D2A-3C7F-4E85-9A61-0F2D8B3C5E74}"
READY = "press Ctrl-C to terminate"
HELP = ("\nOne of following flags can be specified:\n\t/r       - register;\n\t/u       - unregister;\n"
        "\t/rc      - register to start with /c key;\n\t/c       - create console window;\n"
        "\t/daemon  - run in daemon mode;\n\t/test    - run in test mode for 25 seconds;\n"
        "\t/detach  - run in unbreakable daemon mode.")
DEADLINE = 120.0  # seconds; generous for a loaded machine and Wine's start-up

# Log lines (level, text), "*" standing for anything.
START = [("DEBUG", "WinMain(*) invoked...")]
RUN, CLEAN = ("MESSAGE", "UpdateTags Started..."), ("MESSAGE", "All clean. exiting...")
END = [("MESSAGE", "Server exited"), ("DEBUG", "WinMain(*) finished")]
CONSOLE = START + [("MESSAGE", "Creating new console..."), RUN, CLEAN, ("INFO", "* loDelete(*) = ")] + END
REG = START + [("INFO", "Reg <OPC.Brisvale.1> <*brisvale-opc*> Ok")] + END
FAILED = "[*] * %s <OPC.Brisvale.1> <*> Failed"  # the last system error first

# Arguments; console output after the program-name line; the whole log; exit code (None: no Ctrl-C handler,
# ended from outside once it polls); Ctrl-C presses; extras: "registered" the command line recorded then (None:
# none), "deep" a path too long to register whole (a cut one would name another program). The
# failed unregistration comes first: Wine's registry is shared by the rows, and nothing is registered yet.
ROWS = [
    (("/u",), "UnRegistering FAILED\n", START + [("WARNING", FAILED % "UnReg")] + END, 1, 0, {}),
    (("/r",), "Registering Succeeded\n", REG, 0, 0, {"registered": '"{exe}"'}),
    (("/r",), "Registering FAILED\n", START + [("ERROR", FAILED % "Reg")] + END, 1, 0,
     {"deep": True, "registered": None}),
    (("/c",), READY + "Exiting...\n", CONSOLE, 0, 1, {}),
    (("-Embedding",), "Unknown option <-Embedding>" + HELP + "\n",
     START + [("WARNING", "unknown option <-Embedding>"), RUN], None, 0, {}),
]


WINE64 = "/usr/lib/wine/wine64"  # 64-bit programs straight through the 64-bit loader


def reg(*args):  # reg.exe on the 64-bit registry view; the key follows the verb
    return (WINE64, "reg", *args, "/reg:64")


def quietly(*command):  # its output through a file: Wine's helpers could hold a pipe open
    with tempfile.NamedTemporaryFile() as out:
        subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        return read(out.name)


def read(path):
    return pathlib.Path(path).read_bytes().decode(errors="replace").replace("\r", "") if os.path.isfile(path) else ""


def log_of(exe):
    return re.findall(r"^.*? (ERROR|WARNING|MESSAGE|INFO|DEBUG) \[[0-9]+\] (.*)$", read(exe + ".log"), re.M)


def registered(env):  # the local-server command line recorded for the server's class, or None
    text = quietly(*reg("query", "HKCR\\CLSID\\%s\\LocalServer32" % CLSID)) if WINE else read(
        os.path.join(env["BRISVALE_COM_REGISTRY"], "CLSID", CLSID))
    found = re.search(r"(?:\sREG_SZ\s+|^LocalServer32=)(.*)$", text, re.M)
    return found and found.group(1)


def unregister_in_wine():  # leaves the prefix's registry as it was found
    # The class key is written in both views: one left in the 32-bit view would let a later /u succeed.
    for key in ("HKCR\\CLSID\\" + CLSID, "HKCR\\Wow6432Node\\CLSID\\" + CLSID, "HKCR\\OPC.Brisvale.1") if WINE else ():
        quietly(*reg("delete", key, "/f"))


def run(exe, args, env, presses=0, killed=False):
    """(exit code, console output): the run ends by itself, or by Ctrl-C or from outside once it polls."""
    with open(exe + ".out", "wb") as out:  # stderr too: a sanitizer's report fails the comparison
        proc = subprocess.Popen(([WINE64] if WINE else []) + [exe, *args], env=env, cwd=os.path.dirname(exe),
                                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    try:
        end = time.monotonic() + DEADLINE
        while (presses or killed) and RUN not in log_of(exe) and proc.poll() is None and time.monotonic() < end:
            time.sleep(0.05)
        for _ in range(presses):
            proc.send_signal(signal.SIGINT)
        if killed:
            proc.terminate()
        code = proc.wait(DEADLINE)
    finally:
        proc.kill()  # nothing once it has exited
        proc.wait()
    return None if killed else code, read(exe + ".out")


# --- COM1 for the runs: driver initialisation opens the port once, so it must exist on any machine.
def stand_in_com1(test):
    """A pseudo-terminal held for the test; under Wine, COM1 of the prefix is mapped to it until the end."""
    master, slave = os.openpty()
    test.addCleanup(os.close, master)
    test.addCleanup(os.close, slave)
    path = os.ttyname(slave)
    if WINE:
        ports = "HKLM\\Software\\Wine\\Ports"
        test.addCleanup(quietly, "wineserver", "-w")
        test.addCleanup(quietly, *reg("delete", ports, "/v", "COM1", "/f"))
        quietly(*reg("add", ports, "/v", "COM1", "/t", "REG_SZ", "/d", path, "/f"))
        quietly("wineserver", "-w")  # the mapping is read when the wineserver next starts
    return path
# --- end of COM1 for the runs


class ServerRuns(unittest.TestCase):
    def test_rows(self):
        unregister_in_wine()
        self.com1 = stand_in_com1(self)
        for row in ROWS:
            # Wine's paths stop short of a deep one.
            if not (WINE and row[-1].get("deep")):
                with self.subTest(args=row[0], extras=row[-1]):
                    self.check(*row)

    def check(self, args, console, expected_log, expected_code, presses, extras):
        folder = self.enterContext(tempfile.TemporaryDirectory(prefix="brisvale-host-"))
        if extras.get("deep"):
            folder = os.path.join(folder, *["deep-folder-" + "x" * 90] * 3)
            os.makedirs(folder)
        self.addCleanup(unregister_in_wine)
        # A copy, not a link: the server names its files after its own path.
        exe = shutil.copy2(SERVER, folder)
        if not WINE:
            os.symlink(self.com1, exe + ".com1")
        pathlib.Path(exe + ".log.cfg").write_text("level=5\n")
        env = dict(os.environ, BRISVALE_COM_REGISTRY=os.path.join(folder, "reg"))

        code, out = run(exe, args, env, presses, expected_code is None)
        self.assertEqual(code, expected_code, out)
        if args:
            first, _, out = out.partition("\n")
            self.assertTrue(first.endswith(os.path.basename(exe)), first)
            console = "Class OPC.Brisvale.1 :  " + console
        # Where the console is freed, Wine still writes to the file and Linux to /dev/null.
        self.assertEqual(out, console + (READY if WINE and expected_code is None else ""))
        log = log_of(exe)
        self.assertTrue(len(log) == len(expected_log) and all(
            level == want_level and re.fullmatch(".*".join(map(re.escape, want.split("*"))), text)
            for (level, text), (want_level, want) in zip(log, expected_log)), "\n".join(map(str, log)))
        if "registered" in extras:
            path = quietly(WINE64, "winepath", "-w", exe).strip() if WINE else os.path.realpath(exe)
            self.assertEqual(registered(env), extras["registered"] and extras["registered"].format(exe=path))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
