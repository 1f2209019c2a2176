"""Launching a session: the calls in order, frame sizes from the host, USB permission, channels."""

import json
import os

import pytest

import flumina


def channel_names(index):
    return [f"/tmp/mmkv/tmp_ipc_rtsp{index}", f"/tmp/mmkv/tmp_ipc_display_{index}",
            f"/tmp/mmkv/tmp_ipc_es_rtsp{index}"]


def test_build_calls_the_host_in_order(session, host, capsys):
    session.add("rtsp://cam/1", inputFormat="video/avc")
    session.add("rtsp://cam/2")
    result = session.build()

    process = host.log[0]
    assert process[0] == "Process" and list(process[1]) == ["target", "daemon"]
    assert process[1]["target"] == session._keep and process[1]["daemon"] is True
    assert host.log[1:] == [
        ("start",),
        ("Android",),
        ("stream", '[{"inputUrl": "rtsp://cam/1", "inputFormat": "video/avc"}, {"inputUrl": "rtsp://cam/2"}]',
         1, os.getpid()),
        *[("Aashmem", name) for name in channel_names(0) + channel_names(1)],
        ("sleep", 3),
    ]
    assert capsys.readouterr().out == "{'content': {'rgbwidth': 640, 'rgbheight': 480}}\nbuild over\n"
    assert result is session.input_resize and result == [(480, 640, 3), (480, 640, 3)]
    assert [r.name for r in session.kv + session.diskv + session.eskv] == [
        channel_names(i)[kind] for kind in range(3) for i in range(2)]


@pytest.mark.parametrize("content", [
    {"rgbwidth": 640, "rgbheight": 480},
    json.dumps({"rgbwidth": 640, "rgbheight": 480}),
    {"rgbwidth": "640", "rgbheight": "480"},
])
@pytest.mark.parametrize("register", [
    lambda s: s.add("rtsp://cam/1"),  # use type 1
    lambda s: s.add(0),  # use type 4
    lambda s: s.add(5, utype="usbDeviceId"),  # use type 6
])
def test_host_reported_frame_size_is_recorded_per_stream(session, host, content, register):
    register(session)
    register(session)
    host.stream_result = {"content": content}
    assert session.build() == [(480, 640, 3), (480, 640, 3)]


def test_registered_sizes_are_kept_for_other_use_types(session, host):
    session.add("rtsp://cam/1", inputshape=(320, 240))
    host.stream_result = None  # nothing is read from the reply
    assert session.build() == [(240, 320, 3)]
    assert host.log[3][2] == 8


def test_usb_permission_is_requested_per_stream_in_order(session, host):
    session.add(11, utype="usbDeviceId")
    session.add(22, utype="usbDeviceId")
    session.build()
    calls = [c[0] for c in host.log]
    assert calls.index("stream") < calls.index("requestPermission") < calls.index("Aashmem")
    assert [c for c in host.log if c[0] == "requestPermission"] == [("requestPermission", 11),
                                                                     ("requestPermission", 22)]


def test_channel_names_carry_the_plain_stream_index(session, host):
    for i in range(11):
        session.add(f"rtsp://cam/{i}", inputshape=(4, 2))
    session.build()
    assert [r.name for r in session.kv[9:]] == ["/tmp/mmkv/tmp_ipc_rtsp9", "/tmp/mmkv/tmp_ipc_rtsp10"]
    assert session.eskv[10].name == "/tmp/mmkv/tmp_ipc_es_rtsp10"


def test_refused_session_starts_nothing(session, host):
    session.add("rtsp://cam/1")
    session.add(0)
    with pytest.raises(ValueError, match="^inputs must be same type$"):
        session.build()
    assert host.log == []


@pytest.mark.parametrize("reply, error", [
    ({"content": {"rgbwidth": 640}}, KeyError),
    ({"content": {"rgbwidth": 640, "rgbheight": "tall"}}, ValueError),
    ({}, KeyError),
])
def test_a_bad_reply_fails_after_the_heartbeat_started_and_attaches_nothing(session, host, reply, error):
    session.add("rtsp://cam/1")
    host.stream_result = reply
    with pytest.raises(error):
        session.build()
    assert ("start",) in host.log and session.kv == [] and session.input_resize == []


def test_building_again_repeats_every_step(session, host):
    session.add("rtsp://cam/1")
    session.build()
    session.build()
    assert [c[0] for c in host.log].count("stream") == 2
    assert len(session.kv) == 2 and session.input_resize == [(480, 640, 3)] * 2


def test_a_subclass_check_decides_the_use_type(host):
    class Forced(flumina.flm):
        def _check(self):
            return 7

    s = Forced()
    s.add(0)
    host.stream_result = {}  # no size reported: nothing to complete
    s.build()
    assert host.log[3][2] == 7 and s.input_resize == []


def test_files_without_a_size_take_the_reported_one(session, host, in_tmp):
    session.add("clip.mp4", inputshape=(320, 240))
    session.add("clip.mp4")
    assert session.build() == [(240, 320, 3), (480, 640, 3)]
    host.stream_result = {"content": {"rgbwidth": 640}}
    assert session.build() == [(240, 320, 3), (480, 640, 3)]  # nothing missing, nothing read


def test_a_file_without_a_size_gets_the_reported_one_at_its_own_position(session, host, in_tmp):
    session.add("clip.mp4")
    session.add("clip.mp4", inputshape=(320, 240))
    assert session.build() == [(480, 640, 3), (240, 320, 3)]
