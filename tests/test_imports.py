"""Import edge cases, each in a fresh interpreter: sub-interpreters in either
order, re-import and reload, and a failed initialisation followed by a
successful import."""

import os
import textwrap

import pytest

from conftest import run_python

MODULES = ["tools.common.quillmark", "tools.common.murkfold", "tools.common.starveil", "tools.dawnlog.dawnlog",
           "tools.common.siteward", "tools.tables.tables"]
CHANGED = "Interpreter change detected - this module can only be loaded into one interpreter per process."

# Runs in whichever interpreter imported the modules: one call of each.
SMOKE = """
import os
from tools.common.quillmark import Quillmark
from tools.common.murkfold import murkfold
from tools.common.starveil import starveil
from tools.dawnlog.dawnlog import dawnlog
from tools.common.siteward import siteward
from tools.tables.tables import Table
os.environ["app:main"] = "true"
assert Quillmark.get_name(Table(), "__x") == "_Table__x" and len(murkfold("x" * 5000)) == 4047
assert starveil(value={"pwd": "ab"}) == {"pwd": "**"} and dawnlog() is None and siteward("/a/b").as_posix() == "/a"
assert Table({"columns": ["a"], "data": [{"a": 1}]}).filter().data == [{"a": 1}]
print("works")
"""


@pytest.mark.parametrize("config, first, main_error, sub_error", [
    ("legacy", "main", None, "ImportError: " + CHANGED),
    ("legacy", "sub", "ImportError: " + CHANGED, None),
    # The host itself refuses modules that need the global lock here, before
    # any step of ours runs; the main interpreter is then still free to load.
    ("isolated", "main", None, "ImportError: module {} does not support loading in subinterpreters"),
    ("isolated", "sub", None, "ImportError: module {} does not support loading in subinterpreters"),
])
def test_sub_interpreters(config, first, main_error, sub_error):
    pytest.importorskip("_interpreters")
    proc = run_python(f"""
        import _interpreters
        MODULES, SMOKE = {MODULES!r}, {SMOKE!r}

        def main():
            ok = True
            for name in MODULES:
                try:
                    __import__(name)
                    print("main", name, None)
                except ImportError as e:
                    print("main", name, "ImportError: " + str(e))
                    ok = False
            if ok:
                exec(SMOKE, {{}})

        def sub():
            interp = _interpreters.create({config!r})
            for name in MODULES:
                err = _interpreters.exec(interp, "import " + name)
                print("sub", name, err and err.type.__name__ + ": " + err.msg)
            err = _interpreters.exec(interp, SMOKE)
            print("sub smoke", err and err.type.__name__)
            _interpreters.destroy(interp)

        for step in (main, sub) if {first!r} == "main" else (sub, main):
            step()
    """, env=dict(os.environ, PYTHONUNBUFFERED="1"))  # the two interpreters' lines in order
    main = [f"main {m} {main_error}" for m in MODULES] + ([] if main_error else ["works"])
    sub = [f"sub {m} {sub_error.format(m) if sub_error else None}" for m in MODULES]
    sub += ["sub smoke ImportError"] if sub_error else ["works", "sub smoke None"]
    assert proc.stdout.splitlines() == (main + sub if first == "main" else sub + main)


def test_reimport_and_reload_run_nothing_again():
    proc = run_python(f"""
        import importlib, sys
        for name in {MODULES!r}:
            m = importlib.import_module(name)
            test, public = m.__test__, name.rsplit(".", 1)[1]
            public = {{"tables": "Table", "quillmark": "Quillmark"}}.get(public, public)
            setattr(m, public, "kept")
            del sys.modules[name]
            again = importlib.import_module(name)
            print(again is m, importlib.reload(m) is m, m.__test__ is test, getattr(m, public))
    """)
    assert proc.stdout == "True True True kept\n" * len(MODULES)


LOGGER = """
import sys, types
calls = []
def logging(prefix):
    calls.append(prefix)
    if len(calls) % {} == 0:  # the same call of every attempt
        raise RuntimeError("refused")
    return lambda f: f
sys.modules["logger"] = types.SimpleNamespace(logging=logging) if {} else types.ModuleType("logger")
"""


def without(name, std, attr):
    """The import of `name` fails while the standard module `std` lacks `attr`."""
    setup = f"""
        import {std}, sys, types
        fake = types.ModuleType("{std}")
        vars(fake).update((k, v) for k, v in vars({std}).items() if k != "{attr}")
        sys.modules["{std}"] = fake
    """
    return pytest.param(name, setup, f"sys.modules['{std}'] = {std}", f"{std}.{attr}",
                        f"ImportError: cannot import name {attr}", id=name.rsplit(".", 1)[1])


def logger(calls, error, id):
    """The import of tables fails through its outside `logger`."""
    return pytest.param("tools.tables.tables", LOGGER.format(calls, "cannot" not in error), "del sys.modules['logger']",
                        "sys.modules['logger'].logging", error, id=id)


@pytest.mark.parametrize("name, setup, restore, source, error", [
    without("tools.common.siteward", "inspect", "getfile"),
    without("tools.common.murkfold", "dataclasses", "dataclass"),
    without("tools.common.quillmark", "typing", "Any"),
    without("tools.common.starveil", "typing", "Any"),
    without("tools.dawnlog.dawnlog", "socket", "getfqdn"),
    pytest.param("tools.tables.tables", "import sys\nsys.modules['logger'] = None\n", "del sys.modules['logger']",
                 "sys.modules['logger'].logging", "ModuleNotFoundError: import of logger halted; None in sys.modules",
                 id="no-logger"),
    logger(1, "ImportError: cannot import name logging", "no-logging"),
    logger(1, "RuntimeError: refused", "logging-raises"),
    logger(2, "RuntimeError: refused", "logging-raises-later"),
])
def test_failed_initialisation_then_a_successful_import(name, setup, restore, source, error):
    # The test's own tools come before the setup's fake modules (traceback
    # imports some of them).
    proc = run_python("import traceback\n" + textwrap.dedent(setup) + textwrap.dedent(f"""
        for attempt in range(2):  # the same failure again: nothing was kept
            try:
                import {name}
            except Exception as e:
                entries = [f.name for f in traceback.extract_tb(e.__traceback__)]
                print(type(e).__name__ + ": " + str(e), "init {name}" in entries, "{name}" in sys.modules)
        {restore}
        exec({SMOKE!r}, {{}})
        print(getattr(sys.modules["{name}"], "{source}".rsplit(".", 1)[1]) is {source})  # the body ran again
    """))
    assert proc.stdout == f"{error} True False\n" * 2 + "works\nTrue\n"
