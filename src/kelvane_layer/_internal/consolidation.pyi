"""Memory consolidation: the LLM prompt that distils a batch of memories into one non-obvious insight, its reply parser, and the consolidation tuning constants of the balanced profile."""

from collections.abc import Mapping
from typing import TypedDict, type_check_only

from kelvane_layer._internal.tuning_profile import TuningProfile

__all__ = [
    "build_consolidation_prompt",
    "parse_consolidation_output",
    "MAX_CONSOLIDATION_INPUTS",
    "DEFAULT_CONSOLIDATION_MIN_SALIENCE",
    "TIER2_DEDUP_THRESHOLD",
]

# For type checkers only: import it under ``if TYPE_CHECKING:``.
@type_check_only
class MemoryRecord(TypedDict):
    """The keys of a memory that the prompt reads; a back-end's record may carry more.

    ``content`` is written as it is when it is text and as JSON when it is a
    dict; ``event_type`` and ``created_at`` in their plain text form.
    """

    content: str | Mapping[str, object]
    event_type: str
    created_at: object

MAX_CONSOLIDATION_INPUTS: int
"""Most memories one consolidation takes.

The balanced value of ``TuningProfile.consolidation_max_inputs``.
"""
DEFAULT_CONSOLIDATION_MIN_SALIENCE: float
"""Least salience a memory needs to be consolidated.

The balanced value of ``TuningProfile.consolidation_min_salience``.
"""
TIER2_DEDUP_THRESHOLD: float
"""Similarity from which two consolidated entries are duplicates.

The balanced value of ``TuningProfile.tier2_dedup_threshold``.
"""

_CONSOLIDATION_SYSTEM: str
_CONSOLIDATION_USER: str
_PROFILE: TuningProfile

# Lists are invariant, so the element type is a parameter: a host's list of
# its own TypedDict, list[MemoryRecord] or list[dict[str, Any]] all fit.
def build_consolidation_prompt[M: Mapping[str, object]](
    memories: list[M],
) -> tuple[str, list[dict[str, str]]]:
    """Render the consolidation prompt pair for ``memories``.

    Each memory is a mapping with the keys ``content`` (text, or a dict written as JSON), ``event_type`` and ``created_at``; other keys are ignored.  Every memory is rendered, in the order given, as ``[n] (event_type, created_at): content``.

    Returns ``(system_prompt, [{'role': 'user', 'content': user_message}])``.

    Raises TypeError if ``memories`` is not a list of mappings, KeyError for the first missing key (content, event_type, created_at, memory by memory), TypeError or ValueError if map content cannot be encoded (a key of an unsupported kind, a container that contains itself).
    """
def parse_consolidation_output(response: str) -> str:
    """Clean the LLM's reply into the insight text.

    Trims whitespace, removes one pair of enclosing ``` fences (a language tag is kept as text), then one pair of enclosing double quotes.  Never fails on text; the result may be empty.  Raises TypeError if ``response`` is not a str.
    """
