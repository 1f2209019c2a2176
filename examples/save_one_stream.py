"""Reads several network streams and has the host save the first of them.

    PYTHONPATH=build/python /usr/bin/python3 examples/save_one_stream.py URL URL...

Reads every URL at 640 x 360, draws the frame count on the frames of the
first and pushes them, to be saved as saved.mp4; prints how many frames each
stream gave. It ends when no stream has given a frame for two seconds, or
after --seconds.

Network streams of one session all have an output, or none has one (else
build raises ValueError("all utype must same")). So every stream here has an
output, and only the first is ever pushed to: the host makes no file for an
output that never gets a frame. A local file goes beside network streams as a
file:// URL: by its path it would be a file, and files cannot share a session
with network streams (ValueError("inputs must be same type")).
"""
import argparse
import time

import cv2
from flumina import flm

WIDTH, HEIGHT = 640, 360


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("urls", nargs="+", metavar="URL", help="network streams: rtsp://, http://, file://...")
    parser.add_argument("--seconds", type=float, default=60, help="read for this long at most (default: %(default)s)")
    args = parser.parse_args()

    s = flm()
    for index, url in enumerate(args.urls):
        saved = "saved.mp4" if index == 0 else f"not-saved-{index}.mp4"  # an output each; only stream 0 gets frames
        s.add(url, inputshape=(WIDTH, HEIGHT), outputinfo=(saved, 25, WIDTH, HEIGHT))
    s.build()  # use type 3: network streams, every one with an output, some saved

    counts = [0] * len(args.urls)
    start = last = time.monotonic()
    while time.monotonic() - last < 2 and time.monotonic() - start < args.seconds:
        took = False
        for index in range(len(counts)):
            frame = s.read(index)
            if frame is None:
                continue
            took = True
            counts[index] += 1
            if index == 0:
                frame = frame.copy()
                cv2.putText(frame, f"frame {counts[0]}", (20, 40), cv2.FONT_HERSHEY_SIMPLEX, 1, (255, 255, 255), 2)
                s.push(frame, 0)
        if took:
            last = time.monotonic()
        else:
            time.sleep(0.005)
    print("frames per stream:", counts)


if __name__ == "__main__":
    main()
