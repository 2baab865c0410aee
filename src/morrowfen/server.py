"""The serving layer: one object that serves a handler on ASGI and RSGI servers.

    from morrowfen.server import Application

    async def handler(request: Request) -> Response: ...

    app = Application(handler, on_startup=[open_db], on_shutdown=[close_db])

`await app(scope, receive, send)` is the ASGI face; `app.__rsgi__(scope,
protocol)` with `__rsgi_init__(loop)` / `__rsgi_del__(loop)` the RSGI face.

What a request costs: a buffered response goes straight from the handler to
penmoth's sender, with no task, wrapper or extra coroutine. Only streamed
responses pay for watching the client, and only once the sender first waits
(a stream that never waits cannot be interrupted): the body's async iterator
is taken here, penmoth's sender gets a StreamedContent that hands out that
very iterator, and when the client leaves (RSGI:
`protocol.client_disconnect()` completes; ASGI: `receive()` gives
"http.disconnect") the request's own task is cancelled, which interrupts a
stream even while it waits for its next part. The iterator is always closed
(`aclose()` awaited) before the request ends.

Errors: an HTTPException raised by the handler answers its status and message
as text/plain; anything else answers 500 "Internal Server Error" and is
logged with its traceback on the "morrowfen.server" logger. An error after
the response has started is logged once here, and the response is left
unfinished, so that the server closes the connection (the client sees a
truncated body, never a complete-looking one where the server can tell).
"""

from __future__ import annotations

import asyncio
import collections
import inspect
import logging
import reprlib
import sys
import types
from collections.abc import AsyncIterator, Awaitable, Callable, Generator, Iterable, MutableMapping
from typing import Any

from morrowfen._server import instantiate_asgi_request
from morrowfen.contents import ASGIContent, Content, StreamedContent, TextContent
from morrowfen.exceptions import HTTPException
from morrowfen.messages import Request, Response
from morrowfen.penmoth import instantiate_rsgi_request, send_asgi_response, send_rsgi_response
from morrowfen.websocket import WebSocket, serve_asgi, serve_rsgi

__all__ = ["Application"]

logger = logging.getLogger("morrowfen.server")

Handler = Callable[[Request], Awaitable[Response]]
WebSocketHandler = Callable[[WebSocket], Awaitable[None]]
Hook = Callable[..., Awaitable[Any]]
ASGIReceive = Callable[[], Awaitable[MutableMapping[str, Any]]]
ASGISend = Callable[[MutableMapping[str, Any]], Awaitable[None]]

# Request body bytes the ASGI disconnect watcher keeps for a streamed body that
# has not read them yet; past this it stops reading until the body catches up.
WATCH_QUEUE_LIMIT = 1 << 20

_CancelledError = asyncio.CancelledError
_current_task = asyncio.current_task
_AsyncGenerator = types.AsyncGeneratorType


def _internal_error() -> Response:
    return Response(500, None, TextContent("Internal Server Error"))


def _hook_caller(hook: Hook, app: Application) -> Callable[[], Awaitable[Any]]:
    """A hook as a call without arguments: given the application when it takes one."""
    if not callable(hook):
        raise TypeError(f"a hook must be an async callable, not {type(hook).__name__}")
    try:
        signature = inspect.signature(hook)
    except (TypeError, ValueError):  # no signature to read: it takes the application
        return lambda: hook(app)
    try:
        signature.bind(app)
    except TypeError:
        return hook
    return lambda: hook(app)


def _handler_failed(request: Request | None) -> Response:
    """The answer when reading the request or the handler raised (the
    exception being handled is logged with its traceback, never sent)."""
    logger.exception(
        "the handler raised; answered 500" if request is not None else "the request could not be read; answered 500"
    )
    return _internal_error()


def _not_a_response(result: object) -> Response:
    logger.error(
        "the handler returned %s (%s), not a Response; answered 500",
        reprlib.repr(result),
        type(result).__qualname__,
    )
    return _internal_error()


def _protocol_closed(exc: BaseException) -> bool:
    """True for the error an RSGI transport raises once its client has gone."""
    module = sys.modules.get("granian._granian")
    closed = getattr(module, "RSGIProtocolClosed", None) if module is not None else None
    return closed is not None and isinstance(exc, closed)


async def _close_iterator(iterator: Any) -> None:
    """Closes the body's async iterator; what its closing raises is logged."""
    if type(iterator) is _AsyncGenerator and iterator.ag_frame is None:
        return  # run to its end (or closed): closing it again does nothing
    aclose = getattr(iterator, "aclose", None)
    if aclose is None:
        return
    try:
        await aclose()
    except Exception:
        logger.exception("closing the body of a streamed response failed")


@types.coroutine
def _watched(sending: Any, watch: _Watch) -> Generator[Any, Any, Any]:
    """Awaits the sender coroutine `sending` as `await` does, and begins
    `watch` when the sender first waits."""
    try:
        step = sending.send(None)
    except StopIteration as done:
        return done.value
    watch.begin()
    while True:
        try:
            sent = yield step
        except GeneratorExit:
            sending.close()
            raise
        except BaseException as exc:
            try:
                step = sending.throw(exc)
            except StopIteration as done:
                return done.value
        else:
            try:
                step = sending.send(sent)
            except StopIteration as done:
                return done.value


class _Watch:
    """Ends a streamed response when its client leaves, by cancelling the
    request's own task (which interrupts the stream wherever it waits).

    Made for every stream, it watches only from `begin()`, which `_watched`
    calls when the sender first waits: a stream that never waits cannot be
    interrupted, so it pays for no watching."""

    __slots__ = ("active", "fired", "left", "task")

    def __init__(self, task: asyncio.Task[Any] | None) -> None:
        self.task = task
        self.active = task is not None
        self.fired = False  # a cancellation of the task that this watch caused is pending
        self.left = False  # the client has gone

    def begin(self) -> None:
        raise NotImplementedError

    def client_left(self) -> None:
        self.left = True
        if self.active:
            self.active = False
            self.fired = True
            self.task.cancel()  # type: ignore[union-attr]

    def settle(self) -> bool:
        """After the stream: takes back a cancellation this watch caused.
        False when another cancellation is pending too (it must propagate)."""
        self.active = False
        if not self.fired:
            return self.task is None or self.task.cancelling() == 0
        self.fired = False
        return self.task.uncancel() == 0  # type: ignore[union-attr]


class _RSGIWatch(_Watch):
    __slots__ = ("future", "protocol")

    def __init__(self, task: asyncio.Task[Any] | None, protocol: Any) -> None:
        super().__init__(task)
        self.future = None
        self.protocol = protocol

    def begin(self) -> None:
        if self.task is None:
            return
        try:
            waiting = self.protocol.client_disconnect()
            # a server's own future-like object is watched as it is
            future = waiting if hasattr(waiting, "add_done_callback") else asyncio.ensure_future(waiting)
            future.add_done_callback(self._done)
        except Exception:  # a protocol that cannot tell: the transport's send failing ends the stream
            logger.debug("the protocol offers no client_disconnect()", exc_info=True)
            self.active = False
            return
        self.future = future

    def _done(self, future: asyncio.Future[Any]) -> None:
        if not future.cancelled() and future.exception() is None:
            self.client_left()

    def stop(self) -> None:
        self.active = False
        future = self.future
        if future is not None:
            self.future = None
            future.remove_done_callback(self._done)
            if not future.done():
                future.cancel()
            elif not future.cancelled() and future.exception() is None:
                self.left = True


class _ASGIWatch(_Watch):
    """Reads `receive()` until "http.disconnect". Body messages read meanwhile
    are kept for the request's ASGIContent, whose `receive` is pointed at
    this queue, so a stream that still reads the request body loses none."""

    __slots__ = ("drained", "messages", "queued", "receive", "request", "runner", "waiter")

    def __init__(self, task: asyncio.Task[Any] | None, receive: Any, request: Request | None) -> None:
        super().__init__(task)
        self.receive = receive
        self.request = request
        self.messages: collections.deque[Any] = collections.deque()
        self.queued = 0
        self.waiter: asyncio.Future[None] | None = None
        self.drained: asyncio.Future[None] | None = None
        self.runner: asyncio.Task[None] | None = None

    def begin(self) -> None:
        if self.task is None:
            return
        receive, request = self.receive, self.request
        content = request.content if request is not None else None
        if isinstance(content, ASGIContent) and content.receive is receive:
            content.receive = self.receive_queued
        self.runner = asyncio.get_running_loop().create_task(self._run())
        # a body reader waiting on the queue reads from the server once the watch is over
        self.runner.add_done_callback(lambda runner: self._wake())

    async def _run(self) -> None:
        try:
            await self._read()
        except Exception:  # the server's receive failed: nothing more to watch
            logger.debug("receive() failed while watching for the client leaving", exc_info=True)

    async def _read(self) -> None:
        receive = self.receive
        loop = asyncio.get_running_loop()
        while True:
            if self.queued > WATCH_QUEUE_LIMIT:
                self.drained = loop.create_future()
                await self.drained
                continue
            message = await receive()
            kind = message.get("type") if isinstance(message, dict) else None
            self.messages.append(message)
            body = message.get("body") if kind == "http.request" else None
            if body:
                self.queued += len(body)
            self._wake()
            if kind == "http.disconnect":
                self.client_left()
                return

    def _wake(self) -> None:
        # every reader waiting on the queue looks again
        waiter, self.waiter = self.waiter, None
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    async def receive_queued(self) -> Any:
        """The ASGIContent's receive while this watch runs, and after it."""
        while not self.messages:
            runner = self.runner
            if runner is None or runner.done():
                return await self.receive()
            if self.waiter is None or self.waiter.done():
                self.waiter = asyncio.get_running_loop().create_future()
            await asyncio.shield(self.waiter)
        message = self.messages.popleft()
        if isinstance(message, dict) and message.get("type") == "http.request":
            body = message.get("body")
            if body:
                self.queued -= len(body)
            drained = self.drained
            if drained is not None and not drained.done() and self.queued <= WATCH_QUEUE_LIMIT:
                drained.set_result(None)
        return message

    def stop(self) -> None:
        self.active = False
        runner = self.runner
        if runner is not None and not runner.done():
            runner.cancel()


class Application:
    """Serves `handler` (an async callable Request -> Response) over ASGI and RSGI.

    `on_startup` and `on_shutdown` are async callables run once, in order,
    before the first request and when the server stops; a hook that takes an
    argument is given the application. `websocket_handler` (an async callable
    WebSocket -> None) serves WebSocket connections; without it they are refused."""

    __slots__ = ("_started", "_starting", "_stopped", "handler", "on_shutdown", "on_startup", "websocket_handler")

    def __init__(
        self,
        handler: Handler,
        on_startup: Iterable[Hook] = (),
        on_shutdown: Iterable[Hook] = (),
        websocket_handler: WebSocketHandler | None = None,
    ) -> None:
        if not callable(handler):
            raise TypeError(f"handler must be an async callable, not {type(handler).__name__}")
        if websocket_handler is not None and not callable(websocket_handler):
            raise TypeError(f"websocket_handler must be an async callable, not {type(websocket_handler).__name__}")
        self.handler = handler
        self.websocket_handler = websocket_handler
        self.on_startup = list(on_startup)
        self.on_shutdown = list(on_shutdown)
        for hook in (*self.on_startup, *self.on_shutdown):
            if not callable(hook):
                raise TypeError(f"a hook must be an async callable, not {type(hook).__name__}")
        self._started = False
        self._starting: asyncio.Future[None] | None = None
        self._stopped = False

    def __repr__(self) -> str:
        return f"<morrowfen.server.Application of {self.handler!r}>"

    # --- hooks -----------------------------------------------------------------------

    async def startup(self) -> None:
        """Runs the startup hooks, once: callers that come while they run
        wait for them; later calls return at once."""
        if self._started:
            return
        starting = self._starting
        if starting is None:
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
            await _hook_caller(hook, self)()

    # --- the handler --------------------------------------------------------------------

    @staticmethod
    def _http_error(exc: HTTPException) -> Response:
        try:
            message = exc.message
            return Response(exc.status, None, TextContent(message if isinstance(message, str) else str(message)))
        except Exception:
            logger.exception("%s could not be answered; answered 500", type(exc).__qualname__)
            return _internal_error()

    # --- ASGI ----------------------------------------------------------------------------

    async def __call__(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        kind = scope["type"]
        if kind == "http":
            if not self._started and not await self._started_for_request():
                await send_asgi_response(_internal_error(), send)
                return
            request = None
            try:
                request = instantiate_asgi_request(scope, receive)
                response = await self.handler(request)
            except HTTPException as exc:
                response = self._http_error(exc)
            except Exception:
                response = _handler_failed(request)
            else:
                if not isinstance(response, Response):
                    response = _not_a_response(response)
            content = response.content
            if content is not None and (isinstance(content, StreamedContent) or content.length < 0):
                await self._stream_asgi(response, content, request, receive, send)
                return
            try:
                await send_asgi_response(response, send)
            except Exception as exc:
                await self._asgi_send_failed(exc, send)
            return
        if kind == "lifespan":
            await self._lifespan(receive, send)
            return
        if kind == "websocket":
            if self.websocket_handler is not None and (self._started or await self._started_for_request()):
                await serve_asgi(self.websocket_handler, scope, receive, send)
                return
            message = await receive()
            if message.get("type") == "websocket.connect":
                await send({"type": "websocket.close", "code": 1000})
            return
        raise RuntimeError(f"unsupported ASGI scope type {kind!r}")

    async def _asgi_send_failed(self, exc: Exception, send: Any) -> None:
        # Whether anything went out shows in what the server does with a
        # fresh start message: every server here refuses one once the response
        # has started.
        try:
            await send_asgi_response(_internal_error(), send)
        except Exception:
            logger.error("sending the response failed after it had started; the response was ended", exc_info=exc)
        else:
            logger.error("sending the response failed before it started; answered 500", exc_info=exc)

    async def _stream_asgi(
        self, response: Response, content: Content, request: Request | None, receive: Any, send: Any
    ) -> None:
        started = False

        def provider() -> AsyncIterator[Any]:
            nonlocal started
            started = True  # penmoth asks for the parts once the start message is out
            return iterator

        try:
            iterator = aiter(content.get_parts())
        except Exception as exc:
            await self._asgi_send_failed(exc, send)  # nothing has gone out
            return
        try:
            streamed = StreamedContent(content.type, provider, content.length)
        except Exception as exc:
            await _close_iterator(iterator)
            await self._asgi_send_failed(exc, send)
            return
        watch = _ASGIWatch(_current_task(), receive, request)
        response.content = streamed
        try:
            try:
                await _watched(send_asgi_response(response, send), watch)
            finally:
                watch.stop()
        except _CancelledError:
            if not watch.fired or not watch.settle():
                raise
        except Exception as exc:
            if not watch.settle():
                raise _CancelledError() from exc
            if watch.left:
                logger.debug("the client left during a streamed response", exc_info=exc)
            elif started:
                logger.error("the streamed response failed after it had started; the response was ended", exc_info=exc)
            else:
                await self._asgi_send_failed(exc, send)
        else:
            if not watch.settle():
                raise _CancelledError()
        finally:
            response.content = content
            await _close_iterator(iterator)

    async def _lifespan(self, receive: Any, send: Any) -> None:
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
                try:
                    await self.shutdown()
                except Exception as exc:
                    logger.exception("a shutdown hook failed")
                    await send({"type": "lifespan.shutdown.failed", "message": str(exc) or repr(exc)})
                    return
                await send({"type": "lifespan.shutdown.complete"})
                return

    # --- RSGI ----------------------------------------------------------------------------

    def __rsgi_init__(self, loop: asyncio.AbstractEventLoop) -> None:
        try:
            loop.run_until_complete(self.startup())
        except Exception:
            logger.exception("a startup hook failed")
            raise

    def __rsgi_del__(self, loop: asyncio.AbstractEventLoop) -> None:
        try:
            loop.run_until_complete(self.shutdown())
        except Exception:
            logger.exception("a shutdown hook failed")

    async def __rsgi__(self, scope: Any, protocol: Any) -> None:
        if scope.proto != "http":
            if scope.proto == "ws" and self.websocket_handler is not None:
                if self._started or await self._started_for_request():
                    await serve_rsgi(self.websocket_handler, scope, protocol)
                    return
            # refused before they are accepted
            protocol.close(403)
            return
        if not self._started and not await self._started_for_request():
            await send_rsgi_response(_internal_error(), protocol)
            return
        request = None
        try:
            request = instantiate_rsgi_request(scope, protocol)
            response = await self.handler(request)
        except HTTPException as exc:
            response = self._http_error(exc)
        except Exception:
            response = _handler_failed(request)
        else:
            if not isinstance(response, Response):
                response = _not_a_response(response)
        content = response.content
        if content is not None and isinstance(content, StreamedContent) and content.body is None:
            await self._stream_rsgi(response, content, protocol)
            return
        try:
            await send_rsgi_response(response, protocol)
        except Exception as exc:
            # A buffered answer is one call of the protocol: nothing went out.
            await self._rsgi_send_failed(exc, protocol)

    async def _rsgi_send_failed(self, exc: Exception, protocol: Any) -> None:
        if _protocol_closed(exc):
            logger.debug("the client left before the response was sent", exc_info=exc)
            return
        try:
            await send_rsgi_response(_internal_error(), protocol)
        except Exception as again:
            logger.error("sending the response failed, and so did answering 500 (%r)", again, exc_info=exc)
        else:
            logger.error("sending the response failed before it started; answered 500", exc_info=exc)

    async def _stream_rsgi(self, response: Response, content: StreamedContent, protocol: Any) -> None:
        started = False

        def provider() -> AsyncIterator[Any]:
            nonlocal started
            started = True  # penmoth asks for the parts once the stream is open
            return iterator

        try:
            iterator = aiter(content.stream())
        except Exception as exc:
            await self._rsgi_send_failed(exc, protocol)
            return
        try:
            streamed = StreamedContent(content.type, provider, content.length)
        except Exception as exc:
            await _close_iterator(iterator)
            await self._rsgi_send_failed(exc, protocol)
            return
        response.content = streamed
        watch = _RSGIWatch(_current_task(), protocol)
        try:
            try:
                await _watched(send_rsgi_response(response, protocol), watch)
            finally:
                watch.stop()
        except _CancelledError:
            if not watch.fired or not watch.settle():
                raise
        except Exception as exc:
            if not watch.settle():
                raise _CancelledError() from exc
            if watch.left or _protocol_closed(exc):
                logger.debug("the client left during a streamed response")
            elif started:
                logger.error("the streamed response failed after it had started; the response was ended", exc_info=exc)
            else:
                await self._rsgi_send_failed(exc, protocol)
        else:
            if not watch.settle():
                raise _CancelledError()
        finally:
            response.content = content
            await _close_iterator(iterator)
