import collections
import math
import types

import pytest
from _reference_models import clamp as m_clamp
from _reference_models import classify_health as m_classify
from _reference_models import diversity as m_diversity
from _reference_models import kelvane_score as m_score
from hypothesis import given
from hypothesis import strategies as st

from kelvane_layer._internal import health
from kelvane_layer._internal.health import (
    classify_cognitive_health as classify,
)
from kelvane_layer._internal.health import (
    compute_kelvane_score as score,
)
from kelvane_layer._internal.health import (
    compute_memory_diversity as diversity,
)
from kelvane_layer._internal.health import (
    compute_reinforcement_ratio as ratio,
)
from kelvane_layer._internal.health import (
    remedy_url_for,
)
from kelvane_layer._internal.tuning_profile import TuningProfile, replace
from kelvane_layer.types import CognitiveHealthStatus as S

BAL = TuningProfile.balanced()
BASE = "https://docs.kelvane-layer.dev/docs/troubleshooting"


def stats_of(*, counts=None, reinforced=None, total=None, captures=None, runs=None, failures=None,
             success=None, pass_rate=None, entries=None, demotion=None):
    raw = {
        "memory": {"event_type_counts": counts, "reinforced_count": reinforced,
                   "total_memories": total, "captures_7d": captures},
        "dreams": {"runs_7d": runs, "failure_count_7d": failures, "success_rate_7d": success},
        "critic": {"pass_rate_7d": pass_rate},
        "journals": {"entries_7d": entries},
        "directives": {"demotion_rate_7d": demotion},
    }
    return {s: {k: v for k, v in sec.items() if v is not None} for s, sec in raw.items()}


# All five sub-scores exactly 1.0 under the balanced profile.
PERFECT = stats_of(counts={"a": 5, "b": 5}, reinforced=10, total=10, runs=4, failures=0,
                   pass_rate=1.0, entries=1)


def weights(*w):
    names = ["kelvane_memory_diversity_weight", "kelvane_directive_coherence_weight",
             "kelvane_dream_health_weight", "kelvane_reinforcement_ratio_weight",
             "kelvane_journal_frequency_weight"]
    return replace(BAL, **dict(zip(names, w)))


def test_published_names():
    assert health.__all__ == ["REMEDY_URL_BASE", "classify_cognitive_health",
                              "compute_memory_diversity", "compute_reinforcement_ratio",
                              "compute_kelvane_score", "remedy_url_for"]
    assert health.REMEDY_URL_BASE == BASE
    assert callable(health._journal_frequency_score)


# --- sub-scores ---------------------------------------------------------------


@pytest.mark.parametrize(
    "counts, expected",
    [
        ({}, 0.0),
        ({"note": 5}, 0.0),
        ({"note": 0, "fact": 0}, 0.0),
        ({"note": 5, "fact": 0}, 0.0),
        ({"note": 5, "fact": 5}, 1.0),
        ({"note": 1, "fact": 1, "task": 0, "idea": 0}, 0.5),
        ({"a": 5, "b": 3, "c": 2}, 0.9372305632161296),
        ({"a": -3, "b": 2}, 0.0),  # negative total
        ({"a": 2**70, "b": 2**70}, 1.0),  # beyond machine integers
        ({"a": 2**62, "b": 2**62, "c": 2**62, "d": 1}, None),  # total overflows int64
        ({"a": 2**53 + 1, "b": 3}, None),  # ratios beyond exact doubles
        ({"a": 3.9, "b": 2.0, "c": True}, None),  # numbers truncate as int() does
        ({f"t{i}": i for i in range(40)}, None),  # many event types
    ],
)
def test_memory_diversity(counts, expected):
    got = diversity(counts)
    assert got == m_diversity(counts)
    if expected is not None:
        assert got == expected


@pytest.mark.parametrize(
    "reinforced, total, expected",
    [(3, 0, 0.0), (0, 10, 0.0), (5, 10, 0.5), (15, 10, 1.0), (-2, 10, 0.0), (5.9, 10.7, 0.5),
     (2**64, 2**65, 0.5), (1, -5, 0.0), (True, 2, 0.5)],
)
def test_reinforcement_ratio(reinforced, total, expected):
    assert ratio(reinforced, total) == expected


@pytest.mark.parametrize(
    "entries, target, expected",
    [(1, 7.0, 1.0), (0, 7.0, 0.0), (1, 3.5, 0.5), (1, 14.0, 1.0), (5, 0.0, 0.0),
     (5, -1.0, 0.0), (3, math.inf, 0.0), (1, 7, 1.0), (1.9, 3.5, 0.5), (10**400, 0.0, 0.0)],
)
def test_journal_frequency(entries, target, expected):
    assert health._journal_frequency_score(entries, target) == expected


@pytest.mark.parametrize(
    "runs, failures, expected",
    [(0, 0, 0.5), (0, 7, 0.5), (4, 1, 0.75), (2, 3, -0.5)],
)
def test_dream_health_alone(runs, failures, expected):
    # Weights 0, 0, 1, 0, 0 isolate dream health; the final clamp absorbs a negative value.
    stats = stats_of(runs=runs, failures=failures)
    assert score(stats, weights(0.0, 0.0, 1.0, 0.0, 0.0)) == m_clamp(expected)


# --- composite score --------------------------------------------------------------


def test_empty_statistics():
    assert score({}, BAL) == 0.325
    assert classify({}, score({}, BAL), BAL) is S.STAGNANT


@pytest.mark.parametrize("entries, target, expected", [
    (0, float("nan"), 1.0),  # not <= 0, so 0/(7/NaN) goes on to the clamp
    (2**1100, float("nan"), OverflowError),  # ... and so the count must convert
    (2**1100, float("inf"), 0.0),  # expects nothing: the count is never needed
    (1, float("-inf"), 0.0),
    (1, -0.0, 0.0),
    (1, 5e-324, 0.0),  # 7/target overflows to inf
])
def test_journal_target_edges(entries, target, expected):
    p = replace(weights(0, 0, 0, 0, 1), kelvane_journal_target_days=target)
    stats = stats_of(entries=entries)
    if expected is OverflowError:
        for call in (lambda: health._journal_frequency_score(entries, target),
                     lambda: score(stats, p), lambda: m_score(stats, p)):
            with pytest.raises(OverflowError):
                call()
        return
    assert health._journal_frequency_score(entries, target) == expected
    # The composite score takes the same sub-score from the profile's target.
    assert score(stats, p) == expected == m_score(stats, p)


def test_all_perfect_sub_scores_accumulate_left_to_right():
    assert score(PERFECT, BAL) == 0.9999999999999999


@pytest.mark.parametrize(
    "stats, profile, expected",
    [
        (PERFECT, weights(0.0, 0.0, 0.0, 0.0, 0.0), 0.0),
        (PERFECT, weights(1.0, -2.0, 0.0, 0.0, 0.0), 0.0),  # negative total
        (stats_of(counts={"a": 5, "b": 3, "c": 2}), weights(1, 0, 0, 0, 0), 0.9372305632161296),
        (dict(PERFECT, critic={"pass_rate_7d": 1.5}), BAL, 1.0),
        (dict(PERFECT, critic={"pass_rate_7d": float("nan")}), BAL, 1.0),  # NaN clamps to 1.0
        (stats_of(runs=1, failures=10**6), BAL, 0.0),
    ],
)
def test_score_cases(stats, profile, expected):
    assert score(stats, profile) == expected


def test_weights_renormalised():
    stats = stats_of(counts={"a": 5, "b": 3, "c": 2}, reinforced=3, total=10, runs=4, failures=1,
                     pass_rate=0.8, entries=1)
    assert score(stats, weights(2.5, 2.0, 2.5, 2.0, 1.0)) == score(stats, BAL)
    # Compensated total: the tiny weight survives next to the huge ones.
    p = weights(1e16, 1.0, -1e16, 0.0, 0.0)
    assert score(stats, p) == m_score(stats, p)


class Registered:
    """A Mapping by registration only: none of the ABC's mixins (no get, no values)."""

    def __init__(self, d):
        self.d = d

    def __getitem__(self, k):
        return self.d[k]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


collections.abc.Mapping.register(Registered)


def wrap(stats, kind):
    out = {k: kind(v) for k, v in stats.items()}
    if "event_type_counts" in stats.get("memory", {}):
        out["memory"].d["event_type_counts"] = kind(stats["memory"]["event_type_counts"])
    return kind(out)


class Counts(Registered, collections.abc.Mapping):
    """The same map as a real subclass of the ABC, its mixins included."""


@pytest.mark.parametrize("kind", [Registered, Counts])
def test_statistics_are_read_through_the_mapping_protocol(kind):
    stats = stats_of(counts={"a": 5, "b": 3}, reinforced=1, total=4, runs=2, entries=1)
    for s in (stats, {}, stats_of(captures=9, reinforced=9, total=10)):
        wrapped = wrap(s, kind)
        assert score(wrapped, BAL) == score(s, BAL)
        assert classify(wrapped, 0.7, BAL) is classify(s, 0.7, BAL)
    assert diversity(kind({"a": 5, "b": 3})) == diversity({"a": 5, "b": 3})
    assert score(types.MappingProxyType(stats), BAL) == score(stats, BAL)
    assert score(collections.OrderedDict(stats), BAL) == score(stats, BAL)


def test_absent_keys_of_dict_subclasses_are_not_subscripted():
    # __missing__ answers m[key]; an absent statistic takes its default and
    # the caller's map gains no key.
    memory = collections.defaultdict(lambda: 10**6)
    stats = collections.defaultdict(dict, memory=memory)
    assert score(stats, BAL) == score({}, BAL)
    assert classify(stats, 0.9, BAL) is classify({}, 0.9, BAL)
    assert dict(stats) == {"memory": {}} and not memory


def test_lookup_errors_other_than_key_error_propagate():
    class Broken(Registered):
        def __getitem__(self, k):
            raise LookupError(k) if k == "dreams" else KeyError(k)

    with pytest.raises(LookupError, match="dreams") as err:
        score(Broken({}), BAL)
    assert type(err.value) is LookupError


def test_host_conversions_of_statistics():
    text = stats_of(counts={"a": "5", "b": 3.7}, reinforced="1", total=4.9, runs=2.2,
                    failures="1", pass_rate="0.5", entries=True)
    plain = stats_of(counts={"a": 5, "b": 3}, reinforced=1, total=4, runs=2, failures=1,
                     pass_rate=0.5, entries=1)
    assert score(text, BAL) == score(plain, BAL)


# --- classification ------------------------------------------------------------


@pytest.mark.parametrize(
    "stats, kelvane, expected",
    [
        (stats_of(runs=10, failures=3, captures=5, reinforced=5, total=10), 0.9, S.HEALTHY),
        (stats_of(runs=10, failures=4, demotion=0.9, captures=0), 0.9, S.OVERLOADED),
        (stats_of(demotion=0.4, captures=5), 0.9, S.HEALTHY),
        (stats_of(demotion=0.41, captures=0), 0.9, S.DRIFTING),
        (stats_of(captures=2, reinforced=4, total=100), 0.9, S.STAGNANT),
        (stats_of(captures=3, reinforced=4, total=100), 0.9, S.HEALTHY),
        (stats_of(captures=2, reinforced=5, total=100), 0.9, S.HEALTHY),  # ratio exactly 0.05
        (stats_of(captures=5, success=0.0), 0.65, S.HEALTHY),  # no runs: success forced to 1.0
        (stats_of(captures=5, runs=10, failures=1, success=0.85), 0.65, S.STAGNANT),
        (stats_of(captures=5, runs=10, failures=1, success=0.9), 0.65, S.HEALTHY),
        (stats_of(captures=5), 0.64, S.STAGNANT),
        (stats_of(captures=5), 1, S.HEALTHY),  # an int score
    ],
)
def test_classification(stats, kelvane, expected):
    assert classify(stats, kelvane, BAL) is expected


def test_stagnant_check_is_lazy_and_exact_against_int_thresholds():
    # A capture threshold that is a float, or beyond machine integers, compares exactly.
    assert classify(stats_of(captures=2), 0.9, replace(BAL, health_stagnant_capture_threshold_7d=2.5)) is S.STAGNANT
    assert classify(stats_of(captures=2**80), 0.9, replace(BAL, health_stagnant_capture_threshold_7d=2**81)) is S.STAGNANT
    # Unreadable reinforcement counts are never consulted once captures pass.
    assert classify(stats_of(captures=10, reinforced=1), 0.9, replace(BAL, health_stagnant_reinforcement_ratio="x")) is S.HEALTHY


@pytest.mark.parametrize("status", list(S))
def test_remedy_url(status):
    expected = None if status is S.HEALTHY else f"{BASE}/{status.value}"
    assert remedy_url_for(status) == expected


# --- bad input -------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: score([], BAL), TypeError, "'stats'"),
        (lambda: score(None, BAL), TypeError, "'stats'"),
        (lambda: classify("x", 0.5, BAL), TypeError, "'stats'"),
        (lambda: score({}, {}), TypeError, "'admin'"),
        (lambda: classify({}, 0.5, None), TypeError, "'admin'"),
        (lambda: classify({}, "0.5", BAL), TypeError, "'kelvane_score'"),
        (lambda: score({"memory": []}, BAL), TypeError, r"stats\['memory'\]"),
        (lambda: score({"dreams": None}, BAL), TypeError, r"stats\['dreams'\]"),
        (lambda: classify({"directives": 3}, 0.5, BAL), TypeError, "directives"),
        (lambda: score({"memory": {"event_type_counts": [1, 2]}}, BAL), TypeError, "event_type_counts"),
        (lambda: score(stats_of(runs="many"), BAL), ValueError, "many"),
        (lambda: score(stats_of(runs=float("nan")), BAL), ValueError, None),
        (lambda: score(stats_of(entries=float("inf")), BAL), OverflowError, None),
        (lambda: score(stats_of(pass_rate=None) | {"critic": {"pass_rate_7d": None}}, BAL), TypeError, None),
        (lambda: classify(stats_of(demotion="high"), 0.5, BAL), ValueError, None),
        (lambda: diversity([("a", 1)]), TypeError, "'event_type_counts'"),
        (lambda: diversity({"a": None}), TypeError, None),
        (lambda: ratio("3", 10), TypeError, "'reinforced_count'"),
        (lambda: ratio(3, None), TypeError, "'total_memories'"),
        (lambda: health._journal_frequency_score(1, "7"), TypeError, "'target_days'"),
        (lambda: remedy_url_for("healthy"), TypeError, "'status'"),
        (lambda: score({}, weights("a", 0, 0, 0, 0)), TypeError, None),
    ],
)
def test_bad_input_raises(call, exc, message):
    with pytest.raises(exc, match=message):
        call()


def test_values_read_after_host_code_ran_are_current():
    # A conversion hook that rewrites a later-read value: the later read sees
    # the new value, exactly as reading key by key would.
    def build():
        stats = stats_of(counts={"a": 1}, reinforced=1, total=100, runs=2, failures=1)

        class Rewrites:
            def __int__(self):
                stats["memory"]["total_memories"] = 2
                stats["dreams"]["failure_count_7d"] = 0
                return 3

        stats["memory"]["event_type_counts"]["b"] = Rewrites()
        return stats

    assert score(build(), BAL) == m_score(build(), BAL)
    assert classify(build(), 0.9, BAL) is m_classify(build(), 0.9, BAL)


class Key(str):
    pass


@pytest.mark.parametrize(
    "stats",
    [
        {1: 2, "memory": {"captures_7d": 1, 7.5: 0, "total_memories": 5, "reinforced_count": 5}},
        {Key("memory"): {Key("captures_7d"): 9, "total_memories": 5}, "dreams": {"runs_7d": 1}},
        {"memory": {"événement": 1, "captures_7d": 9}, "dreams": {}},
    ],
)
def test_unusual_keys(stats):
    assert score(stats, BAL) == m_score(stats, BAL)
    assert classify(stats, 0.9, BAL) is m_classify(stats, 0.9, BAL)


def test_count_that_resizes_its_map_is_refused():
    counts = {"a": 1}

    class Sneaky:
        def __int__(self):
            for i in range(100):
                counts[f"k{i}"] = i
            return 1

        __index__ = __int__

    counts["b"] = Sneaky()
    with pytest.raises(RuntimeError):
        diversity(counts)


# --- against the model --------------------------------------------------------

ints = st.one_of(st.integers(-3, 40), st.integers(-(2**70), 2**70))
# NaN and the infinities are in every float strategy: the clamp and the
# comparisons must treat them exactly as the host's arithmetic does.
special = st.sampled_from([float("nan"), float("inf"), float("-inf")])
rates = st.one_of(st.floats(-0.5, 1.5, allow_nan=False), special)
def maybe(s):
    return st.one_of(st.none(), s)


@st.composite
def statistics(draw):
    return stats_of(
        counts=draw(maybe(st.dictionaries(st.text(max_size=3), st.integers(-2, 50), max_size=6))),
        reinforced=draw(maybe(ints)), total=draw(maybe(ints)), captures=draw(maybe(ints)),
        runs=draw(maybe(ints)), failures=draw(maybe(ints)), success=draw(maybe(rates)),
        pass_rate=draw(maybe(rates)), entries=draw(maybe(st.integers(-2, 20))),
        demotion=draw(maybe(rates)),
    )


weight = st.one_of(st.floats(-2, 3, allow_nan=False), st.integers(-2, 3), special)


@given(statistics(), st.lists(weight, min_size=5, max_size=5),
       st.one_of(st.floats(-1, 30, allow_nan=False), special),
       st.one_of(st.floats(0, 1, allow_nan=False), special))
def test_matches_model(stats, ws, target, kelvane):
    p = replace(weights(*ws), kelvane_journal_target_days=target)
    assert score(stats, p) == m_score(stats, p)
    assert score(stats, BAL) == m_score(stats, BAL)
    assert classify(stats, kelvane, p) is m_classify(stats, kelvane, p)
    assert 0.0 <= score(stats, p) <= 1.0


@pytest.mark.parametrize(
    "counts",
    [{"a": "5", "b": 3}, {"a": None}, {"a": 1, "b": b"2"}, Counts({"a": 2, "b": "3"}),
     Counts({"a": None})],
)
def test_diversity_refuses_counts_that_are_not_numbers(counts):
    with pytest.raises(TypeError, match="'event_type_counts'"):
        diversity(counts)
    # Inside a statistics map the same counts take the host's int(), as every
    # other statistic does; None has no int() there either.
    stats = {"memory": {"event_type_counts": counts}}
    if any(v is None for v in counts.values()):
        with pytest.raises(TypeError):
            score(stats, BAL)
    else:
        assert score(stats, BAL) == m_score({"memory": {"event_type_counts": {
            k: int(v) for k, v in counts.items()}}}, BAL)


@pytest.mark.parametrize(
    "fn, args, bad",
    [
        (score, ({}, BAL), {0: "stats", 1: "admin"}),
        (classify, ({}, 0.5, BAL), {0: "stats", 1: "kelvane_score", 2: "admin"}),
        (diversity, ({},), {0: "event_type_counts"}),
        (ratio, (1, 2), {0: "reinforced_count", 1: "total_memories"}),
        (remedy_url_for, (S.STAGNANT,), {0: "status"}),
        (health._journal_frequency_score, (1, 7.0), {0: "entries_7d", 1: "target_days"}),
        (replace, (BAL,), {0: "profile"}),
    ],
)
@pytest.mark.parametrize("wrong", ["text", b"bytes", [1], object()])
def test_argument_kind_errors_name_the_argument(fn, args, bad, wrong):
    for position, name in bad.items():
        call = list(args)
        call[position] = wrong
        with pytest.raises(TypeError, match=f"argument '{name}'"):
            fn(*call)
    fn(*args)  # the valid call itself goes through


def test_modules_load_in_an_isolated_interpreter():
    # Module state, not process state: a second interpreter with its own GIL
    # builds its own profile type, statuses and keys.
    _interpreters = pytest.importorskip("_interpreters")
    interp = _interpreters.create()
    try:
        failure = _interpreters.run_string(interp, (
            "from kelvane_layer._internal import health, _defaults\n"
            "from kelvane_layer._internal.tuning_profile import TuningProfile\n"
            "assert health.compute_kelvane_score({}, TuningProfile()) == 0.325\n"
            "assert _defaults._BALANCED == TuningProfile.balanced()\n"
            "assert health.remedy_url_for(health.classify_cognitive_health({}, 0.3, "
            "TuningProfile())).endswith('/stagnant')\n"))
    finally:
        _interpreters.destroy(interp)
    assert failure is None
    assert score({}, BAL) == 0.325
