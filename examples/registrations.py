"""Every way to register a stream, and the session kind each session gets.

Registering only describes streams: nothing here contacts the host, so this
runs without one. It needs a clip.mp4 in the current folder.
"""
import os
from typing import Any

from flumina import flm


def describe(title, session):
    print(f"{title}: use type {session._check()}")
    for index, entry in enumerate(session.js):
        print(f"  stream {index}: {entry}")


# Network streams (anything with "://"), decoded frames only. inputshape is
# (width, height); without it the host reports the size of stream 0.
s = flm()
s.add("rtsp://camera.example/stream1", inputFormat="video/hevc", inputshape=(640, 360))
s.add("http://media.example/talk.mp4", inputshape=(640, 360))
describe("two network streams", s)

# A network stream pushed on and saved: five elements, the push address (the
# one with "://") and the save path in either order, then rate, width, height.
s = flm()
s.add("rtsp://camera.example/stream1", inputshape=(1280, 720),
      outputinfo=("rtmp://live.example/app/key", "recording.mp4", 25, 1280, 720))
describe("pushed and saved", s)

# A network stream only saved: four elements, a destination without "://".
s = flm()
s.add("file://" + os.path.abspath("clip.mp4"), inputshape=(640, 360),
      outputinfo=("annotated.mp4", 25, 640, 360))
describe("a file:// URL, saved", s)

# A file by its path, read at its own size, or pushed on at 25 frames a second.
s = flm()
s.add("clip.mp4")
describe("a file", s)
s = flm()
s.add("clip.mp4", inputshape=(640, 360), outputinfo=("udp://127.0.0.1:5000", 25, 640, 360))
describe("a file, pushed", s)

# Cameras by index: read at their own size, or pushed at a size of your choice.
s = flm()
s.add(0)
describe("a camera", s)
s = flm()
s.add(0, inputshape=(640, 480), outputinfo=("rtmp://live.example/app/key", 30, 640, 480))
describe("a camera, pushed", s)

# A USB camera, by an identifier that getUsbDeviceId() returned.
s = flm()
s.add(1002, utype="usbDeviceId")
describe("a USB camera", s)

# utype names the kind: the input is kept as it is, unchecked and untranslated.
s = flm()
s.add("/sdcard/Movies/clip.mp4", utype="file_path")
describe("a file as the host names it", s)

# Refusals: a ValueError with a fixed message. (The last input is of no kind
# at all; Any lets it past the type checker, to show what add says.)
refusals: list[tuple[Any, dict[str, Any]]] = [
    ("clip.mp4", {"outputinfo": ("saved.mp4", 25, 640, 360)}),
    ("rtsp://camera.example/stream1", {"outputinfo": ("saved.mp4", 25, 640, 360)}),
    (0, {"inputshape": (640, 480), "outputinfo": ("saved.mp4", 25, 640, 480)}),
    ("no-such-file.mp4", {}),
    (2.5, {}),
]
for source, options in refusals:
    try:
        flm().add(source, **options)
    except ValueError as refusal:
        print(f"refused {source!r}: {refusal}")

# A session whose streams cannot run together: build refuses it before it
# starts anything (by _check, which build runs first).
s = flm()
s.add(0)
s.add("clip.mp4")
try:
    s._check()
except ValueError as refusal:
    print(f"refused the session: {refusal}")
