"""send_asgi_response against a recording `send`: the exact message sequence
for every body shape, and what failures leave behind."""

import asyncio

import pytest

from morrowfen import penmoth as pm
from morrowfen.contents import Content, StreamedContent, TextContent
from morrowfen.messages import Response

SIZE = 61440


class Recorder:
    """An ASGI `send` that records messages and completes after one loop turn."""

    def __init__(self, fail_at=None):
        self.messages = []
        self.fail_at = fail_at

    async def __call__(self, message):
        if len(self.messages) == self.fail_at:
            raise ConnectionResetError("client gone")
        self.messages.append(message)
        await asyncio.sleep(0)


def send(response, fail_at=None):
    recorder = Recorder(fail_at)
    asyncio.run(pm.send_asgi_response(response, recorder))
    return recorder.messages


def body_messages(messages):
    return [(m["body"], m.get("more_body", "absent")) for m in messages[1:]]


def streamed(*parts, length=-1, cls=StreamedContent):
    async def provider():
        for p in parts:
            yield p

    c = cls(b"application/octet-stream", provider)
    c.length = length
    return c


def test_no_content():
    messages = send(Response(200))
    assert messages == [
        {"type": "http.response.start", "status": 200, "headers": [(b"content-length", b"0")]},
        {"type": "http.response.body", "body": b""},
    ]
    assert [list(m) for m in messages] == [["type", "status", "headers"], ["type", "body"]]


def test_every_message_is_a_new_dict_whatever_the_server_does_with_the_last():
    async def meddling(message):
        message["type"] = "changed"
        message["extra"] = 1
        del message["body" if "body" in message else "status"]

    for _ in range(2):
        asyncio.run(pm.send_asgi_response(Response(200, None, TextContent("hi")), meddling))
    messages = send(Response(201, None, TextContent("hi")))
    assert [list(m) for m in messages] == [["type", "status", "headers"], ["type", "body", "more_body"]]
    assert messages[0]["type"] == "http.response.start" and messages[0]["status"] == 201
    assert messages[1] == {"type": "http.response.body", "body": b"hi", "more_body": False}
    assert messages[0] is not messages[1]


@pytest.mark.parametrize("status", [100, 101, 199, 204, 304])
def test_no_length_where_http_forbids_one(status):
    """1xx, 204 and 304 responses without content declare no length; the
    server still gets a list (the response's own, made when it had none)."""
    response = Response(status)
    start = send(response)[0]
    assert start["headers"] == [] and start["headers"] is response._raw_headers
    headers = [(b"x-a", b"1")]
    assert send(Response(status, headers))[0]["headers"] is headers and headers == [(b"x-a", b"1")]


def test_start_message_hands_over_the_raw_header_list():
    response = Response(200, [(b"x-a", b"1")], TextContent("hi"))
    headers = response._raw_headers
    messages = send(response)
    assert messages[0]["headers"] is headers
    assert headers == [(b"x-a", b"1"), (b"content-type", b"text/plain; charset=utf-8"), (b"content-length", b"2")]
    assert body_messages(messages) == [(b"hi", False)]
    assert list(messages[1]) == ["type", "body", "more_body"]


@pytest.mark.parametrize(
    "length, expected",
    [
        (0, [(b"", False)]),
        (SIZE, [(b"x" * SIZE, False)]),
        (SIZE + 1, [(b"x" * SIZE, True), (b"x", True), (b"", False)]),
        (3 * SIZE, [(b"x" * SIZE, True)] * 3 + [(b"", False)]),
    ],
)
def test_buffered_bodies(length, expected):
    body = b"x" * length
    c = Content(b"application/octet-stream", body)
    messages = send(Response(200, None, c))
    assert body_messages(messages) == expected
    if length <= SIZE:
        assert messages[1]["body"] is body  # no copy


def test_declared_length_chooses_the_branch():
    c = Content(b"text/plain", b"abc")
    c.length = 0  # true content, declared length 0: one message with the body as it is
    assert body_messages(send(Response(200, None, c))) == [(b"abc", False)]


@pytest.mark.parametrize(
    "parts, expected",
    [
        ((b"a", b"b"), [(b"a", True), (b"b", True), (b"", False)]),
        ((b"a", b""), [(b"a", True), (b"", False)]),
        ((), [(b"", False)]),
        ((b"a", None), [(b"a", True), (b"", False)]),
        ((b"a", b"", b"never"), [(b"a", True), (b"", False)]),
    ],
    ids=["plain", "closing-empty", "no-parts", "closing-none", "after-close"],
)
def test_streamed_bodies(parts, expected):
    assert body_messages(send(Response(200, None, streamed(*parts)))) == expected


def test_what_counts_as_streamed():
    # a StreamedContent with a fixed length is still sent part by part
    assert body_messages(send(Response(200, None, streamed(b"a", length=1)))) == [(b"a", True), (b"", False)]

    # a plain Content with a negative length is sent from get_parts()
    c = Content(b"text/plain", b"whole")
    c.length = -1
    assert body_messages(send(Response(200, None, c))) == [(b"whole", True), (b"", False)]


def test_after_the_closing_part_nothing_is_read():
    read = []

    async def provider():
        for p in (b"a", b"", b"b"):
            read.append(p)
            yield p

    send(Response(200, None, StreamedContent(b"x", provider)))
    assert read == [b"a", b""]


@pytest.mark.parametrize("bad", [bytearray(b"b"), "text", type("B", (bytes,), {})(b"b")])
def test_part_type_errors_come_after_earlier_parts(bad):
    recorder = Recorder()
    with pytest.raises(TypeError, match=f"^Expected bytes, got {type(bad).__name__}$"):
        asyncio.run(pm.send_asgi_response(Response(200, None, streamed(b"a", bad)), recorder))
    assert body_messages(recorder.messages) == [(b"a", True)]


def test_get_chunks_is_looked_up_by_name():
    original = pm.get_chunks
    pm.get_chunks = lambda body: (b"1", None, b"")
    try:
        assert body_messages(send(Response(200, None, Content(b"a", b"x" * (SIZE + 1))))) == [
            (b"1", True),
            (b"", False),
            (b"", False),
        ]
        del pm.get_chunks
        with pytest.raises(NameError, match="^name 'get_chunks' is not defined$"):
            send(Response(200, None, Content(b"a", b"x" * (SIZE + 1))))
    finally:
        pm.get_chunks = original


def test_failures():
    # send raising: that exception, nothing more sent
    with pytest.raises(ConnectionResetError):
        send(Response(200, None, streamed(b"a", b"b")), fail_at=2)

    async def not_awaitable(message):
        return None

    def plain(message):
        return 5

    with pytest.raises(TypeError, match="^object int can't be used in 'await' expression$"):
        asyncio.run(pm.send_asgi_response(Response(200), plain))
    # None is refused before any field is read
    with pytest.raises(TypeError, match="Argument 'response' has incorrect type"):
        asyncio.run(pm.send_asgi_response(None, Recorder()))
    # a None body on the sliced path
    c = Content(b"a", b"x")
    c.length = SIZE + 1
    c.body = None
    with pytest.raises(TypeError, match=r"object of type 'NoneType' has no len\(\)"):
        send(Response(200, None, c))


def test_coroutine_object():
    c = pm.send_asgi_response(response=Response(200), send=Recorder())
    assert c.__name__ == c.__qualname__ == "send_asgi_response"
    assert repr(c).startswith("<coroutine object send_asgi_response at 0x")
    with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
        c.send(1)
    c.close()


def test_cancelled_mid_stream_finalizes_the_content():
    finalized = []

    async def provider():
        try:
            for i in range(1000):
                yield b"part %d" % i
        finally:
            finalized.append(True)

    async def main():
        gate = asyncio.Event()

        async def slow_send(message):
            if message.get("body") == b"part 3":
                gate.set()
                await asyncio.sleep(10)

        task = asyncio.create_task(
            pm.send_asgi_response(Response(200, None, StreamedContent(b"x", provider)), slow_send)
        )
        await gate.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    assert finalized == [True]


@pytest.mark.parametrize(
    "headers, error, text",
    [
        ([(b"x-user", b"a\r\nInjected: 1")], ValueError, "invalid value of header b'x-user'"),
        ([(b"x-user", b"a\0")], ValueError, "invalid value of header b'x-user'"),
        ([(b"x user", b"1")], ValueError, "invalid header name b'x user'"),
        ([(b"x-ok", b"1"), ("x-str", "1")], TypeError, "must be bytes, not str and str"),
        ([(b"x-ok", b"1"), (b"x-short",)], TypeError, "a response header must be a (name, value) pair"),
        ([b"x-ok: 1"], TypeError, "a response header must be a (name, value) pair"),
    ],
)
def test_invalid_headers_are_refused_before_the_start_message(headers, error, text):
    response = Response(200, None, TextContent("x"))
    response._raw_headers = headers  # the constructor's check is bypassed on purpose
    with pytest.raises(error, match=__import__("re").escape(text)):
        send(response)
    recorder = Recorder()
    with pytest.raises(error):
        asyncio.run(pm.send_asgi_response(response, recorder))
    assert recorder.messages == []


def test_content_type_changed_after_construction_is_refused():
    content = TextContent("x")
    content.type = b"text/html\r\nSet-Cookie: a=b"
    recorder = Recorder()
    with pytest.raises(ValueError):
        asyncio.run(pm.send_asgi_response(Response(200, None, content), recorder))
    assert recorder.messages == []


def test_valid_headers_go_out_as_the_same_list():
    headers = [(b"x-utf8", "caf\xe9".encode()), [b"x-list", b"pair"], (b"x-empty", b"")]
    messages = send(Response(200, headers, TextContent("x")))
    assert messages[0]["headers"] is headers
    assert headers[:3] == [(b"x-utf8", "caf\xe9".encode()), [b"x-list", b"pair"], (b"x-empty", b"")]
