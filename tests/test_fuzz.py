"""Generated and mutated input for every parser and builder.

Replies come from a model and memories from storage: whatever they hold, a
parser returns a well-formed result and a builder either renders or raises
one of its documented errors -- never anything else, never a crash.
"""

from __future__ import annotations

import json
import math

from hypothesis import given
from hypothesis import strategies as st

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
from kelvane_layer._internal.tuning_profile import TuningProfile
from kelvane_layer.types import SharedMemory

# Any code point, lone surrogates included: the host's str can hold them.
any_text = st.text(st.characters(min_codepoint=0, max_codepoint=0x10FFFF), max_size=300)

json_scalars = (st.none() | st.booleans() | st.integers(-(2**70), 2**70)
                | st.floats(allow_nan=False, allow_infinity=False) | any_text)
json_values = st.recursive(
    json_scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(any_text, inner, max_size=4),
    max_leaves=20,
)

ENTRY_KEYS = ["text", "source_insight_id", "subject", "attribute", "value", "confidence"]
entries = st.dictionaries(st.sampled_from(ENTRY_KEYS), json_values, max_size=6)
replies = st.fixed_dictionaries({}, optional={
    "proposed": st.lists(entries | json_values, max_size=5),
    "facts": st.lists(entries | json_values, max_size=5),
    "claims": st.lists(entries | json_values, max_size=5),
})


@st.composite
def mutated(draw: st.DrawFn) -> str:
    """A well-formed, possibly fenced reply with a few characters changed."""
    text = json.dumps(draw(replies), ensure_ascii=draw(st.booleans()))
    if draw(st.booleans()):
        text = "```" + draw(st.sampled_from(["json", "JSON", "", "jsonc"])) + "\n" + text + "\n```"
    for _ in range(draw(st.integers(0, 3))):
        if not text:
            break
        i = draw(st.integers(0, len(text) - 1))
        op = draw(st.sampled_from(["drop", "dup", "swap"]))
        if op == "drop":
            text = text[:i] + text[i + 1:]
        elif op == "dup":
            text = text[:i] + text[i] + text[i:]
        else:
            text = text[:i] + draw(st.characters()) + text[i + 1:]
    return text


def _check_records(records: object, keys: list[str]) -> None:
    assert isinstance(records, list)
    for r in records:
        assert isinstance(r, dict) and list(r) == keys
        for k in keys:
            if k == "confidence":
                assert type(r[k]) is float and 0.5 <= r[k] <= 1.0
            else:
                assert type(r[k]) is str


def _run_parsers(text: str, ids: frozenset[str]) -> None:
    props = evolution.parse_evolution_output(text, ids)
    _check_records(props, ["text", "source_insight_id"])
    for p in props:
        assert p["text"] and p["text"] == p["text"].strip()
        assert p["source_insight_id"] in ids or (not ids and p["source_insight_id"] == "")
    _check_records(extraction.parse_extraction_output(text),
                   ["subject", "attribute", "value", "confidence"])
    _check_records(extraction.parse_claim_extraction_output(text), ["subject", "attribute", "value"])
    assert type(consolidation.parse_consolidation_output(text)) is str
    assert type(journal.parse_journal_output(text)) is str
    ok, summary = convergence_judge.parse_convergence_verdict(text)
    assert type(ok) is bool and type(summary) is str


ids_sets = st.frozensets(st.text(max_size=5), max_size=4)


@given(any_text, ids_sets)
def test_parsers_never_raise_on_any_text(text: str, ids: frozenset[str]) -> None:
    _run_parsers(text, ids)


@given(mutated(), ids_sets)
def test_parsers_never_raise_on_mutated_replies(text: str, ids: frozenset[str]) -> None:
    _run_parsers(text, ids)


@given(json_values, ids_sets)
def test_parsers_never_raise_on_any_json_value(value: object, ids: frozenset[str]) -> None:
    _run_parsers(json.dumps(value), ids)


memory_values = st.none() | st.booleans() | st.integers() | st.floats() | any_text
memories = st.lists(st.fixed_dictionaries(
    {"content": any_text | st.dictionaries(any_text, json_values, max_size=3),
     "event_type": memory_values, "created_at": memory_values},
    optional={"salience": memory_values, "id": memory_values}), max_size=5)


@given(memories)
def test_memory_builders_render_every_memory(mems: list[dict[str, object]]) -> None:
    for build in (consolidation.build_consolidation_prompt, journal.build_journal_prompt):
        system, messages = build(mems)
        assert type(system) is str
        assert [list(m) for m in messages] == [["role", "content"]]
        assert messages[0]["content"].count("\n[") >= len(mems) - 1


@given(st.lists(st.fixed_dictionaries({"id": memory_values, "text": memory_values}), max_size=5),
       st.lists(any_text, max_size=5), st.integers(-(2**80), 2**80), st.none() | any_text)
def test_evolution_builder(insights: list[dict[str, object]], directives: list[str], limit: int,
                           style: str | None) -> None:
    system, messages = evolution.build_evolution_prompt(insights, directives, limit, style)
    assert f"Derive at most {limit} new" in system
    assert messages == [{"role": "user", "content": "Generate directive proposals."}]


@given(any_text, st.integers(-(2**80), 2**80), any_text)
def test_extraction_builders(content: str, limit: int, role: str) -> None:
    system, _ = extraction.build_extraction_prompt(content, limit, role)
    assert f"Extract at most {limit} atomic facts." in system
    system, _ = extraction.build_claim_extraction_prompt(content, limit)
    assert f"Extract at most {limit} atomic claims." in system


@given(st.lists(st.tuples(any_text, any_text), max_size=6))
def test_convergence_builder(turns: list[tuple[str, str]]) -> None:
    prompt = convergence_judge.build_convergence_prompt(turns)
    assert prompt.startswith("Thread transcript (chronological):\n")
    assert prompt.count("\n- [") >= len(turns)


@given(any_text)
def test_domain_is_always_published(text: str) -> None:
    assert rule_domains.classify_directive_domain(text) in rule_domains.DIRECTIVE_DOMAINS


@given(st.lists(st.builds(SharedMemory, content=any_text,
                          team_score=st.floats() | st.integers(-(2**70), 2**70)), max_size=8))
def test_group_digest_any_scores(rows: list[SharedMemory]) -> None:
    body = group_digest.build_group_digest_prompt(rows)
    assert body.startswith("Team-shared memories")
    try:
        key = group_digest.compute_prompt_hash(body)
    except UnicodeEncodeError:  # a lone surrogate cannot be hashed as UTF-8
        return
    assert len(key) == 16 and set(key) <= set("0123456789abcdef")


@given(st.integers(0, 40).flatmap(lambda n: st.tuples(
    st.lists(st.floats() | st.integers(-(2**53), 2**53), min_size=n, max_size=n),
    st.lists(st.floats() | st.integers(-(2**53), 2**53), min_size=n, max_size=n))))
def test_cosine_never_raises_on_equal_lengths(pair: tuple[list[float], list[float]]) -> None:
    assert type(convergence_judge.cosine_similarity(*pair)) is float


counts = st.integers(-(2**70), 2**70) | st.floats(allow_nan=False, allow_infinity=False,
                                                  min_value=-1e18, max_value=1e18)
stats_maps = st.fixed_dictionaries({}, optional={
    "memory": st.fixed_dictionaries({}, optional={
        "event_type_counts": st.dictionaries(st.text(max_size=4), counts, max_size=5),
        "reinforced_count": counts, "total_memories": counts, "captures_7d": counts}),
    "dreams": st.fixed_dictionaries({}, optional={
        "runs_7d": counts, "failure_count_7d": counts, "success_rate_7d": st.floats()}),
    "critic": st.fixed_dictionaries({}, optional={"pass_rate_7d": st.floats()}),
    "journals": st.fixed_dictionaries({}, optional={"entries_7d": counts}),
    "directives": st.fixed_dictionaries({}, optional={"demotion_rate_7d": st.floats()}),
})


@given(stats_maps)
def test_health_score_stays_in_unit_interval(stats: dict[str, dict[str, object]]) -> None:
    profile = TuningProfile.balanced()
    score = health.compute_kelvane_score(stats, profile)
    assert 0.0 <= score <= 1.0 and not math.isnan(score)
    status = health.classify_cognitive_health(stats, score, profile)
    assert health.remedy_url_for(status) is None or health.remedy_url_for(status).startswith("http")
