"""Run every benchmark and print one table.

    make bench                    # all of them
    make bench BENCH_ARGS=health  # only bench/bench_health.py
"""

from __future__ import annotations

import importlib.util
import pathlib
import platform
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from _harness import Row  # noqa: E402


def load(path: pathlib.Path):
    found = importlib.util.spec_from_file_location(path.stem, path)
    mod = importlib.util.module_from_spec(found)
    assert found.loader is not None
    found.loader.exec_module(mod)
    return mod


def main(argv: list[str]) -> int:
    files = sorted(HERE.glob("bench_*.py"))
    if argv:
        files = [f for f in files if any(a in f.stem for a in argv)]
    rows: list[Row] = []
    for f in files:
        rows.extend(load(f).run())
    print(f"# {platform.machine()} {platform.processor() or ''} Python {platform.python_version()}")
    w1 = max([len(r.entry) for r in rows] + [5])
    w2 = max([len(r.workload) for r in rows] + [8])
    print(f"{'entry':<{w1}}  {'workload':<{w2}}  {'per call':>12}  comparison")
    for r in rows:
        print(f"{r.entry:<{w1}}  {r.workload:<{w2}}  {r.per_call_us:>9.3f} us  {r.comparison}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
