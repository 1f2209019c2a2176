"""Uses flumina as a script would, without numpy: registration, refusals,
validation, build against the fake host, frame writes and the USB listing.

Prints one JSON report (the RuntimeWarnings of the import, then every
outcome), so that runs under different interpreters can be compared
(test_stable_abi.py). Run it in a folder that holds clip.mp4, with flumina,
fakes.py and importable cv2, numpy and Korvane on the path.
"""

import contextlib
import io
import json
import os
import warnings

with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import flumina

from fakes import FakeHost


def outcome(call):
    """What `call()` returns, or the type and message of what it raises."""
    try:
        return call()
    except Exception as error:  # refusals are outcomes like any other
        return {"raised": type(error).__name__, "message": str(error)}


def printed(call):
    """The outcome of `call()` and what it printed."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        result = outcome(call)
    return {"outcome": result, "printed": out.getvalue()}


def registered(*calls):
    """A new session after the add calls, given as (args, kwargs), and their outcomes."""
    session = flumina.flm()
    return session, [outcome(lambda: session.add(*args, **kwargs)) for args, kwargs in calls]


host = FakeHost()
for name, value in host.bindings().items():
    setattr(flumina, name, value)
host.usb_result = {"content": [{"deviceClass": 239, "deviceSubclass": 2, "deviceID": 7},
                               {"deviceClass": 0}], "count": 2}
push_and_save = ("rtmp://out/1", "rec.mp4", 25, 640, 360)

report = {"warnings": [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]}

session, report["add"] = registered(
    (("rtsp://cam/1",), {"inputFormat": "video/hevc", "inputshape": (640, 360), "outputinfo": push_and_save}),
    (("clip.mp4",), {"outputinfo": ("/sdcard/out.mp4", "rtmp://out/2", 25, 640, 360)}),
    ((), {"utype": "usbDeviceId", "input": 7}),
    ((0,), {"outputinfo": ("rtmp://out/3", 25, 640, 360)}),
    ((1.5,), {}),
    (("no/such/file",), {}),
    ((0,), {"utype": "camera"}),
    (("rtsp://cam/2",), {"inputshape": (4, 2), "outputinfo": (1, 25, 4, 2)}),
    (("rtsp://cam/3", None, None, (4, 2), ("a.mp4", "b.mp4", 25, 4, 2)), {}),
    ((), {"input": 0, "url": "x"}),
)
report["session"] = {name: getattr(session, name) for name in ("js", "used_device", "input_resize")}

report["check"] = [outcome(registered(*calls)[0]._check) for calls in (
    [(("rtsp://a",), {}), (("rtsp://b",), {"inputshape": (4, 2)})],
    [(("rtsp://a",), {"inputshape": (4, 2), "outputinfo": ("rtmp://o", 25, 4, 2)})],
    [(("rtsp://a",), {}), (("rtsp://b",), {"inputshape": (4, 2), "outputinfo": ("rtmp://o", 25, 4, 2)})],
    [((0,), {}), (("rtsp://b",), {})],
    [((0,), {"inputshape": (4, 2), "outputinfo": ("rtmp://o", 25, 4, 2)}), ((1,), {})],
    [(("clip.mp4",), {})],
    [((), {"outputinfo": ("rtmp://o", 25, 4, 2)})],
)]

camera, _ = registered(((0,), {}), ((1,), {}))
report["build"] = printed(camera.build)
report["host"] = [list(entry[:3]) + [entry[3] == os.getpid()] if entry[0] == "stream" else entry
                  for entry in host.log]

frame = memoryview(bytes(range(12)))  # has tobytes(), as an array does
report["frames"] = [outcome(camera.read), outcome(lambda: camera.show(frame, 1)),
                    outcome(lambda: camera.push(frame, index=-1)), outcome(lambda: camera.read(2))]
report["channels"] = {name: list(region.data[:24]) for name, region in sorted(host.regions.items())}

report["usb"] = printed(camera.getUsbDeviceId)

print(json.dumps(report, default=lambda value: type(value).__name__))
