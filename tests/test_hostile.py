"""Python code that runs in the middle of a native operation (a __hash__, an
__eq__, a __repr__, a tzinfo, an attribute lookup, a finalizer, an override)
and replaces or drops what the operation is working on. The operation must
go on with the object it saw first, or raise an ordinary exception; it must
never touch an object that is gone.

Each case runs in a fresh interpreter: a use of freed memory may crash it.
Many cases fill the freed memory with look-alike objects right away, so that
a read of the old address shows up as a wrong result even when it does not
crash.
"""

import pytest

from conftest import run_python


def run(code, **params):
    for name, value in params.items():
        code = code.replace(f"@{name}@", value)
    proc = run_python(code)
    assert proc.stdout.strip().endswith("ok"), proc.stdout + proc.stderr
    return proc


# --- morrowfen.penmoth: RSGI headers from the content type ---------------------


@pytest.mark.parametrize("raw", ["None", "[(b'x-a', b'1')]"])
@pytest.mark.parametrize("trick", ["hash", "eq"])
def test_rsgi_content_type_dropped_while_looked_up(raw, trick):
    # The content type is looked up in the module's tables; hashing or
    # comparing a bytes subclass runs Python code, which drops the type.
    run(
        """
        from morrowfen.contents import Content
        from morrowfen.messages import Response
        from morrowfen.penmoth import send_rsgi_response_sync

        class P:
            def response_bytes(self, status, headers, body):
                self.headers = headers

        class CT(bytes):
            if "@TRICK@" == "hash":
                def __hash__(self):
                    content.type = None
                    return 1
            else:
                def __hash__(self):
                    return hash(b"text/html")
                def __eq__(self, other):
                    content.type = None
                    return False

        raw = @RAW@
        for _ in range(100):
            content = Content(b"x", b"body")
            content.type = CT(b"text/x" + b"A" * 64)
            p = P()
            send_rsgi_response_sync(Response(200, None if raw is None else list(raw), content), p)
            expected = ([] if raw is None else [("x-a", "1")]) + [("content-type", "text/x" + "A" * 64)]
            assert [tuple(h) for h in p.headers] == expected, p.headers
            junk = [bytes(100) for _ in range(20)]
        print("ok")
    """,
        RAW=raw,
        TRICK=trick,
    )


# --- morrowfen.cookies: the Expires date ---------------------------------------


@pytest.mark.parametrize(
    "offset, expected",
    [
        ("tzinfo", b"a=b; Expires=Thu, 02 Jan 2020 02:04:05 GMT"),
        ("tzinfo-none", b"a=b; Expires=Thu, 02 Jan 2020 03:04:05 GMT"),
        ("method", b"a=b; Expires=Thu, 02 Jan 2020 02:04:05 GMT"),
    ],
)
def test_cookie_expires_dropped_by_utcoffset(offset, expected):
    run(
        """
        import datetime as dt
        from morrowfen.cookies import Cookie
        from morrowfen.penmoth import write_response_cookie

        class Tz(dt.tzinfo):
            def utcoffset(self, d):
                cookie.expires = None
                return None if "@OFFSET@" == "tzinfo-none" else dt.timedelta(hours=1)
            def dst(self, d):
                return None

        class D(dt.datetime):
            def utcoffset(self):
                cookie.expires = None
                return dt.timedelta(hours=1)

        for _ in range(200):
            cookie = Cookie("a", "b")
            if "@OFFSET@" == "method":
                cookie.expires = D(2020, 1, 2, 3, 4, 5, tzinfo=dt.timezone.utc)
            else:
                cookie.expires = dt.datetime(2020, 1, 2, 3, 4, 5, tzinfo=Tz())
            assert write_response_cookie(cookie) == @EXPECTED@
            junk = [dt.datetime(1999, 1, 1) for _ in range(20)]
        print("ok")
    """,
        OFFSET=offset,
        EXPECTED=repr(expected),
    )


def test_cookie_date_of_a_datetime_whose_difference_is_not_a_datetime():
    # The shifted value comes from the datetime's own __sub__, which may give
    # anything: it must not be read as a datetime unless it is one.
    run("""
        import datetime as dt
        from morrowfen.cookies import Cookie, datetime_to_cookie_format
        from morrowfen.penmoth import write_response_cookie

        class D(dt.datetime):
            def __sub__(self, other):
                return 10 ** 6

        value = D(2020, 1, 2, 3, 4, 5, tzinfo=dt.timezone(dt.timedelta(hours=1)))
        for call in (lambda: datetime_to_cookie_format(value),
                     lambda: write_response_cookie(Cookie("a", "b", expires=value))):
            try:
                result = call()
            except TypeError:
                continue
            assert result.endswith(b"Thu, 02 Jan 2020 02:04:05 GMT"), result
        print("ok")
    """)


# --- repr() of objects whose second field goes away during the first's repr ---------


@pytest.mark.parametrize("kind", ["cookie", "header", "request"])
def test_repr_field_dropped_by_the_repr_of_another(kind):
    run(
        """
        from morrowfen.cookies import Cookie
        from morrowfen.headers import Header
        from morrowfen.messages import Request
        from morrowfen.url import URL

        kind = "@KIND@"

        class S(str):
            def __repr__(self):
                drop()
                return str.__repr__(self)

        class B(bytes):
            def __repr__(self):
                drop()
                return bytes.__repr__(self)

        junk = []
        def drop():
            if kind == "cookie":
                obj.value = None
                junk.extend("".join(["w"] * 60) for _ in range(50))
            elif kind == "header":
                obj.value = None
                junk.extend(b"".join([b"w"] * 60) for _ in range(50))
            else:
                obj.url = None
                junk.extend(URL(b"".join([b"/w"] * 30)) for _ in range(50))

        for _ in range(100):
            if kind == "cookie":
                obj = Cookie(S("n"), "".join(["v"] * 60))
                seen_first, dropped = "<Cookie 'n'='%s'>" % ("v" * 60), "<Cookie 'n'=None>"
            elif kind == "header":
                obj = Header(B(b"n"), b"".join([b"v"] * 60))
                seen_first, dropped = "Header(b'n', b'%s')" % ("v" * 60), "Header(b'n', None)"
            else:
                obj = Request(S("GET"), b"".join([b"/p"] * 30), None)
                seen_first = "<morrowfen.messages.Request 'GET' b'%s'>" % ("/p" * 30)
                dropped = "<morrowfen.messages.Request 'GET' None>"
            text = repr(obj)
            assert text in (seen_first, dropped), text
        print("ok")
    """,
        KIND=kind,
    )


# --- header lists: a finalizer run by a removal drops the list -------------------


@pytest.mark.parametrize("owner", ["message", "headers"])
@pytest.mark.parametrize("op", ["remove", "set"])
def test_header_list_dropped_by_a_finalizer_during_removal(owner, op):
    # Removing a pair releases it; the finalizer of its value replaces the
    # owner's list, whose memory a new list then takes over. The operation
    # must finish on the list it started with and leave the new one alone.
    run(
        """
        from morrowfen.headers import Headers
        from morrowfen.messages import Response

        owner_kind, op = "@OWNER@", "@OP@"
        field = "_raw_headers" if owner_kind == "message" else "values"

        class V(bytes):
            def __del__(self):
                global keep
                setattr(owner, field, None)
                keep = [(b"x-a", b"keep%d" % i) for i in range(6)]

        for _ in range(20):
            owner = Response(200) if owner_kind == "message" else Headers()
            pairs = [(b"x-a", b"1"), (b"x-a", V(b"2")), (b"x-b", b"3"), (b"x-a", b"4")]
            setattr(owner, field, pairs)
            del pairs
            keep = None
            if op == "remove":
                (owner.remove_header if owner_kind == "message" else owner.remove)(b"x-a")
            else:
                (owner.set_header if owner_kind == "message" else owner.set)(b"x-a", b"new")
            assert keep == [(b"x-a", b"keep%d" % i) for i in range(6)], keep
            assert getattr(owner, field) is None
        print("ok")
    """,
        OWNER=owner,
        OP=op,
    )


# --- callables kept in fields, dropped while they run ---------------------------------

# A native function run through functools.partial: the partial owns the
# message the function works on. The message's _add_header override drops
# the field that holds the partial; the message must outlive the call.
DROPPED_CALLABLE = """
    import asyncio, functools, sys, weakref
    import morrowfen.penmoth as pm
    from morrowfen.contents import Content
    from morrowfen.messages import Response

    log, freed_after = [], []

    class R(Response):
        def _add_header(self, name, value):
            log.append(name)
            if len(log) == 1:
                drop()
            super()._add_header(name, value)

    def message():
        msg = R(200, None, Content(b"text/plain", b"body"))
        weakref.finalize(msg, lambda: freed_after.append(len(log)))
        return msg

    def check():
        assert log == [b"content-type", b"content-length"], log
        assert freed_after == [2], freed_after
"""


@pytest.mark.parametrize("holder", ["streamed", "asgi", "rsgi"])
def test_content_callable_dropped_while_called(holder):
    run(
        DROPPED_CALLABLE
        + """
    from morrowfen.contents import ASGIContent, RSGIContent, StreamedContent

    kind = "@HOLDER@"
    if kind == "streamed":
        holder, attr = StreamedContent(b"x", print), "data_provider"
    elif kind == "asgi":
        holder, attr = ASGIContent(print), "receive"
    else:
        holder, attr = RSGIContent(None), "protocol"

    def drop():
        setattr(holder, attr, None)

    setattr(holder, attr, functools.partial(pm.set_headers_for_response_content, message()))

    async def drain(it):
        async for _ in it:
            pass

    if kind == "streamed":
        assert holder.stream() is None
    else:
        try:
            asyncio.run(drain(holder.stream()) if kind == "asgi" else holder.read())
        except TypeError:
            pass  # the callable gave None, which cannot be awaited
        else:
            raise AssertionError("None was awaited")
    check()
    print("ok")
    """,
        HOLDER=holder,
    )


def test_asgi_large_body_dropped_by_get_chunks():
    # A buffered body above the chunk size goes through the module's
    # get_chunks, which the application may replace.
    run(
        DROPPED_CALLABLE
        + """
    def drop():
        content.body = None

    content = Content(b"application/octet-stream", b"x" * 70000)
    content.body = message()
    pm.get_chunks = pm.set_headers_for_response_content

    async def send(message):
        pass

    try:
        asyncio.run(pm.send_asgi_response(Response(200, None, content), send))
    except TypeError:
        pass  # get_chunks gave None
    else:
        raise AssertionError("None was iterated")
    check()
    print("ok")
    """
    )


def test_asyncgen_hooks_getter_dropped_while_called():
    # An async generator asks sys.get_asyncgen_hooks for the hooks at its
    # first step; the getter replaces itself while it runs.
    run(
        DROPPED_CALLABLE
        + """
    original = sys.get_asyncgen_hooks

    def drop():
        sys.get_asyncgen_hooks = original

    sys.get_asyncgen_hooks = functools.partial(pm.set_headers_for_response_content, message())
    agen = pm.write_chunks(Content(b"t", b"abc"))
    try:
        agen.__anext__()
    except TypeError:
        pass  # the getter gave None, not a pair of hooks
    check()
    print("ok")
    """
    )


# --- server-sent events ---------------------------------------------------------------


def test_sse_comment_dropped_by_the_newline_pattern():
    # A replaced _NEW_LINES_RX whose attribute lookup drops the comment.
    run("""
        import morrowfen.penmoth as pm
        from morrowfen.contents import ServerSentEvent

        junk = []

        class RX:
            def __getattr__(self, name):
                ev.comment = None
                junk.extend("".join(["w"] * 60) for _ in range(50))
                return lambda text, *rest: [text]

        pm._NEW_LINES_RX = RX()
        for _ in range(50):
            ev = ServerSentEvent(None, comment="".join(["c"] * 60))
            result = pm.write_sse(ev)
            assert result == b": " + b"c" * 60 + b"\\n\\n", result
        print("ok")
    """)


@pytest.mark.parametrize("field", ["id", "comment", "event"])
def test_sse_field_replaced_while_the_pattern_is_looked_up(field):
    # The module's namespace can hold a key whose __eq__ runs when
    # _NEW_LINES_RX is looked up; it replaces the field, already checked to
    # be text, by a large bytes object that must never be read as text.
    run(
        """
        import morrowfen.penmoth as pm
        from morrowfen.contents import ServerSentEvent

        field = "@FIELD@"
        big = b"\\x30" + bytes(2 ** 24)
        ns = vars(pm)
        pattern = ns.pop("_NEW_LINES_RX")

        class Key:
            def __hash__(self):
                return hash("_NEW_LINES_RX")
            def __eq__(self, other):
                if ev is not None:
                    setattr(ev, field, big)
                return False

        ev = None
        ns[Key()] = None
        ns["_NEW_LINES_RX"] = pattern
        prefix = {"id": b"id: ", "comment": b": ", "event": b"event: "}[field]
        for _ in range(20):
            ev = ServerSentEvent(None, **{field: "".join(["t"] * 30)})
            try:
                result = pm.write_sse(ev)
            except TypeError:
                continue
            assert result == prefix + b"t" * 30 + b"\\n\\n", result[:100]
        print("ok")
    """,
        FIELD=field,
    )


# --- native coroutines -------------------------------------------------------------------


def test_coroutine_closed_while_throw_looks_up_the_awaited_throw():
    pytest.importorskip("morrowfen._probe", reason="morrowfen._probe is built only with MORROWFEN_TEST_MODULES=ON")
    # throw() into a coroutine suspended on an iterator whose `throw`
    # attribute lookup closes the coroutine: the interpreter's coroutines
    # raise RuntimeError("cannot reuse already awaited coroutine").
    run("""
        from morrowfen._probe import await_one

        class It:
            def __iter__(self):
                return self
            def __next__(self):
                return "step"
            def __getattr__(self, name):
                if name != "throw":
                    raise AttributeError(name)
                co.close()
                def throw(*args):
                    raise args[0]
                return throw

        class Awaitable:
            def __await__(self):
                return It()

        co = await_one(Awaitable())
        assert co.send(None) == "step"
        try:
            co.throw(ValueError("x"))
        except (RuntimeError, ValueError):
            pass
        else:
            raise AssertionError("throw() returned")
        print("ok")
    """)


# --- start-up: the C-level interface of a sibling module ---------------------------------


def test_capi_lookup_renames_the_module():
    # The exported-function table of a sibling is any mapping; a lookup in it
    # renames the module while its name is held for the error message.
    run("""
        import morrowfen.cookies as cookies

        cookies.__name__ = "".join(["morrowfen.", "cookies"])
        junk = []

        class Capi(dict):
            def __getitem__(self, key):
                cookies.__name__ = "other"
                junk.extend("".join(["#"] * 17) for _ in range(100))
                raise KeyError(key)

        cookies.__pyx_capi__ = Capi(cookies.__pyx_capi__)
        try:
            import morrowfen.penmoth
        except ImportError as e:
            assert str(e).startswith(("morrowfen.cookies does not export", "other does not export")), str(e)
        else:
            raise AssertionError("imported without the C functions")
        print("ok")
    """)
