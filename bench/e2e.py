"""End-to-end load: wrk (-t1 -c32) against one server worker on 127.0.0.1.

Servers: granian (RSGI), granian (ASGI), uvicorn (uvloop + httptools). Apps
(bench/e2e_apps.py): bare callables, morrowfen.penmoth, the plain-Python
port, Starlette (uvicorn), morrowfen.server.Application (when it exists).
Every app first gets a 1 s warm-up run; then, per server and route, the
apps are loaded in turn, three rounds; each figure is the median of its three runs
(--quick: one round of 1 s runs, no warm-up). Server CPU per request is the utime + stime
of the server's process tree (from /proc) over the run, divided by the
requests wrk completed.

    .venv/bin/python bench/e2e.py [--quick] [--duration S] [-o e2e.json]
"""

import argparse
import json
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

HERE = Path(__file__).resolve().parent
HOST = "127.0.0.1"
ROUTES = {"/": "text, 5 bytes", "/json": "JSON", "/stream": "stream, 10 parts"}
ROUNDS = 3
CLK_TCK = os.sysconf("SC_CLK_TCK")


def has_server_module():
    try:
        import morrowfen.server  # noqa: F401
    except Exception:
        return False
    return True


def setups():
    """(server, interface, [apps]) in the order they run."""
    server = ["server"] if has_server_module() else []
    return [
        ("granian-rsgi", "rsgi", ["raw", "raw_read", "penmoth", "port", *server]),
        ("granian-asgi", "asgi", ["raw", "penmoth", "port", *server]),
        ("uvicorn", "asgi", ["raw", "penmoth", "port", "starlette", *server]),
    ]


def command(server, app, interface, port):
    target = f"e2e_apps:{app}_{interface}"
    if server.startswith("granian"):
        script = Path(sys.executable).with_name("granian")
        cmd = [str(script)] if script.exists() else [sys.executable, "-m", "granian"]
        return [
            *cmd,
            "--interface",
            interface,
            "--host",
            HOST,
            "--port",
            str(port),
            "--workers",
            "1",
            "--no-ws",
            "--log-level",
            "warning",
            "--workers-kill-timeout",
            "1",
            target,
        ]
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
        "--loop",
        "uvloop",
        "--http",
        "httptools",
        "--no-access-log",
        "--log-level",
        "warning",
        "--timeout-graceful-shutdown",
        "1",
        target,
    ]


def process_tree(pid):
    """`pid` and every process under it (those that exist while it is read)."""
    pids, todo = [], [pid]
    while todo:
        p = todo.pop()
        pids.append(p)
        try:
            for task in os.listdir(f"/proc/{p}/task"):
                with open(f"/proc/{p}/task/{task}/children") as f:
                    todo.extend(int(c) for c in f.read().split())
        except OSError:
            continue
    return pids


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


class Server:
    def __init__(self, server, app, interface):
        self.name = f"{server}/{app}"
        self.port = free_port()
        self.log = tempfile.TemporaryFile()
        env = {
            **os.environ,
            "PYTHONPATH": os.pathsep.join(p for p in (str(HERE), os.environ.get("PYTHONPATH")) if p),
            "PYTHONDONTWRITEBYTECODE": "1",
        }
        self.process = subprocess.Popen(
            command(server, app, interface, self.port),
            stdin=subprocess.DEVNULL,
            stdout=self.log,
            stderr=subprocess.STDOUT,
            env=env,
            start_new_session=True,
        )

    def output(self):
        self.log.seek(0)
        return self.log.read().decode("utf-8", "replace")[-2000:]

    def wait_ready(self, timeout=20.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"{self.name} exited with {self.process.returncode}:\n{self.output()}")
            try:
                for path in ROUTES:
                    with urllib.request.urlopen(f"http://{HOST}:{self.port}{path}", timeout=2) as r:
                        r.read()
                return self
            except OSError:
                time.sleep(0.1)
        raise RuntimeError(f"{self.name} not ready after {timeout} s:\n{self.output()}")

    def cpu_seconds(self):
        """utime + stime of the server process and every process under it."""
        total = 0
        for pid in process_tree(self.process.pid):
            try:
                with open(f"/proc/{pid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            total += int(fields[11]) + int(fields[12])  # utime, stime (fields 14 and 15)
        return total / CLK_TCK

    def stop(self):
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(self.process.pid, sig)
                self.process.wait(5)
                break
            except ProcessLookupError:
                break
            except subprocess.TimeoutExpired:
                continue
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.log.close()


def wrk(port, path, duration):
    out = subprocess.run(
        ["wrk", "-t1", "-c32", f"-d{duration}s", "--timeout", "5s", f"http://{HOST}:{port}{path}"],
        capture_output=True,
        text=True,
        timeout=duration + 30,
        check=True,
    ).stdout
    return parse_wrk(out)


def parse_wrk(out):
    """(requests completed, requests/s, failed: non-2xx/3xx answers plus socket errors) from wrk's report."""
    requests = int(re.search(r"(\d+) requests in", out).group(1))
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    bad = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    failed = (int(bad.group(1)) if bad else 0) + (sum(map(int, errors.groups())) if errors else 0)
    return requests, rps, failed


def measure(server, path, duration):
    before = server.cpu_seconds()
    requests, rps, failed = wrk(server.port, path, duration)
    cpu = server.cpu_seconds() - before
    return {"requests": requests, "rps": rps, "failed": failed, "cpu_us_per_request": 1e6 * cpu / max(requests, 1)}


def run(duration, warmup, rounds, only=None, log=print, skipped=None):
    results = []
    skipped = [] if skipped is None else skipped
    for server_name, interface, apps in setups():
        if only and server_name not in only:
            continue
        servers = []
        try:
            for app in apps:
                servers.append(Server(server_name, app, interface))
            for s, app in list(zip(servers, apps)):
                try:
                    s.wait_ready()
                except RuntimeError as e:
                    if app != "server":
                        raise
                    # morrowfen.server is someone else's work in progress: its
                    # rows are left out, with the reason in the results.
                    log(f"{s.name}: skipped, it does not serve ({str(e).splitlines()[0]})")
                    skipped.append({"server": server_name, "app": app, "reason": s.output()[-600:]})
                    s.stop()
                    servers.remove(s)
                    apps = [a for a in apps if a != app]
            for s in servers:  # one warm-up run per app
                if warmup:
                    wrk(s.port, "/json", warmup)
            for path in ROUTES:
                runs = {s.name: [] for s in servers}
                for _ in range(rounds):  # alternating: every app once per round
                    for s in servers:
                        runs[s.name].append(measure(s, path, duration))
                for s, app in zip(servers, apps):
                    r = runs[s.name]
                    row = {
                        "server": server_name,
                        "app": app,
                        "route": path,
                        "rps": statistics.median(x["rps"] for x in r),
                        "cpu_us_per_request": statistics.median(x["cpu_us_per_request"] for x in r),
                        "requests": sum(x["requests"] for x in r),
                        "failed": sum(x["failed"] for x in r),
                    }
                    results.append(row)
                    log(
                        f"{server_name:13} {app:10} {path:8} {row['rps']:10.0f} req/s "
                        f"{row['cpu_us_per_request']:8.1f} us CPU/req  failed {row['failed']}"
                    )
        finally:
            for s in servers:
                s.stop()
    return results


STARTUP_S = 8  # starting and checking one server set-up, generously


def fit_duration(duration, rounds, budget, only=None):
    """The run length that keeps the whole load within `budget` seconds."""
    chosen = [(s, apps) for s, _, apps in setups() if not only or s in only]
    runs = sum(len(apps) for _, apps in chosen) * len(ROUTES) * rounds
    fixed = len(chosen) * STARTUP_S + sum(len(apps) for _, apps in chosen)  # start-up, warm-ups
    fitted = int((budget - fixed) // max(runs, 1))
    if fitted >= duration:
        return duration
    fitted = max(fitted, min(2, duration))
    print(f"e2e: {duration} s runs would not fit in {budget:.0f} s; {fitted} s runs", flush=True)
    return fitted


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one round of 1 s runs, no warm-up runs")
    parser.add_argument("--duration", type=float, default=None, help="seconds per run (default 5, quick 1)")
    parser.add_argument(
        "--budget",
        type=float,
        default=None,
        help="seconds the whole load may take: runs are shortened (to 2 s at least) to fit",
    )
    parser.add_argument("--only", type=lambda t: t.split(","), help="these servers only (comma-separated)")
    parser.add_argument("-o", "--output", help="write the results as JSON")
    args = parser.parse_args()
    if shutil.which("wrk") is None:
        sys.exit("wrk is not installed (apt-get install -y wrk; ./dev bench installs it)")
    duration = args.duration or (1 if args.quick else 5)
    duration = max(1, int(round(duration)))
    rounds = 1 if args.quick else ROUNDS
    if args.budget:
        duration = fit_duration(duration, rounds, args.budget, args.only)
    skipped = []
    results = run(duration, 0 if args.quick else 1, rounds, args.only, skipped=skipped)
    data = {
        "duration_s": duration,
        "rounds": rounds,
        "warmup_s": 0 if args.quick else 1,
        "server_module": has_server_module(),
        "skipped": skipped,
        "results": results,
    }
    if args.output:
        Path(args.output).write_text(json.dumps(data, indent=1))


if __name__ == "__main__":
    main()
