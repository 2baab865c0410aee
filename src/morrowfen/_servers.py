"""Running an application on a real server, in a process of its own: the
command lines of the servers morrowfen is served with, a free port, and a
`Server` that starts one, waits until it answers and stops it. Used by the
demo, the end-to-end tests and the benchmarks.

Every server runs with this interpreter, in its own process group (so that
`stop()` ends whatever it spawned), on 127.0.0.1, with its output in a
temporary file."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
from collections.abc import Iterable, Mapping

HOST = "127.0.0.1"
# name -> the interface the application is served through
SERVERS = {"uvicorn": "asgi", "hypercorn": "asgi", "granian-asgi": "asgi", "granian-rsgi": "rsgi"}
STOP_TIMEOUT = 5.0


def free_port() -> int:
    with socket.socket() as s:
        s.bind((HOST, 0))
        port: int = s.getsockname()[1]
        return port


def granian_command() -> list[str]:
    script = os.path.join(os.path.dirname(sys.executable), "granian")
    return [script] if os.path.exists(script) else [sys.executable, "-m", "granian"]


def command(name: str, port: int, app: str, *, for_load: bool = False) -> list[str]:
    """The command line that serves `app` ("module:attribute", where
    "{interface}" stands for the server's, asgi or rsgi) with one worker of
    server `name` (one of SERVERS). for_load: uvicorn on uvloop and
    httptools, every server logs warnings only (no line per request), and
    granian serves no WebSockets."""
    if name not in SERVERS:
        raise ValueError(f"unknown server {name!r}; choose one of {', '.join(SERVERS)}")
    app = app.format(interface=SERVERS[name])
    quiet = ["--log-level", "warning"] if for_load else []
    if name == "uvicorn":
        tuned = ["--loop", "uvloop", "--http", "httptools", "--no-access-log"] if for_load else []
        return [
            *[sys.executable, "-m", "uvicorn", "--host", HOST, "--port", str(port), "--workers", "1"],
            *tuned,
            *quiet,
            *["--timeout-graceful-shutdown", "1", app],
        ]
    if name == "hypercorn":
        logs = ["--log-level", "WARNING"] if for_load else ["--access-logfile", "-"]
        return [
            *[sys.executable, "-m", "hypercorn", "--bind", f"{HOST}:{port}", "--workers", "1"],
            *["--graceful-timeout", "1", *logs, app],
        ]
    return [
        *granian_command(),
        *["--interface", SERVERS[name], "--host", HOST, "--port", str(port), "--workers", "1"],
        *(["--no-ws"] if for_load else []),
        *quiet,
        *["--workers-kill-timeout", "1", app],
    ]


class Server:
    """A server process: start it with `start()`, always `stop()` it."""

    def __init__(self, name: str, command: list[str], port: int | None, env: Mapping[str, str] | None = None):
        self.name, self.command, self.port = name, command, port
        self.extra_env = dict(env or {})
        self.url = None if port is None else f"http://{HOST}:{port}"
        self.log_file = tempfile.NamedTemporaryFile(
            prefix=f"morrowfen-{name.replace('/', '-')}-", suffix=".log", delete=False
        )
        self.process: subprocess.Popen[bytes] | None = None
        self.log_text = ""

    def start(self) -> Server:
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

    def alive(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def rss_kib(self) -> int:
        """The resident memory of the server's processes (its session: the
        server and its workers), in KiB."""
        assert self.process is not None
        total = 0
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                if os.getpgid(int(entry)) != self.process.pid:
                    continue
                with open(f"/proc/{entry}/status") as f:
                    total += next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
            except (OSError, StopIteration):
                continue
        return total

    def log(self) -> str:
        """The server's output so far (the last read, once cleaned up)."""
        try:
            with open(self.log_file.name, "rb") as f:
                self.log_text = f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            pass
        return self.log_text

    def wait_ready(self, timeout: float = 20.0, paths: Iterable[str] = ("/",)) -> Server:
        """Polls until every one of `paths` answers (any status), the process
        dies (RuntimeError) or the time is up (RuntimeError)."""
        deadline = time.monotonic() + timeout
        last: Exception | None = None
        while time.monotonic() < deadline:
            if not self.alive():
                code = None if self.process is None else self.process.returncode
                raise RuntimeError(f"{self.name} exited with {code}:\n{self.log()}")
            try:
                for path in paths:
                    try:
                        with urllib.request.urlopen(f"{self.url}{path}", timeout=2) as r:
                            r.read()
                    except urllib.error.HTTPError:  # an answer all the same
                        pass
                return self
            except OSError as e:
                last = e
                time.sleep(0.1)
        raise RuntimeError(f"{self.name} not ready on {self.url} after {timeout} s ({last!r}):\n{self.log()}")

    def stop(self) -> None:
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

    def terminate(self) -> None:
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

    def cleanup(self) -> None:
        """Reads the output a last time and removes its file."""
        self.log()
        try:
            os.unlink(self.log_file.name)
        except FileNotFoundError:
            pass


def start_server(
    name: str,
    app: str,
    *,
    env: Mapping[str, str] | None = None,
    ready_paths: Iterable[str] = ("/",),
    for_load: bool = False,
    attempts: int = 3,
) -> Server:
    """Starts `app` on server `name` on a free port and waits until it answers.

    The port is free when chosen but could be taken before the server binds
    it, so a server that exits at start-up is tried again on another port."""
    for attempt in range(attempts):
        port = free_port()
        server = Server(name, command(name, port, app, for_load=for_load), port, env).start()
        try:
            return server.wait_ready(paths=ready_paths)
        except RuntimeError:
            exited_early = not server.alive()
            server.stop()
            server.cleanup()  # the error carries the output
            if attempt == attempts - 1 or not exited_early or "address" not in server.log_text.lower():
                raise
    raise AssertionError("unreachable")
