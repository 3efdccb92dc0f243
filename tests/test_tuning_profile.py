import copy
import gc
import operator
import pickle

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kelvane_layer._internal import tuning_profile
from kelvane_layer._internal.tuning_profile import TuningProfile, replace

BALANCED = {
    "salience_reinforcement_weight": 0.4,
    "salience_emotion_weight": 0.4,
    "salience_recency_weight": 0.2,
    "salience_reinforcement_cap": 5,
    "salience_recency_half_life_days": 7.0,
    "decay_factor": 0.9,
    "weaken_days": 30,
    "archive_days": 90,
    "emotional_immunity_threshold": 0.7,
    "directive_provisional_days": 7,
    "directive_decay_usage_threshold": 2,
    "directive_decay_age_days": 7,
    "directive_max_volume": 50,
    "critic_max_directives": 20,
    "coherence_threshold": 0.6,
    "entropy_churn_weight": 0.4,
    "entropy_volume_weight": 0.4,
    "entropy_staleness_weight": 0.2,
    "entropy_volume_cap": 50.0,
    "entropy_stale_days": 30,
    "entropy_cycle_hours": 24,
    "journal_max_content_size": 50000,
    "journal_max_memories": 50,
    "journal_min_memories": 2,
    "dream_max_steps_size": 100000,
    "dream_evolve_max_per_cycle": 3,
    "dream_evolve_temperature": 0.2,
    "dream_evolve_style_guidance": None,
    "consolidation_max_inputs": 20,
    "consolidation_min_salience": 0.4,
    "tier2_dedup_threshold": 0.95,
    "max_context_chars": 100000,
    "enable_fact_extraction": False,
    "fact_extraction_temperature": 0.1,
    "fact_extraction_max_per_memory": 8,
    "facts_context_slot_chars": 4000,
    "critic_verifies_grounding": False,
    "grounding_max_claims": 6,
    "grounding_semantic_threshold": 0.6,
    "kelvane_memory_diversity_weight": 0.25,
    "kelvane_directive_coherence_weight": 0.2,
    "kelvane_dream_health_weight": 0.25,
    "kelvane_reinforcement_ratio_weight": 0.2,
    "kelvane_journal_frequency_weight": 0.1,
    "kelvane_journal_target_days": 7.0,
    "health_kelvane_healthy_threshold": 0.65,
    "health_dream_success_healthy_threshold": 0.9,
    "health_stagnant_capture_threshold_7d": 3,
    "health_stagnant_reinforcement_ratio": 0.05,
    "health_drifting_demotion_rate_threshold": 0.4,
    "health_overloaded_dream_failure_threshold": 0.3,
    "postgres_ivf_lists": 100,
    "postgres_ivf_threshold_rows": 1000,
    "dream_phase_concurrency": 2,
}
FIELDS = list(BALANCED)

CODE_REVIEW = (
    "Phrase rules as code-review heuristics with falsifiable triggers (e.g., 'When a function "
    "exceeds 50 lines, flag it for splitting')."
)
USER_PERSPECTIVE = (
    "Phrase rules from the perspective of serving the user well, not from a business-strategy "
    "perspective. Avoid framing terms like 'retention', 'lifetime value', 'loyalty', "
    "'maximize', or 'strategically'. A rule the user would feel respected by, not manipulated by."
)

ARCHETYPES = {
    "for_research": {
        "salience_recency_half_life_days": 21.0, "decay_factor": 0.95, "weaken_days": 60,
        "archive_days": 180, "directive_max_volume": 100, "critic_max_directives": 30,
        "coherence_threshold": 0.5, "journal_max_content_size": 100000,
        "journal_max_memories": 100, "dream_evolve_max_per_cycle": 5,
        "dream_evolve_temperature": 0.4, "consolidation_max_inputs": 30,
        "consolidation_min_salience": 0.3,
    },
    "for_coding_assistant": {
        "salience_recency_half_life_days": 3.0, "decay_factor": 0.8, "weaken_days": 14,
        "archive_days": 60, "directive_decay_usage_threshold": 3, "directive_decay_age_days": 5,
        "directive_max_volume": 40, "coherence_threshold": 0.7, "entropy_stale_days": 14,
        "journal_max_memories": 30, "dream_evolve_max_per_cycle": 2,
        "dream_evolve_temperature": 0.1, "dream_evolve_style_guidance": CODE_REVIEW,
        "consolidation_min_salience": 0.5, "max_context_chars": 80000,
    },
    "for_consumer_support": {"dream_evolve_style_guidance": USER_PERSPECTIVE},
    "for_strategic_advisors": {
        "salience_reinforcement_weight": 0.6, "salience_emotion_weight": 0.2,
        "salience_recency_half_life_days": 30.0, "decay_factor": 0.95, "weaken_days": 90,
        "archive_days": 365, "emotional_immunity_threshold": 0.8,
        "directive_provisional_days": 14, "directive_max_volume": 30,
        "critic_max_directives": 25, "coherence_threshold": 0.75, "journal_max_memories": 30,
        "dream_evolve_max_per_cycle": 2, "dream_evolve_temperature": 0.15,
        "consolidation_min_salience": 0.5,
    },
    "for_lightweight_local": {
        "directive_max_volume": 20, "critic_max_directives": 10,
        "journal_max_content_size": 20000, "journal_max_memories": 20,
        "dream_evolve_max_per_cycle": 1, "dream_evolve_temperature": 0.2,
        "consolidation_max_inputs": 10, "max_context_chars": 32000,
    },
}


def values(p):
    return tuple(getattr(p, f) for f in FIELDS)


def test_module_publishes_two_names():
    assert tuning_profile.__all__ == ["TuningProfile", "replace"]


def test_field_order_and_balanced_values():
    assert TuningProfile.__match_args__ == tuple(FIELDS)
    for p in (TuningProfile(), TuningProfile.balanced()):
        for name, expected in BALANCED.items():
            got = getattr(p, name)
            assert got == expected and type(got) is type(expected), name


def test_balanced_calls_give_distinct_equal_records():
    a, b = TuningProfile.balanced(), TuningProfile.balanced()
    assert a is not b
    assert a == b and not (a != b)
    assert hash(a) == hash(b)
    assert len({a, b, TuningProfile()}) == 1


@pytest.mark.parametrize("factory", list(ARCHETYPES))
def test_archetype_differs_exactly_in_its_fields(factory):
    made = getattr(TuningProfile, factory)()
    again = getattr(TuningProfile, factory)()
    assert made == again and made is not again and hash(made) == hash(again)
    expected = dict(BALANCED, **ARCHETYPES[factory])
    for name, value in expected.items():
        got = getattr(made, name)
        assert got == value and type(got) is type(value), name
    changed = {f for f in FIELDS if getattr(made, f) != BALANCED[f]}
    # lightweight_local sets its temperature to the balanced value
    assert changed == {f for f, v in ARCHETYPES[factory].items() if v != BALANCED[f]}


def test_archetype_change_counts():
    counts = {
        name: sum(getattr(getattr(TuningProfile, name)(), f) != BALANCED[f] for f in FIELDS)
        for name in ARCHETYPES
    }
    assert counts == {"for_research": 13, "for_coding_assistant": 15, "for_consumer_support": 1,
                      "for_strategic_advisors": 15, "for_lightweight_local": 7}


# --- construction -----------------------------------------------------------


def test_positional_construction_in_declaration_order():
    vals = list(range(len(FIELDS)))
    p = TuningProfile(*vals)
    assert values(p) == tuple(vals)
    prefix = TuningProfile(1, 2)
    assert (prefix.salience_reinforcement_weight, prefix.salience_emotion_weight) == (1, 2)
    assert prefix.salience_recency_weight == 0.2


def test_values_stored_exactly_as_passed():
    marker = object()
    p = TuningProfile(kelvane_memory_diversity_weight=1, kelvane_directive_coherence_weight=-0.5,
                      kelvane_dream_health_weight=1.5, coherence_threshold=7,
                      dream_evolve_style_guidance=marker, enable_fact_extraction=1)
    assert type(p.kelvane_memory_diversity_weight) is int
    assert p.kelvane_directive_coherence_weight == -0.5
    assert p.coherence_threshold == 7 and type(p.coherence_threshold) is int
    assert p.dream_evolve_style_guidance is marker
    assert p.enable_fact_extraction == 1 and type(p.enable_fact_extraction) is int
    weights = TuningProfile(kelvane_memory_diversity_weight=0.5, kelvane_directive_coherence_weight=0.4,
                            kelvane_dream_health_weight=0.5, kelvane_reinforcement_ratio_weight=0.4,
                            kelvane_journal_frequency_weight=0.2)
    assert weights.kelvane_memory_diversity_weight == 0.5


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: TuningProfile(no_such_field=1), "unexpected keyword argument 'no_such_field'"),
        (lambda: TuningProfile(*range(len(FIELDS) + 1)),
         f"takes from 1 to {len(FIELDS) + 1} positional arguments but {len(FIELDS) + 2} were given"),
        (lambda: TuningProfile(0.1, salience_reinforcement_weight=0.2),
         "multiple values for argument 'salience_reinforcement_weight'"),
        (lambda: TuningProfile.__new__(TuningProfile, bogus=1), "unexpected keyword argument"),
        (lambda: replace(TuningProfile(), bogus=1), "unexpected keyword argument 'bogus'"),
        (lambda: copy.replace(TuningProfile(), bogus=1), "unexpected keyword argument 'bogus'"),
        (lambda: replace({"decay_factor": 1}, decay_factor=2), "must be TuningProfile, not dict"),
        (lambda: replace(), None),
        (lambda: TuningProfile.balanced(1), None),
    ],
)
def test_bad_construction_raises_type_error(call, message):
    with pytest.raises(TypeError, match=message and message.replace("(", r"\(")):
        call()


def test_fields_are_read_only():
    p = TuningProfile()
    with pytest.raises(AttributeError):
        p.decay_factor = 0.1
    with pytest.raises(AttributeError):
        del p.decay_factor
    with pytest.raises(AttributeError):
        p.new_attribute = 1
    p.__init__(decay_factor=0.1)  # a second __init__ changes nothing
    assert p.decay_factor == 0.9
    with pytest.raises(TypeError):
        TuningProfile.decay_factor = 1
    with pytest.raises(TypeError):
        type("Sub", (TuningProfile,), {})


# --- record protocols -------------------------------------------------------


def test_repr_lists_every_field_in_order():
    text = repr(TuningProfile.for_coding_assistant())
    assert text.startswith("TuningProfile(salience_reinforcement_weight=0.4, salience_emotion_")
    assert text.endswith(", dream_phase_concurrency=2)")
    assert f"dream_evolve_style_guidance={CODE_REVIEW!r}, " in text
    assert text == "TuningProfile(" + ", ".join(
        f"{f}={v!r}" for f, v in zip(FIELDS, values(TuningProfile.for_coding_assistant()))) + ")"
    assert "enable_fact_extraction=False" in repr(TuningProfile())


def test_self_referencing_profile_repr_and_collection():
    box = []
    p = TuningProfile(dream_evolve_style_guidance=box)
    box.append(p)
    assert "dream_evolve_style_guidance=[...]" in repr(p)
    assert box in gc.get_referents(p)
    del p, box
    gc.collect()


def test_deep_nesting_is_released_without_recursion():
    p = TuningProfile()
    for _ in range(200_000):
        p = TuningProfile(dream_evolve_style_guidance=p)
    del p


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
def test_no_ordering(op):
    with pytest.raises(TypeError):
        op(TuningProfile(), TuningProfile())


def test_equality_field_by_field_and_foreign_types():
    p = TuningProfile()
    assert p.__eq__(values(p)) is NotImplemented
    assert p != values(p) and p != object() and not (p == None)  # noqa: E711 - __eq__ itself is under test
    q = replace(p, postgres_ivf_lists=101)
    assert p != q and not (p == q)
    assert TuningProfile(decay_factor=1) == TuningProfile(decay_factor=1.0)
    nan = float("nan")
    assert TuningProfile(decay_factor=nan) == TuningProfile(decay_factor=nan)  # same object
    assert TuningProfile(decay_factor=nan) != TuningProfile(decay_factor=float("nan"))


def test_hash_is_that_of_the_value_tuple():
    for factory in ["balanced", *ARCHETYPES]:
        p = getattr(TuningProfile, factory)()
        assert hash(p) == hash(values(p))
    unhashable = TuningProfile(dream_evolve_style_guidance=[])
    with pytest.raises(TypeError):
        hash(unhashable)
    # A value whose hash can change is asked every time, never remembered.
    class Drifting:
        n = 0

        def __hash__(self):
            Drifting.n += 1
            return Drifting.n

    p = TuningProfile(dream_evolve_style_guidance=Drifting())
    assert hash(p) != hash(p)
    q = TuningProfile.for_research()
    assert hash(q) == hash(q) == hash(values(q))


def test_replace_changes_only_named_fields():
    base = TuningProfile.balanced()
    changed = replace(base, coherence_threshold=0.7)
    assert changed.coherence_threshold == 0.7 and base.coherence_threshold == 0.6
    assert [f for f in FIELDS if getattr(changed, f) != getattr(base, f)] == ["coherence_threshold"]
    assert replace(base) == base and replace(base) is not base
    assert copy.replace(base, decay_factor=0.5) == replace(base, decay_factor=0.5)


def test_pickle_and_copy_round_trip():
    p = TuningProfile.for_consumer_support()
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(p, proto)) == p
    assert copy.copy(p) == p
    box = TuningProfile(dream_evolve_style_guidance=["x"])
    deep = copy.deepcopy(box)
    assert deep == box and deep.dream_evolve_style_guidance is not box.dream_evolve_style_guidance


def test_pattern_matching_by_position_and_keyword():
    match TuningProfile.for_lightweight_local():
        case TuningProfile(0.4, 0.4, 0.2, max_context_chars=limit):
            assert limit == 32000
        case _:
            pytest.fail("no match")


field_values = st.one_of(st.integers(), st.floats(allow_nan=False), st.text(max_size=8),
                         st.none(), st.booleans())


@given(st.dictionaries(st.sampled_from(FIELDS), field_values, max_size=8))
def test_replace_and_construction_agree(changes):
    p = replace(TuningProfile(), **changes)
    assert p == TuningProfile(**changes) and hash(p) == hash(TuningProfile(**changes))
    assert values(p) == tuple(changes.get(f, BALANCED[f]) for f in FIELDS)
    assert TuningProfile(*values(p)) == p
    assert pickle.loads(pickle.dumps(p)) == p
    assert (p == TuningProfile()) == all(
        changes.get(f, BALANCED[f]) == BALANCED[f] for f in FIELDS)


def test_deeply_nested_profile_raises_recursion_error():
    # Far deeper than the C stack could recurse through: hashing, comparing
    # and printing must stop with RecursionError, and releasing the chain
    # must not recurse at all.
    def chain():
        p = TuningProfile()
        for _ in range(200_000):
            p = TuningProfile(dream_evolve_style_guidance=p)
        return p

    p, q = chain(), chain()
    with pytest.raises(RecursionError):
        hash(p)
    with pytest.raises(RecursionError):
        assert p != q  # the comparison itself raises
    with pytest.raises(RecursionError):
        repr(p)
    assert p == p  # identity short-cuts every level
    shallow = TuningProfile(dream_evolve_style_guidance=TuningProfile.for_research())
    assert hash(shallow) == hash(values(shallow))
    del p, q


def test_profile_interface_capsule():
    # Other extension modules read profiles only through this table; check
    # it against attribute access through ctypes, as a C consumer would (the
    # entries that touch objects run with the GIL held: PYFUNCTYPE).
    import ctypes

    name = b"kelvane_layer._internal.tuning_profile._C_API"
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]

    class CApi(ctypes.Structure):
        _fields_ = [
            ("version", ctypes.c_uint), ("size", ctypes.c_size_t), ("type", ctypes.c_void_p),
            ("field_count", ctypes.c_size_t),
            ("index_of", ctypes.CFUNCTYPE(ctypes.c_size_t, ctypes.c_char_p)),
            ("field", ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_size_t)),
            ("field_as_double", ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_size_t,
                                                  ctypes.POINTER(ctypes.c_double))),
        ]

    api = CApi.from_address(get_pointer(tuning_profile._C_API, name))
    assert (api.version, api.size, api.field_count) == (1, ctypes.sizeof(CApi), len(FIELDS))
    assert api.type == id(TuningProfile)
    assert [api.index_of(f.encode()) for f in FIELDS] == list(range(len(FIELDS)))
    assert api.index_of(b"no_such_field") == len(FIELDS)
    p = TuningProfile.for_coding_assistant()
    assert tuple(api.field(p, i) for i in range(len(FIELDS))) == values(p)
    out = ctypes.c_double()
    q = TuningProfile(kelvane_journal_target_days=14, decay_factor="x")
    assert api.field_as_double(q, FIELDS.index("kelvane_journal_target_days"), out) == 0
    assert out.value == 14.0
    with pytest.raises(TypeError):  # a number's conversion, not float()'s parsing of text
        api.field_as_double(q, FIELDS.index("decay_factor"), out)


def test_type_belongs_to_its_module():
    assert TuningProfile.__module__ == "kelvane_layer._internal.tuning_profile"
    assert TuningProfile.__qualname__ == "TuningProfile"
    assert pickle.dumps(TuningProfile(), 0).startswith(
        b"ckelvane_layer._internal.tuning_profile\nTuningProfile\n")
