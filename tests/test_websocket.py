"""morrowfen.websocket against stand-in servers: the ASGI messages and RSGI
calls a handler's WebSocket makes, how a connection ends (refusal, 1000,
1011, a client that left), the errors of servers that misbehave, and the
Request face of a WebSocket."""

import asyncio
import enum
import logging

import pytest
from granian._granian import RSGIProtocolClosed

from fakes import RSGIScope
from fakes import WSASGIServer as ASGIServer
from fakes import WSMessage as Message
from fakes import WSRSGIProtocol as RSGIProtocol
from morrowfen.messages import Request
from morrowfen.websocket import WebSocket, WebSocketDisconnect, serve_rsgi


def receive(text=None, data=None):
    return {"type": "websocket.receive", "text": text, "bytes": data}


class Code(enum.IntEnum):  # uvicorn's wsproto server gives its close codes as an enum
    GOING_AWAY = 1001


async def echo(ws):
    await ws.accept(subprotocol="p2")
    async for message in ws:
        await ws.send(message)


def test_echo_until_the_client_leaves_then_sends_raise():
    ended = []

    async def handler(ws):
        try:
            await echo(ws)
            with pytest.raises(WebSocketDisconnect) as caught:
                await ws.send("late")
            ended.append((caught.value.code, ws.state))
        finally:
            ended.append("finally")

    server = ASGIServer(receive("hi"), receive(None, b"\x00"), {"type": "websocket.disconnect", "code": Code(1001)})
    assert server.serve(handler) == [
        {"type": "websocket.accept", "subprotocol": "p2"},
        {"type": "websocket.send", "text": "hi"},
        {"type": "websocket.send", "bytes": b"\x00"},
    ]  # nothing more: the client has gone
    assert ended == [(1001, "gone"), "finally"] and type(ended[0][0]) is int


async def returns(ws):
    pass


async def raises_early(ws):
    raise RuntimeError("early-detail")


async def raises_late(ws):
    await ws.accept()
    raise RuntimeError("late-detail")


async def accepts_and_returns(ws):
    await ws.accept()


async def closes(ws):
    await ws.accept()
    await ws.close(4000, "done")
    await ws.close()  # a second close does nothing
    with pytest.raises(WebSocketDisconnect) as caught:
        await ws.send("after close")
    assert caught.value.code == 4000


async def leaves_a_disconnect(ws):
    await ws.accept()
    await ws.receive()  # the client's disconnect, not caught


REFUSAL = [
    {
        "type": "websocket.http.response.start",
        "status": 403,
        "headers": [(b"content-type", b"text/plain; charset=utf-8"), (b"content-length", b"9")],
    },
    {"type": "websocket.http.response.body", "body": b"Forbidden"},
]
ACCEPT = {"type": "websocket.accept", "subprotocol": None}


@pytest.mark.parametrize(
    "handler, sent, logged",
    [
        (None, REFUSAL, None),
        (returns, REFUSAL, None),
        (raises_early, REFUSAL, "early-detail"),
        (lambda ws: None, REFUSAL, "can't be used in 'await' expression"),
        (raises_late, [ACCEPT, {"type": "websocket.close", "code": 1011, "reason": ""}], "late-detail"),
        (accepts_and_returns, [ACCEPT, {"type": "websocket.close", "code": 1000, "reason": ""}], None),
        (closes, [ACCEPT, {"type": "websocket.close", "code": 4000, "reason": "done"}], None),
        (leaves_a_disconnect, [ACCEPT], None),
    ],
)
def test_how_a_connection_ends(caplog, handler, sent, logged):
    server = ASGIServer({"type": "websocket.disconnect", "code": 1000})
    with caplog.at_level(logging.DEBUG, "morrowfen.server"):
        assert server.serve(handler) == sent
    errors = [r for r in caplog.records if r.levelno >= logging.ERROR]
    if logged is None:
        assert not errors
    else:  # once, with the traceback
        assert len(errors) == 1 and errors[0].exc_info and logged in str(errors[0].exc_info[1])


def test_refusal_without_the_denial_extension_closes_before_accepting():
    assert ASGIServer(extensions={}).serve(returns) == [{"type": "websocket.close", "code": 1000, "reason": ""}]
    # and a client gone before the handshake is answered: the handler never runs
    server = ASGIServer()
    server.queue.get_nowait()
    server.queue.put_nowait({"type": "websocket.disconnect", "code": 1006})
    assert server.serve(raises_early) == []


def test_fan_out_from_another_task_while_the_handler_receives():
    async def handler(ws):
        await ws.accept()
        waiting = asyncio.ensure_future(ws.receive())
        await asyncio.sleep(0)
        await asyncio.gather(*(asyncio.ensure_future(ws.send(f"to all {i}")) for i in range(3)))
        server.queue.put_nowait(receive("reply"))
        assert await waiting == "reply"

    server = ASGIServer()
    assert [m.get("text") for m in server.serve(handler)[1:4]] == ["to all 0", "to all 1", "to all 2"]


@pytest.mark.parametrize(
    "message, error",
    [
        (42, TypeError),
        ({"text": "no type"}, RuntimeError),
        ({"type": "websocket.connect"}, RuntimeError),
        (receive(), RuntimeError),
        (receive(b"not text"), TypeError),
    ],
)
def test_odd_server_messages_raise_in_receive(message, error):
    caught = []

    async def handler(ws):
        await ws.accept()
        try:
            await ws.receive()
        except Exception as e:
            caught.append(e)

    ASGIServer(message).serve(handler)
    assert type(caught[0]) is error


def test_a_send_that_fails():
    outcomes = []

    async def handler(ws):
        await ws.accept()
        try:
            await ws.send("x")
        except Exception as e:
            outcomes.append((type(e), type(e.__cause__), ws.state))
        await ws.close()  # the client has gone: nothing to do, no error

    ASGIServer(fail=ConnectionResetError("gone")).serve(handler)
    ASGIServer(fail=ValueError("odd")).serve(handler)
    assert outcomes == [(WebSocketDisconnect, ConnectionResetError, "gone"), (ValueError, type(None), "open")]


def test_misuse_is_refused():
    async def handler(ws):
        with pytest.raises(RuntimeError, match="accept"):
            await ws.receive()
        with pytest.raises(ValueError, match="did not offer"):
            ws.accept("p3")
        with pytest.raises(TypeError):
            ws.send(42)
        with pytest.raises(ValueError):
            ws.close(999)
        with pytest.raises(ValueError):
            ws.close(1000, "x" * 124)
        await ws.accept("p1")
        with pytest.raises(RuntimeError, match="already"):
            await ws.accept()

    ASGIServer().serve(handler)
    with pytest.raises(RuntimeError, match="not connected"):
        asyncio.run(WebSocket("GET", b"/", None).send(b"x"))


def test_reads_the_handshake_as_a_request_reads_a_request():
    seen = []

    async def handler(ws):
        seen.append((isinstance(ws, Request), ws.method, ws.url.path, ws.url.query, ws.query, ws.cookies))
        seen.append((ws.get_headers(b"X-A"), ws.subprotocols, ws.content, ws.state))

    ASGIServer().serve(handler)
    rsgi = RSGIProtocol()
    asyncio.run(serve_rsgi(handler, chat_scope(), rsgi))
    assert (
        seen[0] == seen[2] == (True, "GET", "/chat/café".encode(), b"a=1&b=%20", {"a": ["1"], "b": [" "]}, {"id": "7"})
    )
    assert seen[1] == seen[3] == ([b"1"], ["p1", "p2"], None, "connecting")


# --- RSGI ----------------------------------------------------------------------------------


def chat_scope():
    headers = {"cookie": "id=7", "sec-websocket-protocol": "p1, p2", "x-a": "1"}
    return RSGIScope("/chat/caf\u00e9", "a=1&b=%20", headers, proto="ws")


async def sends_into_a_closed_transport(ws):
    await ws.accept()
    with pytest.raises(WebSocketDisconnect) as caught:
        await ws.send("x")
    assert (caught.value.code, type(caught.value.__cause__), ws.state) == (1006, RSGIProtocolClosed, "gone")


@pytest.mark.parametrize(
    "handler, protocol, calls",
    [
        (echo, RSGIProtocol(Message(2, "hi"), Message(1, b"\x01"), Message(0)), ["accept", "hi", b"\x01"]),
        (returns, RSGIProtocol(), [("close", 403)]),
        (raises_late, RSGIProtocol(), ["accept", ("close", 1011)]),
        (accepts_and_returns, RSGIProtocol(), ["accept", ("close", 1000)]),
        (leaves_a_disconnect, RSGIProtocol(), ["accept"]),  # the transport closed under a receive: the client left
        (sends_into_a_closed_transport, RSGIProtocol(fail=RSGIProtocolClosed("closed")), ["accept"]),
    ],
)
def test_rsgi_messages_and_endings(handler, protocol, calls):
    asyncio.run(asyncio.wait_for(serve_rsgi(handler, chat_scope(), protocol), 5))
    assert protocol.calls == calls
