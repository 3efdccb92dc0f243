"""A host's use of every public function of the core, written the way a host
types its own code.

``make lint`` checks this file with ``mypy --strict`` and strict pyright
against the shipped stubs: the host's own TypedDicts, NamedTuples and
dataclasses must go in, and the returned records must come out typed as the
host types them, its own health enum included, without a cast.  The one
ignore marks a call that the stubs must refuse: both checkers report an
ignore that is no longer needed.
tests/test_host_script.py runs it, so what the stubs promise is also what
the modules return.  Its names are the host's, not the core's.
"""

from __future__ import annotations

import asyncio
import copy
import enum
import json
from dataclasses import dataclass
from typing import (
    TYPE_CHECKING,
    Any,
    NamedTuple,
    NotRequired,
    TypedDict,
    assert_never,
    assert_type,
)

from kelvane_layer._internal import (
    _defaults,
    _invariants,
    consolidation,
    convergence_judge,
    evolution,
    extraction,
    group_digest,
    health,
    journal,
    rule_domains,
)
from kelvane_layer._internal.jobline import Jobline
from kelvane_layer._internal.tuning_profile import TuningProfile, replace
from kelvane_layer.types import CognitiveHealthStatus

if TYPE_CHECKING:
    from kelvane_layer._internal.evolution import Proposal
    from kelvane_layer._internal.extraction import ClaimRecord, FactRecord
    from kelvane_layer._internal.health import HealthStats


# --- the host's own types ------------------------------------------------------


class Memory(TypedDict):
    """A memory as the host's back-end returns it: more keys than the core reads."""

    id: str
    content: str
    event_type: str
    created_at: str
    salience: NotRequired[float]
    agent_id: str


class Insight(TypedDict):
    id: str
    text: str
    cycle: int


class Turn(NamedTuple):
    sender_id: str
    content: str


@dataclass(frozen=True)
class SharedMemory:
    content: str
    team_score: float
    agent_id: str = ""


class MemorySection(TypedDict, total=False):
    event_type_counts: dict[str, int]
    total_memories: int
    reinforced_count: int
    captures_7d: int
    bytes_stored: int  # the host's back-end reports more than health reads


class BackendStats(TypedDict):
    memory: MemorySection
    dreams: dict[str, int]


class Status(enum.Enum):
    """An enum shaped like CognitiveHealthStatus but not it (for the type checkers only)."""

    HEALTHY = "healthy"
    STAGNANT = "stagnant"


def store_fact(subject: str, attribute: str, value: str, confidence: float) -> str:
    return f"{subject.upper()}.{attribute}={value} ({confidence:.2f})"


MEMORIES: list[Memory] = [
    {"id": "m1", "content": "Asked for a refund", "event_type": "conversation",
     "created_at": "2024-05-01", "salience": 0.8, "agent_id": "a"},
    {"id": "m2", "content": "Refund issued", "event_type": "observation",
     "created_at": "2024-05-02", "agent_id": "a"},
]
INSIGHTS: list[Insight] = [{"id": "ins-1", "text": "Refunds come up weekly.", "cycle": 3}]
FENCED = '```json\n{"proposed": [{"text": " Offer a refund early. ", "source_insight_id": "x"}]}\n```'
FACTS = '{"facts": [{"subject": "user", "attribute": "city", "value": "Oslo", "confidence": 0.9}]}'
CLAIMS = '{"claims": [{"subject": "order 7", "attribute": "status", "value": "shipped"}]}'


def profiles() -> list[TuningProfile]:
    base = TuningProfile()
    tuned = replace(TuningProfile.balanced(), coherence_threshold=0.7)
    assert copy.replace(tuned, coherence_threshold=0.5) == replace(tuned, coherence_threshold=0.5)
    return [base, tuned, TuningProfile.for_research(), TuningProfile.for_coding_assistant(),
            TuningProfile.for_consumer_support(), TuningProfile.for_strategic_advisors(),
            TuningProfile.for_lightweight_local()]


def advice(status: CognitiveHealthStatus) -> str:
    # Exhaustive over the host's four members: a fifth member, or a classifier
    # typed as anything but the host's enum, fails the type check here.
    match status:
        case CognitiveHealthStatus.HEALTHY:
            return "keep going"
        case CognitiveHealthStatus.DRIFTING:
            return "review directives"
        case CognitiveHealthStatus.OVERLOADED:
            return "slow the dream cycle"
        case CognitiveHealthStatus.STAGNANT:
            return "capture more"
        case _:
            assert_never(status)


def health_report(profile: TuningProfile) -> list[str]:
    counts = {"note": 4, "fact": 2}
    typed: BackendStats = {
        "memory": {"event_type_counts": counts, "total_memories": 6,
                   "reinforced_count": 2, "captures_7d": 5, "bytes_stored": 1024},
        "dreams": {"runs_7d": 4, "failure_count_7d": 1},
    }
    stats: HealthStats = {"memory": {"captures_7d": 5}, "critic": {"pass_rate_7d": 0.9}}
    loaded: dict[str, Any] = json.loads('{"journals": {"entries_7d": 1}}')
    out: list[str] = []
    for s in (typed, stats, loaded):
        score = health.compute_kelvane_score(s, profile)
        # The host's own annotation, no cast: the classifier returns its enum.
        status: CognitiveHealthStatus = health.classify_cognitive_health(s, score, profile)
        link = health.remedy_url_for(status)
        out.append(f"{score:.3f} {status.name} {status.value} {link or '-'} {advice(status)}")
    out.append(str(health.compute_memory_diversity(counts)))
    out.append(str(health.compute_reinforcement_ratio(2, 6)))
    out.append(health.REMEDY_URL_BASE)
    if TYPE_CHECKING:
        assert_type(health.classify_cognitive_health(stats, 0.5, profile), CognitiveHealthStatus)
        # An enum merely shaped like the host's is refused, as the module
        # refuses it at run time (an unneeded ignore fails both checkers).
        health.remedy_url_for(Status.STAGNANT)  # type: ignore[arg-type]
    return out


def reflection(profile: TuningProfile) -> list[str]:
    system, messages = consolidation.build_consolidation_prompt(MEMORIES)
    insight = consolidation.parse_consolidation_output('"Refunds recur."')
    jsystem, jmessages = journal.build_journal_prompt(MEMORIES)
    entry = journal.parse_journal_output("```\nA week of refunds.\n```")

    directives = ["Ask for the order number first."]
    esystem, emessages = evolution.build_evolution_prompt(
        INSIGHTS, directives, profile.dream_evolve_max_per_cycle,
        profile.dream_evolve_style_guidance)
    proposals = evolution.parse_evolution_output(FENCED, {i["id"] for i in INSIGHTS})
    if TYPE_CHECKING:
        assert_type(proposals, list[Proposal])
    kept: list[Proposal] = []
    for p in proposals:
        domain = rule_domains.classify_directive_domain(p["text"].strip())
        if domain in rule_domains.DIRECTIVE_DOMAINS or domain == rule_domains.DOMAIN_GENERAL:
            kept.append(p)
    limits = (rule_domains.EVOLVE_DEDUP_THRESHOLD, rule_domains.EVOLVE_MAX_PER_DOMAIN,
              consolidation.MAX_CONSOLIDATION_INPUTS, consolidation.TIER2_DEDUP_THRESHOLD,
              consolidation.DEFAULT_CONSOLIDATION_MIN_SALIENCE)
    return [system, messages[0]["content"], insight, jsystem, jmessages[0]["role"], entry,
            esystem, emessages[0]["content"], *(k["source_insight_id"] for k in kept),
            repr(limits)]


def facts_and_claims(profile: TuningProfile) -> list[str]:
    system, messages = extraction.build_extraction_prompt(
        "I moved to Oslo.", profile.fact_extraction_max_per_memory, "user")
    facts = extraction.parse_extraction_output(FACTS)
    if TYPE_CHECKING:
        assert_type(facts, list[FactRecord])
    stored = [store_fact(f["subject"], f["attribute"], f["value"], f["confidence"])
              for f in facts]
    csystem, cmessages = extraction.build_claim_extraction_prompt(
        "Order 7 has shipped.", profile.grounding_max_claims)
    claims: list[ClaimRecord] = extraction.parse_claim_extraction_output(CLAIMS)
    grounded = [c["subject"].title() for c in claims]
    return [system, messages[0]["content"], *stored, csystem, cmessages[0]["content"], *grounded]


def team(profile: TuningProfile) -> list[str]:
    rows = [SharedMemory("Refunds recur.", 0.9), SharedMemory("Ship faster.", 1)]
    body = group_digest.build_group_digest_prompt(rows)
    key = group_digest.compute_prompt_hash(group_digest.GROUP_DIGEST_SYSTEM_PROMPT + body)
    turns = [Turn("a", "We agree."), Turn("b", "Agreed.")]
    transcript = convergence_judge.build_convergence_prompt(turns)
    pairs: list[tuple[str, str]] = [("a", "x")]
    convergence_judge.build_convergence_prompt(pairs)
    done, summary = convergence_judge.parse_convergence_verdict("CONVERGED|Refunds come first.")
    ints: list[int] = [3, 4]
    floats: list[float] = [4.0, 3.0]
    similar = convergence_judge.cosine_similarity(ints, floats)
    stagnant = similar >= convergence_judge.STAGNATION_COSINE_THRESHOLD
    return [body, key, transcript, convergence_judge.CONVERGENCE_JUDGE_SYSTEM_PROMPT,
            f"{done} {summary} {stagnant} {profile.dream_phase_concurrency}"]


async def jobs(profile: TuningProfile) -> list[str]:
    line = Jobline(profile.dream_phase_concurrency)
    order: list[str] = []

    async def step(name: str) -> str:
        order.append(name)
        return name

    first = line.submit("consolidate", step("consolidate"))
    second = line.submit("evolve", step("evolve"), after="consolidate")
    await line.wait_all(timeout=5.0)
    idle = line.active_count
    cancelled = line.cancel_all()
    results: list[str] = [first.result(), second.result()]
    return [*order, *results, str(idle), str(cancelled)]


def constants() -> list[str]:
    return [str(_invariants.DIRECTIVE_DEDUP_COSINE_THRESHOLD),
            ",".join(sorted(_invariants.CRITIC_FLAG_TAXONOMY | _invariants.DREAM_VALID_STATUSES)),
            str(_defaults.DECAY_FACTOR), str(_defaults.DREAM_EVOLVE_MAX_PER_CYCLE)]


def main() -> list[str]:
    out: list[str] = []
    for profile in profiles():
        out += health_report(profile)
    profile = TuningProfile.for_consumer_support()
    out += reflection(profile) + facts_and_claims(profile) + team(profile) + constants()
    out += asyncio.run(jobs(profile))
    return out


if __name__ == "__main__":
    print("\n".join(main()))
