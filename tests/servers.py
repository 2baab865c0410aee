"""Runs the demo application on real servers for the end-to-end and browser tests.

Every server runs with this interpreter, in its own process group, on a free
port of 127.0.0.1, with its output in a temporary file that a failing test
prints. `stop()` ends the whole group, whatever the server spawned.
"""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import httpx
import pytest

HOST = "127.0.0.1"
READY_TIMEOUT = 20.0
STOP_TIMEOUT = 5.0


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def granian_command():
    script = os.path.join(os.path.dirname(sys.executable), "granian")
    return [script] if os.path.exists(script) else [sys.executable, "-m", "granian"]


def server_command(name, port, asgi_app="morrowfen.demo:asgi_app", rsgi_app="morrowfen.demo:rsgi_app"):
    """The command line that serves an application (the demo unless told otherwise)
    with one of the four set-ups, in one process. WebSockets are served on all four:
    granian enables them by default, uvicorn picks the `websockets` package (or
    wsproto) and hypercorn has its own."""
    if name == "uvicorn":
        return [
            sys.executable,
            "-m",
            "uvicorn",
            "--host",
            HOST,
            "--port",
            str(port),
            "--workers",
            "1",
            "--timeout-graceful-shutdown",
            "1",
            asgi_app,
        ]
    if name == "hypercorn":
        return [
            sys.executable,
            "-m",
            "hypercorn",
            "--bind",
            f"{HOST}:{port}",
            "--workers",
            "1",
            "--graceful-timeout",
            "1",
            "--access-logfile",
            "-",
            asgi_app,
        ]
    if name in ("granian-asgi", "granian-rsgi"):
        interface = name.split("-")[1]
        app = asgi_app if interface == "asgi" else rsgi_app
        return [
            *granian_command(),
            "--interface",
            interface,
            "--host",
            HOST,
            "--port",
            str(port),
            "--workers",
            "1",
            "--workers-kill-timeout",
            "1",
            app,
        ]
    raise ValueError(f"unknown server {name!r}")


# (name, interface) of every set-up the tests run against
SERVERS = {
    "uvicorn": "asgi",
    "hypercorn": "asgi",
    "granian-asgi": "asgi",
    "granian-rsgi": "rsgi",
}


class Server:
    """A server process: start it with `start()`, always `stop()` it."""

    def __init__(self, name, command, port, env=None):
        self.name, self.command, self.port = name, command, port
        self.extra_env = env or {}
        self.url = None if port is None else f"http://{HOST}:{port}"
        self.log_file = tempfile.NamedTemporaryFile(prefix=f"morrowfen-{name}-", suffix=".log", delete=False)
        self.process = None
        self.log_text = ""

    def start(self):
        env = {**os.environ, "PYTHONUNBUFFERED": "1", "PYTHONDONTWRITEBYTECODE": "1", **self.extra_env}
        self.process = subprocess.Popen(
            self.command,
            stdin=subprocess.DEVNULL,
            stdout=self.log_file,
            stderr=subprocess.STDOUT,
            env=env,
            start_new_session=True,
        )
        return self

    def alive(self):
        return self.process is not None and self.process.poll() is None

    def log(self):
        try:
            with open(self.log_file.name, "rb") as f:
                self.log_text = f.read().decode("utf-8", "replace")
        except FileNotFoundError:  # cleaned up: the output read last
            pass
        return self.log_text

    def wait_ready(self, timeout=READY_TIMEOUT, path="/"):
        """Polls until the server answers, the process dies or the time is up."""
        deadline = time.monotonic() + timeout
        last = None
        while time.monotonic() < deadline:
            if not self.alive():
                raise RuntimeError(f"{self.name} exited with {self.process.returncode}:\n{self.log()}")
            try:
                httpx.get(self.url + path, timeout=1.0)
                return self
            except httpx.TransportError as e:
                last = e
                time.sleep(0.1)
        raise RuntimeError(f"{self.name} not ready on {self.url} after {timeout} s ({last!r}):\n{self.log()}")

    def stop(self):
        """Ends the process group: SIGTERM, then SIGKILL when it does not end in time."""
        if self.process is not None and self.process.returncode is None:
            for sig in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(self.process.pid, sig)
                except ProcessLookupError:
                    break
                try:
                    self.process.wait(STOP_TIMEOUT)
                    break
                except subprocess.TimeoutExpired:
                    continue
            try:  # workers that outlived their parent
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.log_file.close()

    def terminate(self):
        """Stops the server the way a process manager does: SIGTERM to its main
        process only (which stops its workers itself), then `stop()`. A signal
        to the whole group would reach hypercorn's worker directly, which then
        dies without running the application's shutdown."""
        if self.process is not None and self.process.returncode is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                pass
        self.stop()

    def cleanup(self):
        self.log()
        try:
            os.unlink(self.log_file.name)
        except FileNotFoundError:
            pass


def start_server(name, attempts=3, apps=None, env=None, ready_path="/"):
    """Starts one of SERVERS on a free port and waits until it answers.
    `apps`: server_command's application targets; `env`: added to the environment.

    The port is free when chosen but could be taken before the server binds
    it, so a server that exits at start-up is tried again on another port."""
    for attempt in range(attempts):
        port = free_port()
        server = Server(name, server_command(name, port, **(apps or {})), port, env).start()
        try:
            return server.wait_ready(path=ready_path)
        except RuntimeError:
            exited_early = not server.alive()
            server.stop()
            server.cleanup()  # the error carries the output
            if attempt == attempts - 1 or not exited_early or "address" not in server.log_text.lower():
                raise
    raise AssertionError("unreachable")


def running_server(request, name, **options):
    """For a module- or session-scoped fixture: a started server, stopped when the scope ends
    (options as start_server takes them)."""
    server = start_server(name, **options)

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
