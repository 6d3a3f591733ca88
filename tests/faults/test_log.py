"""The log file's place fails during the run, while the service relays and
logs a cue every half second. Tests run as root, whom file modes do not
stop, so writes are made to fail for real:
- service A: its log directory is replaced by a plain file (every open
  below it fails with ENOTDIR, root or not), then the file is removed; later
  the log file is moved away;
- service B, in a mount namespace of its own: its log directory is a tmpfs,
  remounted read-only (EROFS), then read-write again; later the tmpfs is
  filled up (ENOSPC) and emptied again.
Lines of the failing stretch are lost from the file (they still reach
standard error); the file is created again as soon as it can be; the relay
is not disturbed, the break after the faults is spliced, and SIGTERM ends
each service with status 0."""
import os
import re
import shutil
import signal
import subprocess
import threading
import time
import unittest

import flow as fl
import kt
import splicecheck

TICKS = fl.TICKS
PIDS = fl.PIDS
BREAK, DUR, END = 19, 2, 24
STAMP = re.compile(r"^. \[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.(\d{3})\] (.*)$")
CUE_LINE = "splice_insert.splice_event_id=0"


def stamped(text):
    """(seconds since the epoch, message) of every log line in text."""
    out = []
    for line in text.splitlines():
        m = STAMP.match(line)
        if m:
            t = time.mktime(time.strptime(m.group(1), "%Y-%m-%d %H:%M:%S")) + int(m.group(2)) / 1000.0
            out.append((t, m.group(3)))
    return out


def cue_times(text):
    return [t for t, msg in stamped(text) if msg.endswith(CUE_LINE)]


def namespaces_work():
    try:
        return subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c",
                               "mount -t tmpfs -o size=1m tmpfs /mnt && umount /mnt"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


class LogFaults(unittest.TestCase):
    def test_log_place_fails_during_the_run(self):
        with kt.scratch("kestrow-faults-log-") as d:
            self.run_faults(d)

    def run_faults(self, d):
        res = fl.Results("log")
        gen = kt.gen
        filler = os.path.join(d, "filler.ts")
        gen.generate(filler, filler=True, duration=6)
        prog = os.path.join(d, "prog.ts")
        cues = ["type=null,send=%.1f" % (1 + k / 2) for k in range(2 * (END - 2))]
        cues.append("at=%d,dur=%d,id=3" % (BREAK, DUR))
        start = gen.generate(prog, duration=END, cues=cues)["start"]

        logdir = os.path.join(d, "logs")
        a = kt.Service(d, "--mux-rate", "4000000", filler=filler, name="a", log=os.path.join(logdir, "app.log"))
        self.addCleanup(a.close)
        services = [a]
        b = None
        if namespaces_work():
            tmp = os.path.join(d, "tmpfs")
            os.mkdir(tmp)
            wrap = ["unshare", "-m", "--propagation", "private", "sh", "-c",
                    'mount -t tmpfs -o size=16m tmpfs "$0" && exec "$@"', tmp]
            b = kt.Service(d, "--mux-rate", "4000000", filler=filler, name="b", log=os.path.join(tmp, "app.log"),
                           wrap=wrap)
            self.addCleanup(b.close)
            services.append(b)
        for svc in services:
            self.assertTrue(svc.ready())

        def in_ns(*args):
            subprocess.run(["nsenter", "-t", str(b.proc.pid), "-m"] + list(args), check=True, timeout=10)

        senders = []
        for svc in services:
            svc.rec, svc.times = os.path.join(d, svc.name + ".sent.ts"), os.path.join(d, svc.name + ".sent.times")
            senders.append(threading.Thread(target=svc.send, args=(prog,),
                                            kwargs={"record": svc.rec, "log": svc.times}))
        for t in senders:
            t.start()
        marks = {}   # fault -> (wall clock from, to; monotonic from, to)

        def mark(name, begin):
            w, m = time.time(), time.monotonic()
            if begin:
                marks[name] = [w, None, m, None]
            else:
                marks[name][1], marks[name][3] = w, m

        time.sleep(5)
        os.rename(logdir, logdir + ".away")
        with open(logdir, "w") as f:
            f.write("a plain file where the log directory was\n")
        mark("dir", True)
        if b:
            in_ns("mount", "-o", "remount,ro", tmp)
            mark("ro", True)
        time.sleep(4)
        os.unlink(logdir)
        mark("dir", False)
        if b:
            in_ns("mount", "-o", "remount,rw", tmp)
            mark("ro", False)
        time.sleep(3)
        os.rename(os.path.join(logdir, "app.log"), os.path.join(logdir, "app.log.moved"))
        mark("moved", True)
        mark("moved", False)
        if b:
            full = os.path.join(b.log_view.rsplit("/", 1)[0], "ballast")
            with open(full, "wb") as f:
                try:
                    while True:
                        f.write(b"\0" * (1 << 20))
                        f.flush()
                except OSError:
                    pass
            mark("full", True)
            size_full = os.path.getsize(b.log_view)
            time.sleep(3)
            growth_full = os.path.getsize(b.log_view) - size_full
            os.unlink(full)
            mark("full", False)
        for t in senders:
            t.join()
        time.sleep(1)
        b_text = b.text() if b else ""
        for svc in services:
            svc.code, svc.took = svc.stop(settle=2)

        def relay_row(svc, name, fault):
            w0, w1, m0, m1 = marks[fault]
            fin = fl.Flow(svc.rec, svc.times, PIDS, start)
            fout = fl.Flow(svc.out, svc.arrivals, PIDS, start)
            n_in, n_out = fl.relayed(fin, fout, m0, m1 + 0.5)
            return n_in, n_out, res.expect(res.within(n_in, n_out), "%s: %d units in, %d out" % (name, n_in, n_out))

        def gap_ok(name, written, everything, w0, w1):
            """Cue lines of the failing stretch are on standard error, not in the file."""
            inside = [t for t in everything if w0 + 0.3 < t < w1 - 0.3]
            lost = [t for t in written if w0 + 0.3 < t < w1 - 0.3]
            before = [t for t in written if t < w0]
            after = [t for t in written if t > w1 + 0.3]
            return (res.expect(len(inside) >= 4, "%s: only %d cue lines on standard error in the stretch" % (name, len(inside)))
                    & res.expect(not lost, "%s: %d lines reached the file that could not be written" % (name, len(lost)))
                    & res.expect(before and after, "%s: lines before %d, after %d" % (name, len(before), len(after))))

        # A: directory replaced by a file, then back; file moved away.
        err_a = cue_times(a.stderr_text())
        away = kt.read_text(os.path.join(logdir + ".away", "app.log"))
        moved = kt.read_text(os.path.join(logdir, "app.log.moved"))
        now = kt.read_text(os.path.join(logdir, "app.log"))
        written = cue_times(away) + cue_times(moved) + cue_times(now)
        w0, w1 = marks["dir"][0], marks["dir"][1]
        n_in, n_out, ok = relay_row(a, "A, directory replaced", "dir")
        ok &= gap_ok("log directory replaced by a file", written, err_a, w0, w1)
        ok &= res.expect(cue_times(moved) and min(cue_times(moved)) > w1,
                         "the log file was not created again after the directory came back")
        res.add("log directory replaced by a file (ENOTDIR), then back", n_in, n_out, ok,
                "%d lines lost, file created again" % len([t for t in err_a if w0 < t < w1]))
        m = marks["moved"][1]
        outside = [t for t in err_a if not w0 - 0.3 < t < w1 + 0.3]
        ok = (res.expect(cue_times(now) and min(cue_times(now)) > m, "the moved log file was not created again")
              & res.expect(not [t for t in cue_times(moved) if t > m + 0.05], "lines went on into the moved file")
              & res.expect(len(written) >= len(outside), "lines lost outside the failing stretch: %d in files, "
                           "%d on standard error outside it" % (len(written), len(outside))))
        res.add("log file moved away: created again", "", "", ok)

        # B: read-only, then read-write; full, then emptied.
        if b:
            err_b = cue_times(b.stderr_text())
            written_b = cue_times(b_text)
            for fault, label in (("ro", "log on a tmpfs remounted read-only (EROFS), then rw"),
                                 ("full", "log on a full tmpfs (ENOSPC), then emptied")):
                n_in, n_out, ok = relay_row(b, label, fault)
                w0, w1 = marks[fault][0], marks[fault][1]
                if fault == "full":
                    # Nothing fits but what the file's last page had free; once
                    # emptied, the lines go on into the same file.
                    ok &= res.expect(growth_full <= 4096, "B: the log grew %d bytes on a full file system" % growth_full)
                    ok &= res.expect([t for t in written_b if t > w1 + 0.3], "B: no lines after the tmpfs was emptied")
                else:
                    ok &= gap_ok(label, written_b, err_b, w0, w1)
                res.add(label, n_in, n_out, ok)
        else:
            res.add("log on a read-only or full tmpfs", "", "", True, "skipped: no mount namespace here")

        for svc in services:
            try:
                check = splicecheck.Splice(prog, filler, svc.out)
                check.expect_valid()
                check.expect_break(0, start + BREAK * TICKS, DUR * TICKS)
                spliced = True
            except AssertionError as e:
                spliced = res.expect(False, "%s: break after the faults: %s" % (svc.name, e))
            fl.Walk(res, svc, filler, d, PIDS).ending(svc.code, svc.took)
        res.finish()


if __name__ == "__main__":
    unittest.main(verbosity=2)
