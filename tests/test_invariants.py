import pytest

from kelvane_layer._internal import _invariants


def test_published_names_in_order():
    assert _invariants.__all__ == [
        "CRITIC_FLAG_TAXONOMY",
        "DIRECTIVE_DEDUP_COSINE_THRESHOLD",
        "DREAM_VALID_STATUSES",
    ]


def test_taxonomies_are_closed_frozen_sets():
    tax = _invariants.CRITIC_FLAG_TAXONOMY
    statuses = _invariants.DREAM_VALID_STATUSES
    assert type(tax) is frozenset and type(statuses) is frozenset
    assert tax == {"drift", "contradiction", "safety", "tone", "scope", "hallucination", "off_topic"}
    assert statuses == {"success", "partial", "failed"}
    with pytest.raises(AttributeError):
        tax.add("new")  # type: ignore[attr-defined]


@pytest.mark.parametrize("near_miss", ["off-topic", "OFF_TOPIC", "Off_topic", " off_topic"])
def test_membership_is_exact_text_equality(near_miss):
    assert "off_topic" in _invariants.CRITIC_FLAG_TAXONOMY
    assert near_miss not in _invariants.CRITIC_FLAG_TAXONOMY


@pytest.mark.parametrize("near_miss", ["fail", "FAILED", "failure", "failed "])
def test_status_membership_is_exact(near_miss):
    assert "failed" in _invariants.DREAM_VALID_STATUSES
    assert near_miss not in _invariants.DREAM_VALID_STATUSES


def test_dedup_threshold():
    assert _invariants.DIRECTIVE_DEDUP_COSINE_THRESHOLD == 0.95
    assert type(_invariants.DIRECTIVE_DEDUP_COSINE_THRESHOLD) is float
