"""The constructors of the sibling types: binding (with the interpreter's
argument-parser texts), the same result from every way of calling them (the
native vectorcall, __init__ on a bare instance, the generic call of a Python
subclass), subclasses with their own __init__, and inspect.signature."""

import ctypes
import importlib
import inspect
import json

import pytest

from morrowfen.contents import (
    Content,
    HTMLContent,
    JSONContent,
    ServerSentEvent,
    StreamedContent,
    TextContent,
    TextServerSentEvent,
)
from morrowfen.cookies import Cookie
from morrowfen.exceptions import BadRequest, HTTPException, MessageAborted, NotFound
from morrowfen.headers import Header, Headers
from morrowfen.messages import Message, Request, Response
from morrowfen.url import URL

MODULES = ["contents", "cookies", "exceptions", "headers", "messages", "url"]


async def provider():
    yield b"x"


BODY = Content(b"text/plain", b"body")


def via_call(t, *args, **kwargs):
    return t(*args, **kwargs)


def via_init(t, *args, **kwargs):
    obj = t.__new__(t)
    obj.__init__(*args, **kwargs)
    return obj


def via_subclass(t, *args, **kwargs):
    return type("Sub" + t.__name__, (t,), {})(*args, **kwargs)


PATHS = pytest.mark.parametrize("make", [via_call, via_init, via_subclass], ids=["call", "init", "subclass"])


@PATHS
@pytest.mark.parametrize(
    "t, args, kwargs, text",
    [
        (Response, (), {}, "Response() missing required argument 'status' (pos 1)"),
        (Response, (), {"headers": None}, "Response() missing required argument 'status' (pos 1)"),
        (Response, (200, None, None, 1), {}, "Response() takes at most 3 arguments (4 given)"),
        (
            Response,
            (),
            dict(status=200, headers=None, content=None, extra=1),
            "Response() takes at most 3 keyword arguments (4 given)",
        ),
        (Response, (200,), {"status": 201}, "argument for Response() given by name ('status') and position (1)"),
        (Response, (200,), {"colour": 1}, "Response() got an unexpected keyword argument 'colour'"),
        (Content, (b"t",), {}, "Content() missing required argument 'data' (pos 2)"),
        (Content, (b"t",), {"content": b"d"}, "Content() missing required argument 'data' (pos 2)"),
        (
            JSONContent,
            (1,),
            {"dump": str},
            "JSONContent() got an unexpected keyword argument 'dump'. Did you mean 'dumps'?",
        ),
        (TextContent, ("a", "b"), {}, "TextContent() takes at most 1 argument (2 given)"),
        (JSONContent, (1,), {"data": 1}, "argument for JSONContent() given by name ('data') and position (1)"),
        (
            StreamedContent,
            (b"t", provider),
            {"length": 1},
            "StreamedContent() got an unexpected keyword argument 'length'",
        ),
        (Request, ("GET", b"/"), {}, "Request() missing required argument 'headers' (pos 3)"),
        (
            Cookie,
            ("a",),
            {"value": "b", "max_age": 1, "httponly": True},
            "Cookie() got an unexpected keyword argument 'httponly'. Did you mean 'http_only'?",
        ),
        (Cookie, tuple("abcdefghij"), {}, "Cookie() takes at most 9 arguments (10 given)"),
        (Message, (None, None, None), {}, "Message() takes at most 2 arguments (3 given)"),
        (Header, (b"a",), {}, "Header() missing required argument 'value' (pos 2)"),
        (Headers, (), {"value": []}, "Headers() got an unexpected keyword argument 'value'. Did you mean 'values'?"),
        (URL, (), {}, "URL() missing required argument 'value' (pos 1)"),
        (HTTPException, (), {"message": "x"}, "HTTPException() missing required argument 'status' (pos 1)"),
        # tables without a type name: the texts of a format without one
        (NotFound, ("a", "b"), {}, "function takes at most 1 argument (2 given)"),
        (
            NotFound,
            (),
            {"massage": "x"},
            "this function got an unexpected keyword argument 'massage'. Did you mean 'message'?",
        ),
        (BadRequest, (), {"msg": "x"}, "this function got an unexpected keyword argument 'msg'"),
        (ServerSentEvent, (), {"event": "e"}, "function missing required argument 'data' (pos 1)"),
        (TextServerSentEvent, ("d",), {"data": "d"}, "argument for function given by name ('data') and position (1)"),
    ],
)
def test_misuse_gives_the_parser_texts(make, t, args, kwargs, text):
    with pytest.raises(TypeError) as caught:
        make(t, *args, **kwargs)
    assert str(caught.value) == text


@pytest.mark.parametrize("t, args", [(Response, (200,)), (JSONContent, (1,)), (Cookie, ("a", "b")), (NotFound, ())])
def test_a_keyword_that_is_not_a_str(t, args):
    # only C code can pass such a dict; the generic call (a subclass) hands it to tp_init as it is
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object] * 3
    for target in (t, type("Sub", (t,), {})):
        with pytest.raises(TypeError, match="^keywords must be strings$"):
            call(target, args, {1: 2})


def fields(obj):
    if isinstance(obj, BaseException):
        return type(obj), obj.args, obj.status, obj.message
    if isinstance(obj, Request):
        return obj.method, obj.url.value, obj._raw_headers, obj.query
    if isinstance(obj, Message):
        return obj.status if isinstance(obj, Response) else None, obj._raw_headers, obj.content
    if isinstance(obj, Content):
        provider_field = getattr(obj, "data_provider", None)
        return obj.type, obj.body, obj.length, provider_field
    if isinstance(obj, ServerSentEvent):
        return obj.data, obj.event, obj.id, obj.retry, obj.comment
    if isinstance(obj, Cookie):
        return tuple(getattr(obj, name) for name in inspect.signature(Cookie).parameters)
    if isinstance(obj, Header):
        return obj.name, obj.value
    if isinstance(obj, Headers):
        return (obj.values,)
    return obj.value, obj.path, obj.query


def compact_dumps(value):
    return json.dumps(value, separators=(",", ":"))


# (type, positional arguments, the fields of the result: the defaults applied)
CASES = [
    (Response, (201,), (201, None, None)),
    (Response, (204, [(b"a", b"1")], BODY), (204, [(b"a", b"1")], BODY)),
    (Message, (), (None, None, None)),
    (Content, (b"t", b"data"), (b"t", b"data", 4, None)),
    (TextContent, ("h\u00e9",), (b"text/plain; charset=utf-8", "h\u00e9".encode(), 3, None)),
    (HTMLContent, ("<p>",), (b"text/html; charset=utf-8", b"<p>", 3, None)),
    (JSONContent, ({"a": [1, 2]},), (b"application/json", b'{"a": [1, 2]}', 13, None)),
    (JSONContent, ({"a": [1, 2]}, compact_dumps), (b"application/json", b'{"a":[1,2]}', 11, None)),
    (StreamedContent, (b"t", provider), (b"t", None, -1, provider)),
    (StreamedContent, (None, provider, 7), (None, None, 7, provider)),
    (Request, ("GET", b"/p?a=1&a=2", None), ("GET", b"/p?a=1&a=2", None, {"a": ["1", "2"]})),
    (Cookie, ("n", "v"), ("n", "v", None, None, None, False, False, -1, None)),
    (Cookie, ("n", "v", None, "d", "/", 1, 0, 60, "Lax"), ("n", "v", None, "d", "/", True, False, 60, "Lax")),
    (ServerSentEvent, ({"x": 1},), ({"x": 1}, None, None, -1, None)),
    (TextServerSentEvent, ("d", "e", "i", 5, "c"), ("d", "e", "i", 5, "c")),
    (Header, (b"a", b"b"), (b"a", b"b")),
    (Headers, (), ([],)),
    (Headers, ([(b"a", b"b")],), ([(b"a", b"b")],)),
    (URL, (b"/p?q",), (b"/p?q", b"/p", b"q")),
    (HTTPException, (418,), (HTTPException, (418, ""), 418, "")),
    (HTTPException, (418, "tea"), (HTTPException, (418, "tea"), 418, "tea")),
    (NotFound, (), (NotFound, ("Not Found",), 404, "Not Found")),
    (NotFound, ("gone",), (NotFound, ("gone",), 404, "gone")),
]


@pytest.mark.parametrize("t, args, expected", CASES, ids=[f"{c[0].__name__}-{len(c[1])}" for c in CASES])
def test_every_way_of_calling_binds_the_same(t, args, expected):
    names = list(inspect.signature(t).parameters)[: len(args)]
    by_name = dict(zip(names, args))
    half = len(args) // 2
    calls = [(args, {}), ((), by_name), (args[:half], dict(list(by_name.items())[half:]))]
    for make in (via_call, via_init, via_subclass):
        for positional, keywords in calls:
            got = fields(make(t, *positional, **keywords))
            if isinstance(got[0], type):  # an exception: its class is the subclass on that path
                got = got[1:]
                want = expected[1:]
            else:
                want = expected
            assert got == want, (make.__name__, positional, keywords)


def test_the_native_call_makes_the_native_type():
    assert type(Response(200)) is Response and type(TextContent("x")) is TextContent
    assert type(Cookie("a", "b")) is Cookie and type(Request(None, b"/", None)) is Request


def test_subclasses_with_their_own_init():
    class Page(TextContent):
        def __init__(self, title, *, lang="en"):
            super().__init__(text=f"<{lang}>{title}")
            self.title = title

    class Created(Response):
        def __init__(self, content):
            super().__init__(content=content, status=201)

    class Session(Cookie):
        def __init__(self, value):
            super().__init__("session", value, http_only=True, max_age=10)

    class Event(ServerSentEvent):
        def __init__(self, data, **kwargs):
            super().__init__(data, retry=3, **kwargs)

    class Teapot(HTTPException):
        def __init__(self):
            super().__init__(message="short and stout", status=418)

    page = Page("home", lang="fr")
    assert (type(page), page.title, page.body) == (Page, "home", b"<fr>home")
    created = Created(BODY)
    assert (type(created), created.status, created.content) == (Created, 201, BODY)
    session = Session("s3cret")
    assert (session.name, session.value, session.http_only, session.max_age) == ("session", "s3cret", True, 10)
    event = Event("d", event="tick")
    assert (event.data, event.event, event.retry) == ("d", "tick", 3)
    teapot = Teapot()
    assert (teapot.status, teapot.message, teapot.args) == (418, "short and stout", (418, "short and stout"))
    with pytest.raises(TypeError, match="missing 1 required positional argument"):
        Created()  # the subclass's own __init__ binds, not the native table
    assert inspect.signature(Page) == inspect.signature(Page.__init__).replace(
        parameters=list(inspect.signature(Page.__init__).parameters.values())[1:]
    )


SIGNATURES = {
    "Content": "(content_type, data)",
    "StreamedContent": "(content_type, data_provider, data_length=-1)",
    "ASGIContent": "(receive)",
    "RSGIContent": "(protocol)",
    "TextContent": "(text)",
    "HTMLContent": "(html)",
    "JSONContent": "(data, dumps=Ellipsis)",  # json.dumps is no literal: shown as "..."
    "FormContent": "(data)",
    "FormPart": "(name, data)",
    "FileBuffer": "(name, data)",
    "StreamedFormPart": "(name, data_provider)",
    "MultiPartFormData": "(parts)",
    "FileContent": "(path, content_type=None)",
    "ServerSentEvent": "(data, event=None, id=None, retry=-1, comment=None)",
    "TextServerSentEvent": "(data, event=None, id=None, retry=-1, comment=None)",
    "Cookie": "(name, value, expires=None, domain=None, path=None, http_only=False, secure=False, max_age=-1, "
    "same_site=None)",
    "HTTPException": "(status, message='')",
    **{
        name: "(message='')"
        for name in [
            "BadRequest",
            "BadRequestFormat",
            "NotFound",
            "InternalServerError",
            "UnsupportedMediaType",
            "UnprocessableEntity",
            "ContentTooLarge",
        ]
    },
    **{
        name: "(*args)"
        for name in [
            "MessageAborted",
            "InvalidArgument",
            "InvalidOperation",
            "FailedRequestError",
            "InvalidExceptionHandler",
        ]
    },
    "Header": "(name, value)",
    "Headers": "(values=None)",
    "Message": "(headers=None, content=None)",
    "Request": "(method, url, headers)",
    "Response": "(status, headers=None, content=None)",
    "URL": "(value)",
}


def public_types():
    for stem in MODULES:
        module = importlib.import_module(f"morrowfen.{stem}")
        for name, value in vars(module).items():
            if isinstance(value, type) and not name.startswith("_"):
                yield name, value


def test_every_public_type_has_its_signature():
    found = dict(public_types())
    assert set(found) == set(SIGNATURES)
    for name, t in found.items():
        assert str(inspect.signature(t)) == SIGNATURES[name], name
        # the signature is not part of the doc text
        assert t.__doc__ and "--" not in t.__doc__ and not t.__doc__.startswith("("), name


def test_the_plain_exceptions_take_what_their_signature_says():
    error = MessageAborted("a", 2)
    assert error.args == ("a", 2) and error.message == "a"
    inspect.signature(MessageAborted).bind("a", 2)
    with pytest.raises(TypeError):
        MessageAborted(detail="x")


@PATHS
def test_an_unknown_keyword_is_named_by_its_str(make):
    class Name(str):
        def __str__(self):
            return "shown"

    with pytest.raises(TypeError, match=r"^Response\(\) got an unexpected keyword argument 'shown'$"):
        make(Response, 200, **{Name("colour"): 1})
