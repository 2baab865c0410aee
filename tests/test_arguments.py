"""The argument convention and introspection surface shared by all eleven
functions, checked generically through each function's declared parameters."""

import inspect
import pydoc
import re
import warnings

import pytest

from morrowfen import penmoth as pm
from morrowfen.contents import Content, ServerSentEvent, StreamedContent, TextContent, TextServerSentEvent
from morrowfen.cookies import Cookie
from morrowfen.messages import Response


async def provider():
    yield b"x"


class MyResponse(Response):
    pass


class MyCookie(Cookie):
    pass


class MyBytes(bytes):
    pass


class MyList(list):
    pass


# type name -> (a valid argument, a subclass instance that is accepted or None, one that is refused)
TYPES = {
    "Response": (lambda: Response(200), lambda: MyResponse(204), lambda: "response"),
    "Cookie": (lambda: Cookie("a", "b"), lambda: MyCookie("a", "b"), lambda: {"a": "b"}),
    "Content": (lambda: Content(b"text/plain", b"x"), lambda: TextContent("x"), lambda: b"x"),
    "ServerSentEvent": (lambda: ServerSentEvent("x"), lambda: TextServerSentEvent("x"), lambda: object()),
    "StreamedContent": (lambda: StreamedContent(b"text/plain", provider), None, lambda: Content(b"a", b"b")),
    "bytes": (lambda: b"x", None, lambda: MyBytes(b"x")),
    "list": (lambda: [], None, lambda: MyList()),
    None: (lambda: object(), None, None),
}
FULL_NAMES = {
    "Response": "morrowfen.messages.Response",
    "Cookie": "morrowfen.cookies.Cookie",
    "Content": "morrowfen.contents.Content",
    "ServerSentEvent": "morrowfen.contents.ServerSentEvent",
    "StreamedContent": "morrowfen.contents.StreamedContent",
    "bytes": "bytes",
    "list": "list",
}

CHUNKS_DOC = (
    "\n    Writes chunks for transfer encoding. This method only works when using\n"
    "    `transfer-encoding: chunked`!\n    "
)
SSE_DOC = "\n    Writes a ServerSentEvent object to bytes.\n    "

FUNCTIONS = [
    ("set_headers_for_response_content", [("message", "Response")], "plain", None),
    ("write_response_cookie", [("cookie", "Cookie")], "plain", None),
    ("write_chunks", [("http_content", "Content")], "asyncgen", CHUNKS_DOC),
    ("get_chunks", [("data", "bytes")], "generator", None),
    ("send_asgi_response", [("response", "Response"), ("send", None)], "coroutine", None),
    ("write_sse", [("event", "ServerSentEvent")], "plain", SSE_DOC),
    ("extract_rsgi_headers", [("raw_headers", None)], "plain", None),
    ("instantiate_rsgi_request", [("scope", None), ("protocol", None)], "plain", None),
    ("send_rsgi_response_sync", [("response", "Response"), ("protocol", None)], "plain", None),
    (
        "_send_rsgi_stream",
        [("response", "Response"), ("protocol", None), ("headers", "list"), ("content", "StreamedContent")],
        "coroutine",
        None,
    ),
    ("send_rsgi_response", [("response", "Response"), ("protocol", None)], "coroutine", None),
]
by_function = pytest.mark.parametrize("name, params, kind, doc", FUNCTIONS, ids=[f[0] for f in FUNCTIONS])

CONVENTION = re.compile(r"takes exactly|unexpected keyword|multiple values|keywords must be|has incorrect type")


def attempt(fn, *args, **kwargs):
    """Calls fn; returns the exception (or None), disposing of any coroutine
    or generator so that none is left unawaited."""
    try:
        result = fn(*args, **kwargs)
    except Exception as exc:
        return exc
    if hasattr(result, "cr_code") or hasattr(result, "gi_code"):
        result.close()
    elif hasattr(result, "ag_code"):
        result.aclose().close()
    return None


def tp_name(t):
    """The name a type carries in C (its tp_name)."""
    if t.__flags__ & (1 << 9) or t.__module__ == "builtins":  # a class made in Python, or a built-in
        return t.__name__
    return f"{t.__module__}.{t.__qualname__}"


def valid_args(params):
    return [TYPES[t][0]() for _, t in params]


def assert_convention_passed(exc):
    assert exc is None or not CONVENTION.search(str(exc)), exc


@by_function
def test_introspection(name, params, kind, doc):
    fn = getattr(pm, name)
    names = tuple(p for p, _ in params)
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == "morrowfen.penmoth" and fn.__doc__ == doc
    assert fn.__defaults__ is None and fn.__kwdefaults__ is None
    code = fn.__code__
    assert code.co_argcount == len(names) and code.co_varnames[: len(names)] == names
    assert code.co_posonlyargcount == 0 and code.co_kwonlyargcount == 0
    assert str(inspect.signature(fn)) == f"({', '.join(names)})"
    assert inspect.iscoroutinefunction(fn) == (kind == "coroutine")
    assert inspect.isasyncgenfunction(fn) == (kind == "asyncgen")
    assert inspect.isgeneratorfunction(fn) == (kind == "generator")
    import asyncio

    assert asyncio.iscoroutinefunction(fn) == (kind == "coroutine")
    rendered = pydoc.render_doc(fn, renderer=pydoc.plaintext)
    assert f"{name}({', '.join(names)})" in rendered
    if doc:
        assert doc.strip().splitlines()[0] in rendered
    assert repr(fn).startswith(f"<function {name} at 0x")


@by_function
def test_argument_count_and_keywords(name, params, kind, doc):
    fn = getattr(pm, name)
    n = len(params)
    names = [p for p, _ in params]
    args = valid_args(params)
    plural = "" if n == 1 else "s"

    def message(given):
        return f"{name}() takes exactly {n} positional argument{plural} ({given} given)"

    assert str(attempt(fn)) == message(0)
    assert str(attempt(fn, *args, None)) == message(n + 1)
    assert str(attempt(fn, *args[:-1])) == message(n - 1)
    # by keyword, in any order, or mixed
    assert_convention_passed(attempt(fn, **dict(zip(names, args))))
    assert_convention_passed(attempt(fn, **dict(reversed(list(zip(names, args))))))
    assert_convention_passed(attempt(fn, *args[:1], **dict(zip(names[1:], args[1:]))))
    assert str(attempt(fn, *args, bogus=1)) == f"{name}() got an unexpected keyword argument 'bogus'"
    assert str(attempt(fn, *args, **{names[0]: args[0]})) == (
        f"{name}() got multiple values for keyword argument '{names[0]}'"
    )
    # a parameter left unbound after the keywords: the count of the ones before it
    assert str(attempt(fn, **dict(zip(names[1:], args[1:])))) == message(0)
    if n > 1:
        assert str(attempt(fn, args[0], bogus=1)) == message(1)
    assert str(attempt(fn, *args, **{"bogus": 1, names[-1]: 2})) == (
        f"{name}() got an unexpected keyword argument 'bogus'"
    )


@by_function
def test_argument_types(name, params, kind, doc):
    fn = getattr(pm, name)
    for i, (param, type_name) in enumerate(params):
        if type_name is None:
            continue
        _, accepted, refused = TYPES[type_name]
        for value, ok in [(None, True), (accepted and accepted(), True), (refused(), False), (5, False)]:
            if value is None and not ok:
                continue
            args = valid_args(params)
            args[i] = value
            exc = attempt(fn, *args)
            if value is None and exc is not None and str(exc).endswith("got NoneType)"):
                # None passes the argument test; a plain function then refuses it, naming the parameter
                assert kind == "plain" and f"Argument '{param}'" in str(exc)
            elif ok:
                assert_convention_passed(exc)
            else:
                assert isinstance(exc, TypeError)
                assert str(exc) == (
                    f"Argument '{param}' has incorrect type "
                    f"(expected {FULL_NAMES[type_name]}, got {tp_name(type(value))})"
                )
            # by keyword the same test applies
            exc_kw = attempt(fn, **{p: a for (p, _), a in zip(params, args)})
            assert str(exc_kw) == str(exc)


def test_wrong_type_creates_no_coroutine():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for call in (
            lambda: pm.send_asgi_response("x", None),
            lambda: pm.send_rsgi_response(1, None),
            lambda: pm._send_rsgi_stream(Response(200), None, (), None),
            lambda: pm.get_chunks("x"),
            lambda: pm.write_chunks(b"x"),
        ):
            with pytest.raises(TypeError, match="has incorrect type"):
                call()
        import gc

        gc.collect()


def test_functions_bind_as_methods():
    class Sender:
        write = pm.write_sse

    with pytest.raises(TypeError, match="expected morrowfen.contents.ServerSentEvent, got Sender"):
        Sender().write()
    assert Sender.write is pm.write_sse
