"""Health scoring: sub-scores, the composite kelvane score and the classifier."""

from collections.abc import Mapping

from kelvane_layer._internal.tuning_profile import TuningProfile
from kelvane_layer.types import CognitiveHealthStatus

__all__ = [
    "REMEDY_URL_BASE",
    "classify_cognitive_health",
    "compute_memory_diversity",
    "compute_reinforcement_ratio",
    "compute_kelvane_score",
    "remedy_url_for",
]

REMEDY_URL_BASE: str

def classify_cognitive_health(
    stats: Mapping[str, Mapping[str, object]], kelvane_score: float, admin: TuningProfile
) -> CognitiveHealthStatus: ...
def compute_memory_diversity(event_type_counts: Mapping[str, int]) -> float: ...
def compute_reinforcement_ratio(reinforced_count: int, total_memories: int) -> float: ...
def compute_kelvane_score(
    stats: Mapping[str, Mapping[str, object]], admin: TuningProfile
) -> float: ...
def remedy_url_for(status: CognitiveHealthStatus) -> str | None: ...
def _journal_frequency_score(entries_7d: int, target_days: float) -> float: ...
