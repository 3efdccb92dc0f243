"""Structural invariants that no tuning profile changes."""

__all__ = ["CRITIC_FLAG_TAXONOMY", "DIRECTIVE_DEDUP_COSINE_THRESHOLD", "DREAM_VALID_STATUSES"]

CRITIC_FLAG_TAXONOMY: frozenset[str]
DIRECTIVE_DEDUP_COSINE_THRESHOLD: float
DREAM_VALID_STATUSES: frozenset[str]
