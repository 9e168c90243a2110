"""Instructions per call of the per-call rows, counted with valgrind's
callgrind tool instead of timed:

    python bench/run.py --instructions [--calls N] [--repeats R] [GROUP ...]

A per-call row is one whose cases repeat their statement within the timed
loop (Case.inner > 1): a single call too short to time alone. Each case runs
in a process of its own under callgrind, which counts only between two marks
(bench/callgrind_marks.c) around a loop of L iterations: once with the
statement written k times in the loop's body and once with it written 2k
times (k = the case's `inner`, k * L = N calls). The second count less the
first, divided by N, is what one more statement costs: start-up, the loop
and the marks cost the same in both and drop out. The interpreter has
specialised both loops' code in a run before the first count, and PYTHONHASHSEED
is fixed. Each case is counted R times; the table shows the median and the
largest distance of any count from it.

Rows, baselines and goals are bench/bench_<group>.py's, as for the timed
table; the table goes to bench/results/instructions.md."""

import argparse
import gc
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402
import report  # noqa: E402


def per_call_rows(groups=None):
    return [row for row in harness.load_rows(groups) if row.ours.inner > 1]


def loop(case, names, repeat):
    """The counted function: `case.stmt` written repeat times in a loop body."""
    params = ", ".join(names)
    body = "; ".join([case.stmt] * repeat)
    src = f"def _counted(_it, {params}):\n    for _ in _it:\n        {body}\n"
    ns = {}
    exec(compile(src, f"<counted {case.name} x{repeat}>", "exec"), ns)
    return ns["_counted"]


def child(name, calls, repeats):
    """Under callgrind: the counted loops of one case, each dumped apart."""
    import itertools

    marks = harness.floor("callgrind_marks")
    case = next(c for row in per_call_rows() for c in (row.ours, row.baseline) if c.name == name)
    names = case.setup()
    k = case.inner
    iterations = max(1, calls // k)
    single, double = loop(case, names, k), loop(case, names, 2 * k)
    marks.start()
    for fn in (single, double):  # specialised and warm before anything is counted
        fn(itertools.repeat(None, iterations), **names)
    for rep in range(repeats):
        for label, fn in (("single", single), ("double", double)):
            gc.collect()
            it = itertools.repeat(None, iterations)
            marks.toggle()
            fn(it, **names)
            marks.toggle()
            marks.dump(f"{label} {rep}")
    print(k * iterations)


def count(case, calls, repeats, work):
    """(median, largest distance from it) of the instructions per statement."""
    out = work / re.sub(r"\W+", "_", case.name)
    cmd = ["valgrind", "--tool=callgrind", "--instr-atstart=no", "--collect-atstart=no",
           f"--callgrind-out-file={out}.%p", sys.executable, __file__, "--child", case.name, "--calls", str(calls),
           "--repeats", str(repeats)]
    env = dict(os.environ, PYTHONHASHSEED="0")
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise SystemExit(f"instructions: {case.name} failed under callgrind:\n{proc.stderr[-3000:]}")
    n = int(proc.stdout.split()[-1])
    totals = {}
    for dump in work.glob(out.name + ".*"):
        text = dump.read_text(errors="replace")
        trigger = re.search(r"^desc: Trigger: Client Request: (.+)$", text, re.M)
        total = re.search(r"^(?:totals|summary): (\d+)", text, re.M)
        if trigger and total:
            totals[trigger.group(1).strip()] = int(total.group(1))
    per_call = [(totals[f"double {r}"] - totals[f"single {r}"]) / n for r in range(repeats)]
    median = statistics.median(per_call)
    return median, max(abs(p - median) for p in per_call)


def fmt_count(value, spread):
    return f"{value:,.1f} ± {spread:.1f}" if spread < 10 else f"{value:,.0f} ± {spread:.0f}"


def markdown(rows, counts, calls, repeats, seconds):
    lines = ["| workload | baseline | ours (instructions a call) | baseline (instructions a call) | ours / baseline "
             "| goal (ours / baseline) |", "|---|---|--:|--:|--:|---|"]
    for row in rows:
        (o, os_), (b, bs) = counts[row.ours.name], counts[row.baseline.name]
        r, spread = report.ratio((o, os_), (b, bs))
        versus = row.versus + (f" ({row.note})" if row.note else "")
        lines.append(f"| {row.label} | {versus} | {fmt_count(o, os_)} | {fmt_count(b, bs)} | "
                     f"{report.fmt_ratio(r, spread)} | {report.verdict(r, spread, row.goal)} |")
    valgrind = subprocess.run(["valgrind", "--version"], capture_output=True, text=True).stdout.strip()
    lines += ["", f"Instructions counted by {valgrind} (callgrind): for each case, a loop with the statement "
                  f"written 2k times in its body less the same loop with it written k times, over {calls:,} "
                  f"statements; the median of {repeats} counts ± the largest distance of one from it, and the "
                  f"ratio ± their combined relative spread. The goals are the timed table's. "
                  f"Run with `./dev bench --instructions` in {seconds / 60:.1f} min.",
              "", f"Machine: {report.machine()}."]
    return "\n".join(lines)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("groups", nargs="*", help="benchmark modules (default: all with per-call rows)")
    parser.add_argument("--calls", type=int, default=10_000, help="statements counted per loop (default 10,000)")
    parser.add_argument("--repeats", type=int, default=3, help="counts per case (default 3)")
    parser.add_argument("--out", type=Path, default=harness.ROOT / "results", help="results directory")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        child(args.child, args.calls, args.repeats)
        return
    if not shutil.which("valgrind"):
        raise SystemExit("instructions: valgrind is needed (apt-get install valgrind)")
    harness.build_floors()
    if not list((harness.BUILD / "modules").glob("callgrind_marks*")):
        raise SystemExit("instructions: callgrind_marks was not built: valgrind's headers (valgrind/callgrind.h) "
                         "are missing")
    rows = per_call_rows(args.groups or None)
    if not rows:
        raise SystemExit("instructions: no per-call rows in " + ", ".join(args.groups))
    started = time.time()
    counts = {}
    with tempfile.TemporaryDirectory(prefix="tools-callgrind-") as work:
        for row in rows:
            for case in (row.ours, row.baseline):
                if case.name not in counts:
                    counts[case.name] = count(case, args.calls, args.repeats, Path(work))
                    print(f"  {case.name}: {fmt_count(*counts[case.name])} instructions a call", flush=True)
    table = markdown(rows, counts, args.calls, args.repeats, time.time() - started)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "instructions.md").write_text(table + "\n")
    print()
    print(table)


if __name__ == "__main__":
    main(sys.argv[1:])
