#!/usr/bin/env python3
"""kestrow_udp: send an MPEG-TS file over UDP in real time, or record a UDP
stream to a file; for tests, benchmarks and the quick start, on loopback.

    kestrow_udp.py send FILE HOST:PORT [--speed X] [--log TIMES] [--rtp]
                       [--fault SPEC ...] [--seed N] [--record SENT]
    kestrow_udp.py recv HOST:PORT FILE [--seconds N] [--idle S] [--log TIMES]

send: datagrams of 7 TS packets (1316 bytes), each sent at the time its
packets' PCR says (linear between PCRs of the PCR PID, so that the rate is
even and nothing is sent in bursts); the bytes are sent exactly as they are
in the file; with --rtp each behind an RTP header (payload type 33,
sequence numbers from a random start, 90 kHz timestamps from the
schedule). recv: writes every datagram to FILE as it arrives, until N
seconds have passed or nothing arrived for S seconds (once something has).
--log writes, per datagram, its arrival or sending time (monotonic clock,
seconds) and its byte offset in the stream: the benchmark reads the latency
from two such logs.

Faults (send, for the fault-injection tests): --fault SPEC, repeatable, does
harm to the datagrams whose send time (seconds of the file's own schedule,
before --speed) lies in [from, to). SPEC is comma-separated key=value:
  from=S, to=S   the window [0, end of file)
  pause=1        nothing is sent in the window: the source goes on, its
                 datagrams are lost (an outage of the input)
  drop=R         each datagram is lost with probability R
  dup=R          each datagram is sent twice with probability R
  garbage=R      with probability R, a datagram of 1 to 1500 random bytes is
                 sent before the datagram
  reorder=R      with probability R, the datagram is held back and sent
                 after the next one (with --rtp its sequence number tells);
                 counted when that one was sent (not itself held or lost)
  truncate=R     with probability R, the datagram is cut at a random length
                 that is not a whole number of TS packets (its last TS packet
                 is truncated, the rest of it lost)
  stall=1        the source stalls in the window (to= needed) and keeps what
                 it has: at the window's end it sends the backlog at once, as
                 fast as the socket takes it, then goes on at its schedule
                 (it catches up: nothing is delayed after the backlog)
  burst=F        with stall=1: the backlog goes at F times the stream's rate
                 (F > 1) from the window's end until the source has caught
                 up with its schedule [as fast as the socket takes it]
  fast=X         the source's clock runs X times as fast in the window: its
                 datagrams are sent at X times the rate, and after it the
                 schedule goes on from where that left it (ahead by
                 (to - from) * (1 - 1/X)); windows of fast= must not overlap
--speed X runs the whole schedule X times as fast; fast= does so in a
window only. Random choices come from --seed [1], so a run can be repeated. --record
writes every datagram actually sent, garbage included, to SENT, and --log
then gives the offsets in that stream. send() returns the counts.

As a module: send(path, addr, ...), Fault(spec or keywords),
Receiver(addr, path, ...) (a thread), free_port(kind).
"""

import argparse
import random
import socket
import struct
import sys
import threading
import time

TS = 188
DATAGRAM = 7 * TS
PCR_HZ = 27000000


def _pcr(p):
    """The PCR of one TS packet in 27 MHz units, or None."""
    if not p[3] & 0x20 or p[4] < 7 or not p[5] & 0x10:
        return None
    b = p[6:12]
    base = b[0] << 25 | b[1] << 17 | b[2] << 9 | b[3] << 1 | b[4] >> 7
    ext = (b[4] & 1) << 8 | b[5]
    return base * 300 + ext


def schedule(data):
    """Send time of each packet, in seconds from the first PCR, from the PCRs
    of the first PID that carries one. Where the PCR goes back or leaps more
    than a minute (the 33-bit wrap, a source that restarts on another time
    line), the schedule goes on as if it had not; a shorter leap forward is
    waited for (an outage)."""
    n = len(data) // TS
    points = []  # (packet index, time in seconds)
    pcr_pid = None
    last = None
    offset = 0
    step = PCR_HZ // 50
    for i in range(n):
        p = data[i * TS:(i + 1) * TS]
        pid = (p[1] & 0x1F) << 8 | p[2]
        if pcr_pid is not None and pid != pcr_pid:
            continue
        v = _pcr(p)
        if v is None:
            continue
        pcr_pid = pid
        if last is not None:
            d = v + offset - last
            if d < 0 or d > 60 * PCR_HZ:
                offset += last + step - (v + offset)
            elif d <= PCR_HZ:
                step = d
        v += offset
        last = v
        points.append((i, v / PCR_HZ))
    if len(points) < 2:
        return [0.0] * n
    t0 = points[0][1]
    times = [0.0] * n
    rate = (points[-1][1] - points[0][1]) / (points[-1][0] - points[0][0])
    for (i0, a), (i1, b) in zip(points, points[1:]):
        # Before a leap (an outage) the packets keep the stream's pace; the leap comes after them.
        pace = (b - a) / (i1 - i0) if b - a <= 1 else rate
        for i in range(i0, i1):
            times[i] = (a - t0) + pace * (i - i0)
    for i in range(points[-1][0], n):
        times[i] = points[-1][1] - t0 + rate * (i - points[-1][0])
    return times


def free_port(kind):
    """A port of kind (SOCK_DGRAM or SOCK_STREAM) on 127.0.0.1 that was free a moment ago."""
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _addr(text):
    host, port = text.rsplit(":", 1)
    return host, int(port)


class Fault:
    """Harm done to the datagrams sent in [start, end) seconds of the file's
    schedule: Fault("from=10,to=20,drop=0.01") or Fault(start=10, end=20,
    drop=0.01); see the module text for the keys."""

    KEYS = {"from": "start", "to": "end", "pause": "pause", "drop": "drop", "dup": "dup",
            "garbage": "garbage", "truncate": "truncate", "stall": "stall", "burst": "burst",
            "fast": "fast", "reorder": "reorder"}

    def __init__(self, spec=None, start=0.0, end=None, pause=False, drop=0.0, dup=0.0,
                 garbage=0.0, truncate=0.0, stall=False, burst=None, fast=None, reorder=0.0):
        self.start, self.end, self.pause = start, end, pause
        self.drop, self.dup, self.garbage, self.truncate = drop, dup, garbage, truncate
        self.reorder = reorder
        self.stall, self.burst, self.fast = stall, burst, fast
        for item in filter(None, (x.strip() for x in (spec or "").split(","))):
            key, _, value = item.partition("=")
            if key not in self.KEYS or not value:
                raise ValueError("fault %r: %r is not one of %s=VALUE" % (spec, item, "/".join(self.KEYS)))
            setattr(self, self.KEYS[key], bool(int(value)) if key in ("pause", "stall") else float(value))
        for name in ("drop", "dup", "garbage", "truncate", "reorder"):
            if not 0.0 <= getattr(self, name) <= 1.0:
                raise ValueError("fault %r: %s must lie in [0, 1]" % (spec, name))
        if (self.stall or self.fast) and self.end is None:
            raise ValueError("fault %r: stall and fast need to=" % spec)
        if self.burst is not None and not (self.stall and self.burst > 1):
            raise ValueError("fault %r: burst=F goes with stall=1, F > 1" % spec)
        if self.fast is not None and not self.fast > 0:
            raise ValueError("fault %r: fast=X needs X > 0" % spec)

    def covers(self, t):
        return t >= self.start and (self.end is None or t < self.end)

    def due(self, t):
        """Schedule time at which a stalled source sends what is due at t."""
        if not self.stall or t < self.start:
            return t
        return max(t, self.end + ((t - self.start) / self.burst if self.burst else 0.0))

    def gained(self, t):
        """Schedule time a fast= clock has gained by schedule time t."""
        if not self.fast:
            return 0.0
        return max(0.0, min(t, self.end) - self.start) * (1 - 1 / self.fast)


def send(path, addr, speed=1.0, log=None, stop=None, faults=(), seed=1, record=None, rtp=False):
    """Sends the file at path to addr ("host:port") paced by its PCRs, doing
    the harm that faults (Fault objects or specs) describe; rtp: each
    datagram behind an RTP header. Returns counts: datagrams (of the file),
    sent (datagrams sent, garbage included), paused, dropped, duplicated,
    garbage, truncated, reordered, stalled (sent late by a stall), bytes
    (sent), late_ms (the most a datagram left after its time through no
    fault: this process was not scheduled in time)."""
    with open(path, "rb") as f:
        data = f.read()
    data = data[:len(data) - len(data) % TS]
    times = schedule(data)
    faults = [f if isinstance(f, Fault) else Fault(f) for f in faults]
    rng = random.Random(seed)
    counts = dict.fromkeys(("datagrams", "sent", "paused", "dropped", "duplicated", "garbage",
                            "truncated", "reordered", "stalled", "bytes", "late_ms"), 0)
    seq, ssrc = rng.randrange(1 << 16), rng.randrange(1 << 32)
    held = []  # datagrams held back (reorder=), each sent after the next one
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    target = _addr(addr)
    start = time.monotonic()
    out = open(log, "w") if log else None
    rec = open(record, "wb") if record else None
    sent_bytes = 0

    def put(datagram, off, header=b""):
        nonlocal sent_bytes
        sock.sendto(header + datagram, target)
        counts["sent"] += 1
        counts["bytes"] += len(datagram)
        if rec:
            rec.write(datagram)
        if out:
            out.write("%.6f %d\n" % (time.monotonic(), sent_bytes if rec else off))
        sent_bytes += len(datagram)

    try:
        for off in range(0, len(data), DATAGRAM):
            if stop is not None and stop.is_set():
                break
            t = times[off // TS]
            at = t
            for f in faults:
                at = f.due(at)
            counts["stalled"] += at > t
            due = start + (at - sum(f.gained(at) for f in faults)) / speed
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            else:
                counts["late_ms"] = max(counts["late_ms"], int(-wait * 1000))
            counts["datagrams"] += 1
            datagram = data[off:off + DATAGRAM]
            active = [f for f in faults if f.covers(t)]
            if any(f.pause for f in active):
                counts["paused"] += 1
                continue
            copies, hold = 1, False
            for f in active:
                if f.reorder and rng.random() < f.reorder:
                    hold = True
                if f.garbage and rng.random() < f.garbage:
                    put(rng.randbytes(rng.randint(1, 1500)), off)
                    counts["garbage"] += 1
                if f.drop and rng.random() < f.drop:
                    copies = 0
                if f.truncate and rng.random() < f.truncate and len(datagram) > 1:
                    cut = rng.randrange(1, len(datagram))
                    if cut % TS == 0:
                        cut -= 1
                    datagram = datagram[:cut]
                    counts["truncated"] += 1
                if f.dup and rng.random() < f.dup:
                    copies *= 2
            if copies == 0:
                counts["dropped"] += 1
            elif copies > 1:
                counts["duplicated"] += 1
            header = b""
            if rtp:
                # The sequence number counts the file's datagrams: a dropped one leaves its gap.
                header = struct.pack(">BBHII", 0x80, 33, seq, int(at * 90000) & 0xFFFFFFFF, ssrc)
                seq = (seq + 1) & 0xFFFF
            late, held = held, []
            if hold and copies:
                held = [(datagram, off, header)] * copies
                copies = 0
            for _ in range(copies):
                put(datagram, off, header)
            for d, o, h in late:
                put(d, o, h)
                counts["reordered"] += copies > 0  # after a later one (else in its place after all)
        for d, o, h in held:
            put(d, o, h)
    finally:
        sock.close()
        if out:
            out.close()
        if rec:
            rec.close()
    return counts


SO_TIMESTAMPNS = 35  # Linux: a struct timespec of CLOCK_REALTIME with each datagram


def arrival(anc):
    """A datagram's kernel arrival stamp (from recvmsg's ancillary data) on
    the monotonic clock; now when there is none."""
    now = time.monotonic()
    for level, kind, data in anc:
        if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(data) >= 16:
            sec, nsec = struct.unpack("qq", data[:16])
            # Never later than now: the two clocks are read a moment apart.
            return min(now, now - (time.time() - (sec + nsec * 1e-9)))
    return now


class Receiver(threading.Thread):
    """Records datagrams arriving on addr into path until stopped, or until
    seconds passed, or idle seconds without data once data has come."""

    def __init__(self, addr, path, seconds=None, idle=None, log=None):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.sock.bind(_addr(addr))
        self.sock.settimeout(0.1)
        # The kernel stamps each datagram as it arrives, so that the times
        # logged do not depend on when this thread is scheduled.
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.path = path
        self.seconds = seconds
        self.idle = idle
        self.log = log
        self.stopping = threading.Event()
        self.bytes = 0
        self.first = None

    def run(self):
        start = time.monotonic()
        last = None
        out = open(self.path, "wb")
        log = open(self.log, "w") if self.log else None
        try:
            while not self.stopping.is_set():
                now = time.monotonic()
                if self.seconds is not None and now - start > self.seconds:
                    break
                if self.idle is not None and last is not None and now - last > self.idle:
                    break
                try:
                    data, anc, _, _ = self.sock.recvmsg(65536, socket.CMSG_SPACE(16))
                except socket.timeout:
                    continue
                last = arrival(anc)
                if self.first is None:
                    self.first = last
                if log:
                    log.write("%.6f %d\n" % (last, self.bytes))
                out.write(data)
                self.bytes += len(data)
        finally:
            out.close()
            if log:
                log.close()
            self.sock.close()

    def stop(self, timeout=5):
        self.stopping.set()
        self.join(timeout)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="cmd", required=True)
    s = sub.add_parser("send")
    s.add_argument("file")
    s.add_argument("addr")
    s.add_argument("--speed", type=float, default=1.0)
    s.add_argument("--log")
    s.add_argument("--fault", action="append", default=[], type=Fault)
    s.add_argument("--seed", type=int, default=1)
    s.add_argument("--record")
    s.add_argument("--rtp", action="store_true")
    r = sub.add_parser("recv")
    r.add_argument("addr")
    r.add_argument("file")
    r.add_argument("--seconds", type=float)
    r.add_argument("--idle", type=float)
    r.add_argument("--log")
    a = ap.parse_args(argv)
    if a.cmd == "send":
        counts = send(a.file, a.addr, a.speed, a.log, faults=a.fault, seed=a.seed, record=a.record, rtp=a.rtp)
        if a.fault:
            print(" ".join("%s=%d" % kv for kv in counts.items()), file=sys.stderr)
    else:
        rec = Receiver(a.addr, a.file, a.seconds, a.idle, a.log)
        rec.start()
        try:
            while rec.is_alive():
                rec.join(0.2)
        except KeyboardInterrupt:
            rec.stop()
        print("%d bytes" % rec.bytes, file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
