"""Cues as feeds send them (repeats, cancels, returns, immediate splices,
back-to-back and overlapping events, time_signal), through KestrowDemo and,
for the rows in LIVE, through KestrowApp over loopback, on generated
programmes (H.264 with a 2 s GOP, AAC + MP2). Each output is read back with
the stream checker: where the video left and rejoined the programme, where
each audio stream switched, and that nothing outside the breaks was lost or
written twice."""
import os
import unittest

import kt
import splicecheck

import kestrow_gen
import kestrow_report

TICKS = 90000
TS = "--time-signal-breaks"

# name, cues, breaks expected as (start, end) key frames in seconds from the
# programme start, extra options: generator keywords, or TS for the demo.
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
]
LIVE = {"repeats before and during", "overlapping", "time_signal start and end", "audio 300 ms ahead",
        "no PCR PID: cue without timestamp"}


def measure(prog, filler, out, info):
    """Per break: video start and end key frames (s), and per audio PID the
    filler's start and the programme's return, in ticks from the video's."""
    found = kestrow_report.breaks(prog, filler, out)
    rows = []
    for n, b in enumerate(found):
        start = b["start"]["pts"]
        end = b["end"]["pts"] if b["end"] else (found[n + 1]["start"]["pts"] if n + 1 < len(found) else None)
        audio = [(pid, first - start, None if back is None or end is None else back - end)
                 for pid, first, back in b["audio"]]
        rows.append(((start - info["start"]) / TICKS, None if end is None else (end - info["start"]) / TICKS, audio))
    return rows


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
        extra = row[3] if len(row) > 3 else {}
        prog = os.path.join(self.dir, "prog.ts")
        info = kestrow_gen.generate(prog, duration=14, gop=50, cues=cues,
                                    **(extra if isinstance(extra, dict) else {}))
        flags = [TS] if extra == TS else []
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
        got = measure(prog, self.filler, out, info)
        self.assertEqual(want, [(s, e) for s, e, _ in got])
        for n, (s, e, audio) in enumerate(got):
            chained = n + 1 < len(got) and got[n + 1][0] == e
            for pid, first, back in audio:
                self.assertEqual(first, 0, "audio 0x%x starts off the video" % pid)
                limit = max(p["duration"] for p in check.audio[pid].src)
                self.assertTrue(back == 0 if chained else -limit < back <= 0,
                                "audio 0x%x returns %s ticks off the video" % (pid, back))
        spans = []
        for s, e in want:  # a break that begins where one ended extends it
            a, b = info["start"] + s * TICKS, info["start"] + e * TICKS
            spans[-1:] = [(spans[-1][0], b)] if spans and spans[-1][1] == a else spans[-1:] + [(a, b)]
        expect_programme_kept(check, spans)
        return got

    def scenarios(self, live):
        table = []
        for row in ROWS:
            if live and row[0] not in LIVE:
                continue
            with self.subTest(row[0]):
                table.append((row[0], self.run_row(row, live)))
        for name, got in table:
            print("%-9s %-36s %s" % ("app" if live else "demo", name, "; ".join("video %g-%gs audio %s" % (
                s, e, " ".join("0x%x %+d/%+d" % a for a in audio)) for s, e, audio in got) or "no break"))

    def test_through_the_demo(self):
        self.scenarios(live=False)

    def test_through_the_service(self):
        self.scenarios(live=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
