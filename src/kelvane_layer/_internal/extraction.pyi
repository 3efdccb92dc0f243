"""Fact and claim extraction: prompts that ask the model for atomic (subject, attribute, value) triples -- facts from a stored memory, claims from a draft answer -- and the parsers of its replies.

A reply the parsers cannot use is reported as one WARNING record on the logger 'kelvane_layer._internal.extraction' (field 'response_preview' or 'type' in the record's extra) and yields an empty list; malformed entries are dropped silently.
"""

from typing import TypedDict, type_check_only

__all__ = [
    "build_claim_extraction_prompt",
    "build_extraction_prompt",
    "parse_claim_extraction_output",
    "parse_extraction_output",
]

# The record types exist for type checkers only: import them under
# ``if TYPE_CHECKING:`` (or in string annotations), never at run time.
@type_check_only
class FactRecord(TypedDict):
    """One fact of a memory: non-empty trimmed texts and a confidence in [0.5, 1.0]."""

    subject: str
    attribute: str
    value: str
    confidence: float

@type_check_only
class ClaimRecord(TypedDict):
    """One verifiable claim of a draft answer: non-empty trimmed texts, no confidence."""

    subject: str
    attribute: str
    value: str

_EXTRACTION_SYSTEM: str
_CLAIM_EXTRACTION_SYSTEM: str

def build_extraction_prompt(
    memory_content: str, max_facts: float, role: str = "user"
) -> tuple[str, list[dict[str, str]]]:
    """Render the fact-extraction prompt pair (system prompt, messages).

    The memory is inserted trimmed and otherwise verbatim (never rescanned for placeholders), ``role`` as given (it lets the model resolve pronouns) and ``max_facts`` in decimal (any number, truncated toward zero).  The message list is ``[{'role': 'user', 'content': 'Extract facts.'}]`` whatever ``role`` is.

    Raises TypeError for arguments of the wrong kind.
    """

def parse_extraction_output(response: str) -> list[FactRecord]:
    """Read the model's reply to the fact-extraction prompt.

    After the reply is trimmed and un-fenced and decoded as JSON, returns one ``{'subject', 'attribute', 'value', 'confidence'}`` record per usable entry of the ``facts`` array, in reply order: three non-blank strings (trimmed) and a numeric or boolean confidence, as a float, within [0.5, 1.0] (NaN and integers beyond the float range are dropped).  No cap, no de-duplication.

    Never raises for a reply: an undecodable reply, a non-object reply or a ``facts`` that is not an array logs one warning and returns []; malformed entries are skipped.  Raises TypeError when ``response`` is not a str.
    """

def build_claim_extraction_prompt(
    output: str, max_claims: float
) -> tuple[str, list[dict[str, str]]]:
    """Render the claim-extraction prompt pair for a draft answer.

    The draft is inserted trimmed and otherwise verbatim, ``max_claims`` in decimal (any number, truncated toward zero).  The message list is ``[{'role': 'user', 'content': 'Extract claims.'}]``.

    Raises TypeError for arguments of the wrong kind.
    """

def parse_claim_extraction_output(response: str) -> list[ClaimRecord]:
    """Read the model's reply to the claim-extraction prompt.

    Returns one ``{'subject', 'attribute', 'value'}`` record (trimmed, non-blank strings) per usable entry of the ``claims`` array, in reply order; any other member of an entry, ``confidence`` included, is ignored.

    Never raises for a reply: an undecodable reply logs one warning and returns []; a non-object reply or a ``claims`` that is not an array returns [] silently.  Raises TypeError when ``response`` is not a str.
    """
