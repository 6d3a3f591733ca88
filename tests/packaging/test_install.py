"""The Debian package as an operator gets it: unpacked with dpkg-deb into a
scratch root, its control data and maintainer scripts checked, its unit
verified, and a channel run from the unit's own command line on the shipped
example options file (adapted to loopback ports), relaying a generated
programme with a break over loopback UDP."""
import glob
import os
import re
import shutil
import signal
import stat
import subprocess
import time
import unittest

import kt

import kestrow_gen
import kestrow_udp

VERSION = os.environ.get("KESTROW_VERSION", "")
DEB_DIR = os.environ.get("KESTROW_DEB_DIR", "")
SOURCE = os.environ.get("KESTROW_SOURCE", "")
NOBODY = 65534
CHANNEL = "demo"


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          errors="replace", timeout=kw.pop("timeout", 60), **kw)


def unit_settings(text):
    """Key -> list of values of a unit file (comments and sections left out)."""
    settings = {}
    for line in text.splitlines():
        line = line.strip()
        if not line or line[0] in "#;[" or "=" not in line:
            continue
        key, value = line.split("=", 1)
        settings.setdefault(key.strip(), []).append(value.strip())
    return settings


def option_lines(text):
    """The argument lines of an options file, stripped as KestrowApp strips them."""
    lines = [line.strip("\n\t\r ") for line in text.splitlines()]
    return [line for line in lines if line and not line.startswith("#")]


def shared_library_packages(binary):
    """Debian package of every shared library a binary needs."""
    needed = re.findall(r"NEEDED\s+(\S+)", run(["objdump", "-p", binary]).stdout)
    cache = run(["ldconfig", "-p"]).stdout
    owners = {}
    for lib in needed:
        m = re.search(r"^\s*%s \(libc6,x86-64[^)]*\) => (\S+)$" % re.escape(lib), cache, re.M) or \
            re.search(r"^\s*%s \([^)]*\) => (\S+)$" % re.escape(lib), cache, re.M)
        if not m:
            owners[lib] = None
            continue
        # Debian 12 merges /lib into /usr/lib: ask for the name under either.
        res = run(["dpkg", "-S", "*/" + os.path.basename(m.group(1))])
        owners[lib] = sorted({line.split(":")[0] for line in res.stdout.splitlines() if ":" in line})
    return owners


class Package(unittest.TestCase):
    maxDiff = 4000

    @classmethod
    def setUpClass(cls):
        # Files made here are read by the channel running as another user.
        os.umask(0o022)
        arch = run(["dpkg", "--print-architecture"]).stdout.strip()
        cls.deb = os.path.join(DEB_DIR, "kestrow_%s_%s.deb" % (VERSION, arch))
        if not os.path.isfile(cls.deb):
            raise AssertionError("no package %s (built by the packaging.deb test); found %s"
                                 % (cls.deb, glob.glob(os.path.join(DEB_DIR, "*.deb"))))
        cls.dir = kt.scratch_dir(cls, "kestrow-pkg-")
        os.chmod(cls.dir, 0o755)  # the channel runs as nobody when the test runs as root
        cls.root = os.path.join(cls.dir, "root")
        res = run(["dpkg-deb", "-x", cls.deb, cls.root])
        assert res.returncode == 0, res.stderr
        cls.control = os.path.join(cls.dir, "control")
        res = run(["dpkg-deb", "-e", cls.deb, cls.control])
        assert res.returncode == 0, res.stderr

    def field(self, name):
        return run(["dpkg-deb", "-f", self.deb, name]).stdout.strip()

    def path(self, installed):
        """Where a path of the installed system lies in the scratch root."""
        return os.path.join(self.root, installed.lstrip("/"))

    def read(self, installed):
        with open(self.path(installed)) as f:
            return f.read()

    # -- what the package holds ---------------------------------------------

    def test_control_data_and_layout(self):
        self.assertEqual(self.field("Package"), "kestrow")
        self.assertEqual(self.field("Version"), VERSION)
        self.assertEqual(self.field("Architecture"), run(["dpkg", "--print-architecture"]).stdout.strip())
        for installed in ("/usr/bin/KestrowApp", "/usr/bin/KestrowDemo"):
            mode = os.stat(self.path(installed)).st_mode
            self.assertTrue(mode & stat.S_IXOTH, installed)
        for installed in ("/etc/kestrow/example.conf", "/lib/systemd/system/kestrow@.service",
                          "/usr/lib/tmpfiles.d/kestrow.conf", "/usr/share/doc/kestrow/operations.md",
                          "/usr/share/doc/kestrow/architecture.md", "/usr/share/kestrow/prometheus/kestrow-alerts.yml",
                          "/usr/share/kestrow/grafana/kestrow-channel.json",
                          "/usr/share/kestrow/kestrow-state.schema.json"):
            self.assertTrue(os.path.isfile(self.path(installed)), installed)
        with open(os.path.join(self.control, "conffiles")) as f:
            self.assertEqual(f.read().split(), ["/etc/kestrow/example.conf"])
        self.assertIn("d /var/log/kestrow 0750 kestrow kestrow", self.read("/usr/lib/tmpfiles.d/kestrow.conf"))

        for prog in ("KestrowApp", "KestrowDemo"):
            binary = self.path("/usr/bin/" + prog)
            dump = run(["objdump", "-p", "-h", binary]).stdout
            self.assertNotRegex(dump, r"NEEDED\s+lib(asan|ubsan)", "%s is a sanitizer build" % prog)
            self.assertNotIn(".debug_info", dump, "%s is not stripped" % prog)

        res = run([self.path("/usr/bin/KestrowApp"), "--help"])
        self.assertEqual(res.returncode, 255)
        self.assertTrue(res.stderr.startswith("KestrowApp - %s," % VERSION), res.stderr[:200])

    def test_depends_name_the_package_of_every_shared_library(self):
        depends = {d.strip().split()[0] for d in self.field("Depends").split(",")}
        self.assertIn("adduser", depends, "the postinst runs adduser")
        for prog in ("KestrowApp", "KestrowDemo"):
            for lib, owners in shared_library_packages(self.path("/usr/bin/" + prog)).items():
                self.assertTrue(owners, "%s: no package owns %s" % (prog, lib))
                self.assertTrue({o.split(":")[0] for o in owners} & depends,
                                "%s needs %s from %s, not in Depends: %s" % (prog, lib, owners, depends))
        # libavfilter8: loaded when conforming begins, so no binary names it.
        for lib in ("libavformat59", "libavcodec59", "libavutil57", "libavfilter8", "libsrt1.5-gnutls",
                    "libxmlrpc-core-c3", "libxml2"):
            self.assertIn(lib, depends)

    # -- maintainer scripts -------------------------------------------------

    def stub_bin(self, log, user_exists):
        """Commands the scripts call that would change this machine: recorded
        instead (install runs for real, without changing owners)."""
        bindir = os.path.join(self.dir, "stub-bin-%d" % user_exists)
        os.makedirs(bindir, exist_ok=True)
        stubs = {
            "adduser": 'echo "adduser $*" >> "%s"' % log,
            "getent": 'echo "getent $*" >> "%s"; exit %d' % (log, 0 if user_exists else 2),
            "systemctl": 'echo "systemctl $*" >> "%s"' % log,
            "install": 'echo "install $*" >> "%s"\nargs=""\nwhile [ $# -gt 0 ]; do\n'
                       '  case "$1" in -o|-g) shift 2 ;; *) args="$args $1"; shift ;; esac\ndone\n'
                       'exec /usr/bin/install $args' % log,
        }
        for name, body in stubs.items():
            p = os.path.join(bindir, name)
            with open(p, "w") as f:
                f.write("#!/bin/sh\n" + body + "\n")
            os.chmod(p, 0o755)
        return bindir

    def script(self, name, *args, root, user_exists=False):
        log = os.path.join(self.dir, "calls-%s.log" % name)
        if os.path.exists(log):
            os.unlink(log)
        env = dict(os.environ, DPKG_ROOT=root,
                   PATH=self.stub_bin(log, user_exists) + ":/usr/sbin:/usr/bin:/sbin:/bin")
        res = run(["sh", "-e", os.path.join(self.control, name)] + list(args), env=env)
        return res, kt.read_text(log)

    def test_maintainer_scripts(self):
        for name in ("postinst", "prerm", "postrm"):
            p = os.path.join(self.control, name)
            self.assertTrue(os.stat(p).st_mode & stat.S_IXUSR, name)
            if shutil.which("shellcheck"):
                res = run(["shellcheck", "-s", "sh", p])
                self.assertEqual(res.returncode, 0, "%s:\n%s" % (name, res.stdout))

        target = os.path.join(self.dir, "target")
        os.makedirs(target)
        res, calls = self.script("postinst", "configure", "", root=target)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertRegex(calls, r"adduser --system --group .*--no-create-home .* kestrow\n")
        self.assertRegex(calls, r"install -d -m 0750 -o kestrow -g kestrow \S+/var/log/kestrow\n")
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(target, "var/log/kestrow")).st_mode), 0o750)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(target, "var/lib/kestrow")).st_mode), 0o755)
        self.assertNotIn("systemctl", calls, "nothing is started in another root")

        res, calls = self.script("postinst", "configure", "0.0.9", root=target, user_exists=True)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertNotIn("adduser", calls, "an existing user is kept")

        for name, arg in (("prerm", "remove"), ("prerm", "upgrade"), ("postrm", "remove")):
            res, _ = self.script(name, arg, root=target)
            self.assertEqual(res.returncode, 0, "%s %s: %s" % (name, arg, res.stderr))
        for name in ("postinst", "prerm", "postrm"):
            res, _ = self.script(name, "no-such-action", root=target)
            self.assertEqual(res.returncode, 1, name)

        # Purge: logs and boot links go; the operator's fillers stay.
        wants = os.path.join(target, "etc/systemd/system/multi-user.target.wants")
        os.makedirs(wants)
        os.symlink("/lib/systemd/system/kestrow@.service", os.path.join(wants, "kestrow@news.service"))
        os.symlink("/lib/systemd/system/other.service", os.path.join(wants, "other.service"))
        with open(os.path.join(target, "var/log/kestrow/news.log"), "w") as f:
            f.write("x\n")
        with open(os.path.join(target, "var/lib/kestrow/filler.ts"), "w") as f:
            f.write("x")
        res, _ = self.script("postrm", "purge", root=target)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual(os.listdir(wants), ["other.service"])
        self.assertFalse(os.path.exists(os.path.join(target, "var/log/kestrow")))
        self.assertTrue(os.path.exists(os.path.join(target, "var/lib/kestrow/filler.ts")))

    # -- the unit -----------------------------------------------------------

    def test_unit_passes_systemd_analyze_verify(self):
        tool = shutil.which("systemd-analyze")
        units = "/lib/systemd/system"
        if not tool or not os.path.isfile(os.path.join(units, "multi-user.target")):
            self.skipTest("systemd-analyze or the system's units are not installed")
        # The scratch root gets the targets and slices the unit refers to.
        unit_dir = self.path(units)
        for p in glob.glob(os.path.join(units, "*.target")) + glob.glob(os.path.join(units, "*.slice")):
            if os.path.isfile(p):
                shutil.copy(p, unit_dir)
        res = run([tool, "--root=" + self.root, "verify",
                   os.path.join(unit_dir, "kestrow@%s.service" % CHANNEL)])
        # verify reports unknown settings and bad values on stderr but exits 0.
        self.assertEqual((res.returncode, res.stdout + res.stderr), (0, ""))

    # -- a channel on air ---------------------------------------------------

    def channel_command(self, conf_text):
        """The unit's ExecStart for the channel, with the scratch root's paths,
        and the options file it names written from conf_text."""
        unit = unit_settings(self.read("/lib/systemd/system/kestrow@.service"))
        # Restarted whatever ended it, within a start rate limit.
        for key, want in (("Type", "simple"), ("User", "kestrow"), ("Restart", "always"),
                          ("KillSignal", "SIGTERM"), ("StartLimitIntervalSec", "120"), ("StartLimitBurst", "5"),
                          ("RestartPreventExitStatus", None)):
            self.assertEqual(unit.get(key), [want] if want else None, key)
        self.assertNotIn("--demonize", unit["ExecStart"][0])
        argv = unit["ExecStart"][0].replace("%i", CHANNEL).split()
        self.assertEqual(argv[-1], "/etc/kestrow/%s.conf" % CHANNEL)
        with open(self.path(argv[-1]), "w") as f:
            f.write(conf_text)
        workdir = self.path(unit["WorkingDirectory"][0])
        return [self.path(a) if a.startswith("/") else a for a in argv], workdir

    def test_channel_from_the_example_relays_a_break(self):
        src = "127.0.0.1:%d" % kt.free_port(kt.socket.SOCK_DGRAM)
        dst = "127.0.0.1:%d" % kt.free_port(kt.socket.SOCK_DGRAM)
        ctl = kt.free_port(kt.socket.SOCK_STREAM)

        # The example, as an operator adapts it: addresses, control port, the
        # log named after the channel; paths moved into the scratch root.
        lines = []
        replaced = set()
        for line in self.read("/etc/kestrow/example.conf").splitlines(True):
            key = line.split("=")[0].strip()
            value = {"--src-addr": src, "--dst-addr": dst, "--port": str(ctl),
                     "--log-file-name": "/var/log/kestrow/%s.log" % CHANNEL}.get(key)
            if key in ("--filler",):
                value = line.split("=", 1)[1].strip()
            if value is not None:
                if value.startswith("/"):
                    value = self.path(value)
                line = "%s=%s\n" % (key, value)
                replaced.add(key)
            lines.append(line)
        self.assertEqual(replaced, {"--src-addr", "--dst-addr", "--port", "--log-file-name", "--filler"},
                         "the example sets each of these once")
        argv, workdir = self.channel_command("".join(lines))
        log = self.path("/var/log/kestrow/%s.log" % CHANNEL)
        filler = dict(line.split("=", 1) for line in option_lines("".join(lines)) if "=" in line)["--filler"]
        # What LogsDirectory= and the postinst provide.
        os.makedirs(workdir, exist_ok=True)
        os.makedirs(os.path.dirname(filler), exist_ok=True)
        kestrow_gen.generate(filler, filler=True, duration=6)
        prog = os.path.join(self.dir, "programme.ts")
        info = kestrow_gen.generate(prog, duration=12, cues=["at=6,dur=3,lead=2"])

        # As root, the channel runs unprivileged, as the unit's User= would.
        as_user = []
        if os.geteuid() == 0 and shutil.which("setpriv"):
            os.chown(workdir, NOBODY, NOBODY)
            as_user = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"]
        out = os.path.join(self.dir, "output.ts")
        receiver = kestrow_udp.Receiver(dst, out)
        receiver.start()
        self.addCleanup(receiver.stop)
        env = {k: v for k, v in os.environ.items() if not k.startswith(("ASAN", "UBSAN", "LSAN", "LD_"))}
        with open(os.path.join(self.dir, "journal.txt"), "w") as journal:
            proc = subprocess.Popen(as_user + argv, cwd=workdir, env=env, stdin=subprocess.DEVNULL,
                                    stdout=journal, stderr=journal)
            self.addCleanup(kt.stop, proc)
            src_port = int(src.rsplit(":", 1)[1])
            self.assertTrue(kt.wait_for(lambda: kt.bound(src_port, True) or proc.poll() is not None, 20))
            kestrow_udp.send(prog, src)
            time.sleep(1.5)
            proc.send_signal(signal.SIGTERM)
            rc = proc.wait(timeout=15)
        receiver.stop()

        self.assertEqual(rc, 0, kt.read_text(log)[-3000:])
        self.assertTrue(kt.read_text(log), "no log file")
        self.assertEqual(kt.read_text(log), kt.read_text(os.path.join(self.dir, "journal.txt")),
                         "standard error (the journal) has the lines too")
        if as_user:
            self.assertEqual(os.stat(log).st_uid, NOBODY)

        got = kestrow_gen.check(out)
        pids = {s["pid"] for s in got["streams"]}
        want = {info["video_pid"], info["scte_pid"]} | set(info["audio_pids"])
        self.assertTrue(want <= pids, "programme PIDs %s, output PIDs %s" % (want, pids))
        video = {p["hash"] for p in got["packets"] if p["pid"] == info["video_pid"]}
        from_filler = video & {p["hash"] for p in kestrow_gen.check(filler)["packets"]
                               if p["pid"] == info["video_pid"]}
        from_prog = video & {p["hash"] for p in kestrow_gen.check(prog)["packets"]
                             if p["pid"] == info["video_pid"]}
        self.assertGreater(len(from_filler), 25, "filler video in the break")
        self.assertGreater(len(from_prog), 25, "programme video around it")
        probe = run(["ffprobe", "-v", "error", "-show_entries", "program_tags", "-of", "default", out]).stdout
        self.assertIn("service_name=Kestrow Example", probe, "the example's service name")


if __name__ == "__main__":
    unittest.main(verbosity=2)
