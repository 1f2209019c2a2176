"""Clips whose every frame carries its number (conftest.numbered_frame), so
that a reader can tell which frames of a source reached it, and in what order."""

import subprocess

from conftest import CLIP_SIZE, numbered_frame

# hvc1: parameter sets in the sample description, as GStreamer's H.265 payloader takes them.
ENCODERS = {"h264": ["libx264"], "hevc": ["libx265", "-x265-params", "log-level=error", "-tag:v", "hvc1"]}


def make_numbered_clip(path, frames, size=CLIP_SIZE, rate=25, codec="h264", bframes=3):
    """An MP4 of `frames` numbered frames, with B-frames unless `bframes` is 0, a key frame a second."""
    encode = subprocess.Popen(
        ["ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", f"{size[0]}x{size[1]}",
         "-r", str(rate), "-i", "-", "-c:v", *ENCODERS[codec], "-preset", "veryfast", "-bf", str(bframes),
         "-g", str(rate), "-pix_fmt", "yuv420p", str(path)], stdin=subprocess.PIPE)
    for number in range(frames):
        encode.stdin.write(numbered_frame(number, size).tobytes())
    encode.stdin.close()
    if encode.wait(120) != 0:
        raise RuntimeError(f"ffmpeg could not make {path}")
    return str(path)

