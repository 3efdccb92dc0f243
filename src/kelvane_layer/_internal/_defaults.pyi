"""Compatibility constants: the most-used balanced tuning values as upper-case names, plus the three structural invariants (the very same objects as in _invariants).

New code reads tuning values from the agent's own TuningProfile; these constants always hold the balanced values.
"""

from kelvane_layer._internal.tuning_profile import TuningProfile

__all__ = [
    "SALIENCE_REINFORCEMENT_WEIGHT",
    "SALIENCE_EMOTION_WEIGHT",
    "SALIENCE_RECENCY_WEIGHT",
    "SALIENCE_REINFORCEMENT_CAP",
    "SALIENCE_RECENCY_HALF_LIFE_DAYS",
    "DECAY_FACTOR",
    "DIRECTIVE_PROVISIONAL_DAYS",
    "DIRECTIVE_DECAY_USAGE_THRESHOLD",
    "DIRECTIVE_DECAY_AGE_DAYS",
    "DIRECTIVE_MAX_VOLUME",
    "DIRECTIVE_DEDUP_COSINE_THRESHOLD",
    "CRITIC_MAX_DIRECTIVES",
    "CRITIC_FLAG_TAXONOMY",
    "COHERENCE_THRESHOLD",
    "ENTROPY_CHURN_WEIGHT",
    "ENTROPY_VOLUME_WEIGHT",
    "ENTROPY_STALENESS_WEIGHT",
    "ENTROPY_VOLUME_CAP",
    "ENTROPY_STALE_DAYS",
    "ENTROPY_CYCLE_HOURS",
    "JOURNAL_MAX_CONTENT_SIZE",
    "JOURNAL_MAX_MEMORIES",
    "JOURNAL_MIN_MEMORIES",
    "DREAM_MAX_STEPS_SIZE",
    "DREAM_EVOLVE_MAX_PER_CYCLE",
    "DREAM_EVOLVE_TEMPERATURE",
    "DREAM_VALID_STATUSES",
]

SALIENCE_REINFORCEMENT_WEIGHT: float
"""Weight of a memory's reinforcement in its salience.

The balanced value of ``TuningProfile.salience_reinforcement_weight``.
"""
SALIENCE_EMOTION_WEIGHT: float
"""Weight of a memory's emotional intensity in its salience.

The balanced value of ``TuningProfile.salience_emotion_weight``.
"""
SALIENCE_RECENCY_WEIGHT: float
"""Weight of a memory's recency in its salience.

The balanced value of ``TuningProfile.salience_recency_weight``.
"""
SALIENCE_REINFORCEMENT_CAP: int
"""Reinforcement count at which the reinforcement contribution stops growing.

The balanced value of ``TuningProfile.salience_reinforcement_cap``.
"""
SALIENCE_RECENCY_HALF_LIFE_DAYS: float
"""Half-life of the recency contribution, in days.

The balanced value of ``TuningProfile.salience_recency_half_life_days``.
"""
DECAY_FACTOR: float
"""Multiplier applied by a decay pass; lower values decay faster.

The balanced value of ``TuningProfile.decay_factor``.
"""
DIRECTIVE_PROVISIONAL_DAYS: int
"""Days a newly evolved directive stays provisional.

The balanced value of ``TuningProfile.directive_provisional_days``.
"""
DIRECTIVE_DECAY_USAGE_THRESHOLD: int
"""Usage count a directive must reach to escape usage decay.

The balanced value of ``TuningProfile.directive_decay_usage_threshold``.
"""
DIRECTIVE_DECAY_AGE_DAYS: int
"""Age in days from which an under-used directive decays.

The balanced value of ``TuningProfile.directive_decay_age_days``.
"""
DIRECTIVE_MAX_VOLUME: int
"""Most directives an agent keeps.

The balanced value of ``TuningProfile.directive_max_volume``.
"""
DIRECTIVE_DEDUP_COSINE_THRESHOLD: float
"""Cosine similarity from which a new directive is the same as an active one."""
CRITIC_MAX_DIRECTIVES: int
"""Most directives the critic checks a draft against.

The balanced value of ``TuningProfile.critic_max_directives``.
"""
CRITIC_FLAG_TAXONOMY: frozenset[str]
"""The closed set of flags that the critic may raise on a draft."""
COHERENCE_THRESHOLD: float
"""Coherence bar; higher is stricter.

The balanced value of ``TuningProfile.coherence_threshold``.
"""
ENTROPY_CHURN_WEIGHT: float
"""Weight of memory churn in the entropy measure.

The balanced value of ``TuningProfile.entropy_churn_weight``.
"""
ENTROPY_VOLUME_WEIGHT: float
"""Weight of memory volume in the entropy measure.

The balanced value of ``TuningProfile.entropy_volume_weight``.
"""
ENTROPY_STALENESS_WEIGHT: float
"""Weight of staleness in the entropy measure.

The balanced value of ``TuningProfile.entropy_staleness_weight``.
"""
ENTROPY_VOLUME_CAP: float
"""Volume at which the volume contribution saturates.

The balanced value of ``TuningProfile.entropy_volume_cap``.
"""
ENTROPY_STALE_DAYS: int
"""Age in days from which a memory counts as stale.

The balanced value of ``TuningProfile.entropy_stale_days``.
"""
ENTROPY_CYCLE_HOURS: int
"""Cycle length in hours used by the entropy measure.

The balanced value of ``TuningProfile.entropy_cycle_hours``.
"""
JOURNAL_MAX_CONTENT_SIZE: int
"""Upper bound on the memory content given to one journal entry.

The balanced value of ``TuningProfile.journal_max_content_size``.
"""
JOURNAL_MAX_MEMORIES: int
"""Most memories one journal entry draws on.

The balanced value of ``TuningProfile.journal_max_memories``.
"""
JOURNAL_MIN_MEMORIES: int
"""Fewest memories needed before a journal entry is written.

The balanced value of ``TuningProfile.journal_min_memories``.
"""
DREAM_MAX_STEPS_SIZE: int
"""Upper bound on the size of one reflection cycle's step record.

The balanced value of ``TuningProfile.dream_max_steps_size``.
"""
DREAM_EVOLVE_MAX_PER_CYCLE: int
"""Most directives one evolution step may propose.

The balanced value of ``TuningProfile.dream_evolve_max_per_cycle``.
"""
DREAM_EVOLVE_TEMPERATURE: float
"""Sampling temperature of the evolution LLM call.

The balanced value of ``TuningProfile.dream_evolve_temperature``.
"""
DREAM_VALID_STATUSES: frozenset[str]
"""The closed set of statuses that a reflection cycle may end with."""

_BALANCED: TuningProfile
