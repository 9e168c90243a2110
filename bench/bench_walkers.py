"""murkfold and starveil against a pure-Python version of the same walk and
against a bare C floor (bench/floor_walkers.c) that only rebuilds the same
containers and returns the leaves."""

import tracemalloc

from common import best, build_floor, record

import tools.common.murkfold as murk
from tools.common.murkfold import murkfold
from tools.common.starveil import starveil

_OPEN = "\n{\n"
_CLOSE = "\n...big-content hidden...\n}\n                "
_FAILED = _OPEN + "Hidden: Content too large for string conversion" + _CLOSE


def py_murkfold(value=None):
    if value is None:
        value = ""
    if isinstance(value, dict):
        return {k: py_murkfold(value=v) for k, v in value.items()}
    if isinstance(value, list):
        return [py_murkfold(value=v) for v in value]
    if isinstance(value, tuple):
        return tuple(py_murkfold(value=v) for v in value)
    try:
        kind = type(value)
        text = value if kind is str else repr(value) if kind is int or kind is float else format(value, "")
    except ValueError:
        return _FAILED
    if len(text) > murk._const.char_limit:
        return _OPEN + text[:murk._const.char_limit] + _CLOSE
    return value


def py_starveil(name=None, value=None):
    if name is None:
        name = ""
    if value is None:
        value = ""
    if isinstance(value, dict):
        return {k: py_starveil(name=k, value=v) for k, v in value.items()}
    if isinstance(value, list):
        return [py_starveil(name=name, value=v) for v in value]
    if isinstance(value, tuple):
        return tuple(py_starveil(name=name, value=v) for v in value)
    if isinstance(value, str):
        lowered = name.lower()
        if "password" in lowered or "pwd" in lowered:
            return "*" * len(value)
    return value


def records(n):
    return [{"id": i, "name": f"user{i}", "email": f"user{i}@example.com", "password": f"secret{i}",
             "profile": {"Password": "hunter2", "city": "Paris", "zip": "75001"},
             "tags": ["a", "b", f"t{i % 7}"], "point": (1.5, "x"), "note": "short note"} for i in range(n)]


def peak_over_result(fn, value):
    """Peak memory traced during one call, and what the result itself keeps."""
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        base = tracemalloc.get_traced_memory()[0]
        result = fn(value=value)
        kept, peak = tracemalloc.get_traced_memory()
        del result
        return peak - base, kept - base
    finally:
        tracemalloc.stop()


def memory():
    deep = "x"
    for _ in range(900):
        deep = [deep, {"pwd": "y"}]
    print("working memory beyond the result (peak during the call minus what the result keeps):")
    for label, value in (("100,000 nested records", records(100_000)), ("900 levels of nesting", deep)):
        for fn in (murkfold, starveil):
            peak, kept = peak_over_result(fn, value)
            print(f"  {fn.__name__:9} {label:24} peak {peak / 1e6:8.2f} MB, result {kept / 1e6:8.2f} MB,"
                  f" beyond it {(peak - kept) / 1e3:7.1f} kB")


def run():
    memory()
    floor = build_floor("floor_walkers").rebuild
    data = {
        "100,000 nested records": records(100_000),
        "1,000,000 short strings": [f"s{i % 1000}" for i in range(1_000_000)],
        "1,000,000 small ints": list(range(1_000_000)),
        "100,000 floats": [i * 0.5 for i in range(100_000)],
    }
    ns = {"murkfold": murkfold, "starveil": starveil, "floor": floor, "py_murkfold": py_murkfold,
          "py_starveil": py_starveil, **{f"d{i}": d for i, d in enumerate(data.values())}}
    assert murkfold(value=data["100,000 nested records"]) == py_murkfold(value=data["100,000 nested records"])
    assert starveil(value=data["100,000 nested records"]) == py_starveil(value=data["100,000 nested records"])
    for i, workload in enumerate(data):
        calls = [("murkfold", f"murkfold(value=d{i})", f"py_murkfold(value=d{i})")]
        if i < 2:
            calls.append(("starveil", f"starveil(name='user', value=d{i})", f"py_starveil(name='user', value=d{i})"))
        for fn, ours, python in calls:
            t = best(ours, ns, repeat=5, budget=0.5)
            record(f"{fn}: {workload}", t, best(f"floor(d{i})", ns, repeat=5, budget=0.5), "C floor", 2)
            if i == 0:
                record(f"{fn}: {workload}", t, best(python, ns, repeat=3, budget=0.5), "pure-Python version")
    record("murkfold(value='abc')", best("murkfold(value='abc')", ns), best("py_murkfold(value='abc')", ns),
           "pure-Python version", 0.35)
    record("starveil(name='password', value='abc')", best("starveil(name='password', value='abc')", ns),
           best("py_starveil(name='password', value='abc')", ns), "pure-Python version", 0.35)
