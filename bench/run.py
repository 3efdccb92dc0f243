"""Run the benchmarks and print one table: ours against the floor.

    make bench                                   # every workload
    make bench BENCH_ARGS=health                 # only bench/bench_health.py
    make bench-callgrind BENCH_ARGS=classify     # instruction counts of one workload

For every workload the table gives our per-call time, today's published
figure (the README table this run replaces), and for each floor its time,
the ratio ours/floor and the target that ratio has to meet.  Peers (plain-
Python models, other implementations) are shown with their ratio and no
target.  Progress goes to stderr, one line per workload.

``--callgrind`` runs the first workload whose entry or workload text contains
the argument under ``valgrind --tool=callgrind``, once per side, and prints
instructions per call; those do not move with the load on the machine.  Each
side's count is taken as the difference from a run that only builds the
inputs, divided by the number of calls.
"""

from __future__ import annotations

import importlib.util
import os
import pathlib
import platform
import shutil
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from _harness import Result, Workload, fmt_us, measure  # noqa: E402

# Per-call figures of the README table as it stood before this benchmark
# measured against floors, in microseconds, keyed by (entry, workload).
README_US: dict[tuple[str, str], float] = {
    ("classify_directive_domain", "100-char ASCII directive"): 0.97,
    ("classify_directive_domain", "100-char non-ASCII directive"): 2.72,
    ("parse_convergence_verdict", "70-char CONVERGED reply"): 0.64,
    ("cosine_similarity", "two 1,536-element lists"): 3.23,
    ("compute_kelvane_score + classify_cognitive_health", "full statistics map"): 1.60,
    ("compute_kelvane_score", "full statistics map"): 1.07,
    ("classify_cognitive_health", "full statistics map"): 0.68,
    ("TuningProfile()", "balanced"): 0.36,
    ("TuningProfile(**2 fields)", "two keywords"): 0.41,
    ("replace", "one field"): 0.26,
    ("hash(TuningProfile.balanced())", "fresh profile each call"): 1.45,
    ("hash(TuningProfile)", "same profile again"): 0.12,
    ("TuningProfile ==", "equal profiles"): 0.43,
    ("Jobline submit+wait_all (per job)", "10000 trivial jobs, limit 8, independent"): 16.19,
    ("Jobline submit+wait_all (per job)", "10000 trivial jobs, limit 8, chains of 10"): 13.89,
    ("parse_evolution_output", "fenced 1044 B, 5 proposals"): 7.44,
    ("parse_extraction_output", "904 B, 8 facts"): 9.64,
    ("parse_extraction_output", "1.15 MB, 10,000 facts"): 13_950.0,
    ("build_evolution_prompt", "50 directives, 20 insights"): 33.12,
    ("build_consolidation_prompt", "20 memories x 300 chars, half maps"): 25.24,
    ("build_journal_prompt", "50 memories, one of 60,000 chars"): 107.34,
    ("build_group_digest_prompt", "200 rows"): 40.59,
    ("compute_prompt_hash", "1 MB ASCII"): 783.07,
    ("compute_prompt_hash", "1 MB text, non-ASCII"): 3_570.0,
}


def load(path: pathlib.Path):
    found = importlib.util.spec_from_file_location(path.stem, path)
    assert found is not None and found.loader is not None
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
    return mod


def bench_files(patterns: list[str]) -> list[pathlib.Path]:
    files = sorted(HERE.glob("bench_*.py"))
    if patterns:
        files = [f for f in files if any(p in f.stem for p in patterns)]
    return files


def progress(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


# -- the table -------------------------------------------------------------------


def verdict(w: Workload, ours: float, floor: float, today: float | None) -> tuple[str, str]:
    """(target, met) for one floor of ``w``."""
    if w.target is not None:
        limit = w.target
        met = ours / floor < limit if w.strict else ours / floor <= limit
        return (f"{'<' if w.strict else '<='} {limit:g}x", "yes" if met else "NO")
    if today is None:
        return ("-", "-")
    return (f"<= today ({fmt_us(today)})", "yes" if ours <= today else "NO")


def table(results: list[Result]) -> list[list[str]]:
    rows = [["entry", "workload", "ours", "today (README)", "vs", "its time", "ours/it",
             "target", "met"]]
    for r in results:
        w, ours = r.workload, r.us["ours"]
        today = README_US.get((w.entry, w.workload))
        first = [w.entry, w.workload, fmt_us(ours), fmt_us(today) if today else "-"]
        for label in [*w.floors, *w.peers]:
            other = r.us[label]
            target, met = (verdict(w, ours, other, today) if label in w.floors
                           else ("(peer)", ""))
            rows.append([*first, label, fmt_us(other), f"{ours / other:.2f}x", target, met])
            first = ["", "", "", ""]
    return rows


def print_table(rows: list[list[str]]) -> None:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    right = {2, 3, 5, 6}

    def line(row: list[str]) -> str:
        cells = [c.rjust(n) if i in right else c.ljust(n)
                 for i, (c, n) in enumerate(zip(row, widths))]
        return "| " + " | ".join(cells) + " |"

    print(line(rows[0]))
    print("|" + "|".join(("-" * (n + 1) + ":") if i in right else "-" * (n + 2)
                         for i, n in enumerate(widths)) + "|")
    for row in rows[1:]:
        print(line(row))


def run_all(patterns: list[str]) -> int:
    t0 = time.perf_counter()
    todo: list[Workload] = []
    for f in bench_files(patterns):
        progress(f"bench: preparing {f.name}")
        todo.extend(load(f).workloads())
    results = []
    for i, w in enumerate(todo, 1):
        r = measure(w)
        results.append(r)
        floor = next(iter(w.floors))
        progress(f"bench: [{i}/{len(todo)}] {w.entry}, {w.workload}: {fmt_us(r.us['ours'])}"
                 f", {floor} {fmt_us(r.us[floor])}, {r.us['ours'] / r.us[floor]:.2f}x")
    print(f"# {platform.machine()} {platform.processor() or ''} "
          f"Python {platform.python_version()}, best of interleaved rounds")
    rows = table(results)
    print_table(rows)
    missed = sum(row[-1] == "NO" for row in rows)
    progress(f"bench: {len(todo)} workloads in {time.perf_counter() - t0:.0f} s, "
             f"{missed} target(s) missed")
    return 0


# -- instruction counts ------------------------------------------------------------


def find(pattern: str) -> tuple[pathlib.Path, int, Workload]:
    needle = pattern.lower()
    hits = []
    for f in bench_files([]):
        for i, w in enumerate(load(f).workloads()):
            if needle in f"{w.entry} {w.workload}".lower():
                hits.append((f, i, w))
    if not hits:
        raise SystemExit(f"bench: no workload matches {pattern!r}")
    if len(hits) > 1:
        progress(f"bench: {len(hits)} workloads match {pattern!r}; taking the first "
                 f"(others: {'; '.join(f'{w.entry}, {w.workload}' for _, _, w in hits[1:])})")
    return hits[0]


def _ir(out_file: str) -> int:
    with open(out_file) as fh:
        for text in fh:
            if text.startswith(("summary:", "totals:")):
                return int(text.split()[1])
    raise SystemExit(f"bench: no instruction total in {out_file}")


def callgrind(pattern: str) -> int:
    if shutil.which("valgrind") is None:
        raise SystemExit("bench: valgrind is not installed")
    path, index, w = find(pattern)
    sides = w.sides()
    if w.once:
        calls = 1
    else:  # about 50 ms of our calls natively; callgrind runs them some 50 times slower
        prime = getattr(w.ours, "prime", None)
        if prime is not None:  # its inputs are made (and checked) before the trial call
            prime(1)
        t0 = time.perf_counter()
        w.ours()
        calls = max(1, min(100_000, int(0.05 / max(time.perf_counter() - t0, 1e-7))))
    env = dict(os.environ, PYTHONHASHSEED="0")
    counts: dict[str, int] = {}
    with tempfile.TemporaryDirectory() as tmp:
        for n, side in enumerate(["", *sides]):
            out = os.path.join(tmp, f"callgrind.{n}")
            progress(f"bench: callgrind {side or 'inputs only'} ({calls if side else 0} calls)")
            subprocess.run(
                ["valgrind", "--tool=callgrind", "-q", f"--callgrind-out-file={out}",
                 sys.executable, __file__, "--child", str(path), str(index), side, str(calls)],
                env=env, check=True)
            counts[side] = _ir(out)
    print(f"# {w.entry}, {w.workload}: instructions per call under callgrind ({calls} calls)")
    ours = (counts["ours"] - counts[""]) / calls / w.per
    for side in sides:
        per = (counts[side] - counts[""]) / calls / w.per
        kind = "ours" if side == "ours" else ("floor" if side in w.floors else "peer")
        print(f"{side:<28} {kind:<5} {per:>14,.0f} Ir  ours/it {ours / per:.2f}x")
    return 0


def child(path: str, index: str, side: str, calls: str) -> int:
    # With no side named, only the inputs are built: the baseline the others
    # subtract.  Inputs made per call (the copies of a side that primes them)
    # are made for every side in every run, the baseline included, so that
    # only the calls themselves differ between runs.
    w = load(pathlib.Path(path)).workloads()[int(index)]
    n = int(calls)
    for fn in w.sides().values():
        prime = getattr(fn, "prime", None)
        if prime is not None:
            prime(n)
    if side:
        fn = w.sides()[side]
        for _ in range(n):
            fn()
    return 0


def main(argv: list[str]) -> int:
    if argv[:1] == ["--child"]:
        return child(*argv[1:5])
    if argv[:1] == ["--callgrind"]:
        if len(argv) != 2:
            raise SystemExit("usage: run.py --callgrind WORKLOAD-TEXT")
        return callgrind(argv[1])
    return run_all(argv)


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
