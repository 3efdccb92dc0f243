"""Convergence judge of a multi-agent thread: the judge's system prompt, the transcript builder and the verdict parser, plus the cosine similarity and ceiling of the stagnation gate."""

from typing import Final

__all__ = [
    "CONVERGENCE_JUDGE_SYSTEM_PROMPT",
    "STAGNATION_COSINE_THRESHOLD",
    "build_convergence_prompt",
    "cosine_similarity",
    "parse_convergence_verdict",
]

CONVERGENCE_JUDGE_SYSTEM_PROMPT: Final[str]
"""The judge's system prompt: it asks for ``CONVERGED|summary`` or ``OPEN|reason``."""
STAGNATION_COSINE_THRESHOLD: Final[float]
"""Cosine similarity of consecutive turns above which a thread is stagnant."""

# Lists are invariant, so element types are parameters: a host's
# list[tuple[str, str]], list[list[str]] or list of its own NamedTuple turns
# fits, and so does a list[float] or list[int] vector.

def build_convergence_prompt[T: tuple[str, str] | list[str]](turns: list[T]) -> str:
    """Render a thread's turns as the judge's user prompt.

    ``turns`` is a list of (sender_id, content) pairs in chronological order; each turn
    is unpacked as ``sender_id, content = turn`` would unpack it (any iterable of
    exactly two values) and both values must be str.  Each turn becomes one line
    ``- [sender_id] content``: the sender id exactly as given, the content with every
    run of whitespace made one space and the ends trimmed.  The lines follow the header
    ``Thread transcript (chronological):``; an empty line and the closing question end
    the text, with no final line feed.

    Raises TypeError if ``turns`` is not a list, a turn is not iterable, or a value
    is not a str; ValueError if a turn does not hold exactly two values.
    """

def parse_convergence_verdict(text: str) -> tuple[bool, str]:
    """Read the judge's reply as ``(is_converged, text)``.

    The trimmed reply is split at its first ``|``; the part before it, trimmed and
    upper-cased (full Unicode mapping), is the token.  ``CONVERGED`` with a non-empty
    summary gives ``(True, summary)``; ``OPEN`` gives ``(False, reason)`` or
    ``(False, 'judge marked thread open')`` without a reason.  Anything else, including
    ``CONVERGED`` without a summary, gives ``(False, trimmed reply)``.  Never raises on
    any str; raises TypeError if ``text`` is not a str.
    """

def cosine_similarity[A: float, B: float](a: list[A], b: list[B]) -> float:
    """Cosine similarity of two equal-length vectors (lists of float or int).

    Computed in sequential double arithmetic: dot product and both squared norms summed
    in index order, then ``dot / (sqrt(norm_a) * sqrt(norm_b))``.  Empty vectors and a
    zero norm (including squares that underflow) give 0.0; the result is not clamped
    and NaN or infinities propagate.  Raises TypeError unless both are lists of float or
    int, ValueError on a length mismatch, OverflowError for an int beyond the double
    range.
    """
