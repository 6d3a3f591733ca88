"""Smoke run of the test tooling: one short stream per layout family, read
back with ffprobe, the checker's --layout and packet lists, and cue sections
decoded here, apart from the generator's own builders."""
import json
import os
import subprocess
import sys
import unittest

import kt

sys.path.insert(0, kt.TOOLS)
import kestrow_gen  # noqa: E402

GEN = os.path.join(kt.TOOLS, "kestrow_gen.py")
CHECK = os.path.join(kt.TOOLS_BIN, "kestrow_check")
SMALL = dict(size="160x120", duration=2.5)


def ffprobe(path, *args):
    out = subprocess.run(["ffprobe", "-v", "error", "-of", "json"] + list(args) + [path],
                         stdout=subprocess.PIPE, check=True, timeout=60).stdout
    return json.loads(out)


def check(path, *args):
    return kestrow_gen.check(path, *args, binary=CHECK)


def crc32(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
    return crc & 0xFFFFFFFF


def decode(sec):
    """A splice_insert or time_signal section, with its segmentation descriptors."""
    v, pos = int.from_bytes(sec, "big"), [0]

    def rd(n):
        pos[0] += n
        return (v >> (8 * len(sec) - pos[0])) & ((1 << n) - 1)

    def splice_time():
        if rd(1):
            return rd(39) & ((1 << 33) - 1)
        rd(7)
        return None
    head = (crc32(sec), rd(8), rd(4), rd(12) + 3 - len(sec))
    assert head == (0, 0xFC, 3, 0), head
    rd(15)
    f = {"pts_adjustment": rd(33), "segmentation": []}
    rd(20)
    length, f["command"] = rd(12), rd(8)
    start = pos[0]
    if f["command"] == 5:
        f.update(id=rd(32), cancel=rd(1), out=None, immediate=None, pts=None, dur=None)
        rd(7)
        if not f["cancel"]:
            f["out"], _, has_dur, f["immediate"] = rd(1), rd(1), rd(1), rd(1)
            rd(4)
            f["pts"] = None if f["immediate"] else splice_time()
            f["dur"] = rd(40) & ((1 << 33) - 1) if has_dur else None
            rd(32)
    elif f["command"] == 6:
        f["pts"] = splice_time()
    assert pos[0] - start == 8 * length
    end = pos[0] + 16 + 8 * rd(16)
    while pos[0] < end:
        tag, n = rd(8), rd(8)
        stop = pos[0] + 8 * n
        if tag == 2:
            d = {"identifier": rd(32).to_bytes(4, "big"), "id": rd(32), "cancel": rd(1)}
            rd(7)
            if not d["cancel"]:
                rd(1)
                has_dur = rd(1)
                rd(6)
                d["dur"] = rd(40) if has_dur else None
                kind, size = rd(8), rd(8)
                d.update(upid=(kind, rd(8 * size).to_bytes(size, "big")), type=rd(8), num=rd(8),
                         expected=rd(8))
            f["segmentation"].append(d)
        pos[0] = stop
    assert pos[0] // 8 + 4 == len(sec)
    return f


def audio_lead(path, pid):
    """Median of (PES pts - last PCR before it) in ms: how early it is sent."""
    clock, leads = None, []
    with open(path, "rb") as f:
        data = f.read()
    for i in range(0, len(data), 188):
        p = data[i:i + 188]
        if p[3] & 0x20 and p[4] >= 7 and p[5] & 0x10:
            clock = int.from_bytes(p[6:11], "big") >> 7
        o = 4 + (1 + p[4] if p[3] & 0x20 else 0)
        if ((p[1] & 0x1F) << 8 | p[2]) == pid and p[1] & 0x40 and clock is not None and p[o + 7] & 0x80:
            b = p[o + 9:o + 14]
            leads.append((((b[0] >> 1) & 7) << 30 | b[1] << 22 | (b[2] >> 1) << 15 | b[3] << 7 | b[4] >> 1)
                         - clock)
    return sorted(leads)[len(leads) // 2] / 90


class Families(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = kt.scratch()
        cls.path = {k: os.path.join(cls.tmp.name, k + ".ts") for k in ("layout", "cues", "mpeg2", "hevc")}
        res = subprocess.run(
            [sys.executable, GEN, cls.path["layout"], "--size", "160x120", "--duration", "2.5",
             "--video-pid", "0x1000", "--pmt-pid", "0x810", "--program-number", "2064", "--ts-id", "7",
             "--pcr-pid", "0x1FF", "--audio", "aac:eng,ac3:deu", "--audio-pids", "0x1001,0x1002", "--dvb",
             "--silent-pid", "0x1003", "--subtitles", "deu", "--teletext", "fra", "--data-pid", "0x1004",
             "--no-cuei", "--two-au-pes", "--audio-offset-ms", "300", "--cue", "at=2,lead=1"],
            stderr=subprocess.PIPE, timeout=120)
        assert res.returncode == 0, res.stderr.decode()
        cls.cues = kestrow_gen.generate(cls.path["cues"], pcr_pid="none", open_gop=True, gop=24, cues=[
            "id=5,at=1.5,dur=0.8,lead=1,repeat=3,every=0.5,adj=0.1",
            "id=6,cancel=1,send=0.3", "id=7,out=0,immediate=1,send=0.4",
            "type=time_signal,at=2,lead=1,seg_type=0x36,seg_id=9,seg_dur=0.5,seg_upid=0x0c:4b53",
            "type=time_signal,at=2.2,lead=1,seg_cancel=1,seg_id=9"], **SMALL)
        kestrow_gen.generate(cls.path["mpeg2"], video_codec="mpeg2", open_gop=True, gop=12,
                             audio="latm,eac3", scte_pid=0, **SMALL)
        kestrow_gen.generate(cls.path["hevc"], video_codec="hevc", open_gop=True, gop=24, audio="mp2",
                             **SMALL)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_layout_identity_streams_and_pcr(self):
        r = check(self.path["layout"], "--layout")
        self.assertEqual(r["ts_id"], 7)
        self.assertEqual(r["programs"], [{"number": 2064, "pmt_pid": 0x810, "pcr_pid": 0x1FF, "descriptors": []}])
        got = [(e["pid"], e["stream_type"], e["languages"], e["packets"] > 0) for e in r["es"]]
        self.assertEqual(got, [(0x1000, 0x1B, [], True), (0x1001, 0x0F, ["eng"], True), (0x1002, 0x06, ["deu"], True),
                               (0x120, 0x06, ["deu"], True), (0x590, 0x86, [], True), (0x1003, 0x0F, [], False),
                               (0x121, 0x06, ["fra"], True), (0x1004, 0x06, [], True)])
        pcr = r["pids"][0x1FF]
        self.assertEqual((pcr["pcrs"], pcr["unit_starts"], r["pids"][0x1000]["pcrs"]), (pcr["packets"], 0, 0))
        self.assertGreater(pcr["pcrs"], 20)
        codecs = [(s["id"], s.get("codec_name")) for s in ffprobe(self.path["layout"], "-show_streams")["streams"]]
        self.assertEqual(codecs, [("0x1000", "h264"), ("0x1001", "aac"), ("0x1002", "ac3"), ("0x120", "dvb_subtitle"),
                                  ("0x590", None), ("0x1003", "aac"), ("0x121", "dvb_teletext"),
                                  ("0x1004", "bin_data")])

    def test_two_access_units_in_one_pes(self):
        pk = ffprobe(self.path["layout"], "-select_streams", "v", "-show_packets")["packets"]
        bare = [n for n, p in enumerate(pk) if "pts" not in p and "dts" not in p]
        # Every second frame of each 25-frame GOP after its key frame, 62 frames.
        self.assertEqual(len(bare), 30)
        self.assertTrue(all("pts" in pk[n - 1] and "K" not in pk[n]["flags"] for n in bare))
        self.assertEqual(check(self.path["layout"], "--cc")["total"]["errors"], 0)

    def test_audio_offset_in_mux_order(self):
        shift = audio_lead(self.path["layout"], 0x1001) - audio_lead(self.path["cues"], 0x101)
        self.assertAlmostEqual(shift, 300, delta=100)

    def test_codecs_and_open_gops(self):
        for name, want in (("mpeg2", ["mpeg2video", "aac_latm", "eac3"]), ("hevc", ["hevc", "mp2", "scte_35"]),
                           ("cues", ["h264", "aac", "mp2", "scte_35"])):
            streams = ffprobe(self.path[name], "-show_streams")["streams"]
            self.assertEqual([s["codec_name"] for s in streams], want, name)
            video = [p for p in check(self.path[name])["packets"] if p["index"] == 0]
            keys = [n for n, p in enumerate(video) if p["key"]][1:]
            # Open GOPs: pictures after a later key frame in decode order shown before it.
            self.assertTrue(keys and all(video[k + 1]["pts"] < video[k]["pts"] for k in keys), name)
        self.assertEqual(ffprobe(self.path["mpeg2"], "-show_streams")["streams"][0]["field_order"], "tt")

    def test_cue_fields(self):
        self.assertEqual(check(self.path["cues"], "--layout")["programs"][0]["pcr_pid"], 0x1FFF)
        sent = [p for p in check(self.path["cues"], "--hex")["packets"] if p["pid"] == 0x590]
        self.assertTrue(all(p["pts"] is None for p in sent))      # no PCR PID: no cue timestamp
        cues = [decode(p["data"]) for p in sent]
        start, t = self.cues["start"], lambda s: int(s * 90000)
        brk = [c for c in cues if c["command"] == 5 and c["id"] == 5]
        self.assertEqual(len(brk), 3)
        self.assertEqual({(c["out"], c["immediate"], c["pts"], c["dur"], c["pts_adjustment"]) for c in brk},
                         {(1, 0, start + t(1.5), t(0.8), t(0.1))})
        other = {c["id"]: (c["cancel"], c["out"], c["immediate"], c["pts"]) for c in cues if c["command"] == 5}
        self.assertEqual((other[6], other[7]), ((1, None, None, None), (0, 0, 1, None)))
        ts = [c for c in cues if c["command"] == 6]
        self.assertEqual([c["pts"] for c in ts], [start + t(2), start + t(2.2)])
        self.assertEqual(ts[0]["segmentation"], [{"identifier": b"CUEI", "id": 9, "cancel": 0, "dur": t(0.5),
                                                  "upid": (0x0C, b"KS"), "type": 0x36, "num": 0, "expected": 0}])
        self.assertEqual(ts[1]["segmentation"], [{"identifier": b"CUEI", "id": 9, "cancel": 1}])

    def test_segmentation_descriptor_matches_a_published_section(self):
        ref = bytes.fromhex("fc3034000000000000fffff00506fe72bd0050001e021c435545494800008e7fcf0001a599b008080000"
                            "00002ca0a18a3402009ac9d17e")
        desc = kestrow_gen.segmentation_descriptor(0x4800008E, 0x34, 27630000, 8, bytes.fromhex("000000002ca0a18a"),
                                                   segment_num=2, restrictions=0b01111)
        self.assertEqual(kestrow_gen.splice_info_section(6, bytes.fromhex("fe72bd0050"), descriptors=desc,
                                                         cw_index=0xFF).hex(), ref.hex())
        self.assertEqual(decode(ref)["segmentation"][0]["type"], 0x34)


if __name__ == "__main__":
    unittest.main(verbosity=2)
