"""Frame-accurate returns in KestrowDemo: feeds with a fixed 2 s GOP and a
break whose end falls between two key frames. The programme is back on the
announced picture, read on the decoded pictures; with --frame-accurate=off
on its next key frame, as before. A source restarting while the pictures up
to the key frame are re-encoded ends that run where it is."""
import json
import os
import unittest

import kt
import pictures
from kt import run_demo

TICKS = kt.TICKS
FRAME = TICKS // 25


class Accurate(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = kt.scratch_dir(cls, "kestrow-accurate-")

    def test_the_programme_returns_on_the_announced_picture(self):
        # (name, generator options, demo option, frames off allowed at the return (None: on the key frame),
        # as-run reencoded and fallback of a key-frame return)
        rows = [("h264_b2", dict(video_codec="h264", bframes=2), "auto", 1, None),
                ("mpeg2_b2", dict(video_codec="mpeg2", bframes=2), "auto", 1, None),
                ("hevc_b2", dict(video_codec="hevc", bframes=2), "auto", 1, None),
                ("h264_off", dict(video_codec="h264", bframes=2), "off", None, (None, None)),
                # The key frame's leading pictures reference the GOP before: not re-encoded, said why.
                ("h264_open_gop", dict(video_codec="h264", bframes=2, open_gop=True), "auto", None, (0, "open_gop"))]
        for name, opts, mode, slack, keyed in rows:
            with self.subTest(name):
                prog, filler, out, asrun = (os.path.join(self.dir, name + e)
                                            for e in (".ts", "_filler.ts", "_out.ts", ".json"))
                info = kt.gen.generate(prog, duration=12, gop=50, cues=["at=3.04,dur=4,lead=2"], **opts)
                kt.gen.generate(filler, filler=True, duration=6, **opts)
                res = run_demo("--frame-accurate=" + mode, "--asrun-file=" + asrun, prog, out, filler)
                self.assertEqual(res.returncode, 0, res.stderr[-2000:])
                end = info["cues"][0]["pts_time"] + 4 * TICKS
                key = min(k for k in pictures.key_frames(prog) if k >= end)
                self.assertGreater(key - end, 5 * FRAME)  # the end lies between key frames
                back, scores = pictures.programme_back(out, prog, end, key, FRAME)
                record = [r for r in map(json.loads, kt.read_text(asrun).splitlines()) if r["event"] == "break_end"][0]
                if slack is None:
                    self.assertEqual((back, record["pts"], record["reencoded"], record["fallback"]), (key, key, *keyed))
                else:
                    self.assertLessEqual(abs(back - end), slack * FRAME)
                    self.assertEqual((record["pts"], record["reencoded"], record["fallback"]),
                                     (back, len(scores), None))
                    self.assertGreaterEqual(min(scores.values()), 38.0)
                self.assertEqual(pictures.decode_errors(out), "")
                out_check = kt.tr290(out)
                self.assertEqual((out_check["cc_errors"], [p["over_40ms"] for p in out_check["pcrs"]]), (0, [0]))

    def test_a_restart_during_the_re_encoded_return_ends_it_there(self):
        # The end at 7.04 s, the next key frame at 8 s; the source restarts an hour back in between.
        prog, filler, out, asrun = (os.path.join(self.dir, "restart" + e) for e in (".ts", "_f.ts", "_out.ts", ".json"))
        info = kt.gen.build(prog, duration=12, gop=50, cues=["at=3.04,dur=4,lead=2"], restarts=["at=7,jump=-3600"])
        kt.gen.generate(filler, filler=True, duration=6)
        res = run_demo("--asrun-file=" + asrun, prog, out, filler)
        self.assertEqual(res.returncode, 0, res.stderr[-2000:])
        record = [r for r in map(json.loads, kt.read_text(asrun).splitlines()) if r["event"] == "break_end"][0]
        end = info["cues"][0]["pts_time"] + 4 * TICKS
        self.assertEqual((record["pts"], record["fallback"]), (end, "timeline_break"))
        self.assertGreater(record["reencoded"], 0)
        self.assertEqual(pictures.decode_errors(out), "")


if __name__ == "__main__":
    unittest.main(verbosity=2)
