"""Every stateless public entry point with a valid and an invalid call.

The leak, thread and fuzz checks walk this one list, so a new entry point
needs one line here to be covered by all of them.
"""

from __future__ import annotations

import json
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from kelvane_layer._internal import (
    consolidation,
    convergence_judge,
    evolution,
    extraction,
    group_digest,
    health,
    journal,
    rule_domains,
)
from kelvane_layer._internal.tuning_profile import TuningProfile, replace
from kelvane_layer.types import CognitiveHealthStatus, SharedMemory

PROFILE = TuningProfile.balanced()

STATS = {
    "memory": {"event_type_counts": {"note": 5, "fact": 3, "task": 2}, "reinforced_count": 4,
               "total_memories": 10, "captures_7d": 6},
    "dreams": {"runs_7d": 10, "failure_count_7d": 1, "success_rate_7d": 0.9},
    "critic": {"pass_rate_7d": 0.95},
    "journals": {"entries_7d": 1},
    "directives": {"demotion_rate_7d": 0.1},
}

MEMORIES = [
    {"content": "Deploy failed twice", "event_type": "observation", "salience": 0.7,
     "created_at": "2026-01-05T10:00:00"},
    {"content": {"a": 1, "b": "\u00e9", "c": [1.5, None, True]}, "event_type": "fact",
     "created_at": "2026-01-06T10:00:00"},
]

EVOLUTION_REPLY = "```json\n" + json.dumps({"proposed": [
    {"text": " Ask for the order number. ", "source_insight_id": "a9"},
    {"text": "Escalate after two failures.", "source_insight_id": "zz"},
]}) + "\n```"

FACTS_REPLY = json.dumps({"facts": [
    {"subject": "user", "attribute": "city", "value": "Rotterdam", "confidence": 0.9},
    {"subject": "user", "attribute": "age", "value": "41", "confidence": 0.2},
]})

CLAIMS_REPLY = json.dumps({"claims": [{"subject": "order", "attribute": "eta", "value": "Friday"}]})

ROWS = [SharedMemory(content="Refund requests spike on Mondays.", team_score=0.45),
        SharedMemory(content="Customers ask for invoices as PDF.", team_score=0.9)]

TURNS = [("planner", "Ship it on\n  Friday?"), ("critic", "Agreed.  ")]

VEC_A = [0.1 * i for i in range(64)]
VEC_B = [0.05 * (64 - i) for i in range(64)]


@dataclass
class Entry:
    name: str
    fn: Callable[..., Any]
    valid: tuple[Any, ...]
    invalid: tuple[Any, ...]  # arguments that must raise
    errors: tuple[type[BaseException], ...] = (TypeError,)


CATALOGUE: list[Entry] = [
    Entry("TuningProfile", TuningProfile, (), ("x",) * 200),
    Entry("replace", lambda p, kw: replace(p, **kw), (PROFILE, {"coherence_threshold": 0.7}),
          (PROFILE, {"no_such_field": 1})),
    Entry("compute_kelvane_score", health.compute_kelvane_score, (STATS, PROFILE), ([], PROFILE)),
    Entry("classify_cognitive_health", health.classify_cognitive_health, (STATS, 0.7, PROFILE),
          (None, 0.7, PROFILE)),
    Entry("compute_memory_diversity", health.compute_memory_diversity, ({"a": 5, "b": 3},), ([1],)),
    Entry("compute_reinforcement_ratio", health.compute_reinforcement_ratio, (5, 10), ("x", 10)),
    Entry("remedy_url_for", health.remedy_url_for, (CognitiveHealthStatus.DRIFTING,), (42,),
          errors=(TypeError, AttributeError, ValueError)),
    Entry("build_extraction_prompt", extraction.build_extraction_prompt,
          ("I live in Rotterdam.", 8, "user"), (None, 8)),
    Entry("parse_extraction_output", extraction.parse_extraction_output, (FACTS_REPLY,), (b"{}",)),
    Entry("build_claim_extraction_prompt", extraction.build_claim_extraction_prompt,
          ("It ships Friday.", 6), ("x", "6")),
    Entry("parse_claim_extraction_output", extraction.parse_claim_extraction_output,
          (CLAIMS_REPLY,), (None,)),
    Entry("build_evolution_prompt", evolution.build_evolution_prompt,
          ([{"id": "a9", "text": "Users wait."}], ["Be brief."], 3, "Keep it short."),
          ({"id": "a9"}, [], 3)),
    Entry("parse_evolution_output", evolution.parse_evolution_output,
          (EVOLUTION_REPLY, frozenset({"a9", "a10"})), (EVOLUTION_REPLY, ["a9"])),
    Entry("classify_directive_domain", rule_domains.classify_directive_domain,
          ("Require 2FA for account changes",), (None,)),
    Entry("build_consolidation_prompt", consolidation.build_consolidation_prompt, (MEMORIES,),
          ({"content": "x"},)),
    Entry("parse_consolidation_output", consolidation.parse_consolidation_output,
          ('"```The insight.```"',), (3,)),
    Entry("build_journal_prompt", journal.build_journal_prompt, (MEMORIES,), ((),)),
    Entry("parse_journal_output", journal.parse_journal_output, ("```\nEntry.\n```",), (None,)),
    Entry("build_group_digest_prompt", group_digest.build_group_digest_prompt, (ROWS,), ("rows",)),
    Entry("compute_prompt_hash", group_digest.compute_prompt_hash, ("abc" * 100,), (b"abc",)),
    Entry("build_convergence_prompt", convergence_judge.build_convergence_prompt, (TURNS,),
          ("turns",)),
    Entry("parse_convergence_verdict", convergence_judge.parse_convergence_verdict,
          ("  converged |  done",), (None,)),
    Entry("cosine_similarity", convergence_judge.cosine_similarity, (VEC_A, VEC_B),
          (VEC_A, VEC_B[:-1]), errors=(ValueError,)),
]


def call_valid(entry: Entry) -> Any:
    return entry.fn(*entry.valid)


def call_invalid(entry: Entry) -> None:
    try:
        entry.fn(*entry.invalid)
    except entry.errors:
        return
    raise AssertionError(f"{entry.name}{entry.invalid!r} did not raise {entry.errors}")
