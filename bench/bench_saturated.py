#!/usr/bin/env python3
"""bench_saturated: one KestrowApp channel on a host whose CPUs are all busy,
with and without conforming in the background; and a network that holds the
stream for a moment.

Cases (--cases a,b; each one markdown row):
  conform     BUSY processes at normal priority (`while :; do :; done`, one
              per CPU by default) run through the whole case; the channel
              relays a 640x360 25 fps programme (GOP 2 s, two B-frames,
              --mux-rate 5M) live for DURATION s while it conforms SPOTS
              20 s 1080p29.97 H.264/AAC MP4 spots (made with ffmpeg, kept in
              the work folder) of today's schedule (a window an hour from
              now: the breaks of the run air the filler), and airs two breaks
              announced 4 s ahead: 12-18 s (on key frames) and 25.3-31.4 s
              (both points mid-GOP: frame-accurate start and return)
  reference   the same load and programme without --schedule: no conforming
  jitter      no load; a 30 s programme whose sender holds the stream 150 ms
              every 3 s and then delivers the backlog at once (nothing lost)

Columns, from the receiver's arrival log and the service's own records:
  largest gap   longest interval between two datagrams at the receiver, ms
                (after the first, before the last)
  checks        the output's TR 101 290 failures as a receiver measures them
                (kestrow_check --tr290 --times: PAT/PMT/SDT over their limit,
                PCR arrival gaps over 40 ms, continuity errors) / the
                service's own "the output failed its ... check" lines
  moves         the log's time-line moves ("programme resumes ... its times
                moved") and "input lost" alarm lines while the input still came
                (each followed by "input back"; the loss at the input's end is not
                counted)
  on picture    break_start and break_end records without a fallback (the
                point was met on its picture) of all of them
  spots         /metrics at the end: conformed / pending / failed, and the
                spots of the as-run record reported 1002 (unusable)
  lost          programme video PES of the input missing in the output while
                the input arrived (jitter case)

    python3 bench/bench_saturated.py [--build DIR] [--cases conform,reference,jitter]
                                     [--work DIR] [--busy N] [--spots N] [--duration S]

DIR defaults to build next to this folder; DIR/service/KestrowApp runs, the
checker is DIR/tools/kestrow_check. --work keeps the inputs, spots, outputs
and logs there (and reuses inputs and spots). Exit status 0 when every case
ran, 2 when one could not be run.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
os.environ.setdefault("KESTROW_TOOLS", os.path.join(ROOT, "tools"))
sys.path.insert(0, os.path.join(ROOT, "tests", "lib"))
import kt  # noqa: E402
import sch  # noqa: E402
import kestrow_clock  # noqa: E402  (tools/, on the path kt puts it on)

FF = ["ffmpeg", "-nostdin", "-v", "error", "-y"]
PROG = dict(size="640x360", gop=50, video_bitrate="1M", muxrate="5M")
CUES = ["at=12,dur=6,lead=4,id=1", "at=25.3,dur=6.1,lead=4,id=2"]
HOLDS = ["stall=1,from=%.2f,to=%.2f" % (t, t + 0.15) for t in range(3, 30, 3)]


def busy(n):
    """n shell loops at normal priority, one CPU's worth each."""
    return [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(n)]


def spots(work, n):
    """n 20 s 1080p29.97 MP4 spots in work/spots, made once."""
    folder = os.path.join(work, "spots")
    os.makedirs(folder, exist_ok=True)
    ids = ["HD%04d" % (i + 1) for i in range(n)]
    for i, sid in enumerate(ids):
        path = os.path.join(folder, sid + ".mp4")
        if not os.path.exists(path):
            subprocess.run(FF + ["-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30000/1001", "-f", "lavfi",
                                 "-i", "sine=%d:sample_rate=48000" % (300 + 100 * i), "-t", "20", "-c:v", "libx264",
                                 "-preset", "veryfast", "-pix_fmt", "yuv420p", "-c:a", "aac", path + ".part.mp4"],
                           check=True, timeout=900)
            os.replace(path + ".part.mp4", path)
    return folder, ids


def generated(work, name, **options):
    path = os.path.join(work, "in_%s.ts" % name)
    if not os.path.exists(path):
        kt.gen.generate(path + ".part", **options)
        os.replace(path + ".part", path)
    return path


def metrics(port):
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=5) as r:
            return {k: float(v) for k, _, v in (l.partition(" ") for l in r.read().decode().splitlines())
                    if k and k[0] != "#"}
    except OSError:
        return {}


def run(app, work, label, prog, filler, args=(), faults=(), load=0):
    asrun = os.path.join(work, label + ".asrun")
    for f in os.listdir(work):
        if f.startswith(label + "."):
            os.remove(os.path.join(work, f))
    loops = busy(load)
    try:
        time.sleep(0.5 if load else 0)
        kt.APP = app
        svc = kt.Service(work, "--mux-rate=5000000", "--asrun-file=" + asrun, *args, filler=filler, name=label)
        try:
            if not svc.ready():
                raise RuntimeError("%s did not start:\n%s" % (label, svc.stderr_text()[-2000:]))
            time.sleep(0.5)
            sent = svc.send(prog, faults=faults)
            time.sleep(1.5)
            m = metrics(svc.port)
            rc, _ = svc.stop()
        finally:
            svc.close()
    finally:
        for p in loops:
            p.kill()
            p.wait()
    return dict(svc=svc, asrun=asrun, metrics=m, rc=rc, sent=sent)


def row(label, r, prog=None):
    svc, text = r["svc"], r["svc"].text()
    times = [float(l.split()[0]) for l in kt.read_text(svc.arrivals).splitlines()]
    gap, at = max(((b - a, a) for a, b in zip(times, times[1:])), default=(0, 0))
    doing = svc.waits.threads(at - 0.1, at + gap) if gap else ""
    gap *= 1000
    tr = kt.tr290(svc.out, times=svc.arrivals)
    tables = [t for t in [tr["pat"], tr["sdt"]] + tr["pmts"] if t]
    failed = sum(t["over_limit"] for t in tables) + sum(p["over_40ms"] for p in tr["pcrs"]) + tr["cc_errors"]
    gaps = sum(1 for p in tr["pcrs"] if p["max_gap_ms"] and p["max_gap_ms"] > 40)
    own = sum(1 for l in kt.messages(text) if "the output failed its" in l)
    moves = sum(1 for l in kt.messages(text) if "its times moved by" in l)
    lost = sum(1 for l in kt.messages(text) if "input back after" in l)  # lost while the input still came
    recs = [json.loads(l) for l in kt.read_text(r["asrun"]).splitlines() if l.strip()]
    points = [e for e in recs if e["event"] in ("break_start", "break_end")]
    exact = sum(1 for e in points if e.get("fallback") is None)
    m = r["metrics"]
    unusable = sum(1 for e in recs if e["event"] == "spot" and e["reason"] == "unusable")
    spots = "%d / %d / %d, 1002: %d" % (m.get("kestrow_spots_conformed", 0), m.get("kestrow_spots_conform_pending", 0),
                                         m.get("kestrow_spots_conform_failed", 0), unusable)
    missing = "-"
    if prog:
        def video_pts(path):
            res = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "packet=pts",
                                  "-of", "csv=p=0", path], capture_output=True, text=True, timeout=300)
            return [int(v) for v in res.stdout.replace(",", " ").split() if v.lstrip("-").isdigit()]
        src, out = video_pts(prog), set(p % kestrow_clock.WRAP for p in video_pts(svc.out))
        # The output's clock: the input's, or moved once; the shift that matches most pictures.
        lost_of = lambda d: sum(1 for p in src[50:-50] if (p + d) % kestrow_clock.WRAP not in out)
        shift = min((min(out) - p for p in src[:150]), key=lost_of) if out and src else 0
        missing = "%d of %d" % (lost_of(shift), len(src) - 100)
    late = [l for l in kt.messages(text) if "late, latest by" in l]
    return ("| %s | %.0f | %d (%d PCR gaps) / %d | %d / %d | %d of %d | %s | %s | %s |"
            % (label, gap, failed, gaps, own, moves, lost, exact, len(points), spots, missing, r["rc"]),
            [l for l in kt.messages(text) if l.startswith("slicer_on_event: input") or "failed its" in l] + late[-1:] +
            ["largest gap at %.1f s; the service's threads meanwhile: %s" % (at - times[0], doing)])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--cases", default="conform,reference,jitter")
    ap.add_argument("--work")
    ap.add_argument("--busy", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--spots", type=int, default=4)
    ap.add_argument("--duration", type=float, default=40)
    a = ap.parse_args()
    a.build = os.path.abspath(a.build)
    app = os.path.join(a.build, "service", "KestrowApp")
    kt.TOOLS_BIN = os.path.join(a.build, "tools")
    tmp = None if a.work else tempfile.TemporaryDirectory(prefix="bench-saturated-")
    work = a.work or tmp.name
    os.makedirs(work, exist_ok=True)
    filler = generated(work, "filler", filler=True, duration=8, size=PROG["size"])
    print("| case | largest gap ms | checks failed (receiver) / own | moves / input lost | on picture | "
          "spots conformed / pending / failed | video lost | status |")
    print("|---|---|---|---|---|---|---|---|")
    notes, status = [], 0
    for label in a.cases.split(","):
        try:
            if label in ("conform", "reference"):
                prog = generated(work, "prog%d" % a.duration, duration=a.duration, cues=CUES, **PROG)
                args = []
                if label == "conform":
                    folder, ids = spots(work, a.spots)
                    later = time.localtime(time.time() + 3600)
                    day = os.path.join(work, "day.SCH")
                    sch.write(day, [sch.record("LOI", time.strftime("%m%d", later), time.strftime("%H%M", later),
                                               "0010", 1, n + 1, 20, sid) for n, sid in enumerate(ids)])
                    for old in os.listdir(folder):
                        if old == ".conformed":
                            subprocess.run(["rm", "-rf", os.path.join(folder, old)], check=True)
                    args = ["--schedule=" + day, "--spots=" + folder]
                line, lines = row(label, run(app, work, label, prog, filler, args, load=a.busy))
            elif label == "jitter":
                prog = generated(work, "jitter", duration=30, **PROG)
                line, lines = row(label, run(app, work, label, prog, filler, faults=HOLDS), prog=prog)
            else:
                raise ValueError("no case %r" % label)
        except (RuntimeError, OSError, ValueError, subprocess.SubprocessError) as e:
            line, lines, status = "| %s | %s |" % (label, e), [], 2
        print(line, flush=True)
        notes += ["%s: %s" % (label, l) for l in lines]
    print()
    for n in notes:
        print("    " + n)
    return status


if __name__ == "__main__":
    sys.exit(main())
