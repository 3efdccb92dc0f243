"""Fact and claim extraction: prompts for (subject, attribute, value) triples and their parsers."""

__all__ = [
    "build_claim_extraction_prompt",
    "build_extraction_prompt",
    "parse_claim_extraction_output",
    "parse_extraction_output",
]

_EXTRACTION_SYSTEM: str
_CLAIM_EXTRACTION_SYSTEM: str

def build_extraction_prompt(
    memory_content: str, max_facts: float, role: str = "user"
) -> tuple[str, list[dict[str, str]]]:
    """Render the fact-extraction prompt pair (system prompt, messages)."""

def parse_extraction_output(response: str) -> list[dict[str, str | float]]:
    """Read the reply to the fact-extraction prompt; never raises for a reply."""

def build_claim_extraction_prompt(
    output: str, max_claims: float
) -> tuple[str, list[dict[str, str]]]:
    """Render the claim-extraction prompt pair for a draft answer."""

def parse_claim_extraction_output(response: str) -> list[dict[str, str]]:
    """Read the reply to the claim-extraction prompt; never raises for a reply."""
