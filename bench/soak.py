#!/usr/bin/env python3
"""Soak: KestrowApp relaying a 40 Mbit/s programme in real time for ten
minutes with a break every minute, its memory sampled all along.

    python3 bench/soak.py [--minutes 10] [--build build-rel] [--keep DIR]

The programme is made of one-minute pieces generated with continuous
timestamps (each with a cue for a 10 s break at 30 s) and sent back to back
by a PCR-paced sender. Every 5 s the service's VmRSS is read from /proc. The
script prints the samples, the peak against the filler's size + 64 MiB, and
the growth from the first break to the end, which must stay under 1 MiB
(memory flat). Loopback only; every process it starts is stopped.
"""
import argparse
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "tools"))
import kestrow_gen  # noqa: E402
import kestrow_udp  # noqa: E402
from kestrow_udp import free_port  # noqa: E402

TICKS = 90000
PIECE = 60  # seconds per generated piece


def vm(pid, key):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])  # kB
    except OSError:
        pass
    return None


def make_pieces(workdir, minutes):
    """One-minute pieces whose timestamps follow each other."""
    paths = []
    start = 10 * TICKS
    for n in range(minutes):
        path = os.path.join(workdir, "piece%02d.ts" % n)
        kestrow_gen.generate(path, duration=PIECE, size="640x360", video_bitrate="36M", muxrate="42M",
                             start_pts=start + n * PIECE * TICKS, cues=["at=30,dur=10,lead=3,id=%d" % (n + 1)])
        paths.append(path)
    return paths


def send_pieces(paths, addr, stop):
    """Sends the pieces back to back, each paced by its own PCRs, the next
    loaded while the current one is sent."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    target = kestrow_udp._addr(addr)
    loaded = {}

    def load(i):
        with open(paths[i], "rb") as f:
            data = f.read()
        data = data[:len(data) - len(data) % kestrow_udp.TS]
        loaded[i] = (data, kestrow_udp.schedule(data))

    load(0)
    t0 = time.monotonic()
    for i in range(len(paths)):
        loader = None
        if i + 1 < len(paths):
            loader = threading.Thread(target=load, args=(i + 1,))
            loader.start()
        data, times = loaded.pop(i)
        for off in range(0, len(data), kestrow_udp.DATAGRAM):
            if stop.is_set():
                return
            wait = t0 + times[off // kestrow_udp.TS] - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            sock.sendto(data[off:off + kestrow_udp.DATAGRAM], target)
        t0 += times[-1] + (times[-1] / max(1, len(times)))
        if loader:
            loader.join()
    sock.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--minutes", type=int, default=10)
    ap.add_argument("--build", default=os.path.join(TOP, "build-rel"))
    ap.add_argument("--keep")
    a = ap.parse_args()
    os.environ.setdefault("KESTROW_TOOLS_BIN", os.path.join(a.build, "tools"))
    tmp = None if a.keep else tempfile.TemporaryDirectory(prefix="kestrow-soak-")
    work = a.keep or tmp.name
    os.makedirs(work, exist_ok=True)

    print("generating %d one-minute pieces at ~40 Mbit/s ..." % a.minutes, flush=True)
    pieces = make_pieces(work, a.minutes)
    filler = os.path.join(work, "filler.ts")
    kestrow_gen.generate(filler, filler=True, duration=12, size="640x360", video_bitrate="36M", muxrate="42M")

    src = "127.0.0.1:%d" % free_port(socket.SOCK_DGRAM)
    dst = "127.0.0.1:%d" % free_port(socket.SOCK_DGRAM)
    log = os.path.join(work, "soak.log")
    receiver = kestrow_udp.Receiver(dst, os.devnull)
    receiver.start()
    app = subprocess.Popen([os.path.join(a.build, "service", "KestrowApp"), "--src-addr", src, "--dst-addr", dst,
                            "--filler", filler, "--log-file-name", log, "--mux-rate", "45000000",
                            "--port", str(free_port(socket.SOCK_STREAM))],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    stop = threading.Event()
    samples = []
    try:
        time.sleep(1)
        sender = threading.Thread(target=send_pieces, args=(pieces, src, stop))
        t0 = time.monotonic()
        sender.start()
        while sender.is_alive():
            sender.join(5)
            samples.append((time.monotonic() - t0, vm(app.pid, "VmRSS"), vm(app.pid, "VmHWM")))
            print("%6.0f s  VmRSS %8d kB  VmHWM %8d kB" % samples[-1], flush=True)
        time.sleep(2)
        text = open(log, errors="replace").read()
    finally:
        stop.set()
        app.send_signal(signal.SIGTERM)
        try:
            rc = app.wait(timeout=10)
        except subprocess.TimeoutExpired:
            app.kill()
            rc = None
        receiver.stop()
    breaks = text.count("Splicing started")
    first_break = 30 + 3  # the first break starts 30 s in, a few seconds after probing
    after = [s for s in samples if s[0] >= first_break + 10]
    growth = (after[-1][1] - after[0][1]) if len(after) > 1 else None
    peak = max(s[2] for s in samples if s[2])
    limit = os.path.getsize(filler) // 1024 + 64 * 1024
    print("\nbreaks spliced: %d of %d; exit status %s" % (breaks, a.minutes, rc))
    print("peak VmHWM: %d kB (target <= filler %d kB + 64 MiB = %d kB: %s)" % (
        peak, os.path.getsize(filler) // 1024, limit, "ok" if peak <= limit else "MISSED"))
    if growth is not None:
        print("VmRSS growth from %.0f s to the end: %d kB (target < 1024 kB: %s)" % (
            after[0][0], growth, "ok" if growth < 1024 else "MISSED"))
    met = peak <= limit and growth is not None and growth < 1024
    if tmp:
        tmp.cleanup()
    return 0 if rc == 0 and breaks == a.minutes and met else 1


if __name__ == "__main__":
    sys.exit(main())
