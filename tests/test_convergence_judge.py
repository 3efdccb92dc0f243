import itertools
import math
import struct
import sys
from collections import namedtuple

import pytest
from _reference_models import TRANSCRIPT_HEADER as HEADER
from _reference_models import VERDICT_QUESTION as QUESTION
from _reference_models import convergence_prompt as ref_build
from _reference_models import convergence_verdict as ref_parse
from _reference_models import cosine as ref_cosine
from hypothesis import assume, given
from hypothesis import strategies as st

from kelvane_layer._internal import convergence_judge as cj

build = cj.build_convergence_prompt
cosine = cj.cosine_similarity
parse = cj.parse_convergence_verdict

def bits(x: float) -> bytes:
    return struct.pack("<d", x)


# -- constants ---------------------------------------------------------------


def test_published_names_and_constants():
    assert sorted(cj.__all__) == sorted([
        "CONVERGENCE_JUDGE_SYSTEM_PROMPT", "STAGNATION_COSINE_THRESHOLD",
        "build_convergence_prompt", "cosine_similarity", "parse_convergence_verdict",
    ])
    assert type(cj.STAGNATION_COSINE_THRESHOLD) is float
    assert cj.STAGNATION_COSINE_THRESHOLD == 0.92
    assert cj.CONVERGENCE_JUDGE_SYSTEM_PROMPT == (
        "You are a thread-completion classifier for a multi-agent conversation. Your only job "
        "is to decide whether the thread has reached a natural stopping point \u2014 i.e. the "
        "participants have either resolved the question, agreed to defer it, handed off to "
        "another agent, or run out of substantive new information to add. You are NOT a "
        "quality reviewer: do not judge whether the answer is correct, only whether the thread "
        "is *done*. A thread can be DONE even when the participants disagree, as long as the "
        "disagreement itself is the conclusion. A thread is OPEN when the most recent turn "
        "proposes a question, action, or claim that would normally invite a substantive "
        "response. Respond with exactly one line in the form ``CONVERGED|<one-sentence "
        "summary>`` or ``OPEN|<one-sentence reason>``. No preamble, no trailing text."
    )


# -- transcript ----------------------------------------------------------------


def test_whole_transcript():
    turns = [("planner", "Ship it on\n  Friday?"), ("critic", "Agreed.  ")]
    assert build(turns) == (
        "Thread transcript (chronological):\n"
        "- [planner] Ship it on Friday?\n"
        "- [critic] Agreed.\n"
        "\n" + QUESTION
    )


@pytest.mark.parametrize(
    "turns, middle",
    [
        ([], ""),
        ([("a", " \t\n\u3000 ")], "- [a] \n"),
        ([("a", "x\t\ty\n\nz   w\u2028v")], "- [a] x y z w v\n"),
        ([("pl\nanner", "hi")], "- [pl\nanner] hi\n"),  # the id is not touched
        ([["a", "b"], ("c", "d")], "- [a] b\n- [c] d\n"),
        ([("\ud800", "\udc00 x")], "- [\ud800] \udc00 x\n"),
    ],
)
def test_transcript_lines(turns, middle):
    assert build(turns) == HEADER + "\n" + middle + "\n" + QUESTION


def test_pair_kinds():
    Turn = namedtuple("Turn", "sender_id content")

    class S(str):
        pass

    assert build([Turn("a", "b")]) == build([("a", "b")]) == build([[S("a"), S("b")]])
    # Any iterable of exactly two values is a turn, as `sender, content = turn`
    # would unpack it.
    assert build(["ab", {"a": 1, "b": 2}, iter(("a", "b")), (x for x in "ab")]) == (
        build([("a", "b")] * 4))


def test_unpacking_a_turn_may_not_disturb_the_others():
    turns = [("a", "b")]

    def sneaky():
        yield "s"
        turns.clear()  # host code run mid-call changes the caller's list
        turns.append(("x", "y"))
        yield "c"

    turns.insert(0, sneaky())
    assert build(turns) == build([("s", "c"), ("a", "b")])


@pytest.mark.parametrize(
    "turns, exc",
    [
        (None, TypeError),
        ((("a", "b"),), TypeError),  # a tuple of turns is not a list
        (iter([("a", "b")]), TypeError),
        ([("a", "b"), 5], TypeError),  # not iterable
        ([("a", None)], TypeError),
        ([{1: 0, "b": 0}], TypeError),  # unpacked, but the id is not a str
        ([(None, "b")], TypeError),
        ([("a", b"b")], TypeError),
        ([("a", 1)], TypeError),
        ([("a",)], ValueError),
        ([("a", "b", "c")], ValueError),
        ([[]], ValueError),
        ([("a", "b"), ("a", "b", "c")], ValueError),
        (["abc"], ValueError),
        ([{"a": 1, "b": 2, "c": 3}], ValueError),
        ([iter("a")], ValueError),
        ([itertools.count()], ValueError),  # stops at the third value
    ],
)
def test_rejected_turns(turns, exc):
    with pytest.raises(exc, match=r"turns\[\d\]" if exc is ValueError else None):
        build(turns)


def test_errors_of_a_turns_iterator_propagate():
    def broken():
        yield "a"
        raise LookupError("mid-turn")

    with pytest.raises(LookupError, match="mid-turn"):
        build([broken()])


turn_text = st.text(st.characters(codec=None, exclude_categories=()), max_size=12) | st.sampled_from(
    ["\r\n", "\n", " a \x85 b ", "\u2028", "x\u2029y"]
)
turn_lists = st.lists(st.tuples(turn_text, turn_text), max_size=6)


def line_breaks(s: str) -> int:
    return len((s + "x").splitlines()) - 1


@given(turn_lists)
def test_only_sender_ids_bring_line_breaks(turns):
    out = build(turns)
    assert out == ref_build(turns)
    assert line_breaks(out) == 2 + len(turns) + sum(line_breaks(s) for s, _ in turns)


# -- verdict -----------------------------------------------------------------

@pytest.mark.parametrize(
    "reply, verdict",
    [
        ("CONVERGED|Agreed to ship on Friday.", (True, "Agreed to ship on Friday.")),
        ("  converged |  done", (True, "done")),
        ("Converged|a|b", (True, "a|b")),
        ("OPEN|waiting for the cost estimate", (False, "waiting for the cost estimate")),
        ("OPEN|", (False, "judge marked thread open")),
        ("open | \t ", (False, "judge marked thread open")),
        ("open", (False, "open")),
        ("CONVERGED|", (False, "CONVERGED|")),
        ("CONVERGED", (False, "CONVERGED")),
        ("DONE|all settled", (False, "DONE|all settled")),
        ("Verdict: CONVERGED|done", (False, "Verdict: CONVERGED|done")),
        ("", (False, "")),
        (" \n\t\u3000", (False, "")),
        ("CONVERGED|done\nmore", (True, "done\nmore")),
        ("\nOPEN|a\nCONVERGED|b\n", (False, "a\nCONVERGED|b")),
        ("|x", (False, "|x")),
        ("CON VERGED|x", (False, "CON VERGED|x")),
        ("CONVERGED\u200b|x", (False, "CONVERGED\u200b|x")),  # U+200B is not whitespace
        ("\u0131\u0131|x", (False, "\u0131\u0131|x")),  # dotless i upper-cases to "I"
        ("CONVERGED\ud800|x", (False, "CONVERGED\ud800|x")),
        ("\ud83d\ude00|x", (False, "\ud83d\ude00|x")),  # lone surrogates never pair up
    ],
)
def test_verdicts(reply, verdict):
    assert parse(reply) == verdict


@pytest.mark.parametrize("bad", [None, b"OPEN|x", 1, ["OPEN|x"]])
def test_verdict_rejects_non_text(bad):
    with pytest.raises(TypeError):
        parse(bad)


reply_text = st.lists(
    st.sampled_from(["CONVERGED", "converged", "Open", "OPEN", "|", " ", "\n", "\ud800", "\u0131",
                     "\u017f", "\u00df", "x"])
    | st.text(st.characters(codec=None, exclude_categories=()), max_size=5),
    max_size=8,
).map("".join)


@given(reply_text)
def test_verdict_never_raises_and_matches_reference(reply):
    converged, text = parse(reply)
    assert type(converged) is bool and type(text) is str
    assert (converged, text) == ref_parse(reply)


# -- cosine --------------------------------------------------------------------

@pytest.mark.parametrize(
    "a, b, expected",
    [
        ([3, 4], [4, 3], 0.96),
        ([1, 2, 3], [4, 5, 6], 0.9746318461970762),
        ([1, 1, 1], [1, 1, 1], 1.0000000000000002),
        ([1, 2], [-1, -2], -0.9999999999999998),
        ([1, 0], [0, 1], 0.0),
        ([0, 0, 0], [1, 2, 3], 0.0),
        ([1.5, -2.0], [0.0, 0.0], 0.0),
        ([0.0, 0.0], [0.0, 0.0], 0.0),
        ([], [], 0.0),
        ([1e-200], [1.0], 0.0),
        ([1e-200], [1e-200], 0.0),
        ([3.0, 4.0], [4.0, 3.0], 0.96),
    ],
)
def test_cosine_examples_to_the_bit(a, b, expected):
    assert bits(cosine(a, b)) == bits(expected)


@pytest.mark.parametrize(
    "a, b",
    [([1e200], [1e200]), ([math.nan, 1.0], [1.0, 1.0]), ([math.inf], [1.0]),
     ([math.inf, 1.0], [math.inf, 1.0])],
)
def test_cosine_degenerate_gives_nan(a, b):
    assert math.isnan(cosine(a, b))


def test_cosine_length_mismatch_message():
    with pytest.raises(ValueError) as info:
        cosine([1.0, 2.0, 3.0], [1.0, 2.0])
    assert str(info.value) == (
        "cosine_similarity expects equal-length vectors, got len(a)=3 and len(b)=2."
    )
    with pytest.raises(ValueError, match=r"len\(a\)=0 and len\(b\)=1\.$"):
        cosine([], ["not even a number"])  # the length is checked before the items


@pytest.mark.parametrize(
    "a, b",
    [((1.0,), [1.0]), ([1.0], (1.0,)), (None, []), ([1.0], None), ({1.0}, [1.0]),
     ((1.0, 2.0), [1.0]),  # the kind is checked before the length
     (["1.0"], [1.0]), ([1.0], [None]), ([1.0, 1j], [1.0, 1.0]), ([b"x"], [1.0])],
)
def test_cosine_rejects_wrong_kinds(a, b):
    with pytest.raises(TypeError):
        cosine(a, b)


def test_cosine_integers_taken_at_their_value():
    big = 2**53 + 1  # rounds to 2**53, as float() does
    assert bits(cosine([big, 1], [1, big])) == bits(ref_cosine([big, 1], [1, big]))
    assert cosine([True, False], [1.0, 0.0]) == 1.0
    assert bits(cosine([10**308, 1], [1, 1])) == bits(ref_cosine([10**308, 1], [1, 1]))
    with pytest.raises(OverflowError):
        cosine([1.0, 10**400], [1.0, 1.0])


def test_cosine_float_subclass_and_list_subclass():
    class F(float):
        pass

    class L(list):
        pass

    # Subclass items in the middle of exact floats, on either side.
    a, b = [1.0, F(3.0), 4, 2.0], L([2.0, 4.0, F(3.0), True])
    assert bits(cosine(a, b)) == bits(ref_cosine(a, b))


finite = st.floats(allow_nan=False, allow_infinity=False, width=64)
moderate = st.floats(min_value=1e-150, max_value=1e150) | st.floats(
    min_value=-1e150, max_value=-1e-150
)


@given(st.integers(0, 40).flatmap(lambda n: st.tuples(
    st.lists(finite | st.integers(-2**60, 2**60), min_size=n, max_size=n),
    st.lists(finite, min_size=n, max_size=n))))
def test_cosine_matches_sequential_reference_bit_for_bit(ab):
    a, b = ab
    assert bits(cosine(a, b)) == bits(ref_cosine(a, b))


@given(st.lists(moderate, min_size=1, max_size=64))
def test_cosine_of_a_vector_with_itself_is_one(a):
    # With every element of magnitude in [1e-150, 1e150] and at most 64 of
    # them, no square and no sum overflows or underflows.
    assume(sum(x * x for x in a) < sys.float_info.max)
    assert abs(cosine(a, a) - 1.0) <= 1e-15


def test_cosine_long_vectors():
    a = [((i * 7919) % 1000 - 500) / 37.0 for i in range(1536)]
    b = [((i * 104729) % 1000 - 500) / 41.0 for i in range(1536)]
    assert bits(cosine(a, b)) == bits(ref_cosine(a, b))


# -- calling convention --------------------------------------------------------


def test_functions_have_real_signatures():
    import inspect

    assert str(inspect.signature(cosine)) == "(a, b)"
    assert str(inspect.signature(build)) == "(turns)"
    assert str(inspect.signature(parse)) == "(text)"
    assert cosine(b=[4.0, 3.0], a=[3.0, 4.0]) == 0.96
    assert parse(text="OPEN|x") == (False, "x")
    assert build(turns=[]) == HEADER + "\n\n" + QUESTION


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: cosine([1.0]), r"missing required argument 'b'"),
        (lambda: cosine([1.0], [1.0], [1.0]), r"takes 2 positional arguments but 3 were given"),
        (lambda: cosine([1.0], a=[1.0]), r"multiple values for argument 'a'"),
        (lambda: cosine([1.0], c=[1.0]), r"unexpected keyword argument 'c'"),
        (lambda: parse(), r"missing required argument 'text'"),
        (lambda: build([], []), r"takes 1 positional argument but 2 were given"),
    ],
)
def test_bad_calls_raise_type_error(call, message):
    with pytest.raises(TypeError, match=message):
        call()


# -- argument errors and flattening edges ------------------------------------


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: build(None), "turns"),
        (lambda: build([("a", "b"), ("a", 1)]), "turns"),
        (lambda: build([5]), "turns"),
        (lambda: parse(None), "text"),
        (lambda: parse(b"OPEN|x"), "text"),
        (lambda: cosine((1.0,), [1.0]), "'a'"),
        (lambda: cosine([1.0], None), "'b'"),
        (lambda: cosine([1.0, "x"], [1.0, 2.0]), "'a'"),
        (lambda: cosine([1.0, 2.0], [1.0, None]), "'b'"),
    ],
)
def test_kind_errors_name_the_argument(call, name):
    with pytest.raises(TypeError, match=name):
        call()


GAP_KINDS = [" ", "  ", "\t", "\n", " \n", "\x85", "\xa0", "\x1f", "\u3000", "\u2028"]


@pytest.mark.parametrize("word", ["a", "\u00e9", "\u2014", "\U0001f600"])
@pytest.mark.parametrize("gap", GAP_KINDS)
def test_flattening_at_every_offset(word, gap):
    # Whitespace is found several units at a time: put every kind of gap at
    # every offset of the first sixteen, inside and at the ends of longer text.
    for k in range(18):
        for text in (word * k + gap + "bcdefghij klm",
                     "x" * k + gap + word * 9 + gap,
                     gap + "ab cd" * k + gap + gap + word):
            assert build([("s", text)]) == ref_build([("s", text)]), (k, text)


def test_verdict_returns_cuts_of_the_reply():
    # Width of every returned text is the canonical one for its code points.
    for reply, expected in [("\u00e9 | converged", (False, "\u00e9 | converged")),
                            ("CONVERGED|caf\u00e9 \u2014 done", (True, "caf\u00e9 \u2014 done")),
                            ("\u017fOPEN|x", (False, "\u017fOPEN|x")),
                            ("OPEN|\u3000reason\u3000", (False, "reason"))]:
        got = parse(reply)
        assert got == expected and hash(got[1]) == hash(expected[1])
    assert parse("\u0131open|r") == (False, "\u0131open|r")
    assert parse("\ufb00|x") == (False, "\ufb00|x")  # upper-cases to "FF"
