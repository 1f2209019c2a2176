"""Korvane.Aashmem: the same regions as the native component, copies and range checks."""

import os
import pickle
import subprocess

import numpy as np
import pytest

import Korvane


@pytest.fixture
def region():
    name = f"/tmp/test/korvane{os.getpid()}"
    yield Korvane.Aashmem(name)
    Korvane.Aashmem.remove(name)


def native(*args):
    result = subprocess.run([os.environ["FLUMINA_REGION_PEER"], *map(str, args)],
                            capture_output=True, text=True, timeout=10)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def test_python_and_native_clients_share_bytes(region):
    region.set_bytes(b"\x01\x02\x03\x04", 4, 100)
    assert native("read", region.name, 100, 4) == "01020304"
    native("write", region.name, 200, "deadbeef")
    assert region.get_bytes(4, 200) == bytes.fromhex("deadbeef")


@pytest.mark.parametrize("data", [b"abcdef", bytearray(b"abcdef"), memoryview(b"xxabcdef")[2:],
                                  np.frombuffer(b"abcdef", np.uint8)])
def test_set_bytes_takes_any_contiguous_buffer(region, data):
    region.set_bytes(data, 6, 8)
    got = region.get_bytes(6, 8)
    assert type(got) is bytes and got == b"abcdef"
    region.set_bytes(data, 2, 20)
    assert region.get_bytes(3, 20) == b"ab\0"


@pytest.mark.parametrize("call, message", [
    (lambda r: r.get_bytes(16, r.size - 8), "cannot read 16 bytes at offset {end_8} of region {name} of {size} bytes"),
    (lambda r: r.get_bytes(-1, 0), "cannot read -1 bytes at offset 0 of region {name} of {size} bytes"),
    (lambda r: r.set_bytes(b"x" * 8, 8, r.size - 4),
     "cannot write 8 bytes at offset {end_4} of region {name} of {size} bytes"),
    (lambda r: r.set_bytes(b"x", 1, 2**64), "cannot write 1 bytes at offset 18446744073709551616 of region"),
    (lambda r: r.set_bytes(b"ab", 4, 0), "cannot write 4 bytes into region {name} from a buffer of 2 bytes"),
])
def test_out_of_range_is_refused_touching_nothing(region, call, message):
    region.set_bytes(b"\xff" * 8, 8, region.size - 8)
    region.set_bytes(b"\xff" * 8, 8, 0)
    with pytest.raises(ValueError) as error:
        call(region)
    expected = message.format(name=region.name, size=region.size, end_8=region.size - 8, end_4=region.size - 4)
    assert str(error.value).startswith(expected)
    assert region.get_bytes(8, region.size - 8) == b"\xff" * 8 and region.get_bytes(8, 0) == b"\xff" * 8


def test_non_contiguous_arrays_are_refused(region):
    with pytest.raises((ValueError, BufferError)):
        region.set_bytes(np.zeros((4, 4), np.uint8)[:, ::2], 8, 0)


def test_a_region_pickles_by_name(region):
    region.set_bytes(b"same", 4, 0)
    copy = pickle.loads(pickle.dumps(region))
    assert copy.name == region.name and copy.get_bytes(4, 0) == b"same"
