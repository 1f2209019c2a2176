"""The pages show the examples and the host's options as they stand, and the
request lines and recipes they show do what the pages say: what a reader
copies runs."""

import json
import os
import re
import socket
import subprocess
import tempfile

import pytest
from flumina_devhost import PORT_FILE, ClientsPortFile, default_binary

from conftest import end_session, make_clip

ROOT = os.path.join(os.path.dirname(__file__), "../..")
INCLUDED = [
    ("README.md", "quick_start.py"), ("README.md", "quick_start.cpp"),
    ("docs/cpp.md", "quick_start.cpp"),
    ("docs/testing.md", "test_annotate.py"), ("docs/testing.md", "test_replay.py"),
    *[("docs/python.md", name) for name in
      ["quick_start.py", "registrations.py", "save_one_stream.py", "session.json", "session_file.py",
       "usb_camera.py"]],
]


def text_of(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        return f.read()


@pytest.mark.parametrize("page, example", INCLUDED)
def test_a_page_holds_its_example_as_it_stands(page, example):
    assert text_of(os.path.join("examples", example)) in text_of(page)


def test_the_host_page_holds_every_option_as_help_gives_it():
    help_text = subprocess.run([default_binary(), "--help"], capture_output=True, text=True, timeout=10, check=True).stdout
    assert help_text in text_of("docs/host.md")


def requests_and_replies(page):
    """[(request, the reply the page shows after it, or None)] of the JSON lines of a page's json blocks."""
    lines = [json.loads(line) for block in re.findall(r"^```json\n(.*?)^```$", text_of(page), re.S | re.M)
             for line in block.splitlines() if line.startswith('{"id"')]
    pairs = []
    for line in lines:
        if "method" in line:
            pairs.append((line, None))
        elif pairs and pairs[-1][1] is None:
            pairs[-1] = (pairs[-1][0], line)
    return pairs


def test_every_request_of_the_protocol_page_gets_the_reply_it_shows(start_host, tmp_path):
    sdcard = tmp_path / "sdcard"
    sdcard.mkdir()
    make_clip(sdcard / "clip.mp4")
    host = start_host("--sdcard", str(sdcard), "--usb-devices", os.path.join(ROOT, "examples/usb_devices.json"))
    pairs = requests_and_replies("contracts/protocol.md")
    assert [request["method"] for request, _ in pairs] == ["stream", "stream", "searchUSB", "requestPermission"]
    for request, shown in pairs:
        with socket.create_connection(("127.0.0.1", host.port), timeout=10) as connection:
            connection.sendall(json.dumps(request).encode() + b"\n")
            reply = json.loads(connection.makefile("rb").readline())
        assert reply == shown if shown else reply["error"] is None, (request, reply)
    assert host.stop() == 0


NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def as_root_by_a_user(line):
    """What `sudo LINE` runs: the words of `line` as the user's shell expands them, run as root."""
    words = subprocess.run([*NOBODY, "bash", "-c", "printf '%s\\0' " + line], capture_output=True, text=True,
                           check=True, timeout=10).stdout.split("\0")[:-1]
    subprocess.run(words, check=True, timeout=10)


@pytest.fixture
def port_file_folder():
    """The port file and its folder (owner, mode, whether it is there), put back as they were."""
    folder = os.path.dirname(PORT_FILE)
    before = os.stat(folder) if os.path.isdir(folder) else None
    with ClientsPortFile() as port_file:
        port_file.remove()
        yield
    if before is None:
        os.rmdir(folder)
    else:
        os.chown(folder, before.st_uid, before.st_gid)
        os.chmod(folder, before.st_mode)


@pytest.mark.parametrize("user", ["root", "a user"])
def test_the_port_file_recipe_of_the_host_page_runs_as_root_and_as_a_user(port_file_folder, user):
    [recipe] = [block for block in re.findall(r"^```sh\n(.*?)^```$", text_of("docs/host.md"), re.S | re.M)
                if "ap_port" in block]
    build = os.environ["FLUMINA_BUILD_DIR"]
    as_user = NOBODY if user == "a user" else []
    if subprocess.run([*as_user, "test", "-x", os.path.join(build, "bin/flumina-host")]).returncode:
        pytest.skip(f"the build {build} is out of a user's reach")
    with tempfile.TemporaryDirectory() as folder:
        os.chmod(folder, 0o777)
        os.symlink(build, os.path.join(folder, "build"))
        first, rest = recipe.split("\n", 1)
        if as_user:
            as_root_by_a_user(first)
        else:
            rest = recipe
        env = {name: value for name, value in os.environ.items() if not name.startswith("FLUMINA_")}
        # A session of its own: the host the recipe starts in the background goes with it.
        run = subprocess.Popen([*as_user, "bash", "-e", "-c", rest], cwd=folder, env=env, start_new_session=True)
        try:
            assert run.wait(20) == 0
            with open(os.path.join(folder, "host.log")) as log, open(PORT_FILE) as port:
                assert f"listening on 127.0.0.1:{port.read().strip()}" in log.read()
            # A client of the same user reaches the host through the port file.
            subprocess.run([*as_user, "/usr/bin/python3", "-m", "android", "searchUSB"], check=True, timeout=10,
                           env={**env, "PYTHONPATH": os.path.join(build, "python")})
        finally:
            end_session(run)
