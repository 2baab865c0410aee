import ctypes
import email.utils
from datetime import UTC, date, datetime, timedelta, timezone

import pytest
from hypothesis import given
from hypothesis import strategies as st

import morrowfen.cookies as mk
from morrowfen.cookies import Cookie, datetime_to_cookie_format, parse_cookie, write_cookie_for_response

_api = ctypes.pythonapi
_api.PyCapsule_GetPointer.restype = ctypes.c_void_p
_api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_api.PyCapsule_GetName.restype = ctypes.c_char_p
_api.PyCapsule_GetName.argtypes = [ctypes.py_object]
WORD = ctypes.sizeof(ctypes.c_void_p)
P = ctypes.py_object


def c_function(name, restype, *argtypes):
    capsule = mk.__pyx_capi__[name]
    return ctypes.PYFUNCTYPE(restype, *argtypes)(_api.PyCapsule_GetPointer(capsule, _api.PyCapsule_GetName(capsule)))


@pytest.mark.parametrize(
    "name, signature",
    [
        ("datetime_to_cookie_format", b"PyObject *(PyDateTime_DateTime *, int)"),
        ("write_cookie_for_response", b"PyObject *(struct morrowfen_Cookie *)"),
        ("parse_cookie", b"struct morrowfen_Cookie *(PyObject *, int)"),
    ],
)
def test_exported_signatures(name, signature):
    assert _api.PyCapsule_GetName(mk.__pyx_capi__[name]) == signature


# --- Cookie ------------------------------------------------------------------------------


def test_cookie_defaults_and_fields():
    c = Cookie("sid", "v")
    assert (c.name, c.value, c.expires, c.domain, c.path, c.http_only, c.secure, c.max_age, c.same_site) == (
        "sid",
        "v",
        None,
        None,
        None,
        False,
        False,
        -1,
        None,
    )
    c.http_only = 1
    c.max_age = 10
    assert c.http_only is True and c.max_age == 10
    with pytest.raises(TypeError):
        c.max_age = "10"


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(name=b"sid"),
        dict(value=1),
        dict(expires=date(2020, 1, 1)),
        dict(domain=b"x"),
        dict(path=1),
        dict(same_site=True),
    ],
)
def test_cookie_argument_types(kwargs):
    with pytest.raises(TypeError):
        Cookie(**{"name": "a", "value": "b", **kwargs})


def test_clone_is_independent_and_goes_through_the_table():
    c = Cookie("a", "b", domain="x.org", secure=True, max_age=5)
    copy = c.clone()
    assert copy is not c and type(copy) is Cookie
    assert [getattr(copy, f) for f in ("name", "value", "domain", "secure", "max_age")] == ["a", "b", "x.org", True, 5]
    copy.value = "changed"
    assert c.value == "b"

    class Tagged(Cookie):
        def clone(self):
            twin = super().clone()
            twin.value += "!"
            return twin

    t = Tagged("a", "b")
    table = ctypes.c_void_p.from_address(id(t) + 2 * WORD).value
    assert table == _api.PyCapsule_GetPointer(Cookie.__dict__["__pyx_vtable__"], None)
    clone = ctypes.PYFUNCTYPE(P, P)(ctypes.c_void_p.from_address(table).value)
    assert clone(t).value == "b!" and clone(c).value == "b"


# --- Set-Cookie -------------------------------------------------------------------------------


def test_full_set_cookie_value():
    c = Cookie(
        "sid",
        "abc",
        expires=datetime(2015, 10, 21, 7, 28),
        domain="example.org",
        path="/app",
        http_only=True,
        secure=True,
        max_age=3600,
        same_site="Lax",
    )
    assert write_cookie_for_response(c) == (
        b"sid=abc; Expires=Wed, 21 Oct 2015 07:28:00 GMT; Max-Age=3600; "
        b"Domain=example.org; Path=/app; Secure; HttpOnly; SameSite=Lax"
    )
    assert c_function("write_cookie_for_response", P, P)(c) == write_cookie_for_response(c)


@pytest.mark.parametrize(
    "kwargs, text",
    [
        ({}, b"a=b"),
        (dict(max_age=0), b"a=b; Max-Age=0"),
        (dict(max_age=-1, domain="", path=None, same_site=""), b"a=b"),
        (dict(secure=True), b"a=b; Secure"),
        (
            dict(expires=datetime(2020, 2, 29, 23, 30, tzinfo=timezone(timedelta(hours=-2)))),
            b"a=b; Expires=Sun, 01 Mar 2020 01:30:00 GMT",
        ),
    ],
)
def test_only_set_attributes_are_written(kwargs, text):
    assert write_cookie_for_response(Cookie("a", "b", **kwargs)) == text


@pytest.mark.parametrize(
    "value, written",
    [
        ("plain-VALUE_1.2", b"plain-VALUE_1.2"),
        ("a b", b"a%20b"),
        ('x;y,z"\\', b"x%3By%2Cz%22%5C"),
        ("100%", b"100%25"),
        ("é", b"%C3%A9"),
        ("", b""),
    ],
)
def test_values_are_percent_encoded(value, written):
    assert write_cookie_for_response(Cookie("n", value)) == b"n=" + written


@pytest.mark.parametrize("name", ["a=b", "a;b", "a b", "", "é", "a\r\nb", 'a"', "a,b"])
def test_names_must_be_tokens(name):
    with pytest.raises(ValueError):
        write_cookie_for_response(Cookie(name, "v"))


@pytest.mark.parametrize("field", ["domain", "path", "same_site"])
@pytest.mark.parametrize("bad", ["x\r\nSet-Cookie: evil=1", "x;Secure", "x\ny", "\x00", "x\x7f"])
def test_attributes_that_would_break_the_header_are_refused(field, bad):
    c = Cookie("a", "b")
    setattr(c, field, bad)
    with pytest.raises(ValueError):
        write_cookie_for_response(c)


@pytest.mark.parametrize(
    "field, value", [("domain", "b\xfccher.example"), ("path", "/caf\xe9"), ("domain", "\u20ac.example")]
)
def test_non_ascii_domain_and_path_are_refused(field, value):
    """A header carries bytes: a domain goes in its ASCII (IDNA) form, a path
    percent-encoded; raw UTF-8 would reach clients as whatever they decode."""
    c = Cookie("a", "b", **{field: value})
    with pytest.raises(ValueError, match="not ASCII"):
        write_cookie_for_response(c)


@pytest.mark.parametrize(
    "given, written", [("Strict", "Strict"), ("Lax", "Lax"), ("None", "None"), ("lax", "Lax"), ("STRICT", "Strict")]
)
def test_same_site_values(given, written):
    assert write_cookie_for_response(Cookie("a", "b", same_site=given)) == b"a=b; SameSite=" + written.encode()


@pytest.mark.parametrize("bad", ["bogus", "Lax, Injected=1", "Laxx", "Non", "Lax "])
def test_other_same_site_values_are_refused(bad):
    with pytest.raises(ValueError, match="same_site must be 'Strict', 'Lax' or 'None'"):
        write_cookie_for_response(Cookie("a", "b", same_site=bad))


def test_an_expiry_whose_subtraction_gives_no_datetime_is_refused():
    class Odd(datetime):
        def utcoffset(self):
            return timedelta(hours=1)

        def __sub__(self, other):
            return "not a datetime"

    c = Cookie("a", "b", expires=Odd(2020, 1, 2, tzinfo=UTC))
    with pytest.raises(TypeError, match="not a datetime"):
        write_cookie_for_response(c)


def test_fields_of_the_wrong_type_are_refused_when_written():
    c = Cookie("a", "b")
    c.expires = "tomorrow"
    with pytest.raises(TypeError):
        write_cookie_for_response(c)
    with pytest.raises(TypeError):
        write_cookie_for_response("a=b")


cookie_values = st.text(st.characters(blacklist_categories=("Cs",)), max_size=20)


@given(cookie_values)
def test_written_values_parse_back(value):
    header = write_cookie_for_response(Cookie("k", value))
    pair = header.split(b"; ")[0]
    assert all(0x21 <= b <= 0x7E and b not in b'",;\\' for b in pair)
    parsed = parse_cookie(pair)
    assert (parsed.name, parsed.value) == ("k", value)


# --- dates ---------------------------------------------------------------------------------------


@given(
    st.datetimes(
        min_value=datetime(1000, 1, 2),
        max_value=datetime(9999, 12, 30),
        timezones=st.one_of(st.none(), st.builds(lambda m: timezone(timedelta(minutes=m)), st.integers(-1439, 1439))),
    )
)
def test_cookie_dates_match_the_http_date_format(dt):
    utc = dt.replace(tzinfo=UTC) if dt.tzinfo is None else dt.astimezone(UTC)
    expected = email.utils.format_datetime(utc, usegmt=True).encode()
    assert datetime_to_cookie_format(dt) == expected


def test_date_function_through_its_capsule():
    to_format = c_function("datetime_to_cookie_format", P, P, ctypes.c_int)
    assert to_format(datetime(2015, 10, 21, 7, 28), 0) == b"Wed, 21 Oct 2015 07:28:00 GMT"
    with pytest.raises(TypeError):
        datetime_to_cookie_format(date(2015, 10, 21))


# --- Cookie header pairs ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "raw, name, value",
    [
        (b"sid=abc", "sid", "abc"),
        (b"  sid = abc  ", "sid", "abc"),
        (b"a=b=c", "a", "b=c"),
        (b'q="quoted"', "q", "quoted"),
        (b"e=%C3%A9%20x", "e", "é x"),
        (b"bad=%zz%4", "bad", "%zz%4"),
        (b"inv=%FF", "inv", "\ufffd"),
        (b"lonely", "", "lonely"),
        (b"plus=a+b", "plus", "a+b"),
    ],
)
def test_parse_cookie(raw, name, value):
    for parse in (parse_cookie, lambda v: c_function("parse_cookie", P, P, ctypes.c_int)(v, 0)):
        c = parse(raw)
        assert type(c) is Cookie and (c.name, c.value) == (name, value)


def test_parse_cookie_needs_bytes():
    with pytest.raises(TypeError):
        parse_cookie("a=b")
