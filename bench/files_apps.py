"""The applications bench/files.py serves: GET /NAME answers the file NAME of
the folder named by MORROWFEN_BENCH_FILES, whole.

Apps (each server imports `<app>_<interface>`): `server`,
morrowfen.server.Application answering a FileContent; `bare`, a callable that
hands the file to the server's own file sending with the least it must say
(its type and length): granian's RSGI `response_file` and its ASGI
`http.response.pathsend`; `starlette`, Starlette's FileResponse, written as
its documentation shows."""

import os

ROOT = os.environ.get("MORROWFEN_BENCH_FILES", ".")
TYPE = "application/octet-stream"


def path_of(url_path):
    return os.path.join(ROOT, url_path.lstrip("/"))


def make_server():
    from morrowfen.contents import FileContent
    from morrowfen.messages import Response
    from morrowfen.server import Application

    async def handler(request):
        return Response(200, None, FileContent(path_of(request.url.path.decode())))

    return Application(handler)


class BareRSGI:
    async def __rsgi__(self, scope, protocol):
        path = path_of(scope.path)
        headers = [("content-type", TYPE), ("content-length", str(os.stat(path).st_size))]
        protocol.response_file(200, headers, path)


async def bare_asgi(scope, receive, send):
    if scope["type"] == "lifespan":
        while (await receive())["type"] != "lifespan.shutdown":
            await send({"type": "lifespan.startup.complete"})
        await send({"type": "lifespan.shutdown.complete"})
        return
    path = path_of(scope["path"])
    length = str(os.stat(path).st_size).encode()
    await send(
        {
            "type": "http.response.start",
            "status": 200,
            "headers": [(b"content-type", TYPE.encode()), (b"content-length", length)],
        }
    )
    await send({"type": "http.response.pathsend", "path": path})


def make_starlette():
    from starlette.applications import Starlette
    from starlette.responses import FileResponse
    from starlette.routing import Route

    async def file(request):
        return FileResponse(path_of(request.url.path))

    return Starlette(routes=[Route("/{name}", file)])


server_asgi = server_rsgi = make_server()
bare_rsgi = BareRSGI()
# Built on first use, so that this module imports without the framework.
MADE = {"starlette_asgi": make_starlette}


def __getattr__(name):
    if name not in MADE:
        raise AttributeError(name)
    app = globals()[name] = MADE[name]()
    return app
