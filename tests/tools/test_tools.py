"""Smoke run of the test tooling: one stream with a broadcast layout and one
per other codec family, read back with ffprobe and the checker; the cue
builders against a published section."""
import os
import subprocess
import sys
import json
import unittest

import kt

import kestrow_gen

SMALL = dict(size="160x120", duration=2.5)


def ffprobe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-show_streams", path],
                         stdout=subprocess.PIPE, check=True, timeout=60).stdout
    return [s.get("codec_name") for s in json.loads(out)["streams"]]


def check(path, *args):
    return kestrow_gen.check(path, *args, binary=os.path.join(kt.TOOLS_BIN, "kestrow_check"))


class Smoke(unittest.TestCase):
    def test_layouts_codecs_and_cues(self):
        with kt.scratch() as d:
            layout, mpeg2, hevc = (os.path.join(d, n + ".ts") for n in ("layout", "mpeg2", "hevc"))
            res = subprocess.run(
                [sys.executable, os.path.join(kt.TOOLS, "kestrow_gen.py"), layout, "--size", "160x120",
                 "--duration", "2.5", "--video-pid", "0x1000", "--pmt-pid", "0x810", "--program-number", "2064",
                 "--ts-id", "7", "--pcr-pid", "0x1FF", "--audio", "aac:eng,ac3:deu", "--audio-pids",
                 "0x1001,0x1002", "--dvb", "--subtitles", "deu", "--two-au-pes", "--cue", "at=2,lead=1"],
                stderr=subprocess.PIPE, timeout=120)
            self.assertEqual(res.returncode, 0, res.stderr.decode())
            r = check(layout, "--layout")
            self.assertEqual((r["ts_id"], r["programs"]), (7, [{"number": 2064, "pmt_pid": 0x810, "pcr_pid": 0x1FF,
                                                                "descriptors": ["reg=CUEI"]}]))
            self.assertEqual([(e["pid"], e["stream_type"], e["languages"]) for e in r["es"]],
                             [(0x1000, 0x1B, []), (0x1001, 0x0F, ["eng"]), (0x1002, 0x06, ["deu"]),
                              (0x120, 0x06, ["deu"]), (0x590, 0x86, [])])
            self.assertEqual(ffprobe(layout), ["h264", "aac", "ac3", "dvb_subtitle", "scte_35"])
            self.assertEqual(check(layout, "--cc")["total"]["errors"], 0)
            cues = [p for p in check(layout)["packets"] if p["pid"] == 0x590]
            self.assertTrue(cues)
            kestrow_gen.generate(mpeg2, video_codec="mpeg2", open_gop=True, gop=12, audio="latm,eac3",
                                 scte_pid=0, **SMALL)
            kestrow_gen.generate(hevc, video_codec="hevc", open_gop=True, gop=24, audio="mp2", **SMALL)
            for path, want in ((mpeg2, ["mpeg2video", "aac_latm", "eac3"]), (hevc, ["hevc", "mp2", "scte_35"])):
                self.assertEqual(ffprobe(path), want)
                video = [p for p in check(path)["packets"] if p["index"] == 0]
                keys = [n for n, p in enumerate(video) if p["key"]][1:]
                # Open GOPs: pictures after a later key frame in decode order shown before it.
                self.assertTrue(keys and all(video[k + 1]["pts"] < video[k]["pts"] for k in keys), path)

    def test_segmentation_descriptor_matches_a_published_section(self):
        ref = ("fc3034000000000000fffff00506fe72bd0050001e021c435545494800008e7fcf0001a599b008080000"
               "00002ca0a18a3402009ac9d17e")
        desc = kestrow_gen.segmentation_descriptor(0x4800008E, 0x34, 27630000, 8, bytes.fromhex("000000002ca0a18a"),
                                                   segment_num=2, restrictions=0b01111)
        self.assertEqual(kestrow_gen.splice_info_section(6, bytes.fromhex("fe72bd0050"), descriptors=desc,
                                                         cw_index=0xFF).hex(), ref)


if __name__ == "__main__":
    unittest.main(verbosity=2)
