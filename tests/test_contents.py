import asyncio
import ctypes
import email.parser
import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

import morrowfen.contents as mc
import morrowfen.exceptions as mx
from fakes import NullTransport, RSGIProtocol, receiver
from morrowfen.contents import (
    ASGIContent,
    Content,
    FileBuffer,
    FormContent,
    FormPart,
    HTMLContent,
    JSONContent,
    MultiPartFormData,
    RSGIContent,
    ServerSentEvent,
    StreamedContent,
    StreamedFormPart,
    TextContent,
    TextServerSentEvent,
)

_api = ctypes.pythonapi
_api.PyCapsule_GetPointer.restype = ctypes.c_void_p
_api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_api.PyCapsule_GetName.restype = ctypes.c_char_p
_api.PyCapsule_GetName.argtypes = [ctypes.py_object]
WORD = ctypes.sizeof(ctypes.c_void_p)


def table_of(cls):
    return _api.PyCapsule_GetPointer(cls.__dict__["__pyx_vtable__"], None)


def instance_table(obj):
    # The table pointer follows the object header (refcount, type).
    return ctypes.c_void_p.from_address(id(obj) + 2 * WORD).value


def entry(table, index, restype, *argtypes):
    address = ctypes.c_void_p.from_address(table + index * WORD).value
    return ctypes.PYFUNCTYPE(restype, *argtypes)(address)


def run(coro):
    return asyncio.run(coro)


async def collect(aiterable):
    return [item async for item in aiterable]


# --- Content ------------------------------------------------------------------


def test_content_fields_and_parts():
    c = Content(b"text/plain", b"hello")
    assert (c.type, c.body, c.length) == (b"text/plain", b"hello", 5)
    assert run(collect(c.get_parts())) == [b"hello"]
    assert bool(c) and not hasattr(c, "__len__")


@pytest.mark.parametrize("data, length", [(b"", 0), (bytearray(b"abc"), 3), (memoryview(b"\x00" * 7), 7)])
def test_content_length_counts_bytes(data, length):
    assert Content(b"x/y", data).length == length
    assert Content(b"x/y", data)  # an empty body is still a true content


@pytest.mark.parametrize("bad", [b"text/plain\r\nX-Injected: 1", b"a\nb", b"a\x00b"])
def test_content_type_cannot_break_the_header_line(bad):
    with pytest.raises(ValueError):
        Content(bad, b"")


@pytest.mark.parametrize("args", [("text/plain", b""), (b"text/plain", "text"), (b"x", None)])
def test_content_argument_types(args):
    with pytest.raises(TypeError):
        Content(*args)


def test_fields_are_writable():
    c = Content(b"a/b", b"x")
    c.length = -1
    c.body = bytearray(b"x")
    c.type = b""
    del c.body
    assert (c.length, c.body, c.type) == (-1, None, b"")
    assert run(collect(c.get_parts())) == []  # no body: no part


@pytest.mark.parametrize("value, error", [("1", TypeError), (1.5, TypeError), (2**63, OverflowError)])
def test_length_refuses_non_integers(value, error):
    c = Content(b"a/b", b"x")
    with pytest.raises(error):
        c.length = value
    with pytest.raises(TypeError):
        del c.length
    assert c.length == 1


# --- streamed and server-read bodies --------------------------------------------


def test_streamed_content_uses_its_provider():
    async def provider():
        yield b"a"
        yield b"b"

    s = StreamedContent(b"text/plain", provider)
    assert (s.body, s.length) == (None, -1)
    assert run(collect(s.get_parts())) == [b"a", b"b"]
    assert run(collect(s.stream())) == [b"a", b"b"]
    assert StreamedContent(b"x/y", provider, 10).length == 10
    with pytest.raises(TypeError):
        StreamedContent(b"x/y", b"not callable")


def test_asgi_read_joins_request_messages_and_caches():
    receive = receiver(
        {"type": "http.request", "body": b"ab", "more_body": True},
        {"type": "lifespan.whatever"},
        {"type": "http.request", "body": b"", "more_body": True},
        {"type": "http.request", "body": b"cd"},
    )
    c = ASGIContent(receive)
    assert (c.type, c.body, c.length) == (None, None, -1)
    assert run(c.read()) == b"abcd"
    assert (c.body, c.length) == (b"abcd", 4)
    assert run(c.read()) == b"abcd"  # the server is not asked again
    assert run(collect(c.stream())) == [b"abcd"]


def test_asgi_stream_skips_empty_bodies():
    c = ASGIContent(
        receiver(
            {"type": "http.request", "body": b"a", "more_body": True},
            {"type": "http.request", "more_body": True},
            {"type": "http.request", "body": b"b", "more_body": False},
        )
    )
    assert run(collect(c.stream())) == [b"a", b"b"]


@pytest.mark.parametrize("method", ["read", "stream", "get_parts"])
def test_asgi_disconnect_raises_message_aborted(method):
    c = ASGIContent(receiver({"type": "http.request", "body": b"a", "more_body": True}, {"type": "http.disconnect"}))
    result = getattr(c, method)()
    with pytest.raises(mx.MessageAborted):
        run(result if method == "read" else collect(result))


def test_rsgi_content_reads_the_protocol():
    p = RSGIProtocol(b"x", b"y")
    c = RSGIContent(p)
    assert (c.type, c.body, c.length, c.protocol) == (None, None, -1, p)
    assert run(collect(c.stream())) == [b"x", b"y"]
    p = RSGIProtocol(b"x", b"y")
    c = RSGIContent(p)
    assert run(c.read()) == b"xy" and run(c.read()) == b"xy"
    assert p.reads == 1 and c.length == 2
    assert run(collect(c.get_parts())) == [b"xy"]


class Gone(Exception):
    pass


async def failing_parts():
    yield b"a"
    raise Gone


@pytest.mark.parametrize(
    "relay", ["Request.read", "Request.stream", "RSGIContent.stream", "send_asgi_response", "send_rsgi_response"]
)
def test_an_error_of_the_parts_ends_their_relay(relay):
    from morrowfen.messages import Request, Response
    from morrowfen.penmoth import send_asgi_response, send_rsgi_response

    class Streaming:
        def __aiter__(self):
            return failing_parts()

        def response_stream(self, status, headers):
            return NullTransport()

    async def send(message):
        pass

    request = Request("GET", b"/", None)
    request.content = StreamedContent(b"x", failing_parts)
    response = Response(200, None, StreamedContent(b"x", failing_parts))
    calls = {
        "Request.read": request.read,
        "Request.stream": lambda: collect(request.stream()),
        "RSGIContent.stream": lambda: collect(RSGIContent(Streaming()).stream()),
        "send_asgi_response": lambda: send_asgi_response(response, send),
        "send_rsgi_response": lambda: send_rsgi_response(response, Streaming()),
    }
    with pytest.raises(Gone):
        run(calls[relay]())


# --- text, HTML, JSON, forms ------------------------------------------------------


@pytest.mark.parametrize(
    "cls, media_type", [(TextContent, b"text/plain; charset=utf-8"), (HTMLContent, b"text/html; charset=utf-8")]
)
def test_text_contents(cls, media_type):
    c = cls("héllo <b>")
    assert (c.type, c.body, c.length) == (media_type, "héllo <b>".encode(), 10)
    assert isinstance(c, Content)
    with pytest.raises(TypeError):
        cls(b"bytes")
    with pytest.raises(UnicodeEncodeError):
        cls("\ud800")


def test_json_content():
    c = JSONContent({"a": [1, "é"]})
    assert c.type == b"application/json"
    assert json.loads(c.body) == {"a": [1, "é"]} and c.length == len(c.body)
    assert JSONContent([1], dumps=lambda d: b"[1]").body == b"[1]"
    assert JSONContent(1, lambda d: "ü").body == "ü".encode()
    with pytest.raises(TypeError):
        JSONContent(1, dumps=lambda d: 1)
    with pytest.raises(TypeError):
        JSONContent(object())


@pytest.mark.parametrize(
    "data, body",
    [
        ({"a": "1", "b": "x y"}, b"a=1&b=x+y"),
        ([("k", "v&w=z"), ("k", "2")], b"k=v%26w%3Dz&k=2"),
        ({"é": "ü", "n": 3}, b"%C3%A9=%C3%BC&n=3"),
        ({}, b""),
    ],
)
def test_form_content(data, body):
    c = FormContent(data)
    assert (c.type, c.body, c.length) == (b"application/x-www-form-urlencoded", body, len(body))


chars = st.characters(blacklist_categories=("Cs",))
names = st.text(chars, min_size=1, max_size=8)
texts = st.text(chars, max_size=12)


@given(st.lists(st.tuples(names, texts), max_size=6))
def test_form_encoding_round_trips(pairs):
    parsed = mc.parse_www_form_urlencoded(FormContent(pairs).body.decode())
    expected = {}
    for name, value in pairs:
        if name in expected:
            old = expected[name]
            expected[name] = (old if isinstance(old, list) else [old]) + [value]
        else:
            expected[name] = value
    assert parsed == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        ("a=1&b=2", {"a": "1", "b": "2"}),
        ("a=1&a=2&a=3", {"a": ["1", "2", "3"]}),
        ("flag&&x=", {"flag": "", "x": ""}),
        ("q=a+b%2Bc%zz%4", {"q": "a b+c%zz%4"}),
        ("n=%C3%A9%FF", {"n": "é\ufffd"}),
        ("", {}),
    ],
)
def test_parse_www_form_urlencoded(text, expected):
    assert mc.parse_www_form_urlencoded(text) == expected
    capsule = mc.__pyx_capi__["parse_www_form_urlencoded"]
    assert _api.PyCapsule_GetName(capsule) == b"PyObject *(PyObject *)"
    c_parse = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)(
        _api.PyCapsule_GetPointer(capsule, b"PyObject *(PyObject *)")
    )
    assert c_parse(text) == expected
    with pytest.raises(TypeError):
        c_parse(b"a=1")


# --- multipart ----------------------------------------------------------------------


def test_multipart_body_parses_back():
    parts = [FormPart(b"title", b"hello"), FormPart(b'we"ird\r\nname', b"--x\r\n\r\nbinary\x00\xff")]
    m = MultiPartFormData(parts)
    assert m.type == b"multipart/form-data; boundary=" + m.boundary and len(m.boundary) <= 70
    assert m.length == len(m.body) and m.parts == parts
    message = email.parser.BytesParser().parsebytes(b"Content-Type: " + m.type + b"\r\n\r\n" + m.body)
    got = [
        (p.get_param("name", header="content-disposition"), p.get_payload(decode=True)) for p in message.get_payload()
    ]
    assert got == [("title", b"hello"), ("we%22ird%0D%0Aname", b"--x\r\n\r\nbinary\x00\xff")]


def test_form_part_types():
    assert (FileBuffer("a.txt", b"x").name, StreamedFormPart(b"f", list).name) == ("a.txt", b"f")
    with pytest.raises(TypeError):
        MultiPartFormData([FileBuffer("a.txt", b"x")])
    with pytest.raises(TypeError):
        FormPart("name", b"x")


# --- server-sent events ----------------------------------------------------------------


def test_server_sent_event_fields_and_data():
    e = ServerSentEvent({"a": [1, "é"], "b": None}, event="tick", id="7", retry=500, comment="c")
    assert (e.event, e.id, e.retry, e.comment) == ("tick", "7", 500, "c")
    assert e.write_data() == '{"a":[1,"\\u00e9"],"b":null}'
    assert ServerSentEvent("x").retry == -1
    with pytest.raises(OverflowError):
        e.retry = 2**31
    assert ServerSentEvent(1, event=1).event == 1  # kept as given; the event writer refuses it


@pytest.mark.parametrize("data", ["plain", "two\nlines", "crlf\r\nend\r", ""])
def test_text_event_data_is_the_text_itself(data):
    assert TextServerSentEvent(data).write_data() is data


class Shouting(ServerSentEvent):
    def write_data(self):
        return super().write_data().upper()


class Quiet(TextServerSentEvent):
    pass


@pytest.mark.parametrize(
    "event, expected",
    [
        (ServerSentEvent(["a"]), '["a"]'),
        (TextServerSentEvent("a\nb"), "a\nb"),
        (Shouting(["a"]), '["A"]'),
        (Quiet("q"), "q"),
    ],
)
def test_write_data_through_the_method_table(event, expected):
    write_data = entry(instance_table(event), 0, ctypes.py_object, ctypes.py_object)
    assert write_data(event) == expected


def test_python_subclass_carries_the_native_table():
    assert instance_table(Shouting(1)) == table_of(ServerSentEvent)
    assert instance_table(Quiet("x")) == table_of(TextServerSentEvent) != table_of(ServerSentEvent)


def test_get_parts_override_runs_through_the_table():
    class Chunky(Content):
        def get_parts(self):
            return collect_aiter([b"a", b"b"])

    async def collect_aiter(items):
        for item in items:
            yield item

    c = Chunky(b"x/y", b"ignored")
    get_parts = entry(instance_table(c), 0, ctypes.py_object, ctypes.py_object)
    assert run(collect(get_parts(c))) == [b"a", b"b"]
    assert run(collect(get_parts(Content(b"x/y", b"z")))) == [b"z"]


@pytest.mark.parametrize(
    "cls, base",
    [
        (Content, Content),
        (TextContent, Content),
        (HTMLContent, Content),
        (JSONContent, Content),
        (FormContent, Content),
        (MultiPartFormData, Content),
        (StreamedContent, StreamedContent),
        (ASGIContent, ASGIContent),
        (RSGIContent, RSGIContent),
        (ServerSentEvent, ServerSentEvent),
        (TextServerSentEvent, TextServerSentEvent),
    ],
)
def test_table_exports(cls, base):
    assert _api.PyCapsule_GetName(cls.__dict__["__pyx_vtable__"]) is None
    assert table_of(cls) == table_of(base)


def test_streaming_tables_start_with_content_entries():
    async def provider():
        yield b"p"

    s = StreamedContent(b"x/y", provider)
    get_parts = entry(table_of(StreamedContent), 0, ctypes.py_object, ctypes.py_object)
    stream = entry(table_of(StreamedContent), 1, ctypes.py_object, ctypes.py_object)
    assert run(collect(get_parts(s))) == run(collect(stream(s))) == [b"p"]
    read = entry(table_of(RSGIContent), 2, ctypes.py_object, ctypes.py_object)
    assert run(read(RSGIContent(RSGIProtocol(b"q")))) == b"q"
