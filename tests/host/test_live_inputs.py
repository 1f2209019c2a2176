"""Live inputs as real sources send them: an RTSP server that sends in bursts,
a live HLS playlist, a server that goes away and comes back; files stored
turned; paths the device could not reach."""

import subprocess
import time

import pytest

import android
import flumina
from conftest import CLIP_SIZE, decode_with_ffmpeg, live_session, number_in, read_frames
from live_hls import LiveHls
from numbered_clips import make_numbered_clip
from rtsp_server import RtspServer


def read_numbers(session, last, timeout, work=0):
    """The numbers of the frames read until frame `last`, or for `timeout` seconds; `work` seconds on each."""
    numbers = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and (not numbers or numbers[-1] != last):
        frame = session.read(0)
        if frame is None:
            time.sleep(0.001)
            continue
        numbers.append(number_in(frame))
        time.sleep(work)
    return numbers


def stream_status(host):
    return host.status()["session"]["streams"][0]


def wait_for_stream(host, check, timeout=5):
    deadline = time.monotonic() + timeout
    while not check(status := stream_status(host)) and time.monotonic() < deadline:
        time.sleep(0.05)
    return status


def test_a_client_that_keeps_up_gets_every_frame_of_an_rtsp_server_sending_b_frames_in_bursts(start_host, tmp_path):
    clip = make_numbered_clip(tmp_path / "bframes.mp4", 100)
    host = start_host()
    with RtspServer(clip, "h264-live", transport="tcp") as server:
        session = live_session(server.url)  # what comes while build waits is kept too
        # Half a frame interval of work a frame: the client keeps up, but not within a burst.
        assert read_numbers(session, 99, 10, work=0.02) == list(range(100))
        assert stream_status(host)["counts"]["dropped"] == 0
    assert host.stop() == 0


def test_a_live_hls_playlist_reaches_the_client_whole_until_its_end(start_host, tmp_path):
    clip = make_numbered_clip(tmp_path / "live.mp4", 150)
    host = start_host()
    with LiveHls(clip, tmp_path) as hls:
        session = live_session(hls.url)
        numbers = read_numbers(session, 149, 15)
    assert numbers and numbers == list(range(numbers[0], 150)), numbers
    # The playlist's end makes it a recording: the stream ends there, and plays nothing again.
    assert host.wait_for("stream 0: the input is a recording now", 5), host.log()
    assert wait_for_stream(host, lambda stream: stream["inputEnded"])["counts"]["dropped"] == 0
    assert host.stop() == 0


def test_a_source_that_goes_away_is_reconnected_and_one_that_stays_away_ends_the_stream(start_host, tmp_path):
    clip = make_numbered_clip(tmp_path / "blink.mp4", 250)
    host = start_host("--reconnect", "3")
    server = RtspServer(clip, transport="tcp").start()
    try:
        session = live_session(server.url)
        assert read_numbers(session, 10, 5)[-1] == 10
        server.kill()
        assert host.wait_for("stream 0: input lost", 5), host.log()
        assert wait_for_stream(host, lambda stream: stream["reconnecting"])["reconnecting"]
        server.start()
        assert host.wait_for("stream 0: input back after", 5), host.log()
        assert not stream_status(host)["reconnecting"]
        # The server sends its file from the start again.
        numbers = read_numbers(session, 20, 10)
        assert numbers[-5:] == list(range(16, 21)), numbers
        server.kill()
        assert host.wait_for("stream 0: input gone: not back within 3 s", 10), host.log()
        # Once the client has read what came before the loss, the stream ends.
        read_numbers(session, None, 1)
        assert wait_for_stream(host, lambda stream: stream["inputEnded"])["inputEnded"]
    finally:
        server.kill()
    assert host.stop() == 0


def test_a_file_stored_turned_is_read_upright_unless_told_not_to(start_host, tmp_path):
    stored = make_numbered_clip(tmp_path / "stored.mp4", 10)
    phone = str(tmp_path / "phone.mp4")
    subprocess.run(["ffmpeg", "-v", "error", "-i", stored, "-c", "copy", "-metadata:s:v:0", "rotate=90", phone],
                   check=True, timeout=30)
    host = start_host("--no-pacing")
    session = flumina.flm()
    session.add("file://" + phone)
    assert session.build() == [(CLIP_SIZE[0], CLIP_SIZE[1], 3)]
    frames = read_frames(session, 10)
    upright = decode_with_ffmpeg(phone, (CLIP_SIZE[1], CLIP_SIZE[0]))  # the ffmpeg command turns it upright
    assert len(frames) == 10 and abs(frames[3].astype(int) - upright[3].astype(int)).mean() < 2
    assert "turned upright a quarter turn counter-clockwise" in host.wait_for("stream 0: input opened")
    assert host.stop() == 0

    host = start_host("--no-autorotate")
    session = flumina.flm()
    session.add("file://" + phone)
    assert session.build() == [(CLIP_SIZE[1], CLIP_SIZE[0], 3)]
    assert "shown as stored (--no-autorotate)" in host.wait_for("stream 0: input opened")
    assert host.stop() == 0


def test_a_path_the_device_could_not_reach_is_warned_of_once_or_refused(start_host, tmp_path):
    clip = make_numbered_clip(tmp_path / "pc.mp4", 5)
    host = start_host("--no-pacing")
    session = flumina.flm()
    session.add(clip, utype="file_path")  # sent as it is, no userland path
    session.build()
    warning = f"stream 0: warning: file_path {clip} is no path the device's host can reach"
    assert host.wait_for(warning)
    assert warning[len("stream 0: warning: "):] in stream_status(host)["warnings"][0]
    assert host.log().count(warning) == 1
    assert host.stop() == 0

    host = start_host("--device-paths")
    session = flumina.flm()
    session.add(clip, utype="file_path")
    with pytest.raises(android.HostError, match=f"stream 0: file_path {clip} is no path .* below /sdcard"):
        session.build()
    assert host.stop() == 0
