"""Process-level hardening: reference and memory leaks of every entry point.

These walk every stateless entry point (tests/_catalogue.py).  The loop
count of the leak check can be lowered for slow builds (the sanitizer run)
with KL_LEAK_ITERATIONS.
"""

from __future__ import annotations

import gc
import os
import sys

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


