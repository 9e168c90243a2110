"""murkfold and starveil against bare C floors (bench/floor_walkers.c), which
rebuild the same containers and make the same new strings (each excerpt and
each mask in one allocation and one copy), and against pure-Python versions
of the same walk."""

import tracemalloc

from harness import Case, Memory, Row, floor, memo

_OPEN = "\n{\n"
_CLOSE = "\n...big-content hidden...\n}\n                "
_FAILED = _OPEN + "Hidden: Content too large for string conversion" + _CLOSE
LIMIT = 4000


def py_murkfold(value=None):
    import tools.common.murkfold as murk

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


DATA = {
    "records": ("100,000 nested records", lambda: records(100_000)),
    "strings": ("1,000,000 short strings", lambda: [f"s{i % 1000}" for i in range(1_000_000)]),
    "ints": ("1,000,000 small ints", lambda: list(range(1_000_000))),
    "floats": ("100,000 floats", lambda: [i * 0.5 for i in range(100_000)]),
    "long": ("1,000 strings of 10,000 characters, all hidden",
             lambda: [(chr(97 + i % 26) * 10) * 1000 for i in range(1000)]),
}


@memo
def names():
    from tools.common.murkfold import murkfold
    from tools.common.starveil import starveil

    fw = floor("floor_walkers")
    return {"murkfold": murkfold, "starveil": starveil, "py_murkfold": py_murkfold, "py_starveil": py_starveil,
            "fold": fw.fold, "veil": fw.veil, "bare": fw.bare, "bare_mask": fw.bare_mask, "LIMIT": LIMIT}


@memo
def data(key):
    return DATA[key][1]()


def with_data(key):
    return memo(lambda: {**names(), "d": data(key)})


def rows():
    out = []
    walks = [("murkfold", "records"), ("murkfold", "strings"), ("murkfold", "ints"), ("murkfold", "floats"),
             ("murkfold", "long"), ("starveil", "records"), ("starveil", "strings")]
    goal = 1.3  # every walk, against its C floor
    for fn, key in walks:
        setup = with_data(key)
        label = f"{fn}: {DATA[key][0]}"
        if fn == "murkfold":
            ours = Case(f"murkfold {key}", "murkfold(value=d)", setup)
            base = Case(f"floor fold {key}", "fold(d, LIMIT)", setup)
        else:
            ours = Case(f"starveil {key}", "starveil(name='user', value=d)", setup)
            base = Case(f"floor veil {key}", "veil(d, 'user')", setup)
        out.append(Row("walkers", label, ours, base, "C floor", goal))
        if key == "records":
            py = (Case("py_murkfold records", "py_murkfold(value=d)", setup) if fn == "murkfold" else
                  Case("py_starveil records", "py_starveil(name='user', value=d)", setup))
            out.append(Row("walkers", label, ours, py, "pure Python"))
    tiny = [("murkfold(value='abc')", "bare(value='abc')", "py_murkfold(value='abc')"),
            ("starveil(name='password', value='abc')", "bare_mask(name='password', value='abc')",
             "py_starveil(name='password', value='abc')")]
    for stmt, bare, py in tiny:
        ours = Case(stmt, stmt, names, inner=20)
        out.append(Row("walkers", stmt, ours, Case(f"floor {bare}", bare, names, inner=20),
                       "bare native call", 1.5, "same keywords bound"))
        out.append(Row("walkers", stmt, ours, Case(py, py, names, inner=20), "pure Python", 0.35))
    return out


def peak_over_result(fn, kwargs):
    """Peak memory traced during one call, and what the result itself keeps."""
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        base = tracemalloc.get_traced_memory()[0]
        result = fn(**kwargs)
        kept, peak = tracemalloc.get_traced_memory()
        del result
        return peak - base, kept - base
    finally:
        tracemalloc.stop()


def memory():
    from tools.common.murkfold import murkfold
    from tools.common.starveil import starveil

    deep = "x"
    for _ in range(900):
        deep = [deep, {"pwd": "y"}]
    out = []
    for label, value in (("100,000 nested records", records(100_000)), ("900 levels of nesting", deep)):
        for fn in (murkfold, starveil):
            peak, kept = peak_over_result(fn, {"value": value})
            out.append(Memory(f"{fn.__name__}: {label}", peak, kept))
    return out
