"""The RSGI bridge with scope, protocol and transport doubles: request
intake, buffered answers and streamed answers, through both faces."""

import asyncio
import ctypes
import re
import types

import pytest

from conftest import c_function
from fakes import Headers, ReadLoggingScope, RSGIProtocol
from morrowfen import penmoth as pm
from morrowfen.contents import Content, JSONContent, RSGIContent, StreamedContent, TextContent
from morrowfen.messages import Request, Response


def c_extract():
    return c_function(pm, "extract_rsgi_headers", ctypes.py_object, ctypes.py_object, ctypes.c_int)


def c_instantiate():
    return c_function(
        pm, "instantiate_rsgi_request", ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int
    )


def c_send_sync():
    return c_function(pm, "send_rsgi_response_sync", ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int)


EXTRACT = {"python": pm.extract_rsgi_headers, "c": lambda h: c_extract()(h, 0)}
INSTANTIATE = {"python": pm.instantiate_rsgi_request, "c": lambda s, p: c_instantiate()(s, p, 0)}
SEND_SYNC = {"python": pm.send_rsgi_response_sync, "c": lambda r, p: c_send_sync()(r, p, 0)}
faces = pytest.mark.parametrize("face", ["python", "c"])


# --- request intake ---------------------------------------------------------------


@faces
def test_extract_header_conversion(face):
    extract = EXTRACT[face]
    assert extract(None) == []
    assert extract(Headers(None)) == []
    value = b"raw"
    got = extract(
        [
            ("host", "example.org"),
            ("X-Custom", "keep-alive"),
            (b"x-bytes", value),
            ["x-list", 5],
            ("x-none", None, "ignored"),
            ("x-latin", "caf\xe9"),
            ("host", "second"),
        ]
    )
    assert got == [
        (b"host", b"example.org"),
        (b"X-Custom", b"keep-alive"),
        (b"x-bytes", b"raw"),
        (b"x-list", b"5"),
        (b"x-none", b"None"),
        (b"x-latin", b"caf\xe9"),
        (b"host", b"second"),
    ]
    assert all(type(n) is bytes and type(v) is bytes for n, v in got)
    assert got[2][1] is value  # bytes pass through as the same object
    assert got[0][0] is got[6][0]  # the table's shared name
    assert got[1][1] is extract([("a", "keep-alive")])[0][1]  # the table's shared value
    assert extract({"accept": "*/*"}) == [(b"accept", b"*/*")]  # a dict is read through items()
    assert extract(Headers([("content-type", "text/html")])) == [(b"content-type", b"text/html")]
    assert extract(iter([("a", "b")])) == [(b"a", b"b")]
    assert extract((("a", "b"),)) == [(b"a", b"b")]


def test_shared_header_objects_across_calls():
    first = pm.extract_rsgi_headers([("host", "a"), ("Host", "b"), ("content-type", "application/json")])
    second = c_extract()([("host", "c"), ("content-type", "application/json")], 0)
    assert first[0][0] is second[0][0]
    assert first[1][0] is not first[0][0] and first[1][0] == b"Host"  # letter case misses the table
    assert first[2][1] is second[1][1]


INBOUND_NAMES = (
    "host user-agent accept accept-encoding accept-language content-type content-length connection cookie"
    " authorization origin referer cache-control pragma upgrade-insecure-requests sec-ch-ua sec-ch-ua-mobile"
    " sec-ch-ua-platform sec-fetch-site sec-fetch-mode sec-fetch-user sec-fetch-dest x-forwarded-for"
    " x-forwarded-proto x-forwarded-host x-real-ip"
).split()
INBOUND_VALUES = [
    "*/*",
    "keep-alive",
    "close",
    "gzip, deflate",
    "gzip, deflate, br",
    "application/json",
    "text/plain",
    "text/plain; charset=utf-8",
    "text/html",
    "text/html; charset=utf-8",
]


def test_every_table_text_is_shared_and_near_misses_are_not():
    # Texts of the same length that differ in one byte, first, middle or
    # last, must miss; every table text must hit, whatever slot it landed in.
    pairs = [(n, INBOUND_VALUES[i % 10]) for i, n in enumerate(INBOUND_NAMES)]
    first, second = pm.extract_rsgi_headers(pairs), pm.extract_rsgi_headers(list(reversed(pairs)))
    for (n1, v1), (n2, v2) in zip(first, reversed(second)):
        assert n1 is n2 and v1 is v2
    for text in ("hosu", "iost", "hsst", "x-real-iq", "*/+", "close\x00"[:5] + "s"):
        a, b = pm.extract_rsgi_headers([(text, text)]), pm.extract_rsgi_headers([(text, text)])
        assert a == [(text.encode(), text.encode())] and a[0][0] is not b[0][0] and a[0][1] is not b[0][1]
    names = (
        "content-type content-length server date set-cookie location connection cache-control vary"
        " access-control-allow-origin access-control-allow-headers access-control-allow-methods"
        " access-control-allow-credentials access-control-expose-headers access-control-max-age transfer-encoding"
        " www-authenticate authorization accept host etag last-modified strict-transport-security"
        " x-content-type-options x-frame-options"
    ).split()
    values = ["application/json", "text/plain; charset=utf-8", "text/plain", "text/html; charset=utf-8"]
    values += ["text/html", "chunked", "keep-alive", "close", "0"]
    raw = [(n.encode(), values[i % 9].encode()) for i, n in enumerate(names)]
    _, [(_, _, one, _)] = answer("python", Response(200, raw, Content(b"x/y", b"")))
    _, [(_, _, two, _)] = answer("c", Response(200, raw, Content(b"x/y", b"")))
    assert [p[0] for p in one] == names and [p[1] for p in one[:9]] == values
    assert all(a is b for p, q in zip(one, two) for a, b in zip(p, q))
    _, [(_, _, near, _)] = answer("python", Response(200, [(b"dato", b"closf")], Content(b"x/y", b"")))
    _, [(_, _, again, _)] = answer("python", Response(200, [(b"dato", b"closf")], Content(b"x/y", b"")))
    assert near[0][0] is not again[0][0] and near[0][1] is not again[0][1]


def test_a_bytes_subclass_content_type_is_looked_up_by_its_own_equality():
    class Type(bytes):
        def __hash__(self):
            return hash(b"text/html")

        def __eq__(self, other):
            return other == b"text/html"

    _, [(_, _, html, _)] = answer("python", Response(200, None, Content(b"text/html", b"")))
    _, [(_, _, odd, _)] = answer("python", Response(200, None, Content(Type(b"whatever"), b"")))
    assert odd is html


def test_items_called_as_the_interpreter_would():
    class Slotted:  # no instance dict: the method is called unbound
        __slots__ = ("pairs",)

        def __init__(self, pairs):
            self.pairs = pairs

        def items(self):
            del Slotted.items  # the call may change the type: the method is held across it
            return self.pairs

    assert pm.extract_rsgi_headers(Slotted([("host", "a")])) == [(b"host", b"a")]
    assert pm.extract_rsgi_headers(types.MappingProxyType({"accept": "*/*"})) == [(b"accept", b"*/*")]

    class Shadowed:
        def items(self):
            return [("a", "1")]

    shadowed = Shadowed()
    shadowed.items = lambda: [("b", "2")]  # an instance attribute still wins
    assert pm.extract_rsgi_headers(shadowed) == [(b"b", b"2")]

    class Gone:
        __slots__ = ()

        @property
        def items(self):
            raise AttributeError("items")  # no items after all: the object itself is read

        def __iter__(self):
            return iter([("c", "3")])

    assert pm.extract_rsgi_headers(Gone()) == [(b"c", b"3")]


class Text(str):
    pass


@faces
def test_extract_bytes_like_and_other_types(face):
    extract = EXTRACT[face]

    class B(bytes):
        def __str__(self):
            return "not this"

    got = extract([(B(b"x-sub"), bytearray(b"v1")), (memoryview(b"x-view"), Text("v\xe9"))])
    assert got == [(b"x-sub", b"v1"), (b"x-view", b"v\xe9")]
    assert all(type(n) is bytes and type(v) is bytes for n, v in got)


@faces
def test_extract_failures(face):
    extract = EXTRACT[face]
    with pytest.raises(UnicodeEncodeError):
        extract([("x", "\u20ac")])
    with pytest.raises(IndexError):
        extract([("only-name",)])
    with pytest.raises(TypeError):
        extract([5])
    with pytest.raises(TypeError):
        extract(5)

    class Raises:
        def __str__(self):
            raise KeyError("str")

    with pytest.raises(KeyError):
        extract([("x", Raises())])

    class BadItems:
        def items(self):
            raise ValueError("items")

    with pytest.raises(ValueError):
        extract(BadItems())

    class NotIterableItems:
        def items(self):
            return 5

    with pytest.raises(TypeError):
        extract(NotIterableItems())


@faces
def test_extract_list_changing_while_walked(face):
    headers = []

    class Clearing(tuple):
        def __getitem__(self, i):
            headers.clear()
            return super().__getitem__(i)

    class Growing(tuple):
        def __getitem__(self, i):
            if len(headers) < 50:
                headers.append(("x-more", "v"))
            return super().__getitem__(i)

    headers.extend([Clearing(("a", "1")), ("b", "2"), ("c", "3")])
    assert EXTRACT[face](headers) == [(b"a", b"1")]
    headers[:] = [Growing(("a", "1"))]
    got = EXTRACT[face](headers)
    assert got[0] == (b"a", b"1") and len(got) == len(headers)


@faces
def test_instantiate_request(face):
    protocol = object()
    log = []
    scope = ReadLoggingScope("/caf\xe9", "q=\xe9&a=1", [("host", "h"), ("Cookie", "a=b")], "PATCH", log)
    request = INSTANTIATE[face](scope, protocol)
    assert type(request) is Request
    assert log == ["path", "query_string", "headers", "method"]
    assert request.method == "PATCH"
    # the server decoded the target's bytes as UTF-8: the query's bytes are the client's again
    assert request.url.path == b"/caf\xc3\xa9" and request.url.query == b"q=\xc3\xa9&a=1"
    assert request._raw_headers == [(b"host", b"h"), (b"Cookie", b"a=b")]
    assert type(request.content) is RSGIContent and request.content.protocol is protocol
    assert request.scope is scope
    for empty in ("", None):
        r = INSTANTIATE[face](ReadLoggingScope(query_string=empty, method=None), protocol)
        assert r.url.query == b"" and r.url.value == b"/p" and r.method is None
    assert INSTANTIATE[face](ReadLoggingScope(query_string="q=\u65e5\u672c"), protocol).query == {"q": ["\u65e5\u672c"]}


@faces
def test_instantiate_failures(face):
    log = []
    with pytest.raises(TypeError, match="^Expected str, got bytes$"):
        INSTANTIATE[face](ReadLoggingScope(path=b"/p", log=log), None)
    assert log == ["path"]
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        INSTANTIATE[face](ReadLoggingScope(query_string=5), None)
    with pytest.raises(TypeError, match="^Expected str, got Text$"):
        INSTANTIATE[face](ReadLoggingScope(method=Text("GET")), None)
    with pytest.raises(TypeError):
        INSTANTIATE[face](ReadLoggingScope(path=None), None)
    with pytest.raises(UnicodeEncodeError):
        INSTANTIATE[face](ReadLoggingScope(path="/\ud800"), None)
    with pytest.raises(UnicodeEncodeError):
        INSTANTIATE[face](ReadLoggingScope(query_string="\udc80"), None)
    with pytest.raises(AttributeError):
        INSTANTIATE[face](object(), None)


# --- buffered answers -------------------------------------------------------------


class Protocol(RSGIProtocol):
    suspend = True  # every part sent waits once, as a server's send may


def answer(face, response):
    protocol = Protocol()
    result = SEND_SYNC[face](response, protocol)
    return result, protocol.calls


@faces
def test_prebuilt_header_lists(face):
    _, [(kind, status, headers, body)] = answer(face, Response(201, None, JSONContent({"a": 1})))
    assert (kind, status, headers, body) == ("bytes", 201, [("content-type", "application/json")], b'{"a": 1}')
    _, [(_, _, again, _)] = answer(face, Response(200, [], JSONContent([])))
    assert again is headers  # the shared list, not a copy
    _, [(kind, _, empty)] = answer(face, Response(204))
    assert kind == "empty" and empty == []
    c = Content(b"text/plain", b"")
    c.type = None
    _, [(_, _, no_type, _)] = answer(face, Response(200, None, c))
    assert no_type is empty
    _, [(_, _, html, _)] = answer(face, Response(200, None, TextContent("x")))
    assert html == [("content-type", "text/plain; charset=utf-8")]
    _, [(_, _, png, _)] = answer(face, Response(200, None, Content(b"image/png", b"\x89PNG")))
    assert png == [("content-type", "image/png")]
    _, [(_, _, png2, _)] = answer(face, Response(200, None, Content(b"image/png", b"\x89PNG")))
    assert png2 is not png
    _, [(_, _, json_charset, _)] = answer(face, Response(200, None, Content(b"application/json; charset=utf-8", b"1")))
    assert json_charset == [("content-type", "application/json; charset=utf-8")]


@faces
@pytest.mark.parametrize(
    "raw, content_type, expected",
    [
        ([(b"content-type", b"text/plain")], b"application/json", [("content-type", "text/plain")]),
        ([(b"vary", b"cookie")], b"text/html", [("vary", "cookie"), ("content-type", "text/html")]),
        (
            [(b"Content-Type", b"text/plain")],
            b"text/html",
            [("Content-Type", "text/plain"), ("content-type", "text/html")],
        ),
        ([("content-type", "a/b")], b"text/html", [("content-type", "a/b")]),
        ([(b"x-n", 5), (b"set-cookie", b"a=b")], None, [("x-n", "5"), ("set-cookie", "a=b")]),
        (
            [(b"a", b"1"), (b"a", b"2", b"ignored")],
            b"text/plain",
            [("a", "1"), ("a", "2"), ("content-type", "text/plain")],
        ),
    ],
)
def test_converted_header_lists(face, raw, content_type, expected):
    c = Content(b"x", b"body")
    c.type = content_type
    _, [(_, _, headers, _)] = answer(face, Response(200, raw, c))
    assert headers == expected
    assert all(type(n) is str and type(v) is str for n, v in headers)


@faces
def test_shared_strings_in_converted_lists(face):
    name = "x-given"
    _, [(_, _, headers, _)] = answer(
        face, Response(200, [(b"content-length", b"0"), (name, b"close")], TextContent("x"))
    )
    other = pm.send_rsgi_response_sync(Response(200, [(b"content-length", b"0")], None), Protocol())
    assert headers[1][0] is name
    _, [(_, _, again, _)] = answer(face, Response(200, [(b"content-length", b"0"), (b"a", b"close")], TextContent("")))
    assert headers[0][0] is again[0][0] and headers[0][1] is again[0][1] and headers[1][1] is again[1][1]
    assert other is None


@faces
def test_body_dispatch(face):
    class B(bytes):
        def __str__(self):
            return "wrong"

    cases = [
        (b"", ("bytes", b"")),
        ("text", ("str", "text")),
        (bytearray(b"ba"), ("bytes", b"ba")),
        (memoryview(b"mv"), ("bytes", b"mv")),
        (B(b"sub"), ("bytes", b"sub")),
        (42, ("str", "42")),
    ]
    for body, (kind, sent) in cases:
        c = Content(b"text/plain", b"")
        c.body = body
        result, [call] = answer(face, Response(200, None, c))
        assert result is None and call[0] == kind and call[3] == sent and type(call[3]) is type(sent)
    c = Content(b"text/plain", b"")
    c.body = None
    assert answer(face, Response(200, None, c)) == (None, [("empty", 200, [("content-type", "text/plain")])])


async def chunks_of(*items):
    for i in items:
        yield i


@faces
def test_streamed_content_returns_the_stream_coroutine(face):
    protocol = Protocol()
    result = SEND_SYNC[face](Response(200, None, StreamedContent(b"text/plain", lambda: chunks_of(b"a"))), protocol)
    assert protocol.calls == []
    assert result.__qualname__ == "_send_rsgi_stream"
    asyncio.run(result)
    assert protocol.calls == [("stream", 200, [("content-type", "text/plain")]), ("bytes", b"a")]
    original = pm._send_rsgi_stream
    pm._send_rsgi_stream = lambda *args: ("replaced", len(args))
    try:
        assert SEND_SYNC[face](Response(200, None, StreamedContent(b"a", lambda: chunks_of())), protocol) == (
            "replaced",
            4,
        )
        del pm._send_rsgi_stream
        with pytest.raises(NameError, match="_send_rsgi_stream"):
            SEND_SYNC[face](Response(200, None, StreamedContent(b"a", lambda: chunks_of())), protocol)
    finally:
        pm._send_rsgi_stream = original


@faces
def test_buffered_failures(face):
    c = Content(b"a", b"b")
    c.type = bytearray(b"text/plain")
    with pytest.raises(TypeError, match="unhashable"):
        SEND_SYNC[face](Response(200, None, c), Protocol())
    protocol = Protocol()
    with pytest.raises(IndexError):
        SEND_SYNC[face](Response(200, [(b"only",)], None), protocol)
    assert protocol.calls == []
    with pytest.raises(AttributeError):
        SEND_SYNC[face](Response(200), object())
    with pytest.raises(TypeError, match="Argument 'response' has incorrect type"):
        SEND_SYNC[face](None, protocol)
    released = memoryview(b"x")
    released.release()
    c = Content(b"a", b"b")
    c.body = released
    with pytest.raises(ValueError):
        SEND_SYNC[face](Response(200, None, c), protocol)
    assert protocol.calls == []


# --- streamed answers -------------------------------------------------------------


def stream_response(*chunks, status=200):
    return Response(status, None, StreamedContent(b"text/plain", lambda: chunks_of(*chunks)))


def test_buffered_answer_never_suspends():
    protocol = Protocol()
    coro = pm.send_rsgi_response(Response(200, None, TextContent("x")), protocol)
    with pytest.raises(StopIteration):
        coro.send(None)
    assert [c[0] for c in protocol.calls] == ["bytes"]


@pytest.mark.parametrize("awaitable_stream", [False, True], ids=["transport", "awaitable"])
def test_stream_chunk_table(awaitable_stream):
    class B(bytes):
        pass

    protocol = Protocol(awaitable_stream=awaitable_stream)
    chunks = [b"a", "b", b"", "", None, 0, bytearray(b"c"), memoryview(b"d"), 7, True, B(b"e")]
    asyncio.run(pm.send_rsgi_response(stream_response(*chunks, status=206), protocol))
    assert protocol.calls == [
        ("stream", 206, [("content-type", "text/plain")]),
        ("bytes", b"a"),
        ("str", "b"),
        ("bytes", b"c"),
        ("bytes", b"d"),
        ("str", "7"),
        ("str", "True"),
        ("bytes", b"e"),
    ]
    assert all(type(c[1]) in (bytes, str) for c in protocol.calls[1:])


def test_stream_headers_are_the_chosen_list():
    protocol = Protocol()
    asyncio.run(
        pm.send_rsgi_response(Response(200, None, StreamedContent(b"application/json", lambda: chunks_of())), protocol)
    )
    _, [(_, _, prebuilt, _)] = answer("python", Response(200, None, JSONContent(1)))
    assert protocol.calls == [("stream", 200, prebuilt)] and protocol.calls[0][2] is prebuilt


def test_stream_failures():
    protocol = Protocol(fail_on=b"b")
    asked = []

    async def provider():
        for c in (b"a", b"b", b"c"):
            asked.append(c)
            yield c

    with pytest.raises(BrokenPipeError):
        asyncio.run(pm.send_rsgi_response(Response(200, None, StreamedContent(b"x", provider)), protocol))
    assert asked == [b"a", b"b"] and protocol.calls[1:] == [("bytes", b"a")]

    direct = Protocol()
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'stream'"):
        asyncio.run(pm._send_rsgi_stream(Response(200), direct, None, None))
    assert direct.calls == [("stream", 200, None)]

    class NoStream:
        def response_stream(self, status, headers):
            raise OSError("refused")

    with pytest.raises(OSError, match="refused"):
        asyncio.run(pm.send_rsgi_response(stream_response(b"a"), NoStream()))

    class BadTransport(Protocol):
        def response_stream(self, status, headers):
            class T:
                def send_bytes(self, data):
                    return 5

            return T()

    with pytest.raises(TypeError, match="^object int can't be used in 'await' expression$"):
        asyncio.run(pm.send_rsgi_response(stream_response(b"a"), BadTransport()))


def test_cancellation_mid_stream():
    async def main():
        gate = asyncio.Event()
        finalized = []

        async def provider():
            try:
                for i in range(100):
                    if i == 2:
                        gate.set()
                        await asyncio.sleep(10)
                    yield b"x"
            finally:
                finalized.append(True)

        task = asyncio.create_task(
            pm.send_rsgi_response(Response(200, None, StreamedContent(b"x", provider)), Protocol())
        )
        await gate.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return finalized

    assert asyncio.run(main()) == [True]


@faces
def test_hostile_raw_headers(face):
    """Header objects that misbehave while they are converted: an exception,
    never a crash, and no protocol call."""
    response = Response(200, None, TextContent("x"))

    class Clearing(tuple):
        def __getitem__(self, i):
            response._raw_headers.clear()
            return super().__getitem__(i)

    response._raw_headers = [Clearing((b"a", b"1")), (b"b", b"2")]
    _, [(_, _, headers, _)] = answer(face, response)
    assert headers == [("a", "1"), ("content-type", "text/plain; charset=utf-8")]

    class BadEq:
        def __eq__(self, other):
            raise ArithmeticError("eq")

        __hash__ = object.__hash__

        def __str__(self):
            return "name"

    class BadHash(bytes):
        def __hash__(self):
            raise LookupError("hash")

    class BadStr:
        def __str__(self):
            raise OSError("str")

    for raw, content, error in [
        ([(BadEq(), b"v")], None, ArithmeticError),
        ([(b"a", BadStr())], None, OSError),
        (None, Content(b"x", b"y"), LookupError),
    ]:
        if content is not None:
            content.type = BadHash(b"text/plain")
        protocol = Protocol()
        with pytest.raises(error):
            SEND_SYNC[face](Response(200, raw, content), protocol)
        assert protocol.calls == []


class ServerPanic(BaseException):
    """Like the exception a server written in another language raises for a
    header it refuses: not an Exception."""


def test_server_refusals_propagate():
    class Refusing(Protocol):
        def response_bytes(self, status, headers, body):
            raise ServerPanic("header value")

        def response_stream(self, status, headers):
            raise ServerPanic("header value")

    for response in (Response(200, [(b"x-refused", b"by the server")], TextContent("x")), stream_response(b"a")):
        coro = pm.send_rsgi_response(response, Refusing())
        with pytest.raises(ServerPanic):
            coro.send(None)
        assert coro.cr_frame is None  # finished, nothing held


@faces
@pytest.mark.parametrize(
    "raw, content_type, error",
    [
        ([(b"x-user", b"a\r\nInjected: 1")], None, "invalid value of header b'x-user'"),
        ([(b"x-user", b"a\nb")], None, "invalid value of header b'x-user'"),
        ([(b"x-user", b"a\0b")], None, "invalid value of header b'x-user'"),
        ([(b"x user", b"1")], None, "invalid header name b'x user'"),
        ([(b"", b"1")], None, "invalid header name b''"),
        ([(b"x-\xe9", b"1")], None, "invalid header name b'x-\\xe9'"),
        ([("x-str", "a\rb")], None, "invalid value of header b'x-str'"),
        ([("Bad Name", "1")], None, "invalid header name b'Bad Name'"),
        ([(bytearray(b"x-ba"), bytearray(b"a\nb"))], None, "invalid value of header b'x-ba'"),
        ([(b"x-user", b"caf\xe9")], None, "the value of header b'x-user' is neither ASCII nor UTF-8"),
        ([(b"vary", b"cookie")], b"text/html\r\nx: 1", "invalid value of header b'content-type'"),
        (None, b"text/html\r\nx: 1", "invalid value of header b'content-type'"),
        (None, b"text/\xff", "the value of header b'content-type' is neither ASCII nor UTF-8"),
    ],
)
def test_invalid_headers_are_refused_before_the_protocol_call(face, raw, content_type, error):
    content = Content(b"x", b"body")
    content.type = content_type  # set after construction: nothing checked it yet
    protocol = Protocol()
    with pytest.raises(ValueError, match=re.escape(error)):
        SEND_SYNC[face](Response(200, raw, content), protocol)
    assert protocol.calls == []


@faces
def test_non_ascii_header_bytes_reach_the_server_unchanged(face):
    """The server writes header text as UTF-8: UTF-8 bytes become the text they
    encode, so the very same bytes go out; ASCII is converted as before."""
    raw = [(b"x-utf8", "caf\xe9".encode()), (b"x-view", memoryview("\u20ac".encode())), (b"x-text", "caf\xe9")]
    content = Content(b"x", b"body")
    content.type = "text/plain; name=\xe9".encode()
    _, [(_, _, headers, _)] = answer(face, Response(200, raw, content))
    assert headers == [
        ("x-utf8", "caf\xe9"),
        ("x-view", "\u20ac"),
        ("x-text", "caf\xe9"),
        ("content-type", "text/plain; name=\xe9"),
    ]
    assert [v.encode() for _, v in headers[:2]] == ["caf\xe9".encode(), "\u20ac".encode()]
    _, [(_, _, shortcut, _)] = answer(face, Response(200, None, content))
    assert shortcut == [("content-type", "text/plain; name=\xe9")]
