"""Development stand-in for the host's Python bridge module.

``Android()`` returns a bridge to the host stream service on 127.0.0.1 (port
from /etc/opt/korvane/ap_port, else 43329). Each call sends one request line
and waits for its reply line (contracts/protocol.md), and returns an object
whose ``result`` attribute is the JSON text of the reply's result. A reply
that reports an error raises ``HostError`` with the service's message, so a
refused session fails ``flm.build`` before anything is attached.

Run ``python3 -m android --help`` to send a request by hand.
"""

import json
import re
import socket
import sys

HOST = "127.0.0.1"
PORT_FILE = "/etc/opt/korvane/ap_port"
DEFAULT_PORT = 43329

_PORT_LINE = re.compile(r"\s*([+-]?\d+)")
_INT32_MAX = 2**31 - 1


def read_port(path=PORT_FILE):
    """The port named by the first line of `path`, or DEFAULT_PORT.

    The rule of contracts/port_file.h, which every reader of the port file
    follows: leading white space, an optional sign and digits; the rest of the
    line is ignored. A missing or empty file, no number, a number too large
    for an int or -1 give the default.
    """
    return port_and_source(path)[0]


def port_and_source(path=PORT_FILE):
    """(port, where it came from), the latter for messages: "from FILE", "no port file FILE", ..."""
    try:
        with open(path, encoding="ascii", errors="replace") as f:
            line = f.readline()
    except OSError:
        return DEFAULT_PORT, f"no port file {path}"
    match = _PORT_LINE.match(line)
    if match is None:
        if line.strip():
            print(f"android: no port number in {path}, using {DEFAULT_PORT}", file=sys.stderr)
        return DEFAULT_PORT, f"no port number in {path}"
    port = int(match.group(1))
    if not -_INT32_MAX - 1 <= port <= _INT32_MAX:
        return DEFAULT_PORT, f"port number out of range in {path}"
    if port == -1:
        return DEFAULT_PORT, f"{path} says -1"
    return port, f"from {path}"


class HostError(RuntimeError):
    """The host stream service answered a request with an error; the message is the service's."""


class Reply:
    """One successful reply: `result` is the JSON text of its result."""

    def __init__(self, result):
        self.result = result

    def __repr__(self):
        return f"Reply(result={self.result!r})"


class Bridge:
    """One connection to the host stream service; requests are answered in order."""

    def __init__(self, port=None):
        port, source = port_and_source() if port is None else (port, "given")
        self.address = (HOST, port)
        self._next_id = 0
        try:
            self._socket = socket.create_connection(self.address)
        except (OSError, OverflowError) as e:
            raise ConnectionError(
                f"cannot connect to the host stream service at {self._where()} ({source}; is the service running?): "
                f"{getattr(e, 'strerror', None) or e}"
            ) from e
        self._lines = self._socket.makefile("rb")

    def stream(self, config_text, use_type, pid):
        return self._call("stream", [config_text, use_type, pid])

    def requestPermission(self, device_id):
        return self._call("requestPermission", [device_id])

    def searchUSB(self):
        return self._call("searchUSB", [])

    def close(self):
        self._lines.close()
        self._socket.close()

    # Callers drop bridges without closing them; that is no leak worth a warning.
    def __del__(self):
        if hasattr(self, "_lines"):
            self.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _where(self):
        return f"{self.address[0]}:{self.address[1]}"

    def _call(self, method, params):
        request = {"id": self._next_id, "method": method, "params": params}
        self._next_id += 1
        line = json.dumps(request, separators=(",", ":")) + "\n"
        try:
            self._socket.sendall(line.encode("utf-8"))
            answer = self._lines.readline()
        except OSError as e:
            raise ConnectionError(
                f"cannot {method} through the host stream service at {self._where()}: {e.strerror or e}"
            ) from e
        if not answer.endswith(b"\n"):
            raise ConnectionError(
                f"the host stream service at {self._where()} closed the connection before answering {method}"
            )
        try:
            reply = json.loads(answer)
        except ValueError as e:
            raise ValueError(f"cannot parse the reply of the host stream service to {method}: {e}") from e
        if not isinstance(reply, dict) or "result" not in reply:
            raise ValueError(f"the host stream service answered {method} without a result: {answer[:200]!r}")
        error = reply.get("error")
        if error is not None:
            raise HostError(error if isinstance(error, str) else json.dumps(error))
        return Reply(json.dumps(reply["result"]))


def Android():
    """A new bridge to the host stream service."""
    return Bridge()


def _main(argv):
    import argparse

    parser = argparse.ArgumentParser(
        prog="python3 -m android",
        description="Send one request to the host stream service and print the result.",
    )
    parser.add_argument("--port", type=int, help=f"service port (default: {PORT_FILE}, else {DEFAULT_PORT})")
    calls = parser.add_subparsers(dest="method", required=True)
    stream = calls.add_parser("stream", help="start a session")
    stream.add_argument("config", help="session configuration, JSON text")
    stream.add_argument("use_type", type=int)
    stream.add_argument("pid", type=int, nargs="?", default=1,
                        help="the caller: a process id, whose end ends the session; 1 (the default) "
                             "ties the session to this command's connection, so it ends with the command")
    calls.add_parser("searchUSB", help="list the USB devices")
    permission = calls.add_parser("requestPermission", help="ask for a USB device")
    permission.add_argument("device_id", type=int)
    args = parser.parse_args(argv)

    try:
        with Bridge(args.port) as bridge:
            if args.method == "stream":
                reply = bridge.stream(args.config, args.use_type, args.pid)
            elif args.method == "searchUSB":
                reply = bridge.searchUSB()
            else:
                reply = bridge.requestPermission(args.device_id)
    except (ConnectionError, ValueError, HostError) as e:
        print(f"android: {e}", file=sys.stderr)
        return 1
    print(reply.result)
    return 0


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))
