"""Nothing leaks: every operation, on its success and on its failure paths,
run many times leaves the interpreter's allocated blocks where they were."""

import asyncio
import gc
import sys

import pytest
from granian._granian import RSGIProtocolClosed

from fakes import NullProtocol, RSGIScope, WSASGIServer, WSMessage, WSRSGIProtocol, http_scope, send_nothing
from morrowfen import penmoth as pm
from morrowfen._server import instantiate_asgi_request
from morrowfen.contents import Content, ServerSentEvent, StreamedContent, TextContent, TextServerSentEvent
from morrowfen.cookies import Cookie
from morrowfen.messages import Response
from morrowfen.websocket import serve_asgi, serve_rsgi


async def parts():
    yield b"a"
    yield b"b"


async def failing_parts():
    yield b"a"
    raise KeyError("gone")


async def broken_send(message):
    if message.get("body") == b"b":
        raise ConnectionResetError


RSGI_HEADERS = [("host", "h"), ("x-custom", "caf\xe9")]
ASGI_SCOPE = http_scope("/caf\xe9", b"a=1", headers=[(b"host", b"h"), (b"x", b"y")])


async def ws_echo(ws):
    await ws.accept()
    async for message in ws:
        await ws.send(message)


WS_ASGI = [{"type": "websocket.connect"}, {"type": "websocket.receive", "text": "a"}]
WS_ASGI += [{"type": "websocket.receive", "bytes": b"b"}, {"type": "websocket.disconnect", "code": 1000}]
WS_RSGI = [WSMessage(2, "a"), WSMessage(1, b"b"), WSMessage(0)]


def drive(coro):
    try:
        coro.send(None)
    except StopIteration:
        pass


def swallow(fn, *args):
    try:
        fn(*args)
    except Exception:
        pass


async def consume(agen):
    async for _ in agen:
        pass


SCENARIOS = {
    "content headers": lambda: pm.set_headers_for_response_content(Response(200, None, TextContent("x"))),
    "content headers, refused": lambda: swallow(pm.set_headers_for_response_content, None),
    "cookie": lambda: pm.write_response_cookie(Cookie("a", "b c", path="/", max_age=5)),
    "cookie, refused": lambda: swallow(pm.write_response_cookie, Cookie("a;b", "c")),
    "sse": lambda: pm.write_sse(TextServerSentEvent("a\nb", id="1", event="e", comment="c", retry=3)),
    "sse, refused": lambda: swallow(pm.write_sse, ServerSentEvent(None, id="\ud800")),
    "slices": lambda: list(pm.get_chunks(bytes(70000))),
    "slices, refused": lambda: swallow(lambda: list(pm.get_chunks(None))),
    "framing": lambda: asyncio.run(consume(pm.write_chunks(StreamedContent(b"x", parts)))),
    "framing, failing parts": lambda: swallow(
        asyncio.run, consume(pm.write_chunks(StreamedContent(b"x", failing_parts)))
    ),
    "asgi buffered": lambda: drive(pm.send_asgi_response(Response(200, None, TextContent("x")), send_nothing)),
    "asgi sliced": lambda: drive(
        pm.send_asgi_response(Response(200, None, Content(b"a", bytes(130000))), send_nothing)
    ),
    "asgi streamed, broken send": lambda: swallow(
        asyncio.run, pm.send_asgi_response(Response(200, None, StreamedContent(b"x", parts)), broken_send)
    ),
    "asgi, refused": lambda: swallow(drive, pm.send_asgi_response(None, send_nothing)),
    "rsgi headers": lambda: pm.extract_rsgi_headers(RSGI_HEADERS),
    "rsgi headers, refused": lambda: swallow(pm.extract_rsgi_headers, [("x", "\u20ac")]),
    "rsgi request": lambda: pm.instantiate_rsgi_request(RSGIScope("/p", "a=1", RSGI_HEADERS), None),
    "asgi request": lambda: instantiate_asgi_request(ASGI_SCOPE, send_nothing),
    "asgi request, headers converted": lambda: instantiate_asgi_request(
        {**ASGI_SCOPE, "headers": [[b"a", "b"], (bytearray(b"c"), b"d")]}, send_nothing
    ),
    "asgi request, refused": lambda: swallow(
        instantiate_asgi_request, {**ASGI_SCOPE, "headers": [(b"a", 1)]}, send_nothing
    ),
    "rsgi buffered": lambda: pm.send_rsgi_response_sync(
        Response(200, [(b"a", b"b")], TextContent("x")), NullProtocol()
    ),
    "rsgi streamed": lambda: asyncio.run(
        pm.send_rsgi_response(Response(200, None, StreamedContent(b"x", parts)), NullProtocol())
    ),
    "rsgi streamed, failing": lambda: swallow(
        asyncio.run, pm.send_rsgi_response(Response(200, None, StreamedContent(b"x", failing_parts)), NullProtocol())
    ),
    "websocket asgi echo": lambda: drive(
        serve_asgi(ws_echo, ASGI_SCOPE, (w := WSASGIServer(*WS_ASGI[1:])).receive, w.send)
    ),
    "websocket asgi, refused": lambda: drive(
        serve_asgi(None, ASGI_SCOPE, (w := WSASGIServer(*WS_ASGI[1:])).receive, w.send)
    ),
    "websocket asgi, send failing": lambda: drive(
        serve_asgi(ws_echo, ASGI_SCOPE, (w := WSASGIServer(*WS_ASGI[1:], fail=OSError())).receive, w.send)
    ),
    "websocket rsgi echo": lambda: drive(
        serve_rsgi(ws_echo, RSGIScope("/p", "a=1", RSGI_HEADERS), WSRSGIProtocol(*WS_RSGI))
    ),
    "websocket rsgi, send failing": lambda: drive(
        serve_rsgi(ws_echo, RSGIScope("/p", "a=1", RSGI_HEADERS), WSRSGIProtocol(*WS_RSGI, fail=RSGIProtocolClosed()))
    ),
}
ASYNC = {"framing", "framing, failing parts", "asgi streamed, broken send", "rsgi streamed", "rsgi streamed, failing"}


@pytest.mark.parametrize("name", SCENARIOS)
def test_no_growth(name):
    scenario = SCENARIOS[name]
    rounds = 200 if name in ASYNC else 3000  # an event loop per round is slow

    def run(n):
        for _ in range(n):
            scenario()
        gc.collect()

    for _ in range(8 if name in ASYNC else 2):
        run(rounds)  # caches of the interpreter and of asyncio fill up first, as they do for async def
    before = sys.getallocatedblocks()
    run(rounds)
    run(rounds)
    growth = sys.getallocatedblocks() - before
    # a leak of anything per run would add at least one block per run
    assert growth < rounds // 2, f"{growth} blocks more after {2 * rounds} runs"
