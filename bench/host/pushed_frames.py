#!/usr/bin/python3
"""Pushed frames: how many of the frames a Python client pushes reach the saved file.

Runs flumina-host and a Python client that reads every frame of a clip and
pushes it back to be saved as MP4, as examples/annotate.py does, in these
scenarios (pick with --only):

  fast     --no-pacing, 320 x 240, 200 frames: the client reads and pushes as
           fast as frames come
  loaded   1920 x 1080 at 25 fps, paced by the host, while two busy-loop
           processes load both cores
  cpu      1920 x 1080 at 25 fps: the host's CPU while it takes and encodes
           the pushed frames, per thread where the threads are named
  exit     the time from the client's exit to a saved file that plays with
           every frame the client pushed

Each prints one line. Writes the clients' port file while it runs and puts
it back afterwards.

    PYTHONPATH=build/python /usr/bin/python3 bench/host/pushed_frames.py --host build/bin/flumina-host
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

from host_bench import cpu_use, make_clip, port_file_kept, start_host

CLIENT = r"""
import os, sys, time
import flumina
clip, output, width, height, idle = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5])
session = flumina.flm()
session.add("file://" + clip, inputshape=(width, height), outputinfo=(output, 25, width, height))
session.build()
pushed, last = 0, time.monotonic()
while time.monotonic() - last < idle:
    frame = session.read(0)
    if frame is None:
        time.sleep(0.0005)
        continue
    session.push(frame, 0)
    pushed += 1
    last = time.monotonic()
print("pushed", pushed, flush=True)
os._exit(0)  # at once: the time to a playable file counts from here
"""


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", required=True, help="the flumina-host executable")
    parser.add_argument("--only", choices=["fast", "loaded", "cpu", "exit"], action="append",
                        help="run only these scenarios (default: all)")
    return parser.parse_args(argv)


def frames_in(path):
    found = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
                            "stream=nb_read_frames", "-of", "json", path], capture_output=True, text=True, timeout=120)
    streams = json.loads(found.stdout or "{}").get("streams") or [{}]
    return int(streams[0].get("nb_read_frames", 0))


def run_client(clip, output, size, idle=3.0):
    client = subprocess.Popen([sys.executable, "-c", CLIENT, clip, output, str(size[0]), str(size[1]), str(idle)],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    out, _ = client.communicate(timeout=600)
    pushed = [int(line.split()[1]) for line in out.splitlines() if line.startswith("pushed ")]
    if not pushed:
        raise RuntimeError("the client failed:\n" + out)
    return pushed[0]


def share(binary, clip, size, host_options, work, label):
    output = os.path.join(work, label + ".mp4")
    host = start_host(binary, *host_options)
    pushed = run_client(clip, output, size)
    host.wait_for("finalised", 15)
    host.stop()
    saved = frames_in(output)
    print(f"{label}: {saved} of {pushed} pushed frames saved ({100 * saved / max(pushed, 1):.1f}%)", flush=True)


def cpu(binary, clip, size, work):
    output = os.path.join(work, "cpu.mp4")
    host = start_host(binary)
    client = subprocess.Popen([sys.executable, "-c", CLIENT, clip, output, str(size[0]), str(size[1]), "3"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    host.wait_for("session started", 30)
    time.sleep(4)  # past the start, into the steady state
    total, shares = cpu_use(host.process.pid, 5)
    client.wait(600)
    host.stop()
    named = ", ".join(f"{name} {value:.1f}%" for name, value in sorted(shares.items(), key=lambda kv: -kv[1])
                      if value >= 0.05)
    print(f"cpu: host {total:.1f}% of a core at 1920 x 1080, 25 fps ({named})", flush=True)


def exit_time(binary, clip, size, work):
    output = os.path.join(work, "exit.mp4")
    host = start_host(binary, "--heartbeat-timeout", "5")
    client = subprocess.Popen([sys.executable, "-c", CLIENT, clip, output, str(size[0]), str(size[1]), "0.5"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    out, _ = client.communicate(timeout=600)
    exited = time.monotonic()
    pushed = int(next(line for line in out.splitlines() if line.startswith("pushed ")).split()[1])
    while time.monotonic() - exited < 30:
        probe = subprocess.run(["ffmpeg", "-v", "error", "-i", output, "-f", "null", "-"], capture_output=True,
                               text=True)
        if probe.returncode == 0 and not probe.stderr and frames_in(output) >= pushed:
            break
        time.sleep(0.02)
    waited = time.monotonic() - exited
    host.stop()
    print(f"exit: the saved file plays with all {pushed} frames {waited:.2f} s after the client exited", flush=True)


def main(argv):
    args = parse_args(argv)
    only = set(args.only or ["fast", "loaded", "cpu", "exit"])
    with port_file_kept(), tempfile.TemporaryDirectory() as work:
        small = make_clip(os.path.join(work, "small.mp4"), 200, (320, 240))
        if "fast" in only:
            share(args.host, small, (320, 240), ["--no-pacing"], work, "fast")
        if only & {"loaded", "cpu", "exit"}:
            large = make_clip(os.path.join(work, "large.mp4"), 250, (1920, 1080))
        if "loaded" in only:
            busy = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(2)]
            try:
                share(args.host, large, (1920, 1080), [], work, "loaded")
            finally:
                for process in busy:
                    process.kill()
                    process.wait()
        if "cpu" in only:
            cpu(args.host, large, (1920, 1080), work)
        if "exit" in only:
            exit_time(args.host, small, (320, 240), work)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
