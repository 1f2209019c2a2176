"""Importing flumina, the class flm and the state of a fresh session."""

import importlib
import inspect
import os
import pickle
import subprocess
import sys
import textwrap

import pytest

import flumina
from fakes import version_warning

METHODS = {
    "__init__": "(self)",
    "add": "(self, input=None, utype=None, inputFormat=None, inputshape=None, outputinfo=None)",
    "_check": "(self)",
    "build": "(self)",
    "read": "(self, index=0)",
    "show": "(self, frame, index=0)",
    "push": "(self, frame, index=0)",
    "_keep": "(self)",
    "getUsbDeviceId": "(self)",
    "add_from_json": "(self, json_path)",
}


def run_python(code, path=(), extra_args=()):
    """Runs `code` in a new interpreter with `path` ahead of the build's modules."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([*path, os.environ["PYTHONPATH"]]))
    return subprocess.run([sys.executable, *extra_args, "-c", textwrap.dedent(code)],
                          env=env, capture_output=True, text=True, timeout=30)


def test_module_namespace_holds_the_dependencies_and_the_class_only():
    names = {n for n in vars(flumina) if not n.startswith("__")}
    assert names == {"os", "cv2", "np", "multiprocessing", "time", "json", "android", "Aashmem", "flm"}
    assert flumina.np is sys.modules["numpy"] and flumina.Aashmem is sys.modules["Korvane"].Aashmem
    assert not hasattr(flumina, "__version__") and flumina.__doc__ is None


def test_import_again_reload_and_reimport_keep_module_and_class():
    cls, old = flumina.flm, flumina.flm()
    assert importlib.import_module("flumina") is flumina
    assert importlib.reload(flumina) is flumina and flumina.flm is cls
    del sys.modules["flumina"]
    again = importlib.import_module("flumina")
    assert again is flumina and again.flm is cls and isinstance(old, again.flm)


def test_class_is_a_plain_class_with_python_style_methods():
    cls = flumina.flm
    assert cls.__bases__ == (object,) and (cls.__module__, cls.__qualname__) == ("flumina", "flm")
    assert [n for n in vars(cls) if n in METHODS] == list(METHODS)
    for name, signature in METHODS.items():
        method = getattr(cls, name)
        assert (method.__name__, method.__qualname__) == (name, "flm." + name)
        assert str(inspect.signature(method)) == signature


def test_fresh_sessions_have_their_own_state():
    a, b = flumina.flm(), flumina.flm()
    assert list(vars(a)) == ["js", "used_device", "allow_push_device", "allow_save_device",
                             "allow_push_save_device", "avaliable_device", "input_resize",
                             "kv", "diskv", "eskv", "__version__"]
    assert vars(a) == dict(js=[], used_device=[], allow_push_device=[0, 1, 3], allow_save_device=[0],
                           allow_push_save_device=[0, 3],
                           avaliable_device=["inputUrl", "camera_id", "usbDeviceId", "file_path"],
                           input_resize=[], kv=[], diskv=[], eskv=[], __version__="1.0.1")
    a.allow_push_device.append(4)
    assert b.allow_push_device == [0, 1, 3]
    a.anything = 1  # ordinary instance dictionary


@pytest.mark.parametrize("call, message", [
    (lambda s: flumina.flm(1), "flm.__init__() takes 1 positional argument but 2 were given"),
    (lambda s: s.read(0, 1), "flm.read() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda s: s.show(), "flm.show() missing 1 required positional argument: 'frame'"),
    (lambda s: s.add(url="x"), "flm.add() got an unexpected keyword argument 'url'"),
    (lambda s: s.push(None, 0, index=0), "flm.push() got multiple values for argument 'index'"),
])
def test_wrong_arguments_raise_type_error_and_change_nothing(session, call, message):
    with pytest.raises(TypeError) as error:
        call(session)
    assert str(error.value) == message
    assert session.js == [] and session.used_device == []


def test_every_parameter_can_be_passed_by_name(session, tmp_path):
    session.add(outputinfo=["rtmp://a/b", 25, 640, 480], inputshape=(640, 480),
                inputFormat="video/avc", utype=None, input="rtsp://cam/1")
    (tmp_path / "c.json").write_text("[]")
    session.add_from_json(json_path=str(tmp_path / "c.json"))
    assert session.js[0]["outUrl"] == "rtmp://a/b"
    with pytest.raises(IndexError):
        session.read(index=0)


def test_frame_access_on_a_fresh_session_raises_index_error(session):
    frame = flumina.np.zeros((2, 2, 3), flumina.np.uint8)
    for call in (session.read, lambda: session.show(frame), lambda: session.push(frame)):
        with pytest.raises(IndexError):
            call()


def test_subclass_add_is_used_by_add_from_json(tmp_path):
    seen = []

    class Logged(flumina.flm):
        def add(self, *args):
            seen.append(args)

    path = tmp_path / "c.json"
    path.write_text('[{"input": 0, "utype": "None", "inputFormat": null, "inputshape": [4, 2],'
                    ' "outputinfo": "None"}]')
    Logged().add_from_json(str(path))
    assert seen == [(0, None, None, [4, 2], None)]


def test_session_and_its_heartbeat_target_pickle():
    s = flumina.flm()
    s.add("rtsp://cam/1", inputshape=(640, 480))
    copy = pickle.loads(pickle.dumps(s))
    assert type(copy) is flumina.flm and vars(copy) == vars(s)
    keep = pickle.loads(pickle.dumps(s._keep))
    assert keep.__func__ is flumina.flm._keep and vars(keep.__self__) == vars(s)
    assert pickle.loads(pickle.dumps(flumina.flm.add)) is flumina.flm.add


def test_version_mismatch_warns_and_the_filter_can_refuse():
    message = version_warning(sys.version_info)
    if message is None:
        pytest.skip("this is the interpreter the module is built for (see test_stable_abi.py)")
    warned = run_python("import flumina; print(flumina.flm().__version__)")
    assert warned.returncode == 0 and warned.stdout == "1.0.1\n"
    assert f"RuntimeWarning: {message}" in warned.stderr
    refused = run_python("import flumina", extra_args=["-W", "error::RuntimeWarning"])
    assert refused.returncode == 1 and f"RuntimeWarning: {message}" in refused.stderr


def test_second_interpreter_is_refused():
    result = run_python("""
        import flumina, _xxsubinterpreters as interpreters
        try:
            interpreters.run_string(interpreters.create(), "import flumina")
        except interpreters.RunFailedError as e:
            print(e)
    """)
    assert ("ImportError'>: Interpreter change detected - this module can only be loaded "
            "into one interpreter per process.\n") in result.stdout


@pytest.mark.parametrize("files, code, expected", [
    ({"cv2.py": "raise ImportError('no cv2 here')"},
     "import flumina", "ImportError: no cv2 here"),
    ({"Korvane.py": ""}, "import flumina", "ImportError: cannot import name Aashmem"),
    ({"Korvane/__init__.py": "from . import Aashmem as _\ndel Aashmem", "Korvane/Aashmem.py": ""},
     "import flumina, Korvane.Aashmem as a; print(flumina.Aashmem is a)", "True"),
    # A failed initialisation leaves nothing behind: the next import starts again.
    ({"cv2.py": "import sys\nif not hasattr(sys, 'tried'):\n    sys.tried = 1\n    raise ImportError('once')"},
     "try:\n import flumina\nexcept ImportError as e:\n print(e)\nimport flumina\nprint(flumina.flm)",
     "once\n<class 'flumina.flm'>"),
])
def test_import_failures_and_the_from_import_rule(tmp_path, files, code, expected):
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_text(text)
    result = run_python(code, path=[str(tmp_path)])
    assert expected in result.stdout + result.stderr
