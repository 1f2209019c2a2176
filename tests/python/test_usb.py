"""Listing the USB cameras."""

import pytest

CAMERA_A = {"deviceClass": 239, "deviceSubclass": 2, "deviceID": 1002}
CAMERA_B = {"deviceClass": 239.0, "deviceSubclass": 2, "deviceID": "b"}
KEYBOARD = {"deviceClass": 0, "deviceID": 7}
NOTICE = "some usb camera not support\n"


@pytest.mark.parametrize("content, count, cameras, printed", [
    ([], 0, [], ""),
    ([KEYBOARD], 1, [], NOTICE),
    ([CAMERA_A, KEYBOARD, CAMERA_B], 3, [1002, "b"], NOTICE),
    ([CAMERA_A, CAMERA_B], 2, [1002, "b"], ""),
    ([CAMERA_A, CAMERA_B], 1, [1002, "b"], ""),
    ([{"deviceClass": 239, "deviceSubclass": 1}, {"deviceClass": "239"}], 0, [], ""),
])
def test_cameras_are_class_239_subclass_2(session, host, capsys, content, count, cameras, printed):
    host.usb_result = {"content": content, "count": count}
    assert session.getUsbDeviceId() == cameras
    assert capsys.readouterr().out == printed


def test_every_call_asks_the_host_again(session, host):
    session.getUsbDeviceId()
    session.getUsbDeviceId()
    assert host.log == [("Android",), ("searchUSB",)] * 2


@pytest.mark.parametrize("reply, error", [
    ({"content": []}, KeyError),
    ({"content": [{"deviceClass": 239, "deviceSubclass": 2}], "count": 1}, KeyError),
    ({"content": [], "count": "1"}, TypeError),
])
def test_malformed_replies_raise(session, host, reply, error):
    host.usb_result = reply
    with pytest.raises(error):
        session.getUsbDeviceId()
