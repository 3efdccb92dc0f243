"""Process-level hardening: reference leaks, thread safety, crash-free fuzzing.

These walk every stateless entry point (tests/_catalogue.py).  The loop
count of the leak check can be lowered for slow builds (the sanitizer run)
with KL_LEAK_ITERATIONS.
"""

from __future__ import annotations

import gc
import math
import os
import sys
import threading

import pytest
from _catalogue import CATALOGUE, Entry, call_invalid, call_valid

ITERATIONS = int(os.environ.get("KL_LEAK_ITERATIONS", "100000"))
# AddressSanitizer holds freed memory in quarantine, so resident memory grows
# there by design; the block count still tells a leak.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def _rss_pages() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1])


@pytest.mark.parametrize("entry", CATALOGUE, ids=lambda e: e.name)
def test_no_reference_or_memory_leak(entry: Entry) -> None:
    for _ in range(2000):  # warm caches, interned strings, free lists
        call_valid(entry)
        call_invalid(entry)
    gc.collect()
    blocks, rss = sys.getallocatedblocks(), _rss_pages()
    for _ in range(ITERATIONS):
        call_valid(entry)
        call_invalid(entry)
    gc.collect()
    grown = sys.getallocatedblocks() - blocks
    # A leak of one object per call would show as ~ITERATIONS blocks.
    assert grown < 200, f"{entry.name}: {grown} blocks more after {ITERATIONS} calls"
    if not SANITIZED:
        assert (_rss_pages() - rss) * 4096 < 8 << 20, f"{entry.name}: resident memory grew"


def _same(a: object, b: object) -> bool:
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return a == b and type(a) is type(b)


def test_stateless_functions_are_thread_safe() -> None:
    expected = {e.name: call_valid(e) for e in CATALOGUE}
    barrier = threading.Barrier(8)
    failures: list[str] = []

    def worker() -> None:
        barrier.wait()
        for _ in range(300):
            for e in CATALOGUE:
                got = call_valid(e)
                if not _same(got, expected[e.name]):
                    failures.append(f"{e.name}: {got!r} != {expected[e.name]!r}")
                    return
                call_invalid(e)

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures[:3]
