"""End to end in instructions: the server worker under callgrind, per request.

CPU time per request moves by several microseconds from one wrk run to the
next on a shared machine; instructions do not. Each app is started once under
callgrind (the server's processes followed) and its answers checked byte for
byte (bench/e2e.py's ROUTES); per route, one keep-alive client sends WARMUP
requests, the counters of every process are zeroed, it sends REQUESTS more,
one at a time, and the counters are dumped. A figure is the instructions of
the busiest process (the worker: its event loop and the server's threads)
divided by REQUESTS. User space only: the kernel's share of a request
(sockets, epoll) is not in it and is the same for every app.

The same REQUESTS are counted in cyclic collections of the garbage collector
(bench/e2e_apps.py's count_collections, which costs instructions only when a
collection runs). Apps run JOBS at a time: a count does not depend on what
else the machine does.

    .venv/bin/python bench/e2e_instructions.py [--quick] [--jobs N] [-o e2e-instructions.json]
"""

import argparse
import concurrent.futures
import json
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
JOBS = 2
SLOW_TO_START = ("fastapi", "litestar")  # under callgrind: over two minutes each
SETUPS = [
    ("granian-rsgi", ["raw", "raw_read", "penmoth", "port", "server", *e2e.FRAMEWORKS["granian-rsgi"]]),
    ("granian-asgi", ["raw", "server"]),
    ("uvicorn", ["raw", "penmoth", "server", *e2e.FRAMEWORKS["uvicorn"]]),
]


def requests(sock, host, route, count):
    message = e2e.request_bytes(route, host)
    rest = b""
    for _ in range(count):
        sock.sendall(message)
        rest = e2e.read_response(sock, rest)[-1]


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


def collections(gc_dir):
    """Cyclic collections so far, in every process of the server."""
    return sum(int.from_bytes(f.read_bytes()[:8], sys.byteorder) for f in gc_dir.glob("gc.*"))


def measure_app(server_name, app, warmup, count):
    """{route: {instructions, collections per 1000 requests}}, and {route:
    the answer's headers} (the date and the server's name left out)."""
    out_dir = Path(tempfile.mkdtemp(prefix="morrowfen-callgrind-"))
    gc_dir = out_dir / "gc"
    gc_dir.mkdir()
    callgrind = ["valgrind", "--tool=callgrind", "--trace-children=yes", f"--callgrind-out-file={out_dir}/cg.%p"]
    server = e2e.start(server_name, app, prefix=callgrind, env={"MORROWFEN_BENCH_GC_DIR": str(gc_dir)})
    result = {}
    try:
        server.wait_ready(timeout=300)
        headers = {
            route: [h for h in found if h[0].lower() not in ("date", "server")]
            for route, found in e2e.answers(server).items()
        }
        with socket.create_connection((e2e.HOST, server.port), timeout=60) as sock:
            host = f"{e2e.HOST}:{server.port}"
            for part, route in enumerate(e2e.ROUTES, start=1):
                requests(sock, host, route, warmup)
                pids = e2e.process_tree(server.process.pid)
                control("-z", pids)
                before = collections(gc_dir)
                requests(sock, host, route, count)
                control("-d", pids)
                collected = collections(gc_dir) - before
                totals = dumped_totals(out_dir, part)
                if not totals:
                    raise RuntimeError(f"{server.name}: callgrind wrote no dump")
                result[route] = {"instructions": max(totals) / count, "gc_per_1000": 1000 * collected / count}
    finally:
        server.stop()
        server.cleanup()
        shutil.rmtree(out_dir, ignore_errors=True)
    return result, headers


def run(quick=False, jobs=JOBS, log=print):
    warmup, count = (20, 50) if quick else (WARMUP, REQUESTS)
    apps = [(server, app) for server, names in SETUPS for app in names]
    apps.sort(key=lambda a: a[1] not in SLOW_TO_START)  # those first, for the jobs to end together
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        measured = {key: pool.submit(measure_app, *key, warmup, count) for key in apps}
        results, answers = [], {}
        for server, app in ((s, a) for s, names in SETUPS for a in names):
            future = measured[server, app]
            per_route, headers = future.result()
            answers.setdefault(server, {})[app] = headers
            for route, figures in per_route.items():
                results.append({"server": server, "app": app, "route": route, **figures})
                log(
                    f"{server:13} {app:10} {route:8} {figures['instructions']:10.0f} instructions/request "
                    f"{figures['gc_per_1000']:6.0f} collections/1000"
                )
    return {"warmup": warmup, "requests": count, "results": results, "headers": answers}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="20 + 50 requests per route")
    parser.add_argument("--jobs", type=int, default=JOBS, help=f"apps measured at once (default {JOBS})")
    parser.add_argument("-o", "--output", help="write the results as JSON")
    args = parser.parse_args()
    if missing := micro_instructions.callgrind_missing():
        sys.exit(missing)
    data = run(args.quick, args.jobs)
    if args.output:
        Path(args.output).write_text(json.dumps(data, indent=1))


if __name__ == "__main__":
    main()
