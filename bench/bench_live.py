#!/usr/bin/env python3
"""bench_live: KestrowApp against an ffmpeg relay, live over loopback UDP.

For each rate (16 and 40 Mbit/s by default; 80 gives an 80 Mbit/s programme
relayed at a 100 Mbit/s mux rate) it generates a 60 s programme
with two announced breaks (10 s at 15 s, 8 s at 40 s) and a 12 s filler of
the same picture size and rate, then, one relay after the other on the same
input:

  - KestrowApp (Release build; --mux-rate 20000000, or 45000000 at 40 Mbit/s;
    the filler; its log in the scratch folder), or
  - ffmpeg -i 'udp://127.0.0.1:P?fifo_size=2000000&overrun_nonfatal=1'
           -map 0 -c copy -copyts -f mpegts -muxrate R
           'udp://127.0.0.1:Q?pkt_size=1316&bitrate=R&fifo_size=2000000'
           (the library's own paced UDP output at the mux rate)

between a sender that sends the programme in real time, paced by its PCRs
(tools/kestrow_udp.py send --log), and a receiver that records the relay's
output (kestrow_udp.py recv --log, 8 MiB socket buffer as the kernel allows:
net.core.rmem_max caps it). While the sender runs it polls the kernel's drop
counters of the relay's input socket and the receiver's socket
(/proc/net/udp). Two seconds after the last datagram it reads the relay's
CPU time (/proc/PID/stat utime + stime, in total and per thread) and memory
(VmHWM, VmSize), then stops the relay with SIGINT (ffmpeg, blocked on a
silent input, needs a second one).

From the recorded output (what arrived before the stop: ffmpeg flushes its
interleaving queue in one burst when it stops, which says nothing about
relaying) it reports:

  - CPU seconds per stream second and the ratio KestrowApp/ffmpeg
    (target <= 0.6), and the CPU seconds of each thread;
  - peak memory (VmHWM; target: the filler's size + 64 MiB) and address
    space (VmSize);
  - packets lost per PID: programme packets (matched by hash and pts, the
    relay's constant pts shift taken out: ffmpeg's muxer adds 2 x max_delay
    without -mpegts_copyts) in the span the output covers that are missing
    and not inside a break (a break on a PID spans from the programme packet
    before its filler run to the one after); target 0 at both rates; packets
    of unknown origin outside breaks (damaged PES); the cue sections relayed;
    continuity-counter errors of the output; kernel drops placed in time;
  - latency: for each programme video PES in the output, the time the
    datagram holding its first byte left the receiver's socket minus the time
    the datagram holding its first byte was sent; median, 99th percentile,
    maximum, and the medians of the first and the last 50 PES (a relay that
    sends slower than it receives falls further behind as the run goes on);
    target p99 <= 0.10 s for KestrowApp; ffmpeg is the reference; the
    growth from the first to the last 50 PES (target <= 0.05 s);
  - PCR arrival jitter: the arrival time of each PCR of the output against
    its value, offset and drift (a least-squares line) removed; median and
    99th percentile (target p99 <= 1 ms);
  - pacing checks: the sender's largest lag behind the PCR schedule and its
    largest number of datagrams in 10 ms; the relay output's largest number
    of datagrams in 10 ms and its longest silence while the input arrives
    (breaks' starts and returns included; target <= 10 ms).

With --multiplex it also relays a multiplex of six programmes at 40 Mbit/s
(each 1280x720 at 4 Mbit/s; breaks in the first; the others, the SI tables
pass through) through KestrowApp alone, and reports its CPU seconds per
second and per Mbit/s of input against the single programmes' (target: no
more than the 40 Mbit/s programme's), the packets lost on every programme's
PIDs (target 0), the passthrough drops the service logged and the output's
continuity errors.

    python3 bench/bench_live.py [--build DIR] [--rates 16,40] [--duration 60]
                                [--multiplex] [--keep DIR]
                                [--faults outage,pause,restart1h,restart17s,fast]

--faults runs, instead of the rates, the cases where the input's time line
breaks, each a 30 s 640x360 programme (4 Mbit/s video, 20 Mbit/s mux rate,
a 4 s break announced at 22 s) relayed by KestrowApp with the filler:
  outage      the input lost from 10 s to 15 s, the source going on meanwhile
  pause       the sender pauses 5 s at 10 s and resumes with the same packets
  restart1h   the source restarts at 10 s an hour back (counters from 0)
  restart17s  at 10 s 17 s back (counters carried on, PAT/PMT versions
              raised, discontinuity_indicator set)
  fast        the whole programme sent at twice real time
  none        no fault: the reference
For each it prints the longest silence between output datagrams (from the
first output datagram to the last input datagram), the PCR steps (a PCR
more than 100 ms from the one before) and how many carried the
discontinuity_indicator, the continuity-counter errors, the added latency
of the programme's video (median over 2-9 s of sending, and over the last
5 s), the programme video PES lost in the 5 s after the first one that came back, and
the seconds from the input's return to the programme's first picture, and
the pace of the output (seconds of programme video per second of arrival).

DIR defaults to build-rel next to this folder (Release: cmake -S . -B
build-rel -DCMAKE_BUILD_TYPE=Release -DKESTROW_TESTS=OFF); the stream
checker is taken from DIR/tools. Every process it starts is stopped before
it returns. Exit status 0 when every target is met, 1 otherwise, 2 when a
relay could not be run.
"""
import argparse
import bisect
import collections
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TOOLS = os.path.join(ROOT, "tools")
sys.path.insert(0, TOOLS)
import kestrow_gen  # noqa: E402
import kestrow_report  # noqa: E402
import kestrow_clock  # noqa: E402
from kestrow_clock import WRAP  # noqa: E402
import kestrow_udp  # noqa: E402
from kestrow_udp import free_port  # noqa: E402

MIB = 1 << 20
CUES = ["at=15,dur=10", "at=40,dur=8"]
RATES = {
    16: dict(size="1280x720", video_bitrate="16M", muxrate="20M", mux_rate=20000000),
    40: dict(size="1920x1080", video_bitrate="36M", muxrate="45M", mux_rate=45000000),
    # The heaviest case: an 80 Mbit/s programme relayed at a 100 Mbit/s mux rate.
    80: dict(size="1920x1080", video_bitrate="72M", muxrate="80M", mux_rate=100000000),
}
SETTLE = 2.0
CPU_RATIO_TARGET = 0.6
LATENCY_P99_TARGET = 0.10
SILENCE_TARGET = 0.010
JITTER_P99_TARGET = 0.001
MEMORY_TARGET = 64 * (1 << 20)  # peak resident beyond the filler's size
LATENCY_GROWTH_TARGET = 0.05
UDP_PY = [sys.executable, os.path.join(TOOLS, "kestrow_udp.py")]
MULTIPLEX = dict(programs=6, size="1280x720", video_bitrate="4M", muxrate="40M", mux_rate=45000000)


# --------------------------------------------------------------------------
# Processes


def udp_sockets():
    """{local port: drops} of the UDP sockets in /proc/net/udp."""
    found = {}
    with open("/proc/net/udp") as f:
        next(f)
        for line in f:
            fields = line.split()
            port = int(fields[1].split(":")[1], 16)
            found[port] = found.get(port, 0) + int(fields[-1])
    return found


def wait_bound(port, proc, timeout=20):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if port in udp_sockets():
            return True
        if proc.poll() is not None:
            return False
        time.sleep(0.05)
    return False


def stat_cpu(path):
    """utime + stime in seconds from a /proc stat file."""
    with open(path) as f:
        rest = f.read().rsplit(")", 1)[1].split()
    return (int(rest[11]) + int(rest[12])) / os.sysconf("SC_CLK_TCK")


def proc_usage(pid):
    """(cpu seconds, VmHWM bytes, VmSize bytes, [cpu seconds of each live thread in
    the order they were created]) of a running process."""
    cpu = stat_cpu("/proc/%d/stat" % pid)
    mem = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(("VmHWM:", "VmSize:")):
                mem[line.split(":")[0]] = int(line.split()[1]) * 1024
    threads = []
    for tid in sorted(int(t) for t in os.listdir("/proc/%d/task" % pid)):
        try:
            threads.append(stat_cpu("/proc/%d/task/%d/stat" % (pid, tid)))
        except OSError:
            pass
    return cpu, mem.get("VmHWM", 0), mem.get("VmSize", 0), threads


def end_process(proc, signals=(signal.SIGINT,), timeout=10):
    """Stops one process that this script started: each signal in turn, timeout
    seconds apart, then SIGKILL; reaps it and returns its exit status."""
    for sig in signals:
        if proc.poll() is not None:
            break
        proc.send_signal(sig)
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            pass
    if proc.poll() is None:
        proc.kill()
        proc.wait()
    return proc.returncode


def read_log(path):
    times, offsets = [], []
    with open(path) as f:
        for line in f:
            t, off = line.split()
            times.append(float(t))
            offsets.append(int(off))
    return times, offsets


def relay_once(name, cmd, src_port, dst_port, prog, work, log_ready=None, stop_signals=(signal.SIGINT,)):
    """Receiver, relay, sender; returns the figures measured on the processes.
    While the sender runs, the kernel's drop counters of the relay's input
    socket and of the receiver's socket are polled, so that drops can be
    placed in time (seconds from the start of sending)."""
    out = os.path.join(work, name + ".out.ts")
    recv_log = os.path.join(work, name + ".recv.log")
    send_log = os.path.join(work, name + ".send.log")
    procs = []
    files = []
    try:
        err = open(os.path.join(work, name + ".recv.stderr"), "w")
        files.append(err)
        receiver = subprocess.Popen(UDP_PY + ["recv", "127.0.0.1:%d" % dst_port, out, "--log", recv_log],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        procs.append(receiver)
        if not wait_bound(dst_port, receiver):
            raise RuntimeError("receiver did not start")
        err = open(os.path.join(work, name + ".stderr"), "w")
        files.append(err)
        relay = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        procs.append(relay)
        if not wait_bound(src_port, relay):
            raise RuntimeError("%s did not open its input; see %s" % (name, err.name))
        if log_ready:
            end = time.monotonic() + 10
            while log_ready() is False and time.monotonic() < end:
                time.sleep(0.05)
        time.sleep(0.5)
        err = open(os.path.join(work, name + ".send.stderr"), "w")
        files.append(err)
        sender = subprocess.Popen(UDP_PY + ["send", prog, "127.0.0.1:%d" % src_port, "--log", send_log],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        procs.append(sender)
        t_send = time.monotonic()
        drop_events = []
        last = (0, 0)
        while sender.poll() is None:
            if time.monotonic() - t_send > 600:
                raise RuntimeError("sender did not finish")
            socks = udp_sockets()
            now = (socks.get(src_port, 0), socks.get(dst_port, 0))
            if now != last:
                drop_events.append((time.monotonic() - t_send, now[0] - last[0], now[1] - last[1]))
                last = now
            time.sleep(0.2)
        if sender.returncode != 0:
            raise RuntimeError("sender failed; see %s" % err.name)
        time.sleep(SETTLE)
        if relay.poll() is not None:
            raise RuntimeError("%s ended early (status %s)" % (name, relay.returncode))
        cpu, hwm, vsize, threads = proc_usage(relay.pid)
        drops = udp_sockets()
        t_stop = time.monotonic()
        status = end_process(relay, stop_signals)
        time.sleep(1.5)
        end_process(receiver)
        send_times, _ = read_log(send_log)
        return {
            "name": name, "out": out, "recv_log": recv_log, "send_log": send_log,
            "cpu": cpu, "hwm": hwm, "vsize": vsize, "threads": threads, "t_stop": t_stop, "status": status,
            "sent_seconds": send_times[-1] - send_times[0],
            "drops_in": drops.get(src_port, 0), "drops_recv": drops.get(dst_port, 0),
            "drop_events": drop_events,
        }
    finally:
        for p in reversed(procs):
            end_process(p, timeout=3)
        for f in files:
            f.close()


def run_service(app, prog, filler, mux_rate, work, label, options=()):
    src, dst = free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_DGRAM)
    log = os.path.join(work, label + "_app.log")
    cmd = [app, "--src-addr", "127.0.0.1:%d" % src, "--dst-addr", "127.0.0.1:%d" % dst,
           "--filler", filler, "--mux-rate", str(mux_rate), "--log-file-name", log,
           "--port", str(free_port(socket.SOCK_STREAM))] + list(options)

    def ready():
        try:
            with open(log, errors="replace") as f:
                return "avformat_open_input(" in f.read()
        except FileNotFoundError:
            return False

    r = relay_once(label + "_KestrowApp", cmd, src, dst, prog, work, ready)
    with open(log, errors="replace") as f:
        text = f.read()
    r["log"] = log
    r["splices"] = text.count("Splicing started")
    r["sessions"] = text.count("Entering main loop")
    return r


def run_ffmpeg(prog, mux_rate, work, label):
    src, dst = free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_DGRAM)
    cmd = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "warning",
           "-i", "udp://127.0.0.1:%d?fifo_size=2000000&overrun_nonfatal=1" % src,
           "-map", "0", "-c", "copy", "-copyts", "-f", "mpegts", "-muxrate", str(mux_rate),
           "udp://127.0.0.1:%d?pkt_size=1316&bitrate=%d&fifo_size=2000000" % (dst, mux_rate)]
    # ffmpeg blocked on a silent input leaves only at a second SIGINT (the first
    # one is seen between packets); it then writes its trailer.
    return relay_once(label + "_ffmpeg", cmd, src, dst, prog, work, stop_signals=(signal.SIGINT, signal.SIGINT))


# --------------------------------------------------------------------------
# Analysis


def percentile(values, q):
    s = sorted(values)
    if not s:
        return float("nan")
    k = max(0, min(len(s) - 1, int(round(q * len(s) + 0.5)) - 1))
    return s[k]


def analyse(r, prog, fill_hashes, prog_r):
    """Loss per PID and latency of the video PES, from what arrived before the stop."""
    out_r = kestrow_report.read(r["out"])
    recv_t, recv_off = read_log(r["recv_log"])
    send_t, send_off = read_log(r["send_log"])
    cut = bisect.bisect_left(recv_t, r["t_stop"])
    cutoff = recv_off[cut] if cut < len(recv_off) else float("inf")
    r["bytes_out"] = recv_off[-1] if recv_off else 0
    live = recv_t[:cut]
    r["out_burst"] = max(collections.Counter(int(x * 100) for x in live).values()) if live else 0
    # While the input arrives: its last picture waits for a PES that never comes, until the loss.
    flowing = [x for x in live if send_t and x <= send_t[-1] - 0.2]
    r["out_gap"] = max((b - a for a, b in zip(flowing, flowing[1:])), default=0.0)
    r["tail_bytes"] = (r["bytes_out"] - cutoff) if cutoff != float("inf") else 0

    vpid = kestrow_report.media_pids(prog_r, "video")[0]
    pids = kestrow_report.media_pids(prog_r, "video") + kestrow_report.media_pids(prog_r, "audio")

    # The relay's constant pts shift (0 for KestrowApp; ffmpeg's muxer adds 2 x max_delay).
    video_src = {p["hash"]: p["pts"] for p in prog_r["packets"] if p["pid"] == vpid}
    shifts = collections.Counter(kestrow_clock.diff(p["pts"], video_src[p["hash"]]) for p in out_r["packets"]
                                 if p["pid"] == vpid and p["hash"] in video_src and p["pts"] is not None)
    shift = shifts.most_common(1)[0][0] if shifts else 0
    r["pts_shift"] = shift

    r["pids"] = {}
    latency = []
    for pid in pids:
        src = [p for p in prog_r["packets"] if p["pid"] == pid]
        index = {}
        for i, p in enumerate(src):
            index.setdefault((p["hash"], p["pts"] % WRAP), i)
        fills = fill_hashes.get(pid, set())
        out = []
        last_pos = 0
        for p in out_r["packets"]:
            if p["pid"] != pid:
                continue
            pos = p["pos"] if p["pos"] is not None else last_pos
            last_pos = pos
            if pos >= cutoff:
                break
            if p["pts"] is not None and (p["hash"], (p["pts"] - shift) % WRAP) in index:
                out.append(("src", index[(p["hash"], (p["pts"] - shift) % WRAP)], p))
            elif p["hash"] in fills:
                out.append(("fill", None, p))
            else:
                out.append(("?", None, p))
        matched = {i for kind, i, _ in out if kind == "src"}
        excused = set()
        unknown = 0
        n = 0
        while n < len(out):
            if out[n][0] == "src":
                n += 1
                continue
            m = n
            while m < len(out) and out[m][0] != "src":
                m += 1
            run = out[n:m]
            if any(kind == "fill" for kind, _, _ in run):
                before = out[n - 1][1] if n > 0 else -1
                after = out[m][1] if m < len(out) else len(src)
                excused.update(range(before + 1, after))
            else:
                unknown += len(run)
            n = m
        if matched:
            lo, hi = min(matched), max(matched)
            lost = [i for i in range(lo, hi + 1) if i not in matched and i not in excused]
            span = hi - lo + 1
        else:
            lost, span = [], 0
        r["pids"][pid] = {"span": span, "received": len(matched), "lost": len(lost),
                          "filler": sum(1 for kind, _, _ in out if kind == "fill"),
                          "in_breaks": len([i for i in excused if matched and lo <= i <= hi]),
                          "unknown": unknown,
                          "first_lost": [src[i]["pts"] for i in lost[:5]]}
        if pid == vpid:
            for kind, i, p in out:
                if kind != "src" or src[i]["pos"] is None or p["pos"] is None:
                    continue
                s = bisect.bisect_right(send_off, src[i]["pos"]) - 1
                q = bisect.bisect_right(recv_off, p["pos"]) - 1
                if s >= 0 and q >= 0:
                    latency.append(recv_t[q] - send_t[s])
    cues = {p["hash"] for p in prog_r["packets"] if p["codec"] == "scte_35"}
    got = {p["hash"] for p in out_r["packets"] if p["hash"] in cues and (p["pos"] or 0) < cutoff}
    r["cues"] = (len(got), len(cues))
    r["latency"] = latency
    r["lat_median"] = statistics.median(latency) if latency else float("nan")
    r["lat_p99"] = percentile(latency, 0.99)
    r["lat_max"] = max(latency) if latency else float("nan")
    # Latency of the first and the last 50 PES: a relay that sends slower than
    # it receives falls further behind as the run goes on.
    r["lat_first"] = statistics.median(latency[:50]) if latency else float("nan")
    r["lat_last"] = statistics.median(latency[-50:]) if latency else float("nan")
    r["jitter_median"], r["jitter_p99"] = pcr_jitter(r["out"], recv_t, recv_off, cutoff)
    cc = kestrow_gen.check(r["out"], "--cc")
    r["cc_errors"] = cc["total"]["errors"] if cc["total"] else None
    return r


_schedules = {}


def pcr_jitter(path, recv_t, recv_off, cutoff):
    """Arrival time of each PCR of the output's first PCR PID against its
    value, with offset and drift (a least-squares line) removed: the median
    and the 99th percentile of the absolute deviation, in seconds."""
    points = []
    pcr_pid, last, turns = None, None, 0
    with open(path, "rb") as f:
        ts = f.read()
    end = min(len(ts), cutoff)
    for pos in range(0, end - 187, 188):
        p = ts[pos:pos + 12]
        if p[0] != 0x47 or not (p[3] & 0x20) or p[4] < 7 or not (p[5] & 0x10):
            continue
        pid = ((p[1] & 0x1F) << 8) | p[2]
        if pcr_pid is None:
            pcr_pid = pid
        if pid != pcr_pid:
            continue
        base = (p[6] << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7)
        value = base * 300 + (((p[10] & 1) << 8) | p[11])
        if last is not None and value < last - (WRAP * 300) // 2:
            turns += 1
        last = value
        q = bisect.bisect_right(recv_off, pos) - 1
        if q >= 0:
            points.append(((value + turns * WRAP * 300) / 27e6, recv_t[q]))
    if len(points) < 3:
        return float("nan"), float("nan")
    n = len(points)
    mx = sum(x for x, _ in points) / n
    my = sum(y for _, y in points) / n
    sxx = sum((x - mx) ** 2 for x, _ in points)
    slope = sum((x - mx) * (y - my) for x, y in points) / sxx if sxx else 0.0
    dev = [abs(y - my - slope * (x - mx)) for x, y in points]
    return statistics.median(dev), percentile(dev, 0.99)


def sender_lateness(prog, send_log):
    """Largest lag of the sender behind the PCR schedule, in seconds (pacing check)."""
    import kestrow_udp
    if prog not in _schedules:
        with open(prog, "rb") as f:
            _schedules[prog] = kestrow_udp.schedule(f.read())
    times = _schedules[prog]
    t, off = read_log(send_log)
    if not t:
        return float("nan")
    lag = max((t[k] - t[0]) - (times[off[k] // 188] - times[0]) for k in range(len(t)))
    burst = max(collections.Counter(int(x * 100) for x in t).values())
    return lag, burst


# --------------------------------------------------------------------------


def service_of(build, bench):
    """KestrowApp of build, kestrow_check beside it taken for the tools; None (said why) when one is missing."""
    app = os.path.join(build, "service", "KestrowApp")
    checker = os.path.join(build, "tools", "kestrow_check")
    for path in (app, checker):
        if not os.access(path, os.X_OK):
            print("%s: no %s; build it first (see bench_live.py --help)" % (bench, path), file=sys.stderr)
            return None
    os.environ["KESTROW_TOOLS_BIN"] = os.path.dirname(checker)
    return app


def work_folder(keep, prefix):
    """(folder, temporary directory or None): keep, made if need be, else a new temporary one."""
    if keep:
        os.makedirs(keep, exist_ok=True)
        return keep, None
    tmp = tempfile.TemporaryDirectory(prefix=prefix)
    return tmp.name, tmp


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(ROOT, "build-rel"))
    ap.add_argument("--rates", default="16,40")
    ap.add_argument("--duration", type=float, default=60)
    ap.add_argument("--keep", help="work in this folder and keep its files")
    ap.add_argument("--multiplex", action="store_true", help="also relay a six-programme multiplex")
    ap.add_argument("--faults", help="comma list of " + ",".join(FAULT_CASES))
    ap.add_argument("--small-filler", action="store_true", help="a filler of about 1 MiB (2 s at 4 Mbit/s)")
    ap.add_argument("--mux-delay", help="the input's video lead over its PCR, s (ffmpeg's -muxdelay; 'default')")
    ap.add_argument("--app-option", action="append", default=[], metavar="OPTION",
                    help="one more option for KestrowApp, e.g. --app-option=--frame-accurate=off (repeatable)")
    a = ap.parse_args(argv)
    app = service_of(a.build, "bench_live")
    if not app:
        return 2
    rates = [int(x) for x in a.rates.split(",")]
    work, tmp = work_folder(a.keep, "kestrow-bench-live-")
    try:
        if a.faults:
            return run_faults(app, work, a.faults.split(","))
        return run(app, work, rates, a.duration, a.multiplex, a.small_filler, a.mux_delay, a.app_option)
    except RuntimeError as e:
        print("bench_live: %s" % e, file=sys.stderr)
        return 2
    finally:
        if tmp:
            tmp.cleanup()


# --------------------------------------------------------------------------
# Faults of the input's time line

FAULT_AT, FAULT_LEN, FAULT_BREAK = 10, 5, "at=22,dur=4"
FAULT_CASES = {
    "outage": {"outages": ["at=%d,dur=%d" % (FAULT_AT, FAULT_LEN)]},
    "pause": {"split": "%d:%%s" % FAULT_AT},
    "restart1h": {"restarts": ["at=%d,jump=-3600" % FAULT_AT]},
    "restart17s": {"restarts": ["at=%d,jump=-17,cc_reset=0,version=1,disc=1" % FAULT_AT]},
    "fast": {},
    "none": {},
}


def fault_case(app, work, name, filler):
    """One fault case: generate, relay, measure (see the module text)."""
    prog, after = (os.path.join(work, "%s_%s.ts" % (name, part)) for part in ("prog", "after"))
    opts = dict(FAULT_CASES[name])
    if "split" in opts:
        opts["split"] = opts["split"] % after
    kestrow_gen.build(prog, duration=30, size="640x360", video_bitrate="4M", muxrate=20000000,
                      cues=[FAULT_BREAK], **opts)
    src, dst = free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_DGRAM)
    out, out_log = os.path.join(work, name + "_out.ts"), os.path.join(work, name + "_out.log")
    recs = [(os.path.join(work, "%s_sent%d.ts" % (name, i)), os.path.join(work, "%s_sent%d.log" % (name, i)))
            for i in range(2)]
    receiver = kestrow_udp.Receiver("127.0.0.1:%d" % dst, out, log=out_log)
    receiver.start()
    with open(os.path.join(work, name + "_app.stderr"), "w") as err:
        proc = subprocess.Popen([app, "--src-addr", "127.0.0.1:%d" % src, "--dst-addr", "127.0.0.1:%d" % dst,
                                 "--filler", filler, "--log-file-name", os.path.join(work, name + "_app.log"),
                                 "--port", str(free_port(socket.SOCK_STREAM))],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
    try:
        if not wait_bound(src, proc):
            raise RuntimeError("KestrowApp did not open its input")
        time.sleep(0.5)
        addr = "127.0.0.1:%d" % src
        kestrow_udp.send(prog, addr, speed=2.0 if name == "fast" else 1.0, record=recs[0][0], log=recs[0][1])
        if name == "pause":
            time.sleep(FAULT_LEN)
            kestrow_udp.send(after, addr, record=recs[1][0], log=recs[1][1])
        time.sleep(1.0)
    finally:
        end_process(proc)
        receiver.stop()
    return fault_figures(recs, out, out_log, 0x100)


def fault_figures(recs, out, out_log, pid):
    w = kestrow_report.wire(out, out_log)
    sent = []
    for rec, log in recs:
        if os.path.exists(log):
            sent += kestrow_report.units(rec, log, pid)
    got = kestrow_report.units(out, out_log, pid)
    t0, t_end = sent[0][1], sent[-1][1]
    times = [t for t, _ in kestrow_report.read_times(out_log) if got and got[0][1] <= t <= t_end]
    silence = max((b - a for a, b in zip(times, times[1:])), default=0)
    arrived = kestrow_report.match(sent, got)
    lat = [(t, a - t) for (_, t, _), a in zip(sent, arrived) if a is not None]
    lat_before = [d for t, d in lat if t0 + 2 <= t <= t0 + 9]
    lat_after = [d for t, d in lat if t >= t_end - 5]
    # The input's return: the first datagram after the longest gap in sending, or
    # without one the time the source's time line broke (FAULT_AT of its own time);
    # the programme's return: the first unit that arrived after one that did not.
    gap, back = max(((b[1] - a[1], b[1]) for a, b in zip(sent, sent[1:])), default=(0, None))
    back = back if gap > 1 else t0 + FAULT_AT
    first = kestrow_report.returned(sent, arrived, back)
    # Lost: sent within 5 s of the programme's return, its key frame's leading pictures aside.
    lost = sum(1 for u, a in zip(sent[first:], arrived[first:]) if a is None and u[1] < sent[first][1] + 5
               and u[2] > sent[first][2]) if first is not None else None
    span = [(g[2], g[1]) for g in got if g[2] is not None]
    return {"silence": silence, "steps": len(w["steps"]), "steps_flagged": sum(1 for _, d in w["steps"] if d),
            "cc": sum(w["cc_errors"].values()), "pcr_max": max(w["pcr_max_ms"].values(), default=0),
            "lat_before": statistics.median(lat_before) if lat_before else None,
            "lat_after": statistics.median(lat_after) if lat_after else None, "lost": lost,
            "resume": arrived[first] - back if first is not None else None,
            "pace": (span[-1][0] - span[0][0]) / 90000 / (span[-1][1] - span[0][1]) if len(span) > 1 else None}


def run_faults(app, work, names):
    filler = os.path.join(work, "fault_filler.ts")
    kestrow_gen.generate(filler, filler=True, duration=6, size="640x360", video_bitrate="4M", muxrate=20000000)
    print("%-11s %9s %6s %7s %7s %8s %8s %8s %6s %7s %6s" % (
        "case", "silence s", "steps", "flagged", "cc err", "pcr ms", "lat pre", "lat post", "lost", "resume", "pace"))

    def f(v, fmt):
        return fmt % v if v is not None else "-"
    for name in names:
        r = fault_case(app, work, name, filler)
        print("%-11s %9.3f %6d %7d %7d %8.1f %8s %8s %6s %7s %6s" % (
            name, r["silence"], r["steps"], r["steps_flagged"], r["cc"], r["pcr_max"], f(r["lat_before"], "%.3f"),
            f(r["lat_after"], "%.3f"), f(r["lost"], "%d"), f(r["resume"], "%.2f"), f(r["pace"], "%.2f")), flush=True)
    return 0


def cues_within(duration):
    """The cues whose break ends 2 s before the programme does (for shorter trial runs)."""
    keep = []
    for spec in CUES:
        f = dict(kv.split("=") for kv in spec.split(","))
        if float(f["at"]) + float(f["dur"]) + 2 <= duration:
            keep.append(spec)
    return keep


def references(prog, filler):
    """The checker's view of the programme, and the filler's packet hashes per PID."""
    fill_hashes = collections.defaultdict(set)
    for p in kestrow_report.read(filler)["packets"]:
        fill_hashes[p["pid"]].add(p["hash"])
    return kestrow_report.read(prog, "--hex"), fill_hashes


def analysed(svc, prog, refs, rate):
    """svc with the figures analyse() reads from the output against refs (references())."""
    analyse(svc, prog, refs[1], refs[0])
    svc["rate"] = rate
    svc["sender_lag"], svc["sender_burst"] = sender_lateness(prog, svc["send_log"])
    svc["mbits"] = os.path.getsize(prog) * 8 / svc["sent_seconds"] / 1e6
    return svc


def run_multiplex(app, work, duration):
    """KestrowApp on a six-programme multiplex; the figures of analyse() over every programme's PIDs."""
    cfg = MULTIPLEX
    prog, filler = os.path.join(work, "mux_prog.ts"), os.path.join(work, "mux_filler.ts")
    t0 = time.monotonic()
    kestrow_gen.build(prog, duration=duration, programs=cfg["programs"], size=cfg["size"],
                      video_bitrate=cfg["video_bitrate"], muxrate=cfg["muxrate"], cues=cues_within(duration))
    kestrow_gen.generate(filler, filler=True, duration=12, size=cfg["size"], video_bitrate=cfg["video_bitrate"])
    print("multiplex: generated %.0f MiB in %.0f s" % (os.path.getsize(prog) / MIB, time.monotonic() - t0), flush=True)
    svc = analysed(run_service(app, prog, filler, cfg["mux_rate"], work, "mux"), prog, references(prog, filler), 40)
    with open(svc["log"], errors="replace") as f:
        svc["pass_dropped"] = sum(int(line.split("slicer_on_event: ")[1].split()[0]) for line in f
                                  if "packets passing through dropped" in line)
    svc["cues_announced"] = len(cues_within(duration))
    return svc


def report_multiplex(svc, singles):
    """The multiplex's figures against the single programmes'; True when its targets are met."""
    print("== multiplex: %d programmes, %.1f Mbit/s (%.1f s sent) ==" % (
        MULTIPLEX["programs"], svc["mbits"], svc["sent_seconds"]))
    cpu = svc["cpu"] / svc["sent_seconds"]
    print("KestrowApp cpu s/s %.4f, per Mbit/s %.5f; peak %.1f MiB; latency p99 %.3f s; PCR jitter p99 %.2f ms;"
          " splices %d/%d; cc errors %s" % (cpu, cpu / svc["mbits"], svc["hwm"] / MIB, svc["lat_p99"],
                                             svc["jitter_p99"] * 1e3, svc["splices"], svc["cues_announced"],
                                             svc["cc_errors"]))
    worst = max((s["cpu"] / s["sent_seconds"] / s["mbits"] for s in singles), default=None)
    lost = sum(s["lost"] for s in svc["pids"].values())
    print("packets lost on %d PIDs of the six programmes: %d; passthrough drops logged: %d" % (
        len(svc["pids"]), lost, svc["pass_dropped"]))
    ok = lost == 0 and svc["pass_dropped"] == 0 and svc["splices"] == svc["cues_announced"]
    if worst is not None:
        per = cpu / svc["mbits"]
        print("cpu per Mbit/s multiplex/single programme  %.3f  (target <= 1)  %s" % (
            per / worst, "ok" if per <= worst else "MISSED"))
        ok = ok and per <= worst
    print()
    return ok


def run(app, work, rates, duration, multiplex=False, small_filler=False, mux_delay=None, app_options=()):
    results = []
    t_all = time.monotonic()
    for rate in rates:
        cfg = RATES[rate]
        label = "%dM" % rate
        prog = os.path.join(work, label + "_prog.ts")
        filler = os.path.join(work, label + "_filler.ts")
        t0 = time.monotonic()
        kestrow_gen.generate(prog, duration=duration, size=cfg["size"], video_bitrate=cfg["video_bitrate"],
                             muxrate=cfg["muxrate"], cues=cues_within(duration),
                             **({"mux_delay": mux_delay} if mux_delay else {}))
        # A small filler (2 s at 4 Mbit/s, about 1 MiB) shows the relay's own memory apart from the filler's.
        kestrow_gen.generate(filler, filler=True, duration=2 if small_filler else 12, size=cfg["size"],
                             video_bitrate="4M" if small_filler else cfg["video_bitrate"],
                             muxrate=None if small_filler else cfg["muxrate"])
        print("%s: generated %.0f MiB programme, %.0f MiB filler in %.0f s" % (
            label, os.path.getsize(prog) / MIB, os.path.getsize(filler) / MIB, time.monotonic() - t0), flush=True)
        svc = run_service(app, prog, filler, cfg["mux_rate"], work, label, app_options)
        print("%s: KestrowApp relayed (%d splices)" % (label, svc["splices"]), flush=True)
        ff = run_ffmpeg(prog, cfg["mux_rate"], work, label)
        print("%s: ffmpeg relayed" % label, flush=True)
        refs = references(prog, filler)
        for r in (svc, ff):
            analysed(r, prog, refs, rate)
        svc["cues_announced"] = len(cues_within(duration))
        results.append((rate, svc, ff, os.path.getsize(filler)))
    mux = run_multiplex(app, work, duration) if multiplex else None
    status = report(results, time.monotonic() - t_all)
    if mux and not report_multiplex(mux, [svc for _, svc, _, _ in results]):
        status = 1
    return status


def report(results, took):
    ok = True
    print()
    for rate, svc, ff, filler_size in results:
        print("== %d Mbit/s programme (%.1f s sent) ==" % (rate, svc["sent_seconds"]))
        print("%-11s %8s %8s %8s %8s %8s %8s %8s %8s %7s %9s %9s %6s" % (
            "relay", "cpu s/s", "peak MiB", "virt MiB", "lat med", "lat p99", "lat max", "lat 1st", "lat last",
            "splices", "pts shift", "drops i/r", "cc err"))
        for r in (svc, ff):
            print("%-11s %8.4f %8.1f %8.1f %8.3f %8.3f %8.3f %8.3f %8.3f %7s %9d %9s %6s" % (
                r["name"].split("_", 1)[1], r["cpu"] / r["sent_seconds"], r["hwm"] / MIB, r["vsize"] / MIB,
                r["lat_median"], r["lat_p99"], r["lat_max"], r["lat_first"], r["lat_last"],
                r.get("splices", "-"), r["pts_shift"], "%d/%d" % (r["drops_in"], r["drops_recv"]), r["cc_errors"]))
        for r in (svc, ff):
            print("%-11s cpu s per thread (creation order): %s; exit status %s" % (
                r["name"].split("_", 1)[1], " ".join("%.2f" % c for c in r["threads"]), r["status"]))
        ratio = (svc["cpu"] / svc["sent_seconds"]) / (ff["cpu"] / ff["sent_seconds"])
        print("cpu ratio KestrowApp/ffmpeg  %.3f  (target <= %.1f)  %s" % (
            ratio, CPU_RATIO_TARGET, "ok" if ratio <= CPU_RATIO_TARGET else "MISSED"))
        print("KestrowApp latency p99       %.3f s (target <= %.2f s)  %s" % (
            svc["lat_p99"], LATENCY_P99_TARGET, "ok" if svc["lat_p99"] <= LATENCY_P99_TARGET else "MISSED"))
        memory_ok = svc["hwm"] <= filler_size + MEMORY_TARGET
        print("KestrowApp peak memory       %.1f MiB (target <= filler %.1f MiB + %.0f MiB)  %s" % (
            svc["hwm"] / MIB, filler_size / MIB, MEMORY_TARGET / MIB, "ok" if memory_ok else "MISSED"))
        for r in (svc, ff):
            print("%-11s PCR arrival jitter median %.2f ms, p99 %.2f ms; latency growth %.3f s" % (
                r["name"].split("_", 1)[1], r["jitter_median"] * 1e3, r["jitter_p99"] * 1e3,
                r["lat_last"] - r["lat_first"]))
        print("KestrowApp PCR jitter p99    %.2f ms (target <= %.0f ms)  %s" % (
            svc["jitter_p99"] * 1e3, JITTER_P99_TARGET * 1e3, "ok" if svc["jitter_p99"] <= JITTER_P99_TARGET else "MISSED"))
        growth = svc["lat_last"] - svc["lat_first"]
        print("KestrowApp latency growth    %.3f s (target <= %.2f s)  %s" % (
            growth, LATENCY_GROWTH_TARGET, "ok" if growth <= LATENCY_GROWTH_TARGET else "MISSED"))
        ok = ok and ratio <= CPU_RATIO_TARGET and svc["lat_p99"] <= LATENCY_P99_TARGET and memory_ok
        ok = ok and svc["jitter_p99"] <= JITTER_P99_TARGET and growth <= LATENCY_GROWTH_TARGET
        print("packets per PID (span = programme packets between the first and last received;"
              " lost = missing outside breaks):")
        for r in (svc, ff):
            for pid, s in sorted(r["pids"].items()):
                line = "  %-10s 0x%03x span %6d received %6d in breaks %5d filler %5d lost %4d unknown %d" % (
                    r["name"].split("_", 1)[1], pid, s["span"], s["received"], s["in_breaks"], s["filler"],
                    s["lost"], s["unknown"])
                if s["lost"]:
                    line += "  first lost pts %s" % s["first_lost"]
                print(line)
            print("  %-10s cues relayed %d/%d; output bytes after the stop %d; sender: max lag %.3f s,"
                  " max %d datagrams in 10 ms" % (r["name"].split("_", 1)[1], r["cues"][0], r["cues"][1],
                                                  r["tail_bytes"], r["sender_lag"], r["sender_burst"]))
            print("  %-10s output: max %d datagrams in 10 ms, longest silence %.3f s" % (
                r["name"].split("_", 1)[1], r["out_burst"], r["out_gap"]))
            if r["drop_events"]:
                print("  %-10s kernel drops (s after sending began: input/receiver): %s" % (
                    r["name"].split("_", 1)[1],
                    " ".join("%.1f:%d/%d" % e for e in r["drop_events"][:12])))
        svc_lost = sum(s["lost"] for s in svc["pids"].values())
        print("KestrowApp packets lost      %d (target 0)  %s" % (svc_lost, "ok" if svc_lost == 0 else "MISSED"))
        print("KestrowApp longest silence   %.1f ms (target <= %.0f ms)  %s" % (
            svc["out_gap"] * 1e3, SILENCE_TARGET * 1e3, "ok" if svc["out_gap"] <= SILENCE_TARGET else "MISSED"))
        ok = ok and svc_lost == 0 and svc["out_gap"] <= SILENCE_TARGET and svc.get("splices") == svc.get("cues_announced")
        print()
    print("bench took %.0f s" % took)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
