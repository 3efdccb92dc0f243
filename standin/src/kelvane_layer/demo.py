"""The main job: one reflection cycle and one team-thread round, end to end.

``python -m kelvane_layer demo [--profile NAME] [--json]`` plays the host SDK
for one agent and one team workspace and reports what each step sent to the
LLM and what it got back:

1. consolidation of the agent's salient memories into one insight;
2. directive evolution from that insight, with the proposals tagged by
   business domain, near-duplicates dropped and the per-domain limit applied;
3. a journal entry over the same memories;
4. fact extraction from two freshly captured memories (one reply is
   malformed on purpose: its warning record shows up through ``logging``) and
   claim extraction from a draft answer, with a toy grounding check;
5. the group digest of a team workspace, keyed by its prompt hash;
6. the convergence verdict of a team thread and the cosine stagnation gate;
7. the health report under the chosen profile.

The phases run as jobs of a ``Jobline`` whose limit is the profile's
``dream_phase_concurrency``, with real predecessor links between them.  The
LLM is a deterministic stand-in with canned replies, so the demo needs no
network and prints the same report on every run.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import logging
import sys
import zlib
from collections.abc import Callable, Coroutine
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from kelvane_layer._internal import (
    consolidation,
    convergence_judge,
    evolution,
    extraction,
    group_digest,
    health,
    jobline,
    journal,
    rule_domains,
)
from kelvane_layer._internal._defaults import DIRECTIVE_DEDUP_COSINE_THRESHOLD
from kelvane_layer._internal.tuning_profile import TuningProfile
from kelvane_layer.cli import PROFILES, json_text
from kelvane_layer.types import SharedMemory

if TYPE_CHECKING:
    from kelvane_layer._internal.evolution import Proposal
    from kelvane_layer._internal.extraction import FactRecord

__all__ = ["PROFILES", "ScriptedLLM", "main", "run_cycle"]

FENCE = "```"

# --------------------------------------------------------------------------
# The agent's world: memories, active directives, a team workspace, a thread.

MEMORIES: list[dict[str, Any]] = [
    {"id": "m1", "content": "Customer asked for a refund after the second failed delivery.",
     "event_type": "conversation", "salience": 0.82, "created_at": "2026-12-01T09:14:00"},
    {"id": "m2", "content": {"ticket": 4471, "status": "escalated", "note": "carrier lost parcel"},
     "event_type": "observation", "salience": 0.74, "created_at": "2026-12-01T11:02:00"},
    {"id": "m3", "content": "Second customer this week mentions the tracking page shows \"delivered\" "
     "for parcels that never arrived.", "event_type": "conversation", "salience": 0.77,
     "created_at": "2026-12-02T16:40:00"},
    {"id": "m4", "content": "Offered a callback; the customer declined and asked for a supervisor.",
     "event_type": "conversation", "salience": 0.61, "created_at": "2026-12-03T10:05:00"},
    {"id": "m5", "content": "Weather small talk.", "event_type": "chitchat", "salience": 0.12,
     "created_at": "2026-12-03T10:06:00"},
    {"id": "m6", "content": "Warehouse confirmed the scanner firmware marks parcels delivered on load.",
     "event_type": "fact", "created_at": "2026-12-04T08:30:00"},
]

ACTIVE_DIRECTIVES = [
    "Ask for the order number first.",
    "Offer a callback after two failed fixes.",
]

CAPTURED = [
    ("user", "I'm Dana Okafor, I live in Rotterdam and my order 4471 still hasn't arrived."),
    ("assistant", "Your parcel left the Venlo warehouse on Monday."),
]

DRAFT_ANSWER = (
    "Hi Dana! Your order 4471 left the Venlo warehouse on Monday and should reach Rotterdam "
    "by Friday. Would you like me to open a trace with the carrier?"
)

TEAM_ROWS = [
    SharedMemory(content="Refund requests spike on Mondays.", team_score=0.45, agent_id="billing"),
    SharedMemory(content="Tracking shows 'delivered' before parcels arrive.", team_score=0.9,
                 agent_id="logistics"),
    SharedMemory(content="Customers ask for invoices as PDF.", team_score=0.6, agent_id="billing"),
    SharedMemory(content="Supervisor requests follow lost-parcel cases.", team_score=0.6,
                 agent_id="support"),
]

THREAD = [
    ("planner", "Scanner firmware marks parcels delivered on load.\nPatch it on Friday?"),
    ("logistics", "Agreed.  Vendor confirmed the patch is ready."),
    ("critic", "Agreed, and support should hold refunds until the patch lands."),
]

# Small fixed embeddings of the thread's three message bodies.
THREAD_EMBEDDINGS = [
    [0.12, 0.85, 0.31, 0.40],
    [0.10, 0.80, 0.35, 0.44],
    [0.61, 0.22, 0.70, 0.05],
]


# --------------------------------------------------------------------------
# Deterministic stand-in for the host's LLM client.

class ScriptedLLM:
    """Deterministic stand-in for the host's LLM client: one canned reply per step.

    The host supplies the real client; this one only records what it was
    sent so the report can show it.
    """

    REPLIES: dict[str, str] = {
        "consolidate": FENCE + "\nParcels marked delivered on load drive a chain of refund and "
        "supervisor requests: the tracking fault, not the customers, is the root cause.\n" + FENCE,
        "evolve": FENCE + "json\n" + json.dumps({"proposed": [
            {"text": "  When tracking says delivered but the customer disagrees, open a carrier trace. ",
             "source_insight_id": "ins-1"},
            {"text": "When tracking says delivered but the customer disagrees, open a carrier trace.",
             "source_insight_id": "ins-1"},
            {"text": "Offer a refund only after the carrier trace closes.", "source_insight_id": "ins-0"},
            {"text": "Quote the invoice total before issuing any discount.", "source_insight_id": "zz"},
            {"text": "Escalate to a supervisor when a parcel is lost twice.", "source_insight_id": "ins-1"},
            {"text": "", "source_insight_id": "ins-1"},
            {"text": 42},
        ]}, indent=1) + "\n" + FENCE,
        "journal": "\"This week the deliveries that never arrived kept coming back, first as refund "
        "requests and then as calls for a supervisor. The warehouse finally named the cause: the "
        "scanners mark parcels delivered on load.\"",
        "facts:0": FENCE + "json\n" + json.dumps({"facts": [
            {"subject": "the user", "attribute": "name", "value": "Dana Okafor", "confidence": 0.95},
            {"subject": "the user", "attribute": "city", "value": "Rotterdam", "confidence": 0.9},
            {"subject": "order 4471", "attribute": "status", "value": "not arrived", "confidence": 1},
            {"subject": "the user", "attribute": "mood", "value": "upset", "confidence": 0.3},
        ]}) + "\n" + FENCE,
        # Cut off mid-reply, as a model that hit its token limit would answer.
        "facts:1": '{"facts": [{"subject": "parcel", "attribute": "origin", "value": "Venl',
        "claims": json.dumps({"claims": [
            {"subject": "order 4471", "attribute": "origin", "value": "Venlo warehouse"},
            {"subject": "the user", "attribute": "city", "value": "Rotterdam"},
            {"subject": "order 4471", "attribute": "eta", "value": "Friday"},
        ]}),
        "digest": "The team keeps meeting one fault from different sides: scanners mark parcels "
        "delivered too early, and refunds and escalations follow.",
        "judge": "CONVERGED|Patch the scanner firmware on Friday and hold refunds until then.",
    }

    def __init__(self) -> None:
        self.calls: list[dict[str, Any]] = []

    async def complete(self, step: str, system: str, user: str) -> str:
        await asyncio.sleep(0)  # a real client yields to the loop while it waits
        reply = self.REPLIES[step]
        self.calls.append({"step": step, "system": system, "user": user, "reply": reply})
        return reply


# --------------------------------------------------------------------------
# Host-side helpers.

def embed(text: str, dims: int = 32) -> list[float]:
    """Toy embedder: bag of lower-cased words hashed into ``dims`` buckets."""
    vec = [0.0] * dims
    for word in text.lower().replace(",", " ").replace(".", " ").split():
        vec[zlib.crc32(word.encode()) % dims] += 1.0
    return vec


def user_text(pair: tuple[str, list[dict[str, str]]]) -> str:
    return pair[1][0]["content"]


@dataclass
class Report:
    profile: str
    concurrency: int = 0
    # Parameterised factories, so that strict checkers know the element types.
    steps: dict[str, dict[str, Any]] = field(default_factory=dict[str, dict[str, Any]])
    order: list[str] = field(default_factory=list[str])

    def add(self, name: str, **data: Any) -> None:
        self.steps[name] = data
        self.order.append(name)


# --------------------------------------------------------------------------
# The cycle.

async def run_cycle(profile: TuningProfile, profile_name: str, llm: ScriptedLLM) -> Report:
    """Run the reflection cycle and the team round; return what each step did."""
    report = Report(profile_name)
    line = jobline.Jobline(profile.dream_phase_concurrency)
    state: dict[str, Any] = {}

    async def consolidate() -> None:
        batch = [m for m in MEMORIES
                 if m.get("salience", 1.0) >= consolidation.DEFAULT_CONSOLIDATION_MIN_SALIENCE]
        batch = batch[: consolidation.MAX_CONSOLIDATION_INPUTS]
        system, messages = consolidation.build_consolidation_prompt(batch)
        reply = await llm.complete("consolidate", system, messages[0]["content"])
        insight = consolidation.parse_consolidation_output(reply)
        state["insight"] = insight
        report.add("consolidation", memories=len(batch), prompt=messages[0]["content"],
                   reply=reply, insight=insight)

    async def evolve() -> None:
        insights: list[dict[str, Any]] = [{"id": "ins-0", "text": "Refund requests cluster after failed deliveries."},
                    {"id": "ins-1", "text": state["insight"]}]
        pair = evolution.build_evolution_prompt(
            insights, ACTIVE_DIRECTIVES, profile.dream_evolve_max_per_cycle,
            profile.dream_evolve_style_guidance)
        reply = await llm.complete("evolve", pair[0], user_text(pair))
        proposals = evolution.parse_evolution_output(reply, {i["id"] for i in insights})
        kept: list[Proposal] = []
        decisions: list[dict[str, Any]] = []
        per_domain: dict[str, int] = {}
        store = [embed(d) for d in ACTIVE_DIRECTIVES]
        for p in proposals:
            domain = rule_domains.classify_directive_domain(p["text"])
            vec = embed(p["text"])
            near = [convergence_judge.cosine_similarity(vec, embed(k["text"])) for k in kept]
            if any(s >= rule_domains.EVOLVE_DEDUP_THRESHOLD for s in near):
                verdict = "dropped: near-duplicate of a kept proposal"
            elif (domain != rule_domains.DOMAIN_GENERAL
                  and per_domain.get(domain, 0) >= rule_domains.EVOLVE_MAX_PER_DOMAIN):
                verdict = f"dropped: {domain} already has its {rule_domains.EVOLVE_MAX_PER_DOMAIN}"
            elif any(convergence_judge.cosine_similarity(vec, s) >= DIRECTIVE_DEDUP_COSINE_THRESHOLD
                     for s in store):
                verdict = "dropped by the store: same as an active directive"
            else:
                verdict = "kept"
                per_domain[domain] = per_domain.get(domain, 0) + 1
                kept.append(p)
                store.append(vec)
            decisions.append({**p, "domain": domain, "decision": verdict})
        state["directives"] = ACTIVE_DIRECTIVES + [k["text"] for k in kept]
        report.add("evolution", max_per_cycle=profile.dream_evolve_max_per_cycle,
                   style_guidance=profile.dream_evolve_style_guidance, prompt=pair[0],
                   reply=reply, proposals=decisions)

    async def write_journal() -> None:
        ordered = sorted(MEMORIES, key=lambda m: m["created_at"])
        ordered = ordered[: profile.journal_max_memories]
        pair = journal.build_journal_prompt(ordered)
        reply = await llm.complete("journal", pair[0], user_text(pair))
        report.add("journal", memories=len(ordered), prompt=user_text(pair), reply=reply,
                   entry=journal.parse_journal_output(reply))

    async def extract_facts() -> None:
        facts: list[FactRecord] = []
        exchanges: list[dict[str, Any]] = []
        for n, (role, content) in enumerate(CAPTURED):
            pair = extraction.build_extraction_prompt(
                content, profile.fact_extraction_max_per_memory, role)
            reply = await llm.complete(f"facts:{n}", pair[0], user_text(pair))
            got = extraction.parse_extraction_output(reply)
            facts.extend(got)
            exchanges.append({"memory": content, "role": role, "reply": reply, "facts": got})
        state["facts"] = facts
        report.add("fact_extraction", max_facts=profile.fact_extraction_max_per_memory,
                   exchanges=exchanges)

    async def check_claims() -> None:
        pair = extraction.build_claim_extraction_prompt(DRAFT_ANSWER, profile.grounding_max_claims)
        reply = await llm.complete("claims", pair[0], user_text(pair))
        claims = extraction.parse_claim_extraction_output(reply)
        known = {(f["subject"].lower(), f["attribute"].lower()): f["value"].lower()
                 for f in state["facts"]}
        checked: list[dict[str, Any]] = []
        for c in claims:
            # Toy grounding: a claim is supported when a stored fact about the same
            # subject and attribute names a value that contains the claimed one.
            stored = known.get((c["subject"].lower(), c["attribute"].lower()))
            grounded = stored is not None and c["value"].lower() in stored
            checked.append({**c, "grounded": grounded})
        score = sum(c["grounded"] for c in checked) / len(checked) if checked else 1.0
        report.add("claim_check", draft=DRAFT_ANSWER, reply=reply, claims=checked,
                   grounding_score=score)

    async def digest() -> None:
        body = group_digest.build_group_digest_prompt(TEAM_ROWS)
        key = group_digest.compute_prompt_hash(body)
        reply = await llm.complete("digest", group_digest.GROUP_DIGEST_SYSTEM_PROMPT, body)
        report.add("group_digest", prompt=body, prompt_hash=key, reply=reply)

    async def judge() -> None:
        prompt = convergence_judge.build_convergence_prompt(THREAD)
        reply = await llm.complete("judge", convergence_judge.CONVERGENCE_JUDGE_SYSTEM_PROMPT, prompt)
        converged, summary = convergence_judge.parse_convergence_verdict(reply)
        gate: list[dict[str, Any]] = []
        for i in range(1, len(THREAD_EMBEDDINGS)):
            sim = convergence_judge.cosine_similarity(THREAD_EMBEDDINGS[i - 1], THREAD_EMBEDDINGS[i])
            gate.append({"turns": [i - 1, i], "cosine": sim,
                         "stagnant": sim > convergence_judge.STAGNATION_COSINE_THRESHOLD})
        report.add("convergence", prompt=prompt, reply=reply, converged=converged,
                   summary=summary, stagnation_gate=gate,
                   threshold=convergence_judge.STAGNATION_COSINE_THRESHOLD)

    async def health_report() -> None:
        counts: dict[str, int] = {}
        for m in MEMORIES:
            counts[m["event_type"]] = counts.get(m["event_type"], 0) + 1
        stats: dict[str, dict[str, Any]] = {
            "memory": {"event_type_counts": counts, "reinforced_count": 3,
                       "total_memories": len(MEMORIES), "captures_7d": len(MEMORIES)},
            "dreams": {"runs_7d": 4, "failure_count_7d": 0, "success_rate_7d": 1.0},
            "critic": {"pass_rate_7d": 0.92},
            "journals": {"entries_7d": 1},
            "directives": {"demotion_rate_7d": 0.1},
        }
        score = health.compute_kelvane_score(stats, profile)
        status = health.classify_cognitive_health(stats, score, profile)
        report.add("health", stats=stats, kelvane_score=score, status=status.value,
                   remedy=health.remedy_url_for(status),
                   memory_diversity=health.compute_memory_diversity(counts),
                   reinforcement_ratio=health.compute_reinforcement_ratio(3, len(MEMORIES)))

    for name, job, after in PHASES(consolidate, evolve, write_journal, extract_facts,
                                   check_claims, digest, judge, health_report):
        line.submit(name, job(), after=after)
    report.concurrency = profile.dream_phase_concurrency
    tasks = list(line._tasks.values())
    await line.wait_all()
    for task in tasks:  # surface a failed phase instead of reporting half a cycle
        if task.cancelled():
            raise RuntimeError(f"phase {task.get_name()!r} was cancelled")
        error = task.exception()
        if error is not None:
            raise error
    report.order.sort(key=lambda s: STEP_ORDER.index(s))
    return report


def PHASES(*jobs: Callable[[], Coroutine[Any, Any, None]]
           ) -> list[tuple[str, Callable[[], Coroutine[Any, Any, None]], str | None]]:
    """The phases in submission order, each with its predecessor (or None)."""
    names = ["consolidate", "evolve", "journal", "extract_facts", "check_claims",
             "group_digest", "convergence", "health"]
    after = [None, "consolidate", "consolidate", None, "extract_facts", None, None, "journal"]
    return list(zip(names, jobs, after))


STEP_ORDER = ["consolidation", "evolution", "journal", "fact_extraction", "claim_check",
              "group_digest", "convergence", "health"]


# --------------------------------------------------------------------------
# Output.

class FieldFormatter(logging.Formatter):
    """Shows the structured field of a parser warning after its message."""

    def format(self, record: logging.LogRecord) -> str:
        text = super().format(record)
        for name in ("response_preview", "type"):
            if hasattr(record, name):
                text += f" [{name}={getattr(record, name)!r}]"
        return text


def _excerpt(text: str, lines: int = 4) -> str:
    parts = text.splitlines()
    shown = "\n".join("    | " + p for p in parts[:lines])
    if len(parts) > lines:
        shown += f"\n    | ... ({len(parts) - lines} more lines, {len(text)} characters in all)"
    return shown


def render_text(report: Report) -> str:
    s = report.steps
    out = [f"kelvane_layer demo -- one reflection cycle and one team round "
           f"(profile: {report.profile})",
           f"phases run as jobs of a Jobline, at most {report.concurrency} at a time: "
           "consolidate -> evolve, consolidate -> journal -> health, "
           "extract_facts -> check_claims, group_digest, convergence", ""]
    c = s["consolidation"]
    out += [f"[1] consolidation of {c['memories']} salient memories",
            "  sent (user message):", _excerpt(c["prompt"], 7),
            "  got back:", _excerpt(c["reply"]), f"  insight: {c['insight']}", ""]
    e = s["evolution"]
    out += [f"[2] directive evolution (at most {e['max_per_cycle']} per cycle"
            + (", with a style rule)" if e["style_guidance"] else ")"),
            "  sent (system prompt):", _excerpt(e["prompt"], 8),
            *([f"  style rule: {e['style_guidance']}"] if e["style_guidance"] else []),
            f"  got back a fenced JSON reply of {len(e['reply'])} characters; proposals:"]
    for p in e["proposals"]:
        out.append(f"    - [{p['domain']}] {p['text']}  (from {p['source_insight_id']}) -> {p['decision']}")
    out.append("")
    j = s["journal"]
    out += [f"[3] journal over {j['memories']} memories", "  sent (user message):",
            _excerpt(j["prompt"], 5), f"  entry: {j['entry']}", ""]
    f = s["fact_extraction"]
    out.append(f"[4] fact extraction (at most {f['max_facts']} facts per memory)")
    for x in f["exchanges"]:
        out.append(f"  memory ({x['role']}): {x['memory']}")
        out.append(f"    reply: {x['reply'][:70]!r}{'...' if len(x['reply']) > 70 else ''}")
        if not x["facts"]:
            out.append("    facts: none (the reply could not be read; see the warning above)")
        for fact in x["facts"]:
            out.append(f"    fact: ({fact['subject']}, {fact['attribute']}, {fact['value']}) "
                       f"confidence {fact['confidence']}")
    cc = s["claim_check"]
    out.append(f"  claim check of the draft: {cc['draft']}")
    for cl in cc["claims"]:
        mark = "grounded" if cl["grounded"] else "UNGROUNDED"
        out.append(f"    claim: ({cl['subject']}, {cl['attribute']}, {cl['value']}) -> {mark}")
    out += [f"  grounding score: {cc['grounding_score']:.3f}", ""]
    g = s["group_digest"]
    out += ["[5] group digest of the team workspace", "  sent (user prompt):",
            _excerpt(g["prompt"], 8), f"  prompt hash (idempotency key): {g['prompt_hash']}",
            f"  team insight: {g['reply']}", ""]
    v = s["convergence"]
    out += ["[6] convergence judge", "  sent (transcript):", _excerpt(v["prompt"], 6),
            f"  got back: {v['reply']}",
            f"  verdict: {'CONVERGED' if v['converged'] else 'OPEN'} -- {v['summary']}",
            f"  stagnation gate (threshold {v['threshold']}):"]
    for gate in v["stagnation_gate"]:
        out.append(f"    turns {gate['turns'][0]}->{gate['turns'][1]}: cosine {gate['cosine']:.6f}"
                   f" -> {'stagnant, end the thread' if gate['stagnant'] else 'adds information'}")
    out.append("")
    h = s["health"]
    out += ["[7] health report",
            f"  kelvane score: {h['kelvane_score']:.4f}  (memory diversity "
            f"{h['memory_diversity']:.4f}, reinforcement ratio {h['reinforcement_ratio']:.4f})",
            f"  cognitive health: {h['status']}"]
    if h["remedy"]:
        out.append(f"  troubleshooting: {h['remedy']}")
    return "\n".join(out)


def main(args: argparse.Namespace | None = None) -> int:
    """Entry point of ``python -m kelvane_layer demo``; returns the exit status."""
    if args is None:
        parser = argparse.ArgumentParser(prog="python -m kelvane_layer demo")
        parser.add_argument("--profile", default="balanced", choices=sorted(PROFILES))
        parser.add_argument("--json", action="store_true")
        args = parser.parse_args()
    name = getattr(args, "profile", None) or "balanced"
    if name not in PROFILES:
        print(f"error: unknown profile {name!r} (choose from {', '.join(PROFILES)})",
              file=sys.stderr)
        return 2
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(FieldFormatter("%(levelname)s %(name)s: %(message)s"))
    logging.basicConfig(level=logging.WARNING, handlers=[handler], force=True)
    llm = ScriptedLLM()
    report = asyncio.run(run_cycle(PROFILES[name](), name, llm))
    if getattr(args, "json", False):
        print(json_text({"profile": report.profile,
                         "steps": {k: report.steps[k] for k in report.order},
                         "llm_calls": llm.calls}, indent=2, ensure_ascii=False))
    else:
        print(render_text(report))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
