import os
import time

import cv2
from flumina import flm

s = flm()
s.add("file://" + os.path.abspath("clip.mp4"), inputshape=(640, 360),
      outputinfo=("annotated.mp4", 25, 640, 360))  # read at 640 x 360, save what is pushed
s.build()                                          # starts the session, prints "build over"
last = time.monotonic()
while time.monotonic() - last < 2:                 # no frame for 2 s: the clip is over
    frame = s.read()                               # a (360, 640, 3) array, or None at once
    if frame is None:
        time.sleep(0.005)                          # read never waits: sleep, or spin a core
        continue
    last = time.monotonic()
    frame = frame.copy()                           # frames from read are read-only
    cv2.putText(frame, "hello", (20, 60), cv2.FONT_HERSHEY_SIMPLEX, 2, (255, 255, 255), 3)
    s.show(frame)                                  # to the screen
    s.push(frame)                                  # to annotated.mp4
