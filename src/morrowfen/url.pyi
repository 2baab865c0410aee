from typing_extensions import disjoint_base

@disjoint_base
class URL:
    value: bytes
    path: bytes
    query: bytes
    is_absolute: bool
    def __init__(self, value: bytes) -> None: ...
    def join(self, other: URL | bytes, /) -> URL: ...
