"""Helpers shared by the process-level tests: programs, scratch folders,
free loopback ports, bounded waits, and the one launcher of KestrowApp.
Everything stops by itself. Importing it puts the tools folder on the import
path (kestrow_gen, kestrow_udp, kestrow_report)."""
import bisect
import datetime
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request
import xmlrpc.client

APP = os.environ.get("KESTROW_APP", "")
DEMO = os.environ.get("KESTROW_DEMO", "")
TOOLS = os.environ.get("KESTROW_TOOLS", "")
TOOLS_BIN = os.environ.get("KESTROW_TOOLS_BIN", "")
BUILD = os.environ.get("KESTROW_BUILD", "")
TICKS = 90000

sys.path.insert(0, TOOLS)
import kestrow_clock  # noqa: E402
import kestrow_gen as gen  # noqa: E402
import kestrow_udp as udp  # noqa: E402


class _Kept:
    """A temporary folder left in place, used as TemporaryDirectory is."""
    def __init__(self, prefix):
        self.name = tempfile.mkdtemp(prefix=prefix)

    def cleanup(self):
        pass

    def __enter__(self):
        return self.name

    def __exit__(self, *exc):
        return False


def scratch(prefix="kestrow-"):
    """A fresh temporary folder, removed when the object is dropped (kept
    when KESTROW_KEEP is set, to look into a failure)."""
    if os.environ.get("KESTROW_KEEP"):
        return _Kept(prefix)
    return tempfile.TemporaryDirectory(prefix=prefix)


def scratch_dir(case, prefix="kestrow-"):
    """The path of a fresh temporary folder removed when case ends: a test
    (after its cleanups) or a test class, from setUpClass (after its last test)."""
    tmp = scratch(prefix)
    (case.addClassCleanup if isinstance(case, type) else case.addCleanup)(tmp.cleanup)
    return tmp.name


def stop_time(text):
    """Seconds from the first signal caught to "Bye!" on the log's stamps: the
    service's own stop, without the process's exit (the sanitizers' leak scan)."""
    stamps = {}
    for line in text.splitlines():
        m = re.match(r"..\[(\d+-\d+-\d+ \d+:\d+:\d+\.\d+)\] (sighandler: |Bye!)", line)
        if m:
            stamps.setdefault(m.group(2), datetime.datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S.%f"))
    return (stamps["Bye!"] - stamps["sighandler: "]).total_seconds()


def run_demo(*args, timeout=120):
    """KestrowDemo run to its end on args; its output and error as text."""
    return subprocess.run([DEMO] + [str(a) for a in args], stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, errors="replace", timeout=timeout)


free_port = udp.free_port  # free_port(socket.SOCK_STREAM or SOCK_DGRAM): a free port on 127.0.0.1


def wait_for(predicate, timeout, step=0.05):
    """Polls predicate until it returns a true value or timeout seconds pass."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= end:
            return value
        time.sleep(step)


def read_text(path):
    try:
        with open(path, "r", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def stop(proc, timeout=5):
    """Ends a process that a test started, whatever state it is in."""
    if proc.poll() is None:
        proc.kill()
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        pass


def bound(port, udp_socket=False):
    """True when a socket listens (TCP) or is bound (UDP) on port, read from
    /proc without touching it."""
    for table in (("/proc/net/udp", "/proc/net/udp6") if udp_socket else ("/proc/net/tcp", "/proc/net/tcp6")):
        try:
            with open(table) as f:
                next(f)
                for row in f:
                    cols = row.split()
                    if (udp_socket or cols[3] == "0A") and int(cols[1].rsplit(":", 1)[1], 16) == port:
                        return True
        except FileNotFoundError:
            pass
    return False


PCR_LIMIT_US = 40000  # ETSI TR 101 290, priority 2: PCRs at most 40 ms apart


def expect_pcr_interval(path, limit_us=PCR_LIMIT_US):
    """Raises AssertionError unless some PID of the stream at path carries
    PCRs and none has two consecutive PCRs more than limit_us apart (the
    33-bit wrap included)."""
    pids = {pid: p["pcr_interval"] for pid, p in gen.check(path, "--layout")["pids"].items() if p["pcrs"] > 1}
    slow = {hex(pid): us for pid, us in pids.items() if us > limit_us}
    assert pids and not slow, "%s: PCRs more than %d us apart: %s" % (path, limit_us, slow or "no PCRs")


def expect_steady_lead(path, pid, limit):
    """Raises AssertionError when a PES of pid in the stream at path starts
    more than limit (90 kHz ticks) closer to its decoding time, measured on
    the last PCR before it, than the median PES does: a muxer clock that ran
    ahead of the pictures still to come, or started too late for them (the
    PCR then runs slower than real time until the lead is made up)."""
    data = open(path, "rb").read()
    pcrs = [(i, data[i + 6] << 25 | data[i + 7] << 17 | data[i + 8] << 9 | data[i + 9] << 1 | data[i + 10] >> 7)
            for i in range(0, len(data) - 187, 188) if data[i + 3] & 0x20 and data[i + 4] >= 7 and data[i + 5] & 0x10]
    offsets = [i for i, _ in pcrs]
    leads = []
    for p in gen.check(path)["packets"]:
        k = bisect.bisect_right(offsets, p["pos"] if p["pos"] is not None else -1) - 1
        if p["pid"] == pid and p["dts"] is not None and k >= 0:
            leads.append(((p["dts"] - pcrs[k][1]) % kestrow_clock.WRAP, p["pos"]))
    median = sorted(l for l, _ in leads)[len(leads) // 2]
    low = min(leads)
    assert median - low[0] <= limit, "%s: PES at byte %d starts %.3f s closer to its dts than the median" % (
        path, low[1], (median - low[0]) / 90000)


def tr290(path, times=None, window=None, pcr_pid=None):
    """kestrow_check --tr290 on the file at path, its JSON parsed (the fields
    are at the head of tools/kestrow_check.cpp). times: a kestrow_udp --log
    file, for arrival times; window: (from, to) seconds of output time,
    either None; pcr_pid: the PID whose PCRs time the packets."""
    args = [os.path.join(TOOLS_BIN, "kestrow_check"), "--tr290"]
    if times:
        args += ["--times", times]
    if window:
        args += ["--window", ":".join("" if v is None else repr(float(v)) for v in window)]
    if pcr_pid is not None:
        args += ["--pcr-pid", str(pcr_pid)]
    res = subprocess.run(args + [path], capture_output=True, timeout=300, env=gen.checker_env())
    if res.returncode not in (0, 1) or res.stderr:       # a sanitizer report too
        raise RuntimeError("kestrow_check --tr290 %s failed (%d): %s"
                           % (path, res.returncode, res.stderr.decode(errors="replace")))
    return json.loads(res.stdout)


def messages(text):
    """The messages of log lines: what follows "M [date time.ms] "."""
    out = []
    for line in text.splitlines():
        at = line.find("] ")
        out.append(line[at + 2:] if line[2:3] == "[" and at >= 0 else line)
    return out


def sanitizer_report(text):
    """The first line of a sanitizer report in text, or None."""
    for marker in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:", "ThreadSanitizer"):
        i = text.find(marker)
        if i >= 0:
            return text[text.rfind("\n", 0, i) + 1:text.find("\n", i)]
    return None


class Console(threading.Thread):
    """Reads a pipe at rate bytes per second (None: as fast as it comes) into
    a file, noting when the text watch first appeared."""

    def __init__(self, pipe, out, rate, watch):
        super().__init__(daemon=True)
        self.pipe, self.out, self.rate, self.watch = pipe, out, rate, watch
        self.seen = None      # monotonic time the watched text first came
        self.last = time.monotonic()

    def idle(self):
        return time.monotonic() - self.last

    def run(self):
        tail = b""
        while True:
            rate = self.rate
            chunk = self.pipe.read1(65536 if rate is None else max(1, int(rate / 20)))
            if not chunk:
                break
            self.out.write(chunk)
            self.out.flush()
            self.last = time.monotonic()
            if self.seen is None and self.watch in tail + chunk:
                self.seen = time.monotonic()
            tail = chunk[-len(self.watch):]
            if rate is not None:
                time.sleep(0.05)


class Waits(threading.Thread):
    """How long the threads of process pid waited for a CPU while runnable
    (the kernel's run-queue wait, /proc/PID/task/*/schedstat), sampled every
    50 ms until the process ends or stop() is called. A busy machine delays a
    real-time program by that much: timing checks add it to their bounds, so
    that they hold the program to what it could do with the CPU it got. Each
    sample also keeps each thread's state and system call, and the machine's
    stall totals, for the failure messages (threads, stalls)."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.samples, self.stopping = pid, [], threading.Event()

    # System calls a thread of the service may be found waiting in, by number (x86-64).
    CALLS = {0: "read", 1: "write", 7: "poll", 23: "select", 35: "nanosleep", 44: "sendto", 45: "recvfrom",
             46: "sendmsg", 47: "recvmsg", 202: "futex", 230: "clock_nanosleep", 232: "epoll_wait", 257: "openat",
             270: "pselect6", 271: "ppoll", 299: "recvmmsg", 307: "sendmmsg"}

    def sample(self):
        waits, states, tasks = {}, {}, "/proc/%d/task" % self.pid
        for tid in os.listdir(tasks):
            try:
                with open("%s/%s/schedstat" % (tasks, tid)) as f:
                    waits[tid] = int(f.read().split()[1])
                with open("%s/%s/stat" % (tasks, tid)) as f:
                    stat = f.read()
                with open("%s/%s/syscall" % (tasks, tid)) as f:
                    call = f.read().split()[0]
            except (OSError, IndexError, ValueError):
                continue  # a thread that ended meanwhile
            state = stat[stat.rfind(")") + 2]
            what = state if state == "R" or not call.isdigit() else "%s:%s" % (
                state, self.CALLS.get(int(call), call))
            states[tid] = (stat[stat.find("(") + 1:stat.rfind(")")], what)
        self.samples.append((time.monotonic(), waits, pressure(), states))

    def run(self):
        while not self.stopping.wait(0.05):
            try:
                self.sample()
            except OSError:
                break  # the process is gone

    def stop(self):
        self.stopping.set()
        self.join(5)

    def waited(self, t0, t1):
        """The most any one thread waited (seconds) between the last sample
        at or before monotonic time t0 and the first at or after t1; the
        whole record where the samples do not reach so far."""
        a, b = self.around(t0, t1)
        return max((ns - a[1].get(tid, 0) for tid, ns in b[1].items()), default=0) / 1e9 if a else 0.0

    def stalls(self, t0, t1):
        """{resource: seconds} the machine had some task stalled for a CPU or
        for I/O (/proc/pressure) over the same samples: what a check's
        failure message gives to tell a busy machine from a fault."""
        a, b = self.around(t0, t1)
        return {k: round((b[2][k] - a[2][k]) / 1e6, 3) for k in b[2] if k in a[2]} if a else {}

    def threads(self, t0, t1):
        """What each thread was doing in the samples between t0 and t1, as
        text: its name, then how many times it was found running (R) or
        sleeping in which system call (S:futex)."""
        seen = {}
        for t, _, _, states in self.samples:
            if t0 <= t <= t1:
                for tid, (name, what) in states.items():
                    counts = seen.setdefault((name, tid), {})
                    counts[what] = counts.get(what, 0) + 1
        return "; ".join("%s %s" % (name, " ".join("%s x%d" % kv for kv in sorted(counts.items())))
                         for (name, _), counts in sorted(seen.items()))

    def around(self, t0, t1):
        if len(self.samples) < 2:
            return None, None
        times = [s[0] for s in self.samples]
        return (self.samples[max(0, bisect.bisect_right(times, t0) - 1)],
                self.samples[min(len(times) - 1, bisect.bisect_left(times, t1))])


def pressure():
    """{"cpu": µs, "io": µs}: the machine's total time with some task stalled
    on each (the kernel's pressure stall information; {} without it)."""
    out = {}
    for kind in ("cpu", "io"):
        try:
            with open("/proc/pressure/" + kind) as f:
                out[kind] = int(f.readline().rsplit("total=", 1)[1])
        except (OSError, IndexError, ValueError):
            pass
    return out


class FillerCase(unittest.TestCase):
    """Tests sharing one scratch folder (self.dir) and one generated filler
    (self.filler, made with FILLER's generator options)."""
    FILLER = dict(duration=6)

    @classmethod
    def setUpClass(cls):
        cls.dir = scratch_dir(cls, "kestrow-%s-" % cls.__name__.lower())
        cls.filler = os.path.join(cls.dir, "filler.ts")
        gen.generate(cls.filler, filler=True, **cls.FILLER)


def started(case, folder, *args, **kw):
    """A Service(folder, *args, **kw) closed when case ends, checked ready."""
    svc = Service(folder, *args, **kw)
    case.addCleanup(svc.close)
    case.assertTrue(svc.ready(), "%s did not get ready:\n%s" % (svc.name, svc.stderr_text()[-2000:]))
    return svc


_quiet_filler = []


def quiet_filler():
    """A one-second filler, generated once per process, for services that
    must start but relay nothing."""
    if not _quiet_filler:
        folder = scratch()
        _quiet_filler.append(folder)  # kept alive, removed at exit
        path = os.path.join(folder.name, "filler.ts")
        gen.generate(path, duration=1.0, filler=True)
        _quiet_filler.append(path)
    return _quiet_filler[1]


def required_args():
    """What every start of the service needs: an input and an output nobody
    uses, and a filler."""
    return ["--src-addr=127.0.0.1:%d" % free_port(socket.SOCK_DGRAM),
            "--dst-addr=127.0.0.1:%d" % free_port(socket.SOCK_DGRAM),
            "--filler=" + quiet_filler()]


def port_of(addr):
    """The port of a live address: HOST:PORT, or udp://, rtp://, srt:// with it (and a query)."""
    return int(re.search(r":(\d+)(?=[/?]|$)", addr).group(1))


def figures(svc):
    """(kestrow.status, {metric sample: value text}) of a running service."""
    with xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % svc.port) as proxy:
        status = proxy.kestrow.status()
    with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % svc.port, timeout=10) as r:
        return status, dict(l.rsplit(" ", 1) for l in r.read().decode().splitlines() if l and l[0] != "#")


class Service:
    """One KestrowApp started in folder with args. With a filler it relays
    from a free UDP port (src, or any live address given) to a recording
    receiver on another (dst), whose arrival times go to <name>_out.times
    (dst_addr: another --dst-addr, whose peer the test routes to dst); without one it gets an
    input and an output nobody uses (required_args) unless quiet=False. port: the control port, a
    free one by default, None for none on the command line. wrap: a command
    line put in front (the log is then read through /proc). console_rate:
    standard error is a pipe read at that many bytes per second. A relaying
    service's run-queue waits are sampled into self.waits."""

    def __init__(self, folder, *args, filler=None, name="app", log=None, env=None, wrap=(),
                 port=0, console_rate=None, console_watch=b"", src=None, quiet=True, dst_addr=None):
        self.name, self.folder = name, folder
        self.port = free_port(socket.SOCK_STREAM) if port == 0 else port
        self.log = log or os.path.join(folder, name + ".log")
        self.err_path = os.path.join(folder, name + ".stderr")
        argv = list(wrap) + [APP, "--log-file-name=" + self.log]
        argv += ["--port=%d" % self.port] if self.port else []
        self.receiver = None
        if filler is not None:
            self.src = src or "127.0.0.1:%d" % free_port(socket.SOCK_DGRAM)
            self.dst = "127.0.0.1:%d" % free_port(socket.SOCK_DGRAM)
            self.out = os.path.join(folder, name + "_out.ts")
            self.arrivals = os.path.join(folder, name + "_out.times")
            self.receiver = udp.Receiver(self.dst, self.out, log=self.arrivals)
            self.receiver.start()
            argv += ["--src-addr", self.src, "--dst-addr", dst_addr or self.dst, "--filler", filler]
        elif quiet:
            argv += required_args()
        self.err = open(self.err_path, "wb")
        self.console = None
        self.proc = subprocess.Popen(argv + list(args), cwd=folder, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL,
                                     stderr=self.err if console_rate is None else subprocess.PIPE,
                                     env=dict(os.environ, **(env or {})))
        if console_rate is not None:
            self.console = Console(self.proc.stderr, self.err, console_rate, console_watch)
            self.console.start()
        self.log_view = "/proc/%d/root%s" % (self.proc.pid, os.path.abspath(self.log)) if wrap else self.log
        self.waits = Waits(self.proc.pid)
        if self.receiver:
            self.waits.start()

    def text(self):
        return read_text(self.log_view)

    def stderr_text(self):
        return read_text(self.err_path)

    def wait_log(self, line, timeout=20, count=1):
        if not wait_for(lambda: self.text().count(line) >= count, timeout):
            raise AssertionError("%s: no %r in the log:\n%s" % (self.name, line, self.text()[-3000:]))

    def ready(self, timeout=20):
        """Waits until the input socket is bound (with a filler) or the control
        port listens (without); False when the process ended first."""
        port, is_udp = (port_of(self.src), True) if self.receiver else (self.port, False)
        return wait_for(lambda: bound(port, is_udp) or self.proc.poll() is not None,
                        timeout) and self.proc.poll() is None

    def send(self, path, **kw):
        return udp.send(path, self.src, **kw)

    def stop(self, settle=0.0, sig=signal.SIGTERM, timeout=15):
        """Lets the output settle, sends sig; returns (exit status or None, seconds to exit)."""
        time.sleep(settle)
        if self.console:
            self.console.rate = None
        t0 = time.monotonic()
        self.proc.send_signal(sig)
        try:
            rc = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            rc = None
        took = time.monotonic() - t0
        self.close()
        return rc, took

    def close(self):
        stop(self.proc)
        if self.console:
            self.console.rate = None
            self.console.join(10)
            self.proc.stderr.close()
        if not self.err.closed:
            self.err.close()
        if self.receiver:
            self.receiver.stop()
            self.waits.stop()

    def memory(self):
        """(VmRSS, VmHWM) of the service in KiB."""
        with open("/proc/%d/status" % self.proc.pid) as f:
            values = {k: int(v.split()[0]) for k, _, v in (line.partition(":") for line in f)
                      if k in ("VmRSS", "VmHWM")}
        return values["VmRSS"], values["VmHWM"]
