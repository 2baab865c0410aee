"""The benchmark harness: the plain-Python port (bench/pyport.py) gives what
morrowfen.penmoth gives on the inputs the benchmarks use and on the header
rule, every micro-benchmark case runs, and the prebuilt RSGI answer
allocates nothing."""

import asyncio
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))

import micro
import pyport as pp
from morrowfen import penmoth as pm
from morrowfen.contents import (
    Content,
    JSONContent,
    ServerSentEvent,
    StreamedContent,
    TextContent,
    TextServerSentEvent,
)
from morrowfen.messages import Response

SIZE = 61440


def outcome(fn):
    """What a call gives: its result, or the type and text of its exception."""
    try:
        return "ok", fn()
    except Exception as e:
        return "raised", type(e), str(e)


def agree(run):
    """run(module) on both implementations; they must give the same outcome."""
    native, port = outcome(lambda: run(pm)), outcome(lambda: run(pp))
    assert port == native
    return native


async def parts(*items):
    for item in items:
        yield item


class Protocol:
    def __init__(self):
        self.calls = []

    def response_empty(self, status, headers):
        self.calls.append(("empty", status, headers))

    def response_bytes(self, status, headers, body):
        self.calls.append(("bytes", status, headers, body))

    def response_str(self, status, headers, body):
        self.calls.append(("str", status, headers, body))

    def response_stream(self, status, headers):
        self.calls.append(("stream", status, headers))
        calls = self.calls

        class Transport:
            async def send_bytes(self, data):
                calls.append(("send_bytes", data))

            async def send_str(self, data):
                calls.append(("send_str", data))

        return Transport()


RESPONSES = {
    "none": lambda: Response(200),
    "204": lambda: Response(204),
    "text": lambda: Response(201, [(b"x-a", b"1")], TextContent("hi")),
    "json": lambda: Response(200, None, JSONContent({"ok": True})),
    "typeless": lambda: Response(200, None, Content(None, b"raw")),
    "large": lambda: Response(200, None, Content(b"application/octet-stream", b"x" * (2 * SIZE + 5))),
    "stream": lambda: Response(200, None, StreamedContent(b"text/plain", lambda: parts(b"a", None))),
    "stream-closing": lambda: Response(200, None, StreamedContent(b"text/plain", lambda: parts(b"a", b"", b"b"))),
    "stream-plain": lambda: Response(200, None, StreamedContent(b"text/plain", lambda: parts(b"a", b"b"))),
}
BAD_ASGI_HEADERS = [
    [(b"x-user", b"a\r\nInjected: 1")],
    [(b"x-user", b"a\0")],
    [(b"x user", b"1")],
    [(b"", b"1")],
    [(b"x-ok", b"1"), ("x-str", "1")],
    [(b"x-ok", b"1"), (b"x-short",)],
    [b"x-ok: 1"],
]


@pytest.mark.parametrize("name", RESPONSES)
def test_content_headers_and_asgi_messages_agree(name):
    def headers(m):
        response = RESPONSES[name]()
        m.set_headers_for_response_content(response)
        return response._raw_headers

    agree(headers)

    def messages(m):
        sent = []

        async def send(message):
            sent.append(message)

        asyncio.run(m.send_asgi_response(RESPONSES[name](), send))
        return sent

    agree(messages)


@pytest.mark.parametrize("raw", BAD_ASGI_HEADERS, ids=range(len(BAD_ASGI_HEADERS)))
def test_asgi_header_rule_agrees(raw):
    def run(m):
        sent = []

        async def send(message):
            sent.append(message)

        response = Response(200, None, TextContent("x"))
        response._raw_headers = list(raw)
        try:
            asyncio.run(m.send_asgi_response(response, send))
        finally:
            assert sent == []  # refused before the start message

    assert agree(run)[0] == "raised"


def test_framing_agrees():
    for n in (0, 1, SIZE, SIZE + 1, 1 << 20):
        data = bytes(range(256)) * (n // 256) + bytes(n % 256)
        agree(lambda m: list(m.get_chunks(data)))

    async def frames(m, content):
        return [f async for f in m.write_chunks(content)]

    for content in (
        Content(b"text/plain", b"hello"),
        StreamedContent(b"a", lambda: parts(b"a", b"", b"bc", bytearray(b"d"), memoryview(b"ef"))),
        StreamedContent(b"a", lambda: parts(*micro.PARTS_100)),
        StreamedContent(b"a", lambda: parts("text")),
    ):
        agree(lambda m: asyncio.run(frames(m, content)))


@pytest.mark.parametrize(
    "event",
    [
        TextServerSentEvent("hello world", event="tick", id="42", retry=1000),
        ServerSentEvent({"a": [1, 2]}, comment="a\nb\r\nc\rd\n"),
        ServerSentEvent(None, id="1\r\nx\ny\rz", event="a\rb"),
        TextServerSentEvent("a\r\nb\rc\n\nd"),
        TextServerSentEvent(""),
        TextServerSentEvent("caf\xe9 \u20ac", retry=0),
    ],
    ids=range(6),
)
def test_write_sse_agrees(event):
    agree(lambda m: m.write_sse(event))


class Headers:
    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return self.pairs


@pytest.mark.parametrize(
    "raw",
    [
        micro.BROWSER_HEADERS,
        None,
        Headers(micro.BROWSER_HEADERS),
        {"accept": "*/*"},
        [
            ("host", "example.org"),
            ("X-Custom", "keep-alive"),
            (b"x-bytes", b"raw"),
            ["x-list", 5],
            ("x-none", None, "ignored"),
            ("x-latin", "caf\xe9"),
            (bytearray(b"x-ba"), memoryview(b"v")),
        ],
        [("x", "\u20ac")],
    ],
    ids=range(6),
)
def test_intake_agrees(raw):
    agree(lambda m: m.extract_rsgi_headers(raw))

    def request(m):
        scope = micro.Scope(raw)
        r = m.instantiate_rsgi_request(scope, "the protocol")
        return r.method, r.url.value, r._raw_headers, r.scope is scope, type(r.content), r.content.protocol

    agree(request)


RSGI_CASES = [
    (None, b"application/json"),
    (None, b"image/png"),
    (None, None),
    (micro.RAW_6, b"application/json"),
    (micro.RAW_12, b"text/html"),
    ([(b"content-type", b"text/plain")], b"application/json"),
    (
        [(b"x-utf8", "caf\xe9".encode()), (b"x-view", memoryview("\u20ac".encode())), ("x-text", "caf\xe9")],
        "text/plain; name=\xe9".encode(),
    ),
    ([(b"x-user", b"a\r\nInjected: 1")], None),
    ([(b"x user", b"1")], None),
    ([(b"", b"1")], None),
    ([(b"x-\xe9", b"1")], None),
    ([("x-str", "a\rb")], None),
    ([("Bad Name", "1")], None),
    ([(b"x-user", b"caf\xe9")], None),
    ([(b"vary", b"cookie")], b"text/html\r\nx: 1"),
    (None, b"text/html\r\nx: 1"),
    (None, b"text/\xff"),
]


@pytest.mark.parametrize("raw, content_type", RSGI_CASES, ids=range(len(RSGI_CASES)))
def test_rsgi_answers_and_header_rule_agree(raw, content_type):
    def run(m):
        content = Content(b"x", b"body")
        content.type = content_type
        protocol = Protocol()
        try:
            return m.send_rsgi_response_sync(Response(200, list(raw) if raw else raw, content), protocol)
        finally:
            assert protocol.calls == [] or len(protocol.calls) == 1
            run.calls = protocol.calls

    agree(run)
    native_calls = run.calls
    outcome(lambda: run(pp))
    assert run.calls == native_calls


@pytest.mark.parametrize("name", ["none", "json", "typeless", "stream", "stream-closing"])
def test_rsgi_coroutines_agree(name):
    def run(m):
        protocol = Protocol()
        asyncio.run(m.send_rsgi_response(RESPONSES[name](), protocol))
        return protocol.calls

    agree(run)

    def chunk_table(m):
        protocol = Protocol()
        chunks = [b"a", "b", b"", "", None, 0, bytearray(b"c"), memoryview(b"d"), 7, True]
        response = Response(206, None, StreamedContent(b"text/plain", lambda: parts(*chunks)))
        asyncio.run(m.send_rsgi_response(response, protocol))
        return protocol.calls

    agree(chunk_table)


def test_every_micro_case_runs_once():
    names = []
    for name, run in micro.cases():
        assert run(1) >= 0
        names.append(name)
    counted = sum(len(micro.case_names(op, f is not None)) for op, (_, _, f) in micro.OPERATIONS.items())
    assert names[0] == micro.EMPTY_COROUTINE and len(names) == 1 + counted


def test_prebuilt_rsgi_answer_allocates_nothing():
    out = subprocess.run(
        [sys.executable, str(BENCH / "micro.py"), "--allocations"],
        capture_output=True,
        text=True,
        timeout=60,
        check=True,
    )
    result = json.loads(out.stdout)
    if not result["method"].startswith("allocator hook"):
        pytest.skip("no C compiler for the allocation counter")
    cases = result["cases"]
    assert cases["send_rsgi_response_sync[prebuilt]"]["native"] < 0.01
    # intake: the list, twelve pairs, and the converted texts that miss the tables
    assert 10 <= cases["extract_rsgi_headers[12]"]["native"] <= 30


def test_report_figures_and_files(tmp_path):
    """own = time - floor, the ratio is port own over native own, the header
    check is 12 raw minus prebuilt, and the report and chart are written."""
    import run

    figures = {micro.EMPTY_COROUTINE: {"median_ns": 40.0, "stdev_ns": 0.0}}
    for op, (_, _, floor) in micro.OPERATIONS.items():
        for suffix in ("", micro.TRIM_SUFFIX) if op == micro.TRIM_OPERATION else ("",):
            for kind, ns in (("native", 300.0), ("port", 900.0), ("floor", 140.0)):
                if kind != "floor" or floor:
                    figures[f"{op}{suffix} {kind}"] = {"median_ns": ns, "stdev_ns": 0.0}
    figures["send_rsgi_response_sync[12 raw] native"]["median_ns"] = 1500.0
    rows = {r["name"]: r for r in run.micro_rows(figures)}
    assert rows["write_sse"]["ratio"] == 3.0  # no floor
    assert rows["send_rsgi_response_sync[6 raw]"]["ratio"] == 4.75  # (900 - 140) / (300 - 140)
    # a coroutine floor less the empty coroutine: (900 - 100) / (300 - 100)
    assert rows["send_asgi_response[small]"]["ratio"] == 4.0
    assert f"{micro.TRIM_OPERATION}{micro.TRIM_SUFFIX}" in rows
    assert run.header_check_cost(figures) == {"native": 1200.0, "port": 0.0}
    counts = {name: value["median_ns"] * 10 for name, value in figures.items()}
    in_instructions = {r["name"]: r for r in run.micro_rows(figures, counts)}
    assert in_instructions["send_asgi_response[small]"]["ratio_i"] == 4.0  # the empty coroutine taken away too
    assert run.own_ratio(300.0, 90.0, 100.0)[2] != run.own_ratio(300.0, 90.0, 100.0)[2]  # port at its floor: none
    assert run.ratio_text(float("nan")) == "at the floor"
    assert in_instructions["write_sse"]["native_own_i"] == 3000.0
    assert "ratio_i" not in in_instructions[f"{micro.TRIM_OPERATION}{micro.TRIM_SUFFIX}"]

    e2e = {
        "duration_s": 1,
        "rounds": 1,
        "server_module": False,
        "skipped": [],
        "results": [
            {
                "server": "uvicorn",
                "app": app,
                "route": "/",
                "rps": 1000.0,
                "cpu_us_per_request": cpu,
                "requests": 1,
                "failed": 0,
            }
            for app, cpu in (
                ("raw", 20.0),
                ("raw_read", 22.0),
                ("penmoth", 25.0),
                ("port", 30.0),
                ("starlette", 50.0),
                ("server", 25.5),
            )
        ],
    }
    [ratio] = run.e2e_ratios(e2e)
    assert ratio["port/penmoth"] == 1.2 and ratio["starlette/penmoth"] == 2.0
    assert ratio["penmoth over raw"] == 5.0 and ratio["port over raw"] == 10.0
    assert ratio["penmoth over raw_read"] == 3.0 and ratio["server over penmoth"] == 0.5
    allocs = {"method": "test", "calls": 1, "cases": {"a": {"native": 0.0, "port": 1.0, "floor": 0.0}}}
    run.write_markdown(
        tmp_path / "r.md",
        True,
        run.machine(),
        list(rows.values()),
        run.header_check_cost(figures),
        allocs,
        e2e,
        [ratio],
        1.0,
    )
    counted = run.instruction_rows(
        {
            "results": [
                {"server": "granian-rsgi", "route": "/", "app": a, "instructions": n}
                for a, n in (("raw", 1000.0), ("raw_read", 1200.0), ("penmoth", 1500.0), ("server", 1600.0))
            ]
            + [
                {"server": "uvicorn", "route": "/", "app": a, "instructions": n}
                for a, n in (("raw", 2000.0), ("penmoth", 2300.0), ("penmoth_request", 2500.0), ("server", 2600.0))
            ]
        }
    )
    found = {(r["server"], r["app"]): r for r in counted}
    assert found["granian-rsgi", "penmoth"]["over raw_read"] == 300.0
    assert found["granian-rsgi", "server"]["base"] == "penmoth" and found["granian-rsgi", "server"]["over base"] == 100
    assert found["uvicorn", "server"]["base"] == "penmoth_request" and found["uvicorn", "server"]["over raw"] == 600
    memory = {
        "results": [{"server": "uvicorn", "app": "raw", "seconds": 1.5, "before_mib": 40.2, "peak_growth_mib": 2.4}]
    }
    run.write_markdown(
        tmp_path / "i.md", True, run.machine(), [], {"native": 0, "port": 0}, allocs, None, [], 1.0, counted, memory
    )
    written = (tmp_path / "i.md").read_text()
    assert "| uvicorn | `/` | server | 2600 | +600 | - | +100 (over penmoth_request) |" in written
    assert "| uvicorn | raw | 1.5 | 40 MiB | +2 MiB |" in written
    text = (tmp_path / "r.md").read_text()
    assert "| `send_asgi_response[small]` | 4.00x |" in text and "| uvicorn | `/` | 1.20x | 2.00x | 1.02x |" in text
    assert "| uvicorn | `/` | 5.0 | 3.0 | 10.0 | 0.5 |" in text
    pytest.importorskip("matplotlib")
    run.write_chart(tmp_path / "r.png", list(rows.values()), [ratio], True)
    assert (tmp_path / "r.png").read_bytes()[:4] == b"\x89PNG"
    data = {
        "quick": True,
        "machine": run.machine(),
        "elapsed_s": 1.0,
        "micro": figures,
        "micro_instructions": counts,
        "allocations": {"method": "test", "calls": 1, "cases": {}},
        "e2e": None,
        "e2e_instructions": None,
        "e2e_memory": None,
    }
    (tmp_path / "results.json").write_text(json.dumps(data))
    subprocess.run(
        [sys.executable, str(BENCH / "run.py"), "--render", str(tmp_path / "results.json"), "--out", str(tmp_path)],
        check=True,
        capture_output=True,
    )
    assert "| `write_sse` | 3.00x | 3.00x | 3000 |" in (tmp_path / "results.md").read_text()


def test_e2e_helpers():
    """wrk's report is read right, failures included; the server's CPU time
    counts its children; runs are shortened to fit a budget, never lengthened."""
    import e2e

    report = """Running 1s test @ http://127.0.0.1:8000/
  1 threads and 32 connections
  41850 requests in 1.00s, 5.31MB read
  Socket errors: connect 0, read 3, write 1, timeout 2
  Non-2xx or 3xx responses: 7
Requests/sec:  41849.52
Transfer/sec:      5.31MB
"""
    assert e2e.parse_wrk(report) == (41850, 41849.52, 13)
    assert e2e.parse_wrk(
        report.replace("  Socket errors: connect 0, read 3, write 1, timeout 2\n", "").replace(
            "  Non-2xx or 3xx responses: 7\n", ""
        )
    ) == (41850, 41849.52, 0)

    class Tree(e2e.Server):
        def __init__(self, process):
            self.process = process

    burn = "import time\nt = time.process_time()\nwhile time.process_time() - t < 0.3: pass\ntime.sleep(30)"
    parent = subprocess.Popen(
        [
            sys.executable,
            "-c",
            f"import subprocess, sys, time\nsubprocess.Popen([sys.executable, '-c', {burn!r}])\ntime.sleep(30)",
        ],
        start_new_session=True,
    )
    try:
        tree = Tree(parent)
        deadline = time.monotonic() + 10
        while tree.cpu_seconds() < 0.25 and time.monotonic() < deadline:
            time.sleep(0.05)
        assert tree.cpu_seconds() >= 0.25  # the child's busy loop, not only the idle parent
    finally:
        os.killpg(parent.pid, signal.SIGKILL)
        parent.wait()

    apps = sum(len(a) for _, _, a in e2e.setups())
    runs = apps * len(e2e.ROUTES) * 3
    assert e2e.fit_duration(5, 3, 10_000) == 5
    assert e2e.fit_duration(5, 3, runs * 3 + 100) == 3
    assert e2e.fit_duration(5, 3, 1) == 2 and e2e.fit_duration(1, 1, 1) == 1


@pytest.mark.skipif(not shutil.which("callgrind_control"), reason="valgrind is not installed")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="valgrind cannot run the sanitizer build")
def test_a_micro_case_counts_in_instructions():
    import micro_instructions

    once, twice = (micro_instructions.measure("write_sse native", n) for n in (100, 200))
    assert 200 < once < 20_000 and abs(once - twice) < 0.2 * once  # per call, the loop count taken out


def test_instruction_counting_reads_whole_responses_and_no_more():
    import socket

    import e2e_instructions as ei

    a, b = socket.socketpair()
    with a, b:
        fixed = b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"
        chunked = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"
        a.sendall(fixed[:20])
        a.sendall(fixed[20:] + chunked + b"HTTP/1.1")
        rest = ei.read_response(b, b"")
        assert (chunked + b"HTTP/1.1").startswith(rest)  # the first response's bytes are all gone
        assert ei.read_response(b, rest) == b"HTTP/1.1"
        with pytest.raises(RuntimeError, match="answered b'HTTP/1.1 500"):
            ei.read_response(b, b"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n")
        a.close()
        with pytest.raises(RuntimeError, match="closed"):
            ei.read_response(b, b"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nshort")


def test_port_name_caches_stay_bounded_and_never_admit_a_bad_name():
    """The port remembers checked names; past its bound it checks every name
    again, and a refused name is never remembered."""
    protocol = Protocol()
    for i in range(pp._CACHE_LIMIT + 50):
        raw = [(b"x-name-%d" % i, b"v")]
        pp.send_rsgi_response_sync(Response(200, list(raw), TextContent("x")), protocol)
        response = Response(200, None, TextContent("x"))
        response._raw_headers = list(raw)
        asyncio.run(pp.send_asgi_response(response, send_nothing))
    assert len(pp._SEEN_NAMES) <= pp._CACHE_LIMIT and len(pp._VALID_NAMES) <= pp._CACHE_LIMIT
    for _ in range(2):
        for bad in (b"x name", b"x-\xe9", b""):
            with pytest.raises(ValueError, match="invalid header name"):
                pp.send_rsgi_response_sync(_with_raw(bad), protocol)
    assert all(pp._is_token(n) for n in pp._SEEN_NAMES) and all(pp._is_token(n) for n in pp._VALID_NAMES)


async def send_nothing(message):
    pass


def _with_raw(name):
    response = Response(200, None, TextContent("x"))
    response._raw_headers = [(name, b"v")]
    return response


@pytest.mark.parametrize("path", ["/", "/json", "/stream"])
def test_the_rsgi_apps_compared_end_to_end_give_the_same_bodies(path):
    """The bare apps, penmoth and the port answer each route with the same
    status and bytes, or the comparison of their costs means nothing."""
    import e2e_apps

    class Scope:
        def __init__(self):
            self.path, self.method, self.query_string = path, "GET", ""
            self.headers = {"host": "127.0.0.1"}

    def wire(calls):
        kind, status = calls[0][0], calls[0][1]
        body = b"".join(
            c[-1].encode() if isinstance(c[-1], str) else c[-1] for c in calls if c[0] in ("str", "bytes", "send_bytes")
        )
        return status, "stream" if kind == "stream" else "buffered", body

    seen = {}
    for name in ("raw_rsgi", "raw_read_rsgi", "penmoth_rsgi", "port_rsgi"):
        protocol = Protocol()
        asyncio.run(getattr(e2e_apps, name)(Scope(), protocol))
        seen[name] = wire(protocol.calls)
    assert len(set(seen.values())) == 1, seen


def test_the_websocket_apps_compared_echo_alike():
    """The bare echo and Application's echo send the same messages back, or
    the comparison of their costs means nothing."""
    import ws_apps

    async def echoed(app):
        incoming = [{"type": "websocket.connect"}, {"type": "websocket.receive", "text": "a"}]
        incoming += [{"type": "websocket.receive", "bytes": b"b"}, {"type": "websocket.disconnect", "code": 1000}]
        sent = []

        async def receive():
            return incoming.pop(0)

        async def send(message):
            sent.append(message)

        await app({"type": "websocket", "path": "/echo", "query_string": b"", "headers": []}, receive, send)
        return [m for m in sent if m["type"] == "websocket.send"]

    assert asyncio.run(echoed(ws_apps.raw_asgi)) == asyncio.run(echoed(ws_apps.server_asgi))
