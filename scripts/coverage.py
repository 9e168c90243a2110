"""Line and branch coverage of the C++ sources, as `./dev coverage [PYTEST ARGS]`
runs it: the environment (.venv-cov) holds a build compiled with
`--coverage -O0 -g` (TOOLS_COVERAGE), this script runs the test suite there
and then gcovr over the counters the run left.

    python scripts/coverage.py --build build/.venv-cov [--quick] [PYTEST ARGS]

Every process that loads an instrumented module adds its counts to the .gcda
files beside the build's object files (absolute paths, merged under a lock),
so the interpreters the tests start count too. Processes that end through
os._exit (the allocation-failure tests' forked attempts) would skip the
library destructors that write them: a .pth file in the environment makes
os._exit end through the C library's exit there, while TOOLS_COVERAGE_EXIT is
set, which runs those destructors and nothing of Python's own shutdown.

By default the allocation-failure tests run their full sweep
(TOOLS_NOMEMORY_FULL=1): failing each of a call's allocations in turn is what
reaches its error paths, and the sample that CI uses leaves most of them
unrun, so the numbers would measure the sample rather than the tests. It
takes about ten minutes more; --quick keeps the sample.

Branches: gcc counts, at every call that may throw, a branch to the
exception path. Our sources are compiled C++ that never throws through C
API calls, so those are left out (--exclude-throw-branches), and so are the
branches gcc itself marks as never taken by construction
(--exclude-unreachable-branches). Nothing else is excluded."""

import argparse
import json
import os
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "build" / "coverage"
LINE_GOAL, BRANCH_GOAL = 98.0, 85.0
# Ours: the frame, each module's source and the walk both walkers share.
FILTERS = [r"src/frame/.*\.(cpp|hpp)$", r"src/tools/.*\.(cpp|hpp)$"]

HOOK = '''\
"""Written by scripts/coverage.py: while TOOLS_COVERAGE_EXIT is set, os._exit
ends through the C library's exit, so that gcov's counters are written."""
import os

if os.environ.get("TOOLS_COVERAGE_EXIT"):
    import ctypes

    _libc_exit = ctypes.CDLL(None).exit
    _libc_exit.argtypes = [ctypes.c_int]

    def _exit(status):
        _libc_exit(status)

    os._exit = _exit
'''


def install_hook():
    site = Path(sysconfig.get_paths()["purelib"])
    (site / "_tools_coverage_exit.py").write_text(HOOK)
    (site / "_tools_coverage_exit.pth").write_text("import _tools_coverage_exit\n")


def run_tests(pytest_args, quick):
    env = dict(os.environ, TOOLS_COVERAGE_EXIT="1")
    if not quick:
        env.setdefault("TOOLS_NOMEMORY_FULL", "1")
    cmd = [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", *pytest_args]
    print("coverage: " + " ".join(cmd[2:]) + ("" if quick else "  (TOOLS_NOMEMORY_FULL=1)"), flush=True)
    return subprocess.run(cmd, cwd=ROOT, env=env).returncode


def gcovr(build):
    OUT.mkdir(parents=True, exist_ok=True)
    for old in OUT.glob("*.html"):
        old.unlink()
    cmd = [sys.executable, "-m", "gcovr", "--root", str(ROOT), "-j", "2",
           "--exclude-throw-branches", "--exclude-unreachable-branches",
           "--json-summary", str(OUT / "summary.json"), "--json-summary-pretty",
           "--html-details", str(OUT / "index.html"), "--html-title", "tools-native: C++ coverage"]
    for f in FILTERS:
        cmd += ["--filter", f]
    cmd.append(str(build))
    subprocess.run(cmd, cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    return json.loads((OUT / "summary.json").read_text())


def pct(covered, total):
    return 100.0 * covered / total if total else 100.0


def table(summary):
    rows = sorted(summary["files"], key=lambda f: f["filename"])
    width = max(len(f["filename"]) for f in rows + [{"filename": "total"}])

    def line(name, f):
        lp = pct(f["line_covered"], f["line_total"])
        bp = pct(f["branch_covered"], f["branch_total"])
        text = (f"{name:<{width}}  {f['line_covered']:>6}/{f['line_total']:<6} {lp:6.1f}%  "
                f"{f['branch_covered']:>6}/{f['branch_total']:<6} {bp:6.1f}%")
        return text, lp, bp

    head = f"{'file':<{width}}  {'lines':^13} {'':>7}  {'branches':^13} {'':>7}"
    lines, missing = [head, "-" * len(head)], []
    for f in rows:
        text, lp, bp = line(f["filename"], f)
        miss = [m for m, bad in (("line", lp < LINE_GOAL), ("branch", bp < BRANCH_GOAL)) if bad]
        if miss:
            missing.append((f["filename"], miss))
            text += "  <- " + ", ".join(miss)
        lines.append(text)
    lines += ["-" * len(head), line("total", summary)[0]]
    return "\n".join(lines), missing


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
                                     usage="%(prog)s --build DIR [--quick] [PYTEST ARGS]")
    parser.add_argument("--build", type=Path, required=True, help="the instrumented build directory")
    parser.add_argument("--quick", action="store_true",
                        help="the allocation-failure tests' sample instead of their full sweep")
    args, pytest_args = parser.parse_known_args(argv)
    args.pytest_args = [a for a in pytest_args if a != "--"]
    build = args.build.resolve()
    if not any(build.rglob("*.gcno")):
        raise SystemExit(f"coverage: no .gcno files under {build}: not an instrumented build")
    for old in build.rglob("*.gcda"):  # counts of earlier runs
        old.unlink()
    install_hook()
    started = time.monotonic()
    status = run_tests(args.pytest_args, args.quick)
    summary = gcovr(build)
    text, missing = table(summary)
    print()
    print(f"C++ coverage (gcovr; throw and unreachable branches excluded), tests ran "
          f"{(time.monotonic() - started) / 60:.1f} min:")
    print(text)
    print()
    if missing:
        print(f"below the goals (lines >= {LINE_GOAL:g}%, branches >= {BRANCH_GOAL:g}%):")
        for name, miss in missing:
            print(f"  {name}: {' and '.join(miss)}")
    else:
        print(f"every file meets the goals (lines >= {LINE_GOAL:g}%, branches >= {BRANCH_GOAL:g}%)")
    print(f"HTML: {(OUT / 'index.html').relative_to(ROOT)}")
    if status:
        print(f"coverage: the test run failed (pytest exit {status}); the numbers are of that run", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
