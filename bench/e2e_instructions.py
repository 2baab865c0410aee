"""End to end in instructions: the server worker under callgrind, per request.

CPU time per request moves by several microseconds from one wrk run to the
next on a shared machine; instructions do not. Each app is started once under
callgrind (the server's processes followed); per route, one keep-alive client
sends WARMUP requests, the counters of every process are zeroed, it sends
REQUESTS more, one at a time, and the counters are dumped. A figure is the
instructions of the busiest process (the worker: its event loop and the
server's threads) divided by REQUESTS. User space only: the kernel's share of
a request (sockets, epoll) is not in it and is the same for every app.

    .venv/bin/python bench/e2e_instructions.py [--quick] [-o e2e-instructions.json]
"""

import argparse
import json
import re
import shutil
import socket
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import e2e  # noqa: E402
import micro_instructions  # noqa: E402

WARMUP, REQUESTS = 200, 1000
SETUPS = [
    ("granian-rsgi", ["raw", "raw_read", "penmoth", "port", "server"], list(e2e.ROUTES)),
    ("uvicorn", ["raw", "penmoth", "penmoth_request", "server"], ["/"]),
]


def read_response(sock, buf):
    """Reads one 200 response (Content-Length or chunked) off the socket;
    returns what follows it."""
    while True:
        end = buf.find(b"\r\n\r\n")
        if end >= 0:
            head = buf[:end].lower()
            if not head.startswith(b"http/1.1 200 "):
                status_line = bytes(buf[:end]).split(b"\r\n", 1)[0]
                raise RuntimeError(f"the app answered {status_line!r}")
            if b"transfer-encoding: chunked" in head:
                last = buf.find(b"\r\n0\r\n\r\n", end)
                if last >= 0:
                    return buf[last + 7 :]
            else:
                length = int(re.search(rb"content-length: *(\d+)", head).group(1))
                if len(buf) >= end + 4 + length:
                    return buf[end + 4 + length :]
        data = sock.recv(65536)
        if not data:
            raise RuntimeError("the server closed the connection")
        buf += data


def requests(sock, host, path, count):
    message = f"GET {path} HTTP/1.1\r\nHost: {host}\r\nUser-Agent: bench\r\n\r\n".encode()
    buf = b""
    for _ in range(count):
        sock.sendall(message)
        buf = read_response(sock, buf)


def control(option, pids):
    for pid in pids:
        subprocess.run(["callgrind_control", option, str(pid)], capture_output=True, timeout=60)


def dumped_totals(out_dir, part):
    """The summary of every process's dump number `part`."""
    totals = []
    for f in out_dir.glob(f"cg.*.{part}"):
        for line in f.read_text(errors="replace").splitlines():
            if line.startswith(("summary:", "totals:")):
                totals.append(int(line.split()[1]))
                break
    return totals


def measure_app(server_name, app, routes, warmup, count):
    out_dir = Path(tempfile.mkdtemp(prefix="morrowfen-callgrind-"))
    callgrind = ["valgrind", "--tool=callgrind", "--trace-children=yes", f"--callgrind-out-file={out_dir}/cg.%p"]
    server = e2e.start(server_name, app, prefix=callgrind)
    result = {}
    try:
        server.wait_ready(timeout=180)
        sock = socket.create_connection((e2e.HOST, server.port), timeout=60)
        with sock:
            host = f"{e2e.HOST}:{server.port}"
            for part, route in enumerate(routes, start=1):
                requests(sock, host, route, warmup)
                pids = e2e.process_tree(server.process.pid)
                control("-z", pids)
                requests(sock, host, route, count)
                control("-d", pids)
                totals = dumped_totals(out_dir, part)
                if not totals:
                    raise RuntimeError(f"{server.name}: callgrind wrote no dump")
                result[route] = max(totals) / count
    finally:
        server.stop()
        server.cleanup()
        shutil.rmtree(out_dir, ignore_errors=True)
    return result


def run(quick=False, log=print):
    warmup, count = (20, 50) if quick else (WARMUP, REQUESTS)
    results = []
    for server, apps, routes in SETUPS:
        for app in apps:
            try:
                measured = measure_app(server, app, routes, warmup, count)
            except RuntimeError as e:
                if app not in ("server", "penmoth_request"):
                    raise
                # a tree without morrowfen.server (an older one measured for comparison)
                log(f"{server}/{app}: skipped ({str(e).splitlines()[0]})")
                continue
            for route, per_request in measured.items():
                results.append({"server": server, "app": app, "route": route, "instructions": per_request})
                log(f"{server:13} {app:10} {route:8} {per_request:10.0f} instructions/request")
    return {"warmup": warmup, "requests": count, "results": results}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="20 + 50 requests per route")
    parser.add_argument("-o", "--output", help="write the results as JSON")
    args = parser.parse_args()
    if missing := micro_instructions.callgrind_missing():
        sys.exit(missing)
    data = run(args.quick)
    if args.output:
        Path(args.output).write_text(json.dumps(data, indent=1))


if __name__ == "__main__":
    main()
