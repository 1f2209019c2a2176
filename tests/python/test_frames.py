"""Frame access: the exact channel calls of read, show and push, against fakes and real regions."""

import os
import struct

import numpy as np
import pytest

import Korvane
from fakes import FakeRegion


def word(value):
    return struct.pack("<I", value)


@pytest.fixture
def channels(session):
    """One stream of a 2 x 3 frame on fake channels sharing one call log."""
    log = []
    session.kv, session.diskv, session.eskv = ([FakeRegion(n, 64, log)] for n in ("in", "show", "push"))
    session.input_resize = [(2, 3, 3)]
    return session, log


def put_frame(region, payload, flag=1, size=None):
    region.data[0:8] = word(len(payload) if size is None else size) + word(flag)
    region.data[8:8 + len(payload)] = payload


@pytest.mark.parametrize("size, flag, calls", [
    (0, 1, [("get_bytes", 4, 0)]),
    (18, 0, [("get_bytes", 4, 0), ("get_bytes", 4, 4)]),
])
def test_read_without_a_ready_frame_returns_none_and_changes_nothing(channels, size, flag, calls):
    s, log = channels
    put_frame(s.kv[0], bytes(range(18)), flag=flag, size=size)
    before = bytes(s.kv[0].data)
    assert s.read() is None
    assert log == calls and bytes(s.kv[0].data) == before


@pytest.mark.parametrize("flag", [1, 2, 0xFFFFFFFF])
def test_read_takes_the_frame_then_clears_the_flag(channels, flag):
    s, log = channels
    payload = bytes(range(18))
    put_frame(s.kv[0], payload, flag=flag)
    frame = s.read()
    assert log == [("get_bytes", 4, 0), ("get_bytes", 4, 4), ("get_bytes", 18, 8),
                   ("set_bytes", b"\0\0\0\0", 4, 4)]
    assert frame.dtype == np.uint8 and frame.shape == (2, 3, 3) and frame.tobytes() == payload
    assert bytes(s.kv[0].data[:8]) == word(18) + word(0) and bytes(s.kv[0].data[8:26]) == payload
    assert s.read() is None


def test_read_of_a_mismatched_frame_raises_and_leaves_the_flag_set(channels):
    s, log = channels
    put_frame(s.kv[0], bytes(12))
    with pytest.raises(ValueError):
        s.read()
    assert log[-1] == ("get_bytes", 12, 8) and s.kv[0].data[4] == 1


def test_sizes_with_the_top_bit_are_unsigned_and_out_of_range_reads_fail_unchanged(channels):
    s, log = channels
    put_frame(s.kv[0], b"", size=0x80000000)
    with pytest.raises(ValueError, match="outside region"):
        s.read()
    assert log[-1] == ("get_bytes", 0x80000000, 8) and s.kv[0].data[4] == 1


def test_negative_index_uses_the_last_stream(channels):
    s, _ = channels
    s.kv.append(FakeRegion("in1"))
    s.input_resize.append((1, 1, 3))
    put_frame(s.kv[1], b"abc")
    assert s.read(-1).tobytes() == b"abc"


@pytest.mark.parametrize("method, list_name, payload_offset", [("show", "diskv", 4), ("push", "eskv", 8)])
def test_show_and_push_write_size_word_then_payload(channels, method, list_name, payload_offset):
    s, log = channels
    region = getattr(s, list_name)[0]
    region.data[4:8] = b"keep"
    frame = np.arange(2 * 3 * 3, dtype=np.uint8).reshape(2, 3, 3)
    assert getattr(s, method)(frame) is None
    assert log == [("set_bytes", word(18), 4, 0), ("set_bytes", frame.tobytes(), 18, payload_offset)]
    if method == "push":
        assert region.data[4:8] == b"keep"

    log.clear()
    getattr(s, method)(np.zeros((0, 3), np.uint8))
    assert log == [("set_bytes", word(0), 4, 0), ("set_bytes", b"", 0, payload_offset)]

    log.clear()
    strided = np.arange(12, dtype=np.uint16).reshape(3, 4)[:, ::2]
    getattr(s, method)(strided)
    assert log[1][1] == strided.tobytes() and log[0][1] == word(12)


@pytest.mark.parametrize("method", ["show", "push"])
def test_show_and_push_refuse_before_writing(channels, method):
    s, log = channels
    with pytest.raises(AttributeError):
        getattr(s, method)(b"no tobytes")
    with pytest.raises(IndexError):
        getattr(s, method)(np.zeros(1, np.uint8), 1)
    with pytest.raises(TypeError):
        getattr(s, method)(np.zeros(1, np.uint8), "0")
    assert log == []


def test_frames_cross_real_regions(session):
    names = [f"/tmp/test/frames{os.getpid()}_{kind}" for kind in ("in", "show", "push")]
    try:
        session.kv, session.diskv, session.eskv = ([Korvane.Aashmem(n)] for n in names)
        session.input_resize = [(480, 640, 3)]
        host_view = Korvane.Aashmem(names[0])
        frame = np.random.default_rng(1).integers(0, 255, (480, 640, 3), dtype=np.uint8)
        host_view.set_bytes(frame, frame.nbytes, 8)
        host_view.set_bytes(word(frame.nbytes), 4, 0)
        host_view.set_bytes(word(1), 4, 4)

        got = session.read()
        assert np.array_equal(got, frame) and host_view.get_bytes(4, 4) == word(0)
        session.show(got)
        session.push(got)
        show, push = Korvane.Aashmem(names[1]), Korvane.Aashmem(names[2])
        assert show.get_bytes(4, 0) == bytes.fromhex("00100e00") == push.get_bytes(4, 0)
        assert show.get_bytes(frame.nbytes, 4) == frame.tobytes() == push.get_bytes(frame.nbytes, 8)

        too_big = np.zeros(show.size, np.uint8)  # payload past the end of the region
        before = show.get_bytes(8, 0)
        with pytest.raises(ValueError, match="cannot write"):
            session.show(too_big)
        assert show.get_bytes(4, 0) == word(show.size) and show.get_bytes(4, 4) == before[4:]
    finally:
        for n in names:
            Korvane.Aashmem.remove(n)
