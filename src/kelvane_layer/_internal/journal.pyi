"""Journal synthesis: prompt builder and reply parser."""

from collections.abc import Mapping
from typing import NotRequired, TypedDict, type_check_only

__all__ = ["build_journal_prompt", "parse_journal_output"]

# For type checkers only: import it under ``if TYPE_CHECKING:``.
@type_check_only
class MemoryRecord(TypedDict):
    """The keys of a memory that the prompt reads; a back-end's record may carry more.

    ``content`` is written as it is when it is text and as JSON when it is a
    dict; the others in their plain text form, ``salience`` as "N/A" when absent.
    """

    content: str | Mapping[str, object]
    event_type: str
    salience: NotRequired[float]
    created_at: object

_JOURNAL_SYSTEM: str
_JOURNAL_USER: str

# Lists are invariant, so the element type is a parameter: a host's list of
# its own TypedDict, list[MemoryRecord] or list[dict[str, Any]] all fit.
def build_journal_prompt[M: Mapping[str, object]](
    memories: list[M],
) -> tuple[str, list[dict[str, str]]]: ...
def parse_journal_output(response: str) -> str: ...
