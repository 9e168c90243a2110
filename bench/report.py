"""The table and the chart of one benchmark run, from pyperf's JSON:

    python bench/report.py bench/results/latest.json

rewrites latest.md and speedup.png beside it (without the memory rows,
which only bench/run.py measures)."""

import importlib.metadata
import json
import math
import os
import platform
import re
import subprocess
import sys
from pathlib import Path

import pyperf

import harness


def load_average():
    try:
        return os.getloadavg()[0]
    except OSError:
        return float("nan")


def machine():
    """CPU model, cores, OS and Python of this machine."""
    model = platform.processor() or platform.machine()
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        found = re.search(r"^Model name:\s*(.+)$", out, re.M)
        if found:
            model = found.group(1).strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    system = platform.platform(terse=True)
    try:
        release = Path("/etc/os-release").read_text()
        found = re.search(r'^PRETTY_NAME="?([^"\n]+)', release, re.M)
        if found:
            system = f"{found.group(1)}, {platform.system()} {platform.release()}"
    except OSError:
        pass
    return (f"{model}, {os.cpu_count()} cores; {system}; "
            f"Python {platform.python_version()} ({platform.python_implementation()})")


def versions():
    out = []
    for dist in ("pyperf", "django", "sentry-sdk", "tablib", "pandas"):
        try:
            out.append(f"{dist} {importlib.metadata.version(dist)}")
        except importlib.metadata.PackageNotFoundError:
            pass
    return ", ".join(out)


def fmt_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def stats(bench):
    values = bench.get_values()
    mean = sum(values) / len(values)
    sd = bench.stdev() if len(values) > 1 else 0.0
    return mean, sd


def ratio(ours, base):
    """ours/baseline of the mean times, with the spread that the two
    relative standard deviations give it."""
    (m1, s1), (m2, s2) = ours, base
    r = m1 / m2
    return r, r * math.hypot(s1 / m1, s2 / m2)


def fmt_ratio(r, spread):
    if r >= 0.1:
        return f"{r:.2f} ± {spread:.2f}"
    return f"{r:.2g} ± {spread:.1g}"


def verdict(r, spread, goal):
    if goal is None:
        return ""
    if r + spread <= goal:
        return f"≤ {goal:g}: met"
    if r - spread > goal:
        return f"≤ {goal:g}: missed"
    return f"≤ {goal:g}: within noise"


def results(suite_path):
    suite = pyperf.BenchmarkSuite.load(str(suite_path))
    benches = {b.get_name(): b for b in suite.get_benchmarks()}
    out = []
    for row in harness.load_rows():
        if row.ours.name in benches and row.baseline.name in benches:
            ours, base = stats(benches[row.ours.name]), stats(benches[row.baseline.name])
            out.append((row, ours, base, *ratio(ours, base)))
    return out


def markdown(rows, memory, run):
    lines = ["| workload | baseline | ours | baseline time | ours / baseline | speed-up | goal (ours / baseline) |",
             "|---|---|--:|--:|--:|--:|---|"]
    for row, ours, base, r, spread in rows:
        versus = row.versus + (f" ({row.note})" if row.note else "")
        lines.append(f"| {row.label} | {versus} | {fmt_time(ours[0])} ± {100 * ours[1] / ours[0]:.0f}% "
                     f"| {fmt_time(base[0])} ± {100 * base[1] / base[0]:.0f}% | {fmt_ratio(r, spread)} "
                     f"| {1 / r:.2f}x | {verdict(r, spread, row.goal)} |")
    if memory:
        lines += ["", "| working memory of one call (tracemalloc) | peak during the call | kept by the result "
                      "| beyond the result |", "|---|--:|--:|--:|"]
        for m in memory:
            lines.append(f"| {m.label} | {m.peak / 1e6:.2f} MB | {m.result / 1e6:.2f} MB "
                         f"| {(m.peak - m.result) / 1e3:.1f} kB |")
    if run:
        lines += ["", f"{run['processes']} worker processes x {run['values']} values per case, after a warm-up; "
                      f"times are means ± standard deviation; ratios are of the means, ± their combined relative "
                      f"spread. Run with `{run['command'].strip()}` in {run['seconds'] / 60:.1f} min, "
                      f"load average {run['load'][0]:.1f} before and {run['load'][1]:.1f} after."]
    lines += ["", f"Machine: {machine()}.", "", f"Libraries: {versions()}."]
    return "\n".join(lines)


def chart(rows, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    colours = {"C floor": "#4c72b0", "bare native call": "#4c72b0", "object.__getattribute__": "#4c72b0",
               "pure Python": "#55a868", "pure-Python class": "#55a868", "pure-Python def": "#55a868"}
    labels, speedups, errors, colour = [], [], [], []
    for row, _, _, r, spread in rows:
        labels.append(f"{row.label}  vs {row.versus}")
        speedups.append(1 / r)
        errors.append(spread / (r * r))  # the spread of 1/r, to first order
        colour.append(colours.get(row.versus, "#c44e52"))
    fig, ax = plt.subplots(figsize=(12, 0.3 * len(rows) + 1.4))
    y = range(len(rows))
    ax.barh(y, speedups, xerr=errors, color=colour, error_kw={"elinewidth": 0.8, "capsize": 2})
    ax.set_yticks(list(y), labels, fontsize=7.5)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.axvline(1, color="black", linewidth=0.8)
    ax.set_xlabel("speed-up: baseline time / our time (log scale; > 1: ours is faster)")
    for i, (s, e) in enumerate(zip(speedups, errors)):
        ax.text((s + e) * 1.06, i, f"{s:.2f}x" if s < 10 else f"{s:.0f}x", va="center", fontsize=7)
    ax.set_xlim(right=max(s + e for s, e in zip(speedups, errors)) * 2.2)
    handles = [plt.Rectangle((0, 0), 1, 1, color=c) for c in ("#4c72b0", "#55a868", "#c44e52")]
    ax.legend(handles, ["bare C floor / native call", "pure-Python version", "other library"], fontsize=7.5,
              loc="lower right")
    ax.set_title("tools: speed-up over each baseline, measured in the same run", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110, bbox_inches="tight")
    plt.close(fig)


def write(suite_path, memory, run, out_dir):
    """Writes latest.md and speedup.png; the memory rows and the run's facts
    are kept beside the JSON (latest-extra.json) for later rewrites."""
    extra = out_dir / "latest-extra.json"
    if memory or run:
        extra.write_text(json.dumps({"memory": [vars(m) for m in memory], "run": run}))
    elif extra.exists():
        kept = json.loads(extra.read_text())
        memory, run = [harness.Memory(**m) for m in kept["memory"]], kept["run"]
    rows = results(suite_path)
    table = markdown(rows, memory, run)
    (out_dir / "latest.md").write_text(table + "\n")
    try:
        chart(rows, out_dir / "speedup.png")
    except ImportError:
        print("matplotlib is not installed: no chart (install the 'bench' extra)", file=sys.stderr)
    return table


if __name__ == "__main__":
    path = Path(sys.argv[1] if len(sys.argv) > 1 else harness.ROOT / "results" / "latest.json")
    print(write(path, [], None, path.parent))
