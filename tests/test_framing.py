"""Slicing of buffered bodies and the chunked transfer coding of parts."""

import asyncio

import h11
import pytest

from morrowfen import penmoth as pm
from morrowfen.contents import Content, StreamedContent

SIZE = 61440


@pytest.mark.parametrize(
    "n, expected",
    [
        (0, [0]),
        (1, [1, 0]),
        (SIZE, [SIZE, 0]),
        (SIZE + 1, [SIZE, 1, 0]),
        (2 * SIZE, [SIZE, SIZE, 0]),
        (5 * SIZE + 7, [SIZE] * 5 + [7, 0]),
    ],
)
def test_get_chunks_slices(n, expected):
    data = bytes(range(256)) * (n // 256) + bytes(n % 256)
    pieces = list(pm.get_chunks(data))
    assert [len(p) for p in pieces] == expected
    assert b"".join(pieces) == data
    assert all(type(p) is bytes for p in pieces)


def test_get_chunks_generator():
    g = pm.get_chunks(b"abc")
    assert g.__name__ == g.__qualname__ == "get_chunks"
    assert repr(g).startswith("<generator object get_chunks at ")
    with pytest.raises(TypeError, match="can't send non-None value to a just-started generator"):
        g.send(1)
    assert next(g) == b"abc" and next(g) == b""
    with pytest.raises(StopIteration):
        next(g)
    g = pm.get_chunks(None)  # passes the argument test, fails on the first advance
    with pytest.raises(TypeError, match=r"^object of type 'NoneType' has no len\(\)$"):
        next(g)
    with pytest.raises(TypeError, match="Argument 'data' has incorrect type"):
        pm.get_chunks(bytearray(b"x"))


def parts_content(*parts):
    async def provider():
        for p in parts:
            yield p

    return StreamedContent(b"application/octet-stream", provider)


async def frames(content):
    return [f async for f in pm.write_chunks(content)]


def run(coro):
    return asyncio.run(coro)


@pytest.mark.parametrize(
    "n, size", [(5, b"5"), (10, b"a"), (255, b"ff"), (4096, b"1000"), (61440, b"f000"), (1048576, b"100000")]
)
def test_frame_sizes(n, size):
    part = b"x" * n
    assert run(frames(parts_content(part))) == [size + b"\r\n" + part + b"\r\n", b"0\r\n\r\n"]


def test_write_chunks_bodies():
    assert run(frames(Content(b"text/plain", b"hello"))) == [b"5\r\nhello\r\n", b"0\r\n\r\n"]
    assert run(frames(parts_content())) == [b"0\r\n\r\n"]
    # a zero-length part would end the body early: it is dropped, the terminator comes once, at the end
    assert run(frames(parts_content(b"a", b"", b"bc", bytearray(b"d"), memoryview(b"ef")))) == [
        b"1\r\na\r\n",
        b"2\r\nbc\r\n",
        b"1\r\nd\r\n",
        b"2\r\nef\r\n",
        b"0\r\n\r\n",
    ]


def decode_with_h11(wire_body):
    conn = h11.Connection(h11.CLIENT)
    conn.send(h11.Request(method="GET", target="/", headers=[("Host", "x")]))
    conn.send(h11.EndOfMessage())
    conn.receive_data(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + wire_body)
    parts = []
    while True:
        event = conn.next_event()
        if isinstance(event, h11.Data):
            parts.append(bytes(event.data))
        elif isinstance(event, h11.EndOfMessage):
            return parts
        elif event is h11.NEED_DATA:
            raise AssertionError("body incomplete")


def test_frames_decode_with_a_real_parser():
    parts = [b"first", bytes(range(256)) * 300, b"\r\n0\r\n\r\n", b"last"]
    wire = b"".join(run(frames(parts_content(*parts))))
    assert decode_with_h11(wire) == parts


def test_write_chunks_failures():
    async def first(content):
        return await anext(pm.write_chunks(content))

    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'get_parts'"):
        run(first(None))
    with pytest.raises(TypeError, match="can't concat str to bytes"):
        run(first(parts_content("text")))
    with pytest.raises(TypeError, match=r"object of type 'int' has no len\(\)"):
        run(first(parts_content(5)))

    class NotIterable(Content):
        def get_parts(self):
            return 5

    with pytest.raises(TypeError, match="'async for' requires an object with __aiter__ method, got int"):
        run(first(NotIterable(b"a", b"b")))

    class NoNext(Content):
        def get_parts(self):
            class It:
                def __aiter__(self):
                    return self

            return It()

    with pytest.raises(TypeError, match="'async for' requires an object with __anext__ method, got It"):
        run(first(NoNext(b"a", b"b")))

    async def failing():
        yield b"a"
        raise KeyError("gone")

    async def collect():
        got = []
        with pytest.raises(KeyError):
            async for f in pm.write_chunks(StreamedContent(b"a", failing)):
                got.append(f)
        return got

    assert run(collect()) == [b"1\r\na\r\n"]  # no terminator after a failure


def test_write_chunks_object():
    agen = pm.write_chunks(Content(b"a", b"b"))
    assert agen.__name__ == agen.__qualname__ == "write_chunks"
    with pytest.raises(TypeError, match="can't send non-None value to a just-started async generator"):
        agen.asend(1).send(None)
    with pytest.raises(TypeError, match="Argument 'http_content' has incorrect type"):
        pm.write_chunks(b"x")
