"""What morrowfen.server.Application costs per request over calling the
module functions directly, for a small buffered response, on both faces.

Both sides are driven the same way in the same run: fake send / receive /
protocol objects that complete at once, one coroutine step per request, the
same handler. Prints ns per request and the difference.

    .venv/bin/python bench/server_app.py [--quick]
"""

import asyncio
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))  # the fake server objects

from fakes import ASGIClient, Headers, NullProtocol, RSGIProtocol, RSGIScope, http_scope, receiver, send_nothing
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

HEADERS = [("host", "127.0.0.1:8000"), ("user-agent", "bench"), ("accept", "*/*")]
ASGI_SCOPE = {
    **http_scope("/items", b"page=2", headers=[(n.encode(), v.encode()) for n, v in HEADERS]),
    "asgi": {"version": "3.0"},
    "http_version": "1.1",
    "scheme": "http",
    "raw_path": b"/items",
    "root_path": "",
    "client": ("127.0.0.1", 50000),
    "server": ("127.0.0.1", 8000),
}
receive = receiver()  # never called: the handler reads no body
SCOPE = RSGIScope("/items", "page=2", Headers(HEADERS))
PROTOCOL = NullProtocol()


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
_loop = asyncio.new_event_loop()
APP.__rsgi_init__(_loop)  # the start-up a server runs before the first request
_loop.close()


def request_loop(app, *args):
    def run(n):
        for _ in range(n):
            coro = app(*args)
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
    seen = {}
    for side, asgi_app, rsgi_app in (("direct", direct_asgi, direct_rsgi), ("app", APP, APP.__rsgi__)):
        client, protocol = ASGIClient(), RSGIProtocol()
        request_loop(asgi_app, ASGI_SCOPE, receive, client.send)(1)
        request_loop(rsgi_app, SCOPE, protocol)(1)
        seen[side] = client.sent, protocol.calls
    assert seen["direct"] == seen["app"] and all(seen["app"]), seen


def main():
    check_same_answer()
    best = measure(
        {
            "asgi direct": request_loop(direct_asgi, ASGI_SCOPE, receive, send_nothing),
            "asgi Application": request_loop(APP, ASGI_SCOPE, receive, send_nothing),
            "rsgi direct": request_loop(direct_rsgi, SCOPE, PROTOCOL),
            "rsgi Application": request_loop(APP.__rsgi__, SCOPE, PROTOCOL),
        }
    )
    print(f"ns per request, small buffered response (best of {ROUNDS} rounds of {NUMBER})")
    print(f"{'face':<6}{'direct':>10}{'Application':>14}{'difference':>12}")
    for face in ("asgi", "rsgi"):
        direct, app = best[f"{face} direct"], best[f"{face} Application"]
        print(f"{face:<6}{direct:>10.0f}{app:>14.0f}{app - direct:>+12.0f}")


if __name__ == "__main__":
    main()
