"""flumina-host as a child process: started, its log collected, stopped."""

import contextlib
import glob
import json
import os
import signal
import subprocess
import threading
import time
import urllib.request

from .port_file import ClientsPortFile

BINARY_VARIABLE = "FLUMINA_HOST_BIN"
START_SECONDS = 10  # to listen, from the start
STOP_SECONDS = 30   # to exit, from SIGTERM: the outputs are finalised first
TAIL_LINES = 30

# The live view is on 127.0.0.1: never through a proxy of the environment.
_DIRECT = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def default_binary():
    """The flumina-host to run: $FLUMINA_HOST_BIN, else the one on PATH."""
    return os.environ.get(BINARY_VARIABLE) or "flumina-host"


def _last_value(options, name):
    """The value of the last `name` among `options` (as flumina-host takes it), or None."""
    values = [str(value) for option, value in zip(options, options[1:]) if option == name]
    return values[-1] if values else None


class DevHost:
    """flumina-host started with `options`, listening once the constructor returns.

    `port` is the port it listens on; `view_url` its live view
    ("http://127.0.0.1:PORT/", None with --view off); `record_dir` the folder
    it records live inputs into (None without --record); `lines` its log
    lines so far; `process` the child process. A `with` block stops it at its end.
    """

    def __init__(self, *options, binary=None):
        self.binary = binary or default_binary()
        self.record_dir = _last_value(options, "--record")
        self.lines = []
        self._changed = threading.Condition()
        self._ended_by_caller = False
        try:
            self.process = subprocess.Popen([self.binary, *options], stdin=subprocess.DEVNULL,
                                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                            errors="replace")
        except OSError as e:
            raise RuntimeError(f"cannot start {self.binary}: {e.strerror} (install flumina-devhost, or name the "
                               f"program with --flumina-host or ${BINARY_VARIABLE})") from e
        self._reader = threading.Thread(target=self._collect, daemon=True)
        self._reader.start()
        listening = self.wait_for("listening on 127.0.0.1:", START_SECONDS)
        view_off = _last_value(options, "--view") == "off"
        view = None if listening is None or view_off else self.wait_for("view: http://", START_SECONDS)
        if listening is None or (view is None and not view_off):
            self.close()
            raise RuntimeError(f"{self.binary} did not start within {START_SECONDS} s; its log:\n{self.log()}")
        self.port = int(listening.rsplit(":", 1)[1])
        self.view_url = view[view.index("http://"):] if view else None

    def __repr__(self):
        state = "running" if self.process.poll() is None else f"exited with status {self.process.returncode}"
        return f"<DevHost {self.binary} on 127.0.0.1:{getattr(self, 'port', '?')}, {state}>"

    def _collect(self):
        for line in self.process.stdout:
            with self._changed:
                self.lines.append(line.rstrip("\n"))
                self._changed.notify_all()
        with self._changed:
            self._changed.notify_all()

    def wait_for(self, fragment, timeout=5):
        """The first log line holding `fragment`, or None after `timeout` seconds or once the host has exited."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for line in self.lines:
                    if fragment in line:
                        return line
                left = deadline - time.monotonic()
                if left <= 0 or (self.process.poll() is not None and not self._reader.is_alive()):
                    return None
                self._changed.wait(left)

    def log(self):
        """The host's log so far."""
        with self._changed:
            return "\n".join(self.lines)

    def tail(self, count=TAIL_LINES):
        """The last `count` lines of the log."""
        with self._changed:
            return "\n".join(self.lines[-count:])

    def status(self):
        """The live view's /status as a dict: the running session's streams and their figures."""
        if self.view_url is None:
            raise RuntimeError("this flumina-host runs without its live view (--view off)")
        with _DIRECT.open(self.view_url + "status", timeout=5) as reply:
            return json.load(reply)

    def recordings(self):
        """The recordings of live streams this host has written so far (--record): paths, oldest first.
        Each plays as the live input it was through the input URL "replay://" + path."""
        if self.record_dir is None:
            return []
        return sorted(glob.glob(os.path.join(glob.escape(self.record_dir), "*-stream*.mkv")))

    def died(self):
        """Whether the host has exited without stop() or close()."""
        return not self._ended_by_caller and self.process.poll() is not None

    def stop(self, timeout=STOP_SECONDS):
        """SIGTERM: the running session stops and its outputs are finalised. Returns the exit
        status (negative: the signal that ended it); raises after killing a host that did not exit in time."""
        self._ended_by_caller = True
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise RuntimeError(f"{self.binary} did not exit within {timeout} s of SIGTERM and was killed; "
                               f"the end of its log:\n{self.tail()}") from None
        finally:
            self.close()

    def close(self):
        """Kills the host if it still runs; nothing is finalised."""
        self._ended_by_caller = True
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)
        self._reader.join(5)
        self.process.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def start_for_clients(port_file, *options, binary=None):
    """A DevHost that the clients reach.

    Where this process may write the clients' port file, the host listens on
    a free port and `port_file` (a ClientsPortFile, which puts the file back
    later) names it; elsewhere, as a user without that right, the host listens
    where the clients connect already: the port the file names, else 43329.
    """
    writable = port_file.writable()
    free_port = ("--port", "0") if writable and "--port" not in options else ()
    host = DevHost(*free_port, *options, binary=binary)
    if writable:
        try:
            port_file.point_at(host.port)
        except OSError:
            host.close()
            raise
    return host


@contextlib.contextmanager
def host_for_clients(*options, binary=None):
    """start_for_clients as a `with` block: the host is stopped and the port file put back at its end."""
    with ClientsPortFile() as port_file, start_for_clients(port_file, *options, binary=binary) as host:
        yield host
