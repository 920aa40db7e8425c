"""The serial line of the end-to-end tests: a logging relay that holds both pseudo-terminals, the server's
COM1 on one side and the reference instrument (pymodbus) on the other, and records every request the server
sends, with the time it arrived."""
import contextlib, os, pathlib, select, subprocess, tempfile, termios, threading, time, tty

INSTRUMENT = pathlib.Path(__file__).resolve().parent.parent / "fieldbus" / "reference_instrument.py"


def wait_until(condition, what, deadline=120.0):
    """Polls for a condition with a generous bound: a loaded machine and Wine's start-up are slow."""
    end = time.monotonic() + deadline
    while not condition():
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


class Relay:
    """Copies bytes between the server's pseudo-terminal and the instrument's, and keeps the requests."""

    def __init__(self):
        # Both slave ends stay open here: a master reads no hang-up between one server run and the next.
        self.server_master, self.server_slave = os.openpty()
        self.instrument_master, self.instrument_slave = os.openpty()
        for fd in (self.server_slave, self.instrument_slave):
            tty.setraw(fd)
        for fd in (self.server_master, self.instrument_master):
            os.set_blocking(fd, False)
        self.server_path = os.ttyname(self.server_slave)
        self.instrument_path = os.ttyname(self.instrument_slave)
        self.lock = threading.Lock()
        self._requests = []  # (monotonic time, frame bytes)
        self._pending = b""
        self._stop = os.pipe()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def requests(self):
        with self.lock:
            return list(self._requests)

    def clear(self):
        with self.lock:
            self._requests.clear()
            self._pending = b""

    def close(self):
        os.write(self._stop[1], b"x")
        self.thread.join()
        for fd in (self.server_master, self.server_slave, self.instrument_master, self.instrument_slave, *self._stop):
            os.close(fd)

    def _run(self):
        while True:
            ready, _, _ = select.select([self.server_master, self.instrument_master, self._stop[0]], [], [])
            if self._stop[0] in ready:
                return
            if self.server_master in ready:
                data = self._read(self.server_master)
                self._record(data, time.monotonic())
                self._write(self.instrument_master, data)
            if self.instrument_master in ready:
                self._write(self.server_master, self._read(self.instrument_master))

    @staticmethod
    def _write(fd, data):
        with contextlib.suppress(BlockingIOError):  # a side nobody reads is full: the line loses the bytes
            os.write(fd, data)

    @staticmethod
    def _read(fd):
        with contextlib.suppress(OSError):  # nothing holds the other end for a moment
            return os.read(fd, 4096)
        return b""

    def _record(self, data, now):
        with self.lock:
            self._pending += data
            while b"\n" in self._pending:
                line, _, self._pending = self._pending.partition(b"\n")
                self._requests.append((now, line + b"\n"))


class Instrument:
    """The reference instrument on the relay's far side, for the given device addresses."""

    def __init__(self, relay, devices, options=()):
        """options: more of the instrument's own arguments, such as ("--count", "1:5")."""
        self.relay, self.devices, self.options, self.process = relay, devices, list(options), None

    def start(self):
        # Forgets requests that reached the instrument's side while nothing served it.
        termios.tcflush(self.relay.instrument_slave, termios.TCIFLUSH)
        ready = tempfile.NamedTemporaryFile(prefix="brisvale-e2e-ready-", delete=False).name
        os.unlink(ready)
        devices = [arg for device in self.devices for arg in ("--device", str(device))]
        self.process = subprocess.Popen(["/usr/bin/python3", str(INSTRUMENT), "--port", self.relay.instrument_path,
                                         "--ready", ready, *devices, *self.options], stdin=subprocess.DEVNULL)
        wait_until(lambda: os.path.exists(ready) or self.process.poll() is not None, "the reference instrument")
        if self.process.poll() is not None:
            raise AssertionError("the reference instrument ended with %d" % self.process.returncode)
        os.unlink(ready)

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            self.process.wait()
            self.process = None


WINE64 = "/usr/lib/wine/wine64"  # 64-bit programs straight through the 64-bit loader
PORTS = "HKLM\\Software\\Wine\\Ports"


def quietly(*command):  # through a file: Wine's helpers could hold a pipe open
    with tempfile.TemporaryFile() as out:
        subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, check=True)


def map_wine_ports(com1):
    """Maps Wine's COM1 to com1 and leaves COM9 unmapped, in the prefix of WINEPREFIX (made on first use)."""
    prefix = os.environ["WINEPREFIX"]
    if not os.path.isfile(os.path.join(prefix, "system.reg")):
        os.makedirs(prefix, exist_ok=True)
        quietly(WINE64, "wineboot", "-i")
        quietly("wineserver", "-w")
    # reg.exe on the 64-bit registry view; the key follows the verb.
    quietly(WINE64, "reg", "add", PORTS, "/v", "COM1", "/t", "REG_SZ", "/d", com1, "/f", "/reg:64")
    subprocess.run((WINE64, "reg", "delete", PORTS, "/v", "COM9", "/f", "/reg:64"),
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    quietly("wineserver", "-w")  # the mapping is read when the wineserver next starts
    if os.path.exists(os.path.join(prefix, "dosdevices", "com9")):
        raise AssertionError("Wine maps COM9 to a device in " + prefix)
