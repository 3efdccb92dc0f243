"""Reply parsers: the whole parse, filtering and result objects included.

The floors are the two fastest JSON decoders available to the host, each
decoding the same reply after the same cleaning (fences and surrounding
whitespace removed), and doing nothing with the result.
"""

from __future__ import annotations

import json
import logging

import msgspec
import orjson
from _harness import Workload

from kelvane_layer._internal.evolution import parse_evolution_output
from kelvane_layer._internal.extraction import (
    parse_claim_extraction_output,
    parse_extraction_output,
)


def _clean(reply: str) -> str:
    t = reply.strip()
    if t.startswith("```") and t.endswith("```"):
        t = t[3:-3].strip()
        if t.startswith("json"):
            t = t[4:].strip()
    return t


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
    return Workload(entry, workload, ours,
                    {"orjson.loads": lambda: orjson.loads(cleaned),
                     "msgspec.json.decode": lambda: msgspec.json.decode(cleaned)},
                    target=1.0, strict=True)


def workloads() -> list[Workload]:
    # Timing the parsers, not the logging machinery.
    logging.getLogger("kelvane_layer._internal.evolution").disabled = True
    logging.getLogger("kelvane_layer._internal.extraction").disabled = True

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
