"""The host service, test clips and FFmpeg's tools for the Python end-to-end tests.

Each test gets its own flumina-host on an ephemeral port; the clients' port
file points at it for the test's duration and is then restored.
"""

import json
import os
import signal
import subprocess
import threading
import time

import numpy as np
import pytest

HOST_BIN = os.environ.get("FLUMINA_HOST_BIN", "flumina-host")
PORT_FILE = "/etc/opt/korvane/ap_port"
USERLAND_PREFIX = "/data/data/com.korvane/files/home/debian-fs"
CLIP_FRAMES = 30
CLIP_SIZE = (320, 240)


class Host:
    """A running flumina-host whose log lines are collected."""

    def __init__(self, *options):
        self.process = subprocess.Popen(
            [HOST_BIN, "--port", "0", *options], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True)
        self.lines = []
        self._changed = threading.Condition()
        self._reader = threading.Thread(target=self._collect, daemon=True)
        self._reader.start()
        line = self.wait_for("listening on 127.0.0.1:", 10)
        if line is None:
            self.process.kill()
            raise RuntimeError("flumina-host did not start:\n" + self.log())
        self.port = int(line.rsplit(":", 1)[1])

    def _collect(self):
        for line in self.process.stdout:
            with self._changed:
                self.lines.append(line.rstrip("\n"))
                self._changed.notify_all()
        with self._changed:
            self._changed.notify_all()

    def wait_for(self, fragment, timeout=5):
        """The first log line holding `fragment`, or None after `timeout` seconds."""
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
        with self._changed:
            return "\n".join(self.lines)

    def stop(self):
        """SIGTERM, then the exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(15)
        finally:
            self.close()

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)
        self._reader.join(5)
        self.process.stdout.close()


@pytest.fixture
def start_host():
    """start_host(*options): a flumina-host that the clients' port file names."""
    hosts = []
    saved = None
    created_dir = not os.path.isdir(os.path.dirname(PORT_FILE))
    if os.path.exists(PORT_FILE):
        with open(PORT_FILE, "rb") as f:
            saved = f.read()

    def start(*options):
        host = Host(*options)
        hosts.append(host)
        os.makedirs(os.path.dirname(PORT_FILE), exist_ok=True)
        with open(PORT_FILE, "w") as f:
            f.write(f"{host.port}\n")
        return host

    yield start
    for host in hosts:
        host.close()
    if saved is not None:
        with open(PORT_FILE, "wb") as f:
            f.write(saved)
    elif os.path.exists(PORT_FILE):
        os.unlink(PORT_FILE)
        if created_dir:
            os.rmdir(os.path.dirname(PORT_FILE))


def make_clip(path, frames=CLIP_FRAMES, size=CLIP_SIZE, rate=25, source="testsrc2"):
    """An H.264 clip of one of FFmpeg's sources: "testsrc2", or "color=c=yellow" and the like."""
    separator = ":" if "=" in source else "="
    subprocess.run(
        ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"{source}{separator}size={size[0]}x{size[1]}:rate={rate}",
         "-frames:v", str(frames), "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p",
         "-movflags", "+faststart", str(path)], check=True, timeout=60)
    return str(path)


@pytest.fixture(scope="session")
def clip(tmp_path_factory):
    """A 320 x 240 H.264 clip of 30 frames at 25 fps."""
    return make_clip(tmp_path_factory.mktemp("clips") / "clip.mp4")


def decode_with_ffmpeg(path, size):
    """Every frame of `path` as ffmpeg decodes it: an array (frames, height, width, 3) of rgb24."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "rawvideo", "-pix_fmt", "rgb24",
                          "-s", f"{size[0]}x{size[1]}", "-"], check=True, capture_output=True, timeout=60).stdout
    return np.frombuffer(raw, dtype=np.uint8).reshape(-1, size[1], size[0], 3)


def probe(path):
    """(codec, width, height, frames, clean) of the first video stream of `path`."""
    found = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
                            "stream=codec_name,width,height,nb_read_frames", "-of", "json", str(path)],
                           capture_output=True, text=True, timeout=60)
    streams = json.loads(found.stdout or "{}").get("streams") or [{}]
    stream = streams[0]
    decode = subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-f", "null", "-"], capture_output=True,
                            text=True, timeout=60)
    return (stream.get("codec_name"), stream.get("width"), stream.get("height"),
            int(stream.get("nb_read_frames", -1)), decode.returncode == 0 and not decode.stderr)


def read_frames(session, count, timeout=15, index=0):
    """Up to `count` frames read from stream `index`, polling as a script does."""
    frames = []
    deadline = time.monotonic() + timeout
    while len(frames) < count and time.monotonic() < deadline:
        frame = session.read(index)
        if frame is None:
            time.sleep(0.001)
            continue
        frames.append(frame.copy())
    return frames


BARS = 12  # bits of a frame number, drawn as black and white bars


def numbered_frame(number, size=CLIP_SIZE):
    """A frame that carries `number` as vertical bars, which survive lossy encoding."""
    width, height = size
    frame = np.zeros((height, width, 3), dtype=np.uint8)
    bar = width // BARS
    for bit in range(BARS):
        if number >> bit & 1:
            frame[:, bit * bar:(bit + 1) * bar] = 255
    return frame


def number_in(frame):
    """The number a frame (height, width, 3) carries (see numbered_frame)."""
    bar = frame.shape[1] // BARS
    middle = frame[frame.shape[0] // 2]
    return sum(1 << bit for bit in range(BARS) if middle[bit * bar + bar // 2].mean() > 128)


def frame_numbers(path, size=CLIP_SIZE):
    """The number each frame of `path` carries (see numbered_frame), in order."""
    return [number_in(frame) for frame in decode_with_ffmpeg(str(path), size)]


def frame_times(path):
    """The presentation time in seconds of every frame of `path`, in order."""
    found = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "frame=pts_time",
                            "-of", "csv=p=0", str(path)], capture_output=True, text=True, timeout=60)
    return [float(line.split(",")[0]) for line in found.stdout.split() if line.split(",")[0]]
