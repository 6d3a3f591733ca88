"""What an operator sees of a live channel: the as-run record against the
output the stream checker reads, kestrow.status and /metrics during a break,
the warning and skipped break of a filler on other PIDs, a bounded stop with
a congested output; and the demo's exit status when its output is full."""
import json
import os
import socket
import threading
import time
import unittest
import urllib.request
import xmlrpc.client

import flow
import kt
import splicecheck

TICKS = kt.TICKS


def asrun(path):
    return [json.loads(line) for line in kt.read_text(path).splitlines()]


def figures(svc):
    """(kestrow.status, the /metrics samples) of a running service."""
    with xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % svc.port) as proxy:
        status = proxy.kestrow.status()
    with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % svc.port, timeout=10) as r:
        return status, dict(l.split(" ") for l in r.read().decode().splitlines() if l and l[0] != "#")


class OnAir(kt.FillerCase):

    def start(self, name, *args, filler=None, **opts):
        """Generates programme name, starts a service with an as-run file and
        sends the programme from a thread; returns (programme, info, service, as-run path)."""
        prog = os.path.join(self.dir, name + ".ts")
        info = kt.gen.generate(prog, **opts)
        record = os.path.join(self.dir, name + ".asrun")
        svc = kt.started(self, self.dir, "--asrun-file=" + record, *args, filler=filler or self.filler, name=name)
        sender = threading.Thread(target=svc.send, args=(prog,))
        sender.start()
        self.addCleanup(sender.join, 60)
        return prog, info, svc, record

    def test_asrun_status_and_metrics_of_a_two_break_run(self):
        prog, info, svc, record = self.start("breaks", duration=16, cues=["at=5,dur=4,lead=2", "at=11,dur=2,lead=2"])
        self.assertTrue(kt.wait_for(lambda: "break_start" in kt.read_text(record), 30), svc.text()[-2000:])
        first = figures(svc)[0]
        time.sleep(0.6)
        second, metrics = figures(svc)
        self.assertEqual((first["state"], second["state"], metrics["kestrow_state"]), ("in_break", "in_break", "4"))
        self.assertEqual((first["last_event"]["event"], first["cues"]), ("break_start", 1))
        for key in ("packets_in", "packets_out"):
            self.assertTrue(0 < first[key] < second[key], (key, first, second))
        self.assertGreater(int(metrics["kestrow_packets_out_total"]), first["packets_out"])
        self.assertGreater(second["input_bitrate"] * second["output_bitrate"], 0)

        kt.wait_for(lambda: kt.read_text(record).count("break_end") == 2, 30)
        rc, _ = svc.stop(settle=2)
        self.assertEqual(rc, 0)
        check = splicecheck.Splice(prog, self.filler, svc.out)
        lines = asrun(record)
        self.assertEqual([l["event"] for l in lines], ["cue", "armed", "break_start", "break_end"] * 2)
        for n, dur in enumerate((4, 2)):
            got = check.expect_break(n, info["cues"][n]["pts_time"], dur * TICKS)
            start, end = lines[4 * n + 2], lines[4 * n + 3]
            self.assertEqual({l["splice_event_id"] for l in lines[4 * n:4 * n + 4]}, {n + 1})
            self.assertEqual((start["pts"], start["duration"]), (got["start"]["pts"], dur * TICKS))
            self.assertEqual((end["pts"], end["aired"], end["reason"]),
                             (got["end"]["pts"], got["end"]["pts"] - got["start"]["pts"], "duration"))

    def test_an_as_run_file_that_blocks_holds_up_neither_the_output_nor_its_lines(self):
        # A FIFO whose reader has gone: opening it waits, as on a file system that stalls. It is
        # read at the start (the service checks it can write there), then only after the programme.
        fifo = os.path.join(self.dir, "asrun.fifo")
        os.mkfifo(fifo)
        prog = os.path.join(self.dir, "fifo.ts")
        info = kt.gen.generate(prog, duration=12, cues=["at=5,dur=3,lead=2"])
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        svc = kt.started(self, self.dir, "--asrun-file=" + fifo, filler=self.filler, name="fifo")
        os.close(reader)
        sent = svc.send(prog)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        got = []

        def read_lines():
            try:
                got.append(os.read(reader, 65536))
            except BlockingIOError:
                pass
            return b"break_end" in b"".join(got)
        kt.wait_for(read_lines, 10)
        rc, _ = svc.stop(settle=0.5)
        os.close(reader)
        self.assertEqual(rc, 0)
        lines = [json.loads(l) for l in b"".join(got).decode().splitlines()]
        self.assertEqual([l["event"] for l in lines], ["cue", "armed", "break_start", "break_end"])
        point = info["cues"][0]["pts_time"]
        splicecheck.Splice(prog, self.filler, svc.out).expect_break(0, point, 3 * TICKS)
        # From the cue (2 s ahead) to after the break the output kept its pace: no PCR seconds late. (The
        # session's first seconds stay out: a sanitizer build's start-up is late by as much.)
        late, busy = flow.pcr_lateness(svc, point - 2.2 * TICKS, point + 4 * TICKS)
        self.assertLess(late, 300 + sent["late_ms"] + busy)
        self.assertEqual(os.stat(fifo).st_mode & 0o170000, 0o010000, "the FIFO is not rotated away")

    def test_an_outage_and_random_bytes_show_in_the_status_metrics_and_log(self):
        prog = os.path.join(self.dir, "outage.ts")
        kt.gen.generate(prog, duration=3)
        svc = kt.started(self, self.dir, filler=self.filler, name="outage")
        svc.send(prog)
        time.sleep(1.0)  # lost after --input-loss-ms (500 by default)
        status, metrics = figures(svc)
        self.assertEqual((status["state"], status["session_uptime"]), ("input_lost", 0.0))
        self.assertEqual((metrics["kestrow_state"], metrics["kestrow_input_up"], metrics["kestrow_input_losses_total"]),
                         ("5", "0", "1"))
        self.assertGreaterEqual(float(metrics["kestrow_input_lost_seconds_total"]), 0.3)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as junk:
            host, port = svc.src.rsplit(":", 1)
            for _ in range(150):
                junk.sendto(os.urandom(1316), (host, int(port)))
                time.sleep(0.01)
        self.assertEqual(figures(svc)[0]["state"], "input_invalid")
        self.assertEqual(svc.stop()[0], 0)
        self.assertIn("slicer_streams: the input is not MPEG-TS: ", svc.text())

    def test_a_filler_on_other_pids_stands_in_by_kind(self):
        other = os.path.join(self.dir, "other.ts")
        kt.gen.generate(other, filler=True, duration=4, video_pid=0x200, audio_pids=[0x201, 0x102])
        _, _, svc, record = self.start("other_pids", filler=other, duration=8, cues=["at=3,dur=2,lead=2"])
        self.assertTrue(kt.wait_for(lambda: "break_end" in kt.read_text(record), 30), svc.text()[-2000:])
        rc, _ = svc.stop(settle=1)
        self.assertEqual(rc, 0)
        self.assertNotIn("the filler cannot replace", svc.text())
        self.assertEqual([l["event"] for l in asrun(record)], ["cue", "armed", "break_start", "break_end"])

    def test_sigterm_with_a_mux_rate_a_tenth_of_the_input_ends_within_a_second(self):
        prog = os.path.join(self.dir, "fast.ts")
        kt.gen.generate(prog, duration=6)
        rate = os.path.getsize(prog) * 8 // 6 // 10
        svc = kt.started(self, self.dir, "--mux-rate=%d" % rate, filler=self.filler, name="congested")
        svc.send(prog)
        rc, _ = svc.stop()
        self.assertEqual(rc, 0)
        self.assertLess(kt.stop_time(svc.text()), 1.0)
        self.assertRegex(svc.text(), r"output: \d+ datagrams sent, .* \d+ dropped at stop")

    def test_the_demo_fails_when_its_output_cannot_be_written(self):
        prog = os.path.join(self.dir, "demo.ts")
        kt.gen.generate(prog, duration=4, scte_pid=0x590)
        res = kt.run_demo(prog, "/dev/full", self.filler)
        self.assertEqual(res.returncode, 1)
        self.assertIn("Could not write the output '/dev/full': No space left on device", res.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
