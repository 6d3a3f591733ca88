"""Programmes laid out as broadcasters send them, through KestrowDemo, and
live through KestrowApp: each output keeps the programme's PAT/PMT identity
and every stream, splices where the cue says, loses no programme picture
outside the break but the leading pictures of an open GOP, and decodes
without new errors."""
import os
import re
import subprocess
import unittest

import kt
import pictures
import splicecheck

TICKS = kt.TICKS
CUE_AT, CUE_DUR = 2, 2
DVB = dict(video_pid=0x1000, audio_pids=[0x1001], pmt_pid=0x810, audio="mp2", pcr_pid=0x1FF)
MPEG2_OPEN = dict(video_codec="mpeg2", gop=24, open_gop=True)

# name, programme options, filler options (same codecs and PIDs), and whether
# packets are checked byte for byte. HEVC: the checker's parser hands a start
# code's leading zero byte to the packet before, so the packets on both sides
# of a splice differ by that byte from the recordings.
HEVC = dict(video_codec="hevc", audio="ac3,eac3", dvb=True)
HEVC_OPEN = dict(video_codec="hevc", open_gop=True, gop=24, bframes=3)
ROWS = [
    ("dvb", dict(DVB, program_number=2064, ts_id=1, cuei=False, **MPEG2_OPEN), dict(DVB, **MPEG2_OPEN), True),
    ("two_au_h264", dict(two_au_pes=True), {}, True),
    ("two_au_mpeg2", dict(two_au_pes=True, video_codec="mpeg2", gop=24), dict(video_codec="mpeg2", gop=24), True),
    ("silent_pid_and_extras", dict(silent_pids=["0x103", "0x105:0x04"], subtitles="deu", teletext="deu", data_pid=0x104,
                                   audio="aac:eng,mp2:fra"), {}, True),
    ("hevc_ac3_eac3", HEVC, HEVC, False),
    ("hevc_open_gop", dict(HEVC_OPEN, audio="ac3"), dict(HEVC_OPEN, audio="ac3"), False),  # returns on a CRA
    # Returns on a non-IDR I picture: CAVLC; CABAC with weighted prediction and leading B pictures,
    # one of them a reference picture.
    ("h264_open_gop", dict(open_gop=True), dict(open_gop=True), True),
    ("h264_open_gop_cabac", dict(open_gop=True, preset="medium", gop=24, bframes=3), dict(open_gop=True), True),
]


def nal_types(path):
    """The video's NAL unit types, as the library's header reader reads them."""
    res = subprocess.run(["ffmpeg", "-nostdin", "-v", "info", "-i", path, "-map", "0:v:0", "-c", "copy",
                          "-bsf:v", "trace_headers", "-f", "null", "-"], capture_output=True, text=True, timeout=120)
    return [int(t) for t in re.findall(r"nal_unit_type +[01]+ = (\d+)", res.stderr)]


class Layouts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = kt.scratch_dir(cls, "kestrow-layouts-")

    def generate(self, name, prog_opts, filler_opts, at=CUE_AT):
        prog = os.path.join(self.dir, name + ".ts")
        filler = os.path.join(self.dir, name + "_filler.ts")
        small = dict(size="160x120", duration=at + 4)
        cues = ["at=%d,dur=%d,lead=1.5" % (at, CUE_DUR)]
        if prog_opts.get("open_gop"):  # a return cue ends the break, on the key frame the duration would
            cues = ["id=1,at=%d,dur=%d,lead=1.5" % (at, CUE_DUR + 1),
                    "id=1,out=0,at=%dt,lead=1" % ((at + CUE_DUR) * TICKS - splicecheck.LEAD)]
        info = kt.gen.generate(prog, cues=cues, **small, **prog_opts)
        kt.gen.generate(filler, filler=True, **dict(small, duration=4, **filler_opts))
        return prog, filler, info["start"]

    def expect_layout(self, prog, out):
        """The output keeps the programme's identity, PCR PID and every stream."""
        want, got = kt.gen.check(prog, "--layout"), kt.gen.check(out, "--layout")
        self.assertEqual(got["ts_id"], want["ts_id"])
        self.assertEqual([(p["number"], p["pmt_pid"], p["pcr_pid"]) for p in got["programs"]],
                         [(p["number"], p["pmt_pid"], p["pcr_pid"]) for p in want["programs"]])
        self.assertLessEqual(max(got["pids"][p["pcr_pid"]]["pcr_interval"] for p in got["programs"]), 100000)
        streams = lambda r: {(e["pid"], e["stream_type"], tuple(e["languages"])) for e in r["es"]}  # noqa: E731
        self.assertLessEqual(streams(want), streams(got))

    def expect_output(self, prog, filler, out, start, exact=True):
        """The checks every row's output passes."""
        self.expect_layout(prog, out)
        errors, prog_errors = pictures.decode_errors(out), pictures.decode_errors(prog)
        self.assertLessEqual(len(errors.splitlines()), len(prog_errors.splitlines()), errors)

        check = splicecheck.Splice(prog, filler, out)
        if exact:
            check.expect_valid()
            back = self.expect_pictures(check, start + CUE_AT * TICKS)["end"]["pts"]
        else:
            for st in [check.video] + list(check.audio.values()):
                self.assertEqual(len(st.runs()), 1 if st.fill else 0, "PID 0x%x" % st.pid)
            after = check.video.out[check.video.out.index(check.video.runs()[0][-1]) + 1:]
            back = next(p["pts"] for p in after if p["pts"] is not None)
        # The programme's pictures from the return on decode as in the programme (known by their
        # pictures: the decoder guesses the times of pictures sent without).
        got = set(pictures.luma(out).values())
        self.assertEqual(sorted(t for t, pic in pictures.luma(prog, back).items() if pic not in got), [])

    def expect_pictures(self, check, splice_point):
        """The break lies where the cue says, and of the programme's pictures
        between the first and the last relayed (a live session starts and
        stops mid-stream), only the break's are missing and, after the return
        key frame, the leading pictures shown before it."""
        brk = check.expect_break(0, splice_point, CUE_DUR * TICKS,
                                 audio_with_filler=splicecheck.media_pids(check.filler, "audio"))
        src = check.video.src
        kept = {(p["hash"], p["pts"]) for p in check.video.out if p["origin"] == "src"}
        first = src.index(brk["start"])
        back = src.index(brk["end"])
        leading = back + 1
        while leading < len(src) and src[leading]["pts"] is not None and src[leading]["pts"] < brk["end"]["pts"]:
            leading += 1
        missing = [i for i, p in enumerate(src) if (p["hash"], p["pts"]) not in kept]
        relayed = [i for i, p in enumerate(src) if (p["hash"], p["pts"]) in kept]
        self.assertEqual([i for i in missing if relayed[0] < i < relayed[-1]],
                         list(range(first, back)) + list(range(back + 1, leading)))
        return brk

    def test_layouts_through_the_demo(self):
        for name, prog_opts, filler_opts, exact in ROWS:
            with self.subTest(name):
                prog, filler, start = self.generate(name, prog_opts, filler_opts)
                out = os.path.join(self.dir, name + "_out.ts")
                res = kt.run_demo("--frame-accurate=off", prog, out, filler)
                self.assertEqual(res.returncode, 0, res.stderr[-2000:])
                self.expect_output(prog, filler, out, start, exact)
                if name == "hevc_open_gop":  # the CRA returned on is signalled as a link splicing broke (BLA_W_LP)
                    self.assertEqual((nal_types(prog).count(16), nal_types(out).count(16)), (0, 1))

    def test_live_relay_keeps_the_identity_and_refuses_a_colliding_pmt_pid(self):
        # The session starts after probing: the cue comes later than in a file. An H.264 open GOP
        # in two access units per PES, a declared PID that stays silent, cues without "CUEI".
        prog, filler, start = self.generate("live", dict(DVB, program_number=2064, ts_id=1, two_au_pes=True,
                                                         open_gop=True, silent_pids=["0x1002"], cuei=False), DVB, at=4)
        svc = kt.started(self, self.dir, "--frame-accurate=off", filler=filler, name="live")
        svc.send(prog)
        self.assertEqual(svc.stop(settle=2)[0], 0)
        self.expect_layout(prog, svc.out)
        check = splicecheck.Splice(prog, filler, svc.out)
        check.expect_valid()
        self.expect_pictures(check, start + 4 * TICKS)

        # The operator's PMT PID is the video's: the service says so and ends by itself.
        svc = kt.started(self, self.dir, "--mpegts_pmt_start_pid=4096", filler=filler, name="collision")
        svc.send(prog)
        self.assertIsNotNone(kt.wait_for(lambda: svc.proc.poll(), 20), "the service kept running")
        self.assertEqual(svc.proc.returncode, 1)
        self.assertIn("slicer_streams: output identity refused: PMT PID 0x1000 is also the PID of stream 0 (video)",
                      svc.text())


if __name__ == "__main__":
    unittest.main()
