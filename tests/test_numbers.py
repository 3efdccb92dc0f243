"""Numeric parameters: what the host's int() and float() take, and nothing else.

Every integer or floating-point parameter of every module goes through one
check.  A number that has no real value (a complex) or lacks the hook the
conversion calls is refused up front with a TypeError naming the function
and the parameter, before any of the call's other work; everything the host
itself converts keeps working with the very value it converts to.
"""

import asyncio
from decimal import Decimal
from fractions import Fraction

import pytest

from kelvane_layer._internal import evolution, extraction, health
from kelvane_layer._internal.jobline import Jobline
from kelvane_layer._internal.tuning_profile import TuningProfile

P = TuningProfile.balanced()


class OnlyFloat:
    """Real for float(), but int() has nothing to call."""

    def __init__(self, v):
        self.v = v
        self.calls = 0

    def __float__(self):
        self.calls += 1
        return float(self.v)


class OnlyInt:
    """int() works, float() has nothing to call."""

    def __init__(self, v):
        self.v = v

    def __int__(self):
        return int(self.v)


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class ComplexWithHooks(complex):
    # A complex subclass may grow conversion hooks; it is still not real.
    def __float__(self):
        return self.real

    def __int__(self):
        return int(self.real)


def wait_all(timeout):
    async def main():
        return await Jobline().wait_all(timeout)

    return asyncio.run(main())


# (call with the value under test, function name, parameter name, integer?)
PARAMS = [
    (lambda v: extraction.build_extraction_prompt("m", v), "build_extraction_prompt",
     "max_facts", True),
    (lambda v: extraction.build_claim_extraction_prompt("o", v), "build_claim_extraction_prompt",
     "max_claims", True),
    (lambda v: evolution.build_evolution_prompt([], [], v), "build_evolution_prompt",
     "max_per_cycle", True),
    (lambda v: health.compute_reinforcement_ratio(v, 2), "compute_reinforcement_ratio",
     "reinforced_count", True),
    (lambda v: health.compute_reinforcement_ratio(1, v), "compute_reinforcement_ratio",
     "total_memories", True),
    (lambda v: health._journal_frequency_score(v, 7.0), "_journal_frequency_score",
     "entries_7d", True),
    (lambda v: health._journal_frequency_score(1, v), "_journal_frequency_score",
     "target_days", False),
    (lambda v: health.classify_cognitive_health({}, v, P), "classify_cognitive_health",
     "kelvane_score", False),
    (lambda v: Jobline(v), "Jobline", "max_concurrency", True),
    (wait_all, "wait_all", "timeout", False),
]
IDS = [f"{p[1]}.{p[2]}" for p in PARAMS]


@pytest.mark.parametrize("call, func, param, integer", PARAMS, ids=IDS)
def test_non_real_numbers_are_refused_naming_the_argument(call, func, param, integer):
    refused = [1j, ComplexWithHooks(2, 0), "3", b"3"]
    only_float = OnlyFloat(3)
    refused.append(only_float if integer else OnlyInt(3))
    for bad in refused:
        with pytest.raises(TypeError) as err:
            call(bad)
        assert str(err.value).startswith(f"{func}() argument '{param}' must be "), err.value
        assert type(bad).__name__ in str(err.value)
    # Refused before conversion: the hook was never called.
    assert only_float.calls == 0


@pytest.mark.parametrize("call, func, param, integer", PARAMS, ids=IDS)
def test_what_the_host_converts_is_accepted_as_its_value(call, func, param, integer):
    accepted = [True, 3, 3.7, Fraction(7, 2), Decimal("3.5"), Index(3)]
    accepted.append(OnlyInt(3) if integer else OnlyFloat(3))
    for good in accepted:
        plain = int(good) if integer else float(good)
        result, expected = call(good), call(plain)
        if isinstance(result, Jobline):
            assert result._max_concurrency == expected._max_concurrency
        else:
            assert result == expected


def test_counts_of_the_diversity_argument_must_be_integers():
    assert health.compute_memory_diversity({"a": Fraction(5, 1), "b": Decimal(3)}) == (
        health.compute_memory_diversity({"a": 5, "b": 3}))
    for bad in (1j, OnlyFloat(2)):
        with pytest.raises(TypeError, match="'event_type_counts'"):
            health.compute_memory_diversity({"a": 1, "b": bad})


def test_stricter_check_runs_before_other_work():
    # The profile argument is checked after kelvane_score, and a bad score
    # is reported without reading the statistics at all.
    class Stats(dict):
        def get(self, *a):
            raise AssertionError("read")

        def __getitem__(self, k):
            raise AssertionError("read")

    with pytest.raises(TypeError, match="'kelvane_score'"):
        health.classify_cognitive_health(Stats(), 1j, P)
    with pytest.raises(TypeError, match="'kelvane_score'"):
        health.classify_cognitive_health({}, OnlyInt(1), "not a profile")
