#!/usr/bin/env python3
"""bench_reencode: the cost and quality of conditioning one splice point.

For each codec (H.264, HEVC, MPEG-2), GOP (1, 2 and 4 s at 25 Hz) and with
and without B-frames, generates a 720p programme of three GOPs
(tools/kestrow_gen.py, ultrafast/fixed GOP as the tests use) and runs
kestrow_reencode_point on it for two points after its second key frame:

- a return one frame after the key frame: the pictures from there to the
  next key frame are re-encoded (the most a return costs, a whole GOP less
  one picture);
- an out point in mid-GOP on an anchor picture: the B-pictures before it
  reference it and are re-encoded (none without B-frames: the row says so).

Reports per row the pictures re-encoded, the CPU seconds (user + system of
the decoding and encoding) and wall seconds, the wall time as a share of the
GOP's duration (the return's work is paid while the break runs, so it must
stay well below the break; below 100 % it is done before the next GOP would
be due), the re-encoded pictures' PSNR against the programme's own decode
(lowest and mean; target >= 38 dB), and the run's size against the pictures
it replaces.

    python3 bench/bench_reencode.py [--build DIR] [--size WxH] [--keep DIR]

With --keep DIR the programmes are kept there and reused by the next run.
DIR defaults to build-rel (cmake -S . -B build-rel -DCMAKE_BUILD_TYPE=Release
-DKESTROW_TESTS=OFF). Exit status 0 when every row meets the PSNR target, 1
otherwise, 2 when a program failed.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

CODECS = [("h264", "H.264"), ("hevc", "HEVC"), ("mpeg2", "MPEG-2")]
GOPS = [1, 2, 4]
FPS = 25


def run_point(tool, ts, side, offset):
    p = subprocess.run([tool, ts, side, str(offset)], capture_output=True, text=True, timeout=600)
    if p.returncode != 0:
        return None, p.stderr.strip()
    return dict(kv.split("=") for kv in p.stdout.split()), ""


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build-rel"))
    ap.add_argument("--size", default="1280x720")
    ap.add_argument("--keep")
    a = ap.parse_args()
    tool = os.path.join(a.build, "bench", "kestrow_reencode_point")
    if not os.access(tool, os.X_OK):
        print("no %s: build first" % tool, file=sys.stderr)
        return 2
    work = a.keep or tempfile.mkdtemp(prefix="kestrow-bench-reencode-")
    os.makedirs(work, exist_ok=True)
    head = "%-7s %4s %2s %-6s %6s %7s %7s %7s %8s %8s %6s" % (
        "codec", "GOP", "B", "point", "pics", "cpu s", "wall s", "wall/GOP", "PSNR min", "PSNR avg", "size")
    print(head)
    print("-" * len(head))
    status = 0
    try:
        for codec, name in CODECS:
            for gop_s in GOPS:
                for bf in (0, 2):
                    gop = gop_s * FPS
                    ts = os.path.join(work, "%s_%ds_b%d.ts" % (codec, gop_s, bf))
                    gen = [sys.executable, os.path.join(ROOT, "tools", "kestrow_gen.py"), ts,
                           "--video-codec", codec, "--gop", str(gop), "--bframes", str(bf),
                           "--size", a.size, "--audio", "none", "--duration", str(3 * gop_s + 1)]
                    if not os.path.exists(ts) and subprocess.run(gen, capture_output=True).returncode != 0:
                        print("cannot generate %s" % ts, file=sys.stderr)
                        return 2
                    # The out point on an anchor in mid-GOP: with B-frames the two before it are re-encoded.
                    for side, offset in (("in", 1), ("out", gop // 2 // 3 * 3)):
                        m, why = run_point(tool, ts, side, offset)
                        label = "%-7s %3ds %2d %-6s" % (name, gop_s, bf, "return" if side == "in" else "out")
                        if m is None:
                            print("%s %s" % (label, why or "failed"))
                            if side == "in":
                                status = 1
                            continue
                        ok = float(m["psnr_min"]) >= 38.0
                        status = status if ok else 1
                        print("%s %6s %7.2f %7.2f %7.0f%% %8.2f %8.2f %5.0f%%%s" % (
                            label, m["reencoded"], float(m["cpu"]), float(m["wall"]),
                            100.0 * float(m["wall"]) / gop_s, float(m["psnr_min"]), float(m["psnr_avg"]),
                            100.0 * int(m["bytes"]) / max(1, int(m["orig_bytes"])), "" if ok else "  < 38 dB"))
    finally:
        if not a.keep:
            shutil.rmtree(work, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
