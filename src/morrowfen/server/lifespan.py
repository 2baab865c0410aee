"""The hooks: run once before the first request and once when the server
stops, at the ASGI lifespan events or in granian's RSGI `__rsgi_init__` /
`__rsgi_del__`; on a server that sends no lifespan events, the first requests
wait for the startup hooks."""

from __future__ import annotations

import asyncio
import inspect
import logging
from collections.abc import Awaitable, Callable
from typing import Any

from morrowfen._server import Core
from morrowfen.server.stopping import watch_stop
from morrowfen.server.types import Receive, Send

logger = logging.getLogger("morrowfen.server")

Hook = Callable[..., Awaitable[Any]]


def check_hook(hook: Any) -> None:
    if not callable(hook):
        raise TypeError(f"a hook must be an async callable, not {type(hook).__name__}")


def hook_caller(hook: Hook, app: Lifespan) -> Callable[[], Awaitable[Any]]:
    """A hook as a call without arguments: given the application when it takes one."""
    check_hook(hook)
    try:
        signature = inspect.signature(hook)
    except (TypeError, ValueError):  # no signature to read: it takes the application
        return lambda: hook(app)
    try:
        signature.bind(app)
    except TypeError:
        return hook
    return lambda: hook(app)


class Lifespan(Core):
    """Application's hooks and the lifespan protocol, on the native Core that
    every request reads (`_started`, `_end_streams`)."""

    __slots__ = ("__weakref__", "_starting", "_stopped", "on_shutdown", "on_startup")

    on_startup: list[Hook]
    on_shutdown: list[Hook]
    _starting: asyncio.Future[None] | None
    _stopped: bool

    async def startup(self) -> None:
        """Runs the startup hooks, once: callers that come while they run
        wait for them; later calls return at once."""
        if self._started:
            return
        starting = self._starting
        if starting is None:
            watch_stop(self, asyncio.get_running_loop())
            starting = self._starting = asyncio.ensure_future(self._run_hooks(self.on_startup))
        await asyncio.shield(starting)
        self._started = True

    async def shutdown(self) -> None:
        """Runs the shutdown hooks, once."""
        if self._stopped:
            return
        self._stopped = True
        await self._run_hooks(self.on_shutdown)

    async def _started_for_request(self) -> bool:
        """For a server that sent no lifespan events: runs the startup hooks
        before the first request. A hook that failed is logged once, and every
        request is answered 500."""
        first = self._starting is None
        try:
            await self.startup()
        except Exception:
            if first:
                logger.exception("a startup hook failed; requests are answered 500")
            return False
        return True

    async def _run_hooks(self, hooks: list[Hook]) -> None:
        for hook in hooks:
            await hook_caller(hook, self)()

    async def _lifespan(self, receive: Receive, send: Send) -> None:
        while True:
            message = await receive()
            kind = message.get("type")
            if kind == "lifespan.startup":
                try:
                    await self.startup()
                except Exception as exc:
                    logger.exception("a startup hook failed")
                    await send({"type": "lifespan.startup.failed", "message": str(exc) or repr(exc)})
                    return
                await send({"type": "lifespan.startup.complete"})
            elif kind == "lifespan.shutdown":
                self._end_streams()
                try:
                    await self.shutdown()
                except Exception as exc:
                    logger.exception("a shutdown hook failed")
                    await send({"type": "lifespan.shutdown.failed", "message": str(exc) or repr(exc)})
                    return
                await send({"type": "lifespan.shutdown.complete"})
                return

    def __rsgi_init__(self, loop: asyncio.AbstractEventLoop) -> None:
        try:
            loop.run_until_complete(self.startup())
        except Exception:
            logger.exception("a startup hook failed")
            raise

    def __rsgi_del__(self, loop: asyncio.AbstractEventLoop) -> None:
        self._end_streams()
        try:
            loop.run_until_complete(self.shutdown())
        except Exception:
            logger.exception("a shutdown hook failed")
