"""What morrowfen.server.Application costs per request over calling the
module functions directly, for a small buffered response, on both faces.

Both sides are driven the same way in the same run: fake send / receive /
protocol objects that complete at once, one coroutine step per request, the
same handler. Prints ns per request and the difference.

    .venv/bin/python bench/server_app.py [--quick]
"""

import sys
import time

from morrowfen._server import instantiate_asgi_request
from morrowfen.contents import JSONContent
from morrowfen.messages import Response
from morrowfen.penmoth import instantiate_rsgi_request, send_asgi_response, send_rsgi_response
from morrowfen.server import Application

QUICK = "--quick" in sys.argv
NUMBER = 20_000 if QUICK else 100_000
ROUNDS = 5 if QUICK else 9

CONTENT = JSONContent({"ok": True})


async def handler(request):
    return Response(200, None, CONTENT)


# --- the fake gateways ---------------------------------------------------------------

ASGI_SCOPE = {
    "type": "http",
    "asgi": {"version": "3.0"},
    "http_version": "1.1",
    "method": "GET",
    "scheme": "http",
    "path": "/items",
    "raw_path": b"/items",
    "query_string": b"page=2",
    "root_path": "",
    "headers": [(b"host", b"127.0.0.1:8000"), (b"user-agent", b"bench"), (b"accept", b"*/*")],
    "client": ("127.0.0.1", 50000),
    "server": ("127.0.0.1", 8000),
}


async def receive():
    return {"type": "http.request", "body": b"", "more_body": False}


async def send(message):
    pass


class Headers:
    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return self.pairs


class Scope:
    proto = "http"
    http_version = "1.1"
    method = "GET"
    path = "/items"
    query_string = "page=2"
    headers = Headers([("host", "127.0.0.1:8000"), ("user-agent", "bench"), ("accept", "*/*")])


class Protocol:
    def response_empty(self, status, headers):
        pass

    def response_bytes(self, status, headers, body):
        pass

    def response_str(self, status, headers, body):
        pass


SCOPE = Scope()
PROTOCOL = Protocol()


# --- the two sides --------------------------------------------------------------------


async def direct_asgi(scope, receive, send):
    request = instantiate_asgi_request(scope, receive)
    response = await handler(request)
    await send_asgi_response(response, send)


async def direct_rsgi(scope, protocol):
    request = instantiate_rsgi_request(scope, protocol)
    response = await handler(request)
    await send_rsgi_response(response, protocol)


APP = Application(handler)
APP._started = True  # as after the server's lifespan start-up


def asgi_loop(app):
    def run(n):
        for _ in range(n):
            coro = app(ASGI_SCOPE, receive, send)
            try:
                coro.send(None)
            except StopIteration:
                pass
            else:
                raise AssertionError("the request did not complete in one step")

    return run


def rsgi_loop(app):
    def run(n):
        for _ in range(n):
            coro = app(SCOPE, PROTOCOL)
            try:
                coro.send(None)
            except StopIteration:
                pass
            else:
                raise AssertionError("the request did not complete in one step")

    return run


def measure(cases):
    """Best ns per call of each case; rounds interleave the cases so that
    both sides see the same machine state."""
    best = {name: float("inf") for name in cases}
    for run in cases.values():
        run(NUMBER // 10)  # warm up
    for _ in range(ROUNDS):
        for name, run in cases.items():
            t0 = time.perf_counter_ns()
            run(NUMBER)
            best[name] = min(best[name], (time.perf_counter_ns() - t0) / NUMBER)
    return best


def check_same_answer():
    """Both sides put the same messages on the fake wire."""
    for face in ("asgi", "rsgi"):
        seen = {}
        for side in ("direct", "app"):
            got = []
            if face == "asgi":

                async def record(message):
                    got.append(message)

                target = direct_asgi if side == "direct" else APP
                coro = target(ASGI_SCOPE, receive, record)
            else:

                class Recording(Protocol):
                    def response_bytes(self, status, headers, body):
                        got.append((status, headers, body))

                target = direct_rsgi if side == "direct" else APP.__rsgi__
                coro = target(SCOPE, Recording())
            try:
                coro.send(None)
            except StopIteration:
                pass
            seen[side] = got
        assert seen["direct"] == seen["app"] and seen["app"], (face, seen)


def main():
    check_same_answer()
    best = measure(
        {
            "asgi direct": asgi_loop(direct_asgi),
            "asgi Application": asgi_loop(APP),
            "rsgi direct": rsgi_loop(direct_rsgi),
            "rsgi Application": rsgi_loop(APP.__rsgi__),
        }
    )
    print(f"ns per request, small buffered response (best of {ROUNDS} rounds of {NUMBER})")
    print(f"{'face':<6}{'direct':>10}{'Application':>14}{'difference':>12}")
    for face in ("asgi", "rsgi"):
        direct, app = best[f"{face} direct"], best[f"{face} Application"]
        print(f"{face:<6}{direct:>10.0f}{app:>14.0f}{app - direct:>+12.0f}")


if __name__ == "__main__":
    main()
