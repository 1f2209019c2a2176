"""Tests a pipeline on what a camera sent, replayed as the live source it was:
annotate.py reads a camera's RTSP stream, draws on every frame and has the
host save what it pushes.

recordings/camera.mkv was recorded once, from the camera (here a stand-in:
GStreamer's RTSP server sending FFmpeg's test pattern at 600 kbit/s), by a
host started with --record, and committed: three seconds of 640 x 360 H.264,
223 KiB. The host replays it through the input URL replay://PATH, with the
bursts and gaps the camera sent it in, so the test needs no camera. With the
development kit installed, in this folder:

    pytest test_replay.py
"""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CAMERA = os.path.join(HERE, "recordings", "camera.mkv")
FRAMES = 75  # what the camera sent while it was recorded


def test_annotate_keeps_up_with_the_camera(flumina_host, tmp_path):
    output = tmp_path / "annotated.mp4"
    script = subprocess.run([sys.executable, os.path.join(HERE, "annotate.py"), "--input", "replay://" + CAMERA,
                             "--output", str(output), "--size", "640x360", "--idle", "1.5"],
                            capture_output=True, text=True, timeout=60)
    assert script.returncode == 0, script.stdout + script.stderr
    assert f"done, {FRAMES} frames read, annotated and pushed" in script.stdout

    assert flumina_host.stop() == 0
    # Every frame the camera sent reached the script: none waited so long that the host dropped it.
    assert ", dropped 0," in flumina_host.wait_for("stream 0: stopped:")
    assert f"output {output} finalised, {FRAMES} frames" in flumina_host.log()
