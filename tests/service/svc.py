"""Helpers of the KestrowApp process tests: start the service with a log file
in a scratch folder, wait until its control port listens, signal it, and
read its log. Every wait is bounded; every started process is killed by
Service.close()."""
import atexit
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

import kt

sys.path.insert(0, kt.TOOLS)
import kestrow_gen  # noqa: E402

SHUTDOWN_LINES = [
    "ctl_run: xmlrpc_server_abyss_run_server finished",
    "main: Controls finished",
    "Bye!",
]


_filler = []


def filler():
    """A one-second filler, generated once per test script."""
    if not _filler:
        folder = kt.scratch()
        atexit.register(folder.cleanup)
        path = os.path.join(folder.name, "filler.ts")
        kestrow_gen.generate(path, duration=1.0, filler=True)
        _filler.append(path)
    return _filler[0]


def required_args():
    """The options every start needs: loopback input and output, and a filler."""
    return ["--src-addr=127.0.0.1:%d" % kt.free_port(kt.socket.SOCK_DGRAM),
            "--dst-addr=127.0.0.1:%d" % kt.free_port(kt.socket.SOCK_DGRAM),
            "--filler=" + filler()]


def check(cond, what):
    if not cond:
        raise AssertionError(what)


def check_usage(text):
    """The usage (its exact text is the unit tests' business): the banner, then "Usage:"."""
    banner, _, body = text.partition("\n")
    check(banner.startswith("KestrowApp - ") and ", " in banner, "banner line: %r" % banner)
    check(body.startswith("Usage:\n") and "--help" in body, "usage body: %r" % body[:200])


def listening(port):
    """True when a TCP socket listens on port (read from /proc, no connection made)."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for row in f:
                    cols = row.split()
                    if cols[3] == "0A" and int(cols[1].rsplit(":", 1)[1], 16) == port:
                        return True
        except FileNotFoundError:
            pass
    return False


def message(line):
    """The message of a log line: what follows "M [date time.ms] "."""
    at = line.find("] ")
    return line[at + 2:] if line[2:3] == "[" and at >= 0 else line


def messages(text):
    return [message(l) for l in text.splitlines() if l]


class Service:
    def __init__(self, folder, args, log_name="app.log", env=None):
        self.folder = folder
        self.log = os.path.join(folder, log_name)
        self.err_path = os.path.join(folder, "stderr.txt")
        self.err = open(self.err_path, "wb")
        self.proc = subprocess.Popen([kt.APP, "--log-file-name=" + self.log] + required_args() + args,
                                     cwd=folder, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=self.err,
                                     env=dict(os.environ, **(env or {})))

    def log_text(self):
        return kt.read_text(self.log)

    def wait_log(self, text, timeout=10):
        return text in kt.wait_for_text(self.log, text, timeout)

    def wait_listening(self, port, timeout=10):
        return kt.wait_for(lambda: listening(port) or self.proc.poll() is not None,
                           timeout) and self.proc.poll() is None

    def signal(self, sig):
        self.proc.send_signal(sig)

    def stop_timed(self, sig, timeout=5):
        """Sends sig and returns (exit status, seconds until the process ended)."""
        start = time.monotonic()
        self.proc.send_signal(sig)
        try:
            rc = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            rc = None
        return rc, time.monotonic() - start

    def check_shutdown(self, catches):
        """One "sighandler" line per caught terminating signal, the shutdown lines in
        order, and "Bye!" as the last line of the log."""
        msgs = messages(self.log_text())
        pid = self.proc.pid
        got = [m for m in msgs if m.startswith("sighandler: ")]
        want = ["sighandler: [%d] catched %d" % (pid, s) for s in catches]
        check(got == want, "sighandler lines %r, want %r" % (got, want))
        at = -1
        for line in SHUTDOWN_LINES:
            check(line in msgs[at + 1:], "%r missing after line %d in %r" % (line, at, msgs))
            at = msgs.index(line, at + 1)
        check(msgs[-1] == "Bye!", "last line %r" % msgs[-1])
        check(msgs[0].startswith("KestrowApp - "), "first line %r" % msgs[0])

    def close(self):
        kt.stop(self.proc)
        self.err.close()


def run_cases(cases):
    """Runs every case, reports each, and exits non-zero when one failed."""
    failed = 0
    for case in cases:
        try:
            case()
            print("ok   %s" % case.__name__)
        except Exception as e:  # noqa: BLE001 - every failure is reported
            failed += 1
            print("FAIL %s: %s" % (case.__name__, e))
    print("%d passed, %d failed" % (len(cases) - failed, failed))
    raise SystemExit(1 if failed else 0)
