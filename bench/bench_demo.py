#!/usr/bin/env python3
"""bench_demo: KestrowDemo against `ffmpeg -c copy` on the same recording.

Generates a 60 s programme of about 16 Mbit/s (720p H.264 at a constant
16 Mbit/s, AAC and MP2, 20 Mbit/s mux rate) with two announced breaks (10 s
at 15 s, 8 s at 40 s) and a 12 s filler of the same size and rate, then runs,
alternately, `KestrowDemo IN OUT FILLER` and the ffmpeg command line that uses
the demo's own muxer settings:

    ffmpeg -copyts -i IN -map 0:v -map 0:a -c copy -f mpegts -mpegts_copyts 1
           -muxrate 20000000 -max_delay 900000 -pes_payload_size 0
           -flush_packets 0 OUT

and reports, per program, the median CPU seconds (user + system of the
child, from wait4's rusage) over the runs, the ratio demo/ffmpeg (target
<= 1.00: at most the CPU of the copy), the peak resident set (ru_maxrss;
target for the demo: filler file size + 64 MiB) and whether the demo
spliced both breaks ("Splicing started" twice on its standard output).
One unrecorded run of each comes first (page cache). Outputs are removed before each run so that no
run pays for truncating the previous one's file.

    python3 bench/bench_demo.py [--build DIR] [--runs N] [--keep DIR]

DIR defaults to build-rel next to this folder (a Release build: cmake -S .
-B build-rel -DCMAKE_BUILD_TYPE=Release -DKESTROW_TESTS=OFF). Exit status 0
when every target is met, 1 otherwise, 2 when a program failed.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tools"))
import kestrow_gen  # noqa: E402

MIB = 1 << 20
RATIO_TARGET = 1.00
MEM_SLACK = 64 * MIB

PROGRAMME = dict(duration=60, size="1280x720", video_bitrate="16M", muxrate="20M",
                 cues=["at=15,dur=10", "at=40,dur=8"])
FILLER = dict(filler=True, duration=12, size="1280x720", video_bitrate="16M", muxrate="20M")


def ffmpeg_command(src, dst):
    return ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y",
            "-copyts", "-i", src, "-map", "0:v", "-map", "0:a", "-c", "copy",
            "-f", "mpegts", "-mpegts_copyts", "1", "-muxrate", "20000000",
            "-max_delay", "900000", "-pes_payload_size", "0", "-flush_packets", "0", dst]


def timed(cmd, stdout_path, stderr_path):
    """Runs cmd to the end; returns (exit status, cpu seconds, peak RSS bytes, wall seconds)."""
    with open(stdout_path, "wb") as out, open(stderr_path, "wb") as err:
        t0 = time.monotonic()
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        try:
            _, status, ru = os.wait4(proc.pid, 0)
        except BaseException:
            proc.kill()
            proc.wait()
            raise
        wall = time.monotonic() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, ru.ru_utime + ru.ru_stime, ru.ru_maxrss * 1024, wall


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(ROOT, "build-rel"))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--keep", help="work in this folder and keep its files")
    a = ap.parse_args(argv)

    demo = os.path.join(a.build, "demo", "KestrowDemo")
    if not os.access(demo, os.X_OK):
        print("bench_demo: no %s; build it first (see --help)" % demo, file=sys.stderr)
        return 2
    if a.keep:
        os.makedirs(a.keep, exist_ok=True)
        work, tmp = a.keep, None
    else:
        tmp = tempfile.TemporaryDirectory(prefix="kestrow-bench-demo-")
        work = tmp.name
    try:
        return run(demo, work, a.runs)
    finally:
        if tmp:
            tmp.cleanup()


def run(demo, work, runs):
    prog = os.path.join(work, "big.ts")
    filler = os.path.join(work, "filler.ts")
    t0 = time.monotonic()
    kestrow_gen.generate(prog, **PROGRAMME)
    kestrow_gen.generate(filler, **FILLER)
    print("generated %s (%.1f MiB) and %s (%.1f MiB) in %.0f s" % (
        os.path.basename(prog), os.path.getsize(prog) / MIB, os.path.basename(filler),
        os.path.getsize(filler) / MIB, time.monotonic() - t0))

    cmds = {
        "KestrowDemo": lambda out: [demo, prog, out, filler],
        "ffmpeg": lambda out: ffmpeg_command(prog, out),
    }
    cpu = {k: [] for k in cmds}
    rss = {k: [] for k in cmds}
    wall = {k: [] for k in cmds}
    spliced = []
    failed = False
    # One unrecorded run of each first, so that every recorded run finds the
    # input in the page cache.
    for n in range(-1, runs):
        order = list(cmds) if n % 2 == 0 else list(reversed(cmds))
        for name in order:
            out = os.path.join(work, name + ".out.ts")
            if os.path.exists(out):
                os.unlink(out)
            so, se = os.path.join(work, name + ".stdout"), os.path.join(work, name + ".stderr")
            rc, c, m, w = timed(cmds[name](out), so, se)
            if rc != 0:
                print("%s run %d: exit status %d; see %s" % (name, n + 1, rc, se), file=sys.stderr)
                failed = True
            if n < 0:
                continue
            cpu[name].append(c)
            rss[name].append(m)
            wall[name].append(w)
            if name == "KestrowDemo":
                with open(so, errors="replace") as f:
                    spliced.append(f.read().count("Splicing started"))
    if failed:
        return 2

    med = {k: statistics.median(v) for k, v in cpu.items()}
    peak = {k: max(v) for k, v in rss.items()}
    ratio = med["KestrowDemo"] / med["ffmpeg"]
    mem_target = os.path.getsize(filler) + MEM_SLACK
    print()
    print("%-12s %10s %10s %10s %12s" % ("program", "cpu med s", "cpu min s", "wall med s", "peak RSS MiB"))
    for k in cmds:
        print("%-12s %10.3f %10.3f %10.3f %12.1f" % (k, med[k], min(cpu[k]), statistics.median(wall[k]),
                                                     peak[k] / MIB))
    print()
    ok_ratio = ratio <= RATIO_TARGET
    ok_mem = peak["KestrowDemo"] <= mem_target
    ok_splice = all(s == 2 for s in spliced)
    print("cpu ratio demo/ffmpeg   %.3f   (target <= %.2f)  %s" % (ratio, RATIO_TARGET, "ok" if ok_ratio else "MISSED"))
    print("demo peak RSS           %.1f MiB (target <= filler %.1f MiB + 64 MiB = %.1f MiB)  %s" % (
        peak["KestrowDemo"] / MIB, os.path.getsize(filler) / MIB, mem_target / MIB, "ok" if ok_mem else "MISSED"))
    print("breaks spliced per run  %s  (want 2 each)  %s" % (
        ",".join(map(str, spliced)), "ok" if ok_splice else "MISSED"))
    print("cpu seconds per run: " + "; ".join("%s %s" % (k, " ".join("%.3f" % c for c in cpu[k])) for k in cmds))
    return 0 if ok_ratio and ok_mem and ok_splice else 1


if __name__ == "__main__":
    sys.exit(main())
