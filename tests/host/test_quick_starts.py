"""The examples of docs/python.md, run as a reader runs them, against flumina-host."""

import ast
import os
import shutil
import subprocess
import sys

import pytest

from conftest import CLIP_FRAMES, probe
from rtsp_server import RtspServer

EXAMPLES = os.environ.get("FLUMINA_EXAMPLES_DIR", os.path.join(os.path.dirname(__file__), "../../examples"))


@pytest.fixture
def folder(clip, tmp_path):
    """A folder holding clip.mp4, where the examples run."""
    shutil.copy(clip, tmp_path / "clip.mp4")
    return tmp_path


def run_example(name, folder, *args):
    run = subprocess.run([sys.executable, os.path.join(EXAMPLES, name), *args], cwd=folder, capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    return run.stdout


def saved(host, path, size):
    """Whether `path` was finalised by the host as a clean video of `size` with every frame of the clip."""
    assert host.wait_for(f"output {path} finalised", 10), host.log()
    codec, width, height, frames, clean = probe(path)
    return (width, height, frames, clean) == (*size, CLIP_FRAMES, True)


def test_quick_start_saves_every_frame_it_draws(flumina_host, folder):
    host = flumina_host
    run_example("quick_start.py", folder)
    assert saved(host, folder / "annotated.mp4", (640, 360))
    assert host.stop() == 0


def test_registrations_run_without_a_host(folder):
    run_example("registrations.py", folder)


def test_session_file_pushes_saves_and_shows(flumina_host, folder):
    host = flumina_host
    assert "frames per stream: [30, 30]" in run_example("session_file.py", folder)
    assert saved(host, folder / "boxed.mp4", (320, 240))
    assert host.wait_for("output udp://127.0.0.1:5000 finalised, 30 frames", 10), host.log()
    assert host.stop() == 0


# The shipped sample listing (a hub and a camera), and the test camera that
# --test-cameras lists after the machine's own devices.
@pytest.mark.parametrize("listing, last_camera", [(["--usb-devices", os.path.join(EXAMPLES, "usb_devices.json")], 1002),
                                                  ([], 1)])
def test_usb_camera_reads_the_listed_camera(start_host, folder, listing, last_camera):
    host = start_host("--test-cameras", *listing)
    out = run_example("usb_camera.py", folder)
    cameras = ast.literal_eval(out.split("USB cameras: ", 1)[1].split("\n", 1)[0])
    assert cameras[-1] == last_camera, out
    assert int(out.rsplit("\n", 2)[-2].split()[0]) > 30, out  # five seconds of a 30 fps camera, less the drops
    assert host.wait_for(f"granted USB device {cameras[0]}", 1), host.log()
    assert host.stop() == 0


def test_save_one_stream_saves_the_first_of_several_network_streams(flumina_host, folder):
    host = flumina_host
    clip = str(folder / "clip.mp4")
    with RtspServer(clip, "h264", transport="tcp") as server:
        out = run_example("save_one_stream.py", folder, "file://" + clip, server.url, "--seconds", "4")
    counts = ast.literal_eval(out.split("frames per stream: ", 1)[1])
    assert counts[0] == CLIP_FRAMES and counts[1] > 0, out
    assert saved(host, folder / "saved.mp4", (640, 360))
    assert not (folder / "not-saved-1.mp4").exists()
    assert host.stop() == 0


def test_draw_and_save_written_from_the_guide_alone(flumina_host, folder):
    host = flumina_host
    out = run_example("draw_and_save.py", folder, "clip.mp4", "drawn.mp4", "--size", "320x240")
    assert f"{CLIP_FRAMES} frames drawn, shown and saved" in out
    assert saved(host, folder / "drawn.mp4", (320, 240))
    assert host.stop() == 0
