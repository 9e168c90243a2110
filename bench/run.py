"""Runs every benchmark workload (bench/bench_*.py) and prints one table of
times against baselines measured in the same run. Optional arguments pick
workload modules by name, for example: python bench/run.py siteward"""

import importlib
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402


def main(argv):
    names = sorted(p.stem[len("bench_"):] for p in common.ROOT.glob("bench_*.py"))
    wanted = argv or names
    for name in wanted:
        importlib.import_module(f"bench_{name}").run()
    common.report()


if __name__ == "__main__":
    main(sys.argv[1:])
