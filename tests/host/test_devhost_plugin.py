"""The development kit's launcher and pytest plugin, as a user's test run meets them (run by pytester)."""

import os

from flumina_devhost import PORT_FILE, ClientsPortFile, DevHost, start_for_clients

from rtsp_server import free_port


def test_a_host_that_dies_during_a_test_fails_it_with_the_end_of_its_log(pytester):
    pytester.makepyfile("""
        import signal

        def test_kills_its_host(flumina_host):
            flumina_host.process.send_signal(signal.SIGKILL)
            flumina_host.process.wait(5)
    """)
    result = pytester.runpytest_subprocess()
    result.assert_outcomes(failed=1)
    result.stdout.fnmatch_lines(["*flumina-host exited with status -9 during the test; the end of its log:",
                                 "*listening on 127.0.0.1:*"])


def test_the_program_and_its_options_come_from_the_command_line_the_environment_and_a_marker(pytester, monkeypatch):
    binary = os.environ["FLUMINA_HOST_BIN"]
    monkeypatch.delenv("FLUMINA_HOST_BIN")
    monkeypatch.setenv("FLUMINA_HOST_OPTIONS", "--view off --progress-interval 9")
    pytester.makepyfile(f"""
        import pytest

        @pytest.mark.flumina_host("--progress-interval", 7)
        def test_options(flumina_host):
            assert flumina_host.process.args == [
                {binary!r}, "--port", "0", "--view", "off", "--progress-interval", "9", "--progress-interval", "7"]
            assert flumina_host.view_url is None
    """)
    result = pytester.runpytest_subprocess("--flumina-host", binary)
    result.assert_outcomes(passed=1)


def test_a_host_stopped_as_soon_as_it_is_up_stops_cleanly():
    # SIGTERM right after the log says the host is up once killed it now and then.
    for _ in range(20):
        assert DevHost("--port", "0").stop() == 0


def test_a_marked_test_records_into_its_own_folder_and_the_option_records_every_test(pytester, tmp_path):
    pytester.makepyfile("""
        import pytest

        @pytest.mark.flumina_record
        def test_marked(flumina_host, tmp_path):
            assert flumina_host.record_dir == str(tmp_path / "recordings")
            assert flumina_host.process.args[-2:] == ["--record", flumina_host.record_dir]

        def test_unmarked(flumina_host):
            assert flumina_host.wait_for("recording live inputs into " + flumina_host.record_dir)
            assert flumina_host.record_dir.endswith("/every/test_unmarked")
            assert flumina_host.recordings() == []
    """)
    result = pytester.runpytest_subprocess("--flumina-record", str(tmp_path / "every"))
    result.assert_outcomes(passed=2)


def test_a_client_reaches_the_host_through_the_port_file_which_is_put_back_after_the_test(pytester):
    pytester.makepyfile("""
        import json
        import android

        def test_a_client_asks(flumina_host):
            bridge = android.Android()
            assert bridge.address[1] == flumina_host.port
            assert json.loads(bridge.searchUSB().result) is not None
            bridge.close()
    """)
    with ClientsPortFile() as port_file:
        port_file.point_at(1)  # where no host listens
        result = pytester.runpytest_subprocess()
        result.assert_outcomes(passed=1)
        with open(PORT_FILE) as f:
            assert f.read() == "1\n"


class UnwritablePortFile(ClientsPortFile):
    """The port file as a user without the right to write it sees it."""

    def writable(self):
        return False


def test_where_the_port_file_cannot_be_written_the_host_listens_where_the_clients_connect():
    free = free_port()
    with ClientsPortFile() as port_file:
        port_file.point_at(free)
        with UnwritablePortFile() as unwritable, start_for_clients(unwritable) as host:
            assert host.port == free
            assert "--port" not in host.process.args
