"""What a large session costs flumina-host: reply time, memory, threads and idle CPU.

For each stream count N it starts a fresh host, asks for one session of N file
streams (use type 7) that no client reads, and reports how long the reply
took, then the host's resident memory, threads, descriptors and CPU use while
the session sits idle. It then replaces the session with a one-stream session
several times over and reports the host's memory after each round, beside
that of the fresh host. Last, how long the host takes to exit on SIGTERM.
Then it asks for a session of network inputs whose server takes a while to
answer each, and reports how long the reply took.

It creates channel objects under /dev/shm, as any session does, and writes
the clients' port file while it runs:

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

from host_bench import cpu_use, make_clip, port_file_kept, start_host


def status(pid):
    """Resident memory, threads and descriptors of process `pid`."""
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    return {"rss_mib": int(fields["VmRSS"].split()[0]) / 1024,
            "anon_mib": int(fields.get("RssAnon", "0 kB").split()[0]) / 1024,
            "threads": int(fields["Threads"]),
            "fds": len(os.listdir(f"/proc/{pid}/fd"))}


def exit_seconds(host, limit=60):
    """Seconds from SIGTERM to the host's exit; None when it was killed after `limit` seconds."""
    start = time.monotonic()
    host.process.send_signal(signal.SIGTERM)
    try:
        host.process.wait(limit)
    except subprocess.TimeoutExpired:
        host.process.kill()
        host.process.wait()
        return None
    return time.monotonic() - start


def start_quiet_host(binary):
    """flumina-host with neither a heartbeat timeout nor progress lines while it is measured."""
    return start_host(binary, "--heartbeat-timeout", "3600", "--progress-interval", "3600")


def files(streams, clip):
    """A configuration of `streams` file streams of `clip`."""
    return json.dumps([{"file_path": clip}] * streams)


def request(connection, config, use_type, timeout):
    """Sends a "stream" request; (seconds to the reply, reply), the reply read to its newline."""
    line = json.dumps({"id": 0, "method": "stream", "params": [config, use_type, 1]}) + "\n"
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
    host = start_quiet_host(binary)
    time.sleep(0.5)
    fresh = status(host.process.pid)
    print(f"\n{streams} streams")
    print(f"  fresh host: {fresh['rss_mib']:.0f} MiB RSS ({fresh['anon_mib']:.0f} anonymous), "
          f"{fresh['threads']} threads, {fresh['fds']} descriptors")
    big = socket.create_connection(("127.0.0.1", host.port))
    seconds, reply = request(big, files(streams, clip), 7, timeout)
    error = reply and reply.get("error")
    print(f"  reply after {seconds:.2f} s: " + (f"error: {error[:160]}" if error else "session started"))
    time.sleep(2)
    loaded = status(host.process.pid)
    idle, _ = cpu_use(host.process.pid, idle_seconds)
    print(f"  session idle: {loaded['rss_mib']:.0f} MiB RSS ({loaded['anon_mib']:.0f} anonymous), "
          f"{loaded['threads']} threads, {loaded['fds']} descriptors, {idle:.1f} % CPU over {idle_seconds} s")
    small = socket.create_connection(("127.0.0.1", host.port))
    for round_ in range(1, rounds + 1):
        request(small, files(1, clip), 7, timeout)
        time.sleep(1)
        after = status(host.process.pid)
        print(f"  round {round_}: replaced by a 1-stream session: {after['rss_mib']:.0f} MiB RSS "
              f"({after['anon_mib']:.0f} anonymous), {after['threads']} threads "
              f"({after['rss_mib'] / fresh['rss_mib']:.1f} x the fresh host)")
        if round_ < rounds:
            request(big, files(streams, clip), 7, timeout)
            time.sleep(1)
    big.close()
    small.close()
    stopped = exit_seconds(host)
    print("  SIGTERM to exit: " + (f"{stopped:.2f} s" if stopped is not None else "no exit in 60 s (killed)"))


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
    host = start_quiet_host(binary)
    try:
        url = f"http://127.0.0.1:{server.server_address[1]}/{name}"
        config = json.dumps([{"inputUrl": f"{url}?stream={i}"} for i in range(inputs)])
        connection = socket.create_connection(("127.0.0.1", host.port))
        seconds, reply = request(connection, config, 1, timeout)
        error = reply and reply.get("error")
        print(f"\n{inputs} network inputs whose server answers after {delay} s each")
        print(f"  reply after {seconds:.2f} s: " + (f"error: {error[:160]}" if error else "session started"))
        connection.close()
    finally:
        exit_seconds(host)
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
    with port_file_kept(), tempfile.TemporaryDirectory() as folder:
        clip = args.clip or os.path.join(folder, "clip.mp4")
        if not args.clip:
            make_clip(clip, 250, (640, 360))
        print(f"host {args.host}, clip {clip}, {os.cpu_count()} cores")
        for streams in args.streams:
            measure(args.host, streams, clip, args.idle_seconds, args.rounds, args.timeout)
        if args.slow_inputs > 0:
            measure_slow_inputs(args.host, clip, args.slow_inputs, args.delay, args.timeout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
