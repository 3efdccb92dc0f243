"""Directive evolution: the prompt for new directives and the parser of its reply."""

from typing import Any

__all__ = ["build_evolution_prompt", "parse_evolution_output"]

_EVOLUTION_SYSTEM: str

def build_evolution_prompt(
    insights: list[dict[str, Any]],
    directives: list[str],
    max_per_cycle: float,
    style_guidance: str | None = None,
) -> tuple[str, list[dict[str, str]]]:
    """Render the directive-evolution prompt pair (system prompt, messages)."""

def parse_evolution_output(
    response: str, insight_ids: set[str] | frozenset[str]
) -> list[dict[str, str]]:
    """Read the model's reply to the evolution prompt; never raises for a reply."""
