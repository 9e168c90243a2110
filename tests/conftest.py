"""Helpers shared by the test modules."""

import gc
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

SUPPORT = str(Path(__file__).resolve().parent / "tables_support")


# Code that makes tables' first import fail: its `logging` decorator keeps
# each function it wraps in `kept` and raises at the second (filter), so
# those functions outlive the module dictionary of a failed exec.
FAILED_TABLES_IMPORT = """
import sys, types
kept = []
def refusing(prefix):
    def keep(f):
        kept.append(f)
        if len(kept) == 2:
            raise RuntimeError("refused")
        return f
    return keep
sys.modules["logger"] = types.SimpleNamespace(logging=refusing)
try:
    import tools.tables.tables
except RuntimeError:
    pass
"""


def run_python(code, *, env=None, check=True, flags=(), **kwargs):
    """Runs `code` in a fresh interpreter (with the command-line `flags`);
    returns the completed process."""
    proc = subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, timeout=300, **kwargs)
    if check and proc.returncode != 0:
        raise AssertionError(f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc


def import_tables():
    """(tools.tables.tables, stub) with the module imported against the
    recording stub `logger` of tests/tables_support. The first import in the
    process decides, so every test module gets tables through here."""
    if "tools.tables.tables" not in sys.modules:
        if not getattr(sys.modules.get("logger"), "IS_STUB", False):
            sys.modules.pop("logger", None)
        sys.path.insert(0, SUPPORT)
        try:
            import logger as stub
            from tools.tables import tables
        finally:
            sys.path.remove(SUPPORT)
    else:
        import logger as stub
        from tools.tables import tables
    assert getattr(stub, "IS_STUB", False) and tables.logging is stub.logging, "tables was imported without the stub"
    return tables, stub


def leaks(fn, *, warmup=5, rounds=8, inner=40):
    """True when every round of `inner` calls leaves at least `inner // 2`
    more allocated blocks behind. A reference leaked per call keeps at least
    a block per call, `inner` a round, in every round. Free lists and caches
    add noise in bursts (up to about as much in a round on 3.14 and later,
    a few rounds running at most), not in eight rounds running."""
    for _ in range(warmup):
        fn()
    growth = []
    for _ in range(rounds):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(inner):
            fn()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
    return all(g >= inner // 2 for g in growth)


# Sanitized frames are larger: a 256 KiB thread stack no longer holds what
# the small-stack tests build (./dev sanitize sets TOOLS_SANITIZE).
small_stack = pytest.mark.skipif(bool(os.environ.get("TOOLS_SANITIZE")),
                                 reason="sanitized frames need more than a 256 KiB thread stack")


def raises_quietly(fn):
    """Calls fn, swallowing any Exception (for leak checks of failing calls)."""
    def call():
        try:
            fn()
        except Exception:
            pass
    return call


def raiser(kind, *args):
    """A callable that raises a fresh `kind` (a raised object that is raised
    again keeps growing its traceback)."""
    def fail(*_, **__):
        raise kind(*args)
    return fail


def acting(*bases, **members):
    """A class made on the spot: acting(str, __len__=raiser(ValueError))."""
    return type("Acting", bases or (object,), members)


def tb_names(exc):
    """(file name, function name) of every traceback entry of `exc`."""
    out = []
    tb = exc.__traceback__
    while tb is not None:
        out.append((tb.tb_frame.f_code.co_filename, tb.tb_frame.f_code.co_name))
        tb = tb.tb_next
    return out


@pytest.fixture
def no_leak():
    def check(fn, **kwargs):
        assert not leaks(fn, **kwargs), "allocated blocks grew on every round"
    return check
