"""Throughput of two threads against one, on a free-threaded interpreter.

    make bench-ft                      # every public synchronous function
    make bench-ft BENCH_ARGS=health    # the entries whose name contains "health"

For each entry point the same number of calls is made by one thread, then
by each of two threads at once, every thread on inputs of its own (new
copies, and a profile of its own, made in that thread), as separate agents
would call it.  The
speed-up is two threads' throughput over one thread's: 2.0 is perfect
scaling, and the target is at least 1.8.  Each figure is the best of
several rounds, one-thread and two-thread runs interleaved so that load
elsewhere spoils a round of each rather than all of one.

With the GIL (an ordinary build) two threads cannot run Python at once, so
the table is only meaningful on 3.13t; it says which it ran on.
"""

from __future__ import annotations

import enum
import os
import pathlib
import pickle
import sys
import sysconfig
import threading
import time
from collections.abc import Callable
from typing import Any

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from _catalogue import CATALOGUE, Entry  # noqa: E402

ROUNDS = int(os.environ.get("KL_SCALING_ROUNDS", "5"))
ROUND_SECONDS = float(os.environ.get("KL_SCALING_SECONDS", "0.25"))
TARGET = 1.8


def own_args(entry: Entry) -> tuple[Any, ...]:
    """The entry's valid arguments as a separate caller would hold them.

    A pickle round trip makes every object anew, down to each float and
    str (a deep copy would share those), so no two threads ever touch the
    same input object, as two agents that decoded their own data would not.
    """
    return pickle.loads(pickle.dumps(entry.valid))


# What the machine itself gives: the same loop on plain interpreter work,
# which shares nothing between the threads either.
def _control_sum() -> int:
    return sum(range(64))


def _control_lower(text: str = "Require Two-Factor Authentication For Account Changes") -> str:
    return text.lower()


# And two operations on objects the threads cannot help sharing, which no
# extension can avoid either.  A new instance of a class defined at run time
# takes a reference to its class; returning an enum member takes one to the
# member.  3.13t counts both in one shared, atomically written count.
class _Slotted:
    __slots__ = ("value",)

    def __init__(self) -> None:
        self.value = 0


class _Level(enum.Enum):
    LOW = "low"


def _control_instance() -> _Slotted:
    return _Slotted()


def _control_member() -> _Level:
    return _Level.LOW


CONTROLS = [Entry("(control) sum(range(64))", _control_sum, (), ()),
            Entry("(control) str.lower, 53 chars", _control_lower, (), ()),
            Entry("(control) new instance of a Python class", _control_instance, (), ()),
            Entry("(control) return an enum member", _control_member, (), ())]


def run_threads(preps: list[Callable[[], Callable[[], None]]]) -> float:
    """Wall time of the loops that each prep makes in its own thread, run together.

    Each thread makes its own inputs and loop before the clock starts, as an
    agent decodes its own data: objects made by one thread for two would lie
    side by side in its heap, and the reference counts the two threads then
    write would share cache lines, a contention of the harness, not of the
    function measured.
    """
    barrier = threading.Barrier(len(preps) + 1)
    done: list[float] = []

    def body(prep: Callable[[], Callable[[], None]]) -> None:
        loop = prep()
        barrier.wait()
        loop()
        done.append(time.perf_counter())

    threads = [threading.Thread(target=body, args=(p,)) for p in preps]
    for t in threads:
        t.start()
    barrier.wait()
    t0 = time.perf_counter()
    for t in threads:
        t.join()
    return max(done) - t0


def looper(entry: Entry, n: int) -> Callable[[], Callable[[], None]]:
    def prep() -> Callable[[], None]:
        args = own_args(entry)
        fn = entry.fn

        def loop() -> None:
            for _ in range(n):
                fn(*args)
        return loop
    return prep


def calibrate(entry: Entry) -> int:
    """Calls that take about ROUND_SECONDS in one thread."""
    n = 16
    while True:
        t = run_threads([looper(entry, n)])
        if t >= ROUND_SECONDS / 4 or n >= 1 << 24:
            return max(16, int(n * ROUND_SECONDS / max(t, 1e-9)))
        n *= 4


def measure(entry: Entry) -> tuple[float, float]:
    """Best per-call time of one thread, and of two threads' combined throughput."""
    n = calibrate(entry)
    one = two = float("inf")
    for _ in range(ROUNDS):
        one = min(one, run_threads([looper(entry, n)]) / n)
        two = min(two, run_threads([looper(entry, n), looper(entry, n)]) / (2 * n))
    return one, two


def main(argv: list[str]) -> int:
    wanted = argv[0] if argv else ""
    free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"# {sys.version.split()[0]}{'t' if free else ''}, GIL {'on' if gil else 'off'}, "
          f"{os.cpu_count()} CPUs; best of {ROUNDS} rounds")
    print("| entry point | 1 thread, us/call | 2 threads, us/call | speed-up | target |")
    print("|---|---|---|---|---|")
    below = 0
    for entry in CONTROLS + CATALOGUE:
        if wanted not in entry.name:
            continue
        print(f"  {entry.name} ...", file=sys.stderr)
        one, two = measure(entry)
        speedup = one / two
        ok = speedup >= TARGET
        below += not ok and entry in CATALOGUE
        print(f"| {entry.name} | {one * 1e6:.3f} | {two * 1e6:.3f} | {speedup:.2f}x | "
              f">= {TARGET}x {'yes' if ok else 'NO'} |")
    print(f"\n{below} entry point(s) below {TARGET}x.")
    if gil:
        print("The GIL is on: these figures say nothing about free-threaded scaling.")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
