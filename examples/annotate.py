#!/usr/bin/python3
"""Annotate a video through the host stream service.

Registers a clip as a network stream with a frame size and a save
destination, reads every decoded frame, draws the frame number, the time and
a moving box on it with OpenCV, and pushes it back for the host to encode.

    PYTHONPATH=build/python /usr/bin/python3 examples/annotate.py --input clip.mp4 --output annotated.mp4

A local file is registered as a file:// URL. The script ends when no frame
has come for --idle seconds (the host has reached the end of the input), or
after --frames frames.
"""

import argparse
import os
import sys
import time

import cv2
import flumina


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--input", required=True, help="video file, or a URL the host can open (file://, http://, rtsp://, ...)")
    parser.add_argument("--output", default="annotated.mp4", help="where the host saves the annotated video (default: %(default)s)")
    parser.add_argument("--size", help="frame size WIDTHxHEIGHT (default: the file's own size, else 640x360)")
    parser.add_argument("--fps", type=float, help="frame rate of the output (default: the file's own, else 25)")
    parser.add_argument("--frames", type=int, help="stop after this many frames")
    parser.add_argument("--idle", type=float, default=3.0, help="seconds without a frame that mean the input has ended (default: %(default)s)")
    parser.add_argument("--first-frame-timeout", type=float, default=20.0, help="seconds to wait for the first frame (default: %(default)s)")
    return parser.parse_args(argv)


def source_url(source):
    """A local path as the file:// URL of its absolute path; a URL as it is."""
    if "://" in source:
        return source
    if not os.path.exists(source):
        sys.exit(f"annotate: no such file: {source}")
    return "file://" + os.path.abspath(source)


def own_format(source):
    """(width, height, fps) of a local file as OpenCV sees it; None for what it cannot open."""
    if "://" in source and not source.startswith("file://"):
        return None
    capture = cv2.VideoCapture(source[len("file://"):] if source.startswith("file://") else source)
    try:
        if not capture.isOpened():
            return None
        width = int(capture.get(cv2.CAP_PROP_FRAME_WIDTH))
        height = int(capture.get(cv2.CAP_PROP_FRAME_HEIGHT))
        fps = capture.get(cv2.CAP_PROP_FPS)
        return (width, height, fps) if width > 0 and height > 0 else None
    finally:
        capture.release()


def frame_format(args):
    found = own_format(args.input)
    if args.size:
        try:
            width, height = (int(v) for v in args.size.lower().split("x"))
        except ValueError:
            sys.exit(f"annotate: --size must be WIDTHxHEIGHT, not {args.size}")
    elif found:
        width, height = found[0], found[1]
    else:
        width, height = 640, 360
    # The encoder takes even sizes only.
    width, height = width - width % 2, height - height % 2
    fps = args.fps or (found[2] if found and found[2] and 0 < found[2] <= 240 else 25.0)
    return width, height, fps


def annotate(frame, number, started):
    """A copy of `frame` with the frame number, the time and a moving box drawn on it."""
    image = frame.copy()  # frames from read() are read-only views of the channel's bytes
    height, width = image.shape[:2]
    box = max(8, min(width, height) // 6)
    span = max(1, width - box)
    x = number * 4 % (2 * span)
    x = x if x <= span else 2 * span - x
    y = (height - box) // 2
    cv2.rectangle(image, (x, y), (x + box, y + box), (255, 96, 0), thickness=max(2, box // 12))
    scale = max(0.4, height / 480)
    thickness = max(1, int(round(2 * scale)))
    label = f"frame {number}"
    (text_width, text_height), _ = cv2.getTextSize(label, cv2.FONT_HERSHEY_SIMPLEX, scale, thickness)
    cv2.rectangle(image, (4, 4), (16 + text_width, 16 + text_height), (0, 0, 0), thickness=cv2.FILLED)
    cv2.putText(image, label, (10, 10 + text_height), cv2.FONT_HERSHEY_SIMPLEX, scale, (255, 255, 255), thickness)
    stamp = time.strftime("%H:%M:%S") + f" +{time.monotonic() - started:.2f}s"
    cv2.putText(image, stamp, (10, height - int(12 * scale)), cv2.FONT_HERSHEY_SIMPLEX, scale, (255, 255, 0), thickness)
    return image


def main(argv):
    args = parse_args(argv)
    url = source_url(args.input)
    width, height, fps = frame_format(args)
    output = os.path.abspath(args.output)
    print(f"annotate: {url} at {width} x {height}, {fps:g} fps, saving to {output}", flush=True)

    session = flumina.flm()
    session.add(url, inputshape=(width, height), outputinfo=(output, fps, width, height))
    session.build()

    count = 0
    started = time.monotonic()
    last_frame = None
    last_report = started
    while args.frames is None or count < args.frames:
        frame = session.read(0)
        now = time.monotonic()
        if frame is None:
            if last_frame is None and now - started > args.first_frame_timeout:
                sys.exit(f"annotate: no frame came within {args.first_frame_timeout:g} s (see the host's log)")
            if last_frame is not None and now - last_frame > args.idle:
                break
            time.sleep(0.001)
            continue
        last_frame = now
        count += 1
        session.push(annotate(frame, count, started), 0)
        if now - last_report >= 2 or count == 1:
            last_report = now
            print(f"annotate: {count} frames, {count / max(now - started, 1e-6):.1f} fps", flush=True)
    print(f"annotate: done, {count} frames read, annotated and pushed", flush=True)
    return 0 if count > 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
