"""Reply parsers and the evolution prompt builder.

Each parser row also times the host's ``json.loads`` on the same cleaned
text, the decoding step alone, for comparison.
"""

from __future__ import annotations

import json
import logging

from _harness import Row, per_call_us

from kelvane_layer._internal.evolution import (
    build_evolution_prompt,
    parse_evolution_output,
)
from kelvane_layer._internal.extraction import parse_extraction_output


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



def run() -> list[Row]:
    rows: list[Row] = []
    # Timing the parsers, not the logging machinery.
    logging.getLogger("kelvane_layer._internal.evolution").disabled = True
    logging.getLogger("kelvane_layer._internal.extraction").disabled = True

    reply, ids = _evolution_reply()
    assert len(parse_evolution_output(reply, ids)) == 5
    ours = per_call_us(lambda: parse_evolution_output(reply, ids))
    cleaned = _clean(reply)
    ref = per_call_us(lambda: json.loads(cleaned))
    rows.append(Row("parse_evolution_output", f"fenced {len(reply)} B, 5 proposals", ours,
                    f"json.loads alone {ref:.2f} us, {ref / ours:.1f}x"))

    small = _facts_reply(8)
    assert len(parse_extraction_output(small)) == 8
    ours = per_call_us(lambda: parse_extraction_output(small))
    ref = per_call_us(lambda: json.loads(small))
    rows.append(Row("parse_extraction_output", f"{len(small)} B, 8 facts", ours,
                    f"json.loads alone {ref:.2f} us, {ref / ours:.1f}x"))

    big = _facts_reply(10_000)
    assert len(parse_extraction_output(big)) == 10_000
    ours = per_call_us(lambda: parse_extraction_output(big), min_time=1.0)
    ref = per_call_us(lambda: json.loads(big), min_time=1.0)
    mb = len(big) / 1e6
    rows.append(Row("parse_extraction_output", f"{mb:.2f} MB, 10,000 facts", ours,
                    f"{mb / (ours / 1e6):.0f} MB/s; json.loads alone {ref:.0f} us, "
                    f"{ref / ours:.1f}x"))

    insights = [
        {"id": f"ins-{i}", "text": f"Customers who wait more than {i} minutes abandon the chat."}
        for i in range(20)
    ]
    directives = [f"When the customer mentions order {i}, ask for the order number first."
                  for i in range(50)]
    ours = per_call_us(lambda: build_evolution_prompt(insights, directives, 3, "Keep it short."))
    rows.append(Row("build_evolution_prompt", "50 directives, 20 insights", ours, ""))

    logging.getLogger("kelvane_layer._internal.evolution").disabled = False
    logging.getLogger("kelvane_layer._internal.extraction").disabled = False
    return rows
