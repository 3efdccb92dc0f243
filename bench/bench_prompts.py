"""Prompt builders and the prompt hash.

A builder's floor reads each record once with one ``operator.itemgetter`` or
``attrgetter`` call, assembles the exact prompt with one ``"".join`` over as
many pieces as the prompt has parts, and builds the same result pair.  Each
floor's output is checked against ours before anything is timed, so no floor
is cheaper for doing less.
"""

from __future__ import annotations

import hashlib
import json
import random
import string
from operator import attrgetter, itemgetter

from _harness import Workload, fresh

from kelvane_layer._internal import consolidation, evolution, extraction, group_digest, journal
from kelvane_layer.types import SharedMemory

_dumps = json.dumps


def split_template(template: str, *names: str) -> list[str]:
    """The fixed runs around ``names`` (escapes resolved), checked to be in that order."""
    runs, found = [""], []
    for lit, name, _, _ in string.Formatter().parse(template):
        runs[-1] += lit
        if name is not None:
            found.append(name)
            runs.append("")
    assert found == list(names), found
    return runs


def _text(v: object) -> str:
    # A record's text: a str as it is, a dict as JSON, anything else by str().
    if v.__class__ is str:
        return v
    return _dumps(v) if isinstance(v, dict) else str(v)


# -- consolidation and journal -----------------------------------------------------

_C_SYS = consolidation._CONSOLIDATION_SYSTEM
_C0, _C1, _C2 = split_template(consolidation._CONSOLIDATION_USER, "count", "formatted_memories")
_C_GET = itemgetter("content", "event_type", "created_at")


def floor_consolidation(memories):
    parts = [_C0, str(len(memories)), _C1]
    n = 0
    for m in memories:
        content, event_type, created_at = _C_GET(m)
        n += 1
        parts += ("[", str(n), "] (", _text(event_type), ", ", _text(created_at), "): ",
                  _text(content), "\n")
    if memories:
        parts.pop()
    parts.append(_C2)
    return _C_SYS, [{"role": "user", "content": "".join(parts)}]


_J_SYS = journal._JOURNAL_SYSTEM
_J0, _J1, _J2 = split_template(journal._JOURNAL_USER, "count", "formatted_memories")
_J_GET = itemgetter("content", "event_type", "created_at")


def floor_journal(memories):
    parts = [_J0, str(len(memories)), _J1]
    n = 0
    for m in memories:
        content, event_type, created_at = _J_GET(m)
        n += 1
        parts += ("[", str(n), "] (", _text(event_type), ", salience=",
                  _text(m.get("salience", "N/A")), ", ", _text(created_at), "): ",
                  _text(content), "\n")
    if memories:
        parts.pop()
    parts.append(_J2)
    return _J_SYS, [{"role": "user", "content": "".join(parts)}]


# -- evolution -------------------------------------------------------------------

_E0, _E1, _E2, _E3, _E4 = split_template(
    evolution._EVOLUTION_SYSTEM,
    "directives_block", "insights_block", "max_per_cycle", "style_guidance_block")
_E_GET = itemgetter("id", "text")


def floor_evolution(insights, directives, max_per_cycle, style_guidance=None):
    parts = [_E0]
    if directives:
        n = 0
        for d in directives:
            n += 1
            parts += (str(n), ". ", _text(d), "\n")
        parts.pop()
    else:
        parts.append("(none)")
    parts.append(_E1)
    for i in insights:
        iid, text = _E_GET(i)
        parts += ("[", _text(iid), "]: ", _text(text), "\n")
    if insights:
        parts.pop()
    parts += (_E2, str(int(max_per_cycle)), _E3)
    style = style_guidance.strip() if style_guidance is not None else ""
    if style:
        parts += ("\n- ", style)
    parts.append(_E4)
    return "".join(parts), [{"role": "user", "content": "Generate directive proposals."}]


# -- fact and claim extraction ----------------------------------------------------

_F0, _F1, _F2, _F3 = split_template(
    extraction._EXTRACTION_SYSTEM, "role", "memory_block", "max_facts")
_K0, _K1, _K2 = split_template(extraction._CLAIM_EXTRACTION_SYSTEM, "output_block", "max_claims")


def floor_extraction(memory_content, max_facts, role="user"):
    system = "".join((_F0, role, _F1, memory_content.strip(), _F2, str(int(max_facts)), _F3))
    return system, [{"role": "user", "content": "Extract facts."}]


def floor_claim_extraction(output, max_claims):
    system = "".join((_K0, output.strip(), _K1, str(int(max_claims)), _K2))
    return system, [{"role": "user", "content": "Extract claims."}]


# -- group digest ------------------------------------------------------------------

_D_HEAD = "Team-shared memories (one per line, prefixed with team_score):\n"
_D_TAIL = ("\nSynthesise a single team insight that captures the collective signal across "
           "the above memories.")
_D_GET = attrgetter("team_score", "content")
_first = itemgetter(0)


def floor_digest(rows):
    # Highest score first, equal scores in input order (the sort is stable).
    parts = [_D_HEAD]
    for score, content in sorted(map(_D_GET, rows), key=_first, reverse=True):
        parts += ("- (", format(score, ".3f"), ") ", content, "\n")
    parts.append(_D_TAIL)
    return "".join(parts)


def floor_hash(prompt: str) -> str:
    return hashlib.sha256(prompt.encode()).hexdigest()[:16]


# -- inputs --------------------------------------------------------------------------
#
# Every builder is timed twice: on ASCII text, and on text that mixes accented
# (one byte a code point), CJK (two) and emoji (four) words into the ASCII
# ones, record by record, so the records come in all three storage widths.

ASCII_VOCAB = ["deploy", "failed", "customer", "invoice", "refund", "retry", "latency", "cafe",
               "window", "queue", "timeout", "region"]
MIXED_VOCABS = [
    ASCII_VOCAB[:8] + ["caf\u00e9", "na\u00efve", "r\u00e9gion", "d\u00e9j\u00e0"],
    ASCII_VOCAB[:8] + ["\u65e5\u672c", "\u914d\u9001", "\u8acb\u6c42\u66f8", "\u518d\u8a66\u884c"],
    ASCII_VOCAB[:8] + ["\U0001f680", "ok\U0001f44d", "\U0001f4e6\u7bb1", "\u2705done"],
]


class Words:
    """Texts of about ``size`` characters drawn from one vocabulary (ASCII),
    or from the three mixed ones in turn (one per text)."""

    def __init__(self, seed: int, mixed: bool) -> None:
        self.rng = random.Random(seed)
        self.vocabs = MIXED_VOCABS if mixed else [ASCII_VOCAB]
        self.turn = 0

    def __call__(self, size: int) -> str:
        vocab = self.vocabs[self.turn % len(self.vocabs)]
        self.turn += 1
        out, length = [], 0
        while length < size:
            out.append(self.rng.choice(vocab))
            length += len(out[-1]) + 1
        return " ".join(out)[:size]


def _memories(words: Words, rng: random.Random, count: int, size: int, *, salience: bool,
              maps: bool = True) -> list[dict]:
    mems = []
    for i in range(count):
        if maps and i % 2:
            content: object = {"summary": words(size - 120), "tags": ["ops", "billing"],
                               "score": 0.75, "count": i, "ok": True}
        else:
            content = words(size)
        m = {"id": f"m{i}", "content": content, "event_type": "observation",
             "created_at": f"2026-01-{i % 28 + 1:02d}T10:00:00"}
        if salience and i % 3:
            m["salience"] = round(rng.random(), 3)
        mems.append(m)
    return mems


def _same(ours, floor, *args):
    assert ours(*args) == floor(*args), ours.__name__
    return lambda: ours(*args), lambda: floor(*args)


def workloads() -> list[Workload]:
    join = "itemgetter + join"
    out: list[Workload] = []

    def builder(entry, workload, ours, floor, *args, label=join):
        assert ours(*args) == floor(*args), entry
        out.append(Workload(entry, workload, fresh(ours, *args), {label: fresh(floor, *args)},
                            target=1.5))

    for script in ("ASCII", "mixed-script"):
        mixed = script != "ASCII"
        words = Words(7, mixed)
        rng = random.Random(7)
        cons = _memories(words, rng, 20, 300, salience=False)
        builder("build_consolidation_prompt", f"20 memories x 300 chars, half maps, {script}",
                consolidation.build_consolidation_prompt, floor_consolidation, cons)
        jour = _memories(words, rng, 50, 300, salience=True)
        jour[25]["content"] = words(60_000)
        builder("build_journal_prompt", f"50 memories, one of 60,000 chars, {script}",
                journal.build_journal_prompt, floor_journal, jour)
        # Without maps the floor encodes no JSON: it only copies the records' texts.
        cons_text = _memories(words, rng, 20, 300, salience=False, maps=False)
        builder("build_consolidation_prompt", f"20 memories x 300 chars, all text, {script}",
                consolidation.build_consolidation_prompt, floor_consolidation, cons_text)
        jour_text = _memories(words, rng, 50, 300, salience=True, maps=False)
        jour_text[25]["content"] = words(60_000)
        builder("build_journal_prompt", f"50 text memories, one of 60,000 chars, {script}",
                journal.build_journal_prompt, floor_journal, jour_text)

        insights = [{"id": f"ins-{i}", "text": f"Customers who wait more than {i} minutes "
                     f"abandon the chat: {words(20)}."} for i in range(20)]
        directives = [f"When the customer mentions order {i}, {words(40)}." for i in range(50)]
        builder("build_evolution_prompt", f"50 directives, 20 insights, {script}",
                evolution.build_evolution_prompt, floor_evolution,
                insights, directives, 3, "Keep it short.")

        memory = "\n  " + words(1_000) + "  \n"
        builder("build_extraction_prompt", f"1,000-char memory, {script}",
                extraction.build_extraction_prompt, floor_extraction, memory, 5, "assistant")
        draft = "\n" + words(1_500) + "\n\n"
        builder("build_claim_extraction_prompt", f"1,500-char draft, {script}",
                extraction.build_claim_extraction_prompt, floor_claim_extraction, draft, 8)

        shared = [SharedMemory(content=words(120), team_score=rng.random()) for _ in range(200)]
        builder("build_group_digest_prompt", f"200 rows, {script}",
                group_digest.build_group_digest_prompt, floor_digest, shared,
                label="attrgetter + sort + join")

    latin = Words(9, mixed=False)
    latin.vocabs = [ASCII_VOCAB[:7] + ["caf\u00e9"] + ASCII_VOCAB[8:]]
    for label, text in (("1 MB ASCII", "a" * 1_000_000),
                        ("1 MB text, non-ASCII", latin(500_000) * 2)):
        mine, theirs = _same(group_digest.compute_prompt_hash, floor_hash, text)
        out.append(Workload("compute_prompt_hash", label, mine, {"hashlib.sha256": theirs}))
    return out
