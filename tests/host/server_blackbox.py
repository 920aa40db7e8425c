#!/usr/bin/env python3
"""Runs the built server as its users do: a copy in a folder of its own, one
command-line option, console output read as it comes, Ctrl-C as SIGINT, and
its log file and exit code checked afterwards.

Usage: server_blackbox.py --server EXE --failing EXE [--wine] [unittest args]
--failing is the same server with a polling pass that throws at once.
With --wine both are Windows executables run under Wine (WINEPREFIX and the
rest come from the environment)."""

import argparse
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

CLSID_TEXT = "{6B1E4D2A-3C7F-4E85-9A61-0F2D8B3C5E74}"
PROG_ID = "OPC.Brisvale.1"
READY = "press Ctrl-C to terminate"
DEADLINE = 120.0  # seconds; generous for a loaded machine and Wine's start-up
HELP_TEXT = (
    "\nOne of following flags can be specified:\n\t/r       - register;\n\t/u       - unregister;\n"
    "\t/rc      - register to start with /c key;\n\t/c       - create console window;\n"
    "\t/daemon  - run in daemon mode;\n\t/test    - run in test mode for 25 seconds;\n"
    "\t/detach  - run in unbreakable daemon mode."
)
LOG_LINE = re.compile(r"^.*? (ERROR|WARNING|MESSAGE|INFO|DEBUG) \[[0-9]+\] (.*)$")

OPTIONS = None


def run_quietly(command, env=None):
    """Runs a helper command; its output goes through a file, not a pipe that
    Wine's helper processes could keep open. Returns (exit code, output)."""
    with tempfile.TemporaryFile() as out:
        code = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                              env=env).returncode
        out.seek(0)
        return code, out.read().decode("utf-8", "replace").replace("\r", "")


def wait_until(condition, what, deadline=DEADLINE):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class Server:
    """One run of a copy of the server in its own folder."""

    def __init__(self, test, exe, args, env=None, log_level=5, registry=None):
        self.test = test
        self.folder = tempfile.mkdtemp(prefix="brisvale-host-")
        test.addCleanup(shutil.rmtree, self.folder, True)
        self.exe = os.path.join(self.folder, os.path.basename(exe))
        shutil.copy2(exe, self.exe)  # a copy: the server names its files after its own path
        with open(self.exe + ".port.cfg", "w") as f:
            f.write("COM1:baud=9600 parity=N data=8 stop=1\n")
        if log_level is not None:
            with open(self.exe + ".log.cfg", "w") as f:
                f.write("level=%d\n" % log_level)
        if not OPTIONS.wine:
            # A port the driver can open: one end of a pseudo-terminal.
            master, slave = os.openpty()
            test.addCleanup(os.close, master)
            test.addCleanup(os.close, slave)
            os.symlink(os.ttyname(slave), self.exe + ".com1")
        self.env = dict(os.environ)
        if not OPTIONS.wine:
            self.env["BRISVALE_COM_REGISTRY"] = registry or os.path.join(self.folder, "registry")
        self.env.update(env or {})
        command = (["wine"] if OPTIONS.wine else []) + [self.exe] + list(args)
        self.out = bytearray()
        self.err = bytearray()
        self.exited = threading.Event()
        self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=self.env, cwd=self.folder)
        test.addCleanup(self._kill)
        self.readers = [threading.Thread(target=self._drain, args=(self.proc.stdout, self.out), daemon=True),
                        threading.Thread(target=self._drain, args=(self.proc.stderr, self.err), daemon=True)]
        for reader in self.readers:
            reader.start()

    def _drain(self, stream, into):
        # Wine's helper processes inherit the pipes and may hold them open long
        # after the server has gone, so the end of the output is not EOF but an
        # empty pipe once the server has exited: all it wrote is in the pipe then.
        fd = stream.fileno()
        while True:
            ready, _, _ = select.select([fd], [], [], 0.05)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    return
                into.extend(chunk)
            elif self.exited.is_set():
                return

    def _finish_reading(self):
        self.exited.set()
        for reader in self.readers:
            reader.join(DEADLINE)

    def _kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._finish_reading()
        self.proc.stdout.close()
        self.proc.stderr.close()

    def stdout(self):
        return self.out.decode("utf-8", "replace").replace("\r", "")

    def log(self):
        """(level, text) of every line of <exe>.log."""
        try:
            with open(self.exe + ".log", "rb") as f:
                data = f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return []
        lines = []
        for raw in data.replace("\r", "").split("\n"):
            match = LOG_LINE.match(raw)
            if match:
                lines.append((match.group(1), match.group(2)))
        return lines

    def log_count(self, level, text):
        return sum(1 for entry in self.log() if entry == (level, text))

    def wait_stdout(self, text):
        wait_until(lambda: text in self.stdout() or self.proc.poll() is not None, repr(text) + " on stdout")
        self.test.assertIn(text, self.stdout())

    def wait_log(self, level, text):
        wait_until(lambda: self.log_count(level, text) > 0 or self.proc.poll() is not None,
                   "%s %r in the log" % (level, text))
        self.test.assertIn((level, text), self.log())

    def ctrl_c(self):
        os.kill(self.proc.pid, signal.SIGINT)

    def wait_exit(self):
        try:
            code = self.proc.wait(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            raise AssertionError("the server did not exit; stdout: %r" % self.stdout())
        self._finish_reading()
        errors = self.err.decode("utf-8", "replace")
        self.test.assertNotIn("Sanitizer", errors)
        self.test.assertNotIn("runtime error", errors)
        return code

    def stop_from_outside(self):
        """Plain and detached modes have no Ctrl-C handler: the process is ended."""
        self.proc.terminate()
        return self.wait_exit()

    def module_path(self):
        """The executable's path as the server sees it for its own module."""
        if OPTIONS.wine:
            code, output = run_quietly(["winepath", "-w", self.exe], self.env)
            self.test.assertEqual(code, 0, output)
            return output.strip()
        return os.path.realpath(self.exe)

    def registered_command_line(self):
        """The local-server command line recorded for the server's class, or None."""
        if OPTIONS.wine:
            key = "HKCR\\CLSID\\%s\\LocalServer32" % CLSID_TEXT
            _, output = run_quietly(["wine", "reg", "query", key, "/ve"], self.env)
            for line in output.split("\n"):
                match = re.match(r"^\s+\S.*?\s+REG_SZ\s+(.*)$", line)
                if match:
                    return match.group(1)
            return None
        path = os.path.join(self.env["BRISVALE_COM_REGISTRY"], "CLSID", CLSID_TEXT)
        try:
            with open(path) as f:
                for line in f.read().split("\n"):
                    if line.startswith("LocalServer32="):
                        return line[len("LocalServer32="):]
        except FileNotFoundError:
            return None
        return None

    def lines(self):
        return self.stdout().split("\n")


def unregister_quietly(test):
    """Leaves the Wine prefix's registry as it was found."""
    if OPTIONS.wine:
        for key in ("HKCR\\CLSID\\" + CLSID_TEXT, "HKCR\\" + PROG_ID):
            run_quietly(["wine", "reg", "delete", key, "/f"])


class ServerTest(unittest.TestCase):
    def server(self, *args, **kwargs):
        return Server(self, OPTIONS.server, args, **kwargs)

    def assert_class_line(self, server, rest):
        lines = server.lines()
        self.assertTrue(lines[0].endswith(os.path.basename(server.exe)), lines)
        self.assertEqual(lines[1], "Class %s :  %s" % (PROG_ID, rest))

    def run_until_ctrl_c(self, server, presses=1):
        server.wait_stdout(READY)
        server.wait_log("MESSAGE", "UpdateTags Started...")
        for _ in range(presses):
            server.ctrl_c()
        self.assertEqual(server.wait_exit(), 0)
        self.assertTrue(server.stdout().endswith(READY + "Exiting...\n"), repr(server.stdout()))
        self.assert_orderly_end(server)

    def assert_orderly_end(self, server):
        log = server.log()
        texts = [text for _, text in log]
        self.assertEqual(texts.count("All clean. exiting..."), 1)
        self.assertEqual(server.log_count("MESSAGE", "Server exited"), 1)
        finished = [entry for entry in log if entry[1].startswith("WinMain(") and entry[1].endswith(") finished")]
        self.assertEqual([level for level, _ in finished], ["DEBUG"])
        deleted = [i for i, (level, text) in enumerate(log) if level == "INFO" and " loDelete(" in text]
        self.assertEqual(len(deleted), 1, log)
        self.assertLess(texts.index("All clean. exiting..."), deleted[0])
        self.assertLess(deleted[0], texts.index("Server exited"))
        self.assertEqual(texts[-1], finished[0][1])


class RunModes(ServerTest):
    def test_console_mode_runs_until_ctrl_c(self):
        server = self.server("/c")
        self.run_until_ctrl_c(server)
        self.assert_class_line(server, READY + "Exiting...")
        self.assertEqual(server.log_count("MESSAGE", "Creating new console..."), 1)
        first = server.log()[0]
        self.assertEqual(first[0], "DEBUG")
        self.assertRegex(first[1], r"^WinMain\(.*brisvale-opc.*\) invoked\.\.\.$")

    def test_capital_c_is_the_console_mode(self):
        server = self.server("/C")
        self.run_until_ctrl_c(server)
        self.assertEqual(server.log_count("MESSAGE", "Creating new console..."), 1)

    def test_console_option_inside_daemon_selects_the_console_mode(self):
        server = self.server("/daemon/c")
        self.run_until_ctrl_c(server)
        self.assertEqual(server.log_count("MESSAGE", "Creating new console..."), 1)
        self.assertEqual(server.log_count("MESSAGE", "Running as DAEMON"), 0)
        self.assertNotIn("Running as DAEMON", server.stdout())

    def test_daemon_mode_keeps_the_console_and_handles_ctrl_c(self):
        server = self.server("/daemon")
        self.run_until_ctrl_c(server)
        self.assert_class_line(server, "Running as DAEMON...")
        self.assertEqual(server.lines()[2], READY + "Exiting...")
        self.assertEqual(server.log_count("MESSAGE", "Running as DAEMON"), 1)

    def test_test_mode_runs_like_the_daemon(self):
        server = self.server("/test")
        self.run_until_ctrl_c(server)
        self.assert_class_line(server, "Running in TEST mode...")
        self.assertEqual(server.log_count("MESSAGE", "Running in TEST mode"), 1)

    def test_several_ctrl_c_presses_stop_once(self):
        server = self.server("/c")
        self.run_until_ctrl_c(server, presses=3)
        self.assertEqual(server.stdout().count("Exiting..."), 1)

    def test_second_argument_changes_nothing(self):
        server = self.server("/c", "/r")
        self.run_until_ctrl_c(server)
        self.assertIsNone(server.registered_command_line())
        self.assertNotIn("Registering", server.stdout())

    def test_no_argument_runs_in_plain_mode(self):
        server = self.server()
        server.wait_log("MESSAGE", "UpdateTags Started...")
        self.assertNotIn("Class", server.stdout())
        self.assertNotIn("Exiting...", server.stdout())
        server.stop_from_outside()
        self.assertEqual(server.log_count("MESSAGE", "Server exited"), 0)

    def test_detached_mode_prints_its_line_and_frees_the_console(self):
        server = self.server("/detach")
        server.wait_log("MESSAGE", "UpdateTags Started...")
        self.assertEqual(server.log_count("MESSAGE", "Running as Detached DAEMON"), 1)
        wait_until(lambda: "Running as Detached DAEMON...\n" in server.stdout(), "the detach line")
        self.assert_class_line(server, "Running as Detached DAEMON...")
        server.stop_from_outside()
        self.assertNotIn("Exiting...", server.stdout())

    def test_unknown_option_is_reported_and_the_server_still_runs(self):
        server = self.server("-Embedding")
        server.wait_log("MESSAGE", "UpdateTags Started...")
        self.assertEqual(server.log_count("WARNING", "unknown option <-Embedding>"), 1)
        wait_until(lambda: HELP_TEXT + "\n" in server.stdout(), "the help text")
        self.assertIn("Class %s :  Unknown option <-Embedding>%s\n" % (PROG_ID, HELP_TEXT), server.stdout())
        server.stop_from_outside()
        self.assertEqual(server.log_count("MESSAGE", "Server exited"), 0)

    def test_default_log_level_writes_no_debug_lines(self):
        server = self.server("/c", log_level=None)
        server.wait_stdout(READY)
        server.wait_log("MESSAGE", "UpdateTags Started...")
        server.ctrl_c()
        self.assertEqual(server.wait_exit(), 0)
        levels = {level for level, _ in server.log()}
        self.assertEqual(levels, {"MESSAGE"})
        self.assertEqual([text for _, text in server.log()][-1], "Server exited")


class PollFailure(ServerTest):
    def failing(self, kind):
        return Server(self, OPTIONS.failing, ["/c"], env={"BRISVALE_TEST_POLL_THROW": kind})

    def assert_failed_run(self, server, level, text):
        self.assertEqual(server.wait_exit(), 0)  # no Ctrl-C needed
        self.assertTrue(server.stdout().endswith(READY + "Exiting...\n"), repr(server.stdout()))
        texts = [entry[1] for entry in server.log()]
        start = texts.index("UpdateTags Started...")
        self.assertEqual(server.log()[start + 1], (level, text))
        self.assertEqual(texts[start + 2], "All clean. exiting...")
        self.assert_orderly_end(server)

    def test_error_out_of_the_poll_ends_the_run(self):
        self.assert_failed_run(self.failing("cerror"), "ERROR", "poll failed on purpose")

    def test_other_exception_out_of_the_poll_ends_the_run(self):
        self.assert_failed_run(self.failing("other"), "WARNING", "exiting...")


class Registration(ServerTest):
    def setUp(self):
        unregister_quietly(self)
        self.addCleanup(unregister_quietly, self)
        self.registry = os.path.join(tempfile.mkdtemp(prefix="brisvale-registry-"), "registry")
        self.addCleanup(shutil.rmtree, os.path.dirname(self.registry), True)

    def register(self, option):
        server = self.server(option, registry=self.registry)
        self.assertEqual(server.wait_exit(), 0)
        self.assert_class_line(server, "Registering Succeeded")
        self.assertEqual(len(server.lines()), 3)  # and the final line end
        self.assertEqual(server.log_count("INFO", "Reg <%s> <%s> Ok" % (PROG_ID, self.program(server))), 1)
        self.assertEqual(server.log_count("MESSAGE", "Server exited"), 1)
        self.assertFalse(any("UpdateTags" in text for _, text in server.log()))
        return server

    def program(self, server):
        return server.log()[0][1][len("WinMain("):-len(") invoked...")]

    def test_register_records_the_quoted_path(self):
        for option in ("/r", "/run", "/rC"):
            server = self.register(option)
            self.assertEqual(server.registered_command_line(), '"%s"' % server.module_path(), option)

    def test_rc_registers_the_console_start(self):
        server = self.register("/rc")
        self.assertEqual(server.registered_command_line(), '"%s" /c' % server.module_path())

    def test_unregister_removes_the_registration(self):
        self.register("/rc")
        for option in ("/u", "/uc"):
            if option == "/uc":
                self.register("/r")
            server = self.server(option, registry=self.registry)
            self.assertEqual(server.wait_exit(), 0)
            self.assert_class_line(server, "UnRegistering Success")
            self.assertEqual(server.log_count("DEBUG", "UnReg <%s> <%s> Ok" % (PROG_ID, self.program(server))), 1)
            self.assertIsNone(server.registered_command_line())

    def test_unregister_failure_exits_with_one(self):
        server = self.server("/u", registry=self.registry)
        self.assertEqual(server.wait_exit(), 1)
        self.assert_class_line(server, "UnRegistering FAILED")
        failed = [entry for entry in server.log() if entry[1].endswith(
            " UnReg <%s> <%s> Failed" % (PROG_ID, self.program(server)))]
        self.assertEqual([level for level, _ in failed], ["WARNING"])
        self.assertTrue(failed[0][1].startswith("["), failed)  # the last system error comes first
        self.assertEqual(server.log_count("MESSAGE", "Server exited"), 1)

    def test_register_failure_exits_with_one(self):
        if OPTIONS.wine:
            self.skipTest("Wine's registry accepts every write of the prefix's user")
        blocker = os.path.join(self.folder_for_blocker(), "file.txt")
        with open(blocker, "w") as f:
            f.write("not a folder\n")
        server = self.server("/rc", registry=os.path.join(blocker, "registry"))
        self.assertEqual(server.wait_exit(), 1)
        self.assert_class_line(server, "Registering FAILED")
        failed = [entry for entry in server.log() if entry[1].endswith(
            " Reg <%s> <%s> Failed" % (PROG_ID, self.program(server)))]
        self.assertEqual([level for level, _ in failed], ["ERROR"])
        self.assertEqual(server.log_count("MESSAGE", "Server exited"), 1)

    def folder_for_blocker(self):
        folder = tempfile.mkdtemp(prefix="brisvale-blocker-")
        self.addCleanup(shutil.rmtree, folder, True)
        return folder


def main():
    global OPTIONS
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--failing", required=True)
    parser.add_argument("--wine", action="store_true")
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
