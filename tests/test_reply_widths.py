"""The JSON reply parsers on replies stored at every width, against the
plain-Python models of tests/_reference_models.py.

A reply reaches a parser as the host stored it: one byte a code point
(ASCII, or Latin-1), two (the BMP) or four, and either compact or, for a str
subclass, in a buffer apart from the object.  Every case here is run in all
of these layouts: whitespace the parsers trim (U+00A0, U+3000) or an ignored
member holding an emoji widens the reply without changing what it says.

The results must be the host's own strs: two strs of different storage
widths never compare equal (the host compares the storage kind before the
text), and ``canonical`` checks the width and the ASCII flag directly, by
the object's size.
"""

from __future__ import annotations

import gc
import json
import logging
import random
import sys
import tracemalloc
from collections.abc import Callable, Iterator
from typing import Any

import pytest
from _reference_models import claims as claims_model
from _reference_models import facts as facts_model
from _reference_models import proposals as proposals_model
from hypothesis import given
from hypothesis import strategies as st

from kelvane_layer._internal.evolution import parse_evolution_output
from kelvane_layer._internal.extraction import (
    parse_claim_extraction_output,
    parse_extraction_output,
)

LOGGERS = ("kelvane_layer._internal.extraction", "kelvane_layer._internal.evolution")


class Sub(str):
    """A str subclass: its text lives apart from the object (not compact)."""


def _lift4(reply: str) -> str:
    # An ignored first member of the outermost object (where there is one)
    # holding an astral character; no whitespace lies outside the BMP.
    i = reply.find("{")
    if i < 0:
        return reply + "\U0001f4ce"
    rest = reply[i + 1:]
    comma = "" if rest.lstrip().startswith("}") else ", "
    return reply[: i + 1] + '"\U0001f4ce": "\U0001f4ce"' + comma + rest


LIFTS: dict[str, Callable[[str], str]] = {
    "as is": lambda r: r,
    "latin-1": lambda r: "\xa0" + r + "\x85",
    "ucs-2": lambda r: "\u3000" + r + " \u2028",
    "ucs-4": _lift4,
}


def width(s: str) -> int:
    top = max(map(ord, s), default=0)
    return 1 if top < 0x100 else 2 if top < 0x10000 else 4


def layouts(reply: str) -> Iterator[tuple[str, str]]:
    for name, lift in LIFTS.items():
        lifted = lift(reply)
        if name == "ucs-4":
            assert width(lifted) == 4
        yield name, lifted
        yield name + ", subclass", Sub(lifted)


# Sizes of an exact, compact str past its text: an ASCII one, and any other
# (whose text takes len + 1 units of its width).  Taken from two-character
# strs: one-character Latin-1 strs are the host's shared singletons, which
# carry their UTF-8 form too.
_ASCII_BASE = sys.getsizeof("ab") - 3
_WIDE_BASE = sys.getsizeof("\xe9\xe8") - 3


def canonical(s: object) -> bool:
    """Whether ``s`` is an exact str stored as the host stores its text: at
    the narrowest width that holds it, with the ASCII flag set exactly when
    it is ASCII, and nothing else (a cached UTF-8 form) hung on it.  A wrong
    width or flag changes the object's size."""
    if type(s) is not str:
        return False
    top = max(map(ord, s), default=0)
    if top < 0x80:
        return s.isascii() and sys.getsizeof(s) == _ASCII_BASE + len(s) + 1
    if len(s) == 1 and s is s.encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass"):
        return True  # the host's own singleton
    units = 1 if top < 0x100 else 2 if top < 0x10000 else 4
    return not s.isascii() and sys.getsizeof(s) == _WIDE_BASE + (len(s) + 1) * units


class _Records(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)


_records = _Records()


@pytest.fixture(autouse=True, scope="module")
def _capture() -> Iterator[None]:
    loggers = [logging.getLogger(name) for name in LOGGERS]
    saved = [(log.propagate, log.disabled, log.level) for log in loggers]
    for log in loggers:
        log.addHandler(_records)
        log.propagate, log.disabled = False, False
        log.setLevel(logging.WARNING)
    yield
    for log, (propagate, disabled, level) in zip(loggers, saved):
        log.removeHandler(_records)
        log.propagate, log.disabled = propagate, disabled
        log.setLevel(level)


Parser = Callable[..., Any]  # a parser, or its model


def run(parser: Parser, reply: str, *extra: object
        ) -> tuple[list[dict[str, object]], tuple[str, str, object] | None]:
    """The parser's records and the one warning it wrote, as the models give them."""
    _records.records.clear()
    got = parser(reply, *extra)
    logged = _records.records[:]
    assert len(logged) <= 1
    if not logged:
        return got, None
    r = logged[0]
    field = "type" if hasattr(r, "type") else "response_preview"
    return got, (r.getMessage(), field, getattr(r, field))


def assert_same(label: str, got: list[dict[str, object]], want: list[dict[str, object]]) -> None:
    assert got == want, label
    assert [list(r) for r in got] == [list(r) for r in want], label
    for record in got:
        for key, v in record.items():
            if key == "confidence":
                assert type(v) is float, label
            else:
                assert canonical(v), (label, key, ascii(v))


DEFAULT_IDS = frozenset({"ins-1", "ins-2"})


def same_as_models(reply: str, ids: frozenset[str], layout: str = "") -> list[int]:
    """All three parsers on ``reply`` as it is stored, against their models;
    the number of records each gave."""
    counts = []
    for parser, model, extra in (
        (parse_extraction_output, facts_model, ()),
        (parse_claim_extraction_output, claims_model, ()),
        (parse_evolution_output, proposals_model, (ids,)),
    ):
        label = f"{parser.__name__}, {layout}: {ascii(reply[:120])}"
        got, warning = run(parser, reply, *extra)
        want, want_warning = model(reply, *extra)
        assert_same(label, got, want)
        assert warning == want_warning, label
        counts.append(len(got))
    return counts


def check(reply: str, ids: frozenset[str] = DEFAULT_IDS) -> None:
    """All three parsers on ``reply`` in every layout, against their models."""
    for name, stored in layouts(reply):
        same_as_models(stored, ids, name)


def reply_of(entries: list[dict[str, object]], ensure_ascii: bool) -> str:
    """One reply that every parser reads the same entries from."""
    return json.dumps({"facts": entries, "claims": entries, "proposed": entries},
                      ensure_ascii=ensure_ascii)


def entry(text: str, source: object = "ins-2", confidence: object = 0.9) -> dict[str, object]:
    return {"subject": text, "attribute": "a" + text, "value": text + "v",
            "confidence": confidence, "text": text, "source_insight_id": source}


# -- scripts, widths and surrogates ---------------------------------------------------

SCRIPTS = {
    "ASCII": ["the customer", "order 4417", "x"],
    "Latin-1": ["caf\u00e9 cr\u00e8me", "Gr\u00f6\u00dfe", "\xff", "\x80"],
    "BMP": ["\u7530\u4e2d\u3055\u3093", "\u0175\u20ac", "\uffff", "\u0100"],
    "astral": ["\U0001f600", "ok \U0001f44d", "\U0010ffff", "\U00010000x"],
    "lone surrogates": ["\ud800", "x\udfff", "\udc00\ud800", "\ud83d"],
    "mixed": ["a\u00e9\u65e5\U0001f600\ud800", "\U0001f600a", "\u00e9\u65e5"],
}


@pytest.mark.parametrize("ensure_ascii", [False, True], ids=["raw", "escaped"])
@pytest.mark.parametrize("script", SCRIPTS)
def test_scripts_in_every_layout(script: str, ensure_ascii: bool) -> None:
    check(reply_of([entry(t) for t in SCRIPTS[script]], ensure_ascii))


# Strings as the reply spells them, and what they decode to.
SURROGATE_SPELLINGS = [
    ('"\\ud800"', "\ud800"),
    ('"a\\udc00b"', "a\udc00b"),
    ('"\\ud83d\\ude00"', "\U0001f600"),
    ('"\\uD83D\\uDE00"', "\U0001f600"),
    ('"\\ude00\\ud83d"', "\ude00\ud83d"),
    ('"\\ud800\\u0041"', "\ud800A"),
    ('"\\ud800\\ud83d\\ude00"', "\ud800\U0001f600"),
    ('"\\ud83d\\ud83d"', "\ud83d\ud83d"),
    ('"\\ud83d\ude00"', "\ud83d\ude00"),  # escaped high, raw low: two code points
    ('"\ud83d\\ude00"', "\ud83d\ude00"),
    ('"\ud83d\ude00"', "\ud83d\ude00"),  # a raw pair stays two code points
    ('"\ud800"', "\ud800"),
    ('"\\ud800\\n"', "\ud800"),  # trimmed
]


@pytest.mark.parametrize("spelled, text", SURROGATE_SPELLINGS,
                         ids=[ascii(s) for s, _ in SURROGATE_SPELLINGS])
def test_surrogates_raw_and_escaped(spelled: str, text: str) -> None:
    reply = ('{"facts": [{"subject": ' + spelled + ', "attribute": "a", "value": ' + spelled
             + ', "confidence": 1}], "proposed": [{"text": ' + spelled + "}]}")
    check(reply)
    for _, stored in layouts(reply):
        (fact,) = parse_extraction_output(stored)
        assert fact["subject"] == fact["value"] == text
        assert parse_evolution_output(stored, {"i"}) == [{"text": text, "source_insight_id": "i"}]


@pytest.mark.parametrize("spelled", ['"\\ud800\\u12"', '"\\ud800\\x"', '"\\ud83d\\"', '"\\u"'])
def test_broken_escapes_after_a_surrogate_are_undecodable(spelled: str) -> None:
    check('{"facts": [{"subject": ' + spelled + "}]}")


@pytest.mark.parametrize("bad", ["g", "\u0130", "\u0141", "\U0001f630"])
def test_a_non_digit_anywhere_in_an_escape_is_undecodable(bad: str) -> None:
    # Wide units whose low byte is a hex digit are no digit either.
    for at in range(4):
        digits = list("00e9")
        digits[at] = bad
        check('{"facts": [{"subject": "x\\u' + "".join(digits) + '"}]}')


# -- trimming, keys, ids ----------------------------------------------------------------

PADDED = [
    "\u3000caf\u00e9\u3000",
    "\xa0value\xa0",
    "\u2028\u65e5\u672c\u2028",
    " \u3000\xa0\u2028\u2029\x85\u1680\u202f\u205f\t\x1c x \U0001f600 \u3000",
    "\u200bzero width is text\ufeff",
    "\u3000\xa0\u2028",  # nothing left: the entry is dropped
    "\u3000 \x85",
    # Either side of the ranges that need no look at the whitespace table.
    "\u167fx\u1680", "\u3001\u2000", "\xa1\u205f", "\u2fff\u200a", "\xa0\x7e\x85",
]


@pytest.mark.parametrize("ensure_ascii", [False, True], ids=["raw", "escaped"])
def test_non_ascii_whitespace_trimmed_at_both_ends(ensure_ascii: bool) -> None:
    reply = reply_of([entry(t) for t in PADDED], ensure_ascii)
    check(reply)
    kept = [t.strip() for t in PADDED if t.strip()]
    assert [f["subject"] for f in parse_extraction_output(reply)] == kept
    assert [p["text"] for p in parse_evolution_output(reply, {"i"})] == kept


def test_keys_spelled_with_escapes_match() -> None:
    reply = ('{"\\u0066acts": [{"\\u0073ubject": "s", "attr\\u0069bute": "a", "valu\\u0065": "v",'
             ' "confidenc\\u0065": 0.9}], "cl\\u0061ims": [{"subject": "s", "\\u0061ttribute": "a",'
             ' "value": "v"}], "\\u0070roposed": [{"te\\u0078t": "t",'
             ' "source\\u005finsight\\u005fid": "ins-2"}]}')
    check(reply)
    assert parse_extraction_output(reply) == [
        {"subject": "s", "attribute": "a", "value": "v", "confidence": 0.9}]
    assert parse_claim_extraction_output(reply) == [{"subject": "s", "attribute": "a", "value": "v"}]
    assert parse_evolution_output(reply, DEFAULT_IDS) == [{"text": "t", "source_insight_id": "ins-2"}]
    # A name given twice, once spelled with an escape: the last one counts.
    twice = ('{"facts": [{"subject": "first", "\\u0073ubject": "last", "attribute": "a",'
             ' "valu\\u0065": "v1", "value": "v2", "confidence": 1}], "proposed": [{"te\\u0078t":'
             ' "t1", "text": "t2", "source_insight_id": "x", "source_insight_i\\u0064": "ins-2"}]}')
    check(twice)
    assert parse_extraction_output(twice) == [
        {"subject": "last", "attribute": "a", "value": "v2", "confidence": 1.0}]
    assert parse_evolution_output(twice, DEFAULT_IDS) == [{"text": "t2", "source_insight_id": "ins-2"}]


# Keys (as the reply spells them) that differ from "subject" and "text" only
# in ways a careless comparison misses: an accent, a full-width letter,
# trailing wide whitespace raw or escaped, an escaped NUL or surrogate.
NEAR_KEYS = [
    ("subj\u00e9ct", "t\u00e9xt"), ("\uff53ubject", "\uff54ext"),
    ("subject\u3000", "text\u3000"), ("subject\\u3000", "text\\u3000"),
    ("s\\u0075bject\\u0000", "t\\u0065xt\\u0000"), ("Subject", "Text"), ("subjec", "tex"),
    ("subjectt", "textt"), ("\\u0073ubject\\u00a0", "\\u0074ext\\u00a0"),
    ("sub\\ud800ject", "te\\ud800xt"), ("subject\U0001f600", "text\U0001f600"),
]


@pytest.mark.parametrize("key, text_key", NEAR_KEYS, ids=[ascii(k) for k, _ in NEAR_KEYS])
def test_non_matching_keys_are_ignored(key: str, text_key: str) -> None:
    alone = '{"KEY": "s", "attribute": "a", "value": "v", "confidence": 0.9}'
    after = '{"subject": "real", "attribute": "a", "value": "v", "KEY": "other", "confidence": 1}'
    reply = ('{"facts": [' + alone + ", " + after + "]}").replace("KEY", key)
    check(reply)
    assert [f["subject"] for f in parse_extraction_output(reply)] == ["real"]
    proposal = '{"proposed": [{"KEY": "x"}, {"text": "t", "KEY": "y"}]}'.replace("KEY", text_key)
    check(proposal)
    assert [p["text"] for p in parse_evolution_output(proposal, {"i"})] == ["t"]


IDS = frozenset({"ins-2", "caf\u00e9-7", "\u65e5\u672c-3", "\U0001f680-1", "\ud800-lone",
                 "x\U0010ffff"})
CITED = sorted(IDS) + [
    "cafe\u0301-7",  # the same text decomposed: another id
    "CAF\u00c9-7", "\U0001f680-1 ", "\u3000\u65e5\u672c-3", "\udbff-lone", "\U0001f681-1",
    "caf\u00e9-", "",
]


# Wide ids that only a full comparison tells apart: the low bytes of their
# code points are alike (U+4E00 and U+4F00, U+0161 and "a"), or they share
# their first eight code points.
ALIKE = frozenset({"\u4e00x", "\u0161", "\u4e00\u4e01\u4e02\u4e03\u4e04\u4e05\u4e06\u4e07a",
                   "\u4e00\u4e01\u4e02\u4e03\u4e04\u4e05\u4e06\u4e07b"})
ALIKE_CITED = sorted(ALIKE) + ["\u4f00x", "a", "\u4e00\u4e01\u4e02\u4e03\u4e04\u4e05\u4e06\u4e07c",
                               "\u4f00\u4e01\u4e02\u4e03\u4e04\u4e05\u4e06\u4e07a"]


@pytest.mark.parametrize("ensure_ascii", [False, True], ids=["raw", "escaped"])
@pytest.mark.parametrize("many", [False, True], ids=["few", "many"])
def test_sources_match_non_ascii_and_astral_ids(ensure_ascii: bool, many: bool) -> None:
    # "many" adds ids whose first eight code points are the same in groups of
    # ten, and ids alike in their low bytes, each cited along with near misses.
    extra = {f"\uffff{i:08}" for i in range(20)} | ALIKE
    ids = IDS | extra if many else IDS
    cited = CITED + sorted(extra) + ALIKE_CITED + ["\uffff00000020"] if many else CITED
    reply = json.dumps({"proposed": [{"text": f"t{i}", "source_insight_id": c}
                                     for i, c in enumerate(cited)]}, ensure_ascii=ensure_ascii)
    check(reply, ids)
    got = [p["source_insight_id"] for p in parse_evolution_output(reply, set(ids))]
    assert got == [c if c in ids else min(ids) for c in cited]
    assert min(ids) == "caf\u00e9-7"


def test_fallback_among_wide_ids_is_the_smallest_code_point() -> None:
    # A lone surrogate sorts between U+D7FF and U+E000; UTF-8 order keeps that.
    ids = frozenset({"\U00010000", "\uffff", "\ud800", "\ud7ff\U0010ffff", "\ue000"})
    check('{"proposed": [{"text": "t"}, {"text": "u", "source_insight_id": "\\ud800"}]}', ids)
    (p,) = parse_evolution_output('{"proposed": [{"text": "t"}]}', set(ids))
    assert p["source_insight_id"] == "\ud7ff\U0010ffff"


def test_fallback_among_one_byte_ids_orders_past_the_first_eight() -> None:
    # One-byte ids are ordered by their first eight units first: ids that
    # share those, ids that end inside them, ids of four to seven units that
    # differ only in their middle or last units, NUL and Latin-1 units, in
    # every order of the set's members.
    base = ["insight-2026-a", "insight-2026-", "insight-2026", "insight", "insigh",
            "insight\x00", "insight\x00\x00x", "insigh\xff", "\x00", "\x00\x00", "caf\xe9",
            "cafe", "insight-2025-z", "ins-19", "ins-2", "ins-1", "abcdXfg", "abcdYfg",
            "abcXefg", "ab\xffd", "abcd"]
    # Each of them cited, with near misses, finds itself among them.
    cited = base + ["insight-2026-b", "insight-202", "insight\x00\x00y", "ins-3", "abcdZfg"]
    reply = json.dumps({"proposed": [{"text": "t"}] + [{"text": "t", "source_insight_id": c}
                                                       for c in cited]})
    rng = random.Random(7)
    for n in range(1, len(base) + 1):
        for _ in range(5):
            ids = rng.sample(base, n)
            got = [p["source_insight_id"] for p in parse_evolution_output(reply, set(ids))]
            assert got == [min(ids)] + [c if c in ids else min(ids) for c in cited]


def test_insight_ids_read_from_any_set() -> None:
    # Sets with removed members (their slots stay behind, marked), more
    # members than fit on the stack, a subclass, and a non-str member.
    class IdSet(set[str]):
        pass

    many = {f"ins-{i}" for i in range(200)}
    for i in range(0, 200, 3):
        many.discard(f"ins-{i}")
    cited = [f"ins-{i}" for i in range(0, 200, 7)] + ["ins-0", "ins-201"]
    reply = json.dumps({"proposed": [{"text": f"t{i}", "source_insight_id": c}
                                     for i, c in enumerate(cited)]})
    for ids in (many, frozenset(many), IdSet(many), {f"ins-{i}" for i in range(33)},
                {"ins-9"}, set()):
        got = [p["source_insight_id"] for p in parse_evolution_output(reply, ids)]
        assert got == [c if c in ids else min(ids, default="") for c in cited]
        # A cited id that is a member comes back as the caller's own str.
        for p, c in zip(parse_evolution_output(reply, ids), cited):
            if c in ids:
                assert any(p["source_insight_id"] is m for m in ids)
    with pytest.raises(TypeError, match="insight_ids"):
        parse_evolution_output(reply, {"ins-1", 7})


def _escaped_runs(wide: str) -> list[str]:
    # Runs of one-byte text of every length around the copy's word and block
    # sizes, before and after a code point that widens the string, with raw
    # Latin-1 letters among them.
    out = []
    for k in range(0, 41):
        head = "".join(("a", "b", "\\u00e9")[i % 3] for i in range(k))
        out.append(head + wide + "z" * (k % 9) + "\\u00ff" * (k % 2))
        out.append(head + "\\u00e9" + "x" * k)
    return out


@pytest.mark.parametrize("wide", ["\\u00e9", "\\u0100", "\\u4e00", "\\ud83d\\ude00"])
def test_escaped_strings_widen_after_runs_of_any_length(wide: str) -> None:
    spelled = _escaped_runs(wide)
    items = ", ".join(f'{{"subject": "{t}", "attribute": "a", "value": "{t}", "confidence": 1,'
                      f' "text": "{t}"}}' for t in spelled)
    check(f'{{"facts": [{items}], "claims": [{items}], "proposed": [{items}]}}')
    # The same, with raw Latin-1 letters in the runs (a one-byte reply).
    raw = [t.replace("\\u00e9", "\xe9") for t in spelled]
    items = ", ".join(f'{{"subject": "{t}", "attribute": "a", "value": "{t}", "confidence": 1,'
                      f' "text": "{t}"}}' for t in raw)
    check(f'{{"facts": [{items}], "claims": [{items}], "proposed": [{items}]}}')


REPEATS = ["same", "same", "same\u3000", "\\u0073ame", "sam", "same", "caf\u00e9", "caf\u00fc",
           "caf\u00e9", "\u65e5\u672c", "\u65e5\u672c", "\U0001f600", "\U0001f600", "\ud83d",
           "\\ud83d", "\\ud83d\\ude00", "\U0001f600", "x", "x"]


def test_repeated_values_across_entries() -> None:
    # Raw and escaped spellings of one text, texts that share a prefix or a
    # UTF-8 length, and runs of one value: each record must hold its own text.
    items = []
    for i, t in enumerate(REPEATS):
        v = json.dumps(t, ensure_ascii=False)[1:-1] if "\\" not in t else t
        prev = REPEATS[i - 1] if i else "first"
        p = json.dumps(prev, ensure_ascii=False)[1:-1] if "\\" not in prev else prev
        items.append(f'{{"subject": "{v}", "attribute": "{p}", "value": "{v}", "confidence": 1,'
                     f' "text": "{v}"}}')
    for dropped in ("", '{"subject": "gone", "attribute": "a", "value": " "}, '):
        body = "[" + dropped + ", ".join(items) + "]"
        check(f'{{"facts": {body}, "claims": {body}, "proposed": {body}}}')


@pytest.mark.parametrize("pad", ["", "\u3000"], ids=["bare", "trimmed"])
@pytest.mark.parametrize("wide", ["a", "\u00e9", "\u0100", "\u4e00", "\U0001f600"])
def test_escaped_texts_alike_but_inside_stay_apart(wide: str, pad: str) -> None:
    # Each entry's escaped texts are decoded where the last entry's were,
    # and these share their length and both ends with them: each record
    # must hold its own text, not the one a cache saw there before.  Wide
    # whitespace trimmed off leaves a text stored wider than its str.
    texts = [pad + wide * 8 + middle + wide * 8 + pad for middle in "abab"]
    check(reply_of([entry(t) for t in texts], ensure_ascii=True))


def test_whitespace_runs_of_every_length_between_tokens() -> None:
    # Runs from none to past two 16-byte blocks, of every whitespace
    # character, ending on every kind of token.
    pad = [" \n\r\t"[i % 4] * (i % 3 + 1) for i in range(40)]
    for n in range(0, 40, 3):
        ws = "".join(pad)[:n]
        reply = (f'{ws}{{{ws}"facts"{ws}:{ws}[{ws}{{"subject":{ws}"s",{ws}"attribute":"a",'
                 f'"value":{ws}"v"{ws},"confidence":{ws}1{ws}}}{ws},{ws}{{}}{ws}]{ws},'
                 f'"proposed":{ws}[{ws}{{"text":{ws}"t"}}{ws}],"claims":[{ws}null{ws}]{ws}}}{ws}')
        assert json.loads(reply)
        check(reply)


@pytest.mark.parametrize("unit", ["\u2020", "\u0a0d", "\u200a", "\U000a0020", "\U00090009"])
def test_whitespace_runs_end_at_wide_units_alike_in_their_low_bytes(unit: str) -> None:
    # No whitespace, though their low bytes are: the reply is undecodable
    # wherever the run that reaches them ends.
    for n in (1, 2, 7, 8, 15, 16, 17, 33):
        check('{"facts":' + " " * n + unit + '[], "x": 1}')
        check('{"facts": [' + "\n" * n + unit + "]}")


# Values that a reply stores wider than their own text needs.
NARROW = [
    ("caf\u00e9", '"caf\u00e9"'), ("caf\u00e9", '"caf\\u00e9"'), ("abc", '"abc"'),
    ("caf\u00e9", '"\u3000caf\u00e9\u3000"'), ("x", '"x\u2028"'), ("x", '"\\u3000x\\u3000"'),
    ("\u65e5", '"\u65e5"'), ("\u65e5", '"\\u65e5"'),
    ("\ud800", '"\\ud800"'), ("\xff\xfe", '"\\u00ff\\u00fe \\u3000"'),
]


@pytest.mark.parametrize("text, spelled", NARROW, ids=[ascii(s) for _, s in NARROW])
def test_results_are_stored_at_their_narrowest_width(text: str, spelled: str) -> None:
    reply = ('{"facts": [{"subject": ' + spelled + ', "attribute": "a", "value": ' + spelled
             + ', "confidence": 0.5}], "proposed": [{"text": ' + spelled + "}]}")
    for name, stored in layouts(reply):
        (fact,) = parse_extraction_output(stored)
        (proposal,) = parse_evolution_output(stored, frozenset())
        for v in (fact["subject"], fact["value"], proposal["text"]):
            assert v == text, name
            # The literal is canonical (none of these is a shared singleton).
            assert sys.getsizeof(v) == sys.getsizeof(text) and canonical(v), name
            assert v.isascii() == text.isascii(), name  # the flag, not a scan


# -- any text -------------------------------------------------------------------------

GAPS = ["", " ", "\u3000", "\xa0", "\u2028", "\x85", "\t\n", " \u3000\xa0"]
chars = st.characters(exclude_categories=()) | st.sampled_from(
    ["\ud800", "\udfff", "\U0010ffff", "\xff", "\u0100", "\uffff", "\x7f", "\\", '"', "\x00"])
texts = st.builds(lambda a, t, b: a + t + b, st.sampled_from(GAPS), st.text(chars, max_size=8),
                  st.sampled_from(GAPS))
confidences = st.sampled_from([0.5, 0.49, 1, 1.0, True, False, 0.75, "0.9", None, 2])


@st.composite
def replies(draw: st.DrawFn) -> tuple[str, frozenset[str]]:
    ids = draw(st.frozensets(texts, max_size=4))
    sources = st.sampled_from(sorted(ids)) | texts if ids else texts
    entries = draw(st.lists(st.fixed_dictionaries(
        {"subject": texts, "attribute": texts, "value": texts, "text": texts},
        optional={"confidence": confidences, "source_insight_id": sources}), max_size=6))
    reply = reply_of(entries, draw(st.booleans()))
    if draw(st.booleans()):
        reply = "```json\n" + reply + "\n```"
    lift = draw(st.sampled_from(sorted(LIFTS)))
    reply = LIFTS[lift](reply)
    return (Sub(reply) if draw(st.booleans()) else reply), ids


@given(replies())
def test_any_text_at_any_width_matches_the_models(case: tuple[str, frozenset[str]]) -> None:
    reply, ids = case
    same_as_models(reply, ids)


# -- the entries array, read while the reply decodes ----------------------------------
#
# Each entry of the array goes into a record as soon as the entry is read,
# long before the reply is known to decode: the records must stand only when
# the whole reply does, and only for the last member that names the array.

NAMES = ("facts", "claims", "proposed")
E1 = json.dumps(entry("one", "ins-1"))
E2 = json.dumps(entry("two"))
E3 = json.dumps(entry("three", "nope", 0.6))


def every_name(*members: tuple[str, str]) -> str:
    """A top-level object with each member given once for every array name
    (``@`` in a member's name stands for the array's name)."""
    return "{" + ", ".join(f'"{k.replace("@", n)}": {v}' for k, v in members for n in NAMES) + "}"


WINDOW_CASES = {
    "entries of every kind": every_name(("@", f"[{E1}, 3, null, [{E2}], {{}}, [], {E3}]")),
    "a later array replaces": every_name(("@", f"[{E1}, {E2}]"), ("x", "1"), ("@", f"[{E3}]")),
    "a later non-array voids": every_name(("@", f"[{E1}, {E2}]"), ("@", '{"a": [1]}')),
    "a later null voids": every_name(("@", f"[{E1}]"), ("@", "null")),
    "an earlier non-array is replaced": every_name(("@", "5"), ("@", f"[{E2}]")),
    "a later empty array voids": every_name(("@", f"[{E1}]"), ("@", "[]")),
    "nested arrays of that name are not it": every_name(
        ("x", '{"@": [' + E1 + "]}"), ("@", f'[{{"@": [{E2}]}}, {E3}]')),
    "a longer name is not it": every_name(("@s", f"[{E1}]"), ("@", f"[{E2}]")),
    "cut off after whole entries": every_name(("@", f"[{E1}, {E2}]"))[:-40],
    "cut off inside the array": "{" + ", ".join(f'"{n}": [{E1}, {E2}' for n in NAMES),
    "trailing text after the object": every_name(("@", f"[{E1}]")) + " x",
    "a broken member after the array": every_name(("@", f"[{E1}]"))[:-1] + ', "z": tru}',
    "the array inside a top-level array": "[" + every_name(("@", f"[{E1}]")) + "]",
    "deeply nested entries": every_name(("@", "[" + "[" * 300 + E1 + "]" * 300 + f", {E2}]")),
}


@pytest.mark.parametrize("reply", WINDOW_CASES.values(), ids=WINDOW_CASES.keys())
def test_entries_stand_only_for_the_last_array_of_a_whole_reply(reply: str) -> None:
    check(reply, frozenset({"ins-1", "ins-2", "ins-0"}))


def escaped(name: str, at: int) -> str:
    """The member name as JSON spells it with one letter escaped."""
    return name[:at] + f"\\u{ord(name[at]):04x}" + name[at + 1:]


def test_a_repeated_name_spelled_with_escapes_replaces_the_array() -> None:
    ids = frozenset({"ins-1", "ins-2", "ins-0"})
    for n in NAMES:
        for at in (0, len(n) - 1):
            e = escaped(n, at)
            check(f'{{"{n}": [{E1}, {E2}], "{e}": [{E3}]}}', ids)
            check(f'{{"{e}": [{E1}, {E2}], "{n}": [{E3}]}}', ids)
            check(f'{{"{n}": [{E1}], "{e}": null}}')
            # An escape that decodes to another name is not the array.
            check(f'{{"{n}": [{E1}], "{n[:-1]}\\u{0x100 + ord(n[-1]):04x}": [{E2}]}}')


def test_stopping_midway_leaves_nothing_behind() -> None:
    # One allocation fails at a time, at every point of the parse: the call
    # raises MemoryError or gives the whole result, and drops what it made.
    testcapi = pytest.importorskip("_testcapi")
    ids = frozenset({"".join(["ins-", "1"]), "".join(["ins-", "2"])})
    reply = reply_of([entry(f"e{i} \u00e9", "ins-1" if i % 2 else "nope") for i in range(40)],
                     ensure_ascii=False)
    held = [sys.getrefcount(i) for i in ids]
    for parser, extra in ((parse_extraction_output, ()), (parse_claim_extraction_output, ()),
                          (parse_evolution_output, (ids,))):
        want = parser(reply, *extra)
        for n in range(0, 300, 2):
            testcapi.set_nomemory(n, n + 1)
            try:
                got = parser(reply, *extra)
            except MemoryError:
                continue
            finally:
                testcapi.remove_mem_hooks()
            assert got == want
            del got
        del want
    assert [sys.getrefcount(i) for i in ids] == held


@pytest.mark.parametrize("cut", [None, -2, -30_000])
def test_long_replies_give_records_only_when_they_decode(cut: int | None) -> None:
    # Far past the decoder's inline node storage: thousands of entries are
    # handed on before a cut-off end shows the reply does not decode.
    entries = [entry(f"entry {i} \u00e9😀", f"ins-{i % 3}") for i in range(4000)]
    reply = reply_of(entries, ensure_ascii=bool(cut))[:cut]
    counts = same_as_models(reply, frozenset({"ins-0", "ins-1"}))
    assert counts == ([4000] * 3 if cut is None else [0] * 3)


members = st.sampled_from(["@", "x", "@s", r"f\u0061cts", r"\u0040"])
elements = st.sampled_from([E1, E2, E3, "1", "null", "[]", "{}", f"[{E1}]", '{"@": [' + E2 + "]}",
                            '"' + "\u00e9" * 3 + '"'])
values = st.lists(elements, max_size=4).map(lambda es: "[" + ", ".join(es) + "]") | \
    st.sampled_from(["5", "null", '{"a": 1}', '"@"'])


@given(st.lists(st.tuples(members, values), max_size=5), st.integers(0, 3), st.booleans())
def test_any_sequence_of_members_matches_the_models(
        seq: list[tuple[str, str]], cut: int, ensure_wide: bool) -> None:
    reply = every_name(*seq)
    if cut:  # an end cut off part of the way in
        reply = reply[: len(reply) * cut // 4]
    if ensure_wide:
        reply = LIFTS["ucs-4"](reply)
    same_as_models(reply, frozenset({"ins-1", "ins-2"}))


# -- hostile replies ------------------------------------------------------------------
#
# Replies of about 256 KB built to be expensive: nothing but escapes,
# surrogate-pair escapes, lone surrogates, scripts alternating character by
# character, one huge value or many tiny entries.

N = 1 << 18
HOSTILE = {
    "latin-1 escapes": "\\u00e9" * (N // 6),
    "pair escapes": "\\ud83d\\ude00" * (N // 12),
    "lone surrogate escapes": "\\udc00\\ud800x" * (N // 13),
    "alternating scripts": "a\u00e9\u65e5\U0001f600\ud800" * (N // 5),
    "alternating raw and escaped": "\U0001f600\\u00e9\u65e5\\ud83d\\ude00 " * (N // 22),
    "simple escapes": '\\"\\\\\\/\\n' * (N // 8),
}


def _hostile_replies(text: str) -> dict[str, tuple[Parser, Parser, str, tuple[object, ...]]]:
    one = ('{"subject": "s", "attribute": "a", "value": "TEXT", "confidence": 1, "text": "TEXT"}'
           .replace("TEXT", text))
    many = ", ".join(['{"subject": "\\u00e9", "attribute": "\\ud83d\\ude00", "value": "\u65e5",'
                      ' "confidence": 1, "text": "\U0001f600"}'] * (len(text) // 100))
    return {
        "facts, one value": (parse_extraction_output, facts_model,
                             '{"facts": [' + one + "]}", ()),
        "claims, one value": (parse_claim_extraction_output, claims_model,
                              '{"claims": [' + one + "]}", ()),
        "proposals, one text": (parse_evolution_output, proposals_model,
                                '{"proposed": [' + one + "]}", ({"i"},)),
        "facts, many entries": (parse_extraction_output, facts_model,
                                '{"facts": [' + many + "]}", ()),
        "proposals, many entries": (parse_evolution_output, proposals_model,
                                    '{"proposed": [' + many + "]}", ({"i"},)),
    }


def _objects(result: object) -> int:
    """Bytes of the objects a result is made of, each counted once, the
    parser's module-level keys aside (they exist before the call)."""
    seen: set[int] = set()
    total = 0
    stack = [result]
    while stack:
        o = stack.pop()
        if id(o) in seen:
            continue
        seen.add(id(o))
        total += sys.getsizeof(o)
        if type(o) is list:
            stack.extend(o)
        elif type(o) is dict:
            stack.extend(o.values())
    return total


@pytest.mark.parametrize("lift", sorted(LIFTS))
@pytest.mark.parametrize("shape", HOSTILE)
def test_hostile_replies_cost_no_more_than_their_result(shape: str, lift: str) -> None:
    """Memory a parse holds beyond its result, as the host's allocation
    tracing sees it.

    tracemalloc sees only what the host's allocators hand out (objects and
    PyMem buffers): strs, lists and dicts made along the way and anything left
    behind on the reply (a cached UTF-8 form, for one).  The decoder's own
    buffers come from the C++ heap, outside its view, and are not bounded
    here.  Two bounds: what the call still holds once it returns is its
    result (nothing kept on the reply or elsewhere), and the peak during the
    call exceeds that by no more than a small constant (no copy of a value or
    of the reply made on the way, however the reply is spelled).
    """
    for what, (parser, model, reply, extra) in _hostile_replies(HOSTILE[shape]).items():
        reply = LIFTS[lift](reply)
        parser(reply[:1000] + "]}", *extra)  # first-call caches are not this call's cost
        gc.collect()
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            tracemalloc.reset_peak()
            result = parser(reply, *extra)
            after, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        assert result, what
        held = _objects(result)
        assert after - before <= held + 4096, (what, after - before, held)
        assert peak - after <= 64 << 10, (what, peak - after)
        want, warning = model(reply, *extra)
        assert warning is None and result == want, what
        del result, want
