"""Directive evolution: the prompt that asks the model for new behavioural directives derived from a reflection cycle's insights, and the parser of its reply.

A reply the parser cannot use is reported as one WARNING record on the logger 'kelvane_layer._internal.evolution' (field 'response_preview' or 'type' in the record's extra) and yields an empty list; malformed entries are dropped silently.
"""

from collections.abc import Mapping
from typing import TypedDict, type_check_only

__all__ = ["build_evolution_prompt", "parse_evolution_output"]

# The record types exist for type checkers only: import them under
# ``if TYPE_CHECKING:`` (or in string annotations), never at run time.
@type_check_only
class InsightRecord(TypedDict):
    """The two keys of an insight that the prompt reads; a record may carry more."""

    id: str
    text: str

@type_check_only
class Proposal(TypedDict):
    """One proposed directive: its trimmed text and the id of the insight it came from."""

    text: str
    source_insight_id: str

_EVOLUTION_SYSTEM: str

# Lists are invariant, so the element type is a parameter: a host's
# list[InsightRecord], list[dict[str, str]] or list of its own TypedDict all
# fit, as long as each element is a mapping (the builder reads 'id' and 'text').
def build_evolution_prompt[I: Mapping[str, object]](
    insights: list[I],
    directives: list[str],
    max_per_cycle: float,
    style_guidance: str | None = None,
) -> tuple[str, list[dict[str, str]]]:
    """Render the directive-evolution prompt pair (system prompt, messages).

    ``insights`` are records with ``id`` and ``text`` (shown as ``[id]: text`` lines, in order); ``directives`` are the active directive texts (numbered from 1, or "(none)"); ``max_per_cycle`` is the number of proposals to ask for (any number, truncated toward zero); a non-blank ``style_guidance`` is added, trimmed, as one more rule.  Values are inserted verbatim and never rescanned for placeholders.  The message list is ``[{'role': 'user', 'content': 'Generate directive proposals.'}]``.

    Raises TypeError for arguments of the wrong kind or an insight that is not a mapping, and KeyError for an insight without ``id`` or ``text``.
    """

def parse_evolution_output(
    response: str, insight_ids: set[str] | frozenset[str]
) -> list[Proposal]:
    """Read the model's reply to the evolution prompt.

    The reply is trimmed, a ``` fence and a lower-case ``json`` tag are removed, and the rest is decoded as one JSON value.  Returns one ``{'text', 'source_insight_id'}`` record per usable entry of the ``proposed`` array, in reply order: the text trimmed, the source the cited id when it is in ``insight_ids`` and otherwise the smallest id (code-point order), or '' when ``insight_ids`` is empty.

    Never raises for a reply: an undecodable reply, a non-object reply or a ``proposed`` that is not an array logs one warning and returns []; malformed entries are skipped.  Raises TypeError when ``response`` is not a str or ``insight_ids`` is not a set of str.
    """
