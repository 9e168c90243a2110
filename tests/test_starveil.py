"""tools.common.starveil: names and masking, the walk, the type test on
nested names, rebinding of the module-level name, hostile input and
traceback entries."""

import collections
import gc
import inspect
import sys
import traceback

import pytest

import tools.common.starveil as mod
from conftest import tb_names
from tools.common.starveil import starveil

FILE = "src/tools/common/starveil"
ENTRY = (FILE, "tools.common.starveil.starveil")
GENEXPR = (FILE, "tools.common.starveil.starveil.genexpr")
TYPE_MESSAGE = "Argument 'name' has incorrect type (expected str, got {})"


@pytest.fixture
def rebind(monkeypatch):
    def set_name(value):
        monkeypatch.setattr(mod, "starveil", value)
    return set_name


def test_module_and_function_attributes():
    assert [n for n in vars(mod) if not n.startswith("__")] == ["Any", "starveil"]
    assert mod.__doc__ is None and mod.__test__ == {}
    assert (starveil.__name__, starveil.__qualname__, starveil.__module__) == ("starveil", "starveil",
                                                                               "tools.common.starveil")
    assert starveil.__defaults__ == (None, None)
    assert starveil.__annotations__ == {"name": "str", "value": "Any", "return": "Any"}
    assert starveil.__doc__ == ("\n        Starveil in the object.\n\n        :param name: 'param-name'\n"
                                "        :param value: 'param-value'\n"
                                "        :return: new object with masked password\n        ")
    assert str(inspect.signature(starveil)) == "(name: 'str' = None, value: 'Any' = None) -> 'Any'"


@pytest.mark.parametrize("name, value, expected", [
    (None, None, ""),
    ("password", None, ""),
    ("user", None, ""),
    ("Password", "abc", "***"),
    ("DB_PWD", "ab", "**"),
    ("pwd", "äöü", "***"),
    ("password", "", ""),
    ("db_password", "x" * 50, "*" * 50),
    ("Passwords", "a", "*"),
    ("PasswordHint", "a", "*"),
    ("user_pwd", "a", "*"),
    ("PWD", "a", "*"),
    ("pAsSwOrD", "a", "*"),
    ("ПАРОЛЬ password", "a", "*"),      # non-ASCII names are lower-cased the usual way
    ("ÀPWDÀ", "a", "*"),
    ("p\u0130wd", "a", "a"),            # İ lowers to two characters, none of them a letter of pwd
    ("pass\u212aword", "a", "a"),       # the Kelvin sign lowers to k
    ("😀pwd😀", "🔑🔑", "**"),
])
def test_masking(name, value, expected):
    result = starveil(name, value)
    assert result == expected
    # A mask is a canonical ASCII string, as "*" * n makes it.
    assert result.isascii() and sys.getsizeof(result) == sys.getsizeof("*" * len(expected))
    if len(expected) < 2:  # "*" * 0 and "*" * 1 are the interpreter's shared strings: the same objects back
        assert result is expected[:1] and result.isascii()
    assert starveil(name=name, value=value) == expected
    assert starveil(name, [value, (value,)]) == [expected, (expected,)]


@pytest.mark.parametrize("name", [None, "passwd", "pass", "secret", "", "p_w_d", "pass word", "PASSWOR", "pw"])
def test_names_that_do_not_mask_return_the_same_object(name):
    value = "abc"
    assert starveil(name, value) is value
    assert starveil(name, [value])[0] is value


@pytest.mark.parametrize("value", [1234, b"bytes", {"a", "b"}, frozenset({"x"}), 2.5, True, object()])
def test_only_strings_are_masked(value):
    assert starveil("password", value) is value
    assert starveil("password", [value])[0] is value


def test_string_subclasses_are_masked_by_their_len():
    class Odd(str):
        def __len__(self):
            return 2

    class Broken(str):
        def __len__(self):
            raise ArithmeticError("no length")

    assert starveil("pwd", Odd("abcdef")) == "**"
    plain = Odd("abc")
    assert starveil("user", plain) is plain         # len() is asked only when masking
    with pytest.raises(ArithmeticError, match="no length") as info:
        starveil("x", {"pwd": Broken("a")})
    assert tb_names(info.value)[1:3] == [ENTRY, ENTRY]


def test_dictionaries_use_their_keys_as_names():
    assert starveil(value={"password": "abc", "user": "u"}) == {"password": "***", "user": "u"}
    value = {"k": "v"}
    result = starveil("password", value)
    assert result == value and result is not value
    assert starveil(value={"Password": None}) == {"Password": ""}
    assert starveil(value={None: "abc"}) == {None: "abc"}
    assert starveil(value={None: ["pwd", ("x",)]}) == {None: ["pwd", ("x",)]}   # the empty name reaches down
    assert starveil("pwd", [{"user": "u"}]) == [{"user": "u"}]
    assert starveil("password", ["ab", 1, ("c",)]) == ["**", 1, ("*",)]


def test_nested_record():
    record = {"db": {"host": "h", "Password": "hunter2", "ports": [1, 2]},
              "users": [{"name": "a", "pwd": "xy", "history": ("old1", "old2")}],
              "api_password": ["k1", ("k22", None)],
              "password": {"note": "not a password"}}
    assert starveil(value=record) == {
        "db": {"host": "h", "Password": "*******", "ports": [1, 2]},
        "users": [{"name": "a", "pwd": "**", "history": ("old1", "old2")}],
        "api_password": ["**", ("***", "")],
        "password": {"note": "not a password"}}


def test_keys_are_kept_and_containers_become_plain():
    class MyDict(dict):
        pass

    Point = collections.namedtuple("Point", "password other")
    key = "password"
    value = collections.OrderedDict([(key, Point("ab", MyDict(pwd=["c"])))])
    result = starveil(value=value)
    assert type(result) is dict and next(iter(result)) is key
    assert type(result[key]) is tuple and type(result[key][1]) is dict
    assert result == {"password": ("**", {"pwd": ["*"]})}
    assert [starveil(value=v) for v in ({}, [], ())] == [{}, [], ()]
    empties = starveil(value=[(), ()])   # the interpreter's shared empty tuple, left untracked
    assert empties == [(), ()] and empties[1] is () and not gc.is_tracked(())
    assert gc.is_tracked(starveil(value=[[1]])) and gc.is_tracked(starveil(value=([1],)))


@pytest.mark.parametrize("key, type_name", [(1, "int"), (2.5, "float"), ((1,), "tuple"), (b"pwd", "bytes")])
def test_non_string_keys_fail_the_type_test(key, type_name):
    with pytest.raises(TypeError) as info:
        starveil(value={"ok": "x", key: "v"})
    assert str(info.value) == TYPE_MESSAGE.format(type_name)
    assert not getattr(info.value, "__notes__", None)
    # the refused nested call adds no entry of its own
    assert tb_names(info.value)[1:] == [ENTRY]
    with pytest.raises(TypeError) as info:
        starveil(value=[({key: "v"},)])
    assert tb_names(info.value)[1:] == [ENTRY, ENTRY, GENEXPR, ENTRY]
    assert {line for frame, line in traceback.walk_tb(info.value.__traceback__)
            if frame.f_code.co_filename == FILE} == {9}


def test_string_subclass_key_fails_with_the_note():
    class Key(str):
        pass

    with pytest.raises(TypeError) as info:
        starveil(value={Key("password"): "v"})
    assert str(info.value) == TYPE_MESSAGE.format("Key")
    assert len(info.value.__notes__) == 1
    with pytest.raises(TypeError) as info:
        starveil(Key("password"), "v")
    assert str(info.value) == TYPE_MESSAGE.format("Key") and len(info.value.__notes__) == 1


@pytest.mark.parametrize("name, type_name", [(123, "int"), (b"x", "bytes"), (["password"], "list")])
def test_bad_top_level_name(name, type_name):
    with pytest.raises(TypeError) as info:
        starveil(name, "v")
    assert str(info.value) == TYPE_MESSAGE.format(type_name)


def test_bad_arguments():
    with pytest.raises(TypeError) as info:
        starveil(1, 2, 3)
    assert str(info.value) == "starveil() takes at most 2 positional arguments (3 given)"
    with pytest.raises(TypeError, match=r"^starveil\(\) got multiple values for keyword argument 'name'$"):
        starveil("a", name="b")


def test_nested_calls_go_through_the_module_level_name(rebind):
    seen = []
    original = mod.starveil

    def spy(*args, **kwargs):
        seen.append((args, kwargs))
        return original(**kwargs)

    rebind(spy)
    assert starveil("pwd", {"k": ["v", ("w",)], None: 1}) == {"k": ["v", ("w",)], None: 1}
    assert seen == [((), {"name": "k", "value": ["v", ("w",)]}), ((), {"name": "k", "value": "v"}),
                    ((), {"name": "k", "value": ("w",)}), ((), {"name": "k", "value": "w"}),
                    ((), {"name": None, "value": 1})]


def test_rebound_name_sees_non_string_keys(rebind):
    rebind(lambda name=None, value=None: (name, value))
    assert starveil(value={1: "a", "pwd": "b"}) == {1: (1, "a"), "pwd": ("pwd", "b")}
    assert starveil(None, ["x"]) == [("", "x")]     # the defaulted name is handed down


def test_rebinding_during_the_walk(monkeypatch):
    class Switch(str):
        def __len__(self):
            mod.starveil = lambda name=None, value=None: "S"
            return 1

    monkeypatch.setattr(mod, "starveil", mod.starveil)
    assert starveil("pwd", [Switch("x"), "y", ["z"]]) == ["*", "S", "S"]


def test_missing_name(monkeypatch):
    monkeypatch.delattr(mod, "starveil")
    assert starveil("pwd", "abc") == "***"
    with pytest.raises(NameError, match="^name 'starveil' is not defined$") as info:
        starveil(value=("a",))
    assert tb_names(info.value)[1:] == [ENTRY, GENEXPR]
    monkeypatch.setattr("builtins.starveil", lambda name=None, value=None: "B", raising=False)
    assert starveil(value={"a": 1}) == {"a": "B"}


def test_exact_dict_resized_during_the_walk():
    data = {}

    class Grow(str):
        def __len__(self):
            data["more"] = 1
            return 1

    data["pwd"] = Grow("g")
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$") as info:
        starveil(value=data)
    assert tb_names(info.value)[1:] == [ENTRY]


def test_lists_mutated_during_the_walk():
    data = []

    class Shrink(str):
        def __len__(self):
            del data[1:]
            gc.collect()
            return 3

    data[:] = [Shrink("a"), "b", "c"]
    assert starveil("pwd", data) == ["***"]

    class Grow(str):
        def __len__(self):
            if len(data) < 5:
                data.append(Grow("g"))
            return 1

    data[:] = [Grow("g")]
    assert starveil("pwd", data) == ["*"] * 5


@pytest.mark.parametrize("items, error, message", [
    ([(1, 2, 3)], ValueError, "too many values to unpack (expected 2)"),
    ([("pwd",)], ValueError, "need more than 1 value to unpack"),
    ([()], ValueError, "need more than 0 values to unpack"),
    ([None], TypeError, "'NoneType' object is not iterable"),
    ([("ok", "v"), (5, "v")], TypeError, TYPE_MESSAGE.format("int")),
    (None, TypeError, "'NoneType' object is not iterable"),    # items() itself
])
def test_dict_subclass_items_that_are_not_pairs(items, error, message):
    class Junk(dict):
        def items(self):
            return items

    with pytest.raises(error) as info:
        starveil(value=[Junk()])
    assert str(info.value) == message
    assert tb_names(info.value)[1:] == [ENTRY, ENTRY]


def test_dict_subclass_items_that_mutate():
    class Mutating(dict):
        def items(self):
            for k in list(dict.keys(self)):
                self.clear()
                gc.collect()
                yield k, "secret"

    assert starveil(value=Mutating(pwd=1, user=2)) == {"pwd": "******", "user": "secret"}
