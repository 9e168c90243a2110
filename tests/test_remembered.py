"""Every value the modules remember to save work, against every change to
what it depends on: each row changes one dependency, either between two
calls or from inside a call (a getter, __format__, __eq__, __del__, a
warning hook, an import), and checks that the next use sees what a fresh
read would. Every row runs twice: here, and in an interpreter started with
-b, where comparing a str key with a bytes key issues a BytesWarning and so
runs Python code (the warnings machinery and its hooks).

Remembered values and their dependencies:
- murkfold's limit (`_const.char_limit`): the binding of `_const` in the
  module and in the builtins, the object's class, the classes along its MRO,
  the class attribute's own class, the instance dictionary and its contents;
  and nested calls, which remember their own reads. Nothing remembered may
  keep the record (or anything else) alive.
- starveil's answer for the last name, and nested calls run inline.
- quillmark's `Quillmark` binding. Its member lookups and mangled names are
  left to the interpreter's own type attribute cache; their rows (the
  class's name, the object's class, the `__class__` that the class's MRO
  answers, the class's attribute hooks and members) hold any memo added
  later to the same standard.
- tables' watched "columns" and "data" and remembered selection: the table
  dictionary, and `include`/`exclude` with the keys they were asked about.
- the frame's remembered lookups (module-level names, with the builtins as
  fallback), and the globals each function carries (a function kept from an
  import that failed, called across a later import that succeeds).
"""

import builtins
import sys
import textwrap

import pytest

import tools.common.murkfold as murk
import tools.common.quillmark as quill
import tools.common.starveil as veil
from conftest import FAILED_TABLES_IMPORT, SUPPORT, import_tables, run_python

tables, stub = import_tables()

PRELUDE = """
import builtins, gc, sys, warnings, weakref
import tools.common.murkfold as m
import tools.common.quillmark as q
import tools.common.starveil as s
from tools.common.murkfold import murkfold, _Const
from tools.common.quillmark import Quillmark
from tools.common.starveil import starveil

OPEN, CLOSE = "\\n{\\n", "\\n...big-content hidden...\\n}\\n                "
def hidden(text):
    return OPEN + text + CLOSE

class Acts:
    "A leaf whose formatting runs `act` once, then gives `text`."
    def __init__(self, act, text="x"):
        self.act, self.text = act, text
    def __format__(self, spec):
        act, self.act = self.act, None
        if act:
            act()
        return self.text
"""

# murkfold: each row's record starts at a limit of 3 and ends at 1 (or as
# the row says); the leaf after a change is a short string that the walk
# would otherwise pass on what it remembered.
MURKFOLD = {
    "const-binding/between": """
        m._const = _Const(3)
        assert murkfold("abcd") == hidden("abc")
        m._const = _Const(1)
        assert murkfold("abcd") == hidden("a")
    """,
    "const-binding/inside-format": """
        m._const = _Const(3)
        leaf = Acts(lambda: setattr(m, "_const", _Const(2)))
        assert murkfold(["abc", leaf, "abc", 123]) == ["abc", leaf, hidden("ab"), hidden("12")]
    """,
    "const-in-builtins/between": """
        del m._const
        builtins._const = _Const(3)
        assert murkfold(["abcd"]) == [hidden("abc")]
        builtins._const = _Const(1)
        assert murkfold(["abcd"]) == [hidden("a")]
    """,
    "const-in-builtins/inside-format": """
        del m._const
        builtins._const = _Const(3)
        leaf = Acts(lambda: setattr(builtins, "_const", _Const(1)))
        assert murkfold(("abc", leaf, "abc")) == ("abc", leaf, hidden("a"))
        m._const = _Const(2)      # the module's own comes first again
        assert murkfold("abc") == hidden("ab")
    """,
    "object-class/between": """
        class A: char_limit = 3
        class B: char_limit = 1
        c = m._const = A()
        assert murkfold(["abcd"]) == [hidden("abc")]
        c.__class__ = B
        assert murkfold(["abcd"]) == [hidden("a")]
    """,
    "object-class/inside-format": """
        class A: char_limit = 3
        class B: char_limit = 1
        c = m._const = A()
        def swap(): c.__class__ = B
        leaf = Acts(swap)
        assert murkfold({"a": "abc", "b": leaf, "c": "abc"}) == {"a": "abc", "b": leaf, "c": hidden("a")}
    """,
    "class-along-the-mro/between": """
        class Base: char_limit = 3
        class A(Base): pass
        m._const = A()
        assert murkfold(["abcd"]) == [hidden("abc")]
        Base.char_limit = 1
        assert murkfold(["abcd"]) == [hidden("a")]
        A.char_limit = property(lambda self: 2)
        assert murkfold(["abcd"]) == [hidden("ab")]
    """,
    "class-along-the-mro/inside-format": """
        class Base: char_limit = 3
        class A(Base): pass
        m._const = A()
        leaf = Acts(lambda: setattr(Base, "char_limit", 1))
        assert murkfold(["abc", leaf, "abc"]) == ["abc", leaf, hidden("a")]
    """,
    # The class attribute's own class becomes a descriptor: our class's
    # version does not move.
    "attribute-class-gains-get/between": """
        class Lim(int): pass
        class C: char_limit = Lim(3)
        m._const = C()
        assert murkfold("abcdef") == hidden("abc")
        Lim.__get__ = lambda self, obj, owner: 5
        assert m._const.char_limit == 5 and murkfold("abcdef") == hidden("abcde")
    """,
    "attribute-class-gains-get/inside-format": """
        class Lim: pass
        class C: char_limit = Lim()
        c = m._const = C()
        c.__dict__["char_limit"] = 3     # the instance's own wins over a plain class attribute
        assert murkfold("abcdef") == hidden("abc")
        def arm():
            Lim.__get__ = lambda self, obj, owner: 1
            Lim.__set__ = lambda self, obj, value: None
        leaf = Acts(arm)
        assert murkfold(["abcd", leaf, "abcd"]) == [hidden("abc"), leaf, hidden("a")]
    """,
    "record-class-attribute-gains-get-and-set/between": """
        class Lim: pass
        saved = _Const.__dict__["char_limit"]
        try:
            _Const.char_limit = Lim()       # the instance keeps its own 4000 ...
            m._const = _Const(3)
            assert murkfold("abcdef") == hidden("abc")
            Lim.__get__ = lambda self, obj, owner: 5
            assert murkfold("abcdef") == hidden("abc")       # ... against a non-data descriptor
            Lim.__set__ = lambda self, obj, value: None
            assert murkfold("abcdef") == hidden("abcde")     # a data descriptor wins
        finally:
            _Const.char_limit = saved
    """,
    "instance-dictionary-replaced/between": """
        c = m._const = _Const(3)
        assert murkfold(["abcd"]) == [hidden("abc")]
        object.__setattr__(c, "__dict__", {"char_limit": 1})
        assert murkfold(["abcd"]) == [hidden("a")]
    """,
    "instance-dictionary-replaced/inside-format": """
        c = m._const = _Const(3)
        old = c.__dict__
        leaf = Acts(lambda: object.__setattr__(c, "__dict__", {"char_limit": 1}))
        assert murkfold(["abc", leaf, "abc"]) == ["abc", leaf, hidden("a")]
    """,
    "instance-value/between": """
        c = m._const = _Const(3)
        assert murkfold(["abcd"]) == [hidden("abc")]
        object.__setattr__(c, "char_limit", 1)
        assert murkfold(["abcd"]) == [hidden("a")]
        object.__delattr__(c, "char_limit")          # the class's 4000 again
        assert murkfold(["abcd"]) == ["abcd"]
    """,
    # Where the name stands in the instance dictionary is only a hint: other
    # keys before it, or an equal key that is not the interned name.
    "instance-value/other-keys-first": """
        class Record: pass
        c = m._const = Record()
        c.other, c.char_limit = 0, 3
        assert murkfold(["abcd"]) == [hidden("abc")]
        c.char_limit = 1
        assert murkfold(["abcd"]) == [hidden("a")]
        del c.other
        c.char_limit = 2
        assert murkfold(["abcd"]) == [hidden("ab")]
    """,
    # The name deleted: iterating from where it stood meets the next key,
    # which holds the same value; every such key, wherever it lies in memory.
    "instance-value/deleted-before-an-equal-value": """
        class Record: pass
        for i in range(20):
            c = m._const = Record()
            c.char_limit = 3
            setattr(c, "k%d" % i, 3)
            assert murkfold(["abcd"]) == [hidden("abc")]
            del c.char_limit
            try:
                murkfold(["abcd"])
            except AttributeError:
                pass
            else:
                raise AssertionError("the deleted limit was remembered")
    """,
    "instance-value/key-not-interned": """
        class Record: pass
        c = m._const = Record()
        key = "".join(["char_", "limit"])
        c.__dict__[key] = 3
        assert murkfold(["abcd"]) == [hidden("abc")]
        c.__dict__[key] = 1
        assert murkfold(["abcd"]) == [hidden("a")]
    """,
    "instance-value/inside-format": """
        c = m._const = _Const(3)
        leaf = Acts(lambda: object.__setattr__(c, "char_limit", 1))
        assert murkfold({"a": "abc", "b": leaf, "c": "abc"}) == {"a": "abc", "b": leaf, "c": hidden("a")}
    """,
    # An earlier key's __eq__ runs while a later key is stored: the key
    # itself, or a tuple key, whose equality runs its items' own.
    "instance-value/inside-key-eq": """
        class Key:
            def __hash__(self): return hash("b")
            def __eq__(self, other):
                if armed:
                    object.__setattr__(c, "char_limit", 1)
                return False
        for key, later in ((Key(), "b"), ((Key(),), ("b",))):
            c = m._const = _Const(3)
            armed = []
            data = {key: "x", later: "abc", "c": "abc"}
            armed.append(True)
            assert murkfold("abc") == "abc"      # the limit read once already
            assert murkfold(data) == {key: "x", later: "abc", "c": hidden("a")}
    """,
    # A finalizer of a formatting result, run when the walk drops it.
    "instance-value/inside-result-del": """
        c = m._const = _Const(3)
        class Text(str):
            def __del__(self):
                object.__setattr__(c, "char_limit", 1)
        class Leaf:
            def __format__(self, spec): return Text("y")
        leaf = Leaf()
        for data, expected in ((["abc", leaf, "abc"], ["abc", leaf, hidden("a")]),
                               ({"a": "abc", "b": leaf, "c": "abc"}, {"a": "abc", "b": leaf, "c": hidden("a")}),
                               (("abc", leaf, "abc"), ("abc", leaf, hidden("a")))):
            object.__setattr__(c, "char_limit", 3)
            assert murkfold("abc") == "abc"      # the limit read once already
            assert murkfold(data) == expected
    """,
    # A finalizer of a leaf that only the walk still holds.
    "const-binding/inside-leaf-del": """
        m._const = _Const()
        box = []
        class Vanishing:
            def __format__(self, spec):
                box[0].pop(0)
                return "v" * 4001
            def __del__(self):
                m._const = _Const(1)
        data = [Vanishing(), "skipped", "abc"]
        box.append(data)
        assert murkfold(data) == [hidden("v" * 4000), hidden("a")]
    """,
    # A finalizer of a value that only the walk still holds, run once its
    # nested call has read the limit, after a leaf taken on what it remembered.
    "instance-value/inside-value-del": """
        c = m._const = _Const(3)
        class Vanishing:
            def __init__(self, home, key):
                self.home, self.key = home, key
            def __format__(self, spec):
                self.home[self.key] = "z"
                return "vvvv"
            def __del__(self):
                object.__setattr__(c, "char_limit", 1)
        data = {"a": "abc"}
        data["b"] = Vanishing(data, "b")
        data["c"] = "abc"
        assert murkfold("abc") == "abc"      # the limit read once already
        assert murkfold(data) == {"a": "abc", "b": hidden("vvv"), "c": hidden("a")}
        object.__setattr__(c, "char_limit", 3)
        data = ["abc", None, "abc"]
        data[1] = Vanishing(data, 1)
        assert murkfold("abc") == "abc"
        assert murkfold(data) == ["abc", hidden("vvv"), hidden("a")]
    """,
    # A getter that runs murkfold on a plain record: the outer call must not
    # take the nested call's reading for its own.
    "nested-call-in-a-getter": """
        reads = []
        class Lim:
            @property
            def char_limit(self):
                reads.append(1)
                saved = m._const
                m._const = _Const(100)
                murkfold("x")
                m._const = saved
                return 2 if len(reads) == 1 else 100
        m._const = Lim()
        assert murkfold(["abc", "abc", "abc"]) == [hidden("abc"), "abc", "abc"]
        assert len(reads) == 4      # a test and a cut, then a test per leaf
    """,
    # The module imported again (the same module object) and its record
    # replaced through it.
    "const-binding/inside-reimport": """
        def again():
            del sys.modules["tools.common.murkfold"]
            import tools.common.murkfold as same
            assert same is m
            same._const = _Const(1)
        leaf = Acts(again)
        assert murkfold(["abc", leaf, "abc"]) == ["abc", leaf, hidden("a")]
    """,
    # A store into the new dictionary that compares a str key with a bytes
    # key: under -b its BytesWarning runs the warning hook, which changes the
    # limit through the class, the record's own attribute or its class, or
    # deletes it; the leaves after it see the change (here, without -b, no
    # hook runs).
    "limit-changes/inside-bytes-key-warning": """
        class A: char_limit = 3
        class B: char_limit = 1
        def through_class(c): A.char_limit = 1
        def through_record(c): c.char_limit = 1
        def through_record_class(c): c.__class__ = B
        def deleted(c): del A.char_limit
        for change in (through_class, through_record, through_record_class, deleted):
            A.char_limit = 3
            c = m._const = A()
            assert murkfold("abc") == "abc"      # the limit read once already
            data = {"abc": "x", b"abc": "y", "k": "ab"}
            with warnings.catch_warnings():
                warnings.simplefilter("always")
                warnings.showwarning = lambda *a, **k: change(c)
                try:
                    result = murkfold(data)
                except AttributeError:
                    assert change is deleted and sys.flags.bytes_warning
                    continue
            assert change is not deleted or not sys.flags.bytes_warning, "the deleted limit was remembered"
            assert result["k"] == (hidden("a") if sys.flags.bytes_warning else "ab")
    """,
    # A key met twice (taken out and put back by a leaf's own code) replaces
    # its earlier result, whose finalizer then changes the limit.
    "instance-value/inside-replaced-result-del": """
        c = m._const = _Const(3)
        class Result:
            def __format__(self, spec): return "r"
            def __del__(self): object.__setattr__(c, "char_limit", 1)
        data = {}
        class Mover:
            def __format__(self, spec):
                data.pop("a"), data.pop("k")
                data["a"], data["k"] = "zz", "ab"   # the same size, "a" and "k" met again
                return "m"
        data.update(a=Result(), m=Mover(), k="ab")
        assert murkfold("abc") == "abc"      # the limit read once already
        assert murkfold(data) == {"a": "zz", "m": data["m"], "k": hidden("a")}
    """,
    # Python code that reaches the dictionary being built (the collector
    # lists it) and stores a key of its own there, whose equality runs when
    # a later key is stored.
    "instance-value/inside-key-stored-into-the-result": """
        import gc
        c = m._const = _Const(3)
        class Collides:
            def __hash__(self): return hash("k")
            def __eq__(self, other):
                object.__setattr__(c, "char_limit", 1)
                return False
        class Finder:
            def __format__(self, spec):
                for o in gc.get_objects():
                    if type(o) is dict and len(o) == 1 and "marker" in o and o is not data:
                        o[Collides()] = 0
                return "f"
        data = {"marker": [1], "f": Finder(), "k": "abc", "z": "ab"}
        assert murkfold("abc") == "abc"      # the limit read once already
        assert murkfold(data)["z"] == hidden("a")
    """,
    # Nothing remembered keeps a record alive: a record replaced is gone at
    # once, and its finalizer runs then, not inside a later call.
    "const-binding/replaced-record-is-released": """
        class Rec:
            char_limit = 5
        old = m._const = Rec()
        assert murkfold("x") == "x" and murkfold(["y"]) == ["y"]
        w = weakref.ref(old)
        del old
        m._const = Rec()
        gc.collect()
        assert w() is None
    """,
    "const-binding/replaced-record-del-between": """
        class Rec:
            def __init__(self, limit): self.char_limit = limit
            def __del__(self):
                if type(m._const) is Rec:
                    m._const.char_limit = 1   # the record bound by then
        m._const = Rec(3)
        assert murkfold("abcd") == hidden("abc") and murkfold(["abcd"]) == [hidden("abc")]
        m._const = Rec(5)
        assert murkfold("abcd") == hidden("a") and murkfold(["abcd"]) == [hidden("a")]
    """,
    "const-binding/replaced-record-del-inside-format": """
        class Rec:
            def __init__(self, limit): self.char_limit = limit
            def __del__(self):
                if type(m._const) is Rec:
                    m._const.char_limit = 1
        m._const = Rec(3)
        assert murkfold(["abcd"]) == [hidden("abc")]
        leaf = Acts(lambda: setattr(m, "_const", Rec(5)))
        assert murkfold(["abcd", leaf, "abcd"]) == [hidden("abc"), leaf, hidden("a")]
    """,
    # An instance dictionary key that compares by Python code: every read of
    # the limit runs it, as a fresh read would.
    "instance-value/key-comparing-by-python-code": """
        calls = []
        class Collides:
            def __hash__(self): return hash("char_limit")
            def __eq__(self, other):
                calls.append(other)
                return False
        class Record: pass
        c = m._const = Record()
        c.__dict__[Collides()] = 0
        c.char_limit = 3
        calls.clear()
        c.char_limit        # what one read costs in comparisons
        per_read = len(calls)
        calls.clear()
        assert murkfold(["ab", "cd", "efgh"]) == ["ab", "cd", hidden("efg")]
        assert per_read >= 1 and len(calls) == 4 * per_read   # a test per leaf, and a cut
    """,
    "murkfold-name/inside-format": """
        leaf = Acts(lambda: setattr(m, "murkfold", lambda value=None: "S"))
        assert murkfold([leaf, 1, [2]]) == [leaf, "S", "S"]
        m.murkfold = murkfold
        assert murkfold([1, [2]]) == [1, [2]]
        del m.murkfold
        builtins.murkfold = lambda value=None: "B"
        assert murkfold([1, (2,)]) == ["B", "B"]
    """,
}

QUILLMARK = {
    "class-name/between": """
        Owner = type("Owner", (), {})
        o = Owner()
        for name, value in (("Owner", 1), ("Renamed", 2), ("Slots", 3)):
            object.__setattr__(o, f"_{name}__a", value)
        read = lambda: Quillmark.get_attribute(o, "__a")
        assert read() == 1 and Quillmark.has_attribute(o, "__a")
        Owner.__name__ = "Renamed"
        assert read() == 2
        Owner.__name__ = "__Slots"
        assert read() == 3
        Owner.__name__ = "Owner"
        assert read() == 1
    """,
    "class-name/inside-getter": """
        class Owner:
            @property
            def _Owner__a(self):
                type(self).__name__ = "Other"
                return Quillmark.get_attribute(self, "__b")
        o = Owner()
        o._Other__b = "new"
        assert Quillmark.get_attribute(o, "__a") == "new"
    """,
    "object-class/between": """
        class A: pass
        class B: pass
        o = A()
        o._A__x, o._B__x = 1, 2
        assert Quillmark.get_attribute(o, "__x") == 1
        o.__class__ = B
        assert Quillmark.get_attribute(o, "__x") == 2
        try:
            Quillmark.get_attribute(o, "__y")
        except AttributeError as exc:
            assert exc.name == "_B__y"
        else:
            raise AssertionError("found")
    """,
    "object-class/inside-getter": """
        class B: pass
        class A:
            @property
            def _A__x(self):
                self.__class__ = B
                return Quillmark.get_attribute(self, "__y")
        o = A()
        object.__setattr__(o, "_B__y", "b")
        assert Quillmark.get_attribute(o, "__x") == "b"
    """,
    "class-answered-by-the-mro/between": """
        class Base: pass
        class Says:
            __class__ = property(lambda self: Base)
        Owner = type("Owner", (Base,), {})
        o = Owner()
        o._Owner__a, o._Base__a = 1, 2
        assert Quillmark.get_attribute(o, "__a") == 1
        Owner.__bases__ = (Says,)
        assert Quillmark.get_attribute(o, "__a") == 2
        Owner.__bases__ = (Base,)
        assert Quillmark.get_attribute(o, "__a") == 1
    """,
    "class-answered-by-the-mro/inside-getter": """
        class Base: pass
        class Says:
            __class__ = property(lambda self: Base)
        class Owner(Base):
            @property
            def _Owner__a(self):
                Owner.__bases__ = (Says,)
                return Quillmark.get_attribute(self, "__b")
        o = Owner()
        object.__setattr__(o, "_Base__b", "via Says")
        assert Quillmark.get_attribute(o, "__a") == "via Says"
    """,
    "class-hooks/between": """
        class Owner: pass
        o = Owner()
        o._Owner__a, o._Spy__a = 1, 2
        assert Quillmark.get_attribute(o, "__a") == 1
        class Spy: pass
        Owner.__getattribute__ = lambda self, name: Spy if name == "__class__" else object.__getattribute__(self, name)
        assert Quillmark.get_attribute(o, "__a") == 2       # the object's own lookup answers __class__
        del Owner.__getattribute__
        assert Quillmark.get_attribute(o, "__a") == 1
        class Meta(type):
            __name__ = property(lambda cls: "Spy")
        o.__class__ = Meta("Owner", (), {})
        assert Quillmark.get_attribute(o, "__a") == 2       # the metaclass answers __name__
    """,
    "quillmark-name/between": """
        class Owner: pass
        o = Owner()
        o._Owner__a = 1
        assert Quillmark(o, "__a").value == 1
        class Other(Quillmark):
            __slots__ = ()
            @staticmethod
            def get_attribute(obj, attr): return "other"
        q.Quillmark = Other
        assert Quillmark(o, "__a").value == "other"
        del q.Quillmark
        builtins.Quillmark = Other
        assert Quillmark(o, "__a").exists is True
        class Meta(type): pass
        class Measured(Quillmark, metaclass=Meta):
            __slots__ = ()
            get_attribute = staticmethod(lambda obj, attr: "measured")
        q.Quillmark = Measured
        assert Quillmark(o, "__a").value == "measured"
        q.Quillmark = object()
        try:
            Quillmark(o, "__a").value
        except AttributeError as exc:
            assert exc.name == "get_attribute"
        else:
            raise AssertionError("no member, no call")
    """,
    "quillmark-name/inside-getter": """
        class Other(Quillmark):
            __slots__ = ()
            @staticmethod
            def get_attribute(obj, attr): return "other"
        class Owner:
            @property
            def _Owner__a(self):
                q.Quillmark = Other
                return Quillmark(self, "__b").value
        assert Quillmark(Owner(), "__a").value == "other"
    """,
    "quillmark-member/inside-getter": """
        saved = Quillmark.__dict__["get_attribute"]
        class Owner:
            @property
            def _Owner__a(self):
                Quillmark.get_attribute = staticmethod(lambda obj, attr: "replaced")
                return 1
        try:
            acc = Quillmark(Owner(), "__a")
            assert acc.value == 1 and acc.value == "replaced"
        finally:
            Quillmark.get_attribute = saved
        assert Quillmark.get_attribute is saved.__func__
    """,
}

FRAME = {
    # A key that compares by Python code: every lookup a fresh one would
    # make runs it, so none may be left out.
    "lookups/module-key-comparing-by-python-code": """
        calls = []
        class Collides:
            def __hash__(self): return hash("murkfold")
            def __eq__(self, other):
                calls.append(other)
                return False
        f = m.murkfold
        del m.murkfold
        m.__dict__[Collides()] = 1        # probed before the name, stored again below
        m.murkfold = f
        # What one lookup of the name costs in Python's own code.
        exec("def probe(): return murkfold", m.__dict__)
        calls.clear()
        m.probe()
        per_lookup = len(calls)
        calls.clear()
        assert murkfold([1, "a", (2,)]) == [1, "a", (2,)]
        assert per_lookup >= 1 and calls == ["murkfold"] * 4 * per_lookup   # a lookup for each nested call
    """,
    "lookups/module-key-whose-comparison-raises": """
        armed = []
        class Collides:
            def __hash__(self): return hash("murkfold")
            def __eq__(self, other):
                if armed:
                    raise LookupError("compared")
                return False
        f = m.murkfold
        del m.murkfold
        key = Collides()
        m.__dict__[key] = 1
        m.murkfold = f
        armed.append(True)
        try:
            murkfold([1])
        except LookupError as exc:
            assert str(exc) == "compared"
        else:
            raise AssertionError("the lookup's error was lost")
        finally:
            armed.clear()
            del m.__dict__[key]
    """,
    "lookups/builtins-key-comparing-by-python-code": """
        calls = []
        class Collides:
            def __hash__(self): return hash("_const")
            def __eq__(self, other):
                calls.append(other)
                return False
        del m._const
        vars(builtins)[Collides()] = 1
        builtins._const = _Const(1)
        exec("def probe(): return _const", m.__dict__)
        calls.clear()
        m.probe()
        per_lookup = len(calls)
        calls.clear()
        assert murkfold(["ab", "cd"]) == [hidden("a"), hidden("c")]
        assert per_lookup >= 1 and calls == ["_const"] * 4 * per_lookup   # a test and a cut for each leaf
    """,
}

STARVEIL = {
    "starveil-name/inside-items": """
        class Items(dict):
            def items(self):
                s.starveil = lambda name=None, value=None: "S"
                return [("pwd", "ab"), ("b", "c")]
        assert starveil(value=[Items(), "x"]) == [{"pwd": "S", "b": "S"}, "S"]
    """,
}

TABLES = {
    # The same dictionary built into two tables, its columns replaced between.
    "watched-columns/between": """
        table = {"columns": ["a"], "data": [{"a": 1}]}
        assert Table(table).columns == ["a"]
        table["columns"] = ["b"]
        try:
            Table(table)
        except Exception as exc:
            assert exc.args == ('Parameter "data"[0]["b"] not found',)
        else:
            raise AssertionError("columns were remembered")
    """,
    # Changed by a row's own code while the rows are checked: the rows after
    # it, and the new table, take the new columns.
    "watched-columns/inside-row-len": """
        table = {"columns": ["a"], "data": []}
        class Row(dict):
            def __len__(self):
                table["columns"] = ["b"]
                return dict.__len__(self)
        table["data"] = [{"a": 1}, Row(b=2), {"b": 3}]
        t = Table(table)
        assert (t.columns, t.data) == (["b"], [{"a": 1}, {"b": 2}, {"b": 3}])
    """,
    # A key that is not a string answers the lookup by its own __eq__, which
    # no watcher sees: the lookup is made again at every use.
    "watched-columns/key-comparing-by-python-code": """
        calls = []
        class Key:
            def __hash__(self): return hash("columns")
            def __eq__(self, other):
                calls.append(other)
                return len(calls) <= 3
        try:
            Table({Key(): ["a"], "data": [{"a": 1}, {"a": 2}, {"a": 3}]})
        except KeyError as exc:
            assert exc.args == ("columns",) and len(calls) >= 4   # looked up again and again
        else:
            raise AssertionError("the first answer was remembered")
    """,
    # The table dictionary an object's __dict__: storing an attribute into
    # the object's inline values reaches no dictionary watcher on 3.13.0.
    "columns/between-inline-values": """
        class R: pass
        r = R()
        r.columns, r.data = ["a"], [{"a": 1}, {"b": 2}]
        try:
            Table(r.__dict__)
        except Exception as exc:
            assert exc.args == ('Parameter "data"[1]["a"] not found',)
        r.columns = ["b"]
        r.data = [{"b": 1}]
        t = Table(r.__dict__)
        assert t.columns is r.columns and t.columns == ["b"]
    """,
    "columns/inside-row-len-inline-values": """
        class R: pass
        for new in (["b"], ["a"]):       # new contents, then equal contents in a new list
            r = R()
            r.columns = ["a"]
            class Row(dict):
                def __len__(self):
                    r.columns = new
                    return dict.__len__(self)
            r.data = [{"a": 1}, Row({new[0]: 2})]
            t = Table(r.__dict__)
            assert t.columns is new and t.columns == new
    """,
    # The same dictionary built into a table inside a row's own code: the
    # inner construction ends, and the outer one still sees later changes.
    "watched-columns/inside-a-nested-construction": """
        table = {"columns": ["a"]}
        done = []
        class Nest(dict):
            def __len__(self):
                if not done:
                    done.append(1)
                    table["data"] = [{"a": 0}]
                    Table(table)
                    table["data"] = outer
                return dict.__len__(self)
        class Change(dict):
            def __len__(self):
                table["columns"] = ["b"]
                return dict.__len__(self)
        outer = table["data"] = [Nest(a=1), {"a": 2}, Change(b=3), {"b": 4}]
        t = Table(table)
        assert t.columns == ["b"] and t.data is outer
    """,
    # Each field is stored with what the table holds by then: storing the
    # columns runs a subclass's __setattr__, which replaces or deletes "data"
    # (in a watched dictionary, and in an object's inline values).
    "data/inside-the-columns-store": """
        class R: pass
        for change in ("replaced", "deleted", "replaced-inline"):
            new = [{"a": 2}]
            if change == "replaced-inline":
                r = R()
                r.columns, r.data = ["a"], [{"a": 1}]
                table = r.__dict__
            else:
                table = {"columns": ["a"], "data": [{"a": 1}]}
            class Sub(Table):
                __slots__ = ()
                def __setattr__(self, name, value):
                    if name == "_Table__columns":
                        if change == "deleted":
                            del table["data"]
                        elif change == "replaced":
                            table["data"] = new
                        else:
                            r.data = new
                    object.__setattr__(self, name, value)
            try:
                t = Sub(table)
            except KeyError as exc:
                assert change == "deleted" and exc.args == ("data",)
            else:
                assert change != "deleted" and t.data is new, "the data was taken before the columns were stored"
    """,
    "selection/between": """
        t = Table({"columns": ["a", "b"], "data": [{"a": 1, "b": 2}]})
        include = ["a"]
        assert t.filter(include).data == [{"a": 1}]
        include[0] = "b"
        assert t.filter(include).data == [{"b": 2}]
    """,
    # Changed once the columns are chosen: the rows follow the new selection,
    # and the new table refuses rows that lack a chosen column.
    "selection/inside-row-items": """
        include = ["a", "b"]
        class Row(dict):
            def items(self):
                include.remove("b")
                return super().items()
        t = Table({"columns": ["a", "b"], "data": [{"a": 1, "b": 2}, Row(a=3, b=4), {"a": 5, "b": 6}]})
        try:
            t.filter(include)
        except ValueError as exc:
            assert exc.args == ('Parameter "data"[1] length not match with "columns" length',)
        else:
            raise AssertionError("the selection was remembered")
    """,
}

ROWS = [pytest.param(code, id=f"{group}:{name}")
        for group, rows in (("murkfold-limit", MURKFOLD), ("quillmark", QUILLMARK), ("frame", FRAME), ("starveil", STARVEIL),
                            ("tables", TABLES))
        for name, code in rows.items()]


@pytest.fixture
def restored():
    """The module namespaces, the builtins and the classes' members back as
    they were."""
    saved = [(vars(mod), dict(vars(mod))) for mod in (murk, quill, veil, tables, builtins)]
    members = {cls: dict(vars(cls)) for cls in (quill.Quillmark, murk._Const)}
    yield
    for cls, items in members.items():
        for name, value in items.items():
            if vars(cls).get(name) is not value and name not in ("__dict__", "__weakref__", "__doc__"):
                setattr(cls, name, value)
    for ns, items in saved:
        for name in [n for n in ns if n not in items]:
            del ns[name]
        for name, value in items.items():
            if ns.get(name, ns) is not value:
                ns[name] = value
        if ns is not vars(builtins) and list(ns) != list(items):
            ns.clear()  # a name deleted and put back moved to the end: the order is the module's too
            ns.update(items)


# Rows run under -b in an interpreter of their own, with tables imported
# against the recording stub logger.
IN_CHILD = f"""
import sys
sys.path.insert(0, {SUPPORT!r})
from tools.tables.tables import Table
"""


@pytest.mark.parametrize("bytes_warning", [False, True], ids=["", "-b"])
@pytest.mark.parametrize("code", ROWS)
def test_remembered_values_follow_their_dependencies(code, bytes_warning, restored):
    if bytes_warning:
        run_python(IN_CHILD + textwrap.dedent(PRELUDE) + textwrap.dedent(code), flags=["-b"])
        return
    namespace = {"Table": tables.Table}
    exec(textwrap.dedent(PRELUDE) + textwrap.dedent(code), namespace)


# A function kept from an import that failed runs in its own module
# dictionary, before, during and after a later import that succeeds inside
# its call. The `logging` decorator keeps filter and fails the first import;
# the second import happens while filter reads a field.
KEPT_FILTER = """
    old = kept[1].__globals__
    old["Table"] = lambda table, logger: ("old Table", table["columns"])
    sys.path.insert(0, {support!r})
    del sys.modules["logger"]
    class Source:
        _Table__data = []
        logs = []
        def __getattribute__(self, name):
            if name == "_Table__columns" and "tools.tables.tables" not in sys.modules:
                import tools.tables.tables as again
                assert again.__dict__ is not old and again.Table is not old["Table"]
            return object.__getattribute__(self, name)
        @property
        def _Table__columns(self):
            return ["a"]
        filter = types.SimpleNamespace(logger=None)
    print(kept[1](Source()))
    print(kept[1](Source()))
    import tools.tables.tables as again
    print(again.Table({{"columns": ["a"], "data": []}}).filter().columns)
"""


def test_kept_function_across_a_successful_import():
    out = run_python(FAILED_TABLES_IMPORT + textwrap.dedent(KEPT_FILTER).format(support=SUPPORT)).stdout
    assert out.splitlines() == ["('old Table', ['a'])"] * 2 + ["['a']"]


# With every dictionary-watcher slot of the interpreter taken before the
# import, nothing is remembered: every use reads afresh.
NO_WATCHER = """
    import ctypes, sys
    CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.c_void_p, ctypes.c_void_p)
    add = ctypes.pythonapi.PyDict_AddWatcher
    add.argtypes, add.restype = [CALLBACK], ctypes.c_int
    keep = CALLBACK(lambda *args: 0)
    while True:
        try:
            add(keep)
        except RuntimeError:  # "no more dict watcher IDs available"
            break
    import tools.common.murkfold as m
    import tools.common.starveil as s
    from tools.common.quillmark import Quillmark
    m._const = m._Const(2)
    print(m.murkfold(["abc"]), s.starveil("pwd", ["ab"]))
    m._const = m._Const(1)
    veil = s.starveil
    s.starveil = lambda name=None, value=None: "rebound"
    class Foo:
        pass
    foo = Foo()
    Quillmark.set_attribute(foo, "__x", 1)
    print(m.murkfold(["abc"]), veil("pwd", ["ab"]), Quillmark.get_attribute(foo, "__x"))
"""


def test_nothing_remembered_without_a_free_watcher():
    out = run_python(NO_WATCHER).stdout.splitlines()
    cut = "\n{\n%s\n...big-content hidden...\n}\n                "
    assert out == [str([cut % "ab"]) + " ['**']", str([cut % "a"]) + " ['rebound'] 1"]
