"""Fakes of the host pieces that flumina calls, each logging what it is asked.

Plain Python without numpy or pytest, so that interpreters that have neither
can use them too (test_stable_abi.py).
"""

import json


class FakeRegion:
    """A region of `size` bytes that logs every get_bytes/set_bytes call."""

    def __init__(self, name, size=64, log=None):
        self.name = name
        self.data = bytearray(size)
        self.calls = [] if log is None else log

    def _check(self, length, offset):
        if offset < 0 or length < 0 or offset + length > len(self.data):
            raise ValueError(f"range [{offset}, {offset + length}) outside region {self.name}")

    def get_bytes(self, length, offset):
        self.calls.append(("get_bytes", length, offset))
        self._check(length, offset)
        return bytes(self.data[offset:offset + length])

    def set_bytes(self, data, length, offset):
        self.calls.append(("set_bytes", bytes(data), length, offset))
        self._check(length, offset)
        self.data[offset:offset + length] = bytes(data)[:length]


class FakeReply:
    def __init__(self, result):
        self.result = result


class FakeHost:
    """Stands in for the android, multiprocessing, time and Aashmem names of flumina."""

    def __init__(self):
        self.log = []
        self.stream_result = {"content": {"rgbwidth": 640, "rgbheight": 480}}
        self.usb_result = {"content": [], "count": 0}
        self.regions = {}

    # android
    def Android(self):
        self.log.append(("Android",))
        return self

    def stream(self, config, use_type, pid):
        self.log.append(("stream", config, use_type, pid))
        return FakeReply(json.dumps(self.stream_result))

    def requestPermission(self, device_id):
        self.log.append(("requestPermission", device_id))
        return FakeReply("{}")

    def searchUSB(self):
        self.log.append(("searchUSB",))
        return FakeReply(json.dumps(self.usb_result))

    # multiprocessing
    def Process(self, **kwargs):
        self.log.append(("Process", kwargs))
        host = self

        class Started:
            def start(self):
                host.log.append(("start",))

        return Started()

    # time
    def sleep(self, seconds):
        self.log.append(("sleep", seconds))

    # Aashmem
    def Aashmem(self, name):
        self.log.append(("Aashmem", name))
        return self.regions.setdefault(name, FakeRegion(name))

    def bindings(self):
        """The names of flumina that this host replaces, with their stand-ins."""
        return {"android": self, "multiprocessing": self, "time": self, "Aashmem": self.Aashmem}


def version_warning(version):
    """The RuntimeWarning that importing flumina gives under Python `version`
    (major, minor, ...): none under 3.10, whose stable ABI it is built for."""
    if tuple(version[:2]) == (3, 10):
        return None
    return (f"compile time Python version 3.10 of module 'flumina' does not match "
            f"runtime version {version[0]}.{version[1]}")
