"""One flumina.abi3.so for Python 3.10 and every later CPython: the symbols it
takes from the interpreter, and the module at work under every other CPython
3.10+ of this machine (python3.N on PATH and in pyenv's versions).

Those interpreters have neither numpy nor OpenCV, and the development Korvane
is built for this interpreter only, so there the module imports empty
stand-ins of cv2, numpy and Korvane instead; exercise_module.py reads no frame,
the one thing that needs numpy. This interpreter runs the same script on the
same stand-ins, and its report is the reference.
"""

import collections
import glob
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

import flumina
from fakes import version_warning

HERE = os.path.dirname(os.path.abspath(__file__))
SLOWDOWN = int(os.environ.get("FLUMINA_TEST_SLOWDOWN", "1"))

Interpreter = collections.namedtuple("Interpreter", "version machine executable stdlib")
DESCRIBE = ("import json, os, platform, sys, sysconfig; print(json.dumps([sys.implementation.name, "
            "sys.version_info[:3], platform.machine(), os.path.realpath(sys.executable), "
            "sysconfig.get_path('stdlib')]))")


def environment(**settings):
    """This environment without what would point another interpreter at this
    one's library (under emulation, PYTHONHOME is the emulated userland's)."""
    inherited = {k: v for k, v in os.environ.items() if k not in ("PYTHONHOME", "PYTHONPATH")}
    return dict(inherited, **settings)


def describe(path):
    """The Interpreter at `path` if it is a CPython that runs, else None."""
    try:
        result = subprocess.run([path, "-c", DESCRIBE], capture_output=True, text=True, env=environment(),
                                timeout=20 * SLOWDOWN)
        name, version, machine, executable, stdlib = json.loads(result.stdout)
    except (OSError, subprocess.TimeoutExpired, ValueError):
        return None
    return Interpreter(tuple(version), machine, executable, stdlib) if name == "cpython" else None


def candidate_paths():
    folders = os.environ.get("PATH", "").split(os.pathsep)
    if shutil.which("pyenv"):
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
        # The shims only forward to these versions, and only to the selected ones.
        folders = [f for f in folders if f != os.path.join(root, "shims")]
        folders += sorted(glob.glob(os.path.join(root, "versions", "*", "bin")))
    for folder in folders:
        for path in glob.glob(os.path.join(folder, "python3.*")):
            if re.fullmatch(r"python3\.\d+", os.path.basename(path)):
                yield path


def cpythons():
    """Every CPython 3.10 or later found, once per real executable, oldest first."""
    found = {}
    for path in candidate_paths():
        interpreter = describe(path)
        if interpreter and interpreter.version >= (3, 10):
            found.setdefault(interpreter.executable, interpreter)
    return sorted(found.values())


THIS = describe(sys.executable)
ALL = cpythons()
# Only interpreters of this machine can load this build's module (not so in a cross build).
OTHERS = [i for i in ALL if i.machine == THIS.machine and i.executable != THIS.executable]


def stable_abi():
    """Names of the stable ABI, from the oldest CPython here whose test suite lists
    them (3.11 and later carry test/test_stable_abi_ctypes.py); None if none does.
    The stable ABI only grows, so the oldest list is the strictest."""
    for interpreter in ALL:
        listing = os.path.join(interpreter.stdlib, "test", "test_stable_abi_ctypes.py")
        if os.path.exists(listing):
            with open(listing) as f:
                return set(re.findall(r"""["'](_?Py\w+)["']""", f.read()))
    return None


def test_the_module_takes_only_stable_abi_symbols_from_the_interpreter():
    assert os.path.basename(flumina.__file__) == "flumina.abi3.so"
    listed = stable_abi()
    if listed is None:
        pytest.skip("no CPython here lists the stable ABI (test/test_stable_abi_ctypes.py, 3.11 and later)")
    nm = subprocess.run(["nm", "-D", "--undefined-only", flumina.__file__],
                        capture_output=True, text=True, check=True).stdout
    taken = {line.split()[-1].split("@")[0] for line in nm.splitlines()}
    taken = {name for name in taken if re.match(r"_?Py", name)}
    assert "PyModuleDef_Init" in taken and sorted(taken - listed) == []


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """The working folder of every run, holding clip.mp4 and the stand-ins."""
    path = tmp_path_factory.mktemp("exercise")
    (path / "clip.mp4").write_bytes(b"")
    (path / "standins").mkdir()
    for name, text in {"cv2.py": "", "numpy.py": "", "Korvane.py": "class Aashmem:\n    pass\n"}.items():
        (path / "standins" / name).write_text(text)
    return path


def exercise(executable, folder):
    """The report of exercise_module.py under `executable`."""
    path = [str(folder / "standins"), os.path.dirname(flumina.__file__), HERE]
    result = subprocess.run([executable, os.path.join(HERE, "exercise_module.py")], cwd=folder,
                            env=environment(PYTHONPATH=os.pathsep.join(path), PYTHONDONTWRITEBYTECODE="1"),
                            capture_output=True, text=True, timeout=60 * SLOWDOWN)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


@pytest.fixture(scope="module")
def reference(folder):
    report = exercise(sys.executable, folder)
    assert report.pop("warnings") == [w for w in [version_warning(sys.version_info)] if w]
    assert report["check"] == [1, 2, {"raised": "ValueError", "message": "all utype must same"},
                               {"raised": "ValueError", "message": "inputs must be same type"},
                               {"raised": "ValueError", "message": "所有的输出类型必须一致"}, 7, 9]
    assert report["build"]["outcome"] == [[480, 640, 3], [480, 640, 3]]
    return report


@pytest.mark.parametrize("interpreter", OTHERS or [
    pytest.param(None, marks=pytest.mark.skip(reason=f"no other CPython 3.10 or later for {THIS.machine} here"))],
    ids=lambda i: i and "{}:{}".format(".".join(map(str, i.version)), i.executable))
def test_the_module_works_alike_under_another_interpreter(interpreter, folder, reference):
    report = exercise(interpreter.executable, folder)
    assert report.pop("warnings") == [w for w in [version_warning(interpreter.version)] if w]
    assert report == reference
