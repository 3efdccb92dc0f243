"""Every prompt builder on text of every storage width: the exact result of
the plain-Python floor that the benchmarks time, and the memory a build
costs beyond its inputs and its result.

Texts mix words stored one, two and four bytes a code point, lone
surrogates and every kind of whitespace, so a result assembled at the wrong
width, a piece written at the wrong place or a whitespace run folded wrongly
shows as a difference from the floor (two strs of different storage widths
never compare equal).
"""

from __future__ import annotations

import gc
import pathlib
import sys
import tracemalloc

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kelvane_layer._internal import (
    consolidation,
    convergence_judge,
    evolution,
    extraction,
    group_digest,
    journal,
)
from kelvane_layer.types import SharedMemory

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import bench_classifiers as floors_cj
import bench_prompts as floors

WORDS = ["a", "word", "caf\u00e9", "\u00ff\u00e0", "\u65e5\u672c", "\uffff", "\U0001f600",
         "x\U0010ffffy", "\ud800", "\udfffz", "\x7f"]
GAPS = [" ", " ", "  ", "\t", "\n", "\r\n", "\x0b", "\x1c", "\x85", "\xa0", "\u1680", "\u2000",
        "\u2028", "\u202f", "\u3000", " \u3000 "]

words = st.sampled_from(WORDS)
gaps = st.sampled_from(GAPS)


@st.composite
def texts(draw: st.DrawFn, max_words: int = 12) -> str:
    parts = draw(st.lists(st.tuples(gaps, words), max_size=max_words))
    body = "".join(g + w for g, w in parts)
    return draw(gaps | st.just("")) + body + draw(gaps | st.just(""))


@given(st.lists(st.tuples(texts(3), texts()), max_size=6))
def test_convergence_matches_floor(turns: list[tuple[str, str]]) -> None:
    assert convergence_judge.build_convergence_prompt(turns) == floors_cj.floor_convergence(turns)


scalars = st.none() | st.integers(-(2**70), 2**70) | st.floats(allow_nan=False) | texts(4)
contents = texts(20) | st.dictionaries(texts(2), scalars | st.lists(texts(3), max_size=3),
                                       max_size=3)


@given(st.lists(st.fixed_dictionaries(
    {"content": contents, "event_type": texts(2) | st.integers(), "created_at": texts(3)},
    optional={"salience": scalars}), max_size=5))
def test_memory_builders_match_floor(mems: list[dict[str, object]]) -> None:
    assert consolidation.build_consolidation_prompt(mems) == floors.floor_consolidation(mems)
    assert journal.build_journal_prompt(mems) == floors.floor_journal(mems)


@given(st.lists(st.fixed_dictionaries({"id": texts(1), "text": texts()}), max_size=4),
       st.lists(texts(), max_size=4), st.integers(-5, 10**6), st.none() | texts(4))
def test_evolution_matches_floor(insights, directives, limit, style) -> None:
    got = evolution.build_evolution_prompt(insights, directives, limit, style)
    assert got == floors.floor_evolution(insights, directives, limit, style)


@given(texts(30), st.integers(0, 99), texts(2))
def test_extraction_matches_floor(content: str, limit: int, role: str) -> None:
    got = extraction.build_extraction_prompt(content, limit, role)
    assert got == floors.floor_extraction(content, limit, role)
    got = extraction.build_claim_extraction_prompt(content, limit)
    assert got == floors.floor_claim_extraction(content, limit)


@given(st.lists(st.builds(SharedMemory, content=texts(), team_score=st.floats(0, 1)), max_size=6))
def test_group_digest_matches_floor(rows: list[SharedMemory]) -> None:
    assert group_digest.build_group_digest_prompt(rows) == floors.floor_digest(rows)


# -- memory --------------------------------------------------------------------------
#
# What a call allocates beyond its inputs and what it returns, as the host's
# allocation tracing sees it (the core's scratch comes from the host's raw
# allocator for this reason): at most four bytes per input character, on
# contents of every shape, the worst ones included (one-character words
# between whitespace runs, every one a separate stretch of the result).

N = 60_000
SHAPES = {
    "latin-1 words, line feeds": "\u00e9\n" * N,
    "emoji between spaces and tabs": "\U0001f600 \t" * N,
    "CJK, double spaces": "\u65e5  " * N,
    "ASCII prose": "word " * N,
    "wide whitespace": "a\u3000" * N,
    "lone surrogates": "\ud800 x " * N,
}


def _extra_bytes(call) -> int:
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        result = call()
        after, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    del result
    assert after > before  # the result itself is traced
    return peak - after


def _calls(text: str):
    mem = {"content": text, "event_type": "observation", "created_at": "2026-01-01"}
    map_mem = {"content": {"summary": text, text[:100]: [text[:100], 1.5]}, "event_type": "x",
               "created_at": "y"}
    return {
        "convergence": lambda: convergence_judge.build_convergence_prompt(
            [("s", text), ("t", text[: len(text) // 2])]),
        "consolidation": lambda: consolidation.build_consolidation_prompt([mem, mem]),
        "consolidation, map content": lambda: consolidation.build_consolidation_prompt([map_mem]),
        "journal": lambda: journal.build_journal_prompt([mem, dict(mem, salience=0.5)]),
        "evolution": lambda: evolution.build_evolution_prompt(
            [{"id": "i", "text": text}], [text], 3, text),
        "extraction": lambda: extraction.build_extraction_prompt(text, 5, "user"),
        "claims": lambda: extraction.build_claim_extraction_prompt(text, 5),
        "digest": lambda: group_digest.build_group_digest_prompt(
            [SharedMemory(content=text, team_score=0.5)] * 2),
    }


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("builder", list(_calls("")))
def test_memory_beyond_inputs_and_result(shape: str, builder: str) -> None:
    text = SHAPES[shape]
    call = _calls(text)[builder]
    call()  # first-call caches (interned keys, module state) are not the call's cost
    assert _extra_bytes(call) <= 4 * len(text) + 16_384
