"""Health scoring and tuning-profile operations, per call.

Comparisons are measured in the same run: the score + classification pair
against a plain-Python rendering of the same arithmetic, and the profile
operations against a frozen dataclass of the same 54 fields.
"""

from __future__ import annotations

import dataclasses
import math

from _harness import Row, per_call_us, ratio

from kelvane_layer._internal import health
from kelvane_layer._internal.tuning_profile import TuningProfile, replace
from kelvane_layer.types import CognitiveHealthStatus as S

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


def _clamp(v):
    # Spelled out rather than min()/max(): the order of the tests decides what NaN becomes.
    v = v if v < 1.0 else 1.0
    return v if v > 0.0 else 0.0


def _py_score(stats, p):
    mem, dr, cr, jn = (stats.get(k, {}) for k in ("memory", "dreams", "critic", "journals"))
    counts = mem.get("event_type_counts", {})
    total = sum(int(c) for c in counts.values())
    div = 0.0
    if total > 0 and len(counts) >= 2:
        ent = 0.0
        for c in counts.values():
            c = int(c)
            if c > 0:
                q = c / total
                ent -= q * math.log2(q)
        div = _clamp(ent / math.log2(len(counts)))
    coh = float(cr.get("pass_rate_7d", 1.0))
    f, r = int(dr.get("failure_count_7d", 0)), int(dr.get("runs_7d", 0))
    dh = 1.0 - f / r if r > 0 else 0.5
    rc, tm = int(mem.get("reinforced_count", 0)), int(mem.get("total_memories", 0))
    rr = _clamp(rc / tm) if tm > 0 else 0.0
    t = p.kelvane_journal_target_days
    jf = _clamp(int(jn.get("entries_7d", 0)) / (7.0 / t)) if t > 0 else 0.0
    ws = [p.kelvane_memory_diversity_weight, p.kelvane_directive_coherence_weight,
          p.kelvane_dream_health_weight, p.kelvane_reinforcement_ratio_weight,
          p.kelvane_journal_frequency_weight]
    s, c = 0.0, 0.0
    for w in ws:
        u = s + w
        c += (s - u) + w if abs(s) >= abs(w) else (w - u) + s
        s = u
    s += c
    if s <= 0:
        return 0.0
    acc = 0.0
    for w, v in zip(ws, (div, coh, dh, rr, jf)):
        acc += (w / s) * v
    return _clamp(acc)


def _py_classify(stats, k, p):
    mem, dr, dv = (stats.get(x, {}) for x in ("memory", "dreams", "directives"))
    runs, fails = int(dr.get("runs_7d", 0)), int(dr.get("failure_count_7d", 0))
    if (fails / runs if runs > 0 else 0.0) > p.health_overloaded_dream_failure_threshold:
        return S.OVERLOADED
    if float(dv.get("demotion_rate_7d", 0.0)) > p.health_drifting_demotion_rate_threshold:
        return S.DRIFTING
    tm = int(mem.get("total_memories", 0))
    rr = _clamp(int(mem.get("reinforced_count", 0)) / tm) if tm > 0 else 0.0
    if (int(mem.get("captures_7d", 0)) < p.health_stagnant_capture_threshold_7d
            and rr < p.health_stagnant_reinforcement_ratio):
        return S.STAGNANT
    ok = 1.0 if runs == 0 else float(dr.get("success_rate_7d", 1.0))
    if k >= p.health_kelvane_healthy_threshold and ok >= p.health_dream_success_healthy_threshold:
        return S.HEALTHY
    return S.STAGNANT


# The same record as a frozen dataclass, for the profile comparisons.
_balanced = TuningProfile()
Frozen = dataclasses.make_dataclass(
    "Frozen",
    [(f, object, dataclasses.field(default=getattr(_balanced, f)))
     for f in TuningProfile.__match_args__],
    frozen=True,
)


def run() -> list[Row]:
    p = TuningProfile.balanced()
    fp = Frozen()
    score_fn, classify_fn = health.compute_kelvane_score, health.classify_cognitive_health
    assert _py_score(FULL_STATS, p) == score_fn(FULL_STATS, p)

    def ours():
        classify_fn(FULL_STATS, score_fn(FULL_STATS, p), p)

    def reference():
        _py_classify(FULL_STATS, _py_score(FULL_STATS, p), p)

    both = per_call_us(ours)
    rows = [
        Row("compute_kelvane_score + classify_cognitive_health", "full statistics map", both,
            ratio(per_call_us(reference), both) + " (plain Python; target < 2 us)"),
        Row("compute_kelvane_score", "full statistics map",
            per_call_us(lambda: score_fn(FULL_STATS, p)), ""),
        Row("classify_cognitive_health", "full statistics map",
            per_call_us(lambda: classify_fn(FULL_STATS, 0.8, p)), ""),
    ]
    ctor = per_call_us(TuningProfile)
    rows.append(Row("TuningProfile()", "balanced", ctor,
                    ratio(per_call_us(Frozen), ctor) + " (frozen dataclass)"))
    kw = per_call_us(lambda: TuningProfile(coherence_threshold=0.7, decay_factor=0.8))
    rows.append(Row("TuningProfile(**2 fields)", "two keywords", kw,
                    ratio(per_call_us(lambda: Frozen(coherence_threshold=0.7, decay_factor=0.8)),
                          kw) + " (frozen dataclass)"))
    rep = per_call_us(lambda: replace(p, coherence_threshold=0.7))
    rows.append(Row("replace", "one field", rep,
                    ratio(per_call_us(lambda: dataclasses.replace(fp, coherence_threshold=0.7)),
                          rep) + " (dataclasses.replace)"))
    h = per_call_us(lambda: hash(TuningProfile.balanced()))
    rows.append(Row("hash(TuningProfile.balanced())", "fresh profile each call", h,
                    ratio(per_call_us(lambda: hash(Frozen())), h) + " (frozen dataclass)"))
    hc = per_call_us(lambda: hash(p))
    rows.append(Row("hash(TuningProfile)", "same profile again", hc,
                    ratio(per_call_us(lambda: hash(fp)), hc) + " (frozen dataclass)"))
    eq = per_call_us(lambda: p == _balanced)
    fp2 = Frozen()
    rows.append(Row("TuningProfile ==", "equal profiles", eq,
                    ratio(per_call_us(lambda: fp == fp2), eq) + " (frozen dataclass)"))
    return rows
