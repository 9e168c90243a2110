"""Reference leaks: every public function and member, on success and on each
way it can fail, run many times must leave no allocated blocks behind."""

import collections
import ctypes
import inspect
import itertools
import os
import sys

import pytest

import tools.common.murkfold as murk
import tools.common.quillmark as quill
import tools.common.siteward as site
import tools.common.starveil as veil
from conftest import acting, import_tables, raiser, raises_quietly
from tools.common.murkfold import murkfold
from tools.common.quillmark import Quillmark
from tools.common.siteward import siteward
from tools.common.starveil import starveil
from tools.dawnlog import dawnlog as dawn
from tools.dawnlog.dawnlog import dawnlog

pytestmark = pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="this allocator counts no blocks "
                                                                        "(PYTHONMALLOC=malloc)")
tables, stub = import_tables()
Table = tables.Table
VAR = f"leak_test_{os.getpid()}"
DELETE = object()


def swapped(module, name, value, call):
    """`call` run while module.<name> is `value` (absent for DELETE)."""
    def run():
        ns = vars(module)
        saved = dict(ns)
        if value is DELETE:
            del ns[name]
        else:
            ns[name] = value
        try:
            return call()
        finally:
            ns.clear()  # back in the same order: other tests check it
            ns.update(saved)
    return run


def fresh_dawnlog():
    os.environ.pop(VAR + ":main", None)
    dawnlog(VAR)


def nest(kind):
    x = "leaf"
    for _ in range(sys.getrecursionlimit() + 50):
        x = [x] if kind == "list" else {"pwd": x} if kind == "dict" else (x,)
    return x


class Items(dict):
    """A dictionary subclass (holding a=1) whose items() is make()."""
    def __init__(self, make):
        super().__init__(a=1)
        self.make = make

    def items(self):
        return self.make()


class Foo:
    def __init__(self):
        self.__secret = "s"


def filter_shrinking():
    row, seen = {"a": 1, "c": 2}, []

    def contains(self, key):
        seen.append(key)
        if len(seen) > 2:  # past the column list, in the walk of the row
            row.pop("c", None)
        return True
    return Table({"columns": ["a", "c"], "data": [row]}).filter(acting(__contains__=contains)())


Str, Cols = acting(str), acting(list)
# Sequences walked through their own iterator.
Iterated = acting(list, __iter__=lambda self: iter(list.__iter__(self)))
ITuple = acting(tuple, __iter__=lambda self: iter(tuple.__iter__(self)))
Fmt = acting(__format__=raiser(TypeError, "x"))
Unhashable = acting(__hash__=raiser(RuntimeError, "hash"))
EqFails = acting(__hash__=lambda self: hash("a"), __eq__=raiser(RuntimeError, "eq"))
DATA = {"a": [1, 2.5, "x" * 5000, (None, b"b")], "b": collections.OrderedDict(k=[10**5000]),
        "c": acting(__format__=raiser(ValueError))()}
RECORD = {"password": "abc", "u": ["x", ("y", {"pwd": None})], "n": collections.OrderedDict(pwd="z")}
CYCLE = []
CYCLE.append({"pwd": (CYCLE,)})
DEEP = {kind: nest(kind) for kind in ("list", "dict", "tuple")}
FOO, Q = Foo(), Quillmark(Foo(), "__secret")
NUMBERS = itertools.count()
T = Table({"columns": ["a", "b", "c"], "data": [{"a": 1, "b": 2, "c": 3}]})
ITEMS = Items(lambda: [("a", 1)])
RAISING_CALLS = acting(append=lambda self, item: item[0] == "Table.__init__" and raiser(RuntimeError)())()


def work():
    Q.value = Q.value
    return Q.name, Q.exists, Quillmark.has_attribute(FOO, "__nope"), Quillmark.get_name(FOO, "__x")


# The raw functions (under the logging wrappers for the table's two members).
FUNCTIONS = {
    "siteward": siteward, "murkfold": murkfold, "starveil": starveil, "dawnlog": dawnlog,
    **{f"Quillmark.{n}": getattr(Quillmark, n) for n in ("__init__", "get_name", "get_attribute", "set_attribute",
                                                         "has_attribute")},
    "Quillmark.name": Quillmark.name.fget, "Quillmark.value": Quillmark.value.fget,
    "Quillmark.value=": Quillmark.value.fset, "Quillmark.exists": Quillmark.exists.fget,
    "Table.__init__": Table.__init__.__wrapped__, "Table.filter": Table.filter.__wrapped__,
    "Table.columns": Table.columns.fget, "Table.data": Table.data.fget,
    "Table.__repr__": vars(Table)["__repr__"], "Table.__str__": vars(Table)["__str__"],
}


def binding_cases():
    for name, f in FUNCTIONS.items():
        params = list(inspect.signature(f).parameters.values())
        yield pytest.param(lambda f=f, n=len(params): f(*[None] * (n + 1)), TypeError, id=name + "-too-many")
        yield pytest.param(lambda f=f: f(nope=1), TypeError, id=name + "-unexpected")
        yield pytest.param(lambda f=f, p=params[0].name: f(None, **{p: None}), TypeError, id=name + "-twice")
        if params[0].default is params[0].empty:
            yield pytest.param(lambda f=f: f(), TypeError, id=name + "-missing")


# id: (call, the exception it ends with or None)
CASES = {
    "siteward-file": (lambda: siteward("/a/b/c"), None),
    "siteward-func": (lambda: siteward(func=Foo), None),
    "siteward-module": (lambda: siteward(func=site), None),
    "siteward-getfile-raises": (lambda: siteward(func=len), TypeError),
    "siteward-fspath-raises": (lambda: siteward(acting(__fspath__=raiser(ValueError))()), ValueError),
    "siteward-odd-keyword": (lambda: siteward(**{acting(str, __eq__=raiser(RuntimeError), __hash__=str.__hash__)(
        "file"): "/a/b"}), None),
    "siteward-keyword-not-str": (lambda: siteward(**{1: 2}), TypeError),
    "siteward-Path-deleted": (swapped(site, "Path", DELETE, lambda: siteward("x")), NameError),
    "murkfold-data": (lambda: murkfold(DATA), None),
    "murkfold-negative-limit": (swapped(murk, "_const", murk._Const(-3), lambda: murkfold(DATA)), None),
    "murkfold-format-raises": (lambda: murkfold([1, (2, Fmt())]), TypeError),
    "murkfold-items-raises": (lambda: murkfold([Items(raiser(LookupError))]), LookupError),
    "murkfold-items-not-pairs": (lambda: murkfold(Items(lambda: [(1, 2, 3)])), ValueError),
    "murkfold-key-hash-raises": (lambda: murkfold(Items(lambda: [(Unhashable(), 1)])), RuntimeError),
    "murkfold-limit-not-comparable": (swapped(murk, "_const", None, lambda: murkfold(["x"])), AttributeError),
    "murkfold-_const-deleted": (swapped(murk, "_const", DELETE, lambda: murkfold(["x"])), NameError),
    "murkfold-name-deleted": (swapped(murk, "murkfold", DELETE, lambda: murkfold((1,))), NameError),
    "murkfold-iterated-list": (lambda: murkfold(Iterated(["x" * 4001, None, (1,)])), None),
    "murkfold-iterated-tuple": (lambda: murkfold((ITuple(("x", [2])),)), None),
    "murkfold-iterated-raises": (lambda: murkfold([ITuple((1, Fmt()))]), TypeError),
    "murkfold-items-not-iterable": (lambda: murkfold(Items(lambda: 5)), TypeError),
    "murkfold-cycle": (lambda: murkfold(CYCLE), RecursionError),
    **{f"murkfold-deep-{k}": (lambda v=v: murkfold(v), RecursionError) for k, v in DEEP.items()},
    "starveil-record": (lambda: starveil(value=RECORD), None),
    "starveil-list": (lambda: starveil("ПАРОЛЬ password", ["a", ("b",)]), None),
    "starveil-key-type": (lambda: starveil(value={"a": [{1: 2}]}), TypeError),
    "starveil-name-type": (lambda: starveil(123, "v"), TypeError),
    "starveil-name-subclass": (lambda: starveil(Str("pwd"), "v"), TypeError),
    "starveil-len-raises": (lambda: starveil("x", {"pwd": acting(str, __len__=raiser(ArithmeticError))("a")}),
                            ArithmeticError),
    "starveil-items-raises": (lambda: starveil(value=[Items(raiser(LookupError))]), LookupError),
    "starveil-items-not-pairs": (lambda: starveil(value=Items(lambda: [()])), ValueError),
    "starveil-name-deleted": (swapped(veil, "starveil", DELETE, lambda: starveil(value=["a"])), NameError),
    "starveil-iterated": (lambda: starveil("pwd", Iterated(["ab", ITuple(("c", None))])), None),
    "starveil-iterated-raises": (lambda: starveil(value=ITuple(({1: 2},))), TypeError),
    "starveil-cycle": (lambda: starveil(value=CYCLE), RecursionError),
    **{f"starveil-deep-{k}": (lambda v=v: starveil(value=v), RecursionError) for k, v in DEEP.items()},
    # dawnlog: facts fixed and output dropped by the fixture below
    "dawnlog-marked": (lambda: dawnlog(VAR), None),
    "dawnlog-fresh": (fresh_dawnlog, None),
    "dawnlog-fact-raises": (swapped(dawn, "getuser", raiser(ValueError), fresh_dawnlog), None),
    "dawnlog-after-mark-raises": (swapped(dawn, "datetime", None, fresh_dawnlog), AttributeError),
    "dawnlog-os-deleted": (swapped(dawn, "os", DELETE, fresh_dawnlog), NameError),
    "dawnlog-refused-name": (lambda: dawnlog("a=b"), ValueError),
    "dawnlog-type": (lambda: dawnlog(None), TypeError),
    "dawnlog-subclass": (lambda: dawnlog(separator=Str("-")), TypeError),
    "quillmark-members": (work, None),
    "quillmark-init": (lambda: Quillmark(FOO, "__x"), None),
    "quillmark-set": (lambda: Quillmark.set_attribute(FOO, "__y", 1), None),
    "quillmark-get": (lambda: Quillmark.get_attribute(FOO, "__secret"), None),
    # A name worked out afresh at every call replaces the one remembered.
    "quillmark-names-fresh": (lambda: Quillmark.set_attribute(Foo(), "__%d" % next(NUMBERS), 1), None),
    "quillmark-property-raises": (lambda: Quillmark(acting(_Acting__bad=property(raiser(ValueError)))(),
                                                    "__bad").value, ValueError),
    "quillmark-exists-raises": (lambda: Quillmark(acting(_Acting__bad=property(raiser(ValueError)))(),
                                                  "__bad").exists, ValueError),
    "quillmark-missing": (lambda: Quillmark.get_attribute(FOO, "__nope"), AttributeError),
    "quillmark-set-on-type": (lambda: Quillmark.set_attribute(Foo, "__x", 1), TypeError),
    "quillmark-class-raises": (lambda: Quillmark.get_name(acting(__class__=property(raiser(LookupError)))(), "__x"),
                               LookupError),
    "quillmark-attr-type": (lambda: Quillmark.get_name(FOO, b"x"), TypeError),
    "quillmark-attr-subclass": (lambda: Quillmark(FOO, Str("x")), TypeError),
    "quillmark-recursion": (lambda: Quillmark.get_name(acting(__class__=property(
        lambda self: Quillmark.get_name(self, "__x")))(), "__x"), RecursionError),
    "quillmark-unset": (lambda: Quillmark.__new__(Quillmark).value, AttributeError),
    "quillmark-name-deleted": (swapped(quill, "Quillmark", DELETE, lambda: Q.value), NameError),
    "table-init": (lambda: Table({"columns": ["a", "b"], "data": [{"a": 1, "b": 2}] * 3}), None),
    "table-text": (lambda: repr(T) + str(T) + repr(Table()), None),
    "table-fields": (lambda: (T.columns, T.data), None),
    "table-filter": (lambda: T.filter(include=["a", "c"], exclude={"c"}), None),
    "table-filter-items": (lambda: Table({"columns": ["a"], "data": [ITEMS]}).filter(), None),
    "table-no-columns": (lambda: Table({"data": []}), KeyError),
    "table-no-data": (lambda: Table({"columns": ["a"]}), KeyError),
    "table-columns-tuple": (lambda: Table({"columns": ("a",), "data": []}), TypeError),
    "table-data-tuple": (lambda: Table({"columns": [], "data": ()}), TypeError),
    "table-row-not-dict": (lambda: Table({"columns": ["a"], "data": [{"a": 1}, 5]}), TypeError),
    "table-row-length": (lambda: Table({"columns": ["a", "b"], "data": [{"a": 1}]}), ValueError),
    "table-column-missing": (lambda: Table({"columns": ["a", object()], "data": [{"a": 1, "b": 2}]}), Exception),
    "table-argument-type": (lambda: Table([]), TypeError),
    "table-argument-subclass": (lambda: Table(collections.OrderedDict(columns=[], data=[])), TypeError),
    "table-column-hash-raises": (lambda: Table({"columns": [Unhashable()], "data": [{"a": 1}]}), RuntimeError),
    "table-column-eq-raises": (lambda: Table({"columns": [EqFails()], "data": [{"a": 1}]}), RuntimeError),
    "table-column-format-raises": (lambda: Table({"columns": [Fmt()], "data": [{"a": 1}]}), TypeError),
    "table-columns-return-type": (lambda: Table({"columns": Cols(), "data": []}).columns, TypeError),
    "table-unset": (lambda: Table.__new__(Table).data, AttributeError),
    "table-filter-items-raises": (lambda: Table({"columns": ["a"], "data": [Items(raiser(OSError))]}).filter(),
                                  OSError),
    "table-filter-items-not-pairs": (lambda: Table({"columns": ["a"], "data": [Items(lambda: [["a"]])]}).filter(),
                                     ValueError),
    "table-filter-include-raises": (lambda: T.filter(include=acting(__contains__=raiser(LookupError))()),
                                    LookupError),
    "table-filter-row-resized": (filter_shrinking, RuntimeError),
    "table-filter-wrapper-raises": (swapped(stub, "calls", RAISING_CALLS, lambda: T.filter()), RuntimeError),
    "table-filter-Table-deleted": (swapped(tables, "Table", DELETE, lambda: T.filter()), NameError),
    "table-filter-result-invalid": (lambda: Table({"columns": ["a", "a"], "data": [{"a": 1, "b": 2}]}).filter(),
                                    ValueError),
}
# Free lists and caches fill up first; the type cache keeps up to 4096 fresh
# mangled names alive.
WARMUP = {"quillmark-recursion": 300, "quillmark": 5000, "": 300}


@pytest.fixture(autouse=True)
def quiet_dawnlog(monkeypatch):
    for name, value in {"getuser": lambda: "u", "getfqdn": lambda: "h", "platform": lambda aliased: "p"}.items():
        monkeypatch.setattr(dawn, name, value)
    with open(os.devnull, "w") as null:
        monkeypatch.setattr(sys, "stdout", null)
        yield
        monkeypatch.undo()
    os.environ.pop(VAR + ":main", None)


@pytest.mark.parametrize("call, error", [pytest.param(*v, id=k) for k, v in CASES.items()] + list(binding_cases()))
def test_no_leaks(call, error, no_leak, request):
    try:
        call()
        raised = None
    except Exception as exc:
        raised = type(exc)
    assert raised is error  # the path meant, not another one
    warmup = next(n for prefix, n in WARMUP.items() if request.node.callspec.id.startswith(prefix))
    no_leak(raises_quietly(call), warmup=warmup)


def test_the_helper_sees_a_leak(no_leak):
    with pytest.raises(AssertionError, match="grew on every round"):
        no_leak(lambda: ctypes.pythonapi.Py_IncRef(ctypes.py_object([])))
