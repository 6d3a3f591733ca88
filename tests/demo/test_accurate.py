"""Frame-accurate breaks in KestrowDemo: feeds with a fixed 2 s GOP and
B-pictures, breaks whose start or end falls between two key frames. The
filler's first picture is shown at the announced point and the programme is
back on the announced picture, read on the decoded pictures; with
--frame-accurate=off on the key frames, as before. The filler plays to its
last picture before the return, also when the return cuts its group of
pictures after an anchor that its last B-pictures reference. A source
restarting while the pictures up to the key frame are re-encoded ends that run
where it is."""
import json
import os
import unittest

import kt
import pictures
import splicecheck
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
                # The key frame's leading pictures are in the run: the key frame after it, made an IDR, a broken link.
                ("h264_open_gop", dict(video_codec="h264", bframes=2, open_gop=True), "auto", 1, None),
                ("hevc_open_gop", dict(video_codec="hevc", bframes=2, open_gop=True), "auto", 1, None)]
        for name, opts, mode, slack, keyed in rows:
            with self.subTest(name):
                prog, filler, out, asrun = (os.path.join(self.dir, name + e)
                                            for e in (".ts", "_filler.ts", "_out.ts", ".json"))
                # The filler moves, so that a picture held shows; the break ends 4.12 s into it (frame 103, after
                # its B-pictures 101 and 102).
                info = kt.gen.generate(prog, duration=12, gop=50, cues=["at=3.04,dur=4.12,lead=2"], **opts)
                kt.gen.generate(filler, filler=True, duration=6, pattern="testsrc2", **opts)
                res = run_demo("--frame-accurate=" + mode, "--asrun-file=" + asrun, prog, out, filler)
                self.assertEqual(res.returncode, 0, res.stderr[-2000:])
                end = info["cues"][0]["pts_time"] + int(4.12 * TICKS)
                key = min(k for k in pictures.key_frames(prog) if k >= end)
                self.assertGreater(key - end, 5 * FRAME)  # the end lies between key frames
                back, scores = pictures.programme_back(out, prog, end, key, FRAME)
                records = [json.loads(r) for r in kt.read_text(asrun).splitlines()]
                record = [r for r in records if r["event"] == "break_end"][0]
                if mode == "auto":  # the filler's last three pictures before the programme, each its own
                    at = [r for r in records if r["event"] == "break_start"][0]["pts"]
                    fill = pictures.luma(filler)
                    got = pictures.luma(out, back - 3 * FRAME, back - 1)
                    self.assertEqual([t - back for t in sorted(got)], [-3 * FRAME, -2 * FRAME, -FRAME])
                    self.assertGreaterEqual(min(pictures.psnr(got[t], fill[t - at + min(fill)]) for t in got), 38.0)
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

    def test_the_break_starts_on_the_announced_picture(self):
        # Cues between key frames (3.04 s), just after one (8.04 s: a picture after it, which is not the point;
        # 14.08 s: two after), on one (20 s); key frames every 2 s. h264_no_key: none at 20 s, where the GOPs
        # before had one due.
        cues = ["at=3.04,dur=2.5", "at=8.04,dur=2.5", "at=14.08,dur=2.5", "at=20,dur=2.5"]
        for name, opts, mode in [("h264", dict(video_codec="h264", bframes=2), "auto"),
                                 ("h264_no_key", dict(video_codec="h264", bframes=2, skip_keys=[20]), "auto"),
                                 ("mpeg2", dict(video_codec="mpeg2", bframes=2), "auto"),
                                 ("h264_off", dict(video_codec="h264", bframes=2), "off")]:
            with self.subTest(name):
                prog, filler, out, asrun = (os.path.join(self.dir, "start_" + name + e)
                                            for e in (".ts", "_filler.ts", "_out.ts", ".json"))
                info = kt.gen.generate(prog, duration=25, gop=50, cues=[c + ",lead=2.5" for c in cues], **opts)
                kt.gen.generate(filler, filler=True, duration=5, **opts)
                res = run_demo("--frame-accurate=" + mode, "--asrun-file=" + asrun, prog, out, filler)
                self.assertEqual(res.returncode, 0, res.stderr[-2000:])
                starts = [r for r in map(json.loads, kt.read_text(asrun).splitlines()) if r["event"] == "break_start"]
                keys = pictures.key_frames(prog)
                lo, hi = info["start"], info["start"] + 25 * TICKS
                got, want = pictures.luma(out, lo, hi), pictures.luma(prog, lo, hi)
                first = pictures.luma(filler)
                first = first[min(first)]
                check = splicecheck.Splice(prog, filler, out)
                check.expect_valid()
                self.assertEqual(len(starts), len(cues))
                reencoded = 0
                for n, (cue, record) in enumerate(zip(info["cues"], starts)):
                    point = cue["pts_time"]
                    at = min(k for k in keys if k >= point - splicecheck.LEAD) if mode == "off" else \
                        min(t for t in want if t >= point)
                    # The filler's first picture at the point; the programme's before it, the last ones re-encoded.
                    self.assertEqual(got[at], first)
                    before = [t for t in sorted(want) if at - TICKS <= t < at]
                    changed = [t for t in before if got[t] != want[t]]
                    self.assertEqual(changed, before[len(before) - len(changed):])
                    self.assertGreaterEqual(min([pictures.psnr(got[t], want[t]) for t in changed] + [99]), 38.0)
                    self.assertEqual((record["pts"], record["reencoded"], record["fallback"]),
                                     (at, None if mode == "off" else len(changed), None), "cue at %s" % cue["spec"])
                    reencoded += len(changed)
                    check.expect_break(n, point, int(2.5 * TICKS))
                self.assertEqual(reencoded > 0, mode == "auto")  # a point after a B-picture's reference
                self.assertEqual(pictures.decode_errors(out), "")
                out_check = kt.tr290(out)
                self.assertEqual((out_check["cc_errors"], [p["over_40ms"] for p in out_check["pcrs"]]), (0, [0]))

    def test_broadcast_shapes_and_cue_timings_on_their_pictures(self):
        # Judged by kestrow_check on the decoded pictures: frames off the announced start and return (0: on
        # the picture), holes, pictures missing (the one before frozen), decoding errors.
        # 5.3 s lies half a picture after a picture at 25 Hz; 5.04 s one picture after a key frame.
        sd = dict(size="720x576", audio="mp2")
        rows = [  # name, generator options, cues
            ("key_before", dict(gop=25), ["at=5.04,dur=3.04"]),
            # The key frame's leading pictures are re-encoded in the run, shown before the key frame they follow.
            ("open_gop", dict(gop=12, open_gop=True), ["at=5.3,dur=3.4"]),
            ("mpeg2_open_gop", dict(sd, video_codec="mpeg2", gop="0.6s", open_gop=True, moving_fields=True),
             ["at=5.3,dur=3.4"]),
            ("mpeg2_fields", dict(sd, video_codec="mpeg2", field_coding="field"), ["at=5.3,dur=3.4"]),
            ("gop_10s", dict(gop=250), ["at=5.3,dur=3.4"]),
            # A long return run at a tight constant rate: its pictures stay at 38 dB or more.
            ("tight_rate", dict(fps=30, gop=249, video_bitrate="300k"), ["at=5.3,dur=3.4"]),
            # A cue 0.2 s before its point, read before the point's pictures (they lead the PCR by 50 ms).
            ("late_cue_near", dict(gop=50, mux_delay=0.05), ["at=4.52,dur=3.4,lead=0.2"]),
            # The return cue comes while the event is armed (sent at 4.6 s): the break ends at 7.1 s.
            ("return_armed", dict(gop=25), ["id=1,at=5.3,dur=3.4,lead=3", "id=1,out=0,at=7.1,lead=2.5"])]
        for name, opts, cues in rows:
            with self.subTest(name):
                prog, filler, out, asrun = (os.path.join(self.dir, "shape_" + name + e)
                                            for e in (".ts", "_filler.ts", "_out.ts", ".json"))
                info = kt.gen.generate(prog, duration=12, cues=cues, **opts)
                kt.gen.generate(filler, filler=True, duration=6,  # closed GOPs of 2 s at most, as fillers come
                                **{k: v for k, v in opts.items()
                                   if k != "open_gop" and not (k == "gop" and isinstance(v, int) and v > 50)})
                res = run_demo("--asrun-file=" + asrun, prog, out, filler)
                self.assertEqual(res.returncode, 0, res.stderr[-2000:])
                point = info["cues"][0]["pts_time"]
                end = info["cues"][-1]["pts_time"] if len(cues) > 1 else point + int(3.4 * TICKS)
                if name == "key_before":
                    end = point + int(3.04 * TICKS)
                j = pictures.check(out, prog, [filler], points=[(point, end)])
                b = [x for x in j["breaks"] if x["point"] == point]
                self.assertEqual(len(b), 1, j["breaks"])
                t = j["totals"]
                self.assertEqual((b[0]["frames_off_start"], b[0]["missing"], t["holes"], t["decode_errors_out"]),
                                 (0, 0, 0, t["decode_errors_in"]))
                self.assertGreaterEqual(t["reencoded_min_db"] or 99, 38.0)
                self.assertEqual(t["pictures_out"], t["pictures_in"])  # tight_rate: its run still airs at the end
                records = [json.loads(r) for r in kt.read_text(asrun).splitlines()]
                ended = [r for r in records if r["event"] == "break_end"][0]
                self.assertEqual((b[0]["frames_off_end"], ended["fallback"]), (0, None))

    def test_a_session_ending_on_leading_pictures_keeps_their_key_frame(self):
        # Open GOPs of 12: the file ends on the leading pictures of the key frame after the end (7.68 s).
        prog, filler, out, asrun = (os.path.join(self.dir, "ends" + e) for e in (".ts", "_f.ts", "_out.ts", ".json"))
        info = kt.gen.generate(prog, duration=7.72, gop=12, open_gop=True, cues=["at=5.3,dur=2.0"])
        kt.gen.generate(filler, filler=True, duration=6)
        res = run_demo("--asrun-file=" + asrun, prog, out, filler)
        self.assertEqual(res.returncode, 0, res.stderr[-2000:])
        point = info["cues"][0]["pts_time"]
        t = pictures.check(out, prog, [filler], points=[(point, point + 2 * TICKS)])["totals"]
        self.assertEqual((t["pictures_out"], t["holes"], t["decode_errors_out"], t["reencoded"]),
                         (t["pictures_in"], 0, t["decode_errors_in"], 9))
        record = [r for r in map(json.loads, kt.read_text(asrun).splitlines()) if r["event"] == "break_end"][0]
        self.assertEqual((record["reason"], record["reencoded"]), ("session_end", 9))

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
