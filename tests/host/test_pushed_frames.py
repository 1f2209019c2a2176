"""Every frame a Python client pushes reaches the saved file: in order, from time 0, and
the file is complete once the client is gone and playable whatever happens to the host."""

import signal
import subprocess
import sys
import threading

from conftest import frame_numbers, frame_times, probe

CLIENT = r"""
import sys, time
import numpy as np
import flumina
sys.path.insert(0, sys.argv[5])
from conftest import numbered_frame
clip, output, count, interval, mode = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4]), sys.argv[6]
session = flumina.flm()
session.add("file://" + clip, inputshape=(320, 240), outputinfo=(output, 25, 320, 240))
session.build()
still = numbered_frame(7)
for number in range(count):
    session.push(still if mode == "still" else numbered_frame(number), 0)
    print("pushed", number + 1, flush=True)
    time.sleep(interval)
if mode == "hold":
    time.sleep(60)
"""


def start_client(clip, output, count, interval=0.0, mode="numbered"):
    """The client above, as a context manager."""
    return subprocess.Popen([sys.executable, "-c", CLIENT, clip, str(output), str(count), str(interval),
                             __file__.rsplit("/", 1)[0], mode], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True)


class PushCount:
    """Follows the client's "pushed N" lines on a thread of its own, so that no wait is unbounded."""

    def __init__(self, client):
        self.client = client
        self.pushed = 0
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.client.stdout:
            if line.startswith("pushed "):
                with self.changed:
                    self.pushed = int(line.split()[1])
                    self.changed.notify_all()

    def reach(self, at_least, timeout=20):
        """The count once it is `at_least`, or after `timeout` seconds."""
        with self.changed:
            self.changed.wait_for(lambda: self.pushed >= at_least, timeout)
            return self.pushed

    def final(self):
        """The last count, once the client has ended."""
        self.client.wait(5)
        self.reader.join(5)
        return self.pushed


def test_a_fast_client_finds_every_frame_in_order_from_time_zero(start_host, clip, tmp_path):
    host = start_host("--heartbeat-timeout", "30")
    saved = tmp_path / "fast.mp4"
    with start_client(clip, saved, 150) as client:
        assert client.wait(60) == 0, client.stdout.read()
    # The client's exit ends the session; the heartbeat's long timeout plays no part.
    assert host.wait_for("session stopped: client gone (process", 10), host.log()
    assert f"output {saved} finalised, 150 frames" in host.log()
    assert frame_numbers(saved) == list(range(150))
    assert frame_times(saved)[0] == 0
    assert host.stop() == 0


def test_pushes_of_one_unchanged_frame_are_each_encoded_at_their_time(start_host, clip, tmp_path):
    host = start_host()
    saved = tmp_path / "still.mp4"
    with start_client(clip, saved, 20, interval=0.04, mode="still") as client:
        assert client.wait(60) == 0, client.stdout.read()
    assert host.wait_for(f"output {saved} finalised, 20 frames", 10), host.log()
    times = frame_times(saved)
    assert len(times) == 20 and times[0] == 0
    assert 0.6 <= times[-1] <= 1.2, "a paced client keeps its timing"
    assert host.stop() == 0


def test_a_killed_client_leaves_a_complete_file(start_host, clip, tmp_path):
    host = start_host("--heartbeat-timeout", "30")
    saved = tmp_path / "killed.mp4"
    with start_client(clip, saved, 1000, interval=0.02, mode="hold") as client:
        count = PushCount(client)
        count.reach(40)
        client.send_signal(signal.SIGKILL)
        pushed = count.final()
    assert host.wait_for(f"output {saved} finalised", 10), host.log()
    codec, width, height, frames, clean = probe(saved)
    assert (codec, width, height, clean) == ("h264", 320, 240, True)
    assert frames in (pushed, pushed + 1)  # the kill may fall between a push and its line
    assert host.stop() == 0


def test_a_host_killed_mid_save_leaves_a_playable_file_up_to_its_last_fragment(start_host, clip, tmp_path):
    host = start_host()
    saved = tmp_path / "host-killed.mp4"
    with start_client(clip, saved, 1000, interval=0.02, mode="hold") as client:
        count = PushCount(client)
        pushed = count.reach(90)
        host.process.send_signal(signal.SIGKILL)
        host.process.wait(5)
        client.kill()
        count.final()
    codec, width, height, frames, clean = probe(saved)
    assert (codec, width, height, clean) == ("h264", 320, 240, True)
    assert 25 <= frames <= pushed  # whole fragments of a second each
    assert frame_numbers(saved) == list(range(frames))
