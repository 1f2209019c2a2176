"""The host service, test clips and FFmpeg's tools for the Python end-to-end tests.

Each test gets its own flumina-host, started by the development kit's launcher
(flumina_devhost, whose pytest plugin also gives the fixture flumina_host): on
an ephemeral port that the clients' port file names for the test's duration.
"""

import contextlib
import io
import json
import os
import signal
import subprocess
import time

import numpy as np
import pytest
from flumina_devhost import ClientsPortFile, start_for_clients
from flumina_devhost.pytest_plugin import host_settings

USERLAND_PREFIX = "/data/data/com.korvane/files/home/debian-fs"
CLIP_FRAMES = 30
CLIP_SIZE = (320, 240)


@pytest.fixture
def start_host(request):
    """start_host(*options): a flumina-host that the clients reach; any still running is killed after the test."""
    binary, configured = host_settings(request.config)
    hosts = []
    with ClientsPortFile() as port_file:
        def start(*options):
            host = start_for_clients(port_file, *configured, *options, binary=binary)
            hosts.append(host)
            return host

        yield start
        for host in hosts:
            host.close()


def end_session(process):
    """Kills what is left of the session of `process` (started with start_new_session): a shell's background jobs."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()


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


def live_session(url, size=CLIP_SIZE):
    """A built session that reads `url` at `size` (build's own lines kept off standard output)."""
    import flumina

    session = flumina.flm()
    session.add(url, inputshape=size)
    with contextlib.redirect_stdout(io.StringIO()):
        session.build()
    return session


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


def log_seconds(line):
    """Seconds of the day of a host log line's "HH:MM:SS.mmm" stamp."""
    h, m, s = line.split()[0].split(":")
    return int(h) * 3600 + int(m) * 60 + float(s)


def frame_times(path):
    """The presentation time in seconds of every frame of `path`, in order."""
    found = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "frame=pts_time",
                            "-of", "csv=p=0", str(path)], capture_output=True, text=True, timeout=60)
    return [float(line.split(",")[0]) for line in found.stdout.split() if line.split(",")[0]]
