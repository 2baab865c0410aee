"""The application tests/test_e2e_app.py serves on real servers: one
morrowfen.server.Application, under the name `app` for every server.

The shutdown hook writes the file named by MORROWFEN_E2E_SHUTDOWN_FILE (with
the stream counts as they were then), so that the test can tell it ran when
the server stopped, after which streams. Request bodies are bounded at
MAX_BODY bytes."""

import asyncio
import json
import os

from morrowfen.contents import Content, JSONContent, StreamedContent, TextContent, TextServerSentEvent
from morrowfen.exceptions import NotFound
from morrowfen.messages import Response
from morrowfen.penmoth import write_sse
from morrowfen.server import Application

# how many body generators of each kind began, and how many ran their finally
streams = {"slow": [0, 0], "idle": [0, 0], "failing": [0, 0]}
state = {"started": False, "first_request_saw_startup": None}
calls = {"echo": 0}  # handler calls, for what must be refused before the handler runs
MAX_BODY = 100 * 1024


async def start(app):
    await asyncio.sleep(0.2)  # a first request that did not wait would see this unfinished
    state["started"] = True


async def stop(app):
    path = os.environ.get("MORROWFEN_E2E_SHUTDOWN_FILE")
    if path:
        with open(path, "w") as f:
            f.write("shutdown hooks ran\n" + json.dumps(streams) + "\n")


def counted(kind):
    def wrap(generator):
        async def provider():
            streams[kind][0] += 1
            try:
                async for part in generator():
                    yield part
            finally:
                streams[kind][1] += 1

        return provider

    return wrap


@counted("slow")
async def slow_parts():
    for i in range(2000):
        yield b"%04d" % i + b"." * 1019 + b"\n"
        await asyncio.sleep(0.01)


@counted("idle")
async def idle_events():
    yield write_sse(TextServerSentEvent("hello", event="greeting"))
    await asyncio.sleep(3600)  # nothing more to say: no send can notice the client leaving
    yield write_sse(TextServerSentEvent("too late"))


@counted("failing")
async def failing_parts():
    yield b"first part;"
    await asyncio.sleep(0.01)
    raise RuntimeError("stream-failure-detail")


async def handle(request):
    if state["first_request_saw_startup"] is None:
        state["first_request_saw_startup"] = state["started"]
    path = request.url.path
    if path == b"/text":
        return Response(200, None, TextContent("plain text"))
    if path == b"/json":
        return Response(200, None, JSONContent({"ok": True, "items": [1, 2, 3]}))
    if path == b"/echo":
        calls["echo"] += 1
        body = await request.read()
        return Response(200, [(b"x-length", str(len(body)).encode())], Content(b"application/octet-stream", body))
    if path.startswith(b"/query"):
        return Response(
            200,
            None,
            JSONContent({"path": path.decode(), "query": request.url.query.decode(), "parsed": request.query}),
        )
    if path == b"/missing":
        raise NotFound("no such thing here")
    if path == b"/boom":
        raise RuntimeError("secret-boom-detail")
    if path == b"/startup":
        return Response(200, None, JSONContent(state))
    if path == b"/slow":
        return Response(200, None, StreamedContent(b"text/plain", slow_parts))
    if path == b"/events":
        return Response(200, [(b"cache-control", b"no-cache")], StreamedContent(b"text/event-stream", idle_events))
    if path == b"/failing":
        return Response(200, None, StreamedContent(b"text/plain", failing_parts))
    if path == b"/calls":
        return Response(200, [(b"cache-control", b"no-store")], JSONContent(calls))
    if path == b"/stats":
        return Response(200, [(b"cache-control", b"no-store")], JSONContent(streams))
    raise NotFound("Not Found")


app = Application(handle, on_startup=[start], on_shutdown=[stop], max_body_size=MAX_BODY)
