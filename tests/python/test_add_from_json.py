"""Registering the streams of a configuration file."""

import json

import pytest


def write(tmp_path, configs):
    path = tmp_path / "session.json"
    path.write_text(configs if isinstance(configs, str) else json.dumps(configs))
    return str(path)


def stream(input, utype="None", inputFormat="None", inputshape="None", outputinfo="None"):
    return dict(input=input, utype=utype, inputFormat=inputFormat, inputshape=inputshape, outputinfo=outputinfo)


def test_streams_are_registered_in_file_order_with_none_and_null_as_absent(session, tmp_path):
    clip = tmp_path / "clip.mp4"
    clip.write_bytes(b"")
    path = write(tmp_path, [
        stream("rtsp://cam/1", inputFormat="video/avc", inputshape=[640, 480]),
        stream(str(clip), utype=None, inputFormat=None, inputshape=None, outputinfo=["rtmp://out/1", 25, 640, 480]),
        stream(None, outputinfo=["rtmp://out/2", 25, 640, 480]),
        stream(None),
    ])
    assert session.add_from_json(path) is None
    assert [list(e) for e in session.js] == [
        ["inputUrl", "inputFormat", "inputResizeWidth", "inputResizeHeight"],
        ["file_path", "outUrl", "outFrameRate", "outWidth", "outHeight"],
        [],  # output only: no output keys without an input kind that may push
        [],
    ]
    assert session.used_device == [0, 3, 4] and session.input_resize == [(480, 640, 3)]


def test_reading_twice_registers_twice(session, tmp_path):
    path = write(tmp_path, [stream(0), stream(1, utype="camera_id")])
    session.add_from_json(path)
    session.add_from_json(path)
    assert session.js == [{"camera_id": 0}, {"camera_id": 1}] * 2 and session.used_device == [1] * 4


def test_an_empty_array_registers_nothing(session, tmp_path):
    assert session.add_from_json(write(tmp_path, [])) is None and session.js == []


def test_the_string_none_as_input_is_a_file_name(session, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError, match="^not support input$"):
        session.add_from_json(write(tmp_path, [stream("None")]))


def test_a_missing_key_stops_after_the_streams_before_it(session, tmp_path):
    broken = stream(1)
    del broken["outputinfo"]
    with pytest.raises(KeyError, match="outputinfo"):
        session.add_from_json(write(tmp_path, [stream(0), broken, stream(2)]))
    assert session.js == [{"camera_id": 0}] and session.used_device == [1]


# The decoding error leaves the file to be closed when it is released, as it should.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("text, error", [("{", ValueError), ('{"input": 0}', TypeError), (None, FileNotFoundError)])
def test_unreadable_files_leave_the_session_unchanged(session, tmp_path, text, error):
    path = write(tmp_path, text) if text is not None else str(tmp_path / "missing.json")
    with pytest.raises(error):
        session.add_from_json(path)
    assert session.js == [] and session.used_device == []
