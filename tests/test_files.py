"""FileContent: made without touching the file, sent whole by penmoth's
senders, and answered by Application with its validators, conditional
requests, byte ranges and HEAD, through the server's own file sending where
it offers one, on fake ASGI and RSGI gateways."""

import asyncio
import logging
import os
from datetime import UTC, datetime
from email.utils import format_datetime, parsedate_to_datetime

import pytest

from fakes import ASGIClient, RSGIProtocol, RSGIScope, http_scope
from morrowfen.contents import Content, FileContent
from morrowfen.messages import Response
from morrowfen.penmoth import send_asgi_response, send_rsgi_response
from morrowfen.server import Application

pytestmark = pytest.mark.timeout(30)

DATA = bytes(range(256)) * 4000  # 1,024,000 bytes: several parts


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 10))


@pytest.fixture
def data_file(tmp_path):
    path = tmp_path / "data.bin"
    path.write_bytes(DATA)
    return path


class FileProtocol(RSGIProtocol):
    """An RSGI protocol with the server's own file sending."""

    def response_file(self, status, headers, file):
        self.calls.append(("file", status, headers, file))

    def response_file_range(self, status, headers, file, start, end):
        self.calls.append(("file_range", status, headers, file, start, end))


def serving(path, status=200, headers=None):
    async def handler(request):
        return Response(status, list(headers or []), FileContent(path))

    return Application(handler)


def answer(app, face, headers=(), method="GET", extensions=None, protocol=None):
    """(status, headers as a dict of str, body) of one request; body None when
    the server was asked to send the file itself, with the call in `sent_by_server`."""
    if face == "asgi":
        client = ASGIClient()
        scope = http_scope(method=method, headers=[(b"host", b"test")] + [(k.encode(), v.encode()) for k, v in headers])
        if extensions is not None:
            scope["extensions"] = extensions
        run(app(scope, client.receive, client.send))
        head = {k.decode(): v.decode() for k, v in client.sent[0]["headers"]}
        if client.sent[-1]["type"] == "http.response.pathsend":
            answer.sent_by_server = ("pathsend", client.sent[-1]["path"])
            return client.status, head, None
        return client.status, head, client.body
    protocol = protocol or FileProtocol()
    run(app.__rsgi__(RSGIScope(method=method, headers={"host": "test", **dict(headers)}), protocol))
    call = next(c for c in protocol.calls if len(c) > 2)
    head = dict(call[2])
    if call[0].startswith("file"):
        answer.sent_by_server = call
        return call[1], head, None
    return call[1], head, protocol.answer[2] if call[0] != "stream" else b"".join(protocol.parts)


FACES = ["asgi", "rsgi"]


# --- FileContent ----------------------------------------------------------------------


def test_a_file_content_is_made_without_touching_the_file(tmp_path):
    missing = tmp_path / "nowhere" / "report.txt"
    c = FileContent(missing)
    assert (c.path, c.type, c.body, c.length) == (str(missing), b"text/plain; charset=utf-8", None, -1)
    assert isinstance(c, Content)
    assert FileContent(b"/a/b.html").path == "/a/b.html"
    assert FileContent("x.json").type == b"application/json"
    assert FileContent("x.tar.gz").type == b"application/gzip"  # sent as it is: no Content-Encoding
    assert FileContent("x.unknown-suffix").type == b"application/octet-stream"
    assert FileContent("x.txt", b"text/csv").type == b"text/csv"
    with pytest.raises(AttributeError):
        c.path = "/etc/passwd"

    class Str(str):
        pass

    assert type(FileContent(Str("a.txt")).path) is str

    class Hostile:
        def __fspath__(self):
            raise RuntimeError("no path")

    with pytest.raises(RuntimeError, match="no path"):
        FileContent(Hostile())
    with pytest.raises(TypeError):
        FileContent(42)
    with pytest.raises(TypeError):
        FileContent("a.txt", "text/plain")
    with pytest.raises(ValueError):
        FileContent("a.txt", b"text/plain\r\nx-injected: 1")


def test_get_parts_reads_the_file(data_file):
    async def read(content):
        return [part async for part in content.get_parts()]

    parts = run(read(FileContent(data_file)))
    assert b"".join(parts) == DATA and len(parts) == 4
    with pytest.raises(FileNotFoundError):
        run(read(FileContent(data_file.with_name("missing"))))


def test_penmoth_sends_a_file_content_whole(data_file, tmp_path):
    sent = []

    async def send(message):
        sent.append(message)

    run(send_asgi_response(Response(200, None, FileContent(data_file)), send))
    assert sent[0]["headers"] == [(b"content-type", b"application/octet-stream"), (b"content-length", b"1024000")]
    assert b"".join(m["body"] for m in sent[1:]) == DATA and sent[-1]["more_body"] is False

    with_file = FileProtocol()
    os.chdir(tmp_path)  # a relative path goes to the server as an absolute one
    run(send_rsgi_response(Response(200, None, FileContent("data.bin")), with_file))
    assert with_file.calls == [
        ("file", 200, [("content-type", "application/octet-stream"), ("content-length", "1024000")], str(data_file))
    ]
    streamed = RSGIProtocol()
    run(send_rsgi_response(Response(200, None, FileContent(data_file)), streamed))
    assert streamed.calls[0][0] == "stream" and b"".join(streamed.parts) == DATA

    sent.clear()
    with pytest.raises(FileNotFoundError):
        run(send_asgi_response(Response(200, None, FileContent(tmp_path / "missing")), send))
    assert sent == []  # nothing went out


# --- Application ------------------------------------------------------------------------


@pytest.mark.parametrize("face", FACES)
def test_a_whole_file_with_its_validators(data_file, face):
    status, head, body = answer(serving(data_file, headers=[(b"cache-control", b"max-age=60")]), face)
    mtime = data_file.stat().st_mtime_ns
    assert status == 200 and head["cache-control"] == "max-age=60"
    assert head["content-type"] == "application/octet-stream" and head["content-length"] == "1024000"
    assert head["accept-ranges"] == "bytes"
    assert head["etag"] == f'"{len(DATA):x}-{mtime:x}"'  # size and time only: nothing of the path
    last = datetime.fromtimestamp(mtime // 10**9, UTC)
    assert head["last-modified"] == format_datetime(last, usegmt=True)
    if face == "asgi":
        assert body == DATA
    else:
        assert body is None and answer.sent_by_server[3] == str(data_file)
    # a time in the future is sent as now: echoed back, it would hide the next change
    os.utime(data_file, (2**32, 2**32))
    head = answer(serving(data_file), face)[1]
    assert parsedate_to_datetime(head["last-modified"]) <= datetime.now(UTC)


def test_the_server_sends_the_file_where_it_offers_to(data_file):
    app = serving(data_file)
    status, head, body = answer(app, "asgi", extensions={"http.response.pathsend": {}})
    assert (status, body, answer.sent_by_server) == (200, None, ("pathsend", str(data_file)))
    assert head["content-length"] == "1024000"
    # a range goes in parts (pathsend sends whole files)
    status, head, body = answer(app, "asgi", [("range", "bytes=10-19")], extensions={"http.response.pathsend": {}})
    assert (status, body) == (206, DATA[10:20])
    # RSGI: response_file_range's end is exclusive
    status, head, body = answer(app, "rsgi", [("range", "bytes=10-19")])
    assert (status, answer.sent_by_server[4:]) == (206, (10, 20))
    # a protocol without file sending gets the file in parts
    status, head, body = answer(app, "rsgi", protocol=RSGIProtocol())
    assert (status, head["content-length"], body) == (200, "1024000", DATA)
    status, head, body = answer(app, "rsgi", [("range", "bytes=-3")], protocol=RSGIProtocol())
    assert (status, head["content-range"], body) == (206, "bytes 1023997-1023999/1024000", DATA[-3:])
    # no server can be given a name that is not UTF-8: it goes in parts
    odd = data_file.with_name(os.fsdecode(b"caf\xe9.bin"))
    data_file.rename(odd)
    assert answer(serving(odd), "rsgi")[::2] == (200, DATA)
    assert answer(serving(odd), "asgi", extensions={"http.response.pathsend": {}})[::2] == (200, DATA)


def test_the_server_is_given_only_the_path_of_the_file_opened(tmp_path, monkeypatch):
    # "link/../x" opens real/sub/../x, while its absolute text names ./x: the
    # server would send the other file under this one's headers.
    monkeypatch.chdir(tmp_path)
    (tmp_path / "real" / "sub").mkdir(parents=True)
    (tmp_path / "link").symlink_to(tmp_path / "real" / "sub")
    (tmp_path / "real" / "x").write_bytes(DATA)
    (tmp_path / "x").write_bytes(b"another file")
    app = serving("link/../x")
    assert answer(app, "asgi", extensions={"http.response.pathsend": {}})[::2] == (200, DATA)
    assert answer(app, "rsgi")[::2] == (200, DATA)


@pytest.mark.parametrize("face", FACES)
def test_conditional_requests(data_file, face):
    app = serving(data_file, headers=[(b"cache-control", b"no-cache")])
    _, head, _ = answer(app, face)
    etag, modified = head["etag"], head["last-modified"]
    before = "Sat, 01 Jan 2000 00:00:00 GMT"
    cases = [
        ([("if-none-match", etag)], 304),
        ([("if-none-match", f'"stale", W/{etag}')], 304),  # weak comparison
        ([("if-none-match", "*")], 304),
        ([("if-none-match", '"stale"')], 200),
        ([("if-modified-since", modified)], 304),
        ([("if-modified-since", before)], 200),
        ([("if-modified-since", "not a date")], 200),
        ([("if-none-match", '"stale"'), ("if-modified-since", modified)], 200),  # If-None-Match decides
        ([("if-match", '"stale"')], 412),
        ([("if-match", f"W/{etag}")], 412),  # strong comparison
        ([("if-match", etag), ("if-none-match", etag)], 304),
        ([("if-unmodified-since", before)], 412),
        ([("if-unmodified-since", modified)], 200),
    ]
    for headers, expected in cases:
        status, got, body = answer(app, face, headers)
        assert status == expected, headers
        if expected == 304:
            assert body == b"" and "content-length" not in got and "content-type" not in got
            assert (got["etag"], got["last-modified"], got["cache-control"]) == (etag, modified, "no-cache")
    # the obsolete date forms a client may still send
    seconds = data_file.stat().st_mtime_ns // 10**9
    for form in ("%A, %d-%b-%y %H:%M:%S GMT", "%a %b %e %H:%M:%S %Y"):
        text = datetime.fromtimestamp(seconds, UTC).strftime(form)
        assert answer(app, face, [("if-modified-since", text)])[0] == 304, text


@pytest.mark.parametrize("face", FACES)
def test_byte_ranges(data_file, face):
    app = serving(data_file)
    _, head, _ = answer(app, face)
    etag, modified = head["etag"], head["last-modified"]
    size = len(DATA)
    cases = [
        ("bytes=100-199", [], 206, (100, 199)),
        ("bytes=-500", [], 206, (size - 500, size - 1)),
        ("bytes=1023990-", [], 206, (1023990, size - 1)),
        ("bytes=1000000-2000000", [], 206, (1000000, size - 1)),
        ("bytes=-5000000", [], 206, (0, size - 1)),
        ("bytes=0-0,-1", [], 200, None),  # several ranges: the whole file
        ("bytes=200-100", [], 200, None),  # invalid: ignored
        ("items=0-10", [], 200, None),
        ("bytes=100-199", [("if-range", etag)], 206, (100, 199)),
        ("bytes=100-199", [("if-range", modified)], 206, (100, 199)),
        ("bytes=100-199", [("if-range", '"stale"')], 200, None),
        ("bytes=100-199", [("if-range", f"W/{etag}")], 200, None),
        ("bytes=100-199", [("if-range", "Sat, 01 Jan 2000 00:00:00 GMT")], 200, None),
    ]
    for value, extra, expected, span in cases:
        status, got, body = answer(app, face, [("range", value), *extra])
        assert status == expected, (value, extra)
        if span:
            first, last = span
            assert got["content-range"] == f"bytes {first}-{last}/{size}"
            assert got["content-length"] == str(last - first + 1)
            if body is not None:
                assert body == DATA[first : last + 1]
        else:
            assert got["content-length"] == str(size) and "content-range" not in got
    for value in ("bytes=1024000-", "bytes=5000000-6000000", "bytes=-0"):
        status, got, body = answer(app, face, [("range", value)])
        assert (status, got["content-range"], got["content-length"], body) == (416, f"bytes */{size}", "0", b"")
    # HEAD takes no range
    assert answer(app, face, [("range", "bytes=0-9")], method="HEAD")[0] == 200


@pytest.mark.parametrize("face", FACES)
def test_head_has_the_headers_without_the_body(data_file, face):
    app = serving(data_file)
    _, whole, _ = answer(app, face)
    status, head, body = answer(app, face, method="HEAD")
    assert (status, head, body) == (200, whole, b"")


@pytest.mark.parametrize("face", FACES)
def test_a_file_that_cannot_be_sent(tmp_path, caplog, face):
    caplog.set_level(logging.DEBUG, "morrowfen.server")
    secret = tmp_path / "secret-name.txt"
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)  # opening it must not wait for a writer
    for path in (secret, tmp_path, fifo, str(tmp_path) + "/x\0y"):
        status, head, body = answer(serving(path), face)
        assert (status, body) == (404, b"Not Found"), path
        assert b"secret" not in body and not any("secret" in v for v in head.values())
    assert "secret-name.txt" in caplog.text and "answered 404" in caplog.text
    assert all(r.levelno == logging.DEBUG for r in caplog.records if r.name == "morrowfen.server")
    if os.geteuid() != 0:  # root reads any file
        secret.write_bytes(b"x")
        secret.chmod(0)
        assert answer(serving(secret), face)[:3:2] == (403, b"Forbidden")


@pytest.mark.parametrize("face", FACES)
def test_a_response_of_another_status_sends_the_file_as_it_is(tmp_path, face):
    page = tmp_path / "404.html"
    page.write_bytes(b"<h1>gone</h1>")
    status, head, body = answer(serving(page, status=404), face, [("if-none-match", "*"), ("range", "bytes=0-1")])
    assert status == 404 and head["content-type"] == "text/html; charset=utf-8" and head["content-length"] == "13"
    assert "etag" not in head and "accept-ranges" not in head
    assert body in (b"<h1>gone</h1>", None)


class Subclass(FileContent):
    pass


def test_a_file_content_subclass_is_a_file(data_file):
    async def handler(request):
        return Response(200, None, Subclass(data_file))

    assert answer(Application(handler), "asgi", [("range", "bytes=0-9")])[::2] == (206, DATA[:10])


def test_a_file_that_shrinks_while_it_is_sent_ends_the_response(data_file, caplog):
    async def handler(request):
        return Response(200, None, FileContent(data_file))

    client = ASGIClient()
    send = client.send

    async def truncating_send(message):
        await send(message)
        if message["type"] == "http.response.start":
            data_file.write_bytes(DATA[:1000])

    run(Application(handler)(http_scope(), client.receive, truncating_send))
    assert client.status == 200 and not client.complete
    assert "changed while it was sent" in caplog.text and "after it had started" in caplog.text


def test_a_client_leaving_ends_a_file_in_parts(tmp_path, caplog):
    big = tmp_path / "big.bin"
    big.write_bytes(b"x" * (64 * 1024 * 1024))

    async def handler(request):
        return Response(200, None, FileContent(big))

    async def scenario():
        client = ASGIClient()
        send = client.send

        async def send_then_leave(message):
            # The watch asks the server 50 ms after the first wait; a send that
            # takes a while, as on a server whose client is gone, bounds what
            # is read until then on any machine.
            await send(message)
            if message.get("more_body"):
                client.leave()
                await asyncio.sleep(0.002)

        await Application(handler)(http_scope(), client.receive, send_then_leave)
        return client

    client = run(scenario())
    assert not client.complete and len(client.body) < 16 * 1024 * 1024
    assert not [r for r in caplog.records if r.levelno >= logging.ERROR]
