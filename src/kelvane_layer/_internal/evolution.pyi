"""Directive evolution: the prompt for new directives and the parser of its reply."""

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
    """Render the directive-evolution prompt pair (system prompt, messages)."""

def parse_evolution_output(
    response: str, insight_ids: set[str] | frozenset[str]
) -> list[Proposal]:
    """Read the model's reply to the evolution prompt; never raises for a reply."""
