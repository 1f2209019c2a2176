"""Fixtures over the fakes of fakes.py."""

import pytest

import flumina
from fakes import FakeHost


def version_warning(version):
    """The RuntimeWarning that importing flumina gives under Python `version`
    (major, minor, ...): none under 3.10, whose stable ABI it is built for."""
    if tuple(version[:2]) == (3, 10):
        return None
    return (f"compile time Python version 3.10 of module 'flumina' does not match "
            f"runtime version {version[0]}.{version[1]}")


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
