#!/usr/bin/env python3
"""bench_srt: the CPU of an SRT channel against a plain UDP one, live on loopback.

It generates a programme at 16 Mbit/s (720p, 20 Mbit/s mux rate, a 10 s
break at 15 s; the same kind as bench_live.py's) and a 12 s filler, and
relays it through KestrowApp (Release build) three times, one after the
other, each sent in real time by tools/kestrow_udp.py send (paced by its
PCRs) and recorded by kestrow_udp.py recv:

  udp        --src-addr=127.0.0.1:A --dst-addr=127.0.0.1:B
  srt        --src-addr=srt://:A?latency=120 (a listener) and
             --dst-addr=srt://127.0.0.1:C?latency=120 (a caller), with
             srt-live-transmit in front (udp://:S to srt://127.0.0.1:A) and
             behind (srt://:C?mode=listener to udp://127.0.0.1:B)
  srt-aes256 the same, encrypted both ways (passphrase, pbkeylen=32)

Two seconds after the last datagram it reads KestrowApp's CPU time
(/proc/PID/stat utime + stime) and that of each of its threads, then stops
everything. It prints, per case, CPU seconds per second of stream, the ratio
to the udp case measured in the same run, the CPU of the SRT threads
(srt-in, srt-out; libsrt's own threads are named SRT:*), the bytes recorded
against the udp case's, the breaks spliced, and the srt-live-transmit
peers' CPU for scale. Each number is the median of --runs runs (3).

    python3 bench/bench_srt.py [--build DIR] [--duration 30] [--runs 3] [--keep DIR]

DIR defaults to build-rel next to this folder. Exit status 0, or 2 when a
relay could not be run. Every process it starts is stopped before it returns.
"""
import argparse
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench_live  # noqa: E402
from bench_live import end_process, free_port, kestrow_gen, proc_usage, read_log, stat_cpu, wait_bound  # noqa: E402

SECRET = "bench-srt-secret-words"
SETTLE = 2.0


def thread_cpu(pid):
    """{thread name: cpu seconds} of a running process (threads of one name summed)."""
    out = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                name = f.read().strip()
            out[name] = out.get(name, 0.0) + stat_cpu("/proc/%d/task/%s/stat" % (pid, tid))
        except OSError:
            pass
    return out


def relay(app, case, prog, filler, mux_rate, work, run):
    """One relay of prog through KestrowApp in case (udp, srt, srt-aes256); its figures."""
    label = "%s_%d" % (case, run)
    a, b, c, s = (free_port(socket.SOCK_DGRAM) for _ in range(4))
    enc = "&passphrase=%s&pbkeylen=32" % SECRET if case == "srt-aes256" else ""
    if case == "udp":
        src, dst, feed = "127.0.0.1:%d" % a, "127.0.0.1:%d" % b, a
    else:
        src, dst, feed = "srt://:%d?latency=120%s" % (a, enc), "srt://127.0.0.1:%d?latency=120%s" % (c, enc), s
    log = os.path.join(work, label + "_app.log")
    out = os.path.join(work, label + ".out.ts")
    procs, files = [], []

    def start(name, argv):
        err = open(os.path.join(work, "%s_%s.stderr" % (label, name)), "w")
        files.append(err)
        p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        procs.append(p)
        return p

    try:
        receiver = start("recv", bench_live.UDP_PY + ["recv", "127.0.0.1:%d" % b, out])
        if not wait_bound(b, receiver):
            raise RuntimeError("receiver did not start")
        svc = start("app", [app, "--src-addr", src, "--dst-addr", dst, "--filler", filler,
                            "--mux-rate", str(mux_rate), "--log-file-name", log,
                            "--port", str(free_port(socket.SOCK_STREAM))])
        if not wait_bound(a, svc):
            raise RuntimeError("KestrowApp did not open its input; see %s" % log)
        peers = []
        if case != "udp":
            peers.append(start("behind", ["srt-live-transmit", "-q", "srt://:%d?mode=listener&latency=120%s"
                                          % (c, enc), "udp://127.0.0.1:%d" % b]))
            peers.append(start("front", ["srt-live-transmit", "-q", "udp://127.0.0.1:%d" % s,
                                         "srt://127.0.0.1:%d?latency=120%s" % (a, enc)]))
            if not wait_bound(s, peers[-1]):
                raise RuntimeError("srt-live-transmit did not start")
        time.sleep(1.0)
        send_log = os.path.join(work, label + ".send.log")
        sender = start("send", bench_live.UDP_PY + ["send", prog, "127.0.0.1:%d" % feed, "--log", send_log])
        if sender.wait(600) != 0:
            raise RuntimeError("sender failed")
        time.sleep(SETTLE)
        if svc.poll() is not None:
            raise RuntimeError("KestrowApp ended early; see %s" % log)
        cpu = proc_usage(svc.pid)[0]
        threads = thread_cpu(svc.pid)
        peer_cpu = sum(stat_cpu("/proc/%d/stat" % p.pid) for p in peers)
        end_process(svc)
        time.sleep(1.0)
        for p in peers:
            end_process(p)
        end_process(receiver)
        times, _ = read_log(send_log)
        with open(log, errors="replace") as f:
            text = f.read()
        return {"cpu": cpu, "seconds": times[-1] - times[0], "bytes": os.path.getsize(out),
                "srt_threads": sum(v for k, v in threads.items() if k.startswith(("srt-", "SRT:"))),
                "threads": threads, "peers": peer_cpu, "splices": text.count("Splicing started"),
                "sessions": text.count("Entering main loop")}
    finally:
        for p in reversed(procs):
            end_process(p, timeout=3)
        for f in files:
            f.close()


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(os.path.dirname(HERE), "build-rel"))
    ap.add_argument("--duration", type=float, default=30)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--keep")
    a = ap.parse_args(argv)
    app = os.path.join(a.build, "service", "KestrowApp")
    if not os.access(app, os.X_OK):
        print("bench_srt: no %s (build it first)" % app, file=sys.stderr)
        return 2
    tmp = None if a.keep else tempfile.TemporaryDirectory(prefix="bench-srt-")
    work = a.keep or tmp.name
    os.makedirs(work, exist_ok=True)
    cfg = bench_live.RATES[16]
    prog, filler = os.path.join(work, "prog.ts"), os.path.join(work, "filler.ts")
    kestrow_gen.generate(prog, duration=a.duration, size=cfg["size"], video_bitrate=cfg["video_bitrate"],
                         muxrate=cfg["muxrate"], cues=["at=15,dur=10"])
    kestrow_gen.generate(filler, filler=True, duration=12, size=cfg["size"], video_bitrate=cfg["video_bitrate"],
                         muxrate=cfg["muxrate"])
    cases = ("udp", "srt", "srt-aes256")
    results = {c: [] for c in cases}
    try:
        for run in range(a.runs):  # interleaved, so that the machine's load falls on every case alike
            for case in cases:
                results[case].append(relay(app, case, prog, filler, cfg["mux_rate"], work, run))
                print("%s run %d: %.4f cpu s/s" % (case, run, results[case][-1]["cpu"] / results[case][-1]["seconds"]),
                      flush=True)
    except RuntimeError as e:
        print("bench_srt: %s" % e, file=sys.stderr)
        return 2
    finally:
        if tmp:
            tmp.cleanup()

    def med(case, key, per_second=False):
        return statistics.median(r[key] / (r["seconds"] if per_second else 1) for r in results[case])

    base = med("udp", "cpu", True)
    print("\n%-11s %10s %8s %14s %10s %8s %12s" % ("case", "cpu s/s", "ratio", "srt threads s/s", "bytes out",
                                                 "breaks", "peers s/s"))
    for case in cases:
        print("%-11s %10.4f %8.3f %14.4f %10.3f %8s %12.4f" % (
            case, med(case, "cpu", True), med(case, "cpu", True) / base, med(case, "srt_threads", True),
            med(case, "bytes") / med("udp", "bytes"), "%d/1" % min(r["splices"] for r in results[case]),
            med(case, "peers", True)))
    print("\nSRT channel / UDP channel CPU ratio: %.3f (AES-256: %.3f)" % (
        med("srt", "cpu", True) / base, med("srt-aes256", "cpu", True) / base))
    return 0


if __name__ == "__main__":
    sys.exit(main())
