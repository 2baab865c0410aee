import asyncio
import logging
from collections.abc import Awaitable, Callable, Iterable, MutableMapping
from typing import Any

from morrowfen.messages import Request, Response
from morrowfen.websocket import WebSocket

__all__ = ["Application"]

logger: logging.Logger
WATCH_QUEUE_LIMIT: int

Handler = Callable[[Request], Awaitable[Response]]
WebSocketHandler = Callable[[WebSocket], Awaitable[None]]
Hook = Callable[..., Awaitable[Any]]
ASGIReceive = Callable[[], Awaitable[MutableMapping[str, Any]]]
ASGISend = Callable[[MutableMapping[str, Any]], Awaitable[None]]

class Application:
    handler: Handler
    on_startup: list[Hook]
    on_shutdown: list[Hook]
    websocket_handler: WebSocketHandler | None
    def __init__(
        self,
        handler: Handler,
        on_startup: Iterable[Hook] = (),
        on_shutdown: Iterable[Hook] = (),
        websocket_handler: WebSocketHandler | None = None,
    ) -> None: ...
    async def startup(self) -> None: ...
    async def shutdown(self) -> None: ...
    async def __call__(self, scope: MutableMapping[str, Any], receive: ASGIReceive, send: ASGISend) -> None: ...
    def __rsgi_init__(self, loop: asyncio.AbstractEventLoop) -> None: ...
    def __rsgi_del__(self, loop: asyncio.AbstractEventLoop) -> None: ...
    async def __rsgi__(self, scope: Any, protocol: Any) -> None: ...
