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

# Lists are invariant, so element types are parameters: a host's
# list[tuple[str, str]], list[list[str]] or list of its own NamedTuple turns
# fits, and so does a list[float] or list[int] vector.

def build_convergence_prompt[T: tuple[str, str] | list[str]](turns: list[T]) -> str:
    """Render (sender_id, content) turns as the judge's user prompt."""

def parse_convergence_verdict(text: str) -> tuple[bool, str]:
    """Read the judge's reply as ``(is_converged, summary_or_reason)``; never raises on a str."""

def cosine_similarity[A: float, B: float](a: list[A], b: list[B]) -> float:
    """Cosine similarity of two equal-length vectors in sequential double arithmetic."""
