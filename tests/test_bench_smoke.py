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
from fakes import ASGIClient, Headers, RSGIProtocol, RSGIScope, http_scope, send_nothing
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
        client = ASGIClient()
        asyncio.run(m.send_asgi_response(RESPONSES[name](), client.send))
        return client.sent

    agree(messages)


@pytest.mark.parametrize("raw", BAD_ASGI_HEADERS, ids=range(len(BAD_ASGI_HEADERS)))
def test_asgi_header_rule_agrees(raw):
    def run(m):
        client = ASGIClient()
        response = Response(200, None, TextContent("x"))
        response._raw_headers = list(raw)
        try:
            asyncio.run(m.send_asgi_response(response, client.send))
        finally:
            assert client.sent == []  # refused before the start message

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
        scope = micro.scope(raw)
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
        protocol = RSGIProtocol()
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
        protocol = RSGIProtocol()
        asyncio.run(m.send_rsgi_response(RESPONSES[name](), protocol))
        return protocol.calls

    agree(run)

    def chunk_table(m):
        protocol = RSGIProtocol()
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
    check is 12 raw minus prebuilt, Application and the frameworks are set
    against the server's floor, and the report and chart are written."""
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
        "results": [
            {"server": "uvicorn", "app": app, "route": "/", "rps": 1000.0, "cpu_us_per_request": cpu}
            | {"requests": 1, "failed": 0}
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
    assert ratio["port/penmoth"] == 1.2 and ratio["server/penmoth"] == 25.5 / 25
    assert ratio["penmoth over raw"] == 5.0 and ratio["port over raw"] == 10.0
    assert ratio["penmoth over raw_read"] == 3.0 and ratio["server over penmoth"] == 0.5
    instructions = {
        "results": [
            {"server": server, "route": "/", "app": a, "instructions": n, "gc_per_1000": gc}
            for server, a, n, gc in (
                ("granian-rsgi", "raw", 1000.0, 0),
                ("granian-rsgi", "raw_read", 1200.0, 0),
                ("granian-rsgi", "penmoth", 1500.0, 0),
                ("granian-rsgi", "server", 1600.0, 0),
                ("granian-rsgi", "emmett55", 5200.0, 1),
                ("uvicorn", "raw", 2000.0, 0),
                ("uvicorn", "penmoth", 2300.0, 0),
                ("uvicorn", "server", 2600.0, 0),
                ("uvicorn", "starlette", 3800.0, 2),
            )
        ],
        "headers": {
            "uvicorn": {
                "raw": {"/": [["content-type", "text/plain"], ["content-length", "5"]]},
                "starlette": {"/": [["Content-Length", "5"], ["content-type", "text/plain; charset=utf-8"]]},
            }
        },
    }
    counted = run.instruction_rows(instructions)
    found = {(r["server"], r["app"]): r for r in counted}
    assert found["granian-rsgi", "penmoth"]["over raw_read"] == 300.0
    assert found["granian-rsgi", "server"]["base"] == "penmoth" and found["granian-rsgi", "server"]["over base"] == 100
    assert found["uvicorn", "server"]["base"] == "penmoth" and found["uvicorn", "server"]["over raw"] == 600
    framework_rows = run.framework_rows(counted, e2e)
    frameworks = {(r["server"], r["app"]): r for r in framework_rows}
    assert set(frameworks) == {("granian-rsgi", "server"), ("granian-rsgi", "emmett55")} | {
        ("uvicorn", "server"),
        ("uvicorn", "starlette"),
    }
    assert (
        frameworks["granian-rsgi", "emmett55"]["over_i"] == 4000
        and frameworks["granian-rsgi", "emmett55"]["ratio_i"] == 10
    )
    starlette = frameworks[
        "uvicorn", "starlette"
    ]  # over the bare app: 1800 against Application's 600; 30 us against 5.5
    assert (starlette["ratio_i"], starlette["over_cpu"], starlette["ratio_cpu"]) == (3.0, 30.0, 30.0 / 5.5)
    data = {
        "quick": True,
        "machine": run.machine(),
        "elapsed_s": 1.0,
        "micro": figures,
        "micro_instructions": counts,
        "allocations": {"method": "test", "calls": 1, "cases": {"a": {"native": 0.0, "port": 1.0, "floor": 0.0}}},
        "e2e": e2e,
        "e2e_instructions": instructions,
        "e2e_memory": {
            "results": [{"server": "uvicorn", "app": "raw", "seconds": 1.5, "before_mib": 40.2, "peak_growth_mib": 2.4}]
        },
    }
    check = run.header_check_cost(figures)
    run.write_markdown(tmp_path / "results.md", data, list(rows.values()), check, [ratio], counted, framework_rows)
    text = (tmp_path / "results.md").read_text()
    for line in (
        "| uvicorn | `/` | server | 2600 | +600 | - | +300 (over penmoth) | 0 |",
        "| uvicorn | `/` | starlette | +1800 | 3.00x | +30.0 | 5.45x | 2 |",
        "| uvicorn | starlette | `/` | `content-type: text/plain; charset=utf-8` (not `text/plain`) |",
        "| uvicorn | raw | 1.5 | 40 MiB | +2 MiB |",
        "| `send_asgi_response[small]` | 4.00x |",
        "| uvicorn | `/` | 1.20x | 1.02x |",
        "| uvicorn | `/` | 5.0 | 3.0 | 10.0 | 0.5 |",
    ):
        assert line in text, line
    pytest.importorskip("matplotlib")
    run.write_chart(tmp_path / "results.png", list(rows.values()), [ratio], True, framework_rows)
    assert (tmp_path / "results.png").read_bytes()[:4] == b"\x89PNG"
    for key in ("e2e", "e2e_instructions", "e2e_memory"):
        data[key] = None  # a run without the end-to-end figures
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
        deadline = time.monotonic() + 10
        while e2e.cpu_seconds(parent.pid) < 0.25 and time.monotonic() < deadline:
            time.sleep(0.05)
        assert e2e.cpu_seconds(parent.pid) >= 0.25  # the child's busy loop, not only the idle parent
    finally:
        os.killpg(parent.pid, signal.SIGKILL)
        parent.wait()

    apps = sum(len(a) for _, a in e2e.setups())
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


def test_responses_are_read_whole_and_no_further():
    import socket

    import e2e

    a, b = socket.socketpair()
    with a, b:
        fixed = b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"
        chunked = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2;x=y\r\nde\r\n0\r\n\r\n"
        a.sendall(fixed[:20])
        a.sendall(fixed[20:] + chunked[:60])
        status, headers, body, rest = e2e.read_response(b, b"")
        assert (status, headers, body) == (200, [("Content-Length", "5")], b"hello")
        assert chunked.startswith(rest)  # the first response's bytes are all gone
        a.sendall(chunked[60:] + b"HTTP/1.1")
        assert e2e.read_response(b, rest)[2:] == (b"abcde", b"HTTP/1.1")
        with pytest.raises(RuntimeError, match="answered b'HTTP/1.1 500"):
            e2e.read_response(b, b"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n")
        a.close()
        with pytest.raises(RuntimeError, match="closed"):
            e2e.read_response(b, b"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nshort")


def test_port_name_caches_stay_bounded_and_never_admit_a_bad_name():
    """The port remembers checked names; past its bound it checks every name
    again, and a refused name is never remembered."""
    protocol = RSGIProtocol()
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


def _with_raw(name):
    response = Response(200, None, TextContent("x"))
    response._raw_headers = [(name, b"v")]
    return response


@pytest.mark.parametrize("route", ["/", "/hdr", "/stream", "/echo"])
def test_the_apps_compared_end_to_end_give_the_same_answers(route):
    """The bare apps, penmoth, the port and Application answer each route of
    the benchmark with the status and bytes a client must get (bench/e2e.py
    checks the frameworks on their servers), or comparing their costs means nothing."""
    import e2e
    import e2e_apps

    _, method, headers, body, expected = e2e.ROUTES[route]
    rsgi_headers = dict([("host", "127.0.0.1"), *headers])
    asgi_headers = [(n.encode(), v.encode()) for n, v in rsgi_headers.items()]
    for name in ("raw_rsgi", "raw_read_rsgi", "penmoth_rsgi", "port_rsgi", "server_rsgi"):
        protocol = RSGIProtocol(body)
        app = getattr(e2e_apps, name)
        asyncio.run(getattr(app, "__rsgi__", app)(RSGIScope(route, "", rsgi_headers, method), protocol))
        assert (protocol.answer[0], protocol.answer[2] or b"".join(protocol.parts)) == (200, expected), name
    for name in ("raw_asgi", "penmoth_asgi", "server_asgi"):
        client = ASGIClient((body,))
        asyncio.run(
            getattr(e2e_apps, name)(http_scope(route, method=method, headers=asgi_headers), client.receive, client.send)
        )
        assert (client.status, client.body, client.complete) == (200, expected, True), name


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
