"""End-to-end load: wrk (-t1 -c32) against one server worker on 127.0.0.1,
and the routes every benchmarked app answers (ROUTES), how a client asks
for them and what it must get back (bench/e2e_instructions.py and
e2e_memory.py use them too).

Servers: granian (RSGI), granian (ASGI), uvicorn (uvloop + httptools). Apps:
bench/e2e_apps.py. Each app's answers are checked byte for byte first;
every app then gets a 1 s warm-up run; then, per server and route, the
apps are loaded in turn, three rounds; each figure is the median of its
three runs (--quick: one round of 1 s runs, no warm-up). Server CPU per
request is the utime + stime of the server's process tree (from /proc)
over the run, divided by the requests wrk completed.

    .venv/bin/python bench/e2e.py [--quick] [--duration S] [-o e2e.json]
"""

import argparse
import json
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

from morrowfen._servers import HOST, Server, command, free_port

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import e2e_apps  # noqa: E402
import micro  # noqa: E402

ROUNDS = 3
CLK_TCK = os.sysconf("SC_CLK_TCK")
ECHO_BODY = bytes(range(97, 123)) * 39 + b"0123456789"  # 1 KiB of text, safe in a wrk script
# route -> (what it is, method, request headers besides Host, request body, the body it answers)
ROUTES = {
    "/": ("text, 5 bytes", "GET", [("user-agent", "bench")], b"", e2e_apps.TEXT.encode()),
    "/hdr": (
        "12 request headers, one echoed",
        "GET",
        [h for h in micro.BROWSER_HEADERS if h[0] != "host"],
        b"",
        dict(micro.BROWSER_HEADERS)[e2e_apps.HEADER].encode(),
    ),
    "/stream": ("stream, 10 parts", "GET", [("user-agent", "bench")], b"", b"".join(e2e_apps.PARTS)),
    "/echo": (
        "1 KiB body echoed",
        "POST",
        [("user-agent", "bench"), ("content-type", e2e_apps.OCTETS_TYPE)],
        ECHO_BODY,
        ECHO_BODY,
    ),
}


def request_bytes(route, host):
    """The request a client sends for `route`."""
    _, method, headers, body, _ = ROUTES[route]
    lines = [f"{method} {route} HTTP/1.1", f"Host: {host}", *(f"{n}: {v}" for n, v in headers)]
    if method == "POST":
        lines.append(f"Content-Length: {len(body)}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


def read_response(sock, buf=b""):
    """Reads one 200 response (Content-Length or chunked) off the socket, `buf`
    holding what was read already: (status, [(name, value)], body, what follows it)."""

    def more():
        data = sock.recv(65536)
        if not data:
            raise RuntimeError("the server closed the connection")
        return data

    while (end := buf.find(b"\r\n\r\n")) < 0:
        buf += more()
    lines = bytes(buf[:end]).split(b"\r\n")
    if not lines[0].startswith(b"HTTP/1.1 200 "):
        raise RuntimeError(f"the app answered {lines[0]!r}")
    headers = [tuple(part.strip().decode("latin-1") for part in line.split(b":", 1)) for line in lines[1:]]
    fields = {n.lower(): v for n, v in headers}
    rest = buf[end + 4 :]
    if fields.get("transfer-encoding", "").lower() == "chunked":
        body = b""
        while True:
            while (eol := rest.find(b"\r\n")) < 0:
                rest += more()
            size = int(rest[:eol].split(b";")[0], 16)
            while len(rest) < eol + size + 4:
                rest += more()
            body += rest[eol + 2 : eol + 2 + size]
            rest = rest[eol + size + 4 :]
            if size == 0:  # no trailers
                return 200, headers, body, rest
    length = int(fields.get("content-length", 0))
    while len(rest) < length:
        rest += more()
    return 200, headers, rest[:length], rest[length:]


def answers(server):
    """{route: the answer's headers} after checking that `server` answers
    every route with a 200 and the body it must (RuntimeError)."""
    found = {}
    with socket.create_connection((HOST, server.port), timeout=60) as sock:
        rest = b""
        for route, (*_, expected) in ROUTES.items():
            sock.sendall(request_bytes(route, f"{HOST}:{server.port}"))
            _, headers, body, rest = read_response(sock, rest)
            if body != expected:
                raise RuntimeError(f"{server.name}: {route} answered {body[:60]!r}, not {expected[:60]!r}")
            found[route] = headers
    return found


FRAMEWORKS = {"granian-rsgi": ["emmett55"], "uvicorn": ["starlette", "fastapi", "falcon", "litestar"]}
# server -> the app Application and the frameworks are set against: the bare
# app, on RSGI the one that reads the request from the scope as they must
FLOORS = {"granian-rsgi": "raw_read", "granian-asgi": "raw", "uvicorn": "raw"}


def setups():
    """(server, [apps]) in the order they run."""
    return [
        ("granian-rsgi", ["raw", "raw_read", "penmoth", "port", "server", *FRAMEWORKS["granian-rsgi"]]),
        ("granian-asgi", ["raw", "penmoth", "server"]),
        ("uvicorn", ["raw", "penmoth", "server", *FRAMEWORKS["uvicorn"]]),
    ]


def start(server, app, prefix=(), env=None):
    """App `app` of bench/e2e_apps.py served by `server` for load (started, not
    yet ready), its command line after `prefix` (a tool that runs the server)."""
    port = free_port()
    cmd = [*prefix, *command(server, port, f"e2e_apps:{app}_{{interface}}", for_load=True)]
    path = os.pathsep.join(p for p in (str(HERE), os.environ.get("PYTHONPATH")) if p)
    return Server(f"{server}/{app}", cmd, port, {"PYTHONPATH": path, **(env or {})}).start()


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


def cpu_seconds(pid):
    """utime + stime of process `pid` and every process under it."""
    total = 0
    for p in process_tree(pid):
        try:
            with open(f"/proc/{p}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        total += int(fields[11]) + int(fields[12])  # utime, stime (fields 14 and 15)
    return total / CLK_TCK


def wrk_script(route, folder):
    """A wrk script that asks for `route` as ROUTES says (in `folder`)."""
    _, method, headers, body, _ = ROUTES[route]
    lines = [f'wrk.method = "{method}"'] + ([f"wrk.body = [==[{body.decode()}]==]"] if body else [])
    lines += [f'wrk.headers["{n}"] = [==[{v}]==]' for n, v in headers]
    path = Path(folder) / f"route{list(ROUTES).index(route)}.lua"
    path.write_text("\n".join(lines) + "\n")
    return str(path)


def wrk(port, route, duration, scripts):
    out = subprocess.run(
        [
            "wrk",
            "-t1",
            "-c32",
            f"-d{duration}s",
            "--timeout",
            "5s",
            "-s",
            scripts[route],
            f"http://{HOST}:{port}{route}",
        ],
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


def measure(server, path, duration, scripts):
    before = cpu_seconds(server.process.pid)
    requests, rps, failed = wrk(server.port, path, duration, scripts)
    cpu = cpu_seconds(server.process.pid) - before
    return {"requests": requests, "rps": rps, "failed": failed, "cpu_us_per_request": 1e6 * cpu / max(requests, 1)}


def run(duration, warmup, rounds, only=None, log=print):
    results = []
    with tempfile.TemporaryDirectory(prefix="morrowfen-wrk-") as folder:
        scripts = {route: wrk_script(route, folder) for route in ROUTES}
        for server_name, apps in setups():
            if not only or server_name in only:
                results += run_server(server_name, apps, duration, warmup, rounds, scripts, log)
    return results


def run_server(server_name, apps, duration, warmup, rounds, scripts, log):
    results, servers = [], []
    try:
        for app in apps:
            servers.append(start(server_name, app))
        for s in servers:
            answers(s.wait_ready())
            if warmup:
                wrk(s.port, "/", warmup, scripts)
        for path in ROUTES:
            runs = {s.name: [] for s in servers}
            for _ in range(rounds):  # alternating: every app once per round
                for s in servers:
                    runs[s.name].append(measure(s, path, duration, scripts))
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
            s.cleanup()
    return results


STARTUP_S = 8  # starting and checking one server set-up, generously


def fit_duration(duration, rounds, budget, only=None):
    """The run length that keeps the whole load within `budget` seconds."""
    chosen = [(s, apps) for s, apps in setups() if not only or s in only]
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
    results = run(duration, 0 if args.quick else 1, rounds, args.only)
    data = {"duration_s": duration, "rounds": rounds, "warmup_s": 0 if args.quick else 1, "results": results}
    if args.output:
        Path(args.output).write_text(json.dumps(data, indent=1))


if __name__ == "__main__":
    main()
