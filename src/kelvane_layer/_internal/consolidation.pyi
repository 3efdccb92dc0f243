"""Memory consolidation: prompt builder, reply parser and tuning constants."""

from typing import Any

from kelvane_layer._internal.tuning_profile import TuningProfile

__all__ = [
    "build_consolidation_prompt",
    "parse_consolidation_output",
    "MAX_CONSOLIDATION_INPUTS",
    "DEFAULT_CONSOLIDATION_MIN_SALIENCE",
    "TIER2_DEDUP_THRESHOLD",
]

MAX_CONSOLIDATION_INPUTS: int
DEFAULT_CONSOLIDATION_MIN_SALIENCE: float
TIER2_DEDUP_THRESHOLD: float

_CONSOLIDATION_SYSTEM: str
_CONSOLIDATION_USER: str
_PROFILE: TuningProfile

def build_consolidation_prompt(
    memories: list[dict[str, Any]],
) -> tuple[str, list[dict[str, str]]]: ...
def parse_consolidation_output(response: str) -> str: ...
