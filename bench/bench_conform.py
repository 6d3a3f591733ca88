#!/usr/bin/env python3
"""Conforming speed: an HD MP4 spot (H.264 1920x1080 25 fps, stereo AAC at
about -12 LUFS) into an SD and an HD channel (H.264, AAC and MP2 mono), in
seconds of spot per CPU-second of kestrow_conform, and each conformed
spot's integrated loudness by ffmpeg's ebur128 filter against the target.

    python3 bench/bench_conform.py [--build build-rel] [--seconds 20]
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def lufs(path, index):
    res = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-i", path, "-map", "0:a:%d" % index,
                          "-af", "ebur128", "-f", "null", "-"], capture_output=True, text=True)
    return float(re.findall(r"I:\s+(-?[\d.]+) LUFS", res.stderr)[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build-rel"))
    ap.add_argument("--seconds", type=int, default=20)
    ap.add_argument("--loudness", type=float, default=-23)
    a = ap.parse_args()
    tool = os.path.join(a.build, "tools", "kestrow_conform")
    ok = True
    with tempfile.TemporaryDirectory(prefix="bench-conform-") as d:
        spot = os.path.join(d, "spot.mp4")
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc2=size=1920x1080:rate=25", "-f", "lavfi", "-i",
                        "sine=440:sample_rate=48000,volume=14dB,aformat=channel_layouts=stereo", "-t",
                        str(a.seconds), "-c:v", "libx264", "-preset", "veryfast", "-c:a", "aac", spot], check=True)
        for name, size in (("SD", "720x576"), ("HD", "1920x1080")):
            prog = os.path.join(d, name + ".ts")
            subprocess.run([sys.executable, os.path.join(ROOT, "tools", "kestrow_gen.py"), prog, "--duration", "2",
                            "--size", size, "--audio", "aac,mp2"], check=True, capture_output=True)
            out = os.path.join(d, name + "_out.ts")
            res = json.loads(subprocess.run([tool, "--loudness=%g" % a.loudness, prog, spot, out],
                                            capture_output=True, text=True, check=True).stdout)
            measured = [lufs(out, i) for i in (0, 1)]
            within = all(abs(m - a.loudness) <= 0.5 for m in measured)
            ok &= within
            print("%s channel %s: %.1f s of spot in %.2f CPU-s = %.2f s per CPU-s; loudness %.1f -> %s LUFS "
                  "(ebur128 on the output), within 0.5 LU: %s" % (
                      name, size, res["seconds"], res["cpu_seconds"], res["seconds"] / res["cpu_seconds"],
                      res["before"], " / ".join("%.1f" % m for m in measured), within))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
