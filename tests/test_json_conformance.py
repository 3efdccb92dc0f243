"""The reply decoder against the host's json: a public conformance corpus,
the tokens that once lost whole replies, fenced replies read in place, and
the memory a deeply nested reply may take.

Decoding is observed through the evolution parser, as in
test_json_decoding.py: a reply that does not decode logs "failed to parse".
"""

import decimal
import json
import logging
import math
import os
import pathlib
import subprocess
import sys
import sysconfig
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kelvane_layer._internal.evolution import parse_evolution_output
from kelvane_layer._internal.extraction import parse_extraction_output

LOGGER = "kelvane_layer._internal.evolution"
FAILED = "evolve_directives: failed to parse LLM response as JSON"
CORPUS = pathlib.Path(__file__).parent / "data" / "json_test_suite.jsonl"


def decodes(caplog, reply: str) -> bool:
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        parse_evolution_output(reply, set())
    return not any(r.getMessage() == FAILED for r in caplog.records)


def host_decodes(text: str) -> bool | None:
    """Whether the host's json decodes the text; None when it stops only at
    an interpreter limit (nesting beyond the recursion limit, integers of
    more than 4300 digits), which the decoder here does not have."""
    try:
        json.loads(text)
    except RecursionError:
        return None
    except ValueError as e:
        return None if "digits" in str(e) else False
    return True


def _corpus():
    rows = [json.loads(line) for line in CORPUS.read_text().splitlines()[1:]]
    docs = []
    for row in rows:
        if "hex" in row:
            data = bytes.fromhex(row["hex"])
        else:
            data = bytes.fromhex(row["unit"]) * row["times"] + bytes.fromhex(row["tail"])
        docs.append(pytest.param(row["name"], data, id=row["name"]))
    return docs


def _as_reply(data: bytes) -> str | None:
    """The document as the str a host would hand over: decoded as the host's
    json.loads decodes bytes, undecodable bytes kept as lone surrogates."""
    encoding = json.detect_encoding(data)
    for errors in ("surrogatepass", "surrogateescape"):
        try:
            return data.decode(encoding, errors)
        except UnicodeDecodeError:
            continue
    return None


@pytest.mark.parametrize("name, data", _corpus())
def test_corpus_outcome_matches_the_host_decoder(caplog, name, data):
    reply = _as_reply(data)
    if reply is None:
        pytest.skip("not text in any encoding the host's json detects")
    # The parser trims the reply first (with the host's str.strip() set of
    # spaces), so the host's decoder is given the same trimmed text.
    expected = host_decodes(reply.strip())
    if expected is None:  # then the corpus itself says what is right
        expected = {"y": True, "n": False}.get(name[0])
        if expected is None:
            pytest.skip("implementation-defined, and the host stops at its own limit")
    assert decodes(caplog, reply) == expected


# ---- tokens that must never fail a reply ----------------------------------

PROPOSAL = '{"text": "keep me", "source_insight_id": "i"}'


@pytest.mark.parametrize(
    "token",
    ["1e309", "-1e400", "0.1e310", "9" * 309, "-" + "9" * 400, "1" + "0" * 320 + "e-300",
     "1e-99999999999999999999", "1E+99999999999999999999", "0." + "0" * 500 + "1",
     '"\\ud83d"', '"\\udc00\\ud800"', '"\\ud800\\ud800\\udc00"', '"\\ud83d\\u0041"',
     '"\\ud83dx"', '"\\ud83d\\n"'],
)
def test_any_number_and_any_escaped_surrogate_decode(caplog, token):
    assert host_decodes(token)
    reply = '{"proposed": [' + PROPOSAL + '], "ignored": [' + token + "]}"
    assert decodes(caplog, reply)
    assert parse_evolution_output(reply, {"i"}) == [{"text": "keep me", "source_insight_id": "i"}]


@pytest.mark.parametrize(
    "escaped",
    [r"\ud83d", r"\udc00\ud800", r"\ud800\ud800\udc00", r"\ud83d\u0041", r"\ud83dx",
     r"\ud83d\n", r"\udbff\udfff", r"x\ud83d"],
)
def test_escaped_surrogates_decode_to_the_code_points_they_name(escaped):
    expected = json.loads('"' + escaped + '"')
    reply = '{"proposed": [{"text": "t", "source_insight_id": "' + escaped + '"}]}'
    (proposal,) = parse_evolution_output(reply, {expected, "~"})
    assert proposal["source_insight_id"] == expected
    # The same as the proposal's text, made from the decoded bytes.
    reply = '{"proposed": [{"text": "' + escaped + '"}]}'
    assert parse_evolution_output(reply, set())[0]["text"] == expected.strip()


def fact(confidence: str) -> str:
    return '{"subject": "s", "attribute": "a", "value": "v", "confidence": ' + confidence + "}"


@pytest.mark.parametrize(
    "confidence",
    ["0." + "5" * 400, "5" + "0" * 500 + "e-501", "1" + "0" * 400 + "e-400",
     "0.99999999999999999999999999999999999999999", "1.00000000000000011102230246251565404",
     "1.000000000000000111022302462515654043", "0.4999999999999999722444243843710864",
     "0.49999999999999997224442438437108646"],
)
def test_long_number_tokens_convert_as_the_host_float_does(confidence):
    expected = float(confidence)
    got = parse_extraction_output('{"facts": [' + fact(confidence) + "]}")
    if 0.5 <= expected <= 1.0:
        assert got == [{"subject": "s", "attribute": "a", "value": "v", "confidence": expected}]
    else:
        assert got == []


def _confidence_of(token: str):
    got = parse_extraction_output('{"facts": [' + fact(token) + "]}")
    return got[0]["confidence"] if got else None


# Only a confidence within [0.5, 1.0] comes back, so each class of hard input
# is written so that it lands there: tokens on either side of the short exact
# path (2^53 in the digits), the exact decimal value halfway between two
# neighbouring doubles (ties to even) and the digits just beside it, digits
# far below the last place or shifted by exponents far beyond the double
# range, and the values at the ends of the interval.
_WIDE = decimal.Context(prec=1200, Emin=-999999, Emax=999999)


def _exact(x: float) -> decimal.Decimal:
    return _WIDE.create_decimal(x)


def _tokens_near(x: float) -> list[str]:
    """Spellings of x (in [0.5, 1.0)) and of the points around its upper tie."""
    half = _WIDE.divide(_WIDE.add(_exact(x), _exact(math.nextafter(x, 2.0))), 2)
    tiny = decimal.Decimal("1e-70")
    frac = format(_exact(x), "f").split(".")[1]  # every digit of x, exactly
    return [
        repr(x), f"{x:.17g}", f"{x:.40e}",
        format(half, "f"), format(half, "e"),
        format(_WIDE.subtract(half, tiny), "f"), format(_WIDE.add(half, tiny), "f"),
        frac + "0" * 300 + f"e-{len(frac) + 300}",
        "0." + "0" * 350 + frac + "e350",
    ]


@pytest.mark.parametrize(
    "token",
    ["0.9007199254740991", "0.9007199254740992", "0.9007199254740993",
     "9007199254740993e-16", "0.5000000000000001", "0.50000000000000005551115123125783",
     "0.500000000000000055511151231257827", "0.500000000000000055511151231257828",
     "0.99999999999999994448884876874217", "0.999999999999999944488848768742172978818416595458984375",
     "0.999999999999999944488848768742172978818416595458984376", "1.0000000000000000000000001",
     "0.5e0", "5e-1", "50000000000000000000000e-23", "1e0", "0.75e-0", "7.5E-1"],
)
def test_hard_number_tokens_convert_as_the_host_float_does(token):
    expected = float(token)
    assert _confidence_of(token) == (expected if 0.5 <= expected <= 1.0 else None)


@settings(max_examples=300)
@given(st.floats(min_value=0.5, max_value=1.0, exclude_max=True))
def test_every_spelling_of_a_double_converts_to_the_nearest(x):
    for token in _tokens_near(x):
        expected = float(token)
        assert _confidence_of(token) == (expected if 0.5 <= expected <= 1.0 else None), token


@pytest.mark.parametrize("confidence", ["1e309", "-1e400", "9" * 400, "1" + "0" * 308])
def test_out_of_range_confidence_drops_only_its_fact(caplog, confidence):
    reply = '{"facts": [' + fact(confidence) + ", " + fact("0.75") + "]}"
    with caplog.at_level(logging.WARNING):
        got = parse_extraction_output(reply)
    assert got == [{"subject": "s", "attribute": "a", "value": "v", "confidence": 0.75}]
    assert caplog.records == []


# ---- replies read in place ---------------------------------------------------
#
# A cleaned ASCII reply is decoded where it lies; past its end there are only
# the trimmed whitespace and fence, which no value may run into.


@pytest.mark.parametrize(
    "reply, ok",
    [
        ("```json 1```", True),
        ('```json "abc"```', True),
        ('```"abc```', False),  # unterminated string before the fence
        ('```json "abc \n```', False),
        ('```json {"a": "b```', False),
        ("```[1```", False),
        ("```json [1, ```", False),
        ("```json tru```", False),
        ("```json 1e```", False),
        ("```json -```", False),
        ("```json\n{\"proposed\": []}\n```\n\n", True),
        ("```json [1]\x00```", False),  # a raw NUL inside the cleaned text
        ("```json [1\x00]```", False),
        ('```json "a\x00b"```', False),
        ("  [\"\u00e9\"]  ```", False),  # no opening fence: the backticks stay
        ("```json [\"\u00e9\", \"\U0001f600\"]```", True),
    ],
)
def test_fenced_replies(caplog, reply, ok):
    assert decodes(caplog, reply) == ok


def test_str_subclass_and_wide_replies_decode_alike(caplog):
    class Reply(str):
        pass

    for word in ("x", "\u00e9", "\u20ac", "\U0001f600", "\ud800"):
        text = '```json {"proposed": [{"text": " ' + word + ' "}]}```'
        for reply in (text, Reply(text)):
            assert decodes(caplog, reply)
            assert parse_evolution_output(reply, set()) == [{"text": word, "source_insight_id": ""}]


# ---- memory -------------------------------------------------------------------


# A sanitizer's shadow memory (and AddressSanitizer's quarantine) adds to the
# peak several times what the parser itself holds.
SANITIZED = ("libasan" in os.environ.get("LD_PRELOAD", "")
             or "--with-thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or ""))


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory changes the peak")
def test_deeply_nested_reply_stays_within_its_memory_bound():
    # 50 MB of "[": one small node a level and no stack beside the nodes.
    script = textwrap.dedent(
        """
        import resource
        from kelvane_layer._internal.evolution import parse_evolution_output
        reply = "[" * 50_000_000
        assert parse_evolution_output(reply, set()) == []
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True, timeout=60)
    peak_mb = int(out.stdout.split()[-1]) / 1024
    assert peak_mb <= 700, f"peak resident memory {peak_mb:.0f} MB"


# ---- argument kinds -------------------------------------------------------------

from kelvane_layer._internal.evolution import build_evolution_prompt  # noqa: E402
from kelvane_layer._internal.extraction import (  # noqa: E402
    build_claim_extraction_prompt,
    build_extraction_prompt,
    parse_claim_extraction_output,
)


@pytest.mark.parametrize(
    "call, param",
    [
        (lambda: build_extraction_prompt(1, 3), "memory_content"),
        (lambda: build_extraction_prompt("m", "3"), "max_facts"),
        (lambda: build_extraction_prompt("m", None), "max_facts"),
        (lambda: build_extraction_prompt("m", 3, role=None), "role"),
        (lambda: build_claim_extraction_prompt(b"o", 3), "output"),
        (lambda: build_claim_extraction_prompt("o", [3]), "max_claims"),
        (lambda: parse_extraction_output(b"{}"), "response"),
        (lambda: parse_claim_extraction_output(None), "response"),
        (lambda: build_evolution_prompt((), [], 1), "insights"),
        (lambda: build_evolution_prompt([["id", "text"]], [], 1), "insights"),
        (lambda: build_evolution_prompt([], "ab", 1), "directives"),
        (lambda: build_evolution_prompt([], [], "3"), "max_per_cycle"),
        (lambda: build_evolution_prompt([], [], 1, 5), "style_guidance"),
        (lambda: parse_evolution_output(1, set()), "response"),
        (lambda: parse_evolution_output("{}", ["a"]), "insight_ids"),
        (lambda: parse_evolution_output("{}", {"a", 1}), "insight_ids"),
    ],
)
def test_argument_kind_errors_name_the_argument(call, param):
    with pytest.raises(TypeError, match=f"argument '{param}'"):
        call()
