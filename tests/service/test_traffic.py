"""KestrowApp with a folder of daily schedules, live on loopback: a break
without a duration ended by its return cue airs the day's spot, the day's
file is replaced while the service runs, the next open break airs the new
schedule's spot up to --max-break, a file that cannot be read leaves it in
force; the verification file, the as-run record and the status tell what
aired. A generated day live: each spot's aired time against the time its
first picture reached the receiver, a cancelled break among scheduled ones."""
import calendar
import json
import os
import shutil
import threading
import time
import unittest
import urllib.request
import xmlrpc.client

import kt
import sch
import splicecheck
import io
from kestrow_report import WRAP, media_pids, read, reconcile, units

TICKS = kt.TICKS


class Traffic(kt.FillerCase):
    FILLER = dict(duration=3)

    def test_a_schedule_replaced_while_the_service_runs_and_open_breaks(self):
        folder = os.path.join(self.dir, "schedules")
        spots = os.path.join(self.dir, "spots")
        os.makedirs(folder)
        os.makedirs(spots)
        for n in (4, 6):
            kt.gen.generate(os.path.join(spots, "%d.ts" % n), spot=str(n), duration=n)
        prog = os.path.join(self.dir, "open.ts")
        kt.gen.generate(prog, duration=24, cues=["at=4,id=1", "at=8,id=1,out=0", "at=16,id=2,lead=4"])
        # A ten-minute window from the minute now: the day's file of channel AB at headend 123.
        now = time.localtime()
        date, start = time.strftime("%m%d", now), time.strftime("%H%M", now)
        path = os.path.join(folder, "%X%02d%s%s.SCH" % (now.tm_mon, now.tm_mday, "AB", "123"))
        rec = lambda brk, spot, secs: sch.record("LOI", date, start, "0010", brk, 1, secs, spot)
        sch.write(path, [rec(1, "4", 4), rec(2, "404", 8)])

        # The generated spots measure -18.4 LUFS: in the channel's format and loudness, their copies are theirs.
        svc = kt.started(self, self.dir, "--schedule=" + folder, "--spots=" + spots, "--channel-id=AB",
                         "--headend-id=123", "--open-breaks", "--max-break=6", "--asrun-file=asrun.json", "--loudness=-18.4",
                         "--service_name=Kestrow Live", filler=self.filler, name="traffic")
        sender = threading.Thread(target=svc.send, args=(prog,))
        sender.start()
        # The next cue comes 4 s after this return, 4 s before its break: time for the new file to be
        # read and its spot loaded on a busy machine.
        svc.wait_log("break of splice_event_id=1 ended: return_cue")
        sch.write(path, [rec(1, "4", 4), rec(2, "6", 6)])
        svc.wait_log("schedule [%s] in force" % path, count=2, timeout=3)
        sender.join(60)
        with open(path, "w") as f:
            f.write("LOI garbage\r\n")
        svc.wait_log("schedule [%s] cannot be used: no record can be read; the schedule in force stays [%s]" % (
            path, path), timeout=3)
        with xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % svc.port) as proxy:
            status = proxy.kestrow.status()
        self.assertEqual((status["schedule"], status["schedule_spots"], status["spots_aired"], status["spots_missed"]),
                         (path, 2, 2, 0))
        rc, _ = svc.stop(settle=2)
        self.assertEqual(rc, 0)

        ver = sch.read_ver(path[:-4] + ".VER")
        self.assertEqual([(r[1], r[3], r[5], r[6], r[7]) for r in ver],
                         [(1, "4", "00000400", "001", "0001"), (2, "6", "00000600", "001", "0001")])
        with open(os.path.join(self.dir, "asrun.json")) as f:
            records = [json.loads(line) for line in f]
        self.assertEqual([r["reason"] for r in records if r["event"] == "break_end"], ["return_cue", "max_break"])
        check = splicecheck.Splice(prog, self.filler, svc.out)
        origin = check.video.src[0]["pts"]
        for at, dur, spot in ((4, 4, "4"), (16, 6, "6")):
            check.expect_sequence(origin + at * TICKS, dur * TICKS, [os.path.join(spots, spot + ".ts")])

    def test_a_day_live_aired_times_are_when_the_first_picture_left(self):
        spots = os.path.join(self.dir, "day_spots")
        os.makedirs(spots)
        for n in (2, 3):
            kt.gen.generate(os.path.join(spots, "%d.ts" % n), spot=str(n), duration=n)
        prog = os.path.join(self.dir, "day.ts")
        # Break 1 (3 s into it) airs spots 2 and 3; break 2's cue is cancelled before its point; break 3
        # airs spot 3 and the NUL break is left alone.
        kt.gen.generate(prog, duration=30, cues=["at=3,dur=6,id=1", "at=16,dur=4,id=2,lead=3",
                                                  "at=16,id=2,cancel=1,lead=1", "at=20,dur=4,id=3",
                                                  "at=26,dur=2,id=4"])
        now = time.localtime()
        date, start = time.strftime("%m%d", now), time.strftime("%H%M", now)
        path = os.path.join(self.dir, "%X%02dDY123.SCH" % (now.tm_mon, now.tm_mday))
        rec = lambda kind, brk, pos, spot, secs: sch.record(kind, date, start, "0010", brk, pos, secs, spot)
        sch.write(path, [rec("LOI", 1, 1, "2", 2), rec("LOI", 1, 2, "3", 3), rec("LOI", 2, 1, "2", 2),
                         rec("LOI", 3, 1, "3", 3), rec("NUL", 4, 0, "", 0)])
        svc = kt.started(self, self.dir, "--schedule=" + path, "--spots=" + spots, "--asrun-file=day.json",
                         "--channel-id=DY", filler=self.filler, name="day")
        svc.send(prog)
        svc.wait_log("NUL, the programme stays on air")
        rc, _ = svc.stop(settle=1.5)
        self.assertEqual(rc, 0)
        wall = time.time() - time.monotonic()  # the receiver's arrival times are on the monotonic clock
        arrived = {pts % WRAP: t + wall for _, t, pts in units(svc.out, svc.arrivals, media_pids(read(prog), "video")[0])
                   if pts is not None}
        with open(os.path.join(self.dir, "day.json")) as f:
            records = [json.loads(line) for line in f]
        self.assertEqual({r["channel"] for r in records}, {"DY"})
        ms = lambda r: calendar.timegm(time.strptime(r["time"][:19], "%Y-%m-%dT%H:%M:%S")) + int(r["time"][20:23]) / 1000
        aired = [r for r in records if r["event"] == "spot"] + [r for r in records if r["event"] == "break_skipped"]
        self.assertEqual([(r.get("spot_id"), r["reason"]) for r in aired],
                         [("2", "aired"), ("3", "aired"), ("3", "aired"), (None, "schedule")])
        # A spot's line is written once it aired, with the time its first picture left: within a frame. The
        # NUL break's line is written when the relay reaches its key frame, before it leaves: the sender's
        # estimate, which a busy machine delays (the verification file below gets the measure).
        for r in aired:
            self.assertLessEqual(abs(ms(r) - arrived[r["pts"]]), 0.04 if r["event"] == "spot" else 0.5, r)
        ver = sch.read_ver(path[:-4] + ".VER")
        self.assertEqual([v[1:4] + v[5:] for v in ver], [
            (1, 1, "2", "00000200", "001", "0001"), (1, 2, "3", "00000300", "002", "0001"),
            (2, 1, "2", "00000000", "000", "1004"), (3, 1, "3", "00000300", "001", "0001"),
            (4, 0, "", "00000000", "000", "0001")])
        # Each aired time is the second its picture arrived in (the as-run's time, written before the
        # picture left, is the sender's estimate: it may lie across a second's boundary).
        near = lambda t: {time.strftime("%H%M%S", time.localtime(t + d)) for d in (-0.04, 0.04)}  # noqa: E731
        for v, r in zip(ver[:2] + ver[3:], aired):
            self.assertIn(v[4], near(arrived[r["pts"]]), v)
        self.assertEqual(ver[2][4], "000000")
        # The day reconciled from the schedule, the verification file and the as-run record.
        out = io.StringIO()
        self.assertEqual(reconcile(path, path[:-4] + ".VER", os.path.join(self.dir, "day.json"), out=out), 0)
        text = out.getvalue()
        for r in aired[:3]:
            self.assertIn(time.strftime("%H:%M:%S", time.localtime(ms(r))) + r["time"][19:23], text)
        self.assertIn("  0001 aired in full                    4\n  1004 break cancelled or skipped       1\n"
                      "seconds of spots not aired in full: 2\n", text)
        if os.environ.get("KESTROW_DAY_NOTE"):  # the day for a note: aired times next to the receiver's
            with open(os.environ["KESTROW_DAY_NOTE"], "w") as f:
                f.write(open(path[:-4] + ".VER").read() + "\n" + text + "\n")
                for r in aired:
                    f.write("%s pts %d: as-run %.3f, first picture arrived %.3f\n" % (
                        r.get("spot_id") or "NUL", r["pts"], ms(r), arrived[r["pts"]]))


class UnitLayout(unittest.TestCase):
    """The unit's layout, as the service user: a schedule folder it may only read, the verification files
    in its state directory; no file for today, one of another day, today's; the state directory made
    unwritable and writable again."""

    def test_schedule_states_and_the_verification_file_in_the_state_directory(self):
        d = kt.scratch_dir(self, "kestrow-unit-")
        os.chmod(d, 0o755)
        folder, state, spots = (os.path.join(d, n) for n in ("traffic", "state", "spots"))
        for f in (folder, state, spots):
            os.mkdir(f)
        as_user = []
        if os.geteuid() == 0 and shutil.which("setpriv"):
            os.chown(state, 65534, 65534)
            os.chown(d, 65534, 65534)  # the log's place
            os.chown(folder, 0, 0)
            as_user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        filler = os.path.join(d, "filler.ts")
        kt.gen.generate(filler, filler=True, duration=1)
        now = time.localtime()
        name = "%X%02dST001.SCH" % (now.tm_mon, now.tm_mday)
        sch.write(os.path.join(folder, name.replace("ST", "XX")), [])  # another channel's
        svc = kt.started(self, d, "--schedule=" + folder, "--spots=" + spots, "--channel-id=ST", "--headend-id=001",
                         wrap=as_user, env={"STATE_DIRECTORY": state}, name="unit", filler=filler)

        def read():
            with xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % svc.port) as proxy:
                status = proxy.kestrow.status()
            with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % svc.port, timeout=5) as r:
                metrics = dict(l.rsplit(" ", 1) for l in r.read().decode().splitlines() if not l.startswith("#"))
            return (status["schedule_state"], status["verification_failing"], metrics["kestrow_schedule_state"],
                    metrics["kestrow_verification_failing"])

        def states(line, want):
            svc.wait_log(line, timeout=5)
            kt.wait_for(lambda: read() == want, 3)  # the status follows the poll's lines
            self.assertEqual(read(), want)
        states("no schedule for today: no file [%s/%s]; breaks air the filler" % (folder, name),
               ("missing", False, "2", "0"))
        other = time.localtime(time.time() - 3 * 86400)
        rec = lambda date: sch.record("LOI", date, "0000", "2359", 1, 1, 4, "4")
        sch.write(os.path.join(folder, name), [rec(time.strftime("%m%d", other))])
        states("is dated %s, not today (%s)" % (time.strftime("%m/%d", other), time.strftime("%m/%d", now)),
               ("other_day", False, "3", "0"))
        sch.write(os.path.join(folder, name), [rec(time.strftime("%m%d", now))])
        ver = os.path.join(state, name[:-4] + ".VER")
        states("in force: 1 spots, verification file [%s]" % ver, ("in_force", False, "1", "0"))
        self.assertTrue(kt.wait_for(lambda: os.path.exists(ver), 3))
        os.chown(state, 0, 0)
        sch.write(os.path.join(folder, name), [rec(time.strftime("%m%d", now)), rec(time.strftime("%m%d", now))])
        if as_user:
            states("cannot write the verification file [%s]: Permission denied; retried until it can be" % ver,
                   ("in_force", True, "1", "1"))
            os.chown(state, 65534, 65534)
            svc.wait_log("verification file [%s] written again" % ver, timeout=5)
            self.assertEqual(svc.text().count("cannot write the verification file"), 1)
        rc, _ = svc.stop()
        self.assertEqual(rc, 0)
        self.assertEqual(os.listdir(folder), [name.replace("ST", "XX"), name])


if __name__ == "__main__":
    unittest.main(verbosity=2)
