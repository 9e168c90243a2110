"""tools.dawnlog.dawnlog: the start-up block, printed once per variable name.
Each test uses variable names of its own and removes them afterwards."""

import builtins
import inspect
import itertools
import os
import re
import sys

import pytest

from conftest import run_python, tb_names
from tools.dawnlog import dawnlog as module
from tools.dawnlog.dawnlog import dawnlog

ENTRY = ("src/tools/dawnlog/dawnlog", "tools.dawnlog.dawnlog.dawnlog")
_counter = itertools.count()


@pytest.fixture
def prefix():
    """A prefix no other test uses; every variable made with it goes afterwards."""
    p = f"dawnlog_test_{os.getpid()}_{next(_counter)}"
    yield p
    for key in [k for k in os.environ if k.startswith(p)]:
        del os.environ[key]


class FakeClock:
    @staticmethod
    def now():
        return FakeClock()

    def strftime(self, pattern):
        assert pattern == "%Y-%m-%d %H:%M:%S.%f"
        return "2024-01-02 03:04:05.000006"


@pytest.fixture
def fixed(monkeypatch):
    """Known facts, and the keyword arguments `platform` was called with."""
    seen = []

    def platform(*, aliased):
        seen.append(aliased)
        return "Plat-1"
    for name, value in {"datetime": FakeClock, "getuser": lambda: "ann", "getfqdn": lambda: "h.example",
                        "platform": platform, "version": "3.13.x", "python_implementation": lambda: "Impl"}.items():
        monkeypatch.setattr(module, name, value)
    return seen


BLOCK = ("--------------------------\n2024-01-02 03:04:05.000006\nUser: ann\nHost: h.example\n"
         "OS Platform: Plat-1\nPython Version: 3.13.x\nImplementation: Impl\n--------------------\n")


def test_function_shape():
    assert [k for k in vars(module) if not k.startswith("__")] == [
        "os", "datetime", "getuser", "getfqdn", "platform", "python_implementation", "version", "dawnlog"]
    assert str(inspect.signature(dawnlog)) == "(prefix: 'str' = 'app', name: 'str' = 'main', separator: 'str' = ':')"
    assert dawnlog.__defaults__ == ("app", "main", ":") and dawnlog.__module__ == "tools.dawnlog.dawnlog"
    assert dawnlog.__doc__ == ("\n        Log Dawnlog.\n\n        :param prefix: 'app-name'\n"
                               "        :param name: 'var-name'\n        :param separator: 'separator'\n"
                               "        :return:\n        ")


def test_exact_block_once(prefix, fixed, capsys):
    assert dawnlog(prefix) is None
    assert capsys.readouterr().out == BLOCK and fixed == [True]
    assert os.environ[prefix + ":main"] == "true"
    assert dawnlog(prefix=prefix) is None and capsys.readouterr().out == ""
    dawnlog(prefix, "worker", "-")
    assert capsys.readouterr().out == BLOCK and os.environ[prefix + "-worker"] == "true"


def test_real_facts(prefix, capsys):
    dawnlog(prefix)
    lines = capsys.readouterr().out.split("\n")
    assert len(lines) == 9 and lines[8] == ""
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}", lines[1])
    assert lines[0] == "-" * len(lines[1]) and lines[7] == "-" * len(lines[6])
    assert lines[5] == "Python Version: " + sys.version
    assert lines[6] == "Implementation: " + module.python_implementation()


@pytest.mark.parametrize("old", ["True", "1", "yes", "", "true "])
def test_other_values_replaced(prefix, fixed, capsys, old):
    os.environ[prefix + ":main"] = old
    dawnlog(prefix)
    assert capsys.readouterr().out == BLOCK and os.environ[prefix + ":main"] == "true"


def test_inherited_mark():
    env = dict(os.environ, **{"app:main": "true"})
    code = "from tools.dawnlog.dawnlog import dawnlog; dawnlog(); dawnlog('app', 'main', ':')"
    assert run_python(code, env=env).stdout == ""
    env.pop("app:main")
    code = "import os; from tools.dawnlog.dawnlog import dawnlog; dawnlog(); dawnlog(); print(os.environ['app:main'])"
    out = run_python(code, env=env).stdout.split("\n")
    assert len(out) == 10 and out[7].startswith("---") and out[8] == "true"


class Sub(str):
    pass


@pytest.mark.parametrize("position", [0, 1, 2])
@pytest.mark.parametrize("bad", [None, 5, Sub("x")])
def test_type_test(prefix, position, bad, capsys):
    args = [prefix, "main", ":"]
    args[position] = bad
    before = dict(os.environ)
    with pytest.raises(TypeError) as info:
        dawnlog(*args)
    param = ("prefix", "name", "separator")[position]
    assert str(info.value) == f"Argument '{param}' has incorrect type (expected str, got {type(bad).__name__})"
    assert bool(getattr(info.value, "__notes__", None)) == isinstance(bad, str)
    assert dict(os.environ) == before and capsys.readouterr().out == ""


def raiser(exc):
    def source(*args, **kwargs):
        raise exc
    return source


class Quiet(Exception):
    def __str__(self):
        return "quiet"


def test_failing_facts(prefix, fixed, monkeypatch, capsys):
    caught = OSError("no host")
    monkeypatch.setattr(module, "getuser", raiser(KeyError("")))
    monkeypatch.setattr(module, "getfqdn", raiser(caught))
    monkeypatch.setattr(module, "platform", raiser(ValueError("no platform")))
    monkeypatch.delattr(module, "version")
    monkeypatch.setattr(module, "python_implementation", raiser(Quiet()))
    dawnlog(prefix)
    assert capsys.readouterr().out.split("\n")[2:8] == [
        "User: ''", "Host: no host", "OS Platform: no platform", "Python Version: name 'version' is not defined",
        "Implementation: quiet", "---------------------"]
    assert ENTRY in tb_names(caught)
    monkeypatch.setattr(module, "getuser", raiser(Exception()))
    dawnlog(prefix, "again")
    assert capsys.readouterr().out.split("\n")[2] == "User: "
    for name in ("getuser", "getfqdn", "platform", "python_implementation"):
        monkeypatch.delattr(module, name)
    dawnlog(prefix, "gone")
    assert capsys.readouterr().out.split("\n")[2:7] == [
        "User: name 'getuser' is not defined", "Host: name 'getfqdn' is not defined",
        "OS Platform: name 'platform' is not defined", "Python Version: name 'version' is not defined",
        "Implementation: name 'python_implementation' is not defined"]


def test_empty_date_gives_an_empty_rule(prefix, fixed, monkeypatch, capsys):
    class Blank(FakeClock):
        @staticmethod
        def now():
            return Blank()

        def strftime(self, pattern):
            return ""

    monkeypatch.setattr(module, "datetime", Blank)
    dawnlog(prefix)
    assert capsys.readouterr().out.split("\n")[:3] == ["", "", "User: ann"]


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_base_exception_propagates(prefix, fixed, monkeypatch, capsys, exc):
    monkeypatch.setattr(module, "getfqdn", raiser(exc()))
    with pytest.raises(exc) as info:
        dawnlog(prefix)
    assert tb_names(info.value)[-2:] == [ENTRY, (__file__, "source")]
    assert os.environ[prefix + ":main"] == "true" and capsys.readouterr().out == ""
    dawnlog(prefix)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("args, exc", [(("", "", ""), OSError), (("a=b",), ValueError), (("a\0b",), ValueError)])
def test_refused_names_leave_environment(args, exc, capsys):
    before = dict(os.environ)
    with pytest.raises(exc) as info:
        dawnlog(*args)
    assert tb_names(info.value)[1] == ENTRY
    assert dict(os.environ) == before and capsys.readouterr().out == ""


def test_failures_after_the_mark(prefix, fixed, monkeypatch, capsys):
    monkeypatch.setattr(module, "datetime", None)
    with pytest.raises(AttributeError):
        dawnlog(prefix)
    assert os.environ[prefix + ":main"] == "true"
    monkeypatch.delattr(module, "os")
    with pytest.raises(NameError, match="^name 'os' is not defined$") as info:
        dawnlog(prefix, "other")
    assert tb_names(info.value)[-1] == ENTRY and capsys.readouterr().out == ""


def test_print_fixed_at_import(prefix, fixed, monkeypatch, capsys):
    monkeypatch.setattr(builtins, "print", raiser(AssertionError("the builtins' print was used")))
    dawnlog(prefix)
    assert capsys.readouterr().out == BLOCK
