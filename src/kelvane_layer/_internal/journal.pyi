"""Journal synthesis: the LLM prompt that turns memories (oldest first) into one narrative journal entry, and its reply parser."""

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
) -> tuple[str, list[dict[str, str]]]:
    """Render the journal prompt pair for ``memories``, passed oldest first.

    Each memory is a mapping with the keys ``content`` (text, or a dict written as JSON), ``event_type``, optionally ``salience`` ("N/A" when absent) and ``created_at``; other keys are ignored.  Every memory is rendered, in the order given, as ``[n] (event_type, salience=..., created_at): content``; nothing is shortened.

    Returns ``(system_prompt, [{'role': 'user', 'content': user_message}])``.

    Raises TypeError if ``memories`` is not a list of mappings, KeyError for the first missing required key (content, event_type, created_at, memory by memory), TypeError or ValueError if map content cannot be encoded.
    """
def parse_journal_output(response: str) -> str:
    """Clean the LLM's reply into the journal text.

    Trims whitespace, removes one pair of enclosing ``` fences (a language tag is kept as text), then one pair of enclosing double quotes.  Never fails on text; the result may be empty.  Raises TypeError if ``response`` is not a str.
    """
