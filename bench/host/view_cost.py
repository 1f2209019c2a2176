#!/usr/bin/python3
"""The live view's CPU cost: flumina-host with one viewer on a 1920 x 1080 stream at 25 fps.

Runs flumina-host on a looping 1920 x 1080, 25 fps clip and a Python client
that reads every frame and shows it. Measures the host's CPU per thread
(/proc/PID/task/*/stat) for --seconds with no viewer, then with one viewer
that watches the stream's shown frames, then its decoded input frames. The
viewer is a minimal WebSocket client that takes every picture as a page
does. Prints one line per case: the view's threads ("view", which makes the
pictures, and the main thread, whose I/O loop sends them), the whole
host's CPU beside the case without a viewer, and the pictures a second the
viewer got. Writes the clients' port file while it runs and puts it back.

    PYTHONPATH=build/python /usr/bin/python3 bench/host/view_cost.py --host build/bin/flumina-host
"""

import argparse
import base64
import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

from host_bench import cpu_use, make_clip, port_file_kept, start_host

CLIENT = r"""
import sys, time
import flumina
session = flumina.flm()
session.add("file://" + sys.argv[1], inputshape=(1920, 1080))
session.build()
end = time.monotonic() + float(sys.argv[2])
while time.monotonic() < end:
    frame = session.read(0)
    if frame is None:
        time.sleep(0.0005)
        continue
    session.show(frame, 0)
"""

VIEW_THREADS = ("view", "main")


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", required=True, help="the flumina-host executable")
    parser.add_argument("--seconds", type=float, default=10, help="length of each measurement (default: %(default)s)")
    return parser.parse_args(argv)


class Viewer:
    """A page's WebSocket connection to the view, reduced to what costs the host: it watches tiles and takes pictures."""

    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=10)
        key = base64.b64encode(os.urandom(16)).decode()
        self.socket.sendall((f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                             f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n").encode())
        answer = b""
        while b"\r\n\r\n" not in answer:
            answer += self.socket.recv(4096)
        if not answer.startswith(b"HTTP/1.1 101"):
            raise RuntimeError("the view refused the WebSocket: " + answer.decode(errors="replace"))
        self.pending = answer.split(b"\r\n\r\n", 1)[1]
        self.pictures = 0
        self.picture_bytes = 0
        self.lock = threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()

    def watch(self, session, kind):
        payload = json.dumps({"session": session, "watch": [{"index": 0, "kind": kind}]}).encode()
        mask = os.urandom(4)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.socket.sendall(bytes([0x81, 0x80 | len(payload)]) + mask + masked)

    def counts(self):
        with self.lock:
            return self.pictures, self.picture_bytes

    def _take(self, count):
        while len(self.pending) < count:
            chunk = self.socket.recv(1 << 16)
            if not chunk:
                raise EOFError
            self.pending += chunk
        taken, self.pending = self.pending[:count], self.pending[count:]
        return taken

    def _read(self):
        self.socket.settimeout(None)
        binary, size = False, 0
        try:
            while True:
                first, second = self._take(2)
                length = second & 0x7F
                if length == 126:
                    length = struct.unpack(">H", self._take(2))[0]
                elif length == 127:
                    length = struct.unpack(">Q", self._take(8))[0]
                self._take(length)
                opcode = first & 0x0F
                if opcode != 0:  # the first frame of a message; 0 continues one
                    binary, size = opcode == 2, 0
                size += length
                if binary and first & 0x80:  # the last frame of a picture
                    with self.lock:
                        self.pictures += 1
                        self.picture_bytes += size - 8
        except (EOFError, OSError):
            pass

    def close(self):
        self.socket.close()


def main(argv):
    args = parse_args(argv)
    with port_file_kept(), tempfile.TemporaryDirectory() as work:
        # Grain makes pictures as costly to compress as a camera's.
        clip = make_clip(os.path.join(work, "large.mp4"), 250, (1920, 1080), grain=12)
        host = start_host(args.host, "--loop")
        view_port = int(host.view_url.rsplit(":", 1)[1].rstrip("/"))
        client = subprocess.Popen([sys.executable, "-c", CLIENT, clip, str(4 * args.seconds + 20)],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            host.wait_for("session started", 30)
            time.sleep(5)  # past the client's start, into the steady state
            session = host.status()["session"]["id"]
            alone, shares = cpu_use(host.process.pid, args.seconds)
            print(f"no viewer: host {alone:.1f}% of a core "
                  f"(view threads {sum(shares.get(name, 0) for name in VIEW_THREADS):.1f}%)", flush=True)
            viewer = Viewer(view_port)
            for kind in ("shown", "input"):
                viewer.watch(session, kind)
                time.sleep(2)
                pictures, picture_bytes = viewer.counts()
                watched, shares = cpu_use(host.process.pid, args.seconds)
                pictures, picture_bytes = (now - then for now, then in zip(viewer.counts(), (pictures, picture_bytes)))
                view = {name: shares.get(name, 0) for name in VIEW_THREADS}
                print(f"one viewer, {kind} frames: view {sum(view.values()):.1f}% of a core "
                      f"({', '.join(f'{name} {value:.1f}%' for name, value in view.items())}); "
                      f"host {watched:.1f}% against {alone:.1f}% with no viewer; "
                      f"{pictures / args.seconds:.1f} pictures a second of {picture_bytes / max(pictures, 1) / 1024:.0f} KiB",
                      flush=True)
            viewer.close()
        finally:
            client.kill()
            client.wait()
            host.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
