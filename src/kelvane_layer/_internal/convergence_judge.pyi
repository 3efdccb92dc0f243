"""Convergence judge of a multi-agent thread and the cosine stagnation gate."""

from typing import Final

__all__ = [
    "CONVERGENCE_JUDGE_SYSTEM_PROMPT",
    "STAGNATION_COSINE_THRESHOLD",
    "build_convergence_prompt",
    "cosine_similarity",
    "parse_convergence_verdict",
]

CONVERGENCE_JUDGE_SYSTEM_PROMPT: Final[str]
STAGNATION_COSINE_THRESHOLD: Final[float]

# Lists are invariant: each accepted element typing is spelled out so that a
# caller's list[tuple[str, str]] (or list[int] vector) type-checks as it is.
def build_convergence_prompt(
    turns: list[tuple[str, str]] | list[list[str]] | list[tuple[str, str] | list[str]],
) -> str:
    """Render (sender_id, content) turns as the judge's user prompt."""

def parse_convergence_verdict(text: str) -> tuple[bool, str]:
    """Read the judge's reply as ``(is_converged, summary_or_reason)``; never raises on a str."""

def cosine_similarity(a: list[float] | list[int], b: list[float] | list[int]) -> float:
    """Cosine similarity of two equal-length vectors in sequential double arithmetic."""
