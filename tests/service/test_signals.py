"""Stopping KestrowApp: each terminating signal ends it within one second with
the shutdown lines and "Bye!" last, whatever the moment; SIGPIPE never ends it."""
import signal
import socket
import time

import kt
from svc import Service, check, listening, messages, run_cases

LIMIT = 1.0  # seconds from the signal to the end of the process


def started(folder, port):
    svc = Service(folder, ["--port=%d" % port])
    check(svc.wait_listening(port), "control port %d never listened" % port)
    return svc


def each_terminating_signal_stops_it():
    for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGALRM, signal.SIGINT):
        with kt.scratch() as d:
            svc = started(d, kt.free_port())
            try:
                rc, took = svc.stop_timed(sig)
                check(rc == 0, "%s: status %r" % (sig.name, rc))
                check(took <= LIMIT, "%s: took %.3f s" % (sig.name, took))
                svc.check_shutdown([int(sig)])
            finally:
                svc.close()


def signal_right_after_start_stops_it():
    # The banner is logged just before the handlers are installed, so the
    # signal lands before or while the control server is being set up.
    for _ in range(8):
        with kt.scratch() as d:
            svc = Service(d, ["--port=%d" % kt.free_port()])
            try:
                check(kt.wait_for(lambda: "KestrowApp - " in svc.log_text(), 10, step=0.001),
                      "no banner")
                rc, took = svc.stop_timed(signal.SIGTERM)
                check(rc == 0, "status %r" % rc)
                check(took <= LIMIT, "took %.3f s" % took)
                msgs = messages(svc.log_text())
                check(msgs[-1] == "Bye!", "last line %r" % msgs[-1])
                check("sighandler: [%d] catched 15" % svc.proc.pid in msgs, "no sighandler line")
                check("main: Controls finished" in msgs, "no Controls finished")
            finally:
                svc.close()


def sigpipe_never_stops_it():
    with kt.scratch() as d:
        port = kt.free_port()
        svc = started(d, port)
        try:
            for _ in range(5):
                svc.signal(signal.SIGPIPE)
                time.sleep(0.05)
            time.sleep(0.5)
            check(svc.proc.poll() is None, "ended by SIGPIPE: %r" % svc.proc.poll())
            check(kt.wait_for(lambda: listening(port), 2), "port closed")
            rc, took = svc.stop_timed(signal.SIGTERM)
            check(rc == 0 and took <= LIMIT, "status %r after %.3f s" % (rc, took))
            svc.check_shutdown([15])
        finally:
            svc.close()


def second_signal_adds_one_line():
    # Two signals of one kind sent at once may merge into one delivery, so the
    # second is sent once the first is logged. An open client connection
    # holds the control server's teardown for a while (xmlrpc-c checks its
    # finished connections every 2 seconds), which keeps the shutdown going.
    with kt.scratch() as d:
        port = kt.free_port()
        svc = started(d, port)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5):
                time.sleep(0.2)
                start = time.monotonic()
                svc.signal(signal.SIGTERM)
                check(kt.wait_for(lambda: "catched 15" in svc.log_text(), 2, step=0.002),
                      "first signal not logged")
                check(svc.proc.poll() is None, "ended before the second signal")
                svc.signal(signal.SIGTERM)
                rc = svc.proc.wait(timeout=5)
                took = time.monotonic() - start
            check(rc == 0, "status %r" % rc)
            check(took <= LIMIT + 2.0, "took %.3f s" % took)
            svc.check_shutdown([15, 15])
        finally:
            svc.close()


def log_lines_are_copied_to_stderr_in_the_foreground():
    with kt.scratch() as d:
        svc = Service(d, ["--port=%d" % kt.free_port(), "--demonize", "--nodemonize"])
        try:
            check(svc.wait_log("KestrowApp - "), "no banner in the log")
            time.sleep(0.2)
            check(svc.proc.poll() is None, "did not stay in the foreground")
            rc, _ = svc.stop_timed(signal.SIGTERM)
            check(rc == 0, "status %r" % rc)
            err = kt.read_text(svc.err_path)
            check(err == svc.log_text(), "standard error differs from the log:\n%r\n%r"
                  % (err, svc.log_text()))
        finally:
            svc.close()


run_cases([each_terminating_signal_stops_it, signal_right_after_start_stops_it,
           sigpipe_never_stops_it, second_signal_adds_one_line,
           log_lines_are_copied_to_stderr_in_the_foreground])
