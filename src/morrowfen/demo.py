"""A small application on morrowfen's wire layer, served over ASGI and RSGI.

    python -m morrowfen.demo [granian|uvicorn|hypercorn] [port]

`app` (also named `asgi_app` and `rsgi_app`) is a morrowfen.server.Application:
granian serves it over RSGI, uvicorn and hypercorn over ASGI.
Routes:

    /             JSON
    /text         plain text
    /html         HTML
    /large        a 1 MiB buffered body (sent in slices)
    /stream       a streamed body of many parts
    /stream/slow  a long, slow streamed body (a part every 10 ms, for about 20 s)
    /stream/slow/stats  how many slow streams started and finished, as JSON
    /empty        no content
    /echo         the request's method, path, query, headers and body, as JSON
    /events       server-sent events
    /events/page  a page that shows what an EventSource receives from /events
    /cookie       a Set-Cookie header
"""

import asyncio
import base64
import hashlib
import json
import os
import shutil
import socket
import sys
from collections.abc import AsyncIterator

from morrowfen.contents import (Content, HTMLContent, JSONContent, ServerSentEvent, StreamedContent, TextContent,
                                TextServerSentEvent)
from morrowfen.cookies import Cookie
from morrowfen.exceptions import NotFound
from morrowfen.messages import Request, Response
from morrowfen.penmoth import write_response_cookie, write_sse
from morrowfen.server import Application

LARGE_BODY = bytes(range(256)) * 4096  # 1 MiB
STREAM_PARTS = [b"part %03d;" % i for i in range(100)]
SLOW_PART = b"." * 1023 + b"\n"
SLOW_PART_COUNT = 2000
SLOW_PART_INTERVAL = 0.01
# The slow streams this process has begun and ended (finished or stopped early).
slow_streams = {"started": 0, "finished": 0, "parts": 0}


def events() -> list[ServerSentEvent]:
    """The events /events sends, in order; the last one tells the page to stop."""
    return [
        TextServerSentEvent("hello", event="tick", id="1"),
        TextServerSentEvent("line one\nline two", id="2", comment="two lines of data"),
        ServerSentEvent({"n": 3, "ok": True}, event="json", id="3"),
        TextServerSentEvent("reconnect later", retry=2000),
        TextServerSentEvent("bye", event="end", id="5"),
    ]


EVENTS_PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>morrowfen events</title></head>
<body>
<h1>Events</h1>
<ol id="log"></ol>
<script>
const EVENT_NAMES = __EVENT_NAMES__;
const log = document.getElementById("log");
const source = new EventSource("/events");
function show(type, e) {
  const item = document.createElement("li");
  item.className = "event";
  item.textContent = JSON.stringify({type: type, data: e.data, id: e.lastEventId});
  log.appendChild(item);
}
source.onmessage = (e) => show("message", e);
for (const type of EVENT_NAMES) source.addEventListener(type, (e) => show(type, e));
source.addEventListener("end", (e) => {
  show("end", e);
  source.close();
  document.body.dataset.done = "yes";
});
</script>
</body></html>
"""
# the page listens for every event name that /events uses ("message" and "end" have their own handlers)
EVENTS_PAGE = EVENTS_PAGE.replace("__EVENT_NAMES__", json.dumps(
    sorted({e.event for e in events() if e.event not in (None, "", "message", "end")})))


async def stream_parts() -> AsyncIterator[bytes]:
    for part in STREAM_PARTS:
        yield part


async def slow_stream() -> AsyncIterator[bytes]:
    slow_streams["started"] += 1
    try:
        for _ in range(SLOW_PART_COUNT):
            yield SLOW_PART
            slow_streams["parts"] += 1
            await asyncio.sleep(SLOW_PART_INTERVAL)
    finally:
        slow_streams["finished"] += 1


async def event_stream() -> AsyncIterator[bytes]:
    for event in events():
        yield write_sse(event)
        await asyncio.sleep(0.01)


def echo(request: Request, body: bytes) -> JSONContent:
    return JSONContent({
        "method": request.method,
        "path": request.url.path.decode("latin-1"),
        "query": request.url.query.decode("latin-1"),
        "headers": [[n.decode("latin-1"), v.decode("latin-1")] for n, v in request._raw_headers or []],
        "body_length": len(body),
        "body_sha256": hashlib.sha256(body).hexdigest(),
        "body_base64": base64.b64encode(body).decode(),
    })


async def handle(request: Request) -> Response:
    """The application: one Response per request."""
    path = request.url.path
    if path == b"/":
        return Response(200, None, JSONContent({"framework": "morrowfen", "ok": True}))
    if path == b"/text":
        return Response(200, None, TextContent("Hello, world!"))
    if path == b"/html":
        return Response(200, None, HTMLContent("<h1>Hello, world!</h1>"))
    if path == b"/large":
        return Response(200, None, Content(b"application/octet-stream", LARGE_BODY))
    if path == b"/stream":
        return Response(200, None, StreamedContent(b"text/plain", stream_parts))
    if path == b"/stream/slow":
        return Response(200, None, StreamedContent(b"text/plain", slow_stream))
    if path == b"/stream/slow/stats":
        return Response(200, [(b"cache-control", b"no-store")], JSONContent(dict(slow_streams)))
    if path == b"/empty":
        return Response(204)
    if path == b"/echo":
        return Response(200, None, echo(request, await request.read()))
    if path == b"/events":
        return Response(200, [(b"cache-control", b"no-cache")], StreamedContent(b"text/event-stream", event_stream))
    if path == b"/events/page":
        return Response(200, None, HTMLContent(EVENTS_PAGE))
    if path == b"/cookie":
        cookie = Cookie("session", "abc 123", path="/", http_only=True, max_age=3600, same_site="Lax")
        return Response(200, [(b"set-cookie", write_response_cookie(cookie))], TextContent("cookie set"))
    raise NotFound("Not Found")


# One object serves every server: uvicorn and hypercorn call it as an ASGI
# application, granian finds its RSGI face (__rsgi__) under either name.
app = Application(handle)
asgi_app = rsgi_app = app


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port: int = s.getsockname()[1]
        return port


def serve(server: str = "granian", port: int = 8000) -> None:
    if port == 0:
        port = free_port()
    here = f"http://127.0.0.1:{port}"
    interface = "RSGI" if server == "granian" else "ASGI"
    print(f"serving the morrowfen demo on {here} with {server} ({interface})", flush=True)
    print("try: " + "  ".join(f"curl -i {here}{p}" for p in ("/", "/text", "/stream", "/events")), flush=True)
    exe = os.path.dirname(sys.executable)
    commands = {
        "granian": [os.path.join(exe, "granian"), "--interface", "rsgi", "--host", "127.0.0.1", "--port", str(port),
                    "--workers", "1", "morrowfen.demo:rsgi_app"],
        "uvicorn": [sys.executable, "-m", "uvicorn", "--host", "127.0.0.1", "--port", str(port),
                    "morrowfen.demo:asgi_app"],
        "hypercorn": [sys.executable, "-m", "hypercorn", "--bind", f"127.0.0.1:{port}", "morrowfen.demo:asgi_app"],
    }
    if server not in commands:
        raise SystemExit(f"unknown server {server!r}; choose one of {', '.join(commands)}")
    command = commands[server]
    if not os.path.exists(command[0]):
        command[0] = shutil.which(server) or command[0]
    os.execv(command[0], command)


def main(args: list[str]) -> None:
    serve(args[0] if args else "granian", int(args[1]) if len(args) > 1 else 8000)


if __name__ == "__main__":
    main(sys.argv[1:])
