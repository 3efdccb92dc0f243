"""Reply parsers: the whole parse, filtering and result objects included.

The floor is the fastest JSON decoder available to the host, ``orjson.loads``,
decoding the same reply after the same cleaning (fences and surrounding
whitespace removed) and doing nothing with the result; ``msgspec.json.decode``
is shown beside it.

Beyond the four published rows, every parser is timed on replies written in
four scripts, each stored at the width a host gives it: ASCII and accented
Latin (one byte a code point), CJK (two) and text with emoji (four).  Each
comes raw, as models send it (``ensure_ascii=False``), and with every
non-ASCII character as a \\u escape (the host json module's default), with 8
entries and with 10,000.  Every call of every side gets a str no call has
seen (``Unseen``): a decoder that asks the host for a str's UTF-8 form finds
none cached, as with a reply that has just arrived.
"""

from __future__ import annotations

import functools
import json
import logging
import random
from collections.abc import Callable
from typing import cast

import msgspec
import orjson
from _harness import Unseen, Workload
from _reference_models import claims as claims_model
from _reference_models import clean_json_reply as _clean
from _reference_models import facts as facts_model
from _reference_models import proposals as proposals_model

from kelvane_layer._internal.evolution import parse_evolution_output
from kelvane_layer._internal.extraction import (
    parse_claim_extraction_output,
    parse_extraction_output,
)

# -- the published rows: one reply each, ASCII ----------------------------------------


def _evolution_reply() -> tuple[str, set[str]]:
    ids = {f"ins-{i}" for i in range(5)}
    proposals = [
        {
            "text": f"When a customer reports issue {i} twice, escalate it to a senior agent "
            "and confirm the callback window in writing.",
            "source_insight_id": f"ins-{i}",
            "note": "repeat",
        }
        for i in range(5)
    ]
    body = json.dumps({"proposed": proposals}, indent=2)
    return "```json\n" + body + "\n```", ids


def _facts_reply(n: int) -> str:
    facts = [
        {
            "subject": f"customer {i}",
            "attribute": "contact_channel",
            "value": "email, weekdays" + " ." * (i % 4),
            "confidence": 0.5 + (i % 50) / 100,
        }
        for i in range(n)
    ]
    return json.dumps({"facts": facts})


def _claims_reply(n: int) -> str:
    claims = [
        {"subject": f"order {1000 + i}", "attribute": "delivery_date",
         "value": f"2026-02-{i % 28 + 1:02d}, by courier"}
        for i in range(n)
    ]
    return json.dumps({"claims": claims})


def _parser(entry: str, workload: str, ours, reply: str) -> Workload:
    cleaned = _clean(reply)
    assert orjson.loads(cleaned) == msgspec.json.decode(cleaned) == json.loads(cleaned)
    return Workload(entry, workload, ours, {"orjson.loads": lambda: orjson.loads(cleaned)},
                    peers={"msgspec.json.decode": lambda: msgspec.json.decode(cleaned)},
                    target=1.0, strict=True)


def _published() -> list[Workload]:
    reply, ids = _evolution_reply()
    assert len(parse_evolution_output(reply, ids)) == 5
    small = _facts_reply(8)
    assert len(parse_extraction_output(small)) == 8
    big = _facts_reply(10_000)
    assert len(parse_extraction_output(big)) == 10_000
    claims = _claims_reply(8)
    assert len(parse_claim_extraction_output(claims)) == 8
    return [
        _parser("parse_evolution_output", f"fenced {len(reply)} B, 5 proposals",
                lambda: parse_evolution_output(reply, ids), reply),
        _parser("parse_extraction_output", f"{len(small)} B, 8 facts",
                lambda: parse_extraction_output(small), small),
        _parser("parse_extraction_output", f"{len(big) / 1e6:.2f} MB, 10,000 facts",
                lambda: parse_extraction_output(big), big),
        _parser("parse_claim_extraction_output", f"{len(claims)} B, 8 claims",
                lambda: parse_claim_extraction_output(claims), claims),
    ]


# -- replies in four scripts ---------------------------------------------------------
#
# Entries as models write them: subjects and values of a few words drawn from
# the script's own phrases, attributes from a short list in snake_case (models
# keep those English whatever the text), the same few attributes and
# subjects recurring from entry to entry.

ATTRIBUTES = ["contact_channel", "preferred_language", "location", "employer",
              "delivery_date", "plan_tier", "order_status", "payment_method"]

SCRIPTS: dict[str, dict[str, list[str]]] = {
    "ASCII": {
        "subjects": ["the customer", "Acme Corp", "order 4417", "the user", "Dana Whitfield",
                     "support ticket 88", "the billing team", "the Leeds warehouse"],
        "phrases": ["prefers email", "on weekdays", "after 5 pm", "moved to Lyon",
                    "paid by card", "renewed the annual plan", "asked for a refund",
                    "ships from Rotterdam", "speaks Portuguese", "works at Globex"],
    },
    "Latin accents": {
        "subjects": ["la cliente H\u00e9l\u00e8ne", "M\u00fcller GmbH", "el se\u00f1or Mu\u00f1oz",
                     "la commande n\u00ba 4417", "Fran\u00e7ois Dupr\u00e9",
                     "B\u00e4ckerei Gr\u00fcn", "do\u00f1a In\u00e9s", "l'\u00e9quipe facturation"],
        "phrases": ["pr\u00e9f\u00e8re le courriel", "zur\u00fcck am Montag",
                    "paiement re\u00e7u \u00e0 l'\u00e9ch\u00e9ance",
                    "env\u00edo expr\u00e9s a M\u00e1laga", "Gr\u00f6\u00dfe L, Farbe Gr\u00fcn",
                    "caf\u00e9 cr\u00e8me sans sucre", "habla portugu\u00e9s",
                    "Stra\u00dfe der Einheit 12", "r\u00e9sili\u00e9 en f\u00e9vrier",
                    "a\u00f1o fiscal cerrado"],
    },
    "CJK": {
        "subjects": ["\u7530\u4e2d\u3055\u3093", "\u682a\u5f0f\u4f1a\u793e\u30a2\u30af\u30e1",
                     "\u6ce8\u6587\u756a\u53f74417", "\u738b\u5c0f\u660e", "\u5317\u4eac\u652f\u5e97",
                     "\uace0\uac1d \uae40\ubbfc\uc900", "\u8acb\u6c42\u66f8 88",
                     "\u5927\u962a\u306e\u5009\u5eab"],
        "phrases": ["\u6771\u4eac\u90fd\u6e0b\u8c37\u533a", "\u6bce\u9031\u6708\u66dc\u65e5\u306b\u914d\u9001",
                    "\u30e1\u30fc\u30eb\u3067\u306e\u9023\u7d61\u3092\u5e0c\u671b",
                    "\u5df2\u4e8e\u4e09\u6708\u4ed8\u6b3e", "\u5e74\u9593\u30d7\u30e9\u30f3\u3092\u66f4\u65b0",
                    "\u8fd4\u91d1\u3092\u8981\u6c42", "\uc774\uba54\uc77c \uc120\ud638",
                    "\u914d\u9001\u5148\u306f\u5927\u962a", "\u30dd\u30eb\u30c8\u30ac\u30eb\u8a9e\u3092\u8a71\u3059",
                    "\u5348\u5f8c5\u6642\u4ee5\u964d"],
    },
    "emoji": {
        "subjects": ["the customer", "Acme Corp \U0001f3ed", "order 4417 \U0001f4e6", "the user",
                     "Dana \U0001f469\u200d\U0001f4bc", "support ticket 88", "the billing team",
                     "the Leeds warehouse"],
        "phrases": ["prefers chat \U0001f4ac", "delivered \U0001f4e6 on Friday",
                    "rated the agent \U0001f44d\U0001f44d", "wants the \U0001f680 plan",
                    "escalated \u26a0\ufe0f twice", "paid by card \U0001f4b3", "moved to Lyon",
                    "happy \U0001f600", "on weekdays", "asked for a refund \U0001f4b8"],
    },
}

FORMS = {"raw": False, "\\u-escaped": True}  # label -> ensure_ascii
SIZES = (8, 10_000)
INSIGHT_IDS = frozenset(f"ins-{i}" for i in range(20))
CONFIDENCES = (0.55, 0.7, 0.8, 0.85, 0.9, 0.95, 1.0)


def _phrase(rng: random.Random, words: list[str], lo: int, hi: int) -> str:
    return ", ".join(rng.sample(words, rng.randint(lo, hi)))


def _entries(kind: str, script: str, n: int) -> list[dict[str, object]]:
    rng = random.Random(f"{kind} {script} {n}")
    vocab = SCRIPTS[script]
    subjects, phrases = vocab["subjects"], vocab["phrases"]
    out: list[dict[str, object]] = []
    for i in range(n):
        if kind == "proposals":
            cited = f"ins-{rng.randrange(24)}"  # a few cite an id the cycle does not have
            out.append({"text": f"When {rng.choice(subjects)} mentions "
                                f"{_phrase(rng, phrases, 1, 2)}, confirm {rng.choice(phrases)}.",
                        "source_insight_id": cited})
            continue
        # Runs of entries about one subject, as a memory about one party gives.
        subject = subjects[(i // 3) % len(subjects)] if rng.random() < 0.8 else rng.choice(subjects)
        entry: dict[str, object] = {"subject": subject, "attribute": rng.choice(ATTRIBUTES),
                                    "value": _phrase(rng, phrases, 1, 3)}
        if kind == "facts":
            entry["confidence"] = rng.choice(CONFIDENCES)
        out.append(entry)
    return out


def _reply(kind: str, script: str, n: int, ensure_ascii: bool) -> str:
    entries = _entries(kind, script, n)
    if kind == "proposals":  # fenced and indented, as chat models usually answer
        body = json.dumps({"proposed": entries}, indent=2, ensure_ascii=ensure_ascii)
        return "```json\n" + body + "\n```"
    return json.dumps({kind: entries}, ensure_ascii=ensure_ascii)


PARSERS: dict[str, tuple[str, Callable[..., object], Callable[..., tuple[object, object]]]] = {
    # kind -> (entry point, the parser on (reply, *extra), its plain-Python model)
    "proposals": ("parse_evolution_output", parse_evolution_output, proposals_model),
    "facts": ("parse_extraction_output", parse_extraction_output, facts_model),
    "claims": ("parse_claim_extraction_output", parse_claim_extraction_output, claims_model),
}


def _inputs(kind: str, script: str, n: int, ensure_ascii: bool) -> Callable[[], tuple[str, str]]:
    """The reply and its cleaned text, made and checked on first use."""

    @functools.cache
    def make() -> tuple[str, str]:
        reply = _reply(kind, script, n, ensure_ascii)
        cleaned = _clean(reply)
        extra = (INSIGHT_IDS,) if kind == "proposals" else ()
        _, ours, reference = PARSERS[kind]
        got = ours(reply, *extra)
        assert (got, None) == reference(reply, *extra) and len(cast(list[object], got)) == n
        assert orjson.loads(cleaned) == msgspec.json.decode(cleaned) == json.loads(cleaned)
        return reply, cleaned

    return make


def _script_rows() -> list[Workload]:
    out = []
    for n in SIZES:
        for kind, (entry, ours, _) in PARSERS.items():
            for script in SCRIPTS:
                for form, ensure_ascii in FORMS.items():
                    make = _inputs(kind, script, n, ensure_ascii)

                    def reply(make=make, kind=kind) -> tuple[object, ...]:
                        return (make()[0], INSIGHT_IDS) if kind == "proposals" else (make()[0],)

                    def cleaned(make=make) -> tuple[object, ...]:
                        return (make()[1],)

                    out.append(Workload(
                        entry, f"{n:,} {kind}, {script}, {form}", Unseen(ours, reply),
                        {"orjson.loads": Unseen(orjson.loads, cleaned)},
                        peers={"msgspec.json.decode": Unseen(msgspec.json.decode, cleaned)},
                        target=1.0, strict=True, once=n > 1000))
    return out


def workloads() -> list[Workload]:
    # Timing the parsers, not the logging machinery.
    logging.getLogger("kelvane_layer._internal.evolution").disabled = True
    logging.getLogger("kelvane_layer._internal.extraction").disabled = True
    return _published() + _script_rows()
