"""What the host benchmarks share: a test clip, flumina-host as a child process
whose port the clients' port file names, and per-thread CPU time."""

import os
import subprocess
import time

from flumina_devhost import ClientsPortFile, start_for_clients

_clients = ClientsPortFile()  # entered by port_file_kept(), the one block a benchmark runs its hosts in


def make_clip(path, frames, size, grain=0, bframes=3):
    """An H.264 clip of FFmpeg's test pattern; `grain` (0 to 100) adds moving noise, as a camera's picture has."""
    pattern = f"testsrc2=size={size[0]}x{size[1]}:rate=25" + (f",noise=alls={grain}:allf=t" if grain else "")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", pattern,
                    "-frames:v", str(frames), "-c:v", "libx264", "-preset", "veryfast", "-bf", str(bframes),
                    "-pix_fmt", "yuv420p", path], check=True, timeout=300)
    return path


def start_host(binary, *options):
    """flumina-host (flumina_devhost's launcher) that the clients reach; call it inside port_file_kept()."""
    return start_for_clients(_clients, *options, binary=binary)


def _cpu_seconds(stat_path):
    """(name, user + system CPU seconds) from a /proc stat file."""
    with open(stat_path) as f:
        stat = f.read()
    fields = stat[stat.rindex(")") + 2:].split()
    return stat[stat.index("(") + 1:stat.rindex(")")], (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _thread_times(pid):
    """{thread id: (name, CPU seconds)} of `pid`'s threads; the main thread (I/O) is named "main"."""
    times = {}
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            name, used = _cpu_seconds(f"/proc/{pid}/task/{task}/stat")
        except OSError:
            continue
        times[task] = ("main" if int(task) == pid else name, used)
    return times


def cpu_use(pid, seconds):
    """(whole process, {thread name: share}) in percent of a core over the next `seconds`.

    The whole counts every thread; a thread name's share only the threads seen
    at the end (FFmpeg's decoder threads come and go with their input)."""
    before, whole_before, started = _thread_times(pid), _cpu_seconds(f"/proc/{pid}/stat")[1], time.monotonic()
    time.sleep(seconds)
    after, whole_after, elapsed = _thread_times(pid), _cpu_seconds(f"/proc/{pid}/stat")[1], time.monotonic() - started
    shares = {}
    for task, (name, used) in after.items():
        shares[name] = shares.get(name, 0) + 100 * (used - before.get(task, (name, 0))[1]) / elapsed
    return 100 * (whole_after - whole_before) / elapsed, shares


def port_file_kept():
    """The clients' port file, put back as it was once the block is done."""
    return _clients
