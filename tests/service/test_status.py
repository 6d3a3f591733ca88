"""Operations surface of a real KestrowApp: kestrow.status over XML-RPC and
GET /metrics on the control port, read while the service waits for its
input; start-up refusals end with status 255 before anything starts; the
usage names every option of the option table."""
import os
import re
import signal
import subprocess
import urllib.error
import urllib.request
import unittest
import xmlrpc.client

import kt


def check(cond, what):
    if not cond:
        raise AssertionError(what)

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STATUS_KEYS = {"state": str, "session_uptime": float, "input_bitrate": int, "output_bitrate": int,
               "packets_in": int, "packets_out": int, "overruns": int, "cues": int,
               "breaks_aired": int, "breaks_skipped": int, "last_event": dict}
METRICS = {"kestrow_packets_in_total": "counter", "kestrow_packets_out_total": "counter",
           "kestrow_cues_total": "counter", "kestrow_breaks_aired_total": "counter",
           "kestrow_breaks_skipped_total": "counter", "kestrow_input_overruns_total": "counter",
           "kestrow_input_bitrate": "gauge", "kestrow_output_bitrate": "gauge",
           "kestrow_state": "gauge"}


def http(method, url):
    """(status, content type, body) of one request, bounded."""
    req = urllib.request.Request(url, method=method)
    try:
        with urllib.request.urlopen(req, timeout=10) as r:
            return r.status, r.headers.get("Content-Type"), r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.headers.get("Content-Type"), ""


class Status(unittest.TestCase):
    def test_status_and_metrics_while_waiting_for_input(self):
        with kt.scratch() as d:
            svc = kt.Service(d)
            port = svc.port
            try:
                check(svc.ready(), "port %d never listened" % port)
                with xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % port) as proxy:
                    st = proxy.kestrow.status()
                    check({k: type(v) for k, v in st.items()} == STATUS_KEYS, "status %r" % st)
                    check(st["state"] in ("starting", "no_input"), "state %r" % st["state"])
                    check(st["last_event"] == {} and st["packets_out"] == 0, "status %r" % st)
                    for name, params in (("kestrow.status", (1,)), ("kestrow.stop", ())):
                        try:
                            getattr(proxy, name)(*params)
                            raise AssertionError("%s%r answered" % (name, params))
                        except xmlrpc.client.Fault as f:
                            check(f.faultCode == 1, "%s: fault %r" % (name, f))

                base = "http://127.0.0.1:%d" % port
                code, ctype, body = http("GET", base + "/metrics")
                check(code == 200 and ctype.startswith("text/plain; version=0.0.4"), "%r %r" % (code, ctype))
                samples = dict(l.split(" ", 1) for l in body.splitlines() if l and l[0] != "#")
                types = dict(l.split(" ")[2:4] for l in body.splitlines() if l.startswith("# TYPE "))
                check(types == METRICS, "types %r" % types)
                check(set(samples) == set(METRICS) and samples["kestrow_state"] in ("0", "1"),
                      "samples %r" % samples)
                check(http("HEAD", base + "/metrics")[0] == 200, "HEAD refused")
                check(http("POST", base + "/metrics")[0] == 405, "POST accepted")
                check(http("GET", base + "/")[0] == 404, "/ served")
                check(svc.proc.poll() is None, "the service stopped")
                rc, _ = svc.stop()
                check(rc == 0, "status %r" % rc)
            finally:
                svc.close()


    def test_refusals_end_the_start_with_255(self):
        good = kt.required_args()
        cases = [(good[1:], "--src-addr"), (good[:1] + good[2:], "--dst-addr"),
                 (good[:2], "--filler"), (good + ["--port=47O40"], "--port"),
                 (good + ["--mux-rate=20MM"], "--mux-rate"),
                 (good + ["--dst-addr=127.0.0.1:99999"], "--dst-addr"),
                 (good[:2] + ["--filler=missing.ts"], "--filler")]
        for args, option in cases:
            with kt.scratch() as d:
                p = subprocess.run([kt.APP, "--log-file-name=app.log"] + args, cwd=d,
                                   stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
                err = p.stderr.decode(errors="replace")
                check(p.returncode == 255, "%s: status %d" % (option, p.returncode))
                check(err.startswith("ERROR: " + option) and err.count("\n") == 1,
                      "%s: %r" % (option, err))
                check(os.listdir(d) == [], "%s: files created %r" % (option, os.listdir(d)))


    def test_usage_names_every_option(self):
        with open(os.path.join(SOURCE, "service", "opts.cpp")) as f:
            names = re.findall(r'\{"([a-z_-]+)", (?:no|required)_argument', f.read())
        check(len(names) > 30, "option table not found")
        p = subprocess.run([kt.APP, "--help"], stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
        usage = p.stderr.decode()
        missing = [n for n in names if not re.search(r"--%s\b" % re.escape(n), usage)]
        check(p.returncode == 255 and not missing, "status %d, not in the usage: %r" % (p.returncode, missing))


if __name__ == "__main__":
    unittest.main()
