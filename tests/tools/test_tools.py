"""Smoke run of the test tooling: one stream with a broadcast layout and one
per other codec family, read back with ffprobe and the checker; the cue
builders against a published section; the picture check on KestrowDemo's
outputs."""
import json
import os
import re
import socket
import subprocess
import sys
import unittest

import kt
import pictures

import kestrow_clock  # noqa: E402
import kestrow_gen  # noqa: E402
import kestrow_mux as mux  # noqa: E402
import kestrow_udp as udp  # noqa: E402

SMALL = dict(size="160x120", duration=2.5)


def ffprobe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-show_streams", path],
                         stdout=subprocess.PIPE, check=True, timeout=60).stdout
    return [s.get("codec_name") for s in json.loads(out)["streams"]]


def check(path, *args):
    return kestrow_gen.check(path, *args, binary=os.path.join(kt.TOOLS_BIN, "kestrow_check"))


def sections(path):
    """{pid: [sections]} of the packets that start one section each."""
    out = {}
    for p in mux.read_packets(path):
        if p[1] & 0x40 and mux._pid(p) not in (0x100, 0x101, 0x102, 0x200, 0x201, 0x300, 0x301, 0x302, 0x1FFF):
            out.setdefault(mux._pid(p), []).append(mux._section_of(p))
    return out


def pcrs(path, pid=0x100):
    return [(n, mux._pcr(p)) for n, p in enumerate(mux.read_packets(path))
            if mux._pid(p) == pid and mux._pcr(p) is not None]


def video_pes(path, pid=0x100):
    """[(bytes of the PES, [payload bytes of each of its TS packets])] of pid."""
    out = []
    for p in mux.read_packets(path):
        o = 4 + (1 + p[4] if p[3] & 0x20 else 0)
        if mux._pid(p) == pid and p[3] & 0x10 and (out or p[1] & 0x40):
            if p[1] & 0x40:
                out.append((bytearray(), []))
            out[-1][0].extend(p[o:])
            out[-1][1].append(188 - o)
    return out


def frames(path):
    """(interlaced_frame, top_field_first, repeat_pict, pts) of each decoded
    picture, in output order."""
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-of", "json", "-show_entries",
                          "frame=interlaced_frame,top_field_first,repeat_pict,pts", path],
                         stdout=subprocess.PIPE, check=True, timeout=60).stdout
    return [(f["interlaced_frame"], f["top_field_first"], f["repeat_pict"], f["pts"])
            for f in json.loads(out)["frames"]]


def h264_ids(path):
    """{("sps", id), ("pps", id, its SPS id, entropy_coding_mode_flag)} and
    the PPS id of each slice, read from the video's NAL units."""
    es = b"".join(pes for pes, _ in video_pes(path)).replace(b"\0\0\3", b"\0\0")
    sets, slices = set(), []
    for at in (m.start() for m in re.finditer(b"\0\0\1", es)):
        kind, bits = es[at + 3] & 0x1F, "".join(format(b, "08b") for b in es[at + 4:at + 12])

        def ue(pos):
            zeros = bits.index("1", pos) - pos
            return int(bits[pos + zeros:pos + 2 * zeros + 1], 2) - 1, pos + 2 * zeros + 1
        if kind == 7:
            sets.add(("sps", ue(24)[0]))
        elif kind == 8:
            pps, pos = ue(0)
            sps, pos = ue(pos)
            sets.add(("pps", pps, sps, int(bits[pos])))
        elif kind in (1, 5):
            slices.append(ue(ue(ue(0)[1])[1])[0])
    return sets, slices


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

    def test_interlaced_shapes_and_pulldown(self):
        """Each shape read back from the decoder's flags and the bitstream;
        with moving fields a picture's bottom field is the source's next
        instant, not its own."""
        size, (w, h) = "160x128", (160, 128)
        src = subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=%s:rate=50" % size,
                              "-frames:v", "2", "-f", "rawvideo", "-pix_fmt", "gray", "-"],
                             stdout=subprocess.PIPE, check=True, timeout=60).stdout
        bottom = [b"".join(src[n * w * h + r * w:n * w * h + (r + 1) * w] for r in range(1, h, 2)) for n in (0, 1)]
        tff, bff = (1, 1, 0), (1, 0, 0)
        # name, options, pictures decoded per second, their flags in turn, picture_structure of each picture
        rows = [("mpeg2_frame", dict(video_codec="mpeg2", gop="0.6s", open_gop=True, moving_fields=True), 25, [tff], 3),
                ("mpeg2_field", dict(video_codec="mpeg2", field_coding="field", gop=10), 25, [tff], 1),
                ("h264_mbaff", dict(field_coding="mbaff"), 25, [tff], None),
                ("hevc_field", dict(video_codec="hevc", field_coding="field", x265_params="crf=18"), 50, [tff, bff],
                 None),
                ("mpeg2_pulldown", dict(video_codec="mpeg2", fps="24000/1001", gop=12, pulldown=True), 24,
                 [(0, 1, 1), (0, 0, 0), (0, 0, 1), (0, 1, 0)], 3)]
        with kt.scratch() as d:
            for name, opts, rate, flags, structure in rows:
                with self.subTest(name):
                    path = os.path.join(d, name + ".ts")
                    kestrow_gen.generate(path, size=size, duration=2, audio="mp2", **opts)
                    self.assertEqual(pictures.decode_errors(path), "")
                    got = frames(path)
                    self.assertEqual(len(got), 2 * rate)
                    self.assertEqual([f[:3] for f in got], [flags[n % len(flags)] for n in range(len(got))])
                    es = b"".join(pes for pes, _ in video_pes(path))
                    ext = [es[m.start() + 6] & 3 for m in re.finditer(b"\0\0\1\xb5[\x80-\x8f]", es)]
                    if structure == 3:
                        self.assertEqual(ext, [3] * len(got))
                    elif structure:              # a field pair shares its temporal_reference; a GOP is 10 frames
                        refs = [es[m.start() + 4] << 2 | es[m.start() + 5] >> 6 for m in re.finditer(b"\0\0\1\0", es)]
                        self.assertEqual((ext, refs), ([1, 2] * len(got), [n // 2 % 10 for n in range(2 * len(got))]))
                    if "pulldown" in opts:    # shown for three fields, two, three, two (of 1/59.94 s)
                        steps = [round((b[3] - a[3]) / 1501.5) for a, b in zip(got, got[1:])]
                        self.assertEqual(steps, [2 + f[2] for f in got[:-1]])
                    else:
                        luma = pictures.luma(path)
                        pic = [luma[t] for t in sorted(luma)[:2]]
                        mine = pic[1] if rate == 50 else b"".join(pic[0][r * w:(r + 1) * w] for r in range(1, h, 2))
                        self.assertGreater(pictures.psnr(mine, bottom[1]), pictures.psnr(mine, bottom[0]) + 5)
            keys = [p["pts"] for p in check(os.path.join(d, "mpeg2_frame.ts"))["packets"]
                    if p["index"] == 0 and p["key"]]
            self.assertEqual({b - a for a, b in zip(keys, keys[1:])}, {54000})

    def test_another_encoders_parameter_sets(self):
        """Parameter sets under other ids, the pictures decoded the same."""
        rows = [("cavlc", dict(), dict(pps_ids=[1]), {("sps", 0), ("pps", 1, 0, 0)}, [1]),
                ("cabac", dict(x264_params="cabac=1:weightp=2:8x8dct=1:ref=3"), dict(sps_id=1, pps_ids=[1, 0]),
                 {("sps", 1), ("pps", 1, 1, 1), ("pps", 0, 1, 1)}, [1, 0]),
                ("mbaff", dict(field_coding="mbaff", x264_params="cabac=1", open_gop=True), dict(pps_ids=[2, 5, 3]),
                 {("sps", 0), ("pps", 2, 0, 1), ("pps", 5, 0, 1), ("pps", 3, 0, 1)}, [2, 5, 3])]
        with kt.scratch() as d:
            for name, opts, ids, sets, cycle in rows:
                with self.subTest(name):
                    ref, path = os.path.join(d, name + "_ref.ts"), os.path.join(d, name + ".ts")
                    kestrow_gen.generate(ref, **opts, **SMALL)
                    kestrow_gen.generate(path, **opts, **ids, **SMALL)
                    mine = pictures.luma(path)
                    self.assertTrue(len(mine) > 50 and mine == pictures.luma(ref))     # no diff of the pictures
                    got, slices = h264_ids(path)
                    self.assertEqual(got, sets)
                    self.assertEqual(slices, [cycle[n % len(cycle)] for n in range(len(slices))])

    def test_pes_lengths_and_stuffing(self):
        """PES_packet_length as each mode lies, PES of over 64 KiB among
        them; stuffing in every header; continuity and cue places kept."""
        # mode, declared - carried (mod 65536) of each PES, its last byte when it matters
        rows = [("exact", 0, None), ("short", -1, 0), ("long", 1, None), ("boundary", None, None)]
        with kt.scratch() as d:
            for mode, diff, last in rows:
                with self.subTest(mode):
                    path = os.path.join(d, mode + ".ts")
                    info = kestrow_gen.generate(path, size="160x128", duration=1.5, video_bitrate="16M",
                                                pes_length=mode, pes_stuffing=3, cues=["at=1,dur=0.2,lead=0.5"])
                    pes = video_pes(path)
                    self.assertTrue(any(len(p) > 65541 for p, _ in pes))
                    for p, sizes in pes:
                        declared, carried = p[4] << 8 | p[5], len(p) - 6
                        if diff is None:
                            want = carried - sizes[-1] if len(sizes) > 1 else carried
                        else:
                            want = 0 if mode == "exact" and carried > 0xFFFF else carried + diff
                        self.assertEqual(declared, want % 65536)
                        self.assertEqual((p[8], p[6 + p[8]:9 + p[8]]), ((10 if p[7] >> 6 == 3 else 5) + 3, b"\xff" * 3))
                        self.assertTrue(last is None or p[-1] == last)
                    self.assertEqual(check(path, "--cc")["total"]["errors"], 0)
                    packets = list(mux.read_packets(path))
                    self.assertEqual((mux._pid(packets[info["cues"][0]["packet"]]), info["packets"]),
                                     (0x590, len(packets)))
                    if mode != "boundary":    # the length is the lie there
                        self.assertEqual(pictures.decode_errors(path), "")

    def test_segmentation_descriptor_matches_a_published_section(self):
        ref = ("fc3034000000000000fffff00506fe72bd0050001e021c435545494800008e7fcf0001a599b008080000"
               "00002ca0a18a3402009ac9d17e")
        desc = kestrow_gen.segmentation_descriptor(0x4800008E, 0x34, 27630000, 8, bytes.fromhex("000000002ca0a18a"),
                                                   segment_num=2, restrictions=0b01111)
        self.assertEqual(kestrow_gen.splice_info_section(6, bytes.fromhex("fe72bd0050"), descriptors=desc,
                                                         cw_index=0xFF).hex(), ref)


    def test_multiplex_tables_scrambling_and_rate(self):
        with kt.scratch() as d:
            path = os.path.join(d, "mux.ts")
            info = kestrow_gen.build(path, programs=3, muxrate="3M", program_settings=[
                "2:share=audio+scte,audio=mp2", "3:scrambled=1,unknown=0x3F0:0xA0"], **SMALL)
            out = subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-show_programs", path],
                                 stdout=subprocess.PIPE, check=True, timeout=60).stdout
            progs = {p["program_num"]: (p["tags"]["service_name"], sorted(s["id"] for s in p["streams"]))
                     for p in json.loads(out)["programs"]}
            self.assertEqual(progs, {1: ("Kestrow 1", ["0x100", "0x101", "0x102", "0x590"]),
                                     2: ("Kestrow 2", ["0x101", "0x200", "0x201", "0x590"]),
                                     3: ("Kestrow 3", ["0x300", "0x301", "0x302", "0x3f0", "0x790"])})
            # Every table on its PID with a correct CRC_32 (TDT, ECM: none).
            tables = {pid: {(s[0], s[0] == 0x70 or s[0] >= 0x80 or kestrow_gen.crc32_mpeg2(s) == 0)
                            for s in secs} for pid, secs in sections(path).items()}
            self.assertEqual({pid: tables[pid] for pid in (0x00, 0x01, 0x10, 0x11, 0x12, 0x14, 0x1000, 0x1210)},
                             {0x00: {(0x00, True)}, 0x01: {(0x01, True)}, 0x10: {(0x40, True)},
                              0x11: {(0x42, True)}, 0x12: {(0x4E, True)}, 0x14: {(0x70, True), (0x73, True)},
                              0x1000: {(0x02, True)}, 0x1210: {(0x80, True)}})
            self.assertEqual(check(path, "--cc")["total"]["errors"], 0)
            scrambled = {(mux._pid(p), p[3] >> 6) for p in mux.read_packets(path) if p[3] & 0x10 and p[3] >> 6}
            self.assertEqual(scrambled, {(0x300, 2), (0x301, 2), (0x302, 2)})
            # Constant rate: every PCR where its packet's place puts it.
            for pid in (0x100, 0x300):
                (n0, t0), *rest = pcrs(path, pid)
                self.assertTrue(rest and all((n - n0) * 188 * 8 * 27000000 == (t - t0) * 3000000 for n, t in rest))
            self.assertEqual(info["packets"] * 188, os.path.getsize(path))

    def test_restarts_outage_and_split(self):
        """A restart without and with continuity kept; an outage and a split
        at programme times."""
        with kt.scratch() as d:
            for restart, errors, step in (("at=1,jump=-17", True, -17),
                                          ("at=1,jump=3600,cc_reset=0,version=1", False, 3600)):
                path = os.path.join(d, "restart.ts")
                kestrow_gen.build(path, restarts=[restart], **SMALL)
                steps = [((b - a + mux.PCR_WRAP // 2) % mux.PCR_WRAP - mux.PCR_WRAP // 2) / 27e6
                         for (_, a), (_, b) in zip(pcrs(path), pcrs(path)[1:]) if not 0 <= b - a < 27e6]
                self.assertEqual(len(steps), 1, restart)
                self.assertAlmostEqual(steps[0], step, delta=0.1)
                self.assertEqual(check(path, "--cc")["total"]["errors"] > 0, errors, restart)
                self.assertEqual({s[5] >> 1 & 31 for s in sections(path)[0x1000]},
                                 {0, 1} if "version=1" in restart else {0})
            a, b = (os.path.join(d, f) for f in ("a.ts", "b.ts"))
            info = kestrow_gen.build(a, outages=["at=0.5,dur=0.5"], split="1.5:" + b, **SMALL)
            elapsed = [[(t - info["start"] * 300) / 27e6 for _, t in pcrs(f)] for f in (a, b)]
            self.assertEqual([t for t in elapsed[0] if 0.5 <= t < 1], [])
            self.assertTrue(0.5 <= max(y - x for x, y in zip(elapsed[0], elapsed[0][1:])) < 0.7)
            self.assertTrue(elapsed[0][-1] < 1.5 <= elapsed[1][0] < 1.55)

    def test_cues_as_faulty_equipment_sends_them(self):
        clear, enc = (kestrow_gen.Cue("at=5,dur=2" + extra).section(900000)
                      for extra in ("", ",encrypted=1,alg=3,cw=7"))
        self.assertEqual((enc[4] >> 7, enc[4] >> 1 & 63, enc[9], (len(enc) - 17) % 8), (1, 3, 7, 0))
        self.assertEqual(kestrow_gen.crc32_mpeg2(enc), 0)
        self.assertNotEqual(enc[13:len(clear) - 4], clear[13:-4])

    def test_tr290_reads_back_faults_edited_into_the_bytes(self):
        """A constant-rate stream (packet i at i * 188 * 8 / 2M s) with one
        fault edited in per row, read back by output time."""
        def edit(data, kind):
            for i in range(len(data) // 188):
                p, t = data[i * 188:i * 188 + 188], i * 1504 / RATE
                if kind == "pat" and mux._pid(p) == 0 and 2 <= t < 3:
                    data[i * 188:i * 188 + 188] = mux.NULL_PACKET      # PATs lost from 2 s to 3 s
                elif kind == "cc" and mux._pid(p) == 0x100 and t >= 1.5:
                    data[i * 188 + 3] = p[3] & 0xF0 | (p[3] + 1) & 0x0F  # one packet lost at 1.5 s
                elif kind in ("back", "flagged") and mux._pid(p) == 0x100 and t >= 4 and mux._pcr(p) is not None:
                    q = bytearray(p)
                    mux._set_pcr(q, mux._pcr(p) + (-270000000 if kind == "back" else 13500000))
                    if kind == "flagged" and not edit.flagged:
                        q[5] |= 0x80
                        edit.flagged = True
                    data[i * 188:i * 188 + 188] = q
                elif kind == "table_id" and i == info["cues"][0]["packet"]:
                    data[i * 188 + 5] = 0xFD
        RATE = 2e6
        with kt.scratch() as d:
            path, bad, log = (os.path.join(d, n) for n in ("clean.ts", "bad.ts", "arrivals.log"))
            info = kestrow_gen.generate(path, duration=6, size="160x120", muxrate="2M", mux_delay=0.3,
                                        cues=["at=3,dur=1"])
            with open(path, "rb") as f:
                clean = bytearray(f.read())
            #                  PAT over, CC errors, PCR steps unflagged / flagged, SCTE-35 table_id errors
            for kind, want in (("none", (0, 0, 0, 0, 0)), ("pat", (1, 1, 0, 0, 0)), ("cc", (0, 1, 0, 0, 0)),
                               ("back", (0, 0, 1, 0, 0)), ("flagged", (0, 0, 0, 1, 0)),
                               ("table_id", (0, 0, 0, 0, 1))):
                data, edit.flagged = bytearray(clean), False
                edit(data, kind)
                with open(bad, "wb") as f:
                    f.write(data)
                r = kt.tr290(bad)
                es = {e["pid"]: e for e in r["streams"]}
                got = (r["pat"]["over_limit"], r["cc_errors"], r["pcrs"][0]["disc_unflagged"],
                       r["pcrs"][0]["disc_flagged"], es[0x590]["table_id_errors"])
                self.assertEqual(got, want, kind)
                if kind == "pat":
                    self.assertTrue(1.85 <= r["pat"]["max_interval_at_s"] <= 2, r["pat"])
                    self.assertTrue(1000 < r["pat"]["max_interval_ms"] < 1250, r["pat"])
                if kind == "cc":
                    self.assertEqual([(p["pid"], round(p["first_cc_error_s"], 1)) for p in r["pids"]
                                      if p["cc_errors"]], [(0x100, 1.5)])
            r = kt.tr290(path)
            es = {e["pid"]: e for e in r["streams"]}
            self.assertEqual((r["pmts"][0]["over_limit"], r["pcrs"][0]["over_40ms"], r["sdt"]["first_late"],
                              es[0x590]["sections"]), (0, 0, False, 1))
            w = kt.tr290(path, window=(2, 4))
            self.assertTrue(2 <= w["start_s"] and w["end_s"] <= 4, w)
            self.assertTrue(all(24 <= n <= 26 for n in {e["pid"]: e for e in w["streams"]}[0x100]["pes_per_second"]))
            # Arrival times: the same bytes, a datagram every 1316 bytes, all 1 s late from 2 s on.
            with open(log, "w") as f:
                for off in range(0, len(clean), 1316):
                    f.write("%.6f %d\n" % (100 + off * 8 / RATE + (off * 8 / RATE >= 2), off))
            r = kt.tr290(path, times=log)
            self.assertEqual((r["time"], r["pat"]["over_limit"]), ("arrival", 1))
            self.assertTrue(1.85 <= r["pat"]["max_interval_at_s"] <= 2.0)

    def test_mux_delay_asked_is_the_lead_measured(self):
        with kt.scratch() as d:
            for asked, want in ((0.3, 300), ("default", 700), (1.0, 1000)):
                path = os.path.join(d, "lead.ts")
                kestrow_gen.generate(path, mux_delay=asked, **SMALL)
                lead = {e["pid"]: e["dts_lead_ms"] for e in kt.tr290(path)["streams"]}[0x100]
                self.assertAlmostEqual(lead["median"], want, delta=5, msg=asked)

    def test_sender_stalls_bursts_and_runs_fast(self):
        """Each datagram's send time against its place in the file's schedule."""
        with kt.scratch() as d:
            path, log, out = (os.path.join(d, n) for n in ("in.ts", "sent.log", "out.ts"))
            kestrow_gen.generate(path, **SMALL)
            with open(path, "rb") as f:
                data = f.read()
            schedule = udp.schedule(data)
            for spec, when in (
                    ("from=1,to=1.5,stall=1", lambda t: 1.5 if 1 <= t < 1.5 else t),
                    ("from=1,to=1.5,stall=1,burst=2", lambda t: max(t, 1.5 + (t - 1) / 2) if t >= 1 else t),
                    ("from=0.5,to=1.5,fast=2", lambda t: t if t < 0.5 else 0.5 + (t - 0.5) / 2 if t < 1.5 else t - 0.5)):
                addr = "127.0.0.1:%d" % kt.free_port(socket.SOCK_DGRAM)
                rec = udp.Receiver(addr, out, idle=1, seconds=20)
                rec.start()
                udp.send(path, addr, log=log, faults=[spec])
                rec.join(20)
                rows = [line.split() for line in kt.read_text(log).splitlines()]
                late = max(abs(float(w) - float(rows[0][0]) - when(schedule[int(o) // 188])) for w, o in rows)
                self.assertLess(late, 0.15, spec)
                self.assertEqual(rec.bytes, len(data) - len(data) % 188, spec)

    def test_scrambled_stretch_and_unknown_video(self):
        """Programme 1 scrambled from 1 s to 1.8 s of programme time (output
        time about 0.7 s later: the muxer's lead), programme 2's video a codec
        nothing knows."""
        with kt.scratch() as d:
            path = os.path.join(d, "feed.ts")
            kestrow_gen.build(path, programs=2, program_settings=["1:scrambled_from=1,scrambled_to=1.8",
                                                                  "2:video_type=0xA0"], size="160x120",
                              duration=3.5)
            for window, share in (((0, 1.6), 0), ((1.8, 2.4), 1), ((2.6, None), 0)):
                pids = {p["pid"]: p for p in kt.tr290(path, window=window)["pids"]}
                for pid in (0x100, 0x101, 0x200):
                    want = share if pid != 0x200 else 0
                    self.assertAlmostEqual(pids[pid]["scrambled"] / pids[pid]["packets"], want, delta=0.05)
            out = subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-show_streams", path],
                                 stdout=subprocess.PIPE, check=True, timeout=60).stdout
            codecs = {int(s["id"], 16): s.get("codec_name") for s in json.loads(out)["streams"]}
            self.assertEqual((codecs[0x100], codecs[0x200]), ("h264", None))


class Pictures(unittest.TestCase):
    def test_outputs_judged_picture_by_picture(self):
        """KestrowDemo's outputs: a break on its announced pictures, and on
        the key frames after them (4.52 s and 7.72 s: 12 and 7 pictures
        before the key frames at 5 s and 8 s); a plain relay, then with
        three video PES cut out; the programme on another clock, across the
        wrap; the output of a source that restarts 17 s back, on a new time
        line."""
        with kt.scratch() as d:
            prog, plain, filler, shifted, restart, out, asrun = (os.path.join(d, n) for n in (
                "prog.ts", "plain.ts", "filler.ts", "shifted.ts", "restart.ts", "out.ts", "asrun.json"))
            kt.gen.generate(prog, duration=12, gop=25, cues=["at=4.52,dur=3.2"])
            kt.gen.generate(filler, filler=True, duration=6)
            for mode, off in (("auto", [0, 0]), ("off", [12, 7])):
                res = kt.run_demo("--frame-accurate=" + mode, "--asrun-file=" + asrun, prog, out, filler)
                self.assertEqual(res.returncode, 0, res.stderr[-2000:])
                r = pictures.check(out, prog, [filler], asrun)
                t, (b,) = r["totals"], r["breaks"]
                said = sum(e.get("reencoded") or 0 for e in map(json.loads, kt.read_text(asrun).splitlines()))
                self.assertEqual((t["pictures_out"], t["own"] + t["reencoded"] + t["filler"], t["holes"],
                                  t["decode_errors_out"], t["reencoded"]), (300, 300, 0, 0, said), mode)
                self.assertEqual((b["filler"], b["pictures"], b["missing"], b["filler_first"], b["point"]),
                                 (t["filler"], t["filler"], 0, {"file": 0, "picture": 0}, 540000), mode)
                self.assertEqual([b["frames_off_start"], b["frames_off_end"]], off, mode)
                self.assertEqual(t["reencoded"] > 0, mode == "auto")
            kt.gen.generate(plain, duration=12, gop=25)
            self.assertEqual(kt.run_demo(plain, out, filler).returncode, 0)
            t = pictures.check(out, plain)["totals"]
            self.assertEqual((t["own"], t["pictures_out"], t["holes"], t["other"], t["decode_errors_out"]),
                             (300, 300, 0, 0, 0))
            # Video PES 30 to 32 (in decoding order) become null packets.
            with open(out, "rb") as f:
                data, pes = bytearray(f.read()), -1
            for i in range(0, len(data), 188):
                if mux._pid(data[i:i + 188]) == 0x100:
                    pes += data[i + 1] >> 6 & 1
                    if 30 <= pes <= 32:
                        data[i:i + 188] = mux.NULL_PACKET
            cut = [p["pts"] for p in check(out)["packets"] if p["pid"] == 0x100][30:33]
            with open(out, "wb") as f:
                f.write(data)
            r = pictures.check(out, plain)
            self.assertEqual((r["totals"]["pictures_out"], set(cut) - set(r["holes"])), (297, set()))
            self.assertEqual((r["totals"]["decode_errors_in"], r["totals"]["decode_errors_out"] > 0), (0, True))
            kt.gen.generate(shifted, duration=12, gop=25, start_pts=kestrow_clock.WRAP - 5 * kt.TICKS)
            kt.gen.build(restart, duration=8, gop=25, restarts=["at=4,jump=-17"])
            self.assertEqual(kt.run_demo(restart, out, filler).returncode, 0)
            for output, source, jumps in ((shifted, plain, [-583200]), (out, restart, [0, 17])):
                r = pictures.check(output, source)
                t, offsets = r["totals"], [o["offset"] for o in r["offsets"]]
                self.assertEqual((t["own"], t["pictures_out"], t["holes"]), (t["pictures_in"], t["pictures_in"], 0))
                self.assertEqual(offsets[:1] + [round(o / kt.TICKS) for o in offsets[1:]], jumps, output)

if __name__ == "__main__":
    unittest.main(verbosity=2)
