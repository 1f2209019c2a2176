"""The android bridge stand-in against a fake line-protocol server."""

import json
import os
import pathlib
import socket
import threading

import pytest

import android


class FakeService:
    """Answers each request line with the next reply; records the lines it got."""

    def __init__(self, replies):
        self.replies = list(replies)
        self.requests = []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(5)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        connection, _ = self.listener.accept()
        with connection, connection.makefile("rwb") as stream:
            for reply in self.replies:
                line = stream.readline()
                if not line:
                    return
                self.requests.append(line)
                stream.write(reply if isinstance(reply, bytes) else (json.dumps(reply) + "\n").encode())
                stream.flush()

    def close(self):
        self.thread.join(5)
        self.listener.close()


@pytest.fixture
def port_file(tmp_path):
    """The clients' port file, restored afterwards."""
    path = pathlib.Path(android.PORT_FILE)
    saved = path.read_bytes() if path.exists() else None
    path.parent.mkdir(parents=True, exist_ok=True)
    yield path
    if saved is None:
        path.unlink(missing_ok=True)
    else:
        path.write_bytes(saved)


def test_requests_and_replies_follow_the_line_protocol(port_file):
    content = {"content": {"rgbwidth": 640, "rgbheight": 480}}
    service = FakeService([
        {"id": 0, "result": content, "error": None},
        {"id": 1, "result": {"granted": True, "deviceID": 5}, "error": None},
        {"id": 2, "result": None, "error": "no such device"},
    ])
    port_file.write_text(f"  {service.port} trailing words\n")
    bridge = android.Android()
    assert json.loads(bridge.stream('[{"inputUrl": "rtsp://c/1"}]', 1, 4242).result) == content
    assert json.loads(bridge.requestPermission(5).result) == {"granted": True, "deviceID": 5}
    with pytest.raises(android.HostError, match="^no such device$") as refused:
        bridge.searchUSB()
    assert isinstance(refused.value, RuntimeError)
    service.close()
    assert service.requests == [
        b'{"id":0,"method":"stream","params":["[{\\"inputUrl\\": \\"rtsp://c/1\\"}]",1,4242]}\n',
        b'{"id":1,"method":"requestPermission","params":[5]}\n',
        b'{"id":2,"method":"searchUSB","params":[]}\n',
    ]


@pytest.mark.parametrize("text, port", [
    ("12345\n", 12345), ("+80", 80), ("", 43329), ("port 1", 43329), ("-1", 43329), ("99999999999", 43329),
])
def test_port_file_is_read_like_the_native_client(port_file, text, port):
    port_file.write_text(text)
    assert android.read_port() == port


def test_missing_port_file_gives_the_default(port_file):
    port_file.unlink(missing_ok=True)
    assert android.read_port() == 43329


def test_unreachable_service_raises_connection_error_naming_the_address_and_the_port_file(port_file):
    with socket.create_server(("127.0.0.1", 0)) as taken:
        port = taken.getsockname()[1]
    port_file.write_text(f"{port}\n")
    with pytest.raises(ConnectionError, match=rf"127\.0\.0\.1:{port} \(from {android.PORT_FILE}; is the service"):
        android.Android()


@pytest.mark.parametrize("reply, error", [(b"", ConnectionError), (b"not json\n", ValueError),
                                          (b'{"id":0}\n', ValueError)])
def test_broken_replies_are_reported(reply, error):
    service = FakeService([reply])  # b"": hangs up without a reply
    with pytest.raises(error):
        android.Bridge(service.port).searchUSB()
    service.close()
