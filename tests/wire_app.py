"""A bare application for the wire tests: every route answers one Response
straight through morrowfen.penmoth (no framework layer in between), so what a
client reads is what the module handed to the server."""

from morrowfen.contents import Content, TextContent
from morrowfen.cookies import Cookie
from morrowfen.messages import Response
from morrowfen.penmoth import instantiate_rsgi_request, send_asgi_response, send_rsgi_response, write_response_cookie

CAFE = "caf\xe9".encode()  # UTF-8: b"caf\xc3\xa9"
EURO = "\u20ac".encode()


def bad_content_type():
    content = TextContent("x")
    content.type = b"text/html\r\nSet-Cookie: injected=1"  # set after construction
    return Response(200, None, content)


def utf8_content_type():
    content = Content(b"x", b"body")
    content.type = b"text/plain; title=" + CAFE
    return Response(200, None, content)


ROUTES = {
    b"/bad/value": lambda: Response(200, [(b"x-user", b"a\r\nInjected: 1")], TextContent("x")),
    b"/bad/name": lambda: Response(200, [(b"x user", b"1")], TextContent("x")),
    b"/bad/content-type": bad_content_type,
    b"/utf8": lambda: Response(
        200, [(b"x-cafe", CAFE), (b"x-euro", EURO), (b"location", b"/" + CAFE)], TextContent("ok")
    ),
    b"/utf8/content-type": utf8_content_type,
    b"/cookie": lambda: Response(
        200,
        [
            (
                b"set-cookie",
                write_response_cookie(
                    Cookie("sid", "a b", path="/p", domain="example.org", same_site="strict", secure=True)
                ),
            )
        ],
        TextContent("c"),
    ),
    b"/204": lambda: Response(204),
    b"/304": lambda: Response(304, [(b"etag", b'"v1"')]),
    b"/200/empty": lambda: Response(200),
}


def answer(path):
    route = ROUTES.get(path)
    return route() if route else Response(404, None, TextContent("Not Found"))


async def asgi_app(scope, receive, send):
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                await send({"type": "lifespan.shutdown.complete"})
                return
    if scope["type"] == "http":
        await send_asgi_response(answer(scope["path"].encode()), send)


async def rsgi_app(scope, protocol):
    request = instantiate_rsgi_request(scope, protocol)
    await send_rsgi_response(answer(request.url.path), protocol)
