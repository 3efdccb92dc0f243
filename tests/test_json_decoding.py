"""Decoding of model replies, observed through the evolution parser.

The parser reports what the decoder made of a reply: a failure logs
"failed to parse", a non-object top level logs the kind name of the value,
and an object's ``proposed`` member of the wrong kind logs that kind's name.
"""

import json
import logging
import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kelvane_layer._internal.evolution import parse_evolution_output

LOGGER = "kelvane_layer._internal.evolution"
FAILED = "evolve_directives: failed to parse LLM response as JSON"


def outcome(caplog, reply: str):
    """'fail', 'object', or the kind name of a non-object top-level value."""
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert parse_evolution_output(reply, set()) == []
    records = [r for r in caplog.records if r.name == LOGGER]
    if not records:
        return "object"
    assert len(records) == 1
    if records[0].getMessage() == FAILED:
        return "fail"
    return records[0].type


def kind(caplog, value_text: str) -> str:
    """Kind name of a value placed as the reply's top level."""
    return outcome(caplog, value_text)


@pytest.mark.parametrize(
    "token, expected",
    [
        ("NaN", "float"),
        ("Infinity", "float"),
        ("-Infinity", "float"),
        ("0", "int"),
        ("-0", "int"),
        ("12345678901234567890123", "int"),
        ("9" * 300, "int"),
        ("1.0", "float"),
        ("-0.0", "float"),
        ("1e2", "float"),
        ("1E+2", "float"),
        ("1e-400", "float"),
        ("true", "bool"),
        ("false", "bool"),
        ("null", "NoneType"),
        ('"x"', "str"),
        ("[]", "list"),
    ],
)
def test_kinds_follow_token_syntax(caplog, token, expected):
    assert kind(caplog, token) == expected
    assert kind(caplog, f"[{token}]") == "list"


@pytest.mark.parametrize(
    "bad",
    ["Inf", "-Inf", "-NaN", "nan", "NAN", "infinity", "+1", "+Infinity", "01", "1.", ".5",
     "1e", "--1", "0x10", "tru", "nul", "'x'", "[1,]", '{"a":1,}', "[1 2]", "{1:2}",
     '{"a"}', "// c\n{}", "{}{}", "{} x", "[1]]", '"abc', "[", "", "\ufeff{}"],
)
def test_rejected_texts(caplog, bad):
    assert outcome(caplog, bad) == "fail"
    with pytest.raises(ValueError):
        json.loads(bad)  # the host's decoder agrees


@pytest.mark.parametrize("code", list(range(0x20)))
def test_raw_control_characters_in_strings_fail(caplog, code):
    assert outcome(caplog, '{"a": "x' + chr(code) + 'y"}') == "fail"


def test_embedded_nul_after_value_fails(caplog):
    # The reader's own end-of-input marker must not end the document early.
    assert outcome(caplog, "{}\x00") == "fail"
    assert outcome(caplog, '{"proposed": 1}\x00garbage') == "fail"
    assert outcome(caplog, "[1\x00]") == "fail"


@pytest.mark.parametrize("tail", [" ", "\n", "\r\n\t ", "\u00a0", "\u3000"])
def test_whitespace_after_value_is_accepted(caplog, tail):
    assert outcome(caplog, "{}" + tail) == "object"


def test_whitespace_inside_is_json_whitespace_only(caplog):
    assert outcome(caplog, '{ "proposed" :\t[\r\n] }') == "object"
    assert outcome(caplog, '{"proposed":\u00a0[]}') == "fail"


@pytest.mark.parametrize(
    "reply, expected",
    [
        ('{"proposed": 5, "proposed": []}', "object"),
        ('{"proposed": [], "proposed": {}}', "dict"),
        ('{"proposed": [], "x": 1, "proposed": null}', "NoneType"),
        ('{"proposed": {"proposed": []}}', "dict"),
    ],
)
def test_repeated_keys_last_wins(caplog, reply, expected):
    assert outcome(caplog, reply) == expected


def test_deep_nesting_is_safe(caplog):
    depth = 200_000
    assert kind(caplog, "[" * depth + "]" * depth) == "list"
    assert outcome(caplog, '{"a":' * depth + "1" + "}" * depth) == "object"
    assert outcome(caplog, "[" * depth) == "fail"


def source_of(reply: str, ids) -> str:
    (proposal,) = parse_evolution_output(reply, ids)
    return proposal["source_insight_id"]


@pytest.mark.parametrize(
    "encoded, decoded",
    [
        (r"a\"b\\c\/d\b\f\n\r\t", 'a"b\\c/d\b\f\n\r\t'),
        (r"\u00e9\u4e2d", "\u00e9\u4e2d"),
        (r"\ud83d\ude00", "\U0001f600"),
        (r"\udc00", "\udc00"),  # an escaped lone low surrogate is kept
        ("\ud800raw", "\ud800raw"),  # a raw lone surrogate is kept
        ("\U0001f600\x7f", "\U0001f600\x7f"),
        (r"\u0000", "\x00"),
    ],
)
def test_strings_decode_exactly(encoded, decoded):
    reply = '{"proposed": [{"text": "t", "source_insight_id": "' + encoded + '"}]}'
    assert source_of(reply, {decoded, "~fallback"}) == decoded


# The string scanner looks at sixteen bytes at a time where the CPU has the
# instructions for it, and at one at a time in the portable build (make
# test-portable runs this file on both): each byte that must stop it, and the
# bytes just beside them that must not, at every position of the first blocks
# of a long string, in ASCII replies (read in place) and in wider ones.
SCAN_BYTES = ["\x00", "\x1f", "\n", "\x20", "\x21", "\x5b", "\x5d", "\x7f", "\x80", "\xff",
              "\u4e2d", "\U0001f600", "\ud800"]
SCAN_ESCAPES = [r"\"", r"\\", r"\n", r"\u0041", r"\ud83d\ude00"]


@pytest.mark.parametrize("offset", range(36))
def test_string_scan_stops_at_every_position(caplog, offset):
    for tail in ("", "b" * 17, "\u00e9" * 17):
        for special in SCAN_BYTES + SCAN_ESCAPES + [""]:
            encoded = "a" * offset + special + tail
            reply = '{"proposed": [{"text": "t", "source_insight_id": "' + encoded + '"}]}'
            try:
                expected = json.loads('"' + encoded + '"')
            except ValueError:
                assert outcome(caplog, reply) == "fail", (offset, special, tail)
                continue
            assert source_of(reply, {expected, "~"}) == expected, (offset, special, tail)


@pytest.mark.parametrize("bad", [r"\x41", r"\u12", r"\U0041", "\\"])
def test_bad_escapes_fail(caplog, bad):
    assert outcome(caplog, '{"a": "' + bad + '"}') == "fail"


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=5), inner, max_size=4),
    max_leaves=20,
)


@given(json_values, st.booleans())
def test_kind_names_match_the_host_decoder(value, ascii_only):
    text = json.dumps(value, ensure_ascii=ascii_only)
    expected = type(json.loads(text)).__name__
    handler = _Capture()
    logger = logging.getLogger(LOGGER)
    logger.addHandler(handler)
    try:
        parse_evolution_output(text, set())
    finally:
        logger.removeHandler(handler)
    if expected == "dict":
        assert all(r.getMessage() != FAILED for r in handler.records)
    else:
        assert [r.type for r in handler.records] == [expected]


@given(st.text())
def test_any_text_comes_back_exactly(s):
    reply = json.dumps({"proposed": [{"text": "t", "source_insight_id": s}]}, ensure_ascii=False)
    assert source_of(reply, {s, "\U0010ffff" * 3}) == s
    if not re.search("[\ud800-\udfff]", s):
        reply = json.dumps({"proposed": [{"text": "t", "source_insight_id": s}]})
        assert source_of(reply, {s, "\U0010ffff" * 3}) == s


# Short texts over the characters that matter to JSON, compared with the
# host's decoder.  Exponents are left out: magnitudes beyond the double range
# are an accepted difference.
jsonish = st.text(alphabet=list('[]{}:,"0123456789.-+NaInfityrulsex \t\n\\/u'), max_size=12)


@given(jsonish)
def test_acceptance_matches_the_host_decoder(s):
    if re.search(r"[0-9][eE]", s) or "\\u" in s:
        return
    try:
        json.loads(s.strip())
        host_ok = True
    except ValueError:
        host_ok = False
    handler = _Capture()
    logger = logging.getLogger(LOGGER)
    logger.addHandler(handler)
    try:
        parse_evolution_output(s, set())
    finally:
        logger.removeHandler(handler)
    ours_ok = not any(r.getMessage() == FAILED for r in handler.records)
    assert ours_ok == host_ok, s


class _Capture(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []

    def emit(self, record):
        self.records.append(record)


# The string scan reads sixteen bytes at a time where the CPU has a vector
# path for it (SSE2) and byte by byte elsewhere and in a text's last fifteen
# bytes; `make test-aarch64` runs the byte-by-byte twin.  Each byte that ends
# a run (quote, backslash, control character) and each that must not (DEL,
# the lead and continuation bytes of UTF-8, whose high bit a signed
# comparison would misread) is put at every offset of the first blocks, and
# the text's end at every distance from it.
@pytest.mark.parametrize("piece", ['\\"', "\\\\", "\\n", "\\u00e9", "\x7f", "\u00e9", "\U0001f600"])
def test_string_scan_at_every_offset(piece):
    for before in range(36):
        for after in range(20):
            encoded = "a" * before + piece + "b" * after
            decoded = json.loads('"' + encoded + '"')
            reply = '{"proposed": [{"text": "t", "source_insight_id": "' + encoded + '"}]}'
            assert source_of(reply, {decoded, "~fallback"}) == decoded, (before, after)


@pytest.mark.parametrize("code", [0x00, 0x01, 0x1F])
def test_control_character_fails_at_every_offset(caplog, code):
    for before in range(36):
        for after in (0, 1, 15, 16, 17):
            reply = '{"a": "' + "a" * before + chr(code) + "b" * after + '"}'
            assert outcome(caplog, reply) == "fail", (before, after)
