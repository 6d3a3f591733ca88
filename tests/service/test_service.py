"""KestrowApp as a process: its command line, the daemon, the shutdown order
on every terminating signal, and the XML-RPC control port driven by Python's
xmlrpc.client."""
import os
import re
import signal
import socket
import subprocess
import sys
import time
import unittest
import urllib.error
import urllib.request
import xmlrpc.client

import kt

LIMIT = 1.0   # seconds from the signal caught to "Bye!", on the service's own log stamps
# What the process takes from "Bye!" to its end: the sanitizers' leak scan at
# exit, which a busy machine slows (7.6 s seen with the whole suite on 2 cores).
EXIT = 8.0
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STATUS_KEYS = {"state": str, "session_uptime": float, "input_bitrate": int, "output_bitrate": int,
               "packets_in": int, "packets_out": int, "overruns": int, "cues": int,
               "breaks_aired": int, "breaks_skipped": int, "last_event": dict, "schedule": str,
               "schedule_state": str, "verification_failing": bool, "schedule_spots": int, "spots_aired": int,
               "spots_missed": int, "spots_conformed": int, "spots_conform_pending": int, "spots_conform_failed": int,
               "spots_ready": int, "spots_pending": int, "spots_will_not_air": int, "breaks": list, "output_errors": dict}


def fault_of(port, name, *params):
    try:
        with xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % port) as proxy:
            getattr(proxy, name)(*params)
    except xmlrpc.client.Fault as f:
        return f.faultCode
    return None


def http(method, url):
    """(status, content type, body) of one bounded request."""
    try:
        with urllib.request.urlopen(urllib.request.Request(url, method=method), timeout=10) as r:
            return r.status, r.headers.get("Content-Type"), r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.headers.get("Content-Type"), ""


class Base(unittest.TestCase):
    def start(self, *args, **kw):
        svc = kt.Service(kt.scratch_dir(self), *args, **kw)
        self.addCleanup(svc.close)
        return svc

    def started(self, *args, **kw):
        return kt.started(self, kt.scratch_dir(self), *args, **kw)

    def expect_shutdown(self, svc, rc, took, catches, limit=LIMIT):
        """Status 0 within limit; one line per caught terminating signal, the
        control server's and the main thread's ends in that order, "Bye!" last."""
        self.assertEqual(rc, 0)
        self.assertLessEqual(kt.stop_time(svc.text()), limit)
        self.assertLessEqual(took, limit + EXIT)
        msgs = kt.messages(svc.text())
        self.assertTrue(msgs[0].startswith("KestrowApp - "), msgs[0])
        # Any thread may take a signal: two sent back to back are logged in either order.
        self.assertEqual(sorted(m for m in msgs if m.startswith("sighandler: ")),
                         sorted("sighandler: [%d] catched %d" % (svc.proc.pid, s) for s in catches))
        order = [m for m in msgs if m in ("ctl_run: control server finished",
                                          "main: Controls finished")]
        self.assertEqual(order, ["ctl_run: control server finished", "main: Controls finished"])
        self.assertEqual(msgs[-1], "Bye!")


class Service(Base):
    # -- command line -------------------------------------------------------

    def test_help_and_rejected_arguments_exit_255_before_anything_starts(self):
        d = kt.scratch_dir(self)
        conf = os.path.join(d, "cycle.conf")
        with open(conf, "w") as f:
            f.write("--debug\n%s\n" % conf)
        good = kt.required_args()
        for args in (["-h"], ["--help"], ["--port=5", "--he"], ["--nosuch"], ["-P", "5"], ["--port"],
                     ["--demonize=yes"], ["--filler=" + "x" * 4096], [os.path.join(d, "missing.conf")], [conf],
                     good[1:], good[:2], good + ["--mux-rate=20MM"], good[:2] + ["--filler=missing.ts"]):
            p = subprocess.run([kt.APP, "--log-file-name=app.log"] + args, cwd=d, stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=20)
            self.assertEqual((p.returncode, p.stdout), (255, b""), args)
            self.assertTrue(p.stderr, args)
            self.assertEqual(os.listdir(d), ["cycle.conf"], args)
        # The usage names every option of the option table.
        with open(os.path.join(SOURCE, "service", "opts.cpp")) as f:
            names = re.findall(r'\{"([a-z_-]+)", (?:no|required)_argument', f.read())
        self.assertGreater(len(names), 30, "option table not found")
        usage = subprocess.run([kt.APP, "--help"], stdin=subprocess.DEVNULL, capture_output=True,
                               timeout=20).stderr.decode()
        self.assertEqual([n for n in names if not re.search(r"--%s\b" % re.escape(n), usage)], [])

    def test_daemon_detaches_and_stops_on_sigterm(self):
        d = kt.scratch_dir(self)
        log = os.path.join(d, "daemon.log")
        p = subprocess.run([kt.APP, "--demonize", "--log-file-name=" + log, "--port=%d" % kt.free_port(socket.SOCK_STREAM)]
                           + kt.required_args(),
                           cwd=d, stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
        self.assertEqual((p.returncode, p.stderr), (0, b""))

        def daemons():
            found = []
            for name in filter(str.isdigit, os.listdir("/proc")):
                try:
                    with open("/proc/%s/cmdline" % name, "rb") as f:
                        if log.encode() in f.read():
                            found.append(int(name))
                except OSError:
                    pass
            return found
        self.addCleanup(lambda: [os.kill(pid, signal.SIGKILL) for pid in daemons()])
        # The first child of the double fork may still be exiting when the daemon is already there.
        kt.wait_for(lambda: len(daemons()) == 1, 5)
        pids = daemons()
        self.assertEqual(len(pids), 1)
        pid = pids[0]
        with open("/proc/%d/status" % pid) as f:
            status = f.read()
        self.assertIn("Umask:\t0000\n", status)
        self.assertIn("THP_enabled:\t0\n", status, "no huge pages merged with the memory map locked")
        self.assertEqual(os.readlink("/proc/%d/cwd" % pid), "/")
        self.assertEqual(os.getsid(pid), pid)
        for fd in (0, 1, 2):
            self.assertEqual(os.readlink("/proc/%d/fd/%d" % (pid, fd)), "/dev/null")
        self.assertTrue(kt.wait_for(lambda: "KestrowApp - " in kt.read_text(log), 10))
        t0 = time.monotonic()
        os.kill(pid, signal.SIGTERM)

        def gone():
            try:
                with open("/proc/%d/stat" % pid) as f:
                    return f.read().rsplit(")", 1)[1].split()[0] == "Z"
            except OSError:
                return True
        self.assertTrue(kt.wait_for(gone, 5, step=0.01))
        self.assertLessEqual(time.monotonic() - t0, LIMIT + EXIT)
        self.assertLessEqual(kt.stop_time(kt.read_text(log)), LIMIT)

    # -- signals ------------------------------------------------------------

    def test_each_terminating_signal_stops_it_in_order(self):
        for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGALRM, signal.SIGINT):
            with self.subTest(sig.name):
                svc = self.started()
                self.expect_shutdown(svc, *svc.stop(sig=sig), [int(sig)])

    def test_signal_right_after_start_stops_it(self):
        # The banner is logged just before the handlers are installed, so the
        # signal lands before or while the control server is being set up.
        for _ in range(8):
            svc = self.start()
            self.assertTrue(kt.wait_for(lambda: "KestrowApp - " in svc.text(), 10, step=0.001))
            self.expect_shutdown(svc, *svc.stop(), [15])

    def test_sigpipe_never_stops_it(self):
        svc = self.started()
        for _ in range(5):
            svc.proc.send_signal(signal.SIGPIPE)
            time.sleep(0.05)
        time.sleep(0.5)
        self.assertIsNone(svc.proc.poll())
        self.assertTrue(fault_of(svc.port, "still.there") == 1)
        time.sleep(0.1)
        self.expect_shutdown(svc, *svc.stop(), [15])
        # The service's own handler, not one the control server put over it.
        self.assertEqual(kt.messages(svc.text()).count("sighandler_ignore: [%d] catched 13" % svc.proc.pid), 5)

    def test_second_signal_during_the_shutdown_adds_one_line(self):
        # Two kinds of signal, sent back to back: the second comes while the
        # first one's shutdown runs, and neither merges into the other.
        svc = self.started()
        with socket.create_connection(("127.0.0.1", svc.port), timeout=5):
            time.sleep(0.2)
            t0 = time.monotonic()
            svc.proc.send_signal(signal.SIGHUP)
            rc, _ = svc.stop()
        self.expect_shutdown(svc, rc, time.monotonic() - t0, [1, 15])

    def test_log_lines_are_copied_to_stderr_in_the_foreground(self):
        svc = self.started("--demonize", "--nodemonize")
        rc, _ = svc.stop()
        self.assertEqual(rc, 0)
        self.assertEqual(svc.stderr_text(), svc.text())

    # -- control port -------------------------------------------------------

    def test_invented_methods_and_system_shutdown_get_fault_one(self):
        svc = self.started()
        # Status and metrics while the service waits for its input.
        with xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % svc.port) as proxy:
            st = proxy.kestrow.status()
        self.assertEqual({k: type(v) for k, v in st.items() if k != "filler_loudness"}, STATUS_KEYS)
        self.assertIn(st["state"], ("starting", "no_input"))
        self.assertEqual((st["last_event"], st["packets_out"]), ({}, 0))
        base = "http://127.0.0.1:%d" % svc.port
        code, ctype, body = http("GET", base + "/metrics")
        self.assertEqual(code, 200)
        self.assertTrue(ctype.startswith("text/plain; version=0.0.4"), ctype)
        # The text itself is the control server's unit test's; here, what it reads.
        samples = dict(l.split(" ", 1) for l in body.splitlines() if l and l[0] != "#")
        self.assertEqual((samples["kestrow_packets_out_total"], samples["kestrow_cues_total"]), ("0", "0"))
        self.assertIn(samples["kestrow_state"], ("0", "1"))
        self.assertEqual([http(m, base + p)[0] for m, p in (("HEAD", "/metrics"), ("POST", "/metrics"),
                                                             ("GET", "/nothing"), ("GET", "/RPC2"))],
                         [200, 405, 404, 405])
        self.assertEqual(fault_of(svc.port, "kestrow.status", 1), 1)
        for name, params in (("splice.insert", (1, "x", {"a": [1, 2]})), ("nothing", ()),
                             ("kestrow.stop", (True,))):
            self.assertEqual(fault_of(svc.port, name, *params), 1, name)
        self.assertIsNotNone(fault_of(svc.port, "system.shutdown", "from the network"))
        time.sleep(0.5)
        self.assertIsNone(svc.proc.poll(), "stopped by system.shutdown")
        self.assertEqual(fault_of(svc.port, "still.there"), 1)
        # A client still connected does not hold the stop.
        with xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % svc.port) as proxy:
            self.assertRaises(xmlrpc.client.Fault, proxy.again)
            self.expect_shutdown(svc, *svc.stop(), [15])

    def test_links_no_xmlrpc_client(self):
        # It only serves XML-RPC, through the registry behind its own HTTP front: neither the client
        # library (and curl behind it) nor the library's HTTP server would serve anything.
        dump = subprocess.run(["objdump", "-p", kt.APP], capture_output=True, text=True, timeout=20).stdout
        self.assertIn("libxmlrpc_server", dump)
        self.assertNotRegex(dump, r"NEEDED\s+lib(xmlrpc_client|xmlrpc_abyss|xmlrpc_server_abyss|curl)\.")

    # -- start-up refusals -------------------------------------------------

    def test_files_and_fillers_that_cannot_serve_refuse_the_start_with_their_cause(self):
        d = kt.scratch_dir(self)
        jpeg, audio = os.path.join(d, "still.jpg"), os.path.join(d, "audio.ts")
        for out, src in ((jpeg, ["-f", "lavfi", "-i", "testsrc=size=64x48", "-frames:v", "1"]),
                         (audio, ["-f", "lavfi", "-i", "sine=d=1", "-c:a", "mp2", "-f", "mpegts"])):
            subprocess.run(["ffmpeg", "-v", "error", "-y"] + src + [out], check=True, timeout=60)
        for args, line in (
                (["--log-file-name=%s/app.log" % jpeg], "main: cannot open the log file [%s/app.log] for "
                 "writing: Not a directory" % jpeg),
                (["--asrun-file=%s/none/run.json" % d], "main: cannot open the as-run file [%s/none/run.json] "
                 "for writing: No such file or directory" % d),
                (["--filler=" + jpeg], "slicer_main_loop: the filler [%s] cannot be used: no video stream the "
                 "MPEG-TS demuxer can read (read as jpeg_pipe)" % jpeg),
                (["--filler=" + audio], "the filler [%s] cannot be used: no video stream the MPEG-TS demuxer "
                 "can read" % audio)):
            p = subprocess.run([kt.APP, "--log-file-name=%s/app.log" % d, "--port=%d" % kt.free_port(socket.SOCK_STREAM)]
                               + kt.required_args() + args, cwd=d, stdin=subprocess.DEVNULL, capture_output=True,
                               text=True, timeout=30)
            self.assertEqual(p.returncode, 1, args)
            self.assertTrue([m for m in kt.messages(p.stderr) if m.endswith(line)], p.stderr[-2000:])

    def test_a_second_instance_on_the_same_options_leaves_the_channels_files_alone(self):
        svc = self.started("--asrun-file=run.json")
        svc.wait_log("slicer_streams: avformat_open_input(")  # then it waits for its input
        files = sorted(os.listdir(svc.folder))
        log = svc.text()
        p = subprocess.run(svc.proc.args, cwd=svc.folder, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                           timeout=30)
        self.assertEqual(p.returncode, 1)
        self.assertIn("ctl_init: cannot bind control port %d: Address already in use" % svc.port, p.stderr)
        after = svc.text()
        # the first instance's conform thread may still say the filler's loudness (at idle priority, late on a
        # busy host): the only lines added
        added = [m for m in kt.messages(after[len(log):]) if not m.startswith("slicer_conform: ")]
        self.assertEqual((sorted(os.listdir(svc.folder)), after[:len(log)], added), (files, log, []))
        self.expect_shutdown(svc, *svc.stop(), [15])

    def test_port_in_use_ends_the_start(self):
        with socket.socket() as taken:
            taken.bind(("0.0.0.0", 0))
            taken.listen(1)
            svc = self.start(port=taken.getsockname()[1])
            svc.proc.wait(timeout=10)
            self.assertNotIn("main: Controls finished", kt.messages(svc.text()))
            self.assertIsNone(kt.sanitizer_report(svc.stderr_text()))

if __name__ == "__main__":
    unittest.main(verbosity=2, argv=sys.argv)
