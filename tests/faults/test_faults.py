"""Fault injection on loopback: the real KestrowApp between a faulty sender
and a recording receiver, one class per kind of fault, each walking through
its faults in one or a few service runs and printing a table of what went
in and out. Throughout, the relay keeps pace, the announced breaks are
spliced exactly, and SIGTERM ends the service with status 0.
  Input    damaged datagrams (garbage, cut short, lost, doubled), an outage of
           10 s, the source restarting 15 s ahead and an hour ahead (the
           programme's times moved back onto the output's clock);
  Cues     sections no parser accepts, a cue every 100 ms, a splice_insert
           with 255 components over nine TS packets, all relayed byte for byte;
  Filler   fillers that do not load (text, empty, missing: no session, a
           prompt stop) and fillers that match nothing (relayed unspliced);
  Control  the XML-RPC port abused (malformed XML, not XML, 1 MiB, 200 calls
           at once, idle and half-sent connections) at the default mux rate;
  Log      the log file's place fails during the run (directory replaced by
           a file, file moved away; in a mount namespace a tmpfs remounted
           read-only, then filled up): lines of the failing stretch are lost
           from the file but reach standard error, the file comes back;
  Overflow 128,000 pending log lines and more (every packet traced, 1500
           frames a second, a slow console): the overflow message appears,
           relay and memory stay within bounds;
  Timeline the input's time line breaks (outages between breaks and inside
           one, a pause, restarts an hour and 17 s back, twice real time):
           the output never leaves the wire, the programme resumes on a key
           frame with its delay as before, the next break is exact."""
import datetime
import http.client
import json
import os
import re
import socket
import statistics
import subprocess
import sys
import threading
import time
import unittest
import xmlrpc.client

import flow as fl
import kestrow_clock
import kestrow_report
import kt
import splicecheck

TICKS = fl.TICKS
PIDS = fl.PIDS
SCTE_PID = 0x590


class Base(unittest.TestCase):
    def setUp(self):
        self.d = kt.scratch_dir(self, "kestrow-faults-")
        self.filler = self.path("filler.ts")
        kt.gen.generate(self.filler, filler=True, duration=6)

    def path(self, name):
        return os.path.join(self.d, name)

    def service(self, *args, name, filler=None):
        svc = kt.Service(self.d, *args, filler=filler or self.filler, name=name)
        self.addCleanup(svc.close)
        svc.rec, svc.times = self.path(name + ".sent.ts"), self.path(name + ".sent.times")
        return svc

    def spliced(self, res, prog, out, start, breaks, label):
        """Whether every (at, dur) of breaks (seconds from start) is spliced exactly in out."""
        try:
            check = splicecheck.Splice(prog, self.filler, out)
            check.expect_valid()
            for i, (at, dur) in enumerate(breaks):
                check.expect_break(i, start + int(at * TICKS), int(dur * TICKS))
            return res.expect(len(check.video.runs()) == len(breaks), "%s: %d video breaks" % (
                label, len(check.video.runs())))
        except AssertionError as e:
            return res.expect(False, "%s: %s" % (label, e))


class Input(Base):
    SLACK_S = 1.5     # added delay tolerated on a loaded machine (a gap would add its own length)
    DUR = 2
    MIX = "garbage=0.02,truncate=0.02,drop=0.01,dup=0.02"
    # Programme P, seconds from its start: a break, the damage, a break, the outage, a break.
    BREAK1, MIX_FROM, MIX_TO, BREAK2, PAUSE, RESUME, BREAK3, P_END = 6, 10, 22, 25, 29, 39, 43, 48
    # Q1 follows P with timestamps 15 s ahead, Q2 follows Q1 an hour ahead: (jump, length, break).
    Q1, Q2 = (15, 10, 5), (3600, 12, 7)

    def test_damage_outage_and_timestamp_jumps(self):
        res, c = fl.Results("input"), self
        cue = "at=%d,dur=" + str(c.DUR)
        p_path, q1_path, q2_path = (self.path(n + ".ts") for n in ("p", "q1", "q2"))
        start = kt.gen.generate(p_path, duration=c.P_END, cues=[cue % t for t in (c.BREAK1, c.BREAK2, c.BREAK3)])["start"]
        q1_start = start + (c.P_END + c.Q1[0]) * TICKS
        q2_start = q1_start + (c.Q1[1] + c.Q2[0]) * TICKS
        kt.gen.generate(q1_path, duration=c.Q1[1], start_pts=q1_start, cues=[cue % c.Q1[2]])
        kt.gen.generate(q2_path, duration=c.Q2[1], start_pts=q2_start, cues=[cue % c.Q2[2]])
        # A constant mux rate, as by default, with less to read back.
        svc = self.service("--mux-rate", "4000000", name="input")
        self.assertTrue(svc.ready())
        sent, harm = {}, None
        for name, path, faults in (("p", p_path, ["from=%d,to=%d,%s" % (c.MIX_FROM, c.MIX_TO, c.MIX),
                                                  "from=%d,to=%d,pause=1" % (c.PAUSE, c.RESUME)]),
                                   ("q1", q1_path, []), ("q2", q2_path, [])):
            sent[name] = (self.path(name + ".sent.ts"), self.path(name + ".sent.times"))
            counts = svc.send(path, faults=faults, record=sent[name][0], log=sent[name][1])
            harm = harm or counts
        log = svc.text()
        rc, took = svc.stop(settle=2)
        walk = fl.Walk(res, svc, self.filler, self.d, PIDS)
        pin, pout = walk.flows(*sent["p"], start)
        base = walk.delay(pin, pout, start, 4, c.MIX_FROM)
        res.expect(base is not None and base < 1.5, "delay before the faults %s s" % base)
        base = base or 0

        def stretch(label, fin, fout, ref, a, b, delay_from, prog, brk, *extra, end=None, shift=0):
            """One row: units in and out of [a, b) s, the delay from delay_from to b, the
            break in [a, end or b)."""
            n_in, n_out = walk.counts(fin, fout, ref, a, b)
            delay = walk.delay(fin, fout, ref, delay_from, b)
            ok = (res.expect(res.within(n_in, n_out), "%s: %d in, %d out" % (label, n_in, n_out))
                  & res.expect(delay is not None and delay < base + c.SLACK_S, "%s: delay %s s" % (label, delay))
                  & walk.spliced(prog, ref, a, end or b, brk, c.DUR, label, shift))
            for cond, what in extra:
                ok &= res.expect(cond, "%s: %s" % (label, what))
            res.add(label, n_in, n_out, ok, "delay %.2f s" % (delay or -1))

        stretch("none (4-10 s)", pin, pout, start, 3, c.MIX_FROM, 4, p_path, c.BREAK1)
        # While the damage lasts and after: every unit that arrives whole enough goes out.
        during = walk.delay(pin, pout, start, c.MIX_FROM, c.MIX_TO)
        stretch("garbage %(garbage)d, truncated %(truncated)d, lost %(dropped)d, doubled %(duplicated)d" % harm,
                pin, pout, start, c.MIX_TO, c.PAUSE, c.MIX_TO, p_path, c.BREAK2,
                (during is not None and during < base + c.SLACK_S, "delay in the damage %s s" % during),
                (res.within(*walk.counts(pin, pout, start, c.MIX_FROM, c.MIX_TO)), "units lost in the damage %r"
                 % (walk.counts(pin, pout, start, c.MIX_FROM, c.MIX_TO),)),
                ("Error muxing packet" not in log, "damaged packets reached the muxer"),
                (harm["garbage"] > 10 and harm["truncated"] > 10 and harm["dropped"] > 5
                 and harm["duplicated"] > 10, "the sender did too little harm: %r" % harm))
        # Nothing comes in for 10 s: the slate goes out; from the next key frame on the same pace,
        # no added delay.
        stretch("input stops for 10 s, resumes", pin, pout, start, c.RESUME + 1.5, c.P_END, c.RESUME + 2, p_path,
                c.BREAK3, ("slate: the filler airs" in log, "no slate during the outage"))
        # Restarts 15 s and an hour ahead: the programme goes on from the next key frame, its
        # times moved back onto the output's clock.
        for n, (name, label, path, q_start, q) in enumerate(
                (("q1", "source restarts 15 s ahead", q1_path, q1_start, c.Q1),
                 ("q2", "source restarts an hour ahead", q2_path, q2_start, c.Q2))):
            shift = fl.shift_of(log, restarts=n + 1)
            qin, qout = walk.flows(*sent[name], q_start, shift)
            first = min((pts for _, pts, _ in qout.units if pts >= q_start), default=None)
            res.expect(first is not None and first < q_start + 2 * TICKS, "%s: no output in time" % label)
            back = ((first or q_start) - q_start) / TICKS + 1
            stretch(label, qin, qout, q_start, back, q[1] - 1, back, path, q[2], end=q[1], shift=shift)
        walk.ending(rc, took)
        res.finish()


class Cues(Base):
    DUR, BREAK1, BREAK2, END, BIG_AT = 2, 11, 17, 21, 14

    def cues(self):
        # Well formed as sections (the demuxer checks the CRC), but not as cues.
        cut_short = kt.gen.splice_info_section(5, b"\x00\x00\x00\x01\x7f")[:-4].hex()
        specs = ["type=raw,hex=fd3000aabbcc,send=2.5", "type=raw,hex=%s,send=3" % cut_short]
        # A cue every 100 ms for 4 s: the same splice_insert, splice_null and
        # time_signal in turn; during the break no splice_insert, so nothing may change.
        kinds = ["at=%d,dur=%d,id=5" % (self.BREAK1, self.DUR), "type=null", "type=time_signal,at=%d" % self.BREAK1]
        specs += ["%s,send=%.1f" % (kinds[n % 3], 4 + n / 10) for n in range(40)]
        specs += ["%s,send=%.1f" % (kinds[1 + n % 2], self.BREAK1 + 0.2 + n / 10) for n in range(16)]
        specs.append("type=null,send=%d" % self.BIG_AT)       # placeholder for the 255 components
        specs.append("at=%d,dur=%d,id=9" % (self.BREAK2, self.DUR))
        return specs

    def test_bad_many_and_huge_cues(self):
        res, gen = fl.Results("cues"), kt.gen
        prog, specs = self.path("cues.ts"), self.cues()
        info = gen.generate(prog, duration=self.END, cues=specs)
        start = info["start"]
        big = gen.splice_insert(77, components=[(i, (start + self.BIG_AT * TICKS) % kestrow_clock.WRAP) for i in range(255)],
                                duration=self.DUR * TICKS)
        placeholder = [c for c in info["cues"] if c["spec"] == "type=null,send=%d" % self.BIG_AT][0]
        self.assertEqual(fl.put_section(prog, placeholder["packet"], big, SCTE_PID), 9)
        inserts = sum(1 for s in specs if "id=5" in s)
        nulls = sum(1 for s in specs if s.startswith("type=null")) - 1
        signals = sum(1 for s in specs if s.startswith("type=time_signal"))

        svc = self.service("--mux-rate", "4000000", "--input-loss-slate=0", name="cues")
        self.assertTrue(svc.ready())
        svc.send(prog, log=svc.times, record=svc.rec)
        rc, took = svc.stop(settle=2)
        log = svc.text()
        # Intake of each kind of cue, as the log tells it.
        for line, want in (("Failed to parse SCTE-35 packet: -22", 1),    # table_id 0xFD
                           ("Failed to parse SCTE-35 packet: -34", 2),    # cut short; 255 components
                           ("splice_insert.splice_event_id=5", inserts),
                           ("splice_insert.splice_event_id=0", nulls),
                           ("time_signal.segmentation_event_id=0", signals)):  # no segmentation descriptor
            res.expect(log.count(line) == want, "%r: %d lines, %d cues" % (line, log.count(line), want))
        res.expect(big.hex().upper() in log, "the dump of the 1566-byte cue is not whole in the log")
        # Every cue leaves as it came, the huge one in one piece.
        sent = [p["data"] for p in gen.check(prog, "--hex")["packets"] if p["pid"] == SCTE_PID]
        got = [p["data"] for p in gen.check(svc.out, "--hex")["packets"] if p["pid"] == SCTE_PID]
        first = next((i for i, c in enumerate(sent) if got and c == got[0]), None)
        res.expect(first is not None and got == sent[first:], "cue sections changed on their way")
        res.expect(big in got, "the 255-component cue did not come out whole")
        ok = self.spliced(res, prog, svc.out, start, [(self.BREAK1, self.DUR), (self.BREAK2, self.DUR)], "breaks")
        fin, fout = fl.Flow(svc.rec, svc.times, PIDS, start), fl.Flow(svc.out, svc.arrivals, PIDS, start)
        for label, a, b in (("2 cues that do not parse", 2.5, 3.5), ("a cue every 100 ms for 4 s", 4, 8),
                            ("splice_insert with 255 components", self.BIG_AT - 1, self.END - 1)):
            n_in, n_out = (f.count(start + int(a * TICKS), start + int(b * TICKS)) for f in (fin, fout))
            res.add(label, n_in, n_out, res.expect(res.within(n_in, n_out), "%s: %d in, %d out" % (
                label, n_in, n_out)) and ok)
        fl.Walk(res, svc, self.filler, self.d, PIDS).ending(rc, took)
        res.finish()


class Filler(Base):
    BREAK, DUR, END = 5, 3, 11

    def test_fillers_that_cannot_stand_in(self):
        res, gen = fl.Results("filler"), kt.gen
        fillers = {k: self.path(k.replace(" ", "_") + ".ts") for k in ("text", "empty", "missing", "no packets",
                                                                       "another codec")}
        with open(fillers["text"], "w") as f:
            f.write("This is not a transport stream.\n" * 200)
        open(fillers["empty"], "wb").close()
        # The PAT, PMT and SDT packets of a filler: its streams are declared, none carries a packet.
        with open(self.filler, "rb") as f:
            data = f.read()
        psi = [data[i:i + fl.TS] for i in range(0, len(data), fl.TS)
               if ((data[i + 1] & 0x1F) << 8 | data[i + 2]) in (0x0000, 0x0011, 0x1000)]
        with open(fillers["no packets"], "wb") as f:
            f.write(b"".join(psi[:30]))
        gen.generate(fillers["another codec"], filler=True, duration=6, video_codec="hevc", video_pid=0x200,
                     audio_pids=[0x201, 0x202])
        prog = self.path("prog.ts")
        start = gen.generate(prog, duration=self.END, cues=["at=%d,dur=%d" % (self.BREAK, self.DUR)])["start"]
        services = {kind: self.service("--mux-rate", "4000000", name="f%d" % n, filler=path)
                    for n, (kind, path) in enumerate(fillers.items())}
        for kind, wait in (("text", 3), ("empty", 0.5), ("missing", 0.5), ("no packets", 0.5)):
            self.assertFalse(services[kind].ready(timeout=wait), "%s filler: a session started" % kind)
        self.assertTrue(services["another codec"].ready())
        senders = [threading.Thread(target=svc.send, args=(prog,), kwargs={"record": svc.rec, "log": svc.times})
                   for svc in services.values()]
        for t in senders:
            t.start()
        for t in senders:
            t.join()
        time.sleep(1.5)
        for kind, svc in services.items():
            loads = kind == "another codec"
            rc, took = svc.stop(settle=0.5 if loads else 0)
            fin, fout = fl.Flow(svc.rec, None, PIDS, start), fl.Flow(svc.out, None, PIDS, start)
            n_in, n_out = (f.count(start + 3 * TICKS, start + (self.END - 1) * TICKS) for f in (fin, fout))
            report = kt.sanitizer_report(svc.stderr_text())
            ok = res.expect(report is None, "%s sanitizer: %s" % (kind, report))
            if not loads:
                # One line, no session, a prompt stop with a failure status (a
                # missing file is refused with the options, before the start).
                status = 255 if kind == "missing" else 1
                said = svc.stderr_text() if status == 255 else svc.text()
                line = "failed to load filler [%s]" if kind != "no packets" else "the filler [%s] cannot be used: no packets"
                line = "--filler" if status == 255 else line % fillers[kind]
                ok &= (res.expect(said.count(line) == 1, "%s filler: no failure line" % kind)
                       & res.expect(os.path.getsize(svc.out) == 0, "%s filler: output sent" % kind)
                       & res.expect(rc == status and took < 1.5, "%s filler: exit %r after %.2f s" % (kind, rc, took)))
                res.add("filler is %s: does not load, prompt stop" % kind, n_in, n_out, ok)
                continue
            # Loads, but its video cannot stand in for the programme's: the programme goes through untouched.
            ok &= res.expect(rc == 0 and took < 2.0, "%s: exit %r after %.2f s" % (kind, rc, took))
            ok &= res.expect(res.within(n_in, n_out), "%s: %d in, %d out" % (kind, n_in, n_out))
            try:
                check = splicecheck.Splice(prog, fillers[kind] if kind == "another codec" else self.filler, svc.out)
                for st in [check.video] + list(check.audio.values()):
                    first = next(i for i, p in enumerate(st.src)
                                 if (p["hash"], p["pts"]) == (st.out[0]["hash"], st.out[0]["pts"]))
                    want = [(p["pts"], p["dts"], p["hash"]) for p in st.src[first:first + len(st.out)]]
                    ok &= res.expect([(p["pts"], p["dts"], p["hash"]) for p in st.out] == want,
                                     "%s: PID 0x%x changed on its way" % (kind, st.pid))
                    ok &= res.expect(st.out[0]["pts"] < start + (self.BREAK - 1) * TICKS,
                                     "%s: PID 0x%x starts too late" % (kind, st.pid))
            except (AssertionError, StopIteration, IndexError) as e:
                ok = res.expect(False, "%s: %r" % (kind, e))
            res.add("filler with %s: relayed unspliced" % kind, n_in, n_out, ok, "exit %r in %.2f s" % (rc, took))
        res.finish()


def post(port, body, timeout=10):
    """(HTTP status or None, body or the error, seconds) of one request."""
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    t0 = time.monotonic()
    try:
        c.request("POST", "/RPC2", body=body, headers={"Content-Type": "text/xml"})
        r = c.getresponse()
        return r.status, r.read(), time.monotonic() - t0
    except (OSError, http.client.HTTPException) as e:
        return None, repr(e), time.monotonic() - t0
    finally:
        c.close()


def fault_of(reply):
    """The faultCode of a reply, or None."""
    try:
        if reply[0] == 200:
            xmlrpc.client.loads(reply[1])
    except xmlrpc.client.Fault as f:
        return f.faultCode
    except Exception:
        pass
    return None


class Control(Base):
    """The output keeps the mux rate all along: a UDP sender that falls
    behind it adds delay without end."""
    BREAK, DUR, END = 22, 2, 26
    MUX_RATE = 20000000           # the default
    VALID = xmlrpc.client.dumps((1, "two"), "kestrow.invented").encode()

    def attacks(self, port):
        def many():
            replies = [None] * 200

            def one(i):
                replies[i] = post(port, self.VALID, timeout=30)
            threads = [threading.Thread(target=one, args=(i,)) for i in range(200)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            good = sum(1 for r in replies if fault_of(r) == 1)
            return good == 200, "%d of 200 answered with fault 1, slowest %.2f s" % (good, max(r[2] for r in replies))

        def idle():
            # Opened without waiting: the server takes as many as it will, the
            # rest wait in the listen queue. 200 never send; 50 send the start
            # of a request and stop.
            conns = []
            for _ in range(250):
                s = socket.socket()
                s.setblocking(False)
                s.connect_ex(("127.0.0.1", port))
                conns.append(s)
            time.sleep(0.5)
            for s in conns[200:]:
                try:
                    s.send(b"POST /RPC2 HTTP/1.1\r\nHost: x\r\nContent-Length: 5000\r\n\r\n<?xml")
                except OSError:
                    pass
            time.sleep(3)
            for s in conns:
                s.close()
            return True, "held 3 s, then closed"

        def faulted(body, valid_fault):
            f = fault_of(post(port, body))
            return f is not None and (valid_fault or f != 1), "fault %r" % f

        def huge():
            # Refused: an HTTP error, or the connection closed while the body was still coming.
            status = post(port, b"<?xml version='1.0'?><methodCall><methodName>big</methodName><params><param>"
                          b"<value><string>" + b"A" * (1 << 20) + b"</string></value></param></params></methodCall>")[0]
            return status != 200, "HTTP %s" % (status or "connection closed")
        return (("malformed XML", lambda: faulted(b"<?xml version='1.0'?><methodCall><methodName>x</methodName>"
                                                  b"<params><param><value><int>1</int></value></param>", False)),
                ("8 KiB that is not XML", lambda: faulted(os.urandom(8192), True)),
                ("a body of 1 MiB", huge), ("200 calls at once", many),
                ("200 idle and 50 half-sent connections", idle))

    def test_abuse_of_the_control_port(self):
        res, c = fl.Results("control"), self
        prog = self.path("prog.ts")
        start = kt.gen.generate(prog, duration=c.END, cues=["at=%d,dur=%d" % (c.BREAK, c.DUR)])["start"]
        svc = self.service("--input-loss-slate=0", name="ctl")
        self.assertTrue(svc.ready())
        sender = threading.Thread(target=svc.send, args=(prog,), kwargs={"record": svc.rec, "log": svc.times})
        t_send = time.monotonic()
        sender.start()
        time.sleep(4)
        windows = []
        for name, action in self.attacks(svc.port):
            t0 = time.monotonic()
            ok, note = action()
            windows.append((name, t0, time.monotonic(), ok, note))
        # Afterwards: a valid call, answered promptly.
        reply = post(svc.port, c.VALID, timeout=15)
        answered = res.expect(fault_of(reply) == 1 and reply[2] < 5, "valid call afterwards: %r after %.2f s" % (
            fault_of(reply), reply[2]))
        sender.join()
        t_sent = time.monotonic()
        rc, took = svc.stop(settle=2)

        fin, fout = fl.Flow(svc.rec, svc.times, PIDS, start), fl.Flow(svc.out, svc.arrivals, PIDS, start)
        for name, t0, t1, ok, note in windows:
            a, b = fl.relayed(fin, fout, t0, t1 + 0.5)
            res.add(name, a, b, res.expect(ok, "%s: %s" % (name, note))
                    & res.expect(res.within(a, b), "%s: %d units in, %d out" % (name, a, b)), note)
        # The output's pace: what arrived between 5 s in and 1 s before the end.
        # A sanitizer build starved of CPU by other work on the machine (load
        # above twice the cores) cannot keep real time; the pace and the delay
        # are then reported, not judged.
        load = os.getloadavg()[0]
        judged = load <= 2 * os.cpu_count()
        base = fl.latency(fin, fout, 0x100, start + 1 * TICKS, start + 4 * TICKS)
        base_delay = statistics.median(base) if base else 0
        lat = fl.latency(fin, fout, 0x100, start + 4 * TICKS, start + (c.BREAK - 1) * TICKS)
        res.expect(lat and (max(lat) < base_delay + 1.5 or not judged),
                   "delay during the abuse up to %.2f s, %.2f s before" % (max(lat or [0]), base_delay))
        span = [(t, off) for t, off in fl.read_times(svc.arrivals) if t_send + 5 <= t <= t_sent - 1]
        rate = (span[-1][1] - span[0][1]) * 8 / (span[-1][0] - span[0][0]) if len(span) > 1 else 0
        paced = res.expect(c.MUX_RATE * 0.98 <= rate <= c.MUX_RATE * 1.02 or not judged,
                           "output at %.0f bit/s, the mux rate is %d" % (rate, c.MUX_RATE))
        res.add("relay at the mux rate", "", "", paced, "%.4f of it%s" % (
            rate / c.MUX_RATE, "" if judged else ", load %.1f: not judged" % load))
        ok = self.spliced(res, prog, svc.out, start, [(c.BREAK, c.DUR)], "break after the abuse")
        res.add("afterwards: valid call, break", "", "", answered and ok)
        fl.Walk(res, svc, self.filler, self.d, PIDS).ending(rc, took, limit=2.5)
        res.finish()


STAMP = re.compile(r"^. \[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.(\d{3})\] (.*)$")


def cue_times(text):
    """Wall-clock times of the cue lines of a log text."""
    out = []
    for line in text.splitlines():
        m = STAMP.match(line)
        if m and m.group(3).endswith("splice_insert.splice_event_id=0"):
            out.append(time.mktime(time.strptime(m.group(1), "%Y-%m-%d %H:%M:%S")) + int(m.group(2)) / 1000.0)
    return out


def namespaces_work():
    try:
        return subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c",
                               "mount -t tmpfs -o size=1m tmpfs /mnt && umount /mnt"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


class Log(Base):
    """Tests run as root, whom file modes do not stop, so writes are made to
    fail for real: a plain file where the directory was (ENOTDIR), a tmpfs
    remounted read-only (EROFS) or full (ENOSPC), each put right after."""
    BREAK, DUR, END = 19, 2, 24

    def test_log_place_fails_during_the_run(self):
        res, c = fl.Results("log"), self
        prog = self.path("prog.ts")
        cues = ["type=null,send=%.1f" % (1 + k / 2) for k in range(2 * (c.END - 2))]
        start = kt.gen.generate(prog, duration=c.END, cues=cues + ["at=%d,dur=%d,id=3" % (c.BREAK, c.DUR)])["start"]
        logdir = self.path("logs")
        a = kt.Service(self.d, "--mux-rate", "4000000", "--input-loss-slate=0", filler=self.filler, name="a",
                       log=os.path.join(logdir, "app.log"))
        self.addCleanup(a.close)
        services, b = [a], None
        if namespaces_work():
            tmp = self.path("tmpfs")
            os.mkdir(tmp)
            b = kt.Service(self.d, "--mux-rate", "4000000", "--input-loss-slate=0", filler=self.filler, name="b",
                           log=os.path.join(tmp, "app.log"), wrap=["unshare", "-m", "--propagation", "private",
                                                                   "sh", "-c", 'mount -t tmpfs -o size=16m tmpfs '
                                                                   '"$0" && exec "$@"', tmp])
            self.addCleanup(b.close)
            services.append(b)
        for svc in services:
            self.assertTrue(svc.ready())
            svc.rec, svc.times = self.path(svc.name + ".sent.ts"), self.path(svc.name + ".sent.times")

        def in_ns(*args):
            subprocess.run(["nsenter", "-t", str(b.proc.pid), "-m"] + list(args), check=True, timeout=10)
        senders = [threading.Thread(target=svc.send, args=(prog,), kwargs={"record": svc.rec, "log": svc.times})
                   for svc in services]
        for t in senders:
            t.start()
        marks = {}   # fault -> [wall clock from, to, monotonic from, to]

        def mark(name, begin):
            if begin:
                marks[name] = [time.time(), None, time.monotonic(), None]
            else:
                marks[name][1], marks[name][3] = time.time(), time.monotonic()
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
        moved_at = time.time()
        if b:
            ballast = os.path.join(os.path.dirname(b.log_view), "ballast")
            with open(ballast, "wb") as f:
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
            os.unlink(ballast)
            mark("full", False)
        for t in senders:
            t.join()
        time.sleep(1)
        b_text = b.text() if b else ""
        for svc in services:
            svc.code, svc.took = svc.stop(settle=2)

        def row(svc, label, fault, written=None, everything=None):
            """Relay during the fault; with written, the cue lines of the failing
            stretch are on standard error (everything), not in the file."""
            w0, w1, m0, m1 = marks[fault]
            n_in, n_out = fl.relayed(fl.Flow(svc.rec, svc.times, PIDS, start),
                                     fl.Flow(svc.out, svc.arrivals, PIDS, start), m0, m1 + 0.5)
            ok = res.expect(res.within(n_in, n_out), "%s: %d units in, %d out" % (label, n_in, n_out))
            if written is not None:
                inside = [t for t in everything if w0 + 0.3 < t < w1 - 0.3]
                ok &= (res.expect(len(inside) >= 4, "%s: %d cue lines on standard error" % (label, len(inside)))
                       & res.expect(not [t for t in written if w0 + 0.3 < t < w1 - 0.3],
                                    "%s: lines reached the file that could not be written" % label)
                       & res.expect([t for t in written if t < w0] and [t for t in written if t > w1 + 0.3],
                                    "%s: no lines in the file before or after" % label))
            return n_in, n_out, ok

        # A: directory replaced by a file, then back; file moved away.
        err_a = cue_times(a.stderr_text())
        moved = cue_times(kt.read_text(os.path.join(logdir, "app.log.moved")))
        now = cue_times(kt.read_text(os.path.join(logdir, "app.log")))
        written = cue_times(kt.read_text(os.path.join(logdir + ".away", "app.log"))) + moved + now
        w0, w1 = marks["dir"][:2]
        n_in, n_out, ok = row(a, "log directory replaced by a file (ENOTDIR), then back", "dir", written, err_a)
        ok &= res.expect(moved and min(moved) > w1, "the log file was not created again after the directory came back")
        res.add("log directory replaced by a file (ENOTDIR), then back", n_in, n_out, ok)
        outside = [t for t in err_a if not w0 - 0.3 < t < w1 + 0.3]
        res.add("log file moved away: created again", "", "",
                res.expect(now and min(now) > moved_at, "the moved log file was not created again")
                & res.expect(not [t for t in moved if t > moved_at + 0.05], "lines went on into the moved file")
                & res.expect(len(written) >= len(outside), "lines lost outside the failing stretch: %d in files, "
                             "%d on standard error outside it" % (len(written), len(outside))))
        if b:
            written_b = cue_times(b_text)
            label = "log on a tmpfs remounted read-only (EROFS), then rw"
            res.add(label, *row(b, label, "ro", written_b, cue_times(b.stderr_text())))
            # Nothing fits but what the file's last page had free; once
            # emptied, the lines go on into the same file.
            label = "log on a full tmpfs (ENOSPC), then emptied"
            n_in, n_out, ok = row(b, label, "full")
            ok &= res.expect(growth_full <= 4096, "the log grew %d bytes on a full file system" % growth_full)
            ok &= res.expect([t for t in written_b if t > marks["full"][1] + 0.3], "no lines after the tmpfs emptied")
            res.add(label, n_in, n_out, ok)
        else:
            res.add("log on a read-only or full tmpfs", "", "", True, "skipped: no mount namespace here")
        for svc in services:
            self.spliced(res, prog, svc.out, start, [(c.BREAK, c.DUR)], "%s: break after the faults" % svc.name)
            fl.Walk(res, svc, self.filler, self.d, PIDS).ending(svc.code, svc.took)
        res.finish()


class Overflow(Base):
    """--debug --debug traces every packet of a break, the programme (1500
    frames a second, 15 audio streams; the service takes its input at real
    time, never faster) runs through a 32 s break, and standard error is a
    pipe that a slow console reads at 20 kB/s, so the log writer, which
    copies every line there, falls far behind. The break after the flood is
    spliced exactly."""
    AUDIO = [0x101 + i for i in range(15)]   # with the video, the 16 streams a filler may have
    LONG_AT, LONG_DUR, SHORT_AT, SHORT_DUR, END = 5, 32, 40, 2, 44  # the first cue after the start-up
    SPLIT = 37.5                  # the flood ends here; the console catches up before the rest
    QUEUE_BOUND = 128000
    OVERFLOW = "ERROR! message queue OVERFLOW!!!"

    def heavy(self, path, filler, duration, cues=()):
        return kt.gen.generate(path, filler=filler, duration=duration, size="160x120", fps="1500", gop=1500,
                               audio=",".join(["mp2"] * len(self.AUDIO)), audio_pids=self.AUDIO,
                               audio_bitrate="32k", cues=list(cues))

    def test_overflowing_log_queue(self):
        res, c = fl.Results("overflow"), self
        pids = [0x100] + c.AUDIO
        self.heavy(self.filler, True, c.LONG_DUR + 2)
        prog = self.path("prog.ts")
        start = self.heavy(prog, False, c.END, ["at=%d,dur=%d" % (c.LONG_AT, c.LONG_DUR),
                                                "at=%d,dur=%d" % (c.SHORT_AT, c.SHORT_DUR)])["start"]
        # A small quarantine, so that what AddressSanitizer keeps of freed
        # memory does not hide what the service holds.
        env = {"ASAN_OPTIONS": ":".join(filter(None, [os.environ.get("ASAN_OPTIONS", ""), "quarantine_size_mb=4"]))}
        svc = kt.started(self, self.d, "--debug", "--debug", "--input-loss-slate=0", filler=self.filler,
                         name="flood", env=env, console_rate=20000, console_watch=c.OVERFLOW.encode())
        time.sleep(0.5)
        rss_before = svc.memory()[0]
        samples, sampling = [], threading.Event()

        def sample():
            while not sampling.is_set():
                try:
                    samples.append((time.monotonic(), svc.memory()[0]))
                except (OSError, KeyError):
                    break
                time.sleep(0.1)
        sampler = threading.Thread(target=sample)
        sampler.start()
        flood, rest = fl.split(prog, self.path("flood.ts"), self.path("rest.ts"), 0x100,
                               start + int(c.SPLIT * TICKS), start)
        rec, times = self.path("sent.ts"), self.path("sent.times")
        svc.send(flood, record=rec, log=times)
        t_sent = time.monotonic()
        time.sleep(0.5)
        sampling.set()
        sampler.join()
        seen = svc.console.seen
        svc.console.rate = None           # the console catches up; the writer drains
        res.expect(kt.wait_for(lambda: svc.console.idle() > 1.0, 60), "the console never caught up")
        mark = len(svc.text())
        svc.send(rest, record=self.path("sent2.ts"), log=self.path("sent2.times"))
        res.expect(kt.wait_for(lambda: len(svc.text()) > mark + 10000, 10),
                   "the trace lines of the break after the flood never reached the log")
        rc, took = svc.stop(settle=1)
        log, err = svc.text(), svc.stderr_text()

        res.expect(seen is not None and seen < t_sent, "no overflow message while the flood lasted")
        seen = seen or t_sent
        fin, fout = fl.Flow(rec, times, pids, start), fl.Flow(svc.out, svc.arrivals, pids, start)
        n_in, n_out = fl.relayed(fin, fout, seen, t_sent)
        a, b = fin.times(0x100), fout.times(0x100)
        delays = [(b[k] - a[k], a[k]) for k in a if k in b and a[k] is not None and b[k] is not None]
        before = [x for x, t in delays if t < seen]
        # The demuxer holds the last frame until the next one comes: after the pause.
        during = [x for x, t in delays if seen <= t <= t_sent - 0.5]
        base = statistics.median(before) if before else 0
        worst = max(during) if during else None
        dropped = err.count(c.OVERFLOW)
        res.add("%d+ pending lines (%d dropped), relay during the overflow" % (c.QUEUE_BOUND, dropped), n_in, n_out,
                res.expect(res.within(n_in, n_out), "during the overflow: %d units in, %d out" % (n_in, n_out))
                & res.expect(worst is not None and worst < base + 1.0,
                             "delay during the overflow up to %s s, %.2f s before" % (worst, base))
                & res.expect(dropped > 1000, "only %d overflow messages" % dropped))

        # Memory. The sockets' buffers (rings of fifo_size) take new pages as
        # the stream passes through them, so memory grows with the bytes in
        # and out; on top of that the queue may hold QUEUE_BOUND lines, each
        # with the allocator's header, red zones and rounding.
        per_line = max((len(line) + 1 for line in log.splitlines()), default=200) + 128
        arrivals, sent_rows = fl.read_times(svc.arrivals), fl.read_times(times)

        def stream_bytes(t):
            """Bytes sent and received up to the monotonic time t."""
            return sum(([off for when, off in rows if when <= t] or [0])[-1] for rows in (arrivals, sent_rows))
        peak_t, peak = max(samples, key=lambda x: x[1]) if samples else (t_sent, rss_before)
        allowance = c.QUEUE_BOUND * per_line + stream_bytes(peak_t) + 24 * 2 ** 20
        grew = (peak - rss_before) * 1024
        ok = res.expect(samples and grew <= allowance, "memory grew %.1f MiB, bound %.1f MiB" % (
            grew / 2 ** 20, allowance / 2 ** 20))
        # Once the queue is full, lines are dropped: memory grows no faster
        # than the stream brings pages (the queue alone would add MiB a second).
        full = [(t, r) for t, r in samples if seen <= t <= t_sent]
        if res.expect(len(full) >= 5, "the overflow lasted too short to measure (%d samples)" % len(full)):
            span = full[-1][0] - full[0][0]
            slope = (full[-1][1] - full[0][1]) * 1024 / span
            stream_rate = (stream_bytes(full[-1][0]) - stream_bytes(full[0][0])) / span
            ok &= res.expect(slope <= stream_rate + 2 ** 20, "memory grew %.1f MiB/s while the queue was full, "
                             "the stream brings %.1f MiB/s" % (slope / 2 ** 20, stream_rate / 2 ** 20))
        res.add("memory while the queue is full", "", "", ok, "+%.1f MiB at the peak, bound %.1f" % (
            grew / 2 ** 20, allowance / 2 ** 20))
        try:
            # The console's catching up pauses the input: the rest comes on the output's clock.
            cut = fl.cut(svc.out, self.path("after.cut.ts"), 0x100, start + int(c.SPLIT * TICKS),
                         start + c.END * TICKS, start, pids=c.AUDIO, shift=fl.shift_of(log))
            check = splicecheck.Splice(prog, self.filler, cut)
            check.expect_valid()
            check.expect_break(0, start + c.SHORT_AT * TICKS, c.SHORT_DUR * TICKS)
            res.add("break after the flood", "", "", True)
        except AssertionError as e:
            res.expect(False, "break after the flood: %s" % e)
        fl.Walk(res, svc, self.filler, self.d, pids).ending(rc, took, limit=15)
        res.finish()


class Timeline(Base):
    """Each row: a 16 s programme whose time line breaks at 6 s (generator options),
    or that a network holds for moments shorter than the input-loss threshold,
    sent as the row says; a 2 s break announced at 12 s follows. The output
    up to the last datagram sent, read as a receiver reads it: no silence
    over 0.25 s (plus the time the service waited for a CPU then), no PCR
    step, PCRs at most 40 ms apart, no continuity error, PAT and PMT at most
    100 ms apart and the SDT 2 s, no second with video and without audio,
    every cue relayed, no failed output check; the video's delay after the
    fault within 0.1 s of the delay before; nothing lost in the 1.5 s after
    the programme came back; the as-run line the row names; after a restart,
    the as-run time of the last break's end within 1 s of when it aired."""
    NEXT = "at=12,dur=2"  # before the old time line's times come back after the restart 17 s back
    ROWS = (  # label, generator options, sending, (as-run event, reason) or None
        ("outage between breaks", {"outages": ["at=6,dur=3"]}, {}, None),
        ("outage inside a break", {"outages": ["at=6,dur=3"], "cues": ["at=5,dur=5"]}, {},
         ("break_end", "input_lost")),
        ("pause and resume", {"split": "6:%s"}, {"pause": 3}, None),
        ("restart an hour back", {"restarts": ["at=6,jump=-3600"], "cues": ["at=9,dur=2,lead=4"]}, {},
         ("cancelled", "source_restart")),
        ("restart 17 s back", {"restarts": ["at=6,jump=-17,cc_reset=0,version=1,disc=1"]}, {}, None),
        ("restart inside a break", {"restarts": ["at=6,jump=-3600"], "cues": ["at=5,dur=3"]}, {},
         ("break_end", "duration")),
        ("cue in an outage", {"outages": ["at=5,dur=3"], "cues": ["at=7,dur=2,lead=3"]}, {},
         ("break_end", "input_lost")),
        ("stall then burst", {}, {"faults": ["from=6,to=9,stall=1"]}, None),
        ("input at twice real time", {}, {"speed": 2}, None),
        ("input at 1.1 times real time", {}, {"faults": ["from=2,to=18,fast=1.1"], "fast": 1}, None),
        ("restart in an outage", {"restarts": ["at=6,jump=-3600"], "outages": ["at=6,dur=2"]}, {}, None),
        ("stall, then a restart inside a break", {"restarts": ["at=6,jump=-3600"], "cues": ["at=5,dur=3"]},
         {"faults": ["from=3.4,to=3.8,stall=1"]}, ("break_end", "duration")),
        ("restart 1.2 s back", {"restarts": ["at=6,jump=-1.2"]}, {}, None),
        ("held 150 ms every 2 s", {}, {"faults": ["from=%d,to=%g,stall=1" % (t, t + 0.15) for t in range(2, 16, 2)],
                                        "held": 1}, None),
    )

    def walk(self, table, rows):
        res = fl.Results(table)
        for n, (label, opts, sending, asrun) in enumerate(self.ROWS):
            if n in rows:
                self.row(res, "t%d" % n, label, dict(opts), sending, asrun)
        res.finish()

    # Two halves, so that the suite can run them side by side.
    def test_the_output_keeps_its_clock_through_outages_and_pauses(self):
        self.walk("timeline", (0, 1, 2, 6, 7, 12, 13))

    def test_the_output_keeps_its_clock_through_restarts_and_fast_input(self):
        self.walk("timeline_restarts", (3, 4, 5, 8, 9, 10, 11))

    def as_a_receiver(self, res, label, svc, sent, until):
        """Tables, audio beside video (on the output's clock: the wire's silences are checked apart), cues
        and the output's own checks, up to until (arrival log time); sent: the files the sender sent."""
        with open(svc.arrivals) as f:
            first = float(f.readline().split()[0])
        span = kt.tr290(svc.out, times=svc.arrivals, window=(None, until - first))
        out = kt.tr290(svc.out, window=(None, span["end_s"] - span["start_s"]))
        cues = [sum(s["sections"] for path in sent for s in kt.tr290(path)["streams"] if s["stream_type"] == 0x86)]
        gaps = {"PAT": out["pat"]["max_interval_ms"], "SDT": out["sdt"]["max_interval_ms"] / 20}
        gaps.update(("PMT %d" % p["program"], p["max_interval_ms"]) for p in out["pmts"])
        per_s = {s["pid"]: s["pes_per_second"] for s in out["streams"]}
        # A second with pictures and no sound (a few pictures decoded ahead of the slate's first sound aside).
        mute = [i for i, n in enumerate(per_s[0x100][1:-1], 1) if n > 4 and not (per_s[0x101][i] and per_s[0x102][i])]
        relayed = [sum(s["sections"] for s in out["streams"] if s["stream_type"] == 0x86)]
        return (res.expect(max(gaps.values()) <= 100, "%s: tables apart %r ms (SDT / 20)" % (label, gaps))
                & res.expect(not mute, "%s: video without audio in seconds %r" % (label, mute))
                & res.expect(relayed == cues, "%s: cue sections %r relayed of %r" % (label, relayed, cues))
                & res.expect("the output failed its" not in svc.text(), "%s: an output check failed" % label))

    def row(self, res, name, label, opts, sending, asrun):
        prog, after, record = self.path(name + ".ts"), self.path(name + "_after.ts"), self.path(name + ".asrun")
        if "split" in opts:
            opts["split"] %= after
        opts["cues"] = opts.get("cues", []) + [self.NEXT]
        # Times from 40 s: a time line 17 s back stays on the same side of the wrap.
        start = kt.gen.build(prog, duration=16, start_pts=40 * TICKS, **opts)["start"]
        jump = float(opts["restarts"][0].split("jump=")[1].split(",")[0]) if "restarts" in opts else 0
        svc = self.service("--mux-rate", "4000000", "--asrun-file=" + record, name=name)
        self.assertTrue(svc.ready())
        sent = [(svc.rec, svc.times)]
        late = svc.send(prog, speed=sending.get("speed", 1.0), record=svc.rec, log=svc.times,
                        faults=[kt.udp.Fault(f) for f in sending.get("faults", ())])["late_ms"]
        fast = "speed" in sending or "fast" in sending
        if "pause" in sending:
            time.sleep(sending["pause"])
            sent.append((self.path(name + "_2.sent.ts"), self.path(name + "_2.sent.times")))
            late = max(late, svc.send(after, record=sent[1][0], log=sent[1][1])["late_ms"])
        rc, took = svc.stop(settle=1)
        log = svc.text()
        units = [u for rec, times in sent for u in kestrow_report.units(rec, times, 0x100)]
        w = kestrow_report.wire(svc.out, svc.arrivals, until=units[-1][1])
        arrived = kestrow_report.match(units, kestrow_report.units(svc.out, svc.arrivals, 0x100))
        t0, t_end = units[0][1], units[-1][1]
        delay = [statistics.median([a - t for (_, t, _), a in zip(units, arrived) if a and lo <= t - t0 <= hi] or [9])
                 for lo, hi in ((2, 5.5), (t_end - t0 - 3, t_end - t0))]
        # The programme's first picture back, and the 1.5 s after it, before the next break (its
        # leading pictures aside).
        back = units[kestrow_report.returned(units, arrived, t0 + 5.5) or -1]
        lost = sum(1 for (_, t, pts), a in zip(units, arrived) if back[1] <= t < back[1] + 1.5 and not a
                   and pts > back[2] and not fast)
        quiet = (w["silence_at"], w["silence_at"] + w["silence"])
        busy = svc.waits.waited(*quiet)
        # What the service and the machine waited for in the 2 s before, should a silence need explaining.
        before = "; before it: %.3f s for a CPU, machine stalled %r; the service's threads then: %s" % (
            svc.waits.waited(quiet[0] - 2, quiet[0]), svc.waits.stalls(quiet[0] - 2, quiet[1]),
            svc.waits.threads(*quiet))
        ok = (res.expect(w["silence"] < 0.25 + busy, "%s: output silent for %.3f s at %.1f s, %.3f s of it waiting "
                         "for a CPU%s" % (label, w["silence"], quiet[0] - units[0][1], busy, before))
              & res.expect(not w["steps"] and max(w["pcr_max_ms"].values()) <= 40,
                           "%s: PCR steps %r, longest interval %r" % (label, w["steps"], w["pcr_max_ms"]))
              & res.expect(not w["cc_errors"], "%s: continuity errors %r" % (label, w["cc_errors"]))
              & res.expect(abs(delay[1] - delay[0]) < 0.1, "%s: delay %.3f s, then %.3f s" % (label, *delay))
              & res.expect(lost == 0, "%s: %d video units lost after the return" % (label, lost))
              & self.as_a_receiver(res, label, svc, [rec for rec, _ in sent], until=units[-1][1]))
        with open(record) as f:
            records = [json.loads(l) for l in f if l.strip()]
        if asrun:
            ok &= res.expect(any((r["event"], r["reason"]) == asrun for r in records),
                             "%s: no as-run line %r" % (label, asrun))
        if "restarts" in opts:
            # The last break (at 12 s for 2 s, after the restart) ends on the wall clock as it aired: sent at
            # its time, plus the output's delay.
            end = [r for r in records if r["event"] == "break_end"][-1:]
            mono = time.time() - time.monotonic()
            off = [datetime.datetime.strptime(r["time"], "%Y-%m-%dT%H:%M:%S.%fZ").replace(
                tzinfo=datetime.timezone.utc).timestamp() - mono - (t0 + 14 + delay[1]) for r in end]
            ok &= res.expect(len(off) == 1 and abs(off[0]) < 1.0, "%s: the last break's end %r s off the wall "
                             "clock" % (label, off))
        if "held" in sending:  # shorter than --input-loss-ms: no alarm while the input comes
            ok &= res.expect("input back after" not in log, "%s: the input was called lost" % label)
        if fast:
            ok &= res.expect("times the wall clock's rate" in log, "%s: the fast input is not reported" % label)
        else:
            ok &= fl.Walk(res, svc, self.filler, self.d, PIDS).spliced(
                after if "split" in opts else prog, (start + round(jump * TICKS)) % fl.WRAP, 11, 16, 12, 2, label,
                fl.shift_of(log))
        res.add(label, len(units), sum(1 for a in arrived if a), ok and rc == 0,
                "silence %.3f s at %.1f s (%.3f waiting for a CPU), sender late %d ms, delay %.2f -> %.2f s"
                % (w["silence"], w["silence_at"] - t0, busy, late, *delay))


if __name__ == "__main__":
    unittest.main(verbosity=2, argv=sys.argv)
