#!/usr/bin/env python3
"""kestrow_udp: send an MPEG-TS file over UDP in real time, or record a UDP
stream to a file; for tests, benchmarks and the quick start, on loopback.

    kestrow_udp.py send FILE HOST:PORT [--speed X] [--log TIMES]
    kestrow_udp.py recv HOST:PORT FILE [--seconds N] [--idle S] [--log TIMES]

send: datagrams of 7 TS packets (1316 bytes), each sent at the time its
packets' PCR says (linear between PCRs of the PCR PID, so that the rate is
even and nothing is sent in bursts); the bytes are sent exactly as they are
in the file. recv: writes every datagram to FILE as it arrives, until N
seconds have passed or nothing arrived for S seconds (once something has).
--log writes, per datagram, its arrival or sending time (monotonic clock,
seconds) and its byte offset in the stream: the benchmark reads the latency
from two such logs.

As a module: send(path, addr, ...), Receiver(addr, path, ...) (a thread).
"""

import argparse
import socket
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
    of the first PID that carries one (wraps of the 33-bit base unfolded)."""
    n = len(data) // TS
    points = []  # (packet index, time in seconds)
    pcr_pid = None
    last = None
    offset = 0
    for i in range(n):
        p = data[i * TS:(i + 1) * TS]
        pid = (p[1] & 0x1F) << 8 | p[2]
        if pcr_pid is not None and pid != pcr_pid:
            continue
        v = _pcr(p)
        if v is None:
            continue
        pcr_pid = pid
        if last is not None and v + offset < last - PCR_HZ * 3600:
            offset += (1 << 33) * 300
        v += offset
        last = v
        points.append((i, v / PCR_HZ))
    if len(points) < 2:
        return [0.0] * n
    t0 = points[0][1]
    times = [0.0] * n
    for (i0, a), (i1, b) in zip(points, points[1:]):
        for i in range(i0, i1):
            times[i] = (a - t0) + (b - a) * (i - i0) / (i1 - i0)
    rate = (points[-1][1] - points[0][1]) / (points[-1][0] - points[0][0])
    for i in range(points[-1][0], n):
        times[i] = points[-1][1] - t0 + rate * (i - points[-1][0])
    return times


def _addr(text):
    host, port = text.rsplit(":", 1)
    return host, int(port)


def send(path, addr, speed=1.0, log=None, stop=None):
    """Sends the file at path to addr ("host:port") paced by its PCRs."""
    with open(path, "rb") as f:
        data = f.read()
    data = data[:len(data) - len(data) % TS]
    times = schedule(data)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    target = _addr(addr)
    start = time.monotonic()
    out = open(log, "w") if log else None
    try:
        for off in range(0, len(data), DATAGRAM):
            if stop is not None and stop.is_set():
                break
            due = start + times[off // TS] / speed
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            sock.sendto(data[off:off + DATAGRAM], target)
            if out:
                out.write("%.6f %d\n" % (time.monotonic(), off))
    finally:
        sock.close()
        if out:
            out.close()


class Receiver(threading.Thread):
    """Records datagrams arriving on addr into path until stopped, or until
    seconds passed, or idle seconds without data once data has come."""

    def __init__(self, addr, path, seconds=None, idle=None, log=None):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.sock.bind(_addr(addr))
        self.sock.settimeout(0.1)
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
                    data = self.sock.recv(65536)
                except socket.timeout:
                    continue
                last = time.monotonic()
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
    r = sub.add_parser("recv")
    r.add_argument("addr")
    r.add_argument("file")
    r.add_argument("--seconds", type=float)
    r.add_argument("--idle", type=float)
    r.add_argument("--log")
    a = ap.parse_args(argv)
    if a.cmd == "send":
        send(a.file, a.addr, a.speed, a.log)
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
