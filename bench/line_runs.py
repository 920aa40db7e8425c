"""The benchmarks' runs of the built server on the end-to-end tests' serial line (tests/e2e/line.py)."""
import contextlib, os, pathlib, shutil, subprocess, sys, tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from line import Instrument, Relay  # noqa: E402


@contextlib.contextmanager
def server_on_line(server, relay, tag_text):
    """A copy of the built server (Linux) in console mode, in a folder of its own with its tag file, on COM1 at
    9600 baud through the relay; yields the process and the copy's path (its console goes to <path>.out), and
    stops the process at the end."""
    with tempfile.TemporaryDirectory(prefix="brisvale-bench-") as folder:
        exe = shutil.copy2(server, folder)
        pathlib.Path(exe + ".port.cfg").write_text("COM1:baud=9600 parity=N data=8 stop=1")
        pathlib.Path(exe + ".tag.cfg").write_text(tag_text)
        os.symlink(relay.server_path, exe + ".com1")
        with open(exe + ".out", "wb") as out:
            process = subprocess.Popen([exe, "/c"], cwd=folder, stdin=subprocess.DEVNULL, stdout=out,
                                       stderr=subprocess.STDOUT)
        try:
            yield process, exe
        finally:
            process.terminate()
            process.wait()


@contextlib.contextmanager
def instrument_on_line(devices):
    """A relay with the reference instrument for these devices on its far side; yields the relay."""
    relay = Relay()
    instrument = Instrument(relay, devices)
    try:
        instrument.start()
        yield relay
    finally:
        instrument.stop()
        relay.close()
