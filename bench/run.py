"""All the benchmarks in one run: the micro-benchmarks (bench/micro.py, pyperf),
get_chunks again with the heap trim threshold raised, blocks allocated per
call, and the end-to-end load (bench/e2e.py, wrk). Writes bench/results.md and
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


BUDGET_S = 13 * 60  # with the set-up before it, ./dev bench stays under 15 minutes


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


# Per server: the app each app's instructions are set against, and why.
INSTRUCTION_BASES = {
    "raw_read": "raw",
    "penmoth": "raw",
    "penmoth_request": "penmoth",
    "server": "penmoth_request",
}


def instruction_rows(data):
    """Per server and route: every app's instructions per request, and each
    over the app it builds on (Application over penmoth on RSGI, where the
    penmoth app builds the Request too; over penmoth_request on ASGI)."""
    by = {(r["server"], r["route"], r["app"]): r["instructions"] for r in data["results"]}
    rows = []
    for (server, route, app), count in by.items():
        base = INSTRUCTION_BASES.get(app)
        if base and (server, route, base) not in by:
            base = "penmoth" if app == "server" else None
        row = {"server": server, "route": route, "app": app, "instructions": count}
        if base and (server, route, base) in by:
            row["base"] = base
            row["over base"] = count - by[(server, route, base)]
        for floor in ("raw", "raw_read"):
            if app not in ("raw", floor) and (server, route, floor) in by:
                row[f"over {floor}"] = count - by[(server, route, floor)]
        rows.append(row)
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
        for other in ("port", "starlette", "server"):
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


def write_markdown(path, quick, info, rows, check, allocs, e2e, ratios, elapsed, counted=(), memory=None):
    w = []
    w.append("# Benchmarks of morrowfen.penmoth\n")
    if quick:
        w.append(
            "**A `--quick` smoke run: one iteration per micro case and one 1 s wrk run per figure; "
            "the figures show that the harness works, not how fast anything is.**\n"
        )
    w.append("## Machine\n")
    w.append("| nproc | CPU | kernel | Python | date | run time |\n|---|---|---|---|---|---|")
    w.append(
        f"| {info['nproc']} | {info['cpu']} | {info['kernel']} | {info['python']} | {info['date']} "
        f"| {elapsed:.0f} s |\n"
    )
    w.append("## The ratios that count\n")
    w.append(
        "Time of the plain-Python port (bench/pyport.py) over the time of the native module, "
        "both less the floor (the Python code the operation must call: a protocol method, `send`, "
        "an async generator), measured in the same run. Above 1: native is faster.\n"
    )
    w.append(
        "The same in instructions (callgrind, bench/micro_instructions.py) does not move from run to run, "
        "as time does on a shared machine.\n"
    )
    w.append(
        "| operation | port own / native own, time | in instructions | native own, instructions |\n|---|---|---|---|"
    )
    for r in rows:
        in_instructions = f"{ratio_text(r['ratio_i'])} | {r['native_own_i']:.0f}" if "ratio_i" in r else "- | -"
        w.append(f"| `{r['name']}` | {ratio_text(r['ratio'])} | {in_instructions} |")
    if ratios:
        w.append(
            "\nEnd to end, server CPU per request relative to the app through penmoth "
            "(above 1: penmoth uses less CPU):\n"
        )
        w.append(
            "| server | route | port / penmoth | starlette / penmoth | Application / penmoth |\n|---|---|---|---|---|"
        )
        for r in ratios:
            cells = [f"{r[k]:.2f}x" if k in r else "-" for k in ("port/penmoth", "starlette/penmoth", "server/penmoth")]
            w.append(f"| {r['server']} | `{r['route']}` | " + " | ".join(cells) + " |")
    w.append("\n## Micro-benchmarks\n")
    w.append(
        "Medians from pyperf ("
        + (
            "one process, one value, one iteration"
            if quick
            else "4 processes, 1 warm-up and 3 values each, loops calibrated to 50 ms or more"
        )
        + "). "
        "own = time - floor.\n"
    )
    w.append(
        "| operation | what | native | port | floor | native own | port own | ratio |\n"
        "|---|---|---|---|---|---|---|---|"
    )
    for r in rows:
        w.append(
            f"| `{r['name']}` | {r['what']} | {fmt(r['native'])} | {fmt(r['port'])} | {fmt(r['floor'])} "
            f"| {fmt(r['native_own'])} | {fmt(r['port_own'])} | {ratio_text(r['ratio'])} |"
        )
    w.append("\n### The header check\n")
    w.append(
        "`send_rsgi_response_sync` with 12 raw headers minus the same call whose headers are the "
        "prebuilt list: what converting and checking 12 headers costs.\n"
    )
    w.append("| | native | port |\n|---|---|---|")
    w.append(f"| 12 headers | {fmt(check['native'])} | {fmt(check['port'])} |")
    w.append(f"| per header | {fmt(check['native'] / 12)} | {fmt(check['port'] / 12)} |")
    w.append("\n### Blocks allocated per call\n")
    w.append(
        f"Method: {allocs['method']}, {allocs['calls']} calls after a warm-up; the result is dropped "
        "inside the loop, so its own blocks count.\n"
    )
    w.append("| case | native | port | floor |\n|---|---|---|---|")
    for name, row in allocs["cases"].items():
        w.append(
            f"| `{name}` | {row['native']:.2f} | {row['port']:.2f} | {row['floor']:.2f} |"
            if "floor" in row
            else f"| `{name}` | {row['native']:.2f} | {row['port']:.2f} | - |"
        )
    if e2e:
        w.append("\n## End to end\n")
        w.append(
            f"wrk -t1 -c32, {e2e['duration_s']} s per run, against one server worker on 127.0.0.1; "
            f"median of {e2e['rounds']} alternating run(s) per figure"
            + (", after a 1 s warm-up run" if e2e.get("warmup_s") else "")
            + ". CPU: utime + stime of the server's process tree (/proc) over the run, per request. "
            "granian 1 worker; uvicorn with uvloop and httptools. Apps: `raw` bare callables that write "
            "the response themselves, `raw_read` (RSGI) the same after reading the request from the "
            "scope, `penmoth` Response objects through morrowfen.penmoth (RSGI: the "
            "request through instantiate_rsgi_request too), `port` the same through bench/pyport.py, "
            "`starlette` Starlette on uvicorn"
            + (
                ", `server` morrowfen.server.Application"
                if e2e["server_module"]
                else "; morrowfen.server was not there, so its rows are missing"
            )
            + ".\n"
        )
        for skip in e2e.get("skipped", []):
            last = skip["reason"].strip().splitlines()[-1:] or ["no output"]
            w.append(f"- {skip['server']}/{skip['app']} was skipped: it did not serve (`{last[0][:160]}`).")
        if e2e.get("skipped"):
            w.append("")
        w.append("| server | app | route | requests/s | CPU us/request | failed |\n|---|---|---|---|---|---|")
        for r in e2e["results"]:
            w.append(
                f"| {r['server']} | {r['app']} | `{r['route']}` | {r['rps']:.0f} | "
                f"{r['cpu_us_per_request']:.1f} | {r['failed']} |"
            )
        if ratios:
            w.append(
                "\nCPU per request over the bare app (us; noisy, a difference of two measurements). "
                "`raw_read` (RSGI only) is the bare app that also asks the server for the request's "
                "headers, method, path and query, as any framework must: what is left of "
                "`penmoth - raw_read` is the cost of building the framework's objects and answering "
                "through them. `Application - penmoth` is what morrowfen.server.Application adds.\n"
            )
            w.append(
                "| server | route | penmoth - raw | penmoth - raw_read | port - raw | Application - penmoth |\n"
                "|---|---|---|---|---|---|"
            )

            def cell(r, key):
                return f"{r[key]:.1f}" if key in r else "-"

            for r in ratios:
                w.append(
                    f"| {r['server']} | `{r['route']}` | {cell(r, 'penmoth over raw')} | "
                    f"{cell(r, 'penmoth over raw_read')} | {cell(r, 'port over raw')} | "
                    f"{cell(r, 'server over penmoth')} |"
                )
    if counted:
        w.append("\n## End to end in instructions\n")
        w.append(
            "The server worker under callgrind (bench/e2e_instructions.py): per route, one keep-alive "
            "client, a warm-up, then requests one at a time; instructions of the worker process (its "
            "event loop and the server's threads) per request, user space only. These do not move from "
            "run to run as CPU time does. `raw_read` is the bare RSGI app that also reads the request "
            "from the scope (headers, method, path, query): the floor of request intake. "
            "`penmoth_request` is the ASGI app through penmoth that also builds the Request as "
            "Application does (penmoth has no ASGI intake, so the plain `penmoth` ASGI app builds none).\n"
        )
        w.append(
            "| server | route | app | instructions/request | over raw | over raw_read | over the app it builds on |\n"
            "|---|---|---|---|---|---|---|"
        )

        def signed(r, key):
            return f"{r[key]:+.0f}" if key in r else "-"

        for r in counted:
            over = f"{r['over base']:+.0f} (over {r['base']})" if "base" in r and r["base"] != "raw" else "-"
            w.append(
                f"| {r['server']} | `{r['route']}` | {r['app']} | {r['instructions']:.0f} | "
                f"{signed(r, 'over raw')} | {signed(r, 'over raw_read')} | {over} |"
            )
    if memory:
        w.append("\n## Memory while streaming 1 GiB\n")
        w.append(
            "One response of 1 GiB (16,384 parts of 64 KiB from an async generator that makes them as fast "
            "as it is asked), read at full speed by one client over 127.0.0.1 (bench/e2e_memory.py); the "
            "server's process tree sampled every 10 ms. On uvicorn `send()` waits while the socket is full, "
            "so the producer runs at the client's pace; granian's RSGI `transport.send_bytes()` returns "
            "before the part is written, so what the producer makes faster than the socket drains is queued "
            "in the worker, for the bare app as for penmoth. What to do about it: docs/production.md, "
            '"Fast producers on granian RSGI".\n'
        )
        w.append("| server | app | seconds | resident before | highest growth |\n|---|---|---|---|---|")
        for r in memory["results"]:
            w.append(
                f"| {r['server']} | {r['app']} | {r['seconds']:.1f} | {r['before_mib']:.0f} MiB | "
                f"+{r['peak_growth_mib']:.0f} MiB |"
            )
    w.append("\n## Method\n")
    w.append(
        "- The port (bench/pyport.py) is penmoth written as a careful Python engineer would write it: "
        "dict lookups for known header texts, fast paths for exact types, shared header lists, bounded "
        "caches of checked names, `async def` and async generators. tests/test_bench_smoke.py checks "
        "that it gives the same results, messages, protocol calls and errors as the module on the "
        "benchmarked inputs and on the header rule."
    )
    w.append(
        "- Each micro case runs in a pyperf worker process; cases that must call Python code have a "
        "floor case running only that code, driven the same way (the same loop, the same coroutine "
        "driving), and own = time - floor. The floor of a coroutine operation runs its callees inside "
        "a Python coroutine and takes away an empty coroutine driven the same way, so the operation's "
        "own coroutine object and its driving stay in its own cost."
    )
    w.append(
        f"- get_chunks of 1 MiB runs twice: with glibc's default allocator settings, and in a "
        f"subprocess with MALLOC_TRIM_THRESHOLD_={micro.TRIM_ENV['MALLOC_TRIM_THRESHOLD_']} "
        "(the heap is not given back after each slice is freed)."
    )
    w.append(
        "- Blocks per call: bench/alloc_count.c wraps the interpreter's mem and object allocators and "
        "counts every allocation."
    )
    w.append("- The machine is shared (other jobs may run): figures from one run; ratios are measured within one run.")
    path.write_text("\n".join(w) + "\n")


def write_chart(path, rows, ratios, quick):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = 2 if ratios else 1
    fig, axes = plt.subplots(1, panels, figsize=(7 * panels, 5.5), squeeze=False)
    ax = axes[0][0]
    # in instructions where they were counted: the steadier of the two
    counted = any("ratio_i" in r for r in rows)
    key = "ratio_i" if counted else "ratio"
    shown = [r for r in rows if key in r]
    names = [r["name"] for r in shown]
    values = [r[key] if r[key] == r[key] else 0 for r in shown]
    ax.barh(names, values, color="#3b6ea5")
    ax.axvline(1, color="black", linewidth=0.8)
    ax.set_xlabel("port own / native own" + (", in instructions" if counted else "") + " (above 1: native faster)")
    ax.set_title("micro-benchmarks" + (" (quick smoke run)" if quick else ""))
    ax.invert_yaxis()
    for i, v in enumerate(values):
        ax.text(v, i, f" {v:.2f}x", va="center", fontsize=8)
    if ratios:
        ax = axes[0][1]
        labels, vals, colors = [], [], []
        for r in ratios:
            for key, color in (
                ("port/penmoth", "#3b6ea5"),
                ("starlette/penmoth", "#c0504d"),
                ("server/penmoth", "#9bbb59"),
            ):
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
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def report(out, data):
    """results.md and results.png from the measured data."""
    rows = micro_rows(data["micro"], data["micro_instructions"])
    check = header_check_cost(data["micro"])
    e2e = data["e2e"]
    ratios = e2e_ratios(e2e) if e2e else []
    counted = instruction_rows(data["e2e_instructions"]) if data["e2e_instructions"] else []
    write_markdown(
        out / "results.md",
        data["quick"],
        data["machine"],
        rows,
        check,
        data["allocations"],
        e2e,
        ratios,
        data["elapsed_s"],
        counted,
        data["e2e_memory"],
    )
    if data.get("ws_instructions"):
        with open(out / "results.md", "a") as f:
            f.write(ws_instructions.markdown(data["ws_instructions"]))
    write_chart(out / "results.png", rows, ratios, data["quick"])
    return rows, check, ratios


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
    with tempfile.TemporaryDirectory(prefix="morrowfen-bench-") as tmp:
        tmp = Path(tmp)
        print("==> micro-benchmarks", flush=True)
        figures = run_micro(tmp, args.quick)
        print("==> micro-benchmarks in instructions (callgrind)", flush=True)
        counts = run_micro_instructions(tmp, args.quick)
        print("==> blocks allocated per call", flush=True)
        allocs = run_allocations()
        e2e = instructions = memory = ws = None
        if not args.no_e2e:
            print("==> end to end, instructions per request (callgrind)", flush=True)
            instructions = run_e2e_instructions(tmp, args.quick)
            print("==> WebSocket messages, instructions per message (callgrind)", flush=True)
            ws = run_ws_instructions(tmp, args.quick)
            print("==> memory while streaming 1 GiB", flush=True)
            memory = run_e2e_memory(tmp, args.quick)
            print("==> end to end under load (wrk)", flush=True)
            e2e = run_e2e(tmp, args.quick, BUDGET_S - (time.monotonic() - started))
    data = {
        "quick": args.quick,
        "machine": machine(),
        "elapsed_s": time.monotonic() - started,
        "micro": figures,
        "micro_instructions": counts,
        "allocations": allocs,
        "e2e": e2e,
        "e2e_instructions": instructions,
        "e2e_memory": memory,
        "ws_instructions": ws,
    }
    (args.out / "results.json").write_text(json.dumps(data, indent=1))
    rows, check, ratios = report(args.out, data)
    allocs = data["allocations"]
    print(f"\n{'operation':40} {'native own':>12} {'port own':>12} {'ratio':>8}")
    for r in rows:
        print(f"{r['name']:40} {fmt(r['native_own']):>12} {fmt(r['port_own']):>12} {r['ratio']:7.2f}x")
    print(f"header check, 12 headers: native {fmt(check['native'])}, port {fmt(check['port'])}")
    for name, row in allocs["cases"].items():
        print(f"blocks per call {name}: native {row['native']:.2f}, port {row['port']:.2f}")
    for r in ratios:
        print(
            f"e2e {r['server']:13} {r['route']:8} penmoth {r['penmoth_cpu']:.1f} us CPU/req; "
            + ", ".join(f"{k} {r[k]:.2f}x" for k in ("port/penmoth", "starlette/penmoth", "server/penmoth") if k in r)
        )
    print(f"\nwrote results.md, .png and .json in {args.out} in {data['elapsed_s']:.0f} s")


if __name__ == "__main__":
    main()
