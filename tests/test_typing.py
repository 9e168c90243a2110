"""The stubs against the installed modules (stubtest), and mypy --strict on
the example application and on a typed sample of every public name."""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
MODULES = ["tools.common.quillmark", "tools.tables.tables", "tools.common.murkfold", "tools.common.starveil",
           "tools.dawnlog.dawnlog", "tools.common.siteward", "tools.tables.default_logger"]


def run(*args, cwd):
    proc = subprocess.run([sys.executable, *args], capture_output=True, text=True, cwd=cwd, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


def test_stubs_match_the_modules(tmp_path):
    # Run away from the checkout, so only the installed package is seen.
    assert "Success: no issues found in 7 modules" in run("-m", "mypy.stubtest", *MODULES, cwd=tmp_path)


@pytest.mark.parametrize("target", [["examples/app.py"], ["tests/typed/sample.py"],
                                    ["-m", "tools.tables.default_logger", "-m", "tools.tables"]])
def test_strict_mypy_accepts(target):
    if not (ROOT / target[0]).is_file() and target[0] != "-m":
        pytest.skip(f"{target[0]} is not here (the suite runs against an installed wheel)")
    cache = ROOT / "build" / "mypy-cache"
    assert "Success" in run("-m", "mypy", "--strict", "--cache-dir", str(cache), *target, cwd=ROOT)


def test_the_typed_sample_runs(tmp_path):
    assert run(str(ROOT / "tests/typed/sample.py"), cwd=tmp_path).endswith("typed sample ran\n")
