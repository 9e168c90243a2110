"""The pyperf script behind bench/run.py: one pyperf benchmark per timed
case, ours registered next to its baseline so that the two run close
together. pyperf runs this file again in each worker process, which times
only its own case. Run it through bench/run.py, which builds the floors first
and writes the table and the chart."""

import importlib.metadata

import pyperf

from harness import load_rows, time_func


def add_cmdline_args(cmd, args):
    if args.groups:
        cmd.extend(["--groups", args.groups])


def main():
    runner = pyperf.Runner(add_cmdline_args=add_cmdline_args)
    runner.argparser.add_argument("--groups", default="", help="comma-separated benchmark modules (default: all)")
    args = runner.parse_args()
    for dist in ("tools", "django", "sentry-sdk", "tablib", "pandas"):
        try:
            runner.metadata[f"version_{dist}"] = importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            pass
    seen = set()
    for row in load_rows(args.groups.split(",") if args.groups else None):
        for case in (row.ours, row.baseline):
            if case.name not in seen:
                seen.add(case.name)
                runner.bench_time_func(case.name, time_func(case), inner_loops=case.inner if case.inner > 1 else None)


if __name__ == "__main__":
    main()
