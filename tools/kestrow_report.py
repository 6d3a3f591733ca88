#!/usr/bin/env python3
"""kestrow_report: what a splice did to a stream, read from the output.

    kestrow_report.py PROGRAMME FILLER OUTPUT [LOG]
    kestrow_report.py reconcile DAY.SCH DAY.VER [ASRUN]

Reads the programme that was sent, the filler and the recorded output with
the stream checker (kestrow_check, found in KESTROW_TOOLS_BIN or next to the
build's tools folder), tells for each packet of the output whether it came
from the programme or the filler, and prints one block per break: the
announced splice time, where the video left and rejoined the programme
(pts of the key frames), and where each audio stream switched (offset from
the video's splice point). With LOG, the service's log lines about the
break are printed beside it.

reconcile: a day's traffic as the traffic department checks it before
billing: per window, break and spot, what the schedule asked for (time,
length) against what the verification file says aired (time, length,
position, status), and, with the channel's as-run record, the aired time
to the millisecond; then the count per status and the seconds of spots not
aired in full. Exit status 1 when a record is still undecided (0000) after
its window ended, 2 for files that cannot be read.

As a module: read(path), Stream(pid, prog, filler, out), near(v, ref),
breaks(prog_path, filler_path, out_path); for live outputs, wire(out_path,
times_path) (silence, PCR steps, continuity errors), units(path, times_path,
pid) and match(sent, got) (each PES followed by its payload: latency, loss).
"""
import collections
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kestrow_gen  # noqa: E402
import kestrow_clock  # noqa: E402
from kestrow_clock import WRAP  # noqa: E402

LEAD = 9000  # ticks a key frame may come before the start or end of a break
TICKS = 90000


def _pes_timestamps(ts, pos):
    """PTS and DTS carried in the PES header that starts in the TS packet at
    pos; DTS is the PTS when the header carries none."""
    p = ts[pos:pos + 188]
    if len(p) < 188 or p[0] != 0x47 or not p[1] & 0x40:
        return None
    off = 4
    if p[3] & 0x20:
        off += 1 + p[4]
    h = p[off:]
    if len(h) < 14 or h[0:3] != b"\x00\x00\x01":
        return None

    def stamp(b):
        return ((b[0] >> 1) & 7) << 30 | b[1] << 22 | (b[2] >> 1) << 15 | b[3] << 7 | b[4] >> 1

    flags = h[7] >> 6
    if not flags & 2:
        return None
    pts = stamp(h[9:14])
    dts = stamp(h[14:19]) if flags == 3 else pts
    return pts, dts


def read(path, *args):
    """The checker's view of path, with each packet's pts and dts taken from
    its PES header (as carried, placed on the demuxer's time line): readers
    guess a dts that a header leaves out, and would blur what was written."""
    r = kestrow_gen.check(path, *args)
    with open(path, "rb") as f:
        ts = f.read()
    for p in r["packets"]:
        if p["pos"] is None or p["pts"] is None:
            continue
        carried = _pes_timestamps(ts, p["pos"])
        if carried:
            p["pts"] = near(carried[0], p["pts"])
            p["dts"] = near(carried[1], p["pts"])
    return r


def near(value, ref):
    """value + k * 2^33 closest to ref."""
    return kestrow_clock.nearest(value, ref)


def _pts_key(p):
    return None if p["pts"] is None else p["pts"] % WRAP


def by_pid(r, pid):
    return [p for p in r["packets"] if p["pid"] == pid]


def media_pids(r, media):
    return [s["pid"] for s in r["streams"] if s["media"] == media]


class Stream:
    """The packets of one PID in the programme, the filler and the output."""

    def __init__(self, pid, prog, filler, out):
        self.pid = pid
        self.src = by_pid(prog, pid)
        self.fill = by_pid(filler, pid)
        self.out = by_pid(out, pid)
        # A packet without timestamps (the second access unit of a PES) is
        # known by its bytes alone, whatever time the output gave it.
        self.src_keys = {(p["hash"], _pts_key(p)) for p in self.src}
        fill_hashes = {p["hash"] for p in self.fill}
        # H.264 pictures after a return on a non-IDR key frame have their
        # slice headers rewritten (a few bytes): they are known by their
        # times, or without times by the programme packet after the one before
        # ("rewritten" keeps the packet's own hash).
        src_times = {(p["pts"], p["dts"]): p for p in self.src if p["pts"] is not None}
        src_next = {(a["hash"], _pts_key(a)): b for a, b in zip(self.src, self.src[1:])}
        prev = None
        for p in self.out:
            like = src_times.get((p["pts"], p["dts"])) if p["pts"] is not None else \
                src_next.get((prev["hash"], _pts_key(prev))) if prev and prev["origin"] == "src" else None
            if (p["hash"], _pts_key(p)) in self.src_keys or (p["hash"], None) in self.src_keys:
                p["origin"] = "src"
            elif p["hash"] in fill_hashes:
                p["origin"] = "fill"
            elif like and like["codec"] == "h264" and like["pts"] == p["pts"] and abs(like["size"] - p["size"]) <= 64:
                p["origin"], p["hash"], p["rewritten"] = "src", like["hash"], p["hash"]
            else:
                p["origin"] = "?"
            prev = p

    def runs(self):
        """Consecutive output packets from the filler, as lists; a run also ends
        where the filler starts again from its first packet (the next break
        beginning right where one ended)."""
        runs, cur = [], []
        first = self.fill[0]["hash"] if self.fill else None
        for p in self.out:
            if p["origin"] == "fill":
                if cur and p["hash"] == first:
                    runs.append(cur)
                    cur = []
                cur.append(p)
            elif cur:
                runs.append(cur)
                cur = []
        if cur:
            runs.append(cur)
        return runs


def announced(section):
    """Splice point of a splice_insert cue, (pts_time + pts_adjustment) mod 2^33, or None."""
    d = section
    if len(d) < 20 or d[0] != 0xFC or d[13] != 5:
        return None
    adj = (d[4] & 1) << 32 | int.from_bytes(d[5:9], "big")
    b = d[14:]
    if b[4] & 0x80:  # cancelled
        return None
    flags = b[5]
    if not flags & 0x40 or flags & 0x10 or not b[6] & 0x80:  # component mode, immediate, no time
        return None
    pts = (b[6] & 1) << 32 | int.from_bytes(b[7:11], "big")
    return (pts + adj) % WRAP


def _sec(ticks):
    return "%.3f s" % (ticks / TICKS)


def breaks(prog_path, filler_path, out_path):
    """One dict per break seen in the output: cue, video start and end, audio switches."""
    prog, filler, out = read(prog_path, "--hex"), read(filler_path), read(out_path)
    video_pid = media_pids(prog, "video")[0]
    video = Stream(video_pid, prog, filler, out)
    audio = [Stream(pid, prog, filler, out) for pid in media_pids(prog, "audio")]
    cues = [p for p in prog["packets"] if p["codec"] == "scte_35" and p["data"]]
    result = []
    for n, run in enumerate(video.runs()):
        start = next((p for p in video.src if p["dts"] == run[0]["dts"]), None)
        after = [p for p in video.out if p["dts"] > run[-1]["dts"]]
        end = after[0] if after and after[0]["origin"] == "src" else None
        item = {"index": n, "start": start, "end": end, "video_packets": len(run), "audio": []}
        for st in audio:
            aruns = st.runs()
            if len(aruns) <= n:
                item["audio"].append((st.pid, None, None))
                continue
            arun = aruns[n]
            nxt = [p for p in st.out if p["pts"] > arun[-1]["pts"]]
            item["audio"].append((st.pid, arun[0]["pts"], nxt[0]["pts"] if nxt else None))
        item["cues"] = [c for c in cues if start and c["pts"] is not None and c["pts"] < start["pts"]]
        result.append(item)
    return result


# --------------------------------------------------------------------------
# A live output on the wire: what a receiver locked to it sees.

PCR_HZ = 27000000


def read_times(path):
    """[(seconds, byte offset)] of a kestrow_udp --log file."""
    with open(path) as f:
        return [(float(t), int(o)) for t, o in (line.split() for line in f if line.strip())]


def _packets(data):
    """(offset, packet) of each whole TS packet found by its sync byte."""
    i, n = 0, len(data)
    while i + 188 <= n:
        if data[i] != 0x47:
            j = data.find(b"\x47", i + 1)
            if j < 0:
                return
            i = j
            continue
        yield i, data[i:i + 188]
        i += 188


def wire(out_path, times_path=None, until=None):
    """What a receiver sees of a recorded output: the longest silence between
    datagrams (s, from the arrival log; those that arrived by until, a time of
    that log, when given) and when it began, the longest PCR interval of each PID
    (ms of PCR time), every PCR step (a PCR more than 100 ms from the one
    before, or going back: (seconds of step, discontinuity_indicator set)),
    and continuity-counter errors per PID (a repeated packet once is fine;
    the discontinuity_indicator excuses the next count)."""
    with open(out_path, "rb") as f:
        data = f.read()
    times = [t for t, _ in read_times(times_path) if until is None or t <= until] if times_path else []
    gaps = [b - a for a, b in zip(times, times[1:])]
    last_pcr, last_cc, pcr_max, steps, cc_errors = {}, {}, {}, [], {}
    for _, p in _packets(data):
        pid = ((p[1] & 0x1F) << 8) | p[2]
        if pid == 0x1FFF or p[1] & 0x80:
            continue
        afc, cc = (p[3] >> 4) & 3, p[3] & 15
        disc = bool(afc & 2 and p[4] > 0 and p[5] & 0x80)
        if afc & 1:
            prev = last_cc.get(pid)
            if prev is not None and not disc and cc != (prev + 1) % 16 and cc != prev:
                cc_errors[pid] = cc_errors.get(pid, 0) + 1
            last_cc[pid] = cc
        if afc & 2 and p[4] >= 7 and p[5] & 0x10:
            b = p[6:12]
            pcr = (b[0] << 25 | b[1] << 17 | b[2] << 9 | b[3] << 1 | b[4] >> 7) * 300 + ((b[4] & 1) << 8 | b[5])
            if pid in last_pcr:
                d = kestrow_clock.pcr_diff(pcr, last_pcr[pid])
                if d < 0 or d > PCR_HZ // 10:
                    steps.append((d / PCR_HZ, disc))
                else:
                    pcr_max[pid] = max(pcr_max.get(pid, 0), d * 1000 / PCR_HZ)
            last_pcr[pid] = pcr
    at = max(range(len(gaps)), key=gaps.__getitem__, default=None)
    return {"silence": max(gaps, default=None), "silence_at": None if at is None else times[at],
            "pcr_max_ms": pcr_max, "steps": steps, "cc_errors": cc_errors}


def units(path, times_path, pid):
    """[(payload key, time, pts)] of each PES on pid, in stream order: the key
    is a hash of the PES payload after its header (the same whatever the
    timestamps and the packets that carry it), the time that of the
    datagram holding the PES start, the pts as carried (None without)."""
    with open(path, "rb") as f:
        data = f.read()
    rows = read_times(times_path)
    out, k, unit = [], 0, None

    def close():
        if unit is not None and len(unit[0]) > 9 and len(unit[0]) > 9 + unit[0][8]:
            out.append((hash(bytes(unit[0][9 + unit[0][8]:])), unit[1], unit[2]))
    for off, p in _packets(data):
        if ((p[1] & 0x1F) << 8 | p[2]) != pid or p[1] & 0x80 or not p[3] & 0x10:
            continue
        o = 4 + (1 + p[4] if p[3] & 0x20 else 0)
        if p[1] & 0x40:
            close()
            while k + 1 < len(rows) and rows[k + 1][1] <= off:
                k += 1
            stamps = _pes_timestamps(data, off)
            unit = (bytearray(), rows[k][0] if rows else None, stamps[0] if stamps else None)
        if unit is not None and o < 188:
            unit[0].extend(p[o:])
    close()
    return out


def match(sent, got):
    """For each unit of sent (units()), the arrival time of the same payload in
    got after it was sent, each unit of got used once; None: not relayed."""
    pending = {}
    for key, t, _ in got:
        pending.setdefault(key, collections.deque()).append(t)
    found = []
    for key, t, _ in sent:
        q = pending.get(key)
        while q and q[0] < t:
            q.popleft()
        found.append(q.popleft() if q else None)
    return found


def returned(sent, arrived, since):
    """Index in sent of the programme's return after a fault at time since: the
    first unit that arrived after the first one sent since then that did not
    (the first sent since then when none was lost); None when none came."""
    i = next((i for i, u in enumerate(sent) if u[1] >= since), len(sent))
    j = next((j for j in range(i, len(sent)) if arrived[j] is None), i)
    return next((k for k in range(j, len(sent)) if arrived[k] is not None), None)


STATUS = {"0000": "not decided yet", "0001": "aired in full", "1001": "not started: break too short",
          "1002": "spot file missing or unusable", "1003": "no break came in the window",
          "1004": "break cancelled or skipped", "1005": "cut short", "1006": "spot file shorter than sold",
          "1007": "spot file not ready in time"}


def traffic_records(path):
    """The LOI and NUL records of a .SCH or .VER file, by byte position."""
    with open(path, "rb") as f:
        lines = f.read().decode("latin-1").replace("\r\n", "\n").split("\n")
    out = []
    for n, l in enumerate(lines, 1):
        if l[:3] not in ("LOI", "NUL"):
            continue
        l = l.ljust(77)
        out.append({"line": n, "type": l[0:3], "date": l[4:8], "time": l[9:15], "window": l[16:20],
                    "minutes": int(l[21:23] or 0) * 60 + int(l[23:25] or 0), "break": int(l[26:29] or 0),
                    "position": int(l[30:33].strip() or 0),
                    "length": int(l[34:36] or 0) * 3600 + int(l[36:38] or 0) * 60 + int(l[38:40] or 0),
                    "aired": l[41:47], "aired_cs": int(l[48:50] or 0) * 360000 + int(l[50:52] or 0) * 6000 +
                    int(l[52:54] or 0) * 100 + int(l[54:56] or 0), "aired_position": int(l[57:60] or 0),
                    "spot": l[61:72].strip(), "status": l[73:77]})
    return out


def _window_end(r, now):
    """Wall time (s) at which r's window ends, in the year that puts its date nearest now."""
    import time
    year = time.localtime(now).tm_year
    ends = []
    for y in (year - 1, year, year + 1):
        try:
            start = time.mktime(time.strptime("%d%s%s" % (y, r["date"], r["window"]), "%Y%m%d%H%M"))
        except ValueError:
            continue
        ends.append(start + r["minutes"] * 60)
    return min(ends, key=lambda t: abs(t - now)) if ends else None


def reconcile(sch_path, ver_path, asrun_path=None, now=None, out=sys.stdout):
    """Prints the reconciliation; returns the exit status."""
    import calendar
    import json
    import time
    now = time.time() if now is None else now
    sched, ver = traffic_records(sch_path), traffic_records(ver_path)
    if [r["line"] for r in sched] != [r["line"] for r in ver]:
        print("the verification file's records are not those of the schedule", file=sys.stderr)
        return 2
    asrun = {}
    if asrun_path:
        with open(asrun_path) as f:
            for rec in (json.loads(l) for l in f if l.strip()):
                if rec.get("event") == "spot" and rec.get("reason") in ("aired", "cut_short"):
                    t = time.localtime(calendar.timegm(time.strptime(rec["time"][:19], "%Y-%m-%dT%H:%M:%S")))
                    key = (rec["spot_id"], rec["break_number"], rec["position"], time.strftime("%H%M%S", t))
                    asrun[key] = time.strftime("%H:%M:%S", t) + rec["time"][19:23]
    totals, missed, undecided, last = {}, 0, 0, None
    hms = lambda t: "%s:%s:%s" % (t[0:2], t[2:4], t[4:6])
    for s, v in zip(sched, ver):
        head = (s["date"], s["window"], s["minutes"], s["break"])
        if head != last:
            print("%s/%s window %s:%s (%d min) break %d" % (s["date"][:2], s["date"][2:], s["window"][:2],
                                                           s["window"][2:], s["minutes"], s["break"]), file=out)
            print("  pos type spot         scheduled          aired                       status", file=out)
            last = head
        aired = "-"
        if v["aired"] != "000000":
            at = asrun.get((v["spot"], v["break"], v["position"], v["aired"]), hms(v["aired"]))
            aired = "%-12s %6.2f s #%d" % (at, v["aired_cs"] / 100, v["aired_position"])
        st = v["status"]
        print("  %3d %s  %-11s  %s %6d s   %-27s %s %s" % (s["position"], s["type"], s["spot"] or "-", hms(s["time"]),
                                                           s["length"], aired, st, STATUS.get(st, "?")), file=out)
        totals[st] = totals.get(st, 0) + 1
        if s["type"] == "LOI" and st not in ("0000", "0001"):
            missed += s["length"]
        end = _window_end(s, now)
        if st == "0000" and end is not None and end <= now:
            undecided += 1
    print("totals:", file=out)
    for st in sorted(totals):
        print("  %s %-32s %d" % (st, STATUS.get(st, "?"), totals[st]), file=out)
    print("seconds of spots not aired in full: %d" % missed, file=out)
    if undecided:
        print("%d records still undecided after their window ended" % undecided, file=out)
    return 1 if undecided else 0


def main(argv):
    if len(argv) >= 2 and argv[1] == "reconcile":
        if len(argv) not in (4, 5):
            print(__doc__, file=sys.stderr)
            return 2
        try:
            return reconcile(argv[2], argv[3], argv[4] if len(argv) > 4 else None)
        except (OSError, ValueError) as e:
            print("cannot reconcile: %s" % e, file=sys.stderr)
            return 2
    if len(argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    log = open(argv[4], errors="replace").read() if len(argv) > 4 else ""
    found = breaks(argv[1], argv[2], argv[3])
    if not found:
        print("no break in the output")
    for b in found:
        start, end = b["start"], b["end"]
        print("break %d" % (b["index"] + 1))
        points = [announced(c["data"]) for c in b["cues"]]
        points = [near(t, start["pts"]) for t in points if t is not None and start is not None]
        if points:
            print("  announced splice point pts %d (%s)" % (points[-1], _sec(points[-1])))
        if start is None:
            print("  video: filler from dts %s (no programme key frame matches)" % b["video_packets"])
            continue
        print("  video left the programme at key frame pts %d (%s), %d filler frames" % (
            start["pts"], _sec(start["pts"]), b["video_packets"]))
        if end is not None:
            print("  video back on the programme at pts %d (%s): break lasted %s" % (
                end["pts"], _sec(end["pts"]), _sec(end["pts"] - start["pts"])))
        for pid, first, back in b["audio"]:
            if first is None:
                print("  audio 0x%x: programme audio kept (no filler stream)" % pid)
                continue
            line = "  audio 0x%x: filler from %+d ticks after the video splice" % (pid, first - start["pts"])
            if back is not None and end is not None:
                line += ", programme back %+d ticks after the video" % (back - end["pts"])
            print(line)
    if log:
        print("\nlog lines about the breaks:")
        for line in log.splitlines():
            if re.search(r"splice_time\.pts_time|Splicing (started|finished)|SPLICING_STATE_IDLE|"
                         r"end of break detected|found audio stream|Strange", line):
                print("  " + line.strip())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
