"""Micro-benchmarks of morrowfen.penmoth against plain-Python equivalents
measured in the same run. Prints ns per operation and the ratio
(Python / native: above 1 means the native code is faster).

    ./dev bench            (or: .venv/bin/python bench/run.py [--quick])
"""

import re
import sys
import time

from morrowfen import _probe
from morrowfen import penmoth as pm
from morrowfen.contents import Content, JSONContent, ServerSentEvent, StreamedContent, TextServerSentEvent
from morrowfen.messages import Response

QUICK = "--quick" in sys.argv


def best_ns(fn, number):
    """Best of several rounds, in ns per call."""
    rounds = 3 if QUICK else 7
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter_ns()
        fn(number)
        best = min(best, (time.perf_counter_ns() - t0) / number)
    return best


# --- plain-Python equivalents -------------------------------------------------------

KNOWN_HEADERS = {n: n.encode() for n in (
    "host", "user-agent", "accept", "accept-encoding", "accept-language", "content-type", "content-length",
    "connection", "cookie", "authorization", "origin", "referer", "cache-control", "pragma",
    "upgrade-insecure-requests", "sec-ch-ua", "sec-ch-ua-mobile", "sec-ch-ua-platform", "sec-fetch-site",
    "sec-fetch-mode", "sec-fetch-user", "sec-fetch-dest", "x-forwarded-for", "x-forwarded-proto",
    "x-forwarded-host", "x-real-ip")}
HEADER_VAL_BYTES = {v: v.encode() for v in (
    "*/*", "keep-alive", "close", "gzip, deflate", "gzip, deflate, br", "application/json", "text/plain",
    "text/plain; charset=utf-8", "text/html", "text/html; charset=utf-8")}
PREBUILT = {ct.encode(): [("content-type", ct)] for ct in (
    "application/json", "text/plain; charset=utf-8", "text/plain", "text/html; charset=utf-8", "text/html")}
EMPTY = []


def py_set_headers(message):
    content = message.content
    headers = message._raw_headers
    if headers is None:
        headers = message._raw_headers = []
    if not content:
        headers.append((b"content-length", b"0"))
        return
    ct = content.type or b"application/octet-stream"
    headers.append((b"content-type", ct))
    if content.length < 0:
        headers.append((b"transfer-encoding", b"chunked"))
    else:
        headers.append((b"content-length", str(content.length).encode()))


async def py_send_asgi_response(response, send):
    content = response.content
    py_set_headers(response)
    await send({"type": "http.response.start", "status": response.status, "headers": response._raw_headers})
    if not content:
        await send({"type": "http.response.body", "body": b""})
        return
    if content.length < 0 or isinstance(content, StreamedContent):
        raise NotImplementedError
    if content.length > 61440:
        raise NotImplementedError
    await send({"type": "http.response.body", "body": content.body, "more_body": False})


def py_extract_rsgi_headers(raw_headers):
    headers = []
    for name, value in raw_headers:
        name_bytes = KNOWN_HEADERS.get(name) if type(name) is str else None
        if name_bytes is None:
            name_bytes = name if type(name) is bytes else str(name).encode("latin-1")
        value_bytes = HEADER_VAL_BYTES.get(value) if type(value) is str else None
        if value_bytes is None:
            value_bytes = value if type(value) is bytes else str(value).encode("latin-1")
        headers.append((name_bytes, value_bytes))
    return headers


def py_send_rsgi_response_sync(response, protocol):
    content = response.content
    raw = response._raw_headers
    if not raw:
        if content is None or content.type is None:
            headers = EMPTY
        else:
            headers = PREBUILT.get(content.type) or [("content-type", content.type.decode("latin-1"))]
    else:
        raise NotImplementedError
    if content is None:
        protocol.response_empty(response.status, headers)
        return None
    body = content.body
    if type(body) is bytes:
        protocol.response_bytes(response.status, headers, body)
        return None
    raise NotImplementedError


NEW_LINES = re.compile("\r\n|\n")


def py_write_sse(event):
    value = bytearray()
    if event.id:
        value.extend(b"id: " + NEW_LINES.sub("", event.id).encode() + b"\n")
    if event.comment:
        for part in NEW_LINES.split(event.comment):
            value.extend(b": " + part.encode() + b"\n")
    if event.event:
        value.extend(b"event: " + NEW_LINES.sub("", event.event).encode() + b"\n")
    if event.data:
        for line in re.split("\r\n|\r|\n", event.write_data()):
            value.extend(b"data: " + line.encode() + b"\n")
    if event.retry >= 0:
        value.extend(b"retry: " + str(event.retry).encode() + b"\n")
    value.extend(b"\n")
    return bytes(value)


# --- cases ---------------------------------------------------------------------------------


async def send_now(message):
    pass


class Protocol:
    def response_empty(self, status, headers):
        pass

    def response_bytes(self, status, headers, body):
        pass

    def response_str(self, status, headers, body):
        pass


def done_future():
    import asyncio

    loop = asyncio.new_event_loop()
    future = loop.create_future()
    future.set_result(None)
    return future


DONE = done_future()


def send_done(message):
    """A send whose awaitable is an already completed future (no coroutine)."""
    return DONE


def asgi_case(impl, send=send_now):
    response = Response(200, None, Content(b"application/json", b'{"ok":true}'))

    def run(n):
        for _ in range(n):
            response._raw_headers = None
            coro = impl(response, send)
            try:
                coro.send(None)
            except StopIteration:
                pass

    return run


def rsgi_case(impl):
    response = Response(200, None, JSONContent({"ok": True}))
    protocol = Protocol()

    def run(n):
        for _ in range(n):
            impl(response, protocol)

    return run


BROWSER_HEADERS = [
    ("host", "127.0.0.1:8000"), ("connection", "keep-alive"), ("sec-ch-ua", '"Chromium";v="156"'),
    ("sec-ch-ua-mobile", "?0"), ("sec-ch-ua-platform", '"Linux"'), ("upgrade-insecure-requests", "1"),
    ("user-agent", "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 Chrome/156.0 Safari/537.36"),
    ("accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"), ("sec-fetch-site", "none"),
    ("sec-fetch-mode", "navigate"), ("accept-encoding", "gzip, deflate, br"), ("accept-language", "en-US,en;q=0.9"),
]


def extract_case(impl):
    def run(n):
        for _ in range(n):
            impl(BROWSER_HEADERS)

    return run


def sse_case(impl):
    event = TextServerSentEvent("hello world", event="tick", id="42", retry=1000)

    def run(n):
        for _ in range(n):
            impl(event)

    return run


async def py_await_all(items):
    return [await x for x in items]


async def py_await_one(x):
    return await x


def coroutine_case(impl, arg):
    def run(n):
        for _ in range(n):
            coro = impl(arg)
            try:
                coro.send(None)
            except StopIteration:
                pass

    return run


CASES = [
    ("native coroutine: create and run a body that returns at once", lambda impl: coroutine_case(impl, []),
     _probe.await_all, py_await_all, 200_000),
    ("native coroutine: one await of a done future", lambda impl: coroutine_case(impl, DONE), _probe.await_one,
     py_await_one, 200_000),
    ("send_asgi_response, small buffered body, async def send", asgi_case, pm.send_asgi_response,
     py_send_asgi_response, 50_000),
    ("send_asgi_response, small buffered body, send gives a done future",
     lambda impl: asgi_case(impl, send_done), pm.send_asgi_response, py_send_asgi_response, 50_000),
    ("send_rsgi_response_sync, prebuilt JSON header list", rsgi_case, pm.send_rsgi_response_sync,
     py_send_rsgi_response_sync, 200_000),
    ("extract_rsgi_headers, 12-header browser request", extract_case, pm.extract_rsgi_headers,
     py_extract_rsgi_headers, 100_000),
    ("write_sse, id + event + data + retry", sse_case, pm.write_sse, py_write_sse, 100_000),
]


def check_equivalence():
    """The baselines do the same work: same results on the benchmarked inputs."""
    assert pm.extract_rsgi_headers(BROWSER_HEADERS) == py_extract_rsgi_headers(BROWSER_HEADERS)
    event = TextServerSentEvent("hello world", event="tick", id="42", retry=1000)
    assert pm.write_sse(event) == py_write_sse(event)
    for impl in (pm.send_asgi_response, py_send_asgi_response):
        sent = []

        async def send(message):
            sent.append(message)

        response = Response(200, None, Content(b"application/json", b"{}"))
        try:
            impl(response, send).send(None)
        except StopIteration:
            pass
        yield sent


def main():
    native_sent, python_sent = check_equivalence()
    assert native_sent == python_sent, (native_sent, python_sent)
    number_scale = 0.1 if QUICK else 1
    print(f"{'case':68} {'native':>10} {'python':>10} {'ratio':>7}")
    for title, make, native, python, number in CASES:
        number = max(1000, int(number * number_scale))
        n_ns = best_ns(make(native), number)
        p_ns = best_ns(make(python), number)
        print(f"{title:68} {n_ns:8.0f}ns {p_ns:8.0f}ns {p_ns / n_ns:6.2f}x")


if __name__ == "__main__":
    main()
