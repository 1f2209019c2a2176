"""A Python client killed mid-session: the host notices its heartbeat stop and finalises the output."""

import signal
import subprocess
import sys
import time

from conftest import probe

CLIENT = r"""
import sys, time, flumina
clip, output = sys.argv[1], sys.argv[2]
session = flumina.flm()
session.add("file://" + clip, inputshape=(320, 240), outputinfo=(output, 25, 320, 240))
session.build()
pushed = 0
while True:
    frame = session.read(0)
    if frame is None:
        time.sleep(0.001)
        continue
    session.push(frame, 0)
    pushed += 1
    print("frame", pushed, flush=True)
"""


def test_the_session_of_a_killed_client_stops_and_its_mp4_plays_to_the_last_frame(start_host, clip, tmp_path):
    host = start_host("--loop", "--heartbeat-timeout", "1")
    saved = tmp_path / "killed.mp4"
    with subprocess.Popen([sys.executable, "-c", CLIENT, clip, str(saved)], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True) as client:
        pushed = 0
        deadline = time.monotonic() + 20
        for line in client.stdout:
            if line.startswith("frame "):
                pushed = int(line.split()[1])
            if pushed >= 40 or time.monotonic() > deadline:
                break
        assert pushed >= 40, "the client did not get going"
        client.send_signal(signal.SIGKILL)
        killed = time.monotonic()
        client.wait(5)
        for line in client.stdout:
            if line.startswith("frame "):
                pushed = int(line.split()[1])

    # The heartbeat process notices its parent is gone within a beat; the host a timeout later.
    assert host.wait_for("session stopped: no heartbeat", 6), host.log()
    assert time.monotonic() - killed < 5
    codec, width, height, frames, clean = probe(saved)
    assert (codec, width, height) == ("h264", 320, 240)
    assert clean
    assert pushed * 3 // 4 <= frames <= pushed + 1  # the kill may fall between a push and its line
    assert host.stop() == 0
