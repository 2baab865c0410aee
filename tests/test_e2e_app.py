"""morrowfen.server.Application on real servers: uvicorn, hypercorn and
granian over ASGI, granian over RSGI, serving tests/e2e_app.py. Routes and
error answers, start-up before the first request and shutdown on SIGTERM,
and clients that drop streamed responses (idle ones included): every body
generator ends promptly, and hypercorn's memory stays flat."""

import os
import socket
import struct
import tempfile
import time

import httpx
import pytest

from servers import HOST, SERVERS, running_server

pytestmark = pytest.mark.timeout(60)

HERE = os.path.dirname(os.path.abspath(__file__))
# what each server writes when an application raises (none of it may appear:
# the application logs its errors itself, once)
SERVER_ERROR_LINES = (
    "Exception in ASGI application",
    "Error in ASGI Framework",
    "Application callable raised an exception",
)
# what asyncio writes about tasks and coroutines left behind
LEFT_BEHIND_LINES = (
    "Task was destroyed",
    "Task exception was never retrieved",
    "was never awaited",
    "Exception ignored",
)


@pytest.fixture(scope="module", params=list(SERVERS))
def server_process(request):
    marker = tempfile.NamedTemporaryFile(prefix="morrowfen-shutdown-", delete=False)
    marker.close()
    os.unlink(marker.name)
    env = {
        "PYTHONPATH": os.pathsep.join(filter(None, [HERE, os.environ.get("PYTHONPATH")])),
        "MORROWFEN_E2E_SHUTDOWN_FILE": marker.name,
    }
    server = running_server(request, request.param, "e2e_app:app", env=env, ready_paths=["/text"])
    server.shutdown_marker = marker.name
    request.addfinalizer(lambda: os.path.exists(marker.name) and os.unlink(marker.name))
    return server


def wait_for_log(server, text, timeout=10.0):
    deadline = time.monotonic() + timeout
    while text not in server.log() and time.monotonic() < deadline:
        time.sleep(0.05)
    return server.log()


# --- routes and errors ---------------------------------------------------------------


def test_routes(client):
    r = client.get("/text")
    assert (r.status_code, r.headers["content-type"], r.text) == (200, "text/plain; charset=utf-8", "plain text")
    r = client.get("/json")
    assert (r.status_code, r.headers["content-type"]) == (200, "application/json")
    assert r.json() == {"ok": True, "items": [1, 2, 3]}
    body = bytes(range(256)) * 300
    r = client.post("/echo", content=body)
    assert (r.status_code, r.content, r.headers["x-length"]) == (200, body, str(len(body)))


def test_one_request_gives_the_same_url_on_every_server(client):
    r = client.get("/query/a%20b/caf%C3%A9?x=%20&y=1&y=2")
    assert r.json() == {"path": "/query/a b/café", "query": "x=%20&y=1&y=2", "parsed": {"x": [" "], "y": ["1", "2"]}}


def test_http_exception_and_error_answers(server, client):
    r = client.get("/missing")
    assert (r.status_code, r.headers["content-type"], r.text) == (
        404,
        "text/plain; charset=utf-8",
        "no such thing here",
    )
    r = client.get("/boom")
    assert (r.status_code, r.text) == (500, "Internal Server Error")
    assert "secret" not in r.text
    log = wait_for_log(server, "RuntimeError: secret-boom-detail")
    assert log.count("RuntimeError: secret-boom-detail") == 1  # logged once, with its traceback
    assert "the handler raised" in log and "Traceback" in log
    assert not any(line in log for line in SERVER_ERROR_LINES)


def test_an_error_after_the_start_ends_the_response(server, client):
    with client.stream("GET", "/failing") as r:
        assert r.status_code == 200
        received = b""
        try:
            for chunk in r.iter_bytes():
                received += chunk
            completed = True
        except httpx.RemoteProtocolError:  # the server closed the connection mid-body
            completed = False
    assert received == b"first part;"
    # ASGI servers close the connection; granian's RSGI transport ends the body
    # cleanly however the application ends, so there the cut is invisible
    assert completed is (server.name == "granian-rsgi")
    log = wait_for_log(server, "RuntimeError: stream-failure-detail")
    assert log.count("RuntimeError: stream-failure-detail") == 1
    assert "after it had started" in log
    assert not any(line in log for line in SERVER_ERROR_LINES)
    assert client.get("/text").text == "plain text"


def test_startup_hooks_ran_before_the_first_request(client):
    state = client.get("/startup").json()
    assert state == {"started": True, "first_request_saw_startup": True}


# --- clients that drop their streams --------------------------------------------------------


def open_stream(port, path):
    s = socket.create_connection((HOST, port), timeout=10)
    s.sendall(f"GET {path} HTTP/1.1\r\nHost: {HOST}:{port}\r\n\r\n".encode())
    return s


def wait_for_body(s):
    """Reads until the head and some of the body have arrived: the generator is running."""
    data = b""
    while True:
        chunk = s.recv(65536)
        assert chunk, "the server closed the connection before the body began"
        data += chunk
        head, sep, body = data.partition(b"\r\n\r\n")
        if sep and body:
            assert head.startswith(b"HTTP/1.1 200")
            return


def drop_streams(port, paths, batch=100):
    """Opens the streams `batch` at a time, waits until each has begun, then
    drops them all: every other one with a TCP reset (SO_LINGER 0)."""
    for first in range(0, len(paths), batch):
        sockets = [open_stream(port, p) for p in paths[first : first + batch]]
        try:
            for s in sockets:
                wait_for_body(s)
        finally:
            for i, s in enumerate(sockets):
                if i % 2 == 0:
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                s.close()


def stream_counts(client):
    return client.get("/stats").json()


def wait_until_all_ended(client, timeout):
    deadline = time.monotonic() + timeout
    while True:
        counts = stream_counts(client)
        if all(begun == ended for begun, ended in counts.values()) or time.monotonic() > deadline:
            return counts
        time.sleep(0.05)


def test_dropped_streams_end_their_generators(server, client):
    before = stream_counts(client)
    drop_streams(server.port, ["/slow"] * 50 + ["/events"] * 20)
    dropped = time.monotonic()
    counts = wait_until_all_ended(client, timeout=2.0)
    waited = time.monotonic() - dropped
    assert counts["slow"][0] - before["slow"][0] == 50 and counts["idle"][0] - before["idle"][0] == 20
    assert {k: v[0] - v[1] for k, v in counts.items()} == {"slow": 0, "idle": 0, "failing": 0}, waited
    # the server goes on serving
    assert client.get("/text").text == "plain text"
    assert client.post("/echo", content=b"still here").content == b"still here"
    assert server.alive(), server.log()
    assert not any(line in server.log() for line in SERVER_ERROR_LINES + LEFT_BEHIND_LINES)


def rss_kib(pid_group):
    """The resident memory of every process in the server's process group."""
    total = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.getpgid(int(entry)) != pid_group:
                continue
            with open(f"/proc/{entry}/status") as f:
                total += next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        except (OSError, StopIteration):
            continue
    return total


def test_hypercorn_memory_stays_flat_over_many_dropped_streams(server, client):
    if server.name != "hypercorn":
        pytest.skip("measured on hypercorn")
    paths = ["/events", "/slow"] * 50
    drop_streams(server.port, paths)  # warm up: the first batches grow the heap to its working size
    wait_until_all_ended(client, timeout=5.0)
    start = rss_kib(server.process.pid)
    drop_streams(server.port, paths * 10)  # 1,000 streams
    counts = wait_until_all_ended(client, timeout=5.0)
    grown = rss_kib(server.process.pid) - start
    assert all(begun == ended for begun, ended in counts.values()), counts
    assert grown < 20 * 1024, f"RSS grew by {grown} KiB"


# --- stopping ----------------------------------------------------------------------------


def test_shutdown_hooks_run_when_the_server_stops(server):
    """Last in this file: stops the server (SIGTERM) and reads what the shutdown hook wrote."""
    assert not os.path.exists(server.shutdown_marker)
    server.terminate()
    deadline = time.monotonic() + 5
    while not os.path.exists(server.shutdown_marker) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert os.path.exists(server.shutdown_marker), server.log()
    with open(server.shutdown_marker) as f:
        assert f.read() == "shutdown hooks ran\n"
