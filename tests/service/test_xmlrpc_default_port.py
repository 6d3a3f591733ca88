"""Without --port the control server listens on TCP port 14000."""
import signal
import xmlrpc.client

import kt
from svc import Service, check, run_cases


def default_port_is_14000():
    with kt.scratch() as d:
        svc = Service(d, [])
        try:
            check(svc.wait_listening(14000), "port 14000 never listened")
            try:
                xmlrpc.client.ServerProxy("http://127.0.0.1:14000/RPC2").made.up(7)
                raise AssertionError("no fault")
            except xmlrpc.client.Fault as f:
                check(f.faultCode == 1, "code %r" % f.faultCode)
                check(f.faultString == "ctl_method_default: method made.up not bypassed",
                      "string %r" % f.faultString)
            rc, took = svc.stop_timed(signal.SIGTERM)
            check(rc == 0 and took <= 1.0, "status %r after %.3f s" % (rc, took))
            svc.check_shutdown([15])
        finally:
            svc.close()


run_cases([default_port_is_14000])
