"""Readers that follow each programme packet from a service's input to its
output (by PID and PES timestamp), so that a fault-injection test can count
what went in and what came out in any stretch of time, and the table of
faults each such test prints."""
import os
import re

import kt
import splicecheck
import kestrow_clock
from kestrow_clock import WRAP

TICKS = kt.TICKS
TS = 188
PIDS = [0x100, 0x101, 0x102]


# --------------------------------------------------------------------------
# Transport stream reading: enough to find each PES start and its PTS.


def pes_starts(data, pids):
    """(byte offset, pid, pts) of every PES start with a PTS on the given PIDs,
    in stream order. Works on any byte stream: packets are found by their sync
    byte, so garbage and truncated packets in between are passed over."""
    out = []
    n = len(data)
    i = 0
    while i + TS <= n:
        if data[i] != 0x47 or (i + TS < n and data[i + TS] != 0x47):
            j = data.find(b"\x47", i + 1)
            if j < 0:
                break
            i = j
            continue
        p = data[i:i + TS]
        pid = ((p[1] & 0x1F) << 8) | p[2]
        if pid in pids and p[1] & 0x40 and not p[1] & 0x80:
            afc = (p[3] >> 4) & 3
            o = 4 + (1 + p[4] if afc & 2 else 0)
            if afc & 1 and o + 14 <= TS and p[o:o + 3] == b"\x00\x00\x01" and p[o + 7] & 0x80:
                b = p[o + 9:o + 14]
                pts = ((b[0] >> 1) & 7) << 30 | b[1] << 22 | (b[2] >> 1) << 15 | b[3] << 7 | b[4] >> 1
                out.append((i, pid, pts))
        i += TS
    return out


def read_times(path):
    """[(seconds, byte offset)] of a kestrow_udp --log file."""
    rows = []
    for line in kt.read_text(path).splitlines():
        t, off = line.split()
        rows.append((float(t), int(off)))
    return rows


def time_of(rows, offset):
    """Time of the datagram holding byte offset (rows sorted by offset)."""
    lo, hi = 0, len(rows) - 1
    if not rows or offset < rows[0][1]:
        return None
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if rows[mid][1] <= offset:
            lo = mid
        else:
            hi = mid - 1
    return rows[lo][0]


def pcr_late_ms(path, times, lo, hi):
    """How much later than their values say (ms) the PCRs at path whose value
    (90 kHz, no wrap) lies in [lo, hi) arrived at the latest, against the
    median of all (times: the receiver's arrival log). An output that falls
    silent and then catches up in a burst has its PCRs that late. Returns
    (ms, first, last): first and last, the arrival times of the window's
    first and last PCR."""
    with open(path, "rb") as f:
        data = f.read()
    rows, pcrs = read_times(times), []
    for i in range(0, len(data) - TS + 1, TS):
        if data[i + 3] & 0x20 and data[i + 4] >= 7 and data[i + 5] & 0x10:
            b = data[i + 6:i + 11]
            pcr = b[0] << 25 | b[1] << 17 | b[2] << 9 | b[3] << 1 | b[4] >> 7
            t = time_of(rows, i)
            pcrs.append((pcr, t - pcr / TICKS, t))
    base = sorted(off for _, off, _ in pcrs)[len(pcrs) // 2]
    inside = [(off, t) for pcr, off, t in pcrs if lo <= pcr < hi]
    return max((off - base) * 1000 for off, _ in inside), inside[0][1], inside[-1][1]


def pcr_lateness(svc, lo, hi):
    """(ms, ms): how late the PCRs of a service's output in [lo, hi) came
    (pcr_late_ms), and the most a thread of the service waited for a CPU from
    that much before the window's first PCR to its last: what a busy machine
    took from it."""
    late, first, last = pcr_late_ms(svc.out, svc.arrivals, lo, hi)
    return late, 1000 * svc.waits.waited(first - late / 1000, last)


def unwrap(pts, ref):
    return kestrow_clock.nearest(pts, ref)


class Flow:
    """The PES starts of the audio and video PIDs of one stream file, each
    with the time it crossed the socket (from a kestrow_udp log)."""

    def __init__(self, path, times, pids, ref, shift=0):
        with open(path, "rb") as f:
            data = f.read()
        rows = read_times(times) if times else []
        self.units = []
        for off, pid, pts in pes_starts(data, set(pids)):
            self.units.append((pid, unwrap(pts - shift, ref), time_of(rows, off) if rows else None))

    def count(self, lo, hi, pids=None):
        """Distinct PES units (PID and pts) with lo <= pts < hi (ticks,
        unwrapped): a unit sent twice counts once."""
        return len({(pid, pts) for pid, pts, _ in self.units
                    if lo <= pts < hi and (pids is None or pid in pids)})

    def sent_between(self, t0, t1):
        """Distinct PES units (PID, pts) that crossed the socket between the
        monotonic times t0 and t1."""
        return {(pid, pts) for pid, pts, t in self.units if t is not None and t0 <= t <= t1}

    def keys(self):
        return {(pid, pts) for pid, pts, _ in self.units}

    def times(self, pid):
        """{pts: time} of one PID (the first time a pts was seen)."""
        seen = {}
        for p, pts, t in self.units:
            if p == pid and pts not in seen:
                seen[pts] = t
        return seen


def relayed(sent, got, t0, t1):
    """(units sent between t0 and t1, units that came out in the same stretch
    of each PID's time line): during a break the filler's units count in
    place of the programme's."""
    units = sent.sent_between(t0, t1)
    span = {}
    for pid, pts in units:
        lo, hi = span.get(pid, (pts, pts))
        span[pid] = (min(lo, pts), max(hi, pts))
    out = {(pid, pts) for pid, pts in got.keys() if pid in span and span[pid][0] <= pts <= span[pid][1]}
    return len(units), len(out)


def latency(sent, got, pid, lo, hi):
    """Delays (seconds) from sending to receiving of the PES units of pid with
    lo <= pts < hi that crossed both sockets."""
    a = sent.times(pid)
    b = got.times(pid)
    return sorted(b[k] - a[k] for k in a if lo <= k < hi and k in b and a[k] is not None
                  and b[k] is not None)


def _restamp(p, shift):
    """The TS packet p with the PTS and DTS of the PES header it starts moved by -shift."""
    o = 4 + (1 + p[4] if p[3] & 0x20 else 0)
    if not shift or not p[1] & 0x40 or o + 14 > TS or p[o:o + 3] != b"\x00\x00\x01":
        return p
    p = bytearray(p)
    for at in {2: (o + 9,), 3: (o + 9, o + 14)}.get(p[o + 7] >> 6, ()):
        b = p[at:at + 5]
        v = (((b[0] >> 1) & 7) << 30 | b[1] << 22 | (b[2] >> 1) << 15 | b[3] << 7 | b[4] >> 1) - shift
        v %= WRAP
        p[at:at + 5] = bytes([(b[0] & 0xF1) | ((v >> 29) & 0x0E), (v >> 22) & 0xFF, ((v >> 14) & 0xFE) | 1,
                              (v >> 7) & 0xFF, ((v << 1) & 0xFE) | 1])
    return bytes(p)


def shift_of(log, restarts=None):
    """Ticks the service moved the programme's times by (its log's lines), in
    all or up to its restarts-th restart of the source."""
    total, seen = 0, 0
    for why, ticks in re.findall(r"\((\w+)\), its times moved by (-?\d+) ticks", log):
        total += int(ticks)
        seen += why == "restart"
        if restarts is not None and seen == restarts:
            break
    return total


def cut(path, dest, video_pid, lo, hi, ref, pids=(0x101, 0x102), shift=0):
    """Writes to dest the stretch of the TS file at path from the first video
    PES start with lo <= pts up to the first later one with pts >= hi (ticks,
    unwrapped near ref), after the file's first PAT and PMT packets, so that a
    reader takes it for a stream of its own. PES units of the video and pids
    from another time line (a session before a jump) are left out. shift:
    ticks the file's times run ahead of the programme's (taken off)."""
    with open(path, "rb") as f:
        data = f.read()
    media = {video_pid, *pids}
    units = [(off, pid, unwrap(pts - shift, ref)) for off, pid, pts in pes_starts(data, media)]
    begin = next((off for off, pid, pts in units if pid == video_pid and pts >= lo), None)
    if begin is None:
        raise AssertionError("%s: no video with pts >= %d" % (path, lo))
    end = next((off for off, pid, pts in units if off > begin and pid == video_pid and pts >= hi), len(data))
    starts = {off: pts for off, _, pts in units}
    body = []
    current = {}
    for i in range(begin, end - TS + 1, TS):
        p = data[i:i + TS]
        if p[0] != 0x47:
            continue
        pid = ((p[1] & 0x1F) << 8) | p[2]
        if pid in media:
            if i in starts:
                current[pid] = starts[i]
            pts = current.get(pid)
            if pts is None or not lo - 2 * TICKS <= pts < hi + 2 * TICKS:
                continue
            p = _restamp(p, shift)
        body.append(p)
    head = b""
    pmt = None
    for i in range(0, min(len(data), 5000 * TS), TS):
        p = data[i:i + TS]
        pid = ((p[1] & 0x1F) << 8) | p[2]
        if pmt is None and pid == 0 and p[1] & 0x40:
            o = 4 + (1 + p[4] if p[3] & 0x20 else 0)
            o += 1 + p[o]                      # the section, after the pointer field
            pmt = ((p[o + 10] & 0x1F) << 8) | p[o + 11]
            head = p
        elif pmt is not None and pid == pmt and p[1] & 0x40:
            head += p
            break
    with open(dest, "wb") as f:
        f.write(head + b"".join(body))
    return dest


def put_section(path, index, section, pid):
    """Replaces TS packet number index of the file (a cue packet the
    generator placed) by section carried on pid over as many TS packets as
    it needs, and renumbers the continuity counters of pid to follow on."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    old = data[index * TS:(index + 1) * TS]
    if ((old[1] & 0x1F) << 8 | old[2]) != pid:
        raise ValueError("packet %d is not on PID 0x%x" % (index, pid))
    payload = b"\x00" + bytes(section)          # pointer_field, then the section
    packets = []
    for n, pos in enumerate(range(0, len(payload), TS - 4)):
        chunk = payload[pos:pos + TS - 4]
        head = bytes([0x47, (0x40 if n == 0 else 0) | pid >> 8, pid & 0xFF, 0x10])
        packets.append(head + chunk + b"\xff" * (TS - 4 - len(chunk)))
    data[index * TS:(index + 1) * TS] = b"".join(packets)
    cc = 0
    for i in range(0, len(data), TS):
        if ((data[i + 1] & 0x1F) << 8 | data[i + 2]) == pid and data[i + 3] & 0x10:
            data[i + 3] = (data[i + 3] & 0xF0) | cc
            cc = (cc + 1) & 0x0F
    with open(path, "wb") as f:
        f.write(data)
    return len(packets)


class Results:
    """Rows of the fault table of one test: what was done, PES units in and
    out, whether the service survived it; printed, and written to
    $KESTROW_BUILD/faults/<name>.tsv for the figures."""

    def __init__(self, name):
        self.name = name
        self.rows = []
        self.problems = []

    def add(self, fault, units_in, units_out, survived, note=""):
        self.rows.append((fault, units_in, units_out, survived, note))

    def expect(self, cond, what):
        """Notes a failed expectation without stopping the walk."""
        if not cond:
            self.problems.append(what)
        return bool(cond)

    def within(self, units_in, units_out, share=0.05):
        return units_in > 0 and abs(units_out - units_in) <= share * units_in

    def table(self):
        lines = ["%-52s %9s %9s  %s" % ("fault", "units in", "units out", "survived")]
        for fault, a, b, ok, note in self.rows:
            lines.append("%-52s %9s %9s  %s%s" % (fault, a, b, "yes" if ok else "NO",
                                                   "  (" + note + ")" if note else ""))
        return "\n".join(lines)

    def finish(self):
        text = self.table()
        print("\n" + text, flush=True)
        if kt.BUILD:
            folder = os.path.join(kt.BUILD, "faults")
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, self.name + ".tsv"), "w") as f:
                for row in self.rows:
                    f.write("\t".join(str(x) for x in row) + "\n")
        if self.problems:
            raise AssertionError("\n".join(self.problems) + "\n" + text)


def split(path, first, second, video_pid, at, ref):
    """Cuts the TS file at path in two at the first video PES start with
    pts >= at (ticks, unwrapped near ref): the part before goes to first, the
    rest to second. Returns (first, second)."""
    with open(path, "rb") as f:
        data = f.read()
    off = next((o for o, _, pts in pes_starts(data, {video_pid}) if unwrap(pts, ref) >= at), None)
    if off is None:
        raise ValueError("%s: no video at %d" % (path, at))
    with open(first, "wb") as f:
        f.write(data[:off])
    with open(second, "wb") as f:
        f.write(data[off:])
    return first, second


class Walk:
    """Checks on one service's output after a run, stretch by stretch of a
    programme's time line (seconds from ref, the programme's start)."""

    def __init__(self, res, svc, filler, workdir, pids, video=0x100):
        self.res, self.svc, self.filler, self.dir = res, svc, filler, workdir
        self.pids, self.video = list(pids), video

    def flows(self, rec, times, ref, shift=0):
        """(what was sent, what came out) of the sender's record rec; the
        output's times shift ticks ahead of the programme's."""
        return Flow(rec, times, self.pids, ref), Flow(self.svc.out, self.svc.arrivals, self.pids, ref, shift)

    @staticmethod
    def ticks(ref, a, b):
        return ref + int(a * TICKS), ref + int(b * TICKS)

    def counts(self, fin, fout, ref, a, b):
        lo, hi = self.ticks(ref, a, b)
        return fin.count(lo, hi), fout.count(lo, hi)

    def delay(self, fin, fout, ref, a, b):
        """Median delay of the video units of the stretch, or None."""
        lat = latency(fin, fout, self.video, *self.ticks(ref, a, b))
        return sorted(lat)[len(lat) // 2] if lat else None

    def spliced(self, prog, ref, lo, hi, at, dur, label, shift=0):
        """Whether the break announced at `at` for `dur` seconds lies exactly
        in the output's stretch [lo, hi), as splicecheck reads it (the
        output's times shift ticks ahead of the programme's)."""
        try:
            out_cut = cut(self.svc.out, os.path.join(self.dir, label + ".cut.ts"), self.video,
                          *self.ticks(ref, lo, hi), ref, pids=[p for p in self.pids if p != self.video], shift=shift)
            check = splicecheck.Splice(prog, self.filler, out_cut)
            check.expect_valid()
            check.expect_break(0, ref + int(at * TICKS), int(dur * TICKS))
            return True
        except AssertionError as e:
            return self.res.expect(False, "%s: %s" % (label, e))

    def ending(self, rc, took, limit=2.0):
        """Exit status, time to exit, sanitizer: one table row."""
        res = self.res
        ok = res.expect(rc == 0, "exit status %r" % rc) & res.expect(took < limit, "SIGTERM took %.2f s" % took)
        report = kt.sanitizer_report(self.svc.stderr_text())
        ok &= res.expect(report is None, "sanitizer: %s" % report)
        res.add("SIGTERM after the faults", "", "", ok, "exit %r in %.2f s" % (rc, took))
