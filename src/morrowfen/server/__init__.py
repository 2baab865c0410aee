"""The serving layer: one object that serves a handler on ASGI and RSGI servers.

    from morrowfen.server import Application

    async def handler(request: Request) -> Response: ...

    app = Application(handler, on_startup=[open_db], on_shutdown=[close_db])

`await app(scope, receive, send)` is the ASGI face; `app.__rsgi__(scope,
protocol)` with `__rsgi_init__(loop)` / `__rsgi_del__(loop)` the RSGI face.
Each request is one native exchange (`morrowfen._server`): intake, the
handler, the answer. docs/api.md and docs/behaviour.md say what it does.
"""

from morrowfen.server.application import MAX_BODY_SIZE, Application, Handler, Hook, WebSocketHandler

__all__ = ["MAX_BODY_SIZE", "Application", "Handler", "Hook", "WebSocketHandler"]
