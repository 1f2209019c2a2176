"""Debian's chromium in headless mode, driven over its DevTools pipe (no
driver, no network): open a page, evaluate script in it, wait for a
condition, take a screenshot."""

import base64
import fcntl
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

CHROMIUM = "/usr/bin/chromium"
# Without these, chromium reaches for the network (closed here) and for a GPU.
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-pipe"]


class BrowserError(RuntimeError):
    pass


def _moved_above(fd, lowest):
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, lowest + 1)
    os.close(fd)
    return moved


class HeadlessChromium:
    """One page of a headless chromium of its own (empty profile), `width` x `height` CSS pixels at scale 1."""

    def __init__(self, width=1000, height=800):
        if not os.access(CHROMIUM, os.X_OK):
            raise BrowserError(f"{CHROMIUM} is missing: scripts/setup installs Debian's chromium")
        self.profile = tempfile.mkdtemp(prefix="flumina-chromium-")
        to_browser, self._to_browser = os.pipe()
        self._from_browser, from_browser = os.pipe()
        # The browser's ends, moved out of the way of the fd numbers 3 and 4 they become.
        to_browser, from_browser = (_moved_above(fd, 9) for fd in (to_browser, from_browser))
        # chromium reads commands on fd 3 and writes answers on fd 4.
        self.process = subprocess.Popen(
            ["bash", "-c", f'exec 3<&{to_browser} 4>&{from_browser} {to_browser}<&- {from_browser}>&-; exec "$@"',
             "chromium", CHROMIUM, *FLAGS, f"--user-data-dir={self.profile}", f"--window-size={width},{height}",
             "about:blank"],
            pass_fds=(to_browser, from_browser), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(to_browser)
        os.close(from_browser)
        self._pending = b""
        self._next_id = 0
        try:
            page = next(target for target in self._call("Target.getTargets")["targetInfos"] if target["type"] == "page")
            self._session = self._call("Target.attachToTarget", targetId=page["targetId"], flatten=True)["sessionId"]
            self.call("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1,
                      mobile=False)
            self.call("Page.enable")
        except BaseException:
            self.close()
            raise

    def _call(self, method, session=None, timeout=15, **params):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            while b"\0" not in self._pending:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([self._from_browser], [], [], left)[0]:
                    raise BrowserError(f"chromium did not answer {method} within {timeout} s")
                chunk = os.read(self._from_browser, 1 << 20)
                if not chunk:
                    raise BrowserError(f"chromium closed its pipe during {method}")
                self._pending += chunk
            line, self._pending = self._pending.split(b"\0", 1)
            answer = json.loads(line)
            if answer.get("id") != self._next_id:
                continue  # an event
            if "error" in answer:
                raise BrowserError(f"{method}: {answer['error'].get('message')}")
            return answer["result"]

    def call(self, method, **params):
        """A DevTools command on the page."""
        return self._call(method, session=self._session, **params)

    def open(self, url):
        self.call("Page.navigate", url=url)

    def evaluate(self, expression):
        """The JSON value of `expression` in the page (a promise is awaited)."""
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise BrowserError(f"{expression}: {result['exceptionDetails'].get('text')}")
        return result["result"].get("value")

    def wait_for(self, expression, timeout=10):
        """The first truthy value of `expression`, evaluated every 50 ms; raises after `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while True:
            value = self.evaluate(expression)
            if value:
                return value
            if time.monotonic() > deadline:
                raise BrowserError(f"still false after {timeout} s: {expression}")
            time.sleep(0.05)

    def screenshot(self, path):
        """Saves the viewport as a PNG at `path`; returns its bytes."""
        data = base64.b64decode(self.call("Page.captureScreenshot", format="png")["data"])
        with open(path, "wb") as f:
            f.write(data)
        return data

    def close(self):
        if self.process.poll() is None:
            try:
                self._call("Browser.close", timeout=5)
            except (BrowserError, OSError):
                pass
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(10)
        for fd in (self._to_browser, self._from_browser):
            try:
                os.close(fd)
            except OSError:
                pass
        shutil.rmtree(self.profile, ignore_errors=True)
