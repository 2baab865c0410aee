"""The application tests/test_e2e_files.py serves on real servers: the files
of the folder named by MORROWFEN_E2E_FILES, through Application at
/files/NAME, and through penmoth's senders alone at /penmoth/NAME (on granian
RSGI with the protocol's response_file hidden, so that the file goes through
the paced stream transport)."""

import os

from morrowfen.contents import FileContent
from morrowfen.messages import Response
from morrowfen.penmoth import send_asgi_response, send_rsgi_response
from morrowfen.server import Application

ROOT = os.environ.get("MORROWFEN_E2E_FILES", ".")


def file_of(path):
    return FileContent(os.path.join(ROOT, path.rpartition("/")[2]))


async def handle(request):
    return Response(200, None, file_of(request.url.path.decode()))


app = Application(handle)


class WithoutFileSending:
    """An RSGI protocol without response_file: the file goes in parts."""

    def __init__(self, protocol):
        self.protocol = protocol

    def __getattr__(self, name):
        if name == "response_file":
            raise AttributeError(name)
        return getattr(self.protocol, name)


class RSGIApp:
    async def __rsgi__(self, scope, protocol):
        if scope.path.startswith("/penmoth/"):
            response = Response(200, None, file_of(scope.path))
            await send_rsgi_response(response, WithoutFileSending(protocol))
        else:
            await app.__rsgi__(scope, protocol)

    def __rsgi_init__(self, loop):
        app.__rsgi_init__(loop)

    def __rsgi_del__(self, loop):
        app.__rsgi_del__(loop)


async def asgi_app(scope, receive, send):
    if scope["type"] == "http" and scope["path"].startswith("/penmoth/"):
        await send_asgi_response(Response(200, None, file_of(scope["path"])), send)
    else:
        await app(scope, receive, send)


rsgi_app = RSGIApp()
