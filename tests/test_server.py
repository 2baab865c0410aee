"""morrowfen.server.Application against fake ASGI and RSGI gateways: intake,
hooks, error answers and logging, and the end of streamed bodies when the
client leaves."""

import asyncio
import logging

import pytest

from fakes import ASGIClient, Headers, LookupHeaders, RSGIProtocol, RSGIScope, http_scope, receiver
from morrowfen._server import instantiate_asgi_request
from morrowfen.contents import ASGIContent, StreamedContent, TextContent
from morrowfen.exceptions import BadRequest, HTTPException, NotFound
from morrowfen.messages import Response
from morrowfen.server import Application

pytestmark = pytest.mark.timeout(30)

LOGGER = "morrowfen.server"


def run(coro, timeout=5):
    return asyncio.run(asyncio.wait_for(coro, timeout))


async def asgi(app, client=None, **scope):
    client = client or ASGIClient()
    await app(http_scope(**scope), client.receive, client.send)
    return client


async def rsgi(app, protocol=None, **scope):
    protocol = protocol or RSGIProtocol()
    await app.__rsgi__(RSGIScope(**scope), protocol)
    return protocol


def answers(app, **scope):
    """(status, body) on each face for one request."""
    a = run(asgi(app, **scope))
    r = run(rsgi(app, **{k: (v.decode() if isinstance(v, bytes) else v) for k, v in scope.items()}))
    return (a.status, a.body), (r.answer[0], r.answer[2])


def error_records(caplog):
    return [r for r in caplog.records if r.name == LOGGER and r.levelno >= logging.ERROR]


# --- intake -------------------------------------------------------------------------------


def test_asgi_intake_fields():
    headers = [(b"host", b"example"), (b"x-a", b"1"), (b"x-a", b"2")]
    client = ASGIClient(body=(b"ab", b"cd"))
    scope = http_scope("/caf\u00e9/a b", b"q=%20&x=1", "POST", headers)
    request = instantiate_asgi_request(scope, client.receive)
    assert request.method == "POST"
    assert request.url.value == "/café/a b?q=%20&x=1".encode()
    assert (request.url.path, request.url.query) == ("/café/a b".encode(), b"q=%20&x=1")
    assert request._raw_headers is headers  # the server's own list, not a copy
    assert request.get_headers(b"X-A") == [b"1", b"2"]
    assert request.scope is scope
    assert isinstance(request.content, ASGIContent) and request.content.receive == client.receive
    assert run(request.read()) == b"abcd"

    client = ASGIClient(body=(b"one", b"two"))
    request = instantiate_asgi_request(http_scope(), client.receive)

    async def chunks():
        return [c async for c in request.stream()]

    assert run(chunks()) == [b"one", b"two"]


def test_asgi_intake_converts_headers_that_are_not_bytes_tuples():
    for headers in ([[b"a", b"1"]], [(bytearray(b"a"), memoryview(b"1"))], ((b"a", b"1"),), [("a", "1")]):
        request = instantiate_asgi_request(http_scope(headers=headers), ASGIClient().receive)
        assert request._raw_headers == [(b"a", b"1")] and request._raw_headers is not headers
    request = instantiate_asgi_request({"method": "GET", "path": "/"}, ASGIClient().receive)
    assert (request.url.value, request._raw_headers) == (b"/", [])
    with pytest.raises(KeyError):
        instantiate_asgi_request({"method": "GET"}, ASGIClient().receive)
    with pytest.raises(TypeError):
        instantiate_asgi_request(http_scope(headers=[(b"a", 1)]), ASGIClient().receive)
    with pytest.raises(ValueError):
        instantiate_asgi_request(http_scope(headers=[(b"a", b"1", b"2")]), ASGIClient().receive)


def test_both_faces_give_the_handler_the_same_request():
    seen = []

    async def handler(request):
        seen.append((request.method, request.url.value, await request.read()))
        return Response(204)

    app = Application(handler)
    run(asgi(app, ASGIClient(body=(b"x", b"y")), path="/a b", query=b"k=v"))
    run(rsgi(app, RSGIProtocol(b"xy"), path="/a b", query="k=v"))
    assert seen[0] == seen[1] == ("GET", b"/a b?k=v", b"xy")


# --- hooks --------------------------------------------------------------------------------


def lifespan_run(app, events):
    server = ASGIClient()
    run(app({"type": "lifespan"}, receiver(*({"type": e} for e in events)), server.send))
    return server.sent


def test_lifespan_runs_the_hooks_in_order_once():
    calls = []

    async def first(app):
        calls.append(("first", app))

    async def second():  # a hook may take no argument
        calls.append(("second",))

    async def down(app):
        calls.append(("down", app))

    app = Application(lambda r: None, on_startup=[first, second], on_shutdown=[down])
    out = lifespan_run(app, ["lifespan.startup", "lifespan.shutdown"])
    assert out == [{"type": "lifespan.startup.complete"}, {"type": "lifespan.shutdown.complete"}]
    assert calls == [("first", app), ("second",), ("down", app)]
    run(app.startup())
    run(app.shutdown())
    assert len(calls) == 3


def test_lifespan_reports_a_failing_hook(caplog):
    async def broken(app):
        raise RuntimeError("no database")

    app = Application(lambda r: None, on_startup=[broken])
    out = lifespan_run(app, ["lifespan.startup"])
    assert out == [{"type": "lifespan.startup.failed", "message": "no database"}]
    app = Application(lambda r: None, on_shutdown=[broken])
    out = lifespan_run(app, ["lifespan.startup", "lifespan.shutdown"])
    assert out == [
        {"type": "lifespan.startup.complete"},
        {"type": "lifespan.shutdown.failed", "message": "no database"},
    ]
    assert len(error_records(caplog)) == 2


def test_rsgi_init_and_del_run_the_hooks_on_a_loop_not_yet_running():
    calls = []

    async def up(app):
        calls.append("up")

    async def down(app):
        calls.append("down")

    app = Application(lambda r: None, on_startup=[up], on_shutdown=[down])
    loop = asyncio.new_event_loop()
    try:
        app.__rsgi_init__(loop)
        assert calls == ["up"]
        app.__rsgi_del__(loop)
    finally:
        loop.close()
    assert calls == ["up", "down"]


def test_first_request_waits_for_startup_when_the_server_sent_no_lifespan():
    calls = []

    async def slow_up(app):
        await asyncio.sleep(0.05)
        calls.append("up")

    async def handler(request):
        calls.append("request")
        return Response(204)

    app = Application(handler, on_startup=[slow_up])

    async def two_at_once():
        await asyncio.gather(asgi(app), rsgi(app))

    run(two_at_once())
    assert calls == ["up", "request", "request"]


def test_a_failing_startup_hook_without_lifespan_is_logged_once_and_answers_500(caplog):
    async def broken(app):
        raise RuntimeError("no database")

    async def handler(request):
        return Response(204)

    app = Application(handler, on_startup=[broken])

    async def three():
        return [await asgi(app), await rsgi(app), await asgi(app)]

    first, second, third = run(three())
    assert first.status == third.status == second.answer[0] == 500
    records = error_records(caplog)
    assert len(records) == 1 and "startup hook failed" in records[0].getMessage()


def test_a_client_gone_before_a_buffered_rsgi_answer_is_no_error(caplog):
    Closed = pytest.importorskip("granian._granian").RSGIProtocolClosed

    class Gone(RSGIProtocol):
        def response_bytes(self, status, headers, body):
            raise Closed("the client left")

        response_str = response_bytes

    async def handler(request):
        return Response(200, None, TextContent("hi"))

    caplog.set_level(logging.DEBUG, logger=LOGGER)
    run(rsgi(Application(handler), Gone()))
    assert error_records(caplog) == []


# --- errors -------------------------------------------------------------------------------


class Teapot(HTTPException):
    def __init__(self):
        super().__init__(418, "short and stout")


def test_http_exceptions_answer_their_status_and_message():
    def raising(exc):
        async def handler(request):
            raise exc

        return Application(handler)

    for exc, status, body in [
        (NotFound("no such item"), 404, b"no such item"),
        (BadRequest("bad"), 400, b"bad"),
        (HTTPException(409, "conflict"), 409, b"conflict"),
        (Teapot(), 418, b"short and stout"),
    ]:
        a, r = answers(raising(exc))
        assert a == r == (status, body)
    client = run(asgi(raising(NotFound("x"))))
    assert dict(client.sent[0]["headers"])[b"content-type"] == b"text/plain; charset=utf-8"


def test_an_http_exception_with_a_status_no_response_can_carry(caplog):
    async def handler(request):
        raise HTTPException(42, "odd")

    a, r = answers(Application(handler))
    assert a == r == (500, b"Internal Server Error")
    assert len(error_records(caplog)) == 2


def test_other_exceptions_answer_500_without_their_text(caplog):
    async def handler(request):
        raise RuntimeError("secret detail")

    a, r = answers(Application(handler))
    assert a == r == (500, b"Internal Server Error")
    records = error_records(caplog)
    assert len(records) == 2  # one per request
    for record in records:
        assert record.exc_info and record.exc_info[0] is RuntimeError
        assert "secret detail" in caplog.text  # in the log, never in the answer


def test_a_handler_that_returns_no_response(caplog):
    for value, shown in [(None, "NoneType"), ("text", "'text'"), (TextContent("x"), "TextContent")]:

        async def handler(request, value=value):
            return value

        caplog.clear()
        a, r = answers(Application(handler))
        assert a == r == (500, b"Internal Server Error")
        assert [shown in record.getMessage() for record in error_records(caplog)] == [True, True]


def test_an_error_before_anything_was_sent_answers_500(caplog):
    # ASGI: the server refuses the start message (hypercorn and granian then take another)
    client = ASGIClient()
    refused = []

    async def picky_send(message):
        if message["type"] == "http.response.start" and message["status"] == 200 and not refused:
            refused.append(message)
            raise ValueError("illegal header value")
        client.sent.append(message)

    async def handler(request):
        return Response(200, [(b"x-a", b"a\r\nb")], TextContent("hi"))

    run(Application(handler)(http_scope(), client.receive, picky_send))
    # morrowfen.penmoth refuses the header itself, before the server sees anything
    assert not refused and (client.status, client.body) == (500, b"Internal Server Error")

    # ASGI: penmoth refuses a content type that would inject a header (ValueError)
    async def injecting(request):
        content = TextContent("hi")
        content.type = b"text/plain\r\nx-injected: 1"
        return Response(200, None, content)

    client = run(asgi(Application(injecting)))
    assert [m["type"] for m in client.sent] == ["http.response.start", "http.response.body"]
    assert (client.status, client.body) == (500, b"Internal Server Error")

    # RSGI: penmoth cannot read the headers
    async def bad_headers(request):
        return Response(200, [(b"x-a",)], TextContent("hi"))

    protocol = run(rsgi(Application(bad_headers)))
    assert (protocol.answer[0], protocol.answer[2]) == (500, b"Internal Server Error")
    records = error_records(caplog)
    assert len(records) == 3 and all("before it started" in r.getMessage() for r in records)


async def failing_parts(log):
    try:
        yield b"first"
        raise RuntimeError("the database went away")
    finally:
        log.append("finally")


def test_an_error_after_the_start_ends_the_response_and_is_logged_once(caplog):
    log = []

    async def handler(request):
        return Response(200, None, StreamedContent(b"text/plain", lambda: failing_parts(log)))

    app = Application(handler)
    client = run(asgi(app))
    assert client.status == 200 and client.body == b"first" and not client.complete
    protocol = run(rsgi(app))
    assert protocol.answer[0] == 200 and protocol.parts == [b"first"]
    assert log == ["finally", "finally"]
    records = error_records(caplog)
    assert len(records) == 2 and all(r.exc_info[0] is RuntimeError for r in records)
    assert all("after it had started" in r.getMessage() for r in records)


def test_websockets_are_refused():
    app = Application(lambda r: None)
    client = ASGIClient()
    run(app({"type": "websocket", "path": "/ws"}, receiver({"type": "websocket.connect"}), client.send))
    assert [m["type"] for m in client.sent] == ["websocket.close"]
    protocol = RSGIProtocol()
    run(app.__rsgi__(RSGIScope(proto="ws"), protocol))
    assert protocol.close_status == 403 and protocol.answer is None


# --- streams and clients that leave -----------------------------------------------------


class Probe:
    """A body generator that records how it ended."""

    def __init__(self, parts=1, idle=60.0):
        self.parts, self.idle = parts, idle
        self.ended = []

    async def __call__(self):
        try:
            for i in range(self.parts):
                yield b"part %d;" % i
            await asyncio.sleep(self.idle)  # an event stream waiting for its next event
            yield b"late"
        except BaseException as exc:
            self.ended.append(type(exc).__name__)
            raise
        finally:
            self.ended.append("finally")


def streaming_app(probe):
    async def handler(request):
        return Response(200, None, StreamedContent(b"text/event-stream", probe))

    return Application(handler)


async def leave_later(leave, delay=0.2):  # after the watch has begun (50 ms after the first wait)
    await asyncio.sleep(delay)
    leave()


class CoroutineDisconnect(RSGIProtocol):
    """A server whose client_disconnect() is a coroutine, not a future."""

    async def client_disconnect(self):
        await RSGIProtocol.client_disconnect(self)


@pytest.mark.parametrize("face", ["asgi", "rsgi", "rsgi, coroutine client_disconnect"])
def test_a_client_leaving_ends_an_idle_stream(caplog, face):
    probe = Probe(parts=2)
    app = streaming_app(probe)

    async def scenario():
        if face == "asgi":
            peer = ASGIClient()
            served = asgi(app, peer)
        else:
            peer = CoroutineDisconnect() if "coroutine" in face else RSGIProtocol()
            served = rsgi(app, peer)
        asyncio.get_running_loop().create_task(leave_later(lambda: peer.leave()))
        await served
        assert asyncio.current_task().cancelling() == 0  # the cancellation the app caused is taken back
        await asyncio.sleep(0.01)  # and nothing is left pending for this task
        return peer

    peer = run(scenario(), timeout=3)
    if face == "asgi":
        assert peer.body == b"part 0;part 1;" and not peer.complete
    else:
        assert peer.parts == [b"part 0;", b"part 1;"]
    assert probe.ended[-1] == "finally"
    assert not error_records(caplog)


def test_a_stream_that_never_waits_is_not_watched():
    # Nothing could interrupt it: the client is not asked about, on either face.
    async def parts():
        for i in range(3):
            yield b"p%d;" % i

    async def handler(request):
        return Response(200, None, StreamedContent(b"text/plain", parts))

    app = Application(handler)
    protocol = run(rsgi(app))
    assert protocol.parts == [b"p0;", b"p1;", b"p2;"] and protocol.disconnect is None
    client = run(asgi(app))
    assert client.complete and client.body == b"p0;p1;p2;" and client.receives == 0


@pytest.mark.parametrize("face", ["asgi", "rsgi"])
def test_a_stream_runs_to_its_end_while_the_client_stays(face):
    probe = Probe(parts=3, idle=0.2)  # long enough for the watch to ask the server
    app = streaming_app(probe)
    if face == "asgi":
        client = run(asgi(app))
        assert client.complete and client.body == b"part 0;part 1;part 2;late"
    else:
        protocol = run(rsgi(app))
        assert protocol.parts == [b"part 0;", b"part 1;", b"part 2;", b"late"]
        assert protocol.disconnect.cancelled()  # the watch is let go
    assert probe.ended == ["finally"]


def test_the_iterator_is_closed_when_the_stream_stops_early():
    # a stream whose sender gives up (a None part closes it) leaves the generator
    # suspended: it is closed, not left to the garbage collector
    probe = []

    async def parts():
        try:
            yield b"a"
            yield b""  # the closing part: penmoth stops here
            yield b"never"
        finally:
            probe.append("finally")

    async def handler(request):
        return Response(200, None, StreamedContent(b"text/plain", parts))

    client = run(asgi(Application(handler)))
    assert client.complete and client.body == b"a" and probe == ["finally"]


@pytest.mark.parametrize("face", ["asgi", "rsgi"])
def test_a_cancellation_the_app_did_not_cause_propagates(face):
    probe = Probe(parts=1)
    app = streaming_app(probe)

    async def scenario():
        request = asyncio.ensure_future(asgi(app) if face == "asgi" else rsgi(app))
        await asyncio.sleep(0.05)
        request.cancel()  # the server shutting down, say
        with pytest.raises(asyncio.CancelledError):
            await request

    run(scenario())
    assert probe.ended == ["CancelledError", "finally"]


def test_a_stream_that_still_reads_the_request_body_loses_none_of_it():
    async def handler(request):
        async def echo():
            async for chunk in request.stream():
                await asyncio.sleep(0.01)  # slower than the watcher reads
                yield chunk.upper()

        return Response(200, None, StreamedContent(b"text/plain", echo))

    client = ASGIClient(body=tuple(b"chunk%d;" % i for i in range(20)))
    client = run(asgi(Application(handler), client))
    assert client.complete and client.body == b"".join(b"CHUNK%d;" % i for i in range(20))


def test_a_body_reader_waiting_when_the_watch_ends_reads_from_the_server():
    # a reader that waits for the watch's next message when the stream ends
    # (and the watch with it) reads from the server instead
    gate = asyncio.Event()
    readers = []

    class Client(ASGIClient):
        async def receive(self):
            self.receives += 1
            await gate.wait()
            return {"type": "http.request", "body": b"late", "more_body": False}

    async def handler(request):
        async def parts():
            readers.append(asyncio.ensure_future(request.read()))
            await asyncio.sleep(0.01)  # the stream waits: the watch begins and reads the server
            yield b"done"

        return Response(200, None, StreamedContent(b"text/plain", parts))

    async def scenario():
        client = await asgi(Application(handler), Client())
        await asyncio.sleep(0.01)
        gate.set()
        return client, await asyncio.wait_for(readers[0], 1)

    client, body = run(scenario())
    assert client.complete and client.body == b"done" and body == b"late"


def test_a_protocol_without_client_disconnect_still_streams_and_closes():
    class Plain(RSGIProtocol):
        client_disconnect = None

    probe = Probe(parts=2, idle=0.01)
    protocol = run(rsgi(streaming_app(probe), Plain()))
    assert protocol.parts == [b"part 0;", b"part 1;", b"late"] and probe.ended == ["finally"]


# --- the request a handler gets: its parts made when first read ------------------------------


def test_a_request_is_read_from_the_server_as_it_is_read():
    headers = LookupHeaders([("host", "h"), ("accept", "text/html"), ("cookie", "a=1"), ("cookie", "b=2")])
    seen = {}

    async def handler(request):
        seen["first"] = (request.get_first_header(b"Accept"), request.get_headers("cookie"), request.cookies)
        seen["asked"] = list(headers.asked)  # one header at a time, not the whole list
        seen["all"] = request._raw_headers
        seen["request"] = (request.method, request.url.value, request.scope)
        request._raw_headers = [(b"x", b"1")]  # set from outside: the server's list is not made again
        seen["set"] = request.get_first_header(b"x")
        return Response(204)

    scope = RSGIScope("/p", "q=1", headers, method="POST")
    run(Application(handler).__rsgi__(scope, RSGIProtocol()))
    assert seen["first"] == (b"text/html", [b"a=1", b"b=2"], {"a": "1", "b": "2"})
    assert "items" not in seen["asked"]
    assert seen["all"] == [(b"host", b"h"), (b"accept", b"text/html"), (b"cookie", b"a=1"), (b"cookie", b"b=2")]
    assert seen["request"] == ("POST", b"/p?q=1", scope) and seen["set"] == b"1"


def test_a_request_part_that_cannot_be_read_fails_where_it_is_read(caplog):
    class Broken:
        proto, path, query_string, headers = "http", "/", "", Headers([])

        @property
        def method(self):
            raise RuntimeError("no method")

    async def handler(request):
        assert request.url.value == b"/"  # the other parts are there
        with pytest.raises(RuntimeError, match="no method"):
            _ = request.method
        with pytest.raises(RuntimeError, match="no method"):  # read again, made again
            _ = request.method
        return Response(204)

    protocol = RSGIProtocol()
    run(Application(handler, max_body_size=None).__rsgi__(Broken(), protocol))
    assert protocol.calls[0][:2] == ("empty", 204)


# --- bodies past max_body_size ---------------------------------------------------------------


@pytest.mark.parametrize("face", ["asgi", "rsgi"])
def test_a_body_past_max_body_size_is_answered_413(caplog, face):
    calls = []

    async def handler(request):
        calls.append(request.method)
        return Response(200, None, TextContent(str(len(await request.read()))))

    app = Application(handler, max_body_size=8)

    def answer(method, headers, *chunks):
        if face == "asgi":
            body = chunks or (b"",)
            asgi_headers = [(n.encode(), v.encode()) for n, v in headers]
            client = run(asgi(app, ASGIClient(body=body), method=method, headers=asgi_headers))
            return client.status, client.body
        protocol = RSGIProtocol(*chunks)
        run(app.__rsgi__(RSGIScope("/", "", Headers(headers), method), protocol))
        call = protocol.calls[0]
        return call[1], call[3] if len(call) > 3 else b""

    assert answer("POST", [("content-length", "9")], b"123456789") == (413, b"Content Too Large")
    assert calls == []  # before the handler ran
    assert answer("POST", [], b"12345", b"6789") == (413, b"Content Too Large")  # counted as it is read
    assert answer("POST", [("content-length", "8")], b"12345678") == (200, b"8")
    assert answer("GET", [("content-length", "9")], b"123456789") == (413, b"Content Too Large")  # read, refused
    assert not [r for r in caplog.records if r.levelno >= logging.WARNING]
    with pytest.raises(ValueError):
        Application(handler, max_body_size=-1)
    assert Application(handler, max_body_size=None).max_body_size is None


# --- the server stops ------------------------------------------------------------------------


def test_a_stop_ends_the_streams_that_wait_and_finishes_their_responses(caplog):
    probe = Probe(parts=1)
    app = streaming_app(probe)

    async def scenario():
        client = ASGIClient()
        served = asyncio.ensure_future(asgi(app, client))
        await asyncio.sleep(0.1)
        app._end_streams()
        await asyncio.wait_for(served, 2)
        later = await asgi(app, ASGIClient())  # one that begins after the stop ends at its first wait
        return client, later

    client, later = run(scenario())
    assert client.complete and client.body == b"part 0;" and probe.ended[-2:] == ["CancelledError", "finally"]
    assert later.complete and later.body == b"part 0;"
    assert not error_records(caplog)
