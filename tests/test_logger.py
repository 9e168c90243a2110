"""The default `logger` module shipped with the package, and how
tools.tables.tables finds it (checked in fresh interpreters: the tables tests
run against a recording stub named `logger`)."""

import inspect
import logging

import pytest

from conftest import run_python
from tools.tables import default_logger as default


class Shown:
    """An argument that counts how often it is rendered."""
    renders = 0

    def __repr__(self):
        type(self).renders += 1
        return "<shown>"


def work(a, b=2, *, c=3):
    """Add things."""
    if a == "fail":
        raise ValueError("no good")
    return [a, b, c]


@pytest.fixture
def wrapped():
    return default.logging(prefix="app.mod")(work)


@pytest.fixture
def debug(caplog):
    caplog.set_level(logging.DEBUG, logger="app")
    return caplog


def test_wrapper_looks_like_the_function(wrapped):
    assert (wrapped.__name__, wrapped.__qualname__, wrapped.__doc__, wrapped.__wrapped__) == (
        "work", "work", "Add things.", work)
    assert inspect.signature(wrapped) == inspect.signature(work)
    assert isinstance(wrapped.logger, logging.Logger) and wrapped.logger.name == "app.mod.work"
    assert default.logging()(work).logger.name == "work"


@pytest.mark.parametrize("level", ["default", "debug"])
def test_calls_pass_through_unchanged(wrapped, caplog, level):
    if level == "debug":
        caplog.set_level(logging.DEBUG, logger="app")
    marker = object()
    result = wrapped(marker, c=[1])
    assert result[0] is marker and result[1:] == [2, [1]]
    assert wrapped(1, logger=logging.getLogger("other"), b=5) == [1, 5, 3]  # swallowed
    assert wrapped(1, logger="not a logger") == [1, 2, 3]
    with pytest.raises(ValueError) as info:
        wrapped("fail")
    assert info.value.args == ("no good",) and info.traceback[-1].name == "work"
    with pytest.raises(TypeError):
        wrapped()


def test_records_at_debug_level(wrapped, debug):
    wrapped("x" * 100, c=list(range(50)))
    with pytest.raises(ValueError):
        wrapped("fail")
    ok, failed = debug.records
    assert {ok.name, failed.name} == {"app.mod.work"} and {ok.levelno, failed.levelno} == {logging.DEBUG}
    text = ok.getMessage()
    assert text.startswith("work('xxxx") and "c=[0, 1, 2, 3, ...]" in text and "-> [" in text
    assert text.endswith(" ms]") and len(text) < 200
    assert failed.getMessage().startswith("work('fail') raised ValueError: no good [")


def test_a_logger_keyword_takes_that_calls_record(wrapped, debug):
    other = logging.getLogger("app.other")
    wrapped(1, logger=other)
    wrapped(2, logger="ignored")
    assert [r.name for r in debug.records] == ["app.other", "app.mod.work"]


def test_nothing_is_rendered_unless_debug_is_on(wrapped, caplog):
    Shown.renders = 0
    wrapped(Shown())
    assert Shown.renders == 0 and caplog.records == []
    caplog.set_level(logging.DEBUG, logger="app")
    wrapped(Shown())
    assert Shown.renders == 2  # the argument, and the result that holds it


class Hostile:
    def __repr__(self):
        raise RuntimeError("no repr")


class BadMessage(Exception):
    def __str__(self):
        raise RuntimeError("no str")


def test_odd_values_do_not_change_the_outcome(debug):
    echo = default.logging(prefix="app")(lambda x: x)
    h = Hostile()
    assert echo(h) is h

    def fails():
        raise BadMessage("x")

    with pytest.raises(BadMessage):
        default.logging(prefix="app")(fails)()
    assert [r.getMessage().split(" [")[0] for r in debug.records] == [
        f"{echo.__qualname__}(<Hostile instance at {id(h):#x}>) -> <Hostile instance at {id(h):#x}>",
        f"{fails.__qualname__}() raised BadMessage"]


def test_logger_attribute_through_a_method():
    class C:
        @default.logging(prefix="app")
        def m(self):
            return self

    c = C()
    assert c.m() is c and c.m.logger.name == "app.test_logger_attribute_through_a_method.<locals>.C.m"


def test_tables_with_the_default_logger():
    proc = run_python("""
        import logging, sys
        logging.basicConfig(level=logging.DEBUG, stream=sys.stdout, format="%(name)s|%(message)s")
        from tools.tables.tables import Table
        import logger, tools.tables.default_logger
        assert logger is tools.tables.default_logger and Table.filter.__wrapped__ is not None
        t = Table({"columns": ["a", "b"], "data": [{"a": 1, "b": 2}]})
        assert t.filter.logger is logging.getLogger("tools.tables.tables.Table.filter")
        print(repr(t.filter(include=["a"])))
        try:
            Table({"columns": ["a"], "data": [{}]})
        except ValueError as exc:
            print("caught", exc)
    """)
    lines = [line.split("|")[0] + "|" + line.split("|")[1].split("(")[0] if "|" in line else line
             for line in proc.stdout.splitlines()]
    assert lines == [
        "tools.tables.tables.Table.__init__|Table.__init__",
        "tools.tables.tables.Table.filter|Table.__init__",  # the result's record goes to filter's logger
        "tools.tables.tables.Table.filter|Table.filter",
        "Table(['a'])",
        "tools.tables.tables.Table.__init__|Table.__init__",
        'caught Parameter "data"[0] length not match with "columns" length',
    ], proc.stdout
    assert "raised ValueError: Parameter" in proc.stdout.splitlines()[4]


@pytest.mark.parametrize("layout", ["logger.py", "logger/__init__.py"])
def test_an_applications_own_logger_comes_first(tmp_path, layout):
    (tmp_path / layout).parent.mkdir(exist_ok=True)
    (tmp_path / layout).write_text(
        "calls = []\n"
        "def logging(prefix):\n"
        "    calls.append(prefix)\n"
        "    def deco(f):\n"
        "        def w(*a, logger=None, **k):\n"
        "            return f(*a, **k)\n"
        "        w.logger = 'own'\n"
        "        return w\n"
        "    return deco\n")
    proc = run_python(f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        from tools.tables.tables import Table
        import logger
        print(logger.calls, Table().filter().columns)
    """)
    assert proc.stdout == "['tools.tables.tables', 'tools.tables.tables'] []\n"


def test_nothing_changes_for_programs_that_do_not_import_tools():
    proc = run_python("""
        import sys
        try:
            import logger
        except ModuleNotFoundError as exc:
            print(exc)
        import tools.common.murkfold
        print("logger" in sys.modules, any(hasattr(f, "_tools_default_logger") for f in sys.meta_path))
    """)
    assert proc.stdout == "No module named 'logger'\nFalse False\n"


def test_import_fails_without_logging_in_logger(tmp_path):
    (tmp_path / "logger.py").write_text("x = 1\n")
    proc = run_python(f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        try:
            import tools.tables.tables
        except ImportError as exc:
            print(type(exc).__name__, exc, exc.__traceback__ is not None)
        print("tools.tables.tables" in sys.modules)
    """)
    assert proc.stdout == "ImportError cannot import name logging True\nFalse\n"


def test_logging_deleted_by_its_own_first_call():
    # The decorator factory is looked up again for each member it wraps.
    proc = run_python("""
        import sys, types
        def logging(prefix):
            del sys.modules["tools.tables.tables"].__dict__["logging"]
            return lambda f: f
        sys.modules["logger"] = types.SimpleNamespace(logging=logging)
        try:
            import tools.tables.tables
        except NameError as exc:
            print(type(exc).__name__, exc)
    """)
    assert proc.stdout == "NameError name 'logging' is not defined\n"
