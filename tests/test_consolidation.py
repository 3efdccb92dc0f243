"""Consolidation prompt, reply parser and published constants."""

from __future__ import annotations

import datetime
import types

import pytest

from kelvane_layer._internal import consolidation as c
from kelvane_layer._internal.tuning_profile import TuningProfile

SYSTEM = (
    "You are a memory consolidation engine for an AI agent. Your task is to synthesize "
    "patterns from a set of raw memories into a single insight.\n"
    "\n"
    "Rules:\n"
    "- Produce ONE concise insight (2-4 sentences).\n"
    "- The insight must capture a NON-OBVIOUS pattern, connection, or lesson across the "
    "memories \u2014 not a summary.\n"
    "- Do NOT list the memories or repeat them.\n"
    "- Do NOT include preamble, explanation, or meta-commentary.\n"
    "- Respond with ONLY the insight text.\n"
)
HEAD = ("Below are {n} memories captured by an AI agent. Identify the most significant "
        "pattern, insight, or connection.\n\nMemories:\n")


def user_of(memories):
    system, messages = c.build_consolidation_prompt(memories)
    assert system == SYSTEM
    assert len(messages) == 1 and list(messages[0]) == ["role", "content"]
    assert messages[0]["role"] == "user"
    return messages[0]["content"]


def test_published_names_and_constants():
    assert c.__all__ == ["build_consolidation_prompt", "parse_consolidation_output",
                         "MAX_CONSOLIDATION_INPUTS", "DEFAULT_CONSOLIDATION_MIN_SALIENCE",
                         "TIER2_DEDUP_THRESHOLD"]
    assert (c.MAX_CONSOLIDATION_INPUTS, c.DEFAULT_CONSOLIDATION_MIN_SALIENCE,
            c.TIER2_DEDUP_THRESHOLD) == (20, 0.4, 0.95)
    assert type(c.MAX_CONSOLIDATION_INPUTS) is int
    assert type(c.DEFAULT_CONSOLIDATION_MIN_SALIENCE) is float
    assert type(c.TIER2_DEDUP_THRESHOLD) is float
    assert c._PROFILE == TuningProfile()
    assert c._CONSOLIDATION_SYSTEM == SYSTEM
    assert c._CONSOLIDATION_USER == HEAD.replace("{n}", "{count}") + "{formatted_memories}\n"


def test_whole_prompt_for_two_memories():
    memories = [
        {"content": "Deploy failed twice", "event_type": "observation",
         "created_at": "2026-01-05T10:00:00", "id": "m1", "salience": 0.9},
        {"content": {"a": 1, "b": "\u00e9"}, "event_type": "fact",
         "created_at": "2026-01-06T08:30:00"},
    ]
    assert user_of(memories) == HEAD.format(n=2) + (
        "[1] (observation, 2026-01-05T10:00:00): Deploy failed twice\n"
        '[2] (fact, 2026-01-06T08:30:00): {"a": 1, "b": "\\u00e9"}\n')


def test_empty_list():
    assert user_of([]) == HEAD.format(n=0) + "\n"


def test_every_memory_is_rendered_without_limit_or_reordering():
    memories = [{"content": f"m{i}", "event_type": "e", "created_at": 30 - i} for i in range(30)]
    lines = user_of(memories).split("\n")[3:-1]
    assert lines == [f"[{i + 1}] (e, {30 - i}): m{i}" for i in range(30)]


def test_text_content_is_copied_verbatim():
    text = 'say "hi" \\ {count} {{x}} \u00e9\nsecond line  '
    out = user_of([{"content": text, "event_type": "{formatted_memories}", "created_at": "t"}])
    assert out == HEAD.format(n=1) + "[1] ({formatted_memories}, t): " + text + "\n"
    assert user_of([{"content": "{count}", "event_type": "e", "created_at": "t"}]).endswith(
        "): {count}\n")


@pytest.mark.parametrize("value, text", [
    (None, "None"), (True, "True"), (3, "3"), (-(2**80), str(-(2**80))), (0.1, "0.1"),
    (1e16, "1e+16"), (float("nan"), "nan"), (float("-inf"), "-inf"),
    (datetime.date(2026, 1, 5), "2026-01-05"), ([1, "a"], "[1, 'a']"),
])
def test_non_text_values_use_their_plain_text_form(value, text):
    out = user_of([{"content": value, "event_type": value, "created_at": value}])
    assert out.endswith(f"[1] ({text}, {text}): {text}\n")


def test_any_mapping_is_a_memory():
    class Record(dict):
        def __missing__(self, key):
            return f"<{key}>"

    proxy = types.MappingProxyType({"content": "p", "event_type": "e", "created_at": "t"})
    assert user_of([proxy, Record(content="r")]).endswith(
        "[1] (e, t): p\n[2] (<event_type>, <created_at>): r\n")


@pytest.mark.parametrize("memories, missing", [
    ([{"event_type": "e", "created_at": "t"}], "content"),
    ([{}], "content"),
    ([{"content": "x", "created_at": "t"}], "event_type"),
    ([{"content": "x"}], "event_type"),
    ([{"content": "x", "event_type": "e"}], "created_at"),
    ([{"content": "x", "event_type": "e", "created_at": "t"}, {"content": "y"}], "event_type"),
])
def test_missing_key_names_the_first_missing_key(memories, missing):
    with pytest.raises(KeyError) as info:
        c.build_consolidation_prompt(memories)
    assert info.value.args == (missing,)


def test_content_encoding_error_comes_before_a_later_missing_key():
    with pytest.raises(TypeError, match="keys must be"):
        c.build_consolidation_prompt([{"content": {(1,): 1}}])


@pytest.mark.parametrize("bad", [None, (), {"content": "x"}, "memories", iter([])])
def test_memories_must_be_a_list(bad):
    with pytest.raises(TypeError, match="memories"):
        c.build_consolidation_prompt(bad)


def test_every_element_is_checked_before_any_work():
    # The first memory lacks every key, yet the kind error of the second wins.
    with pytest.raises(TypeError, match="item 1 is tuple"):
        c.build_consolidation_prompt([{}, ("content", "x")])


def test_arguments_by_name_only_as_documented():
    mem = [{"content": "x", "event_type": "e", "created_at": "t"}]
    assert c.build_consolidation_prompt(memories=mem) == c.build_consolidation_prompt(mem)
    assert c.parse_consolidation_output(response=" x ") == "x"
    with pytest.raises(TypeError):
        c.build_consolidation_prompt(mem, 5)  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        c.build_consolidation_prompt(items=mem)  # type: ignore[call-arg]


def test_caller_list_is_not_touched_and_results_are_new():
    mem = [{"content": {"k": [1]}, "event_type": "e", "created_at": "t"}]
    before = repr(mem)
    first = c.build_consolidation_prompt(mem)
    second = c.build_consolidation_prompt(mem)
    assert repr(mem) == before
    assert first == second and first[1] is not second[1] and first[1][0] is not second[1][0]


FENCE = "```"


@pytest.mark.parametrize("reply, expected", [
    (f"{FENCE}\nThe insight.\n{FENCE}", "The insight."),
    (f"{FENCE}text\nThe insight.\n{FENCE}", "text\nThe insight."),
    ('"The insight."', "The insight."),
    (f'"{FENCE}The insight.{FENCE}"', f"{FENCE}The insight.{FENCE}"),
    (f'{FENCE} "The insight." {FENCE}', "The insight."),
    ("``````", ""), ("`````", ""), ("    ", ""), ("", ""), ('"', ""), ('""', ""), ('" "', ""),
    ('\u3000\u2028 "\u00a0x\u00a0" \x85', "x"),
    ('""x""', '"x"'),  # one pair of quotes only
    ("\u00e9 insight\U0001f600", "\u00e9 insight\U0001f600"),
    ("a\ud800", "a\ud800"),
])
def test_reply_cleaning(reply, expected):
    assert c.parse_consolidation_output(reply) == expected


@pytest.mark.parametrize("bad", [None, b"x", 3, ["x"]])
def test_response_must_be_text(bad):
    with pytest.raises(TypeError, match="response"):
        c.parse_consolidation_output(bad)
