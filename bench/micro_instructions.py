"""The micro-benchmark cases in instructions: each case under callgrind.

Time on a shared machine moves from run to run (a case can come out at
twice its usual time in one pyperf worker); instruction counts do not. Each
case (bench/micro.py) runs in its own process under callgrind: a warm-up,
then the counters are dumped around LOOPS calls and around none, and the
difference, divided by LOOPS, is the instructions of one call, the loop
included, as in the timed cases.

    .venv/bin/python bench/micro_instructions.py [--quick] [-o micro-instructions.json]
"""

import argparse
import concurrent.futures
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
LOOPS = 400
JOBS = 2  # cases counted at once


def callgrind_missing():
    """Why nothing can be counted here, or None when callgrind is there."""
    for tool in ("valgrind", "callgrind_control"):
        if shutil.which(tool) is None:
            return f"{tool} is not installed (apt-get install -y valgrind; ./dev bench installs it)"
    return None


def total(dump):
    for line in dump.read_text(errors="replace").splitlines():
        if line.startswith(("summary:", "totals:")):
            return int(line.split()[1])
    raise RuntimeError(f"no totals in {dump}")


def child(name, loops):
    """Runs inside callgrind: the case, with a dump before and after each part."""
    sys.path.insert(0, str(HERE))
    import micro

    run = dict(micro.cases([name.rsplit(" ", 1)[0] if name != micro.EMPTY_COROUTINE else name]))[name]
    run(max(loops // 4, 50))  # warm-up: caches, specialisation, free lists

    def dump():
        subprocess.run(["callgrind_control", "-d", str(os.getpid())], capture_output=True, check=True)

    dump()  # 1: start-up and warm-up
    run(loops)
    dump()  # 2: the loops, and one dump call
    run(0)
    dump()  # 3: no loop, and one dump call


def measure(name, loops):
    out_dir = Path(tempfile.mkdtemp(prefix="morrowfen-micro-cg-"))
    try:
        subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                f"--callgrind-out-file={out_dir}/cg.out",
                sys.executable,
                __file__,
                "--child",
                name,
                str(loops),
            ],
            capture_output=True,
            check=True,
            env={**os.environ, **{"PYTHONHASHSEED": "0"}},
            timeout=600,
        )
        dumps = {int(p.name.rsplit(".", 1)[1]): total(p) for p in out_dir.glob("cg.out.*")}
        return (dumps[2] - dumps[3]) / loops
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)


def run(quick=False, log=print):
    sys.path.insert(0, str(HERE))
    import micro

    loops = 20 if quick else LOOPS
    names = [micro.EMPTY_COROUTINE]
    for op, (_, _, floor) in micro.OPERATIONS.items():
        names += micro.case_names(op, floor is not None)
    result = {}
    with concurrent.futures.ThreadPoolExecutor(JOBS) as pool:  # a count does not depend on the machine's load
        for name, count in zip(names, pool.map(measure, names, [loops] * len(names))):
            result[name] = count
            log(f"{name:55} {count:12.0f} instructions/call")
    return {"loops": loops, "cases": result}


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="20 loops per case")
    parser.add_argument("-o", "--output", help="write the results as JSON")
    args = parser.parse_args()
    if missing := callgrind_missing():
        sys.exit(missing)
    data = run(args.quick)
    if args.output:
        Path(args.output).write_text(json.dumps(data, indent=1))


if __name__ == "__main__":
    main()
