"""--demonize: the parent returns 0 at once and the daemon, working in "/",
logs its banner and stops on SIGTERM like the foreground service."""
import os
import signal
import subprocess
import time

import kt
from svc import check, messages, required_args, run_cases


def daemon_pids(marker):
    """Processes whose command line holds marker (the test's own log path)."""
    pids = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % name, "rb") as f:
                if marker.encode() in f.read():
                    pids.append(int(name))
        except OSError:
            pass
    return pids


def alive(pid):
    """True while pid exists and is not a zombie waiting for its reaper."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def daemon_logs_banner_in_root():
    with kt.scratch() as d:
        log = os.path.join(d, "daemon.log")
        port = kt.free_port()
        pids = []
        try:
            p = subprocess.run([kt.APP, "--demonize", "--log-file-name=" + log,
                                "--port=%d" % port] + required_args(), cwd=d, stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=20)
            check(p.returncode == 0, "parent status %d" % p.returncode)
            check(p.stderr == b"", "parent stderr %r" % p.stderr)
            check(kt.wait_for(lambda: "KestrowApp - " in kt.read_text(log), 10), "no banner")
            pids = kt.wait_for(lambda: daemon_pids(log), 5)
            check(len(pids) == 1, "daemon processes %r" % pids)
            pid = pids[0]
            check(os.readlink("/proc/%d/cwd" % pid) == "/", "cwd %r" % os.readlink("/proc/%d/cwd" % pid))
            check(os.getsid(pid) == pid, "not a session leader")
            check(os.readlink("/proc/%d/fd/1" % pid) == "/dev/null", "stdout not on /dev/null")
            msgs = messages(kt.read_text(log))
            check(msgs[0].startswith("KestrowApp - "), "first line %r" % msgs[0])
            start = time.monotonic()
            os.kill(pid, signal.SIGTERM)
            check(kt.wait_for(lambda: not alive(pid), 5, step=0.01), "daemon still running")
            took = time.monotonic() - start
            check(took <= 1.0, "took %.3f s" % took)
            msgs = messages(kt.wait_for_text(log, "Bye!", 2))
            check(msgs[-1] == "Bye!", "last line %r" % msgs[-1])
            check("sighandler: [%d] catched 15" % pid in msgs, "no sighandler line")
        finally:
            for pid in pids or daemon_pids(log):
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass


run_cases([daemon_logs_banner_in_root])
