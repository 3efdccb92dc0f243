"""Journal prompt and reply parser."""

from __future__ import annotations

import collections.abc

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kelvane_layer._internal import journal as j

SYSTEM = (
    "You are a journal synthesis engine for an AI agent. Your task is to produce a concise, "
    "cohesive journal entry from a set of memories.\n"
    "\n"
    "Rules:\n"
    "- Synthesize the memories into a NARRATIVE \u2014 connect themes, note patterns, surface "
    "tensions or contradictions.\n"
    "- Do NOT list or enumerate the memories. This is a journal, not a log.\n"
    "- Keep the output concise: aim for 3-8 sentences.\n"
    "- Do NOT include preamble, explanation, headers, or meta-commentary.\n"
    "- Do NOT wrap the output in quotes or markdown code fences.\n"
    "- Respond with ONLY the journal entry text.\n"
)
HEAD = ("Below are {n} memories captured by an AI agent. Synthesize them into a single journal "
        "entry that captures the key themes, patterns, and connections.\n\n"
        "Memories (sorted by creation time):\n")


def user_of(memories):
    system, messages = j.build_journal_prompt(memories)
    assert system == SYSTEM
    assert len(messages) == 1 and list(messages[0]) == ["role", "content"]
    assert messages[0]["role"] == "user"
    return messages[0]["content"]


def test_published_names_and_templates():
    assert j.__all__ == ["build_journal_prompt", "parse_journal_output"]
    assert j._JOURNAL_SYSTEM == SYSTEM
    assert j._JOURNAL_USER == HEAD.replace("{n}", "{count}") + "{formatted_memories}\n"


def test_whole_prompt():
    memories = [
        {"id": 1, "content": "Deploy failed twice", "event_type": "observation",
         "salience": 0.7, "created_at": "2026-01-05T10:00:00"},
        {"content": {"a": 1, "b": "\u00e9"}, "event_type": "fact",
         "created_at": "2026-01-06T08:30:00"},
    ]
    assert user_of(memories) == HEAD.format(n=2) + (
        "[1] (observation, salience=0.7, 2026-01-05T10:00:00): Deploy failed twice\n"
        '[2] (fact, salience=N/A, 2026-01-06T08:30:00): {"a": 1, "b": "\\u00e9"}\n')


def test_empty_list():
    assert user_of([]) == HEAD.format(n=0) + "\n"


@pytest.mark.parametrize("memory, shown", [
    ({}, "N/A"), ({"salience": None}, "None"), ({"salience": 1}, "1"),
    ({"salience": 0.5}, "0.5"), ({"salience": 0.734}, "0.734"), ({"salience": 1e-05}, "1e-05"),
    ({"salience": "high"}, "high"), ({"salience": True}, "True"),
])
def test_salience(memory, shown):
    out = user_of([{"content": "c", "event_type": "e", "created_at": "t", **memory}])
    assert out.endswith(f"[1] (e, salience={shown}, t): c\n")


@given(st.floats() | st.integers() | st.booleans())
def test_number_values_read_as_their_str(x):
    out = user_of([{"content": x, "event_type": x, "salience": x, "created_at": x}])
    assert out.endswith(f"[1] ({x}, salience={x}, {x}): {x}\n")


class Registered:
    """A mapping by registration only: no get(), no mixin methods at all."""

    def __init__(self, **d):
        self.d = d

    def __getitem__(self, key):
        return self.d[key]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


collections.abc.Mapping.register(Registered)


def test_salience_is_read_through_the_mapping_protocol():
    # Absent from a registered Mapping: m[key] raised KeyError.
    out = user_of([Registered(content="c", event_type="e", created_at="t")])
    assert out.endswith("[1] (e, salience=N/A, t): c\n")
    out = user_of([Registered(content="c", event_type="e", created_at="t", salience=0.5)])
    assert out.endswith("[1] (e, salience=0.5, t): c\n")

    class Record(dict):  # a subclass's own subscript is what answers
        def __getitem__(self, key):
            return "via getitem" if key == "salience" else super().__getitem__(key)

    out = user_of([Record(content="c", event_type="e", created_at="t")])
    assert out.endswith("[1] (e, salience=via getitem, t): c\n")

    # __missing__ is for m[key]: the optional salience is read as dict.get()
    # reads it, and the caller's map gains no key.
    memory = collections.defaultdict(float, content="c", event_type="e", created_at="t")
    assert user_of([memory]).endswith("[1] (e, salience=N/A, t): c\n")
    assert "salience" not in memory


def test_order_given_is_kept_and_content_is_copied_whole():
    big = "x" * 59_999 + "\u00e9"
    memories = [
        {"content": "newest", "event_type": "e", "created_at": "2026-03-01"},
        {"content": big, "event_type": "e", "created_at": "2026-02-01"},
        {"content": "oldest", "event_type": "e", "created_at": "2026-01-01"},
    ]
    assert user_of(memories) == HEAD.format(n=3) + (
        "[1] (e, salience=N/A, 2026-03-01): newest\n"
        f"[2] (e, salience=N/A, 2026-02-01): {big}\n"
        "[3] (e, salience=N/A, 2026-01-01): oldest\n")


@pytest.mark.parametrize("memory, missing", [
    ({"event_type": "e", "created_at": "t"}, "content"),
    ({"content": "x", "salience": 1}, "event_type"),
    ({"content": "x", "event_type": "e", "salience": 1}, "created_at"),
    ({"content": "x", "event_type": "e"}, "created_at"),
])
def test_missing_required_key(memory, missing):
    good = {"content": "ok", "event_type": "e", "created_at": "t"}
    with pytest.raises(KeyError) as info:
        j.build_journal_prompt([good, memory])
    assert info.value.args == (missing,)


def test_salience_is_read_before_created_at():
    class Loud(dict):
        def __getitem__(self, key):
            if key == "salience":
                raise LookupError(f"get {key}")  # not a KeyError: propagates unchanged
            return super().__getitem__(key)

    with pytest.raises(LookupError, match="get salience"):
        j.build_journal_prompt([Loud(content="x", event_type="e")])


def test_self_containing_content_fails():
    d: dict[str, object] = {}
    d["d"] = d
    with pytest.raises(ValueError, match="Circular reference detected"):
        j.build_journal_prompt([{"content": d, "event_type": "e", "created_at": "t"}])


@pytest.mark.parametrize("bad", [None, (), "x", [("content", "x")]])
def test_memories_must_be_a_list_of_mappings(bad):
    with pytest.raises(TypeError, match="memories"):
        j.build_journal_prompt(bad)
    with pytest.raises(TypeError, match="memories"):
        j.build_journal_prompt([{"content": "x", "event_type": "e", "created_at": "t"}, bad])


FENCE = "```"


# The cleaning itself is shared with consolidation and tested there in full.
@pytest.mark.parametrize("reply, expected", [
    (f'{FENCE}\n"Today."\n{FENCE}', "Today."),
    (f'"{FENCE}Today.{FENCE}"', f"{FENCE}Today.{FENCE}"),
    ("\t\n \u3000", ""),
])
def test_reply_cleaning(reply, expected):
    assert j.parse_journal_output(reply) == expected
    assert j.parse_journal_output(response=reply) == expected


def test_response_must_be_text():
    with pytest.raises(TypeError, match="response"):
        j.parse_journal_output(None)
