#!/usr/bin/python3
"""Record and replay of live inputs: for a bursty and a smooth source, what a
client that keeps up reads live from a host that records the source
(--record), and what it reads from two replays of that recording (replay://):
frames, whether the frame sequences (hashes) are equal, the recording's size
per second, and how long the stream lasts replayed against live.

  bursty   GStreamer's RTSP server encoding H.264 with B-frames as it sends (frames come in bursts)
  smooth   the same server sending an H.264 file's own frames (no B-frames), each at its time

Both send FFmpeg's test pattern at 640 x 360, 25 fps, with some moving grain
(--grain), as a camera's picture has; the client spends 20 ms on each frame. Hosts run
with --reconnect 0, so that a stream lasts from the session's start to the
source's end.

    PYTHONPATH=build/python /usr/bin/python3 bench/host/record_replay.py --host build/bin/flumina-host [CASE ...]

Run it where no other host runs (a machine, or a mount and network namespace,
of its own): it writes the clients' port file and uses the fixed channel names.
"""

import argparse
import hashlib
import os
import re
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tests/host"))

from conftest import live_session, log_seconds  # noqa: E402
from host_bench import make_clip, port_file_kept, start_host  # noqa: E402
from rtsp_server import RtspServer  # noqa: E402


SIZE = (640, 360)
WORK = 0.02  # seconds the client spends on a frame
CASES = {"bursty": ("h264-live", 3), "smooth": ("h264", 0)}  # the server's pipeline, B-frames of the file


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", required=True, help="the flumina-host executable")
    parser.add_argument("--seconds", type=int, default=10, help="seconds each source sends (default: %(default)s)")
    parser.add_argument("--grain", type=int, default=8, help="moving noise in the picture, 0 to 100 (default: %(default)s)")
    parser.add_argument("cases", nargs="*", choices=[[], *CASES], default=[], metavar="CASE",
                        help=f"{', '.join(CASES)} (default: both)")
    return parser.parse_args(argv)


def read_all(url):
    """The hashes of the frames a client reads from `url` until none has come for two seconds."""
    session = live_session(url, SIZE)
    hashes, last = [], time.monotonic()
    while time.monotonic() - last < 2:
        frame = session.read(0)
        if frame is None:
            time.sleep(0.001)
            continue
        hashes.append(hashlib.sha1(frame.tobytes()).hexdigest())
        last = time.monotonic()
        time.sleep(WORK)
    return hashes


def run(binary, url, *options):
    """(frame hashes, seconds from the session's start to its input's end, the host) of one session."""
    with start_host(binary, "--reconnect", "0", *options) as host:
        hashes = read_all(url)
    started = host.wait_for("session started", 0)
    ended = host.wait_for("stream 0: end of input", 0) or host.wait_for("stream 0: input ends", 0)
    return hashes, (log_seconds(ended) - log_seconds(started) if started and ended else float("nan")), host


def case(binary, work, name, seconds, grain):
    pipeline, bframes = CASES[name]
    clip = make_clip(os.path.join(work, f"{name}.mp4"), seconds * 25, SIZE, grain=grain, bframes=bframes)
    folder = os.path.join(work, f"{name}-recorded")
    with RtspServer(clip, pipeline, transport="tcp") as server:
        live, live_seconds, host = run(binary, server.url, "--record", folder)
    [recording] = host.recordings()
    recorded = re.search(r"over ([\d.]+) s", host.wait_for("stream 0: recorded", 0) or "")
    size = os.path.getsize(recording)
    replays = [run(binary, "replay://" + recording) for _ in range(2)]
    equal = all(hashes == live for hashes, _, _ in replays)
    per_second = f"{size / float(recorded.group(1)) / 1024:.0f} KiB/s" if recorded else "?"
    return (f"{len(live)} frames live, {' and '.join(str(len(h)) for h, _, _ in replays)} replayed; hash sequences "
            f"{'all equal' if equal else 'DIFFER'}; recording {size / 1024:.0f} KiB over "
            f"{recorded.group(1) if recorded else '?'} s, {per_second}; stream lasted {live_seconds:.2f} s live, "
            f"{' and '.join(f'{s:.2f} s' for _, s, _ in replays)} replayed")


def main(argv):
    args = parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="bench_record_") as work, port_file_kept():
        for name in args.cases or CASES:
            print(f"{name}: {case(args.host, work, name, args.seconds, args.grain)}", flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
