#!/usr/bin/python3
"""Reads a video file through the host, draws a frame counter and a box on
every frame, shows it on the screen and has the host save it.

    PYTHONPATH=build/python /usr/bin/python3 examples/draw_and_save.py clip.mp4 drawn.mp4 --size 640x360

The script ends when no frame has come for --idle seconds: the file is over.
"""
import argparse
import os
import sys
import time

import cv2
from flumina import flm


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input", help="the video file to read")
    parser.add_argument("output", help="where the host saves the drawn video (MP4)")
    parser.add_argument("--size", default="640x360", help="WIDTHxHEIGHT of the frames, even numbers (default: %(default)s)")
    parser.add_argument("--fps", type=float, default=25, help="frame rate of the saved video (default: %(default)s)")
    parser.add_argument("--idle", type=float, default=2, help="seconds without a frame that end the script (default: %(default)s)")
    args = parser.parse_args()
    width, height = (int(n) for n in args.size.lower().split("x"))
    if not os.path.isfile(args.input):
        sys.exit(f"draw_and_save: no such file: {args.input}")

    session = flm()
    # A file:// URL is a network stream, which may save alone; a file by its path may not.
    session.add("file://" + os.path.abspath(args.input), inputshape=(width, height),
                outputinfo=(args.output, args.fps, width, height))
    session.build()

    count = 0
    last = time.monotonic()
    while time.monotonic() - last < args.idle:
        frame = session.read(0)
        if frame is None:
            time.sleep(0.005)
            continue
        last = time.monotonic()
        count += 1
        frame = frame.copy()
        cv2.rectangle(frame, (width // 4, height // 4), (3 * width // 4, 3 * height // 4), (0, 255, 0), 3)
        cv2.putText(frame, f"frame {count}", (10, 30), cv2.FONT_HERSHEY_SIMPLEX, 1, (255, 255, 255), 2)
        session.show(frame, 0)
        session.push(frame, 0)
    print(f"draw_and_save: {count} frames drawn, shown and saved to {args.output}")
    return 0 if count else 1


if __name__ == "__main__":
    sys.exit(main())
