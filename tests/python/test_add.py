"""Registering streams: the entry, the input-kind codes, frame shapes, host paths and refusals."""

import pytest

PREFIX = "/data/data/com.korvane/files/home/debian-fs"
PUSH4 = ["rtmp://out/1", 25, 640, 360]


def state(s):
    return s.js, s.used_device, s.input_resize


def test_network_stream_entry_has_its_keys_in_order(session):
    entry = session.add("rtsp://cam/1", None, "video/hevc", (640, 360),
                        ("rtmp://out/1", "/sdcard/rec.mp4", 25, 640, 360))
    assert list(entry.items()) == [
        ("inputUrl", "rtsp://cam/1"), ("inputFormat", "video/hevc"), ("inputResizeWidth", 640),
        ("inputResizeHeight", 360), ("outUrl", "rtmp://out/1"), ("outPath", "/sdcard/rec.mp4"),
        ("outFrameRate", 25), ("outWidth", 640), ("outHeight", 360)]
    assert state(session) == ([entry], [0], [(360, 640, 3)]) and session.js[0] is entry
    entry["extra"] = 1
    assert session.js[0]["extra"] == 1


def test_file_paths_become_host_paths(session, in_tmp, monkeypatch):
    monkeypatch.setattr("os.path.exists", lambda p: True)  # no real /sdcard here
    assert session.add("clip.mp4") == {"file_path": f"{PREFIX}{in_tmp}/clip.mp4"}
    assert session.add("/sdcard/a.mp4") == {"file_path": "/sdcard/a.mp4"}
    assert session.add("/sdcardX/a.mp4") == {"file_path": "/sdcardX/a.mp4"}
    assert session.add("/no/such", utype="file_path") == {"file_path": "/no/such"}
    assert session.used_device == [3, 3, 3, 3]


def test_output_paths_take_the_prefix_with_its_double_slash(session, in_tmp):
    four = session.add("rtsp://cam/1", inputshape=(640, 360), outputinfo=["out.mp4", 25, 640, 360])
    assert four["outPath"] == f"{PREFIX}/{in_tmp}/out.mp4" and "debian-fs//" in four["outPath"]
    five = session.add("clip.mp4", outputinfo=["/sdcard/out.mp4", "rtmp://out/1", 25, 640, 360])
    assert (five["outUrl"], five["outPath"]) == ("rtmp://out/1", "/sdcard/out.mp4")
    relative = session.add("clip.mp4", outputinfo=["out.mp4", "rtmp://out/1", 25, 640, 360])
    assert relative["outPath"] == f"{PREFIX}/{in_tmp}/out.mp4"
    assert session.input_resize == [(360, 640, 3)]  # files go without a frame size


@pytest.mark.parametrize("args, kwargs, entry, code", [
    ((0,), {}, {"camera_id": 0}, 1),
    ((True,), {}, {"camera_id": True}, 1),
    (("x", "usbDeviceId"), {}, {"usbDeviceId": "x"}, 2),
    ((12,), {"utype": "usbDeviceId", "inputshape": (640, 360), "outputinfo": PUSH4}, {"usbDeviceId": 12}, 2),
    (("rtsp://c/1",), {"inputFormat": "video/h264"}, {"inputUrl": "rtsp://c/1"}, 0),
    ((0,), {"inputFormat": "video/avc"}, {"camera_id": 0}, 1),
    ((), {"outputinfo": PUSH4}, {}, 4),
])
def test_input_kinds(session, args, kwargs, entry, code):
    assert session.add(*args, **kwargs) == entry
    assert session.used_device == [code]


def test_no_arguments_registers_an_empty_entry_and_no_code(session):
    assert session.add() == {} and state(session) == ([{}], [], [])


def test_frame_size_is_recorded_for_network_streams_and_outputs_only(session):
    assert session.add("rtsp://c/1", inputshape=(640, 480)) == {
        "inputUrl": "rtsp://c/1", "inputResizeWidth": 640, "inputResizeHeight": 480}
    assert session.add(0, inputshape=(640, 480)) == {"camera_id": 0}
    camera = session.add(1, inputshape=(320, 240), outputinfo=PUSH4)
    assert camera["outUrl"] == "rtmp://out/1" and camera["inputResizeWidth"] == 320
    assert session.input_resize == [(480, 640, 3), (240, 320, 3)]


@pytest.mark.parametrize("outputinfo", [("rtmp://a", "/sdcard/x.mp4", 25, 640, 360), ("rtmp://a", 25, 640)])
def test_unusable_output_descriptions_keep_only_the_frame_size(session, outputinfo):
    assert session.add(0, inputshape=(640, 360), outputinfo=outputinfo) == {
        "camera_id": 0, "inputResizeWidth": 640, "inputResizeHeight": 360}
    assert session.input_resize == [(360, 640, 3)]


@pytest.mark.parametrize("args, kwargs, message, used, shapes", [
    (("nowhere.mp4",), {}, "not support input", [], []),
    ((1.5,), {}, "input must be str for net stream/file or int for carmer", [], []),
    ((0, "usbDeviceID"), {}, "the utype must be inputUrl, camera_id or usbDeviceID", [], []),
    (("rtsp://c/1",), {"outputinfo": PUSH4}, "if you want to push or save frames,you must fix inputshape",
     [0], []),
    ((0,), {"outputinfo": PUSH4}, "if you want to push or save frames,you must fix inputshape", [1], []),
    (("rtsp://c/1",), {"inputshape": (4, 2), "outputinfo": [5, 25, 4, 2]}, "ouput must be str", [0], [(2, 4, 3)]),
    (("rtsp://c/1",), {"inputshape": (4, 2), "outputinfo": ["a", 5, 25, 4, 2]}, "ouput must be str",
     [0], [(2, 4, 3)]),
    ((0,), {"inputshape": (4, 2), "outputinfo": ["out.mp4", 25, 4, 2]}, "plase check outputinfo", [1], [(2, 4, 3)]),
    (("rtsp://c/1",), {"inputshape": (4, 2), "outputinfo": ["rtmp://a", "rtmp://b", 25, 4, 2]},
     "output cannot same", [0], [(2, 4, 3)]),
    (("rtsp://c/1",), {"inputshape": (4, 2), "outputinfo": ["a.mp4", "b.mp4", 25, 4, 2]},
     "output cannot same", [0], [(2, 4, 3)]),
])
def test_refusals_and_what_they_leave_behind(session, in_tmp, args, kwargs, message, used, shapes):
    with pytest.raises(ValueError) as error:
        session.add(*args, **kwargs)
    assert error.value.args == (message,)
    assert state(session) == ([], used, shapes)


def test_a_file_may_push_without_frame_size(session, in_tmp):
    assert session.add("clip.mp4", outputinfo=PUSH4)["outUrl"] == "rtmp://out/1"
    assert session.input_resize == []


def test_a_file_read_without_outputs_records_its_frame_size(session, in_tmp):
    assert session.add("clip.mp4", inputshape=(640, 360)) == {
        "file_path": f"{PREFIX}{in_tmp}/clip.mp4", "inputResizeWidth": 640, "inputResizeHeight": 360}
    assert session.input_resize == [(360, 640, 3)]


def test_interpreter_errors_pass_through_with_the_code_recorded(session):
    with pytest.raises(TypeError):
        session.add("rtsp://c/1", inputshape=(4, 2), outputinfo=7)
    with pytest.raises(IndexError):
        session.add("rtsp://c/1", inputshape=(4,))
    assert state(session) == ([], [0, 0], [(2, 4, 3)])


def test_add_reads_the_capability_lists_from_the_session(session):
    session.allow_push_device = []
    assert session.add("rtsp://c/1", outputinfo=PUSH4) == {"inputUrl": "rtsp://c/1"}
