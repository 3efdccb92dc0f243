"""Text moving across the binding edge at every storage width and length.

Host strs are stored one, two or four bytes per code point, and the edge
converts them in blocks; these cases put each width boundary at the start,
the middle and the end of short and block-sized texts, in both directions:
into the core (the reply) and back out (the returned strs must equal the
host's own strs, which they only do when stored at the canonical width).
"""

import json
import logging

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kelvane_layer._internal.convergence_judge import build_convergence_prompt
from kelvane_layer._internal.evolution import parse_evolution_output
from kelvane_layer._internal.extraction import parse_extraction_output

BOUNDARY_CHARS = [
    "\x7f", "\x80", "\xff", "\u0100", "\ud800", "\udfff", "\uffff",
    "\U00010000", "\U0010ffff",
]
# Pairs whose code points OR together beyond the widest one (and beyond the
# code space), so a width chosen from combined bits must still be right.
MIXES = ["\u7fff\u8000", "\x7f\x80", "\U00100000\U000f0000", "\U0010ffff\U000f0001", "a\u00ff"]


def _texts():
    out = []
    for c in BOUNDARY_CHARS + MIXES:
        for n in (1, 2, 15, 16, 17, 255, 256, 257, 1000):
            body = (c * n)[: max(n, len(c))]
            out += [body, "x" + body, body + "x", "ab" * 9 + body + "cd" * 9]
    return out


TEXTS = _texts()


@pytest.fixture(autouse=True)
def _quiet():
    for name in ("kelvane_layer._internal.extraction", "kelvane_layer._internal.evolution"):
        logging.getLogger(name).disabled = True
    yield
    for name in ("kelvane_layer._internal.extraction", "kelvane_layer._internal.evolution"):
        logging.getLogger(name).disabled = False


@pytest.mark.parametrize("ensure_ascii", [False, True])
def test_fact_texts_round_trip_at_every_width(ensure_ascii):
    # Escaped, every lone surrogate is a \u escape of its own, in runs the
    # decoder must keep apart (only a high escape directly followed by a low
    # one is one code point), as the host's json does.
    facts = [{"subject": t, "attribute": "a" + t, "value": t + "v", "confidence": 0.75} for t in TEXTS]
    reply = json.dumps({"facts": facts}, ensure_ascii=ensure_ascii)
    got = parse_extraction_output(reply)
    assert got == facts
    for g, f in zip(got, facts):
        assert hash(g["subject"]) == hash(f["subject"])


@pytest.mark.parametrize("text", TEXTS[::7])
def test_fenced_reply_in_each_width(text):
    # The reply itself (not only its values) is wide: the fence and padding
    # around it are trimmed after the whole reply has crossed the edge.
    body = json.dumps({"proposed": [{"text": text, "source_insight_id": "i"}]}, ensure_ascii=False)
    reply = "\u3000```json\n" + body + "\n```" + " \u2028"
    assert parse_evolution_output(reply, {"i"}) == [{"text": text, "source_insight_id": "i"}]


WORDS = st.sampled_from(["a", "word", "\u00e9t\u00e9", "\U0001f600x", "\ud800", "longer-word"])
GAPS = st.sampled_from([" ", " ", " ", "  ", "\t", "\n", "\u3000", " \u2028", "\x85", "\xa0 "])


@given(st.lists(st.tuples(GAPS, WORDS), max_size=80), GAPS | st.just(""), GAPS | st.just(""))
def test_collapsing_long_prose(pieces, lead, tail):
    content = lead + "".join(g + w for g, w in pieces)[1:] + tail
    out = build_convergence_prompt([("s", content)])
    line = out.split("\n- [s] ", 1)[1]
    collapsed = " ".join(content.split())
    assert line.startswith(collapsed + "\n")
