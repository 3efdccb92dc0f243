"""The tuning profile: one immutable record of every tuning constant, its balanced values and five archetype presets."""

from types import CapsuleType
from typing import final

__all__ = ["TuningProfile", "replace"]

# The table through which other extension modules read profiles.
_C_API: CapsuleType

@final
class TuningProfile:
    """Immutable record of every tuning constant.

    Built with no arguments it is the balanced profile; the archetype presets are the for_* class methods.  Fields may be given by keyword, or by position in declaration order, and are stored exactly as passed (no conversion, no range check).  Profiles compare and hash by their field values, cannot be ordered, and cannot be changed: use replace() or copy.replace() for a changed copy.
    """

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
        salience_reinforcement_weight: float = 0.4,
        salience_emotion_weight: float = 0.4,
        salience_recency_weight: float = 0.2,
        salience_reinforcement_cap: int = 5,
        salience_recency_half_life_days: float = 7.0,
        decay_factor: float = 0.9,
        weaken_days: int = 30,
        archive_days: int = 90,
        emotional_immunity_threshold: float = 0.7,
        directive_provisional_days: int = 7,
        directive_decay_usage_threshold: int = 2,
        directive_decay_age_days: int = 7,
        directive_max_volume: int = 50,
        critic_max_directives: int = 20,
        coherence_threshold: float = 0.6,
        entropy_churn_weight: float = 0.4,
        entropy_volume_weight: float = 0.4,
        entropy_staleness_weight: float = 0.2,
        entropy_volume_cap: float = 50.0,
        entropy_stale_days: int = 30,
        entropy_cycle_hours: int = 24,
        journal_max_content_size: int = 50000,
        journal_max_memories: int = 50,
        journal_min_memories: int = 2,
        dream_max_steps_size: int = 100000,
        dream_evolve_max_per_cycle: int = 3,
        dream_evolve_temperature: float = 0.2,
        dream_evolve_style_guidance: str | None = None,
        consolidation_max_inputs: int = 20,
        consolidation_min_salience: float = 0.4,
        tier2_dedup_threshold: float = 0.95,
        max_context_chars: int = 100000,
        enable_fact_extraction: bool = False,
        fact_extraction_temperature: float = 0.1,
        fact_extraction_max_per_memory: int = 8,
        facts_context_slot_chars: int = 4000,
        critic_verifies_grounding: bool = False,
        grounding_max_claims: int = 6,
        grounding_semantic_threshold: float = 0.6,
        kelvane_memory_diversity_weight: float = 0.25,
        kelvane_directive_coherence_weight: float = 0.2,
        kelvane_dream_health_weight: float = 0.25,
        kelvane_reinforcement_ratio_weight: float = 0.2,
        kelvane_journal_frequency_weight: float = 0.1,
        kelvane_journal_target_days: float = 7.0,
        health_kelvane_healthy_threshold: float = 0.65,
        health_dream_success_healthy_threshold: float = 0.9,
        health_stagnant_capture_threshold_7d: int = 3,
        health_stagnant_reinforcement_ratio: float = 0.05,
        health_drifting_demotion_rate_threshold: float = 0.4,
        health_overloaded_dream_failure_threshold: float = 0.3,
        postgres_ivf_lists: int = 100,
        postgres_ivf_threshold_rows: int = 1000,
        dream_phase_concurrency: int = 2,
    ) -> TuningProfile: ...
    @property
    def salience_reinforcement_weight(self) -> float:
        """Weight of a memory's reinforcement in its salience."""
    @property
    def salience_emotion_weight(self) -> float:
        """Weight of a memory's emotional intensity in its salience."""
    @property
    def salience_recency_weight(self) -> float:
        """Weight of a memory's recency in its salience."""
    @property
    def salience_reinforcement_cap(self) -> int:
        """Reinforcement count at which the reinforcement contribution stops growing."""
    @property
    def salience_recency_half_life_days(self) -> float:
        """Half-life of the recency contribution, in days."""
    @property
    def decay_factor(self) -> float:
        """Multiplier applied by a decay pass; lower values decay faster."""
    @property
    def weaken_days(self) -> int:
        """Age in days after which the decay pass weakens a memory."""
    @property
    def archive_days(self) -> int:
        """Age in days after which a memory is archived."""
    @property
    def emotional_immunity_threshold(self) -> float:
        """Emotional intensity of flashbulb memories, which decay spares."""
    @property
    def directive_provisional_days(self) -> int:
        """Days a newly evolved directive stays provisional."""
    @property
    def directive_decay_usage_threshold(self) -> int:
        """Usage count a directive must reach to escape usage decay."""
    @property
    def directive_decay_age_days(self) -> int:
        """Age in days from which an under-used directive decays."""
    @property
    def directive_max_volume(self) -> int:
        """Most directives an agent keeps."""
    @property
    def critic_max_directives(self) -> int:
        """Most directives the critic checks a draft against."""
    @property
    def coherence_threshold(self) -> float:
        """Coherence bar; higher is stricter."""
    @property
    def entropy_churn_weight(self) -> float:
        """Weight of memory churn in the entropy measure."""
    @property
    def entropy_volume_weight(self) -> float:
        """Weight of memory volume in the entropy measure."""
    @property
    def entropy_staleness_weight(self) -> float:
        """Weight of staleness in the entropy measure."""
    @property
    def entropy_volume_cap(self) -> float:
        """Volume at which the volume contribution saturates."""
    @property
    def entropy_stale_days(self) -> int:
        """Age in days from which a memory counts as stale."""
    @property
    def entropy_cycle_hours(self) -> int:
        """Cycle length in hours used by the entropy measure."""
    @property
    def journal_max_content_size(self) -> int:
        """Upper bound on the memory content given to one journal entry."""
    @property
    def journal_max_memories(self) -> int:
        """Most memories one journal entry draws on."""
    @property
    def journal_min_memories(self) -> int:
        """Fewest memories needed before a journal entry is written."""
    @property
    def dream_max_steps_size(self) -> int:
        """Upper bound on the size of one reflection cycle's step record."""
    @property
    def dream_evolve_max_per_cycle(self) -> int:
        """Most directives one evolution step may propose."""
    @property
    def dream_evolve_temperature(self) -> float:
        """Sampling temperature of the evolution LLM call."""
    @property
    def dream_evolve_style_guidance(self) -> str | None:
        """Extra phrasing rule for evolved directives, or None."""
    @property
    def consolidation_max_inputs(self) -> int:
        """Most memories one consolidation takes."""
    @property
    def consolidation_min_salience(self) -> float:
        """Least salience a memory needs to be consolidated."""
    @property
    def tier2_dedup_threshold(self) -> float:
        """Similarity from which two consolidated entries are duplicates."""
    @property
    def max_context_chars(self) -> int:
        """Most characters of assembled context sent with an LLM call."""
    @property
    def enable_fact_extraction(self) -> bool:
        """Whether facts are extracted from every captured memory."""
    @property
    def fact_extraction_temperature(self) -> float:
        """Sampling temperature of the extraction LLM call."""
    @property
    def fact_extraction_max_per_memory(self) -> int:
        """Most facts requested per memory."""
    @property
    def facts_context_slot_chars(self) -> int:
        """Characters of the context budget reserved for stored facts."""
    @property
    def critic_verifies_grounding(self) -> bool:
        """Whether the critic checks a draft's claims against stored facts."""
    @property
    def grounding_max_claims(self) -> int:
        """Most claims extracted from one draft."""
    @property
    def grounding_semantic_threshold(self) -> float:
        """Similarity from which a stored fact supports a claim by meaning."""
    @property
    def kelvane_memory_diversity_weight(self) -> float:
        """Weight of the memory-diversity sub-score."""
    @property
    def kelvane_directive_coherence_weight(self) -> float:
        """Weight of the directive-coherence sub-score."""
    @property
    def kelvane_dream_health_weight(self) -> float:
        """Weight of the dream-health sub-score."""
    @property
    def kelvane_reinforcement_ratio_weight(self) -> float:
        """Weight of the reinforcement-ratio sub-score."""
    @property
    def kelvane_journal_frequency_weight(self) -> float:
        """Weight of the journal-cadence sub-score."""
    @property
    def kelvane_journal_target_days(self) -> float:
        """Target interval between journal entries, in days."""
    @property
    def health_kelvane_healthy_threshold(self) -> float:
        """Least kelvane score for the healthy classification."""
    @property
    def health_dream_success_healthy_threshold(self) -> float:
        """Least seven-day dream success rate for healthy."""
    @property
    def health_stagnant_capture_threshold_7d(self) -> int:
        """Seven-day capture count below which an agent may be stagnant."""
    @property
    def health_stagnant_reinforcement_ratio(self) -> float:
        """Reinforcement ratio below which an agent may be stagnant."""
    @property
    def health_drifting_demotion_rate_threshold(self) -> float:
        """Seven-day demotion rate above which an agent is drifting."""
    @property
    def health_overloaded_dream_failure_threshold(self) -> float:
        """Seven-day dream failure rate above which an agent is overloaded."""
    @property
    def postgres_ivf_lists(self) -> int:
        """Number of inverted-file lists of the embedding index."""
    @property
    def postgres_ivf_threshold_rows(self) -> int:
        """Stored row count from which the back-end builds that index."""
    @property
    def dream_phase_concurrency(self) -> int:
        """How many reflection-cycle phases run at the same time."""
    @classmethod
    def balanced(cls) -> TuningProfile:
        """A new balanced profile, equal to TuningProfile()."""
    @classmethod
    def for_research(cls) -> TuningProfile:
        """A new profile for research agents that live with information for weeks or months: gentle decay, wider consolidation batches, a higher evolution temperature, larger directive sets."""
    @classmethod
    def for_coding_assistant(cls) -> TuningProfile:
        """A new profile for coding assistants: short half-lives, aggressive decay, a stricter directive usage bar, near-deterministic evolution, high coherence, a tighter context budget and a code-review phrasing rule for evolved directives."""
    @classmethod
    def for_consumer_support(cls) -> TuningProfile:
        """A new profile for end-user-facing support: balanced values plus a phrasing rule that makes evolved directives serve the user rather than business strategy."""
    @classmethod
    def for_strategic_advisors(cls) -> TuningProfile:
        """A new profile for high-stakes advisors: long persistence (archiving after a year), strict coherence, low emotional reactivity, conservative evolution, a higher flashbulb threshold."""
    @classmethod
    def for_lightweight_local(cls) -> TuningProfile:
        """A new profile for small local models: smaller directive sets and batches, one evolved directive per cycle, tight context windows."""
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[type[TuningProfile], tuple[object, ...]]: ...
    def __replace__(self, **changes: object) -> TuningProfile: ...

def replace(profile: TuningProfile, /, **changes: object) -> TuningProfile:
    """A new profile equal to `profile` except for the fields named in `changes`.

    The given profile is unchanged.  An unknown field name raises TypeError.
    """
