"""examples/annotate.py and examples/passthrough against flumina-host."""

import os
import subprocess
import sys

import pytest

from conftest import CLIP_FRAMES, USERLAND_PREFIX, probe

EXAMPLES = os.environ.get("FLUMINA_EXAMPLES_DIR", os.path.join(os.path.dirname(__file__), "../../examples"))


def test_annotate_saves_every_frame_it_reads_with_its_drawing(flumina_host, clip, tmp_path):
    host = flumina_host
    output = tmp_path / "annotated.mp4"
    run = subprocess.run([sys.executable, os.path.join(EXAMPLES, "annotate.py"), "--input", clip, "--output",
                          str(output), "--idle", "1.5"], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    assert f"done, {CLIP_FRAMES} frames read, annotated and pushed" in run.stdout
    assert host.stop() == 0
    codec, width, height, frames, clean = probe(output)
    assert (codec, width, height, clean) == ("h264", 320, 240, True)
    assert frames == CLIP_FRAMES
    assert f"output {output} finalised" in host.log()


@pytest.mark.skipif(not os.environ.get("FLUMINA_PASSTHROUGH"), reason="examples not built")
def test_passthrough_hands_every_frame_back(flumina_host, clip, tmp_path):
    host = flumina_host
    output = tmp_path / "passthrough.mp4"
    run = subprocess.run([os.environ["FLUMINA_PASSTHROUGH"], "--input", clip, "--output", str(output), "--size",
                          "160x120", "--fps", "25"], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    assert f"done, {CLIP_FRAMES} frames" in run.stdout
    assert host.stop() == 0
    codec, width, height, frames, clean = probe(output)
    assert (codec, width, height, clean) == ("h264", 160, 120, True)
    assert frames == CLIP_FRAMES
    assert f"output {output} finalised" in host.log()
    assert USERLAND_PREFIX not in host.log().split("output ready: ")[1].split("\n")[0]


@pytest.mark.skipif(not os.environ.get("FLUMINA_QUICK_START"), reason="examples not built")
@pytest.mark.flumina_host("--no-pacing")
def test_the_cpp_quick_start_reads_every_frame(flumina_host, clip):
    host = flumina_host
    run = subprocess.run([os.environ["FLUMINA_QUICK_START"], "file://" + clip], capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.endswith(f"\n{CLIP_FRAMES} frames\n")  # after the library's "rtspString:" line
    assert host.stop() == 0
