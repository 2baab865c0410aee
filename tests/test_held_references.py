"""Objects that replace the field being read while Python code runs in the
middle of an operation (a __hash__, a tzinfo, a finalizer, a __repr__, a
replaced pattern, a callable that reassigns itself). Each case runs in a fresh
interpreter, many times over with allocations in between, so that memory
freed too early would be reused and the process would crash: the operation
must finish with the object it read first, or raise a normal exception."""

import pytest

from conftest import run_python

CASES = {
    "rsgi content type across the table lookups": """
        from morrowfen.contents import Content
        from morrowfen.messages import Response
        from morrowfen.penmoth import send_rsgi_response_sync
        class P:
            def response_bytes(self, s, h, b): self.headers = h
        class CT(bytes):
            def __hash__(self):
                content.type = None
                return 1
        for raw in (None, [(b"vary", b"x")]):
            for _ in range(300):
                content = Content(b"x", b"body"); content.type = CT(b"text/x" + b"A" * 64)
                p = P()
                send_rsgi_response_sync(Response(200, raw, content), p)
                assert p.headers[-1] == ("content-type", "text/x" + "A" * 64), p.headers
                junk = [bytes(100) for _ in range(20)]
    """,
    "cookie expiry across tzinfo.utcoffset": """
        import datetime as dt
        from morrowfen.cookies import Cookie
        from morrowfen.penmoth import write_response_cookie
        class Tz(dt.tzinfo):
            def utcoffset(self, d):
                cookie.expires = None
                cookie.name = cookie.value = cookie.domain = cookie.path = cookie.same_site = None
                return dt.timedelta(hours=1)
            def dst(self, d): return None
        for _ in range(300):
            cookie = Cookie("a", "b", domain="example.org", path="/p", same_site="Lax")
            cookie.expires = dt.datetime(2020, 1, 2, 3, 4, 5, tzinfo=Tz())
            assert write_response_cookie(cookie) == (b"a=b; Expires=Thu, 02 Jan 2020 02:04:05 GMT; "
                                                     b"Domain=example.org; Path=/p; SameSite=Lax")
            junk = [dt.datetime(1999, 1, 1) for _ in range(20)]
    """,
    "header list replaced by a finalizer while items are removed or replaced": """
        from morrowfen.headers import Headers
        from morrowfen.messages import Response
        class Pair(tuple):
            def __del__(self):
                if isinstance(holder, Headers):
                    holder.values = None
                else:
                    holder._raw_headers = None
        for _ in range(200):
            holder = Response(200, [Pair((b"x-a", b"1")), (b"x-b", b"2"), Pair((b"x-a", b"3"))])
            holder.remove_header(b"x-a")
            holder = Response(200, [Pair((b"x-a", b"1")), Pair((b"x-a", b"2"))])
            holder.set_header(b"x-a", b"9")
            holder = Headers([(b"x-a", b"1")])
            holder.values = [Pair((b"x-a", b"1")), (b"x-b", b"2"), Pair((b"x-a", b"3"))]
            holder.remove(b"x-a")
            holder = Headers()
            holder.values = [Pair((b"x-a", b"1")), Pair((b"x-a", b"2"))]
            holder.set(b"x-a", b"9")
            junk = [(bytes(50), bytes(50)) for _ in range(20)]
    """,
    "repr of one field replacing another": """
        from morrowfen.cookies import Cookie
        from morrowfen.headers import Header
        from morrowfen.messages import Request
        class Sly(str):
            def __repr__(self):
                if isinstance(target, Request):
                    target.url = None
                else:
                    target.value = target.name = None
                return "sly"
        for _ in range(300):
            target = Cookie(Sly("n"), "v" * 80)
            assert repr(target) == "<Cookie sly='" + "v" * 80 + "'>"
            target = Header(b"n", b"v")
            target.name = Sly("n"); target.value = b"v" * 80
            assert repr(target) == "Header(sly, b'" + "v" * 80 + "')"
            target = Request("GET", b"/" + b"p" * 80, None)
            target.method = Sly("GET")
            assert repr(target).endswith("sly b'/" + "p" * 80 + "'>")
            junk = [str(i) * 30 for i in range(20)]
    """,
    "event comment across a replaced pattern's split": """
        import re
        import morrowfen.penmoth as pm
        from morrowfen.contents import ServerSentEvent
        class Pattern:
            def split(self, text):
                event.comment = None
                return re.split("\\n", text)
            def sub(self, repl, text):
                event.id = None
                return text.replace("\\n", "")
        pm._NEW_LINES_RX = Pattern()
        for _ in range(300):
            event = ServerSentEvent(None, id="i" * 60, comment="a" * 60 + "\\nb")
            assert pm.write_sse(event) == b"id: " + b"i" * 60 + b"\\n: " + b"a" * 60 + b"\\n: b\\n\\n"
            junk = [str(i) * 30 for i in range(20)]
    """,
    "body readers whose callable replaces itself": """
        import asyncio
        from morrowfen.contents import ASGIContent, RSGIContent, StreamedContent
        async def main():
            for _ in range(200):
                class Receive:
                    async def __call__(self):
                        content.receive = None
                        return {"type": "http.request", "body": b"x" * 50, "more_body": False}
                content = ASGIContent(Receive())
                assert await content.read() == b"x" * 50
                class Protocol:
                    async def __call__(self):
                        content.protocol = None
                        return b"y" * 50
                content = RSGIContent(Protocol())
                assert await content.read() == b"y" * 50
                class Provider:
                    def __call__(self):
                        content.data_provider = None
                        return self.gen()
                    async def gen(self):
                        yield b"z"
                content = StreamedContent(b"text/plain", Provider())
                assert [p async for p in content.stream()] == [b"z"]
                junk = [bytes(60) for _ in range(20)]
        asyncio.run(main())
    """,
    "intake list seen by the collector while it fills": """
        import gc
        import morrowfen.penmoth as pm
        class Peek:
            def __str__(self):
                for o in gc.get_objects():
                    if type(o) is list and len(o) == 4 and o is not source:
                        repr(o)  # an empty slot would be read here
                return "x-peek"
        source = [(Peek(), "v"), ("a", "b"), ("c", "d"), ("e", "f")]
        for _ in range(20):
            assert pm.extract_rsgi_headers(source)[0] == (b"x-peek", b"v")
    """,
    "constructor keyword whose comparison replaces a bound value": """
        import gc
        from morrowfen.messages import Response
        class Value:
            pass
        class Key(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                for d in gc.get_referrers(self):
                    if isinstance(d, dict) and "status" in d:
                        d["status"] = 201
                return str.__eq__(self, other)
        for _ in range(200):
            r = Response.__new__(Response)
            try:
                Response.__init__(r, **{"status": Value(), Key("headers"): None})
            except TypeError as e:
                assert "not Value" in str(e), e
            junk = [object() for _ in range(20)]
    """,
}


@pytest.mark.parametrize("case", CASES)
def test_fields_replaced_meanwhile(case):
    run_python(CASES[case])
