"""KestrowApp conforming the day's spots before its input comes, on a live
50 fps stereo channel on loopback: spots at 29.97, 30, 23.976, 59.94 and
25 fps (MP4, MOV, MKV without sound, transport streams; one in the channel's
format at another loudness) are conformed at once in the format of
--format-from's recording; before the break kestrow.status and /metrics
tell which spots will air and which will not and why (one 2 s shorter than
sold, one that cannot be read), and a line says so; the break airs each of
the others its exact length, its pictures decoded and counted, the .VER says
0001 and the day reconciles, the short one is 1006 with its reason in the
as-run record. The next start, without the option and before any input,
conforms in the format the session left, a rewritten schedule's spot at once
and a spot that lands later as soon as it lands. On a host whose CPUs are all
busy, a 1080p spot conformed meanwhile takes the output off the wire no
longer than what the service itself waited for a CPU (bench/bench_saturated.py
measures more)."""
import io
import json
import os
import subprocess
import threading
import time
import unittest
import urllib.request
import xmlrpc.client

import kt
import sch
import splicecheck
from kestrow_report import reconcile

FF = ["ffmpeg", "-nostdin", "-v", "error", "-y"]
LOUD = ["-f", "lavfi", "-i", "sine=440:sample_rate=44100,volume=14dB,aformat=channel_layouts=stereo"]
# id, file, how it is made (ffmpeg inputs and options; a dict: the generator's options; None: not a media
# file), seconds sold, its status in the .VER
SPOTS = [
    ("A2997", "A2997.mp4", ["-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30000/1001"] + LOUD +
     ["-c:v", "libx264", "-preset", "veryfast", "-c:a", "aac"], 2, "0001"),
    ("B30", "B30.mkv", ["-f", "lavfi", "-i", "testsrc2=size=480x270:rate=30", "-c:v", "mpeg4"], 2, "0001"),
    ("C23976", "C23976.mov", ["-f", "lavfi", "-i", "testsrc2=size=320x240:rate=24000/1001"] + LOUD +
     ["-c:v", "mpeg2video", "-c:a", "mp2"], 2, "0001"),
    ("D5994", "D5994.ts", dict(fps="60000/1001", gop=30), 2, "0001"),
    ("E25", "E25.ts", dict(fps=25, gop=25), 2, "0001"),
    ("F50", "F50.ts", dict(fps=50, gop=50), 2, "0001"),  # the channel's format: its pictures kept
    ("SHORT", "SHORT.ts", dict(fps=50, gop=50, duration=1), 3, "1006"),
    ("BROKEN", "BROKEN.mp4", None, 2, "1002"),
]
CHANNEL = dict(fps=50, gop=50, audio_channels=2)


def make(path, how, seconds=2):
    if how is None:
        with open(path, "wb") as f:
            f.write(b"\0not a media file" * 64)
    elif isinstance(how, dict):
        kt.gen.generate(path, spot=os.path.basename(path)[:-3], **dict(dict(CHANNEL, duration=seconds), **how))
    else:
        subprocess.run(FF + how + ["-t", str(seconds), path], check=True, timeout=120)


def status(svc):
    with xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % svc.port) as proxy:
        return proxy.kestrow.status()


def metrics(svc):
    with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % svc.port, timeout=10) as r:
        return dict(l.rsplit(" ", 1) for l in r.read().decode().splitlines() if l and l[0] != "#")


def outlooks(svc):
    """{spot id: (outlook, status, why)} of the breaks kestrow.status gives."""
    return {p["spot_id"]: (p["outlook"], p["status"], p["why"]) for b in status(svc)["breaks"] for p in b["spots"]}


def shown(path):
    res = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "frame=pts",
                          "-of", "csv=p=0", path], capture_output=True, text=True, timeout=120)
    return [int(line.split(",")[0]) for line in res.stdout.split() if line.split(",")[0].lstrip("-").isdigit()]


class Conform(kt.FillerCase):
    FILLER = dict(CHANNEL, duration=3)

    def test_spots_conformed_before_the_input_the_report_before_air_and_their_lengths_on_air(self):
        spots = os.path.join(self.dir, "spots")
        os.mkdir(spots)
        for sid, name, how, _, _ in SPOTS:
            make(os.path.join(spots, name), how)
        now = time.localtime()
        date, start = time.strftime("%m%d", now), time.strftime("%H%M", now)
        path = os.path.join(self.dir, "day.SCH")
        sch.write(path, [sch.record("LOI", date, start, "0010", 1, n + 1, sold, sid)
                         for n, (sid, _, _, sold, _) in enumerate(SPOTS)])
        prog = os.path.join(self.dir, "prog.ts")
        kt.gen.generate(prog, duration=26, cues=["at=8,dur=14,lead=4"], **CHANNEL)
        record = os.path.join(self.dir, "asrun.json")
        common = ["--schedule=" + path, "--spots=" + spots, "--asrun-file=" + record]
        svc = kt.started(self, self.dir, "--format-from=" + prog, *common, filler=self.filler, name="conform")
        # Before any input: conformed, and the break's spots known.
        want = {sid: ("ready", "0000", "") for sid, *_ in SPOTS[:6]}
        want["SHORT"] = ("will_not_air", "1006", "too short by 2.00 s: 1.00 s of pictures, 3 s scheduled")
        want["BROKEN"] = ("will_not_air", "1002", "cannot be conformed: unreadable: Invalid data found when "
                                                  "processing input")
        # The counts come from the conforming thread once its process has answered; the traffic may read the
        # copies' records a moment before.
        def counts():
            st = status(svc)
            return st["spots_conformed"], st["spots_conform_failed"], st["spots_ready"], st["spots_will_not_air"]
        self.assertTrue(kt.wait_for(lambda: outlooks(svc) == want and counts() == (7, 1, 6, 2), 120, step=0.5),
                        "%s %s\n%s" % (outlooks(svc), counts(), svc.text()[-3000:]))
        st, m = status(svc), metrics(svc)
        window = time.strftime("%H:%M:00", now)
        self.assertEqual((m['kestrow_spot_will_not_air{window="%s",break="1",position="7",spot="SHORT",status="1006"}'
                            % window], m['kestrow_break_spots{window="%s",break="1",outlook="ready"}' % window]),
                         ("1", "6"))
        self.assertIn("slicer_traffic: break 1 of the window at %s: spot SHORT will not air (1006): too short by "
                      "2.00 s: 1.00 s of pictures, 3 s scheduled" % window, svc.text())
        self.assertIn("spot file [F50.ts]: remuxed", svc.text())
        self.assertIn("the format of [%s], before the input comes" % prog, svc.text())
        self.assertAlmostEqual(st["filler_loudness"], float(m["kestrow_filler_loudness_lufs"]), delta=0.05)

        sent = svc.send(prog)
        kt.wait_for(lambda: "break_end" in kt.read_text(record), 30)
        ver = lambda: [(r[3], r[7]) for r in sch.read_ver(path[:-4] + ".VER")]
        # A sender that late (a busy machine) is an input lost to the service: the spots on air are cut short.
        late = sent["late_ms"] >= 100 and "input lost" in svc.text().split("break 1 of the window")[-1]
        ok = lambda v: len(v) == len(SPOTS) and all(
            got == (sid, st) or (late and st == "0001" and got == (sid, "1005"))
            for got, (sid, _, _, _, st) in zip(v, SPOTS))
        billed = kt.wait_for(lambda: ok(ver()) and ver(), 10) or ver()
        self.assertTrue(ok(billed), "%r billed (sender late by %d ms)\n%s" % (
            billed, sent["late_ms"], svc.text().split("break 1 of the window")[-1][-3000:]))
        rc, _ = svc.stop(settle=1)
        self.assertEqual(rc, 0)
        rows = {r["spot_id"]: r for r in map(json.loads, kt.read_text(record).splitlines()) if r["event"] == "spot"}
        self.assertEqual(rows["SHORT"]["why"], want["SHORT"][2])
        out = shown(svc.out)
        for sid, name, _, sold, _ in SPOTS[:6]:
            with self.subTest(sid):
                r = rows[sid]
                self.assertEqual(len(shown(os.path.join(spots, ".conformed", name + ".ts"))), sold * 50)
                if dict(billed)[sid] == "0001":
                    self.assertEqual(len([t for t in out if r["pts"] <= t < r["pts"] + r["aired"]]), sold * 50)
        if not late:
            check = splicecheck.Splice(prog, self.filler, svc.out)
            check.expect_sequence(check.video.src[0]["pts"] + 8 * kt.TICKS, 14 * kt.TICKS,
                                  [os.path.join(spots, ".conformed", name + ".ts") for _, name, *_ in SPOTS[:6]])
            self.assertEqual(reconcile(path, path[:-4] + ".VER", record, out=io.StringIO()), 0)

        # The next start: the format the session left, before any input; a spot that lands later.
        make(os.path.join(spots, "NEW.mov"), SPOTS[2][2])
        sch.write(path, [sch.record("LOI", date, start, "0010", 2, 1, 2, "NEW"),
                         sch.record("LOI", date, start, "0010", 2, 2, 2, "LATE")])
        svc = kt.started(self, self.dir, *common, port=svc.port, name="again")
        svc.wait_log("the format kept in [%s/.conformed/format-%d.txt], before the input comes" % (spots, svc.port))
        svc.wait_log("spot file [NEW.mov]: conformed", timeout=60)
        self.assertTrue(kt.wait_for(lambda: outlooks(svc)["LATE"] == ("will_not_air", "1002", "no file"), 10))
        make(os.path.join(self.dir, "LATE.mp4"), SPOTS[0][2])
        os.rename(os.path.join(self.dir, "LATE.mp4"), os.path.join(spots, "LATE.mp4"))
        self.assertTrue(kt.wait_for(lambda: outlooks(svc)["LATE"][0] == "ready", 60, step=0.5), svc.text()[-3000:])
        # The traffic may find the copy before the conform thread has seen its process end and logged it.
        svc.wait_log("spot file [LATE.mp4]: conformed", timeout=30)
        rc, _ = svc.stop()
        self.assertEqual(rc, 0)


    def test_conforming_on_a_saturated_host_never_takes_the_output_off_the_wire(self):
        spots = os.path.join(self.dir, "hd")
        os.mkdir(spots)
        subprocess.run(FF + ["-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30000/1001", "-f", "lavfi", "-i",
                             "sine=440:sample_rate=48000", "-t", "6", "-c:v", "libx264", "-preset", "ultrafast",
                             "-threads", "1", "-c:a", "aac", os.path.join(spots, "HD1.mp4")], check=True, timeout=300)
        later = time.localtime(time.time() + 3600)  # today's schedule, a window later: the break airs the filler
        path = os.path.join(self.dir, "hd.SCH")
        sch.write(path, [sch.record("LOI", time.strftime("%m%d", later), time.strftime("%H%M", later), "0010", 1, 1,
                                    6, "HD1")])
        prog = os.path.join(self.dir, "busy.ts")
        kt.gen.generate(prog, duration=14, gop=50, cues=["at=8.3,dur=2.1,lead=3"])
        busy = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(os.cpu_count() or 2)]
        try:
            svc = kt.started(self, self.dir, "--schedule=" + path, "--spots=" + spots, filler=self.filler, name="busy")
            seen, stop = {}, threading.Event()

            def policy(stat):
                return int(stat[stat.rfind(")") + 2:].split()[38])

            def watch():  # the scheduling policy (SCHED_IDLE is 5) of the service's threads and of its children
                tasks = "/proc/%d/task" % svc.proc.pid
                while not stop.wait(0.1):
                    try:
                        for tid in os.listdir(tasks):
                            seen.setdefault("thread", set()).add(policy(kt.read_text("%s/%s/stat" % (tasks, tid))))
                            for child in kt.read_text("%s/%s/children" % (tasks, tid)).split():
                                seen.setdefault("child", set()).add(policy(kt.read_text("/proc/%s/stat" % child)))
                    except (OSError, ValueError, IndexError):
                        pass  # a thread or child that ended meanwhile
            watcher = threading.Thread(target=watch, daemon=True)
            watcher.start()
            t0 = time.monotonic()
            sent = svc.send(prog)
            t1 = time.monotonic()
            stop.set()
            watcher.join(5)
            svc.stop(settle=0.5)
        finally:
            for p in busy:
                p.kill()
                p.wait()
        # Conforming ran in a process of its own at the idle class; none of the service's threads did.
        self.assertIn(5, seen.get("child", set()), seen)
        self.assertNotIn(5, seen.get("thread", set()), seen)
        times = [float(l.split()[0]) for l in kt.read_text(svc.arrivals).splitlines()]
        gap, at = max((b - a, a) for a, b in zip(times, times[1:]))
        waited = svc.waits.waited(at - 0.5, at + gap)
        self.assertLess(gap, 0.3 + waited + sent["late_ms"] / 1000, "the output fell silent %.3f s at %.1f s of %.1f "
                        "(the service waited %.3f s for a CPU around it)\n%s" % (
                            gap, at - times[0], t1 - t0, waited, svc.waits.threads(at - 0.5, at + gap)))


if __name__ == "__main__":
    unittest.main(verbosity=2)
