"""Damaged input for 12 s, one service run: garbage datagrams (random bytes
of random length), datagrams cut short in the middle of a TS packet, 1 % of
the datagrams lost and 2 % sent twice, all mixed. The relay keeps pace with
what arrives, stays in its session, adds no delay, and splices the break
after the damage exactly; SIGTERM ends it with status 0."""
import os
import unittest

import faultlib as fl
import kt

PIDS = [0x100, 0x101, 0x102]
SLACK_S = 1.5
DUR = 2
BREAK1, MIX_FROM, MIX_TO, BREAK2, END = 6, 10, 22, 26, 30
MIX = "garbage=0.02,truncate=0.02,drop=0.01,dup=0.02"


class InputDamage(unittest.TestCase):
    def test_garbage_truncated_lost_and_doubled(self):
        with kt.scratch("kestrow-faults-damage-") as d:
            self.walk(d)

    def walk(self, d):
        res = fl.Results("input_damage")
        gen = fl.kestrow_gen
        filler = os.path.join(d, "filler.ts")
        gen.generate(filler, filler=True, duration=6)
        prog = os.path.join(d, "prog.ts")
        start = gen.generate(prog, duration=END, cues=["at=%d,dur=%d" % (t, DUR) for t in (BREAK1, BREAK2)])["start"]

        svc = fl.Service(d, filler, "--mux-rate", "4000000", name="damage")
        self.addCleanup(svc.kill)
        svc.ready()
        rec, times = os.path.join(d, "sent.ts"), os.path.join(d, "sent.times")
        c = svc.send(prog, faults=["from=%d,to=%d,%s" % (MIX_FROM, MIX_TO, MIX)], log=times, record=rec)
        log = svc.text()
        rc, took = svc.stop()
        walk = fl.Walk(res, svc, filler, d, PIDS)
        fin, fout = walk.flows(rec, times, start)

        a, b = walk.counts(fin, fout, start, 4, MIX_FROM)
        base = walk.delay(fin, fout, start, 4, MIX_FROM)
        res.expect(base is not None and base < 1.5, "delay before the damage %s s" % base)
        base = base or 0
        ok = res.expect(res.within(a, b), "before: %d in, %d out" % (a, b)) & walk.spliced(
            prog, start, 3, MIX_FROM, BREAK1, DUR, "break1")
        res.add("none (4-10 s)", a, b, ok, "delay %.2f s" % base)

        # While the damage lasts: every unit that arrives whole enough goes out.
        a, b = walk.counts(fin, fout, start, MIX_FROM, MIX_TO)
        during = walk.delay(fin, fout, start, MIX_FROM, MIX_TO)
        after = walk.delay(fin, fout, start, MIX_TO, END - 1)
        ok = (res.expect(res.within(a, b), "damaged input: %d in, %d out" % (a, b))
              & res.expect(during is not None and during < base + SLACK_S, "delay in the damage %s s" % during)
              & res.expect(after is not None and after < base + SLACK_S, "delay after the damage %s s" % after)
              & res.expect("Error muxing packet" not in log, "damaged packets reached the muxer")
              & res.expect(log.count("slicer_packets_loop: Entering main loop...") == 1, "the session ended")
              & walk.spliced(prog, start, MIX_TO, END, BREAK2, DUR, "break2"))
        res.add("garbage %d, truncated %d, lost %d, doubled %d datagrams" % (
            c["garbage"], c["truncated"], c["dropped"], c["duplicated"]), a, b, ok,
            "delay %.2f s, after %.2f s" % (during or -1, after or -1))
        res.expect(c["garbage"] > 10 and c["truncated"] > 10 and c["dropped"] > 5 and c["duplicated"] > 10,
                   "the sender did too little harm: %r" % c)
        res.expect(log.count("Splicing started") == 2, "breaks started: %d" % log.count("Splicing started"))
        walk.ending(rc, took)
        res.finish()


if __name__ == "__main__":
    unittest.main(verbosity=2)
