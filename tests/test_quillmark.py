"""tools.common.quillmark: the Quillmark accessor."""

import inspect
import sys

import pytest
from hypothesis import given, strategies as st

from conftest import raises_quietly, run_python, tb_names
from tools.common import quillmark
from tools.common.quillmark import Quillmark

SOURCE = "src/tools/common/quillmark"


def entry(member):
    return (SOURCE, f"tools.common.quillmark.Quillmark.{member}")


def outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except Exception as exc:
        return ("raised", type(exc), str(exc))


def model_name(obj, attr):
    """The mangling rule, in Python."""
    if not attr.startswith("__") or attr.startswith("___") or attr.endswith("__"):
        return attr
    owner = obj if isinstance(obj, type) else obj.__class__
    return "_" + owner.__name__.lstrip("_") + attr


class Foo:
    def __init__(self):
        self.__secret = "s"

    def secret(self):
        return self.__secret


def test_class_shape():
    assert [k for k in vars(quillmark) if not k.startswith("__")] == ["Any", "Quillmark"]
    assert list(vars(Quillmark))[:10] == ["__module__", "__slots__", "__init__", "name", "value", "exists",
                                          "get_name", "get_attribute", "set_attribute", "has_attribute"]
    assert Quillmark.__slots__ == ("__obj", "__attr") and Quillmark.__bases__ == (object,)
    assert type(Quillmark) is type and Quillmark.__doc__ is None and Quillmark.__qualname__ == "Quillmark"
    q = Quillmark(None, "x")
    assert not hasattr(q, "__dict__") and not hasattr(q, "__weakref__")
    with pytest.raises(AttributeError):
        q.other = 1
    for name in ("name", "exists"):
        with pytest.raises(AttributeError):
            setattr(q, name, 1)
    with pytest.raises(AttributeError):
        del q.value
    assert Quillmark.value.fdel is None and Quillmark.name.fset is None and Quillmark.value.__doc__ is None


DOC = ("\n            {}\n\n            :param obj: object instance\n"
       "            :param attr: attribute name\n{}            ")


@pytest.mark.parametrize("fn, signature, doc", [
    (Quillmark.__init__, "(self, obj: 'Any', attr: 'str')", None),
    (Quillmark.name.fget, "(self) -> 'str'", None),
    (Quillmark.value.fget, "(self) -> 'Any'", None),
    (Quillmark.value.fset, "(self, value: 'Any')", None),
    (Quillmark.exists.fget, "(self) -> 'bool'", None),
    (Quillmark.get_name, "(obj: 'Any', attr: 'str') -> 'str'",
     DOC.format("Build attribute name.", "            :return: attribute name (mangled, for private attributes)\n")),
    (Quillmark.get_attribute, "(obj: 'Any', attr: 'str') -> 'Any'",
     DOC.format("Get an attribute.", "            :return: attribute value\n")),
    (Quillmark.set_attribute, "(obj: 'Any', attr: 'str', value: 'Any')",
     DOC.format("Set an attribute.", "            :param value: attribute value\n            :return:\n")),
    (Quillmark.has_attribute, "(obj: 'Any', attr: 'str') -> 'bool'", None),
])
def test_members(fn, signature, doc):
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__ == doc and fn.__module__ == "tools.common.quillmark"
    assert fn.__qualname__ == "Quillmark." + ("value" if fn.__name__ == "value" else fn.__name__)
    assert all(isinstance(v, str) for v in fn.__annotations__.values())
    kind = {"__init__": type(fn), "name": property, "value": property, "exists": property}
    assert type(vars(Quillmark)[fn.__name__]) is kind.get(fn.__name__, staticmethod)


def make(name):
    return type(name, (), {})()


@pytest.mark.parametrize("obj, attr, expected", [
    (Foo(), "data", "data"), (Foo(), "_data", "_data"), (Foo(), "", ""), (Foo(), "__data__", "__data__"),
    (Foo(), "__init__", "__init__"), (Foo(), "___data", "___data"), (Foo(), "__", "__"), (Foo(), "___", "___"),
    (Foo(), "__data", "_Foo__data"), (Foo(), "__data_", "_Foo__data_"), (Foo(), "__a.b", "_Foo__a.b"),
    (make("_Foo"), "__data", "_Foo__data"), (make("__Foo"), "__data", "_Foo__data"),
    (make("__Foo__"), "__data", "_Foo____data"), (make("___"), "__data", "___data"),
    (make("Ünï"), "__dätä", "_Ünï__dätä"), (make("A"), "__\U0001f600", "_A__\U0001f600"),
    (make("Ω"), "__a", "_Ω__a"), (make("a"), "__Ω", "_a__Ω"), (make("é"), "__\U0001f600", "_é__\U0001f600"),
    (make("\U0001f600"), "__é", "_\U0001f600__é"), (make("Ω"), "__é", "_Ω__é"),
    (Foo, "__data", "_Foo__data"), (None, "__data", "_NoneType__data"), (5, "__data", "_int__data"),
    (type, "__data", "_type__data"),
])
def test_get_name(obj, attr, expected):
    result = Quillmark.get_name(obj, attr)
    assert result == expected and type(result) is str
    # Built as "_" + name + attr would be: the same text, kind and size.
    assert (result.isascii(), sys.getsizeof(result)) == (expected.isascii(), sys.getsizeof(expected))
    if expected == attr:
        assert result is attr
    assert Quillmark(obj, attr).name == expected and Quillmark.get_name(obj=obj, attr=attr) == expected


@given(st.text("_aZ.é", max_size=6), st.text("_aZ.é", max_size=6), st.booleans())
def test_get_name_matches_model(cls_name, attr, as_class):
    cls = type(cls_name or "X", (), {})
    obj = cls if as_class else cls()
    assert Quillmark.get_name(obj, attr) == model_name(obj, attr)


class Odd:
    """Reports a class of its own choosing."""
    def __init__(self, owner):
        self.owner = owner

    @property
    def __class__(self):
        if isinstance(self.owner, Exception):
            raise type(self.owner)(*self.owner.args)  # a fresh one: a raised object keeps its traceback
        return self.owner


def named(name):
    return type("Named", (), {"__name__": name})()


class Strip:
    def __init__(self, result):
        self.result = result

    def lstrip(self, chars):
        return self.result


class Fmt(str):
    def __format__(self, spec):
        return "fmt"


@pytest.mark.parametrize("obj, expected", [
    (Odd(Foo), ("ok", "_Foo__x")),
    (Odd(ValueError("no class")), ("raised", ValueError, "no class")),
    (Odd(5), ("raised", AttributeError, "'int' object has no attribute '__name__'")),
    (Odd(named(Strip(7))), ("ok", "_7__x")),
    (Odd(named(Strip(Fmt("Zed")))), ("ok", "_fmt__x")),
    (Odd(named(b"_b")), ("raised", TypeError, "a bytes-like object is required, not 'str'")),
    (Odd(named(Strip(named(1)))), ("ok", "_<" + __name__ + ".Named object at")),
], ids=["class", "raises", "int", "lstrip-int", "lstrip-str-subclass", "bytes", "lstrip-object"])
def test_odd_owners(obj, expected, no_leak):
    got = outcome(Quillmark.get_name, obj, "__x")
    assert got[:-1] == expected[:-1] and got[-1].startswith(expected[-1])
    no_leak(raises_quietly(lambda: Quillmark.get_name(obj, "__x")))


class Sub(str):
    pass


@pytest.mark.parametrize("call", [
    lambda a: Quillmark.get_name(Foo(), a), lambda a: Quillmark.get_attribute(Foo(), a),
    lambda a: Quillmark.set_attribute(Foo(), a, 1), lambda a: Quillmark.has_attribute(Foo(), a),
    lambda a: Quillmark(Foo(), a),
])
@pytest.mark.parametrize("bad", [Sub("__secret"), b"__secret", None, 5])
def test_attr_type(call, bad):
    with pytest.raises(TypeError) as info:
        call(bad)
    assert str(info.value) == f"Argument 'attr' has incorrect type (expected str, got {type(bad).__name__})"
    assert bool(getattr(info.value, "__notes__", None)) == isinstance(bad, str)


def test_init_refused_leaves_fields():
    q = Quillmark(1, "a")
    with pytest.raises(TypeError):
        q.__init__(2, None)
    assert (q._Quillmark__obj, q._Quillmark__attr) == (1, "a")
    q.__init__(3, "b")
    assert (q._Quillmark__obj, q._Quillmark__attr) == (3, "b")

    class Locked(Quillmark):
        __slots__ = ()

        def __setattr__(self, name, value):
            if name == "_Quillmark__attr":
                raise AttributeError("locked")
            super().__setattr__(name, value)

    with pytest.raises(AttributeError, match="^locked$") as info:
        Locked(1, "a")
    assert tb_names(info.value)[-2] == ("src/tools/common/quillmark", "tools.common.quillmark.Quillmark.__init__")


def test_name_whose_get_name_cannot_be_had():
    # `name` looks get_name up on the instance: a subclass whose get_name
    # raises has that error reach the caller, under the property's entry.
    Refusing = type("Refusing", (Quillmark,), {"get_name": property(lambda self: 1 / 0)})
    with pytest.raises(ZeroDivisionError) as info:
        Refusing(Foo(), "__secret").name
    assert tb_names(info.value)[1:3] == [("src/tools/common/quillmark", "tools.common.quillmark.Quillmark.name"),
                                         (__file__, "<lambda>")]


def test_private_attribute_round_trip():
    foo = Foo()
    q = Quillmark(foo, "__secret")
    assert (q.name, q.value, q.exists) == ("_Foo__secret", "s", True)
    q.value = "t"
    assert foo.secret() == "t" and Quillmark.get_attribute(foo, "__secret") == "t"
    assert Quillmark.set_attribute(foo, "__secret", "u") is None and foo.secret() == "u"
    assert not Quillmark(foo, "__nope").exists


class Hooked:
    def __init__(self):
        object.__setattr__(self, "real", 1)

    def __getattr__(self, name):
        return "hooked"

    def __getattribute__(self, name):
        if name == "__class__":
            return Hooked
        return "hooked"

    def __setattr__(self, name, value):
        raise RuntimeError("refused")


class Slots:
    __slots__ = ("_Slots__a", "b")


class Props:
    @property
    def __bad(self):
        raise ValueError("bad")

    @property
    def __gone(self):
        raise AttributeError("gone")


def test_hooks_bypassed():
    h = Hooked()
    assert not Quillmark.has_attribute(h, "missing")
    with pytest.raises(AttributeError):
        Quillmark.get_attribute(h, "missing")
    Quillmark.set_attribute(h, "__p", 2)
    assert Quillmark.get_attribute(h, "__p") == 2 and Quillmark.get_attribute(h, "real") == 1


def test_target_properties_that_raise():
    with pytest.raises(ValueError, match="bad"):
        Quillmark.has_attribute(Props(), "__bad")
    with pytest.raises(ValueError, match="bad"):
        Quillmark(Props(), "__bad").exists
    assert not Quillmark.has_attribute(Props(), "__gone") and not Quillmark(Props(), "__gone").exists


class WithSetattr:
    def __setattr__(self, name, value):
        object.__setattr__(self, name, value)


# Reads and writes must do exactly what object's own members do.
TARGETS = [Foo(), Slots(), Foo, Props(), Hooked(), 5, None, quillmark, WithSetattr(), [], inspect, Odd(Foo)]


@pytest.mark.parametrize("obj", TARGETS, ids=lambda o: type(o).__name__)
@pytest.mark.parametrize("attr", ["__secret", "__a", "b", "__class__", "__nope", "__gone"])
def test_same_as_object_members(obj, attr):
    name = Quillmark.get_name(obj, attr)
    assert outcome(Quillmark.get_attribute, obj, attr) == outcome(object.__getattribute__, obj, name)
    if attr != "__class__":
        assert outcome(Quillmark.set_attribute, obj, attr, 7) == outcome(object.__setattr__, obj, name, 7)


def test_write_errors():
    with pytest.raises(TypeError, match=r"^can't apply this __setattr__ to type object$"):
        Quillmark.set_attribute(Foo, "__x", 1)
    with pytest.raises(AttributeError):
        Quillmark.set_attribute(Slots(), "__other", 1)
    s = Slots()
    Quillmark.set_attribute(s, "__a", 1)
    assert s._Slots__a == 1


def test_unset_and_rebound_fields():
    q = Quillmark.__new__(Quillmark)
    unset = "^'tools.common.quillmark.Quillmark' object has no attribute '_Quillmark__obj'$"
    for read in (lambda: q.name, lambda: q.value, lambda: q.exists):
        with pytest.raises(AttributeError, match=unset):
            read()
    with pytest.raises(AttributeError):
        q.value = 1
    q = Quillmark(Foo(), "__secret")
    q._Quillmark__obj = other = Foo()
    q.value = "new"
    assert other.secret() == "new"
    q._Quillmark__attr = Sub("__secret")
    for read, member in ((lambda: q.name, "name"), (lambda: q.value, "value"), (lambda: q.exists, "exists")):
        with pytest.raises(TypeError, match="^Argument 'attr' has incorrect type") as info:
            read()
        # The refused call adds no entry of its own; the property does.
        assert [e for e in tb_names(info.value) if e[0] == SOURCE] == [entry(member)]


class Renamer(Quillmark):
    __slots__ = ()

    @staticmethod
    def get_name(obj, attr):
        return obj.answer if hasattr(obj, "answer") else "__secret"


def test_subclass_override():
    foo = Foo()
    r = Renamer(foo, "__secret")
    assert r.name == "__secret" and r.value == "s" and r.exists
    foo.answer = 5
    with pytest.raises(TypeError, match="^Expected str, got int$") as info:
        r.name
    assert tb_names(info.value)[-1] == entry("name")
    foo.answer = None
    assert r.name is None


def test_traceback_entries():
    with pytest.raises(AttributeError) as info:
        Quillmark(Foo(), "__nope").value
    assert tb_names(info.value)[1:] == [entry("value"), entry("get_attribute")]
    with pytest.raises(ValueError) as info:
        Quillmark(Odd(ValueError("x")), "__a").exists
    assert [e for e in tb_names(info.value) if e[0] == SOURCE] == [
        entry("exists"), entry("has_attribute"), entry("get_attribute"), entry("get_name")]
    caught = []

    class Keeps:
        @property
        def __p(self):
            caught.append(AttributeError("kept"))
            raise caught[-1]
    assert not Quillmark.has_attribute(Keeps(), "__p")
    assert entry("has_attribute") in tb_names(caught[0])


class Recorder:
    calls = []

    @staticmethod
    def get_name(**kw):
        Recorder.calls.append(("get_name", kw))
        return "_Foo__secret"

    @staticmethod
    def get_attribute(**kw):
        Recorder.calls.append(("get_attribute", kw))
        return "read"

    @staticmethod
    def set_attribute(**kw):
        Recorder.calls.append(("set_attribute", kw))
        return "ignored"

    @staticmethod
    def has_attribute(**kw):
        Recorder.calls.append(("has_attribute", kw))
        return "maybe"


def test_routing_through_module_name(monkeypatch):
    foo = Foo()
    q = Quillmark(foo, "__x")
    monkeypatch.setattr(quillmark, "Quillmark", Recorder)
    Recorder.calls = []
    assert (q.value, q.exists, q.name) == ("read", "maybe", "_Foo__x")
    q.value = 3
    assert Quillmark.get_attribute(foo, "__x") == "s" and Quillmark.has_attribute(foo, "__x") is True
    Quillmark.set_attribute(foo, "__x", "z")
    kw = {"obj": foo, "attr": "__x"}
    assert Recorder.calls == [("get_attribute", kw), ("has_attribute", kw), ("set_attribute", {**kw, "value": 3}),
                              ("get_name", kw), ("get_attribute", kw), ("get_name", kw)]
    assert foo.secret() == "z"
    monkeypatch.delattr(quillmark, "Quillmark")
    for call in (lambda: q.value, lambda: q.exists, lambda: Quillmark.has_attribute(foo, "__x"),
                 lambda: Quillmark.get_attribute(foo, "__x")):
        with pytest.raises(NameError, match="^name 'Quillmark' is not defined$"):
            call()
    assert q.name == "_Foo__x"


@pytest.mark.parametrize("name", [5, None, Sub("_Foo__secret")])
def test_odd_names_from_a_replaced_get_name(monkeypatch, name):
    monkeypatch.setattr(Quillmark, "get_name", staticmethod(lambda obj, attr: name))
    foo = Foo()
    assert outcome(Quillmark.get_attribute, foo, "__secret") == outcome(object.__getattribute__, foo, name)
    assert outcome(Quillmark.set_attribute, foo, "__secret", 1) == outcome(object.__setattr__, foo, name, 1)


class Plain:
    pass


class Reporting:
    __class__ = property(lambda self: Slots)


class Tracked(Quillmark):
    __slots__ = ()


def test_fields_read_through_a_subclass_hook():
    # A subclass with an attribute hook of its own: the properties read the
    # fields by ordinary attribute access, so the hook answers.
    class Hooked(Quillmark):
        __slots__ = ()

        def __getattribute__(self, name):
            if name == "_Quillmark__attr":
                return "__other"
            return super().__getattribute__(name)

    foo = Foo()
    foo._Foo__other = "o"
    h = Hooked(foo, "__secret")
    assert (h.name, h.value, h.exists) == ("_Foo__other", "o", True)
    h.value = "p"
    assert foo._Foo__other == "p" and foo._Foo__secret == "s"


def test_field_under_a_non_data_descriptor():
    # A subclass's class attribute without __set__ over a field: the field,
    # stored in the instance dictionary, wins as in the generic lookup.
    class Shadow(Quillmark):
        _Quillmark__obj = staticmethod(lambda: "descriptor")

    foo = Foo()
    s = Shadow(foo, "__secret")
    assert vars(s)["_Quillmark__obj"] is foo
    assert (s.name, s.value, s.exists) == ("_Foo__secret", "s", True)


def test_class_name_that_is_a_str_subclass():
    # Its own lstrip runs at every use: nothing about it is remembered.
    calls = []

    class Name(str):
        def lstrip(self, chars=None):
            calls.append(chars)
            return "N%d" % len(calls)

    cls = type("Plain", (), {})
    cls.__name__ = Name("Plain")
    o = cls()
    o._N1__a, o._N2__a = 1, 2
    assert Quillmark.get_attribute(o, "__a") == 1 and Quillmark.get_attribute(o, "__a") == 2
    assert calls == ["_", "_"]


def test_object_replaced_before_the_import():
    # `object` is taken from the builtins when the module is imported; its
    # members are looked up on it at each call.
    out = run_python("""
        import builtins, importlib.util, types, typing, tools.common
        real = object
        class Spy:
            @staticmethod
            def __getattribute__(obj, name):
                return ("spied", name)
            __setattr__ = staticmethod(lambda obj, name, value: print("set", name, value))
        builtins.object = Spy
        from tools.common.quillmark import Quillmark
        builtins.object = real
        class Foo:
            pass
        print(Quillmark.get_attribute(Foo(), "__x"), Quillmark.has_attribute(Foo(), "__y"))
        Quillmark.set_attribute(Foo(), "__z", 1)
    """).stdout
    assert out.splitlines() == ["('spied', '_Foo__x') True", "set _Foo__z 1"]


def test_class_changes_seen_at_once(monkeypatch):
    foo = Foo()
    q = Quillmark(foo, "__secret")
    assert q.value == "s"
    monkeypatch.setattr(Quillmark, "get_name", staticmethod(lambda obj, attr: "_Foo__other"))
    foo._Foo__other = "o"
    assert q.value == "o" and q.name == "_Foo__other"
    monkeypatch.undo()
    assert q.value == "s"
    Child = type("Child", (Plain,), {})
    c = Child()
    assert Quillmark.get_name(c, "__a") == "_Child__a"
    Child.__bases__ = (Reporting,)
    assert Quillmark.get_name(c, "__a") == "_Slots__a"
    t = Tracked(foo, "__secret")
    assert t.value == "s"
    Tracked._Quillmark__obj = property(lambda self: Foo.__new__(Foo))
    assert not t.exists and t.name == "_Foo__secret"


def test_recursion_is_an_error():
    class Loop:
        @property
        def __class__(self):
            return Quillmark.get_name(self, "__x")
    with pytest.raises(RecursionError):
        Quillmark.get_name(Loop(), "__x")


def test_recursion_on_small_stacks():
    code = """
        import threading
        from tools.common.quillmark import Quillmark

        class Loop:
            @property
            def __class__(self):
                return Quillmark.get_name(self, "__x")

            @property
            def __p(self):
                return Quillmark(self, "__p").value

        def run():
            for read in (lambda: Quillmark.get_name(Loop(), "__x"), lambda: Quillmark(Loop(), "__p").value):
                try:
                    read()
                except RecursionError:
                    print("RecursionError")

        for size in (64 << 10, 256 << 10, 0):
            try:
                threading.stack_size(size)
            except ValueError:  # below the platform's least (128 KiB on Linux aarch64)
                threading.stack_size(128 << 10)
            t = threading.Thread(target=run)
            t.start()
            t.join()
    """
    assert run_python(code).stdout == "RecursionError\n" * 6


@pytest.mark.parametrize("fn, args, message", [
    (Quillmark.__init__, (1, 2, 3, 4), "__init__() takes exactly 3 positional arguments (4 given)"),
    (Quillmark.name.fget, (1, 2), "name() takes exactly 1 positional argument (2 given)"),
    (Quillmark.value.fset, (1,), "value() takes exactly 2 positional arguments (1 given)"),
    (Quillmark.exists.fget, (), "exists() takes exactly 1 positional argument (0 given)"),
    (Quillmark.set_attribute, (1, "a"), "set_attribute() takes exactly 3 positional arguments (2 given)"),
    (Quillmark.has_attribute, (1, "a", 3), "has_attribute() takes exactly 2 positional arguments (3 given)"),
])
def test_binding_counts(fn, args, message):
    with pytest.raises(TypeError) as info:
        fn(*args)
    assert str(info.value) == message
