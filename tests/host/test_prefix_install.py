"""The module and the development stand-ins, installed to a prefix of one's own, run a script."""

import os
import subprocess
import sys


SCRIPT = """
import sys, time
import flumina
from flumina_devhost import host_for_clients

with host_for_clients("--no-pacing", binary=sys.argv[1]):
    session = flumina.flm()
    session.add("file://" + sys.argv[2], inputshape=(320, 240))
    session.build()
    frames, last = 0, time.monotonic()
    while time.monotonic() - last < 1:
        if session.read(0) is None:
            time.sleep(0.005)
            continue
        frames, last = frames + 1, time.monotonic()
print(flumina.__file__, frames, "frames")
"""


def test_the_module_and_the_stand_ins_installed_to_a_prefix_run_a_script(clip, tmp_path):
    prefix = tmp_path / "prefix"
    for component in ("python", "devhost"):
        subprocess.run(["cmake", "--install", os.environ["FLUMINA_BUILD_DIR"], "--component", component,
                        "--prefix", str(prefix)], check=True, capture_output=True, timeout=60)
    env = {name: value for name, value in os.environ.items() if not name.startswith(("FLUMINA_", "LD_"))}
    env["PYTHONPATH"] = str(prefix / "lib/python3/dist-packages")
    run = subprocess.run([sys.executable, "-c", SCRIPT, str(prefix / "bin/flumina-host"), clip], env=env,
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.endswith(f"{prefix}/lib/python3/dist-packages/flumina.abi3.so 30 frames\n"), run.stdout
