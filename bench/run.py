"""All the benchmarks in one run: the micro-benchmarks (bench/micro.py, pyperf),
get_chunks again with the heap trim threshold raised, the same cases in
instructions (bench/micro_instructions.py), blocks allocated per call, the
end-to-end instructions and cyclic collections per request of the bare apps,
morrowfen, Application and the frameworks users pick instead
(bench/e2e_instructions.py), memory while streaming 1 GiB
(bench/e2e_memory.py), files of 1 MiB and 64 MiB (bench/files.py), and the
load under wrk (bench/e2e.py). Writes
bench/results.md (one writer per section), bench/results.json and
bench/results.png.

    ./dev bench [--quick] [--no-e2e]      (or: .venv/bin/python bench/run.py ...)
"""

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import e2e  # noqa: E402
import files  # noqa: E402
import micro  # noqa: E402
import micro_instructions  # noqa: E402
import ws_instructions  # noqa: E402

PY = sys.executable


def run_micro(out_dir, quick):
    """The pyperf suites: every case, then get_chunks in a subprocess whose
    allocator keeps freed heap memory (MALLOC_TRIM_THRESHOLD_, passed on to
    pyperf's workers). The module itself never changes allocator settings."""
    common = ["--quiet", *(["--quick"] if quick else [])]
    main_json, trim_json = out_dir / "micro.json", out_dir / "micro-trim.json"
    subprocess.run([PY, str(HERE / "micro.py"), *common, "-o", str(main_json)], check=True)
    env = {**os.environ, **micro.TRIM_ENV}
    subprocess.run(
        [
            PY,
            str(HERE / "micro.py"),
            *common,
            "--inherit-environ",
            ",".join(micro.TRIM_ENV),
            "--only",
            micro.TRIM_OPERATION,
            "--suffix",
            micro.TRIM_SUFFIX,
            "-o",
            str(trim_json),
        ],
        check=True,
        env=env,
    )
    trim = load_pyperf(trim_json)
    wanted = micro.TRIM_ENV["MALLOC_TRIM_THRESHOLD_"]
    for name, figure in trim.items():  # the setting reached the process that measured
        if figure["malloc_trim_threshold"] != wanted:
            raise RuntimeError(f"{name} ran with trim threshold {figure['malloc_trim_threshold']}, not {wanted}")
    return load_pyperf(main_json) | trim


def load_pyperf(path):
    import pyperf

    figures = {}
    for bench in pyperf.BenchmarkSuite.load(str(path)).get_benchmarks():
        values = bench.get_values()
        stdev = bench.stdev() if len(values) > 1 else 0.0
        figures[bench.get_name()] = {
            "median_ns": bench.median() * 1e9,
            "stdev_ns": stdev * 1e9,
            "values": len(values),
            "malloc_trim_threshold": bench.get_metadata().get("malloc_trim_threshold"),
        }
    return figures


def run_allocations():
    out = subprocess.run([PY, str(HERE / "micro.py"), "--allocations"], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


BUDGET_S = 23 * 60  # with the set-up before it, ./dev bench stays under 25 minutes


def run_e2e(out_dir, quick, budget):
    path = out_dir / "e2e.json"
    subprocess.run(
        [PY, str(HERE / "e2e.py"), *(["--quick"] if quick else []), "--budget", str(int(budget)), "-o", str(path)],
        check=True,
        cwd=HERE,
    )
    return json.loads(path.read_text())


def run_e2e_instructions(out_dir, quick):
    """Instructions per request under callgrind, or None without valgrind."""
    if missing := micro_instructions.callgrind_missing():
        print(f"{missing}: no instruction counts", flush=True)
        return None
    path = out_dir / "e2e-instructions.json"
    cmd = [PY, str(HERE / "e2e_instructions.py"), *(["--quick"] if quick else []), "-o", str(path)]
    subprocess.run(cmd, check=True, cwd=HERE)
    return json.loads(path.read_text())


def run_ws_instructions(out_dir, quick):
    """WebSocket messages in instructions under callgrind (bench/ws_instructions.py), or None without valgrind."""
    if micro_instructions.callgrind_missing():
        return None
    path = out_dir / "ws-instructions.json"
    cmd = [PY, str(HERE / "ws_instructions.py"), *(["--quick"] if quick else []), "-o", str(path)]
    subprocess.run(cmd, check=True, cwd=HERE)
    return json.loads(path.read_text())


def run_e2e_memory(out_dir, quick):
    path = out_dir / "e2e-memory.json"
    cmd = [PY, str(HERE / "e2e_memory.py"), *(["--quick"] if quick else []), "-o", str(path)]
    subprocess.run(cmd, check=True, cwd=HERE)
    return json.loads(path.read_text())


def run_files(out_dir, quick):
    path = out_dir / "files.json"
    cmd = [PY, str(HERE / "files.py"), *(["--quick"] if quick else []), "-o", str(path)]
    subprocess.run(cmd, check=True, cwd=HERE)
    return json.loads(path.read_text())


# app -> the app it builds on: penmoth on the bare app, Application on penmoth
INSTRUCTION_BASES = {"raw_read": "raw", "penmoth": "raw", "server": "penmoth"}


def instruction_rows(data):
    """Per server and route: every app's instructions and collections per
    request, over the bare app, over the server's floor (e2e.FLOORS) and
    over the app it builds on."""
    by = {(r["server"], r["route"], r["app"]): r for r in data["results"]}
    rows = []
    for (server, route, app), r in by.items():
        row = {**r}
        base = INSTRUCTION_BASES.get(app)
        if base and (server, route, base) in by:
            row["base"] = base
            row["over base"] = r["instructions"] - by[(server, route, base)]["instructions"]
        for floor in ("raw", e2e.FLOORS.get(server)):
            if floor and app not in ("raw", floor) and (server, route, floor) in by:
                row[f"over {floor}"] = r["instructions"] - by[(server, route, floor)]["instructions"]
        rows.append(row)
    return rows


def framework_rows(counted, wrk):
    """Per server and route: Application and each framework users pick
    instead, over the server's floor in instructions (with the ratio to
    Application's) and in wrk's CPU per request (with the ratio), and the
    cyclic collections per 1000 requests."""
    counts = {(r["server"], r["route"], r["app"]): r for r in counted}
    cpu = {(r["server"], r["route"], r["app"]): r["cpu_us_per_request"] for r in (wrk or {}).get("results", [])}
    rows = []
    for (server, route, app), r in counts.items():
        if app != "server" and app not in e2e.FRAMEWORKS.get(server, ()):
            continue
        floor = e2e.FLOORS[server]
        mine = counts.get((server, route, "server"), {}).get(f"over {floor}")
        over = r.get(f"over {floor}")
        row = {"server": server, "route": route, "app": app, "floor": floor, "gc_per_1000": r["gc_per_1000"]}
        if over is not None:
            row["over_i"] = over
            row["ratio_i"] = over / mine if mine and mine > 0 and over > 0 else float("nan")
        if (server, route, app) in cpu and (server, route, floor) in cpu:
            row["over_cpu"] = cpu[server, route, app] - cpu[server, route, floor]
            mine_cpu = cpu.get((server, route, "server"), float("nan")) - cpu[server, route, floor]
            row["ratio_cpu"] = row["over_cpu"] / mine_cpu if mine_cpu > 0 and row["over_cpu"] > 0 else float("nan")
        rows.append(row)
    rows.sort(
        key=lambda r: (list(e2e.FLOORS).index(r["server"]), list(e2e.ROUTES).index(r["route"]), r["app"] != "server")
    )
    return rows


# --- figures -----------------------------------------------------------------------------


def run_micro_instructions(out_dir, quick):
    """Instructions per call of every micro case, or None without valgrind."""
    if micro_instructions.callgrind_missing():
        return None
    path = out_dir / "micro-instructions.json"
    subprocess.run(
        [PY, str(HERE / "micro_instructions.py"), *(["--quick"] if quick else []), "-o", str(path)],
        check=True,
        cwd=HERE,
    )
    return json.loads(path.read_text())["cases"]


def own_ratio(native, port, floor):
    """Own costs and their ratio; no ratio (nan) when either is at or under
    its floor as measured."""
    native_own, port_own = native - floor, port - floor
    return native_own, port_own, port_own / native_own if native_own > 0 and port_own > 0 else float("nan")


def micro_rows(figures, counts=None):
    """One row per operation: native, port, floor, own times and the ratio;
    with `counts` (instructions per call), the same in instructions."""
    rows = []
    empty = figures[micro.EMPTY_COROUTINE]["median_ns"]
    for op, (what, _, floor_kind) in micro.OPERATIONS.items():
        has_floor = floor_kind is not None
        for suffix in ("", micro.TRIM_SUFFIX) if op == micro.TRIM_OPERATION else ("",):
            name = op + suffix
            native = figures[f"{name} native"]["median_ns"]
            port = figures[f"{name} port"]["median_ns"]
            floor = figures[f"{name} floor"]["median_ns"] if has_floor else 0.0
            if floor_kind == "coroutine":
                floor = max(floor - empty, 0.0)
            native_own, port_own, ratio = own_ratio(native, port, floor)
            counted = {}
            if counts and not suffix:  # instructions do not depend on the trim threshold
                floor_i = counts[f"{name} floor"] if has_floor else 0.0
                if floor_kind == "coroutine":
                    floor_i = max(floor_i - counts[micro.EMPTY_COROUTINE], 0.0)
                n_own, p_own, r = own_ratio(counts[f"{name} native"], counts[f"{name} port"], floor_i)
                counted = {"native_own_i": n_own, "port_own_i": p_own, "ratio_i": r}
            rows.append(
                {
                    **counted,
                    "name": name,
                    "what": what + (" (trim threshold raised)" if suffix else ""),
                    "native": native,
                    "port": port,
                    "floor": floor if has_floor else None,
                    "native_own": native_own,
                    "port_own": port_own,
                    "ratio": ratio,
                    "stdev": (figures[f"{name} native"]["stdev_ns"], figures[f"{name} port"]["stdev_ns"]),
                }
            )
    return rows


def header_check_cost(figures):
    """send_rsgi_response_sync with 12 raw headers minus the same call on the
    prebuilt list: converting and checking 12 headers."""
    out = {}
    for kind in ("native", "port"):
        raw = figures[f"send_rsgi_response_sync[12 raw] {kind}"]["median_ns"]
        prebuilt = figures[f"send_rsgi_response_sync[prebuilt] {kind}"]["median_ns"]
        out[kind] = raw - prebuilt
    return out


def e2e_ratios(e2e):
    """Per server and route: CPU per request of each app relative to penmoth's,
    and the cost over the bare app (CPU/request minus the raw app's)."""
    by = {(r["server"], r["route"], r["app"]): r for r in e2e["results"]}
    rows = []
    for (server, route, app), r in by.items():
        if app != "penmoth":
            continue
        raw = by.get((server, route, "raw"))
        row = {"server": server, "route": route, "penmoth_cpu": r["cpu_us_per_request"]}
        for other in ("port", "server"):
            o = by.get((server, route, other))
            if o:
                row[f"{other}/penmoth"] = o["cpu_us_per_request"] / r["cpu_us_per_request"]
        if raw:
            row["penmoth over raw"] = r["cpu_us_per_request"] - raw["cpu_us_per_request"]
            port = by.get((server, route, "port"))
            if port:
                row["port over raw"] = port["cpu_us_per_request"] - raw["cpu_us_per_request"]
        read = by.get((server, route, "raw_read"))
        if read:
            row["penmoth over raw_read"] = r["cpu_us_per_request"] - read["cpu_us_per_request"]
        application = by.get((server, route, "server"))
        if application:
            row["server over penmoth"] = application["cpu_us_per_request"] - r["cpu_us_per_request"]
        rows.append(row)
    return rows


def machine():
    model = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return {
        "nproc": len(os.sched_getaffinity(0)),
        "cpu": model,
        "kernel": platform.release(),
        "python": sys.version.split()[0] + " " + platform.python_implementation(),
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
    }


# --- report --------------------------------------------------------------------------------


def ratio_text(ratio):
    # nan: a call took no longer than its floor as measured (the floor's own
    # Python loop can cost more than the call's driving; time is noisy)
    return f"{ratio:.2f}x" if ratio == ratio else "at the floor"


def fmt(ns):
    if ns is None:
        return "-"
    return f"{ns / 1000:.1f} us" if abs(ns) >= 10_000 else f"{ns:.0f} ns"


def table(header, rows):
    """Markdown table lines: a header row of names, then one row per list of cells."""
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    return lines + ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]


def section_machine(data):
    info = data["machine"]
    w = ["# Benchmarks of morrowfen\n"]
    if data["quick"]:
        w.append(
            "**A `--quick` smoke run: one iteration per micro case, 50 requests per instruction count and "
            "one 1 s wrk run per figure; the figures show that the harness works, not how fast anything is.**\n"
        )
    w.append("## Machine\n")
    cells = [info["nproc"], info["cpu"], info["kernel"], info["python"], info["date"], f"{data['elapsed_s']:.0f} s"]
    return [*w, *table(["nproc", "CPU", "kernel", "Python", "date", "run time"], [cells]), ""]


def section_frameworks(frameworks, requests):
    if not frameworks:
        return []
    w = ["## Application and the frameworks users pick instead\n"]
    w.append(
        "What each costs per request over the floor on the same server (bench/e2e_apps.py; every app answers "
        "the same bytes, checked before it is measured): on granian RSGI the bare app that also reads the "
        "request from the scope (`raw_read`), on uvicorn and granian ASGI the bare app (`raw`). Instructions: "
        f"the server worker under callgrind, {requests} requests one at a time after a warm-up (they repeat "
        "within about 1 %). CPU: wrk's load, utime + stime per request less the floor's (noisy: a difference of two "
        "measurements). x Application's: the framework's cost over Application's (above 1: Application is cheaper). "
        "Collections: the garbage collector's cyclic collections in the worker per 1000 requests.\n"
    )

    def cell(r, key, form):  # no ratio for Application itself, nor where either side is at its floor
        value = r.get(key, float("nan"))
        shown = value == value and not (key.startswith("ratio") and r["app"] == "server")
        return form.format(value) if shown else "-"

    rows = [
        [
            r["server"],
            f"`{r['route']}`",
            "Application" if r["app"] == "server" else r["app"],
            cell(r, "over_i", "{:+.0f}"),
            cell(r, "ratio_i", "{:.2f}x"),
            cell(r, "over_cpu", "{:+.1f}"),
            cell(r, "ratio_cpu", "{:.2f}x"),
            f"{r['gc_per_1000']:.0f}",
        ]
        for r in frameworks
    ]
    header = [
        "server",
        "route",
        "app",
        "instructions over floor",
        "x Application's",
        "CPU us over floor",
        "x Application's",
    ]
    return [*w, *table([*header, "collections / 1000"], rows), ""]


def section_ratios(rows, ratios):
    w = ["## The ratios that count\n"]
    w.append(
        "Time of the plain-Python port (bench/pyport.py) over the time of the native module, both less the "
        "floor (the Python code the operation must call: a protocol method, `send`, an async generator), "
        "measured in the same run. Above 1: native is faster. The same in instructions (callgrind, "
        "bench/micro_instructions.py) does not move from run to run, as time does on a shared machine.\n"
    )
    cells = [
        [f"`{r['name']}`", ratio_text(r["ratio"])]
        + ([ratio_text(r["ratio_i"]), f"{r['native_own_i']:.0f}"] if "ratio_i" in r else ["-", "-"])
        for r in rows
    ]
    w += table(["operation", "port own / native own, time", "in instructions", "native own, instructions"], cells)
    if ratios:
        w.append(
            "\nEnd to end, server CPU per request relative to the app through penmoth (above 1: penmoth uses less):\n"
        )
        keys = ("port/penmoth", "server/penmoth")
        cells = [[r["server"], f"`{r['route']}`"] + [f"{r[k]:.2f}x" if k in r else "-" for k in keys] for r in ratios]
        w += table(["server", "route", "port / penmoth", "Application / penmoth"], cells)
    return [*w, ""]


def section_micro(rows, check, allocs, quick):
    runs = "one process, one value, one iteration" if quick else "4 processes, 1 warm-up and 3 values each"
    w = [
        "## Micro-benchmarks\n",
        f"Medians from pyperf ({runs}; loops calibrated to 50 ms or more). own = time - floor.\n",
    ]
    cells = [
        [f"`{r['name']}`", r["what"], *map(fmt, (r["native"], r["port"], r["floor"], r["native_own"], r["port_own"]))]
        + [ratio_text(r["ratio"])]
        for r in rows
    ]
    w += table(["operation", "what", "native", "port", "floor", "native own", "port own", "ratio"], cells)
    w.append("\n### The header check\n")
    w.append(
        "`send_rsgi_response_sync` with 12 raw headers minus the same call whose headers are the "
        "prebuilt list: what converting and checking 12 headers costs.\n"
    )
    w += table(
        ["", "native", "port"],
        [
            ["12 headers", fmt(check["native"]), fmt(check["port"])],
            ["per header", fmt(check["native"] / 12), fmt(check["port"] / 12)],
        ],
    )
    w.append("\n### Blocks allocated per call\n")
    w.append(
        f"Method: {allocs['method']}, {allocs['calls']} calls after a warm-up; the result is dropped "
        "inside the loop, so its own blocks count.\n"
    )
    cells = [
        [f"`{name}`", *(f"{row[k]:.2f}" if k in row else "-" for k in ("native", "port", "floor"))]
        for name, row in allocs["cases"].items()
    ]
    return [*w, *table(["case", "native", "port", "floor"], cells), ""]


def section_load(wrk, ratios):
    if not wrk:
        return []
    w = ["## End to end under load\n"]
    w.append(
        f"wrk -t1 -c32, {wrk['duration_s']} s per run, against one server worker on 127.0.0.1; median of "
        f"{wrk['rounds']} alternating run(s) per figure"
        + (", after a 1 s warm-up run" if wrk.get("warmup_s") else "")
        + ". CPU: utime + stime of the server's process tree (/proc) over the run, per request. granian 1 worker; "
        "uvicorn with uvloop and httptools. Apps and routes: bench/e2e_apps.py (`server` is "
        "morrowfen.server.Application).\n"
    )
    cells = [
        [r["server"], r["app"], f"`{r['route']}`", f"{r['rps']:.0f}", f"{r['cpu_us_per_request']:.1f}", r["failed"]]
        for r in wrk["results"]
    ]
    w += table(["server", "app", "route", "requests/s", "CPU us/request", "failed"], cells)
    if ratios:
        w.append(
            "\nCPU per request over the bare app (us; noisy, a difference of two measurements). What is left of "
            "`penmoth - raw_read` is the cost of building the framework's objects and answering through them; "
            "`Application - penmoth` is what morrowfen.server.Application adds.\n"
        )
        keys = ("penmoth over raw", "penmoth over raw_read", "port over raw", "server over penmoth")
        cells = [[r["server"], f"`{r['route']}`"] + [f"{r[k]:.1f}" if k in r else "-" for k in keys] for r in ratios]
        w += table(
            ["server", "route", "penmoth - raw", "penmoth - raw_read", "port - raw", "Application - penmoth"], cells
        )
    return [*w, ""]


def section_instructions(counted):
    if not counted:
        return []
    w = ["## End to end in instructions\n"]
    w.append(
        "The server worker under callgrind (bench/e2e_instructions.py): per route, one keep-alive client, a "
        "warm-up, then requests one at a time; instructions of the worker process (its event loop and the "
        "server's threads) per request, user space only, and the cyclic collections of the garbage collector "
        "per 1000 requests. `raw_read` is the bare RSGI app that also reads the request from the scope "
        "(headers, method, path, query): the floor of request intake. `penmoth` takes the request in and "
        "answers through the module functions; `server` is Application over the same handler.\n"
    )

    def signed(r, key):
        return f"{r[key]:+.0f}" if key in r else "-"

    cells = [
        [r["server"], f"`{r['route']}`", r["app"], f"{r['instructions']:.0f}", signed(r, "over raw")]
        + [
            signed(r, "over raw_read"),
            f"{r['over base']:+.0f} (over {r['base']})" if "base" in r and r["base"] != "raw" else "-",
        ]
        + [f"{r['gc_per_1000']:.0f}"]
        for r in counted
    ]
    header = [
        "server",
        "route",
        "app",
        "instructions/request",
        "over raw",
        "over raw_read",
        "over the app it builds on",
    ]
    return [*w, *table([*header, "collections / 1000"], cells), ""]


def answer_differences(headers):
    """(server, app, route, what differs) for each answer whose headers differ
    from the bare app's on the same server (letter case and order aside)."""
    found = []
    for server, apps in headers.items():
        reference = apps.get("raw", {})
        for app, routes in apps.items():
            for route, got in routes.items():
                mine = {n.lower(): v for n, v in got}
                theirs = {n.lower(): v for n, v in reference.get(route, [])}
                differ = [
                    f"`{n}: {mine[n]}`" + (f" (not `{theirs[n]}`)" if n in theirs else " (added)")
                    for n in mine
                    if mine[n] != theirs.get(n)
                ] + [f"no `{n}`" for n in theirs if n not in mine]
                if differ:
                    found.append((server, app, route, ", ".join(differ)))
    return found


def section_answers(headers):
    if not headers:
        return []
    w = ["## What the apps answer\n"]
    w.append(
        "Every app answers every route with the same status and body (checked byte for byte before it is "
        "measured). Headers that differ from the bare app's on the same server (date and server name aside):\n"
    )
    differences = answer_differences(headers)
    if not differences:
        return [*w, "None.", ""]
    return [*w, *table(["server", "app", "route", "differs"], [[s, a, f"`{r}`", d] for s, a, r, d in differences]), ""]


def section_memory(memory):
    if not memory:
        return []
    w = ["## Memory while streaming 1 GiB\n"]
    w.append(
        "One response of 1 GiB (16,384 parts of 64 KiB from an async generator that makes them as fast as it is "
        "asked), read at full speed by one client over 127.0.0.1 (bench/e2e_memory.py); the server's process tree "
        "sampled every 10 ms. On uvicorn `send()` waits while the socket is full, so the producer runs at the "
        "client's pace; granian's RSGI `transport.send_bytes()` returns before the part is written, so what the "
        "producer makes faster than the socket drains is queued in the worker, for the bare app as for penmoth. "
        'What to do about it: docs/production.md, "Fast producers on granian RSGI".\n'
    )
    cells = [
        [r["server"], r["app"], f"{r['seconds']:.1f}", f"{r['before_mib']:.0f} MiB", f"+{r['peak_growth_mib']:.0f} MiB"]
        for r in memory["results"]
    ]
    return [*w, *table(["server", "app", "seconds", "resident before", "highest growth"], cells), ""]


def section_method():
    return [
        "## Method\n",
        "- The port (bench/pyport.py) is penmoth written as a careful Python engineer would write it: dict lookups "
        "for known header texts, fast paths for exact types, shared header lists, bounded caches of checked names, "
        "`async def` and async generators. tests/test_bench_smoke.py checks that it gives the same results, "
        "messages, protocol calls and errors as the module on the benchmarked inputs and on the header rule.",
        "- Each micro case runs in a pyperf worker process; cases that must call Python code have a floor case "
        "running only that code, driven the same way (the same loop, the same coroutine driving), and own = time "
        "- floor. The floor of a coroutine operation runs its callees inside a Python coroutine and takes away an "
        "empty coroutine driven the same way, so the operation's own coroutine object and its driving stay in "
        "its own cost.",
        f"- get_chunks of 1 MiB runs twice: with glibc's default allocator settings, and in a subprocess with "
        f"MALLOC_TRIM_THRESHOLD_={micro.TRIM_ENV['MALLOC_TRIM_THRESHOLD_']} (the heap is not given back after "
        "each slice is freed).",
        "- Blocks per call: bench/alloc_count.c wraps the interpreter's mem and object allocators and counts "
        "every allocation.",
        "- The frameworks are written as their own documentation shows, one handler per route; bench/e2e_apps.py "
        "counts the worker's cyclic collections through `gc.callbacks` into a shared mapping (no system call "
        "per collection), which the harness reads around the counted requests.",
        "- The machine is shared (other jobs may run): figures from one run; ratios are measured within one run.",
    ]


def write_markdown(path, data, rows, check, ratios, counted, frameworks):
    """results.md: one writer per section."""
    w = [
        *section_machine(data),
        *section_frameworks(frameworks, (data["e2e_instructions"] or {}).get("requests")),
        *section_ratios(rows, ratios),
        *section_micro(rows, check, data["allocations"], data["quick"]),
        *section_load(data["e2e"], ratios),
        *section_instructions(counted),
        *section_answers((data["e2e_instructions"] or {}).get("headers")),
        *section_memory(data["e2e_memory"]),
        *section_method(),
    ]
    path.write_text("\n".join(w) + "\n")


APP_COLORS = {"server": "#3b6ea5", "emmett55": "#8064a2", "starlette": "#c0504d", "fastapi": "#f79646"}
APP_COLORS |= {"falcon": "#4bacc6", "litestar": "#9bbb59"}


def chart_micro(ax, rows, quick):
    counted = any("ratio_i" in r for r in rows)  # in instructions where they were counted: the steadier
    key = "ratio_i" if counted else "ratio"
    shown = [r for r in rows if key in r]
    values = [r[key] if r[key] == r[key] else 0 for r in shown]
    ax.barh([r["name"] for r in shown], values, color="#3b6ea5")
    ax.axvline(1, color="black", linewidth=0.8)
    ax.set_xlabel("port own / native own" + (", in instructions" if counted else "") + " (above 1: native faster)")
    ax.set_title("micro-benchmarks" + (" (quick smoke run)" if quick else ""))
    ax.invert_yaxis()
    for i, v in enumerate(values):
        ax.text(v, i, f" {v:.2f}x", va="center", fontsize=8)


def chart_frameworks(ax, frameworks, quick):
    shown = [r for r in frameworks if r.get("over_i", 0) > 0]
    labels = [f"{r['server']} {r['route']} {'Application' if r['app'] == 'server' else r['app']}" for r in shown]
    ax.barh(labels, [r["over_i"] for r in shown], color=[APP_COLORS.get(r["app"], "gray") for r in shown])
    ax.set_xscale("log")
    ax.set_xlabel("instructions per request over the floor (log scale); ratio to Application, collections / 1000")
    ax.set_title("Application and the frameworks" + (" (quick smoke run)" if quick else ""))
    ax.invert_yaxis()
    ax.tick_params(axis="y", labelsize=7)
    for i, r in enumerate(shown):
        ratio = "" if r["app"] == "server" else f" {ratio_text(r.get('ratio_i', float('nan')))},"
        cpu = f" CPU {r['ratio_cpu']:.1f}x," if r["app"] != "server" and r.get("ratio_cpu", 0) > 0 else ""
        ax.text(r["over_i"], i, f"{ratio}{cpu} gc {r['gc_per_1000']:.0f}", va="center", fontsize=6)


def chart_load(ax, ratios, quick):
    labels, vals, colors = [], [], []
    for r in ratios:
        for key, color in (("port/penmoth", "#3b6ea5"), ("server/penmoth", "#9bbb59")):
            if key in r:
                labels.append(f"{r['server']} {r['route']} {key.split('/')[0]}")
                vals.append(r[key])
                colors.append(color)
    ax.barh(labels, vals, color=colors)
    ax.axvline(1, color="black", linewidth=0.8)
    ax.set_xlabel("server CPU per request / penmoth's (above 1: penmoth cheaper)")
    ax.set_title("end to end" + (" (quick smoke run)" if quick else ""))
    ax.invert_yaxis()
    ax.tick_params(axis="y", labelsize=7)


def write_chart(path, rows, ratios, quick, frameworks=()):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = [(chart_micro, rows), *([(chart_frameworks, frameworks)] if frameworks else [])]
    panels += [(chart_load, ratios)] if ratios else []
    fig, axes = plt.subplots(1, len(panels), figsize=(7.5 * len(panels), 7), squeeze=False)
    for ax, (draw, shown) in zip(axes[0], panels):
        draw(ax, shown, quick)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def report(out, data):
    """results.md and results.png from the measured data."""
    rows = micro_rows(data["micro"], data["micro_instructions"])
    check = header_check_cost(data["micro"])
    ratios = e2e_ratios(data["e2e"]) if data["e2e"] else []
    counted = instruction_rows(data["e2e_instructions"]) if data["e2e_instructions"] else []
    frameworks = framework_rows(counted, data["e2e"])
    write_markdown(out / "results.md", data, rows, check, ratios, counted, frameworks)
    if data.get("ws_instructions"):
        with open(out / "results.md", "a") as f:
            f.write(ws_instructions.markdown(data["ws_instructions"]))
    if data.get("files"):
        with open(out / "results.md", "a") as f:
            f.write(files.markdown(data["files"]))
    write_chart(out / "results.png", rows, ratios, data["quick"], frameworks)
    return rows, check, ratios, frameworks


def print_summary(data, rows, check, ratios, frameworks):
    print(f"\n{'operation':40} {'native own':>12} {'port own':>12} {'ratio':>8}")
    for r in rows:
        print(f"{r['name']:40} {fmt(r['native_own']):>12} {fmt(r['port_own']):>12} {r['ratio']:7.2f}x")
    print(f"header check, 12 headers: native {fmt(check['native'])}, port {fmt(check['port'])}")
    for name, row in data["allocations"]["cases"].items():
        print(f"blocks per call {name}: native {row['native']:.2f}, port {row['port']:.2f}")
    for r in ratios:
        print(
            f"e2e {r['server']:13} {r['route']:8} penmoth {r['penmoth_cpu']:.1f} us CPU/req; "
            + ", ".join(f"{k} {r[k]:.2f}x" for k in ("port/penmoth", "server/penmoth") if k in r)
        )
    for r in frameworks:
        print(
            f"{r['server']:13} {r['route']:8} {r['app']:10} over {r['floor']}: {r.get('over_i', float('nan')):+9.0f} "
            f"instructions ({ratio_text(r.get('ratio_i', float('nan')))}), "
            f"{r.get('over_cpu', float('nan')):+7.1f} us CPU, {r['gc_per_1000']:.0f} collections/1000"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run: one iteration per case, 1 s wrk runs")
    parser.add_argument("--no-e2e", action="store_true", help="skip the end-to-end load")
    parser.add_argument("--out", type=Path, default=HERE, help="where results.md, .png and .json go")
    parser.add_argument("--render", type=Path, help="write the report again from a results.json, measuring nothing")
    args = parser.parse_args()
    if args.render:
        data = json.loads(args.render.read_text())
        report(args.out, data)
        return
    started = time.monotonic()

    def phase(name):
        print(f"==> {name} ({time.monotonic() - started:.0f} s in)", flush=True)

    with tempfile.TemporaryDirectory(prefix="morrowfen-bench-") as tmp:
        tmp = Path(tmp)
        phase("micro-benchmarks")
        figures = run_micro(tmp, args.quick)
        phase("micro-benchmarks in instructions (callgrind)")
        counts = run_micro_instructions(tmp, args.quick)
        phase("blocks allocated per call")
        allocs = run_allocations()
        wrk = instructions = memory = ws = file_figures = None
        if not args.no_e2e:
            phase("end to end, instructions and collections per request (callgrind)")
            instructions = run_e2e_instructions(tmp, args.quick)
            phase("WebSocket messages, instructions per message (callgrind)")
            ws = run_ws_instructions(tmp, args.quick)
            phase("memory while streaming 1 GiB")
            memory = run_e2e_memory(tmp, args.quick)
            phase("files of 1 MiB and 64 MiB")
            file_figures = run_files(tmp, args.quick)
            phase("end to end under load (wrk)")
            wrk = run_e2e(tmp, args.quick, BUDGET_S - (time.monotonic() - started))
    data = {
        "quick": args.quick,
        "machine": machine(),
        "elapsed_s": time.monotonic() - started,
        "micro": figures,
        "micro_instructions": counts,
        "allocations": allocs,
        "e2e": wrk,
        "e2e_instructions": instructions,
        "e2e_memory": memory,
        "ws_instructions": ws,
        "files": file_figures,
    }
    (args.out / "results.json").write_text(json.dumps(data, indent=1))
    print_summary(data, *report(args.out, data))
    print(f"\nwrote results.md, .png and .json in {args.out} in {data['elapsed_s']:.0f} s")


if __name__ == "__main__":
    main()
