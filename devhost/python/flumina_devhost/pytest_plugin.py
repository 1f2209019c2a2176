"""pytest plugin of flumina's development kit: the fixture `flumina_host`.

    def test_my_pipeline(flumina_host):
        ...                              # run the pipeline: its clients reach this host
        assert flumina_host.stop() == 0  # outputs finalised

Every test that asks for it gets a fresh flumina-host (a DevHost) that the
clients reach (see start_for_clients), stopped after the test. Which program
and which extra options: --flumina-host PATH (else $FLUMINA_HOST_BIN, else
flumina-host on PATH), --flumina-host-options "OPTIONS" (else
$FLUMINA_HOST_OPTIONS) for every test, and the marker
@pytest.mark.flumina_host(*options) for one test.

Recording the live inputs (flumina-host --record): --flumina-record DIR for
every test, each into DIR/<test name>/, and the marker
@pytest.mark.flumina_record for one test, into its tmp_path / "recordings";
`flumina_host.recordings()` lists what was recorded.
"""

import os
import re
import shlex

import pytest

from .launcher import DevHost, default_binary, start_for_clients
from .port_file import ClientsPortFile

OPTIONS_VARIABLE = "FLUMINA_HOST_OPTIONS"
_HOST = pytest.StashKey[DevHost]()


def pytest_addoption(parser):
    group = parser.getgroup("flumina", "flumina's development host (fixture flumina_host)")
    group.addoption("--flumina-host", metavar="PATH",
                    help="the flumina-host program to run (default: $FLUMINA_HOST_BIN, else flumina-host on PATH)")
    group.addoption("--flumina-host-options", metavar="OPTIONS",
                    help=f"options for every flumina-host, shell-quoted in one argument (default: ${OPTIONS_VARIABLE})")
    group.addoption("--flumina-record", metavar="DIR",
                    help="every flumina-host records its live inputs into DIR/<test name>/ (flumina-host --record)")


def pytest_configure(config):
    config.addinivalue_line("markers", "flumina_host(*options): flumina-host options for this test's host")
    config.addinivalue_line("markers", "flumina_record: this test's host records its live inputs into "
                                       "tmp_path / \"recordings\" (flumina-host --record)")


def host_settings(config):
    """(program, options) of every host of this run."""
    options = config.getoption("flumina_host_options")
    if options is None:
        options = os.environ.get(OPTIONS_VARIABLE, "")
    return config.getoption("flumina_host") or default_binary(), shlex.split(options)


def _record_dir(request):
    """Where this test's host records, or None."""
    if request.node.get_closest_marker("flumina_record") is not None:
        return str(request.getfixturevalue("tmp_path") / "recordings")
    every = request.config.getoption("flumina_record")
    if every is None:
        return None
    os.makedirs(every, exist_ok=True)  # the host makes the test's own folder
    return os.path.join(every, re.sub(r"[^\w.-]+", "_", request.node.name))


@pytest.fixture
def flumina_host(request):
    """A fresh flumina-host that the clients reach, listening when the test starts; stopped after it."""
    binary, options = host_settings(request.config)
    for marker in reversed(list(request.node.iter_markers("flumina_host"))):
        options += [str(option) for option in marker.args]  # the nearest marker last, so that it wins
    record = _record_dir(request)
    if record is not None:
        options += ["--record", record]
    with ClientsPortFile() as port_file:
        host = start_for_clients(port_file, *options, binary=binary)
        request.node.stash[_HOST] = host
        try:
            yield host
        finally:
            running = host.process.poll() is None
            status = host.stop()
        if running and status != 0:
            pytest.fail(f"{host.binary} exited with status {status} when stopped after the test; "
                        f"the end of its log:\n{host.tail()}", pytrace=False)


@pytest.hookimpl(trylast=True)
def pytest_runtest_call(item):
    """After a test that passed: a host that died during it fails it."""
    host = item.stash.get(_HOST, None)
    if host is not None and host.died():
        pytest.fail(f"{host.binary} exited with status {host.process.returncode} during the test; "
                    f"the end of its log:\n{host.tail()}", pytrace=False)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A failed test's report carries the host's whole log (one that died says its end already)."""
    outcome = yield
    report = outcome.get_result()
    host = item.stash.get(_HOST, None)
    if host is not None and report.when == "call" and report.failed and not host.died():
        report.sections.append(("flumina-host log", host.log()))
