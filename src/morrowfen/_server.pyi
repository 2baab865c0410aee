from collections.abc import Awaitable, Callable, MutableMapping
from typing import Any

from typing_extensions import disjoint_base

from morrowfen.messages import Request

def instantiate_asgi_request(
    scope: MutableMapping[str, Any], receive: Callable[[], Awaitable[MutableMapping[str, Any]]]
) -> Request: ...
async def serve_asgi(
    self: Core,
    scope: MutableMapping[str, Any],
    receive: Callable[[], Awaitable[MutableMapping[str, Any]]],
    send: Callable[[MutableMapping[str, Any]], Awaitable[None]],
) -> None: ...
async def serve_rsgi(self: Core, scope: Any, protocol: Any) -> None: ...

@disjoint_base
class Core:
    handler: Callable[[Request], Awaitable[Any]]
    websocket_handler: Callable[..., Awaitable[Any]] | None
    max_body_size: int | None
    _started: bool
    _stopping: bool
    def _end_streams(self) -> None: ...
