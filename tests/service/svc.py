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
import tempfile
import time

import kt

sys.path.insert(0, kt.TOOLS)
import kestrow_gen  # noqa: E402

_filler_dir = None


def stream_args():
    """A loadable filler (generated once per process) and a quiet loopback
    input: without a filler the service ends at once with status 1."""
    global _filler_dir
    if _filler_dir is None:
        _filler_dir = tempfile.mkdtemp(prefix="kestrow-svc-filler-")
        atexit.register(shutil.rmtree, _filler_dir, True)
        kestrow_gen.generate(os.path.join(_filler_dir, "filler.ts"), filler=True, duration=1)
    return ["--filler=" + os.path.join(_filler_dir, "filler.ts"),
            "--src-addr=127.0.0.1:%d" % kt.free_port(socket.SOCK_DGRAM)]

USAGE_BODY = (
    "Usage:\n"
    "    KestrowApp [args]\n"
    "Where args:\n"
    "    --port=<N>                             xmlrpc control port\n"
    "    --demonize                         Become daemon on executing\n"
    "\n"
    "                                       Log file operation\n"
    "    --log-file-name=<STR>\n"
    "    --log-rotate-interval=<INT>\n"
    "\n"
    "    -h, --help                         Show this help and usage\n")

SHUTDOWN_LINES = [
    "ctl_run: xmlrpc_server_abyss_run_server finished",
    "main: Controls finished",
    "Bye!",
]


def check(cond, what):
    if not cond:
        raise AssertionError(what)


def check_usage(text):
    """The usage: the banner line, then the fixed body."""
    banner, _, body = text.partition("\n")
    check(banner.startswith("KestrowApp - ") and ", " in banner
          and len(banner.split(", ", 1)[1]) > 0, "banner line: %r" % banner)
    check(body == USAGE_BODY, "usage body: %r" % body)


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
        self.proc = subprocess.Popen([kt.APP, "--log-file-name=" + self.log] + stream_args() + args,
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
