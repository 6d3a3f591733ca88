"""Faults of the input, one service run walking through them in turn:
12 s of damage (garbage datagrams of random length, datagrams cut short in
the middle of a TS packet, 1 % of the datagrams lost and 2 % sent twice, all
mixed), then the input stops for 10 s and resumes (its timestamps 10 s on),
then the source restarts with timestamps 15 s ahead (within the 20 s guard,
same session), then an hour ahead (the guard ends the session, the next one
relays). Throughout, the relay keeps pace with what arrives, adds no delay,
and splices the next break exactly; SIGTERM ends it with status 0."""
import os
import unittest

import flow as fl
import kt

TICKS = fl.TICKS
SLACK_S = 1.5     # added delay tolerated on a loaded machine (a gap would add its own length)
DUR = 2
MIX = "garbage=0.02,truncate=0.02,drop=0.01,dup=0.02"
# Programme P, seconds from its start: a break, the damage, a break, the outage, a break.
BREAK1, MIX_FROM, MIX_TO, BREAK2, PAUSE, RESUME, BREAK3, P_END = 6, 10, 22, 25, 29, 39, 43, 48
# Q1 follows P with timestamps 15 s ahead, Q2 follows Q1 an hour ahead.
Q1_JUMP, Q1_LEN, Q1_BREAK = 15, 10, 5
Q2_JUMP, Q2_LEN, Q2_BREAK = 3600, 12, 7


class InputFaults(unittest.TestCase):
    def test_damage_outage_and_timestamp_jumps(self):
        with kt.scratch("kestrow-faults-input-") as d:
            self.walk(d)

    def walk(self, d):
        res = fl.Results("input")
        filler = os.path.join(d, "filler.ts")
        kt.gen.generate(filler, filler=True, duration=6)
        p_path, q1_path, q2_path = (os.path.join(d, n + ".ts") for n in ("p", "q1", "q2"))
        start = kt.gen.generate(p_path, duration=P_END, cues=[
            "at=%d,dur=%d" % (t, DUR) for t in (BREAK1, BREAK2, BREAK3)])["start"]
        q1_start = start + (P_END + Q1_JUMP) * TICKS
        q2_start = q1_start + (Q1_LEN + Q2_JUMP) * TICKS
        kt.gen.generate(q1_path, duration=Q1_LEN, start_pts=q1_start, cues=["at=%d,dur=%d" % (Q1_BREAK, DUR)])
        kt.gen.generate(q2_path, duration=Q2_LEN, start_pts=q2_start, cues=["at=%d,dur=%d" % (Q2_BREAK, DUR)])

        # A constant mux rate, as by default, with less to read back.
        svc = kt.Service(d, "--mux-rate", "4000000", filler=filler, name="input")
        self.addCleanup(svc.close)
        self.assertTrue(svc.ready())
        sent, harm = {}, None
        for name, path, faults in (("p", p_path, ["from=%d,to=%d,%s" % (MIX_FROM, MIX_TO, MIX),
                                                  "from=%d,to=%d,pause=1" % (PAUSE, RESUME)]),
                                   ("q1", q1_path, []), ("q2", q2_path, [])):
            rec, times = os.path.join(d, name + ".sent.ts"), os.path.join(d, name + ".sent.times")
            counts = svc.send(path, faults=faults, log=times, record=rec)
            harm = harm or counts
            sent[name] = (rec, times)
        log = svc.text()
        rc, took = svc.stop(settle=2)
        walk = fl.Walk(res, svc, filler, d, fl.PIDS)

        pin, pout = walk.flows(*sent["p"], start)
        a, b = walk.counts(pin, pout, start, 4, MIX_FROM)
        base = walk.delay(pin, pout, start, 4, MIX_FROM)
        res.expect(base is not None and base < 1.5, "delay before the faults %s s" % base)
        base = base or 0
        ok = res.expect(res.within(a, b), "before the faults: %d in, %d out" % (a, b)) & walk.spliced(
            p_path, start, 3, MIX_FROM, BREAK1, DUR, "break1")
        res.add("none (4-10 s)", a, b, ok, "delay %.2f s" % base)

        # While the damage lasts: every unit that arrives whole enough goes out.
        a, b = walk.counts(pin, pout, start, MIX_FROM, MIX_TO)
        during = walk.delay(pin, pout, start, MIX_FROM, MIX_TO)
        after = walk.delay(pin, pout, start, MIX_TO, PAUSE - 1)
        ok = (res.expect(res.within(a, b), "damaged input: %d in, %d out" % (a, b))
              & res.expect(during is not None and during < base + SLACK_S, "delay in the damage %s s" % during)
              & res.expect(after is not None and after < base + SLACK_S, "delay after the damage %s s" % after)
              & res.expect("Error muxing packet" not in log, "damaged packets reached the muxer")
              & walk.spliced(p_path, start, MIX_TO, PAUSE, BREAK2, DUR, "break2"))
        res.add("garbage %d, truncated %d, lost %d, doubled %d datagrams" % (
            harm["garbage"], harm["truncated"], harm["dropped"], harm["duplicated"]), a, b, ok,
            "delay %.2f s, after %.2f s" % (during or -1, after or -1))
        res.expect(harm["garbage"] > 10 and harm["truncated"] > 10 and harm["dropped"] > 5
                   and harm["duplicated"] > 10, "the sender did too little harm: %r" % harm)

        # Nothing comes in for 10 s, nothing goes out; then the same pace, no added delay.
        g_in, g_out = walk.counts(pin, pout, start, PAUSE + 0.5, RESUME)
        a, b = walk.counts(pin, pout, start, RESUME, P_END)
        after = walk.delay(pin, pout, start, RESUME + 1, P_END - 1)
        ok = (res.expect(g_out <= g_in, "output during the outage: %d units, %d in" % (g_out, g_in))
              & res.expect(res.within(a, b), "after the outage: %d in, %d out" % (a, b))
              & res.expect(after is not None and after < base + SLACK_S,
                           "delay after the outage %s s, %.2f s before" % (after, base))
              & walk.spliced(p_path, start, RESUME, P_END, BREAK3, DUR, "break3"))
        res.add("input stops for 10 s, resumes (next 9 s)", a, b, ok, "delay %.2f s" % (after or -1))

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
        walk.ending(rc, took)
        res.finish()


if __name__ == "__main__":
    unittest.main(verbosity=2)
