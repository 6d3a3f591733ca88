"""The operator's console on the control port, as a person sees it: a real
browser (headless Chromium) on the page during a break and during an outage
(its text checked, a screenshot kept in the build tree for a person to look
at), /api/state against its JSON Schema, the thumbnails decoded and changing
with the programme; and the port under idle and slow clients, with /metrics
and the page answered within 100 ms."""
import datetime
import json
import re
import os
import socket
import struct
import subprocess
import threading
import time
import unittest
import urllib.request

import jsonschema

import browser
import kt
import sch

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCHEMA = os.path.join(SOURCE, "tools", "packaging", "monitoring", "kestrow-state.schema.json")
SHOTS = os.path.join(kt.BUILD or kt.scratch().name, "tests", "service", "console")
BOUND = 0.1  # seconds a monitor's request may take, whatever other clients do


def get(port, path, timeout=10):
    """(status, headers, body) of one GET on a connection of its own."""
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=timeout) as r:
            return r.status, r.headers, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read()


def state(port):
    status, _, body = get(port, "/api/state")
    assert status == 200, status
    doc = json.loads(body)
    jsonschema.Draft202012Validator(VALIDATOR_SCHEMA).validate(doc)
    return doc


with open(SCHEMA) as f:
    VALIDATOR_SCHEMA = json.load(f)


def wall(text):
    """Seconds since the epoch of a time in the state."""
    return datetime.datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp()


def pixels(jpeg):
    """The picture of a JPEG, decoded by ffmpeg: (width, height, RGB bytes)."""
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=width,height", "-of", "csv=p=0", "-"],
                           input=jpeg, capture_output=True, timeout=30)
    w, h = map(int, probe.stdout.decode().split(","))
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", "-", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"], input=jpeg,
                         capture_output=True, timeout=30).stdout
    assert len(raw) == 3 * w * h, (w, h, len(raw))
    return w, h, raw


def differ(a, b):
    """Mean absolute difference of two pictures of one size, per colour sample."""
    return sum(abs(x - y) for x, y in zip(a, b)) / len(a)


class Console(kt.FillerCase):
    FILLER = dict(duration=4)

    def thumbnails(self, svc):
        return [pixels(get(svc.port, "/thumbnails/%s.jpg" % k)[2]) for k in ("input", "output")]

    def page(self, web, svc, expect):
        """The page loaded afresh until it rendered the state expect(doc) accepts twice; its text."""
        web.open("http://127.0.0.1:%d/" % svc.port)
        self.assertTrue(web.wait("document.body && +document.body.dataset.rendered >= 2 && "
                                 "document.getElementById('thumb-output').naturalWidth > 0"), svc.text()[-2000:])
        self.assertTrue(kt.wait_for(lambda: expect(state(svc.port)), 20))
        rendered = web.value("+document.body.dataset.rendered")
        web.wait("+document.body.dataset.rendered >= %d" % (rendered + 1))
        return web.value("document.body.innerText").lower()

    def test_a_break_and_an_outage_in_the_browser_the_state_and_the_pictures(self):
        spots = os.path.join(self.dir, "spots")
        os.makedirs(spots)
        kt.gen.generate(os.path.join(spots, "4.ts"), spot="4", duration=4)
        prog = os.path.join(self.dir, "prog.ts")
        kt.gen.generate(prog, duration=22, cues=["at=9,dur=9,id=7,lead=5"])
        now = time.localtime()
        schedule = os.path.join(self.dir, "%X%02dCO123.SCH" % (now.tm_mon, now.tm_mday))
        rec = lambda pos, spot, secs: sch.record("LOI", time.strftime("%m%d", now), time.strftime("%H%M", now),  # noqa
                                                 "0010", 1, pos, secs, spot)
        sch.write(schedule, [rec(1, "4", 4), rec(2, "404", 4)])  # 404: no such file, 1002
        svc = kt.started(self, self.dir, "--schedule=" + schedule, "--spots=" + spots, "--channel-id=CO",
                         "--service_name=Kestrow News", filler=self.filler, name="console")
        sender = threading.Thread(target=svc.send, args=(prog,))
        sender.start()
        self.addCleanup(sender.join, 60)
        web = browser.Browser(self)
        os.makedirs(SHOTS, exist_ok=True)

        # During the break: the page, the state, the pictures of what comes in and of what goes out.
        self.assertTrue(kt.wait_for(lambda: state(svc.port)["state"] == "in_break", 30), svc.text()[-3000:])
        shown = lambda doc: doc["state"] == "in_break" and all(doc["thumbnails"][k]["time"] for k in ("input", "output"))
        text = self.page(web, svc, shown)
        web.screenshot(os.path.join(SHOTS, "break.png"))
        doc = state(svc.port)
        on_air = [b for b in doc["timeline"]["breaks"] if b["state"] == "on_air"]
        self.assertEqual([(b["splice_event_id"], b["duration"]) for b in on_air], [(7, 9.0)])
        self.assertEqual([(c["splice_event_id"], c["decision"]) for c in doc["timeline"]["cues"]], [(7, "armed")])
        for words in ("kestrow news", "in break", "on air", "#7", "armed: cue", "127.0.0.1:" + svc.src.split(":")[1],
                      "9.00 s", "today's reconciliation"):
            self.assertIn(words, text)
        # (A busy machine may hold the sender up long enough for the input to count as lost for a moment.)
        active = web.value("[...document.querySelectorAll('[data-active=\"1\"]')].map(a => a.dataset.alarm)")
        conform = "".join(l for l in svc.text().splitlines(True) if "slicer_conform" in l)
        self.assertLessEqual(set(active), {"input_lost"}, conform + svc.stderr_text()[-2000:])
        # Nothing came from elsewhere: every resource the page loaded is the port's own.
        self.assertEqual(web.value("performance.getEntriesByType('resource').map(r => new URL(r.name).host)"
                                   ".filter(h => h != location.host)"), [])
        self.assertIn("default-src 'none'", get(svc.port, "/")[1]["Content-Security-Policy"])
        started = wall(on_air[0]["start"])
        self.assertTrue(kt.wait_for(lambda: wall(state(svc.port)["thumbnails"]["output"]["time"]) > started + 0.5, 10))
        for k in ("input", "output"):  # kept beside the screenshots
            with open(os.path.join(SHOTS, "break-%s.jpg" % k), "wb") as f:
                f.write(get(svc.port, "/thumbnails/%s.jpg" % k)[2])
        (iw, ih, first_in), (ow, oh, out) = self.thumbnails(svc)
        self.assertEqual((iw, ih, ow, oh), (320, 240, 320, 240))
        self.assertGreater(differ(first_in, out), 30, "the output airs the spot, not the programme")
        self.assertTrue(kt.wait_for(lambda: differ(self.thumbnails(svc)[0][2], first_in) > 5, 10),
                        "the input's picture follows the programme")

        # After it, the spots and their verification statuses; then the input ends: an outage.
        self.assertTrue(kt.wait_for(lambda: state(svc.port)["state"] == "input_lost", 30), svc.text()[-3000:])
        doc = state(svc.port)
        aired = [b for b in doc["timeline"]["breaks"] if b["splice_event_id"] == 7]
        self.assertEqual([(b["state"], b["reason"], b["aired"]) for b in aired], [("aired", "duration", 9.0)])
        self.assertEqual(sorted((s["position"], s["spot_id"], s["status"], s["ver_status"]) for s in aired[0]["spots"]),
                         [(1, "4", "aired", "0001"), (2, "404", "unusable", "1002")])
        today = {s["status"]: s["count"] for s in doc["reconciliation"]["spots_today"]}
        self.assertEqual((today["aired"], today["unusable"], doc["reconciliation"]["breaks_aired_today"]), (1, 1, 1))
        text = self.page(web, svc, lambda doc: doc["state"] == "input_lost")
        web.screenshot(os.path.join(SHOTS, "outage.png"))
        self.assertEqual(web.value("[...document.querySelectorAll('[data-active=\"1\"]')].map(a => a.dataset.alarm)"),
                         ["input_lost", "spots_missed"])
        for words in ("input lost", "nothing arrives on the input", "1. 4 aired (0001)", "2. 404 unusable (1002)"):
            self.assertIn(words, text)
        self.assertEqual([o["end"] for o in state(svc.port)["timeline"]["outages"]][-1:], [None])
        self.assertEqual(svc.stop()[0], 0)


class Port(unittest.TestCase):

    def test_monitors_are_answered_in_time_whatever_other_clients_do(self):
        svc = kt.started(self, kt.scratch_dir(self))
        waits = kt.Waits(svc.proc.pid)
        waits.start()
        self.addCleanup(waits.stop)
        idle, stop = [], threading.Event()
        for _ in range(500):  # held open without a word
            s = socket.create_connection(("127.0.0.1", svc.port), timeout=5)
            idle.append(s)
            self.addCleanup(s.close)

        def slow():  # a request a byte at a time, every 0.2 s
            with socket.create_connection(("127.0.0.1", svc.port), timeout=5) as s:
                for b in b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n":
                    if stop.wait(0.2):
                        return
                    try:
                        s.sendall(bytes([b]))
                    except OSError:
                        return

        def rude():  # asks for the page and hangs up before the answer is read
            while not stop.is_set():
                with socket.create_connection(("127.0.0.1", svc.port), timeout=5) as s:
                    s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))  # a reset
                time.sleep(0.01)
        clients = [threading.Thread(target=slow) for _ in range(20)] + [threading.Thread(target=rude)]
        for c in clients:
            c.start()
        self.addCleanup(lambda: (stop.set(), [c.join(10) for c in clients]))
        time.sleep(0.5)
        took = []
        for path in ("/metrics", "/", "/api/state") * 5:
            t0 = time.monotonic()
            status, _, body = get(svc.port, path, timeout=5)
            took.append((time.monotonic() - t0, path))
            self.assertEqual(status, 200, path)
            self.assertTrue(body)
            time.sleep(0.1)
        longest, path = max(took)
        busy = waits.waited(time.monotonic() - 3, time.monotonic())
        self.assertLess(longest, BOUND + busy, "%s took %.3f s" % (path, longest))
        stop.set()
        # The idle connections made room for the others; the slow ones ran out of their 3 s or made room.
        time.sleep(3.5)
        port = state(svc.port)["control_port"]
        self.assertGreaterEqual(port["evicted"], 500 - 32, port)
        self.assertGreaterEqual(port["evicted"] + port["timed_out"], 500 + 20 - 32, port)
        self.assertLessEqual(port["clients"], 32, port)  # at most what one address may hold
        self.assertEqual(svc.stop()[0], 0)
        self.assertEqual([m for m in svc.text().splitlines() if m.startswith("!") or "sighandler_ignore" in m], [])

    def test_requests_the_port_refuses_and_the_form_it_keeps(self):
        svc = kt.started(self, kt.scratch_dir(self))

        def ask(raw):
            with socket.create_connection(("127.0.0.1", svc.port), timeout=5) as s:
                s.sendall(raw)
                s.shutdown(socket.SHUT_WR)
                got = b""
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        return got.decode(errors="replace")
                    got += chunk
        rows = [
            (b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n" * 2, ["200", "200"]),   # pipelined
            (b"HEAD / HTTP/1.0\r\n\r\n", ["200"]),
            (b"POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", ["405"]),         # nothing on it changes anything
            (b"GET /thumbnails/other.jpg HTTP/1.1\r\n\r\n", ["404"]),
            (b"POST /RPC2 HTTP/1.1\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nxx", ["400"]),
            (b"POST /RPC2 HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: 70000\r\n\r\n", ["413"]),
            (b"POST /RPC2 HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", ["501"]),
            (b"GET / HTTP/1.1\r\nX: " + b"y" * 9000 + b"\r\n\r\n", ["431"]),
            (b"GET / HTTP/2.0\r\n\r\n", ["505"]),
            (b"GET  / HTTP/1.1\r\n\r\n", ["400"]),
            (b"GET / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", ["400"]),
        ]
        for raw, statuses in rows:
            answer = ask(raw)
            self.assertEqual(re.findall(r"(?:^|\n)HTTP/1\.1 (\d{3}) ", answer), statuses,
                             (raw[:60], answer[:300]))
        # A thumbnail before any picture: not yet, and when to ask again.
        status, headers, _ = get(svc.port, "/thumbnails/input.jpg")
        self.assertEqual((status, headers["Retry-After"]), (503, "2"))
        self.assertEqual(svc.stop()[0], 0)

    def test_a_bind_address_keeps_the_port_off_the_others(self):
        port = kt.free_port(socket.SOCK_STREAM)
        svc = kt.Service(kt.scratch_dir(self), "--port=127.0.0.2:%d" % port, port=None)
        self.addCleanup(svc.close)
        self.assertTrue(kt.wait_for(lambda: kt.bound(port), 10), svc.stderr_text())
        with socket.create_connection(("127.0.0.2", port), timeout=5):
            pass
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port), timeout=5)
        self.assertEqual(svc.stop()[0], 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
