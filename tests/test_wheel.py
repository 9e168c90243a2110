"""The wheel built from this checkout, installed into a fresh environment and
used from outside the source tree: a file the wheel lacks fails here."""

import importlib.util
import os
import subprocess
import sys
import textwrap
import venv
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ROOT / "src" / "tools"

pytestmark = [
    pytest.mark.skipif(
        not (ROOT / "CMakeLists.txt").is_file() or importlib.util.find_spec("scikit_build_core") is None,
        reason="needs the source tree and scikit-build-core (the suite runs here against an installed wheel)"),
    # Packaging, not memory safety: under ./dev sanitize the build would only
    # run again with the sanitizer runtime preloaded into the compiler.
    pytest.mark.skipif(bool(os.environ.get("TOOLS_SANITIZE")), reason="packaging is checked by ./dev test"),
    # A distribution's offline build of the sdist may have no pip: the
    # wheel is its build's to make, and the rest of the suite still runs.
    pytest.mark.skipif(importlib.util.find_spec("pip") is None,
                       reason="needs pip to build and install the wheel, and this environment has none"),
]


def run(*args, **kwargs):
    proc = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=600, **kwargs)
    assert proc.returncode == 0, f"{args}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    return proc


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    # A build directory kept for this environment, so only what changed is
    # compiled; one per environment, as each is for its own interpreter.
    out = tmp_path_factory.mktemp("dist")
    build = f"build/{Path(sys.prefix).name}-wheel"
    run(sys.executable, "-m", "pip", "wheel", "-q", "--disable-pip-version-check", "--no-build-isolation",
        "--no-deps", "-w", out, f"--config-settings=build-dir={build}", ".", cwd=ROOT)
    (found,) = out.glob("tools_native-*.whl")
    return found


def test_wheel_holds_the_package_and_nothing_at_the_top_level(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    info = "-".join(wheel.name.split("-")[:2]) + ".dist-info"
    assert {n.split("/")[0] for n in names} == {"tools", info}
    assert f"{info}/licenses/LICENSE" in names
    shipped = {p.relative_to(SOURCES.parent).as_posix() for p in SOURCES.rglob("*")
               if p.suffix in (".py", ".pyi", ".typed")}
    assert shipped <= set(names), shipped - set(names)
    modules = sorted(n.split(".")[0] for n in names if n.endswith((".so", ".dylib", ".pyd")))
    assert modules == sorted(["tools/common/quillmark", "tools/tables/tables", "tools/common/murkfold",
                              "tools/common/starveil", "tools/dawnlog/dawnlog", "tools/common/siteward"])


def test_installed_wheel_works_outside_the_source_tree(wheel, tmp_path):
    env_dir = tmp_path / "env"
    venv.create(env_dir, with_pip=False)
    python = env_dir / "Scripts" / "python.exe" if os.name == "nt" else env_dir / "bin" / "python"
    run(sys.executable, "-m", "pip", "--python", python, "install", "-q", "--disable-pip-version-check",
        "--no-deps", "--no-index", wheel)
    code = textwrap.dedent("""
        import importlib, importlib.metadata, sys
        names = ["tools.common.quillmark", "tools.tables.tables", "tools.common.murkfold",
                 "tools.common.starveil", "tools.dawnlog.dawnlog", "tools.common.siteward"]
        for name in names:
            assert importlib.import_module(name).__file__.startswith(sys.prefix), name
        import tools, logger
        from tools.tables.tables import Table
        t = Table({"columns": ["a", "b"], "data": [{"a": 1, "b": 2}]})
        print(repr(t.filter(include=["a"])), t.filter(exclude=["a"]).data)
        print(logger is sys.modules["tools.tables.default_logger"], Table.filter.logger.name)
        print(tools.__version__ == importlib.metadata.version("tools-native"))
    """)
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    proc = run(python, "-I", "-c", code, cwd=tmp_path, env=env)
    assert proc.stdout == "Table(['a']) [{'b': 2}]\nTrue tools.tables.tables.Table.filter\nTrue\n"
