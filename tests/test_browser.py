"""A real browser reads /events through an EventSource, and talks to the /ws
echo through a WebSocket: headless Chromium loads /events/page and /ws/page
from the demo on granian (RSGI) and on uvicorn (ASGI); what the pages show is
compared with what the demo sends, and a screenshot of each page once it is
done is kept in build/test-artefacts/."""

import html.parser
import os
import pathlib
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import zlib

import pytest

from morrowfen import demo
from servers import browser_events, chromium, running_server

pytestmark = pytest.mark.timeout(120)

BROWSER_TIMEOUT = 60
WINDOW = (1000, 700)
ARTEFACTS = pathlib.Path(__file__).resolve().parents[1] / "build" / "test-artefacts"
# the state badge's backgrounds in the page's stylesheet, as a screenshot shows them
ENDED_BADGE, CONNECTING_BADGE, OPEN_BADGE = (0xDA, 0xFB, 0xE1), (0xFF, 0xF8, 0xC5), (0xDD, 0xF4, 0xFF)


@pytest.fixture(scope="module", params=["granian-rsgi", "uvicorn"])
def server_process(request):
    return running_server(request, request.param)


class PageLog(html.parser.HTMLParser):
    """The page's state and its rows: for every <tr class="event">, its data-*
    attributes and the text of each of its cells by the cell's first class."""

    def __init__(self):
        super().__init__()
        self.rows, self.body, self.state, self.state_text = [], {}, None, ""
        self._cell = self._in_state = None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        classes = (attrs.get("class") or "").split()
        if tag == "body":
            self.body = attrs
        elif attrs.get("id") == "state":
            self.state, self._in_state = attrs.get("data-state"), True
        elif tag == "tr" and "event" in classes:
            self.rows.append({"attrs": attrs, "cells": {}})
        elif tag == "td" and self.rows and classes:
            self._cell = classes[0]
            self.rows[-1]["cells"][self._cell] = ""

    def handle_endtag(self, tag):
        if tag == "td":
            self._cell = None
        elif tag == "span" and self._in_state:
            self._in_state = False
        elif tag == "tr":
            self._cell = None

    def handle_data(self, data):
        if self._cell is not None:
            self.rows[-1]["cells"][self._cell] += data
        elif self._in_state:
            self.state_text += data


# Headless, quiet, and nothing fetched but the page.
HEADLESS = (
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-background-networking",
    "--disable-component-update",
    "--no-first-run",
)


def run_chromium(url, *options):
    """Headless Chromium on `url` with a fresh profile: its standard output."""
    with tempfile.TemporaryDirectory(prefix="morrowfen-chromium-") as profile:
        command = [
            chromium(),
            *HEADLESS,
            f"--user-data-dir={profile}",
            "--virtual-time-budget=5000",
            *options,
            url,
        ]
        process = subprocess.Popen(
            command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True
        )
        try:
            out, err = process.communicate(timeout=BROWSER_TIMEOUT)
        except subprocess.TimeoutExpired:
            out, err = b"", b"(timed out)"
        finally:
            try:  # the browser's helper processes too
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            process.wait(10)
    assert process.returncode == 0, f"chromium exited with {process.returncode}:\n{err.decode(errors='replace')}"
    return out


def dump_dom(url):
    """The page's DOM once its scripts ran."""
    out = run_chromium(url, "--dump-dom")
    assert out, "chromium printed no DOM"
    return out.decode("utf-8")


def read_png(data):
    """(width, height, rows) of an 8-bit RGB or RGBA PNG, each row its pixels'
    RGB bytes (alpha dropped); anything else fails the test."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, header, idat = 8, None, []
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos : pos + 8])
        chunk, crc = data[pos + 8 : pos + 8 + length], data[pos + 8 + length : pos + 12 + length]
        assert len(crc) == 4 and zlib.crc32(kind + chunk) == struct.unpack(">I", crc)[0], f"damaged {kind!r} chunk"
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", chunk)
        elif kind == b"IDAT":
            idat.append(chunk)
        elif kind == b"IEND":
            break
    assert header is not None and idat, "no IHDR or IDAT"
    width, height, depth, colour, _, _, interlace = header
    assert depth == 8 and colour in (2, 6) and interlace == 0, f"unexpected PNG format {header}"
    bpp = 3 if colour == 2 else 4
    raw, stride = zlib.decompress(b"".join(idat)), width * bpp
    assert len(raw) == height * (stride + 1), "image data of the wrong length"
    rows, previous = [], bytes(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1 : (y + 1) * (stride + 1)])
        if kind == 1:
            for i in range(bpp, stride):
                line[i] = (line[i] + line[i - bpp]) & 0xFF
        elif kind == 2:
            line = bytearray((a + b) & 0xFF for a, b in zip(line, previous))
        elif kind == 3:
            for i in range(stride):
                line[i] = (line[i] + ((line[i - bpp] if i >= bpp else 0) + previous[i]) // 2) & 0xFF
        elif kind == 4:
            for i in range(stride):
                a, b, c = (line[i - bpp] if i >= bpp else 0), previous[i], (previous[i - bpp] if i >= bpp else 0)
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        else:
            assert kind == 0, f"unknown filter {kind}"
        rows.append(bytes(line) if bpp == 3 else bytes(b for j, b in enumerate(line) if j % 4 < 3))
        previous = line
    return width, height, rows


def colour_counts(rows):
    """How many pixels of each RGB colour the rows hold."""
    counts = {}
    for row in rows:
        for i in range(0, len(row), 3):
            colour = row[i : i + 3]
            counts[colour] = counts.get(colour, 0) + 1
    return counts


def test_page_shows_each_event_in_a_row(server):
    page = PageLog()
    page.feed(dump_dom(server.url + "/events/page"))
    page.close()
    assert page.rows, "the page shows no events"
    shown = [
        {"type": r["attrs"]["data-type"], "data": r["attrs"]["data-data"], "id": r["attrs"]["data-id"]}
        for r in page.rows
    ]
    assert shown == browser_events(demo.events())
    # what the demo sends covers the rules that browser_events() follows
    sent = demo.events()
    assert any("\n" in e["data"] for e in shown) and any(e["type"] == "message" for e in shown)
    assert any(type(e).__name__ == "ServerSentEvent" for e in sent)
    assert any(e.id is None for e in sent[1:])
    # the cells a person reads say what the attributes say, and when each event came
    for number, (row, event) in enumerate(zip(page.rows, shown), 1):
        cells = dict(row["cells"])
        assert re.fullmatch(r"\d\d:\d\d:\d\d\.\d{3}", cells.pop("time", "")), row
        assert cells == {"seq": str(number), "name": event["type"], "id": event["id"], "data": event["data"]}, row
        assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", row["attrs"]["data-received"]), row
    assert [r["attrs"]["data-received"] for r in page.rows] == sorted(r["attrs"]["data-received"] for r in page.rows)
    # the last event is the one on which the page closed its EventSource, and it says the stream ended
    assert shown[-1]["type"] == "end" and page.body.get("data-done") == "end"
    assert page.state == page.body.get("data-state") == "ended"
    assert page.state_text == f"stream ended \u00b7 {len(shown)} events"
    # a page that stands alone: nothing fetched but the stream
    assert not re.search(r"\b(src|href)\s*=|url\(|@import", demo.EVENTS_PAGE)


def test_screenshot_of_the_ended_stream(server, tmp_path):
    shot = tmp_path / "events-page.png"
    run_chromium(
        server.url + "/events/page",
        "--hide-scrollbars",
        f"--window-size={WINDOW[0]},{WINDOW[1]}",
        f"--screenshot={shot}",
    )
    assert shot.is_file(), "chromium wrote no screenshot"
    ARTEFACTS.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(shot, ARTEFACTS / f"events-page-{server.name}.png")
    if server.name == "granian-rsgi":  # the demo's own server
        shutil.copyfile(shot, ARTEFACTS / "events-page.png")
    width, height, rows = read_png(shot.read_bytes())
    assert (width, height) == WINDOW
    counts = colour_counts(rows)
    assert len(counts) > 16, f"a nearly blank screenshot: {len(counts)} colours"
    assert max(counts.values()) < 0.97 * width * height, "a nearly blank screenshot"
    # the badge in the picture is the ended one, not a stream still connecting or open
    assert counts.get(bytes(ENDED_BADGE), 0) > 200, "no 'stream ended' badge in the screenshot"
    assert not counts.get(bytes(CONNECTING_BADGE)) and not counts.get(bytes(OPEN_BADGE))


def page_when(url, condition, screenshot=None, timeout=30):
    """Loads `url` in headless Chromium driven through its DevTools protocol, in real
    time (a page whose work is a WebSocket exchange does not hold virtual time back,
    as a pending fetch does), until the JavaScript `condition` is true; returns the
    page's HTML, and writes a PNG screenshot of the window to `screenshot`."""
    import asyncio
    import base64
    import json

    import httpx
    from websockets.asyncio.client import connect

    async def drive(endpoint):
        async with connect(endpoint, max_size=None) as cdp:
            ids = iter(range(1, 1_000_000))

            async def call(method, **params):
                number = next(ids)
                await cdp.send(json.dumps({"id": number, "method": method, "params": params}))
                while True:
                    reply = json.loads(await cdp.recv())
                    if reply.get("id") == number:
                        assert "error" not in reply, reply
                        return reply["result"]

            async def evaluate(expression):
                return (await call("Runtime.evaluate", expression=expression, returnByValue=True))["result"]["value"]

            await call(
                "Emulation.setDeviceMetricsOverride",
                width=WINDOW[0],
                height=WINDOW[1],
                deviceScaleFactor=1,
                mobile=False,
            )
            await call("Page.navigate", url=url)
            deadline = asyncio.get_running_loop().time() + timeout
            while not await evaluate(f"document.readyState === 'complete' && Boolean({condition})"):
                assert asyncio.get_running_loop().time() < deadline, f"{condition} still false after {timeout} s"
                await asyncio.sleep(0.05)
            if screenshot is not None:
                data = (await call("Page.captureScreenshot", format="png"))["data"]
                pathlib.Path(screenshot).write_bytes(base64.b64decode(data))
            return await evaluate("document.documentElement.outerHTML")

    with tempfile.TemporaryDirectory(prefix="morrowfen-chromium-") as profile:
        command = [
            chromium(),
            *HEADLESS,
            "--hide-scrollbars",
            f"--user-data-dir={profile}",
            f"--window-size={WINDOW[0]},{WINDOW[1]}",
            "--remote-debugging-port=0",
            "about:blank",
        ]
        process = subprocess.Popen(
            command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True
        )
        try:
            for line in process.stderr:
                if match := re.search(rb"DevTools listening on (ws://\S+)", line):
                    break
            else:
                raise AssertionError("chromium exited before its DevTools endpoint was up")
            port = re.search(rb":(\d+)/", match.group(1)).group(1).decode()
            pages = httpx.get(f"http://127.0.0.1:{port}/json/list", timeout=10).json()
            endpoint = next(p["webSocketDebuggerUrl"] for p in pages if p["type"] == "page")
            return asyncio.run(drive(endpoint))
        finally:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait(10)


class MessageRows(html.parser.HTMLParser):
    """The body's attributes and the data-* attributes of every <tr class="message">."""

    def __init__(self):
        super().__init__()
        self.body, self.rows = {}, []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "body":
            self.body = attrs
        elif tag == "tr" and attrs.get("class") == "message":
            self.rows.append((attrs["data-kind"], attrs["data-data"]))


WS_PAGE_DONE = "document.body.dataset.closeCode"


def test_websocket_page_shows_every_message_echoed(server, tmp_path):
    shot = tmp_path / "websocket-page.png"
    page = MessageRows()
    page.feed(page_when(server.url + "/ws/page", WS_PAGE_DONE, screenshot=shot))
    expected = [("text", m) for m in demo.WS_MESSAGES] + [("binary", demo.WS_BINARY.hex(" "))]
    assert page.rows == expected
    assert (page.body.get("data-state"), page.body.get("data-close-code")) == ("closed", "1000")
    ARTEFACTS.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(shot, ARTEFACTS / f"websocket-page-{server.name}.png")
    if server.name == "granian-rsgi":
        shutil.copyfile(shot, ARTEFACTS / "websocket-page.png")
    width, height, rows = read_png(shot.read_bytes())
    counts = colour_counts(rows)
    assert (width, height) == WINDOW and len(counts) > 16
    # the badge is the closed one (the page's green), not one still connecting or open
    assert counts.get(bytes(ENDED_BADGE), 0) > 200, "no 'closed' badge in the screenshot"
    assert not counts.get(bytes(CONNECTING_BADGE)) and not counts.get(bytes(OPEN_BADGE))
