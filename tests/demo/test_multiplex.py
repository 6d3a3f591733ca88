"""Multiplexes through KestrowDemo, and live through KestrowApp: every
programme keeps its identity, what no relayed stream carries (the SI, the
conditional access, scrambled and unreadable PIDs, the other programmes)
leaves byte for byte, and breaks are spliced into the programme chosen,
exactly by the project's checker. A programme chosen whose video cannot be
demultiplexed passes whole with the rest."""
import collections
import json
import os
import re
import unittest
import urllib.request
from datetime import datetime

import kt
import splicecheck

# Programme 2 lists programme 1's AAC and SCTE-35 PIDs beside its own MP2
# (and so takes its cue); programme 3 is scrambled (CAT, ECM, EMM) and has a
# PID of a type no demuxer reads.
MUX = dict(duration=10, programs=3, muxrate="6M", cues=["at=5,dur=2", "prog=3,at=6,dur=2"],
           program_settings=["2:share=audio+scte,audio=mp2", "3:scrambled=1,unknown=0x3F0:0xA0"])
CUE_DUR = 2
SI_CA = {0x1, 0x10, 0x12, 0x14, 0x1210, 0x1FF0}  # CAT, NIT, EIT, TDT/TOT, ECM, EMM
# The output stage sends these tables itself (PAT, SDT, the PMTs), on its own schedule.
TABLES = {0, 0x11, 0x1000, 0x1100, 0x1200}
# programme: video, audio, SCTE-35 and PMT PIDs
PROG = {1: (0x100, [0x101, 0x102], 0x590, 0x1000), 2: (0x200, [0x201, 0x101], 0x590, 0x1100),
        3: (0x300, [0x301, 0x302, 0x3F0], 0x790, 0x1200)}


def pids(n):
    video, audio, cue, _ = PROG[n]
    return {video, cue, *audio}


def packets(path):
    """{pid: [packet]} of a transport stream, null packets left out."""
    out = collections.defaultdict(list)
    with open(path, "rb") as f:
        data = f.read()
    for i in range(0, len(data) - 187, 188):
        pid = (data[i + 1] & 0x1F) << 8 | data[i + 2]
        if pid != 0x1FFF:
            out[pid].append(data[i:i + 188])
    return out


def identity(path):
    """transport_stream_id, then each programme: number, PMT PID, PCR PID, descriptors, streams."""
    r = kt.gen.check(path, "--layout")
    es = {n: [(e["pid"], e["stream_type"], tuple(e["descriptors"])) for e in r["es"] if e["program"] == n]
          for n in PROG}
    return r["ts_id"], [(p["number"], p["pmt_pid"], p["pcr_pid"], tuple(p["descriptors"]), es[p["number"]])
                        for p in r["programs"]]


def services(sdt_packets):
    """The service_ids listed by the SDT sections that start in the packets."""
    found = set()
    for p in (p for p in sdt_packets if p[1] & 0x40):
        sec = p[5:]
        o, end = 11, 3 + ((sec[1] & 0x0F) << 8 | sec[2]) - 4
        while o + 5 <= end:
            found.add(sec[o] << 8 | sec[o + 1])
            o += 5 + ((sec[o + 3] & 0x0F) << 8 | sec[o + 4])
    return found


def unreadable(data, scramble=(), video_type=None):
    """data with programme 1's PIDs in scramble scrambled (payload and all), or its video's stream_type
    in its PMT (on 0x1000, one packet) made video_type."""
    out, video = bytearray(data), PROG[1][0]
    for i in range(0, len(out) - 187, 188):
        p = memoryview(out)[i:i + 188]
        pid = (p[1] & 0x1F) << 8 | p[2]
        if pid in scramble and p[3] & 0x10:
            o = 5 + p[4] if p[3] & 0x20 else 4
            p[3] |= 0x80
            p[o:] = bytes((i // 188 * 7 + k) % 251 + 1 for k in range(188 - o))
        elif video_type and pid == PROG[1][3] and p[1] & 0x40:
            sec = p[5 + p[4]:]
            end = 3 + ((sec[1] & 0x0F) << 8 | sec[2]) - 4
            o = 12 + ((sec[10] & 0x0F) << 8 | sec[11])
            while o < end:
                sec[o] = video_type if (sec[o + 1] & 0x1F) << 8 | sec[o + 2] == video else sec[o]
                o += 5 + ((sec[o + 3] & 0x0F) << 8 | sec[o + 4])
            sec[end:end + 4] = kt.gen.crc32_mpeg2(bytes(sec[:end])).to_bytes(4, "big")
    return bytes(out)


def sections(pkts):
    """The distinct sections that start and end in one of the packets."""
    found = set()
    for p in (p for p in pkts if p[1] & 0x40 and p[3] & 0x30 == 0x10):
        sec = p[5 + p[4]:]
        found.add(bytes(sec[:3 + ((sec[1] & 0x0F) << 8 | sec[2])]))
    return found


def contiguous(part, whole):
    """part is a run of whole's packets: in order, none missing or changed."""
    at = whole.index(part[0]) if part and part[0] in whole else -1
    return at >= 0 and whole[at:at + len(part)] == part


class Multiplex(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = kt.scratch_dir(cls, "kestrow-multiplex-")
        cls.mux = os.path.join(cls.dir, "mux.ts")
        cls.info = kt.gen.build(cls.mux, **MUX)
        cls.fillers = {1: os.path.join(cls.dir, "filler1.ts"), 2: os.path.join(cls.dir, "filler2.ts")}
        kt.gen.generate(cls.fillers[1], filler=True, duration=4)
        kt.gen.generate(cls.fillers[2], filler=True, duration=4, video_pid=0x200, audio="mp2,aac",
                        audio_pids=[0x201, 0x101])
        cls.sent = packets(cls.mux)
        # Programme 1 with its video scrambled, or of a type no demuxer reads: it cannot be spliced either.
        for name, kw in (("scrambled_video", dict(scramble={0x100})), ("unknown_video", dict(video_type=0x33))):
            with open(cls.mux, "rb") as f, open(os.path.join(cls.dir, name + ".ts"), "wb") as out:
                out.write(unreadable(f.read(), **kw))

    def expect_spliced(self, out, number, runs=1):
        """The chosen programme's break where programme 1's cue puts it (programme 2 shares it and its clock)."""
        video, audio, _, _ = PROG[number]
        check = splicecheck.Splice(self.mux, self.fillers[number], out, video, audio)
        check.expect_valid()
        check.expect_break(0, self.info["cues"][0]["pts_time"], CUE_DUR * kt.TICKS,
                           audio_with_filler=splicecheck.media_pids(check.filler, "audio"))
        self.assertEqual(len(check.video.runs()), runs)

    def test_programmes_through_the_demo(self):
        # input, args, programme chosen, whether it can be spliced, PIDs that leave byte for byte: all the
        # input's but the relayed ones and the tables (the other programmes' PMTs and the SDT leave as the
        # input's sections); a programme that cannot be spliced passes whole, its cue skips its break.
        everything = set(self.sent) - TABLES
        rows = [("mux", [], 1, True, everything - pids(1)),
                ("mux", ["--program=2"], 2, True, everything - pids(2)),
                ("mux", ["--program=3"], 3, False, everything),
                ("scrambled_video", ["--program=1"], 1, False, everything),
                ("unknown_video", ["--program=1"], 1, False, everything)]
        for name, args, number, spliced, exact in rows:
            with self.subTest(name=name, args=args):
                path = os.path.join(self.dir, name + ".ts")
                out, asrun = (os.path.join(self.dir, "out_%s%d.%s" % (name, number, ext)) for ext in ("ts", "json"))
                res = kt.run_demo("--asrun-file=" + asrun, *args, path, out, self.fillers[2 if number == 2 else 1])
                self.assertEqual(res.returncode, 0, res.stderr[-2000:])
                self.assertIn("programme %d (PMT PID 0x%X) is spliced" % (number, PROG[number][3]), res.stdout)
                self.assertEqual(res.stderr.count("programme %d cannot be spliced" % number), 0 if spliced else 1)
                self.assertEqual(res.stderr.count("skipped (no_video)"), 0 if spliced else 1)
                self.assertNotIn("The filler cannot replace", res.stderr)
                self.assertEqual(identity(out), identity(path))
                sent = packets(path)
                got = packets(out)
                self.assertEqual({pid: got[pid] for pid in exact}, {pid: sent[pid] for pid in exact})
                for pid in {0x11} | TABLES - {0, PROG[number][3]}:
                    self.assertEqual(sections(got[pid]), sections(sent[pid]), "PID 0x%x" % pid)
                if spliced:
                    self.expect_spliced(out, number)
                    # The cue is timed by the chosen programme's clock, whichever programme lists its PID first.
                    at = {r["event"]: r["time"] for r in map(json.loads, kt.read_text(asrun).splitlines())}
                    lead = datetime.fromisoformat(at["break_start"][:-1]) - datetime.fromisoformat(at["armed"][:-1])
                    self.assertLess(lead.total_seconds(), 2.5)  # the cue comes 2 s ahead

    def test_single_programme_and_programmes_that_cannot_be_written(self):
        out = os.path.join(self.dir, "spts.ts")
        res = kt.run_demo("--spts", self.mux, out, self.fillers[1])
        self.assertEqual(res.returncode, 0, res.stderr[-2000:])
        self.assertEqual(identity(out), (1, identity(self.mux)[1][:1]))
        got = packets(out)
        self.assertEqual(set(got), pids(1) | {0, 0x11, 0x1000})
        self.assertEqual(services(got[0x11]), {1})
        self.expect_spliced(out, 1)

        res = kt.run_demo("--program=7", self.mux, out, self.fillers[1])
        self.assertEqual(res.returncode, 1)
        self.assertIn("programme 7 is not in the input (it has 1, 2, 3)", res.stderr)
        pat_only = os.path.join(self.dir, "pat.ts")  # nothing of it can be written: the run says so
        with open(pat_only, "wb") as f:
            f.write(b"".join(self.sent[0]))
        res = kt.run_demo(pat_only, out, self.fillers[1])
        self.assertEqual(res.returncode, 1)
        self.assertIn("Nothing of the input could be written to '%s'" % out, res.stderr)

    def test_live_relay_of_a_scrambled_programme(self):
        # The session starts at once and the multiplex passes whole: no probe waits for streams that never decode.
        svc = kt.started(self, self.dir, "--mux-rate=8M", "--input-loss-slate=0", "--program=3",
                         filler=self.fillers[1], name="scrambled")
        svc.send(self.mux)
        self.assertEqual(svc.stop(settle=1)[0], 0)
        self.assertEqual(identity(svc.out), identity(self.mux))
        got = packets(svc.out)
        for pid, sent in self.sent.items():  # all but what came during set-up: at most a second and a table
            if pid in TABLES:
                self.assertEqual(sections(got[pid]), sections(sent), "PID 0x%x" % pid)
                continue
            self.assertTrue(contiguous(got[pid], sent), "PID 0x%x" % pid)
            self.assertGreaterEqual(len(got[pid]), len(sent) * 0.9 - 2, "PID 0x%x" % pid)
        self.assertEqual(kt.gen.check(svc.out, "--cc")["total"]["errors"], 0)
        log = svc.text()
        self.assertEqual(log.count("programme 3 cannot be spliced: PID 0x300 of it is scrambled"), 1, log[-3000:])
        self.assertEqual(log.count("break of splice_event_id=2 skipped (no_video)"), 1)

    def test_live_relay_of_a_multiplex(self):
        # Compared to the end: no slate once the input is over.
        svc = kt.started(self, self.dir, "--mux-rate=8M", "--input-loss-slate=0", filler=self.fillers[1], name="live")
        svc.send(self.mux)
        metrics = urllib.request.urlopen("http://127.0.0.1:%d/metrics" % svc.port, timeout=5).read().decode()
        self.assertEqual(svc.stop(settle=2)[0], 0)
        self.assertIn("slicer_streams: programme 1 (PMT PID 0x1000) is spliced, the first with a video stream; "
                      "2 other programmes pass through untouched", svc.text())
        self.assertIn("kestrow_passthrough_dropped_total 0\n", metrics)
        self.assertEqual(identity(svc.out), identity(self.mux))
        got = packets(svc.out)
        for pid in SI_CA | pids(3) | {0x200, 0x201}:
            self.assertTrue(contiguous(got[pid], self.sent[pid]), "PID 0x%x" % pid)
        for pid in (0x11, 0x1100, 0x1200):
            self.assertEqual(sections(got[pid]), sections(self.sent[pid]), "PID 0x%x" % pid)
        self.assertEqual(kt.gen.check(svc.out, "--cc")["total"]["errors"], 0)
        self.expect_spliced(svc.out, 1)

        # Half of it at less than the rate it needs: what passes through waits, is dropped, logged and counted.
        half = os.path.join(self.dir, "half.ts")
        with open(self.mux, "rb") as f, open(half, "wb") as out:
            out.write(f.read(os.path.getsize(self.mux) // 376 * 188))
        svc = kt.started(self, self.dir, "--mux-rate=1500k", filler=self.fillers[1], name="narrow")
        svc.send(half)
        metrics = urllib.request.urlopen("http://127.0.0.1:%d/metrics" % svc.port, timeout=5).read().decode()
        self.assertEqual(svc.stop(settle=1)[0], 0)
        counted = int(re.search(r"^kestrow_passthrough_dropped_total (\d+)$", metrics, re.M).group(1))
        logged = re.findall(r"slicer_on_event: (\d+) packets passing through dropped: the output had no room for them",
                            svc.text())
        self.assertGreater(counted, 0)
        self.assertGreaterEqual(sum(map(int, logged)), counted)
        # The tables are the output's: on time however short the rate, and every cue passes.
        out = kt.tr290(svc.out)
        gaps = {"PAT": out["pat"]["max_interval_ms"], "SDT": out["sdt"]["max_interval_ms"] / 20}
        gaps.update(("PMT %d" % p["program"], p["max_interval_ms"]) for p in out["pmts"])
        self.assertLessEqual(max(gaps.values()), 100, gaps)
        self.assertEqual(out["cc_errors"], 0)  # what was dropped leaves no gap in the counters
        cues = lambda rep: sum(e["sections"] for e in rep["streams"] if e["stream_type"] == 0x86)
        self.assertEqual(cues(out), cues(kt.tr290(half)))


if __name__ == "__main__":
    unittest.main()
