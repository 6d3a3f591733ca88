"""A generated day through KestrowDemo: breaks air the spots the schedule
names back to back, packet by packet and without a new decoding error, and
the verification file tells what aired, read back by byte position. Spots
that cannot be trusted (cut short, corrupt) and a cache that holds one spot
at a time."""
import json
import os
import subprocess
import time
import unittest

import io

import kt
import sch
import splicecheck
from kestrow_report import reconcile

TICKS = kt.TICKS
CLOCK = "2024-03-01T09:59:50"  # the programme's first timestamp: windows at 10:00 and 10:01


def decoding_errors(path):
    """Lines the ffmpeg command writes decoding path."""
    res = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"],
                         capture_output=True, text=True, errors="replace", timeout=120)
    return [l for l in res.stderr.splitlines() if l.strip()]


class Day(unittest.TestCase):
    # (at, duration) of the breaks, seconds into the programme (09:59:50): outside every window;
    # window 1 break 1 (the 4, 6 and 8 s spots, then 2 s of filler); window 1 break 2 (the 8 s spot
    # does not fit, a spot without a file, the 5 s filler looped); window 2: NUL.
    BREAKS = [(5, 3), (12, 20), (38, 6), (72, 4)]

    @classmethod
    def setUpClass(cls):
        cls.dir = kt.scratch_dir(cls, "kestrow-day-")
        path = lambda name: os.path.join(cls.dir, name)
        cues = ["at=%d,dur=%d,id=%d" % (at, dur, n + 1) for n, (at, dur) in enumerate(cls.BREAKS)]
        cls.info = kt.gen.generate(path("prog.ts"), duration=80, cues=cues)
        kt.gen.generate(path("filler.ts"), filler=True, duration=5)
        os.mkdir(path("spots"))
        for n in (4, 6, 8):
            kt.gen.generate(path("spots/%d.ts" % n), spot=str(n), duration=n)
        cls.sch = path("301AB123.SCH")
        rec = sch.record
        sch.write(cls.sch, [rec("LOI", "0301", "1000", "0001", 1, 1, 4, "00000000004"),
                            rec("LOI", "0301", "1000", "0001", 1, 2, 6, "6"),
                            rec("LOI", "0301", "1000", "0001", 1, 3, 8, "8"),
                            rec("LOI", "0301", "1000", "0001", 2, 1, 8, "8"),
                            rec("LOI", "0301", "1000", "0001", 2, 2, 4, "ACME0000404"),
                            rec("LOI", "0301", "1000", "0001", 3, 1, 6, "6"),
                            rec("NUL", "0301", "1001", "0001", 1, 1, 0, "")])
        cls.out = path("out.ts")
        # The generated spots measure -18.4 LUFS: at that loudness they are in the channel's format and air as they are.
        cls.res = kt.run_demo("--loudness=-18.4", "--schedule=" + cls.sch, "--spots=" + path("spots"), "--clock=" + CLOCK,
                              "--asrun-file=" + path("asrun.json"), "--service_name=Kestrow One",
                              path("prog.ts"), cls.out, path("filler.ts"))
        cls.check = splicecheck.Splice(path("prog.ts"), path("filler.ts"), cls.out)

    def point(self, n):
        return self.check.video.src[0]["pts"] + self.BREAKS[n][0] * TICKS

    def test_breaks_air_their_spots_back_to_back_then_the_filler(self):
        self.assertEqual(self.res.returncode, 0, self.res.stderr[-2000:])
        check = self.check
        spots = lambda *names: [os.path.join(self.dir, "spots/%s.ts" % n) for n in names]
        check.expect_valid(spots(4, 6, 8))
        for n, items, count in ((0, [], 1), (1, spots(4, 6, 8), 4), (2, [], 2)):
            with self.subTest(n):
                got = check.expect_sequence(self.point(n), self.BREAKS[n][1] * TICKS, items)
                self.assertEqual(got["items"], count)  # the 5 s filler once, after the spots, looped
        # The NUL break: the programme on air.
        lo, hi = self.point(3), self.point(3) + self.BREAKS[3][1] * TICKS
        src = {(p["pts"], p["hash"]) for p in check.video.src}
        self.assertTrue(all((p["pts"], p["hash"]) in src for p in check.video.out if lo <= p["pts"] < hi))
        self.assertEqual([], decoding_errors(self.out))

    def test_the_verification_file_and_the_as_run_record(self):
        self.assertEqual(sch.read_ver(self.sch[:-4] + ".VER"), [
            ("LOI", 1, 1, "00000000004", "100002", "00000400", "001", "0001"),
            ("LOI", 1, 2, "6", "100006", "00000600", "002", "0001"),
            ("LOI", 1, 3, "8", "100012", "00000800", "003", "0001"),
            ("LOI", 2, 1, "8", "000000", "00000000", "000", "1001"),
            ("LOI", 2, 2, "ACME0000404", "000000", "00000000", "000", "1002"),
            ("LOI", 3, 1, "6", "000000", "00000000", "000", "1003"),
            ("NUL", 1, 1, "", "100102", "00000000", "000", "0001"),
        ])
        with open(os.path.join(self.dir, "asrun.json")) as f:
            records = [json.loads(line) for line in f]
        self.assertEqual({r["channel"] for r in records}, {"Kestrow One"})
        spots = [(r["time"][11:19], r["spot_id"], r["file"], r["break_number"], r["position"], r["aired"], r["reason"])
                 for r in records if r["event"] == "spot"]
        self.assertEqual(spots[:3], [("10:00:02", "00000000004", "4.ts", 1, 1, 4 * TICKS, "aired"),
                                     ("10:00:06", "6", "6.ts", 1, 2, 6 * TICKS, "aired"),
                                     ("10:00:12", "8", "8.ts", 1, 3, 8 * TICKS, "aired")])
        self.assertEqual([s[6] for s in spots[3:]], ["break_too_short", "unusable"])
        starts = [r["time"][11:19] for r in records if r["event"] == "break_start"]
        self.assertEqual(starts, ["09:59:55", "10:00:02", "10:00:28"])


class SpotFaults(unittest.TestCase):
    def test_the_cache_lets_the_spot_aired_go_and_spots_cut_short_or_corrupt_are_refused(self):
        d = kt.scratch_dir(self, "kestrow-spot-faults-")
        path = lambda name: os.path.join(d, name)
        cues = ["at=%d,dur=7,id=%d,lead=1" % (at, n + 1) for n, at in enumerate((3, 12, 21, 30))]
        kt.gen.generate(path("prog.ts"), duration=40, cues=cues)
        kt.gen.generate(path("filler.ts"), filler=True, duration=2)
        os.mkdir(path("spots"))
        for name in ("A", "B", "whole"):
            kt.gen.generate(path("spots/%s.ts" % name), spot=name, duration=6)
        with open(path("spots/whole.ts"), "rb") as f:
            data = f.read()
        cuts = {"C": len(data) // 3, "D": len(data) * 2 // 3 // 188 * 188}  # inside a packet; on a packet's end
        for name, size in cuts.items():
            with open(path("spots/%s.ts" % name), "wb") as f:
                f.write(data[:size])
        with open(path("spots/E.ts"), "wb") as f:
            f.write(bytes(range(188)) * 2700)  # whole packets of garbage
        rec = lambda brk, pos, spot: sch.record("LOI", "0301", "1000", "0001", brk, pos, 6, spot)
        sch.write(path("301AB123.SCH"), [rec(1, 1, "A"), rec(2, 1, "B"), rec(3, 1, "C"), rec(3, 2, "D"),
                                         rec(4, 1, "E")])
        # Each 6 s spot takes about 0.7 MiB: the cache holds one.
        res = kt.run_demo("--loudness=-18.4", "--schedule=" + path("301AB123.SCH"), "--spots=" + path("spots"),
                          "--spot-cache=1",
                          "--clock=2024-03-01T10:00:00", path("prog.ts"), path("out.ts"), path("filler.ts"))
        self.assertEqual(res.returncode, 0, res.stderr[-2000:])
        # Cut inside a packet: damaged, 1002; cut on a packet's end: whole pictures, too few of them, 1006.
        self.assertIn("spot C [C.ts] cannot air: cannot be conformed: cut short: the file ends inside a TS packet",
                      res.stdout + res.stderr)
        self.assertRegex(res.stdout + res.stderr, r"spot D \[D.ts\] cannot air: too short by \d\.\d\d s: ")
        ver = sch.read_ver(path("301AB123.VER"))
        self.assertEqual([(v[3], v[5], v[7]) for v in ver], [("A", "00000600", "0001"), ("B", "00000600", "0001"),
                                                             ("C", "00000000", "1002"), ("D", "00000000", "1006"),
                                                             ("E", "00000000", "1002")])
        self.assertRegex(res.stdout + res.stderr, r"spot E \[E.ts\] cannot air: (cannot be conformed: )?unreadable")
        # The day reconciled; the schedule read as its own verification file: every record undecided after
        # its window.
        self.assertEqual(reconcile(path("301AB123.SCH"), path("301AB123.VER"), out=io.StringIO()), 0)
        out, day_end = io.StringIO(), time.mktime(time.strptime("2024-03-01 23:00", "%Y-%m-%d %H:%M"))
        self.assertEqual(reconcile(path("301AB123.SCH"), path("301AB123.SCH"), now=day_end, out=out), 1)
        self.assertIn("5 records still undecided after their window ended", out.getvalue())
        self.assertEqual([], decoding_errors(path("out.ts")))
        # A verification file that cannot be written: said once, and the run fails.
        res = kt.run_demo("--schedule=" + path("301AB123.SCH"), "--spots=" + path("spots"), "--verification=" +
                          path("none/x.VER"), "--clock=2024-03-01T10:00:00", path("prog.ts"), path("out.ts"),
                          path("filler.ts"))
        self.assertEqual(res.returncode, 1)
        self.assertEqual((res.stdout + res.stderr).count("cannot write the verification file [%s]: No such file or "
                                                         "directory; retried until it can be" % path("none/x.VER")), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
