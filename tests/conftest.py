"""Helpers shared by the test modules."""

import gc
import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code, *, env=None, check=True, **kwargs):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, timeout=300, **kwargs)
    if check and proc.returncode != 0:
        raise AssertionError(f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc


def leaks(fn, *, warmup=5, rounds=5, inner=40):
    """True when every round of `inner` calls leaves more allocated blocks
    behind (a block or two of noise is normal, a real leak grows each time)."""
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
    return all(g > 2 for g in growth)


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
    def check(fn):
        assert not leaks(fn), "allocated blocks grew on every round"
    return check
