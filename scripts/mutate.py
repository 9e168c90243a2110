"""Mutation testing of one module's C++ sources, as `./dev mutate` runs it:

    python scripts/mutate.py [MODULE | all] [--sample N] [--seed S] [--survivors [--at FILE:LINE]] [--again]

With no MODULE it lists the modules. For MODULE it makes every mutant of the
module's sources with universalmutator (one changed line each), then, for
each mutant taken, puts it into a copy of the checkout (build/mutate/tree;
the checkout itself is never touched), rebuilds the deliverables it is part of
in a persistent unoptimised build (build/mutate/O0, so only the mutated
translation units are compiled again), and runs the module's tests against
that build with `pytest -x`, the tests likeliest to fail fast first, under a
timeout of three times the unmutated run. A mutant is

  killed      the tests fail, crash, time out, or the module cannot be imported;
  survived    the tests pass;
  stillborn   it does not compile or link, or its module has an undefined symbol;
  equivalent  it survived, and its object code in the shipped (Release) build
              is byte for byte the original's: no test can tell them apart
              (checked only for survivors, and reported apart from them).

Results go to build/mutate/MODULE/results.json, keyed by the mutant itself,
so that a later run with --survivors runs only the earlier survivors again
(after tests were added; a mutated line that moved is found by its text),
and a later --sample run takes mutants not yet run against the same sources.

Modules and their tests: see MODULES below. The frame (src/frame) counts as a
module of its own, compiled into every deliverable: its mutants rebuild all
six and run the whole suite but the wheel test. walk.hpp rebuilds murkfold
and starveil and runs both walkers' tests."""

import argparse
import contextlib
import dataclasses
import fcntl
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "mutate"
TREE = WORK / "tree"        # the copy that mutants are written into
O0 = WORK / "O0"            # the build the tests run against
RELEASE = WORK / "release"  # the shipped flags, for the equivalence screen
STAGE = WORK / "stage"      # the import package: the tree's Python files, O0's modules
COPIED = ["CMakeLists.txt", "pyproject.toml", "src", "tests", "examples"]
DELIVERABLES = {"quillmark": "common", "tables": "tables", "murkfold": "common", "starveil": "common",
                "dawnlog": "dawnlog", "siteward": "common"}
TIMEOUT_FACTOR, TIMEOUT_EXTRA = 3.0, 20.0
BUILD_TIMEOUT = 600
GENERATION = "2"  # how mutants are made from the tool's output: a new value makes them anew


@dataclasses.dataclass(frozen=True)
class Module:
    sources: tuple      # globs under ROOT
    targets: tuple      # deliverables rebuilt for each mutant
    tests: tuple        # (test file, substrings of the test id to keep, or None for all), fastest to fail first


def walker_tests(name, *remembered):
    return (("test_%s.py" % name, None), ("test_remembered.py", (name, *remembered)),
            ("test_frame.py", (name,)), ("test_walkers_model.py", None),
            ("test_hostile.py", ("walks", "threads", name)), ("test_imports.py", (name,)),
            ("test_walkers_depth.py", None), ("test_nomemory.py", (name,)), ("test_leaks.py", (name,)),
            ("test_typing.py", None))


WALK_TESTS = (("test_murkfold.py", None), ("test_starveil.py", None),
              ("test_remembered.py", ("murkfold", "starveil", "frame")), ("test_walkers_model.py", None),
              ("test_hostile.py", ("walks", "threads", "murkfold", "starveil")),
              ("test_imports.py", ("murkfold", "starveil")), ("test_walkers_depth.py", None),
              ("test_nomemory.py", ("murkfold", "starveil")), ("test_leaks.py", ("murkfold", "starveil")),
              ("test_typing.py", None))


def module_tests(unit, *keys, frame="same"):
    return ((unit, None), ("test_remembered.py", keys), ("test_frame.py", keys if frame == "same" else frame),
            ("test_hostile.py", keys),
            ("test_imports.py", keys), ("test_nomemory.py", keys), ("test_leaks.py", keys), ("test_typing.py", None))


ALL_TESTS = tuple((f, None) for f in (
    "test_frame.py", "test_remembered.py", "test_siteward.py", "test_quillmark.py", "test_murkfold.py",
    "test_starveil.py",
    "test_dawnlog.py", "test_tables.py", "test_logger.py", "test_walkers_model.py", "test_hostile.py",
    "test_imports.py", "test_walkers_depth.py", "test_nomemory.py", "test_leaks.py", "test_typing.py"))

MODULES = {
    "quillmark": Module(("src/tools/common/quillmark.cpp",), ("quillmark",), module_tests("test_quillmark.py",
                                                                                           "quillmark")),
    "tables": Module(("src/tools/tables/tables.cpp",), ("tables",),
                     (("test_tables.py", None), ("test_remembered.py", ("tables", "kept")),
                      ("test_frame.py", ("tables",)), ("test_logger.py", None), ("test_hostile.py", ("table", "Table")),
                      ("test_imports.py", ("logg",)), ("test_nomemory.py", ("table", "Table")),
                      ("test_leaks.py", ("table", "Table")),
                      ("test_typing.py", None))),
    "murkfold": Module(("src/tools/common/murkfold.cpp",), ("murkfold",), walker_tests("murkfold", "frame")),
    "starveil": Module(("src/tools/common/starveil.cpp",), ("starveil",), walker_tests("starveil")),
    "dawnlog": Module(("src/tools/dawnlog/dawnlog.cpp",), ("dawnlog",), module_tests("test_dawnlog.py", "dawnlog")),
    # The frame's own tests call siteward throughout.
    "siteward": Module(("src/tools/common/siteward.cpp",), ("siteward",), module_tests("test_siteward.py",
                                                                                        "siteward", frame=None)),
    "frame": Module(("src/frame/*.cpp", "src/frame/*.hpp"), tuple(DELIVERABLES), ALL_TESTS),
    "walk": Module(("src/tools/common/walk.hpp",), ("murkfold", "starveil"), WALK_TESTS),
}
ORDER = ["siteward", "dawnlog", "quillmark", "starveil", "murkfold", "walk", "tables", "frame"]


def log(*args):
    print(*args, flush=True)


def tool(name):
    """A build tool from this environment, else from PATH."""
    local = Path(sys.executable).parent / name
    found = str(local) if local.exists() else shutil.which(name)
    if not found:
        raise SystemExit(f"mutate: {name} not found (it comes with the environment's build tools)")
    return found


def sha(text):
    return hashlib.sha1(text.encode() if isinstance(text, str) else text).hexdigest()


# ---- the copy, its builds and the import package ---------------------------

def sync_tree():
    """Copies what the build and the tests need into TREE, rewriting only
    files that differ, so that the builds stay incremental."""
    TREE.mkdir(parents=True, exist_ok=True)
    wanted = set()
    for name in COPIED:
        src = ROOT / name
        paths = [src] if src.is_file() else [p for p in src.rglob("*") if p.is_file()
                                             and "__pycache__" not in p.parts and p.suffix != ".so"]
        for p in paths:
            rel = p.relative_to(ROOT)
            wanted.add(rel)
            dst = TREE / rel
            data = p.read_bytes()
            if not dst.exists() or dst.read_bytes() != data:
                dst.parent.mkdir(parents=True, exist_ok=True)
                dst.write_bytes(data)
    for name in COPIED:
        base = TREE / name
        if base.is_dir():
            for p in base.rglob("*"):
                if p.is_file() and p.relative_to(TREE) not in wanted and "__pycache__" not in p.parts:
                    p.unlink()


def configure(build, build_type):
    if (build / "build.ninja").exists():
        return
    subprocess.run([tool("cmake"), "-S", str(TREE), "-B", str(build), "-G", "Ninja",
                    f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}", f"-DCMAKE_BUILD_TYPE={build_type}",
                    f"-DPython_EXECUTABLE={sys.executable}", "-DTOOLS_WERROR=ON"],
                   check=True, stdout=subprocess.DEVNULL)


def build(build_dir, targets):
    """(ok, output) of building `targets`, two jobs at most."""
    try:
        proc = subprocess.run([tool("cmake"), "--build", str(build_dir), "-j", "2", "--target", *targets],
                              capture_output=True, text=True, timeout=BUILD_TIMEOUT)
    except subprocess.TimeoutExpired:
        return False, "build timed out"
    return proc.returncode == 0, proc.stdout + proc.stderr


def make_stage():
    """STAGE/tools: the tree's Python files and stubs, and links to O0's
    modules; this environment finds it through a .pth file."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    if STAGE.exists():
        shutil.rmtree(STAGE)
    for p in (TREE / "src" / "tools").rglob("*"):
        if p.is_file() and p.suffix not in (".cpp", ".hpp") and "__pycache__" not in p.parts:
            dst = STAGE / p.relative_to(TREE / "src")
            dst.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(p, dst)
    for mod, pkg in DELIVERABLES.items():
        (STAGE / "tools" / pkg / f"{mod}{suffix}").symlink_to(O0 / f"{mod}{suffix}")
    site = Path(sysconfig.get_paths()["purelib"])
    (site / "_tools_mutate_stage.pth").write_text(str(STAGE) + "\n")


def import_check(targets):
    """None when the rebuilt modules import; else (status, message)."""
    names = [f"tools.{DELIVERABLES[t]}.{t}" for t in targets]
    code = "import importlib, sys\nsys.path.insert(0, %r)\nfor n in %r:\n    importlib.import_module(n)\n" % (
        str(TREE / "tests" / "tables_support"), names)
    try:
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, cwd=TREE)
    except subprocess.TimeoutExpired:
        return "killed", "import timed out"
    if proc.returncode == 0:
        return None
    last = (proc.stderr.strip().splitlines() or [f"exit {proc.returncode}"])[-1]
    if "undefined symbol" in proc.stderr:
        return "stillborn", last
    return "killed", "import: " + last


# ---- tests -----------------------------------------------------------------

def collect(module):
    """The node ids of the module's tests, in running order."""
    files = list(dict.fromkeys(f for f, _ in module.tests))
    proc = subprocess.run([sys.executable, "-m", "pytest", "--collect-only", "-q", "-p", "no:cacheprovider",
                           *(f"tests/{f}" for f in files)], cwd=TREE, capture_output=True, text=True)
    if proc.returncode != 0:
        raise SystemExit(f"mutate: collecting the tests failed:\n{proc.stdout}\n{proc.stderr}")
    ids = [line.strip() for line in proc.stdout.splitlines() if "::" in line]
    out = []
    for f, keys in module.tests:
        for node in ids:
            if node.split("::")[0] != f"tests/{f}" or node in out:
                continue
            name = node.split("::", 1)[1].lower()
            if keys is None or any(k.lower() in name for k in keys):
                out.append(node)
    return out


def run_tests(ids_file, timeout):
    """(status, detail, seconds): passed, failed (with the first failure) or timeout.
    A module's allocation-failure tests try every allocation count of its
    calls (a few seconds each): the sample they take in the ordinary suite
    misses the failure of many a single allocation. Its create and exec steps
    keep the sample (a full sweep of an import takes minutes), and so does
    the frame, which runs the whole suite."""
    started = time.monotonic()
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    if ids_file.parent.name != "frame":
        env["TOOLS_NOMEMORY_FULL"] = "calls"
    proc = subprocess.Popen([sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "-p",
                             "no:randomly", f"@{ids_file}"], cwd=TREE, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, start_new_session=True, env=env)
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        return "timeout", f"no result after {timeout:.0f} s", time.monotonic() - started
    except BaseException:  # interrupted: the tests' own processes go too
        os.killpg(proc.pid, signal.SIGKILL)
        raise
    seconds = time.monotonic() - started
    if proc.returncode == 0:
        return "passed", "", seconds
    failed = re.search(r"^(FAILED|ERROR) (\S+)", out, re.M)
    if failed:
        detail = failed.group(2)
    elif proc.returncode < 0:
        detail = f"pytest died of signal {-proc.returncode}"
    else:
        detail = f"pytest exit {proc.returncode}: " + " | ".join(out.strip().splitlines()[-3:])
    return "failed", detail, seconds


# ---- mutants ---------------------------------------------------------------

def sources_of(module):
    out = []
    for pattern in module.sources:
        out += sorted(p.relative_to(ROOT).as_posix() for p in ROOT.glob(pattern))
    return out


def generate(rel, cache_dir):
    """The mutants of one source as dicts (file, line, before, after), made
    by universalmutator, cached by the source's content. Every mutant changes
    exactly one line: the tool's inserted `break;` and `continue;` lines are
    joined to the line they follow (or precede), so that no line moves and
    __LINE__ keeps its value."""
    text = (ROOT / rel).read_text()
    cache = cache_dir / (rel.replace("/", "_") + f".{sha(GENERATION + text)[:12]}.json")
    if cache.exists():
        return json.loads(cache.read_text())
    lines = text.split("\n")
    out = []
    with tempfile.TemporaryDirectory(prefix="tools-mutants-") as tmp:
        tmp = Path(tmp)
        src = tmp / Path(rel).name
        src.write_text(text)
        (tmp / "mutants").mkdir()
        proc = subprocess.run([tool("mutate"), src.name, "cpp", "--noCheck", "--mutantDir", "mutants"], cwd=tmp,
                              capture_output=True, text=True)
        if proc.returncode != 0:
            raise SystemExit(f"mutate: universalmutator failed on {rel}:\n{proc.stdout[-2000:]}{proc.stderr}")
        for path in sorted((tmp / "mutants").iterdir()):
            m = path.read_text().split("\n")
            change = single_line(lines, m)
            if change:
                out.append({"file": rel, "line": change[0] + 1, "before": lines[change[0]], "after": change[1]})
    seen, unique = set(), []
    for mut in out:
        key = mutant_key(mut)
        if key not in seen and mut["after"] != mut["before"]:
            seen.add(key)
            unique.append(mut)
    unique.sort(key=lambda m: (m["file"], m["line"], m["after"]))
    cache_dir.mkdir(parents=True, exist_ok=True)
    for old in cache_dir.glob(rel.replace("/", "_") + ".*.json"):
        old.unlink()
    cache.write_text(json.dumps(unique))
    return unique


def single_line(orig, mutant):
    """(index, new text) of a mutant as a change of one line, or None."""
    if len(mutant) == len(orig):
        diff = [i for i, (a, b) in enumerate(zip(orig, mutant)) if a != b]
        return (diff[0], mutant[diff[0]]) if len(diff) == 1 else None
    if len(mutant) != len(orig) + 1:
        return None
    j = next((i for i, (a, b) in enumerate(zip(orig, mutant)) if a != b), len(orig))
    if mutant[j + 1:] != orig[j:] or j == 0:
        return None
    inserted = mutant[j].strip()
    prev = orig[j - 1]
    # Not after a directive, which would ignore it, nor into a comment.
    if "//" not in prev and not prev.rstrip().endswith("\\") and not prev.lstrip().startswith("#"):
        return j - 1, prev + " " + inserted
    if j < len(orig) and not orig[j].lstrip().startswith("#"):
        indent = len(orig[j]) - len(orig[j].lstrip())
        return j, orig[j][:indent] + inserted + " " + orig[j][indent:]
    return None


def mutant_key(mut):
    return f"{mut['file']}:{mut['line']}:{sha(mut['before'] + chr(0) + mut['after'])[:12]}"


def locate(mut, lines):
    """The line index where `mut` applies now: its own line if unchanged,
    else the nearest line with the same text; None when it is gone."""
    i = mut["line"] - 1
    if i < len(lines) and lines[i] == mut["before"]:
        return i
    found = [k for k, text in enumerate(lines) if text == mut["before"]]
    return min(found, key=lambda k: abs(k - i)) if found else None


@contextlib.contextmanager
def applied(mut, index):
    """The mutant written into TREE, the original put back afterwards."""
    path = TREE / mut["file"]
    original = path.read_text()
    lines = original.split("\n")
    lines[index] = mut["after"]
    path.write_text("\n".join(lines))
    try:
        yield
    finally:
        path.write_text(original)


def object_hashes(build_dir):
    return {p.relative_to(build_dir).as_posix(): sha(p.read_bytes()) for p in build_dir.rglob("*.o")}


# ---- one module --------------------------------------------------------------

class Results:
    """build/mutate/MODULE/results.json: the latest outcome of each mutant
    with the source it was made from."""

    def __init__(self, name):
        self.path = WORK / name / "results.json"
        self.data = json.loads(self.path.read_text()) if self.path.exists() else {"mutants": {}}

    def save(self):
        self.path.parent.mkdir(parents=True, exist_ok=True)
        tmp = self.path.with_suffix(".tmp")
        tmp.write_text(json.dumps(self.data, indent=1))
        tmp.replace(self.path)


def run_module(name, args):
    module = MODULES[name]
    sources = sources_of(module)
    source_sha = {rel: sha((ROOT / rel).read_text()) for rel in sources}
    results = Results(name)
    log(f"== {name}: {', '.join(sources)}; rebuilds {', '.join(module.targets)}")

    every = []
    for rel in sources:
        every += generate(rel, WORK / "mutants")
    log(f"   {len(every)} mutants generated by universalmutator")
    done = results.data["mutants"]

    if args.survivors:
        chosen = [dict(r["mutant"]) for r in done.values() if r["status"] == "survived" and r["mutant"]["file"]
                  in source_sha]
        if args.at:  # only those at the places named (a test was added for them)
            chosen = [m for m in chosen if any(f"{m['file']}:{m['line']}".endswith(a) for a in args.at)]
        log(f"   re-running the {len(chosen)} survivors of earlier runs")
        goal = len(chosen)
    else:
        rng = random.Random(args.seed)
        chosen = list(every)
        rng.shuffle(chosen)
        if not args.again:
            chosen = [m for m in chosen if not (mutant_key(m) in done and done[mutant_key(m)]["source_sha"]
                                                == source_sha[m["file"]])]
        goal = args.sample or len(chosen)
        if args.sample:
            log(f"   a random sample (seed {args.seed}): mutants in shuffled order until {goal} have compiled")

    # The unmutated build (every deliverable: the tests import them all),
    # its tests and the time they take.
    ok, out = build(O0, tuple(DELIVERABLES))
    if not ok:
        raise SystemExit(f"mutate: the unmutated sources do not build:\n{out[-3000:]}")
    ids = collect(module)
    ids_file = WORK / name / "tests.txt"
    ids_file.parent.mkdir(parents=True, exist_ok=True)
    ids_file.write_text("\n".join(ids) + "\n")
    status, detail, base_seconds = run_tests(ids_file, 3600)
    if status != "passed":
        raise SystemExit(f"mutate: the tests fail on the unmutated build ({detail}): fix that first")
    timeout = max(TIMEOUT_FACTOR * base_seconds, base_seconds + TIMEOUT_EXTRA)
    log(f"   {len(ids)} tests, {base_seconds:.1f} s unmutated; timeout {timeout:.0f} s")

    counts = dict.fromkeys(("killed", "survived", "stillborn", "equivalent", "gone"), 0)
    ran = []
    started = time.monotonic()
    try:
        for mut in chosen:
            if counts["killed"] + counts["survived"] >= goal:
                break
            tree_lines = (TREE / mut["file"]).read_text().split("\n")
            index = locate(mut, tree_lines)
            t0 = time.monotonic()
            old_key = mutant_key(mut)
            if index is None:
                status, detail = "gone", "the mutated line is no longer in the source"
            else:
                mut = dict(mut, line=index + 1)
                with applied(mut, index):
                    status, detail = one_mutant(module, ids_file, timeout)
            seconds = time.monotonic() - t0
            counts[status] += 1
            ran.append((mut, status, detail, seconds))
            if status != "gone":
                done.pop(old_key, None)  # it may have moved
                done[mutant_key(mut)] = {"mutant": mut, "status": status, "detail": detail,
                                         "seconds": round(seconds, 2), "source_sha": source_sha[mut["file"]]}
                results.save()
            n = counts["killed"] + counts["survived"]
            log(f"   [{n}/{goal}] {status:<9} {mut['file']}:{mut['line']}  {seconds:5.1f} s  {detail[:110]}")
    finally:
        # The tree holds the original again: build it so the stage does too.
        build(O0, module.targets)
    elapsed = time.monotonic() - started

    survivors = [(m, d) for m, s, d, _ in ran if s == "survived"]
    if survivors and not args.no_screen:
        log(f"   screening {len(survivors)} survivors for equivalence (Release object code)")
        for mut, _ in survivors:
            if equivalent(module, mut):
                counts["survived"] -= 1
                counts["equivalent"] += 1
                key = mutant_key(mut)
                done[key]["status"] = "equivalent"
                done[key]["detail"] = "Release object code identical to the original's"
        results.save()

    summary = {"module": name, "generated": len(every), "ran": len(ran), "sample": bool(args.sample),
               "seed": args.seed if args.sample else None, "seconds": round(elapsed, 1),
               "seconds_per_mutant": round(elapsed / len(ran), 2) if ran else None, **counts}
    results.data["last_run"] = summary
    results.save()
    report(name, summary, ran, done)
    return summary


def one_mutant(module, ids_file, timeout):
    ok, out = build(O0, module.targets)
    if not ok:
        error = re.search(r"error: (.*)", out)
        return "stillborn", error.group(1) if error else out.strip().splitlines()[-1]
    failed = import_check(module.targets)
    if failed:
        return failed
    status, detail, _ = run_tests(ids_file, timeout)
    if status == "passed":
        return "survived", ""
    return "killed", ("timeout: " if status == "timeout" else "") + detail


def equivalent(module, mut):
    """Whether the mutant's Release object code is the original's, byte for
    byte (the build has no debug information, and no line has moved)."""
    configure(RELEASE, "Release")
    ok, _ = build(RELEASE, module.targets)
    if not ok:
        return False
    original = object_hashes(RELEASE)
    index = locate(mut, (TREE / mut["file"]).read_text().split("\n"))
    if index is None:
        return False
    with applied(mut, index):
        ok, _ = build(RELEASE, module.targets)
        same = ok and object_hashes(RELEASE) == original
    build(RELEASE, module.targets)
    return same


def report(name, summary, ran, done):
    viable = summary["killed"] + summary["survived"]
    what = (f"a random sample (seed {summary['seed']}) of {summary['ran']} of the {summary['generated']} mutants"
            if summary["sample"] else f"{summary['ran']} of the {summary['generated']} mutants")
    log("")
    log(f"{name}: {what}, {summary['seconds'] / 60:.1f} min, {summary['seconds_per_mutant'] or 0:.1f} s a mutant")
    log(f"  killed {summary['killed']}, survived {summary['survived']}, stillborn {summary['stillborn']}, "
        f"equivalent (screened) {summary['equivalent']}" + (f", gone {summary['gone']}" if summary["gone"] else ""))
    if viable:
        log(f"  killed / (killed + survived): {100 * summary['killed'] / viable:.1f}%")
    if len(done) > len(ran):
        c = {s: sum(1 for r in done.values() if r["status"] == s)
             for s in ("killed", "survived", "stillborn", "equivalent")}
        log(f"  every run kept in build/mutate/{name}/results.json: killed {c['killed']}, survived {c['survived']}, "
            f"stillborn {c['stillborn']}, equivalent {c['equivalent']}")
    for title, status in (("survivors", "survived"), ("screened as equivalent", "equivalent")):
        muts = [m for m, s, _, _ in ran if done.get(mutant_key(m), {}).get("status") == status]
        if not muts:
            continue
        log(f"\n{name} {title}:")
        for m in muts:
            log(f"--- a/{m['file']}\n+++ b/{m['file']}\n@@ -{m['line']} +{m['line']} @@\n-{m['before']}\n+{m['after']}")


def list_modules():
    log("modules (./dev mutate MODULE [--sample N --seed S] [--survivors]; `all` runs each in turn):")
    for name in ORDER:
        module = MODULES[name]
        files = ", ".join(dict.fromkeys(f for f, _ in module.tests))
        last = Results(name).data.get("last_run")
        log(f"  {name:<10} {', '.join(sources_of(module))}")
        log(f"  {'':<10} rebuilds {', '.join(module.targets)}; tests from {files}")
        if last:
            log(f"  {'':<10} last run: {last['ran']} of {last['generated']} mutants, killed {last['killed']}, "
                f"survived {last['survived']}, stillborn {last['stillborn']}, equivalent {last['equivalent']}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("module", nargs="?", choices=[*ORDER, "all"], help="the module to mutate; none: list them")
    parser.add_argument("--sample", type=int, metavar="N",
                        help="take mutants in random order until N have compiled (default: every mutant)")
    parser.add_argument("--seed", type=int, default=1, help="the sample's seed (default 1)")
    parser.add_argument("--survivors", action="store_true", help="run only the survivors of earlier runs again")
    parser.add_argument("--at", action="append", metavar="FILE:LINE",
                        help="with --survivors: only those at FILE:LINE (the end of the path will do); repeatable")
    parser.add_argument("--again", action="store_true",
                        help="also take mutants already run against the same sources")
    parser.add_argument("--no-screen", action="store_true", help="skip the equivalence screen of survivors")
    args = parser.parse_args(argv)
    if args.at and not args.survivors:
        parser.error("--at names survivors to run again: it needs --survivors")
    if not args.module:
        list_modules()
        return 0
    WORK.mkdir(parents=True, exist_ok=True)
    with open(WORK / ".lock", "w") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            raise SystemExit("mutate: another run is using build/mutate") from None
        sync_tree()
        configure(O0, "Debug")
        make_stage()
        summaries = [run_module(name, args) for name in (ORDER if args.module == "all" else [args.module])]
    if len(summaries) > 1:
        log("\nmodule      generated  ran  killed  survived  stillborn  equivalent  s/mutant")
        for s in summaries:
            log(f"{s['module']:<10} {s['generated']:>10} {s['ran']:>4} {s['killed']:>7} {s['survived']:>9} "
                f"{s['stillborn']:>10} {s['equivalent']:>11} {s['seconds_per_mutant'] or 0:>9.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
