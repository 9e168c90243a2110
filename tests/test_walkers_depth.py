"""Deep and self-containing input for both walkers, in fresh interpreters:
RecursionError, never a crash, on the main thread and on small-stack
threads; the limit follows sys.getrecursionlimit(). Also the plain-lookup
fallback when no dictionary watcher id is left."""

import json
import textwrap

import pytest

from conftest import run_python, small_stack

PRELUDE = """
import gc, json, sys, threading
from tools.common.murkfold import murkfold
from tools.common.starveil import starveil

class Sub(dict):
    pass

def nest(n, kind):
    x = "leaf"
    for _ in range(n):
        x = [x] if kind == "list" else {"pwd": x} if kind == "dict" else Sub(pwd=x) if kind == "dict-subclass" else (x,)
    return x

# Our guard's message, and the interpreter's own (checked before ours where
# frames are large, as in a debug build: "Stack overflow (used N kB) ...").
GUARDS = ("maximum recursion depth exceeded", "Stack overflow (used ")

def outcome(fn, value):
    try:
        fn(value=value)
        return "ok"
    except RecursionError as e:
        return "RecursionError" if str(e).startswith(GUARDS) else str(e)
"""
DEEP = "RecursionError"  # what outcome() makes of a depth guard's RecursionError

KINDS = ["list", "dict", "tuple", "dict-subclass"]
SIZES = (100, 800, 5000, 10**5)


def run_json(code):
    proc = run_python(PRELUDE + textwrap.dedent(code))
    assert proc.stderr == ""
    return json.loads(proc.stdout)


def test_limit_follows_the_recursion_limit():
    out = run_json("""
    res = {}
    for limit in (200, 3000):
        sys.setrecursionlimit(limit)
        for fn in (murkfold, starveil):
            for kind in ("list", "dict", "tuple", "dict-subclass"):
                res[f"{limit} {fn.__name__} {kind}"] = [outcome(fn, nest(n, kind)) for n in (limit - 20, limit + 20)]
    print(json.dumps(res))
    """)
    assert set(map(tuple, out.values())) == {("ok", DEEP)}


@pytest.mark.parametrize("kind", KINDS)
def test_million_levels_on_the_main_thread(kind):
    out = run_json(f"""
    sys.setrecursionlimit(10**6 + 50)
    data = nest(10**6, {kind!r})
    before = sys.getallocatedblocks()
    res = [outcome(murkfold, data), outcome(starveil, data)]
    gc.collect()
    res.append(sys.getallocatedblocks() - before < 1000)
    print(json.dumps(res))
    """)
    assert out == [DEEP] * 2 + [True]


@small_stack
def test_small_stack_threads():
    # Built and freed on the main thread: the interpreter itself cannot free
    # structures this deep on a 256 KiB stack.
    out = run_json("""
    sizes = SIZES
    data = {k: {n: nest(n, k) for n in sizes} for k in ("list", "dict", "tuple", "dict-subclass")}
    cycle = []; cycle.append({"pwd": (cycle,)})
    res = {}
    def work():
        for limit in (1000, 10**6):
            sys.setrecursionlimit(limit)
            for fn in (murkfold, starveil):
                for k, by_size in data.items():
                    res[f"{limit} {fn.__name__} {k}"] = [outcome(fn, by_size[n]) for n in sizes]
                res[f"{limit} {fn.__name__} cycle"] = [outcome(fn, cycle)]
    threading.stack_size(256 * 1024)
    t = threading.Thread(target=work)
    t.start(); t.join()
    print(json.dumps(res))
    """.replace("SIZES", repr(SIZES)))
    # What the guard promises on a 256 KiB stack: a result or RecursionError,
    # never a crash (run_json fails on a signal or on anything written to
    # stderr). How deep such a thread gets depends on the compiled frames'
    # size (a Debug build's are several times an optimised one's), so only
    # the smallest size must always fit; past the recursion limit it never
    # does, and once a depth is refused, every larger one is too.
    for key, results in out.items():
        if key.endswith("cycle"):
            assert results == [DEEP], key
            continue
        limit = int(key.split()[0])
        assert set(results) <= {"ok", DEEP}, key
        assert results[0] == "ok", key
        assert results == ["ok"] * results.count("ok") + [DEEP] * results.count(DEEP), key
        assert all(r == DEEP for n, r in zip(SIZES, results) if n > limit), key


def test_rebound_names_through_python_on_small_stacks():
    out = run_json("""
    import tools.common.murkfold as m, tools.common.starveil as s
    om, os_ = m.murkfold, s.starveil
    m.murkfold = lambda value=None: om(value=value)
    s.starveil = lambda name=None, value=None: os_(name=name, value=value)
    data = [nest(n, "list") for n in (50, 10**5)]
    res = []
    def work():
        sys.setrecursionlimit(10**6)
        for fn in (om, os_):
            res.extend(outcome(fn, d) for d in data)
    threading.stack_size(256 * 1024)
    t = threading.Thread(target=work)
    t.start(); t.join()
    print(json.dumps(res))
    """)
    assert out == ["ok", DEEP] * 2


def test_cycles_and_deep_results_are_released():
    out = run_json("""
    a = []; a.append(a)
    d = {}; d["k"] = [d]
    t = ([],); t[0].append(t)
    res = [outcome(fn, v) for fn in (murkfold, starveil) for v in (a, d, t)]
    for _ in range(3):
        for fn in (murkfold, starveil):
            outcome(fn, a)
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(20):
        for fn in (murkfold, starveil):
            outcome(fn, a); outcome(fn, d); outcome(fn, t)
    gc.collect()
    res.append(sys.getallocatedblocks() - before < 200)
    print(json.dumps(res))
    """)
    assert out == [DEEP] * 6 + [True]


def test_without_a_watcher_id_lookups_stay_exact():
    pytest.importorskip("_testcapi")
    out = run_json("""
    import _testcapi
    taken = []
    try:
        while True:
            taken.append(_testcapi.add_dict_watcher(0))
    except RuntimeError:
        pass
    import tools.common.murkfold as m, tools.common.starveil as s
    res = [m.murkfold(["ab", ("c",)]), s.starveil(value={"pwd": ["ab"]})]
    m._const = m._Const(char_limit=1)
    om = m.murkfold
    m.murkfold = lambda value=None: "R"
    res.append(om(["ab", 1]))
    del m.murkfold
    try:
        om([1])
    except NameError as e:
        res.append(str(e))
    os_ = s.starveil
    s.starveil = lambda name=None, value=None: [name]
    res.append(os_("x", ["a", {"k": 1}]))
    res.append(len(taken) > 0)
    print(json.dumps(res))
    """)
    assert out == [["ab", ["c"]], {"pwd": ["**"]}, ["R", "R"], "name 'murkfold' is not defined",
                   [["x"], ["x"]], True]
