"""The native coroutine, async-generator and generator objects, held to the
interpreter's own: every scenario runs once against a body written in C++
(morrowfen._probe) and once against the same body written in Python, and both
must behave alike, message for message."""

import asyncio
import collections.abc
import contextlib
import gc
import inspect
import sys
import types
import warnings
import weakref

import pytest

# A test-only module: built for the development tree, not shipped in wheels.
_probe = pytest.importorskip("morrowfen._probe", reason="morrowfen._probe is built only with MORROWFEN_TEST_MODULES=ON")


# --- the same bodies, in Python ------------------------------------------------


async def await_one(x):
    return await x


async def await_all(items):
    return [await x for x in items]


async def stubborn(x):
    while True:
        try:
            return await x
        except BaseException:
            pass


def count(n):
    for i in range(n):
        try:
            yield i
        except GeneratorExit:
            raise
        except BaseException as exc:
            yield ("caught", exc)
    return "done"


def echo(x):
    last = None
    while True:
        last = yield last


async def agen(items):
    for x in items:
        yield await x


async def agen_stubborn(x):
    while True:
        try:
            yield 1
        except BaseException:
            pass


async def collect(iterable):
    return [x async for x in iterable]


PY = types.SimpleNamespace(
    await_one=await_one,
    await_all=await_all,
    stubborn=stubborn,
    count=count,
    echo=echo,
    agen=agen,
    agen_stubborn=agen_stubborn,
    collect=collect,
)
both = pytest.mark.parametrize("impl", [_probe, PY], ids=["native", "python"])


class Step:
    """An awaitable that suspends `n` times (yielding its tag) and then
    returns `value`; it can be awaited any number of times. Under an event
    loop the tag must be None (a bare yield)."""

    def __init__(self, value=None, n=1, tag="step"):
        self.value, self.n, self.tag = value, n, tag

    def __await__(self):
        for _ in range(self.n):
            yield self.tag
        return self.value


class Boom:
    def __await__(self):
        raise KeyError("boom")
        yield


def outcome(fn, *args):
    """What a call does: ('ok', value) or ('raise', type, message)."""
    try:
        return ("ok", fn(*args))
    except BaseException as exc:
        return ("raise", type(exc), str(exc))


def drive(coro, value=None):
    """Runs a coroutine driven from outside until it finishes."""
    try:
        while True:
            coro.send(value)
    except StopIteration as stop:
        return stop.value


# --- coroutines ----------------------------------------------------------------


@both
def test_coroutine_send_protocol(impl):
    c = impl.await_one(Step(42, n=2))
    assert outcome(c.send, 1)[:2] == ("raise", TypeError)
    assert outcome(c.send, 1)[2] == "can't send non-None value to a just-started coroutine"
    assert c.send(None) == "step"
    assert c.cr_await is not None and c.cr_suspended and not c.cr_running
    assert c.send(None) == "step"
    with pytest.raises(StopIteration) as stop:
        c.send(None)
    assert stop.value.value == 42
    assert c.cr_await is None and c.cr_frame is None and not c.cr_suspended
    assert outcome(c.send, None) == ("raise", RuntimeError, "cannot reuse already awaited coroutine")
    assert c.close() is None


@both
def test_coroutine_throw_and_close(impl):
    # throw into a suspended coroutine reaches what it awaits, and comes back out
    c = impl.await_one(Step(n=3))
    c.send(None)
    assert outcome(c.throw, ValueError("x")) == ("raise", ValueError, "x")
    assert inspect.getcoroutinestate(c) == inspect.CORO_CLOSED
    # the three-argument form still works, with the interpreter's warning
    c = impl.await_one(Step(n=3))
    c.send(None)
    with pytest.warns(DeprecationWarning, match="signature of throw"):
        assert outcome(c.throw, ValueError, ValueError("y"), None) == ("raise", ValueError, "y")
    # argument errors of throw(): refused by the awaited generator, they end the coroutine
    bad_args = [
        ((5,), "exceptions must be classes or instances deriving from BaseException, not int"),
        ((ValueError("a"), "b"), "instance exception may not have a separate value"),
        ((ValueError, None, 5), "throw() third argument must be a traceback object"),
    ]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        for args, message in bad_args:
            for suspended in (False, True):
                c = impl.await_one(Step())
                if suspended:
                    c.send(None)
                assert outcome(c.throw, *args) == ("raise", TypeError, message)
                assert c.cr_suspended is False
                c.close()
    # throw into a coroutine that never started: the body never runs
    c = impl.await_one(Step())
    assert outcome(c.throw, KeyError("k"))[:2] == ("raise", KeyError)
    assert c.cr_frame is None
    # a thrown exception the body handles lets it go on
    c = impl.stubborn(Step(7))
    c.send(None)
    assert c.throw(ValueError) == "step"
    assert drive(c) == 7
    # close(): never started, suspended, finished
    for state in range(3):
        c = impl.await_one(Step())
        if state:
            c.send(None)
        if state == 2:
            drive(c)
        assert c.close() is None
        assert c.cr_frame is None
    # a body that swallows GeneratorExit
    c = impl.stubborn(Step())
    c.send(None)
    assert outcome(c.close) == ("raise", RuntimeError, "coroutine ignored GeneratorExit")
    c.throw(ValueError)  # still alive, suspended again
    drive(c)


@both
def test_reentry_is_refused(impl):
    class Reenter:
        def __await__(self):
            yield outcome(coro.send, None)

    coro = impl.await_one(Reenter())
    assert coro.send(None) == ("raise", ValueError, "coroutine already executing")
    coro.close()

    class AwaitedTwice:
        def __await__(self):
            yield outcome(other.send, None)

    inner = impl.await_one(Step())
    other = impl.await_one(inner)
    first = impl.await_one(inner)
    first.send(None)
    assert outcome(other.send, None) == ("raise", RuntimeError, "coroutine is being awaited already")
    first.close()


@both
def test_awaiting_non_awaitables(impl):
    assert outcome(drive, impl.await_one(5))[:2] == ("raise", TypeError)
    assert outcome(drive, impl.await_one(Boom())) == ("raise", KeyError, "'boom'")

    class BadAwait:
        def __await__(self):
            return 5

    assert outcome(drive, impl.await_one(BadAwait())) == (
        "raise",
        TypeError,
        "__await__() returned non-iterator of type 'int'",
    )


def test_native_texts_for_misuse():
    assert outcome(drive, _probe.await_one(5)) == ("raise", TypeError, "object int can't be used in 'await' expression")
    c = _probe.raise_stop(None)
    kind, exc_type, message = outcome(c.send, None)
    assert (exc_type, message) == (RuntimeError, "generator raised StopIteration")
    # a C++ exception out of a body: std::bad_alloc is MemoryError, and the body is done
    c = _probe.no_memory(None)
    assert outcome(c.send, None)[:2] == ("raise", MemoryError)
    assert outcome(c.send, None)[:2] == ("raise", RuntimeError)


@both
def test_introspection(impl):
    c = impl.await_one(Step())
    assert c.__name__ == "await_one" and c.__qualname__.endswith("await_one")
    assert repr(c).startswith("<coroutine object ") and "await_one at 0x" in repr(c)
    assert inspect.getcoroutinestate(c) == inspect.CORO_CREATED
    assert c.cr_code.co_name == "await_one" and c.cr_origin is None
    frame = c.cr_frame
    assert frame.f_code is c.cr_code and isinstance(frame.f_lineno, int)
    c.send(None)
    assert inspect.getcoroutinestate(c) == inspect.CORO_SUSPENDED
    c.close()
    assert inspect.getcoroutinestate(c) == inspect.CORO_CLOSED
    c.__name__ = "renamed"
    assert c.__name__ == "renamed"
    with pytest.raises(TypeError):
        c.__qualname__ = 3
    assert isinstance(c, collections.abc.Coroutine) and isinstance(c, collections.abc.Awaitable)
    assert asyncio.iscoroutine(c) and inspect.isawaitable(c)


@both
def test_never_awaited_warning(impl):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        c = impl.await_one(Step())
        name = c.__qualname__
        del c
        gc.collect()
    assert [str(w.message) for w in caught if w.category is RuntimeWarning] == [f"coroutine '{name}' was never awaited"]


@both
def test_await_protocol_from_python(impl):
    c = impl.await_one(Step(3))
    w = c.__await__()
    assert iter(w) is w
    assert next(w) == "step"
    with pytest.raises(StopIteration) as stop:
        w.send(None)
    assert stop.value.value == 3
    c = impl.await_one(Step())
    w = c.__await__()
    w.send(None)
    assert outcome(w.throw, IndexError("i"))[:2] == ("raise", IndexError)
    assert w.close() is None

    async def outer():
        return await impl.await_one(impl.await_one(Step("deep", n=2)))

    assert drive(outer()) == "deep"


@both
def test_asyncio_tasks_and_cancellation(impl):
    async def main():
        loop = asyncio.get_running_loop()
        assert await asyncio.wait_for(impl.await_one(asyncio.sleep(0, "slept")), 1) == "slept"
        assert await asyncio.gather(impl.await_one(asyncio.sleep(0, 1)), impl.await_all([asyncio.sleep(0, 2)])) == [
            1,
            [2],
        ]
        fut = loop.create_future()
        task = asyncio.create_task(impl.await_one(fut))
        await asyncio.sleep(0)
        assert "await_one" in repr(task)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert fut.cancelled()  # the cancellation reached the awaited future
        fut = loop.create_future()
        task = asyncio.create_task(impl.await_one(fut))
        await asyncio.sleep(0)
        fut.set_result("done")
        assert await task == "done"

    asyncio.run(main(), debug=True)


def test_runs_under_uvloop():
    uvloop = pytest.importorskip("uvloop")

    async def main():
        return await asyncio.create_task(_probe.await_all([asyncio.sleep(0, "a"), asyncio.sleep(0.001, "b")]))

    assert uvloop.run(main()) == ["a", "b"]


def test_cycle_through_suspended_coroutine_is_collected():
    closed = []

    class Holder:
        def __await__(self):
            try:
                yield self
            finally:
                closed.append(True)

    holder = Holder()
    c = _probe.await_one(holder)
    c.send(None)
    holder.coro = c  # coroutine -> awaited iterator -> holder -> coroutine
    ref = weakref.ref(c)
    del c, holder
    gc.collect()
    assert ref() is None
    assert closed == [True]


def test_no_leak_over_many_coroutines():
    def run(n):
        for _ in range(n):
            assert drive(_probe.await_all([Step(1), Step(2)])) == [1, 2]

    run(1000)
    gc.collect()
    before = sys.getallocatedblocks()
    run(20000)
    gc.collect()
    assert sys.getallocatedblocks() - before < 200


# --- generators ------------------------------------------------------------------


@both
def test_generator_protocol(impl):
    g = impl.count(3)
    assert iter(g) is g and isinstance(g, collections.abc.Generator)
    assert inspect.getgeneratorstate(g) == inspect.GEN_CREATED
    assert outcome(g.send, 5) == ("raise", TypeError, "can't send non-None value to a just-started generator")
    assert next(g) == 0
    assert g.gi_suspended and not g.gi_running and g.gi_yieldfrom is None
    assert g.throw(ValueError("v"))[0] == "caught"
    assert list(g) == [1, 2]
    assert outcome(next, g)[:2] == ("raise", StopIteration)
    assert outcome(g.send, None)[:2] == ("raise", StopIteration)
    assert g.gi_frame is None
    assert outcome(g.throw, KeyError("late"))[:2] == ("raise", KeyError)
    g = impl.count(2)
    with pytest.raises(StopIteration) as stop:
        while True:
            next(g)
    assert stop.value.value == "done"
    g = impl.echo(None)
    assert next(g) is None and g.send(1) == 1 and g.send("two") == "two"
    assert g.close() is None and g.gi_frame is None
    g = impl.count(5)
    next(g)

    def reenter():
        return outcome(next, g)

    assert reenter()[:2] == ("ok", 1)
    assert repr(g).startswith("<generator object ")


# --- async generators ---------------------------------------------------------------


def run(coro):
    return asyncio.run(coro)


@both
def test_async_generator_iteration(impl):
    async def main():
        a = impl.agen([Step(1, tag=None), asyncio.sleep(0, 2), Step(3, n=0)])
        assert isinstance(a, collections.abc.AsyncGenerator) and a.__aiter__() is a
        assert inspect.getasyncgenstate(a) == inspect.AGEN_CREATED
        assert [x async for x in a] == [1, 2, 3]
        assert inspect.getasyncgenstate(a) == inspect.AGEN_CLOSED
        assert await impl.collect(impl.agen([Step("x", tag=None)])) == ["x"]
        b = impl.agen([Step(1, tag=None)])
        assert await anext(b) == 1
        assert await anext(b, "end") == "end"
        assert await impl.collect(b) == []
        return "ok"

    assert run(main()) == "ok"


@both
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")  # the stubborn one, at exit
def test_async_generator_awaitables(impl):
    a = impl.agen([Step(1, n=2), Step(2)])
    nxt = a.__anext__()
    assert nxt.send(None) == "step" and a.ag_running and a.ag_await is not None
    second = a.__anext__()
    assert outcome(second.send, None) == ("raise", RuntimeError, "anext(): asynchronous generator is already running")
    assert nxt.send(None) == "step"
    with pytest.raises(StopIteration) as stop:
        nxt.send(None)
    assert stop.value.value == 1 and not a.ag_running
    assert outcome(nxt.send, None) == ("raise", RuntimeError, "cannot reuse already awaited __anext__()/asend()")
    thrown = a.athrow(ValueError("t"))
    assert outcome(thrown.send, None) == ("raise", ValueError, "t")
    assert outcome(thrown.send, None) == ("raise", RuntimeError, "cannot reuse already awaited aclose()/athrow()")
    closing = a.aclose()
    assert outcome(closing.send, None)[:2] == ("raise", StopIteration)
    assert outcome(a.__anext__().send, None)[:2] == ("raise", StopAsyncIteration)
    # aclose() of a body that ignores GeneratorExit
    s = impl.agen_stubborn(None)
    assert outcome(s.__anext__().send, None) == ("raise", StopIteration, "1")
    assert outcome(s.aclose().send, None) == ("raise", RuntimeError, "async generator ignored GeneratorExit")
    del s
    gc.collect()  # its finalizer fails the same way: keep that inside this test
    # asend() of a value into a fresh generator
    fresh = impl.agen([])
    assert outcome(fresh.asend(1).send, None) == (
        "raise",
        TypeError,
        "can't send non-None value to a just-started async generator",
    )
    assert outcome(fresh.asend(None).send, None)[:2] == ("raise", StopAsyncIteration)
    # errors from awaited objects pass through __anext__
    bad = impl.agen([Boom()])
    assert outcome(bad.__anext__().send, None) == ("raise", KeyError, "'boom'")


@both
def test_async_generator_raising_stop_async_iteration(impl):
    class RaisesStop:
        def __await__(self):
            raise StopAsyncIteration
            yield

    a = impl.agen([RaisesStop()])
    kind, exc_type, message = outcome(a.__anext__().send, None)
    assert (exc_type, message) == (RuntimeError, "async generator raised StopAsyncIteration")


@both
def test_async_generator_hooks_and_finalization(impl):
    seen = []
    old = sys.get_asyncgen_hooks()
    sys.set_asyncgen_hooks(
        firstiter=lambda g: seen.append(("first", g.__name__)), finalizer=lambda g: seen.append(("final", g.__name__))
    )
    try:
        a = impl.agen([Step(1), Step(2)])
        ref = weakref.ref(a)
        nxt = a.__anext__()
        assert nxt.send(None) == "step"
        with pytest.raises(StopIteration):
            nxt.send(None)
        del nxt, a
        gc.collect()
    finally:
        sys.set_asyncgen_hooks(*old)
    assert seen == [("first", "agen"), ("final", "agen")]
    assert ref() is None

    async def main():
        a = impl.agen([Step(1, tag=None), Step(2, tag=None)])
        async with contextlib.aclosing(a):
            async for x in a:
                break
        assert inspect.getasyncgenstate(a) == inspect.AGEN_CLOSED
        b = impl.agen([Step(1, tag=None), Step(2, tag=None)])
        await anext(b)
        loop = asyncio.get_running_loop()
        await loop.shutdown_asyncgens()
        assert inspect.getasyncgenstate(b) == inspect.AGEN_CLOSED

    run(main())


@both
def test_unawaited_async_generator_methods_warn(impl):
    a = impl.agen([])
    gc.collect()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        a.asend(None)
        a.athrow(ValueError)
        a.aclose()
        gc.collect()
    texts = sorted(str(w.message) for w in caught if w.category is RuntimeWarning)
    qual = a.__qualname__
    assert texts == sorted(
        f"coroutine method '{m}' of '{qual}' was never awaited" for m in ("asend", "athrow", "aclose")
    )
