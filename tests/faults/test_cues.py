"""Faulty and excessive cues, one service run: sections that no SCTE 35
parser accepts, a cue every 100 ms for four seconds (the same splice_insert
again and again, splice_null and time_signal between them, and more of the
latter two during the break), and a splice_insert with 255 components that
spans nine TS packets. Every cue is relayed byte for byte, the relay keeps
pace, the announced breaks are spliced exactly, and SIGTERM ends it with
status 0."""
import os
import unittest

import flow as fl
import kt
import splicecheck

TICKS = fl.TICKS
PIDS = fl.PIDS
SCTE_PID = 0x590
DUR = 2
BREAK1, BREAK2, END = 11, 17, 21
FLOOD_FROM, FLOOD_TO = 4.0, 8.0
BIG_AT = 14


def cues():
    gen = kt.gen
    # Well formed as sections (the demuxer checks the CRC), but not as cues.
    not_splice_info = "type=raw,hex=fd3000aabbcc,send=2.5"
    cut_short = gen.splice_info_section(5, b"\x00\x00\x00\x01\x7f")[:-4].hex()
    specs = [not_splice_info, "type=raw,hex=%s,send=3" % cut_short]
    t, n = FLOOD_FROM, 0
    while t < FLOOD_TO - 1e-6:
        kind = n % 3
        if kind == 0:
            specs.append("at=%d,dur=%d,id=5,send=%.1f" % (BREAK1, DUR, t))
        elif kind == 1:
            specs.append("type=null,send=%.1f" % t)
        else:
            specs.append("type=time_signal,at=%d,send=%.1f" % (BREAK1, t))
        t, n = t + 0.1, n + 1
    # During the break: no splice_insert, so nothing may change.
    t = BREAK1 + 0.2
    while t < BREAK1 + DUR - 0.2:
        specs.append("type=%s,send=%.1f" % ("null" if n % 2 else "time_signal,at=%d" % BREAK1, t))
        t, n = t + 0.1, n + 1
    specs.append("type=null,send=%d" % BIG_AT)       # placeholder for the 255 components
    specs.append("at=%d,dur=%d,id=9" % (BREAK2, DUR))
    return specs


class CueFaults(unittest.TestCase):
    def test_bad_many_and_huge_cues(self):
        with kt.scratch("kestrow-faults-cues-") as d:
            self.run_cues(d)

    def run_cues(self, d):
        res = fl.Results("cues")
        gen = kt.gen
        filler = os.path.join(d, "filler.ts")
        gen.generate(filler, filler=True, duration=6)
        prog = os.path.join(d, "cues.ts")
        specs = cues()
        info = gen.generate(prog, duration=END, cues=specs)
        start = info["start"]
        big = gen.splice_insert(77, components=[(i, (start + BIG_AT * TICKS) % (1 << 33)) for i in range(255)],
                                duration=DUR * TICKS)
        placeholder = [c for c in info["cues"] if c["spec"] == "type=null,send=%d" % BIG_AT][0]
        self.assertEqual(fl.put_section(prog, placeholder["packet"], big, SCTE_PID), 9)
        inserts = sum(1 for s in specs if s.startswith("at=") and "id=5" in s)
        others = sum(1 for s in specs if s.startswith("type=null") or s.startswith("type=time_signal")) - 1

        svc = kt.Service(d, "--mux-rate", "4000000", filler=filler, name="cues")
        self.addCleanup(svc.close)
        self.assertTrue(svc.ready())
        rec, times = os.path.join(d, "sent.ts"), os.path.join(d, "sent.times")
        svc.send(prog, log=times, record=rec)
        rc, took = svc.stop(settle=2)
        log = svc.text()

        fin = fl.Flow(rec, times, PIDS, start)
        fout = fl.Flow(svc.out, svc.arrivals, PIDS, start)

        def count(flow, a, b):
            return flow.count(start + int(a * TICKS), start + int(b * TICKS))

        # Intake of each kind of cue, as the log tells it.
        res.expect(log.count("Failed to parse SCTE-35 packet: -22") == 1,
                   "the section with table_id 0xFD was not refused once")
        res.expect(log.count("Failed to parse SCTE-35 packet: -34") == 2,
                   "the cut-short command and the 255 components were not refused as out of range")
        res.expect(log.count("splice_insert.splice_event_id=5") == inserts,
                   "repeated splice_insert: %d of %d logged" % (log.count("splice_insert.splice_event_id=5"), inserts))
        res.expect(log.count("splice_insert.splice_event_id=0") == others,
                   "splice_null and time_signal: %d of %d logged" % (log.count("splice_insert.splice_event_id=0"), others))
        res.expect(big.hex().upper() in log, "the dump of the 1566-byte cue is not whole in the log")

        # Every cue leaves as it came, the huge one in one piece.
        sent = [p["data"] for p in gen.check(prog, "--hex")["packets"] if p["pid"] == SCTE_PID]
        got = [p["data"] for p in gen.check(svc.out, "--hex")["packets"] if p["pid"] == SCTE_PID]
        first = next((i for i, c in enumerate(sent) if got and c == got[0]), None)
        res.expect(first is not None and got == sent[first:], "cue sections changed on their way")
        res.expect(big in got, "the 255-component cue did not come out whole")

        splice_ok = True
        try:
            check = splicecheck.Splice(prog, filler, svc.out)
            check.expect_valid()
            check.expect_break(0, start + BREAK1 * TICKS, DUR * TICKS)
            check.expect_break(1, start + BREAK2 * TICKS, DUR * TICKS)
            res.expect(len(check.video.runs()) == 2, "video breaks: %d" % len(check.video.runs()))
        except AssertionError as e:
            splice_ok = res.expect(False, "splice: %s" % e)

        a, b = count(fin, 2.5, 3.5), count(fout, 2.5, 3.5)
        res.add("2 cues that do not parse (table_id 0xFD, cut short)", a, b,
                res.expect(res.within(a, b), "bad cues: %d in, %d out" % (a, b)))
        a, b = count(fin, FLOOD_FROM, FLOOD_TO), count(fout, FLOOD_FROM, FLOOD_TO)
        res.add("a cue every 100 ms for 4 s, %d of them splice_insert" % inserts, a, b,
                res.expect(res.within(a, b), "cue flood: %d in, %d out" % (a, b)) and splice_ok,
                "break at %d s spliced" % BREAK1)
        a, b = count(fin, BIG_AT - 1, END - 1), count(fout, BIG_AT - 1, END - 1)
        res.add("splice_insert with 255 components (1566 bytes)", a, b,
                res.expect(res.within(a, b), "huge cue: %d in, %d out" % (a, b)) and splice_ok,
                "break at %d s spliced" % BREAK2)
        fl.Walk(res, svc, filler, d, PIDS).ending(rc, took)
        res.finish()


if __name__ == "__main__":
    unittest.main(verbosity=2)
