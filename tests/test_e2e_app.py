"""morrowfen.server.Application on real servers: uvicorn, hypercorn and
granian over ASGI, granian over RSGI, serving tests/e2e_app.py. Routes and
error answers, start-up before the first request and shutdown on SIGTERM,
and clients that drop streamed responses (idle ones included): every body
generator ends promptly, and hypercorn's memory stays flat."""

import json
import os
import socket
import struct
import tempfile
import time

import httpx
import pytest

import e2e_app
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


def test_hypercorn_memory_stays_flat_over_many_dropped_streams(server, client):
    if server.name != "hypercorn":
        pytest.skip("measured on hypercorn")
    paths = ["/events", "/slow"] * 50
    drop_streams(server.port, paths)  # warm up: the first batches grow the heap to its working size
    wait_until_all_ended(client, timeout=5.0)
    start = server.rss_kib()
    drop_streams(server.port, paths * 10)  # 1,000 streams
    counts = wait_until_all_ended(client, timeout=5.0)
    grown = server.rss_kib() - start
    assert all(begun == ended for begun, ended in counts.values()), counts
    assert grown < 20 * 1024, f"RSS grew by {grown} KiB"


# --- hostile clients -----------------------------------------------------------------------


def exchange(port, request, shut_write=False):
    """Sends `request` on a new connection and reads until the server closes it
    or stops answering; the status code, or None for no answer."""
    with socket.create_connection((HOST, port), timeout=5) as s:
        s.sendall(request)
        if shut_write:
            s.shutdown(socket.SHUT_WR)
        data = b""
        try:
            while b"\r\n\r\n" not in data:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
        except (TimeoutError, ConnectionResetError):
            pass
    return int(data.split(b" ", 2)[1]) if data.startswith(b"HTTP/1.1 ") else None


def test_a_raw_utf8_query_reaches_the_handler_as_sent(server, client):
    logged = len(server.log())
    for raw, text in ((b"q=\xe6\x97\xa5\xe6\x9c\xac", "\u65e5\u672c"), (b"q=caf\xc3\xa9", "caf\xe9")):
        request = b"GET /query?" + raw + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
        with socket.create_connection((HOST, server.port), timeout=5) as s:
            s.sendall(request)
            answer = b"".join(iter(lambda: s.recv(65536), b""))
        if server.name in ("uvicorn", "hypercorn"):
            assert answer.startswith(b"HTTP/1.1 400"), answer  # they refuse such a target themselves
            continue
        assert answer.startswith(b"HTTP/1.1 200"), answer
        body = json.loads(answer.partition(b"\r\n\r\n")[2])
        assert (body["query"], body["parsed"]) == (raw.decode(), {"q": [text]})
    assert not any(line in server.log()[logged:] for line in ("Traceback", "answered 500"))


def test_a_body_the_client_abandons_is_not_logged_as_the_handlers_failure(server):
    logged = len(server.log())
    head = b"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n"
    # the client stops sending, and may still read (400) or not (nothing)
    assert exchange(server.port, head + b"x" * 10, shut_write=True) in (400, None)
    with socket.create_connection((HOST, server.port), timeout=5) as s:
        s.sendall(head + b"x" * 10)
        time.sleep(0.1)
    time.sleep(0.5)
    log = server.log()[logged:]
    assert not any(line in log for line in ("Traceback", "the handler raised", *SERVER_ERROR_LINES)), log


def test_a_body_over_the_limit_is_refused_with_413(server, client):
    logged = len(server.log())
    calls = client.get("/calls").json()["echo"]
    declared = b"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % (e2e_app.MAX_BODY + 1)
    assert exchange(server.port, declared) == 413  # before the body is sent, or the handler runs
    assert client.get("/calls").json()["echo"] == calls
    chunk = b"400\r\n" + b"x" * 1024 + b"\r\n"
    chunked = b"POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" + chunk * 110 + b"0\r\n\r\n"
    assert exchange(server.port, chunked) == 413  # read past the limit
    within = client.post("/echo", content=b"y" * e2e_app.MAX_BODY)
    assert within.status_code == 200 and len(within.content) == e2e_app.MAX_BODY
    log = server.log()[logged:]
    assert not any(line in log for line in ("Traceback", "answered 500", *SERVER_ERROR_LINES)), log


# --- stopping ----------------------------------------------------------------------------


def test_a_stop_ends_the_open_streams_and_runs_the_hooks(server):
    """Last in this file: stops the server (SIGTERM) with idle event streams
    open; the streams end at once (hypercorn waits for its connections before
    anything else, so there it is the hooks only), their finally runs, the
    clients get a complete response, then the shutdown hooks run."""
    assert not os.path.exists(server.shutdown_marker)
    streams = [] if server.name == "hypercorn" else [open_stream(server.port, "/events") for _ in range(3)]
    for s in streams:
        wait_for_body(s)
    began = time.monotonic()
    server.terminate()
    stopped = time.monotonic() - began
    deadline = time.monotonic() + 5
    while not os.path.exists(server.shutdown_marker) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert os.path.exists(server.shutdown_marker), server.log()
    with open(server.shutdown_marker) as f:
        ran, counts = f.read().splitlines()
    assert ran == "shutdown hooks ran"
    if streams:
        # the servers' limit is 1 s here: the streams do not wait for it
        assert stopped < 2.0, (stopped, server.log())
        begun, ended = json.loads(counts)["idle"]
        assert begun == ended >= 3, counts
        for s in streams:
            with s:
                s.settimeout(2)
                rest = b"".join(iter(lambda: s.recv(65536), b""))
            assert rest.endswith(b"0\r\n\r\n"), rest  # the chunked body's end
