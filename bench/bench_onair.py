#!/usr/bin/env python3
"""bench_onair: KestrowApp's output read back as a receiver's monitor reads it,
under the faults live feeds bring; one markdown table.

Each case generates its input with tools/kestrow_gen.py (cached in the work
folder: a second run, against another build, relays the same bytes), starts
one KestrowApp (the build given, with --mux-rate, --asrun-file, a filler of
the programme's picture size and the case's options) between
kestrow_udp.send() (paced by the PCRs, with the case's --fault windows; what
was actually sent recorded) and a kestrow_udp.Receiver thread logging the
arrival time of each datagram, lets the output run SETTLE s after the last
datagram, reads GET /metrics and stops the service with SIGTERM. Fault and cue
times are programme time (seconds from the first video picture); the sender's
windows are moved by the lead of the programme start over the first PCR.

  outage            input lost 12-17 s, breaks 6-10 s and 22-26 s
  outage-in-break   a break 8-18 s, input lost 11.5-14.5 s
  cue-in-outage     a cue at 11 s for a break 14-20 s, input lost 12-16 s
  stall-burst       the source stalls 10-15 s, then sends its backlog at once
                    (stall=1); breaks 4-7 s and 20-24 s
  fast-1.1          60 s sent at 1.1x real time (fast=1.1); breaks 15-23 s and 40-48 s
  fast-2            60 s sent at 2x real time (30 s); a break 20-28 s
  scrambled         three programmes (12 Mbit/s), the second scrambled and
                    chosen with --program=2; a cue for it, 8-12 s
  mux-rate-low      three programmes (12 Mbit/s), relayed at --mux-rate 5 %
                    below the multiplex's rate without null packets; 8-12 s
  restart-in-break  a break 8-16 s, the source restarts at 12 s an hour back
  healthy-x4        a clean 12 s programme (a break 4-7 s), the service started
                    four times; the row holds the worst of the four and each
                    start's "!" lines and passthrough drops
  latency-0.3, latency-0.7, latency-1.0
                    16 Mbit/s 720p (mux rate 20 Mbit/s), 20 s, the video's DTS
                    leading the PCR by 0.3 s, ffmpeg's default 0.7 s and 1.0 s
                    (kestrow_gen --mux-delay); added latency by bench_live's
                    method (per programme video PES, datagram arrival minus
                    datagram send time)
The other cases are 640x360, 3 Mbit/s video, a 5 Mbit/s mux rate in and out.

Columns, from kestrow_check --tr290 --times <arrival log> on the recording
(output time: seconds from the first datagram that arrived):
  PAT, PMT, SDT     longest interval between sections, ms; PMT: the chosen
                    programme's / the worst other programme's
  PCR               longest interval by value / longest arrival gap, ms, of
                    the chosen programme's PCR PID
  disc              PCR steps back or over 100 ms without the indicator
  CC                continuity errors, all PIDs
  video, audio      longest interval between PES starts of the chosen
                    programme (audio: its worst audio PID), ms: while the input
                    arrives / overall. "While the input arrives": the
                    stretches in which the sender sent (split where it sent
                    nothing for over 0.5 s), moved to output time, each read
                    with --window, the largest taken; overall: the whole
                    recording, the tail after the input ended included
  SCTE-35           sections of the chosen programme in what was sent / in
                    the output
  "!"               log lines flagged "!" up to the input's end (+ those after)
  pass drop         kestrow_passthrough_dropped_total at the end
  as-run            per splice_event_id: aired S/D s (and "from +L s" when the
                    break began L s after its splice time), what ended it when
                    not its duration (break_end reason), or what became of the
                    cue (expired, cancelled, skipped ...)
  latency           median / p99 s (latency cases)
  started           seconds from the first datagram sent to the first that
                    arrived; "no" without output, "no video" without a PES of
                    the chosen programme's video
Below the table, per case: the input's stretches in output time, the
sender's own longest pause while sending (a Python sender on a loaded machine
pauses now and then; one near 100 ms makes the service call the input lost),
the "!" lines with their output time, where the longest PES gaps fell, the
streams silent for whole seconds before the input's end, the tables over
their limit, the PIDs with continuity errors and the service's exit status.

    python3 bench/bench_onair.py [--build DIR] [--cases a,b] [--work DIR]
                                 [--checker PATH]

DIR defaults to build-rel next to this folder; only DIR/service/KestrowApp is
taken from it. The checker is this checkout's build-rel/tools/kestrow_check
unless --checker names another. --work keeps the inputs, outputs and logs
there (and reuses the inputs); without it a temporary folder is removed.
Exit status 0 when every case ran, 2 when a case could not be run.
"""
import argparse
import datetime
import hashlib
import json
import os
import shutil
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
os.environ.setdefault("KESTROW_TOOLS", os.path.join(ROOT, "tools"))
sys.path.insert(0, os.path.join(ROOT, "tests", "lib"))
import bench_live  # noqa: E402  (puts tools/ on the import path)
import kestrow_gen  # noqa: E402
import kestrow_clock  # noqa: E402
import kestrow_udp  # noqa: E402
import kt  # noqa: E402

SETTLE = 1.5
GAP = 0.5            # the sender silent this long splits the input into stretches
SD = dict(size="640x360", video_bitrate="3M", muxrate="5M")
HD = dict(size="1280x720", video_bitrate="16M", muxrate="20M")
MUX = dict(size="640x360", video_bitrate="2M", muxrate="12M", programs=3)
VIDEO_TYPES = {0x01, 0x02, 0x1B, 0x24}
AUDIO_TYPES = {0x03, 0x04, 0x0F, 0x11, 0x81, 0x87}


def case(gen, faults=(), args=(), runs=1, program=1, latency=False, rate_below=None):
    return dict(gen=gen, faults=list(faults), args=list(args), runs=runs, program=program,
                latency=latency, rate_below=rate_below)


CASES = {
    "outage": case(dict(SD, duration=30, cues=["at=6,dur=4", "at=22,dur=4"]), ["from=12,to=17,pause=1"]),
    "outage-in-break": case(dict(SD, duration=25, cues=["at=8,dur=10"]), ["from=11.5,to=14.5,pause=1"]),
    "cue-in-outage": case(dict(SD, duration=26, cues=["at=14,dur=6,lead=3"]), ["from=12,to=16,pause=1"]),
    "stall-burst": case(dict(SD, duration=30, cues=["at=4,dur=3", "at=20,dur=4"]), ["from=10,to=15,stall=1"]),
    "fast-1.1": case(dict(SD, duration=60, cues=["at=15,dur=8", "at=40,dur=8"]), ["from=0,to=61,fast=1.1"]),
    "fast-2": case(dict(SD, duration=60, cues=["at=20,dur=8"]), ["from=0,to=61,fast=2"]),
    "scrambled": case(dict(MUX, duration=20, program_settings=["2:scrambled=1"], cues=["prog=2,at=8,dur=4"]),
                      args=["--program=2"], program=2),
    "mux-rate-low": case(dict(MUX, duration=20, cues=["at=8,dur=4"]), rate_below=0.95),
    "restart-in-break": case(dict(SD, duration=25, cues=["at=8,dur=8"], restarts=["at=12,jump=-3600"])),
    "healthy-x4": case(dict(SD, duration=12, cues=["at=4,dur=3"]), runs=4),
    "latency-0.3": case(dict(HD, duration=20, mux_delay="0.3"), latency=True),
    "latency-0.7": case(dict(HD, duration=20, mux_delay="default"), latency=True),
    "latency-1.0": case(dict(HD, duration=20, mux_delay="1.0"), latency=True),
}
COLUMNS = ["case", "PAT", "PMT (chosen / other)", "SDT", "PCR interval / arrival gap", "disc", "CC",
           "video in / overall", "audio in / overall", "SCTE-35 in / out", '"!"', "pass drop", "as-run",
           "latency med / p99 s", "started"]


# --------------------------------------------------------------------------
# Inputs


def generated(work, name, options):
    """The file kestrow_gen.build() writes for options, generated once per work
    folder (a sidecar holds the options it was made with)."""
    key = hashlib.sha1(json.dumps(options, sort_keys=True).encode()).hexdigest()[:12]
    path = os.path.join(work, "in_%s.ts" % name)
    side = path + ".json"
    try:
        with open(side) as f:
            saved = json.load(f)
        if saved["key"] == key and os.path.exists(path):
            return path, saved["info"]
    except (OSError, ValueError, KeyError):
        pass
    opts = {k: (list(v) if isinstance(v, list) else v) for k, v in options.items()}
    info = kestrow_gen.build(path, **opts)
    info = {"start": info["start"]}
    with open(side, "w") as f:
        json.dump({"key": key, "info": info}, f)
    return path, info


def first_pcr(path):
    """The first PCR of the file, 27 MHz."""
    with open(path, "rb") as f:
        data = f.read(188 * 20000)
    for i in range(0, len(data) - 187, 188):
        p = data[i:i + 188]
        v = kestrow_udp._pcr(p)
        if v is not None:
            return v
    return 0


def sender_faults(specs, lead):
    """The case's fault windows moved from programme time to the sender's
    schedule (which counts from the first PCR)."""
    out = []
    for spec in specs:
        f = kestrow_udp.Fault(spec)
        f.start = max(0.0, f.start + lead)
        if f.end is not None:
            f.end += lead
        out.append(f)
    return out


def payload_rate(path):
    """Bits per second of the file without its null packets, by its PCRs."""
    r = kt.tr290(path)
    nulls = sum(p["packets"] for p in r["pids"] if p["pid"] == 0x1FFF)
    return (r["packets"] - nulls) * 188 * 8 / (r["end_s"] - r["start_s"])


# --------------------------------------------------------------------------
# One run


def read_metrics(port):
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=3) as resp:
            text = resp.read().decode(errors="replace")
    except OSError:
        return {}
    values = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            name, _, value = line.partition(" ")
            values[name] = float(value)
    return values


def flagged_lines(log):
    """(epoch seconds, message) of the log lines flagged "!"."""
    out = []
    for line in kt.read_text(log).splitlines():
        if line.startswith("!") and "[" in line and "] " in line:
            stamp = line[line.index("[") + 1:line.index("]")]
            try:
                t = datetime.datetime.strptime(stamp, "%Y-%m-%d %H:%M:%S.%f").timestamp()
            except ValueError:
                continue
            out.append((t, line[line.index("] ") + 2:]))
    return out


def run_once(app, work, label, prog, filler, rate, c, lead):
    """One start of the service on one input: the files and the times of the run."""
    for suffix in (".log", ".asrun", "_out.ts", "_out.times", ".send.log", ".sent.ts"):
        for old in [f for f in os.listdir(work) if f.startswith(label + suffix)]:
            os.remove(os.path.join(work, old))
    r = {"label": label, "asrun": os.path.join(work, label + ".asrun"),
         "send_log": os.path.join(work, label + ".send.log"), "sent": os.path.join(work, label + ".sent.ts")}
    kt.APP = app
    svc = kt.Service(work, "--mux-rate=%d" % rate, "--asrun-file=" + r["asrun"], *c["args"],
                     filler=filler, name=label)
    r.update(log=svc.log, out=svc.out, recv_log=svc.arrivals, error=None)
    try:
        if not svc.ready():
            r["error"] = "did not start (status %s)" % svc.proc.poll()
            return r
        time.sleep(0.5)
        r["clock"] = time.time() - time.monotonic()
        r["counts"] = svc.send(prog, log=r["send_log"], record=r["sent"], faults=sender_faults(c["faults"], lead))
        r["send_end"] = time.time()
        time.sleep(SETTLE)
        r["alive"] = svc.proc.poll() is None
        r["metrics"] = read_metrics(svc.port)
        r["t_stop"] = time.monotonic()
        r["status"], _ = svc.stop()
    finally:
        svc.close()
    return r


# --------------------------------------------------------------------------
# Reading the output back


def stretches(send_log, out0):
    """The stretches in which the sender sent, in output time (out0: the
    monotonic time of the first datagram that arrived)."""
    times, _ = bench_live.read_log(send_log)
    spans, start = [], times[0] if times else None
    for a, b in zip(times, times[1:]):
        if b - a > GAP:
            spans.append((start, a))
            start = b
    if times:
        spans.append((start, times[-1]))
    return [(max(0.0, a - out0), b - out0) for a, b in spans if b - out0 > 1.0]


def chosen_streams(tr, program):
    """(video streams, audio streams, SCTE-35 streams) of the programme in a --tr290 report."""
    mine = [s for s in tr["streams"] if s["program"] == program]
    return ([s for s in mine if s["stream_type"] in VIDEO_TYPES], [s for s in mine if s["stream_type"] in AUDIO_TYPES],
            [s for s in mine if s["stream_type"] == 0x86])


def worst(values):
    values = [v for v in values if v is not None]
    return max(values) if values else None


def longest(streams):
    """(ms, at s, pid) of the longest interval between PES starts among streams, or None."""
    found = [(s["max_interval_ms"], s["max_interval_at_s"], s["pid"]) for s in streams if s["max_interval_ms"]]
    return max(found) if found else None


def silent_runs(tr, tail):
    """Streams with whole seconds without a PES start before tail (output
    time: the input's end), tables over their limit, PIDs with continuity
    errors."""
    notes = []
    for s in tr["streams"]:
        if s["stream_type"] not in VIDEO_TYPES | AUDIO_TYPES:
            continue
        per, runs, i = s["pes_per_second"], [], 0
        while i < len(per):
            if per[i] == 0 and i < int(tail):
                j = i
                while j < len(per) and per[j] == 0:
                    j += 1
                runs.append("%d-%s s" % (i, j if j < len(per) else "end"))
                i = j
            else:
                i += 1
        if runs:
            notes.append("prog %d 0x%x: no PES in %s" % (s["program"], s["pid"], ", ".join(runs)))
    for name, t in [("PAT", tr["pat"]), ("SDT", tr["sdt"])] + [("PMT", t) for t in tr["pmts"]]:
        if t and t["over_limit"]:
            notes.append("%s 0x%x: longest %.0f ms at %.1f s (%d over %d ms)" % (
                "PMT prog %d" % t["program"] if "program" in t else name, t["pid"], t["max_interval_ms"],
                t["max_interval_at_s"], t["over_limit"], t["limit_ms"]))
    cc = ["0x%x %d from %.1f s" % (p["pid"], p["cc_errors"], p["first_cc_error_s"])
          for p in tr["pids"] if p["cc_errors"]]
    if cc:
        notes.append("CC errors: " + ", ".join(cc))
    return notes


def asrun_summary(path):
    """Per splice_event_id, in order of appearance: what became of it."""
    events, late = {}, {}
    for line in kt.read_text(path).splitlines():
        try:
            e = json.loads(line)
        except ValueError:
            continue
        key = e.get("splice_event_id") or e.get("segmentation_event_id")
        if key is None:
            continue
        ev, reason = e["event"], e.get("reason")
        if ev == "break_start":
            events[key] = "started"
            if e.get("pts") is not None and e.get("splice_time") is not None:
                late[key] = kestrow_clock.diff(e["pts"], e["splice_time"]) / 90000
        elif ev == "break_end":
            dur = (e.get("duration") or 0) / 90000
            aired = e["aired"] / 90000 if e.get("aired") is not None else None
            text = "aired %s/%.0f s" % ("%.1f" % aired if aired is not None else "?", dur)
            if abs(late.get(key, 0)) >= 0.1:
                text += " from %+.1f s" % late[key]
            events[key] = text if reason in ("duration", "return_cue") else text + " " + str(reason)
        elif ev in ("expired", "cancelled", "break_skipped", "ignored", "dropped"):
            events[key] = "%s (%s)" % (ev, reason)
        else:
            events.setdefault(key, ev)
    return "; ".join("%s: %s" % kv for kv in events.items()) or "-"


def measure(r, program, latency_refs=None):
    """The row's figures of one run."""
    m = {"error": r["error"], "notes": []}
    if r["error"]:
        return m
    recv_t, _ = bench_live.read_log(r["recv_log"])
    send_t, _ = bench_live.read_log(r["send_log"])
    bang = flagged_lines(r["log"])
    during = sum(1 for t, _ in bang if t <= r["send_end"] + 0.05)
    m["bang"] = (during, len(bang) - during)
    m["pass_drop"] = r["metrics"].get("kestrow_passthrough_dropped_total")
    m["fast_drop"] = r["metrics"].get("kestrow_input_fast_dropped_total")
    m["asrun"] = asrun_summary(r["asrun"])
    m["status"] = r["status"] if r["alive"] else "ended before the stop (%s)" % r["status"]
    sent = kt.tr290(r["sent"])
    m["scte_in"] = sum(s["sections"] for s in chosen_streams(sent, program)[2])
    out0 = recv_t[0] if recv_t else send_t[0]
    m["notes"] += ["! %.1f s: %s" % (t - r["clock"] - out0, text) for t, text in bang]
    if not recv_t:
        m["started"] = "no"
        m["notes"].insert(0, "no output (times from the first datagram sent)")
        return m
    m["started_s"] = recv_t[0] - send_t[0]
    spans = stretches(r["send_log"], out0)
    m["notes"].insert(0, "input in output time: " + ", ".join("%.1f-%.1f s" % s for s in spans))
    # The sender is a Python process on a shared machine: a pause of its own
    # near 100 ms is enough for the service to call the input lost.
    pause = max(((b - a, a - out0) for a, b in zip(send_t, send_t[1:]) if b - a <= GAP), default=None)
    if pause:
        m["notes"].insert(1, "sender's longest pause while sending %.0f ms at %.1f s" % (pause[0] * 1e3, pause[1]))
    full = kt.tr290(r["out"], times=r["recv_log"])
    video, audio, scte = chosen_streams(full, program)
    m["started"] = "%.1f s" % m["started_s"] if any(s["pes_starts"] for s in video) else "no video"
    m["pat"] = full["pat"]["max_interval_ms"] if full["pat"] else None
    pmts = {t["program"]: t["max_interval_ms"] for t in full["pmts"]}
    m["pmt"] = pmts.get(program)
    m["pmt_other"] = worst(v for k, v in pmts.items() if k != program)
    m["sdt"] = full["sdt"]["max_interval_ms"] if full["sdt"] else None
    pcrs = {p["pid"]: p for p in full["pcrs"]}
    pcr = next((pcrs[s["pid"]] for s in video if s["pid"] in pcrs), None) or (full["pcrs"] or [None])[0]
    m["pcr"] = (pcr["max_interval_ms"], pcr["max_gap_ms"], pcr["disc_unflagged"]) if pcr else (None, None, None)
    m["cc"] = full["cc_errors"]
    m["scte_out"] = sum(s["sections"] for s in scte)
    inside = [[], []]
    for a, b in spans:
        v, au, _ = chosen_streams(kt.tr290(r["out"], times=r["recv_log"], window=(a, b)), program)
        inside[0] += v
        inside[1] += au
    for key, streams, within in (("video", video, inside[0]), ("audio", audio, inside[1])):
        m[key] = [longest(within), longest(streams)]
        m["notes"] += ["%s longest %s %.0f ms at %.1f s (0x%x)" % (key, where, g[0], g[1], g[2])
                       for where, g in zip(("while the input arrives", "overall"), m[key]) if g]
        m[key] = [g[0] if g else None for g in m[key]]
    m["notes"] += silent_runs(full, spans[-1][1] if spans else 0)
    if m["fast_drop"]:
        m["notes"].append("kestrow_input_fast_dropped_total %d" % m["fast_drop"])
    if latency_refs:
        lat = {"out": r["out"], "recv_log": r["recv_log"], "send_log": r["send_log"], "t_stop": r["t_stop"]}
        bench_live.analyse(lat, r["prog"], latency_refs[1], latency_refs[0])
        m["latency"] = (lat["lat_median"], lat["lat_p99"])
    return m


# --------------------------------------------------------------------------
# The table


def ms(v):
    return "-" if v is None else "%.0f" % v


def pair(a, b, fmt=ms):
    return "%s / %s" % (fmt(a), fmt(b))


def combine(runs):
    """One row from several starts: the worst figure, and each start's counts."""
    ok = [m for m in runs if not m["error"] and "pat" in m]
    if len(ok) != len(runs) or len(runs) == 1:
        return runs[0] if len(runs) == 1 else dict(runs[0], error=next((m["error"] for m in runs if m["error"]), None)
                                                    or "a start without output")
    row = dict(ok[0])
    for key in ("pat", "pmt", "pmt_other", "sdt", "cc", "started_s"):
        row[key] = worst(m[key] for m in ok)
    row["pcr"] = tuple(worst(m["pcr"][i] for m in ok) for i in range(3))
    for key in ("video", "audio"):
        row[key] = [worst(m[key][i] for m in ok) for i in range(2)]
    row["bang"] = ("+".join(str(m["bang"][0]) for m in ok), "+".join(str(m["bang"][1]) for m in ok))
    row["pass_drop"] = "+".join(ms(m["pass_drop"]) for m in ok)
    texts = [m["asrun"] for m in ok]
    row["asrun"] = "each " + texts[0] if len(set(texts)) == 1 else " // ".join(texts)
    row["started"] = "%d of %d, slowest %.1f s" % (sum(1 for m in ok if m["started"] != "no video"), len(ok),
                                                   row["started_s"])
    row["notes"] = ["start %d: %s" % (i + 1, n) for i, m in enumerate(ok) for n in m["notes"]]
    return row


def table_row(name, m):
    if m["error"]:
        return "| %s |" % name + " - |" * (len(COLUMNS) - 2) + " %s |" % m["error"]
    if "pat" not in m:
        return "| %s |" % name + " - |" * 8 + " %s / - | %s | %s | %s | - | %s |" % (
            m["scte_in"], "%s (+%s)" % m["bang"], ms(m["pass_drop"]), m["asrun"], m["started"])
    pd = m["pass_drop"] if isinstance(m["pass_drop"], str) else ms(m["pass_drop"])
    lat = pair(*m["latency"], fmt=lambda v: "%.3f" % v) if m.get("latency") else "-"
    cells = [name, ms(m["pat"]), pair(m["pmt"], m["pmt_other"]), ms(m["sdt"]), pair(m["pcr"][0], m["pcr"][1]),
             str(m["pcr"][2]), str(m["cc"]), pair(*m["video"]), pair(*m["audio"]),
             "%s / %s" % (m["scte_in"], m["scte_out"]), "%s (+%s)" % m["bang"], pd, m["asrun"], lat, m["started"]]
    return "| " + " | ".join(cells) + " |"


def run_case(app, work, tag, name, c):
    """Generates the case's input and filler, relays it c["runs"] times, measures."""
    gen = dict(c["gen"])
    # The filler on the chosen programme's PIDs: programme N of a multiplex has them + (N - 1) * 0x100.
    shift = (c["program"] - 1) * 0x100
    look = dict(size=gen["size"], video_bitrate=gen["video_bitrate"], muxrate=gen["muxrate"],
                video_pid=0x100 + shift, audio_pids=[0x101 + shift, 0x102 + shift])
    filler, _ = generated(work, "filler_%s_%s_%x" % (gen["size"], gen["video_bitrate"], 0x100 + shift),
                          dict(look, filler=True, duration=12))
    prog, info = generated(work, name, gen)
    rate = kestrow_gen._rate(gen["muxrate"])
    if c["rate_below"]:
        rate = int(payload_rate(prog) * c["rate_below"])
    lead = info["start"] / 90000 - first_pcr(prog) / 27e6
    refs = bench_live.references(prog, filler) if c["latency"] else None
    results = []
    for n in range(c["runs"]):
        label = "%s_%s%s" % (tag, name, "_%d" % (n + 1) if c["runs"] > 1 else "")
        r = run_once(app, work, label, prog, filler, rate, c, lead)
        r["prog"] = prog
        results.append(measure(r, c["program"], refs))
        if os.path.exists(r["sent"]):
            os.remove(r["sent"])
    row = combine(results)
    if c["rate_below"]:
        row["notes"] = ["--mux-rate %d (%.0f %% of the input's %.0f bit/s without nulls)" % (
            rate, c["rate_below"] * 100, rate / c["rate_below"])] + row["notes"]
    return row


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(ROOT, "build-rel"))
    ap.add_argument("--cases", default=",".join(CASES))
    ap.add_argument("--work", help="work in this folder, keep its files and reuse its inputs")
    ap.add_argument("--checker", default=os.path.join(ROOT, "build-rel", "tools", "kestrow_check"))
    a = ap.parse_args(argv)
    app = os.path.join(os.path.abspath(a.build), "service", "KestrowApp")
    names = [n for n in a.cases.split(",") if n]
    unknown = [n for n in names if n not in CASES]
    for path in (app, a.checker):
        if not os.access(path, os.X_OK):
            print("bench_onair: no %s; build it first (see --help)" % path, file=sys.stderr)
            return 2
    if unknown:
        print("bench_onair: unknown cases %s; known: %s" % (", ".join(unknown), ", ".join(CASES)), file=sys.stderr)
        return 2
    kt.TOOLS_BIN = os.path.dirname(os.path.abspath(a.checker))
    os.environ["KESTROW_TOOLS_BIN"] = kt.TOOLS_BIN
    work = os.path.abspath(a.work) if a.work else tempfile.mkdtemp(prefix="kestrow-bench-onair-")
    os.makedirs(work, exist_ok=True)
    tag = "".join(ch if ch.isalnum() else "_" for ch in os.path.abspath(a.build).strip("/"))[-24:]
    status, rows, t0 = 0, [], time.monotonic()
    try:
        for name in names:
            t = time.monotonic()
            try:
                row = run_case(app, work, tag, name, CASES[name])
            except (RuntimeError, OSError, ValueError) as e:
                row, status = {"error": "failed: %s" % e, "notes": []}, 2
            rows.append((name, row))
            print("%s: %.0f s" % (name, time.monotonic() - t), file=sys.stderr, flush=True)
    finally:
        if not a.work:
            shutil.rmtree(work, ignore_errors=True)
    print("KestrowApp: %s; %.0f s\n" % (app, time.monotonic() - t0))
    print("| " + " | ".join(COLUMNS) + " |")
    print("|" + "---|" * len(COLUMNS))
    for name, row in rows:
        print(table_row(name, row))
    print()
    for name, row in rows:
        notes = row.get("notes", []) + (["exit status %s" % row["status"]] if "status" in row else [])
        print("- %s: %s" % (name, "; ".join(notes)))
    return status


if __name__ == "__main__":
    sys.exit(main())
