"""A real browser for the page tests and figures: Debian's chromium, headless,
driven through its DevTools protocol over a pipe (no extra Python modules).

    with HeadlessBrowser() as browser:
        browser.open("http://127.0.0.1:8080/")
        rows = browser.evaluate("document.querySelectorAll('tr').length")

HeadlessBrowser() raises BrowserMissing when chromium cannot be started at
all; every other failure is an error of the test.
"""

import base64
import fcntl
import json
import os
import select
import shutil
import subprocess
import tempfile
import time


class BrowserMissing(Exception):
    pass


def _above_ten(fd):
    high = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
    os.close(fd)
    return high


class HeadlessBrowser:
    def __init__(self, width=1280, height=800):
        binary = shutil.which("chromium") or shutil.which("chromium-browser")
        if not binary:
            raise BrowserMissing("chromium is not installed (scripts/setup installs it)")
        self.profile = tempfile.mkdtemp(prefix="varnix-chromium-")
        to_browser_read, self.to_browser = os.pipe()
        self.from_browser, from_browser_write = os.pipe()
        # Above the descriptors the child's own are moved to, so that neither overwrites the other.
        to_browser_read, from_browser_write = _above_ten(to_browser_read), _above_ten(from_browser_write)
        # The protocol pipe is the browser's file descriptors 3 (commands) and 4 (replies).
        # As root (CI) chromium runs only without its sandbox.
        args = [binary, "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
                "--no-first-run", "--user-data-dir=" + self.profile, "--window-size=%d,%d" % (width, height),
                "about:blank"]
        try:
            self.process = subprocess.Popen(
                args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=open(os.path.join(self.profile, "chromium.log"), "w"),
                pass_fds=(3, 4), preexec_fn=lambda: (os.dup2(to_browser_read, 3), os.dup2(from_browser_write, 4)))
        except OSError as e:
            raise BrowserMissing("chromium cannot be started: %s" % e)
        os.close(to_browser_read)
        os.close(from_browser_write)
        self.buffer = b""
        self.next_id = 0
        self.session = None
        try:
            self.call("Browser.getVersion", timeout=60)
        except Exception as e:
            self.close()
            raise BrowserMissing("chromium started but does not answer (%s); its log: %s" % (e, self.log()))

    def log(self):
        try:
            with open(os.path.join(self.profile, "chromium.log")) as f:
                return f.read()[-2000:]
        except OSError:
            return ""

    def call(self, method, params=None, timeout=30, session=True):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            while b"\0" in self.buffer:
                raw, self.buffer = self.buffer.split(b"\0", 1)
                reply = json.loads(raw)
                if reply.get("id") == self.next_id:
                    if "error" in reply:
                        raise RuntimeError("%s: %s" % (method, reply["error"]))
                    return reply.get("result", {})
            if time.monotonic() > deadline:
                raise TimeoutError("no answer to %s within %d s" % (method, timeout))
            ready, _, _ = select.select([self.from_browser], [], [], 0.5)
            if ready:
                chunk = os.read(self.from_browser, 1 << 20)
                if not chunk:
                    raise RuntimeError("chromium ended; its log: " + self.log())
                self.buffer += chunk

    def open(self, url):
        """Opens `url` (in the tab of the last call, or a new one) and waits until it has loaded."""
        if not self.session:
            target = self.call("Target.createTarget", {"url": "about:blank"}, session=False)["targetId"]
            self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True},
                                     session=False)["sessionId"]
            self.call("Page.enable")
        self.call("Page.navigate", {"url": url})
        self.wait_for("document.readyState === 'complete'", 60)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in result:
            raise RuntimeError("%s: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def wait_for(self, expression, seconds):
        """Evaluates `expression` until it is true; its last value (false when the time ran out)."""
        deadline = time.monotonic() + seconds
        while True:
            value = self.evaluate(expression)
            if value or time.monotonic() > deadline:
                return value
            time.sleep(0.2)

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", {"format": "png"})["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for fd in (self.to_browser, self.from_browser):
            try:
                os.close(fd)
            except OSError:
                pass
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
