"""Spots as agencies deliver them (other containers, codecs, sizes, rates and
channel layouts, loud and quiet, without audio, in two languages) conformed
by KestrowDemo and aired into a 640x360 25 fps channel with AAC and MP2
mono: the output decodes at the channel's size, every conformed spot
measures at the target, the .VER says 0001; a file that cannot be read is
1002 with its reason; a replaced file is conformed again."""
import os
import re
import subprocess
import unittest

import kt
import sch

CLOCK = "2024-03-01T09:59:50"
FF = ["ffmpeg", "-nostdin", "-v", "error", "-y"]
VIDEO = "testsrc2=size=%s:rate=%s"
# id: (seconds, video source, audio sources (with their language), output options)
SPOTS = {
    "MP4HD": (4, VIDEO % ("1280x720", 50), ["sine=440:sample_rate=44100,volume=14dB,aformat=channel_layouts=stereo"],
              ["-c:v", "libx264", "-c:a", "aac", "-f", "mp4"]),
    "MOVSD": (3, VIDEO % ("720x576", "30000/1001"), ["sine=300:sample_rate=32000,volume=-16dB"],
              ["-c:v", "mpeg2video", "-c:a", "mp2", "-f", "mov"]),
    "MKVMUTE": (3, VIDEO % ("640x480", 24), [], ["-c:v", "mpeg4", "-f", "matroska"]),
    "MXF2L": (3, VIDEO % ("1920x1080", 25), ["sine=500:sample_rate=48000", "sine=700:sample_rate=48000,volume=6dB"],
              ["-c:v", "mpeg2video", "-b:v", "8M", "-c:a", "pcm_s16le", "-metadata:s:a:0", "language=fra",
               "-metadata:s:a:1", "language=eng", "-f", "mxf"]),
}


def make_spot(path, seconds, video, audio, opts):
    cmd = FF + ["-f", "lavfi", "-i", video] + sum((["-f", "lavfi", "-i", a] for a in audio), [])
    cmd += ["-t", str(seconds)] + sum((["-map", str(i)] for i in range(len(audio) + 1)), []) + opts + [path]
    subprocess.run(cmd, check=True, timeout=120)


def loudness(path, index):
    """Integrated loudness of audio stream index, by ffmpeg's ebur128 filter."""
    res = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-i", path, "-map", "0:a:%d" % index,
                          "-af", "ebur128", "-f", "null", "-"], capture_output=True, text=True, timeout=120)
    return float(re.findall(r"I:\s+(-?[\d.]+) LUFS", res.stderr)[-1])


class Conform(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = kt.scratch_dir(cls, "kestrow-conform-")
        cls.spots = os.path.join(cls.dir, "spots")
        os.mkdir(cls.spots)
        kt.gen.generate(os.path.join(cls.dir, "prog.ts"), duration=40, size="640x360", cues=["at=12,dur=20,id=1"])
        kt.gen.generate(os.path.join(cls.dir, "filler.ts"), filler=True, duration=5, size="640x360")
        for sid, (seconds, video, audio, opts) in SPOTS.items():
            make_spot(os.path.join(cls.spots, sid + "." + opts[-1].replace("matroska", "mkv")), seconds, video,
                      audio, opts)
        with open(os.path.join(cls.spots, "BROKEN.mp4"), "wb") as f:
            f.write(b"\0not a media file" * 64)
        cls.sch = os.path.join(cls.dir, "301AB123.SCH")
        sch.write(cls.sch, [sch.record("LOI", "0301", "1000", "0001", 1, n + 1, SPOTS.get(sid, (3,))[0], sid)
                            for n, sid in enumerate(list(SPOTS) + ["BROKEN"])])
        cls.res = cls.run_day()

    @classmethod
    def run_day(cls):
        return kt.run_demo("--schedule=" + cls.sch, "--spots=" + cls.spots, "--clock=" + CLOCK,
                           "--asrun-file=" + os.path.join(cls.dir, "asrun.json"), os.path.join(cls.dir, "prog.ts"),
                           os.path.join(cls.dir, "out.ts"), os.path.join(cls.dir, "filler.ts"), timeout=300)

    def test_1_spots_conformed_and_aired(self):
        self.assertEqual(self.res.returncode, 0, self.res.stderr[-2000:])
        out = os.path.join(self.dir, "out.ts")
        size = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                               "stream=width,height", "-of", "csv=p=0", out], capture_output=True, text=True)
        self.assertEqual(set(size.stdout.split()), {"640,360"})
        errors = subprocess.run(FF + ["-i", out, "-f", "null", "-"], capture_output=True, text=True, timeout=120)
        self.assertEqual(errors.stderr.strip(), "")
        cache = os.path.join(self.spots, ".conformed")
        for sid in SPOTS:
            name = [n for n in os.listdir(self.spots) if n.startswith(sid + ".")][0]
            for index in (0, 1):
                with self.subTest(sid, stream=index):
                    want = -70 if sid == "MKVMUTE" else -23  # silence where the spot has no sound
                    self.assertAlmostEqual(loudness(os.path.join(cache, name + ".ts"), index), want, delta=0.5)
        self.assertEqual([(r[3], r[7]) for r in sch.read_ver(self.sch[:-4] + ".VER")],
                         [(sid, "0001") for sid in SPOTS] + [("BROKEN", "1002")])
        self.assertIn("BROKEN (cannot be conformed: unreadable: Invalid data found when processing input)",
                      self.res.stdout)

    def test_2_a_replaced_file_is_conformed_again(self):
        record = os.path.join(self.spots, ".conformed", "MOVSD.mov.txt")
        before = kt.read_text(record)
        make_spot(os.path.join(self.spots, "MOVSD.mov"), 3, VIDEO % ("320x240", 25), ["sine=300,volume=-30dB"],
                  SPOTS["MOVSD"][3])
        res = self.run_day()
        self.assertEqual(res.returncode, 0, res.stderr[-2000:])
        self.assertIn("conformed MOVSD.mov: conformed,", res.stdout)
        self.assertIn("conformed MP4HD.mp4: conformed before,", res.stdout)
        self.assertNotEqual(before, kt.read_text(record))


if __name__ == "__main__":
    unittest.main(verbosity=2)
