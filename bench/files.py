"""Files: a 1 MiB and a 64 MiB file through morrowfen.server.Application,
against a bare app that hands the file to the server's own file sending
(granian RSGI `response_file`, granian ASGI `http.response.pathsend`), and
Starlette's FileResponse on uvicorn (bench/files_apps.py).

Each app is started alone (one worker, the bench's server settings), its
answer checked (status, length, sha256), warmed up, then asked for each file
REQUESTS times, one request at a time on one keep-alive connection, the
client reading as fast as it can over 127.0.0.1. Figures: the server's CPU
per request (utime + stime of its process tree over the requests), the
median time of a request at the client, and the worker's memory: resident
before the 64 MiB file, and its highest growth while that file goes out
(sampled every 10 ms).

    .venv/bin/python bench/files.py [--quick] [-o files.json]
"""

import argparse
import hashlib
import json
import os
import socket
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import e2e  # noqa: E402
import e2e_memory  # noqa: E402
from morrowfen._servers import HOST, Server, command, free_port  # noqa: E402

MiB = 1 << 20
FILES = {"1mib.bin": MiB, "64mib.bin": 64 * MiB}
REQUESTS = {"1mib.bin": 300, "64mib.bin": 12}
QUICK_REQUESTS = {"1mib.bin": 20, "64mib.bin": 2}
SETUPS = [
    ("granian-rsgi", ["bare", "server"]),
    ("granian-asgi", ["bare", "server"]),
    ("uvicorn", ["server", "starlette"]),
    ("hypercorn", ["server"]),
]
APP_NAMES = {"bare": "bare (the server's file sending)", "server": "Application", "starlette": "Starlette FileResponse"}


def make_files(folder):
    chunk = os.urandom(MiB)
    digests = {}
    for name, size in FILES.items():
        digest = hashlib.sha256()
        with open(Path(folder) / name, "wb") as f:
            for _ in range(size // MiB):
                f.write(chunk)
                digest.update(chunk)
        digests[name] = digest.hexdigest()
    return digests


class Client:
    """One keep-alive HTTP/1.1 connection that reads Content-Length bodies into one buffer."""

    def __init__(self, port):
        self.sock = socket.create_connection((HOST, port), timeout=60)
        self.buffer = bytearray(MiB)
        self.view = memoryview(self.buffer)
        self.pending = b""

    def get(self, path, digest=None):
        """(status, body length) of GET `path`; `digest` (a hashlib object) is fed the body."""
        self.sock.sendall(f"GET /{path} HTTP/1.1\r\nHost: {HOST}\r\n\r\n".encode())
        data = self.pending
        while b"\r\n\r\n" not in data:
            more = self.sock.recv(65536)
            if not more:
                raise RuntimeError("the server closed the connection")
            data += more
        head, _, body = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        status = int(lines[0].split()[1])
        fields = dict(line.lower().split(": ", 1) for line in lines[1:])
        length = int(fields["content-length"])
        taken = min(len(body), length)
        if digest:
            digest.update(body[:taken])
        self.pending = body[taken:]
        left = length - taken
        while left:
            n = self.sock.recv_into(self.view, min(left, MiB))
            if not n:
                raise RuntimeError("the server closed the connection within the body")
            if digest:
                digest.update(self.view[:n])
            left -= n
        return status, length

    def close(self):
        self.sock.close()


def start(server, app, folder):
    port = free_port()
    cmd = command(server, port, f"files_apps:{app}_{{interface}}", for_load=True)
    env = {"PYTHONPATH": os.pathsep.join(p for p in (str(HERE), os.environ.get("PYTHONPATH")) if p)}
    env["MORROWFEN_BENCH_FILES"] = str(folder)
    return Server(f"{server}/{app}", cmd, port, env).start()


def measure(server, digests, requests):
    client = Client(server.port)
    rows = []
    try:
        for name in FILES:
            digest = hashlib.sha256()
            status, length = client.get(name, digest)
            if (status, length, digest.hexdigest()) != (200, FILES[name], digests[name]):
                raise RuntimeError(f"{server.name}: {name} came back as {status}, {length} bytes, changed")
            for _ in range(2):
                client.get(name)
            pid = server.process.pid
            before_rss = e2e_memory.rss_kib(pid)
            peak = [before_rss]
            done = threading.Event()

            def sample():
                while not done.is_set():
                    peak[0] = max(peak[0], e2e_memory.rss_kib(pid))
                    time.sleep(0.01)

            sampler = threading.Thread(target=sample, daemon=True)
            sampler.start()
            times = []
            before_cpu = e2e.cpu_seconds(pid)
            try:
                for _ in range(requests[name]):
                    began = time.perf_counter()
                    client.get(name)
                    times.append(time.perf_counter() - began)
            finally:
                cpu = e2e.cpu_seconds(pid) - before_cpu
                done.set()
                sampler.join()
            rows.append(
                {
                    "file": name,
                    "requests": requests[name],
                    "cpu_us_per_request": 1e6 * cpu / requests[name],
                    "ms_per_request": 1e3 * statistics.median(times),
                    "before_mib": before_rss / 1024,
                    "peak_growth_mib": (peak[0] - before_rss) / 1024,
                }
            )
    finally:
        client.close()
    return rows


def run(quick=False, log=print):
    requests = QUICK_REQUESTS if quick else REQUESTS
    results = []
    with tempfile.TemporaryDirectory(prefix="morrowfen-bench-files-") as folder:
        digests = make_files(folder)
        for server_name, apps in SETUPS:
            for app in apps:
                server = start(server_name, app, folder)
                try:
                    server.wait_ready(paths=["/1mib.bin"])
                    rows = measure(server, digests, requests)
                finally:
                    server.stop()
                    server.cleanup()
                for row in rows:
                    results.append({"server": server_name, "app": app, **row})
                    log(
                        f"{server_name:13} {app:10} {row['file']:10} {row['cpu_us_per_request']:9.0f} us CPU, "
                        f"{row['ms_per_request']:7.2f} ms, memory {row['before_mib']:.0f} MiB "
                        f"+{row['peak_growth_mib']:.0f} MiB"
                    )
    return {"sizes": FILES, "requests": requests, "results": results}


def markdown(data):
    """The report's section on files."""
    if not data:
        return ""
    w = ["## Files\n"]
    w.append(
        "A 1 MiB and a 64 MiB file, each asked for "
        + " and ".join(f"{n} times ({name})" for name, n in data["requests"].items())
        + " on one keep-alive connection, one request at a time, read at full speed over 127.0.0.1 "
        "(bench/files.py). `bare` hands the file to the server's own file sending (granian RSGI `response_file`, "
        "granian ASGI `http.response.pathsend`); Application does the same on granian and sends the file in parts of "
        "256 KiB, read in the loop's executor, on uvicorn and hypercorn; Starlette's FileResponse reads parts of "
        "64 KiB in a thread each. CPU: the server's process tree per request; time: the median request at the client; "
        "memory: the worker's resident memory before, and its highest growth while the 64 MiB file went out.\n"
    )
    by_file = {}
    for r in data["results"]:
        by_file.setdefault(r["file"], []).append(r)
    for name, rows in by_file.items():
        w.append(f"{name}:\n")
        w.append("| server | app | CPU per request | time per request | memory before | highest growth |")
        w.append("|---|---|---|---|---|---|")
        for r in rows:
            w.append(
                f"| {r['server']} | {APP_NAMES.get(r['app'], r['app'])} | {r['cpu_us_per_request']:,.0f} µs | "
                f"{r['ms_per_request']:.2f} ms | {r['before_mib']:.0f} MiB | +{r['peak_growth_mib']:.0f} MiB |"
            )
        w.append("")
    return "\n".join(w) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a few requests per file")
    parser.add_argument("-o", "--output", help="write the results as JSON")
    args = parser.parse_args()
    data = run(args.quick)
    if args.output:
        Path(args.output).write_text(json.dumps(data, indent=1))
    else:
        print(markdown(data))


if __name__ == "__main__":
    main()
