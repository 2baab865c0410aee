"""The demo application on real servers: uvicorn, hypercorn and granian over
ASGI, granian over RSGI, each started once for this module and spoken to with
httpx over HTTP/1.1. What the servers put on the wire is checked: status,
content headers, framing and the exact body bytes."""

import base64
import hashlib
import json
import random
import re
import sys
import time
from pathlib import Path

import httpx
import pytest

from conftest import TIMEOUT
from morrowfen import demo
from morrowfen.penmoth import write_sse
from servers import SERVERS, Server, browser_events, read_event_stream, running_server

pytestmark = pytest.mark.timeout(90)


@pytest.fixture(scope="module", params=list(SERVERS))
def server_process(request):
    return running_server(request, request.param)


# --- every route -------------------------------------------------------------------

TEXT = "text/plain; charset=utf-8"
HTML = "text/html; charset=utf-8"

# path: status, content-type, body, framing ("length": the body's size in
# content-length; "stream": no content-length, the server frames it)
ROUTES = {
    "/": (200, "application/json", json.dumps({"framework": "morrowfen", "ok": True}).encode(), "length"),
    "/text": (200, TEXT, b"Hello, world!", "length"),
    "/html": (200, HTML, b"<h1>Hello, world!</h1>", "length"),
    "/large": (200, "application/octet-stream", demo.LARGE_BODY, "length"),
    "/stream": (200, "text/plain", b"".join(demo.STREAM_PARTS), "stream"),
    "/events": (200, "text/event-stream", b"".join(write_sse(e) for e in demo.events()), "stream"),
    "/events/page": (200, HTML, demo.EVENTS_PAGE.encode(), "length"),
    "/cookie": (200, TEXT, b"cookie set", "length"),
    "/file": (200, "text/x-python; charset=utf-8", Path(demo.__file__).read_bytes(), "length"),
    "/no/such/page": (404, TEXT, b"Not Found", "length"),
}


@pytest.mark.parametrize("path", ROUTES)
def test_route(client, path):
    status, content_type, body, framing = ROUTES[path]
    r = client.get(path)
    assert r.status_code == status
    assert r.headers.get_list("content-type") == [content_type]
    assert r.content == body
    if framing == "length":
        assert r.headers.get_list("content-length") == [str(len(body))]
        assert "transfer-encoding" not in r.headers
    else:
        assert "content-length" not in r.headers
        assert r.headers.get("transfer-encoding") == "chunked" or r.headers.get("connection") == "close"


def test_routes_with_extra_headers(client):
    assert client.get("/events").headers.get_list("cache-control") == ["no-cache"]
    assert client.get("/stream/slow/stats").headers.get_list("cache-control") == ["no-store"]
    set_cookie = client.get("/cookie").headers.get_list("set-cookie")
    assert len(set_cookie) == 1 and set_cookie[0].startswith("session=")


def test_no_content(client):
    r = client.get("/empty")
    assert r.status_code == 204
    assert r.content == b""
    assert "content-type" not in r.headers and "transfer-encoding" not in r.headers
    # the ASGI sender declares a length of 0; some servers pass it on, granian drops it
    assert r.headers.get_list("content-length") in ([], ["0"])


def test_bodies_keep_the_connection_usable(client):
    """Every body is framed exactly: a wrong length or an unterminated stream
    would break the next request on the same keep-alive connection."""
    for path in ("/large", "/stream", "/empty", "/events", "/text", "/large", "/no/such/page", "/"):
        status, _, body, _ = ROUTES.get(path, (204, None, b"", None))
        r = client.get(path)
        assert (r.status_code, r.content) == (status, body), path
    assert client.get("/text").text == "Hello, world!"


def test_streamed_body_arrives_part_by_part(client):
    with client.stream("GET", "/stream") as r:
        assert r.status_code == 200
        received = b"".join(r.iter_bytes())
    assert received == b"".join(demo.STREAM_PARTS)
    assert re.fullmatch(rb"(part \d{3};){100}", received)


def test_event_stream_as_an_event_source_reads_it(client):
    r = client.get("/events")
    assert read_event_stream(r.text) == browser_events(demo.events())
    assert r.text.endswith("\n\n")


# --- /echo: what reaches the application ---------------------------------------------


def echoed(client, method="POST", path="/echo", **kwargs):
    r = client.request(method, path, **kwargs)
    assert r.status_code == 200
    assert r.headers["content-type"] == "application/json"
    assert r.headers["content-length"] == str(len(r.content))
    return r.json()


def test_echo_method_path_query(client):
    got = echoed(client, "GET")
    assert (got["method"], got["path"], got["query"], got["body_length"]) == ("GET", "/echo", "", 0)
    assert got["body_sha256"] == hashlib.sha256(b"").hexdigest() and got["body_base64"] == ""
    got = echoed(client, "PUT", "/echo?a=1&b=two&a=3", content=b"abc")
    assert (got["method"], got["path"], got["query"]) == ("PUT", "/echo", "a=1&b=two&a=3")
    assert (got["body_length"], base64.b64decode(got["body_base64"])) == (3, b"abc")


def test_echo_headers_in_order_with_duplicates(server, client):
    sent = [
        ("X-Dup", "first"),
        ("X-Between", "b"),
        ("x-dup", "second"),
        ("X-Dup", "third, with comma"),
        ("X-Empty", ""),
        ("Accept", "text/plain"),
    ]
    got = echoed(client, content=b"{}", headers=sent)
    mine = {"x-dup", "x-between", "x-empty", "accept"}
    received = [(n.lower(), v) for n, v in got["headers"] if n.lower() in mine]
    expected = [(n.lower(), v) for n, v in sent]
    if server.name.startswith("granian"):
        # granian keeps its request headers in a map: the values of one name stay
        # in order, the names come in the order they first appeared
        first_seen = {n: i for i, (n, _) in reversed(list(enumerate(expected)))}
        expected.sort(key=lambda pair: first_seen[pair[0]])
    assert received == expected
    names = [n.lower() for n, _ in got["headers"]]
    assert names.count("host") == 1 and ["content-length", "2"] in got["headers"]
    host = dict((n.lower(), v) for n, v in got["headers"])["host"]
    assert host == client.base_url.netloc.decode()


def big_body():
    return random.Random(5).randbytes(5 * 1024 * 1024)


@pytest.mark.parametrize("framing", ["content-length", "chunked"])
def test_echo_five_mib(client, framing):
    body = big_body()
    if framing == "chunked":  # sent in 64 KiB pieces, with no length: the app reads many body messages
        content = (body[i : i + 65536] for i in range(0, len(body), 65536))
    else:
        content = body
    got = echoed(client, content=content)
    assert got["body_length"] == len(body)
    assert got["body_sha256"] == hashlib.sha256(body).hexdigest()
    assert base64.b64decode(got["body_base64"]) == body
    framing_headers = {n.lower(): v for n, v in got["headers"] if n.lower() in ("content-length", "transfer-encoding")}
    if framing == "chunked":
        assert framing_headers == {"transfer-encoding": "chunked"}
    else:
        assert framing_headers == {"content-length": str(len(body))}


# --- cookies -----------------------------------------------------------------------


def test_cookie_lands_in_the_jar(client):
    before = time.time()
    r = client.get("/cookie")
    assert r.status_code == 200
    raw = r.headers.get_list("set-cookie")
    assert len(raw) == 1
    attributes = [a.strip() for a in raw[0].split(";")]
    assert attributes[0] == "session=abc%20123"  # the blank is outside the cookie octets: percent-encoded
    assert sorted(attributes[1:]) == ["HttpOnly", "Max-Age=3600", "Path=/", "SameSite=Lax"]

    [cookie] = list(client.cookies.jar)
    assert (cookie.name, cookie.value, cookie.path, cookie.domain) == ("session", "abc%20123", "/", "127.0.0.1")
    assert not cookie.secure
    assert cookie.has_nonstandard_attr("HttpOnly")
    assert cookie.get_nonstandard_attr("SameSite") == "Lax"
    assert before + 3600 - 5 <= cookie.expires <= time.time() + 3600 + 5  # Max-Age, counted from now

    # and the client sends it back
    got = echoed(client, "GET")
    assert [v for n, v in got["headers"] if n.lower() == "cookie"] == ["session=abc%20123"]


# --- a client that leaves mid-stream -----------------------------------------------------


def slow_stats(client):
    r = client.get("/stream/slow/stats")
    assert r.status_code == 200
    return r.json()


def test_client_leaving_mid_stream(server, client):
    before = slow_stats(client)
    received = b""
    with httpx.Client(base_url=server.url, timeout=TIMEOUT) as leaving:
        with leaving.stream("GET", "/stream/slow") as r:
            assert r.status_code == 200 and "content-length" not in r.headers
            for chunk in r.iter_bytes():
                received += chunk
                if len(received) >= 8 * len(demo.SLOW_PART):
                    break
    # leaving the block before the end of the body closed the connection
    assert received == (demo.SLOW_PART * (len(received) // len(demo.SLOW_PART) + 1))[: len(received)]

    # the server goes on serving, on new connections and on this one
    for _ in range(3):
        assert client.get("/text").text == "Hello, world!"
        assert client.get("/large").content == demo.LARGE_BODY
    assert server.alive(), server.log()
    stats = slow_stats(client)
    assert stats["started"] == before["started"] + 1

    # the application notices the client leaving (RSGI: the transport and
    # client_disconnect(); ASGI: receive() gives "http.disconnect", as the
    # servers' send() goes on succeeding): the stream stops and its provider is closed
    deadline = time.monotonic() + 5
    while stats["finished"] < stats["started"] and time.monotonic() < deadline:
        time.sleep(0.05)
        stats = slow_stats(client)
    assert stats["finished"] == stats["started"]
    assert stats["parts"] < demo.SLOW_PART_COUNT * stats["started"]
    assert server.alive(), server.log()


# --- the README's way to serve ---------------------------------------------------------


def test_demo_serves_on_the_port_it_prints():
    server = Server("demo-granian", [sys.executable, "-m", "morrowfen.demo", "granian", "0"], None)
    server.start()
    try:
        deadline = time.monotonic() + 20
        match = None
        while match is None and time.monotonic() < deadline and server.alive():
            match = re.search(
                r"serving the morrowfen demo on (http://127\.0\.0\.1:(\d+)) with granian \(RSGI\)", server.log()
            )
            time.sleep(0.05)
        assert match, server.log()
        server.url, server.port = match[1], int(match[2])
        assert server.port != 0
        server.wait_ready()
        r = httpx.get(server.url + "/", timeout=TIMEOUT)
        assert (r.status_code, r.content) == (200, ROUTES["/"][2])
        assert r.headers.get("server") == "granian"
        assert httpx.get(server.url + "/stream", timeout=TIMEOUT).content == b"".join(demo.STREAM_PARTS)
    finally:
        server.stop()
        server.cleanup()
    assert not server.alive()
