"""Calls racing with changes to their own arguments.

Hosts share lists and dicts between threads; on a free-threaded interpreter
another thread may change a list of memories, a statistics map or a vector
while a call is walking it.  Each scenario below runs readers (the module
functions) against writers (append, pop, clear, replace, key churn) on the
same objects for a bounded time.  Nothing may crash, every exception must
be an ordinary one that the host's own code raises for a changing
container, and each result must be well formed.

The same tests run on the GIL build, where the switch interval is made tiny
so that threads still interleave between the calls' steps.  KL_STRESS_SECONDS
sets each scenario's time (default 0.5 s with the GIL, 2 s without).

Every wait is bounded (JOIN_SECONDS) and every thread is a daemon, so a call
that never returns fails its test instead of hanging the run, under
ThreadSanitizer's tenfold slowdown too.
"""

from __future__ import annotations

import itertools
import os
import random
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

import pytest
from _catalogue import CATALOGUE, call_invalid, call_valid

from kelvane_layer._internal import (
    consolidation,
    convergence_judge,
    evolution,
    group_digest,
    health,
    journal,
)
from kelvane_layer._internal.tuning_profile import TuningProfile
from kelvane_layer.types import SharedMemory

GIL = getattr(sys, "_is_gil_enabled", lambda: True)()
SECONDS = float(os.environ.get("KL_STRESS_SECONDS", "0.5" if GIL else "2"))
PROFILE = TuningProfile.balanced()
# How long a thread may take to notice the end of its scenario and return.
JOIN_SECONDS = 60

# What the host's own walk over a changing container raises, and what a
# record that lost a required key raises.  Anything else (SystemError above
# all) is a fault.
ORDINARY = (RuntimeError, KeyError, ValueError, IndexError)


@pytest.fixture(autouse=True)
def _interleave():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def start(threads: list[threading.Thread]) -> None:
    for t in threads:
        t.daemon = True
        t.start()


def join(threads: list[threading.Thread], busy: float = 0.0) -> None:
    """Joins threads that have `busy` seconds of work left, failing on one still
    running JOIN_SECONDS after that."""
    deadline = time.monotonic() + busy + JOIN_SECONDS
    for t in threads:
        t.join(timeout=max(0.0, deadline - time.monotonic()))
        assert not t.is_alive(), "a thread did not finish"


def race(readers: list[Callable[[], Any]], writers: list[Callable[[random.Random], None]],
         check: Callable[[Any], None]) -> None:
    """Runs each reader and writer in its own thread for SECONDS."""
    stop = threading.Event()
    failures: list[str] = []
    calls = [0]

    def read(fn: Callable[[], Any]) -> None:
        while not stop.is_set():
            try:
                check(fn())
                calls[0] += 1
            except ORDINARY:
                pass
            except BaseException as e:  # any other kind is the failure
                failures.append(f"{type(e).__name__}: {e}")
                stop.set()

    def write(fn: Callable[[random.Random], None], seed: int) -> None:
        rng = random.Random(seed)
        while not stop.is_set():
            try:
                fn(rng)
            except ORDINARY:  # writers race each other too
                pass

    threads = [threading.Thread(target=read, args=(r,)) for r in readers]
    threads += [threading.Thread(target=write, args=(w, i)) for i, w in enumerate(writers)]
    start(threads)
    time.sleep(SECONDS)
    stop.set()
    join(threads)
    assert not failures, failures[:3]
    assert calls[0] > 0, "no call completed"


def churn_list(items: list, make: Callable[[random.Random], Any]) -> Callable[[random.Random], None]:
    def step(rng: random.Random) -> None:
        op = rng.randrange(5)
        if op == 0 or not items:
            items.append(make(rng))
        elif op == 1:
            items.pop(rng.randrange(len(items)) if items else 0)
        elif op == 2 and len(items) > 20:
            items.clear()
        else:
            try:
                items[rng.randrange(len(items))] = make(rng)
            except (IndexError, ValueError):
                pass
    return step


def churn_dict(d: dict, keys: list[str], make: Callable[[random.Random], Any]) -> Callable[
        [random.Random], None]:
    def step(rng: random.Random) -> None:
        k = rng.choice(keys)
        if rng.random() < 0.4:
            d.pop(k, None)
        else:
            d[k] = make(rng)
    return step


TEXTS = ["plain", "Caf\u00e9 cr\u00e8me", "\u6570\u636e\u5e93", "\U0001f600 ok", " \n spaced\t"]


def memory(rng: random.Random) -> dict:
    content: Any = rng.choice(TEXTS)
    if rng.random() < 0.3:
        content = {"k": rng.choice(TEXTS), "n": [1, 2.5, None], "m": {"x": True}}
    return {"content": content, "event_type": "note", "created_at": "2026-01-01",
            "salience": rng.random()}


def test_reflection_prompts_while_memories_change():
    memories = [memory(random.Random(i)) for i in range(30)]
    shared_content: dict = {"a": 1}
    memories.append({"content": shared_content, "event_type": "e", "created_at": "t"})
    keys = [f"k{i}" for i in range(40)]

    def check(pair: Any) -> None:
        system, messages = pair
        assert isinstance(system, str) and messages[0]["role"] == "user"

    race(
        [lambda: consolidation.build_consolidation_prompt(memories),
         lambda: journal.build_journal_prompt(memories)] * 2,
        [churn_list(memories, memory),
         churn_dict(shared_content, keys, lambda r: r.choice([1, "x", [1, 2], {"z": 1}])),
         churn_dict(memories[0], ["salience", "content"], lambda r: r.choice(TEXTS))],
        check)


def test_health_while_statistics_change():
    counts = {f"t{i}": i for i in range(10)}
    stats: dict = {"memory": {"event_type_counts": counts, "reinforced_count": 3,
                              "total_memories": 10, "captures_7d": 4},
                   "dreams": {"runs_7d": 4, "failure_count_7d": 1}, "critic": {}}
    sections = ["memory", "dreams", "critic", "journals", "directives"]

    def section(rng: random.Random) -> dict:
        return {"runs_7d": rng.randrange(5), "pass_rate_7d": rng.random(),
                "entries_7d": rng.randrange(3), "demotion_rate_7d": rng.random()}

    race(
        [lambda: health.compute_kelvane_score(stats, PROFILE),
         lambda: health.classify_cognitive_health(stats, 0.7, PROFILE),
         lambda: health.compute_memory_diversity(counts)] * 2,
        [churn_dict(counts, [f"t{i}" for i in range(30)], lambda r: r.randrange(-2, 50)),
         churn_dict(stats, sections[1:], section),
         churn_dict(stats["memory"], ["reinforced_count", "captures_7d", "total_memories"],
                    lambda r: r.randrange(20))],
        lambda v: None if isinstance(v, float) else v.value)


def test_evolution_prompt_while_insights_and_directives_change():
    insights = [{"id": f"i{i}", "text": TEXTS[i % 5]} for i in range(20)]
    directives = list(TEXTS * 4)
    ids = {f"i{i}" for i in range(20)}
    reply = '{"proposed": [' + ", ".join(
        f'{{"text": "rule {i}", "source_insight_id": "i{i}"}}' for i in range(10)) + "]}"

    def check(v: Any) -> None:
        assert isinstance(v, (tuple, list))

    race(
        [lambda: evolution.build_evolution_prompt(insights, directives, 3, "Keep it short."),
         lambda: evolution.parse_evolution_output(reply, ids)] * 2,
        [churn_list(insights, lambda r: {"id": f"i{r.randrange(40)}", "text": r.choice(TEXTS)}),
         churn_list(directives, lambda r: r.choice(TEXTS)),
         churn_dict(insights[0], ["id", "text"], lambda r: r.choice(TEXTS)),
         lambda r: (ids.add(f"i{r.randrange(40)}"), ids.discard(f"i{r.randrange(40)}"))],
        check)


def test_transcript_digest_and_cosine_while_inputs_change():
    turns: list = [["s", t] for t in TEXTS * 4]
    rows = [SharedMemory(content=t, team_score=i / 10) for i, t in enumerate(TEXTS * 4)]
    a = [0.5 * i for i in range(256)]
    b = [1.0 - 0.25 * i for i in range(256)]

    def edit_turn(rng: random.Random) -> None:
        # Not rng.choice(turns): it measures the list twice, and an empty
        # list at the second look sends it into an endless loop.
        n = len(turns)
        turn = turns[rng.randrange(n)] if n else ["s", "x"]
        op = rng.randrange(4)
        if op == 0:
            turn.append("extra")
        elif op == 1 and len(turn) > 1:
            turn.pop()
        else:
            turn[:] = ["s", rng.choice(TEXTS)]

    def edit_vector(rng: random.Random) -> None:
        v = (a, b)[rng.randrange(2)]
        op = rng.randrange(6)
        if op == 0:
            v.append(rng.random())
        elif op == 1 and v:
            v.pop()
        elif op == 2 and len(v) > 300:
            del v[200:]
        elif v:
            v[rng.randrange(len(v))] = rng.choice([rng.random(), rng.randrange(9)])

    race(
        [lambda: convergence_judge.build_convergence_prompt(turns),
         lambda: group_digest.build_group_digest_prompt(rows),
         lambda: convergence_judge.cosine_similarity(a, b),
         lambda: convergence_judge.cosine_similarity(a, a)],
        [churn_list(turns, lambda r: ["s", r.choice(TEXTS)]), edit_turn,
         churn_list(rows, lambda r: SharedMemory(content=r.choice(TEXTS), team_score=r.random())),
         edit_vector],
        lambda v: None)


def test_eight_threads_on_shared_inputs_agree_with_one():
    expected = {e.name: call_valid(e) for e in CATALOGUE}
    barrier = threading.Barrier(8)
    deadline = time.monotonic() + SECONDS
    failures: list[str] = []

    def rounds() -> None:
        barrier.wait(timeout=JOIN_SECONDS)
        for round_ in itertools.count():
            if round_ and time.monotonic() > deadline:
                return
            for e in CATALOGUE:
                got = call_valid(e)
                if got != expected[e.name] or type(got) is not type(expected[e.name]):
                    failures.append(f"{e.name}: {got!r} != {expected[e.name]!r}")
                    return
                call_invalid(e)  # errors raised side by side stay each call's own

    def worker() -> None:
        # An exception would otherwise end only its thread, unseen by the test.
        try:
            rounds()
        except BaseException as e:
            failures.append(f"{type(e).__name__}: {e}")

    threads = [threading.Thread(target=worker) for _ in range(8)]
    start(threads)
    join(threads, busy=SECONDS)
    assert not failures, failures[:3]


def test_threads_hashing_the_same_new_profile_at_once_agree():
    # A profile keeps its hash once computed, the one field written after
    # construction: every thread here asks a new profile for it at the same
    # moment, so the first computations and stores of that field overlap.
    from kelvane_layer._internal.tuning_profile import replace

    profiles = [replace(PROFILE, decay_factor=i / 1000, dream_evolve_style_guidance=f"s{i}")
                for i in range(200)]
    expected = [hash(tuple(getattr(p, f) for f in TuningProfile.__match_args__))
                for p in profiles]
    barrier = threading.Barrier(4)
    seen: list[list[int]] = [[] for _ in range(4)]

    def worker(k: int) -> None:
        for p in profiles:
            try:
                barrier.wait(timeout=JOIN_SECONDS)
            except threading.BrokenBarrierError:
                return
            seen[k].append(hash(p))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    start(threads)
    join(threads)
    assert seen == [expected] * 4


def test_profiles_leave_their_types_count_alone_on_313t():
    # Each profile references its type.  On the free-threaded 3.13 that count
    # would be one field every thread updates atomically, so the type is made
    # immortal there (a 64-bit build: the count that marks it does not fit
    # 32 bits) and its count stays put; elsewhere each profile counts.
    import sysconfig

    from kelvane_layer._internal.tuning_profile import replace

    immortal = (bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and sys.version_info < (3, 14)
                and sys.maxsize > 2**32)
    before = sys.getrefcount(TuningProfile)
    kept = [TuningProfile() for _ in range(50)] + [replace(PROFILE, decay_factor=i / 100)
                                                   for i in range(50)]
    assert sys.getrefcount(TuningProfile) - before == (0 if immortal else len(kept))
    del kept
    assert sys.getrefcount(TuningProfile) == before


def test_each_thread_runs_its_own_loop_and_job_line():
    import asyncio

    from kelvane_layer._internal.jobline import Jobline

    async def job(i: int) -> int:
        await asyncio.sleep(0)
        return i * i

    async def main(n: int) -> list[int]:
        jl = Jobline(3)
        tasks = [jl.submit(f"j{i}", job(i), after=f"j{i - 1}" if i else None) for i in range(n)]
        await jl.wait_all()
        return [t.result() for t in tasks]

    results: list[list[int]] = []
    threads = [threading.Thread(target=lambda: results.append(asyncio.run(main(200))))
               for _ in range(4)]
    start(threads)
    join(threads)
    assert results == [[i * i for i in range(200)]] * 4


@pytest.mark.skipif(GIL, reason="the free-threaded build only")
def test_importing_every_module_keeps_the_gil_off():
    import subprocess

    code = ("import sys, warnings\nwarnings.simplefilter('error')\n"
            "from kelvane_layer._internal import (_defaults, _invariants, consolidation, "
            "convergence_judge, evolution, extraction, group_digest, health, jobline, journal, "
            "rule_domains, tuning_profile)\n"
            "assert not sys._is_gil_enabled()\n")
    r = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True,
                       text=True, env=dict(os.environ), timeout=JOIN_SECONDS)
    assert r.returncode == 0 and not r.stderr, r.stderr
