"""Directive domains: keyword classification of a directive into one of six
business domains, and the per-cycle limits the evolution step applies."""

from typing import Final

__all__ = [
    "DIRECTIVE_DOMAINS",
    "DOMAIN_GENERAL",
    "EVOLVE_DEDUP_THRESHOLD",
    "EVOLVE_MAX_PER_DOMAIN",
    "classify_directive_domain",
]

DIRECTIVE_DOMAINS: Final[frozenset[str]]
DOMAIN_GENERAL: Final[str]
EVOLVE_DEDUP_THRESHOLD: Final[float]
EVOLVE_MAX_PER_DOMAIN: Final[int]
_DOMAIN_KEYWORDS: Final[dict[str, tuple[str, ...]]]

def classify_directive_domain(text: str) -> str:
    """Tag a directive with its business domain (one of ``DIRECTIVE_DOMAINS``)."""
