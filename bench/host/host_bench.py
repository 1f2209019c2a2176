"""What the host benchmarks share: a test clip, flumina-host as a child process
whose port the clients' port file names, and per-thread CPU time."""

import contextlib
import os
import signal
import subprocess
import threading
import time

PORT_FILE = "/etc/opt/korvane/ap_port"


def make_clip(path, frames, size, grain=0):
    """An H.264 clip of FFmpeg's test pattern; `grain` (0 to 100) adds moving noise, as a camera's picture has."""
    pattern = f"testsrc2=size={size[0]}x{size[1]}:rate=25" + (f",noise=alls={grain}:allf=t" if grain else "")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", pattern,
                    "-frames:v", str(frames), "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p",
                    path], check=True, timeout=300)
    return path


class Host:
    def __init__(self, binary, *options):
        self.process = subprocess.Popen([binary, "--port", "0", *options], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, text=True)
        self.lines = []
        self.changed = threading.Condition()
        threading.Thread(target=self._collect, daemon=True).start()
        line = self.wait_for("listening on 127.0.0.1:", 10)
        if line is None:
            raise RuntimeError("flumina-host did not start")
        self.port = int(line.rsplit(":", 1)[1])
        with open(PORT_FILE, "w") as f:
            f.write(f"{self.port}\n")

    def _collect(self):
        for line in self.process.stderr:
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()

    def wait_for(self, fragment, timeout):
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                found = next((line for line in self.lines if fragment in line), None)
                if found or time.monotonic() > deadline:
                    return found
                self.changed.wait(deadline - time.monotonic())

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(30)


def _cpu_seconds(stat_path):
    """(name, user + system CPU seconds) from a /proc stat file."""
    with open(stat_path) as f:
        stat = f.read()
    fields = stat[stat.rindex(")") + 2:].split()
    return stat[stat.index("(") + 1:stat.rindex(")")], (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _thread_times(pid):
    """{thread id: (name, CPU seconds)} of `pid`'s threads; the main thread (I/O) is named "main"."""
    times = {}
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            name, used = _cpu_seconds(f"/proc/{pid}/task/{task}/stat")
        except OSError:
            continue
        times[task] = ("main" if int(task) == pid else name, used)
    return times


def cpu_use(pid, seconds):
    """(whole process, {thread name: share}) in percent of a core over the next `seconds`.

    The whole counts every thread; a thread name's share only the threads seen
    at the end (FFmpeg's decoder threads come and go with their input)."""
    before, whole_before, started = _thread_times(pid), _cpu_seconds(f"/proc/{pid}/stat")[1], time.monotonic()
    time.sleep(seconds)
    after, whole_after, elapsed = _thread_times(pid), _cpu_seconds(f"/proc/{pid}/stat")[1], time.monotonic() - started
    shares = {}
    for task, (name, used) in after.items():
        shares[name] = shares.get(name, 0) + 100 * (used - before.get(task, (name, 0))[1]) / elapsed
    return 100 * (whole_after - whole_before) / elapsed, shares


@contextlib.contextmanager
def port_file_kept():
    """Puts the clients' port file back as it was once the block is done."""
    saved = open(PORT_FILE, "rb").read() if os.path.exists(PORT_FILE) else None
    os.makedirs(os.path.dirname(PORT_FILE), exist_ok=True)
    try:
        yield
    finally:
        if saved is not None:
            with open(PORT_FILE, "wb") as f:
                f.write(saved)
        elif os.path.exists(PORT_FILE):
            os.unlink(PORT_FILE)
