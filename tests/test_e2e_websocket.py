"""WebSockets through morrowfen.server.Application on uvicorn, hypercorn and
granian (ASGI and RSGI), serving tests/ws_app.py, with the `websockets`
package as the client.

Granian's RSGI protocol cannot choose a subprotocol (accept() takes none) and
closes without a status (protocol.close(code) sends the client no code or
reason), so there the client sees no subprotocol and 1005; its transport
tells a client's close without the client's code (1005 too). Hypercorn reports
a client's close while the connection is open as 1006."""

import asyncio
import os
import time

import httpx
import pytest
from websockets.asyncio.client import connect
from websockets.exceptions import ConnectionClosed, InvalidStatus

from servers import SERVERS, print_log_if_failed, running_server

pytestmark = pytest.mark.timeout(60)

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER_ERROR_LINES = ("Exception in ASGI application", "Error in ASGI Framework", "Application callable raised")
# what the client sees of a close from the application, per server
RSGI_CLOSE = (1005, "")


@pytest.fixture(scope="module", params=list(SERVERS))
def server_process(request):
    env = {"PYTHONPATH": os.pathsep.join(filter(None, [HERE, os.environ.get("PYTHONPATH")]))}
    return running_server(request, request.param, app="ws_app:app", env=env, ready_paths=("/seen",))


@pytest.fixture
def server(request, server_process):
    failures = request.session.testsfailed
    yield server_process
    print_log_if_failed(request, server_process, failures)


def ws_url(server, path):
    return server.url.replace("http://", "ws://") + path


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, 30))


def seen(server):
    return httpx.get(server.url + "/seen", timeout=10).json()


def wait_for_log(server, text, timeout=10.0):
    deadline = time.monotonic() + timeout
    while text not in server.log() and time.monotonic() < deadline:
        time.sleep(0.05)
    return server.log()


def test_echo_of_text_binary_large_and_many_messages_in_order(server):
    async def exchange():
        async with connect(ws_url(server, "/echo"), max_size=None) as ws:
            echoed = []
            for message in ("hello", "caf\u00e9 \u2603", b"\x00\x01\xff", "x" * (1 << 20), bytes(range(256)) * 4096):
                await ws.send(message)
                echoed.append(await ws.recv() == message)
            for i in range(500):
                await ws.send(f"message {i}")
            return echoed, [await ws.recv() for _ in range(500)]

    echoed, ordered = run(exchange())
    assert echoed == [True] * 5
    assert ordered == [f"message {i}" for i in range(500)]


def test_handshake_refused_with_403(server):
    async def refused(path):
        with pytest.raises(InvalidStatus) as caught:
            async with connect(ws_url(server, path)):
                pass
        return caught.value.response.status_code

    assert run(refused("/never-accepted")) == 403  # the handler returned without accepting
    assert run(refused("/fail-early")) == 403  # the handler raised before accepting
    log = wait_for_log(server, "RuntimeError: handshake-failure-detail")
    assert log.count("RuntimeError: handshake-failure-detail") == 1
    assert "the handshake was refused (403)" in log and "Traceback" in log
    assert not any(line in log for line in SERVER_ERROR_LINES)


def test_subprotocol_and_what_the_handler_reads(server):
    async def exchange():
        async with connect(ws_url(server, "/echo"), subprotocols=["chat.v1", "chat.v2"]) as ws:
            chosen = ws.subprotocol
        headers = {"x-token": "t-1", "cookie": "session=abc%20123; theme=dark"}
        async with connect(ws_url(server, "/read?a=1&b=%20&a=2"), additional_headers=headers) as ws:
            return chosen, await ws.recv()

    chosen, read = run(exchange())
    assert chosen == (None if server.name == "granian-rsgi" else "chat.v2")
    assert read == repr(
        {
            "query": {"a": ["1", "2"], "b": [" "]},
            "header": b"t-1",
            "cookies": {"session": "abc 123", "theme": "dark"},
            "subprotocols": [],
        }
    )


def test_close_code_and_reason_and_1011_after_an_error(server):
    async def closed_with(path):
        async with connect(ws_url(server, path)) as ws:
            if path == "/fail":
                await ws.send("go")
            with pytest.raises(ConnectionClosed) as caught:
                await ws.recv()
        frame = caught.value.rcvd
        return (frame.code, frame.reason) if frame else None

    rsgi = server.name == "granian-rsgi"
    assert run(closed_with("/close")) == (RSGI_CLOSE if rsgi else (4001, "bye now"))
    assert run(closed_with("/fail")) == (RSGI_CLOSE if rsgi else (1011, ""))
    log = wait_for_log(server, "RuntimeError: websocket-failure-detail")
    assert log.count("RuntimeError: websocket-failure-detail") == 1  # logged once, with its traceback
    assert "the connection was closed with 1011" in log
    assert not any(line in log for line in SERVER_ERROR_LINES)


def test_fan_out_from_another_task_while_the_handlers_wait(server):
    async def exchange():
        url = ws_url(server, f"/room?id=room-{server.name}")
        async with connect(url) as a, connect(url) as b, connect(url) as c:
            await asyncio.sleep(0.3)  # all three handlers are in receive()
            await a.send("broadcast")
            return [await ws.recv() for ws in (a, b, c)]

    assert run(exchange()) == ["to all"] * 3


def test_finally_runs_within_2_s_of_the_client_closing(server):
    key = f"wait-{server.name}"

    async def leave():
        async with connect(ws_url(server, f"/wait?id={key}")):
            await asyncio.sleep(0.2)
        return time.monotonic()

    left = run(leave())
    deadline = time.monotonic() + 5
    while key not in (state := seen(server))["finally_at"] and time.monotonic() < deadline:
        time.sleep(0.05)
    assert key in state["finally_at"], "the handler's finally did not run"
    assert state["finally_at"][key] - left < 2.0
    expected = {"granian-rsgi": 1005, "hypercorn": 1006}.get(server.name, 1000)
    assert state["disconnects"][key] == expected
    assert state["sends_after"][key] == "WebSocketDisconnect"
