from collections.abc import Awaitable, Callable, Mapping
from typing import Any

from morrowfen.messages import Request

def instantiate_asgi_request(scope: Mapping[str, Any], receive: Callable[[], Awaitable[Any]]) -> Request: ...
