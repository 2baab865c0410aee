"""Stand-ins for what a server hands an application: the RSGI scope, protocol
and transport, and the ASGI scope, receive and send. Shared by the tests and
by bench/ (which puts this folder on its path), so it imports nothing but
the standard library."""

import asyncio


class Headers:
    """A server's header object: read through items()."""

    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return self.pairs


class LookupHeaders:
    """A server's header object with a lookup of its own (get, get_all), as granian's;
    `asked` records what was asked of it."""

    def __init__(self, pairs):
        self.pairs, self.asked = pairs, []

    def items(self):
        self.asked.append("items")
        return self.pairs

    def get(self, name, default=None):
        self.asked.append(name)
        return next((v for n, v in self.pairs if n == name), default)

    def get_all(self, name):
        self.asked.append(name)
        return [v for n, v in self.pairs if n == name]


class RSGIScope:
    """An RSGI scope: plain attributes, as a server's scope object has.
    `headers` is given as the server would (a list of pairs, a Headers, a
    dict, or None); left out, it is one host header."""

    __slots__ = ("headers", "method", "path", "proto", "query_string")

    def __init__(self, path="/", query="", headers=..., method="GET", proto="http"):
        self.path, self.query_string, self.method, self.proto = path, query, method, proto
        self.headers = {"host": "test"} if headers is ... else headers


class ReadLoggingScope:
    """An RSGI scope that appends the name of every field read to `log`."""

    def __init__(self, path="/p", query_string="", headers=(), method="GET", log=None):
        self._values = dict(path=path, query_string=query_string, headers=list(headers), method=method)
        self._log = log if log is not None else []

    def __getattr__(self, name):
        self._log.append(name)
        return self._values[name]


class NullTransport:
    async def send_bytes(self, data):
        pass

    async def send_str(self, data):
        pass


class NullProtocol:
    """An RSGI protocol whose methods do nothing: the floor of an answer."""

    def response_empty(self, status, headers):
        pass

    def response_bytes(self, status, headers, body):
        pass

    def response_str(self, status, headers, body):
        pass

    def response_stream(self, status, headers):
        return NullTransport()


class Transport:
    """Records each part in its protocol's `calls` as ("bytes", data) or
    ("str", data); raises once the client left, or on the protocol's `fail_on` part."""

    def __init__(self, protocol):
        self.protocol = protocol

    async def send_bytes(self, data):
        await self._record("bytes", data)

    async def send_str(self, data):
        await self._record("str", data)

    async def _record(self, kind, data):
        if self.protocol.closed:
            raise RuntimeError("transport closed")
        if data == self.protocol.fail_on:
            raise BrokenPipeError("client gone")
        self.protocol.calls.append((kind, data))
        if self.protocol.suspend:
            await asyncio.sleep(0)


class RSGIProtocol:
    """An RSGI protocol that records every answer call in `calls`
    (("empty", status, headers), ("bytes"|"str", status, headers, body),
    ("stream", status, headers), then the transport's parts). The request
    body is `body`'s parts: awaited whole, or iterated part by part.

    awaitable_stream: response_stream() gives an awaitable of the transport;
    fail_on: the transport raises BrokenPipeError on this part;
    suspend (class attribute): every transport send suspends once."""

    suspend = False

    def __init__(self, *body, awaitable_stream=False, fail_on=None):
        self.chunks = list(body)
        self.reads = 0
        self.calls = []
        self.awaitable_stream, self.fail_on = awaitable_stream, fail_on
        self.closed = False
        self.disconnect = None
        self.close_status = "not closed"

    async def __call__(self):
        self.reads += 1
        return b"".join(self.chunks)

    def __aiter__(self):
        return self

    async def __anext__(self):
        if not self.chunks:
            raise StopAsyncIteration
        return self.chunks.pop(0)

    def client_disconnect(self):
        self.disconnect = asyncio.get_running_loop().create_future()
        return self.disconnect

    def leave(self):
        """The client goes: the transport refuses, client_disconnect() resolves."""
        self.closed = True
        self.disconnect.set_result(None)

    def response_empty(self, status, headers):
        self.calls.append(("empty", status, headers))

    def response_bytes(self, status, headers, body):
        self.calls.append(("bytes", status, headers, body))

    def response_str(self, status, headers, body):
        self.calls.append(("str", status, headers, body))

    def response_stream(self, status, headers):
        self.calls.append(("stream", status, headers))
        transport = Transport(self)
        if self.awaitable_stream:

            async def opened():
                return transport

            return opened()
        return transport

    def close(self, status=None):
        self.close_status = status
        return (status, False)

    @property
    def answer(self):
        """(status, headers, body as bytes; None for a stream) of the last answer call, or None."""
        for call in reversed(self.calls):
            if len(call) > 2:
                body = {"empty": b"", "stream": None}.get(call[0], call[-1])
                return call[1], call[2], body.encode() if isinstance(body, str) else body
        return None

    @property
    def parts(self):
        """The parts sent through the transport, as bytes."""
        return [d.encode() if isinstance(d, str) else d for k, d in (c for c in self.calls if len(c) == 2)]


def http_scope(path="/", query=b"", method="GET", headers=None):
    """An ASGI HTTP scope (headers: one host header unless given)."""
    return {
        "type": "http",
        "method": method,
        "path": path,
        "query_string": query,
        "headers": headers if headers is not None else [(b"host", b"test")],
    }


def receiver(*messages):
    """An ASGI receive that gives `messages` in turn."""
    pending = list(messages)

    async def receive():
        return pending.pop(0)

    return receive


async def send_nothing(message):
    """An ASGI send that completes at once."""


class ASGIClient:
    """receive() gives the body messages, then waits until `leave()`, then
    "http.disconnect"; send() records."""

    def __init__(self, body=(b"",)):
        self.pending = [{"type": "http.request", "body": b, "more_body": i < len(body) - 1} for i, b in enumerate(body)]
        self.sent = []
        self.gone = asyncio.Event()
        self.receives = 0

    async def receive(self):
        self.receives += 1
        if self.pending:
            return self.pending.pop(0)
        await self.gone.wait()
        return {"type": "http.disconnect"}

    async def send(self, message):
        self.sent.append(message)

    def leave(self):
        self.gone.set()

    @property
    def status(self):
        return self.sent[0]["status"]

    @property
    def body(self):
        return b"".join(m.get("body", b"") for m in self.sent[1:])

    @property
    def complete(self):
        return bool(self.sent) and not self.sent[-1].get("more_body", False) and len(self.sent) > 1


# --- WebSockets ------------------------------------------------------------------------------

WS_DENIAL = {"websocket.http.response": {}}


class WSASGIServer:
    """Gives `incoming` to receive() (then waits), records what is sent; `fail` is raised by send()."""

    def __init__(self, *incoming, extensions=WS_DENIAL, fail=None):
        self.queue = asyncio.Queue()
        for message in ({"type": "websocket.connect"}, *incoming):
            self.queue.put_nowait(message)
        self.sent, self.fail = [], fail
        self.scope = {
            "type": "websocket",
            "path": "/chat/caf\u00e9",
            "query_string": b"a=1&b=%20",
            "headers": [(b"cookie", b"id=7"), (b"sec-websocket-protocol", b"p1, p2"), (b"x-a", b"1")],
            "subprotocols": ["p1", "p2"],
            "extensions": extensions,
        }

    async def receive(self):
        return await self.queue.get()

    async def send(self, message):
        if self.fail is not None and message["type"] == "websocket.send":
            raise self.fail
        self.sent.append(message)

    def serve(self, handler):
        from morrowfen.websocket import serve_asgi

        asyncio.run(asyncio.wait_for(serve_asgi(handler, self.scope, self.receive, self.send), 5))
        return self.sent


class WSMessage:
    """A message an RSGI WebSocket transport gives (kind 0 close, 1 bytes, 2 text)."""

    def __init__(self, kind, data=None):
        self.kind = kind
        if kind:
            self.data = data


class WSRSGIProtocol:
    """The protocol and its transport in one; a transport with nothing more to give is closed."""

    def __init__(self, *incoming, fail=None):
        self.incoming, self.calls, self.fail = list(incoming), [], fail

    async def accept(self):
        self.calls.append("accept")
        return self

    async def receive(self):
        if not self.incoming:
            from granian._granian import RSGIProtocolClosed

            raise RSGIProtocolClosed("RSGI transport is closed")
        return self.incoming.pop(0)

    async def send_str(self, data):
        if self.fail:
            raise self.fail
        self.calls.append(data)

    send_bytes = send_str

    def close(self, status):
        self.calls.append(("close", status))
