"""Runs the benchmarks and writes their results:

    python bench/run.py [--quick] [--processes N] [--values N] [GROUP ...]
    python bench/run.py --instructions [GROUP ...]   (see bench/instructions.py)

builds the bare C floors (bench/CMakeLists.txt), times every case with
pyperf in worker processes (bench/suite.py), measures the walkers' working
memory, then writes bench/results/latest.json (pyperf's format: compare two
runs with `python -m pyperf compare_to old.json new.json`; the run before is
kept as previous.json), latest.md (the table) and speedup.png (the chart),
and prints the table. GROUP names pick benchmark modules (bench/bench_<GROUP>.py)."""

import argparse
import importlib
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402
import report  # noqa: E402


def main(argv):
    if "--instructions" in argv:  # counted with valgrind instead of timed: bench/instructions.py
        import instructions

        return instructions.main([a for a in argv if a != "--instructions"])
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("groups", nargs="*", help=f"benchmark modules (default: all of {', '.join(harness.groups())})")
    parser.add_argument("--quick", action="store_true", help="few processes and short values: for iterating")
    parser.add_argument("--processes", type=int, help="worker processes per case (default 6; --quick 2)")
    parser.add_argument("--values", type=int, help="timed values per process (default 3; --quick 2)")
    parser.add_argument("--out", type=Path, default=harness.ROOT / "results", help="results directory")
    args = parser.parse_args(argv)
    unknown = set(args.groups) - set(harness.groups())
    if unknown:
        parser.error(f"no benchmark module named {', '.join(sorted(unknown))}")

    harness.build_floors()
    args.out.mkdir(parents=True, exist_ok=True)
    latest = args.out / "latest.json"
    if latest.exists():
        latest.replace(args.out / "previous.json")
    processes = args.processes or (2 if args.quick else 6)
    values = args.values or (2 if args.quick else 3)
    started, load_before = time.time(), report.load_average()
    cmd = [sys.executable, str(harness.ROOT / "suite.py"), "-o", str(latest), "--processes", str(processes),
           "--values", str(values), "--warmups", "1", "--quiet", "--min-time", "0.05" if args.quick else "0.1"]
    if args.groups:
        cmd += ["--groups", ",".join(args.groups)]
    subprocess.run(cmd, check=True)

    memory = []
    for group in args.groups or harness.groups():
        module = importlib.import_module(f"bench_{group}")
        if hasattr(module, "memory"):
            memory.extend(module.memory())
    run = {"seconds": time.time() - started, "load": (load_before, report.load_average()),
           "processes": processes, "values": values, "command": "./dev bench " + " ".join(argv)}
    table = report.write(latest, memory, run, args.out)
    print()
    print(table)


if __name__ == "__main__":
    main(sys.argv[1:])
