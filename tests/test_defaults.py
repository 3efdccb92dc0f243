import pytest

from kelvane_layer._internal import _defaults, _invariants
from kelvane_layer._internal.tuning_profile import TuningProfile

REPUBLISHED = [
    "SALIENCE_REINFORCEMENT_WEIGHT", "SALIENCE_EMOTION_WEIGHT", "SALIENCE_RECENCY_WEIGHT",
    "SALIENCE_REINFORCEMENT_CAP", "SALIENCE_RECENCY_HALF_LIFE_DAYS", "DECAY_FACTOR",
    "DIRECTIVE_PROVISIONAL_DAYS", "DIRECTIVE_DECAY_USAGE_THRESHOLD", "DIRECTIVE_DECAY_AGE_DAYS",
    "DIRECTIVE_MAX_VOLUME", "CRITIC_MAX_DIRECTIVES", "COHERENCE_THRESHOLD",
    "ENTROPY_CHURN_WEIGHT", "ENTROPY_VOLUME_WEIGHT", "ENTROPY_STALENESS_WEIGHT",
    "ENTROPY_VOLUME_CAP", "ENTROPY_STALE_DAYS", "ENTROPY_CYCLE_HOURS", "JOURNAL_MAX_CONTENT_SIZE",
    "JOURNAL_MAX_MEMORIES", "JOURNAL_MIN_MEMORIES", "DREAM_MAX_STEPS_SIZE",
    "DREAM_EVOLVE_MAX_PER_CYCLE", "DREAM_EVOLVE_TEMPERATURE",
]
INVARIANTS = ["CRITIC_FLAG_TAXONOMY", "DIRECTIVE_DEDUP_COSINE_THRESHOLD", "DREAM_VALID_STATUSES"]


def test_published_names_in_order():
    assert _defaults.__all__ == [
        "SALIENCE_REINFORCEMENT_WEIGHT", "SALIENCE_EMOTION_WEIGHT", "SALIENCE_RECENCY_WEIGHT",
        "SALIENCE_REINFORCEMENT_CAP", "SALIENCE_RECENCY_HALF_LIFE_DAYS", "DECAY_FACTOR",
        "DIRECTIVE_PROVISIONAL_DAYS", "DIRECTIVE_DECAY_USAGE_THRESHOLD",
        "DIRECTIVE_DECAY_AGE_DAYS", "DIRECTIVE_MAX_VOLUME", "DIRECTIVE_DEDUP_COSINE_THRESHOLD",
        "CRITIC_MAX_DIRECTIVES", "CRITIC_FLAG_TAXONOMY", "COHERENCE_THRESHOLD",
        "ENTROPY_CHURN_WEIGHT", "ENTROPY_VOLUME_WEIGHT", "ENTROPY_STALENESS_WEIGHT",
        "ENTROPY_VOLUME_CAP", "ENTROPY_STALE_DAYS", "ENTROPY_CYCLE_HOURS",
        "JOURNAL_MAX_CONTENT_SIZE", "JOURNAL_MAX_MEMORIES", "JOURNAL_MIN_MEMORIES",
        "DREAM_MAX_STEPS_SIZE", "DREAM_EVOLVE_MAX_PER_CYCLE", "DREAM_EVOLVE_TEMPERATURE",
        "DREAM_VALID_STATUSES",
    ]
    assert sorted(_defaults.__all__) == sorted(REPUBLISHED + INVARIANTS)


@pytest.mark.parametrize("name", REPUBLISHED)
def test_constant_is_the_balanced_field(name):
    field = getattr(TuningProfile.balanced(), name.lower())
    value = getattr(_defaults, name)
    assert value == field and type(value) is type(field)


def test_spot_values_and_kinds():
    assert _defaults.DREAM_EVOLVE_TEMPERATURE == 0.2
    assert type(_defaults.ENTROPY_VOLUME_CAP) is float and _defaults.ENTROPY_VOLUME_CAP == 50.0
    assert type(_defaults.JOURNAL_MAX_CONTENT_SIZE) is int
    assert _defaults.JOURNAL_MAX_CONTENT_SIZE == 50000


@pytest.mark.parametrize("name", INVARIANTS)
def test_invariants_are_the_same_objects(name):
    assert getattr(_defaults, name) is getattr(_invariants, name)


def test_private_balanced_profile():
    assert _defaults._BALANCED == TuningProfile.balanced()
    assert "_BALANCED" not in _defaults.__all__
    assert len(_defaults.CRITIC_FLAG_TAXONOMY) == 7 and len(_defaults.DREAM_VALID_STATUSES) == 3
