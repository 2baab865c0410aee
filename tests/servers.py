"""Real servers for the end-to-end and browser tests (started through
morrowfen._servers, which the demo and the benchmarks use too), with a
failing test's server output shown, and what a browser makes of an event
stream."""

import json
import re
import shutil

import pytest

from morrowfen._servers import HOST, SERVERS, Server, start_server

__all__ = ["HOST", "SERVERS", "Server", "browser_events", "chromium", "read_event_stream", "running_server"]


def running_server(request, name, app="morrowfen.demo:app", **options):
    """For a module-scoped fixture: `app` (the demo unless told otherwise)
    started on server `name`, stopped when the scope ends (options as
    morrowfen._servers.start_server takes them)."""
    server = start_server(name, app, **options)

    def finish():
        server.stop()
        server.cleanup()

    request.addfinalizer(finish)
    return server


def print_log_if_failed(request, server, failures_before):
    """Shows a server's output when the test that used it failed (call after the test,
    in a function-scoped fixture's teardown). The test's own output is captured by
    then, so this writes past the capture."""
    if request.session.testsfailed <= failures_before:
        return
    text = f"\n----- {server.name} output ({server.url}), for {request.node.nodeid} -----\n{server.log()}"
    capture = request.config.pluginmanager.getplugin("capturemanager")
    if capture is None:
        print(text)
        return
    with capture.global_and_fixture_disabled():
        print(text, flush=True)


def chromium():
    path = shutil.which("chromium")
    if path is None:
        pytest.skip("chromium is not installed (./dev test installs it from Debian)")
    return path


def browser_events(events):
    """What a page that logs every event of an EventSource shows for `events`
    (ServerSentEvent objects): worked out from their fields, by the rules a
    browser follows, not by writing them out. Data of several lines arrives
    joined with LF, other data as compact JSON; an event without a name has the
    type "message"; an event without an id keeps the last id seen; an event
    without data fires nothing."""
    from morrowfen.contents import TextServerSentEvent

    shown, last_id = [], ""
    for event in events:
        if event.id is not None:
            last_id = event.id
        if not event.data:  # no data lines: the browser fires nothing
            continue
        if isinstance(event, TextServerSentEvent):
            data = event.data.replace("\r\n", "\n").replace("\r", "\n")
        else:
            data = json.dumps(event.data, separators=(",", ":"))
        shown.append({"type": event.event or "message", "data": data, "id": last_id})
    return shown


def read_event_stream(text):
    """Dispatches an event stream the way an EventSource does, returning
    {"type", "data", "id"} for each event it would fire."""
    fired, data, event_type, last_id = [], [], "", ""
    for line in re.split(r"\r\n|\r|\n", text):
        if line == "":
            if data:
                fired.append({"type": event_type or "message", "data": "\n".join(data), "id": last_id})
            data, event_type = [], ""
            continue
        field, _, value = line.partition(":")
        if value.startswith(" "):
            value = value[1:]
        if field == "data":
            data.append(value)
        elif field == "event":
            event_type = value
        elif field == "id" and "\0" not in value:
            last_id = value
    return fired
