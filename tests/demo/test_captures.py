"""KestrowDemo on what head-ends and recorders send: generated programmes with
each feature (PAT entries whose PMTs never come, a PID twice in a PMT, PES
on data PIDs untimed or on a clock of their own, a filler on other PIDs),
and the public captures of ../shared/captures beside the checkout, as CI
has them. Each output is read back as a receiver reads it."""
import json
import os
import unittest

import flow
import kt
import pictures

# Beside the checkout; KESTROW_CAPTURES names them for a checkout kept elsewhere (a worktree).
CAPTURES = os.environ.get("KESTROW_CAPTURES") or os.path.normpath(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared", "captures"))


def receive(path):
    """The PAT's (number, PMT PID) in order, packets per PID and continuity errors, as a receiver reads them."""
    pat = [(p["number"], p["pmt_pid"]) for p in kt.gen.check(path, "--layout")["programs"]]
    pids = kt.tr290(path)["pids"]
    return pat, {p["pid"]: p["packets"] for p in pids}, sum(p["cc_errors"] for p in pids)


def video_pes(path, pid):
    with open(path, "rb") as f:
        return len(flow.pes_starts(f.read(), {pid}))


class HeadEnds(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = kt.scratch_dir(cls, "kestrow-captures-")

    def run_demo(self, name, prog, filler, *options):
        out, asrun = (os.path.join(self.dir, name + e) for e in ("_out.ts", ".json"))
        res = kt.run_demo("--asrun-file=" + asrun, *options, prog, out, filler, timeout=300)
        self.assertEqual(res.returncode, 0, res.stderr[-2000:])
        records = [json.loads(r) for r in kt.read_text(asrun).splitlines()] if os.path.exists(asrun) else []
        return out, res, records

    def test_tables_side_pes_and_a_filler_on_other_pids(self):
        # The PAT lists two programmes first whose PMTs never come; the PMT lists audio 0x101 twice; teletext and
        # data PES carry no PTS, or PTS of a clock of their own an hour ahead of the programme's; the filler's streams
        # are on 0x300-0x302, the cue on 0x100 ahead of the video.
        filler = os.path.join(self.dir, "filler300.ts")
        kt.gen.generate(filler, filler=True, duration=6, video_pid=0x300, audio_pids=[0x301, 0x302])
        rows = (("untimed", dict(untimed_pes=True)), ("ahead", dict(side_offset=3600)))
        for name, side in rows:
            with self.subTest(name):
                prog = os.path.join(self.dir, "tables_%s.ts" % name)
                kt.gen.generate(prog, duration=8, ghost_programs=2, pmt_twice=0x101, teletext="deu", data_pid=0x130,
                                dvb=True, scte_pid=0x100, video_pid=0x103, cues=["id=100,at=3,dur=2"], **side)
                out, res, records = self.run_demo("tables_" + name, prog, filler)
                self.assertEqual(res.stdout.count("PID 0x101 is listed twice in the programme: relayed once"), 1)
                self.assertNotIn("The filler cannot replace", res.stderr)
                pat, got, cc = receive(out)
                self.assertEqual(pat, [(0x7F00, 0x1001), (0x7F01, 0x1002), (1, 0x1000)])
                self.assertEqual(cc, 0)
                self.assertFalse({0x300, 0x301, 0x302} & set(got))
                sent = receive(prog)[1]
                for pid in (0x121, 0x130):  # every side PES goes out, from the programme's first timestamp on
                    self.assertGreaterEqual(got.get(pid, 0), sent[pid] - 2, hex(pid))
                self.assertGreaterEqual(video_pes(out, 0x103) + 2, video_pes(prog, 0x103))
                self.assertEqual([(r["event"], r["splice_event_id"], r["aired"]) for r in records],
                                 [("cue", 100, None), ("armed", 100, None), ("break_start", 100, None),
                                  ("break_end", 100, 2 * kt.TICKS)])

    def test_public_captures(self):
        # name: (its programme's video PID, the output's PAT)
        rows = {"tsduck-test-143.ts": (0x3D, [(60, 0x3C)]),
                "tsduck-test-108.ts": (0x200, [(3401, 0x102), (3402, 0x101), (3403, 0x100), (3404, 0x103),
                                               (3405, 0x104), (3406, 0x105), (3411, 0x118), (3410, 0x12C)]),
                "tsduck-test-137.ts": (0x79, [(3010, 0x64), (3011, 0x6E), (3012, 0x78), (3013, 0x82),
                                              (3050, 0x41A)]),
                "tsduck-test-072.ts": (0x65, [(1, 0x63)])}
        self.assertTrue(os.path.isdir(CAPTURES), "the captures are not in %s" % CAPTURES)
        filler = os.path.join(self.dir, "filler.ts")
        kt.gen.generate(filler, filler=True, duration=4)
        for (name, (video, pat)), mode in ((row, mode) for row in rows.items() for mode in ("auto", "off")):
            with self.subTest(name, mode=mode):
                path = os.path.join(CAPTURES, name)
                out, res, _ = self.run_demo(name + "_" + mode, path, filler, "--frame-accurate=" + mode)
                self.assertEqual(receive(out)[0], pat)
                # Every picture the programme's own decode shows is shown again, none damaged (143's 2.1 s show
                # none: its parameter sets never come whole); 072's video PES all declare one byte less than they
                # carry: before, 261 of its 300 pictures were lost.
                got = pictures.check(out, path, fillers=[filler])["totals"]
                self.assertEqual((got["own"], got["holes"], got["other"]),
                                 (got["pictures_in"] if "143" not in name else 0, 0, 0), got)
                self.assertLessEqual(got["decode_errors_out"], got["decode_errors_in"])
                self.assertGreater(video_pes(out, video), 0.7 * video_pes(path, video))
                self.assertEqual(res.stdout.count("PID 0x45 is listed twice"), 1 if "143" in name else 0)

    def test_broadcast_capture_live(self):
        # 072 through the service in real time: from the first key frame after the probe every picture goes
        # out, whole (before: 6 of 299), the demuxer's warnings on its lengths said once at most.
        path = os.path.join(CAPTURES, "tsduck-test-072.ts")
        filler = os.path.join(self.dir, "filler_live.ts")
        kt.gen.generate(filler, filler=True, duration=4)
        svc = kt.started(self, self.dir, filler=filler, name="live072")
        svc.send(path)
        svc.stop(settle=1.0)
        got = pictures.check(svc.out, path, fillers=[filler])["totals"]
        self.assertEqual((got["holes"], got["other"], got["decode_errors_out"]), (0, 0, 0), got)
        self.assertGreaterEqual(got["own"], 300 - 50 - 1, got)  # the first GOP goes to the probe
        self.assertLessEqual(svc.text().count("PES packet size mismatch"), 1)


if __name__ == "__main__":
    unittest.main()
