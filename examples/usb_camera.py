"""Lists the USB cameras, then reads the first one for five seconds and shows
every frame on the screen."""
import sys
import time

from flumina import flm

s = flm()
cameras = s.getUsbDeviceId()  # the identifiers of the attached USB cameras
print("USB cameras:", cameras)
if not cameras:
    sys.exit("no USB camera")
s.add(cameras[0], utype="usbDeviceId")
[(height, width, _)] = s.build()  # the camera's own size, as the host reports it
print(f"reading {width} x {height}")
frames = 0
stale = True  # a live input's first frame waited through build's three seconds
end = time.monotonic() + 5
while time.monotonic() < end:
    frame = s.read()
    if frame is None:
        time.sleep(0.005)
        continue
    if stale:
        stale = False
        continue
    frames += 1
    s.show(frame)
print(f"{frames} frames shown")
