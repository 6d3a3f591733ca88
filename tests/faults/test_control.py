"""The XML-RPC control port under abuse while the service relays: malformed
XML, bytes that are not XML, a body of 1 MiB, 200 calls at once, 200
connections that never send and 50 that stop in the middle of a request.
The relay keeps its pace and delay throughout, the port answers a valid call
(an invented method gets fault 1) afterwards, the next break is spliced and
SIGTERM ends the service with status 0. The output keeps the mux rate all
along: a UDP sender that falls behind it adds delay without end."""
import http.client
import os
import socket
import statistics
import threading
import time
import unittest
import xmlrpc.client

import flow as fl
import kt
import splicecheck

TICKS = fl.TICKS
PIDS = fl.PIDS
BREAK, DUR, END = 22, 2, 26
MUX_RATE = 20000000           # the default


class ControlPortFaults(unittest.TestCase):
    def test_abuse_of_the_control_port(self):
        with kt.scratch("kestrow-faults-ctl-") as d:
            self.run_abuse(d)

    def post(self, port, body, timeout=10):
        """(HTTP status or None, body or the error, seconds)."""
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

    def fault_of(self, reply):
        """The faultCode of a reply, or None."""
        status, body, _ = reply
        if status != 200:
            return None
        try:
            xmlrpc.client.loads(body)
        except xmlrpc.client.Fault as f:
            return f.faultCode
        except Exception:
            return None
        return None

    def run_abuse(self, d):
        res = fl.Results("control")
        gen = kt.gen
        filler = os.path.join(d, "filler.ts")
        gen.generate(filler, filler=True, duration=6)
        prog = os.path.join(d, "prog.ts")
        start = gen.generate(prog, duration=END, cues=["at=%d,dur=%d" % (BREAK, DUR)])["start"]
        # At the default mux rate of 20 Mbit/s, the output must keep it exactly.
        svc = kt.Service(d, filler=filler, name="ctl")
        self.addCleanup(svc.close)
        self.assertTrue(svc.ready())
        port = svc.port
        rec, times = os.path.join(d, "sent.ts"), os.path.join(d, "sent.times")
        sender = threading.Thread(target=svc.send, args=(prog,), kwargs={"record": rec, "log": times})
        t_send = time.monotonic()
        sender.start()
        time.sleep(4)

        valid = xmlrpc.client.dumps((1, "two"), "kestrow.invented").encode()
        want = 1
        windows = []

        def attack(name, action):
            t0 = time.monotonic()
            ok, note = action()
            windows.append((name, t0, time.monotonic(), ok, note))

        def malformed():
            r = self.post(port, b"<?xml version='1.0'?><methodCall><methodName>x</methodName><params>"
                                b"<param><value><int>1</int></value></param>")
            f = self.fault_of(r)
            return f is not None and f != 1, "fault %r" % f

        def not_xml():
            r = self.post(port, os.urandom(8192))
            f = self.fault_of(r)
            return f is not None, "fault %r" % f

        def huge():
            body = (b"<?xml version='1.0'?><methodCall><methodName>big</methodName><params><param><value>"
                    b"<string>" + b"A" * (1 << 20) + b"</string></value></param></params></methodCall>")
            r = self.post(port, body)
            # Refused: an HTTP error, or the connection closed while the body was still coming.
            return r[0] != 200, "HTTP %s" % (r[0] if r[0] else "connection closed")

        def many():
            replies = [None] * 200

            def one(i):
                replies[i] = self.post(port, valid, timeout=30)
            threads = [threading.Thread(target=one, args=(i,)) for i in range(200)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            good = sum(1 for r in replies if self.fault_of(r) == want)
            return good == 200, "%d of 200 answered with fault 1, slowest %.2f s" % (
                good, max(r[2] for r in replies))

        def idle():
            # Connections opened without waiting: the server takes as many as it
            # will, the rest wait in the listen queue. 200 never send; 50 send
            # the start of a request and stop.
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

        for name, action in (("malformed XML", malformed), ("8 KiB that is not XML", not_xml),
                             ("a body of 1 MiB", huge), ("200 calls at once", many),
                             ("200 idle and 50 half-sent connections", idle)):
            attack(name, action)

        # Afterwards: a valid call, answered promptly.
        reply = self.post(port, valid, timeout=15)
        answered = self.fault_of(reply) == want and reply[2] < 5
        res.expect(answered, "valid call afterwards: %r after %.2f s" % (self.fault_of(reply), reply[2]))
        sender.join()
        t_sent = time.monotonic()
        rc, took = svc.stop(settle=2)

        fin = fl.Flow(rec, times, PIDS, start)
        fout = fl.Flow(svc.out, svc.arrivals, PIDS, start)
        base = fl.latency(fin, fout, 0x100, start + 1 * TICKS, start + 4 * TICKS)
        base_delay = statistics.median(base) if base else 0
        for name, t0, t1, ok, note in windows:
            a, b = fl.relayed(fin, fout, t0, t1 + 0.5)
            ok = (res.expect(ok, "%s: %s" % (name, note))
                  & res.expect(res.within(a, b), "%s: %d units in, %d out" % (name, a, b)))
            res.add(name, a, b, ok, note)
        # The output's pace: what arrived between 5 s in and 1 s before the end.
        # A sanitizer build starved of CPU by other work on the machine (load
        # above twice the cores) cannot keep real time; the pace and the delay
        # are then reported, not judged.
        load = os.getloadavg()[0]
        judged = load <= 2 * os.cpu_count()
        lat = fl.latency(fin, fout, 0x100, start + 4 * TICKS, start + (BREAK - 1) * TICKS)
        res.expect(lat and (max(lat) < base_delay + 1.5 or not judged),
                   "delay during the abuse up to %.2f s, %.2f s before" % (max(lat or [0]), base_delay))
        arrivals = fl.read_times(svc.arrivals)
        span = [(t, off) for t, off in arrivals if t_send + 5 <= t <= t_sent - 1]
        rate = (span[-1][1] - span[0][1]) * 8 / (span[-1][0] - span[0][0]) if len(span) > 1 else 0
        paced = MUX_RATE * 0.98 <= rate <= MUX_RATE * 1.02 or not judged
        res.expect(paced, "output at %.0f bit/s, the mux rate is %d" % (rate, MUX_RATE))
        res.add("%.0f s of relay at the mux rate" % ((span[-1][0] - span[0][0]) if span else 0), "", "", paced,
                "%.4f of %d bit/s%s" % (rate / MUX_RATE, MUX_RATE, "" if judged else ", load %.1f: not judged" % load))
        try:
            check = splicecheck.Splice(prog, filler, svc.out)
            check.expect_valid()
            check.expect_break(0, start + BREAK * TICKS, DUR * TICKS)
            spliced = True
        except AssertionError as e:
            spliced = res.expect(False, "break after the abuse: %s" % e)
        res.expect(rc == 0 and took < 2.5, "exit %r after %.2f s" % (rc, took))
        report = kt.sanitizer_report(svc.stderr_text())
        res.expect(report is None, "sanitizer: %s" % report)
        res.add("afterwards: valid call, break, SIGTERM", "", "", answered and spliced and rc == 0,
                "fault 1 in %.2f s, exit %r in %.2f s" % (reply[2], rc, took))
        res.finish()


if __name__ == "__main__":
    unittest.main(verbosity=2)
