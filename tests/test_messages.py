import asyncio
import ctypes

import pytest

import morrowfen.messages as mm
from morrowfen.contents import Content, JSONContent, RSGIContent, StreamedContent, TextContent
from morrowfen.exceptions import BadRequestFormat
from morrowfen.messages import Message, Request, Response
from morrowfen.url import URL

_api = ctypes.pythonapi
_api.PyCapsule_GetPointer.restype = ctypes.c_void_p
_api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
WORD = ctypes.sizeof(ctypes.c_void_p)
P = ctypes.py_object

# Message's C-level table, in order.
ENTRIES = [
    "get_headers",
    "get_first_header",
    "get_single_header",
    "remove_header",
    "_has_header",
    "has_header",
    "_add_header",
    "_add_header_if_missing",
    "add_header",
    "set_header",
    "content_type",
    "remove_headers",
    "get_headers_tuples",
    "init_prop",
    "with_content",
    "has_body",
    "declares_content_type",
    "declares_json",
    "declares_xml",
]


def table_entry(obj, name, restype, *argtypes):
    table = ctypes.c_void_p.from_address(id(obj) + 2 * WORD).value
    address = ctypes.c_void_p.from_address(table + ENTRIES.index(name) * WORD).value
    return ctypes.PYFUNCTYPE(restype, P, *argtypes)(address)


def c_function(name, signature, restype, *argtypes):
    address = _api.PyCapsule_GetPointer(mm.__pyx_capi__[name], signature.encode())
    return ctypes.PYFUNCTYPE(restype, *argtypes)(address)


acquire_request = c_function(
    "acquire_request",
    "struct morrowfen_Request *(PyObject *, PyObject *, PyObject *, PyObject *, PyObject *, int)",
    P,
    P,
    P,
    P,
    P,
    P,
    ctypes.c_int,
)
release_request = c_function("release_request", "void (struct morrowfen_Request *, int)", None, P, ctypes.c_int)


def run(coro):
    return asyncio.run(coro)


def response(*headers):
    return Response(200, list(headers))


# --- Response status ------------------------------------------------------------------


@pytest.mark.parametrize("status", [100, 200, 404, 999])
def test_valid_status(status):
    r = Response(status)
    r.status = status
    assert r.status == status and (r._raw_headers, r.content) == (None, None)


@pytest.mark.parametrize(
    "status, error",
    [
        (99, ValueError),
        (1000, ValueError),
        (-200, ValueError),
        (0, ValueError),
        (2**40, OverflowError),
        ("200", TypeError),
        (200.0, TypeError),
    ],
)
def test_invalid_status_is_refused(status, error):
    with pytest.raises(error):
        Response(status)
    r = Response(201)
    with pytest.raises(error):
        r.status = status
    assert r.status == 201


# --- header operations -------------------------------------------------------------------


def test_header_lookups_ignore_case():
    r = response((b"Content-Type", b"text/plain"), (b"X-A", b"1"), (b"x-a", b"2"))
    assert r.get_headers(b"x-A") == [b"1", b"2"]
    assert r.get_headers("X-A") == [b"1", b"2"]
    assert r.get_first_header(b"CONTENT-TYPE") == b"text/plain"
    assert r.get_first_header(b"missing") is None
    assert r.get_headers_tuples(b"X-a") == [(b"X-A", b"1"), (b"x-a", b"2")]
    assert r.has_header(b"x-a") and r._has_header(b"X-A") and not r.has_header(b"x-b")
    assert r.get_single_header(b"content-type") == b"text/plain"
    for name in (b"x-a", b"missing"):
        with pytest.raises(ValueError):
            r.get_single_header(name)


def test_header_changes():
    r = response((b"X-A", b"1"), (b"B", b"b"), (b"x-a", b"2"))
    r.set_header(b"x-A", b"3")
    assert r._raw_headers == [(b"x-A", b"3"), (b"B", b"b")]  # takes the first one's place
    r.add_header(b"x-a", b"4")
    assert r._add_header_if_missing(b"X-A", b"5") is False
    assert r._add_header_if_missing(b"C", b"c") is True
    assert r.get_headers(b"x-a") == [b"3", b"4"]
    r.remove_header(b"X-A")
    r.remove_headers([b"b", "c"])
    assert r._raw_headers == []


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m._add_header(b"a", b"1"),
        lambda m: m.add_header(b"a", b"1"),
        lambda m: m.set_header(b"a", b"1"),
        lambda m: m._add_header_if_missing(b"a", b"1"),
    ],
)
def test_adding_to_a_message_without_headers_creates_the_list(call):
    r = Response(204)
    r._raw_headers = None
    call(r)
    assert r._raw_headers == [(b"a", b"1")]


@pytest.mark.parametrize(
    "name, value, error",
    [
        (b"x", b"a\r\nSet-Cookie: evil=1", ValueError),
        (b"x", b"a\nb", ValueError),
        (b"x", b"a\x00", ValueError),
        (b"x: y", b"v", ValueError),
        (b"", b"v", ValueError),
        ("x", b"v", TypeError),
        (b"x", "v", TypeError),
    ],
)
def test_headers_that_would_corrupt_the_response_are_refused(name, value, error):
    r = Response(200)
    for method in (r._add_header, r.add_header, r.set_header, r._add_header_if_missing):
        with pytest.raises(error):
            method(name, value)
    assert r._raw_headers is None
    # a list given whole is kept as it is: the writers convert what it holds
    given = [(name, value)]
    assert Response(200, given)._raw_headers is given


def test_reads_tolerate_no_headers_and_refuse_a_wrong_list():
    r = Response(200)
    assert (r.get_headers(b"a"), r.get_first_header(b"a"), r.has_header(b"a"), r.content_type()) == (
        [],
        None,
        False,
        None,
    )
    r._raw_headers = "oops"
    with pytest.raises(TypeError):
        r.get_headers(b"a")
    with pytest.raises(TypeError):
        r.add_header(b"a", b"b")


# --- content ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "headers, content, media, json_, xml",
    [
        ([(b"content-type", b"application/json; charset=utf-8")], None, b"application/json", True, False),
        ([], JSONContent({}), b"application/json", True, False),
        ([(b"Content-Type", b"application/problem+json")], TextContent("x"), b"application/problem+json", True, False),
        ([(b"content-type", b"Text/XML")], None, b"text/xml", False, True),
        ([], Content(b"application/atom+xml", b""), b"application/atom+xml", False, True),
        ([], None, None, False, False),
    ],
)
def test_content_type_and_declarations(headers, content, media, json_, xml):
    r = Response(200, headers, content)
    assert (r.content_type() or b"").split(b";")[0].lower() == (media or b"")
    assert (r.declares_json(), r.declares_xml()) == (json_, xml)
    if media:
        assert r.declares_content_type(media.upper() + b"; q=1")
    assert not r.declares_content_type(b"image/png")


@pytest.mark.parametrize(
    "content, expected",
    [
        (None, False),
        (Content(b"a/b", b""), False),
        (Content(b"a/b", b"x"), True),
        (StreamedContent(b"a/b", list), True),
        (RSGIContent(None), True),
    ],
)
def test_has_body(content, expected):
    assert Response(200, None, content).has_body() is expected


def test_with_content():
    r = Response(200)
    c = TextContent("x")
    assert r.with_content(c) is r and r.content is c
    with pytest.raises(TypeError):
        r.with_content(b"raw")
    with pytest.raises(TypeError):
        Response(200, None, "text")


# --- Request ---------------------------------------------------------------------------------


def test_request_url_query_and_cookies():
    headers = [(b"Cookie", b"sid=1; theme=%22dark%22; =skip; flag"), (b"cookie", b"sid=2; x=%C3%A9")]
    q = Request("GET", b"/p/a?a=1&b=x+y&a=%C3%A9&empty", headers)
    assert isinstance(q.url, URL) and q.url.path == b"/p/a" and q._raw_headers is headers
    assert q.query == {"a": ["1", "é"], "b": ["x y"], "empty": [""]}
    assert q.cookies == {"sid": "1", "theme": '"dark"', "x": "é"}
    assert (q.method, q.scope, q.content) == ("GET", None, None)


def test_init_prop_recomputes_query_and_cookies():
    q = Request(None, b"/?a=1", [(b"cookie", b"a=1")])
    assert q.query == {"a": ["1"]} and q.cookies == {"a": "1"}
    q.url = URL(b"/?b=2")
    q._raw_headers = [(b"cookie", b"b=2")]
    assert q.query == {"a": ["1"]}  # cached until init_prop
    q.init_prop()
    assert q.query == {"b": ["2"]} and q.cookies == {"b": "2"}
    q.query = {"set": ["by hand"]}
    assert q.query == {"set": ["by hand"]}


@pytest.mark.parametrize(
    "args, error", [(("GET", "/str", None), TypeError), ((1, b"/", None), TypeError), (("GET", b"/", ()), TypeError)]
)
def test_request_argument_types(args, error):
    with pytest.raises(error):
        Request(*args)


async def _chunks():
    yield b'{"a": '
    yield b"1}"


@pytest.mark.parametrize(
    "content, body",
    [
        (None, None),
        (JSONContent({"a": 1}), b'{"a": 1}'),
        (StreamedContent(b"application/json", _chunks), b'{"a": 1}'),
    ],
)
def test_request_body_readers(content, body):
    q = Request("POST", b"/", None)
    q.content = content
    assert run(q.read()) == body
    assert run(q.json()) == (None if body is None else {"a": 1})

    async def chunks():
        return [c async for c in q.stream()]

    assert b"".join(run(chunks())) == (body or b"")


def test_request_json_refuses_a_malformed_body():
    q = Request("POST", b"/", None)
    q.content = Content(b"application/json", b"{nope")
    with pytest.raises(BadRequestFormat) as info:
        run(q.json())
    assert info.value.status == 400 and isinstance(info.value.__cause__, ValueError)


# --- C functions -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "path, query, url",
    [(b"/a/b", b"", b"/a/b"), (b"/a", b"x=1&y", b"/a?x=1&y"), ("/é".encode(), b"q=\xe9", "/é".encode() + b"?q=\xe9")],
)
def test_acquire_request(path, query, url):
    headers = [(b"host", b"example")]
    scope = object()
    r = acquire_request("PUT", path, query, headers, scope, 0)
    assert type(r) is Request
    assert (r.method, r.url.value, r._raw_headers, r.scope, r.content) == ("PUT", url, headers, scope, None)
    assert r._raw_headers is headers
    r.content = RSGIContent(None)
    release_request(r, 0)
    assert (r.content, r.scope) == (None, None)


def test_acquire_request_checks_its_arguments():
    with pytest.raises(TypeError):
        acquire_request("GET", "/", b"", [], None, 0)
    with pytest.raises(TypeError):
        acquire_request("GET", b"/", b"", (), None, 0)


# --- the method table ---------------------------------------------------------------------------


def test_table_entries_work_on_every_message_type():
    for message in (Response(200), Request("GET", b"/", None), Message()):
        add = table_entry(message, "_add_header", None, P, P)
        add(message, b"a", b"1")
        with pytest.raises(ValueError):
            add(message, b"a", b"bad\r\n")
        assert table_entry(message, "get_headers", P, P)(message, b"A") == [b"1"]
        assert table_entry(message, "has_header", ctypes.c_int, P)(message, b"a") == 1
        assert table_entry(message, "set_header", ctypes.c_int, P, P)(message, b"a", b"2") == 0
        assert table_entry(message, "content_type", P)(message) is None
        assert table_entry(message, "with_content", P, P)(message, JSONContent(1)) is message
        assert table_entry(message, "declares_json", ctypes.c_int)(message) == 1


def test_table_init_prop_is_per_type():
    q = Request(None, b"/?a=1", None)
    assert q.query == {"a": ["1"]}
    q.url = URL(b"/?b=1")
    table_entry(Response(200), "init_prop", ctypes.c_int)(q)  # Message's entry leaves a request alone
    assert q.query == {"a": ["1"]}
    table_entry(q, "init_prop", ctypes.c_int)(q)
    assert q.query == {"b": ["1"]}


class Recording(Response):
    def __init__(self):
        super().__init__(200)
        self.seen = []

    def _add_header(self, name, value):
        self.seen.append(name)
        super()._add_header(name, value.upper())

    def has_header(self, name):
        return name == b"always"


def test_python_overrides_run_through_the_table():
    r = Recording()
    table_entry(r, "_add_header", None, P, P)(r, b"x", b"v")
    assert r.seen == [b"x"] and r._raw_headers == [(b"x", b"V")]
    has_header = table_entry(r, "has_header", ctypes.c_int, P)
    assert (has_header(r, b"always"), has_header(r, b"x")) == (1, 0)
    # entries that Python does not replace run the native code
    assert table_entry(r, "get_headers", P, P)(r, b"X") == [b"V"]


def test_subclasses_are_constructible():
    class MyRequest(Request):
        pass

    class MyMessage(Message):
        def __init__(self):
            super().__init__([(b"a", b"b")])

    assert MyRequest("GET", b"/x", None).url.path == b"/x"
    assert MyMessage().get_headers(b"a") == [b"b"]
