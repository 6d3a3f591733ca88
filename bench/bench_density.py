#!/usr/bin/env python3
"""bench_density: how many 16 Mbit/s channels one host relays at once.

It generates one programme (1280x720, 16 Mbit/s video in a 20 Mbit/s
multiplex, --duration s, one announced break) and a filler, then relays N
copies of it at once over loopback UDP, first through N KestrowApp processes
(Release build, --mux-rate 20000000, the filler), then through N ffmpeg
relays paced by the library's own UDP output at the mux rate (the command
bench_live.py uses), each channel between a sender of its own paced by the
stream's PCRs and a receiver of its own (tools/kestrow_udp.py). All N senders
start together.

For each side it reports, over the N channels: the CPU seconds a channel
takes per stream second (mean and the busiest), the host's whole CPU busy
share while they ran (/proc/stat: senders and receivers included, which
load both sides alike), peak memory per relay (VmHWM), kernel drops at the
relays' inputs and at the receivers, programme packets lost outside the
break, PCR arrival jitter p99 and added latency p99 (the worst channel), and
the breaks spliced. From KestrowApp's CPU a channel it gives the channels
one core carries and what that projects for 16 cores, at 100 % and at 80 %
of the cores (headroom for the conform process and the system).

    python3 bench/bench_density.py [--build DIR] [--channels 8] [--duration 40] [--keep DIR]

DIR defaults to build-rel next to this folder (see bench_live.py). Every
process it starts is stopped before it returns. Exit status 0 when every
KestrowApp channel lost no packet and spliced its break, 1 otherwise, 2 when
a relay could not be run.
"""

import argparse
import os
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench_live as bl  # noqa: E402  (puts tools/ on the import path)
import kestrow_gen  # noqa: E402
from kestrow_udp import free_port  # noqa: E402

PROG = dict(size="1280x720", video_bitrate="16M", muxrate="20M")
MUX_RATE = 20000000
CORES_PROJECTED = 16


def host_busy():
    """(busy, total) jiffies of all CPUs from /proc/stat."""
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    idle = v[3] + (v[4] if len(v) > 4 else 0)
    return sum(v) - idle, sum(v)


def relay_cmd(kind, app, filler, src, dst, work, label):
    if kind == "KestrowApp":
        log = os.path.join(work, label + "_app.log")
        return [app, "--src-addr", "127.0.0.1:%d" % src, "--dst-addr", "127.0.0.1:%d" % dst, "--filler", filler,
                "--mux-rate", str(MUX_RATE), "--log-file-name", log,
                "--port", str(free_port(socket.SOCK_STREAM))], log
    return ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "warning",
            "-i", "udp://127.0.0.1:%d?fifo_size=2000000&overrun_nonfatal=1" % src,
            "-map", "0", "-c", "copy", "-copyts", "-f", "mpegts", "-muxrate", str(MUX_RATE),
            "udp://127.0.0.1:%d?pkt_size=1316&bitrate=%d&fifo_size=2000000" % (dst, MUX_RATE)], None


def start(cmd, err_path, procs, files):
    err = open(err_path, "w")
    files.append(err)
    p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
    procs.append(p)
    return p


def wait_log(log, text, timeout=15):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            with open(log, errors="replace") as f:
                if text in f.read():
                    return True
        except FileNotFoundError:
            pass
        time.sleep(0.05)
    return False


def relay_all(kind, app, prog, filler, n, work):
    """N channels of kind at once; the figures of each (as bench_live.relay_once gives them) and the host's."""
    procs, files, chans = [], [], []
    try:
        for i in range(n):
            label = "%s%d" % (kind, i)
            src, dst = free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_DGRAM)
            c = {"name": "d_" + label, "src": src, "dst": dst, "out": os.path.join(work, label + ".out.ts"),
                 "recv_log": os.path.join(work, label + ".recv.log"),
                 "send_log": os.path.join(work, label + ".send.log")}
            c["receiver"] = start(bl.UDP_PY + ["recv", "127.0.0.1:%d" % dst, c["out"], "--log", c["recv_log"]],
                                  os.path.join(work, label + ".recv.stderr"), procs, files)
            if not bl.wait_bound(dst, c["receiver"]):
                raise RuntimeError("receiver %d did not start" % i)
            cmd, c["log"] = relay_cmd(kind, app, filler, src, dst, work, label)
            c["relay"] = start(cmd, os.path.join(work, label + ".stderr"), procs, files)
            if not bl.wait_bound(src, c["relay"]):
                raise RuntimeError("%s %d did not open its input" % (kind, i))
            if c["log"]:
                wait_log(c["log"], "avformat_open_input(")
            chans.append(c)
        time.sleep(0.5)
        busy0, total0 = host_busy()
        cpu0 = [bl.proc_usage(c["relay"].pid)[0] for c in chans]
        for i, c in enumerate(chans):
            c["sender"] = start(bl.UDP_PY + ["send", prog, "127.0.0.1:%d" % c["src"], "--log", c["send_log"]],
                                os.path.join(work, "%s%d.send.stderr" % (kind, i)), procs, files)
        t0 = time.monotonic()
        while any(c["sender"].poll() is None for c in chans):
            if time.monotonic() - t0 > 900:
                raise RuntimeError("senders did not finish")
            time.sleep(0.2)
        busy1, total1 = host_busy()
        time.sleep(bl.SETTLE)
        drops = bl.udp_sockets()
        for c, base in zip(chans, cpu0):
            if c["sender"].returncode != 0:
                raise RuntimeError("a sender failed")
            if c["relay"].poll() is not None:
                raise RuntimeError("%s %s ended early" % (kind, c["name"]))
            cpu, c["hwm"], c["vsize"], c["threads"] = bl.proc_usage(c["relay"].pid)
            c["cpu"] = cpu - base
            c["drops_in"], c["drops_recv"] = drops.get(c["src"], 0), drops.get(c["dst"], 0)
            c["drop_events"] = []
        for c in chans:
            c["t_stop"] = time.monotonic()
            c["status"] = bl.end_process(c["relay"], (signal.SIGINT,) if kind == "KestrowApp"
                                         else (signal.SIGINT, signal.SIGINT))
        time.sleep(1.5)
        for c in chans:
            bl.end_process(c["receiver"])
            send_t, _ = bl.read_log(c["send_log"])
            c["sent_seconds"] = send_t[-1] - send_t[0]
            if c["log"]:
                with open(c["log"], errors="replace") as f:
                    c["splices"] = f.read().count("Splicing started")
        host = (busy1 - busy0) / max(1, total1 - total0)
        return chans, host
    finally:
        for p in reversed(procs):
            bl.end_process(p, timeout=3)
        for f in files:
            f.close()


def summary(kind, chans, host, refs, prog):
    for c in chans:
        bl.analyse(c, prog, refs[1], refs[0])
    cpu = [c["cpu"] / c["sent_seconds"] for c in chans]
    return {
        "kind": kind, "n": len(chans), "cpu_mean": sum(cpu) / len(cpu), "cpu_max": max(cpu), "host": host,
        "hwm_max": max(c["hwm"] for c in chans) / bl.MIB, "hwm_mean": sum(c["hwm"] for c in chans) / len(chans) / bl.MIB,
        "drops": (sum(c["drops_in"] for c in chans), sum(c["drops_recv"] for c in chans)),
        "lost": sum(s["lost"] for c in chans for s in c["pids"].values()),
        "jitter_p99": max(c["jitter_p99"] for c in chans), "lat_p99": max(c["lat_p99"] for c in chans),
        "lat_median": max(c["lat_median"] for c in chans),
        "splices": sum(c.get("splices", 0) for c in chans), "cc": sum(c["cc_errors"] or 0 for c in chans),
    }


def report(rows, n, took):
    print()
    print("== %d channels of 16 Mbit/s (720p, 20 Mbit/s mux) at once on %d cores ==" % (n, os.cpu_count()))
    print("%-11s %9s %9s %7s %9s %9s %11s %5s %11s %11s %8s %7s" % (
        "relays", "cpu/ch", "cpu max", "host", "peak MiB", "mean MiB", "drops i/r", "lost", "jitter p99",
        "lat p99", "splices", "cc err"))
    for r in rows:
        print("%-11s %9.4f %9.4f %6.0f%% %9.1f %9.1f %11s %5d %9.2f ms %9.3f s %8s %7d" % (
            r["kind"], r["cpu_mean"], r["cpu_max"], r["host"] * 100, r["hwm_max"], r["hwm_mean"],
            "%d/%d" % r["drops"], r["lost"], r["jitter_p99"] * 1e3, r["lat_p99"],
            "%d/%d" % (r["splices"], n) if r["kind"] == "KestrowApp" else "-", r["cc"]))
    app, ff = rows
    print("cpu a channel KestrowApp/ffmpeg  %.3f" % (app["cpu_mean"] / ff["cpu_mean"]))
    per_core = 1 / app["cpu_mean"]
    print("KestrowApp channels a core: %.1f (from the mean), %.1f (from the busiest channel)" % (
        per_core, 1 / app["cpu_max"]))
    print("projected for %d cores: %.0f channels at 100 %%, %.0f at 80 %%; ffmpeg relays: %.0f at 80 %%" % (
        CORES_PROJECTED, CORES_PROJECTED * per_core, 0.8 * CORES_PROJECTED * per_core,
        0.8 * CORES_PROJECTED / ff["cpu_mean"]))
    print("bench took %.0f s" % took)
    return 0 if app["lost"] == 0 and app["splices"] == n else 1


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(bl.ROOT, "build-rel"))
    ap.add_argument("--channels", type=int, default=8)
    ap.add_argument("--duration", type=float, default=40)
    ap.add_argument("--keep", help="work in this folder and keep its files")
    a = ap.parse_args(argv)
    app = bl.service_of(a.build, "bench_density")
    if not app:
        return 2
    work, tmp = bl.work_folder(a.keep, "kestrow-bench-density-")
    try:
        t_all = time.monotonic()
        prog, filler = os.path.join(work, "prog.ts"), os.path.join(work, "filler.ts")
        cue = "at=%g,dur=%g" % (a.duration / 2, min(8.0, a.duration / 4))
        kestrow_gen.generate(prog, duration=a.duration, cues=[cue], **PROG)
        kestrow_gen.generate(filler, filler=True, duration=12, **PROG)
        print("generated %.0f MiB programme in %.0f s" % (os.path.getsize(prog) / bl.MIB, time.monotonic() - t_all),
              flush=True)
        refs = bl.references(prog, filler)
        rows = []
        for kind in ("KestrowApp", "ffmpeg"):
            chans, host = relay_all(kind, app, prog, filler, a.channels, work)
            print("%d %s relays ran" % (a.channels, kind), flush=True)
            rows.append(summary(kind, chans, host, refs, prog))
        return report(rows, a.channels, time.monotonic() - t_all)
    except RuntimeError as e:
        print("bench_density: %s" % e, file=sys.stderr)
        return 2
    finally:
        if tmp:
            tmp.cleanup()


if __name__ == "__main__":
    sys.exit(main())
