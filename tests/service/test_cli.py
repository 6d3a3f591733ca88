"""Command line of KestrowApp: help and rejected arguments print the exact
usage on standard error and exit with status 255 before anything starts."""
import os
import subprocess

import kt
from svc import check, check_usage, run_cases


def run(args, folder):
    p = subprocess.run([kt.APP] + args, cwd=folder, stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=20)
    return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")


def nothing_created(folder):
    check(os.listdir(folder) == [], "files created: %r" % os.listdir(folder))


def help_prints_usage():
    for form in (["-h"], ["--help"], ["--port=5", "--he"]):
        with kt.scratch() as d:
            rc, out, err = run(form, d)
            check(rc == 255, "%r: status %d" % (form, rc))
            check(out == "", "%r: standard output %r" % (form, out))
            check_usage(err)
            nothing_created(d)


def rejected_argument_prints_error_and_usage():
    cases = [(["--nosuch"], "--nosuch"), (["-P", "5"], "-P"), (["--port"], "--port"),
             (["--d"], "--d"), (["--demonize=yes"], "--demonize=yes"),
             (["--filler=" + "x" * 4096], "--filler=" + "x" * 4096)]
    for args, element in cases:
        with kt.scratch() as d:
            rc, _, err = run(args, d)
            check(rc == 255, "%r: status %d" % (args, rc))
            head = "ERROR: Incorrect argument! [%s]\n" % element
            check(err.startswith(head), "%r: %r" % (args, err[:200]))
            check_usage(err[len(head):])
            nothing_created(d)


def failing_options_file_stops_the_start():
    with kt.scratch() as d:
        conf = os.path.join(d, "conf")
        os.mkdir(conf)
        rc, _, err = run([os.path.join(conf, "missing.conf")], d)
        check(rc == 255, "missing file: status %d" % rc)
        check(err == "opts_from_file: failed to open [%s]\n" % os.path.join(conf, "missing.conf"),
              "missing file: %r" % err)

        bad = os.path.join(conf, "bad.conf")
        with open(bad, "w") as f:
            f.write("--port=15000\n--no-such-option\n")
        rc, _, err = run([bad], d)
        check(rc == 255, "rejected line: status %d" % rc)
        head = "ERROR: Incorrect argument! [--no-such-option]\n"
        check(err.startswith(head), "rejected line: %r" % err[:200])
        check_usage(err[len(head):])

        cycle = os.path.join(conf, "cycle.conf")
        with open(cycle, "w") as f:
            f.write("--debug\n%s\n" % cycle)
        rc, _, err = run([cycle], d)
        check(rc == 255, "cycle: status %d" % rc)
        check("opts_from_file: options file [%s]" % cycle in err and "refused" in err,
              "cycle: %r" % err)
        check(os.listdir(d) == ["conf"], "files created: %r" % os.listdir(d))


run_cases([help_prints_usage, rejected_argument_prints_error_and_usage,
           failing_options_file_stops_the_start])
