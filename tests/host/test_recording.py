"""What a live source sent, recorded (--record) and replayed as the same live
source (replay://): the frames a client reads, the losses and reconnections,
the time it all takes; a recording cut short by a killed host."""

import datetime
import hashlib
import time

import pytest

import android
import flumina
from conftest import CLIP_SIZE, live_session, log_seconds, number_in, probe
from numbered_clips import make_numbered_clip
from rtsp_server import RtspServer

WORK = 0.02  # seconds a client spends on a frame: it keeps up, though not within a burst


def read_session(url, until, work=WORK, timeout=20):
    """[(number, hash)] of the frames a client reads from `url` until `until(frames)` holds, or no
    frame has come for a second once one has."""
    session = live_session(url)
    frames = []
    deadline = time.monotonic() + timeout
    last = None
    while not until(frames) and time.monotonic() < deadline:
        frame = session.read(0)
        if frame is None:
            if last is not None and time.monotonic() - last > 1:
                break
            time.sleep(0.001)
            continue
        last = time.monotonic()
        frames.append((number_in(frame), hashlib.sha1(frame.tobytes()).hexdigest()))
        time.sleep(work)
    return frames


def numbers(frames):
    return [number for number, _ in frames]


def seconds_between(host, first, then):
    """Seconds from the host's first log line holding `first` to its first holding `then` after it."""
    lines = host.log().splitlines()
    start = next(i for i, line in enumerate(lines) if first in line)
    end = next(i for i, line in enumerate(lines) if i > start and then in line)
    return log_seconds(lines[end]) - log_seconds(lines[start])


def test_a_bursty_source_that_blinks_replays_as_it_came_live(start_host, tmp_path):
    # Two seconds of B-frames sent in bursts; then the server ends the stream and the host connects again.
    clip = make_numbered_clip(tmp_path / "blink.mp4", 50)
    both_connections = lambda frames: numbers(frames).count(49) == 2  # noqa: E731
    host = start_host("--record", str(tmp_path / "recorded"))
    with RtspServer(clip, "h264-live", transport="tcp") as server:
        live = read_session(server.url, both_connections)
        recording = host.status()["session"]["streams"][0]["recording"]
    assert host.stop() == 0
    live_seconds = seconds_between(host, "session started", "SIGTERM received")  # the recording's end
    assert numbers(live) == list(range(50)) * 2
    [path] = host.recordings()
    assert recording == {"file": path, "stopped": None}
    codec, width, height, _, clean = probe(path)  # packets as they came, in a file players open
    assert (codec, width, height, clean) == ("h264", *CLIP_SIZE, True)

    for _ in range(2):
        host = start_host()
        assert read_session("replay://" + path, both_connections) == live
        assert host.wait_for("stream 0: input back after")  # the loss and the reconnection too
        # Nothing more came back before the recording ended, and the stream ends there.
        assert host.wait_for("stream 0: input ends: the end of the recording", 5)
        replay_seconds = seconds_between(host, "session started", "input ends")
        assert abs(replay_seconds - live_seconds) < 1, host.log()
        assert host.stop() == 0


def test_a_recording_cut_short_by_a_killed_host_replays_up_to_where_it_ends(start_host, tmp_path):
    clip = make_numbered_clip(tmp_path / "long.mp4", 250)
    host = start_host("--record", str(tmp_path / "recorded"))
    with RtspServer(clip, transport="tcp") as server:
        live = read_session(server.url, lambda frames: len(frames) >= 100, work=0)
        host.process.kill()
        host.process.wait(5)
        killed = datetime.datetime.now().strftime("%H:%M:%S.%f")
    recorded_seconds = log_seconds(killed) - log_seconds(host.wait_for("session started"))
    [path] = host.recordings()

    host = start_host("--replay-speed", "4")
    replayed = read_session("replay://" + path, lambda frames: False, work=0)
    # Written out every half second: all but the last moments before the kill.
    assert len(replayed) >= len(live) - 25 and numbers(replayed) == list(range(len(replayed)))
    common = min(len(live), len(replayed))
    assert replayed[:common] == live[:common]
    assert host.wait_for("stream 0: input ends: the end of the recording")
    assert seconds_between(host, "session started", "input ends") < recorded_seconds / 2
    assert host.stop() == 0


def test_a_file_that_is_no_recording_is_refused(start_host, tmp_path):
    clip = make_numbered_clip(tmp_path / "plain.mp4", 5)
    start_host()
    session = flumina.flm()
    session.add("replay://" + clip)
    with pytest.raises(android.HostError, match=f"stream 0: cannot read {clip} as a recording"):
        session.build()
