#!/usr/bin/env python3
"""bench_shapes: frame-accurate breaks on broadcast shapes, judged on the pictures.

For each shape (interlaced MPEG-2 frame and field pictures, 3:2 pulldown,
H.264 MBAFF, open and long GOPs, another encoder's parameter sets, PES
lengths that lie, HEVC progressive and field-coded, and cues whose timing
is hard: a key frame one picture before the point, a return cue for the
armed event, cues with little pre-roll), generates a 12 s programme (tools/kestrow_gen.py) with one
break whose point and end fall between key frames (5.3 s, 3.4 s by
default) and a filler of the same format, runs KestrowDemo with
--frame-accurate=auto and =off, and judges each output as a receiver
would: `kestrow_check --pictures OUT --input IN --filler F --asrun A
--point S:E --json` (tools/kestrow_pictures.cpp). With --live the same
programme goes through KestrowApp instead, sent in real time over
loopback UDP (tools/kestrow_udp.py) and recorded at its destination; the
service's first GOP goes to its probe, so its rows have fewer pictures
out than in. One row per shape and
mode: pictures in and out, identical, re-encoded (lowest dB), holes,
decoding errors in and out, frames off at the start and at the return
(0: on the announced picture; below 0 early; "-": the break did not air),
and what the as-run says (pictures re-encoded, fallback at start/return).
Live rows also give the output's hold: the receiver logs each datagram's
arrival, and the hold is the latest a PCR of the output arrived against its
value (arrival - PCR, less their median): how long the wire was held, near
the points (the frame-accurate work there) and elsewhere (the host's and
the bench's own; "off" rows give both without frame-accurate work).

    python3 bench/bench_shapes.py [--build DIR] [--keep DIR] [--only NAME,...] [--json FILE] [--live]
                                  [--captures [FOLDER]] [--app-option=OPTION ...]

--captures relays each capture of FOLDER (../shared/captures beside the
checkout by default) instead, without a break, in both modes: every
picture of its own decode must come out whole.

DIR defaults to build-rel (Release, as bench/README.md builds it). With --keep the generated programmes are
kept there and reused. Exit status 0 when every frame-accurate row is on
its pictures (0 off at both ends, no hole, no decoding error added, every
re-encoded picture at least 38 dB) or says why it fell back, 1 otherwise.
"""
import argparse
import bisect
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import bench_live  # noqa: E402  (the receiver's arrival log)

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TICKS = 90000
WRAP = 1 << 33
FLOOR_DB = 38.0

SD = ["--size", "720x576", "--audio", "mp2"]
# name: (programme options, cue options or None for the default, seconds)
SHAPES = {
    "h264-prog": (["--size", "640x360", "--gop", "1s"], None, 12),
    "mpeg2-frame-open": (SD + ["--video-codec", "mpeg2", "--gop", "0.6s", "--open-gop", "--moving-fields"], None, 12),
    "mpeg2-frame-closed": (SD + ["--video-codec", "mpeg2", "--gop", "0.6s", "--field-coding", "frame"], None, 12),
    "mpeg2-field": (SD + ["--video-codec", "mpeg2", "--field-coding", "field"], None, 12),
    "mpeg2-pulldown": (["--size", "720x480", "--fps", "24000/1001", "--video-codec", "mpeg2", "--gop", "12",
                        "--pulldown", "--audio", "mp2"], None, 12),
    "h264-mbaff": (SD + ["--field-coding", "mbaff", "--gop", "1s"], None, 12),
    "h264-open-0.5s": (["--size", "640x360", "--gop", "0.5s", "--open-gop"], None, 12),
    "h264-gop-10s": (["--size", "640x360", "--gop", "10s"], None, 12),
    "h264-cavlc-wp": (["--size", "640x360", "--gop", "1s", "--x264-params", "cabac=0:weightp=2:ref=3",
                       "--sps-id", "1", "--pps-ids", "1,0"], None, 12),
    "h264-pes-short": (["--size", "640x360", "--gop", "1s", "--pes-length", "short", "--pes-stuffing", "4"], None, 12),
    "h264-1080p30-long": (["--size", "1920x1080", "--fps", "30", "--gop", "8.3s", "--preset", "veryfast"],
                          ["at=5.3,dur=3.4"], 12),
    # the same at a constant 3 Mbit/s (NAL HRD filler): the return's run has only the programme's rate
    "h264-1080p30-long-cbr": (["--size", "1920x1080", "--fps", "30", "--gop", "8.3s", "--preset", "veryfast",
                              "--video-bitrate", "3M"], ["at=5.3,dur=3.4"], 12),
    "h264-360p-long-cbr": (["--size", "640x360", "--fps", "30", "--gop", "8.3s", "--video-bitrate", "300k"],
                           ["at=5.3,dur=3.4"], 12),
    "hevc-prog": (["--size", "640x360", "--video-codec", "hevc", "--gop", "1s"], None, 12),
    "hevc-open-0.5s": (["--size", "640x360", "--video-codec", "hevc", "--gop", "0.5s", "--open-gop"], None, 12),
    "hevc-field": (SD + ["--video-codec", "hevc", "--field-coding", "field"], None, 12),
    # HD interlaced and HEVC, whose re-encoding at the points weighs most on the packet path
    "h264-1080i": (["--size", "1920x1080", "--field-coding", "mbaff", "--gop", "2s", "--preset", "veryfast"],
                   None, 12),
    "hevc-720p": (["--size", "1280x720", "--fps", "50", "--video-codec", "hevc", "--gop", "1s"], None, 12),
    # cue timing: a key frame one picture before the point (key frames every second); a return cue for the
    # event while it is armed, ending it at 7.1 s rather than 8.7 s
    "key-1-before": (["--size", "640x360", "--gop", "1s"], ["at=5.04,dur=3.04"], 12),
    "return-armed": (["--size", "640x360", "--gop", "1s"],
                     ["id=1,at=5.3,dur=3.4,lead=3", "id=1,out=0,at=7.1,lead=2.5"], 12),
    # a cue with little pre-roll: sent 1 s before its point, 5.3 s into a 10 s GOP (the video leads its clock by
    # 0.7 s); and 0.2 s before it in 2 s GOPs, once pictures shown from the point on are read
    "late-cue-10s": (["--size", "640x360", "--gop", "10s"], ["at=5.3,dur=3.4,lead=1"], 12),
    "late-cue-0.2s": (["--size", "640x360", "--gop", "2s"], ["at=4.52,dur=3.4,lead=0.2"], 12),
    # The same cue on a programme whose pictures lead its PCR by 50 ms: they have not gone out when it comes.
    "late-cue-0.2s-near": (["--size", "640x360", "--gop", "2s", "--mux-delay", "0.05"], ["at=4.52,dur=3.4,lead=0.2"], 12),
}


def gen(out, args, duration, cues=()):
    """Writes a programme (or a filler without cues); returns its start pts."""
    cmd = [sys.executable, os.path.join(ROOT, "tools", "kestrow_gen.py"), out, "--duration", str(duration),
           "--info"] + args
    for c in cues:
        cmd += ["--cue", c]
    info = json.loads(subprocess.run(cmd, check=True, stdout=subprocess.PIPE, timeout=900).stdout)
    return info["start"]


def announced(cues, start):
    """(point, end) of the break the cues announce, 90 kHz on the programme's clock."""
    kv = [dict(p.split("=") for p in c.split(",")) for c in cues]
    out = [c for c in kv if c.get("out", "1") == "1"][0]
    point = float(out["at"])
    end = point + float(out["dur"])
    for c in kv:
        if c.get("out") == "0":
            end = min(end, float(c["at"]))
    return start + round(point * TICKS), start + round(end * TICKS)


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


APP_OPTIONS = []  # --app-option: more options for KestrowApp


def splice(build, live, mode, prog, out, filler, asrun):
    """Runs the programme through KestrowDemo, or KestrowApp live; (exit status, standard error)."""
    if not live:
        res = subprocess.run([os.path.join(build, "demo", "KestrowDemo"), "--frame-accurate=" + mode,
                              "--asrun-file=" + asrun, prog, out, filler],
                             stdin=subprocess.DEVNULL, capture_output=True, timeout=600)
        return res.returncode, res.stderr
    udp = [sys.executable, os.path.join(ROOT, "tools", "kestrow_udp.py")]
    src, dst = ("127.0.0.1:%d" % free_port(socket.SOCK_DGRAM) for _ in range(2))
    recv = subprocess.Popen(udp + ["recv", dst, out, "--seconds", "120", "--idle", "3", "--log", out + ".times"],
                            stdout=subprocess.DEVNULL)
    app = subprocess.Popen([os.path.join(build, "service", "KestrowApp"), "--src-addr=" + src, "--dst-addr=" + dst,
                            "--port=127.0.0.1:%d" % free_port(socket.SOCK_STREAM), "--filler=" + filler,
                            "--frame-accurate=" + mode, "--asrun-file=" + asrun, "--log-file-name=" + out + ".log"]
                           + APP_OPTIONS,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        time.sleep(1.0)
        subprocess.run(udp + ["send", prog, src], check=True, timeout=300)
        time.sleep(1.5)
        app.send_signal(signal.SIGTERM)
        _, err = app.communicate(timeout=30)
        try:
            recv.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass  # nothing came: its idle time starts at the first datagram (killed below)
    finally:
        for p in (app, recv):
            if p.poll() is None:
                p.kill()
                p.wait()
    return app.returncode, err


def pcr_hold(out, points=None):
    """The latest a PCR of the recorded output arrived against its value, in ms (arrival - PCR less their
    median; the output's drift over a run is far below a millisecond), its first half second left out (the
    output's start, where the first PCRs may come late once, not a hold): (near the break's point and end,
    elsewhere). Near: PCRs from 1.5 s before the point to 1 s after it, and from 1.5 s before the end to 2 s
    after it (the return's key frame), the work at the points; elsewhere the host's own. None without PCRs."""
    times, offs = bench_live.read_log(out + ".times")
    with open(out, "rb") as f:
        ts = f.read()
    late, pcr_pid, turns, last, first = [], None, 0, None, None
    for pos in range(0, len(ts) - 187, 188):
        p = ts[pos:pos + 12]
        if p[0] != 0x47 or not (p[3] & 0x20) or p[4] < 7 or not (p[5] & 0x10):
            continue
        pid = ((p[1] & 0x1F) << 8) | p[2]
        pcr_pid = pid if pcr_pid is None else pcr_pid
        if pid != pcr_pid:
            continue
        base = (p[6] << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7)
        if last is not None and base < last - WRAP // 2:
            turns += 1
        last = base
        first = base if first is None else first
        q = bisect.bisect_right(offs, pos) - 1
        if q >= 0 and base + turns * WRAP - first >= TICKS // 2:
            late.append((times[q] - (base + turns * WRAP) / TICKS, base))
    if not late:
        return None
    med = statistics.median(x for x, _ in late)

    def near(pcr):
        ds = [((pcr - t + WRAP // 2) % WRAP - WRAP // 2) / TICKS for t in (points or ())]
        return any(-1.5 <= d <= (1.0 if i == 0 else 2.0) for i, d in enumerate(ds))

    parts = ([x for x, b in late if near(b)], [x for x, b in late if not near(b)])
    return tuple((max(xs) - med) * 1000 if xs else None for xs in parts)


def later(cue, by):
    """The cue with its times (at) by seconds later."""
    kv = [p.split("=") for p in cue.split(",")]
    return ",".join("%s=%s" % (k, float(v) + by if k == "at" else v) for k, v in kv)


def run_shape(build, work, name, keep, live=False):
    args, cues, duration = SHAPES[name]
    cues = cues or ["at=5.3,dur=3.4"]
    gop = args[args.index("--gop") + 1] if "--gop" in args else ""
    if live and gop.endswith("s") and float(gop[:-1]) > 2:
        # The service's probe takes the programme's first GOP: a long GOP's points come one GOP later.
        by = float(gop[:-1]) + 2
        cues, duration, name = [later(c, by) for c in cues], duration + by, name + "-later"
    prog = os.path.join(work, name + ".ts")
    filler = os.path.join(work, name + "_filler.ts")
    info = prog + ".start"
    if not (keep and os.path.exists(info) and os.path.exists(filler)):
        start = gen(prog, args, duration, cues)
        fargs = [a for a in args if a not in ("--open-gop",)]
        if gop.endswith("s") and float(gop[:-1]) > 2:
            fargs[fargs.index("--gop") + 1] = "1s"  # a filler's GOP, not a long one (its out point decodes it)
        gen(filler, fargs + ["--filler"], 6)
        with open(info, "w") as f:
            f.write(str(start))
    with open(info) as f:
        start = int(f.read())
    return [judge(build, live, name, mode, prog, filler, announced(cues, start)) for mode in ("auto", "off")]


def judge(build, live, name, mode, prog, filler, points):
    """Splices prog in mode and judges the output on its pictures (points: the break's (point, end), or None);
    one row of the table."""
    work = os.path.dirname(filler)
    out = os.path.join(work, "%s_%s%s.ts" % (name, mode, "_live" if live else ""))
    asrun = out + ".asrun"
    for p in (out, asrun):
        if os.path.exists(p):
            os.remove(p)
    rc, err = splice(build, live, mode, prog, out, filler, asrun)
    row = {"shape": name, "mode": mode}
    if rc != 0:
        row["failed"] = err.decode(errors="replace")[-300:]
        return row
    if not os.path.exists(out) or os.path.getsize(out) == 0:
        row["failed"] = "nothing came out (live: the input ended within the service's probe)"
        return row
    cmd = [os.path.join(build, "tools", "kestrow_check"), "--pictures", out, "--input", prog, "--filler", filler,
           "--json"]
    if points:
        cmd += ["--asrun", asrun, "--point", "%d:%d" % points]
    j = json.loads(subprocess.run(cmd, capture_output=True, timeout=600).stdout)
    t = j["totals"]
    row.update({k: t[k] for k in ("pictures_in", "pictures_out", "own", "reencoded", "reencoded_min_db",
                                  "holes", "decode_errors_in", "decode_errors_out")})
    b = [x for x in j["breaks"] if points and x.get("point") == points[0]] or [None]
    row["start_off"] = b[0]["frames_off_start"] if b[0] else None
    row["end_off"] = b[0]["frames_off_end"] if b[0] else None
    recs = [json.loads(l) for l in open(asrun, errors="replace") if l.strip()] if os.path.exists(asrun) else []
    st = [r for r in recs if r.get("event") == "break_start"]
    en = [r for r in recs if r.get("event") == "break_end"]
    row["start_reenc"], row["start_fallback"] = (st[0].get("reencoded"), st[0].get("fallback")) if st else ("-", "-")
    row["end_reenc"], row["end_fallback"] = (en[0].get("reencoded"), en[0].get("fallback")) if en else ("-", "-")
    row["asrun"] = "%s/%s, %s/%s" % tuple(fmt(row[k]) for k in ("start_reenc", "start_fallback", "end_reenc",
                                                                 "end_fallback"))
    if live:
        row["hold_ms"], row["hold_else_ms"] = pcr_hold(out, points) or (None, None)
    return row


def run_captures(build, work, folder, live):
    """Every capture in folder relayed (no break): each picture of its own decode must come out whole."""
    filler = os.path.join(work, "captures_filler.ts")
    if not os.path.exists(filler):
        gen(filler, ["--filler"], 4)
    rows = []
    for name in sorted(n for n in os.listdir(folder) if n.endswith(".ts")):
        rows += [judge(build, live, name[:-3], mode, os.path.join(folder, name), filler, None)
                 for mode in ("auto", "off")]
    return rows


def fmt(v):
    if v is None:
        return "-"
    if isinstance(v, float):
        return "%.1f" % v
    return str(v)


def good(r):
    """A frame-accurate row on its pictures, or one that fell back and says so."""
    if "failed" in r or r["holes"] or r["decode_errors_out"] > r["decode_errors_in"]:
        return False
    if r["start_off"] is None and r["start_reenc"] == "-":  # a capture relayed: no break to judge
        return True
    if r["reencoded"] and (r["reencoded_min_db"] or 0) < FLOOR_DB:
        return False
    if r["start_off"] == 0 and r["end_off"] == 0:
        return True
    # a key-frame splice instead: never early, and the end that is off says why
    for off, why in ((r["start_off"], r["start_fallback"]), (r["end_off"], r["end_fallback"])):
        if off is None or off < 0 or (off > 0 and why in (None, "-")):
            return False
    return True


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build-rel"))
    ap.add_argument("--keep")
    ap.add_argument("--only")
    ap.add_argument("--json")
    ap.add_argument("--live", action="store_true", help="through KestrowApp over loopback UDP")
    ap.add_argument("--captures", nargs="?", const=os.path.join(os.path.dirname(ROOT), "shared", "captures"),
                    help="relay the captures in this folder instead (../shared/captures by default)")
    ap.add_argument("--app-option", action="append", default=[], help="one more option for KestrowApp (--live)")
    a = ap.parse_args()
    APP_OPTIONS.extend(a.app_option)
    names = [] if a.captures else a.only.split(",") if a.only else list(SHAPES)
    work = a.keep or tempfile.mkdtemp(prefix="bench_shapes_")
    os.makedirs(work, exist_ok=True)
    cols = ["shape", "mode", "pictures_in", "pictures_out", "own", "reencoded", "reencoded_min_db", "holes",
            "decode_errors_in", "decode_errors_out", "start_off", "end_off", "asrun"] + (["hold_ms", "hold_else_ms"] if a.live else [])
    heads = ["shape", "mode", "in", "out", "own", "reenc", "min dB", "holes", "err in", "err out", "start",
             "return", "as-run (reencoded/fallback)"] + (["hold at points (ms)", "elsewhere"] if a.live else [])
    print("| " + " | ".join(heads) + " |")
    print("|" + "---|" * len(heads))
    rows, status = [], 0
    for n in names or [None]:
        for r in (run_shape(a.build, work, n, bool(a.keep), a.live) if n else
                  run_captures(a.build, work, a.captures, a.live)):
            n = r["shape"]
            rows.append(r)
            if "failed" in r:
                print("| %s | %s | failed: %s |" % (n, r["mode"], r["failed"].replace("\n", " ")))
            else:
                print("| " + " | ".join(fmt(r.get(c)) for c in cols) + " |")
            if r["mode"] == "auto" and not good(r):
                status = 1
            sys.stdout.flush()
    if a.json:
        with open(a.json, "w") as f:
            json.dump(rows, f, indent=1)
    return status


if __name__ == "__main__":
    sys.exit(main())
