"""What a large session costs flumina-host: reply time, memory, threads and idle CPU.

For each stream count N it starts a fresh host, asks for one session of N file
streams (use type 7) that no client reads, and reports how long the reply
took, then the host's resident memory, threads, descriptors and CPU use while
the session sits idle. It then replaces the session with a one-stream session
several times over and reports the host's memory after each round, beside
that of the fresh host. Last, how long the host takes to exit on SIGTERM.
Then it asks for a session of network inputs whose server takes a while to
answer each, and reports how long the reply took.

It creates channel objects under /dev/shm, as any session does:

    /usr/bin/python3 bench/host/session_load.py --host build/bin/flumina-host
"""

import argparse
import functools
import http.server
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

TICKS = os.sysconf("SC_CLK_TCK")


def make_clip(path, seconds, size):
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"testsrc2=size={size}:rate=25",
                    "-t", str(seconds), "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", path],
                   check=True, timeout=120)


class Host:
    def __init__(self, binary):
        self.process = subprocess.Popen([binary, "--port", "0", "--heartbeat-timeout", "3600",
                                         "--progress-interval", "3600"],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, text=True)
        self.port = None
        started = threading.Event()

        def collect():
            for line in self.process.stderr:
                if self.port is None and "listening on 127.0.0.1:" in line:
                    self.port = int(line.rsplit(":", 1)[1])
                    started.set()
        self.reader = threading.Thread(target=collect, daemon=True)
        self.reader.start()
        if not started.wait(10):
            self.process.kill()
            raise RuntimeError("flumina-host did not start")

    def status(self):
        fields = {}
        with open(f"/proc/{self.process.pid}/status") as f:
            for line in f:
                key, _, value = line.partition(":")
                fields[key] = value.strip()
        return {"rss_mib": int(fields["VmRSS"].split()[0]) / 1024,
                "anon_mib": int(fields.get("RssAnon", "0 kB").split()[0]) / 1024,
                "threads": int(fields["Threads"]),
                "fds": len(os.listdir(f"/proc/{self.process.pid}/fd"))}

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICKS

    def stop(self):
        start = time.monotonic()
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return None
        return time.monotonic() - start


def request(connection, streams, clip, timeout):
    """Sends a "stream" request for `streams` file streams; (seconds to the reply, reply)."""
    config = json.dumps([{"file_path": clip}] * streams)
    line = json.dumps({"id": 0, "method": "stream", "params": [config, 7, 1]}) + "\n"
    start = time.monotonic()
    connection.sendall(line.encode())
    connection.settimeout(timeout)
    received = b""
    while not received.endswith(b"\n"):
        chunk = connection.recv(65536)
        if not chunk:
            break
        received += chunk
    return time.monotonic() - start, json.loads(received or b"null")


def measure(binary, streams, clip, idle_seconds, rounds, timeout):
    host = Host(binary)
    time.sleep(0.5)
    fresh = host.status()
    print(f"\n{streams} streams")
    print(f"  fresh host: {fresh['rss_mib']:.0f} MiB RSS ({fresh['anon_mib']:.0f} anonymous), "
          f"{fresh['threads']} threads, {fresh['fds']} descriptors")
    big = socket.create_connection(("127.0.0.1", host.port))
    seconds, reply = request(big, streams, clip, timeout)
    error = reply and reply.get("error")
    print(f"  reply after {seconds:.2f} s: " + (f"error: {error[:160]}" if error else "session started"))
    time.sleep(2)
    loaded = host.status()
    before = host.cpu_seconds()
    time.sleep(idle_seconds)
    idle = (host.cpu_seconds() - before) / idle_seconds * 100
    print(f"  session idle: {loaded['rss_mib']:.0f} MiB RSS ({loaded['anon_mib']:.0f} anonymous), "
          f"{loaded['threads']} threads, {loaded['fds']} descriptors, {idle:.1f} % CPU over {idle_seconds} s")
    small = socket.create_connection(("127.0.0.1", host.port))
    for round_ in range(1, rounds + 1):
        request(small, 1, clip, timeout)
        time.sleep(1)
        after = host.status()
        print(f"  round {round_}: replaced by a 1-stream session: {after['rss_mib']:.0f} MiB RSS "
              f"({after['anon_mib']:.0f} anonymous), {after['threads']} threads "
              f"({after['rss_mib'] / fresh['rss_mib']:.1f} x the fresh host)")
        if round_ < rounds:
            request(big, streams, clip, timeout)
            time.sleep(1)
    big.close()
    small.close()
    stopped = host.stop()
    print(f"  SIGTERM to exit: " + (f"{stopped:.2f} s" if stopped is not None else "no exit in 60 s (killed)"))


class SlowHandler(http.server.SimpleHTTPRequestHandler):
    """Serves files, answering each request that starts at byte 0 after a delay."""

    def __init__(self, *args, delay, **kwargs):
        self.delay = delay
        super().__init__(*args, **kwargs)

    def do_GET(self):
        if self.headers.get("Range", "bytes=0-").startswith("bytes=0-"):
            time.sleep(self.delay)
        super().do_GET()

    def log_message(self, *args):
        pass


def measure_slow_inputs(binary, clip, inputs, delay, timeout):
    folder, name = os.path.split(clip)
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(SlowHandler, directory=folder, delay=delay))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    host = Host(binary)
    try:
        url = f"http://127.0.0.1:{server.server_address[1]}/{name}"
        config = json.dumps([{"inputUrl": f"{url}?stream={i}"} for i in range(inputs)])
        line = json.dumps({"id": 0, "method": "stream", "params": [config, 1, 1]}) + "\n"
        connection = socket.create_connection(("127.0.0.1", host.port))
        start = time.monotonic()
        connection.sendall(line.encode())
        connection.settimeout(timeout)
        reply = connection.recv(65536)
        seconds = time.monotonic() - start
        error = json.loads(reply or b"null") and json.loads(reply).get("error")
        print(f"\n{inputs} network inputs whose server answers after {delay} s each")
        print(f"  reply after {seconds:.2f} s: " + (f"error: {error[:160]}" if error else "session started"))
        connection.close()
    finally:
        host.stop()
        server.shutdown()
        server.server_close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", required=True, help="the flumina-host binary")
    parser.add_argument("--streams", type=int, nargs="+", default=[64, 200], help="stream counts (default: 64 200)")
    parser.add_argument("--clip", help="input clip (default: a 10 s 640 x 360 H.264 clip made with ffmpeg)")
    parser.add_argument("--idle-seconds", type=float, default=5, help="how long idle CPU is measured (default 5)")
    parser.add_argument("--rounds", type=int, default=4, help="replacements measured (default 4)")
    parser.add_argument("--timeout", type=float, default=300, help="seconds to wait for a reply (default 300)")
    parser.add_argument("--slow-inputs", type=int, default=4, help="network inputs of the slow session (default 4)")
    parser.add_argument("--delay", type=float, default=3, help="seconds their server takes to answer (default 3)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        clip = args.clip or os.path.join(folder, "clip.mp4")
        if not args.clip:
            make_clip(clip, 10, "640x360")
        print(f"host {args.host}, clip {clip}, {os.cpu_count()} cores")
        for streams in args.streams:
            measure(args.host, streams, clip, args.idle_seconds, args.rounds, args.timeout)
        if args.slow_inputs > 0:
            measure_slow_inputs(args.host, clip, args.slow_inputs, args.delay, args.timeout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
