"""Tests a pipeline end to end against a fresh development host: annotate.py
reads a clip, draws on every frame and has the host save what it pushes.

With the development kit installed (flumina-devhost), in this folder:

    pytest test_annotate.py

The fixture flumina_host, from the kit's pytest plugin, starts a flumina-host
for the test where the script's session finds it, and stops it afterwards.
"""

import os
import subprocess
import sys
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
FRAMES = 25
SIZE = (320, 240)


@pytest.fixture
def clip(tmp_path):
    """One second of FFmpeg's test pattern: the pipeline's input."""
    path = tmp_path / "clip.mp4"
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", f"testsrc2=size={SIZE[0]}x{SIZE[1]}:rate=25",
                    "-frames:v", str(FRAMES), "-pix_fmt", "yuv420p", str(path)], check=True, timeout=60)
    return path


def frames_in(path):
    """The number of video frames in `path`, as ffprobe counts them."""
    found = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                            "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", str(path)],
                           capture_output=True, text=True, check=True, timeout=60)
    return int(found.stdout)


@pytest.mark.flumina_host("--no-pacing")  # the clip as fast as the script takes it
def test_annotate_saves_every_frame_it_reads(flumina_host, clip, tmp_path):
    output = tmp_path / "annotated.mp4"
    script = subprocess.Popen([sys.executable, os.path.join(HERE, "annotate.py"), "--input", str(clip),
                               "--output", str(output), "--idle", "1"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    # While the session runs, the host's live view says what it opened.
    session = None
    deadline = time.monotonic() + 10
    while session is None and script.poll() is None and time.monotonic() < deadline:
        session = flumina_host.status()["session"]
        time.sleep(0.1)
    out, _ = script.communicate(timeout=60)
    assert script.returncode == 0, out
    assert f"done, {FRAMES} frames read, annotated and pushed" in out
    assert session is not None, "the host never saw the script's session"
    stream = session["streams"][0]
    assert (stream["width"], stream["height"]) == SIZE
    assert stream["outputs"] == [str(output)]

    assert flumina_host.stop() == 0  # a clean stop: every output finalised
    assert f"output {output} finalised, {FRAMES} frames" in flumina_host.log()
    assert frames_in(output) == FRAMES
