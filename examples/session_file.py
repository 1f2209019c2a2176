"""Registers the streams of session.json (beside this script), draws a box on
each frame of stream 0 and pushes it on, and shows each frame of stream 1.

Paths in the session file are taken from the current folder, as add takes
them: run this where clip.mp4 is. Watch the pushed stream with
`ffplay udp://127.0.0.1:5000`; the saved one is boxed.mp4.
"""
import os
import time

import cv2
from flumina import flm

s = flm()
s.add_from_json(os.path.join(os.path.dirname(os.path.abspath(__file__)), "session.json"))
shapes = s.build()  # [(240, 320, 3), (120, 160, 3)]: (height, width, 3) per stream
counts = [0] * len(shapes)
last = time.monotonic()
while time.monotonic() - last < 2:  # no frame on any stream for 2 s: both ended
    took = False
    for index in range(len(shapes)):
        frame = s.read(index)
        if frame is None:
            continue
        took = True
        counts[index] += 1
        if index == 0:
            frame = frame.copy()
            cv2.rectangle(frame, (40, 40), (280, 200), (255, 0, 0), 4)  # red in RGB frames
            s.push(frame, 0)
        else:
            s.show(frame, 1)
    if took:
        last = time.monotonic()
    else:
        time.sleep(0.005)
print("frames per stream:", counts)
