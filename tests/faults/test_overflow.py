"""128,000 pending log lines and more: --debug --debug traces every packet
of a break, the programme (250 frames a second, 15 audio streams) comes
at six times real time through a 65 s break, and standard error is a pipe
that a slow console reads at 50 kB/s, so the log writer, which copies every
line there, falls far behind. The queue reaches its bound and the overflow
message appears; the relay keeps its pace and delay, memory stays within
the queue's bound, the break after the flood is spliced exactly, and SIGTERM
ends the service with status 0."""
import os
import statistics
import threading
import time
import unittest

import flow as fl
import kt
import splicecheck

TICKS = fl.TICKS
AUDIO = [0x101 + i for i in range(15)]   # with the video, the 16 streams a filler may have
PIDS = [0x100] + AUDIO
SPEED = 6
LONG_AT, LONG_DUR, SHORT_AT, SHORT_DUR, END = 3, 65, 71, 2, 75
SPLIT = 68.5                  # the flood ends here; the rest comes in real time
QUEUE_BOUND = 128000
CONSOLE_RATE = 50000          # bytes per second read from standard error
OVERFLOW = "ERROR! message queue OVERFLOW!!!"


def heavy(path, filler, duration, cues=()):
    return kt.gen.generate(path, filler=filler, duration=duration, size="160x120", fps="250", gop=250,
                                   audio=",".join(["mp2"] * len(AUDIO)), audio_pids=AUDIO,
                                   audio_bitrate="32k", cues=list(cues))


class LogOverflow(unittest.TestCase):
    def test_overflowing_log_queue(self):
        with kt.scratch("kestrow-faults-overflow-") as d:
            self.run_flood(d)

    def run_flood(self, d):
        res = fl.Results("overflow")
        filler = os.path.join(d, "filler.ts")
        heavy(filler, True, LONG_DUR + 2)
        prog = os.path.join(d, "prog.ts")
        start = heavy(prog, False, END, ["at=%d,dur=%d" % (LONG_AT, LONG_DUR),
                                         "at=%d,dur=%d" % (SHORT_AT, SHORT_DUR)])["start"]

        # A small quarantine, so that what AddressSanitizer keeps of freed
        # memory does not hide what the service holds.
        env = dict(os.environ)
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS", ""), "quarantine_size_mb=4"]))
        svc = kt.Service(d, "--debug", "--debug", filler=filler, name="flood", env=env, console_rate=CONSOLE_RATE,
                         console_watch=OVERFLOW.encode())
        self.addCleanup(svc.close)
        self.assertTrue(svc.ready())
        time.sleep(0.5)
        rss_before = svc.memory()[0]
        samples = []
        sampling = threading.Event()

        def sample():
            while not sampling.is_set():
                try:
                    samples.append((time.monotonic(), *svc.memory()))
                except (OSError, KeyError):
                    break
                time.sleep(0.1)
        sampler = threading.Thread(target=sample)
        sampler.start()
        flood, rest = fl.split(prog, os.path.join(d, "flood.ts"), os.path.join(d, "rest.ts"), 0x100,
                               start + int(SPLIT * TICKS), start)
        rec, times = os.path.join(d, "sent.ts"), os.path.join(d, "sent.times")
        rec2, times2 = os.path.join(d, "sent2.ts"), os.path.join(d, "sent2.times")
        t_send = time.monotonic()
        svc.send(flood, speed=SPEED, record=rec, log=times)
        t_sent = time.monotonic()
        time.sleep(0.5)
        sampling.set()
        sampler.join()
        seen = svc.console.seen
        svc.console.rate = None           # the console catches up; the writer drains
        drained = kt.wait_for(lambda: svc.console.idle() > 1.0, 60)
        mark = len(svc.text())
        svc.send(rest, record=rec2, log=times2)
        ended = kt.wait_for(lambda: len(svc.text()) > mark + 10000, 10)
        rc, took = svc.stop(settle=1)
        log = svc.text()
        err = svc.stderr_text()

        res.expect(seen is not None and seen < t_sent, "no overflow message while the flood lasted")
        res.expect(drained, "the console never caught up")
        res.expect(ended, "the trace lines of the break after the flood never reached the log")
        fin = fl.Flow(rec, times, PIDS, start)
        fout = fl.Flow(svc.out, svc.arrivals, PIDS, start)
        seen = seen or t_sent
        n_in, n_out = fl.relayed(fin, fout, seen, t_sent)
        before = [x for x, t in self.delays(fin, fout, start) if t < seen]
        # The demuxer holds the last frame until the next one comes: after the pause.
        during = [x for x, t in self.delays(fin, fout, start) if seen <= t <= t_sent - 0.5]
        base = statistics.median(before) if before else 0
        worst = max(during) if during else None
        ok = (res.expect(res.within(n_in, n_out), "during the overflow: %d units in, %d out" % (n_in, n_out))
              & res.expect(worst is not None and worst < base + 1.0,
                           "delay during the overflow up to %s s, %.2f s before" % (worst, base)))

        # Memory. The sockets' buffers (rings of fifo_size) take new pages as
        # the stream passes through them, so memory grows with the bytes in
        # and out; on top of that the queue may hold QUEUE_BOUND lines.
        longest = max((len(line) + 1 for line in log.splitlines()), default=200)
        per_line = longest + 128       # the allocator's header, red zones and rounding
        arrivals = fl.read_times(svc.arrivals)

        def stream_bytes(t):
            """Bytes sent and received up to the monotonic time t."""
            sent_rows = fl.read_times(times)
            got = [off for when, off in arrivals if when <= t]
            put = [off for when, off in sent_rows if when <= t]
            return (put[-1] if put else 0) + (got[-1] if got else 0)

        rss = [(t, r) for t, r, _ in samples]
        peak_t, peak = max(rss, key=lambda x: x[1]) if rss else (t_sent, rss_before)
        queue = QUEUE_BOUND * per_line
        allowance = queue + stream_bytes(peak_t) + 24 * 2 ** 20
        grew = (peak - rss_before) * 1024
        res.expect(rss and grew <= allowance, "memory grew %.1f MiB, bound %.1f MiB" % (
            grew / 2 ** 20, allowance / 2 ** 20))
        # Once the queue is full, lines are dropped: memory grows no faster
        # than the stream brings pages (the queue alone would add MiB a second).
        full = [(t, r) for t, r in rss if seen <= t <= t_sent]
        slope = stream_rate = None
        if res.expect(len(full) >= 5, "the overflow lasted too short to measure (%d samples)" % len(full)):
            span = full[-1][0] - full[0][0]
            slope = (full[-1][1] - full[0][1]) * 1024 / span
            stream_rate = (stream_bytes(full[-1][0]) - stream_bytes(full[0][0])) / span
            res.expect(slope <= stream_rate + 2 ** 20, "memory grew %.1f MiB/s while the queue was full, "
                       "the stream brings %.1f MiB/s" % (slope / 2 ** 20, stream_rate / 2 ** 20))
        dropped = err.count(OVERFLOW)
        res.add("%d+ pending lines (%d dropped), relay during the overflow" % (QUEUE_BOUND, dropped),
                n_in, n_out, ok, "delay %.2f s at most, %.2f s before" % (worst or -1, base))
        res.add("memory while the queue is full", "", "", grew <= allowance and slope is not None
                and slope <= stream_rate + 2 ** 20,
                "+%.1f MiB at the peak, bound %.1f (queue %.1f); %.1f MiB/s while full, stream %.1f MiB/s" % (
                    grew / 2 ** 20, allowance / 2 ** 20, queue / 2 ** 20, (slope or 0) / 2 ** 20,
                    (stream_rate or 0) / 2 ** 20))
        res.expect(dropped > 1000, "only %d overflow messages" % dropped)

        try:
            cut = fl.cut(svc.out, os.path.join(d, "after.cut.ts"), 0x100, start + int(SPLIT * TICKS),
                         start + END * TICKS, start, pids=AUDIO)
            check = splicecheck.Splice(prog, filler, cut)
            check.expect_valid()
            check.expect_break(0, start + SHORT_AT * TICKS, SHORT_DUR * TICKS)
            spliced = True
        except AssertionError as e:
            spliced = res.expect(False, "break after the flood: %s" % e)
        res.expect(rc == 0, "exit status %r" % rc)
        report = kt.sanitizer_report(err)
        res.expect(report is None, "sanitizer: %s" % report)
        res.add("break after the flood, SIGTERM", "", "", spliced and rc == 0, "exit %r in %.2f s" % (rc, took))
        res.finish()

    @staticmethod
    def delays(fin, fout, start):
        """(delay, send time) of the video units that crossed both sockets."""
        a, b = fin.times(0x100), fout.times(0x100)
        return [(b[k] - a[k], a[k]) for k in a if k in b and a[k] is not None and b[k] is not None]


if __name__ == "__main__":
    unittest.main(verbosity=2)
