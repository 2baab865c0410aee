"""Ending open streams when the server begins to stop.

No server tells an application that a stop has begun: the ASGI lifespan
"lifespan.shutdown" and granian's `__rsgi_del__` come only once every
connection has closed (or at the server's limit), and open requests get no
disconnect. A stream that waits for its next event would hold the stop until
the server's limit, and then lose its `finally` and the shutdown hooks. So
each worker notices when its server begins to stop, and its applications end
their waiting streams then (their `finally` runs, the response ends cleanly):

- uvicorn: its handler of SIGTERM and SIGINT, `uvicorn.server.Server.handle_exit`;
- granian: its worker's signal handler, made in `granian._signals.set_loop_signals`.

Each is watched with `sys.monitoring` (a start event on that one function's
code): the server's handler runs as it always does, nothing else is slowed,
and the server's own signal handling is left alone. Where neither server is
found (hypercorn, a test loop), nothing is watched.
"""

from __future__ import annotations

import asyncio
import logging
import sys
import types
import weakref
from typing import Any, Protocol

logger = logging.getLogger("morrowfen.server")


class _Stoppable(Protocol):
    def _end_streams(self) -> None: ...


_applications: weakref.WeakSet[_Stoppable] = weakref.WeakSet()
_loop: asyncio.AbstractEventLoop | None = None
_tool: int | None = None
# sys.monitoring's ids 0-2 and 5 are the debugger's, coverage's, the
# profiler's and the optimizer's.
_FREE_TOOL_IDS = (4, 3)


def _server_stop_handlers() -> list[types.CodeType]:
    """The code of the functions the servers loaded here run when a stop begins."""
    found = []
    uvicorn = sys.modules.get("uvicorn.server")
    handle_exit = getattr(getattr(uvicorn, "Server", None), "handle_exit", None)
    code = getattr(handle_exit, "__code__", None)
    if isinstance(code, types.CodeType):
        found.append(code)
    granian = sys.modules.get("granian._signals")
    outer = getattr(getattr(granian, "set_loop_signals", None), "__code__", None)
    if outer is not None:
        found.extend(c for c in outer.co_consts if isinstance(c, types.CodeType) and c.co_name == "signal_handler")
    return found


def _end_streams() -> None:
    for application in list(_applications):
        try:
            application._end_streams()
        except Exception:
            logger.exception("ending the open streams failed")


def _stop_begins(code: types.CodeType, offset: int) -> Any:
    # In the thread that runs the server's handler (the loop's, for both
    # servers); the streams are ended from the loop, as any callback.
    loop = _loop
    if loop is not None and not loop.is_closed():
        loop.call_soon_threadsafe(_end_streams)
    return sys.monitoring.DISABLE


def watch_stop(application: _Stoppable, loop: asyncio.AbstractEventLoop) -> None:
    """Ends `application`'s waiting streams when this worker's server begins
    to stop. Called once the application starts (in the worker, with the loop
    its requests run on); later calls only add applications."""
    global _loop, _tool
    _applications.add(application)
    _loop = loop
    if _tool is not None:
        return
    handlers = _server_stop_handlers()
    if not handlers:
        return
    monitoring = sys.monitoring
    tool = next((t for t in _FREE_TOOL_IDS if monitoring.get_tool(t) is None), None)
    if tool is None:
        logger.debug("no sys.monitoring tool id is free: open streams last until the server's stop limit")
        return
    monitoring.use_tool_id(tool, "morrowfen stop watch")
    monitoring.register_callback(tool, monitoring.events.PY_START, _stop_begins)
    for code in handlers:
        monitoring.set_local_events(tool, code, monitoring.events.PY_START)
    _tool = tool
