"""Fillers that cannot stand in for the programme, five services side by
side: a text file, an empty file and a missing one, which do not load
("failed to load filler", no session, a prompt stop); a transport stream with the programme's
PIDs declared but no packet; and one whose PIDs are all different. The last
two relay the programme untouched through the break the cue announces."""
import os
import threading
import time
import unittest

import flow as fl
import kt
import splicecheck

TICKS = fl.TICKS
PIDS = fl.PIDS
BREAK, DUR, END = 5, 3, 11


def psi_only(source, dest):
    """The PAT, PMT and SDT packets of a generated filler: its streams are
    declared, none carries a packet."""
    with open(source, "rb") as f:
        data = f.read()
    keep = [data[i:i + fl.TS] for i in range(0, len(data), fl.TS)
            if ((data[i + 1] & 0x1F) << 8 | data[i + 2]) in (0x0000, 0x0011, 0x1000)]
    with open(dest, "wb") as f:
        f.write(b"".join(keep[:30]))


class FillerFaults(unittest.TestCase):
    def test_fillers_that_cannot_stand_in(self):
        with kt.scratch("kestrow-faults-filler-") as d:
            self.run_fillers(d)

    def run_fillers(self, d):
        res = fl.Results("filler")
        gen = kt.gen
        good = os.path.join(d, "good.ts")
        gen.generate(good, filler=True, duration=6)
        fillers = {
            "text": os.path.join(d, "text.ts"),
            "empty": os.path.join(d, "empty.ts"),
            "missing": os.path.join(d, "missing.ts"),
            "no packets": os.path.join(d, "psi.ts"),
            "other PIDs": os.path.join(d, "other.ts"),
        }
        with open(fillers["text"], "w") as f:
            f.write("This is not a transport stream.\n" * 200)
        open(fillers["empty"], "wb").close()
        psi_only(good, fillers["no packets"])
        gen.generate(fillers["other PIDs"], filler=True, duration=6, video_pid=0x200,
                     audio_pids=[0x201, 0x202])
        prog = os.path.join(d, "prog.ts")
        info = gen.generate(prog, duration=END, cues=["at=%d,dur=%d" % (BREAK, DUR)])
        start = info["start"]

        services = {}
        for n, (kind, path) in enumerate(fillers.items()):
            services[kind] = kt.Service(d, "--mux-rate", "4000000", filler=path, name="f%d" % n)
            self.addCleanup(services[kind].close)
        for kind, wait in (("text", 3), ("empty", 0.5), ("missing", 0.5)):
            self.assertFalse(services[kind].ready(timeout=wait), "%s filler: a session started" % kind)
        for kind in ("no packets", "other PIDs"):
            self.assertTrue(services[kind].ready())
        senders = []
        for kind, svc in services.items():
            rec, times = os.path.join(d, svc.name + ".sent.ts"), os.path.join(d, svc.name + ".sent.times")
            senders.append(threading.Thread(target=svc.send, args=(prog,), kwargs={"record": rec, "log": times}))
        for t in senders:
            t.start()
        for t in senders:
            t.join()

        # The three that do not load: one line, no session, a prompt stop.
        for kind in ("text", "empty", "missing"):
            svc = services[kind]
            rc, took = svc.stop(settle=0)
            ok = (res.expect(svc.text().count("failed to load filler [%s]" % fillers[kind]) == 1,
                             "%s filler: no failure line" % kind)
                  & res.expect(os.path.getsize(svc.out) == 0, "%s filler: output sent" % kind)
                  & res.expect(rc is not None and took < 1.5, "%s filler: exit %r after %.2f s" % (kind, rc, took)))
            res.add("filler is %s: does not load, prompt stop" % kind,
                    fl.Flow(os.path.join(d, svc.name + ".sent.ts"), None, PIDS, start).count(start, start + END * TICKS),
                    0, ok, "exit %r in %.2f s" % (rc, took))

        # The two that load but match nothing: the programme goes through untouched.
        time.sleep(1.5)
        for kind in ("no packets", "other PIDs"):
            svc = services[kind]
            rc, took = svc.stop(settle=0.5)
            ok = res.expect(rc == 0 and took < 2.0, "%s: exit %r after %.2f s" % (kind, rc, took))
            try:
                check = splicecheck.Splice(prog, fillers["other PIDs"] if kind == "other PIDs" else good, svc.out)
                for st in [check.video] + list(check.audio.values()):
                    first = next(i for i, p in enumerate(st.src)
                                 if (p["hash"], p["pts"]) == (st.out[0]["hash"], st.out[0]["pts"]))
                    want = [(p["pts"], p["dts"], p["hash"]) for p in st.src[first:first + len(st.out)]]
                    got = [(p["pts"], p["dts"], p["hash"]) for p in st.out]
                    ok &= res.expect(got == want, "%s: PID 0x%x changed on its way" % (kind, st.pid))
                    ok &= res.expect(st.out[0]["pts"] < start + (BREAK - 1) * TICKS,
                                     "%s: PID 0x%x starts too late" % (kind, st.pid))
            except (AssertionError, StopIteration, IndexError) as e:
                ok = res.expect(False, "%s: %r" % (kind, e))
            fin = fl.Flow(os.path.join(d, svc.name + ".sent.ts"), None, PIDS, start)
            fout = fl.Flow(svc.out, None, PIDS, start)
            a, b = fin.count(start + 3 * TICKS, start + (END - 1) * TICKS), fout.count(start + 3 * TICKS, start + (END - 1) * TICKS)
            ok &= res.expect(res.within(a, b), "%s: %d in, %d out" % (kind, a, b))
            res.add("filler with %s: relayed unspliced" % ("no packet" if kind == "no packets" else "other PIDs"),
                    a, b, ok, "exit %r in %.2f s" % (rc, took))
        for svc in services.values():
            report = kt.sanitizer_report(svc.stderr_text())
            res.expect(report is None, "%s sanitizer: %s" % (svc.name, report))
        res.finish()


if __name__ == "__main__":
    unittest.main(verbosity=2)
