"""The applications bench/ws_instructions.py serves: a WebSocket echo written
as bare ASGI and RSGI callables, and through morrowfen.server.Application
(`server_asgi` and `server_rsgi` are the same object). Every message goes
back as it came; any HTTP request is answered 404."""

from morrowfen.messages import Response
from morrowfen.server import Application


async def lifespan(receive, send):
    while True:
        message = await receive()
        if message["type"] == "lifespan.startup":
            await send({"type": "lifespan.startup.complete"})
        elif message["type"] == "lifespan.shutdown":
            await send({"type": "lifespan.shutdown.complete"})
            return


async def raw_asgi(scope, receive, send):
    if scope["type"] == "lifespan":
        await lifespan(receive, send)
        return
    if scope["type"] != "websocket":
        await send({"type": "http.response.start", "status": 404, "headers": []})
        await send({"type": "http.response.body", "body": b""})
        return
    await receive()  # websocket.connect
    await send({"type": "websocket.accept"})
    while True:
        message = await receive()
        if message["type"] == "websocket.disconnect":
            return
        text = message.get("text")
        if text is not None:
            await send({"type": "websocket.send", "text": text})
        else:
            await send({"type": "websocket.send", "bytes": message.get("bytes")})


class RawRSGI:
    async def __rsgi__(self, scope, protocol):
        if scope.proto != "ws":
            protocol.response_empty(404, [])
            return
        transport = await protocol.accept()
        while True:
            message = await transport.receive()
            if message.kind == 0:
                return
            if message.kind == 2:
                await transport.send_str(message.data)
            else:
                await transport.send_bytes(message.data)


raw_rsgi = RawRSGI()


async def not_found(request):
    return Response(404)


async def echo(ws):
    await ws.accept()
    async for message in ws:
        await ws.send(message)


server_asgi = server_rsgi = Application(not_found, websocket_handler=echo)
