from collections.abc import AsyncGenerator, AsyncIterable, AsyncIterator, Awaitable, Callable, Iterable
from os import PathLike
from types import CapsuleType
from typing import Any, Protocol

from typing_extensions import disjoint_base

__pyx_capi__: dict[str, CapsuleType]

class _RSGIBody(Protocol):
    """The RSGI HTTP protocol as a body reader: `await protocol()` or `async for chunk in protocol`."""
    def __call__(self) -> Awaitable[bytes]: ...
    def __aiter__(self) -> AsyncIterator[bytes]: ...

@disjoint_base
class Content:
    type: bytes | None
    body: bytes | None
    length: int
    def __init__(self, content_type: bytes | None, data: bytes) -> None: ...
    def get_parts(self) -> AsyncIterable[bytes]: ...

@disjoint_base
class StreamedContent(Content):
    data_provider: Callable[[], AsyncIterable[bytes]]
    def __init__(
        self, content_type: bytes | None, data_provider: Callable[[], AsyncIterable[bytes]], data_length: int = -1
    ) -> None: ...
    def stream(self) -> AsyncIterable[bytes]: ...

@disjoint_base
class ASGIContent(Content):
    receive: Callable[[], Awaitable[dict[str, Any]]]
    limit: int
    def __init__(self, receive: Callable[[], Awaitable[dict[str, Any]]]) -> None: ...
    def stream(self) -> AsyncGenerator[bytes]: ...
    async def read(self) -> bytes: ...

@disjoint_base
class RSGIContent(Content):
    protocol: _RSGIBody
    limit: int
    def __init__(self, protocol: _RSGIBody) -> None: ...
    def stream(self) -> AsyncGenerator[bytes]: ...
    async def read(self) -> bytes: ...

class TextContent(Content):
    def __init__(self, text: str) -> None: ...

class HTMLContent(Content):
    def __init__(self, html: str) -> None: ...

class JSONContent(Content):
    def __init__(self, data: Any, dumps: Callable[[Any], str | bytes] = ...) -> None: ...

class FormContent(Content):
    # Names and values: str, bytes, or anything else by its str().
    def __init__(self, data: dict[Any, Any] | Iterable[tuple[object, object]]) -> None: ...

@disjoint_base
class FormPart:
    name: bytes
    data: bytes
    def __init__(self, name: bytes, data: bytes) -> None: ...

@disjoint_base
class FileBuffer:
    name: str
    data: bytes
    def __init__(self, name: str, data: bytes) -> None: ...

@disjoint_base
class StreamedFormPart:
    name: bytes
    data_provider: Callable[[], AsyncIterable[bytes]]
    def __init__(self, name: bytes, data_provider: Callable[[], AsyncIterable[bytes]]) -> None: ...

@disjoint_base
class MultiPartFormData(Content):
    parts: list[FormPart]
    boundary: bytes
    def __init__(self, parts: Iterable[FormPart]) -> None: ...

@disjoint_base
class FileContent(Content):
    """A file sent from its path; nothing is read (or found missing) until it is sent."""
    @property
    def path(self) -> str: ...
    def __init__(
        self, path: str | bytes | PathLike[str] | PathLike[bytes], content_type: bytes | None = None
    ) -> None: ...

@disjoint_base
class ServerSentEvent:
    data: Any
    event: str | None
    id: str | None
    retry: int
    comment: str | None
    def __init__(
        self,
        data: Any,
        event: str | None = None,
        id: str | None = None,
        retry: int | None = -1,
        comment: str | None = None,
    ) -> None: ...
    def write_data(self) -> str: ...

class TextServerSentEvent(ServerSentEvent):
    data: str
    def __init__(
        self,
        data: str,
        event: str | None = None,
        id: str | None = None,
        retry: int | None = -1,
        comment: str | None = None,
    ) -> None: ...

def parse_www_form_urlencoded(text: str, /) -> dict[str, str | list[str]]: ...
