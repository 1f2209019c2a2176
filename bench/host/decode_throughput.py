#!/usr/bin/python3
"""Decode throughput: flumina-host --no-pacing into a Python read loop, beside cv2.VideoCapture.

Makes a 1280 x 720 H.264 clip with the ffmpeg command, then, in the same run,
reads every frame of it
  - through flumina: flumina-host decodes into the input channel and a script
    loops flm.read(0) (the host decodes the next frame while the script works);
  - with cv2.VideoCapture: decoding and the script's work take turns;
once with no work per frame and once with --work milliseconds of busy work,
and prints the frames per second of each and their ratio. FFmpeg's own
decode to null is printed for reference.

    PYTHONPATH=build/python /usr/bin/python3 bench/host/decode_throughput.py --host build/bin/flumina-host
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import cv2

from host_bench import port_file_kept, start_host

POLL_PAUSE = 0.0001  # seconds between read() calls that found no frame


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", required=True, help="the flumina-host executable")
    parser.add_argument("--frames", type=int, default=600, help="frames in the clip (default: %(default)s)")
    parser.add_argument("--work", type=float, default=5.0, help="milliseconds of work per frame in the second pass (default: %(default)s)")
    parser.add_argument("--clip", help="use this 1280 x 720 clip instead of making one")
    parser.add_argument("--repeat", type=int, default=3, help="passes of each measurement, alternating; the median is shown (default: %(default)s)")
    return parser.parse_args(argv)


def make_clip(path, frames):
    print(f"bench: making {path} ({frames} frames, 1280 x 720, H.264)", flush=True)
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30",
                    "-frames:v", str(frames), "-c:v", "libx264", "-preset", "veryfast", "-crf", "23",
                    "-pix_fmt", "yuv420p", path], check=True)


def busy(milliseconds):
    """Keeps one core busy for `milliseconds`, as a script's own work per frame would."""
    end = time.perf_counter() + milliseconds / 1000
    while time.perf_counter() < end:
        pass


def flumina_fps(clip, frames, work):
    import flumina
    session = flumina.flm()
    session.add("file://" + clip, inputshape=(1280, 720))
    session.build()
    count, first = 0, None
    last_frame = time.perf_counter()
    while count < frames:
        frame = session.read(0)
        now = time.perf_counter()
        if frame is None:
            if now - last_frame > 5:
                sys.exit(f"bench: flumina delivered {count} of {frames} frames")
            time.sleep(POLL_PAUSE)  # a script that spins on read() takes a core from the decoder
            continue
        if first is None:
            first = now  # the first frame was waiting during build(); time from it on
        last_frame = now
        count += 1
        if work:
            busy(work)
    return (count - 1) / (time.perf_counter() - first)


def opencv_fps(clip, frames, work):
    capture = cv2.VideoCapture(clip)
    count = 0
    started = time.perf_counter()
    while count < frames:
        ok, frame = capture.read()
        if not ok:
            break
        count += 1
        if work:
            busy(work)
    capture.release()
    return count / (time.perf_counter() - started)


def ffmpeg_null_fps(clip, frames):
    started = time.perf_counter()
    subprocess.run(["ffmpeg", "-v", "error", "-i", clip, "-f", "null", "-"], check=True)
    return frames / (time.perf_counter() - started)


def main(argv):
    args = parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="flumina-bench-") as folder:
        clip = args.clip or os.path.join(folder, "clip720p.mp4")
        if not args.clip:
            make_clip(clip, args.frames)
        with port_file_kept(), start_host(args.host, "--no-pacing", "--progress-interval", "3600"):
            rows = []
            for work in (0.0, args.work):
                ours, theirs = [], []
                for _ in range(args.repeat):
                    ours.append(flumina_fps(clip, args.frames, work))
                    theirs.append(opencv_fps(clip, args.frames, work))
                rows.append((work, statistics.median(ours), statistics.median(theirs)))
                print(f"bench: {work:g} ms of work: flumina {', '.join(f'{v:.0f}' for v in ours)} fps; "
                      f"cv2 {', '.join(f'{v:.0f}' for v in theirs)} fps", flush=True)
        reference = ffmpeg_null_fps(clip, args.frames)
    print(f"\n1280 x 720 H.264, {args.frames} frames; {os.cpu_count()} cores; median of {args.repeat} passes")
    print(f"{'work per frame':>15} {'flumina fps':>12} {'cv2 fps':>9} {'ratio':>7}")
    for work, ours, theirs in rows:
        print(f"{work:>12.1f} ms {ours:>12.1f} {theirs:>9.1f} {ours / theirs:>7.2f}")
    print(f"ffmpeg decode to null: {reference:.1f} fps (reference)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
