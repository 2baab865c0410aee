from datetime import datetime
from types import CapsuleType

from typing_extensions import disjoint_base

__pyx_capi__: dict[str, CapsuleType]

@disjoint_base
class Cookie:
    name: str
    value: str
    expires: datetime | None
    domain: str | None
    path: str | None
    http_only: bool
    secure: bool
    max_age: int
    same_site: str | None
    def __init__(
        self,
        name: str,
        value: str,
        expires: datetime | None = None,
        domain: str | None = None,
        path: str | None = None,
        http_only: bool = False,
        secure: bool = False,
        max_age: int | None = -1,
        same_site: str | None = None,
    ) -> None: ...
    def clone(self) -> Cookie: ...

def write_cookie_for_response(cookie: Cookie, /) -> bytes: ...
def datetime_to_cookie_format(value: datetime, /) -> bytes: ...
def parse_cookie(value: bytes, /) -> Cookie: ...
