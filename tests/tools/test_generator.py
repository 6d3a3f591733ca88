"""The test-stream generator: what it writes must be what tests think they
asked for. Streams are read back with ffprobe, with kestrow_check and at TS
level here; cue sections are decoded by this test's own reader."""
import json
import os
import subprocess
import sys
import unittest

import kt
from scte35_reader import crc32_mpeg2, fnv1a64, parse_section, pes_pts, ts_packets

sys.path.insert(0, os.environ["KESTROW_TOOLS"])
import kestrow_gen  # noqa: E402

GEN = os.path.join(kt.TOOLS, "kestrow_gen.py")
CHECK = os.path.join(kt.TOOLS_BIN, "kestrow_check")
WRAP = 1 << 33


def ffprobe(path, *args):
    out = subprocess.run(["ffprobe", "-v", "error", "-of", "json"] + list(args) + [path],
                         stdout=subprocess.PIPE, check=True, timeout=60).stdout
    return json.loads(out)


def checker(path, *args):
    return kestrow_gen.check(path, *args, binary=CHECK)


def by_pid(packets, pid):
    return [p for p in packets if p["pid"] == pid]


# The programme of the main case: 12 s, AAC + MP2, two B-frames, GOP 25, and
# one cue of every kind the tests of the splicer will need.
CUES = [
    "at=6,dur=3,lead=2,id=7",                 # break
    "at=9,lead=1,id=8",                       # no break_duration
    "id=9,immediate=1,send=2",                # splice_immediate
    "id=10,cancel=1,at=10,lead=0.5",          # cancel
    "id=11,at=4,adj=5,dur=2,out=0,upid=300,avail=1,avails=2",
    "type=time_signal,at=8,lead=3",
    "type=null,send=1",
    "type=raw,hex=fd3000aabbcc,send=1.5",     # does not parse as SCTE 35
]


class Programme(unittest.TestCase):
    """One programme made through the command line, read back every way."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = kt.scratch()
        cls.path = os.path.join(cls.tmp.name, "prog.ts")
        cmd = [sys.executable, GEN, cls.path, "--duration", "12", "--audio", "aac,mp2",
               "--bframes", "2", "--gop", "25", "--info"]
        for c in CUES:
            cmd += ["--cue", c]
        res = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        assert res.returncode == 0, res.stderr.decode()
        cls.info = json.loads(res.stdout)
        cls.start = cls.info["start"]
        cls.check = checker(cls.path, "--hex")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_probes_with_requested_pids_and_codecs(self):
        streams = ffprobe(self.path, "-show_streams")["streams"]
        got = [(s["id"], s["codec_type"], s["codec_name"]) for s in streams]
        self.assertEqual(got, [("0x100", "video", "h264"), ("0x101", "audio", "aac"),
                               ("0x102", "audio", "mp2"), ("0x590", "data", "scte_35")])
        c = self.check
        self.assertEqual([(s["pid"], s["stream_type"], s["codec"]) for s in c["streams"]],
                         [(0x100, 0x1B, "h264"), (0x101, 0x0F, "aac"), (0x102, 0x03, "mp2"),
                          (0x590, 0x86, "scte_35")])
        self.assertEqual(len(c["programs"]), 1)
        self.assertEqual(c["programs"][0]["pcr_pid"], 0x100)
        self.assertIn("reg=CUEI", c["programs"][0]["descriptors"])
        self.assertEqual(c["end"]["status"], "eof")

    def test_checker_agrees_with_ffprobe_packet_by_packet(self):
        pk = ffprobe(self.path, "-show_packets")["packets"]
        for index in range(4):
            want = [(p.get("pts"), p.get("dts"), p["flags"][0] == "K", int(p["size"]))
                    for p in pk if p["stream_index"] == index]
            got = [(p["pts"], p["dts"], p["key"], p["size"])
                   for p in self.check["packets"] if p["index"] == index]
            self.assertEqual(got, want, "stream %d" % index)
            self.assertTrue(got)

    def test_cue_packets_are_the_built_sections(self):
        cues = by_pid(self.check["packets"], 0x590)
        built = sorted(self.info["cues"], key=lambda c: c["packet"])
        self.assertEqual([c["data"].hex() for c in cues], [b["section"] for b in built])
        for c in cues:
            self.assertEqual(c["hash"], fnv1a64(c["data"]))
            self.assertEqual(c["size"], len(c["data"]))
        # The same bytes as ffprobe reads them.
        pk = ffprobe(self.path, "-select_streams", "d", "-show_packets", "-show_data")["packets"]
        dumped = ["".join(line[10:49].replace(" ", "") for line in p["data"].strip().split("\n"))
                  for p in pk]
        self.assertEqual(dumped, [b["section"] for b in built])

    def test_cues_parse_to_the_requested_values(self):
        s = {}
        for b in self.info["cues"]:
            if b["spec"] == CUES[7]:
                continue                              # the garbage one, below
            sec = parse_section(bytes.fromhex(b["section"]))
            self.assertTrue(sec["crc_ok"], b["spec"])
            carried = sec.get("time_signal", sec.get("splice_insert", {}).get("pts_time"))
            self.assertEqual(b["pts_time"], carried, b["spec"])     # the generator's report
            s[b["spec"]] = sec
        at = lambda sec: self.start + int(sec * 90000)  # noqa: E731

        brk = s[CUES[0]]
        self.assertEqual((brk["table_id"], brk["pts_adjustment"], brk["tier"], brk["splice_command_type"]),
                         (0xFC, 0, 0xFFF, 5))
        i = brk["splice_insert"]
        self.assertEqual((i["splice_event_id"], i["cancel"], i["out_of_network"], i["program_splice"],
                          i["immediate"], i["pts_time"], i["duration"], i["auto_return"]),
                         (7, 0, 1, 1, 0, at(6), 3 * 90000, 1))

        i = s[CUES[1]]["splice_insert"]
        self.assertEqual((i["splice_event_id"], i["pts_time"], i["duration_flag"], i["duration"]),
                         (8, at(9), 0, None))
        i = s[CUES[2]]["splice_insert"]
        self.assertEqual((i["splice_event_id"], i["immediate"], i["pts_time"]), (9, 1, None))
        i = s[CUES[3]]["splice_insert"]
        self.assertEqual((i["splice_event_id"], i["cancel"], len(i)), (10, 1, 2))
        adj = s[CUES[4]]
        i = adj["splice_insert"]
        self.assertEqual((adj["pts_adjustment"], i["pts_time"], i["duration"], i["out_of_network"],
                          i["unique_program_id"], i["avail_num"], i["avails_expected"]),
                         (5 * 90000, at(4), 2 * 90000, 0, 300, 1, 2))
        self.assertEqual(s[CUES[5]]["time_signal"], at(8))
        self.assertEqual((s[CUES[6]]["splice_command_type"], s[CUES[6]]["splice_command_length"]), (0, 0))
        raw = [bytes.fromhex(b["section"]) for b in self.info["cues"] if b["spec"] == CUES[7]]
        # Given bytes, section_length fitted and a CRC_32 appended.
        self.assertEqual(raw[0][:6].hex(), "fd3007aabbcc")
        self.assertEqual((len(raw[0]), crc32_mpeg2(raw[0])), (10, 0))

    def test_cues_arrive_their_lead_before_the_splice_time(self):
        # Where each cue should be sent, in seconds from the programme start:
        # the splice time (with pts_adjustment) less the lead, or send=.
        due = {CUES[0]: 4, CUES[1]: 8, CUES[2]: 2, CUES[3]: 9.5, CUES[4]: 7, CUES[5]: 5,
               CUES[6]: 1, CUES[7]: 1.5}
        arrived = {b["section"]: b["spec"] for b in self.info["cues"]}
        for c in by_pid(self.check["packets"], 0x590):
            spec = arrived[c["data"].hex()]
            late = c["pts"] - (self.start + int(due[spec] * 90000))
            # The demuxer stamps a cue with the last PCR, sent every 80 ms or less.
            self.assertTrue(0 <= late <= 7200, "%s: %d ticks late" % (spec, late))

    def test_cue_ts_packets(self):
        cc = []
        for _, pid, p in ts_packets(self.path):
            if pid != 0x590:
                continue
            self.assertEqual(p[1] & 0x40, 0x40)          # payload_unit_start
            self.assertEqual(p[3] >> 4, 1)               # payload only
            self.assertEqual(p[4], 0)                    # pointer_field
            n = 3 + (((p[6] & 0x0F) << 8) | p[7])
            self.assertEqual(set(p[5 + n:]), {0xFF})
            cc.append(p[3] & 0x0F)
        self.assertEqual(cc, list(range(len(CUES))))
        cc = checker(self.path, "--cc")
        self.assertEqual(cc["total"]["errors"], 0)
        self.assertEqual(cc["total"]["sync_losses"], 0)
        self.assertEqual(cc["cc"][0x590], (len(CUES), 0))

    def test_key_frames_exactly_every_gop(self):
        video = by_pid(self.check["packets"], 0x100)
        self.assertEqual(len(video), 300)
        keys = [n for n, p in enumerate(video) if p["key"]]
        self.assertEqual(keys, list(range(0, 300, 25)))
        self.assertEqual([video[n]["pts"] for n in keys],
                         [self.start + k * 90000 for k in range(12)])
        self.assertEqual(min(p["pts"] for p in video), self.start)
        dts = [p["dts"] for p in video]
        self.assertTrue(all(a < b for a, b in zip(dts, dts[1:])))
        self.assertTrue(any(p["pts"] != p["dts"] for p in video))
        self.assertTrue(all(p["pts"] >= p["dts"] for p in video))


class Variants(unittest.TestCase):
    """Options that change timing and layout, through the module's API."""

    def setUp(self):
        self.tmp = kt.scratch()

    def tearDown(self):
        self.tmp.cleanup()

    def out(self, name):
        return os.path.join(self.tmp.name, name)

    def test_no_bframes_and_start_near_the_wrap(self):
        start = WRAP - 5 * 90000
        wrapped = (start + 8 * 90000) % WRAP
        path = self.out("wrap.ts")
        info = kestrow_gen.generate(path, duration=10, bframes=0, audio="mp2",
                                    start_pts="8589934592-5*90000",
                                    cues=["pts=%d,dur=1,lead=2" % wrapped])
        self.assertEqual(info["start"], start)

        # On the wire: the first video PES carries the start, later ones wrap.
        pts = [pes_pts(p) for _, pid, p in ts_packets(path) if pid == 0x100]
        pts = [v for v in pts if v is not None]
        self.assertEqual(pts[0], start)
        self.assertEqual(pts[-1], (start + 249 * 3600) % WRAP)
        self.assertEqual(sum(1 for a, b in zip(pts, pts[1:]) if b < a), 1)

        # Demuxed: continuous timestamps, pts == dts, start mod 2^33.
        c = checker(path, "--hex")
        self.assertEqual([(s["pid"], s["codec"]) for s in c["streams"]],
                         [(0x100, "h264"), (0x101, "mp2"), (0x590, "scte_35")])
        video = by_pid(c["packets"], 0x100)
        self.assertEqual(len(video), 250)
        self.assertTrue(all(p["pts"] == p["dts"] for p in video))
        self.assertEqual([p["pts"] - video[0]["pts"] for p in video], [3600 * n for n in range(250)])
        self.assertEqual(video[0]["pts"] % WRAP, start)
        probe = ffprobe(path, "-select_streams", "v", "-show_entries", "packet=pts")["packets"]
        self.assertEqual(probe[0]["pts"] % WRAP, start)

        cue = by_pid(c["packets"], 0x590)
        self.assertEqual(len(cue), 1)
        sec = parse_section(cue[0]["data"])
        self.assertEqual(sec["splice_insert"]["pts_time"], wrapped)
        late = (cue[0]["pts"] - (start + 6 * 90000)) % WRAP
        self.assertLessEqual(late, 7200)
        self.assertEqual(checker(path, "--cc")["total"]["errors"], 0)

    def test_start_pts_shifts_every_timestamp_alike(self):
        plain, moved = self.out("plain.ts"), self.out("moved.ts")
        a = kestrow_gen.generate(plain, duration=2, cues=["at=1,dur=1"])
        b = kestrow_gen.generate(moved, duration=2, cues=["at=1,dur=1"], start_pts=3600 * 90000)
        self.assertEqual(b["start"], 3600 * 90000)
        delta = b["start"] - a["start"]
        pa, pb = checker(plain)["packets"], checker(moved)["packets"]
        self.assertEqual(len(pa), len(pb))
        for x, y in zip(pa, pb):
            self.assertEqual((y["pid"], y["pts"] - x["pts"], y["dts"] - x["dts"], y["hash"] == x["hash"]),
                             (x["pid"], delta, delta, x["pid"] != 0x590), x)

    def test_constant_mux_rate_cue_takes_a_null_packet(self):
        with_cue, without = self.out("cue.ts"), self.out("plain.ts")
        kestrow_gen.generate(with_cue, duration=4, muxrate="2M", cues=["at=2,dur=1"])
        kestrow_gen.generate(without, duration=4, muxrate="2M")
        a = list(ts_packets(with_cue))
        b = list(ts_packets(without))
        self.assertEqual(len(a), len(b))
        diff = [(pa[1], pb[1]) for pa, pb in zip(a, b) if pa[2] != pb[2]]
        self.assertEqual(diff, [(0x590, 0x1FFF)])
        self.assertEqual(checker(with_cue, "--cc")["total"]["errors"], 0)

    def test_filler_looks_and_sounds_different(self):
        prog, filler = self.out("prog.ts"), self.out("filler.ts")
        kestrow_gen.generate(prog, duration=3)
        kestrow_gen.generate(filler, duration=3, filler=True)
        c = checker(filler)
        self.assertEqual([s["pid"] for s in c["streams"]], [0x100, 0x101, 0x102])

        def frame(path):
            return subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-frames:v", "1",
                                   "-vf", "scale=16:12", "-pix_fmt", "gray", "-f", "rawvideo", "-"],
                                  stdout=subprocess.PIPE, check=True, timeout=60).stdout

        def tone(path, stream):
            pcm = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:a:%d" % stream,
                                  "-ss", "1", "-t", "1", "-f", "s16le", "-ac", "1", "-"],
                                 stdout=subprocess.PIPE, check=True, timeout=60).stdout
            s = [int.from_bytes(pcm[i:i + 2], "little", signed=True) for i in range(0, len(pcm), 2)]
            return sum(1 for x, y in zip(s, s[1:]) if x < 0 <= y)   # cycles in one second

        a, b = frame(prog), frame(filler)
        self.assertEqual(len(a), 192)
        self.assertGreater(sum(abs(x - y) for x, y in zip(a, b)) / len(a), 20)
        self.assertAlmostEqual(tone(prog, 0), 1000, delta=5)
        self.assertAlmostEqual(tone(prog, 1), 1500, delta=5)
        self.assertAlmostEqual(tone(filler, 0), 440, delta=5)
        self.assertAlmostEqual(tone(filler, 1), 660, delta=5)


class SectionBuilders(unittest.TestCase):
    def test_reference_splice_insert_byte_for_byte(self):
        # A published SCTE 35 sample: break of 30.4 s, event 0x0327BE20.
        ref = bytes.fromhex("fc302500000000000000fff014050327be207feffeffcd73e4fe0029bf80"
                            "000001010000778293a5")
        got = kestrow_gen.splice_insert(0x0327BE20, 4291654628, 2736000, auto_return=True,
                                        avail_num=1, avails_expected=1)
        self.assertEqual(got.hex(), ref.hex())

    def test_forms_round_trip(self):
        top = (1 << 33) - 1
        s = parse_section(kestrow_gen.splice_insert(1, components=[(3, 900), (4, None)], duration=top,
                                                    auto_return=False, pts_adjustment=top,
                                                    descriptors=bytes.fromhex("0008435545490000002a")))
        i = s["splice_insert"]
        self.assertEqual((i["program_splice"], i["components"], i["duration"], i["auto_return"]),
                         (0, [(3, 900), (4, None)], top, 0))
        self.assertEqual((s["pts_adjustment"], s["descriptors"].hex()), (top, "0008435545490000002a"))
        s = parse_section(kestrow_gen.splice_insert(2))
        self.assertEqual(s["splice_insert"]["pts_time"], None)      # time_specified_flag 0
        s = parse_section(kestrow_gen.time_signal())
        self.assertEqual((s["splice_command_type"], s["time_signal"]), (6, None))
        raw = kestrow_gen.raw_section(bytes.fromhex("fc3001"), fix_crc=False)
        self.assertEqual(raw.hex(), "fc3001")
        self.assertRaises(ValueError, kestrow_gen.cue_ts_packet, 0x590, bytes(184), 0)


class CommandLine(unittest.TestCase):
    def run_gen(self, *args):
        return subprocess.run([sys.executable, GEN] + list(args), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=60)

    def test_refusals_leave_no_file(self):
        with kt.scratch() as d:
            out = os.path.join(d, "x.ts")
            cases = [(["--cue", "at=1,bogus=2"], "unknown key"),
                     (["--cue", "type=null"], "give send="),
                     (["--cue", "at=30"], "after the end"),
                     (["--cue", "at=1,id=0x100000000"], "does not fit in 32 bits"),
                     (["--cue", "type=raw,send=1,hex=" + "00" * 180], "does not fit in one TS packet"),
                     (["--scte-pid", "0x100"], "already used"),
                     (["--audio", "flac"], "use aac or mp2")]
            for args, text in cases:
                res = self.run_gen(out, "--duration", "2", *args)
                self.assertEqual(res.returncode, 1, args)
                self.assertIn(text, res.stderr.decode(), args)
                self.assertEqual(os.listdir(d), [], args)


if __name__ == "__main__":
    unittest.main(verbosity=2)
