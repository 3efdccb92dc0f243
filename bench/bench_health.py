"""Health scoring and tuning-profile operations, per call.

The score and classification are compared with the plain-Python model the
tests check them against.  A profile is compared with a plain tuple of its 54
values: building that tuple is the least any immutable record of them costs,
and hashing it the least any hash over them costs.
"""

from __future__ import annotations

import dataclasses

import _reference_models as model
from _harness import Workload

from kelvane_layer._internal import health
from kelvane_layer._internal.tuning_profile import TuningProfile, replace

FULL_STATS = {
    "memory": {
        "event_type_counts": {"conversation": 48, "observation": 31, "fact": 22, "task": 12,
                              "reflection": 7},
        "reinforced_count": 46,
        "total_memories": 120,
        "captures_7d": 18,
    },
    "dreams": {"runs_7d": 7, "failure_count_7d": 0, "success_rate_7d": 1.0},
    "critic": {"pass_rate_7d": 0.92},
    "journals": {"entries_7d": 1},
    "directives": {"demotion_rate_7d": 0.08},
}

FIELDS = TuningProfile.__match_args__


def values(p: TuningProfile) -> list[object]:
    return [getattr(p, f) for f in FIELDS]


def workloads() -> list[Workload]:
    p = TuningProfile.balanced()
    score_fn, classify_fn = health.compute_kelvane_score, health.classify_cognitive_health
    score_model, classify_model = model.kelvane_score, model.classify_health
    k = score_fn(FULL_STATS, p)
    assert k == score_model(FULL_STATS, p)
    assert classify_fn(FULL_STATS, k, p) is classify_model(FULL_STATS, k, p)
    assert len(FIELDS) == 54

    balanced = values(p)
    two = values(TuningProfile(coherence_threshold=0.7, decay_factor=0.8))
    one = values(replace(p, coherence_threshold=0.7))
    assert two != balanced and one != balanced
    same = tuple(balanced)
    other = tuple(balanced)
    other_p = TuningProfile()
    hash(p)  # the profile caches its hash; "same profile again" measures the cached path

    # A frozen dataclass of the same fields: what the record would cost in plain Python.
    frozen = dataclasses.make_dataclass(
        "Frozen", [(f, object, dataclasses.field(default=getattr(p, f))) for f in FIELDS],
        frozen=True)
    fp, fp2 = frozen(), frozen()

    plain = "plain-Python model"
    tup = "tuple of the 54 values"
    dc = "frozen dataclass"
    return [
        Workload("compute_kelvane_score + classify_cognitive_health", "full statistics map",
                 lambda: classify_fn(FULL_STATS, score_fn(FULL_STATS, p), p),
                 {plain: lambda: classify_model(FULL_STATS, score_model(FULL_STATS, p), p)}),
        Workload("compute_kelvane_score", "full statistics map",
                 lambda: score_fn(FULL_STATS, p), {plain: lambda: score_model(FULL_STATS, p)}),
        Workload("classify_cognitive_health", "full statistics map",
                 lambda: classify_fn(FULL_STATS, 0.8, p),
                 {plain: lambda: classify_model(FULL_STATS, 0.8, p)}),
        Workload("TuningProfile()", "balanced", TuningProfile, {tup: lambda: tuple(balanced)},
                 peers={dc: frozen}, target=1.4),
        Workload("TuningProfile(**2 fields)", "two keywords",
                 lambda: TuningProfile(coherence_threshold=0.7, decay_factor=0.8),
                 {tup: lambda: tuple(two)},
                 peers={dc: lambda: frozen(coherence_threshold=0.7, decay_factor=0.8)},
                 target=1.4),
        Workload("replace", "one field", lambda: replace(p, coherence_threshold=0.7),
                 {tup: lambda: tuple(one)},
                 peers={"dataclasses.replace": lambda: dataclasses.replace(
                     fp, coherence_threshold=0.7)}, target=1.4),
        Workload("hash(TuningProfile.balanced())", "fresh profile each call",
                 lambda: hash(TuningProfile.balanced()),
                 {"hash(tuple(values))": lambda: hash(tuple(balanced))},
                 peers={dc: lambda: hash(frozen())}, target=1.4),
        Workload("hash(TuningProfile)", "same profile again", lambda: hash(p),
                 {"hash(tuple)": lambda: hash(same)}, peers={dc: lambda: hash(fp)}, target=1.4),
        Workload("TuningProfile ==", "equal profiles", lambda: p == other_p,
                 {"tuple ==": lambda: same == other}, peers={dc: lambda: fp == fp2}),
    ]
