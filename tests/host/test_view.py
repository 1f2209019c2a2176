"""The live view: its figures as JSON for scripts, what it serves to whom, and
the page in a headless browser showing what a client shows."""

import json
import os
import socket
import threading
import time
import urllib.error
import urllib.request

import cv2
import numpy as np
import pytest

import flumina
from conftest import CLIP_FRAMES, CLIP_SIZE, make_clip, read_frames
from headless_browser import HeadlessChromium


def get(url, headers=None):
    """(status, content type, body) of a GET of `url`."""
    try:
        with urllib.request.urlopen(urllib.request.Request(url, headers=headers or {}), timeout=5) as answer:
            return answer.status, answer.headers.get("Content-Type"), answer.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers.get("Content-Type"), e.read()


def status_of(address):
    return json.loads(get(address + "status")[2])


def wait_for_status(address, check, timeout=10):
    """The first status that `check` accepts."""
    deadline = time.monotonic() + timeout
    while True:
        status = status_of(address)
        if check(status) or time.monotonic() > deadline:
            return status
        time.sleep(0.1)


def counts_of(status):
    return status["session"]["streams"][0]["counts"] if status["session"] else None


def request_stream(port, config):
    """Sends a "stream" request as a native client does; the reply."""
    with socket.create_connection(("127.0.0.1", port), timeout=15) as connection:
        request = {"id": 1, "method": "stream", "params": [json.dumps(config), 7, 1]}
        connection.sendall(json.dumps(request).encode() + b"\n")
        return json.loads(connection.makefile().readline())


def test_the_status_follows_a_session_its_figures_and_why_the_next_did_not_start(start_host, clip):
    host = start_host()
    address = host.view_url
    assert status_of(address) == {"session": None, "lastSession": None, "lastError": None}

    session = flumina.flm()
    session.add(clip, inputshape=CLIP_SIZE)
    session.build()
    for frame in read_frames(session, CLIP_FRAMES)[:10]:
        session.show(frame, 0)
    status = wait_for_status(address, lambda s: s["session"]["streams"][0]["inputEnded"] and
                             counts_of(s)["shown"] == 10)
    running = status["session"]
    assert f"use type {running['useType']}," in host.wait_for("session started")
    stream = running["streams"][0]
    assert clip in stream["input"] and (stream["width"], stream["height"]) == CLIP_SIZE
    assert stream["outputs"] == [] and stream["inputEnded"]
    assert {name: stream["counts"][name] for name in ("delivered", "dropped", "shown", "pushed", "encoded")} == \
        {"delivered": CLIP_FRAMES, "dropped": 0, "shown": 10, "pushed": 0, "encoded": 0}

    reply = request_stream(host.port, [{"file_path": "/no/such/clip.mp4"}])
    assert reply["error"]
    status = status_of(address)
    assert status["session"] is None
    assert status["lastSession"] == {"id": running["id"], "ended": "replaced by a new session"}
    assert status["lastError"].startswith("session not started: stream 0: ")
    assert host.stop() == 0


def test_the_view_answers_only_for_itself_and_can_be_turned_off(start_host):
    host = start_host()
    address = host.view_url
    port = address.rsplit(":", 1)[1].rstrip("/")
    code, kind, page = get(address)
    assert (code, kind) == (200, "text/html; charset=utf-8") and b"<script>" in page
    assert get(address + "nothing")[0] == 404
    # A page from another site (DNS rebinding, a WebSocket from its script) gets nothing.
    assert get(address + "status", {"Host": f"attacker.example:{port}"})[0] == 421
    for origin, answer in (("http://attacker.example", b"403"), (f"http://127.0.0.1:{port}", b"101")):
        with socket.create_connection(("127.0.0.1", int(port)), timeout=5) as connection:
            connection.sendall(f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nConnection: Upgrade\r\n"
                               f"Upgrade: websocket\r\nSec-WebSocket-Version: 13\r\nOrigin: {origin}\r\n"
                               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n".encode())
            assert connection.recv(12).split()[1] == answer, origin
    assert host.stop() == 0

    quiet = start_host("--view", "off")
    time.sleep(0.2)
    assert "view:" not in quiet.log()
    assert quiet.stop() == 0


# Quadrants of the frame the client shows, top left, top right, bottom left, bottom right (RGB).
QUADRANTS = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255)]


def quadrant_pattern(size=CLIP_SIZE):
    width, height = size
    frame = np.empty((height, width, 3), dtype=np.uint8)
    for number, colour in enumerate(QUADRANTS):
        row, column = divmod(number, 2)
        frame[row * height // 2:(row + 1) * height // 2, column * width // 2:(column + 1) * width // 2] = colour
    return frame


def colour_at(shot, x, y):
    """The RGB colour of a screenshot (decoded by OpenCV, BGR) around CSS pixel (x, y)."""
    patch = shot[int(y) - 3:int(y) + 4, int(x) - 3:int(x) + 4].reshape(-1, 3).mean(axis=0)
    return tuple(int(value) for value in patch[::-1])


def assert_close(got, expected, what):
    assert max(abs(a - b) for a, b in zip(got, expected)) <= 40, f"{what}: {got}, not {expected}"


def in_tile(selector):
    """Script for the element of stream 0's tile that `selector` selects."""
    return f"document.querySelector('[data-stream=\"0\"] {selector}')"


PICTURE = in_tile("img")


def picture_shot(browser, path):
    """A screenshot of the page saved at `path`, and the box of stream 0's picture in it."""
    shot = cv2.imdecode(np.frombuffer(browser.screenshot(path), np.uint8), cv2.IMREAD_COLOR)
    box = browser.evaluate(f"(() => {{ const r = {PICTURE}.getBoundingClientRect(); "
                           "return [r.left, r.top, r.width, r.height]; })()")
    return shot, box


def settled_counts(address, shows):
    """The counts once the host has taken all `shows` frames shown and its counts stay put."""
    deadline = time.monotonic() + 10
    previous = None
    while time.monotonic() < deadline:
        counts = counts_of(status_of(address))
        if counts == previous and counts["shown"] == shows:
            return counts
        previous = counts
        time.sleep(0.5)
    raise AssertionError(f"the host's counts did not settle at {shows} frames shown: {previous}")


@pytest.fixture
def browser():
    browser = HeadlessChromium()
    yield browser
    browser.close()


def test_a_browser_shows_what_the_client_shows_and_the_hosts_figures(start_host, browser, tmp_path):
    yellow = make_clip(tmp_path / "yellow.mp4", frames=50, source="color=c=yellow")
    host = start_host("--loop")
    address = host.view_url
    session = flumina.flm()
    session.add(yellow, inputshape=CLIP_SIZE)
    session.build()

    # The client reads every frame and shows the pattern instead, as an overlay program would.
    pattern = quadrant_pattern()
    shows = 0
    stop = threading.Event()

    def client():
        nonlocal shows
        while not stop.is_set():
            if session.read(0) is None:
                time.sleep(0.002)
                continue
            session.show(pattern, 0)
            shows += 1

    thread = threading.Thread(target=client)
    thread.start()
    try:
        wait_for_status(address, lambda s: counts_of(s)["shown"] > 0)
        browser.open(address)
        loaded = f"{PICTURE} && !{PICTURE}.hidden && {PICTURE}.complete && {PICTURE}.naturalWidth > 0"
        browser.wait_for(f"{loaded} && {in_tile('input[value=shown]')}.checked")
        shot, (left, top, width, height) = picture_shot(browser, os.path.abspath("view-shown.png"))
        for number, expected in enumerate(QUADRANTS):
            row, column = divmod(number, 2)
            assert_close(colour_at(shot, left + (2 * column + 1) * width / 4, top + (2 * row + 1) * height / 4),
                         expected, f"shown quadrant {number}")

        # Switched to the decoded input, the tile shows the clip.
        shown_picture = browser.evaluate(f"{PICTURE}.src")
        browser.evaluate(in_tile("input[value=input]") + ".click()")
        browser.wait_for(f"{loaded} && {PICTURE}.src !== {json.dumps(shown_picture)}")
        shot, (left, top, width, height) = picture_shot(browser, os.path.abspath("view-input.png"))
        assert_close(colour_at(shot, left + width / 2, top + height / 2), (255, 255, 0), "input")
    finally:
        stop.set()
        thread.join()

    # Once the client stops, the page comes to show the host's counts.
    counts = settled_counts(address, shows)
    figures = ("delivered", "dropped", "shown", "pushed", "encoded")
    on_page = "JSON.stringify([" + ", ".join(
        f"Number({in_tile(f'[data-count={name}]')}.textContent)"
        for name in figures) + "])"
    expected = json.dumps([counts[name] for name in figures], separators=(",", ":"))
    browser.wait_for(f"{on_page} === {json.dumps(expected)}", timeout=5)
    assert host.stop() == 0
