"""Cues as feeds send them (repeats, cancels, returns, immediate splices,
back-to-back and overlapping events, time_signal, events pending out of
order, late, stale, encrypted and unsupported cues, splice times across the
33-bit wrap), through KestrowDemo and, for the rows in LIVE, through
KestrowApp over loopback, on generated programmes (H.264 with a 2 s GOP,
AAC + MP2). Each output is read back with the stream checker: where the
video left and rejoined the programme, where each audio stream switched,
and that nothing outside the breaks was lost or written twice; each as-run
record is read back: its breaks are the ones aired, its times 33-bit
values, and its decisions those the row names."""
import json
import os
import unittest

import kt
import splicecheck

import kestrow_gen
import kestrow_report
from kestrow_clock import WRAP

TICKS = 90000
TS = "--time-signal-breaks"

# name, cues, breaks expected as (start, end) key frames in seconds from the
# programme start, extra options: generator keywords (and "flags" for the
# program), or TS; as-run decisions expected, as "event/reason:id" words in
# any order (cue, break_start and repeat records left out; id: the splice or
# segmentation event id, "-" for none).
ROWS = [
    ("repeats before and during", ["id=1,at=4,dur=4,lead=1,repeat=4,every=1"], [(4, 8)]),
    ("cancel before the start", ["id=1,at=6,dur=4,lead=3", "id=1,cancel=1,at=6,lead=1"], []),
    ("cancel after the start", ["id=1,at=4,dur=4,lead=2", "id=1,cancel=1,send=5"], [(4, 8)]),
    ("timed return, same id", ["id=1,at=4,dur=8,lead=2", "id=1,out=0,at=8,lead=1"], [(4, 8)]),
    ("immediate return, other id", ["id=1,at=4,dur=8,lead=2", "id=2,out=0,immediate=1,send=6"], [(4, 8)]),
    ("immediate out", ["id=1,immediate=1,dur=4,send=2.5"], [(4, 8)]),
    ("back to back", ["id=1,at=4,dur=4,lead=2", "id=2,at=8,dur=4,lead=2"], [(4, 8), (8, 12)]),
    ("overlapping", ["id=1,at=4,dur=8,lead=2", "id=2,at=8,dur=2,lead=2"], [(4, 8), (8, 10)]),
    ("time_signal start and end", ["type=time_signal,at=4,seg_type=0x34,seg_id=7",
                                   "type=time_signal,at=8,seg_type=0x35,seg_id=7"], [(4, 8)], TS),
    ("time_signal cancel", ["type=time_signal,at=6,lead=3,seg_type=0x34,seg_id=7,seg_dur=4",
                            "type=time_signal,at=6,lead=1,seg_cancel=1,seg_id=7"], [], TS),
    ("time_signal without the option", ["type=time_signal,at=4,seg_type=0x30,seg_id=7,seg_dur=4"], []),
    ("audio 300 ms ahead", ["id=1,at=4,dur=4,lead=2"], [(4, 8)], {"audio_offset_ms": 300}),
    ("audio 300 ms behind", ["id=1,at=4,dur=4,lead=2"], [(4, 8)], {"audio_offset_ms": -300}),
    ("no PCR PID: cue without timestamp", ["id=1,at=4,dur=4,lead=2"], [(4, 8)], {"pcr_pid": "none"}),
    ("four announced together: too far, far ahead, two in turn",
     ["id=4,at=1000,dur=4,send=2", "id=3,at=300,dur=4,send=2", "id=2,at=9,dur=2,send=2", "id=1,at=4,dur=2,send=2"],
     [(4, 6), (10, 12)], {},
     "ignored/too_far:4 armed/cue:3 armed/cue:2 kept/displaced:3 armed/cue:1 kept/displaced:2 break_end/duration:1 "
     "armed/kept:2 break_end/duration:2 armed/kept:3 expired/session_end:3"),
    ("a bogus cue 6 h ahead kept, breaks cued inside the running one",
     ["id=9,at=21600,dur=30,send=1.5", "id=1,at=4,dur=2,send=2", "id=2,at=8,dur=2,send=5", "id=3,at=12,dur=2,send=9"],
     [(4, 6), (8, 10), (12, 14)], {"duration": 17, "flags": ["--max-cue-lead=43200"]},
     "armed/cue:9 armed/cue:1 kept/displaced:9 break_end/duration:1 kept/after_break:2 armed/kept:2 "
     "kept/after_break:3 break_end/duration:2 armed/kept:3 break_end/duration:3 armed/kept:9 expired/session_end:9"),
    ("cue 0.5 s late", ["id=1,at=4,dur=4,send=4.5"], [(6, 8)], {}, "armed/late_join:1 break_end/duration:1"),
    ("cue 3 s late", ["id=1,at=4,dur=4,send=7"], [], {}, "ignored/late:1"),
    ("stale cue, an hour past", ["id=1,at=-3600,dur=4,send=2"], [], {}, "ignored/late:1"),
    ("encrypted, component mode, splice_schedule",
     ["id=1,at=4,dur=4,lead=2,encrypted=1,alg=1,cw=2", "id=2,comp=1:6/2:6.2,dur=2,send=3",
      "type=schedule,id=3,utc=2024-03-01T12:30:00,dur=60,send=4"], [], {},
     "ignored/encrypted:- ignored/component_mode:2 ignored/splice_schedule:3"),
    ("splice time across the 33-bit wrap by pts_adjustment", ["pts=2**33-90000,adj=270000t,dur=2"], [(8, 10)],
     {"start_pts": "2**33-5*90000"}, "armed/cue:1 break_end/duration:1"),
]
# The rows run live too, in two halves that the suite runs side by side (each row takes its
# programme's length in real time).
LIVE = ({"repeats before and during", "overlapping", "time_signal start and end", "audio 300 ms ahead",
         "no PCR PID: cue without timestamp"},
        {"four announced together: too far, far ahead, two in turn", "cue 0.5 s late", "cue 3 s late",
         "a bogus cue 6 h ahead kept, breaks cued inside the running one"})


def measure(prog, filler, out, base):
    """Per break: video start and end key frames (s from base, the programme's
    start), and per audio PID the filler's start and the programme's return,
    in ticks from the video's."""
    found = kestrow_report.breaks(prog, filler, out)
    rows = []
    for n, b in enumerate(found):
        start = b["start"]["pts"]
        end = b["end"]["pts"] if b["end"] else (found[n + 1]["start"]["pts"] if n + 1 < len(found) else None)
        audio = [(pid, first - start, None if back is None or end is None else back - end)
                 for pid, first, back in b["audio"]]
        rows.append(((start - base) / TICKS, None if end is None else (end - base) / TICKS, audio))
    return rows


def read_asrun(case, path, base, got):
    """The as-run record at path: its times are 33-bit values, its breaks
    those measured in got; returns its decisions as "event/reason:id" words."""
    records = [json.loads(line) for line in kt.read_text(path).splitlines()]
    for r in records:
        for key in ("splice_time", "pts"):
            case.assertTrue(r[key] is None or 0 <= r[key] < WRAP, r)
    aired = [((r["pts"] - base) % WRAP / TICKS, r["event"]) for r in records if r["event"].startswith("break_")]
    case.assertEqual(aired, [(t, e) for s, end, _ in got for t, e in ((s, "break_start"), (end, "break_end"))])
    words = []
    for r in records:
        if r["event"] not in ("cue", "break_start", "repeat"):
            ids = [r[k] for k in ("splice_event_id", "segmentation_event_id") if r[k] is not None]
            words.append("%s/%s:%s" % (r["event"], r["reason"], ids[0] if ids else "-"))
    return words


def expect_programme_kept(check, spans):
    """Every programme packet outside the breaks, from the first one out to the
    last, is in the output once; inside, only the audio packet cut at a
    break's start and the one the audio returns with."""
    for st in [check.video] + list(check.audio.values()):
        out = [(p["hash"], p["pts"]) for p in st.out if p["origin"] == "src"]
        assert len(out) == len(set(out)), "PID 0x%x: a programme packet written twice" % st.pid
        out = set(out)
        keys = [(p["hash"], p["pts"]) for p in st.src]
        seen = [i for i, k in enumerate(keys) if k in out]
        for p in st.src[seen[0]:seen[-1] + 1] if seen else st.src:
            inside = any(a <= p["pts"] and p["pts"] + (p["duration"] if st is not check.video else 1) <= b
                         for a, b in spans)
            assert inside != ((p["hash"], p["pts"]) in out), "PID 0x%x: packet at pts %d %s" % (
                st.pid, p["pts"], "kept inside a break" if inside else "lost")


class Cues(kt.FillerCase):
    FILLER = dict(duration=12, gop=50)

    def run_row(self, row, live):
        """Generates the row's programme, splices it, checks the output; returns what was measured."""
        name, cues, want = row[:3]
        extra = dict(row[3]) if len(row) > 3 and isinstance(row[3], dict) else {}
        flags = [TS] if len(row) > 3 and row[3] == TS else extra.pop("flags", [])
        prog = os.path.join(self.dir, "prog.ts")
        info = kestrow_gen.generate(prog, cues=cues, **dict(dict(duration=14, gop=50), **extra))
        asrun = os.path.join(self.dir, "%s-%d.asrun" % ("app" if live else "demo", ROWS.index(row)))
        flags = ["--asrun-file=" + asrun, "--frame-accurate=off"] + flags
        if live:
            svc = kt.started(self, self.dir, "--input-loss-slate=0", *flags, filler=self.filler, name="app")
            svc.send(prog)
            self.assertEqual(svc.stop(settle=2)[0], 0)
            out = svc.out
        else:
            out = os.path.join(self.dir, "out.ts")
            res = kt.run_demo(*flags, prog, out, self.filler, timeout=180)
            self.assertEqual(res.returncode, 0, res.stderr[-2000:])
        check = splicecheck.Splice(prog, self.filler, out)
        check.expect_valid()
        base = splicecheck.near(info["start"], check.video.src[0]["pts"])
        got = measure(prog, self.filler, out, base)
        self.assertEqual(want, [(s, e) for s, e, _ in got])
        decisions = read_asrun(self, asrun, base, got)
        if len(row) > 4:
            self.assertEqual(sorted(row[4].split()), sorted(decisions))
        for n, (s, e, audio) in enumerate(got):
            chained = n + 1 < len(got) and got[n + 1][0] == e
            for pid, first, back in audio:
                self.assertEqual(first, 0, "audio 0x%x starts off the video" % pid)
                limit = max(p["duration"] for p in check.audio[pid].src)
                self.assertTrue(back == 0 if chained else -limit < back <= 0,
                                "audio 0x%x returns %s ticks off the video" % (pid, back))
        spans = []
        for s, e in want:  # a break that begins where one ended extends it
            a, b = base + s * TICKS, base + e * TICKS
            spans[-1:] = [(spans[-1][0], b)] if spans and spans[-1][1] == a else spans[-1:] + [(a, b)]
        expect_programme_kept(check, spans)
        return got, decisions

    def scenarios(self, live, names=()):
        table = []
        for row in ROWS:
            if live and row[0] not in names:
                continue
            with self.subTest(row[0]):
                table.append((row[0], self.run_row(row, live)))
        for name, (got, decisions) in table:
            print("| %s | %s | %s | %s |" % ("app" if live else "demo", name, "; ".join("video %g-%gs audio %s" % (
                s, e, " ".join("0x%x %+d/%+d" % a for a in audio)) for s, e, audio in got) or "no break",
                " ".join(decisions)))

    def test_through_the_demo(self):
        self.scenarios(live=False)

    def test_through_the_service(self):
        self.scenarios(live=True, names=LIVE[0])

    def test_through_the_service_cues_announced_together_or_late(self):
        self.scenarios(live=True, names=LIVE[1])


if __name__ == "__main__":
    unittest.main(verbosity=2)
