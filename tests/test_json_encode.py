"""JSON encoding of map content, as the reflection prompts show it to the LLM.

The encoder lives in the shared library; it is reached here through the
consolidation builder, whose memory line ends with the encoded content.
"""

from __future__ import annotations

import collections
import datetime
import enum
import json
import math
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kelvane_layer._internal import consolidation, journal

PREFIX = "Memories:\n[1] (e, t): "


def enc(content: object) -> str:
    _, messages = consolidation.build_consolidation_prompt(
        [{"content": content, "event_type": "e", "created_at": "t"}])
    text = messages[0]["content"]
    start = text.index(PREFIX) + len(PREFIX)
    assert text.endswith("\n")
    return text[start:-1]


def test_example_member_order_and_escape():
    assert enc({"a": 1, "b": "\u00e9"}) == '{"a": 1, "b": "\\u00e9"}'
    assert enc({"b": 1, "a": 2}) == '{"b": 1, "a": 2}'  # never sorted
    assert enc({}) == "{}"
    assert enc({"x": [], "y": {}, "z": ()}) == '{"x": [], "y": {}, "z": []}'


def test_string_escapes():
    s = '"\\/\n\r\t\b\f\x00\x1f\x7f ~\u00e9\u2014\U0001f600\ud800\udfff'
    assert enc({"s": s}) == (
        '{"s": "\\"\\\\/\\n\\r\\t\\b\\f\\u0000\\u001f\\u007f ~\\u00e9\\u2014'
        '\\ud83d\\ude00\\ud800\\udfff"}')
    assert enc({"\u00e9\n": 1}) == '{"\\u00e9\\n": 1}'


@pytest.mark.parametrize("value, text", [
    (0.4, "0.4"), (1.0, "1.0"), (-0.0, "-0.0"), (1e-05, "1e-05"), (1e16, "1e+16"),
    (123456789012345.6, "123456789012345.6"), (5e-324, "5e-324"),
    (math.nan, "NaN"), (math.inf, "Infinity"), (-math.inf, "-Infinity"),
    (0, "0"), (-7, "-7"), (2**100, str(2**100)), (-(2**64), str(-(2**64))),
    (True, "true"), (False, "false"), (None, "null"),
])
def test_scalars(value, text):
    assert enc({"v": value}) == '{"v": ' + text + "}"
    assert enc({"v": [value]}) == '{"v": [' + text + "]}"


class Colour(enum.IntEnum):
    RED = 3


class Ratio(float):
    def __repr__(self) -> str:
        return "Ratio!"


class Name(str):
    def __str__(self) -> str:
        return "ignored"


def test_subclasses_are_written_by_their_base_kind():
    assert enc({"c": Colour.RED, "r": Ratio(0.5), "n": Name("x\u00e9")}) == (
        '{"c": 3, "r": 0.5, "n": "x\\u00e9"}')
    od = collections.OrderedDict([("z", 1), ("a", 2)])
    assert enc({"od": od, "t": (1, (2, 3))}) == '{"od": {"z": 1, "a": 2}, "t": [1, [2, 3]]}'


def test_non_text_keys():
    assert enc({7: "a", 2.5: "b", True: "c", None: "d", math.nan: "e", -math.inf: "f",
                2**70: "g", Colour.RED: "h"}) == (
        '{"7": "a", "2.5": "b", "true": "c", "null": "d", "NaN": "e", "-Infinity": "f", '
        f'"{2**70}": "g", "3": "h"}}')


@pytest.mark.parametrize("key", [(1, 2), frozenset(), b"k", object()])
def test_unsupported_key_kind(key):
    with pytest.raises(TypeError, match="keys must be str, int, float, bool or None"):
        enc({"ok": 1, "nested": {key: 1}})


class Plain:
    def __str__(self) -> str:
        return "plain \u00e9"


def test_other_values_by_their_plain_text_form():
    when = datetime.datetime(2026, 1, 5, 10, 0)
    proxy = types.MappingProxyType({"a": 1})  # a mapping, but not a dict
    assert enc({"d": when, "s": {3}, "o": Plain(), "p": proxy, "b": b"x"}) == (
        '{"d": "2026-01-05 10:00:00", "s": "{3}", "o": "plain \\u00e9", '
        '"p": "{\'a\': 1}", "b": "b\'x\'"}')


def test_self_containing_containers_fail():
    d: dict[str, object] = {}
    d["self"] = d
    lst: list[object] = [1]
    lst.append(lst)
    indirect: dict[str, object] = {"l": [{"x": None}]}
    indirect["l"][0]["x"] = indirect  # type: ignore[index]
    for bad in (d, {"l": lst}, indirect):
        with pytest.raises(ValueError, match="Circular reference detected"):
            enc(bad)


@pytest.mark.parametrize("depth", [1, 31, 32, 33, 500])
def test_cycles_are_found_at_any_depth(depth):
    root: dict[str, object] = {}
    cur = root
    for _ in range(depth):
        cur["k"] = {}
        cur = cur["k"]  # type: ignore[assignment]
    cur["back"] = root
    with pytest.raises(ValueError, match="Circular reference detected"):
        enc(root)
    del cur["back"]
    assert enc(root).count("{") == depth + 1  # and no stale "open" marks remain


def test_shared_but_not_circular_is_fine():
    shared = [1, {"a": 2}]
    assert enc({"x": shared, "y": shared}) == '{"x": [1, {"a": 2}], "y": [1, {"a": 2}]}'


@pytest.mark.parametrize("kind", ["dict", "list"])
def test_very_deep_nesting_does_not_exhaust_the_stack(kind):
    depth = 100_000
    root: dict[str, object] = {}
    cur: object = root
    for _ in range(depth):
        nxt: object = {} if kind == "dict" else []
        if isinstance(cur, dict):
            cur["k"] = nxt
        else:
            cur.append(nxt)  # type: ignore[attr-defined]
        cur = nxt
    out = enc(root)
    opener = '{"k": ' if kind == "dict" else "["
    closer = "}" if kind == "dict" else "]"
    assert out.startswith('{"k": ' + opener * 3)
    assert len(out) == len('{"k": ') + (depth - 1) * len(opener) + 2 + depth
    assert out.endswith(closer * depth + "}")


def test_errors_from_values_propagate_without_a_partial_prompt():
    class Broken:
        def __str__(self) -> str:
            raise RuntimeError("no text")

    with pytest.raises(RuntimeError, match="no text"):
        enc({"a": [1, Broken()]})


def test_mutation_while_encoding_is_safe():
    victim: list[object] = []

    class Shrinker:
        def __str__(self) -> str:
            victim.clear()
            return "s"

    victim.extend([Shrinker(), "gone", "gone too"])
    assert enc({"v": victim}) == '{"v": ["s"]}'

    grower: dict[str, object] = {}

    class Grower:
        def __str__(self) -> str:
            for i in range(100):  # forces the dict to be resized mid-walk
                grower[f"new{i}"] = i
            return "g"

    grower["a"] = Grower()
    assert enc(grower).startswith('{"a": "g"')  # what follows is unspecified, but safe

    class Items(dict):  # a dict subclass whose items() misbehaves
        def items(self):  # type: ignore[override]
            return [("a", 1, 2)]

    with pytest.raises(ValueError):
        enc(Items(a=1))


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(),
    lambda inner: st.lists(inner, max_size=4)
    | st.dictionaries(st.text() | st.integers() | st.floats() | st.booleans() | st.none(),
                      inner, max_size=4),
    max_leaves=20,
)


@given(st.dictionaries(st.text(), json_values, max_size=4))
def test_matches_the_host_encoder_layout(value):
    # The host's JSON encoder with its default separators writes the same
    # layout; the encoding here must agree with it byte for byte.
    assert enc(value) == json.dumps(value, default=str)


@pytest.mark.parametrize("special", ['"', "\\", "\n", "\x00", "\x1f", "\x7f", "\u00e9", "\u2014",
                                     "\U0001f600"])
def test_escapes_at_every_offset_of_a_plain_run(special):
    # Plain text is measured and copied in runs, eight one-byte units at a
    # time; an escape at any position of such a block, a run ending with the
    # string, and text of every storage width must all be written exactly,
    # by the short-string path and by the one for long strings.
    for pad in ("", "p" * 64):
        for k in range(20):
            for tail in ("", "b" * 9, "c" * 16):
                text = "a" * k + special + tail + pad
                value = {text: [text, special + special + text + special]}
                assert enc(value) == json.dumps(value)


@given(st.floats())
def test_floats_are_written_as_the_host_writes_them(x):
    assert enc({"v": x}) == json.dumps({"v": x})


def test_journal_uses_the_same_encoding():
    _, messages = journal.build_journal_prompt(
        [{"content": {"a": [1.5, None], "\u00e9": True}, "event_type": "e", "created_at": "t"}])
    assert messages[0]["content"].endswith(
        '[1] (e, salience=N/A, t): {"a": [1.5, null], "\\u00e9": true}\n')
