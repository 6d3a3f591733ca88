"""KestrowDemo end to end on generated recordings: command line, plain remux,
and ad breaks checked packet by packet on the output."""
import os
import subprocess
import sys
import unittest

import kt
import splicecheck

sys.path.insert(0, kt.TOOLS)
import kestrow_gen  # noqa: E402

TICKS = 90000
WRAP = 1 << 33


def run_demo(*args, timeout=120):
    return subprocess.run([kt.DEMO] + [str(a) for a in args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout, text=True, errors="replace")


def near(value, ref):
    """value + k * 2^33 closest to ref."""
    k = round((ref - value) / WRAP)
    return value + k * WRAP


class Workspace(unittest.TestCase):
    """A scratch folder per class, with a default filler (6 s, both audio PIDs)."""

    @classmethod
    def setUpClass(cls):
        cls._tmp = kt.scratch("kestrow-demo-")
        cls.dir = cls._tmp.name
        cls.filler = cls.make("filler.ts", filler=True, duration=6)

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    @classmethod
    def make(cls, name, **opts):
        path = os.path.join(cls.dir, name)
        info = kestrow_gen.generate(path, **opts)
        return path if opts.get("filler") else (path, info)

    def splice(self, prog, filler=None, name="out.ts"):
        out = os.path.join(self.dir, name)
        res = run_demo(prog, out, filler or self.filler)
        self.assertEqual(res.returncode, 0, res.stderr[-2000:])
        self.assertIn("ret_write=0, ret_read=-541478725", res.stdout)
        self.assertNotIn("Error muxing", res.stderr)
        return out, res

    def point(self, info, n):
        cue = info["cues"][n]
        return near(cue["pts_time"] + cue.get("pts_adjustment", 0), info["start"])


class CommandLine(Workspace):
    def test_usage_with_two_arguments(self):
        res = run_demo("a.ts", "b.ts")
        self.assertEqual(res.returncode, 1)
        self.assertEqual(res.stdout, "usage: %s [--time-signal-breaks] input output replace\n"
                         "API example program to remux a media file with libavformat and libavcodec.\n"
                         "The output format is guessed according to the file extension.\n\n" % kt.DEMO)
        self.assertEqual(res.stderr, "")

    def test_missing_replace_file_is_reported_on_one_line(self):
        out = os.path.join(self.dir, "never.ts")
        res = run_demo("in.ts", out, os.path.join(self.dir, "missing.ts"))
        self.assertEqual(res.returncode, 1)
        self.assertRegex(res.stderr, r"Could not open replace file '.*missing\.ts'Error occurred: \S.*\n")
        self.assertFalse(os.path.exists(out))

    def test_missing_input_fails_after_the_filler(self):
        res = run_demo(os.path.join(self.dir, "nothing.ts"), os.path.join(self.dir, "o.ts"), self.filler)
        self.assertEqual(res.returncode, 1)
        self.assertIn("[0].start_time = ", res.stdout)
        self.assertRegex(res.stderr, r"Could not open input file '.*nothing\.ts'Error occurred: ")

    def test_any_extension_is_written_as_mpegts(self):
        prog, _ = self.make("short.ts", duration=2)
        for name in ("o.mp4", "o"):
            out, _ = self.splice(prog, name=name)
            fmt = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=format_name",
                                  "-of", "csv=p=0", out], stdout=subprocess.PIPE, text=True).stdout
            self.assertEqual(fmt.strip(), "mpegts", name)


class Remux(Workspace):
    def test_without_cue_the_programme_passes_unchanged(self):
        prog, _ = self.make("plain.ts", duration=4)
        out, res = self.splice(prog)
        check = splicecheck.Splice(prog, self.filler, out)
        check.expect_unchanged()
        # Every stream passes, the cue stream too.
        self.assertEqual(sorted(s["media"] for s in check.out["streams"]), ["audio", "audio", "data", "video"])
        self.assertIn("stream[0]->id=256 [0x100]", res.stderr)

    def test_cue_on_another_pid_is_ignored(self):
        prog, _ = self.make("other.ts", duration=6, scte_pid=0x591, cues=["at=2,dur=2"])
        out, res = self.splice(prog)
        splicecheck.Splice(prog, self.filler, out).expect_unchanged()
        self.assertNotIn("splice_insert", res.stdout)

    def test_a_few_packets_are_all_written(self):
        # Fewer packets than the two queues hold: nothing may stay behind in them.
        prog, _ = self.make("tiny.ts", duration=0.2, audio="aac")
        out, _ = self.splice(prog)
        check = splicecheck.Splice(prog, self.filler, out)
        self.assertLess(len(check.video.src) + len(check.audio[0x101].src), 22)
        check.expect_unchanged()


class Breaks(Workspace):
    def test_two_breaks_replace_video_and_audio_and_replay_the_filler(self):
        prog, info = self.make("two.ts", duration=20, cues=["at=5,dur=4,lead=2", "at=13,dur=3,lead=2"])
        out, res = self.splice(prog)
        check = splicecheck.Splice(prog, self.filler, out)
        check.expect_valid()
        for n, dur in enumerate((4, 3)):
            check.expect_break(n, self.point(info, n), dur * TICKS)
        self.assertEqual(res.stdout.count("Splicing started: delta=0, time=0.000000"), 2)
        self.assertEqual(res.stdout.count("SPLICING_STATE_IDLE"), 2)
        self.assertNotIn("Strange conditions", res.stdout)
        self.assertIn("remain: 174600 ticks (1.940000 sec)", res.stdout)

    def test_audio_without_filler_stream_keeps_the_programme(self):
        filler = self.make("filler_aac.ts", filler=True, duration=6, audio="aac")
        prog, info = self.make("one.ts", duration=10, cues=["at=3,dur=3"])
        out, _ = self.splice(prog, filler)
        check = splicecheck.Splice(prog, filler, out)
        check.expect_valid()
        check.expect_break(0, self.point(info, 0), 3 * TICKS, audio_with_filler=[0x101])

    def test_break_without_duration_replaces_nothing(self):
        prog, _ = self.make("nodur.ts", duration=8, cues=["at=3"])
        out, res = self.splice(prog)
        splicecheck.Splice(prog, self.filler, out).expect_unchanged()
        self.assertRegex(res.stdout, r"Splicing started: [^\n]*\nSplicing finished: [^\n]*\nbreak of [^\n]*\nSPLICING_STATE_IDLE\n")

    def test_cue_after_its_splice_time_starts_at_the_next_key_frame(self):
        prog, info = self.make("late.ts", duration=12, cues=["at=4.5,dur=2,lead=-0.5"])
        out, res = self.splice(prog)
        self.assertRegex(res.stdout, r"remain: -\d+ ticks \(-0\.\d+ sec\)")
        check = splicecheck.Splice(prog, self.filler, out)
        check.expect_valid()
        run = check.video.runs()[0]
        start = [p for p in check.video.src if p["dts"] == run[0]["dts"]][0]
        self.assertTrue(start["key"])
        self.assertGreater(start["pts"], self.point(info, 0))
        self.assertRegex(res.stdout, r"Splicing started: delta=\d+, time=\d+\.\d+")
        check.expect_break(0, start["pts"], 2 * TICKS)

    def test_filler_shorter_than_the_break_hands_back_to_the_programme(self):
        short = self.make("short_filler.ts", filler=True, duration=1)
        prog, info = self.make("long.ts", duration=10, cues=["at=3,dur=4"])
        out, res = self.splice(prog, short)
        check = splicecheck.Splice(prog, short, out)
        check.expect_valid()
        run = check.video.runs()[0]
        self.assertEqual([p["hash"] for p in run], [p["hash"] for p in check.video.fill])
        after = [p for p in check.video.out if p["dts"] > run[-1]["dts"]]
        self.assertEqual(after[0]["origin"], "src")
        self.assertIn("end of source stream 1 reached", res.stdout)
        self.assertIn("end of source stream 2 reached", res.stdout)
        self.assertIn("SPLICING_STATE_IDLE", res.stdout)


class Encodings(Workspace):
    """Programme and filler with different B-frame structures: the output stays valid."""

    def _both_ways(self, prog_bf, fill_bf):
        filler = self.make("fill_bf%d.ts" % fill_bf, filler=True, duration=6, bframes=fill_bf)
        prog, info = self.make("prog_bf%d.ts" % prog_bf, duration=12, bframes=prog_bf,
                               cues=["at=3,dur=3", "at=8,dur=2"])
        out, res = self.splice(prog, filler, name="out_%d_%d.ts" % (prog_bf, fill_bf))
        check = splicecheck.Splice(prog, filler, out)
        check.expect_valid()
        check.expect_break(0, self.point(info, 0), 3 * TICKS)
        check.expect_break(1, self.point(info, 1), 2 * TICKS)
        return res

    def test_programme_without_b_frames_filler_with(self):
        res = self._both_ways(0, 2)
        self.assertIn("filler video pts shifted by", res.stdout)

    def test_programme_with_b_frames_filler_without(self):
        res = self._both_ways(2, 0)
        self.assertNotIn("filler video pts shifted by", res.stdout)


class Clock(Workspace):
    """pts_adjustment and the 33-bit wrap of the MPEG clock."""

    def test_pts_adjustment_moves_the_splice_point(self):
        prog, info = self.make("adj.ts", duration=14, cues=["at=3,dur=2,adj=5"])
        out, res = self.splice(prog)
        self.assertIn("effective splice point=", res.stdout)
        check = splicecheck.Splice(prog, self.filler, out)
        check.expect_valid()
        got = check.expect_break(0, self.point(info, 0), 2 * TICKS)
        self.assertGreaterEqual(got["start"]["pts"], info["start"] + 8 * TICKS - splicecheck.LEAD)

    def test_break_across_the_wrap(self):
        start = WRAP - 10 * TICKS
        for name, at in (("across", 9), ("after", 13)):
            prog, info = self.make("wrap_%s.ts" % name, duration=18, start_pts=start,
                                   cues=["at=%d,dur=3" % at])
            out, _ = self.splice(prog, name="wrap_%s_out.ts" % name)
            check = splicecheck.Splice(prog, self.filler, out)
            check.expect_valid()
            first = check.video.src[0]["pts"]
            point = near(info["cues"][0]["pts_time"], first + at * TICKS)
            got = check.expect_break(0, point, 3 * TICKS)
            self.assertLess(abs(got["start"]["pts"] - point), TICKS, name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
