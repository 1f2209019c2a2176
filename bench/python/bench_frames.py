"""How long flm.read of a ready frame and flm.push of one take, against a plain copy.

Each figure is the median over --frames runs, and each is also given as a ratio
to a plain copy of the same number of bytes (bytes() of a bytearray) measured
in the same run, so that figures from different machines compare.
"""

import argparse
import os
import statistics
import struct
import sys
import time

import numpy as np

import flumina
import Korvane


def median_ns(action, runs, before=None):
    samples = []
    for _ in range(runs):
        if before is not None:
            before()
        start = time.perf_counter_ns()
        action()
        samples.append(time.perf_counter_ns() - start)
    return statistics.median(samples)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=200, help="runs per figure (default 200)")
    parser.add_argument("--width", type=int, default=1920)
    parser.add_argument("--height", type=int, default=1080)
    args = parser.parse_args(argv)

    shape = (args.height, args.width, 3)
    size = args.height * args.width * 3
    names = [f"/tmp/bench/frames{os.getpid()}_{kind}" for kind in ("in", "show", "push")]
    session = flumina.flm()
    try:
        session.kv, session.diskv, session.eskv = ([Korvane.Aashmem(n)] for n in names)
        session.input_resize = [shape]
        host = Korvane.Aashmem(names[0])
        frame = np.random.default_rng(7).integers(0, 256, shape, dtype=np.uint8)
        host.set_bytes(frame, size, 8)
        host.set_bytes(struct.pack("<I", size), 4, 0)
        ready = struct.pack("<I", 1)

        def make_ready():
            host.set_bytes(ready, 4, 4)

        make_ready()
        if not np.array_equal(session.read(), frame):
            raise SystemExit("bench_frames: read returned another frame than the one put there")

        plain_source = bytearray(frame.tobytes())
        print(f"bench_frames: {args.width} x {args.height} x 3 = {size} bytes, median of {args.frames} runs",
              flush=True)
        copy = median_ns(lambda: bytes(plain_source), args.frames)
        read = median_ns(session.read, args.frames, before=make_ready)
        push = median_ns(lambda: session.push(frame), args.frames)
        print(f"plain copy  {copy / 1e3:9.1f} us")
        print(f"read        {read / 1e3:9.1f} us   {read / copy:5.2f} x plain copy")
        print(f"push        {push / 1e3:9.1f} us   {push / copy:5.2f} x plain copy")
    finally:
        session = None
        for name in names:
            Korvane.Aashmem.remove(name)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
