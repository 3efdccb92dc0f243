"""What a benchmark is, and how one is timed.

Every ``bench/bench_*.py`` exposes ``workloads() -> list[Workload]``: our
entry point on one input, beside its floor (the least work any
implementation must do for the same result with the host's fastest C
primitives) and, where it helps, further peers.  ``bench/run.py`` times them
all and prints one table.

Timing is best of several interleaved rounds: each round runs every side
once, in an order that rotates from round to round, so that a burst of load
elsewhere on the machine spoils one round of every side instead of all the
rounds of one side.
"""

from __future__ import annotations

import gc
import os
import pathlib
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import cast

# The plain-Python reference models live with the tests, which compare the
# modules against them; the benchmarks time the same models.
sys.path.insert(0, os.fspath(pathlib.Path(__file__).resolve().parent.parent / "tests"))

ROUNDS = 7
# A long call (``once``) is timed once a round, so a round holds one sample
# of it instead of thousands of calls: it gets more rounds, or one burst of
# load elsewhere decides its row.
ONCE_ROUNDS = 15
ROUND_SECONDS = 0.02  # one side's share of one round


@dataclass
class Workload:
    entry: str  # the entry point measured
    workload: str  # what it was fed
    ours: Callable[[], object]
    floors: dict[str, Callable[[], object]]  # label -> the same result at the floor
    peers: dict[str, Callable[[], object]] = field(default_factory=dict)  # shown, no target
    # ours/floor must not exceed this (or stay below it when strict) for every
    # floor; None: ours must be no slower than today's published figure.
    target: float | None = None
    strict: bool = False
    per: int = 1  # calls are divided by this (jobs per run, for instance)
    once: bool = False  # a call is long: one call per side and round, gc first

    def sides(self) -> dict[str, Callable[[], object]]:
        return {"ours": self.ours, **self.floors, **self.peers}


@dataclass
class Result:
    workload: Workload
    us: dict[str, float]  # side -> best per-call time; "ours" first, then floors, then peers


def _loop(fn: Callable[[], object], n: int) -> float:
    prime = getattr(fn, "prime", None)
    if prime is not None:  # inputs for the n calls, made before the clock starts
        prime(n)
    t0 = time.perf_counter()
    for _ in range(n):
        fn()
    return time.perf_counter() - t0


def _calls_per_round(fn: Callable[[], object]) -> int:
    n = 1
    while True:
        dt = _loop(fn, n)
        if dt >= ROUND_SECONDS or n >= 1 << 24:
            return n
        n *= 2 if dt == 0 else max(2, int(ROUND_SECONDS / dt) + 1)


def measure(w: Workload, rounds: int = ROUNDS) -> Result:
    """Best per-call time of every side of ``w``, in microseconds."""
    sides = w.sides()
    if w.once:
        calls = dict.fromkeys(sides, 1)
    else:
        calls = {k: _calls_per_round(fn) for k, fn in sides.items()}
    best = dict.fromkeys(sides, float("inf"))
    order = list(sides)
    gc.collect()
    for r in range(max(rounds, ONCE_ROUNDS) if w.once else rounds):
        shift = r % len(order)
        for k in order[shift:] + order[:shift]:
            if w.once:
                gc.collect()
            best[k] = min(best[k], _loop(sides[k], calls[k]) / calls[k])
    scale = 1e6 / w.per
    return Result(w, {k: best[k] * scale for k in sides})


def fmt_us(us: float) -> str:
    if us >= 1000:
        return f"{us / 1000:.2f} ms"
    return f"{us:.2f} us"


# -- fresh inputs --------------------------------------------------------------------
#
# A builder's input arrives new on every call (read from storage, decoded
# from a reply), never as the same str objects again.  A side fed "fresh"
# inputs cycles through copies of them, every str a separate object with
# none of the state a str caches once used (its hash, its UTF-8 form), and
# the copies together large enough not to stay in the processor's caches
# from one call to the same copy's next.  Both sides of a workload get
# copies of the same inputs, made before anything is timed.

FRESH_CHARS = 4_000_000  # characters in all copies of one input, at most
FRESH_COPIES = (8, 64)  # fewest and most copies


def fresh_copy(v: object) -> object:
    """``v`` with every str in it (mapping keys aside) a new object."""
    if type(v) is str:
        return v.encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass")
    if type(v) is list:
        return [fresh_copy(x) for x in v]
    if type(v) is tuple:
        return tuple(fresh_copy(x) for x in v)
    if type(v) is dict:
        return {k: fresh_copy(x) for k, x in v.items()}
    fields = getattr(type(v), "__dataclass_fields__", None)
    if fields is not None:
        return type(v)(**{f: fresh_copy(getattr(v, f)) for f in fields})
    return v


def _chars(v: object) -> int:
    if type(v) is str:
        return len(v)
    if type(v) in (list, tuple):
        return sum(map(_chars, v))
    if type(v) is dict:
        return sum(map(_chars, v.values()))
    fields = getattr(type(v), "__dataclass_fields__", None)
    return sum(_chars(getattr(v, f)) for f in fields) if fields else 0


def fresh(fn: Callable[..., object], *args: object) -> Callable[[], object]:
    """A call of ``fn`` on the next copy of ``args`` each time."""
    lo, hi = FRESH_COPIES
    n = max(lo, min(hi, FRESH_CHARS // max(1, _chars(args))))
    pool = [fresh_copy(args) for _ in range(n)]
    state = [0]

    def call() -> object:
        i = state[0]
        state[0] = i + 1 if i + 1 < n else 0
        return fn(*pool[i])

    return call


class Unseen:
    """A call of ``fn`` on a copy of its inputs that no earlier call has seen.

    fresh() cycles through a fixed pool, so from its second lap on a copy
    comes back with whatever an earlier call left on it.  For a builder that
    is harmless; a JSON decoder that asks the host for a str's UTF-8 form
    gets that form cached on the str from then on, and would be timed without
    the conversion a reply costs it in use.  Here the harness makes the
    copies for each timed loop beforehand (``prime(n)``, outside the clock)
    and every call takes one of its own; a call that was not primed for
    (a check, a lone trial call) makes its copy on the spot.

    ``inputs`` returns the argument tuple and is called on first use only,
    so building a workload list costs nothing until a workload is timed, and
    a run that times one workload (the callgrind mode) builds only its
    inputs.  Sides that share one cached ``inputs`` share the originals.
    """

    def __init__(self, fn: Callable[..., object], inputs: Callable[[], tuple[object, ...]]) -> None:
        self.fn = fn
        self.inputs = inputs
        self.pool: list[tuple[object, ...]] = []

    def prime(self, n: int) -> None:
        args = self.inputs()
        self.pool = [cast(tuple[object, ...], fresh_copy(args)) for _ in range(n)]

    def __call__(self) -> object:
        if not self.pool:
            self.prime(1)
        return self.fn(*self.pool.pop())
