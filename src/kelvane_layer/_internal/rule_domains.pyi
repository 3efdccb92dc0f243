"""Directive domains: keyword classification of a directive into one of six business domains, and the per-cycle limits the directive-evolution step applies with the tags."""

from typing import Final

__all__ = [
    "DIRECTIVE_DOMAINS",
    "DOMAIN_GENERAL",
    "EVOLVE_DEDUP_THRESHOLD",
    "EVOLVE_MAX_PER_DOMAIN",
    "classify_directive_domain",
]

DIRECTIVE_DOMAINS: Final[frozenset[str]]
"""The six domains that a directive may be tagged with, ``DOMAIN_GENERAL`` included."""
DOMAIN_GENERAL: Final[str]
"""The domain of a directive that names no business keyword."""
EVOLVE_DEDUP_THRESHOLD: Final[float]
"""Cosine similarity from which a proposal duplicates one already kept in the cycle."""
EVOLVE_MAX_PER_DOMAIN: Final[int]
"""Most proposals kept per business domain in one cycle (``DOMAIN_GENERAL`` has no limit)."""
_DOMAIN_KEYWORDS: Final[dict[str, tuple[str, ...]]]

def classify_directive_domain(text: str) -> str:
    """Tag a directive with its business domain.

    The text is lower-cased with the full default Unicode mapping (the host's own
    str.lower()), then the keywords of ``_DOMAIN_KEYWORDS`` are searched as plain
    substrings, domain by domain in table order (billing, security, escalation,
    fulfillment, retention); the first domain with any match wins.  No word boundaries:
    "ship" matches inside "relationship".  Returns ``DOMAIN_GENERAL`` when nothing
    matches.  Raises TypeError if ``text`` is not a str.
    """
