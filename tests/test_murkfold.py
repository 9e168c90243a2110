"""tools.common.murkfold: the walk, the limit and its cut, conversions,
rebinding of module-level names, hostile input and traceback entries."""

import collections
import dataclasses
import gc
import inspect
import re
import sys
import weakref
import traceback

import pytest

import tools.common.murkfold as mod
from conftest import tb_names
from tools.common.murkfold import _Const, murkfold

OPEN = "\n{\n"
CLOSE = "\n...big-content hidden...\n}\n                "
FAILED = "\n{\nHidden: Content too large for string conversion\n...big-content hidden...\n}\n                "
FILE = "src/tools/common/murkfold"
ENTRY = (FILE, "tools.common.murkfold.murkfold")
GENEXPR = (FILE, "tools.common.murkfold.murkfold.genexpr")


def hidden(text, limit=4000):
    return OPEN + text[:limit] + CLOSE


@pytest.fixture
def limit(monkeypatch):
    """Rebinds the module's `_const` to a record with the given limit."""
    def set_limit(value):
        monkeypatch.setattr(mod, "_const", _Const(char_limit=value))
    return set_limit


@pytest.fixture
def rebind(monkeypatch):
    def set_name(name, value):
        monkeypatch.setattr(mod, name, value)
    return set_name


def test_module_and_function_attributes():
    names = [n for n in vars(mod) if not n.startswith("__")]
    assert names == ["dataclass", "Any", "_Const", "_const"] + ["murkfold"]
    assert list(vars(mod))[-1] == "__test__" and mod.__test__ == {}
    assert mod.__doc__ is None
    assert (murkfold.__name__, murkfold.__qualname__, murkfold.__module__) == ("murkfold", "murkfold",
                                                                               "tools.common.murkfold")
    assert murkfold.__defaults__ == (None,)
    assert murkfold.__annotations__ == {"value": "Any", "return": "Any"}
    assert murkfold.__doc__ == ("\n        Murkfold in the object.\n\n        :param value: 'param-value'\n"
                                "        :return: new object with hidden big-content\n        ")
    assert str(inspect.signature(murkfold)) == "(value: 'Any' = None) -> 'Any'"


def test_const_is_a_frozen_dataclass():
    assert dataclasses.is_dataclass(_Const) and _Const.__dataclass_params__.frozen
    assert (_Const.__module__, _Const.__qualname__) == ("tools.common.murkfold", "_Const")
    assert _Const.__doc__.startswith("_Const(")   # the data-class machinery's own text
    assert _Const.__annotations__ == {"char_limit": "int"}
    assert [f.name for f in dataclasses.fields(_Const)] == ["char_limit"]
    assert mod._const == _Const() == _Const(char_limit=4000) and repr(mod._const) == "_Const(char_limit=4000)"
    with pytest.raises(dataclasses.FrozenInstanceError):
        mod._const.char_limit = 1
    assert hash(_Const(5)) == hash(_Const(5))


class Referent:
    pass


REFERENT = Referent()


# Leaves of the interpreter's own types, whatever their place in memory
# (a weak reference's type lies past str's there).
@pytest.mark.parametrize("value", [5, 2.5, "abc", b"abc", {1, 2}, frozenset(), 10**30, -1.5e300, True, 1j,
                                   "x" * 4000, range(3), Ellipsis, weakref.ref(REFERENT)])
def test_small_leaves_come_back_as_the_same_object(value):
    assert murkfold(value) is value
    assert murkfold(value=value) is value


def test_none_becomes_the_empty_string():
    assert murkfold() == "" and murkfold(None) == ""
    assert murkfold({"a": None}) == {"a": ""}
    assert murkfold([None, (None,)]) == ["", ("",)]


@pytest.mark.parametrize("value, text", [
    ("a" * 4001, "a" * 4001),
    ("é" * 5000, "é" * 5000),
    (10**4000, str(10**4000)),                 # 4001 digits, within the digit limit
    (-(10**3999), str(-(10**3999))),           # 4000 digits and the sign
    (set(range(2000)), str(set(range(2000)))),
    (b"\x00" * 1500, str(b"\x00" * 1500)),
])
def test_leaves_over_the_limit_are_hidden(value, text):
    result = murkfold(value)
    assert result == hidden(text)
    assert len(result) == 4047


# Excerpts are built in place: the cut decides the width of the new string,
# which must be what slicing and joining give (equal text, flags and size).
@pytest.mark.parametrize("text", ["abcdef", "abcdé", "abcéx", "abcd€", "abé€x", "ab€de", "abcd\U0001F600", "a€c\U0001F600x",
                                  "a\U0001F600cde", "é\U0001F600" * 3, "\xff" * 9,
                                  # the widest kept character at each kind's edge, a wider one cut off
                                  "abc\x7f\x80", "abc\x7f\u0100", "abc\x7f\U00010000", "abc\xff\u0100",
                                  "abc\xff\U00010000", "ab\u0100\xff\U00010000", "abc\uffff\U00010000",
                                  "a\x80\xff\x7f\U0010ffff", "ab\uffff\U0001F600x", "\xff\u0100\U00010000\x7fz"])
def test_excerpt_width_follows_the_kept_characters(limit, text):
    limit(4)
    expected = hidden(text, 4)
    result = murkfold(text)
    assert result == expected
    assert (result.isascii(), sys.getsizeof(result)) == (expected.isascii(), sys.getsizeof(expected))


@pytest.mark.parametrize("value", [10**3999, -(10**3998), "b" * 4000, 10**3999 + 12345])
def test_text_exactly_at_the_limit_passes(value):
    assert murkfold(value) is value


@pytest.mark.parametrize("value", [10**5000, -(10**4300), 7**6000], ids=["1e5000", "-1e4300", "7**6000"])
def test_int_beyond_the_digit_limit_gives_the_failure_text(value):
    assert len(FAILED) == 94
    assert murkfold(value) == FAILED
    assert murkfold([value, 1]) == [FAILED, 1]


def test_digit_limit_setting_is_followed():
    old = sys.get_int_max_str_digits()
    try:
        sys.set_int_max_str_digits(0)
        assert murkfold(10**5000) == hidden(str(10**5000))
        sys.set_int_max_str_digits(640)
        assert murkfold(10**640) == FAILED
        big = 10**639
        assert murkfold(big) is big
    finally:
        sys.set_int_max_str_digits(old)


@pytest.mark.parametrize("char_limit, value, expected", [
    (3, "abcd", OPEN + "abc" + CLOSE),
    (3, "abc", "abc"),
    (3, 1234, OPEN + "123" + CLOSE),
    (3, -12, -12),
    (3, -123, OPEN + "-12" + CLOSE),
    (2, 2.5, OPEN + "2." + CLOSE),
    (5, 1e100, OPEN + "1e+10" + CLOSE),
    (0, "", ""),
    (0, None, ""),
    (0, "a", OPEN + CLOSE),
    (-2, "abcdef", OPEN + "abcd" + CLOSE),     # slice rules: counts from the end
    (-10, "abc", OPEN + CLOSE),
    (-1, "", OPEN + CLOSE),
    (10**40, "x" * 5000, "x" * 5000),
    (-(10**40), "x", OPEN + CLOSE),
    (18, 2**63, OPEN + "922337203685477580" + CLOSE),
    (19, 2**63, 2**63),
    (19, 2**62, 2**62),
    (20, -(2**63), -(2**63)),
    (19, -(2**63), OPEN + "-922337203685477580" + CLOSE),
    (639, 10**639, OPEN + str(10**639)[:639] + CLOSE),
    (640, 10**639, 10**639),
])
def test_configured_limit(limit, char_limit, value, expected):
    limit(char_limit)
    assert murkfold(value) == expected
    assert murkfold([value]) == [expected]
    first = "" if char_limit >= 0 else OPEN + CLOSE
    assert murkfold(["", value, value]) == [first, expected, expected]   # limit remembered from the first leaf
    if expected == value:
        assert murkfold(value) is value


def test_limit_that_is_not_an_int(rebind):
    class Record:
        char_limit = 2.5
    rebind("_const", Record())
    assert murkfold("ab") == "ab"
    with pytest.raises(TypeError, match="slice indices must be integers"):
        murkfold("abc")
    Record.char_limit = True
    assert murkfold("abc") == OPEN + "a" + CLOSE
    Record.char_limit = None
    with pytest.raises(TypeError, match="'>' not supported between instances of 'int' and 'NoneType'"):
        murkfold(["x"])


def test_limit_is_read_at_every_test_and_cut(rebind):
    reads = []

    class Counting:
        @property
        def char_limit(self):
            reads.append(1)
            return 3

    rebind("_const", Counting())
    assert murkfold(["ab", "abcd", 5, 2.5, ("xyz", "wxyz")]) == ["ab", OPEN + "abc" + CLOSE, 5, 2.5,
                                                                  ("xyz", OPEN + "wxy" + CLOSE)]
    assert len(reads) == 6 + 2   # six limit tests, two cuts


def test_limit_compared_through_the_object_protocol(rebind):
    calls = []

    class Limit:
        def __lt__(self, other):     # len(text) > limit  is  limit < len(text)
            calls.append(other)
            return other > 2

        def __index__(self):
            return 2

    class Record:
        char_limit = Limit()

    rebind("_const", Record())
    assert murkfold(["ab", "abc", 7, 1.5]) == ["ab", OPEN + "ab" + CLOSE, 7, OPEN + "1." + CLOSE]
    assert calls == [2, 3, 1, 3]


def test_missing_const_is_a_name_error(monkeypatch):
    monkeypatch.delattr(mod, "_const")
    with pytest.raises(NameError, match="^name '_const' is not defined$") as info:
        murkfold(["a"])
    assert tb_names(info.value)[1:] == [ENTRY, ENTRY]
    assert murkfold([[]]) == [[]]    # no leaf, no limit test
    monkeypatch.setattr("builtins._const", _Const(1), raising=False)
    assert murkfold("ab") == OPEN + "a" + CLOSE


class MyDict(dict):
    pass


@pytest.mark.parametrize("make", [dict, collections.OrderedDict, MyDict,
                                  lambda source: collections.defaultdict(None, source)])
def test_dicts_keep_their_keys_and_become_plain(make):
    long_key = "k" * 5000
    source = {long_key: "v" * 4001, 1: [None], (1, 2): 3}
    value = make(source)
    result = murkfold(value)
    assert type(result) is dict and result is not value
    assert list(result) == list(source)
    assert [id(k) for k in result] == [id(k) for k in source]
    assert result == {long_key: hidden("v" * 4001), 1: [""], (1, 2): 3}


def test_sequences_become_plain_and_nested_leaves_are_tested():
    Point = collections.namedtuple("Point", "x y")

    class MyList(list):
        pass

    value = {"a": [("x" * 4001, Point(1, "y" * 4001)), MyList([MyList()])], "b": ()}
    result = murkfold(value)
    assert result == {"a": [(hidden("x" * 4001), (1, hidden("y" * 4001))), [[]]], "b": ()}
    assert type(result["a"][0][1]) is tuple and type(result["a"][1]) is list and type(result["a"][1][0]) is list
    assert murkfold([]) == [] and murkfold([]) is not murkfold([])
    assert murkfold(["a"] * 10000) == ["a"] * 10000     # only leaves are measured


def test_results_are_tracked_by_the_collector():
    result = murkfold([[1], (2, [3]), {"a": [4]}])
    assert gc.is_tracked(result) and gc.is_tracked(result[0]) and gc.is_tracked(result[2]["a"])
    assert gc.is_tracked(result[1])
    # An empty tuple comes back as the interpreter's shared one, left untracked.
    empties = murkfold([(), ()])
    assert empties == [(), ()] and empties[1] is () and not gc.is_tracked(())


def test_subclass_iteration_protocol_is_used():
    class Reversed(list):
        def __iter__(self):
            return reversed(list(list.__iter__(self)))

    class Doubled(tuple):
        def __iter__(self):
            for x in tuple.__iter__(self):
                yield x
                yield x

    assert murkfold(Reversed([1, 2, "abc"])) == ["abc", 2, 1]
    assert murkfold(Doubled((1, None))) == (1, 1, "", "")


class Text:
    def __init__(self, text):
        self.text = text

    def __format__(self, fmt):
        return self.text


def test_other_leaves_are_formatted():
    long, short = Text("z" * 4001), Text("short")
    assert murkfold([long, short]) == [hidden("z" * 4001), short]
    assert murkfold([short])[0] is short


class FailingFormat:
    def __init__(self, exc):
        self.exc = exc

    def __format__(self, fmt):
        raise self.exc


@pytest.mark.parametrize("exc", [ValueError("no"), UnicodeError("no"), ValueError()])
def test_value_error_in_conversion_gives_the_failure_text(exc):
    assert murkfold(FailingFormat(exc)) == FAILED
    assert murkfold([FailingFormat(exc), "a"]) == [FAILED, "a"]


def test_caught_value_error_leaves_the_handled_exception_alone():
    try:
        raise KeyError("outer")
    except KeyError as outer:
        assert murkfold([FailingFormat(ValueError("inner"))]) == [FAILED]
        assert sys.exc_info()[1] is outer
    assert sys.exc_info() == (None, None, None)


def test_caught_value_error_gets_the_functions_entry():
    exc = ValueError("kept")
    murkfold(FailingFormat(exc))
    assert ENTRY in tb_names(exc)


def format_error(leaf):
    """The interpreter's own message for format(leaf) (its wording differs
    between versions)."""
    try:
        format(leaf)
    except TypeError as e:
        return str(e)
    raise AssertionError("format() did not fail")


@pytest.mark.parametrize("leaf, error, message", [
    (FailingFormat(TypeError("bad")), TypeError, "bad"),
    (FailingFormat(KeyError("k")), KeyError, "'k'"),
    (Text(5), TypeError, format_error(Text(5))),
])
def test_other_conversion_errors_pass_through(leaf, error, message):
    with pytest.raises(error) as info:
        murkfold(leaf)
    assert str(info.value) == message
    assert re.fullmatch(r"([\w.]+\.)?__format__(\(\))? must return a str, not int|bad|'k'", message)


def test_traceback_entries_per_level_and_for_tuples():
    bad = FailingFormat(TypeError("deep"))
    with pytest.raises(TypeError) as info:
        murkfold({"a": [(1, bad)]})
    # test, outer call, the list's nested call, the tuple's nested call with
    # its genexpr, the leaf's nested call
    assert tb_names(info.value)[1:-1] == [ENTRY, ENTRY, ENTRY, GENEXPR, ENTRY]
    assert tb_names(info.value)[-1][1] == "__format__"
    assert {line for frame, line in traceback.walk_tb(info.value.__traceback__)
            if frame.f_code.co_filename == FILE} == {13}


def test_bad_arguments():
    with pytest.raises(TypeError) as info:
        murkfold(1, 2)
    assert str(info.value) == "murkfold() takes at most 1 positional argument (2 given)"
    with pytest.raises(TypeError, match=r"^murkfold\(\) got an unexpected keyword argument 'name'$"):
        murkfold(name=1)


def test_nested_calls_go_through_the_module_level_name(rebind):
    seen = []
    original = mod.murkfold

    def spy(*args, **kwargs):
        seen.append((args, kwargs))
        return original(**kwargs)

    rebind("murkfold", spy)
    assert murkfold({"k": [1, ("x",)]}) == {"k": [1, ("x",)]}
    assert seen == [((), {"value": [1, ("x",)]}), ((), {"value": 1}), ((), {"value": ("x",)}),
                    ((), {"value": "x"})]


def test_rebound_name_replaces_the_results(rebind):
    rebind("murkfold", lambda value=None: "R")
    assert murkfold([1, {"a": 2}, (3,)]) == ["R", "R", "R"]
    assert murkfold(5) == 5           # the top-level call is the function itself


def test_missing_name_falls_back_to_builtins_then_fails(monkeypatch):
    monkeypatch.delattr(mod, "murkfold")
    assert murkfold([]) == []       # no element, no nested call
    with pytest.raises(NameError, match="^name 'murkfold' is not defined$") as info:
        murkfold((1,))
    assert tb_names(info.value)[1:] == [ENTRY, GENEXPR]
    monkeypatch.setattr("builtins.murkfold", lambda value=None: "B", raising=False)
    assert murkfold([1]) == ["B"]


def test_exact_dict_resized_during_the_walk():
    data = {}

    class Grow:
        def __format__(self, fmt):
            data["new"] = 1
            return "g"

    data["a"] = Grow()
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$") as info:
        murkfold(data)
    assert tb_names(info.value)[1:] == [ENTRY]
    # resized while walking the last entry still fails
    data2 = {"a": 1}
    data2["z"] = type("Del", (), {"__format__": lambda self, fmt: data2.pop("a") and "d"})()
    with pytest.raises(RuntimeError, match="changed size"):
        murkfold(data2)


def test_lists_mutated_during_the_walk():
    data = []

    class Shrink:
        def __format__(self, fmt):
            del data[1:]
            return "s"

    class Grow:
        def __format__(self, fmt):
            if len(data) < 6:
                data.append(Grow())
            return "g"

    data[:] = ["a", Shrink(), "b", "c"]
    result = murkfold(data)
    assert len(result) == 2 and result[0] == "a" and type(result[1]) is Shrink
    data[:] = [Grow()]
    result = murkfold(data)
    assert len(result) == 6 and all(type(x) is Grow for x in result)

    class Clear:
        def __format__(self, fmt):
            data.clear()
            gc.collect()
            return "c"

    data[:] = [Clear(), "x" * 5000, [1]]
    result = murkfold(data)
    assert len(result) == 1 and type(result[0]) is Clear


@pytest.mark.parametrize("items, error, message", [
    ([(1, 2, 3)], ValueError, "too many values to unpack (expected 2)"),
    ([(1,)], ValueError, "need more than 1 value to unpack"),
    ([()], ValueError, "need more than 0 values to unpack"),
    ([[1, 2, 3]], ValueError, "too many values to unpack (expected 2)"),
    (["a"], ValueError, "need more than 1 value to unpack"),
    ([None], TypeError, "'NoneType' object is not iterable"),
    ([5], TypeError, "'int' object is not iterable"),
    ([""], ValueError, "need more than 0 values to unpack"),
    (["abc"], ValueError, "too many values to unpack (expected 2)"),
    (5, TypeError, "'int' object is not iterable"),            # items() itself
])
def test_dict_subclass_items_that_are_not_pairs(items, error, message):
    class Junk(dict):
        def items(self):
            return items

    with pytest.raises(error) as info:
        murkfold({"outer": Junk(a=1)})
    assert str(info.value) == message
    assert tb_names(info.value)[1:] == [ENTRY, ENTRY]


def test_dict_subclass_items_any_iterable_of_pairs():
    class Odd(dict):
        def items(self):
            yield "ab"
            yield ["k", None]
            yield iter([1, "x" * 4001])

    assert murkfold(Odd(ignored=1)) == {"a": "b", "k": "", 1: hidden("x" * 4001)}


def test_dict_subclass_items_that_raise_or_mutate():
    class Raises(dict):
        def items(self):
            raise LookupError("nope")

    with pytest.raises(LookupError, match="nope"):
        murkfold([Raises()])

    class Mutating(dict):
        def items(self):
            for k in list(dict.keys(self)):
                self.clear()
                yield k, k * 3
            gc.collect()

    assert murkfold(Mutating(a=1, b=2)) == {"a": "aaa", "b": "bbb"}
