"""The monitoring files the package ships, against a real channel: promtool
checks the alerting rules, every metric the rules and the Grafana dashboard
name is one the channel exports, and a real Prometheus (on loopback, its own
configuration and storage, scraping and evaluating every second) fires the
input-lost alert once the channel's input is cut."""
import json
import os
import re
import socket
import subprocess
import threading
import time
import unittest
import urllib.request

import kt

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MONITORING = os.path.join(SOURCE, "tools", "packaging", "monitoring")
RULES = os.path.join(MONITORING, "kestrow-alerts.yml")
DASHBOARD = os.path.join(MONITORING, "kestrow-channel.json")
NOTE = os.path.join(kt.BUILD or kt.scratch().name, "tests", "service", "console")


def fetch(url):
    with urllib.request.urlopen(url, timeout=5) as r:
        return r.read().decode()


def names(exprs):
    return {n for e in exprs for n in re.findall(r"\b(kestrow_[a-z_]+)", e)}


class Monitoring(kt.FillerCase):
    FILLER = dict(duration=2)

    def test_rules_and_dashboard_name_what_the_channel_exports_and_input_lost_fires(self):
        res = subprocess.run(["promtool", "check", "rules", RULES], capture_output=True, text=True, timeout=60)
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        with open(RULES) as f:
            rules = f.read()
        with open(DASHBOARD) as f:
            dashboard = json.load(f)
        alerts = re.findall(r"- alert: (\w+)", rules)
        for wanted in ("KestrowInputLost", "KestrowOutputChecksFailing", "KestrowSpotsMissed", "KestrowVerificationFailing",
                       "KestrowScheduleMissing", "KestrowConformFailures", "KestrowBackupInputActive"):
            self.assertIn(wanted, alerts)

        prog = os.path.join(self.dir, "cut.ts")
        kt.gen.generate(prog, duration=8)
        svc = kt.started(self, self.dir, filler=self.filler, name="scraped")
        base = "http://127.0.0.1:%d" % svc.port
        exported = {l.split()[2] for l in fetch(base + "/metrics").splitlines() if l.startswith("# TYPE ")}
        used = names(re.findall(r"expr: (.*)", rules)) | names(
            t["expr"] for p in dashboard["panels"] for t in p.get("targets", []))
        self.assertGreater(len(used), 15)
        self.assertEqual(used - exported, set())

        sender = threading.Thread(target=svc.send, args=(prog,))
        sender.start()
        self.addCleanup(sender.join, 60)
        up = lambda: re.search(r"^kestrow_input_up 1$", fetch(base + "/metrics"), re.M)  # noqa: E731
        self.assertTrue(kt.wait_for(up, 20), svc.text()[-2000:])

        folder = kt.scratch_dir(self, "kestrow-prometheus-")
        config = os.path.join(folder, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
                    "rule_files: [%s]\n"
                    "scrape_configs:\n  - job_name: kestrow\n    static_configs: [{targets: ['127.0.0.1:%d']}]\n"
                    % (json.dumps(RULES), svc.port))
        web = kt.free_port(socket.SOCK_STREAM)
        prom = subprocess.Popen(["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + folder + "/data",
                                 "--web.listen-address=127.0.0.1:%d" % web, "--log.level=warn"],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=open(os.path.join(folder, "prometheus.log"), "wb"))
        self.addCleanup(kt.stop, prom)
        api = "http://127.0.0.1:%d/api/v1/" % web

        def alerts():
            try:
                return json.loads(fetch(api + "alerts"))["data"]["alerts"]
            except OSError:
                return None

        def scraped():
            try:
                targets = json.loads(fetch(api + "targets"))["data"]["activeTargets"]
            except OSError:
                return False
            return targets and targets[0]["health"] == "up"
        self.assertTrue(kt.wait_for(scraped, 30), kt.read_text(os.path.join(folder, "prometheus.log"))[-2000:])
        self.assertEqual([a for a in alerts() or [] if a["labels"]["alertname"] == "KestrowInputLost"], [],
                         "fires while the input arrives")
        sender.join(60)
        cut = time.time()
        firing = lambda: [a for a in alerts() or [] if a["labels"]["alertname"] == "KestrowInputLost" and  # noqa
                          a["state"] == "firing"]
        fired = kt.wait_for(firing, 30, step=0.5)
        self.assertTrue(fired, json.dumps(alerts(), indent=1))
        alert = fired[0]
        self.assertEqual((alert["labels"]["severity"], alert["labels"]["instance"]),
                         ("critical", "127.0.0.1:%d" % svc.port))
        # Pending from the first evaluation after the cut, firing 5 s later.
        self.assertGreaterEqual(time.time() - cut, 5)
        os.makedirs(NOTE, exist_ok=True)
        with open(os.path.join(NOTE, "alert.json"), "w") as f:
            json.dump(fired, f, indent=1)
        self.assertEqual(svc.stop()[0], 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
