import json
import logging

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kelvane_layer._internal import extraction
from kelvane_layer._internal.evolution import parse_evolution_output
from kelvane_layer._internal.extraction import (
    build_claim_extraction_prompt,
    build_extraction_prompt,
    parse_claim_extraction_output,
    parse_extraction_output,
)

LOGGER = "kelvane_layer._internal.extraction"

FACTS_SYSTEM = """You are an atomic fact extractor. Your task is to extract verifiable factual claims from a single memory excerpt.

MEMORY ROLE: {role}
MEMORY CONTENT:
{memory_block}

Extract at most {max_facts} atomic facts.

Rules:
- Each fact is a single (subject, attribute, value) triple.
- A fact must be EXPLICITLY stated in the memory \u2014 no inference, no paraphrase that adds meaning, no embellishment.
- Subject: the entity the fact is about (e.g., "Jorvan", "the user", "Acme Corp"). Use the most specific identifier present.
- Attribute: a short noun phrase naming the property (e.g., "location", "employer", "preferred_language"). snake_case preferred.
- Value: the asserted value, copied as faithfully as possible from the source.
- Confidence: 0.0-1.0. Use 0.9+ only for direct, unambiguous statements. Use 0.5-0.7 for paraphrasable but clear claims. Below 0.5 should not be emitted at all.
- Skip opinions, hypotheticals, questions, and meta-commentary about the conversation itself.
- If the memory contains no extractable facts, return an empty list.

Respond with JSON only \u2014 no preamble, no commentary:
{{"facts": [{{"subject": "...", "attribute": "...", "value": "...", "confidence": 0.0}}, ...]}}
"""

CLAIMS_SYSTEM = """You are a claim extractor. Your task is to extract verifiable factual claims from a draft response an AI agent is about to send to a user.

DRAFT RESPONSE:
{output_block}

Extract at most {max_claims} atomic claims.

Rules:
- Each claim is a single (subject, attribute, value) triple.
- Only include claims that assert facts about the world or about specific entities (people, places, things, prior conversation history).
- Skip greetings, questions, opinions, suggestions, and meta-commentary ("I can help with that", "Would you like me to...").
- Skip claims about the agent's own capabilities or limitations.
- Subject: the entity the claim is about. Use the most specific identifier present.
- Attribute: a short noun phrase naming the property (snake_case preferred).
- Value: the asserted value, copied as faithfully as possible.
- If the draft contains no verifiable factual claims, return an empty list.

Respond with JSON only \u2014 no preamble, no commentary:
{{"claims": [{{"subject": "...", "attribute": "...", "value": "..."}}, ...]}}
"""


def render(template, **values):
    # Reference rendering for the tests: the values used hold no braces.
    return template.format(**values)


def test_module_surface():
    assert extraction.__all__ == [
        "build_extraction_prompt",
        "parse_extraction_output",
        "build_claim_extraction_prompt",
        "parse_claim_extraction_output",
    ]
    assert extraction._EXTRACTION_SYSTEM == FACTS_SYSTEM
    assert extraction._CLAIM_EXTRACTION_SYSTEM == CLAIMS_SYSTEM
    assert FACTS_SYSTEM.count("\n") == 20 and CLAIMS_SYSTEM.count("\n") == 19


@pytest.mark.parametrize(
    "args, kwargs, role, block, limit",
    [
        (("\n\n  I moved to Lyon.\nI work at Acme.  \n\n", 5), {}, "user", "I moved to Lyon.\nI work at Acme.", "5"),
        (("I like tea", 3.99), {"role": "assistant"}, "assistant", "I like tea", "3"),
        (("", -1), {"role": " system "}, " system ", "", "-1"),
        (("\u3000 \t", 0), {}, "user", "", "0"),
    ],
)
def test_whole_fact_prompt(args, kwargs, role, block, limit):
    system, messages = build_extraction_prompt(*args, **kwargs)
    assert system == render(FACTS_SYSTEM, role=role, memory_block=block, max_facts=limit)
    assert messages == [{"role": "user", "content": "Extract facts."}]


def test_real_signatures():
    import inspect

    assert str(inspect.signature(build_extraction_prompt)) == "(memory_content, max_facts, role='user')"
    assert str(inspect.signature(build_claim_extraction_prompt)) == "(output, max_claims)"
    assert build_extraction_prompt(max_facts=2, memory_content="m") == build_extraction_prompt("m", 2)


def test_empty_memory_leaves_an_empty_line():
    assert "MEMORY CONTENT:\n\n\nExtract at most 5 atomic facts." in build_extraction_prompt(" ", 5)[0]


@pytest.mark.parametrize(
    "draft, limit, block, shown",
    [("\n\nParis is in France.\n\n", 10, "Paris is in France.", "10"), ("", 2.5, "", "2")],
)
def test_whole_claim_prompt(draft, limit, block, shown):
    system, messages = build_claim_extraction_prompt(draft, limit)
    assert system == render(CLAIMS_SYSTEM, output_block=block, max_claims=shown)
    assert messages == [{"role": "user", "content": "Extract claims."}]


def test_braces_in_content_are_copied_unchanged():
    tricky = "{role} {{max_facts}} {output_block} }"
    assert f"MEMORY CONTENT:\n{tricky}\n\n" in build_extraction_prompt(tricky, 1, role="{memory_block}")[0]
    assert "MEMORY ROLE: {memory_block}\n" in build_extraction_prompt(tricky, 1, role="{memory_block}")[0]
    assert f"DRAFT RESPONSE:\n{tricky}\n\n" in build_claim_extraction_prompt(tricky, 1)[0]


@pytest.mark.parametrize(
    "call",
    [
        lambda: build_extraction_prompt(None, 5),
        lambda: build_extraction_prompt(b"x", 5),
        lambda: build_extraction_prompt("x", "5"),
        lambda: build_extraction_prompt("x", None),
        lambda: build_extraction_prompt("x", 5, role=None),
        lambda: build_extraction_prompt("x", 5, 1),
        lambda: build_claim_extraction_prompt(["x"], 5),
        lambda: build_claim_extraction_prompt("x", [5]),
        lambda: build_claim_extraction_prompt("x"),
        lambda: parse_extraction_output(None),
        lambda: parse_extraction_output(b"{}"),
        lambda: parse_claim_extraction_output(1),
        lambda: build_extraction_prompt("x", 5, "user", "extra"),
        lambda: build_extraction_prompt("x", max_facts=5, memory_content="y"),
        lambda: parse_extraction_output(),
        lambda: parse_extraction_output("{}", strict=True),
    ],
)
def test_wrong_argument_kinds_raise_type_error(caplog, call):
    with caplog.at_level(logging.DEBUG), pytest.raises(TypeError):
        call()
    assert caplog.records == []


# ---- fact parser ----------------------------------------------------------


def fact_reply(confidence_text, subject='"s"', attribute='"a"', value='"v"'):
    members = f'"subject": {subject}, "attribute": {attribute}, "value": {value}'
    return '{"facts": [{' + members + f', "confidence": {confidence_text}' + "}]}"


@pytest.mark.parametrize(
    "conf, expected",
    [
        ("0.5", 0.5),
        ("1.0", 1.0),
        ("1", 1.0),
        ("true", 1.0),
        ("0.75", 0.75),
        ("5e-1", 0.5),
        ("0.49999999999999999999", 0.5),  # rounds to 0.5 as a double
        ("1.0000000000000001", 1.0),
        ("0.4999999999999999", None),
        ("1.000000000000001", None),
        ("false", None),
        ("0", None),
        ("-1", None),
        ('"0.9"', None),
        ('"1"', None),
        ("null", None),
        ("[0.9]", None),
        ('{"v": 0.9}', None),
        ("Infinity", None),
        ("-Infinity", None),
        ("1e-400", None),
        ("NaN", None),  # never a fact: its confidence would lie outside [0.5, 1.0]
        ("1" + "0" * 300, None),
        ("17976931348623157" + "0" * 292, None),  # the largest integer the decoder takes
    ],
)
def test_confidence_rules(caplog, conf, expected):
    with caplog.at_level(logging.WARNING):
        result = parse_extraction_output(fact_reply(conf))
    assert caplog.records == []
    if expected is None:
        assert result == []
    else:
        assert result == [{"subject": "s", "attribute": "a", "value": "v", "confidence": expected}]
        assert type(result[0]["confidence"]) is float
        assert list(result[0]) == ["subject", "attribute", "value", "confidence"]


def test_absent_confidence_is_dropped():
    assert parse_extraction_output('{"facts": [{"subject": "s", "attribute": "a", "value": "v"}]}') == []


def test_integer_beyond_the_float_range_drops_only_its_fact(caplog):
    # The reply still decodes: only the entry whose confidence no float can
    # hold is dropped, never the facts beside it.
    good = '{"subject": "s", "attribute": "a", "value": "v", "confidence": 0.75}'
    reply = fact_reply("9" * 400).replace('{"facts": [', '{"facts": [' + good + ", ")
    with caplog.at_level(logging.WARNING):
        assert parse_extraction_output(reply) == [
            {"subject": "s", "attribute": "a", "value": "v", "confidence": 0.75}
        ]
    assert caplog.records == []


@pytest.mark.parametrize(
    "subject, attribute, value",
    [
        ('"   "', '"a"', '"v"'),
        ('"s"', '""', '"v"'),
        ('"s"', '"a"', "42"),
        ('"s"', '"a"', "true"),
        ("null", '"a"', '"v"'),
        ('["s"]', '"a"', '"v"'),
        ('"s"', '"a"', '"\\u3000\\n"'),
    ],
)
def test_entries_without_three_texts_are_dropped(subject, attribute, value):
    assert parse_extraction_output(fact_reply("0.9", subject, attribute, value)) == []
    claims = fact_reply("0.9", subject, attribute, value).replace('"facts"', '"claims"')
    assert parse_claim_extraction_output(claims) == []


def test_facts_are_trimmed_kept_in_order_and_not_capped():
    entries = [
        {"subject": f" s{i} ", "attribute": "\tattr\n", "value": "\u00a0v ", "confidence": 0.9, "x": 1}
        for i in range(8)
    ]
    reply = "```json\n" + json.dumps({"facts": [3, *entries, "x"], "other": []}) + "\n```"
    result = parse_extraction_output(reply)
    assert result == [
        {"subject": f"s{i}", "attribute": "attr", "value": "v", "confidence": 0.9} for i in range(8)
    ]


WARN_PARSE = "extract_facts: failed to parse LLM response as JSON"
WARN_OBJECT = "extract_facts: LLM response is not a JSON object"
WARN_LIST = "extract_facts: 'facts' field is not a list"


@pytest.mark.parametrize(
    "reply, message, field, value",
    [
        ("```JSON\n{}\n```", WARN_PARSE, "response_preview", "```JSON\n{}\n```"),
        ("x" * 500, WARN_PARSE, "response_preview", "x" * 200),
        ("[]", WARN_OBJECT, "type", "list"),
        ("1.5", WARN_OBJECT, "type", "float"),
        ('{"facts": null}', WARN_LIST, "type", "NoneType"),
        ('{"facts": {}}', WARN_LIST, "type", "dict"),
        ('{"facts": "[]"}', WARN_LIST, "type", "str"),
        ('{"facts": 3}', WARN_LIST, "type", "int"),
    ],
)
def test_fact_warnings(caplog, reply, message, field, value):
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert parse_extraction_output(reply) == []
    (record,) = caplog.records
    assert (record.name, record.levelno, record.getMessage()) == (LOGGER, logging.WARNING, message)
    assert getattr(record, field) == value


@pytest.mark.parametrize("reply", ['```json\n{"facts": []}\n```', "{}", '{"facts": [1, {}]}'])
def test_well_formed_fact_replies_without_facts_log_nothing(caplog, reply):
    with caplog.at_level(logging.DEBUG):
        assert parse_extraction_output(reply) == []
    assert caplog.records == []


# ---- claim parser ---------------------------------------------------------


@pytest.mark.parametrize(
    "reply", ["[]", '"x"', "null", '{"claims": "abc"}', '{"claims": null}', '{"claims": {}}', "{}"]
)
def test_claim_shape_problems_are_silent(caplog, reply):
    with caplog.at_level(logging.DEBUG):
        assert parse_claim_extraction_output(reply) == []
    assert caplog.records == []


def test_claims_ignore_confidence_and_extra_members():
    reply = json.dumps(
        {"claims": [
            {"subject": " Paris ", "attribute": "country", "value": "France", "confidence": 0.1},
            {"subject": "x", "attribute": "y", "value": "z", "confidence": "bad", "extra": None},
            {"subject": "x", "attribute": "y", "value": 5},
        ]}
    )
    result = parse_claim_extraction_output(reply)
    assert result == [
        {"subject": "Paris", "attribute": "country", "value": "France"},
        {"subject": "x", "attribute": "y", "value": "z"},
    ]
    assert all(list(r) == ["subject", "attribute", "value"] for r in result)


def test_undecodable_claim_reply_logs_one_warning(caplog):
    reply = " \n" + "{" * 300
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert parse_claim_extraction_output(reply) == []
    (record,) = caplog.records
    assert record.getMessage() == "extract_claims: failed to parse LLM response as JSON"
    assert record.response_preview == reply[:200]


# ---- every parser, any reply ---------------------------------------------

json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=4)
    | st.dictionaries(
        st.sampled_from(["subject", "attribute", "value", "confidence", "text",
                         "source_insight_id", "facts", "claims", "proposed", "x"]),
        inner, max_size=5),
    max_leaves=25,
)


def mutations(text):
    return st.tuples(st.integers(0, len(text)), st.integers(0, 8), st.text(max_size=4)).map(
        lambda t: text[: t[0]] + t[2] + text[t[0] + t[1]:]
    )


replies = (
    st.text()
    | json_values.map(json.dumps)
    | json_values.map(lambda v: "```json\n" + json.dumps({"facts": v, "claims": v, "proposed": v}) + "\n```")
        .flatmap(mutations)
)


def well_formed(records, keys, *, confidence=False):
    assert type(records) is list
    for r in records:
        assert type(r) is dict and list(r) == keys
        for k in keys:
            if k == "confidence":
                assert type(r[k]) is float and 0.5 <= r[k] <= 1.0
            elif k != "source_insight_id":
                assert type(r[k]) is str and r[k] and r[k] == r[k].strip()


@given(replies, st.frozensets(st.text(max_size=3), max_size=3))
def test_parsers_never_raise_and_return_well_formed_records(reply, ids):
    logging.getLogger(LOGGER).disabled = True
    logging.getLogger("kelvane_layer._internal.evolution").disabled = True
    try:
        well_formed(parse_extraction_output(reply), ["subject", "attribute", "value", "confidence"])
        well_formed(parse_claim_extraction_output(reply), ["subject", "attribute", "value"])
        proposals = parse_evolution_output(reply, ids)
        well_formed(proposals, ["text", "source_insight_id"])
        for p in proposals:
            assert p["source_insight_id"] in ids if ids else p["source_insight_id"] == ""
    finally:
        logging.getLogger(LOGGER).disabled = False
        logging.getLogger("kelvane_layer._internal.evolution").disabled = False


@pytest.mark.parametrize(
    "entry, expected",
    [
        ('{"subject": "a", "attribute": "x", "subject": "b", "value": "v", "confidence": 1}', "b"),
        ('{"subject": "a", "attribute": "x", "value": "v", "subject": 5, "confidence": 1}', None),
        ('{"subject": 5, "attribute": "x", "value": "v", "subject": "c", "confidence": 1}', "c"),
        ('{"confidence": 0.1, "subject": "d", "attribute": "x", "value": "v", "confidence": 0.6}', "d"),
    ],
)
def test_repeated_members_count_with_their_last_value(entry, expected):
    facts = parse_extraction_output('{"facts": [' + entry + "]}")
    claims = parse_claim_extraction_output('{"claims": [' + entry + "]}")
    assert [f["subject"] for f in facts] == ([] if expected is None else [expected])
    assert [c["subject"] for c in claims] == ([] if expected is None else [expected])
