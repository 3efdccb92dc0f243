"""Prompt builders of the reflection cycle and the team digest, and the prompt hash.

Each builder is compared in the same run with the same rendering written as
plain Python string formatting (the reference functions below produce the
identical text, which is checked before timing).
"""

from __future__ import annotations

import hashlib
import json
import random

from _harness import Row, per_call_us, ratio

from kelvane_layer._internal import consolidation, group_digest, journal
from kelvane_layer.types import SharedMemory

CONS_SYSTEM = consolidation._CONSOLIDATION_SYSTEM
CONS_USER = consolidation._CONSOLIDATION_USER
JOUR_SYSTEM = journal._JOURNAL_SYSTEM
JOUR_USER = journal._JOURNAL_USER
DIGEST_HEADER = "Team-shared memories (one per line, prefixed with team_score):"
DIGEST_CLOSING = ("Synthesise a single team insight that captures the collective signal across "
                  "the above memories.")


def _content_text(content: object) -> str:
    return json.dumps(content) if isinstance(content, dict) else str(content)


def py_consolidation(memories):
    lines = [f"[{n}] ({m['event_type']}, {m['created_at']}): {_content_text(m['content'])}"
             for n, m in enumerate(memories, 1)]
    user = CONS_USER.format(count=len(memories), formatted_memories="\n".join(lines))
    return CONS_SYSTEM, [{"role": "user", "content": user}]


def py_journal(memories):
    lines = [f"[{n}] ({m['event_type']}, salience={m.get('salience', 'N/A')}, "
             f"{m['created_at']}): {_content_text(m['content'])}"
             for n, m in enumerate(memories, 1)]
    user = JOUR_USER.format(count=len(memories), formatted_memories="\n".join(lines))
    return JOUR_SYSTEM, [{"role": "user", "content": user}]


def py_digest(rows):
    ordered = sorted(rows, key=lambda r: r.team_score, reverse=True)
    lines = [DIGEST_HEADER]
    lines.extend(f"- ({r.team_score:.3f}) {r.content}" for r in ordered)
    lines.append("\n" + DIGEST_CLOSING)
    return "\n".join(lines)


def py_hash(prompt: str) -> str:
    return hashlib.sha256(prompt.encode("utf-8")).hexdigest()[:16]


def _words(rng: random.Random, size: int) -> str:
    vocab = ["deploy", "failed", "customer", "invoice", "refund", "retry", "latency", "caf\u00e9",
             "window", "queue", "timeout", "region"]
    out = []
    while sum(len(w) + 1 for w in out) < size:
        out.append(rng.choice(vocab))
    return " ".join(out)[:size]


def _memories(rng: random.Random, count: int, size: int, *, salience: bool) -> list[dict]:
    mems = []
    for i in range(count):
        if i % 2:
            content: object = {"summary": _words(rng, size - 120), "tags": ["ops", "billing"],
                               "score": 0.75, "count": i, "ok": True}
        else:
            content = _words(rng, size)
        m = {"id": f"m{i}", "content": content, "event_type": "observation",
             "created_at": f"2026-01-{i % 28 + 1:02d}T10:00:00"}
        if salience and i % 3:
            m["salience"] = round(rng.random(), 3)
        mems.append(m)
    return mems


def run() -> list[Row]:
    rng = random.Random(7)
    rows: list[Row] = []

    cons = _memories(rng, 20, 300, salience=False)
    assert consolidation.build_consolidation_prompt(cons) == py_consolidation(cons)
    ours = per_call_us(lambda: consolidation.build_consolidation_prompt(cons))
    ref = per_call_us(lambda: py_consolidation(cons))
    rows.append(Row("build_consolidation_prompt", "20 memories x 300 chars, half maps", ours,
                    ratio(ref, ours)))

    jour = _memories(rng, 50, 300, salience=True)
    jour[25]["content"] = _words(rng, 60_000)
    assert journal.build_journal_prompt(jour) == py_journal(jour)
    ours = per_call_us(lambda: journal.build_journal_prompt(jour))
    ref = per_call_us(lambda: py_journal(jour))
    rows.append(Row("build_journal_prompt", "50 memories, one of 60,000 chars", ours,
                    ratio(ref, ours)))

    shared = [SharedMemory(content=_words(rng, 120), team_score=rng.random()) for _ in range(200)]
    assert group_digest.build_group_digest_prompt(shared) == py_digest(shared)
    ours = per_call_us(lambda: group_digest.build_group_digest_prompt(shared))
    ref = per_call_us(lambda: py_digest(shared))
    rows.append(Row("build_group_digest_prompt", "200 rows", ours, ratio(ref, ours)))

    for label, text in (("1 MB ASCII", "a" * 1_000_000), ("1 MB text, non-ASCII",
                                                          _words(rng, 500_000) * 2)):
        assert group_digest.compute_prompt_hash(text) == py_hash(text)
        ours = per_call_us(lambda t=text: group_digest.compute_prompt_hash(t), repeat=3)
        ref = per_call_us(lambda t=text: py_hash(t), repeat=3)
        rows.append(Row("compute_prompt_hash", label, ours,
                        f"hashlib {ref:.1f} us, ours/hashlib {ours / ref:.2f}"))
    return rows
