"""Users' objects that act up, names rebound or deleted mid-call, and threads
rebinding names while others call: never a crash, the documented exceptions,
and inputs left as they were (the per-module tests cover the rest)."""

import gc
import inspect
import os
import pathlib
import sys
import threading
import time

import pytest

import tools.common.murkfold as murk
import tools.common.quillmark as quill
import tools.common.siteward as site
import tools.common.starveil as veil
from conftest import import_tables
from tools.common.murkfold import murkfold
from tools.common.quillmark import Quillmark
from tools.common.siteward import siteward
from tools.common.starveil import starveil
from tools.dawnlog import dawnlog as dawn
from tools.dawnlog.dawnlog import dawnlog

tables, stub = import_tables()
Table = tables.Table


def outcome(fn, *args, **kwargs):
    try:
        return fn(*args, **kwargs)
    except Exception as exc:
        return type(exc), str(exc)


@pytest.fixture(autouse=True)
def restore_namespaces():
    """Every module namespace back as it was, in the same order."""
    saved = [(vars(m), dict(vars(m))) for m in (murk, veil, quill, site, dawn, tables)]
    yield
    for ns, items in saved:
        ns.clear()
        ns.update(items)


class Items(dict):
    """A dictionary subclass whose items() yields the given pairs."""
    def __init__(self, *pairs):
        super().__init__()
        self.pairs = pairs

    def items(self):
        return iter(self.pairs)


class Key:
    def __init__(self, fail=""):
        self.fail = fail

    def __hash__(self):
        if self.fail == "hash":
            raise LookupError("hash")
        return 1

    def __eq__(self, other):
        if self.fail == "eq":
            raise LookupError("eq")
        return self is other


class LyingLen(list):
    def __len__(self):
        raise ArithmeticError("len")


class LyingTuple(tuple):
    def __len__(self):
        return 10**6


class NoClass:
    @property
    def __class__(self):
        raise LookupError("class")


class SaysDict:
    __class__ = dict


class Hook:
    """A leaf (text via __format__, or a string via __len__) that runs `act`."""
    def __init__(self, act):
        self.act = act

    def __format__(self, spec):
        self.act()
        gc.collect()
        return "h"


class StrHook(str):
    def __len__(self):
        self.act()
        gc.collect()
        return 1


def str_hook(act):
    s = StrHook("s")
    s.act = act
    return s


def mid_walk(hook, build, act):
    """build(leaf) makes the input; the leaf runs act(input) when reached."""
    box = []
    value = build(hook(lambda: act(box[0])))
    box.append(value)
    return value


def swap_key(d):
    d.pop("b")
    d["c"] = "new"


def refill(d):
    d.clear()
    d.update(x="x", y="y")


# (function, input maker, outcome: the result, or (exception type, message)).
# The second element of a result that is a dict is the input's own key order.
WALKS = {
    "key-hash-raises": (murkfold, lambda: Items((Key("hash"), 1)), (LookupError, "hash")),
    "key-eq-raises": (murkfold, lambda: Items((Key("eq"), 1), (Key(), 2)), (LookupError, "eq")),
    "key-refused-before-hash": (lambda v: starveil(value=v), lambda: Items((Key("hash"), "v")),
                                (TypeError, "Argument 'name' has incorrect type (expected str, got Key)")),
    "len-raises": (murkfold, lambda: LyingLen([1, (2,)]), [1, (2,)]),
    "len-lies": (lambda v: starveil("pwd", v), lambda: LyingTuple(("ab", "c")), ("**", "*")),
    "class-raises": (lambda v: murkfold([v])[0] is v, NoClass, True),
    "class-raises-starveil": (lambda v: starveil("pwd", v) is v, NoClass, True),
    "class-says-dict": (lambda v: murkfold(v) is v and starveil(value=v) is v, SaysDict, True),
    # Python's own dict iteration gives the same: a replaced value and a key
    # put in place of another of the same count are seen, no error.
    "value-replaced": (murkfold, lambda: mid_walk(Hook, lambda h: {"a": h, "b": "old"},
                                                  lambda d: d.update(b="new")), {"a": "h", "b": "new"}),
    "key-swapped": (murkfold, lambda: mid_walk(Hook, lambda h: {"a": h, "b": 1}, swap_key), {"a": "h", "c": "new"}),
    "key-swapped-starveil": (lambda v: starveil(value=v), lambda: mid_walk(str_hook, lambda h: {"pwd": h, "b": 1},
                                                                           swap_key), {"pwd": "*", "c": "new"}),
    "refilled": (murkfold, lambda: mid_walk(Hook, lambda h: {"a": h, "b": 1}, refill), {"a": "h", "y": "y"}),
    "list-emptied": (lambda v: starveil("pwd", v), lambda: mid_walk(str_hook, lambda h: [h, "ab", "cd"],
                                                                    list.clear), ["*"]),
    "name-deleted": (murkfold, lambda: [Hook(lambda: delattr(murk, "murkfold")), 1],
                     (NameError, "name 'murkfold' is not defined")),
    "const-deleted": (murkfold, lambda: [Hook(lambda: delattr(murk, "_const")), "x"],
                      (NameError, "name '_const' is not defined")),
    "const-rebound": (murkfold, lambda: [Hook(lambda: setattr(murk, "_const", murk._Const(1))), "ab"],
                      ["h", "\n{\na\n...big-content hidden...\n}\n                "]),
    "name-deleted-starveil": (lambda v: starveil("pwd", v), lambda: [str_hook(lambda: delattr(veil, "starveil")), "x"],
                              (NameError, "name 'starveil' is not defined")),
}


CHANGED = {"value-replaced", "key-swapped", "key-swapped-starveil", "refilled", "list-emptied"}


def shown(x):
    """x with every Hook leaf written as "h"."""
    if isinstance(x, (list, tuple)):
        return type(x)(shown(v) for v in x)
    if isinstance(x, dict):
        return {k: shown(v) for k, v in x.items()}
    return "h" if isinstance(x, Hook) else x


def snapshot(value):
    return type(value), repr(value), getattr(value, "pairs", None)


@pytest.mark.parametrize("case", WALKS)
def test_walks_over_input_that_acts_up(case):
    fn, make, expected = WALKS[case]
    value = make()
    before = snapshot(value)
    assert shown(outcome(fn, value)) == expected
    if case not in CHANGED:  # the walk itself changes nothing
        assert snapshot(value) == before


class Target:
    """Deletes the module-level name Quillmark while its class is read."""
    def __init__(self):
        self._Target__p = "p"

    @property
    def __class__(self):
        quill.__dict__.pop("Quillmark", None)
        return Target


@pytest.mark.parametrize("read, expected", [
    (lambda q: q.value, "p"), (lambda q: q.exists, True), (lambda q: q.name, "_Target__p"),
])
def test_quillmark_name_deleted_once_looked_up(read, expected):
    # Every use of the name comes before the class is read: this call
    # finishes, the next one finds no name.
    q = Quillmark(Target(), "__p")
    assert read(q) == expected
    with pytest.raises(NameError, match="^name 'Quillmark' is not defined$"):
        q.value


def test_siteward_path_deleted_once_looked_up():
    site.getfile = lambda obj: (delattr(site, "Path"), "/x/y/z")[1]
    assert siteward(func=len) == pathlib.Path("/x/y")
    with pytest.raises(NameError, match="^name 'Path' is not defined$"):
        siteward("a/b")


def test_dawnlog_names_changed_by_a_fact(capsys):
    def user():
        del dawn.platform
        dawn.getfqdn = lambda: "other"
        return "u"

    dawn.getuser = user
    var = f"hostile_{os.getpid()}"
    try:
        dawnlog(var)
    finally:
        os.environ.pop(var + ":main", None)
    assert capsys.readouterr().out.split("\n")[2:5] == [
        "User: u", "Host: other", "OS Platform: name 'platform' is not defined"]


@pytest.mark.parametrize("table, message", [
    ({"columns": type("C", (), {"__class__": list})(), "data": []}, 'Parameter "columns" is not a "list"'),
    ({"columns": [], "data": [SaysDict()]}, 'Parameter "data"[0] is not a "dict"'),
    ({"columns": [], "data": [NoClass()]}, 'Parameter "data"[0] is not a "dict"'),
], ids=["columns-says-list", "row-says-dict", "row-class-raises"])
def test_table_types_are_not_taken_from_class_attributes(table, message):
    with pytest.raises(TypeError) as info:
        Table(table)
    assert info.value.args == (message,)


def test_table_rebound_during_filter_takes_effect_at_the_next_call():
    made = []

    class Include:
        def __contains__(self, key):
            tables.Table = lambda **kw: made.append(kw) or "made"
            return True

    t = Table({"columns": ["a"], "data": [{"a": 1}]})
    result = t.filter(Include())
    assert type(result) is Table and result.data == [{"a": 1}] and made == []
    assert t.filter() == "made" and made[0]["table"] == {"columns": ["a"], "data": [{"a": 1}]}


# ---- threads ----------------------------------------------------------------

class Foo:
    def __init__(self):
        self.__secret = "s"


FOO = Foo()
DATA = {"a": [1, "x" * 5000, ("y" * 10, None)], "b": {"c": [2.5] * 20}}
RECORD = {"db": {"Password": "hunter2", "hosts": ["a", "b"]}, "users": [{"pwd": "xy", "n": 1}] * 10}
TABLE = Table({"columns": ["a", "b", "c"], "data": [{"a": i, "b": -i, "c": str(i)} for i in range(30)]})
MARK = f"threads_{os.getpid()}"

CALLS = {
    "murkfold": lambda: murkfold(DATA),
    "starveil": lambda: starveil(value=RECORD),
    "table": lambda: (Table({"columns": TABLE.columns, "data": TABLE.data}).data, repr(TABLE), str(TABLE)),
    "filter": lambda: (TABLE.filter(include=["c", "a"], exclude=("a",)).data, TABLE.filter().columns),
    "quillmark": lambda: (Quillmark(FOO, "__secret").value, Quillmark(FOO, "__secret").exists,
                          Quillmark.get_name(FOO, "__x"), Quillmark.set_attribute(FOO, "__secret", "s")),
    "siteward": lambda: (siteward("/a/b/c"), siteward(func=Foo)),
    "dawnlog": lambda: dawnlog(MARK),
}

# Each rebinding puts an equal object (or the same one) back.
REBIND = [
    lambda: setattr(murk, "_const", murk._Const()),
    lambda: setattr(murk, "murkfold", murk.murkfold),
    lambda: setattr(veil, "starveil", veil.starveil),
    lambda: setattr(tables, "Table", tables.Table),
    lambda: setattr(quill, "Quillmark", quill.Quillmark),
    lambda: setattr(site, "Path", pathlib.Path),
    lambda: setattr(site, "getfile", inspect.getfile),
    lambda: setattr(dawn, "os", os),
]


def test_threads_calling_while_names_are_rebound(monkeypatch):
    monkeypatch.setitem(os.environ, MARK + ":main", "true")  # dawnlog prints nothing
    expected = {name: call() for name, call in CALLS.items()}
    stop, errors, rounds = threading.Event(), [], [0] * 8

    def work(i):
        while not stop.is_set():
            for name, call in CALLS.items():
                try:
                    got = call()
                except Exception as exc:
                    got = exc
                if got != expected[name]:
                    errors.append((name, got))
            rounds[i] += 1

    def rebind():
        while not stop.is_set():
            for act in REBIND:
                act()

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=work, args=(i,)) for i in range(8)] + [threading.Thread(target=rebind)]
        for t in threads:
            t.start()
        deadline = time.monotonic() + 1.5
        while time.monotonic() < deadline and not errors and min(rounds) < 200:
            time.sleep(0.05)
        stop.set()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == [] and min(rounds) > 0
