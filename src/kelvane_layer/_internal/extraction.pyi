"""Fact and claim extraction: prompts for (subject, attribute, value) triples and their parsers."""

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
    """Render the fact-extraction prompt pair (system prompt, messages)."""

def parse_extraction_output(response: str) -> list[FactRecord]:
    """Read the reply to the fact-extraction prompt; never raises for a reply."""

def build_claim_extraction_prompt(
    output: str, max_claims: float
) -> tuple[str, list[dict[str, str]]]:
    """Render the claim-extraction prompt pair for a draft answer."""

def parse_claim_extraction_output(response: str) -> list[ClaimRecord]:
    """Read the reply to the claim-extraction prompt; never raises for a reply."""
