"""Fixtures over the fakes of fakes.py."""

import pytest

import flumina
from fakes import FakeHost


@pytest.fixture
def host(monkeypatch):
    fake = FakeHost()
    for name, value in fake.bindings().items():
        monkeypatch.setattr(flumina, name, value)
    return fake


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    """Runs the test in a fresh folder that holds an (empty) clip.mp4."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "clip.mp4").write_bytes(b"")
    return tmp_path


@pytest.fixture
def session():
    return flumina.flm()
