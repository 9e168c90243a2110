"""Both walkers against a small pure-Python model of their rules, over
generated nested data."""

import collections

from hypothesis import given, settings
from hypothesis import strategies as st

import tools.common.murkfold as murk
from tools.common.murkfold import _Const, murkfold
from tools.common.starveil import starveil

OPEN = "\n{\n"
CLOSE = "\n...big-content hidden...\n}\n                "
FAILED = OPEN + "Hidden: Content too large for string conversion" + CLOSE


def model_murkfold(value, limit):
    if value is None:
        value = ""
    if isinstance(value, dict):
        return {k: model_murkfold(v, limit) for k, v in value.items()}
    if isinstance(value, list):
        return [model_murkfold(v, limit) for v in value]
    if isinstance(value, tuple):
        return tuple(model_murkfold(v, limit) for v in value)
    try:
        text = value if type(value) is str else repr(value) if type(value) in (int, float) else format(value, "")
    except ValueError:
        return FAILED
    return OPEN + text[:limit] + CLOSE if len(text) > limit else value


def model_starveil(name, value):
    name = "" if name is None else name
    value = "" if value is None else value
    if isinstance(value, dict):
        return {k: model_starveil(k, v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        items = [model_starveil(name, v) for v in value]
        return items if isinstance(value, list) else tuple(items)
    if isinstance(value, str) and ("password" in name.lower() or "pwd" in name.lower()):
        return "*" * len(value)
    return value


class SubDict(dict):
    pass


class SubList(list):
    pass


class SubTuple(tuple):
    pass


NAMES = st.sampled_from(["password", "PassWord", "db_pwd", "PWD", "user", "passwd", "Ünïcode", "pass", "x",
                         "ПАРОЛЬ_pwd", "", "Ωmega_PASSWORD", "pw"])
TEXT = st.one_of(NAMES, st.text(alphabet=st.sampled_from("aZé€😀 pwdPWD_-ß\u0130\u212a"), max_size=12))
# (sign, power of ten, offset): built lazily, since ints past the digit
# limit cannot be shown in a test report
BIG_INTS = st.sampled_from([(1, 4299, 0), (-1, 4299, 7), (1, 4300, 0), (-1, 5000, 3), (1, 19, -1), (-1, 18, 0),
                            (1, 1000, 0), (1, 3999, 0)]).map(lambda p: p[0] * (10**p[1] + p[2]))
LEAVES = st.one_of(st.none(), TEXT, st.integers(), BIG_INTS, st.floats(allow_nan=False), st.booleans(),
                   st.binary(max_size=8), st.frozensets(st.integers(0, 9), max_size=3),
                   st.sets(st.sampled_from("abc"), max_size=2))


def containers(children):
    keys = st.one_of(NAMES, TEXT)
    return st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=3).map(tuple),
        st.dictionaries(keys, children, max_size=4),
        st.dictionaries(keys, children, max_size=3).map(SubDict),
        st.dictionaries(keys, children, max_size=3).map(collections.OrderedDict),
        st.lists(children, max_size=3).map(SubList),
        st.lists(children, max_size=3).map(SubTuple),
    )


DATA = st.recursive(LEAVES, containers, max_leaves=20)


def same_shape(a, b):
    """Equal, with the same container types and the same leaf objects where
    the model keeps them."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(x is y for x, y in zip(a, b)) and all(
            same_shape(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same_shape(x, y) for x, y in zip(a, b))
    return a is b or (type(a) is str and a == b)


@settings(max_examples=150, deadline=None)
@given(DATA, st.sampled_from([4000, 5, 1, 0, -3, 10**30]))
def test_murkfold_matches_the_model(value, limit):
    murk._const = _Const(char_limit=limit)
    try:
        assert same_shape(murkfold(value), model_murkfold(value, limit))
    finally:
        murk._const = _Const()


@settings(max_examples=150, deadline=None)
@given(st.one_of(st.none(), NAMES, TEXT), DATA)
def test_starveil_matches_the_model(name, value):
    assert same_shape(starveil(name, value), model_starveil(name, value))
