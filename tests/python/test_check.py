"""Session validation: the use type of every session kind and the refusals."""

import pytest

URL, PATH, SIZE = {"outUrl": "rtmp://a"}, {"outPath": "/sdcard/o.mp4"}, {"inputResizeWidth": 640}


@pytest.mark.parametrize("used, js, use_type", [
    ([0], [{}], 1),
    ([0], [SIZE], 8),
    ([0, 0], [SIZE, {}], 1),
    ([0, 0], [SIZE, SIZE], 8),
    ([0, 0], [URL, URL], 2),
    ([0, 0], [URL, PATH], 3),
    ([0], [{**URL, **PATH}], 3),
    ([0], [{"outUrl": None}], 2),
    ([1], [PATH], 4),
    ([1, 1], [{}, {}], 4),
    ([1, 1], [URL, URL], 5),
    ([2, 2], [URL, {}], 6),
    ([3], [PATH], 7),
    ([4], [URL], 9),
    ([5], [{}], -1),
])
def test_use_types(session, used, js, use_type):
    session.used_device, session.js = used, js
    assert session._check() == use_type and session._check() == use_type
    assert (session.used_device, session.js) == (used, js)


@pytest.mark.parametrize("used, js, message", [
    ([0, 1], [{}, {}], "inputs must be same type"),
    ([1, 0], [{}], "inputs must be same type"),  # a code left by a failed registration
    ([0, 0], [URL, {}], "all utype must same"),
    ([0], [URL, {}], "all utype must same"),  # an entry without a code still counts
    ([1, 1], [URL, PATH], "所有的输出类型必须一致"),
])
def test_refusals(session, used, js, message):
    session.used_device, session.js = used, js
    with pytest.raises(ValueError) as error:
        session._check()
    assert error.value.args == (message,)


def test_an_empty_session_raises_index_error(session):
    with pytest.raises(IndexError):
        session._check()
