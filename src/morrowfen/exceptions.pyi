from typing_extensions import disjoint_base

@disjoint_base
class MessageAborted(Exception):
    status: int
    message: str

@disjoint_base
class HTTPException(Exception):
    status: int
    message: str
    def __init__(self, status: int, message: str | None = "") -> None: ...

class BadRequest(HTTPException):
    def __init__(self, message: str | None = "") -> None: ...

class BadRequestFormat(BadRequest): ...

class NotFound(HTTPException):
    def __init__(self, message: str | None = "") -> None: ...

class InternalServerError(HTTPException):
    def __init__(self, message: str | None = "") -> None: ...

class UnsupportedMediaType(HTTPException):
    def __init__(self, message: str | None = "") -> None: ...

class UnprocessableEntity(HTTPException):
    def __init__(self, message: str | None = "") -> None: ...

class ContentTooLarge(HTTPException):
    def __init__(self, message: str | None = "") -> None: ...

@disjoint_base
class InvalidArgument(Exception):
    status: int
    message: str

@disjoint_base
class InvalidOperation(Exception):
    status: int
    message: str

@disjoint_base
class FailedRequestError(Exception):
    status: int
    message: str

@disjoint_base
class InvalidExceptionHandler(Exception):
    status: int
    message: str
