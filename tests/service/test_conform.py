"""KestrowApp conforming the day's spots in the background on a live channel
(320x240 25 fps, AAC and MP2) on loopback: an MP4 spot and one without sound
are conformed once the channel's format is known and air, the .VER says 0001,
kestrow.status and /metrics count them; a file that cannot be read is 1002
with its reason in the as-run record; a rewritten schedule's spot is
conformed at once. On a host whose CPUs are all busy, a 1080p spot
conformed meanwhile takes the output off the wire no longer than what the
service itself waited for a CPU (bench/bench_saturated.py measures more)."""
import json
import os
import subprocess
import threading
import time
import unittest
import urllib.request
import xmlrpc.client

import flow
import kt
import sch

FF = ["ffmpeg", "-nostdin", "-v", "error", "-y"]
# id, file, ffmpeg inputs and options (None: not a media file), status in the .VER
SPOTS = [
    ("MP4SPOT", "MP4SPOT.mp4", ["-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30", "-f", "lavfi", "-i",
                                "sine=440:sample_rate=44100,volume=14dB,aformat=channel_layouts=stereo",
                                "-c:v", "libx264", "-c:a", "aac"], "0001"),
    ("MUTE", "MUTE.mkv", ["-f", "lavfi", "-i", "testsrc2=size=480x270:rate=24", "-c:v", "mpeg4"], "0001"),
    ("BROKEN", "BROKEN.mp4", None, "1002"),
]


def figures(svc):
    with xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % svc.port) as proxy:
        status = proxy.kestrow.status()
    with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % svc.port, timeout=10) as r:
        metrics = dict(l.split(" ") for l in r.read().decode().splitlines() if l and l[0] != "#")
    return ((status["spots_conformed"], status["spots_conform_pending"], status["spots_conform_failed"]),
            tuple(int(metrics["kestrow_spots_conform" + k]) for k in ("ed", "_pending", "_failed")))


class Conform(kt.FillerCase):
    FILLER = dict(duration=3)

    def test_spots_conformed_in_the_background_air_and_an_unreadable_one_is_1002(self):
        spots = os.path.join(self.dir, "spots")
        os.mkdir(spots)
        for sid, name, make, _ in SPOTS:
            if make:
                subprocess.run(FF + make + ["-t", "3", os.path.join(spots, name)], check=True, timeout=120)
            else:
                with open(os.path.join(spots, name), "wb") as f:
                    f.write(b"\0not a media file" * 64)
        now = time.localtime()
        path = os.path.join(self.dir, "day.SCH")
        sch.write(path, [sch.record("LOI", time.strftime("%m%d", now), time.strftime("%H%M", now), "0010", 1, n + 1,
                                    3, sid) for n, (sid, _, _, _) in enumerate(SPOTS)])
        # The programme in two parts: the first makes the channel's format known, the second has the break.
        prog = os.path.join(self.dir, "prog.ts")
        start = kt.gen.generate(prog, duration=30, cues=["at=16,dur=10,lead=4"])["start"]
        first, second = flow.split(prog, prog + ".1", prog + ".2", 0x100, start + 6 * kt.TICKS, start)
        record = os.path.join(self.dir, "asrun.json")
        svc = kt.started(self, self.dir, "--schedule=" + path, "--spots=" + spots, "--asrun-file=" + record,
                         "--loudness=-24", filler=self.filler, name="conform")
        svc.send(first)
        self.assertTrue(kt.wait_for(lambda: figures(svc)[0] == (2, 0, 1), 120, step=0.5), svc.text()[-3000:])
        sent = svc.send(second)
        kt.wait_for(lambda: "break_end" in kt.read_text(record), 30)
        self.assertEqual(figures(svc), ((2, 0, 1), (2, 0, 1)))
        ver = lambda: [(r[3], r[7]) for r in sch.read_ver(path[:-4] + ".VER")]
        want = [(sid, status) for sid, _, _, status in SPOTS]
        # A sender that late (a busy machine) is an input lost to the service: the spots on air are cut short.
        late = sent["late_ms"] >= 100 and "input lost" in svc.text().split("break 1 of the window")[-1]
        ok = lambda v: len(v) == len(want) and all(
            got == w or (late and w[1] == "0001" and got == (w[0], "1005")) for got, w in zip(v, want))
        billed = kt.wait_for(lambda: ok(ver()) and ver(), 10) or ver()
        self.assertTrue(ok(billed), "%r billed, %r aired (sender late by %d ms)\n%s" % (
            billed, want, sent["late_ms"], svc.text().split("break 1 of the window")[-1][-3000:]))
        # A rewritten schedule's spots are queued at once; those it no longer names leave the counts.
        subprocess.run(FF + SPOTS[1][2] + ["-t", "2", "-f", "mov", os.path.join(spots, "NEW.mov")], check=True,
                       timeout=120)
        sch.write(path, [sch.record("LOI", time.strftime("%m%d", now), time.strftime("%H%M", now), "0010", 2, 1, 2,
                                    "NEW")])
        self.assertTrue(kt.wait_for(lambda: figures(svc)[0] == (1, 0, 0), 60, step=0.5), svc.text()[-3000:])
        self.assertIn("spot file [NEW.mov]: conformed", svc.text())
        rc, _ = svc.stop(settle=1)
        self.assertEqual(rc, 0)

        rows = [json.loads(line) for line in kt.read_text(record).splitlines()]
        aired = ["aired" if status == "0001" else "cut_short" for _, status in billed]
        self.assertEqual([(r["spot_id"], r["reason"], r.get("why", "")[:21]) for r in rows if r["event"] == "spot"],
                         [("MP4SPOT", aired[0], ""), ("MUTE", aired[1], ""),
                          ("BROKEN", "unusable", "cannot be conformed: ")])
        self.assertIn("spot file [MP4SPOT.mp4]: conformed", svc.text())
        self.assertIn("-> -24.0 LUFS", svc.text())
        size = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "stream=width,height",
                               "-of", "csv=p=0", svc.out], capture_output=True, text=True, timeout=60)
        self.assertEqual(set(size.stdout.split()), {"320,240"})


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
