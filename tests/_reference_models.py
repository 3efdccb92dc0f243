"""Plain-Python models of the compiled entry points, for exact comparison.

The tests compare the modules against these bit for bit, and the benchmarks
time them beside the modules.  They are written for clarity, not speed: each
follows the rules in the most direct way the host language allows, so that a
disagreement points at the compiled code.  Nothing here imports the compiled
modules except the host stand-ins it needs to name results.
"""

from __future__ import annotations

import json
import math

from kelvane_layer.types import CognitiveHealthStatus as S

# -- health ----------------------------------------------------------------------


def clamp(v):
    # Spelled out rather than min()/max(): the order of the tests decides what NaN becomes.
    v = v if v < 1.0 else 1.0
    return v if v > 0.0 else 0.0


def diversity(counts):
    total = sum(int(c) for c in counts.values())
    if total <= 0 or len(counts) < 2:
        return 0.0
    entropy = 0.0
    for c in counts.values():
        c = int(c)
        if c > 0:
            p = c / total
            entropy -= p * math.log2(p)
    return clamp(entropy / math.log2(len(counts)))


def reinforcement_ratio(r, t):
    return 0.0 if t <= 0 else clamp(r / t)


def journal_frequency(entries, target):
    if target <= 0:
        return 0.0
    expected = 7.0 / target
    return 0.0 if expected <= 0 else clamp(entries / expected)


def kelvane_score(stats, p):
    mem, dr, cr, jn = (stats.get(k, {}) for k in ("memory", "dreams", "critic", "journals"))
    subs = [
        diversity(mem.get("event_type_counts", {})),
        float(cr.get("pass_rate_7d", 1.0)),
        None,
        reinforcement_ratio(int(mem.get("reinforced_count", 0)), int(mem.get("total_memories", 0))),
        journal_frequency(int(jn.get("entries_7d", 0)), p.kelvane_journal_target_days),
    ]
    f, r = int(dr.get("failure_count_7d", 0)), int(dr.get("runs_7d", 0))
    subs[2] = 1.0 - f / r if r > 0 else 0.5
    ws = [p.kelvane_memory_diversity_weight, p.kelvane_directive_coherence_weight,
          p.kelvane_dream_health_weight, p.kelvane_reinforcement_ratio_weight,
          p.kelvane_journal_frequency_weight]
    # Compensated (Neumaier) sum of the weights, so a tiny weight beside huge ones survives.
    total, comp = 0.0, 0.0
    for w in ws:
        t = total + w
        comp += (total - t) + w if abs(total) >= abs(w) else (w - t) + total
        total = t
    total += comp
    if total <= 0:
        return 0.0
    s = 0.0
    for w, v in zip(ws, subs):
        s += (w / total) * v
    return clamp(s)


def classify_health(stats, k, p):
    mem, dr, dv = (stats.get(x, {}) for x in ("memory", "dreams", "directives"))
    runs, fails = int(dr.get("runs_7d", 0)), int(dr.get("failure_count_7d", 0))
    if (fails / runs if runs > 0 else 0.0) > p.health_overloaded_dream_failure_threshold:
        return S.OVERLOADED
    if float(dv.get("demotion_rate_7d", 0.0)) > p.health_drifting_demotion_rate_threshold:
        return S.DRIFTING
    caps = int(mem.get("captures_7d", 0))
    reinf = reinforcement_ratio(int(mem.get("reinforced_count", 0)),
                                int(mem.get("total_memories", 0)))
    if caps < p.health_stagnant_capture_threshold_7d and reinf < p.health_stagnant_reinforcement_ratio:
        return S.STAGNANT
    success = float(dr.get("success_rate_7d", 1.0))
    if runs == 0:
        success = 1.0
    if k >= p.health_kelvane_healthy_threshold and success >= p.health_dream_success_healthy_threshold:
        return S.HEALTHY
    return S.STAGNANT


# -- directive domains -------------------------------------------------------------

# Written out rather than read from the module, so that a changed table shows.
DOMAIN_KEYWORDS = {
    "billing": ("refund", "charge", "invoice", "payment", "billing", "subscription", "price",
                "discount"),
    "security": ("password", "credential", "auth", "verify identity", "verification", "fraud",
                 "phishing", "two-factor", "2fa", "pii"),
    "escalation": ("escalate", "supervisor", "manager", "human agent", "transfer to"),
    "fulfillment": ("ship", "shipping", "delivery", "tracking", "warehouse", "fulfillment",
                    "order status", "carrier"),
    "retention": ("cancel", "churn", "retain", "win back", "loyalty", "renew", "renewal"),
}


def directive_domain(text: str) -> str:
    low = text.lower()
    for domain, keywords in DOMAIN_KEYWORDS.items():
        if any(k in low for k in keywords):
            return domain
    return "general"


# -- convergence judge ---------------------------------------------------------------

TRANSCRIPT_HEADER = "Thread transcript (chronological):"
VERDICT_QUESTION = (
    "Is this thread CONVERGED or OPEN? Respond with exactly one line in the form "
    "CONVERGED|<summary> or OPEN|<reason>."
)


def convergence_prompt(turns):
    lines = [TRANSCRIPT_HEADER] + [f"- [{s}] {' '.join(c.split())}" for s, c in turns]
    return "\n".join(lines + ["\n" + VERDICT_QUESTION])


def convergence_verdict(text):
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


def cosine(a, b):
    """Sequential double arithmetic, left to right, as the gate computes it."""
    if len(a) != len(b):
        raise ValueError("length mismatch")
    a, b = [float(x) for x in a], [float(x) for x in b]
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


# -- reply parsers ---------------------------------------------------------------
#
# The three JSON reply parsers on the host's own json module.  Each returns
# (records, warning): warning is None or the (message, field, value) of the
# one WARNING record the parser writes (field "response_preview" or "type").

FACTS_UNDECODABLE = "extract_facts: failed to parse LLM response as JSON"
FACTS_NOT_OBJECT = "extract_facts: LLM response is not a JSON object"
FACTS_NOT_LIST = "extract_facts: 'facts' field is not a list"
CLAIMS_UNDECODABLE = "extract_claims: failed to parse LLM response as JSON"
PROPOSALS_UNDECODABLE = "evolve_directives: failed to parse LLM response as JSON"
PROPOSALS_NOT_OBJECT = "evolve_directives: LLM response is not a JSON object"
PROPOSALS_NOT_LIST = "evolve_directives: 'proposed' field is not a list"


def clean_json_reply(reply):
    """The reply without surrounding whitespace and one enclosing ``` fence
    (with its lower-case ``json`` tag)."""
    t = reply.strip()
    if t.startswith("```") and t.endswith("```"):
        t = t[3:-3].strip()
        if t.startswith("json"):
            t = t[4:].strip()
    return t


_UNDECODABLE = object()


def _decode(reply):
    try:
        return json.loads(clean_json_reply(reply))
    except ValueError:
        return _UNDECODABLE


def _array(reply, member, undecodable, not_object, not_list):
    """(entries, warning) of the array ``member`` of the reply's object."""
    root = _decode(reply)
    if root is _UNDECODABLE:
        return [], (undecodable, "response_preview", reply[:200])
    if type(root) is not dict:
        return [], (not_object, "type", type(root).__name__) if not_object else None
    if member not in root:
        return [], None
    entries = root[member]
    if type(entries) is not list:
        return [], (not_list, "type", type(entries).__name__) if not_list else None
    return [e for e in entries if type(e) is dict], None


def _texts(entry, keys):
    """The trimmed texts of ``keys``, or None unless all are non-blank strs."""
    out = []
    for k in keys:
        v = entry.get(k)
        if type(v) is not str or not v.strip():
            return None
        out.append(v.strip())
    return out


TRIPLE = ("subject", "attribute", "value")


def facts(reply):
    entries, warning = _array(reply, "facts", FACTS_UNDECODABLE, FACTS_NOT_OBJECT, FACTS_NOT_LIST)
    out = []
    for e in entries:
        texts = _texts(e, TRIPLE)
        c = e.get("confidence")
        if texts is None or type(c) not in (bool, int, float):
            continue
        try:
            conf = float(c)
        except OverflowError:  # an integer no double holds
            continue
        if 0.5 <= conf <= 1.0:  # NaN fails both
            out.append(dict(zip(TRIPLE, texts), confidence=conf))
    return out, warning


def claims(reply):
    entries, warning = _array(reply, "claims", CLAIMS_UNDECODABLE, None, None)
    out = [dict(zip(TRIPLE, t)) for t in (_texts(e, TRIPLE) for e in entries) if t is not None]
    return out, warning


def proposals(reply, insight_ids):
    entries, warning = _array(reply, "proposed", PROPOSALS_UNDECODABLE, PROPOSALS_NOT_OBJECT,
                              PROPOSALS_NOT_LIST)
    fallback = min(insight_ids) if insight_ids else ""
    out = []
    for e in entries:
        texts = _texts(e, ("text",))
        if texts is None:
            continue
        source = e.get("source_insight_id")
        known = type(source) is str and source in insight_ids
        out.append({"text": texts[0], "source_insight_id": source if known else fallback})
    return out, warning
