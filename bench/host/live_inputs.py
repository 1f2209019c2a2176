#!/usr/bin/python3
"""Live inputs as real sources send them: frames received over frames sent, per
source, for this build's flumina-host and, with --before, another one.

Every source sends numbered frames (the number drawn as bars), and a Python
client that keeps up on average reads them: flm.read in a loop, with 20 ms of
work on each frame (half the frame interval of the sources' 25 fps):
  rtsp-h264   GStreamer's RTSP server encoding H.264 with B-frames as it sends (frames come in bursts)
  rtsp-hevc   the same server sending an H.265 file
  hls         a live HLS playlist of 1 s segments written by ffmpeg -re, over HTTP
  restart     the RTSP server killed after 5 s and started again 5 s later
  rtmp        nginx's RTMP module fed by ffmpeg -re: time to open, and to notice the publisher stopped
  rotated     a file with a 90-degree display matrix: the size the host reports
  latency     how much later frames reach the client than they were sent, UDP (smooth) and RTSP (bursty)
  memory      the play-out buffer's peak for a 1080p stream whose client stops reading

    PYTHONPATH=build/python /usr/bin/python3 bench/host/live_inputs.py --host build/bin/flumina-host \\
        [--before OTHER/flumina-host] [CASE ...]

Run it where no other host runs (a machine, or a mount and network namespace,
of its own): it writes the clients' port file and uses the fixed channel names.
"""

import argparse
import contextlib
import io
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tests/host"))

from conftest import decode_with_ffmpeg, live_session, log_seconds, number_in, read_frames  # noqa: E402
from host_bench import port_file_kept, start_host  # noqa: E402
from live_hls import LiveHls  # noqa: E402
from numbered_clips import make_numbered_clip  # noqa: E402
from rtsp_server import RtspServer, free_port  # noqa: E402

import flumina  # noqa: E402

RATE = 25
WORK = 0.02  # seconds a client spends on a frame
SIZE = (320, 240)


def read_numbers(session, seconds, last=None, read=True, work=0):
    """[(time, number)] of the frames read within `seconds`, until frame `last` or a number that starts again;
    `work` seconds spent on each frame."""
    got = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        frame = session.read(0) if read else None
        if frame is None:
            time.sleep(0.001)
            continue
        number = number_in(frame)
        if got and number < got[-1][1] - RATE:  # the source started again
            break
        got.append((time.monotonic(), number))
        if number == last:
            break
        time.sleep(work)
    return got


def open_time(host):
    """"opened in 1.23 s": from the request to the input opened, by the host's log."""
    asked = host.wait_for("starting a session", 1)
    opened = host.wait_for("input opened", 1)
    return f"opened in {log_seconds(opened) - log_seconds(asked):.2f} s" if asked and opened else "not opened"


def received(got, sent):
    numbers = {number for _, number in got}
    return f"{len(numbers)} of {sent}"


def case_rtsp(binary, work, codec):
    clip = make_numbered_clip(os.path.join(work, f"rtsp-{codec}.mp4"), 375, codec="hevc" if codec == "hevc" else "h264")
    with start_host(binary) as host:
        with RtspServer(clip, codec) as server:
            session = live_session(server.url)
            got = read_numbers(session, 25, last=374, work=WORK)
        return f"{received(got, 375)} frames, {open_time(host)}"


def case_hls(binary, work):
    clip = make_numbered_clip(os.path.join(work, "hls.mp4"), 500)
    folder = os.path.join(work, "hls")
    os.makedirs(folder, exist_ok=True)
    with start_host(binary) as host:
        with LiveHls(clip, folder) as hls:
            session = live_session(hls.url)
            got = read_numbers(session, 25, last=499, work=WORK)
        numbers = [number for _, number in got]
        return (f"{len(set(numbers))} of {max(numbers) - min(numbers) + 1} frames (from frame {min(numbers)} on), "
                + open_time(host))


def case_restart(binary, work):
    clip = make_numbered_clip(os.path.join(work, "restart.mp4"), 750)
    with start_host(binary) as host:
        server = RtspServer(clip).start()
        session = live_session(server.url)
        before = read_numbers(session, 5)
        server.kill()
        gap = read_numbers(session, 5)
        server.start()
        after = read_numbers(session, 8)
        server.kill()
        ended = host.wait_for("end of input", 0.1) or host.wait_for("input ends", 0.1)
        back = host.wait_for("input back", 0.1)
        return (f"{len(before)} frames in 5 s before the kill, {len(gap)} in the 5 s it was down, {len(after)} in 8 s"
                " after the restart; " + ("the input came back" if back else "the stream had ended" if ended else
                                          "neither back nor ended"))


NGINX_CONF = """daemon off;
pid {work}/nginx.pid;
error_log {work}/nginx.log;
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
events {{}}
rtmp {{ server {{ listen 127.0.0.1:{port}; application live {{ live on; }} }} }}
"""


def case_rtmp(binary, work):
    clip = make_numbered_clip(os.path.join(work, "rtmp.mp4"), 250)
    port = free_port()
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF.format(work=work, port=port))
    nginx = subprocess.Popen(["nginx", "-c", conf, "-p", work], stderr=subprocess.DEVNULL)
    url = f"rtmp://127.0.0.1:{port}/live/s"
    time.sleep(0.5)
    publisher = subprocess.Popen(["ffmpeg", "-v", "error", "-re", "-i", clip, "-c", "copy", "-f", "flv", url])
    host = start_host(binary)
    try:
        time.sleep(1)
        start = time.monotonic()
        session = live_session(url)
        asked = host.wait_for("starting a session", 1)
        publisher.wait(30)
        stopped = time.monotonic()
        read_numbers(session, 14)
        noticed = host.wait_for("input lost", 0.1) or host.wait_for("input ends", 0.1) or host.wait_for("end of input", 0.1)
        text = open_time(host) + "; "
        if noticed:
            text += f"publisher's stop noticed {log_seconds(noticed) - log_seconds(asked) - (stopped - start):.1f} s after it"
        else:
            text += "publisher's stop not noticed within 14 s"
        return text
    finally:
        host.stop()
        publisher.kill()
        nginx.terminate()
        nginx.wait(10)


def case_rotated(binary, work):
    stored = make_numbered_clip(os.path.join(work, "stored.mp4"), 10)
    phone = os.path.join(work, "phone.mp4")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", stored, "-c", "copy", "-metadata:s:v:0", "rotate=90", phone],
                   check=True)
    upright = decode_with_ffmpeg(phone, (SIZE[1], SIZE[0]))[0]  # the ffmpeg command turns it upright
    with start_host(binary):
        session = flumina.flm()
        session.add("file://" + phone)
        with contextlib.redirect_stdout(io.StringIO()):
            height, width, _ = session.build()[0]
        frame = read_frames(session, 1)[0]
    same = frame.shape == upright.shape and abs(frame.astype(int) - upright.astype(int)).mean() < 2
    return f"{width} x {height}, {'upright as' if same else 'not as'} the ffmpeg command decodes it"


def lateness(got):
    """Per frame, how much later than the earliest frame (relative to its number) it was read, in ms."""
    delays = [at - number / RATE for at, number in got]
    least = min(delays)
    return [1000 * (d - least) for d in delays]


def case_latency(binary, work):
    smooth = make_numbered_clip(os.path.join(work, "smooth.mp4"), 500, bframes=0)
    bursty = make_numbered_clip(os.path.join(work, "bursty.mp4"), 500)
    results = []
    with start_host(binary) as host:
        port = free_port()
        sender = subprocess.Popen(["ffmpeg", "-v", "error", "-re", "-i", smooth, "-c", "copy", "-f", "mpegts",
                                   f"udp://127.0.0.1:{port}?pkt_size=1316"])
        session = live_session(f"udp://127.0.0.1:{port}")
        read_numbers(session, 3)  # past the start, and what build's wait left in the buffer
        got = read_numbers(session, 10)
        sender.kill()
        results.append(("udp", got))
        with RtspServer(bursty, "h264-live") as server:
            session = live_session(server.url)
            read_numbers(session, 3)
            results.append(("rtsp", read_numbers(session, 10)))
    # The delay the buffer adds to when a frame was decoded, as each stream's end line gives it.
    added = [re.search(r"play-out delay \d+ ms", line).group(0) for line in host.lines if "play-out delay" in line]
    text = []
    for (name, got), delay in zip(results, added + [None] * len(results)):
        late = lateness(got)
        text.append(f"{name}: {len(got)} frames, median {statistics.median(late):.0f} ms, "
                    f"95th {sorted(late)[int(len(late) * 0.95)]:.0f} ms behind the least late"
                    + (f", {delay}" if delay else ""))
    return "; ".join(text)


def case_memory(binary, work):
    clip = os.path.join(work, "1080p.mp4")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=25", "-frames:v",
                    "250", "-c:v", "libx264", "-preset", "ultrafast", "-bf", "0", "-pix_fmt", "yuv420p", clip], check=True)
    with start_host(binary) as host:
        with RtspServer(clip) as server:
            session = live_session(server.url, (1920, 1080))
            read_numbers(session, 8, read=False)  # a client that stops reading
    peak = next((line for line in host.lines if "buffer peak" in line), None)
    stopped = next((line for line in host.lines if ": stopped:" in line), "")
    dropped = re.search(r"dropped (\d+)", stopped)
    return (re.search(r"play-out delay \d+ ms, buffer peak \d+ MiB", peak).group(0) if peak else "no play-out buffer") + \
        (f", {dropped.group(1)} frames dropped" if dropped else "")


CASES = {
    "rtsp-h264": lambda binary, work: case_rtsp(binary, work, "h264-live"),
    "rtsp-hevc": lambda binary, work: case_rtsp(binary, work, "hevc"),
    "hls": case_hls,
    "restart": case_restart,
    "rtmp": case_rtmp,
    "rotated": case_rotated,
    "latency": case_latency,
    "memory": case_memory,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", required=True, help="flumina-host of this build")
    parser.add_argument("--before", help="another flumina-host to compare with")
    parser.add_argument("cases", nargs="*", help=f"cases to run: {', '.join(CASES)} (default: all)")
    args = parser.parse_args()
    unknown = set(args.cases) - set(CASES)
    if unknown:
        parser.error(f"unknown cases: {', '.join(sorted(unknown))}")
    hosts = [("before", args.before)] * bool(args.before) + [("after", args.host)]
    work = tempfile.mkdtemp(prefix="live-inputs-")
    try:
        with port_file_kept():
            for case in args.cases or CASES:
                for label, binary in hosts:
                    print(f"{case:10} {label:7} {CASES[case](binary, work)}", flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
