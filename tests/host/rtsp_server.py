"""A real RTSP server for tests and benchmarks: GStreamer's, through python3-gi.

It serves an MP4 file at rtsp://127.0.0.1:PORT/stream as a live stream: each
client gets the file from its start, sent in real time. "h264" and "hevc" send
the file's own H.264 or H.265; "h264-live" decodes it and encodes it again as
it goes, with B-frames, as a camera's encoder does: its frames then come in
bursts, as such servers send them. It runs as a process of its own, so that a
test can kill it and start it again on the same port:

    /usr/bin/python3 tests/host/rtsp_server.py PORT FILE [h264|hevc|h264-live] [udp|tcp]

prints "ready" once it listens. With "tcp" it offers only RTP over the RTSP
connection, which a reader then falls back to: no packet can be lost, as one
over UDP can on a loaded machine.
"""

import os
import socket
import subprocess
import sys
import time

PIPELINES = {
    "h264": "qtdemux ! rtph264pay",
    "hevc": "qtdemux ! rtph265pay",
    "h264-live": "qtdemux ! avdec_h264 ! videoconvert ! x264enc bframes=2 key-int-max=25 speed-preset=veryfast"
                 " ! rtph264pay",
}


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class RtspServer:
    """The server as a child process: start(), kill(), and start() again on the same port."""

    def __init__(self, path, codec="h264", transport="udp", port=None):
        self.path, self.codec, self.transport = path, codec, transport
        self.port = port or free_port()
        self.url = f"rtsp://127.0.0.1:{self.port}/stream"
        self.process = None

    def start(self):
        self.process = subprocess.Popen([sys.executable, os.path.abspath(__file__), str(self.port), self.path, self.codec,
                                         self.transport],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        line = self.process.stdout.readline()
        if line.strip() != "ready":
            self.process.kill()
            rest = self.process.stdout.read()
            self.kill()
            raise RuntimeError(f"the RTSP server did not start: {line}{rest}")
        return self

    def kill(self):
        """Ends the server at once, as a crash would: its clients' connections just close."""
        if self.process is not None:
            self.process.kill()
            self.process.wait(10)
            self.process.stdout.close()
            self.process = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.kill()


def serve(port, path, codec, transport):
    import gi
    gi.require_version("Gst", "1.0")
    gi.require_version("GstRtsp", "1.0")
    gi.require_version("GstRtspServer", "1.0")
    from gi.repository import GLib, Gst, GstRtsp, GstRtspServer

    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(port))
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(f'( filesrc location="{path}" ! {PIPELINES[codec]} name=pay0 pt=96 config-interval=-1 )')
    factory.set_shared(False)
    if transport == "tcp":
        factory.set_protocols(GstRtsp.RTSPLowerTrans.TCP)
    server.get_mount_points().add_factory("/stream", factory)
    # A port still held by the killed server before this one comes free within a moment.
    deadline = time.monotonic() + 5
    while server.attach(None) == 0:
        if time.monotonic() > deadline:
            sys.exit(f"cannot listen on 127.0.0.1:{port}")
        time.sleep(0.1)
    print("ready", flush=True)
    GLib.MainLoop().run()


if __name__ == "__main__":
    serve(int(sys.argv[1]), sys.argv[2], sys.argv[3] if len(sys.argv) > 3 else "h264",
          sys.argv[4] if len(sys.argv) > 4 else "udp")
