"""The application tests/test_e2e_websocket.py serves on real servers: one
morrowfen.server.Application with a websocket handler, under the name `app`.

What the handlers saw is kept in `seen`, read through the HTTP route /seen;
`finally_at` holds, per connection id (the `id` query parameter), the
monotonic time at which the handler's `finally` ran."""

import asyncio
import time

from morrowfen.contents import JSONContent
from morrowfen.exceptions import NotFound
from morrowfen.messages import Response
from morrowfen.server import Application
from morrowfen.websocket import WebSocket, WebSocketDisconnect

seen: dict = {"finally_at": {}, "disconnects": {}, "sends_after": {}}
rooms: dict[str, set[WebSocket]] = {}


async def handle(request):
    if request.url.path == b"/seen":
        return Response(200, [(b"cache-control", b"no-store")], JSONContent({**seen, "now": time.monotonic()}))
    raise NotFound("Not Found")


async def fan_out(room: str, message: str) -> None:
    """Sends from a task of its own to every socket of the room, while their handlers wait in receive()."""
    for ws in list(rooms.get(room, ())):
        await ws.send(message)


async def on_websocket(ws: WebSocket) -> None:
    path = ws.url.path
    key = ws.query.get("id", [""])[0]
    try:
        if path == b"/echo":
            await ws.accept(subprotocol=ws.subprotocols[-1] if ws.subprotocols else None)
            async for message in ws:
                await ws.send(message)
        elif path == b"/read":
            await ws.accept()
            await ws.send(
                repr(
                    {
                        "query": ws.query,
                        "header": ws.get_first_header(b"x-token"),
                        "cookies": ws.cookies,
                        "subprotocols": ws.subprotocols,
                    }
                )
            )
            await ws.receive()
        elif path == b"/close":
            await ws.accept()
            await ws.close(4001, "bye now")
        elif path == b"/fail":
            await ws.accept()
            await ws.receive()
            raise RuntimeError("websocket-failure-detail")
        elif path == b"/fail-early":
            raise RuntimeError("handshake-failure-detail")
        elif path == b"/room":
            await ws.accept()
            rooms.setdefault(key, set()).add(ws)
            try:
                while True:
                    message = await ws.receive()
                    if message == "broadcast":
                        await asyncio.create_task(fan_out(key, "to all"))
            finally:
                rooms[key].discard(ws)
        elif path == b"/wait":
            await ws.accept()
            try:
                await ws.receive()
            except WebSocketDisconnect as e:
                seen["disconnects"][key] = e.code
                try:
                    await ws.send("too late")
                except Exception as again:
                    seen["sends_after"][key] = type(again).__name__
                raise
        # any other path: never accepted, so refused
    finally:
        if key:
            seen["finally_at"][key] = time.monotonic()


app = Application(handle, websocket_handler=on_websocket)
