"""Memory while streaming 1 GiB: the server's resident memory during one
response of 1 GiB (16,384 parts of 64 KiB from an async generator), read by
a client at full speed over 127.0.0.1.

The server's process tree is sampled every 10 ms; a figure is the highest
resident memory seen during the response less what the tree held just before
it. A server that waits in its send while the socket is full keeps this flat;
one whose send returns at once queues what the producer makes faster than the
client reads.

    .venv/bin/python bench/e2e_memory.py [--quick] [-o e2e-memory.json]
"""

import argparse
import json
import socket
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import e2e  # noqa: E402

SETUPS = [("uvicorn", ["raw", "penmoth"]), ("granian-rsgi", ["raw", "penmoth"])]
GIB = 1 << 30


def rss_kib(pid):
    """Resident memory of `pid` and every process under it."""
    total = 0
    for p in e2e.process_tree(pid):
        try:
            with open(f"/proc/{p}/status") as f:
                total += next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        except (OSError, StopIteration):
            continue
    return total


def read_stream(port, path):
    """GET `path`, read the whole chunked body; the body's bytes (framing included)."""
    with socket.create_connection((e2e.HOST, port), timeout=60) as sock:
        sock.sendall(f"GET {path} HTTP/1.1\r\nHost: {e2e.HOST}\r\nConnection: close\r\n\r\n".encode())
        received, tail = 0, b""
        while True:
            data = sock.recv(1 << 20)
            if not data:
                break
            received += len(data)
            tail = (tail + data)[-16:]
        if not tail.endswith(b"\r\n0\r\n\r\n"):
            raise RuntimeError(f"the stream did not end with its last chunk ({tail!r})")
        return received


def measure(server, path, size):
    pid = server.process.pid
    time.sleep(0.5)  # settled after start-up and the readiness requests
    before = rss_kib(pid)
    peak = [before]
    done = threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], rss_kib(pid))
            time.sleep(0.01)

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    started = time.monotonic()
    try:
        received = read_stream(server.port, path)
    finally:
        done.set()
        sampler.join()
    elapsed = time.monotonic() - started
    if received < size:
        raise RuntimeError(f"{server.name}: {received} bytes, not {size}")
    return {"before_mib": before / 1024, "peak_growth_mib": (peak[0] - before) / 1024, "seconds": elapsed}


def run(quick=False, log=print):
    results = []
    for server_name, apps in SETUPS:
        for app in apps:
            server = e2e.start(server_name, app)
            try:
                server.wait_ready()
                row = {"server": server_name, "app": app, **measure(server, "/gib", GIB)}
            finally:
                server.stop()
                server.cleanup()
            results.append(row)
            log(
                f"{server_name:13} {app:8} 1 GiB in {row['seconds']:.1f} s, "
                f"memory {row['before_mib']:.0f} MiB + {row['peak_growth_mib']:.0f} MiB at most"
            )
    return {"bytes": GIB, "results": results}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the same (one stream per app is all there is)")
    parser.add_argument("-o", "--output", help="write the results as JSON")
    args = parser.parse_args()
    data = run(args.quick)
    if args.output:
        Path(args.output).write_text(json.dumps(data, indent=1))


if __name__ == "__main__":
    main()
