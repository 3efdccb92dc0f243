"""Directive domain tags, the convergence judge's builder and parser, and the
cosine of the stagnation gate."""

from __future__ import annotations

import math
import random
from operator import itemgetter

import _reference_models as model
from _harness import Workload, fresh

from kelvane_layer._internal import convergence_judge as cj
from kelvane_layer._internal import rule_domains as rd

_TURN = itemgetter(0, 1)
_CONV_HEAD = model.TRANSCRIPT_HEADER + "\n"
_CONV_TAIL = "\n" + model.VERDICT_QUESTION


def floor_convergence(turns):
    # "- [sender] content\n" per turn, the content's whitespace runs folded to one space.
    parts = [_CONV_HEAD]
    for t in turns:
        sender, content = _TURN(t)
        parts += ("- [", sender, "] ", " ".join(content.split()), "\n")
    parts.append(_CONV_TAIL)
    return "".join(parts)


def floor_convergence_clean(turns):
    # The same for contents already single-spaced: nothing to fold, each is copied as it is.
    parts = [_CONV_HEAD]
    for t in turns:
        sender, content = _TURN(t)
        parts += ("- [", sender, "] ", content, "\n")
    parts.append(_CONV_TAIL)
    return "".join(parts)


def floor_verdict(text):
    head, _, tail = text.strip().partition("|")
    return head, tail


def floor_cosine(a, b):
    if len(a) != len(b):
        raise ValueError("length mismatch")
    dot, na, nb = math.sumprod(a, b), math.sumprod(a, a), math.sumprod(b, b)
    if na == 0.0 or nb == 0.0:
        return 0.0
    return dot / (math.sqrt(na) * math.sqrt(nb))


ASCII_WORDS = ["word", "a", "deploy", "queue", "x", "retry", "customer"]
MIXED_WORDS = [
    ["word", "a", "deploy", "caf\u00e9", "x", "na\u00efve", "d\u00e9j\u00e0"],
    ["word", "a", "deploy", "\u65e5\u672c", "x", "\u914d\u9001", "\u518d\u8a66"],
    ["word", "a", "deploy", "\U0001f680", "x", "ok\U0001f44d", "\u2705"],
]
GAPS = [" ", " ", " ", "  ", "\t", "\n"]


def _turns(rng: random.Random, *vocabs: list[str]) -> list[tuple[str, str]]:
    out = []
    for i in range(30):
        vocab = vocabs[i % len(vocabs)]
        words = [rng.choice(vocab) + rng.choice(GAPS) for _ in range(30)]
        out.append((f"agent-{i % 4}", "".join(words)[:150]))
    return out


def workloads() -> list[Workload]:
    rng = random.Random(7)
    # 100 characters, no keyword until the last domain's: the whole table is searched.
    directive = ("Always greet the customer by name and keep replies short and clear; "
                 "offer loyalty perks at the end.")[:100]
    directive_uc = directive.replace("greet", "gr\u00e9et")
    # 30 turns of short words split by single and double spaces, tabs and
    # line feeds; the mixed-script turns draw accented, CJK and emoji words
    # in turn, so their contents come in all three storage widths.
    turns = _turns(rng, ASCII_WORDS)
    mixed = _turns(rng, *MIXED_WORDS)
    clean = [(s, " ".join(c.split())) for s, c in turns]
    reply = "  converged | The team agreed to ship on Friday after the cost review.  "
    a = [rng.uniform(-1, 1) for _ in range(1536)]
    b = [rng.uniform(-1, 1) for _ in range(1536)]

    classify = rd.classify_directive_domain
    for text in (directive, directive_uc):
        assert classify(text) == model.directive_domain(text) == "retention"
    assert cj.build_convergence_prompt(turns) == floor_convergence(turns)
    assert cj.build_convergence_prompt(mixed) == floor_convergence(mixed)
    assert cj.build_convergence_prompt(turns) == model.convergence_prompt(turns)
    assert cj.build_convergence_prompt(clean) == floor_convergence_clean(clean)
    assert cj.parse_convergence_verdict(reply) == model.convergence_verdict(reply)
    # math.sumprod keeps extra precision, so the floor agrees only to rounding.
    assert math.isclose(cj.cosine_similarity(a, b), floor_cosine(a, b), rel_tol=1e-9)
    assert cj.cosine_similarity(a, b) == model.cosine(a, b)

    plain = "plain-Python model"
    return [
        Workload("classify_directive_domain", "100-char ASCII directive",
                 lambda: classify(directive), {"str.lower()": lambda: directive.lower()},
                 peers={plain: lambda: model.directive_domain(directive)}, target=2.0),
        Workload("classify_directive_domain", "100-char non-ASCII directive",
                 lambda: classify(directive_uc), {"str.lower()": lambda: directive_uc.lower()},
                 peers={plain: lambda: model.directive_domain(directive_uc)}, target=2.0),
        Workload("parse_convergence_verdict", "70-char CONVERGED reply",
                 lambda: cj.parse_convergence_verdict(reply),
                 {"strip() + partition()": lambda: floor_verdict(reply)},
                 peers={plain: lambda: model.convergence_verdict(reply)}, target=1.25),
        Workload("build_convergence_prompt", "30 turns of ~150 chars, ASCII",
                 fresh(cj.build_convergence_prompt, turns),
                 {"itemgetter + split/join": fresh(floor_convergence, turns)},
                 peers={plain: fresh(model.convergence_prompt, turns)}, target=1.5),
        Workload("build_convergence_prompt", "30 turns of ~150 chars, mixed-script",
                 fresh(cj.build_convergence_prompt, mixed),
                 {"itemgetter + split/join": fresh(floor_convergence, mixed)},
                 peers={plain: fresh(model.convergence_prompt, mixed)}, target=1.5),
        Workload("build_convergence_prompt", "30 single-spaced turns of ~120 chars",
                 fresh(cj.build_convergence_prompt, clean),
                 {"itemgetter + join": fresh(floor_convergence_clean, clean)}, target=1.5),
        Workload("cosine_similarity", "two 1,536-element lists",
                 lambda: cj.cosine_similarity(a, b), {"math.sumprod": lambda: floor_cosine(a, b)},
                 peers={plain: lambda: model.cosine(a, b)}),
    ]
