"""The heartbeat: what _keep writes, and the real process under every start method."""

import multiprocessing
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import flumina

HEARTBEAT = "/tmp/mmkv/info.txt"
# Under emulation (the AArch64 cross build) an interpreter takes several times
# longer to start, so every wait here stretches by this factor.
SLOWDOWN = float(os.environ.get("FLUMINA_TEST_SLOWDOWN", "1"))


def beat():
    return pathlib.Path(HEARTBEAT).read_text()


@pytest.fixture
def heartbeat_file():
    """The shared heartbeat file, set to "-" and restored afterwards."""
    os.makedirs(os.path.dirname(HEARTBEAT), exist_ok=True)
    saved = beat() if os.path.exists(HEARTBEAT) else None
    pathlib.Path(HEARTBEAT).write_text("-")
    yield HEARTBEAT
    if saved is None:
        os.remove(HEARTBEAT)
    else:
        pathlib.Path(HEARTBEAT).write_text(saved)


def wait_for(condition, seconds=10):
    deadline = time.monotonic() + seconds * SLOWDOWN
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def test_keep_counts_to_ten_once_a_beat_and_ends_with_its_parent(session, heartbeat_file, monkeypatch):
    beats, parents = [], iter([100] * 14 + [1])

    class Clock:
        def sleep(self, seconds):
            beats.append((beat(), seconds))

    class System:
        def getppid(self):
            return next(parents)

    monkeypatch.setattr(flumina, "time", Clock())
    monkeypatch.setattr(flumina, "os", System())
    assert session._keep() is None
    assert beats == [(str(n), 1) for n in [*range(11), 0, 1, 2]]


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_build_starts_a_daemon_heartbeat_under_every_start_method(session, host, heartbeat_file, monkeypatch,
                                                                 method):
    context = multiprocessing.get_context(method)
    monkeypatch.setattr(flumina, "multiprocessing", context)
    session.add("rtsp://cam/1", inputshape=(4, 2))
    session.build()
    children = context.active_children()
    try:
        assert len(children) == 1 and children[0].daemon
        # Under fork the child keeps the fake clock, so it beats as fast as it can.
        assert wait_for(lambda: beat().isdigit())
    finally:
        for child in children:
            child.terminate()
            child.join(5)


CLIENT = textwrap.dedent("""
    import json, multiprocessing, sys, time, flumina

    class Host:
        def Android(self): return self
        def stream(self, *args):
            class Reply: result = json.dumps({"content": {"rgbwidth": 4, "rgbheight": 2}})
            return Reply()
        def sleep(self, seconds):  # all but build's wait of three seconds
            if seconds != 3:
                time.sleep(seconds)
        def Aashmem(self, name): return name

    host = Host()
    flumina.android = flumina.time = host
    flumina.Aashmem = host.Aashmem
    s = flumina.flm()
    s.add("rtsp://cam/1")
    s.build()
    print("heartbeat", multiprocessing.active_children()[0].pid, flush=True)
    if sys.argv[1] == "stay":
        sys.stdin.read()
""")


def run_client(mode):
    return subprocess.Popen([sys.executable, "-c", CLIENT, mode], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)


def heartbeat_pid(client):
    for line in client.stdout:
        if line.startswith("heartbeat "):
            return int(line.split()[1])
    raise AssertionError("the client printed no heartbeat pid")


def gone(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"  # a zombie nobody reaps is gone too
    except FileNotFoundError:
        return True


def test_a_finished_script_exits_and_takes_its_heartbeat_along(heartbeat_file):
    with run_client("leave") as client:
        heartbeat = heartbeat_pid(client)
        assert client.wait(timeout=10 * SLOWDOWN) == 0
    assert wait_for(lambda: gone(heartbeat), 5)


def test_heartbeat_ends_when_its_client_is_killed(heartbeat_file):
    with run_client("stay") as client:
        try:
            heartbeat = heartbeat_pid(client)
            assert wait_for(lambda: beat() in ("0", "1"))
        finally:
            client.send_signal(signal.SIGKILL)
    assert wait_for(lambda: gone(heartbeat), 5)
