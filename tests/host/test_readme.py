"""The README's shell blocks run as written: in order, as one script, as a
newcomer types them right after scripts/demo, in a scratch copy of the
checkout whose build/ is this build; and each does what the README says."""

import os
import re
import shutil
import subprocess

import pytest
from flumina_devhost import ClientsPortFile

from conftest import end_session, probe

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), "../.."))
SECONDS = 90  # the whole script; the clip it makes plays for 5 s twice
MARK = "@@ README block "


def shell_blocks():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        return re.findall(r"^```sh\n(.*?)^```$", f.read(), re.S | re.M)


def python_quick_start(out, folder):
    assert "build over" in out
    assert "flumina-host: view: http://127.0.0.1:" in out


def cpp_quick_start_and_stop(out, folder):
    assert "\n125 frames\n" in out
    with open(folder / "host.log", encoding="utf-8") as f:
        assert f.read().rstrip().endswith("flumina-host: stopped")
    # What the Python quick start saved, finalised by the host's stop.
    assert probe(folder / "annotated.mp4") == ("h264", 640, 360, 125, True)


def cpp_quick_start_without_a_host(out, folder):
    assert "quick_start: cannot connect to the host stream service at 127.0.0.1:43329" in out
    assert out.endswith("exit status 1\n")


# Each block is known by a command of its own.
CHECKS = {"examples/quick_start.py": python_quick_start, "kill %1": cpp_quick_start_and_stop,
          "|| echo": cpp_quick_start_without_a_host}


def checkout_copy(folder):
    """The checkout without its builds and what a run of the README left, and this build as its build/."""
    def left_out(directory, names):
        made = {"build", "out", ".git", "clip.mp4", "annotated.mp4", "host.log"}
        return [n for n in names if n in made or n.startswith("build-")] if directory == ROOT else []

    shutil.copytree(ROOT, folder, ignore=left_out, symlinks=True)
    os.symlink(os.environ["FLUMINA_BUILD_DIR"], folder / "build")
    return folder


@pytest.fixture
def no_port_file():
    """Clients and the README's host meet on 43329, as on a fresh machine."""
    with ClientsPortFile() as port_file:
        port_file.remove()
        yield


def test_every_shell_block_of_the_readme_runs_as_written(tmp_path, no_port_file):
    blocks = shell_blocks()
    checks = [[check for command, check in CHECKS.items() if command in block] for block in blocks]
    assert all(len(found) == 1 for found in checks), "a block that no check (or more than one) speaks for"
    folder = checkout_copy(tmp_path / "flumina")
    script = "set -e\n" + "".join(f"echo '{MARK}{index}'\n{block}" for index, block in enumerate(blocks))
    env = {name: value for name, value in os.environ.items() if name != "PYTHONPATH" and not name.startswith("FLUMINA_")}
    # A session of its own: the host the script starts in the background goes with it.
    run = subprocess.Popen(["bash", "-c", script], cwd=folder, env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, start_new_session=True)
    try:
        out, _ = run.communicate(timeout=SECONDS)
    finally:
        end_session(run)
    outputs = out.split(MARK)[1:]
    assert run.returncode == 0 and len(outputs) == len(blocks), out
    for block, output, [check] in zip(blocks, outputs, checks):
        _, output = output.split("\n", 1)
        try:
            check(output, folder)
        except AssertionError as failure:
            raise AssertionError(f"the block\n{block}printed\n{output}") from failure
