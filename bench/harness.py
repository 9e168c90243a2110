"""What the benchmark modules share: the rows of the result table, the timed
cases they compare, and the bare C floors built with CMake.

A benchmark module (bench/bench_<group>.py) defines `rows()`, returning Row
objects. Making rows must be cheap: the data a case needs is made by its
setup function, only in the worker process that times that case, and once
per process however many cases use it."""

import functools
import importlib
import itertools
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent
BUILD = ROOT.parent / "build" / "bench-floors"


@dataclass(frozen=True)
class Case:
    """One timed statement: `stmt` run with the names that `setup()` returns
    as local variables. `inner` repeats the statement within one loop, for
    statements so short that the loop itself would count."""
    name: str
    stmt: str
    setup: object  # () -> dict of names
    inner: int = 1


@dataclass(frozen=True)
class Row:
    """Ours against one baseline, timed in the same run. `goal` bounds the
    ratio ours/baseline of their mean times; `note` is shown beside it."""
    group: str
    label: str
    ours: Case
    baseline: Case
    versus: str
    goal: float | None = None
    note: str = ""


@dataclass
class Memory:
    """Peak memory a call allocates beyond its result (bytes)."""
    label: str
    peak: int
    result: int
    extra: dict = field(default_factory=dict)


def memo(fn):
    """Setup functions run once per process."""
    return functools.cache(fn)


def time_func(case):
    """pyperf's time function for `case`: `loops` runs of its statement."""
    names = None
    compiled = None

    def run(loops):
        nonlocal names, compiled
        if compiled is None:
            names = case.setup()
            params = ", ".join(names)
            body = "; ".join([case.stmt] * case.inner)
            src = (f"def _timed(_it, _timer, {params}):\n"
                   f"    _t0 = _timer()\n"
                   f"    for _ in _it:\n"
                   f"        {body}\n"
                   f"    return _timer() - _t0\n")
            ns = {}
            exec(compile(src, f"<bench {case.name}>", "exec"), ns)
            compiled = ns["_timed"]
        return compiled(itertools.repeat(None, loops), time.perf_counter, **names)

    return run


def groups():
    """The benchmark modules' names, in file order."""
    return sorted(p.stem[len("bench_"):] for p in ROOT.glob("bench_*.py"))


def load_rows(wanted=None):
    sys.path.insert(0, str(ROOT))
    rows = []
    for group in groups():
        if wanted and group not in wanted:
            continue
        rows.extend(importlib.import_module(f"bench_{group}").rows())
    return rows


def cmake():
    """CMake from PATH, else the one the `bench` extra installs."""
    found = shutil.which("cmake")
    if found:
        return found
    local = Path(sys.executable).parent / "cmake"
    if local.exists():
        return str(local)
    raise SystemExit("CMake is needed to build the benchmark floors: install the 'bench' extra")


def build_floors(quiet=True):
    """Configures and builds bench/CMakeLists.txt for this interpreter."""
    out = subprocess.DEVNULL if quiet else None
    subprocess.run([cmake(), "-S", str(ROOT), "-B", str(BUILD), f"-DPython_EXECUTABLE={sys.executable}",
                    "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=out)
    subprocess.run([cmake(), "--build", str(BUILD)], check=True, stdout=out)


def floor(name):
    """A floor module built by build_floors()."""
    path = str(BUILD / "modules")
    if path not in sys.path:
        sys.path.insert(0, path)
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        raise SystemExit(f"floor {name!r} is not built ({exc}): run bench/run.py, which builds it") from None
