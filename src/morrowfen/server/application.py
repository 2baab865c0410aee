"""Application: what it is made of. Each request goes through the native
exchange of `morrowfen._server` (its `Core` base holds what a request reads);
the hooks and lifespan are in `lifespan.py`."""

from __future__ import annotations

import asyncio
from collections.abc import Awaitable, Callable, Iterable

from morrowfen._server import serve_asgi, serve_rsgi
from morrowfen.messages import Request, Response
from morrowfen.server.lifespan import Hook, Lifespan, check_hook
from morrowfen.websocket import WebSocket

Handler = Callable[[Request], Awaitable[Response]]
WebSocketHandler = Callable[[WebSocket], Awaitable[None]]

# The largest request body Application reads unless told otherwise: 16 MiB,
# room for any JSON or form a handler reads whole, while a few such requests
# at once cannot exhaust a worker's memory (a body being read is held whole,
# and a server may keep its own copy). Larger uploads set their own limit, or
# None, and read with request.stream().
MAX_BODY_SIZE = 16 * 1024 * 1024

__all__ = ["MAX_BODY_SIZE", "Application", "Handler", "Hook", "WebSocketHandler"]


class Application(Lifespan):
    """Serves `handler` (an async callable Request -> Response) over ASGI and RSGI.

    `on_startup` and `on_shutdown` are async callables run once, in order,
    before the first request and when the server stops; a hook that takes an
    argument is given the application. `websocket_handler` (an async callable
    WebSocket -> None) serves WebSocket connections; without it they are
    refused. `max_body_size` bounds the request bodies read (413 past it;
    None: no limit)."""

    __slots__ = ()

    __call__ = serve_asgi
    __rsgi__ = serve_rsgi

    def __init__(
        self,
        handler: Handler,
        on_startup: Iterable[Hook] = (),
        on_shutdown: Iterable[Hook] = (),
        websocket_handler: WebSocketHandler | None = None,
        *,
        max_body_size: int | None = MAX_BODY_SIZE,
    ) -> None:
        self.handler = handler
        self.websocket_handler = websocket_handler
        self.max_body_size = max_body_size
        self.on_startup = list(on_startup)
        self.on_shutdown = list(on_shutdown)
        for hook in (*self.on_startup, *self.on_shutdown):
            check_hook(hook)
        self._starting: asyncio.Future[None] | None = None
        self._stopped = False

    def __repr__(self) -> str:
        return f"<morrowfen.server.Application of {self.handler!r}>"
