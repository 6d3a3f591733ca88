"""KestrowApp relaying live over loopback UDP: a paced sender, the real
service, a recording receiver; the output checked packet by packet."""
import os
import re
import signal
import subprocess
import sys
import threading
import time
import unittest

import kt
import splicecheck

sys.path.insert(0, kt.TOOLS)
import kestrow_gen  # noqa: E402
import kestrow_udp  # noqa: E402

TICKS = 90000


class Service:
    """One KestrowApp between a sender port and a receiver port."""

    def __init__(self, workdir, filler, *extra, name="app", src=None):
        self.src = src or "127.0.0.1:%d" % kt.free_port(kt.socket.SOCK_DGRAM)
        self.dst = "127.0.0.1:%d" % kt.free_port(kt.socket.SOCK_DGRAM)
        self.log = os.path.join(workdir, name + ".log")
        self.out = os.path.join(workdir, name + "_out.ts")
        self.receiver = kestrow_udp.Receiver(self.dst, self.out)
        self.receiver.start()
        args = [kt.APP, "--src-addr", self.src, "--dst-addr", self.dst, "--filler", filler,
                "--log-file-name", self.log, "--port", str(kt.free_port())] + list(extra)
        self.stderr = open(os.path.join(workdir, name + ".stderr"), "w")
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=self.stderr)

    def text(self):
        return kt.read_text(self.log)

    def wait_for(self, line, timeout=20, count=1):
        ok = kt.wait_for(lambda: self.text().count(line) >= count, timeout)
        if not ok:
            raise AssertionError("no %r in the log:\n%s" % (line, self.text()[-3000:]))

    def send(self, path, speed=1.0):
        kestrow_udp.send(path, self.src, speed=speed)

    def stop(self, settle=2.5):
        """Lets the output settle, then SIGTERM; returns (exit status, seconds to exit)."""
        time.sleep(settle)
        t0 = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        try:
            rc = self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = None
        took = time.monotonic() - t0
        self.stderr.close()
        self.receiver.stop()
        return rc, took

    def kill(self):
        kt.stop(self.proc)
        self.stderr.close()
        self.receiver.stop()


class Live(unittest.TestCase):
    maxDiff = 2000

    @classmethod
    def setUpClass(cls):
        cls._tmp = kt.scratch("kestrow-live-")
        cls.dir = cls._tmp.name
        cls.filler = os.path.join(cls.dir, "filler.ts")
        kestrow_gen.generate(cls.filler, filler=True, duration=6)

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def make(self, name, **opts):
        path = os.path.join(self.dir, name)
        return path, kestrow_gen.generate(path, **opts)

    def service(self, *extra, name="app", filler=None, src=None):
        svc = Service(self.dir, filler or self.filler, *extra, name=name, src=src)
        self.addCleanup(svc.kill)
        return svc

    def test_relay_without_cues_keeps_every_packet_and_adds_epg(self):
        prog, _ = self.make("plain.ts", duration=8)
        svc = self.service("--service_name=Kestrow News", "--service_provider=Kestrow Test")
        svc.wait_for("slicer_streams: avformat_open_input(")
        svc.send(prog)
        rc, _ = svc.stop()
        self.assertEqual(rc, 0)
        check = splicecheck.Splice(prog, self.filler, svc.out)
        # The session starts with the packets that arrive after probing: from
        # the first packet out, every packet of the programme is there, unchanged.
        for st in [check.video] + list(check.audio.values()):
            self.assertTrue(st.out, "PID 0x%x missing" % st.pid)
            first = next(i for i, p in enumerate(st.src) if p["hash"] == st.out[0]["hash"]
                         and p["pts"] == st.out[0]["pts"])
            want = [(p["pts"], p["dts"], p["hash"]) for p in st.src[first:first + len(st.out)]]
            got = [(p["pts"], p["dts"], p["hash"]) for p in st.out]
            self.assertEqual(got, want, "PID 0x%x" % st.pid)
            self.assertGreater(len(st.out), len(st.src) * 0.6)
        streams = {s["pid"]: s for s in check.out["streams"]}
        self.assertEqual(streams[0x590]["codec"], "scte_35", "cue stream relayed as SCTE-35")
        self.assertEqual(streams[0x590]["stream_type"], 0x86)
        self.assertIn("reg=CUEI", check.out["programs"][0]["descriptors"])
        self.assertNotIn(0x12, streams, "the EPG PID carries sections, not a PES stream")
        cc = kestrow_gen.check(svc.out, "--cc")
        self.assertEqual(cc["total"]["errors"], 0, cc["cc"])
        probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "program_tags", "-of", "default",
                                svc.out], stdout=subprocess.PIPE, text=True).stdout
        self.assertIn("service_name=Kestrow News", probe)
        self.assertIn("service_provider=Kestrow Test", probe)
        log = svc.text()
        self.assertIn("slicer_streams: adding EPG track", log)
        self.assertRegex(log, r"FFMPEG: +Stream #0:4: Data: epg")
        self.assertTrue(log.rstrip("\n").endswith("Bye!"))

    def test_breaks_are_spliced_on_the_live_output(self):
        prog, info = self.make("breaks.ts", duration=16, cues=["at=5,dur=4,lead=2", "at=11,dur=2,lead=2"])
        svc = self.service("--debug", "--debug")
        svc.wait_for("slicer_streams: avformat_open_input(")
        svc.send(prog)
        rc, _ = svc.stop()
        self.assertEqual(rc, 0)
        check = splicecheck.Splice(prog, self.filler, svc.out)
        check.expect_valid()
        for n, dur in enumerate((4, 2)):
            point = info["cues"][n]["pts_time"]
            check.expect_break(n, point, dur * TICKS)
        sent = [p["data"] for p in kestrow_gen.check(prog, "--hex")["packets"] if p["pid"] == 0x590]
        got = [p["data"] for p in kestrow_gen.check(svc.out, "--hex")["packets"] if p["pid"] == 0x590]
        self.assertEqual(got, sent, "cue sections leave byte for byte as they came")
        log = svc.text()
        self.assertEqual(log.count("slicer_packets_loop: Splicing started: delta=0"), 2)
        self.assertEqual(log.count("slicer_packets_loop: SPLICING_STATE_IDLE"), 2)
        self.assertIn("slicer_packets_loop: splice_insert.splice_event_id=1", log)
        self.assertRegex(log, r"slicer_packets_loop: FC30[0-9A-F]+\n")
        self.assertIn("slicer_packets_loop: check value against ", log)
        self.assertIn("reV: pts:", log, "debug traces with --debug twice")
        self.assertNotIn("Strange conditions", log)

    def test_splice_points_honour_pts_adjustment_and_the_wrap(self):
        # The clock wraps 8 s in: the first break runs across the wrap, the
        # second is announced after it with a 2 s pts_adjustment.
        wrap = 1 << 33
        prog, info = self.make("wrap.ts", duration=20, start_pts=wrap - 8 * TICKS,
                               cues=["at=6,dur=3", "at=12,dur=2,adj=2"])
        svc = self.service()
        svc.wait_for("slicer_streams: avformat_open_input(")
        svc.send(prog)
        rc, _ = svc.stop()
        self.assertEqual(rc, 0)
        check = splicecheck.Splice(prog, self.filler, svc.out)
        check.expect_valid()
        first = check.video.src[0]["pts"]
        for n, (at, dur) in enumerate(((6, 3), (14, 2))):
            cue = info["cues"][n]
            point = splicecheck.near((cue["pts_time"] + cue["pts_adjustment"]) % wrap, first + at * TICKS)
            got = check.expect_break(n, point, dur * TICKS)
            self.assertLess(abs(got["start"]["pts"] - point), TICKS)
        log = svc.text()
        self.assertIn("slicer_packets_loop: effective splice point=", log)
        self.assertEqual(log.count("slicer_packets_loop: SPLICING_STATE_IDLE"), 2)

    def test_debug_traces_only_above_level_one(self):
        prog, _ = self.make("quiet.ts", duration=8, cues=["at=3,dur=2"])
        svc = self.service("--debug")
        svc.wait_for("slicer_streams: avformat_open_input(")
        svc.send(prog)
        svc.wait_for("SPLICING_STATE_IDLE")
        rc, _ = svc.stop(settle=0.5)
        self.assertEqual(rc, 0)
        log = svc.text()
        self.assertIn("key: pts:", log)
        for tag in ("reV:", "reA:", "Vin:", "Ain:", "snd:", "Replacing audio"):
            self.assertNotIn(tag, log)

    def test_second_cue_and_a_cue_that_does_not_parse(self):
        prog, info = self.make("cues.ts", duration=14, cues=[
            "at=3,dur=8", "type=raw,hex=fd3000aabbcc,send=4", "at=7,dur=2,lead=2"])
        svc = self.service()
        svc.wait_for("slicer_streams: avformat_open_input(")
        svc.send(prog)
        rc, _ = svc.stop()
        self.assertEqual(rc, 0)
        log = svc.text()
        self.assertIn("slicer_packets_loop: Failed to parse SCTE-35 packet: -22", log)
        check = splicecheck.Splice(prog, self.filler, svc.out)
        check.expect_valid()
        runs = check.video.runs()
        self.assertEqual(len(runs), 2, "the second event ends the first break at its own point")
        check.expect_break(1, info["cues"][2]["pts_time"], 2 * TICKS)
        cues = [p for p in check.out["packets"] if p["pid"] == 0x590]
        self.assertEqual(len(cues), 3, "every cue packet, the bad one too, is relayed")

    def test_timestamp_jump_ends_the_session_and_the_next_relays(self):
        first, _ = self.make("before.ts", duration=5)
        second, info = self.make("after.ts", duration=10, start_pts=60 * TICKS, cues=["at=6,dur=2"])
        svc = self.service()
        svc.wait_for("slicer_streams: avformat_open_input(")
        svc.send(first)
        svc.send(second)
        svc.wait_for("SPLICING_STATE_IDLE")
        rc, _ = svc.stop()
        self.assertEqual(rc, 0)
        log = svc.text()
        self.assertRegex(log, r"! \[[^]]+\] slicer_packets_loop: delta=\d+\n")
        self.assertIn("BAD: pts:", log)
        self.assertEqual(log.count("slicer_packets_loop: Entering main loop..."), 2)
        self.assertNotIn("Splicing started", log.split("Entering main loop...")[1],
                         "the first session saw no cue")

    def test_missing_filler_runs_no_session_and_stops_at_once(self):
        svc = self.service(filler=os.path.join(self.dir, "no_such_filler.ts"))
        svc.wait_for("slicer_main_loop: failed to load filler [")
        time.sleep(0.5)
        self.assertNotIn("slicer_streams:", svc.text())
        rc, took = svc.stop(settle=0)
        self.assertEqual(rc, 1)
        self.assertLess(took, 1.5)
        self.assertTrue(svc.text().rstrip("\n").endswith("Bye!"))

    def test_sigterm_while_the_input_is_silent(self):
        svc = self.service()
        svc.wait_for("slicer_streams: avformat_open_input(")
        time.sleep(1)
        rc, took = svc.stop(settle=0)
        self.assertEqual(rc, 0)
        self.assertLess(took, 1.5)

    def test_an_address_that_cannot_be_opened_is_retried_at_a_steady_pace(self):
        svc = self.service(name="badaddr", src="256.0.0.1:5")
        svc.wait_for("Could not open input file", count=2)
        time.sleep(2)
        rc, took = svc.stop(settle=0)
        self.assertEqual(rc, 0)
        fails = svc.text().count("slicer_streams: Could not open input file [udp://256.0.0.1:5")
        self.assertGreaterEqual(fails, 3)
        self.assertLessEqual(fails, 20, "failing opens are paced")


if __name__ == "__main__":
    unittest.main(verbosity=2)
