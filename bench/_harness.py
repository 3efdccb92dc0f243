"""Timing helpers shared by the benchmark scripts.

Every ``bench/bench_*.py`` exposes ``run() -> list[Row]``; ``bench/run.py``
runs them all and prints one table.  Figures are per call, best of several
repeats (the least disturbed by the rest of the machine).
"""

from __future__ import annotations

import time
from collections.abc import Callable
from dataclasses import dataclass


@dataclass
class Row:
    entry: str  # the entry point measured
    workload: str  # what it was fed
    per_call_us: float  # best per-call time, microseconds
    comparison: str = ""  # in-run comparison (reference time, ratio, throughput)


def per_call_us(fn: Callable[[], object], *, min_time: float = 0.2, repeat: int = 5) -> float:
    """Best per-call time of ``fn()`` in microseconds."""
    n = 1
    while True:  # calibrate the loop count so one repeat takes ~min_time/repeat
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        dt = time.perf_counter() - t0
        if dt >= min_time / repeat or n >= 1 << 24:
            break
        n *= 2 if dt == 0 else max(2, int(min_time / repeat / dt) + 1)
    best = dt / n
    for _ in range(repeat - 1):
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        best = min(best, (time.perf_counter() - t0) / n)
    return best * 1e6


def ratio(reference_us: float, ours_us: float) -> str:
    return f"{reference_us:.2f} us reference, {reference_us / ours_us:.1f}x"
