"""KestrowDemo end to end on generated recordings: command line, plain remux,
and ad breaks checked packet by packet on the output."""
import json
import os
import subprocess
import unittest

import flow
import kt
from kt import run_demo
import splicecheck
from kestrow_clock import WRAP

TICKS = kt.TICKS


class Demo(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = kt.scratch_dir(cls, "kestrow-demo-")
        cls.fillers = {}

    def filler(self, **opts):
        """A generated filler, 6 s with both audio PIDs unless opts say otherwise."""
        opts = dict({"duration": 6}, **opts)
        key = repr(sorted(opts.items()))
        if key not in self.fillers:
            self.fillers[key] = os.path.join(self.dir, "filler%d.ts" % len(self.fillers))
            kt.gen.generate(self.fillers[key], filler=True, **opts)
        return self.fillers[key]

    def splice(self, name, filler=None, out_name=None, args=(), **opts):
        """Generates programme name, runs the demo on it (options args); returns (info, checker)."""
        prog = os.path.join(self.dir, name + ".ts")
        info = kt.gen.generate(prog, **opts)
        filler = filler or self.filler()
        out = os.path.join(self.dir, out_name or name + "_out.ts")
        res = run_demo(*args, prog, out, filler)
        self.assertEqual(res.returncode, 0, res.stderr[-2000:])
        kt.expect_pcr_interval(out)
        return info, splicecheck.Splice(prog, filler, out)

    @staticmethod
    def point(info, n, check):
        """Splice point of cue n on the checker's (unwrapped) time line."""
        cue = info["cues"][n]
        at = cue["pts_time"] + cue.get("pts_adjustment", 0)
        return splicecheck.near(at, check.video.src[0]["pts"] + (at - info["start"]) % WRAP)

    def test_command_line(self):
        res = run_demo("a.ts", "b.ts")
        self.assertEqual((res.returncode, res.stderr), (1, ""))
        self.assertEqual(res.stdout, "usage: %s [--asrun-file=PATH] [--time-signal-breaks] [--open-breaks] "
                         "[--max-break=SECONDS]\n"
                         "          [--frame-accurate=auto|off]\n"
                         "          [--max-pending=N] [--max-cue-lead=S] [--late-join=S] [--service_name=NAME]\n"
                         "          [--schedule=PATH --spots=DIR [--clock=YYYY-MM-DDTHH:MM:SS]\n"
                         "          [--channel-id=CC --headend-id=HHH] [--verification=PATH] [--spot-cache=MiB]]\n"
                         "          [--program=N] [--spts] [--loudness=LUFS] [--normalize-filler]\n"
                         "          input output replace\n"
                         "API example program to remux a media file with libavformat and libavcodec.\n"
                         "The output is always MPEG-TS, whatever the output file's extension.\n"
                         "--max-pending: events waiting beside the armed one, 0-64 [16]; --max-cue-lead: a splice\n"
                         "point further ahead is not taken, 1-43200 s [600]; --late-join: a cue up to S late joins\n"
                         "its break, 0-600 s [2]; --loudness: spots and filler are conformed to the channel's format\n"
                         "at this integrated loudness, -40 to -5 LUFS [-23]; --normalize-filler: a .ts filler is\n"
                         "conformed too (without it, its loudness is measured and said).\n\n" % kt.DEMO)
        for bad in ("--max-pending=65", "--late-join=x", "--max-cue-lead=0", "--max-break=0", "--clock=2024-13-01",
                    "--program=0", "--frame-accurate=on"):
            self.assertEqual(run_demo(bad, "a.ts", "b.ts", "c.ts").stdout, res.stdout, bad)
        out = os.path.join(self.dir, "never.ts")
        missing, nothing = os.path.join(self.dir, "missing.ts"), os.path.join(self.dir, "nothing.ts")
        for prog, filler, line in (("in.ts", missing, "Could not open replace file '%s'" % missing),
                                   (nothing, self.filler(), "Could not open input file '%s'" % nothing)):
            res = run_demo(prog, out, filler)
            self.assertEqual(res.returncode, 1, filler)
            self.assertIn("\n" + line + "\n", "\n" + res.stderr)  # a line of its own
            self.assertFalse(os.path.exists(out))

    def test_time_lines_are_followed_as_the_service_follows_them(self):
        # Cuts joined with a step back or forward in time, a restart: every picture goes out, on one time
        # line; a break on either side of the step airs its whole length.
        for jump in ("-10", "100", "-3600"):
            with self.subTest(jump=jump):
                prog, out, asrun = (os.path.join(self.dir, "step%s.%s" % (jump, e)) for e in ("ts", "out.ts", "json"))
                kt.gen.build(prog, duration=16, restarts=["at=8,jump=%s,cc_reset=0" % jump],
                             cues=["id=1,at=3,dur=2", "id=2,at=11,dur=2"])
                res = run_demo("--frame-accurate=off", "--asrun-file=" + asrun, prog, out, self.filler())
                self.assertEqual(res.returncode, 0, res.stderr[-2000:])
                self.assertIn("a new time line follows the last", res.stdout)
                ends = [(r["splice_event_id"], r["reason"], r["aired"]) for r in
                        map(json.loads, kt.read_text(asrun).splitlines()) if r["event"] == "break_end"]
                self.assertEqual(ends, [(1, "duration", 2 * TICKS), (2, "duration", 2 * TICKS)])
                with open(out, "rb") as f:
                    pts = [p for _, _, p in flow.pes_starts(f.read(), {0x100})]
                self.assertLess(max(b - a for a, b in zip(sorted(pts), sorted(pts)[1:])), TICKS)
                with open(prog, "rb") as f:
                    self.assertGreaterEqual(len(pts) + 2, len(flow.pes_starts(f.read(), {0x100})))

    def test_without_a_break_the_programme_passes_unchanged(self):
        for name, opts in (("plain", dict(duration=4)),
                           ("wrap", dict(duration=6, start_pts=WRAP - 4 * TICKS)),
                           ("no_duration", dict(duration=8, cues=["at=3"])),
                           # 250 kB pictures: the demuxer hands each out as a 200 kB part and its rest (the
                           # input reads whole PES from the 33rd picture on).
                           ("parts", dict(duration=6, fps=10, gop=5, video_bitrate="20M", muxrate="24M")),
                           # Fewer packets than the two queues hold: nothing may stay behind.
                           ("tiny", dict(duration=0.2, audio="aac"))):
            with self.subTest(name):
                _, check = self.splice(name, **opts)
                check.expect_unchanged()
                media = sorted(s["media"] for s in check.out["streams"] if s["media"] in ("audio", "video"))
                self.assertEqual(media, sorted(["video"] + ["audio"] * len(check.audio_pids)))
        for name in ("o.mp4", "o"):
            _, check = self.splice("short", out_name=name, duration=2)
            fmt = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=format_name",
                                  "-of", "csv=p=0", os.path.join(self.dir, name)],
                                 stdout=subprocess.PIPE, text=True).stdout
            self.assertEqual(fmt.strip(), "mpegts", name)

    def test_breaks(self):
        # (name, programme, filler, [(cue index, duration s)], audio PIDs with filler)
        cases = [
            ("two", dict(duration=20, cues=["at=5,dur=4,lead=2", "at=13,dur=3,lead=2"]), {}, [(0, 4), (1, 3)], None),
            ("one_audio", dict(duration=10, cues=["at=3,dur=3"]), dict(audio="aac"), [(0, 3)], [0x101]),
            ("bf0_in_bf2", dict(duration=12, bframes=0, cues=["at=3,dur=3", "at=8,dur=2"]), dict(bframes=2),
             [(0, 3), (1, 2)], None),
            ("bf2_in_bf0", dict(duration=12, bframes=2, cues=["at=3,dur=3", "at=8,dur=2"]), dict(bframes=0),
             [(0, 3), (1, 2)], None),
            ("adjusted", dict(duration=14, cues=["at=3,dur=2,adj=5"]), {}, [(0, 2)], None),
            ("wrap_across", dict(duration=18, start_pts=WRAP - 10 * TICKS, cues=["at=9,dur=3"]), {}, [(0, 3)], None),
            ("wrap_after", dict(duration=18, start_pts=WRAP - 10 * TICKS, cues=["at=13,dur=3"]), {}, [(0, 3)], None),
        ]
        for name, prog, filler, breaks, audio in cases:
            with self.subTest(name):
                info, check = self.splice(name, self.filler(**filler), **prog)
                check.expect_valid()
                for n, (cue, dur) in enumerate(breaks):
                    got = check.expect_break(n, self.point(info, cue, check), dur * TICKS, audio_with_filler=audio)
                    self.assertLess(abs(got["start"]["pts"] - self.point(info, cue, check)), TICKS)

    def test_cue_after_its_splice_time_joins_at_the_next_key_frame_and_ends_as_announced(self):
        info, check = self.splice("late", duration=12, args=["--frame-accurate=off"], cues=["at=4.5,dur=2,lead=-0.5"])
        check.expect_valid()
        run = check.video.runs()[0]
        start = [p for p in check.video.src if p["dts"] == run[0]["dts"]][0]
        self.assertTrue(start["key"])
        self.assertGreater(start["pts"], self.point(info, 0, check))
        check.expect_break(0, start["pts"], self.point(info, 0, check) + 2 * TICKS - start["pts"])

    def test_filler_shorter_than_the_break_hands_back_to_the_programme(self):
        _, check = self.splice("long", self.filler(duration=1), duration=10, cues=["at=3,dur=4"])
        check.expect_valid()
        run = check.video.runs()[0]
        self.assertEqual([p["hash"] for p in run], [p["hash"] for p in check.video.fill])
        after = [p for p in check.video.out if p["dts"] > run[-1]["dts"]]
        self.assertEqual(after[0]["origin"], "src")


if __name__ == "__main__":
    unittest.main(verbosity=2)
