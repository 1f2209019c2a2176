"""Scripts' access to the host's video pipeline: streams in, frames out.

One `flm` object is one session: register streams with `add` or
`add_from_json`, start them with `build`, then loop over `read`, `show` and
`push`. The full guide is docs/python.md.

These stubs lie beside the extension module (flumina.abi3.so), which carries
no docstrings of its own. flumina is a single module, not a package, so there
is no py.typed marker: type checkers take a .pyi found beside the module.
"""

import os
from typing import Any, Protocol, Sequence

import numpy as np
import numpy.typing as npt

class _Frame(Protocol):
    """Anything whose bytes can be handed over: in practice a numpy array."""

    def tobytes(self) -> bytes: ...

class flm:
    """A session with the host stream service.

    Register streams (`add`, `add_from_json`), start them (`build`), then read,
    show and push frames by stream index, the position of a stream in
    registration order. The session ends on the host when the script's process
    ends; saved files are complete within a second of that.
    """

    js: list[dict[str, Any]]
    """The session configuration: one stream entry per stream, by stream index,
    as `add` returned them; `build` sends it to the host as JSON."""

    used_device: list[int]
    """Input-kind code of each registered stream: 0 network stream, 1 camera,
    2 USB camera, 3 file, 4 no input."""

    allow_push_device: list[int]
    """[0, 1, 3]: the input kinds that may have an output."""

    allow_save_device: list[int]
    """[0]: the input kinds that may save with a four-element outputinfo."""

    allow_push_save_device: list[int]
    """[0, 3]: the input kinds that may push and save with a five-element outputinfo."""

    avaliable_device: list[str]
    """["inputUrl", "camera_id", "usbDeviceId", "file_path"]: the names that
    `utype` takes; a name's position is its input-kind code."""

    input_resize: list[tuple[int, int, int]]
    """Frame shape (height, width, 3) of each stream, by stream index: the
    registered inputshape, or the size the host reported to `build`."""

    kv: list[Any]
    """Input channel of each stream (a shared-memory object), filled by `build`."""

    diskv: list[Any]
    """Display channel of each stream, filled by `build`."""

    eskv: list[Any]
    """Push channel of each stream, filled by `build`."""

    __version__: str
    """The module's version, "1.0.1"."""

    def __init__(self) -> None:
        """An empty session; contacts nothing."""

    def add(
        self,
        input: str | int | None = None,
        utype: str | None = None,
        inputFormat: str | None = None,
        inputshape: Sequence[int] | None = None,
        outputinfo: Sequence[str | float] | None = None,
    ) -> dict[str, Any]:
        """Register one stream and return its entry (the dict appended to `js`).

        input: a string with "://" (network stream), a path to an existing file,
            an int (camera index), or None for no input; any value when `utype`
            names the kind.
        utype: "inputUrl", "camera_id", "usbDeviceId" or "file_path": store
            `input` under that key as it is, unchecked. USB cameras need it.
        inputFormat: "video/avc" or "video/hevc", the codec of a network stream.
        inputshape: (width, height) of the frames `read` returns; required for a
            network stream or camera that pushes or saves.
        outputinfo: (destination, frame_rate, width, height), the destination a
            push address when it contains "://", else a save path; or
            (destination, destination, frame_rate, width, height) to push and
            save at once. A network stream may push, save or both; a file may
            push, or push and save; a camera may only push.

        Raises ValueError with one of: "not support input", "input must be str
        for net stream/file or int for carmer", "the utype must be inputUrl,
        camera_id or usbDeviceID", "if you want to push or save frames,you must
        fix inputshape", "ouput must be str", "plase check outputinfo",
        "output cannot same".
        """

    def _check(self) -> int:
        """The use type (session kind) of the registered streams; changes nothing.

        Raises ValueError "inputs must be same type", "all utype must same" or
        "所有的输出类型必须一致", and IndexError when no stream is registered.
        """

    def build(self) -> list[tuple[int, int, int]]:
        """Start the session on the host and return `input_resize`.

        Checks the streams (`_check`), starts the heartbeat process, asks the
        host to start the streams and prints its reply, attaches the frame
        channels, waits three seconds (a live input's frames are dropped
        meanwhile) and prints "build over". The host runs one session at a
        time: this stops the one that ran before. Raises what `_check` raises,
        the bridge's error (a RuntimeError with the host's message) when the
        host refuses the session, and ConnectionError when no host listens.
        """

    def read(self, index: int = 0) -> npt.NDArray[np.uint8] | None:
        """The next frame of stream `index`, or None at once when none is ready.

        Never waits: a loop must sleep on None. The frame is a read-only uint8
        array of shape input_resize[index], (height, width, 3), pixels in the
        host's byte order (RGB unless the host says otherwise); draw on a copy.
        After the end of the input it returns None for ever.
        """

    def show(self, frame: _Frame, index: int = 0) -> None:
        """Hand `frame.tobytes()` to the screen through stream `index`."""

    def push(self, frame: _Frame, index: int = 0) -> None:
        """Hand `frame.tobytes()` to the encoder of stream `index`, which pushes
        and/or saves it; the frame must be (outHeight, outWidth, 3) uint8."""

    def _keep(self) -> None:
        """The heartbeat loop that `build` runs in a child process: rewrites
        /tmp/mmkv/info.txt once a second until the script's process is gone."""

    def getUsbDeviceId(self) -> list[Any]:
        """The identifiers of the USB cameras the host lists, for
        add(id, utype="usbDeviceId"). Prints "some usb camera not support" when
        the host lists devices that are not cameras."""

    def add_from_json(self, json_path: str | os.PathLike[str]) -> None:
        """Register the streams of a JSON file: an array of objects with the keys
        "input", "utype", "inputFormat", "inputshape" and "outputinfo" (all
        five required), each passed to `add`; the string "None" or null means
        the argument is not given ("input": null means no input)."""
