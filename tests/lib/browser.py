"""A real browser for the process tests: headless Chromium (Debian's
`chromium`) driven over its DevTools protocol on a pipe (file descriptors 3
and 4, messages of JSON ended by NUL), with the standard library only. Its
own fresh profile, no network but what the page's own host serves, stopped
when the test ends."""
import base64
import json
import os
import signal
import subprocess
import time

import kt

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-extensions", "--mute-audio", "--hide-scrollbars",
         # every name resolves to nothing: only the loopback address the tests serve on is reached
         "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1"]


class Browser:
    """One Chromium with one page, sized width x height."""

    def __init__(self, case, width=1400, height=1300):
        folder = kt.scratch_dir(case, "kestrow-chromium-")
        to_chrome, self._cmd = os.pipe()
        self._events, from_chrome = os.pipe()

        def fds():  # the protocol's descriptors in the child: 3 reads commands, 4 writes answers
            a, b = os.dup(to_chrome), os.dup(from_chrome)  # above 4, whatever numbers the pipes got
            os.dup2(a, 3)
            os.dup2(b, 4)
        self.log = os.path.join(folder, "chromium.log")
        with open(self.log, "wb") as log:
            self.proc = subprocess.Popen(["chromium"] + FLAGS + ["--remote-debugging-pipe", "--user-data-dir=" + folder,
                                                                 "about:blank"],
                                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log,
                                         preexec_fn=fds, close_fds=False, start_new_session=True)
        os.close(to_chrome)
        os.close(from_chrome)
        case.addCleanup(self.close)
        self._next, self._buf = 0, b""
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1, mobile=False)

    def call(self, method, timeout=30, **params):
        """The result of one command (of the page once attached); raises on an error."""
        self._next += 1
        msg = {"id": self._next, "method": method, "params": params}
        if getattr(self, "session", None):
            msg["sessionId"] = self.session
        os.write(self._cmd, json.dumps(msg).encode() + b"\0")
        end = time.monotonic() + timeout
        while True:
            while b"\0" not in self._buf:
                if time.monotonic() > end or self.proc.poll() is not None:
                    raise RuntimeError("chromium: no answer to %s: %s" % (method, kt.read_text(self.log)[-2000:]))
                chunk = os.read(self._events, 1 << 20)
                if not chunk:
                    raise RuntimeError("chromium ended")
                self._buf += chunk
            line, self._buf = self._buf.split(b"\0", 1)
            answer = json.loads(line)
            if answer.get("id") == self._next:
                if "error" in answer:
                    raise RuntimeError("%s: %s" % (method, answer["error"]))
                return answer.get("result", {})

    def open(self, url):
        self.call("Page.navigate", url=url)

    def value(self, expression):
        """The value of a JavaScript expression in the page."""
        res = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in res:
            raise RuntimeError("%s: %s" % (expression, res["exceptionDetails"]))
        return res["result"].get("value")

    def wait(self, expression, timeout=20):
        """Waits until the expression is true in the page; its last value."""
        return kt.wait_for(lambda: self.value(expression), timeout, step=0.1)

    def screenshot(self, path):
        """The whole page as a PNG at path."""
        data = self.call("Page.captureScreenshot", format="png", captureBeyondViewport=True)["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        """Asks it to end, then ends what is left of its processes (renderers write into the profile)."""
        if self.proc.poll() is None:
            try:
                self.session = None
                self.call("Browser.close", timeout=5)
            except (OSError, RuntimeError):
                pass
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            pass
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except OSError:
            pass
        kt.stop(self.proc)
        for fd in (self._cmd, self._events):
            try:
                os.close(fd)
            except OSError:
                pass
        time.sleep(0.2)  # the group's last processes let go of the profile
