"""Micro-benchmarks of morrowfen.penmoth against the plain-Python port
(bench/pyport.py), measured with pyperf in the same run.

Each operation has a native case, a port case, and, where the operation must
call Python code (a protocol method, `send`, an async generator), a floor
case that runs only that code, driven the same way: own = time - floor.

    .venv/bin/python bench/micro.py -o micro.json            pyperf, several processes
    .venv/bin/python bench/micro.py --quick -o micro.json    one iteration of each case
    .venv/bin/python bench/micro.py --allocations            blocks allocated per call (JSON)

bench/run.py runs all of it and writes bench/results.md.
"""

import ctypes
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
for folder in (HERE, HERE.parent / "tests"):  # tests/ for the fake server objects
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))

import pyport as pp  # noqa: E402
from fakes import NullProtocol, RSGIScope, send_nothing  # noqa: E402
from morrowfen import penmoth as pm  # noqa: E402
from morrowfen.contents import Content, JSONContent, StreamedContent, TextServerSentEvent  # noqa: E402
from morrowfen.messages import Response  # noqa: E402

IMPLS = {"native": pm, "port": pp}
clock = time.perf_counter

# --- inputs ---------------------------------------------------------------------------

BROWSER_HEADERS = [
    ("host", "127.0.0.1:8000"),
    ("connection", "keep-alive"),
    ("sec-ch-ua", '"Chromium";v="156"'),
    ("sec-ch-ua-mobile", "?0"),
    ("sec-ch-ua-platform", '"Linux"'),
    ("upgrade-insecure-requests", "1"),
    ("user-agent", "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 Chrome/156.0 Safari/537.36"),
    ("accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
    ("sec-fetch-site", "none"),
    ("sec-fetch-mode", "navigate"),
    ("accept-encoding", "gzip, deflate, br"),
    ("accept-language", "en-US,en;q=0.9"),
]

# Response headers as a handler sets them (bytes pairs on _raw_headers).
RAW_6 = [
    (b"cache-control", b"no-store"),
    (b"vary", b"accept-encoding"),
    (b"x-request-id", b"6f1c2a9e"),
    (b"x-frame-options", b"DENY"),
    (b"set-cookie", b"session=abc123; Path=/; HttpOnly"),
    (b"strict-transport-security", b"max-age=63072000"),
]
RAW_12 = RAW_6 + [
    (b"x-content-type-options", b"nosniff"),
    (b"referrer-policy", b"same-origin"),
    (b"etag", b'"33a64df5"'),
    (b"last-modified", b"Tue, 08 Dec 2026 06:00:00 GMT"),
    (b"access-control-allow-origin", b"*"),
    (b"server-timing", b"app;dur=1.2"),
]
PARTS_100 = [b"part %03d of the stream\n" % i for i in range(100)]
ONE_MIB = bytes(range(256)) * 4096


async def parts_100():
    for part in PARTS_100:
        yield part


def scope(headers):
    """An RSGI scope with these headers (as the server gives them)."""
    return RSGIScope("/items/42", "page=2&sort=asc", headers)


def drive(coro):
    """Runs a coroutine that never suspends."""
    try:
        coro.send(None)
    except StopIteration:
        pass
    else:
        raise RuntimeError("the benchmarked coroutine suspended")


async def drain(agen):
    async for _ in agen:
        pass


# --- the cases --------------------------------------------------------------------------
#
# A case maker takes the implementation (a module, or None for the floor) and
# returns a pyperf time function: f(loops) -> seconds.


def sync_loop(call, *args):
    def run(loops):
        it = range(loops)
        t0 = clock()
        for _ in it:
            call(*args)
        return clock() - t0

    return run


def coroutine_loop(make, *args, before=None):
    def run(loops):
        it = range(loops)
        t0 = clock()
        for _ in it:
            if before is not None:
                before()
            c = make(*args)
            try:
                c.send(None)
            except StopIteration:
                pass
        return clock() - t0

    return run


async def nothing():
    pass


# The floor of a coroutine operation runs its Python callees inside a Python
# coroutine (floor()), driven as the operation is; bench/run.py takes this
# case, an empty coroutine driven the same way, away from that floor, so the
# operation's own coroutine object and its driving stay in its own cost.
EMPTY_COROUTINE = "empty coroutine"


def extract_case(m):
    return sync_loop(m.extract_rsgi_headers, BROWSER_HEADERS)


def instantiate_case(m):
    return sync_loop(m.instantiate_rsgi_request, scope(BROWSER_HEADERS), NullProtocol())


def write_sse_case(m):
    return sync_loop(m.write_sse, TextServerSentEvent("hello world", event="tick", id="42", retry=1000))


def rsgi_sync_case(raw):
    def make(m):
        response = Response(200, list(raw) if raw else None, JSONContent({"ok": True}))
        protocol = NullProtocol()
        if m is None:  # the protocol method alone, with what the answer passes
            return sync_loop(
                protocol.response_bytes, 200, [("content-type", "application/json")], response.content.body
            )
        return sync_loop(m.send_rsgi_response_sync, response, protocol)

    return make


def rsgi_async_case(m):
    response = Response(200, None, JSONContent({"ok": True}))
    protocol = NullProtocol()
    if m is None:
        headers, body = [("content-type", "application/json")], response.content.body

        async def floor():
            protocol.response_bytes(200, headers, body)

        return coroutine_loop(floor)
    return coroutine_loop(m.send_rsgi_response, response, protocol)


def asgi_small_case(m):
    response = Response(200, None, Content(b"application/json", b'{"ok":true}'))

    def reset():
        response._raw_headers = None

    if m is None:
        start = {"type": "http.response.start", "status": 200, "headers": []}
        body = {"type": "http.response.body", "body": b'{"ok":true}', "more_body": False}

        async def floor():
            await send_nothing(start)
            await send_nothing(body)

        return coroutine_loop(floor, before=reset)
    return coroutine_loop(m.send_asgi_response, response, send_nothing, before=reset)


def asgi_stream_case(m):
    response = Response(200, None, StreamedContent(b"text/plain", parts_100))

    def reset():
        response._raw_headers = None

    if m is None:
        start = {"type": "http.response.start", "status": 200, "headers": []}
        part = {"type": "http.response.body", "body": b"", "more_body": True}
        end = {"type": "http.response.body", "body": b"", "more_body": False}

        async def floor():
            await send_nothing(start)
            async for _ in parts_100():
                await send_nothing(part)
            await send_nothing(end)

        return coroutine_loop(floor, before=reset)
    return coroutine_loop(m.send_asgi_response, response, send_nothing, before=reset)


def write_chunks_case(m):
    if m is None:  # drain() runs in both: it is no part of the operation's floor to take away
        return coroutine_loop(lambda: drain(parts_100()))
    content = StreamedContent(b"text/plain", parts_100)
    return coroutine_loop(lambda: drain(m.write_chunks(content)))


def get_chunks_case(m):
    # The slices are kept until the body is done, as a server that queues the
    # messages does: 1 MiB is freed at once at the end of each call, which is
    # where glibc's trim threshold decides whether the heap shrinks and grows
    # again on the next call.
    def run(loops):
        it = range(loops)
        t0 = clock()
        for _ in it:
            list(m.get_chunks(ONE_MIB))
        return clock() - t0

    return run


# name -> (what it measures, case maker, floor: None, "call" or "coroutine")
OPERATIONS = {
    "extract_rsgi_headers": ("12 browser headers", extract_case, None),
    "send_rsgi_response_sync[prebuilt]": ("no raw headers: the prebuilt JSON list", rsgi_sync_case(None), "call"),
    "send_rsgi_response_sync[6 raw]": ("6 raw headers, converted and checked", rsgi_sync_case(RAW_6), "call"),
    "send_rsgi_response_sync[12 raw]": ("12 raw headers, converted and checked", rsgi_sync_case(RAW_12), "call"),
    "instantiate_rsgi_request": ("scope with 12 browser headers", instantiate_case, None),
    "write_sse": ("id + event + data + retry", write_sse_case, None),
    "send_asgi_response[small]": ("small buffered body, async def send", asgi_small_case, "coroutine"),
    "send_asgi_response[stream 100]": ("100-part stream, async def send", asgi_stream_case, "coroutine"),
    "send_rsgi_response[buffered]": ("buffered JSON body, coroutine", rsgi_async_case, "coroutine"),
    # drain() runs in both the operation and its floor: nothing to take away
    "write_chunks[100]": ("100 parts, chunked framing", write_chunks_case, "call"),
    "get_chunks[1 MiB]": (
        "1 MiB in 61440-byte slices, kept until the end; default allocator settings",
        get_chunks_case,
        None,
    ),
}
# Run again in a subprocess whose allocator keeps freed memory (see bench/run.py).
TRIM_OPERATION = "get_chunks[1 MiB]"
TRIM_SUFFIX = " trim raised"
TRIM_ENV = {"MALLOC_TRIM_THRESHOLD_": str(256 * 1024 * 1024)}


def case_names(op, has_floor):
    names = [f"{op} native", f"{op} port"]
    return names + [f"{op} floor"] if has_floor else names


def cases(only=None):
    """(benchmark name, time function) for every case, or those of `only`."""
    if not only or EMPTY_COROUTINE in only:
        yield EMPTY_COROUTINE, coroutine_loop(nothing)
    for op, (_, make, floor) in OPERATIONS.items():
        if only and op not in only:
            continue
        for name in case_names(op, floor is not None):
            kind = name.rsplit(" ", 1)[1]
            yield name, make(IMPLS.get(kind))


# --- blocks allocated per call ----------------------------------------------------------


def load_counter():
    """The allocation counter (bench/alloc_count.c), built into a temporary
    directory; None when no compiler is there."""
    # One directory per process: runs in parallel never load a half-written library.
    out = Path(tempfile.mkdtemp(prefix="morrowfen-alloc-count-")) / "alloc_count.so"
    source = HERE / "alloc_count.c"
    cc = os.environ.get("CC", "cc")
    cmd = [cc, "-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"], str(source), "-o", str(out)]
    if subprocess.run(cmd, capture_output=True).returncode != 0:
        return None
    lib = ctypes.PyDLL(str(out))
    shutil.rmtree(out.parent, ignore_errors=True)  # loaded: the file is no longer needed
    lib.alloc_count_read.restype = ctypes.c_ulonglong
    lib.alloc_count_install()
    return lib.alloc_count_read


def allocations(calls=2000):
    """Blocks the interpreter allocated per call (every allocation, even those
    freed before the call returns), after a warm-up; results are dropped
    inside the loop, so the count includes the result's own blocks."""
    read = load_counter()
    method = "allocator hook (malloc + calloc of the mem and object domains)"
    if read is None:
        read, method = sys.getallocatedblocks, "sys.getallocatedblocks delta (net blocks)"
    subjects = {
        "send_rsgi_response_sync[prebuilt]": lambda m: (
            m.send_rsgi_response_sync,
            (Response(200, None, JSONContent({"ok": True})), NullProtocol()),
        ),
        "extract_rsgi_headers[12]": lambda m: (m.extract_rsgi_headers, (BROWSER_HEADERS,)),
        "instantiate_rsgi_request[12]": lambda m: (
            m.instantiate_rsgi_request,
            (scope(BROWSER_HEADERS), NullProtocol()),
        ),
    }
    floor_protocol = NullProtocol()
    floor = (floor_protocol.response_bytes, (200, [("content-type", "application/json")], b'{"ok": true}'))
    result = {"method": method, "calls": calls, "cases": {}}
    for name, make in subjects.items():
        row = {}
        for kind, m in IMPLS.items():
            call, args = make(m)
            row[kind] = per_call(read, call, args, calls)
        if name.startswith("send_rsgi_response_sync"):
            row["floor"] = per_call(read, floor[0], floor[1], calls)
        result["cases"][name] = row
    return result


def per_call(read, call, args, calls):
    for _ in range(200):
        call(*args)
    it = range(calls)
    base_it = range(calls)
    t = read()
    for _ in base_it:  # the loop alone
        pass
    loop_cost = read() - t
    t = read()
    for _ in it:
        call(*args)
    return (read() - t - loop_cost) / calls


# --- entry --------------------------------------------------------------------------------


def add_cmdline_args(cmd, args):
    if args.only:
        cmd.extend(["--only", ",".join(args.only)])
    if args.suffix:
        cmd.extend(["--suffix", args.suffix])


def main():
    if "--allocations" in sys.argv:
        print(json.dumps(allocations()))
        return
    import pyperf

    quick = "--quick" in sys.argv
    argv = [a for a in sys.argv[1:] if a != "--quick"]
    if quick:
        argv.append("--debug-single-value")  # one process, one value, one loop: a smoke run
    sys.argv[1:] = argv
    runner = pyperf.Runner(processes=4, values=3, warmups=1, min_time=0.05, add_cmdline_args=add_cmdline_args)
    runner.argparser.add_argument("--only", type=lambda s: s.split(","), default=None)
    runner.argparser.add_argument("--suffix", default="")
    args = runner.parse_args()
    runner.metadata["morrowfen_quick"] = str(quick)
    runner.metadata["malloc_trim_threshold"] = os.environ.get("MALLOC_TRIM_THRESHOLD_", "default")
    for name, func in cases(args.only):
        if name == EMPTY_COROUTINE:
            runner.bench_time_func(name + args.suffix, func)
            continue
        op, kind = name.rsplit(" ", 1)
        runner.bench_time_func(f"{op}{args.suffix} {kind}", func)


if __name__ == "__main__":
    main()
