"""A real browser reads /events through an EventSource: headless Chromium
loads /events/page from the demo on granian (RSGI) and on uvicorn (ASGI), and
the events the page logged are compared with what the demo sends."""

import html.parser
import json
import os
import signal
import subprocess
import tempfile

import pytest

from morrowfen import demo
from servers import browser_events, chromium, print_log_if_failed, running_server

pytestmark = pytest.mark.timeout(120)

BROWSER_TIMEOUT = 60


@pytest.fixture(scope="module", params=["granian-rsgi", "uvicorn"])
def server(request):
    return running_server(request, request.param)


@pytest.fixture
def served(request, server):
    failures = request.session.testsfailed
    yield server
    print_log_if_failed(request, server, failures)


class PageLog(html.parser.HTMLParser):
    """Collects the text of every <li class="event"> and the body's data-done."""

    def __init__(self):
        super().__init__()
        self.items, self.done, self._in_item = [], None, False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "body":
            self.done = attrs.get("data-done")
        elif tag == "li" and "event" in (attrs.get("class") or "").split():
            self._in_item = True
            self.items.append("")

    def handle_endtag(self, tag):
        if tag == "li":
            self._in_item = False

    def handle_data(self, data):
        if self._in_item:
            self.items[-1] += data


def dump_dom(url):
    """The page's DOM once its scripts ran, from headless Chromium with a fresh profile."""
    with tempfile.TemporaryDirectory(prefix="morrowfen-chromium-") as profile:
        command = [chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                   "--disable-component-update", "--no-first-run", f"--user-data-dir={profile}",
                   "--virtual-time-budget=5000", "--dump-dom", url]
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   start_new_session=True)
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
    assert process.returncode == 0 and out, f"chromium exited with {process.returncode}:\n{err.decode(errors='replace')}"
    return out.decode("utf-8")


def test_event_source_receives_the_events(served):
    page = PageLog()
    page.feed(dump_dom(served.url + "/events/page"))
    page.close()
    assert page.items, "the page logged no events"
    shown = [json.loads(item) for item in page.items]
    assert shown == browser_events(demo.events())
    # what the demo sends covers the rules that browser_events() follows
    sent = demo.events()
    assert any("\n" in e["data"] for e in shown) and any(e["type"] == "message" for e in shown)
    assert any(type(e).__name__ == "ServerSentEvent" for e in sent)
    assert any(e.id is None for e in sent[1:])
    # the last event is the one on which the page closed its EventSource
    assert shown[-1]["type"] == "end" and page.done == "yes"
