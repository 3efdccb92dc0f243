"""Structural invariants of the compute core: the closed critic flag taxonomy, the contractual directive de-duplication threshold and the closed set of reflection-cycle statuses.  No tuning profile changes them."""

__all__ = ["CRITIC_FLAG_TAXONOMY", "DIRECTIVE_DEDUP_COSINE_THRESHOLD", "DREAM_VALID_STATUSES"]

CRITIC_FLAG_TAXONOMY: frozenset[str]
"""The closed set of flags that the critic may raise on a draft."""
DIRECTIVE_DEDUP_COSINE_THRESHOLD: float
"""Cosine similarity from which a new directive is the same as an active one."""
DREAM_VALID_STATUSES: frozenset[str]
"""The closed set of statuses that a reflection cycle may end with."""
