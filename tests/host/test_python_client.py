"""The Python client against flumina-host: file and HTTP inputs read frame by frame."""

import functools
import os
import subprocess
import http.server
import threading
import time

import numpy as np
import pytest

import android
import flumina
from conftest import CLIP_FRAMES, CLIP_SIZE, decode_with_ffmpeg, make_clip, read_frames


def assert_frames_match(got, expected):
    assert len(got) == len(expected)
    for number, (frame, reference) in enumerate(zip(got, expected)):
        difference = np.abs(frame.astype(np.int16) - reference.astype(np.int16))
        assert difference.max() <= 8, f"frame {number}: worst pixel off by {difference.max()}"
        assert difference.mean() <= 1.0, f"frame {number}: off by {difference.mean():.2f} on average"


@pytest.mark.flumina_host("--no-pacing")
def test_a_file_url_session_delivers_every_frame_as_ffmpeg_decodes_it(flumina_host, clip):
    host = flumina_host
    session = flumina.flm()
    session.add("file://" + clip, inputshape=CLIP_SIZE)
    assert session.build() == [(240, 320, 3)]

    frames = read_frames(session, CLIP_FRAMES)
    assert_frames_match(frames, decode_with_ffmpeg(clip, CLIP_SIZE))
    assert host.wait_for("stream 0: end of input after 30 frames delivered, 0 dropped")
    time.sleep(0.2)
    assert session.read(0) is None, "a frame after the end of the input"
    assert host.stop() == 0


def test_the_host_reports_the_input_size_when_none_is_registered(flumina_host, clip):
    host = flumina_host
    session = flumina.flm()
    session.add("file://" + clip)
    assert session.build() == [(240, 320, 3)]
    frames = read_frames(session, 2)
    assert [frame.shape for frame in frames] == [(240, 320, 3)] * 2
    assert host.stop() == 0


@pytest.fixture
def http_server(tmp_path):
    """Serves `tmp_path` on an ephemeral port of 127.0.0.1; yields (folder, base URL)."""

    class QuietHandler(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(QuietHandler, directory=str(tmp_path)))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield tmp_path, f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()
    thread.join(5)


@pytest.mark.flumina_host("--no-pacing")
def test_two_streams_one_over_http_each_read_at_its_registered_size(flumina_host, clip, http_server):
    folder, base = http_server
    served = make_clip(folder / "served.mp4", frames=20, size=(256, 144))
    host = flumina_host
    session = flumina.flm()
    session.add(base + "/served.mp4", inputshape=(160, 120))
    session.add("file://" + clip, inputshape=(320, 240))
    assert session.build() == [(120, 160, 3), (240, 320, 3)]

    over_http = read_frames(session, 20, index=0)
    from_file = read_frames(session, CLIP_FRAMES, index=1)
    assert_frames_match(over_http, decode_with_ffmpeg(served, (160, 120)))
    assert_frames_match(from_file, decode_with_ffmpeg(clip, CLIP_SIZE))
    opened = host.wait_for("stream 0: input opened: url " + base)
    assert opened and "recorded" in opened
    assert host.stop() == 0


def test_an_hls_playlist_with_an_end_is_recorded_and_delivers_every_frame(flumina_host, http_server):
    folder, base = http_server
    source = make_clip(folder / "source.mp4", frames=50)
    subprocess.run(["ffmpeg", "-v", "error", "-i", source, "-c", "copy", "-f", "hls", "-hls_time", "1",
                    "-hls_playlist_type", "vod", str(folder / "vod.m3u8")], check=True, timeout=60)
    host = flumina_host
    session = flumina.flm()
    session.add(base + "/vod.m3u8", inputshape=CLIP_SIZE)
    session.build()
    assert len(read_frames(session, 50, timeout=30)) == 50
    opened = host.wait_for("stream 0: input opened: url " + base)
    assert opened and "recorded" in opened
    assert host.wait_for("stream 0: end of input after 50 frames delivered, 0 dropped")
    assert host.stop() == 0


@pytest.mark.flumina_host("--no-pacing")
def test_a_refused_session_after_a_good_one_raises_and_leaves_no_stale_frame(flumina_host, clip):
    host = flumina_host
    first = flumina.flm()
    first.add("file://" + clip, inputshape=CLIP_SIZE)
    first.build()
    assert len(read_frames(first, 2)) == 2  # the host has put the next frame in the channel by now
    second = flumina.flm()
    second.add("file:///no/such/clip.mp4", inputshape=CLIP_SIZE)
    with pytest.raises(android.HostError, match="stream 0: cannot open file:///no/such/clip.mp4"):
        second.build()
    assert second.kv == []
    assert first.read(0) is None, "a frame of the stopped session"
    assert host.stop() == 0


@pytest.mark.parametrize("inputshape", [None, (160, 120)])
@pytest.mark.flumina_host("--no-pacing")
def test_a_file_registered_by_its_path_is_read_at_its_own_or_the_registered_size(flumina_host, clip, inputshape,
                                                                                  tmp_path, monkeypatch):
    monkeypatch.chdir(os.path.dirname(clip))
    host = flumina_host
    session = flumina.flm()
    session.add(os.path.basename(clip), inputshape=inputshape)
    size = inputshape or CLIP_SIZE
    assert session.build() == [(size[1], size[0], 3)]
    assert_frames_match(read_frames(session, CLIP_FRAMES), decode_with_ffmpeg(clip, size))
    assert host.stop() == 0


def test_a_script_whose_host_dies_reads_none_pushes_on_and_finds_no_host_for_a_new_bridge(start_host, clip, tmp_path):
    host = start_host()
    session = flumina.flm()
    session.add("file://" + clip, inputshape=CLIP_SIZE, outputinfo=(str(tmp_path / "out.mp4"), 25, *CLIP_SIZE))
    session.build()
    frames = read_frames(session, 2)
    host.process.kill()
    host.process.wait(5)
    deadline = time.monotonic() + 0.5
    while time.monotonic() < deadline:
        assert session.read(0) is None
        time.sleep(0.01)
    assert session.push(frames[0], 0) is None and session.show(frames[1], 0) is None
    with pytest.raises(ConnectionError, match="cannot connect to the host stream service"):
        android.Android()


@pytest.mark.flumina_host("--no-pacing")
def test_a_reader_slow_between_the_size_word_and_the_flag_never_takes_the_last_frame_twice(flumina_host, clip):
    session = flumina.flm()
    session.add("file://" + clip, inputshape=CLIP_SIZE)
    session.build()
    channel = session.kv[0]
    frames = 0
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        # read's steps, with the reader put off between the size word and the flag.
        size = int.from_bytes(channel.get_bytes(4, 0), "little")
        time.sleep(0.02)
        ready = channel.get_bytes(4, 4) != bytes(4)
        if size and ready:
            channel.set_bytes(bytes(4), 4, 4)
            frames += 1
        elif ready and int.from_bytes(channel.get_bytes(4, 0), "little") == 0:
            break  # the end of the input
    assert frames == CLIP_FRAMES
    assert flumina_host.stop() == 0
