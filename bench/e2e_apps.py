"""The applications bench/e2e.py, e2e_instructions.py and e2e_memory.py
serve, each the same routes answering the same bytes:

    GET  /        "hello", text/plain; charset=utf-8
    GET  /hdr     the request's accept-language header (the client sends 12
                  browser-like headers), text/plain; charset=utf-8
    GET  /stream  10 parts from one async generator, text/plain, streamed
    POST /echo    the request body (1 KiB), application/octet-stream
    GET  /gib     1 GiB in 64 KiB parts from one async generator, as fast as
                  it can make them (bench/e2e_memory.py; raw and penmoth only)

Apps (each server imports `<app>_<interface>`): `raw`, bare ASGI and RSGI
callables that write the answer themselves; `raw_read` (RSGI), the same
after reading the request from the scope (headers.items(), method, path,
query) as any framework must; `penmoth`, the request taken in and the
answer written through morrowfen's module functions; `port`, the same
through bench/pyport.py (RSGI); `server`, morrowfen.server.Application; and
the frameworks users pick instead, each written as its own documentation
shows: `emmett55` (RSGI), `starlette`, `fastapi`, `falcon`, `litestar` (ASGI).

With MORROWFEN_BENCH_GC_DIR set, each process that imports this module counts
the cyclic collections of its interpreter in a file of that folder (see
count_collections)."""

import gc
import mmap
import os
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import pyport as pp  # noqa: E402
from morrowfen import penmoth as pm  # noqa: E402
from morrowfen._server import instantiate_asgi_request  # noqa: E402
from morrowfen.contents import Content, StreamedContent, TextContent  # noqa: E402
from morrowfen.messages import Response  # noqa: E402

TEXT = "hello"
PARTS = [b"part %d of the stream\n" % i for i in range(10)]
TEXT_TYPE = "text/plain; charset=utf-8"
STREAM_TYPE = "text/plain"
OCTETS_TYPE = "application/octet-stream"
HEADER = "accept-language"  # the one /hdr echoes


def count_collections(folder):
    """Counts this interpreter's cyclic collections (every generation) in
    the 8 bytes of `folder`/gc.<pid>, mapped shared: the count can be read
    from outside at any moment, and counting costs no system call."""
    path = os.path.join(folder, f"gc.{os.getpid()}")
    with open(path, "wb+") as f:
        f.write(bytes(8))
        f.flush()
        counter = memoryview(mmap.mmap(f.fileno(), 8)).cast("Q")

    def collection(phase, info):
        if phase == "start":
            counter[0] += 1

    gc.callbacks.append(collection)


if os.environ.get("MORROWFEN_BENCH_GC_DIR"):
    count_collections(os.environ["MORROWFEN_BENCH_GC_DIR"])


async def ten_parts():
    for part in PARTS:
        yield part


GIB_PART = b"x" * 65536


async def gib_parts():
    for _ in range(16384):
        yield GIB_PART


# --- bare callables: they write the answer themselves -----------------------------------


async def lifespan(receive, send):
    while True:
        message = await receive()
        if message["type"] == "lifespan.startup":
            await send({"type": "lifespan.startup.complete"})
        elif message["type"] == "lifespan.shutdown":
            await send({"type": "lifespan.shutdown.complete"})
            return


def asgi_start(content_type, length=None):
    headers = [(b"content-type", content_type.encode())]
    headers.append((b"content-length", b"%d" % length) if length is not None else (b"transfer-encoding", b"chunked"))
    return {"type": "http.response.start", "status": 200, "headers": headers}


TEXT_START = asgi_start(TEXT_TYPE, len(TEXT))
TEXT_BODY = {"type": "http.response.body", "body": TEXT.encode()}
STREAM_START = asgi_start(STREAM_TYPE)
NOT_FOUND = {"type": "http.response.start", "status": 404, "headers": [(b"content-length", b"0")]}
ASGI_HEADER = HEADER.encode()


async def asgi_body(receive):
    body, more = b"", True
    while more:
        message = await receive()
        body += message.get("body", b"")
        more = message.get("more_body", False)
    return body


async def raw_asgi(scope, receive, send):
    if scope["type"] == "lifespan":
        return await lifespan(receive, send)
    path = scope["path"]
    if path == "/":
        await send(TEXT_START)
        await send(TEXT_BODY)
    elif path == "/hdr" or path == "/echo":
        if path == "/hdr":
            body = next(v for n, v in scope["headers"] if n == ASGI_HEADER)
        else:
            body = await asgi_body(receive)
        await send(asgi_start(TEXT_TYPE if path == "/hdr" else OCTETS_TYPE, len(body)))
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
STREAM_HEADERS = [("content-type", STREAM_TYPE)]
OCTETS_HEADERS = [("content-type", OCTETS_TYPE)]


async def raw_rsgi(scope, protocol):
    path = scope.path
    if path == "/":
        protocol.response_str(200, TEXT_HEADERS, TEXT)
    elif path == "/hdr":
        protocol.response_str(200, TEXT_HEADERS, scope.headers.get(HEADER))
    elif path == "/echo":
        protocol.response_bytes(200, OCTETS_HEADERS, await protocol())
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
    headers, path = scope.headers, scope.path
    headers.items(), scope.method, scope.query_string
    if path == "/":
        protocol.response_str(200, TEXT_HEADERS, TEXT)
    elif path == "/hdr":
        protocol.response_str(200, TEXT_HEADERS, headers.get(HEADER))
    elif path == "/echo":
        protocol.response_bytes(200, OCTETS_HEADERS, await protocol())
    elif path == "/stream":
        transport = protocol.response_stream(200, STREAM_HEADERS)
        async for part in ten_parts():
            await transport.send_bytes(part)
    else:
        protocol.response_empty(404, [])


# --- through morrowfen -------------------------------------------------------------------


async def respond(request):
    """The handler of the morrowfen apps: Application's, and the one the
    penmoth and port apps call after their intake."""
    path = request.url.path
    if path == b"/":
        return Response(200, None, TextContent(TEXT))
    if path == b"/hdr":
        return Response(200, None, TextContent(request.get_first_header(ASGI_HEADER).decode()))
    if path == b"/echo":
        return Response(200, None, Content(OCTETS_TYPE.encode(), await request.read()))
    if path == b"/stream":
        return Response(200, None, StreamedContent(STREAM_TYPE.encode(), ten_parts))
    if path == b"/gib":
        return Response(200, None, StreamedContent(STREAM_TYPE.encode(), gib_parts))
    return Response(404)


def rsgi_app(module):
    instantiate, send_response = module.instantiate_rsgi_request, module.send_rsgi_response

    async def app(scope, protocol):
        await send_response(await respond(instantiate(scope, protocol)), protocol)

    return app


async def penmoth_asgi(scope, receive, send):
    if scope["type"] == "lifespan":
        return await lifespan(receive, send)
    await pm.send_asgi_response(await respond(instantiate_asgi_request(scope, receive)), send)


penmoth_rsgi, port_rsgi = rsgi_app(pm), rsgi_app(pp)


# --- the frameworks users pick instead, as their documentation shows -------------------------


def make_server():
    from morrowfen.server import Application

    return Application(respond)


def make_emmett55():
    from emmett55 import App, request, response

    app = App(__name__)

    @app.route("/", methods="get")
    async def index():
        response.content_type = TEXT_TYPE
        return TEXT

    @app.route("/hdr", methods="get")
    async def hdr():
        response.content_type = TEXT_TYPE
        return request.headers.get(HEADER)

    @app.route("/stream", methods="get")
    async def stream():
        response.content_type = STREAM_TYPE
        return response.wrap_aiter(ten_parts())

    @app.route("/echo", methods="post", output="bytes")
    async def echo():
        response.content_type = OCTETS_TYPE
        return await request.body

    return app


def make_starlette():
    from starlette.applications import Starlette
    from starlette.responses import PlainTextResponse, Response, StreamingResponse
    from starlette.routing import Route

    async def index(request):
        return PlainTextResponse(TEXT)

    async def hdr(request):
        return PlainTextResponse(request.headers[HEADER])

    async def stream(request):
        return StreamingResponse(ten_parts(), media_type=STREAM_TYPE)

    async def echo(request):
        return Response(await request.body(), media_type=OCTETS_TYPE)

    return Starlette(
        routes=[
            Route("/", index),
            Route("/hdr", hdr),
            Route("/stream", stream),
            Route("/echo", echo, methods=["POST"]),
        ]
    )


def make_fastapi():
    from typing import Annotated

    from fastapi import FastAPI, Header, Request
    from fastapi.responses import PlainTextResponse, Response, StreamingResponse

    app = FastAPI()

    @app.get("/", response_class=PlainTextResponse)
    async def index():
        return TEXT

    @app.get("/hdr", response_class=PlainTextResponse)
    async def hdr(accept_language: Annotated[str, Header()]):
        return accept_language

    @app.get("/stream")
    async def stream():
        return StreamingResponse(ten_parts(), media_type=STREAM_TYPE)

    @app.post("/echo")
    async def echo(request: Request):
        return Response(await request.body(), media_type=OCTETS_TYPE)

    return app


def make_falcon():
    import falcon
    import falcon.asgi

    class Index:
        async def on_get(self, req, resp):
            resp.content_type = falcon.MEDIA_TEXT
            resp.text = TEXT

    class Hdr:
        async def on_get(self, req, resp):
            resp.content_type = falcon.MEDIA_TEXT
            resp.text = req.get_header(HEADER)

    class Stream:
        async def on_get(self, req, resp):
            resp.content_type = STREAM_TYPE
            resp.stream = ten_parts()

    class Echo:
        async def on_post(self, req, resp):
            resp.content_type = OCTETS_TYPE
            resp.data = await req.stream.read()

    app = falcon.asgi.App()
    app.add_route("/", Index())
    app.add_route("/hdr", Hdr())
    app.add_route("/stream", Stream())
    app.add_route("/echo", Echo())
    return app


def make_litestar():
    from typing import Annotated

    from litestar import Litestar, MediaType, Request, get, post
    from litestar.params import Parameter
    from litestar.response import Stream

    @get("/", media_type=MediaType.TEXT)
    async def index() -> str:
        return TEXT

    @get("/hdr", media_type=MediaType.TEXT)
    async def hdr(accept_language: Annotated[str, Parameter(header=HEADER)]) -> str:
        return accept_language

    @get("/stream")
    async def stream() -> Stream:
        return Stream(ten_parts(), media_type=STREAM_TYPE)

    @post("/echo", media_type=OCTETS_TYPE, status_code=200)
    async def echo(request: Request) -> bytes:
        return await request.body()

    return Litestar(route_handlers=[index, hdr, stream, echo])


# Built on first use, so that this module imports without any framework:
# name -> the function that makes it
MADE = {
    "server_asgi": make_server,
    "server_rsgi": make_server,
    "emmett55_rsgi": make_emmett55,
    "starlette_asgi": make_starlette,
    "fastapi_asgi": make_fastapi,
    "falcon_asgi": make_falcon,
    "litestar_asgi": make_litestar,
}


def __getattr__(name):
    if name not in MADE:
        raise AttributeError(name)
    app = globals()[name] = MADE[name]()
    return app
