from typing import Any, AsyncIterable, Awaitable, Callable

class Content:
    type: bytes | None
    body: Any
    length: int
    def __init__(self, content_type: bytes | None, data: bytes) -> None: ...
    def get_parts(self) -> AsyncIterable[bytes]: ...

class StreamedContent(Content):
    data_provider: Callable[[], AsyncIterable[bytes]]
    def __init__(self, content_type: bytes | None, data_provider: Callable[[], AsyncIterable[bytes]],
                 data_length: int = -1) -> None: ...
    def stream(self) -> AsyncIterable[bytes]: ...

class ASGIContent(Content):
    receive: Callable[[], Awaitable[dict[str, Any]]]
    def __init__(self, receive: Callable[[], Awaitable[dict[str, Any]]]) -> None: ...
    def stream(self) -> AsyncIterable[bytes]: ...
    def read(self) -> Awaitable[bytes]: ...

class RSGIContent(Content):
    protocol: Any
    def __init__(self, protocol: Any) -> None: ...
    def stream(self) -> AsyncIterable[bytes]: ...
    def read(self) -> Awaitable[bytes]: ...

class TextContent(Content):
    def __init__(self, text: str) -> None: ...

class HTMLContent(Content):
    def __init__(self, html: str) -> None: ...

class JSONContent(Content):
    def __init__(self, data: Any, dumps: Callable[[Any], str | bytes] = ...) -> None: ...

class FormContent(Content):
    def __init__(self, data: dict[Any, Any] | list[tuple[Any, Any]]) -> None: ...

class FormPart:
    name: bytes
    data: bytes
    def __init__(self, name: bytes, data: bytes) -> None: ...

class FileBuffer:
    name: str
    data: bytes
    def __init__(self, name: str, data: bytes) -> None: ...

class StreamedFormPart:
    name: bytes
    data_provider: Callable[[], AsyncIterable[bytes]]
    def __init__(self, name: bytes, data_provider: Callable[[], AsyncIterable[bytes]]) -> None: ...

class MultiPartFormData(Content):
    parts: list[FormPart]
    boundary: bytes
    def __init__(self, parts: list[FormPart]) -> None: ...

class ServerSentEvent:
    data: Any
    event: str | None
    id: str | None
    retry: int
    comment: str | None
    def __init__(self, data: Any, event: str | None = None, id: str | None = None, retry: int = -1,
                 comment: str | None = None) -> None: ...
    def write_data(self) -> str: ...

class TextServerSentEvent(ServerSentEvent):
    data: str

def parse_www_form_urlencoded(text: str) -> dict[str, str | list[str]]: ...
