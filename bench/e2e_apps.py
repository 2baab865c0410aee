"""The applications bench/e2e.py serves: the same three routes written as
bare ASGI and RSGI callables (on RSGI also one that reads the request from
the server as a framework must), through morrowfen.penmoth, through the
plain-Python port, with Starlette, and through morrowfen.server.Application
when that module is there.

    /        5 bytes of text/plain
    /json    a small JSON object, serialised per request
    /stream  10 parts from one async generator, streamed
    /gib     1 GiB in 64 KiB parts from one async generator, as fast as it
             can make them (bench/e2e_memory.py; not for wrk)
"""

import json
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import pyport as pp  # noqa: E402
from morrowfen import penmoth as pm  # noqa: E402
from morrowfen.contents import JSONContent, StreamedContent, TextContent  # noqa: E402
from morrowfen.messages import Response  # noqa: E402

try:
    from morrowfen._server import instantiate_asgi_request
except ImportError:  # an older tree, measured for comparison: no penmoth_request app
    instantiate_asgi_request = None

TEXT = "hello"
DATA = {"message": "Hello, World!", "id": 42}
PARTS = [b"part %d of the stream\n" % i for i in range(10)]
TEXT_TYPE = "text/plain; charset=utf-8"
JSON_TYPE = "application/json"


async def ten_parts():
    for part in PARTS:
        yield part


GIB_PART = b"x" * 65536


async def gib_parts():
    for _ in range(16384):
        yield GIB_PART


# --- bare callables: they write the response themselves -------------------------------


async def lifespan(receive, send):
    while True:
        message = await receive()
        if message["type"] == "lifespan.startup":
            await send({"type": "lifespan.startup.complete"})
        elif message["type"] == "lifespan.shutdown":
            await send({"type": "lifespan.shutdown.complete"})
            return


TEXT_START = {
    "type": "http.response.start",
    "status": 200,
    "headers": [(b"content-type", TEXT_TYPE.encode()), (b"content-length", b"5")],
}
TEXT_BODY = {"type": "http.response.body", "body": TEXT.encode()}
STREAM_START = {
    "type": "http.response.start",
    "status": 200,
    "headers": [(b"content-type", b"text/plain"), (b"transfer-encoding", b"chunked")],
}
NOT_FOUND = {"type": "http.response.start", "status": 404, "headers": [(b"content-length", b"0")]}


async def raw_asgi(scope, receive, send):
    if scope["type"] == "lifespan":
        return await lifespan(receive, send)
    path = scope["path"]
    if path == "/":
        await send(TEXT_START)
        await send(TEXT_BODY)
    elif path == "/json":
        body = json.dumps(DATA).encode()
        await send(
            {
                "type": "http.response.start",
                "status": 200,
                "headers": [(b"content-type", JSON_TYPE.encode()), (b"content-length", b"%d" % len(body))],
            }
        )
        await send({"type": "http.response.body", "body": body})
    elif path == "/stream" or path == "/gib":
        await send(STREAM_START)
        async for part in ten_parts() if path == "/stream" else gib_parts():
            await send({"type": "http.response.body", "body": part, "more_body": True})
        await send({"type": "http.response.body", "body": b""})
    else:
        await send(NOT_FOUND)
        await send({"type": "http.response.body", "body": b""})


TEXT_HEADERS = [("content-type", TEXT_TYPE)]
JSON_HEADERS = [("content-type", JSON_TYPE)]
STREAM_HEADERS = [("content-type", "text/plain")]


async def raw_rsgi(scope, protocol):
    path = scope.path
    if path == "/":
        protocol.response_str(200, TEXT_HEADERS, TEXT)
    elif path == "/json":
        protocol.response_str(200, JSON_HEADERS, json.dumps(DATA))
    elif path == "/stream" or path == "/gib":
        transport = protocol.response_stream(200, STREAM_HEADERS)
        async for part in ten_parts() if path == "/stream" else gib_parts():
            await transport.send_bytes(part)
    else:
        protocol.response_empty(404, [])


async def raw_read_rsgi(scope, protocol):
    # The bare app that also asks the server for what any framework reads to
    # build a request (its headers, method, path, query): the floor of
    # request intake on RSGI, whatever does the intake.
    request = (scope.headers.items(), scope.method, scope.path, scope.query_string)
    path = request[2]
    if path == "/":
        protocol.response_str(200, TEXT_HEADERS, TEXT)
    elif path == "/json":
        protocol.response_str(200, JSON_HEADERS, json.dumps(DATA))
    elif path == "/stream":
        transport = protocol.response_stream(200, STREAM_HEADERS)
        async for part in ten_parts():
            await transport.send_bytes(part)
    else:
        protocol.response_empty(404, [])


# --- through the framework's objects --------------------------------------------------


def make_response(path):
    if path == "/" or path == b"/":
        return Response(200, None, TextContent(TEXT))
    if path == "/json" or path == b"/json":
        return Response(200, None, JSONContent(DATA))
    if path == "/stream" or path == b"/stream":
        return Response(200, None, StreamedContent(b"text/plain", ten_parts))
    if path == "/gib" or path == b"/gib":
        return Response(200, None, StreamedContent(b"text/plain", gib_parts))
    return Response(404)


def asgi_app(module):
    send_response = module.send_asgi_response

    async def app(scope, receive, send):
        if scope["type"] == "lifespan":
            return await lifespan(receive, send)
        await send_response(make_response(scope["path"]), send)

    return app


def rsgi_app(module):
    instantiate, send_response = module.instantiate_rsgi_request, module.send_rsgi_response

    async def app(scope, protocol):
        request = instantiate(scope, protocol)
        await send_response(make_response(request.url.path), protocol)

    return app


async def penmoth_request_asgi(scope, receive, send):
    # The ASGI app through penmoth that also builds the Request, as
    # morrowfen.server.Application does (penmoth itself has no ASGI intake).
    if scope["type"] == "lifespan":
        return await lifespan(receive, send)
    request = instantiate_asgi_request(scope, receive)
    await pm.send_asgi_response(make_response(request.url.path), send)


penmoth_asgi, penmoth_rsgi = asgi_app(pm), rsgi_app(pm)
port_asgi, port_rsgi = asgi_app(pp), rsgi_app(pp)


# --- Starlette ------------------------------------------------------------------------


def make_starlette():
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse, PlainTextResponse, StreamingResponse
    from starlette.routing import Route

    async def text(request):
        return PlainTextResponse(TEXT)

    async def data(request):
        return JSONResponse(DATA)

    async def stream(request):
        return StreamingResponse(ten_parts(), media_type="text/plain")

    return Starlette(routes=[Route("/", text), Route("/json", data), Route("/stream", stream)])


def __getattr__(name):
    # Built on first use, so that this module imports without Starlette or
    # morrowfen.server.
    if name == "starlette_asgi":
        app = make_starlette()
    elif name in ("server_asgi", "server_rsgi"):
        from morrowfen.server import Application

        async def handler(request):
            return make_response(request.url.path)

        app = Application(handler)
    else:
        raise AttributeError(name)
    globals()[name] = app
    return app
