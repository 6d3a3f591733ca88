"""Without --port the control server listens on TCP port 14000."""
import signal
import time
import xmlrpc.client

import kt
from svc import Service, check, run_cases


def default_port_is_14000():
    with kt.scratch() as d:
        svc = Service(d, [])
        try:
            check(svc.wait_listening(14000), "port 14000 never listened")
            with xmlrpc.client.ServerProxy("http://127.0.0.1:14000/RPC2") as proxy:
                try:
                    proxy.made.up(7)
                    raise AssertionError("no fault")
                except xmlrpc.client.Fault as f:
                    check(f.faultCode == 1, "code %r" % f.faultCode)
                    check(f.faultString == "ctl_method_default: method made.up not bypassed",
                          "string %r" % f.faultString)
            # The proxy's connection is closed first: one still open at the
            # stop holds xmlrpc-c's teardown for up to 2 s.
            time.sleep(0.1)
            rc, took = svc.stop_timed(signal.SIGTERM)
            check(rc == 0 and took <= 1.0, "status %r after %.3f s" % (rc, took))
            svc.check_shutdown([15])
        finally:
            svc.close()


run_cases([default_port_is_14000])
