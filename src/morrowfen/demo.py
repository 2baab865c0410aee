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
    /file         this module's source, sent from its file (ETag, Last-Modified, byte ranges)
    /ws           a WebSocket echo (ws://...): every message back as it came, text or binary
    /ws/page      a page that sends messages through /ws and shows what comes back
"""

import asyncio
import base64
import hashlib
import json
import os
import sys
from collections.abc import AsyncIterator

from morrowfen import _servers
from morrowfen.contents import (
    Content,
    FileContent,
    HTMLContent,
    JSONContent,
    ServerSentEvent,
    StreamedContent,
    TextContent,
    TextServerSentEvent,
)
from morrowfen.cookies import Cookie
from morrowfen.exceptions import NotFound
from morrowfen.messages import Request, Response
from morrowfen.penmoth import write_response_cookie, write_sse
from morrowfen.server import Application
from morrowfen.websocket import WebSocket

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
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>morrowfen events</title>
<style>
  :root { color-scheme: light; --ink: #1f2328; --muted: #656d76; --line: #d8dee4; --stripe: #f6f8fa; }
  * { box-sizing: border-box; }
  body { margin: 0; padding: 28px 36px; background: #fff; color: var(--ink);
         font: 15px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, "Helvetica Neue", Arial, sans-serif; }
  header { display: flex; align-items: center; gap: 14px; flex-wrap: wrap; margin-bottom: 4px; }
  h1 { font-size: 22px; font-weight: 600; margin: 0; }
  .hint { color: var(--muted); margin: 0 0 18px; }
  .eyebrow { color: var(--muted); font-size: 12px; font-weight: 600; letter-spacing: .06em; text-transform: uppercase;
             margin: 0 0 2px; }
  code, .mono { font-family: ui-monospace, "SFMono-Regular", "Cascadia Mono", "DejaVu Sans Mono", Menlo, monospace;
                font-size: 13px; }
  #state { display: inline-flex; align-items: center; gap: 7px; padding: 3px 11px 3px 9px; border-radius: 999px;
           font-size: 13px; font-weight: 600; border: 1px solid; }
  #state::before { content: ""; width: 8px; height: 8px; border-radius: 50%; background: currentColor; }
  #state[data-state="connecting"], #state[data-state="reconnecting"] { color: #9a6700; background: #fff8c5;
                                                                        border-color: #eed888; }
  #state[data-state="open"] { color: #0969da; background: #ddf4ff; border-color: #a8d4f5; }
  #state[data-state="ended"] { color: #1a7f37; background: #dafbe1; border-color: #9fe0b0; }
  #state[data-state="failed"] { color: #cf222e; background: #ffebe9; border-color: #f5b5b0; }
  .frame { border: 1px solid var(--line); border-radius: 8px; overflow: hidden; }
  table { width: 100%; border-collapse: collapse; }
  th, td { text-align: left; vertical-align: top; padding: 7px 12px; border-bottom: 1px solid var(--line); }
  th { background: var(--stripe); color: var(--muted); font-size: 12px; font-weight: 600; text-transform: uppercase;
       letter-spacing: .04em; }
  tbody tr:nth-child(even) { background: #fbfcfd; }
  tbody tr:last-child td { border-bottom: 0; }
  .seq { width: 3em; text-align: right; }
  th.name { width: 9em; }
  th.id { width: 5em; }
  th.time { width: 9em; }
  td.seq { color: var(--muted); font-size: 13px; font-variant-numeric: tabular-nums; }
  td.name span { display: inline-block; padding: 0 7px; border-radius: 4px; background: #eef1f4; }
  tr[data-type="end"] td.name span { background: #e6f6ea; color: #1a7f37; }
  td.data { white-space: pre-wrap; word-break: break-word; }
  td.time { color: var(--muted); white-space: nowrap; }
  td:empty::before { content: "\\2014"; color: #b0b7be; }
  #empty td { color: var(--muted); text-align: center; padding: 18px; }
</style>
</head>
<body data-state="connecting">
<p class="eyebrow">morrowfen demo</p>
<header><h1>Server-sent events</h1><span id="state" data-state="connecting" role="status">connecting</span></header>
<p class="hint">What an <code>EventSource</code> on <code>/events</code> receives, one row per event, as it arrives.</p>
<div class="frame"><table>
<thead><tr><th class="seq">#</th><th class="name">Event</th><th class="id">ID</th><th class="data">Data</th>
<th class="time">Received</th></tr></thead>
<tbody id="log"><tr id="empty"><td colspan="5">no events yet</td></tr></tbody>
</table></div>
<script>
"use strict";
const EVENT_NAMES = __EVENT_NAMES__;
const log = document.getElementById("log");
const state = document.getElementById("state");
const source = new EventSource("/events");
let count = 0;

function setState(name, text) {
  state.dataset.state = name;
  document.body.dataset.state = name;
  state.textContent = text;
}

function cell(row, className, text) {
  const td = row.insertCell();
  td.className = className;
  td.textContent = text;  // never parsed as markup: the data is the server's, shown as text
  return td;
}

function time(date) {
  const two = (n) => String(n).padStart(2, "0");
  return `${two(date.getHours())}:${two(date.getMinutes())}:${two(date.getSeconds())}.` +
         String(date.getMilliseconds()).padStart(3, "0");
}

function show(type, e) {
  const received = new Date();
  if (count === 0) document.getElementById("empty").remove();
  count += 1;
  const row = log.insertRow();
  row.className = "event";
  row.dataset.type = type;
  row.dataset.id = e.lastEventId;
  row.dataset.data = e.data;
  row.dataset.received = received.toISOString();
  cell(row, "seq", String(count));
  const name = cell(row, "name mono", "");
  name.appendChild(document.createElement("span")).textContent = type;
  cell(row, "id mono", e.lastEventId);
  cell(row, "data mono", e.data);
  cell(row, "time mono", time(received));
}

function finish(how, text) {
  source.close();
  document.body.dataset.done = how;
  setState("ended", text);
}

const plural = (n) => `${n} event${n === 1 ? "" : "s"}`;
source.onopen = () => setState("open", "open");
source.onmessage = (e) => show("message", e);
for (const type of EVENT_NAMES) source.addEventListener(type, (e) => show(type, e));
source.addEventListener("end", (e) => {
  show("end", e);
  finish("end", `stream ended \\u00b7 ${plural(count)}`);
});
source.onerror = () => {
  // the demo's stream is finite: once events came, a dropped connection is its end, not a reason to replay it
  if (count > 0) finish("error", `stream ended without an end event \\u00b7 ${plural(count)}`);
  else if (source.readyState === EventSource.CONNECTING) setState("reconnecting", "reconnecting\\u2026");
  else setState("failed", "connection failed");
};
</script>
</body></html>
"""
# the page listens for every event name that /events uses ("message" and "end" have their own handlers)
EVENTS_PAGE = EVENTS_PAGE.replace(
    "__EVENT_NAMES__", json.dumps(sorted({e.event for e in events() if e.event not in (None, "", "message", "end")}))
)


# What /ws/page sends through the echo, in order: text, then the bytes of the last item as a binary message.
WS_MESSAGES = ["hello", "caf\u00e9 \u2603", '{"n": 3, "ok": true}', "bye"]
WS_BINARY = bytes([0, 1, 127, 128, 255])

WS_PAGE = """<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>morrowfen websocket</title>
<style>
  :root { color-scheme: light; --ink: #1f2328; --muted: #656d76; --line: #d8dee4; --stripe: #f6f8fa; }
  body { margin: 0; padding: 28px 36px; background: #fff; color: var(--ink);
         font: 15px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, "Helvetica Neue", Arial, sans-serif; }
  header { display: flex; align-items: center; gap: 14px; margin-bottom: 4px; }
  h1 { font-size: 22px; font-weight: 600; margin: 0; }
  .hint { color: var(--muted); margin: 0 0 18px; }
  .mono { font-family: ui-monospace, "SFMono-Regular", "DejaVu Sans Mono", Menlo, monospace; font-size: 13px; }
  #state { display: inline-flex; align-items: center; gap: 7px; padding: 3px 11px 3px 9px; border-radius: 999px;
           font-size: 13px; font-weight: 600; border: 1px solid; }
  #state::before { content: ""; width: 8px; height: 8px; border-radius: 50%; background: currentColor; }
  #state[data-state="connecting"] { color: #9a6700; background: #fff8c5; border-color: #eed888; }
  #state[data-state="open"] { color: #0969da; background: #ddf4ff; border-color: #a8d4f5; }
  #state[data-state="closed"] { color: #1a7f37; background: #dafbe1; border-color: #9fe0b0; }
  #state[data-state="failed"] { color: #cf222e; background: #ffebe9; border-color: #f5b5b0; }
  .frame { border: 1px solid var(--line); border-radius: 8px; overflow: hidden; }
  table { width: 100%; border-collapse: collapse; }
  th, td { text-align: left; padding: 7px 12px; border-bottom: 1px solid var(--line); }
  th { background: var(--stripe); color: var(--muted); font-size: 12px; font-weight: 600; text-transform: uppercase; }
  tbody tr:last-child td { border-bottom: 0; }
  .seq { width: 3em; text-align: right; }
  td.seq { color: var(--muted); }
  td.kind span { padding: 0 7px; border-radius: 4px; background: #eef1f4; }
  td.time { color: var(--muted); width: 9em; }
</style>
</head>
<body data-state="connecting">
<p class="mono" style="color: var(--muted)">morrowfen demo</p>
<header><h1>WebSocket echo</h1><span id="state" data-state="connecting" role="status">connecting</span></header>
<p class="hint">Messages sent through <code>/ws</code>, one row per message that came back.</p>
<div class="frame"><table>
<thead><tr><th class="seq">#</th><th>Kind</th><th>Data</th><th>Received</th></tr></thead>
<tbody id="log"></tbody>
</table></div>
<script>
"use strict";
const MESSAGES = __MESSAGES__;
const BINARY = new Uint8Array(__BINARY__);
const log = document.getElementById("log");
const state = document.getElementById("state");
const socket = new WebSocket(new URL("/ws", location.href).href.replace(/^http/, "ws"));
socket.binaryType = "arraybuffer";
let count = 0;

function setState(name, text) {
  state.dataset.state = document.body.dataset.state = name;
  state.textContent = text;
}

function show(kind, data) {
  const row = log.insertRow();
  row.className = "message";
  row.dataset.kind = kind;
  row.dataset.data = data;
  count += 1;
  for (const [name, text] of [["seq", String(count)], ["kind", ""], ["data mono", data],
                              ["time mono", new Date().toISOString().slice(11, 23)]]) {
    const td = row.insertCell();
    td.className = name;
    td.textContent = text;  // the server's data, shown as text
  }
  row.cells[1].appendChild(document.createElement("span")).textContent = kind;
}

socket.onopen = () => {
  setState("open", "open");
  for (const message of MESSAGES) socket.send(message);
  socket.send(BINARY);
};
socket.onmessage = (e) => {
  if (typeof e.data === "string") show("text", e.data);
  else show("binary", Array.from(new Uint8Array(e.data), (b) => b.toString(16).padStart(2, "0")).join(" "));
  if (count === MESSAGES.length + 1) socket.close(1000, "done");
};
socket.onclose = (e) => {
  document.body.dataset.closeCode = String(e.code);
  setState(count ? "closed" : "failed", count ? `closed \u00b7 ${count} messages echoed` : "connection failed");
};
</script>
</body></html>
"""
WS_PAGE = WS_PAGE.replace("__MESSAGES__", json.dumps(WS_MESSAGES)).replace("__BINARY__", json.dumps(list(WS_BINARY)))


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
    return JSONContent(
        {
            "method": request.method,
            "path": request.url.path.decode("latin-1"),
            "query": request.url.query.decode("latin-1"),
            "headers": [[n.decode("latin-1"), v.decode("latin-1")] for n, v in request._raw_headers or []],
            "body_length": len(body),
            "body_sha256": hashlib.sha256(body).hexdigest(),
            "body_base64": base64.b64encode(body).decode(),
        }
    )


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
        return Response(200, None, echo(request, await request.read() or b""))
    if path == b"/events":
        return Response(200, [(b"cache-control", b"no-cache")], StreamedContent(b"text/event-stream", event_stream))
    if path == b"/events/page":
        return Response(200, None, HTMLContent(EVENTS_PAGE))
    if path == b"/ws/page":
        return Response(200, None, HTMLContent(WS_PAGE))
    if path == b"/file":
        return Response(200, None, FileContent(__file__))
    if path == b"/cookie":
        cookie = Cookie("session", "abc 123", path="/", http_only=True, max_age=3600, same_site="Lax")
        return Response(200, [(b"set-cookie", write_response_cookie(cookie))], TextContent("cookie set"))
    raise NotFound("Not Found")


async def handle_websocket(ws: WebSocket) -> None:
    """/ws: every message back as it came; any other path is refused (403)."""
    if ws.url.path != b"/ws":
        return
    await ws.accept()
    async for message in ws:
        await ws.send(message)


# One object serves every server: uvicorn and hypercorn call it as an ASGI
# application, granian finds its RSGI face (__rsgi__) under either name.
app = Application(handle, websocket_handler=handle_websocket)
asgi_app = rsgi_app = app


# the servers `./dev serve` names, and the set-up each stands for
SERVE_WITH = {"granian": "granian-rsgi", "uvicorn": "uvicorn", "hypercorn": "hypercorn"}


def serve(server: str = "granian", port: int = 8000) -> None:
    if server not in SERVE_WITH:
        raise SystemExit(f"unknown server {server!r}; choose one of {', '.join(SERVE_WITH)}")
    if port == 0:
        port = _servers.free_port()
    here = f"http://{_servers.HOST}:{port}"
    name = SERVE_WITH[server]
    print(f"serving the morrowfen demo on {here} with {server} ({_servers.SERVERS[name].upper()})", flush=True)
    print("try: " + "  ".join(f"curl -i {here}{p}" for p in ("/", "/text", "/stream", "/events")), flush=True)
    command = _servers.command(name, port, "morrowfen.demo:app")
    os.execv(command[0], command)


def main(args: list[str]) -> None:
    serve(args[0] if args else "granian", int(args[1]) if len(args) > 1 else 8000)


if __name__ == "__main__":
    main(sys.argv[1:])
