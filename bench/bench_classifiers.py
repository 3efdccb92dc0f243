"""Directive domain tags, the convergence judge's builder and parser, and the
cosine of the stagnation gate, each against the same work in plain Python."""

from __future__ import annotations

import math
import random

from _harness import Row, per_call_us, ratio

from kelvane_layer._internal import convergence_judge as cj
from kelvane_layer._internal import rule_domains as rd

_TABLE = dict(rd._DOMAIN_KEYWORDS)
_QUESTION = (
    "Is this thread CONVERGED or OPEN? Respond with exactly one line in the form "
    "CONVERGED|<summary> or OPEN|<reason>."
)


def py_classify(text: str) -> str:
    low = text.lower()
    for domain, keywords in _TABLE.items():
        for k in keywords:
            if k in low:
                return domain
    return "general"


def py_build(turns: list[tuple[str, str]]) -> str:
    lines = ["Thread transcript (chronological):"]
    for sender, content in turns:
        lines.append(f"- [{sender}] {' '.join(content.split())}")
    lines.append("\n" + _QUESTION)
    return "\n".join(lines)


def py_parse(text: str) -> tuple[bool, str]:
    raw = text.strip()
    if not raw or "|" not in raw:
        return (False, raw)
    head, tail = raw.split("|", 1)
    token, summary = head.strip().upper(), tail.strip()
    if token == "CONVERGED" and summary:
        return (True, summary)
    if token == "OPEN":
        return (False, summary or "judge marked thread open")
    return (False, raw)


def py_cosine(a: list[float], b: list[float]) -> float:
    if len(a) != len(b):
        raise ValueError("length mismatch")
    if not a:
        return 0.0
    dot = na = nb = 0.0
    for x, y in zip(a, b):
        dot += x * y
        na += x * x
        nb += y * y
    if na == 0.0 or nb == 0.0:
        return 0.0
    return dot / (math.sqrt(na) * math.sqrt(nb))


def _pair(entry: str, workload: str, ours, ref) -> Row:
    assert ours() == ref()
    t_ours, t_ref = per_call_us(ours), per_call_us(ref)
    return Row(entry, workload, t_ours, ratio(t_ref, t_ours))


def run() -> list[Row]:
    rng = random.Random(7)
    # 100 characters, no keyword until the last domain's: the whole table is searched.
    directive = ("Always greet the customer by name and keep replies short and clear; "
                 "offer loyalty perks at the end.")[:100]
    directive_uc = directive.replace("greet", "gr\u00e9et")
    turns = [(f"agent-{i % 4}", " ".join(rng.choice(["word", "a", "longer\tword", "\n", "x"])
                                          for _ in range(40))) for i in range(8)]
    reply = "  converged | The team agreed to ship on Friday after the cost review.  "
    a = [rng.uniform(-1, 1) for _ in range(1536)]
    b = [rng.uniform(-1, 1) for _ in range(1536)]
    return [
        _pair("classify_directive_domain", "100-char ASCII directive",
              lambda: rd.classify_directive_domain(directive), lambda: py_classify(directive)),
        _pair("classify_directive_domain", "100-char non-ASCII directive",
              lambda: rd.classify_directive_domain(directive_uc),
              lambda: py_classify(directive_uc)),
        _pair("parse_convergence_verdict", "70-char CONVERGED reply",
              lambda: cj.parse_convergence_verdict(reply), lambda: py_parse(reply)),
        _pair("build_convergence_prompt", "8 turns of ~150 chars",
              lambda: cj.build_convergence_prompt(turns), lambda: py_build(turns)),
        _pair("cosine_similarity", "two 1,536-element lists",
              lambda: cj.cosine_similarity(a, b), lambda: py_cosine(a, b)),
    ]
