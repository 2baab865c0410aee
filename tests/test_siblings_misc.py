import ctypes
import gc
import os
import pickle
import subprocess
import sys
import weakref

import pytest

import morrowfen.contents
import morrowfen.cookies
import morrowfen.exceptions as mx
import morrowfen.headers
import morrowfen.messages
import morrowfen.url
from conftest import run_python
from morrowfen.headers import Header, Headers
from morrowfen.url import URL

_api = ctypes.pythonapi
_api.PyCapsule_GetPointer.restype = ctypes.c_void_p
_api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
WORD = ctypes.sizeof(ctypes.c_void_p)
P = ctypes.py_object

SIBLINGS = [
    morrowfen.contents,
    morrowfen.cookies,
    morrowfen.exceptions,
    morrowfen.headers,
    morrowfen.messages,
    morrowfen.url,
]


def table_entry(obj, index, restype, *argtypes):
    table = ctypes.c_void_p.from_address(id(obj) + 2 * WORD).value
    return ctypes.PYFUNCTYPE(restype, *argtypes)(ctypes.c_void_p.from_address(table + index * WORD).value)


def test_modules_import_cleanly_with_warnings_as_errors():
    names = ", ".join(m.__name__ for m in SIBLINGS)
    subprocess.run([sys.executable, "-W", "error", "-c", f"import {names}"], check=True, timeout=60)


TYPES = [(m, t) for m in SIBLINGS for t in vars(m).values() if isinstance(t, type)]


@pytest.mark.parametrize("module, cls", TYPES, ids=[t.__name__ for _, t in TYPES])
def test_types_are_named_and_subclassable(module, cls):
    assert f"{cls.__module__}.{cls.__qualname__}" == f"{module.__name__}.{cls.__name__}"
    sub = type("Sub", (cls,), {"extra": 1})
    assert sub.__basicsize__ >= cls.__basicsize__ and sub.extra == 1


@pytest.mark.parametrize(
    "make",
    [
        lambda: morrowfen.contents.Content(b"a/b", b""),
        lambda: morrowfen.contents.ServerSentEvent(None),
        lambda: morrowfen.messages.Response(200),
        lambda: morrowfen.messages.Request(None, b"/", None),
        lambda: morrowfen.cookies.Cookie("a", "b"),
        lambda: Headers(),
        lambda: URL(b"/"),
        lambda: mx.NotFound(),
    ],
)
def test_reference_cycles_through_fields_are_collected(make):
    obj = make()
    field = next(n for n in ("body", "data", "content", "value", "values", "message") if hasattr(type(obj), n))
    probe = type("Probe", (), {})()
    setattr(obj, field, [obj, probe])
    ref = weakref.ref(probe)
    del obj, probe
    gc.collect()
    assert ref() is None


# --- exceptions -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "cls, base, status, text",
    [
        (mx.BadRequest, mx.HTTPException, 400, "Bad Request"),
        (mx.BadRequestFormat, mx.BadRequest, 400, "Bad Request"),
        (mx.NotFound, mx.HTTPException, 404, "Not Found"),
        (mx.InternalServerError, mx.HTTPException, 500, "Internal Server Error"),
        (mx.UnsupportedMediaType, mx.HTTPException, 415, "Unsupported Media Type"),
        (mx.UnprocessableEntity, mx.HTTPException, 422, "Unprocessable Entity"),
    ],
)
def test_http_exceptions(cls, base, status, text):
    assert issubclass(cls, base) and issubclass(cls, Exception)
    e = cls()
    assert (e.status, e.message, str(e)) == (status, text, text)
    e = cls("custom")
    assert (e.status, e.message, str(e)) == (status, "custom", "custom")
    again = pickle.loads(pickle.dumps(e))
    assert (type(again), again.status, again.message) == (cls, status, "custom")
    with pytest.raises(mx.HTTPException):
        raise cls(message="raised")


def test_http_exception():
    e = mx.HTTPException(418, "teapot")
    assert (e.status, e.message, str(e), e.args) == (418, "teapot", "teapot", (418, "teapot"))
    assert str(mx.HTTPException(503)) == "503"
    for args in (("418",), (418, 5)):
        with pytest.raises(TypeError):
            mx.HTTPException(*args)
    e.status = 401
    assert e.status == 401


@pytest.mark.parametrize(
    "cls",
    [mx.MessageAborted, mx.InvalidArgument, mx.InvalidOperation, mx.FailedRequestError, mx.InvalidExceptionHandler],
)
def test_plain_exceptions(cls):
    assert cls.__bases__ == (Exception,) and not issubclass(cls, mx.HTTPException)
    e = cls("went wrong", 2)
    assert (e.args, e.message, e.status) == (("went wrong", 2), "went wrong", 0)
    assert cls.__basicsize__ == mx.HTTPException.__basicsize__ > Exception.__basicsize__
    assert str(cls()) == (str(cls().message) if cls is mx.MessageAborted else "")


def test_exception_subclass_in_python():
    class Unauthorized(mx.HTTPException):
        def __init__(self, realm):
            super().__init__(401, f"login to {realm}")
            self.realm = realm

    e = Unauthorized("admin")
    assert (e.status, str(e), e.realm) == (401, "login to admin", "admin")

    class Lazy(mx.NotFound):
        def __init__(self):
            pass  # no super().__init__: the class's status still holds

    assert Lazy().status == 404


# --- headers -----------------------------------------------------------------------------------


def test_headers_collection():
    h = Headers([(b"Content-Type", b"text/plain"), [b"X-A", b"1"], (b"x-a", b"2")])
    assert len(h) == 3 and list(h)[1] == (b"X-A", b"1")
    assert h.get(b"x-A") == (b"1", b"2") and h.get("missing") == ()
    assert h.get_first(b"CONTENT-TYPE") == b"text/plain" and h.get_first(b"nope") is None
    assert b"content-type" in h and b"nope" not in h
    h.set(b"X-a", b"3")
    h.add(b"Y", b"4")
    h.remove(b"content-type")
    assert list(h) == [(b"X-a", b"3"), (b"Y", b"4")]
    assert len(Headers()) == 0 and Headers(None).get(b"a") == ()


@pytest.mark.parametrize(
    "pair, error",
    [((b"a", b"b\r\nc: d"), ValueError), ((b"a b", b"c"), ValueError), (("a", b"b"), TypeError), ((b"a",), TypeError)],
)
def test_headers_refuse_bad_pairs(pair, error):
    with pytest.raises(error):
        Headers([pair])
    if len(pair) == 2:
        with pytest.raises(error):
            Headers().add(*pair)
        with pytest.raises(error):
            Header(*pair)


def test_headers_table_honours_overrides():
    class Logged(Headers):
        def add(self, name, value):
            super().add(name, value + b"!")

    for h, expected in ((Headers(), b"v"), (Logged(), b"v!")):
        add = table_entry(h, 2, ctypes.c_int, P, P, P)
        get = table_entry(h, 0, P, P, P)
        assert add(h, b"k", b"v") == 0 and get(h, b"K") == (expected,)
        remove = table_entry(h, 4, ctypes.c_int, P, P)
        assert remove(h, b"k") == 0 and len(h) == 0


# --- url ---------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, path, query, absolute",
    [
        (b"/a/b?x=1&y=2#frag", b"/a/b", b"x=1&y=2", False),
        (b"/a?", b"/a", b"", False),
        (b"//double/slash", b"//double/slash", b"", False),
        (b"https://example.org:8443/p/q?z#f", b"/p/q", b"z", True),
        (b"https://example.org", b"", b"", True),
        (b"", b"", b"", False),
    ],
)
def test_url_parts(value, path, query, absolute):
    u = URL(value)
    assert (u.value, u.path, u.query, u.is_absolute) == (value, path, query, absolute)


@pytest.mark.parametrize("bad", ["/text", bytearray(b"/"), None, 1])
def test_url_needs_bytes(bad):
    with pytest.raises(TypeError):
        URL(bad)


# RFC 3986, 5.4.1 and 5.4.2
@pytest.mark.parametrize(
    "ref, target",
    [
        (b"g:h", b"g:h"),
        (b"g", b"http://a/b/c/g"),
        (b"./g", b"http://a/b/c/g"),
        (b"g/", b"http://a/b/c/g/"),
        (b"/g", b"http://a/g"),
        (b"//g", b"http://g"),
        (b"?y", b"http://a/b/c/d;p?y"),
        (b"g?y", b"http://a/b/c/g?y"),
        (b"#s", b"http://a/b/c/d;p?q#s"),
        (b"g#s", b"http://a/b/c/g#s"),
        (b"", b"http://a/b/c/d;p?q"),
        (b".", b"http://a/b/c/"),
        (b"..", b"http://a/b/"),
        (b"../g", b"http://a/b/g"),
        (b"../..", b"http://a/"),
        (b"../../../g", b"http://a/g"),
        (b"/./g", b"http://a/g"),
        (b"/../g", b"http://a/g"),
        (b"g.", b"http://a/b/c/g."),
        (b"..g", b"http://a/b/c/..g"),
        (b"./../g", b"http://a/b/g"),
        (b"g/./h", b"http://a/b/c/g/h"),
        (b"g/../h", b"http://a/b/c/h"),
        (b"g;x=1/../y", b"http://a/b/c/y"),
        (b"g?y/./x", b"http://a/b/c/g?y/./x"),
    ],
)
def test_url_join(ref, target):
    base = URL(b"http://a/b/c/d;p?q")
    assert base.join(ref).value == target
    assert base.join(URL(ref)).value == target


def test_url_join_through_the_table():
    class Pinned(URL):
        def join(self, other):
            return URL(b"/pinned")

    join = table_entry(URL(b"/"), 0, P, P, P)
    assert join(URL(b"/a/b"), URL(b"c")).value == b"/a/c"
    assert join(Pinned(b"/a/b"), URL(b"c")).value == b"/pinned"
    assert type(URL(b"/a").join(b"b")) is URL


# --- memory exhausted inside C++ code ----------------------------------------------------------


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer reserves more than the limit")
def test_memory_exhausted_in_cpp_code_raises_memory_error():
    # Each call grows a std::string past what the address-space limit leaves:
    # std::bad_alloc must come out as MemoryError, not end the process.
    proc = run_python(
        """
        import resource
        from morrowfen.contents import FormContent, FormPart, MultiPartFormData, ServerSentEvent
        from morrowfen.contents import parse_www_form_urlencoded
        from morrowfen.cookies import Cookie, parse_cookie, write_cookie_for_response
        from morrowfen.messages import Request
        from morrowfen.penmoth import write_sse
        from morrowfen.url import URL

        N = 16 << 20
        text, data = "a" * N, b"a" * N
        calls = {  # the arguments are made before the limit
            "FormContent": lambda form={"a": text}: FormContent(form),
            "MultiPartFormData": lambda parts=[FormPart(b"a", data)]: MultiPartFormData(parts),
            "write_cookie_for_response": lambda c=Cookie("a", text): write_cookie_for_response(c),
            "parse_cookie": lambda pair=b"a=" + data: parse_cookie(pair),
            "parse_www_form_urlencoded": lambda form="a=" + text: parse_www_form_urlencoded(form),
            "Request.query": lambda r=Request("GET", b"/?a=" + data, None): r.query,
            "URL.join": lambda base=URL(b"http://h/"), ref=URL(b"/" + data): base.join(ref),
            "write_sse": lambda e=ServerSentEvent(None, id=text): write_sse(e),
        }

        def size():
            return next(int(line.split()[1]) << 10 for line in open("/proc/self/status") if line.startswith("VmSize:"))

        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        for name, call in calls.items():
            resource.setrlimit(resource.RLIMIT_AS, (size() + (N >> 2), hard))
            try:
                call()
                print(name, "gave a result")
            except MemoryError:
                print(name, "MemoryError")
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        """
    )
    assert proc.stdout.split("\n")[:-1] == [
        f"{name} MemoryError"
        for name in (
            "FormContent",
            "MultiPartFormData",
            "write_cookie_for_response",
            "parse_cookie",
            "parse_www_form_urlencoded",
            "Request.query",
            "URL.join",
            "write_sse",
        )
    ]
