class MessageAborted(Exception):
    status: int
    message: str

class HTTPException(Exception):
    status: int
    message: str
    def __init__(self, status: int, message: str = "") -> None: ...

class BadRequest(HTTPException):
    def __init__(self, message: str = "") -> None: ...

class BadRequestFormat(BadRequest): ...

class NotFound(HTTPException):
    def __init__(self, message: str = "") -> None: ...

class InternalServerError(HTTPException):
    def __init__(self, message: str = "") -> None: ...

class UnsupportedMediaType(HTTPException):
    def __init__(self, message: str = "") -> None: ...

class UnprocessableEntity(HTTPException):
    def __init__(self, message: str = "") -> None: ...

class InvalidArgument(Exception):
    status: int
    message: str

class InvalidOperation(Exception):
    status: int
    message: str

class FailedRequestError(Exception):
    status: int
    message: str

class InvalidExceptionHandler(Exception):
    status: int
    message: str
