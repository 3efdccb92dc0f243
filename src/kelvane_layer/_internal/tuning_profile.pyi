"""The tuning profile: one immutable record of every tuning constant."""

from types import CapsuleType
from typing import final

__all__ = ["TuningProfile", "replace"]

# The table through which other extension modules read profiles.
_C_API: CapsuleType

@final
class TuningProfile:
    """Immutable record of every tuning constant; built with no arguments it is the balanced profile."""

    __match_args__ = (
        "salience_reinforcement_weight",
        "salience_emotion_weight",
        "salience_recency_weight",
        "salience_reinforcement_cap",
        "salience_recency_half_life_days",
        "decay_factor",
        "weaken_days",
        "archive_days",
        "emotional_immunity_threshold",
        "directive_provisional_days",
        "directive_decay_usage_threshold",
        "directive_decay_age_days",
        "directive_max_volume",
        "critic_max_directives",
        "coherence_threshold",
        "entropy_churn_weight",
        "entropy_volume_weight",
        "entropy_staleness_weight",
        "entropy_volume_cap",
        "entropy_stale_days",
        "entropy_cycle_hours",
        "journal_max_content_size",
        "journal_max_memories",
        "journal_min_memories",
        "dream_max_steps_size",
        "dream_evolve_max_per_cycle",
        "dream_evolve_temperature",
        "dream_evolve_style_guidance",
        "consolidation_max_inputs",
        "consolidation_min_salience",
        "tier2_dedup_threshold",
        "max_context_chars",
        "enable_fact_extraction",
        "fact_extraction_temperature",
        "fact_extraction_max_per_memory",
        "facts_context_slot_chars",
        "critic_verifies_grounding",
        "grounding_max_claims",
        "grounding_semantic_threshold",
        "kelvane_memory_diversity_weight",
        "kelvane_directive_coherence_weight",
        "kelvane_dream_health_weight",
        "kelvane_reinforcement_ratio_weight",
        "kelvane_journal_frequency_weight",
        "kelvane_journal_target_days",
        "health_kelvane_healthy_threshold",
        "health_dream_success_healthy_threshold",
        "health_stagnant_capture_threshold_7d",
        "health_stagnant_reinforcement_ratio",
        "health_drifting_demotion_rate_threshold",
        "health_overloaded_dream_failure_threshold",
        "postgres_ivf_lists",
        "postgres_ivf_threshold_rows",
        "dream_phase_concurrency",
    )

    def __new__(
        cls,
        salience_reinforcement_weight: float = ...,
        salience_emotion_weight: float = ...,
        salience_recency_weight: float = ...,
        salience_reinforcement_cap: int = ...,
        salience_recency_half_life_days: float = ...,
        decay_factor: float = ...,
        weaken_days: int = ...,
        archive_days: int = ...,
        emotional_immunity_threshold: float = ...,
        directive_provisional_days: int = ...,
        directive_decay_usage_threshold: int = ...,
        directive_decay_age_days: int = ...,
        directive_max_volume: int = ...,
        critic_max_directives: int = ...,
        coherence_threshold: float = ...,
        entropy_churn_weight: float = ...,
        entropy_volume_weight: float = ...,
        entropy_staleness_weight: float = ...,
        entropy_volume_cap: float = ...,
        entropy_stale_days: int = ...,
        entropy_cycle_hours: int = ...,
        journal_max_content_size: int = ...,
        journal_max_memories: int = ...,
        journal_min_memories: int = ...,
        dream_max_steps_size: int = ...,
        dream_evolve_max_per_cycle: int = ...,
        dream_evolve_temperature: float = ...,
        dream_evolve_style_guidance: str | None = ...,
        consolidation_max_inputs: int = ...,
        consolidation_min_salience: float = ...,
        tier2_dedup_threshold: float = ...,
        max_context_chars: int = ...,
        enable_fact_extraction: bool = ...,
        fact_extraction_temperature: float = ...,
        fact_extraction_max_per_memory: int = ...,
        facts_context_slot_chars: int = ...,
        critic_verifies_grounding: bool = ...,
        grounding_max_claims: int = ...,
        grounding_semantic_threshold: float = ...,
        kelvane_memory_diversity_weight: float = ...,
        kelvane_directive_coherence_weight: float = ...,
        kelvane_dream_health_weight: float = ...,
        kelvane_reinforcement_ratio_weight: float = ...,
        kelvane_journal_frequency_weight: float = ...,
        kelvane_journal_target_days: float = ...,
        health_kelvane_healthy_threshold: float = ...,
        health_dream_success_healthy_threshold: float = ...,
        health_stagnant_capture_threshold_7d: int = ...,
        health_stagnant_reinforcement_ratio: float = ...,
        health_drifting_demotion_rate_threshold: float = ...,
        health_overloaded_dream_failure_threshold: float = ...,
        postgres_ivf_lists: int = ...,
        postgres_ivf_threshold_rows: int = ...,
        dream_phase_concurrency: int = ...,
    ) -> TuningProfile: ...
    @property
    def salience_reinforcement_weight(self) -> float: ...
    @property
    def salience_emotion_weight(self) -> float: ...
    @property
    def salience_recency_weight(self) -> float: ...
    @property
    def salience_reinforcement_cap(self) -> int: ...
    @property
    def salience_recency_half_life_days(self) -> float: ...
    @property
    def decay_factor(self) -> float: ...
    @property
    def weaken_days(self) -> int: ...
    @property
    def archive_days(self) -> int: ...
    @property
    def emotional_immunity_threshold(self) -> float: ...
    @property
    def directive_provisional_days(self) -> int: ...
    @property
    def directive_decay_usage_threshold(self) -> int: ...
    @property
    def directive_decay_age_days(self) -> int: ...
    @property
    def directive_max_volume(self) -> int: ...
    @property
    def critic_max_directives(self) -> int: ...
    @property
    def coherence_threshold(self) -> float: ...
    @property
    def entropy_churn_weight(self) -> float: ...
    @property
    def entropy_volume_weight(self) -> float: ...
    @property
    def entropy_staleness_weight(self) -> float: ...
    @property
    def entropy_volume_cap(self) -> float: ...
    @property
    def entropy_stale_days(self) -> int: ...
    @property
    def entropy_cycle_hours(self) -> int: ...
    @property
    def journal_max_content_size(self) -> int: ...
    @property
    def journal_max_memories(self) -> int: ...
    @property
    def journal_min_memories(self) -> int: ...
    @property
    def dream_max_steps_size(self) -> int: ...
    @property
    def dream_evolve_max_per_cycle(self) -> int: ...
    @property
    def dream_evolve_temperature(self) -> float: ...
    @property
    def dream_evolve_style_guidance(self) -> str | None: ...
    @property
    def consolidation_max_inputs(self) -> int: ...
    @property
    def consolidation_min_salience(self) -> float: ...
    @property
    def tier2_dedup_threshold(self) -> float: ...
    @property
    def max_context_chars(self) -> int: ...
    @property
    def enable_fact_extraction(self) -> bool: ...
    @property
    def fact_extraction_temperature(self) -> float: ...
    @property
    def fact_extraction_max_per_memory(self) -> int: ...
    @property
    def facts_context_slot_chars(self) -> int: ...
    @property
    def critic_verifies_grounding(self) -> bool: ...
    @property
    def grounding_max_claims(self) -> int: ...
    @property
    def grounding_semantic_threshold(self) -> float: ...
    @property
    def kelvane_memory_diversity_weight(self) -> float: ...
    @property
    def kelvane_directive_coherence_weight(self) -> float: ...
    @property
    def kelvane_dream_health_weight(self) -> float: ...
    @property
    def kelvane_reinforcement_ratio_weight(self) -> float: ...
    @property
    def kelvane_journal_frequency_weight(self) -> float: ...
    @property
    def kelvane_journal_target_days(self) -> float: ...
    @property
    def health_kelvane_healthy_threshold(self) -> float: ...
    @property
    def health_dream_success_healthy_threshold(self) -> float: ...
    @property
    def health_stagnant_capture_threshold_7d(self) -> int: ...
    @property
    def health_stagnant_reinforcement_ratio(self) -> float: ...
    @property
    def health_drifting_demotion_rate_threshold(self) -> float: ...
    @property
    def health_overloaded_dream_failure_threshold(self) -> float: ...
    @property
    def postgres_ivf_lists(self) -> int: ...
    @property
    def postgres_ivf_threshold_rows(self) -> int: ...
    @property
    def dream_phase_concurrency(self) -> int: ...
    @classmethod
    def balanced(cls) -> TuningProfile: ...
    @classmethod
    def for_research(cls) -> TuningProfile: ...
    @classmethod
    def for_coding_assistant(cls) -> TuningProfile: ...
    @classmethod
    def for_consumer_support(cls) -> TuningProfile: ...
    @classmethod
    def for_strategic_advisors(cls) -> TuningProfile: ...
    @classmethod
    def for_lightweight_local(cls) -> TuningProfile: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[type[TuningProfile], tuple[object, ...]]: ...
    def __replace__(self, **changes: object) -> TuningProfile: ...

def replace(profile: TuningProfile, /, **changes: object) -> TuningProfile: ...
