"""A channel with two sources: the real KestrowApp with --backup-src-addr,
a sender on each path (loopback UDP), the status polled while it runs, the
output judged picture by picture against the programme (tests/lib/pictures).
  Same stream on both paths (one encoder, two networks):
    the main stops inside a break: the backup takes over, nothing lost, the
    break exact; the main loses a burst the backup, 150 ms late, has: the
    merge fills it in, no hole, continuity unbroken; the main flaps: one
    switch to the backup, the failback only once the main was clean for
    the hold.
  Failures:
    another encoding on the backup (other times and GOP): the switch cuts
    at its key frame, the output never leaves the wire and the backup's
    pictures go on; both lost (the slate) and then the backup back; a
    broken backup (continuity errors) is never switched to.
Each case prints a row: pictures lost, output continuity errors, largest
output gap, time to switch, what the as-run and the status said."""
import datetime
import json
import os
import socket
import threading
import time
import unittest
import xmlrpc.client

import kt
import pictures

TICKS = kt.TICKS


class Sources(unittest.TestCase):
    ROWS = []
    LOSS_MS = 500  # the default

    @classmethod
    def setUpClass(cls):
        cls.d = kt.scratch_dir(cls, "kestrow-backup-")
        cls.filler = os.path.join(cls.d, "filler.ts")
        kt.gen.generate(cls.filler, filler=True, duration=10)

    @classmethod
    def tearDownClass(cls):
        print("\n%-34s %6s %4s %7s %8s  %s" % ("case", "lost", "cc", "gap ms", "switch s", "as-run / status"))
        for r in cls.ROWS:
            print("%-34s %6s %4s %7s %8s  %s" % r)

    def path(self, name):
        return os.path.join(self.d, name)

    def programme(self, name, duration, **kw):
        path = self.path(name + ".ts")
        return path, kt.gen.generate(path, duration=duration, **kw)["start"]

    def run_case(self, name, main, backup, main_faults=(), backup_faults=(), backup_late=0.0, args=()):
        """Runs the service between two senders; returns what it did: the
        output, log, as-run records, status polls [(s after the start,
        active input, status)], and the senders' start."""
        backup_addr = "127.0.0.1:%d" % kt.free_port(socket.SOCK_DGRAM)
        asrun = self.path(name + ".asrun")
        svc = kt.Service(self.d, "--backup-src-addr", backup_addr, "--asrun-file", asrun, "--mux-rate", "3000000",
                         *args, filler=self.filler, name=name)
        self.addCleanup(svc.close)
        self.assertTrue(svc.ready(), svc.stderr_text()[-2000:])
        polls, done = [], threading.Event()
        t0 = time.monotonic()

        def poll():
            with xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % svc.port) as proxy:
                while not done.is_set():
                    try:
                        st = proxy.kestrow.status()
                        polls.append((time.monotonic() - t0, st.get("active_input"), st))
                    except (OSError, xmlrpc.client.Error):
                        pass
                    time.sleep(0.05)

        def send(path, addr, faults, late):
            time.sleep(late)
            kt.udp.send(path, addr, faults=faults)

        wall0 = time.time()
        threads = [threading.Thread(target=poll)]
        threads += [threading.Thread(target=send, args=(main, svc.src, main_faults, 0.0)),
                    threading.Thread(target=send, args=(backup, backup_addr, backup_faults, backup_late))]
        for t in threads:
            t.start()
        for t in threads[1:]:
            t.join(120)
        sent = time.monotonic() - t0
        time.sleep(1.5)
        _, metrics = kt.figures(svc)
        done.set()
        threads[0].join(10)
        log = svc.text()
        rc, _ = svc.stop()
        self.assertEqual(rc, 0, svc.stderr_text()[-2000:])
        records = [json.loads(l) for l in kt.read_text(asrun).splitlines() if l.strip()]
        arrivals = [float(l.split()[0]) for l in kt.read_text(svc.arrivals).splitlines() if l.strip()]
        gaps = [b - a for a, b in zip(arrivals, arrivals[1:])]
        cc = kt.tr290(svc.out)["cc_errors"]
        # The status while the senders still sent, and after.
        last = [st for t, _, st in polls if t < sent - 0.5][-1]
        return dict(out=svc.out, log=log, asrun=asrun, records=records, polls=polls, metrics=metrics, last=last,
                    gap_ms=max(gaps) * 1000 if gaps else None, cc=cc, wall0=wall0)

    @staticmethod
    def aired(run, event, splice_event_id):
        """Seconds after the senders started at which the as-run says the event aired (wall clock)."""
        r = next(r for r in run["records"] if r["event"] == event and r.get("splice_event_id") == splice_event_id)
        t = datetime.datetime.strptime(r["time"], "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc)
        return t.timestamp() - run["wall0"]

    @staticmethod
    def switches(run):
        return [r for r in run["records"] if r["event"] == "input_switch"]

    @staticmethod
    def switched_at(run, to):
        """Seconds after the senders started at which the status first named input to as active."""
        return next((t for t, active, _ in run["polls"] if active == to), None)

    def row(self, case, lost, run, switch_s, note):
        self.ROWS.append((case, lost, run["cc"], "%.0f" % run["gap_ms"], "-" if switch_s is None else
                          "%.2f" % switch_s, note))

    def test_same_stream_on_both_paths(self):
        prog, start = self.programme("same", 22, cues=["at=7,dur=6,id=1"])
        # Where the main outlives the backup, the backup ends first: no switch at the end of the stream.
        backup_ends = ["from=21,pause=1"]
        cases = [
            # The main stops for good inside the break (7-13 s).
            ("main stops inside a break", ["from=9,pause=1"], [], 0.0, [], 9.0),
            # A burst of 0.25 s lost on the main, the backup 150 ms late: the merge fills it in.
            ("main loses a burst, backup 150 ms late", ["from=4,to=4.25,pause=1"], backup_ends, 0.15, [], None),
            # The main away three times; the failback waits for 3 s of a clean main.
            ("main flaps (1 s off x3), hold 3 s",
             ["from=3,to=4,pause=1", "from=5.5,to=6.5,pause=1", "from=8,to=9,pause=1"], backup_ends, 0.0,
             ["--failback-hold=3"], 3.0),
        ]
        for n, (label, faults, backup_faults, late, args, stop_at) in enumerate(cases):
            with self.subTest(label):
                run = self.run_case("same%d" % n, prog, prog, main_faults=faults, backup_faults=backup_faults,
                                    backup_late=late, args=args)
                res = pictures.check(run["out"], prog, [self.filler], asrun=run["asrun"])
                t = res["totals"]
                # The end of the input is an outage of its own: its last picture is not judged.
                holes = [h for h in res["holes"] if h < res["span"]["last_pts"] - TICKS]
                sw = self.switches(run)
                at = self.switched_at(run, "backup")
                # No programme picture lost, none damaged, the output's continuity whole.
                self.assertEqual(holes, [], label)
                self.assertEqual(t["decode_errors_out"], t["decode_errors_in"], label)
                self.assertEqual(run["cc"], 0, label)
                self.assertLess(run["gap_ms"], 500, label)  # the wire never silent (a busy host holds it up to a few 100 ms)
                brk = [b for b in res["breaks"] if b["point"] is not None]
                self.assertEqual([(b["frames_off_start"], b["frames_off_end"]) for b in brk], [(0, 0)], label)
                # The cue came on both paths: taken once.
                self.assertEqual([r["event"] for r in run["records"] if r.get("splice_event_id") == 1].count("cue"), 1)
                if stop_at is not None:
                    self.assertTrue(sw and sw[0]["input"] == "backup" and sw[0]["reason"] == "lost", sw)
                    self.assertIn("slicer_sources: the backup input is on air: nothing received for the loss "
                                  "threshold on the main (the same stream, nothing cut)", run["log"])
                    self.assertIsNotNone(at)
                    self.assertLess(at - stop_at, self.LOSS_MS / 1000 + 0.5, label)
                if label.startswith("main flaps"):
                    # To the backup at the first loss; back to the main 3 s after the last one, not before.
                    self.assertEqual([(r["input"], r["reason"]) for r in sw],
                                     [("backup", "lost"), ("main", "failback")], label)
                    back = next(t for t, active, _ in run["polls"] if t > at and active == "main")
                    self.assertGreater(back, 9 + 3 - 0.2, label)
                    self.assertIn("slicer_sources: the main input is on air again", run["log"])
                if label.startswith("main loses"):
                    st = run["last"]
                    self.assertGreater(st["input_repaired"], 0)
                    self.assertEqual(st["active_input"], "main")
                    self.assertEqual(run["metrics"]['kestrow_input_active{input="main"}'], "1")
                    self.assertEqual(run["metrics"]["kestrow_input_switches_total"], "0")
                if label.startswith("main stops"):
                    st = run["last"]
                    self.assertEqual(st["active_input"], "backup")
                    self.assertEqual([i["state"] for i in st["inputs"]], ["lost", "up"])
                    self.assertEqual(run["metrics"]["kestrow_input_backup_active"], "1")
                    self.assertEqual(run["metrics"]["kestrow_input_switches_total"], "1")
                self.row(label, len(holes), run, None if at is None or stop_at is None else at - stop_at,
                         "%s; active %s; %d packets repaired" % (
                             ",".join("%s/%s" % (r["input"], r["reason"]) for r in sw) or "none",
                             run["last"]["active_input"], run["last"]["input_repaired"]))

    def test_other_stream_and_failing_paths(self):
        prog, start = self.programme("main", 20, cues=["at=7,dur=6,id=1"])
        # Another encoder: its own times (an hour on) and GOP, the same pictures and PIDs. A second break,
        # announced before the switch and again on both paths after it, is pending at the switch.
        cues = ["at=7,dur=6,id=1", "at=15,dur=2,id=2,lead=8,repeat=3,every=3"]
        main, _ = self.programme("main2", 20, cues=cues)
        other, other_start = self.programme("other", 20, start_pts=start + 3600 * TICKS, gop=15, cues=cues)

        # The main stops inside the break; the backup is another stream.
        run = self.run_case("other", main, other, main_faults=["from=9,pause=1"])
        res_main = pictures.check(run["out"], main, [self.filler], asrun=run["asrun"])
        res_backup = pictures.check(run["out"], other, [self.filler], asrun=run["asrun"])
        at = self.switched_at(run, "backup")
        sw = self.switches(run)
        self.assertEqual([(r["input"], r["reason"]) for r in sw], [("backup", "lost")])
        self.assertIn("slicer_sources: the backup input is on air: nothing received for the loss threshold on the "
                      "main (another stream, taken at its next key frame)", run["log"])
        self.assertEqual(run["last"]["input_cuts"], 1)
        # The break under way went on to its end over the switch; the backup's own cue of it is no new break.
        # The one pending at the switch airs at its time on the backup, once, its copies on the backup repeats.
        ends = [r for r in run["records"] if r["event"] == "break_end"]
        self.assertEqual([(r["splice_event_id"], r["reason"]) for r in ends], [(1, "duration"), (2, "duration")])
        self.assertEqual([r["splice_event_id"] for r in run["records"] if r["event"] == "break_start"], [1, 2])
        self.assertNotIn("cancelled", [r["event"] for r in run["records"]])
        self.assertEqual([(b["frames_off_start"], b["frames_off_end"]) for b in res_backup["breaks"]
                          if b["point"] is not None][-1:], [(0, 0)])
        # As-run times on the wall clock, the output's delay that of the first break's start (measured).
        delay = self.aired(run, "break_start", 1) - 7
        off = [self.aired(run, e, i) - at - delay for e, i, at in
               (("break_end", 1, 13), ("break_start", 2, 15), ("break_end", 2, 17))]
        self.assertTrue(all(abs(o) < 1.0 for o in off), off)
        # The programme's pictures up to the break, the backup's after it, nothing damaged; no silence on the wire.
        self.assertEqual(res_main["breaks"][0]["frames_off_start"], 0)
        self.assertGreater(res_backup["totals"]["own"], 100)
        self.assertEqual(res_main["totals"]["decode_errors_out"], 0)
        self.assertLess(run["gap_ms"], 500)
        lost = len([h for h in res_main["holes"] if h < start + 9 * TICKS])
        self.row("another encoding on the backup", lost, run, at - 9.0,
                 "backup/lost, cut at a key frame; backup pictures %d; as-run off the wall %s s" % (
                     res_backup["totals"]["own"], "/".join("%+.2f" % o for o in off)))

        # Both lost for 4 s (the slate), then the backup back alone.
        run = self.run_case("both", prog, prog, main_faults=["from=9,pause=1"], backup_faults=["from=9,to=13,pause=1"])
        res = pictures.check(run["out"], prog, [self.filler], asrun=run["asrun"])
        at = self.switched_at(run, "backup")
        sw = self.switches(run)
        self.assertIn("slate: the filler airs", run["log"])
        self.assertEqual([(r["input"], r["reason"]) for r in sw], [("backup", "lost")])
        self.assertGreater(at, 13 - 0.2)
        self.assertEqual(res["totals"]["decode_errors_out"], 0)
        # The keep-alive; the programme's return from the slate has held the output up to 0.8 s on a busy host.
        self.assertLess(run["gap_ms"], 1000)
        self.assertEqual([i["state"] for i in run["last"]["inputs"]], ["lost", "up"])
        back = [b for b in res["breaks"] if b["point"] is None]
        holes = [h for h in res["holes"] if h < res["span"]["last_pts"] - TICKS]
        self.row("both lost 4 s, the backup back", len(holes), run, at - 13.0,
                 "backup/lost at its return; slate %d pictures" % sum(b["pictures"] for b in back))

        # A backup with continuity errors (a fifth of its datagrams lost): never taken, the slate airs instead.
        run = self.run_case("broken", prog, prog, main_faults=["from=9,pause=1"], backup_faults=["drop=0.2"])
        res = pictures.check(run["out"], prog, [self.filler], asrun=run["asrun"])
        st = run["last"]
        self.assertEqual(self.switches(run), [])
        self.assertNotIn("slicer_sources: the backup input is on air", run["log"])
        self.assertIn("slate: the filler airs", run["log"])
        self.assertEqual(st["active_input"], "main")
        self.assertEqual((st["inputs"][1]["state"], st["inputs"][1]["why"]), ("errored", "continuity"))
        self.assertGreater(int(run["metrics"]['kestrow_source_errors_total{input="backup",error="continuity"}']), 50)
        # The broken copy damaged nothing while the main was there.
        holes = [h for h in res["holes"] if h < start + 8 * TICKS]
        self.assertEqual((holes, res["totals"]["decode_errors_out"]), ([], 0))
        self.row("broken backup (20 % lost), main lost", len(holes), run, None,
                 "no switch; backup %s/%s, %d continuity errors" % (st["inputs"][1]["state"], st["inputs"][1]["why"],
                                                                    st["inputs"][1]["continuity_errors"]))


if __name__ == "__main__":
    unittest.main()
