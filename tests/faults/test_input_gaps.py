"""Gaps in the input's time, one service run walking through them in turn:
the input stops for 10 s and resumes (its timestamps 10 s on), the source
restarts with timestamps 15 s ahead (within the 20 s guard, same session),
then an hour ahead (the guard ends the session, the next one relays). After
each, the relay keeps pace with the input, adds no delay, and splices the
next break exactly; SIGTERM ends it with status 0."""
import os
import unittest

import faultlib as fl
import kt

TICKS = fl.TICKS
PIDS = [0x100, 0x101, 0x102]
SLACK_S = 1.5     # added delay tolerated on a loaded machine (a gap would add its own length)
DUR = 2
# Programme P, seconds from its start: a break, the outage, a break after it.
BREAK1, PAUSE, RESUME, BREAK2, P_END = 6, 10, 20, 25, 30
# Q1 follows P with timestamps 15 s ahead, Q2 follows Q1 an hour ahead.
Q1_JUMP, Q1_LEN, Q1_BREAK = 15, 10, 5
Q2_JUMP, Q2_LEN, Q2_BREAK = 3600, 12, 7


class InputGaps(unittest.TestCase):
    def test_outage_and_timestamp_jumps(self):
        with kt.scratch("kestrow-faults-gaps-") as d:
            self.walk(d)

    def walk(self, d):
        res = fl.Results("input_gaps")
        gen = fl.kestrow_gen
        filler = os.path.join(d, "filler.ts")
        gen.generate(filler, filler=True, duration=6)
        p_path, q1_path, q2_path = (os.path.join(d, n + ".ts") for n in ("p", "q1", "q2"))
        start = gen.generate(p_path, duration=P_END, cues=[
            "at=%d,dur=%d" % (t, DUR) for t in (BREAK1, BREAK2)])["start"]
        q1_start = start + (P_END + Q1_JUMP) * TICKS
        q2_start = q1_start + (Q1_LEN + Q2_JUMP) * TICKS
        gen.generate(q1_path, duration=Q1_LEN, start_pts=q1_start, cues=["at=%d,dur=%d" % (Q1_BREAK, DUR)])
        gen.generate(q2_path, duration=Q2_LEN, start_pts=q2_start, cues=["at=%d,dur=%d" % (Q2_BREAK, DUR)])

        # A constant mux rate, as by default, with less to read back.
        svc = fl.Service(d, filler, "--mux-rate", "4000000", name="gaps")
        self.addCleanup(svc.kill)
        svc.ready()
        sent = {}
        for name, path, faults in (("p", p_path, ["from=%d,to=%d,pause=1" % (PAUSE, RESUME)]),
                                   ("q1", q1_path, []), ("q2", q2_path, [])):
            rec, times = os.path.join(d, name + ".sent.ts"), os.path.join(d, name + ".sent.times")
            svc.send(path, faults=faults, log=times, record=rec)
            sent[name] = (rec, times)
        log = svc.text()
        rc, took = svc.stop()
        walk = fl.Walk(res, svc, filler, d, PIDS)

        pin, pout = walk.flows(*sent["p"], start)
        a, b = walk.counts(pin, pout, start, 4, PAUSE - 1)
        base = walk.delay(pin, pout, start, 4, PAUSE - 1)
        res.expect(base is not None and base < 1.5, "delay before the outage %s s" % base)
        base = base or 0
        ok = res.expect(res.within(a, b), "before the outage: %d in, %d out" % (a, b)) & walk.spliced(
            p_path, start, 3, PAUSE - 1, BREAK1, DUR, "break1")
        res.add("none (4-9 s)", a, b, ok, "delay %.2f s" % base)

        # Nothing comes in for 10 s, nothing goes out; then the same pace, no added delay.
        g_in, g_out = walk.counts(pin, pout, start, PAUSE + 0.5, RESUME)
        a, b = walk.counts(pin, pout, start, RESUME, P_END)
        after = walk.delay(pin, pout, start, RESUME + 1, P_END - 1)
        ok = (res.expect(g_out <= g_in, "output during the outage: %d units, %d in" % (g_out, g_in))
              & res.expect(res.within(a, b), "after the outage: %d in, %d out" % (a, b))
              & res.expect(after is not None and after < base + SLACK_S,
                           "delay after the outage %s s, %.2f s before" % (after, base))
              & walk.spliced(p_path, start, RESUME, P_END, BREAK2, DUR, "break2"))
        res.add("input stops for 10 s, resumes (next 10 s)", a, b, ok, "delay %.2f s" % (after or -1))

        # Restart 15 s ahead: the same session goes on, without the 15 s on air.
        q1in, q1out = walk.flows(*sent["q1"], q1_start)
        a, b = walk.counts(q1in, q1out, q1_start, 0, Q1_LEN - 1)
        after = walk.delay(q1in, q1out, q1_start, 1, Q1_LEN - 1)
        ok = (res.expect(res.within(a, b), "jump of 15 s: %d in, %d out" % (a, b))
              & res.expect(after is not None and after < base + SLACK_S, "delay after the 15 s jump %s s" % after)
              & walk.spliced(q1_path, q1_start, 0, Q1_LEN, Q1_BREAK, DUR, "break_q1"))
        res.add("source restarts 15 s ahead (same session)", a, b, ok, "delay %.2f s" % (after or -1))

        # Restart an hour ahead: the session ends on the guard and the next one relays.
        q2in, q2out = walk.flows(*sent["q2"], q2_start)
        first = min((pts for _, pts, _ in q2out.units if pts >= q2_start), default=None)
        res.expect(first is not None and first < q2_start + 5 * TICKS, "no output of the new session in time")
        back = ((first or q2_start) - q2_start) / TICKS + 1
        a, b = walk.counts(q2in, q2out, q2_start, back, Q2_LEN - 1)
        ok = (res.expect(res.within(a, b), "jump of an hour: %d in, %d out" % (a, b))
              & walk.spliced(q2_path, q2_start, back, Q2_LEN, Q2_BREAK, DUR, "break_q2"))
        res.add("source restarts an hour ahead (new session)", a, b, ok,
                "relay back %.1f s into it" % (back - 1))

        res.expect(log.count("slicer_packets_loop: Entering main loop...") == 2,
                   "sessions: %d" % log.count("slicer_packets_loop: Entering main loop..."))
        res.expect("slicer_packets_loop: delta=" in log and "BAD: pts:" in log, "no guard lines for the jump")
        res.expect(log.count("Splicing started") == 4, "breaks started: %d" % log.count("Splicing started"))
        walk.ending(rc, took)
        res.finish()


if __name__ == "__main__":
    unittest.main(verbosity=2)
