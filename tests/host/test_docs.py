"""The pages show the examples and the host's options as they stand, so that what a reader copies runs."""

import os
import subprocess

import pytest

ROOT = os.path.join(os.path.dirname(__file__), "../..")
INCLUDED = [
    ("README.md", "quick_start.py"), ("README.md", "quick_start.cpp"),
    ("docs/cpp.md", "quick_start.cpp"),
    ("docs/testing.md", "test_annotate.py"), ("docs/testing.md", "test_replay.py"),
    *[("docs/python.md", name) for name in
      ["quick_start.py", "registrations.py", "session.json", "session_file.py", "usb_camera.py"]],
]


def text_of(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        return f.read()


@pytest.mark.parametrize("page, example", INCLUDED)
def test_a_page_holds_its_example_as_it_stands(page, example):
    assert text_of(os.path.join("examples", example)) in text_of(page)


def test_the_host_page_holds_every_option_as_help_gives_it():
    host = os.environ.get("FLUMINA_HOST_BIN", "flumina-host")
    help_text = subprocess.run([host, "--help"], capture_output=True, text=True, timeout=10, check=True).stdout
    assert help_text in text_of("docs/host.md")
