"""Memory consolidation: prompt builder, reply parser and tuning constants."""

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
DEFAULT_CONSOLIDATION_MIN_SALIENCE: float
TIER2_DEDUP_THRESHOLD: float

_CONSOLIDATION_SYSTEM: str
_CONSOLIDATION_USER: str
_PROFILE: TuningProfile

# Lists are invariant, so the element type is a parameter: a host's list of
# its own TypedDict, list[MemoryRecord] or list[dict[str, Any]] all fit.
def build_consolidation_prompt[M: Mapping[str, object]](
    memories: list[M],
) -> tuple[str, list[dict[str, str]]]: ...
def parse_consolidation_output(response: str) -> str: ...
