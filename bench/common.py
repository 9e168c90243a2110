"""Shared helpers for the benchmarks: timing, the result table, and building
the bare C floors that some workloads are measured against."""

import importlib.util
import os
import subprocess
import sys
import sysconfig
import timeit
from pathlib import Path

ROOT = Path(__file__).resolve().parent
ROWS = []


def best(stmt, namespace=None, *, repeat=7, budget=0.2):
    """Best time of one run of `stmt` (a statement text run in `namespace`,
    or a callable taking no arguments), in seconds."""
    timer = timeit.Timer(stmt, globals=namespace)
    number = 1
    while timer.timeit(number) < budget / 4 and number < 1 << 24:
        number *= 4
    # The loop's own cost is measured alongside and taken off, so that short
    # statements compare by their own cost.
    empty = timeit.Timer("pass", globals=namespace)
    t = min(timer.repeat(repeat, number)) / number
    return max(t - min(empty.repeat(repeat, number)) / number, 1e-12)


def paired(ours, theirs, namespace=None, *, rounds=5):
    """Best times of two statements measured in turns: on a busy machine a
    single pair of timings can land in different load."""
    times = [(best(ours, namespace), best(theirs, namespace)) for _ in range(rounds)]
    return min(t[0] for t in times), min(t[1] for t in times)


def record(workload, ours, baseline, baseline_name, goal=None):
    """One row: our time against a baseline measured in the same run."""
    ROWS.append((workload, ours, baseline, baseline_name, goal))


def report():
    head = f"{'workload':52} {'ours':>10} {'baseline':>10} {'vs':24} {'ratio':>6} {'goal':>7}"
    print(head)
    print("-" * len(head))
    for workload, ours, baseline, name, goal in ROWS:
        ratio = ours / baseline
        mark = "" if goal is None else (f"<={goal:g}" + (" ok" if ratio <= goal else " !!"))
        print(f"{workload:52} {_fmt(ours):>10} {_fmt(baseline):>10} {name:24} {ratio:6.2f} {mark:>7}")


def _fmt(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g}{unit}"
    return f"{seconds / 1e-9:.3g}ns"


def build_floor(name):
    """Compile bench/<name>.c into an extension module and import it."""
    source = ROOT / f"{name}.c"
    out_dir = ROOT.parent / "build" / "bench"
    out_dir.mkdir(parents=True, exist_ok=True)
    target = out_dir / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    if not target.exists() or target.stat().st_mtime < source.stat().st_mtime:
        cc = os.environ.get("CC", "cc")
        include = sysconfig.get_paths()["include"]
        subprocess.run([cc, "-O2", "-shared", "-fPIC", f"-I{include}", str(source), "-o", str(target)],
                       check=True)
    spec = importlib.util.spec_from_file_location(name, target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules[name] = module
    return module
