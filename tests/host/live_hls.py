"""A live HLS source for tests and benchmarks: the ffmpeg command writes a
sliding playlist of one-second segments in real time (-re) into a folder,
which Python's http.server serves on an ephemeral port of 127.0.0.1. When the
clip is over the playlist gets its end, as a live event's does."""

import functools
import http.server
import os
import subprocess
import threading
import time


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class LiveHls:
    def __init__(self, clip, folder, segments=4):
        self.clip, self.folder, self.segments = clip, str(folder), segments
        self.playlist = os.path.join(self.folder, "live.m3u8")
        self.server = http.server.ThreadingHTTPServer(
            ("127.0.0.1", 0), functools.partial(_QuietHandler, directory=self.folder))
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/live.m3u8"
        self.writer = None
        self.thread = None

    def start(self, timeout=10):
        """Starts serving and writing; returns once the playlist holds its first segment."""
        for name in os.listdir(self.folder):  # what an earlier run left
            if name.startswith("live") and name.endswith((".m3u8", ".ts")):
                os.unlink(os.path.join(self.folder, name))
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        self.writer = subprocess.Popen(
            ["ffmpeg", "-v", "error", "-re", "-i", self.clip, "-c", "copy", "-f", "hls", "-hls_time", "1",
             "-hls_list_size", str(self.segments), "-hls_flags", "delete_segments", self.playlist],
            stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + timeout
        while not self._has_segment():
            if time.monotonic() > deadline or self.writer.poll() is not None:
                self.stop()
                raise RuntimeError("ffmpeg wrote no live playlist")
            time.sleep(0.05)
        return self

    def _has_segment(self):
        try:
            with open(self.playlist) as f:
                return "#EXTINF" in f.read()
        except FileNotFoundError:
            return False

    def stop(self):
        if self.writer is not None and self.writer.poll() is None:
            self.writer.kill()
        if self.writer is not None:
            self.writer.wait(10)
        if self.thread is not None:
            self.server.shutdown()
            self.thread.join(5)
        self.server.server_close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
