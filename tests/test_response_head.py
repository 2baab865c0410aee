"""Content headers of a response and the response form of a cookie, through
both the Python-callable and the C-level forms."""

import ctypes

import pytest

from conftest import c_function
from morrowfen import penmoth as pm
from morrowfen.contents import Content, StreamedContent, TextContent
from morrowfen.cookies import Cookie, write_cookie_for_response
from morrowfen.messages import Response


async def provider():
    yield b"x"


def c_set_headers():
    return c_function(pm, "set_headers_for_response_content", None, ctypes.py_object, ctypes.c_int)


FACES = {
    "python": lambda r: pm.set_headers_for_response_content(r),
    "c": lambda r: c_set_headers()(r, 0),
}
faces = pytest.mark.parametrize("face", FACES)


def content(type_=b"text/plain", body=b"hello", length=None):
    c = Content(type_ if type_ is not None else b"", body)
    c.type = type_
    if length is not None:
        c.length = length
    return c


@faces
@pytest.mark.parametrize(
    "given, expected",
    [
        (None, [(b"content-length", b"0")]),
        (content(length=5), [(b"content-type", b"text/plain"), (b"content-length", b"5")]),
        (content(length=0), [(b"content-type", b"text/plain"), (b"content-length", b"0")]),
        (content(length=-1), [(b"content-type", b"text/plain"), (b"transfer-encoding", b"chunked")]),
        (content(b""), [(b"content-type", b"application/octet-stream"), (b"content-length", b"5")]),
        (content(None), [(b"content-type", b"application/octet-stream"), (b"content-length", b"5")]),
        (content(length=1234), [(b"content-type", b"text/plain"), (b"content-length", b"1234")]),
        (content(length=2**63 - 1), [(b"content-type", b"text/plain"), (b"content-length", b"9223372036854775807")]),
        (
            StreamedContent(b"text/event-stream", provider),
            [(b"content-type", b"text/event-stream"), (b"transfer-encoding", b"chunked")],
        ),
    ],
    ids=["none", "length", "zero", "chunked", "empty-type", "no-type", "1234", "int64-max", "streamed"],
)
def test_outcomes(face, given, expected):
    response = Response(200, None, given)
    FACES[face](response)
    assert response._raw_headers == expected


@faces
@pytest.mark.parametrize(
    "status, expected",
    [
        (100, None),
        (103, None),
        (204, None),
        (304, None),
        (200, [(b"content-length", b"0")]),
        (205, [(b"content-length", b"0")]),
        (404, [(b"content-length", b"0")]),
    ],
)
def test_no_length_where_http_forbids_one(face, status, expected):
    """1xx, 204 and 304 carry no Content-Length when they have no content;
    every other status keeps its length of 0."""
    response = Response(status)
    FACES[face](response)
    assert response._raw_headers == expected
    with_content = Response(status, None, content(length=3))
    FACES[face](with_content)
    assert with_content._raw_headers == [(b"content-type", b"text/plain"), (b"content-length", b"3")]


@faces
def test_existing_headers_are_kept_and_not_looked_at(face):
    response = Response(200, [(b"Content-Type", b"text/html")], TextContent("hi"))
    FACES[face](response)
    assert response._raw_headers == [
        (b"Content-Type", b"text/html"),
        (b"content-type", b"text/plain; charset=utf-8"),
        (b"content-length", b"2"),
    ]


@faces
def test_content_type_objects(face):
    # a known type is the library's shared object, equal for all responses
    first, second = (
        Response(200, None, TextContent("a")),
        Response(200, None, Content(b"text/plain; charset=utf-8", b"b")),
    )
    for r in (first, second):
        FACES[face](r)
    assert first._raw_headers[0][1] is second._raw_headers[0][1]
    # an unknown one is passed on as the very object the content holds
    vendor = b"application/vnd.example+json"
    r = Response(200, None, Content(vendor, b"{}"))
    FACES[face](r)
    assert r._raw_headers[0][1] is vendor


class FalseContent(Content):
    def __bool__(self):
        return False


class BadTruth(Content):
    def __bool__(self):
        raise ZeroDivisionError


@faces
def test_failures(face):
    # a content that is false counts as no content
    r = Response(200, None, FalseContent(b"text/plain", b"x"))
    FACES[face](r)
    assert r._raw_headers == [(b"content-length", b"0")]
    # a failing truth test adds nothing
    r = Response(200, None, BadTruth(b"text/plain", b"x"))
    with pytest.raises(ZeroDivisionError):
        FACES[face](r)
    assert not r._raw_headers
    # a content type that is not bytes is never read as bytes
    c = Content(b"text/plain", b"x")
    c.type = "text/plain"
    r = Response(200, None, c)
    with pytest.raises(TypeError, match="^Expected bytes, got str$"):
        FACES[face](r)
    assert not r._raw_headers
    # None is no response
    with pytest.raises(TypeError, match="Argument 'message' has incorrect type"):
        FACES[face](None)


def test_cookie_header_is_the_cookies_module_result():
    cookie = Cookie("session", "a b;c", path="/", http_only=True, max_age=0)
    value = pm.write_response_cookie(cookie)
    assert value == write_cookie_for_response(cookie)
    assert value.startswith(b"session=a%20b%3Bc")

    class MyCookie(Cookie):
        pass

    assert pm.write_response_cookie(MyCookie("a", "b")).startswith(b"a=b")
    with pytest.raises(TypeError, match="Argument 'cookie' has incorrect type"):
        pm.write_response_cookie(None)
    with pytest.raises(TypeError, match=r"expected morrowfen.cookies.Cookie, got dict\)$"):
        pm.write_response_cookie({"a": "b"})
    with pytest.raises(ValueError):
        pm.write_response_cookie(Cookie("a;b", "c"))
