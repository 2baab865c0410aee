"""WebSocket messages in instructions: the server worker under callgrind, per message.

An echo of small text messages through morrowfen.server.Application against
a bare ASGI or RSGI callable on the same server (bench/ws_apps.py). Each app
is started once under callgrind (the server's processes followed); one client
(the `websockets` package, in this process) opens a connection, echoes WARMUP
messages, the counters of every process are zeroed, it echoes MESSAGES more,
one at a time, and the counters are dumped. A figure is the instructions of
the busiest process (the worker) divided by MESSAGES; Application's own cost
per message is its figure less the bare app's.

    .venv/bin/python bench/ws_instructions.py [--quick] [-o ws-instructions.json]
"""

import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from websockets.sync.client import connect

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import e2e  # noqa: E402
import e2e_instructions  # noqa: E402
import micro_instructions  # noqa: E402

WARMUP, MESSAGES = 200, 1000
MESSAGE = "hello, websocket"
SETUPS = [("granian-rsgi", "rsgi"), ("granian-asgi", "asgi"), ("uvicorn", "asgi")]
APPS = ["raw", "server"]


def command(server, app, interface, port):
    """The bench's server command line (uvicorn with httptools and uvloop; its
    WebSockets from the `websockets` package), with WebSockets on."""
    return [
        part for part in e2e.command(server, port, f"ws_apps:{app}_{interface}", for_load=True) if part != "--no-ws"
    ]


def echo(ws, count):
    for _ in range(count):
        ws.send(MESSAGE)
        if ws.recv(timeout=60) != MESSAGE:
            raise RuntimeError("the echo came back changed")


def measure(server, interface, app, warmup, count):
    port = e2e.free_port()
    out_dir = Path(tempfile.mkdtemp(prefix="morrowfen-callgrind-ws-"))
    cmd = [
        "valgrind",
        "--tool=callgrind",
        "--trace-children=yes",
        f"--callgrind-out-file={out_dir}/cg.%p",
        *command(server, app, interface, port),
    ]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [str(HERE), os.environ.get("PYTHONPATH")]))}
    log = tempfile.TemporaryFile()
    process = subprocess.Popen(cmd, env=env, stdout=log, stderr=log, stdin=subprocess.DEVNULL, start_new_session=True)
    try:
        deadline = time.monotonic() + 180
        while True:
            if process.poll() is not None:
                log.seek(0)
                raise RuntimeError(f"{server}/{app} exited:\n{log.read().decode(errors='replace')[-1500:]}")
            try:
                socket.create_connection((e2e.HOST, port), timeout=5).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise RuntimeError(f"{server}/{app} did not start under callgrind") from None
                time.sleep(0.5)
        with connect(f"ws://{e2e.HOST}:{port}/echo", open_timeout=120, compression=None) as ws:
            echo(ws, warmup)
            pids = e2e.process_tree(process.pid)
            e2e_instructions.control("-z", pids)
            echo(ws, count)
            e2e_instructions.control("-d", pids)
        totals = e2e_instructions.dumped_totals(out_dir, 1)
        if not totals:
            raise RuntimeError(f"{server}/{app}: callgrind wrote no dump")
        return max(totals) / count
    finally:
        try:
            os.killpg(process.pid, signal.SIGTERM)
            process.wait(30)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        log.close()
        shutil.rmtree(out_dir, ignore_errors=True)


def run(quick=False, log=print):
    warmup, count = (20, 100) if quick else (WARMUP, MESSAGES)
    results = []
    for server, interface in SETUPS:
        figures = {app: measure(server, interface, app, warmup, count) for app in APPS}
        own = figures["server"] - figures["raw"]
        results.append(
            {
                "server": server,
                "raw": figures["raw"],
                "application": figures["server"],
                "own": own,
                "own_over_raw": own / figures["raw"],
            }
        )
        log(
            f"{server:13} raw {figures['raw']:9.0f}  Application {figures['server']:9.0f}  own {own:7.0f} "
            f"({own / figures['raw']:.1%} of the bare app) instructions/message"
        )
    return {"warmup": warmup, "messages": count, "message": MESSAGE, "results": results}


def markdown(data):
    """The report's section for these figures."""
    lines = [
        "\n## WebSocket messages in instructions\n",
        f"An echo of {data['messages']} text messages of {len(data['message'])} characters, one at a time, "
        "through `Application(websocket_handler=...)` (`accept()`, then `async for message in ws: await "
        "ws.send(message)`) against a bare ASGI or RSGI callable doing the same on the same server "
        "(bench/ws_instructions.py): instructions of the server worker per message under callgrind. "
        "Application's own cost is its figure less the bare app's.\n",
        "| server | bare app | Application | Application's own | own / bare |",
        "|---|---|---|---|---|",
    ]
    for r in data["results"]:
        lines.append(
            f"| {r['server']} | {r['raw']:,.0f} | {r['application']:,.0f} | {r['own']:,.0f} | {r['own_over_raw']:.1%} |"
        )
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="20 + 100 messages per app")
    parser.add_argument("-o", "--output", help="write the results as JSON")
    args = parser.parse_args()
    if missing := micro_instructions.callgrind_missing():
        sys.exit(missing)
    data = run(args.quick)
    if args.output:
        Path(args.output).write_text(json.dumps(data, indent=1))


if __name__ == "__main__":
    main()
