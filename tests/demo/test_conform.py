"""Spots as agencies deliver them, conformed by KestrowDemo and aired into a
25 fps and a 50 fps channel with stereo AAC and MP2: other containers,
codecs, sizes, channel layouts, languages, loud and quiet, without audio,
and every rate (29.97, 30, 23.976, 59.94, 25 fps; the 30 s and the 15 s spot
once, the rest 2-3 s). Each conformed spot lasts its scheduled length at the
channel's rate to the picture, decoded and counted in the output, its
packets those of its copy; it measures at the target; the .VER says 0001 and
the day reconciles. A spot in the channel's format keeps its pictures; one 2 s
shorter than sold is 1006 with that reason, one that cannot be read 1002; a
replaced file is conformed again."""
import io
import json
import os
import re
import subprocess
import unittest

import kt
import sch
import splicecheck
from kestrow_report import reconcile

CLOCK = "2024-03-01T09:59:50"
FF = ["ffmpeg", "-nostdin", "-v", "error", "-y"]
VIDEO = "testsrc2=size=%s:rate=%s"
TONE = "sine=%d:sample_rate=%d,volume=%ddB,aformat=channel_layouts=%s"
# The 25 fps channel. id: (seconds delivered, seconds sold, video source, audio sources, output options, status)
SPOTS = {
    "ACME30": (30, 30, VIDEO % ("320x180", "30000/1001"), [TONE % (440, 44100, 14, "stereo")],
               ["-c:v", "libx264", "-preset", "veryfast", "-c:a", "aac", "-f", "mp4"], "0001"),
    "MOVSD": (3, 3, VIDEO % ("720x576", 30), [TONE % (300, 32000, -16, "mono")],
              ["-c:v", "mpeg2video", "-c:a", "mp2", "-f", "mov"], "0001"),
    "MKVMUTE": (3, 3, VIDEO % ("640x480", "24000/1001"), [], ["-c:v", "mpeg4", "-f", "matroska"], "0001"),
    "MXF2L": (2, 2, VIDEO % ("1920x1080", 25), [TONE % (500, 48000, 0, "mono"), TONE % (700, 48000, 6, "mono")],
              ["-c:v", "mpeg2video", "-b:v", "8M", "-c:a", "pcm_s16le", "-metadata:s:a:0", "language=fra",
               "-metadata:s:a:1", "language=eng", "-f", "mxf"], "0001"),
    "MP4HD": (2, 2, VIDEO % ("960x540", "60000/1001"), [TONE % (440, 48000, 0, "5.1")],
              ["-c:v", "libx264", "-preset", "veryfast", "-c:a", "aac", "-f", "mp4"], "0001"),
    "SHORT": (3, 5, VIDEO % ("320x240", 25), [TONE % (440, 48000, 0, "stereo")],
              ["-c:v", "libx264", "-preset", "veryfast", "-c:a", "aac", "-f", "mp4"], "1006"),
}
# The 50 fps channel: spots the generator makes, in a transport stream, at these rates.
RATES = {"R2997": ("30000/1001", 15), "R30": ("30", 2), "R23976": ("24000/1001", 2), "R5994": ("60000/1001", 2),
         "R25": ("25", 2)}


def make_spot(path, seconds, video, audio, opts):
    cmd = FF + ["-f", "lavfi", "-i", video] + sum((["-f", "lavfi", "-i", a] for a in audio), [])
    cmd += ["-t", str(seconds)] + sum((["-map", str(i)] for i in range(len(audio) + 1)), []) + opts + [path]
    subprocess.run(cmd, check=True, timeout=120)


def loudness(path, index):
    """Integrated loudness of audio stream index, by ffmpeg's ebur128 filter."""
    res = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-i", path, "-map", "0:a:%d" % index,
                          "-af", "ebur128", "-f", "null", "-"], capture_output=True, text=True, timeout=120)
    return float(re.findall(r"I:\s+(-?[\d.]+) LUFS", res.stderr)[-1])


def shown(path):
    """The pts of the pictures the file's first video stream decodes to, in order."""
    res = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "frame=pts",
                          "-of", "csv=p=0", path], capture_output=True, text=True, timeout=120)
    return [int(line.split(",")[0]) for line in res.stdout.split() if line.split(",")[0].lstrip("-").isdigit()]


def run_day(folder, spots, sch_path):
    return kt.run_demo("--schedule=" + sch_path, "--spots=" + spots, "--clock=" + CLOCK,
                       "--asrun-file=" + os.path.join(folder, "asrun.json"), os.path.join(folder, "prog.ts"),
                       os.path.join(folder, "out.ts"), os.path.join(folder, "filler.ts"), timeout=300)


class Channel:
    """A channel's day: programme and filler at fps, one break of dur seconds at 12 s (10:00:02), the
    spots of records [(id, file, seconds sold)] in it, run through the demo."""

    def __init__(self, case, fps, dur, records, make):
        self.dir = kt.scratch_dir(case, "kestrow-conform-%s-" % fps)
        self.spots = os.path.join(self.dir, "spots")
        os.mkdir(self.spots)
        args = dict(fps=fps, gop=int(fps), audio_channels=2)
        kt.gen.generate(os.path.join(self.dir, "prog.ts"), duration=dur + 16, cues=["at=12,dur=%d,id=1" % dur], **args)
        kt.gen.generate(os.path.join(self.dir, "filler.ts"), filler=True, duration=3, **args)
        make(self.spots)
        self.sch = os.path.join(self.dir, "301AB123.SCH")
        sch.write(self.sch, [sch.record("LOI", "0301", "1000", "0001", 1, n + 1, sold, sid)
                             for n, (sid, _, sold) in enumerate(records)])
        self.records, self.dur = records, dur
        self.res = run_day(self.dir, self.spots, self.sch)

    def expect_aired(self, case, fps, aired):
        """Each spot of aired ({id: status}) as the .VER says; those aired in full exactly their length at fps,
        as pictures decoded from the output between their as-run start and end, their copies' packets."""
        case.assertEqual(self.res.returncode, 0, self.res.stderr[-2000:])
        ver = {r[3]: r[7] for r in sch.read_ver(self.sch[:-4] + ".VER")}
        case.assertEqual(ver, aired)
        rows = [json.loads(line) for line in kt.read_text(os.path.join(self.dir, "asrun.json")).splitlines()]
        spots = {r["spot_id"]: r for r in rows if r["event"] == "spot"}
        out = shown(os.path.join(self.dir, "out.ts"))
        copies = []
        for sid, name, sold in self.records:
            if aired[sid] != "0001":
                continue
            copy = os.path.join(self.spots, ".conformed", name + ".ts")
            copies.append(copy)
            r = spots[sid]
            with case.subTest(sid):
                want = round(sold * fps)
                case.assertEqual(len(shown(copy)), want)
                case.assertEqual(len([t for t in out if r["pts"] <= t < r["pts"] + r["aired"]]), want)
                case.assertEqual(r["aired"], sold * kt.TICKS)
        check = splicecheck.Splice(os.path.join(self.dir, "prog.ts"), os.path.join(self.dir, "filler.ts"),
                                   os.path.join(self.dir, "out.ts"))
        check.expect_sequence(check.video.src[0]["pts"] + 12 * kt.TICKS, self.dur * kt.TICKS, copies)
        text = io.StringIO()
        case.assertEqual(reconcile(self.sch, self.sch[:-4] + ".VER", os.path.join(self.dir, "asrun.json"), out=text), 0)
        return spots


class Conform(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        def agency(spots):
            for sid, (seconds, _, video, audio, opts, _) in SPOTS.items():
                make_spot(os.path.join(spots, sid + "." + opts[-1].replace("matroska", "mkv")), seconds, video,
                          audio, opts)
            # In the channel's format (the generator's H.264 Main, 25 fps, 320x240), delivered as MP4.
            kt.gen.generate(os.path.join(spots, "same.ts"), spot="SAME", duration=2, audio="aac", audio_channels=2)
            subprocess.run(FF + ["-i", os.path.join(spots, "same.ts"), "-c", "copy", "-f", "mp4",
                                 os.path.join(spots, "SAME.mp4")], check=True, timeout=60)
            os.unlink(os.path.join(spots, "same.ts"))
            with open(os.path.join(spots, "BROKEN.mp4"), "wb") as f:
                f.write(b"\0not a media file" * 64)
        names = {sid: sid + "." + SPOTS[sid][4][-1].replace("matroska", "mkv") for sid in SPOTS}
        records = [(sid, names[sid], SPOTS[sid][1]) for sid in SPOTS] + [("SAME", "SAME.mp4", 2),
                                                                       ("BROKEN", "BROKEN.mp4", 3)]
        cls.ch25 = Channel(cls, 25, 45, records, agency)

        def generated(spots):
            for sid, (fps, seconds) in RATES.items():
                kt.gen.generate(os.path.join(spots, sid + ".ts"), spot=sid, duration=seconds, fps=fps, gop=12,
                                audio_channels=2)
        cls.ch50 = Channel(cls, 50, 25, [(sid, sid + ".ts", s) for sid, (_, s) in RATES.items()], generated)

    def test_1_every_rate_airs_its_length_to_the_picture(self):
        out25 = self.ch25.res.stdout + self.ch25.res.stderr
        spots = self.ch25.expect_aired(self, 25, {sid: s[5] for sid, s in SPOTS.items()} | {
            "SAME": "0001", "BROKEN": "1002"})
        self.ch50.expect_aired(self, 50, {sid: "0001" for sid in RATES})
        self.assertEqual((spots["SHORT"]["reason"], spots["SHORT"]["why"], spots["SHORT"]["ver_status"]),
                         ("unusable", "too short by 2.00 s: 3.00 s of pictures, 5 s scheduled", "1006"))
        self.assertIn("BROKEN (cannot be conformed: unreadable: Invalid data found when processing input)", out25)
        self.assertIn("conformed SAME.mp4: remuxed,", out25)
        self.assertRegex(out25, r"filler \S+filler.ts: loudness -\d+\.\d LUFS")
        # Kept as they are: the same pictures as the file delivered.
        cache = os.path.join(self.ch25.spots, ".conformed")
        same = [subprocess.run(FF + ["-i", p, "-map", "0:v", "-f", "framemd5", "-"], capture_output=True, text=True,
                               timeout=60).stdout.split("\n")[-20:] for p in (os.path.join(self.ch25.spots, "SAME.mp4"),
                                                                            os.path.join(cache, "SAME.mp4.ts"))]
        self.assertEqual([l.split(",")[-1] for l in same[0]], [l.split(",")[-1] for l in same[1]])
        out = os.path.join(self.ch25.dir, "out.ts")
        size = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                               "stream=width,height", "-of", "csv=p=0", out], capture_output=True, text=True)
        self.assertEqual(set(size.stdout.split()), {"320,240"})
        errors = subprocess.run(FF + ["-i", out, "-f", "null", "-"], capture_output=True, text=True, timeout=120)
        self.assertEqual(errors.stderr.strip(), "")
        for sid, name in (("MOVSD", "MOVSD.mov"), ("MKVMUTE", "MKVMUTE.mkv"), ("MXF2L", "MXF2L.mxf")):
            for index in (0, 1):
                with self.subTest(sid, stream=index):
                    want = -70 if sid == "MKVMUTE" else -23  # silence where the spot has no sound
                    self.assertAlmostEqual(loudness(os.path.join(cache, name + ".ts"), index), want, delta=0.5)

    def test_2_a_replaced_file_is_conformed_again(self):
        ch = self.ch25
        record = os.path.join(ch.spots, ".conformed", "MOVSD.mov.txt")
        before = kt.read_text(record)
        make_spot(os.path.join(ch.spots, "MOVSD.mov"), 3, VIDEO % ("320x240", 25), ["sine=300,volume=-30dB"],
                  SPOTS["MOVSD"][4])
        res = run_day(ch.dir, ch.spots, ch.sch)
        self.assertEqual(res.returncode, 0, res.stderr[-2000:])
        self.assertIn("conformed MOVSD.mov: conformed,", res.stdout)
        self.assertIn("conformed MP4HD.mp4: conformed before,", res.stdout)
        self.assertNotEqual(before, kt.read_text(record))


if __name__ == "__main__":
    unittest.main(verbosity=2)
