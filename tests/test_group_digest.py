"""Group digest body and prompt hash."""

from __future__ import annotations

import hashlib
import math
import random
import threading
from types import SimpleNamespace
from typing import ClassVar

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kelvane_layer._internal import group_digest as g
from kelvane_layer.types import SharedMemory

HEADER = "Team-shared memories (one per line, prefixed with team_score):"
CLOSING = ("Synthesise a single team insight that captures the collective signal across the "
           "above memories.")


def body(*pairs):
    return g.build_group_digest_prompt([SharedMemory(content=c, team_score=s) for s, c in pairs])


def lines(*pairs):
    return body(*pairs).split("\n")[1:-2]


def test_published_names_and_system_prompt():
    assert g.__all__ == ["GROUP_DIGEST_SYSTEM_PROMPT", "build_group_digest_prompt",
                         "compute_prompt_hash"]
    assert g.GROUP_DIGEST_SYSTEM_PROMPT == (
        "You are the team's collective synthesis voice. Given a set of memories shared by "
        "multiple agents in this workspace, distill a single concise team insight that captures "
        "the consensus, pattern, or unresolved tension across them. Speak in the team's voice "
        "\u2014 do NOT attribute by agent. Do NOT invent facts beyond what the shared memories "
        "state.")
    assert len(g.GROUP_DIGEST_SYSTEM_PROMPT) == 340


def test_example_body():
    assert body((0.45, "Refund requests spike on Mondays."),
                (0.9, "Customers ask for invoices as PDF.")) == (
        f"{HEADER}\n"
        "- (0.900) Customers ask for invoices as PDF.\n"
        "- (0.450) Refund requests spike on Mondays.\n"
        f"\n{CLOSING}")


def test_no_rows():
    assert g.build_group_digest_prompt([]) == f"{HEADER}\n\n{CLOSING}"


@pytest.mark.parametrize("score, text", [
    (0.5, "0.500"), (1, "1.000"), (0.9996, "1.000"), (0.12345, "0.123"), (0.1235, "0.123"),
    (0.0005, "0.001"), (0.0625, "0.062"), (0.0635, "0.064"), (1234.5, "1234.500"),
    (math.nan, "nan"), (-math.nan, "nan"), (math.inf, "inf"), (-math.inf, "-inf"),
    (-0.0, "-0.000"), (-0.0001, "-0.000"), (1e22, "10000000000000000000000.000"),
    (5e-324, "0.000"), (True, "1.000"), (False, "0.000"), (-5, "-5.000"),
    (2**64 + 1, "18446744073709551617.000"), (-(10**40) - 1, f"{-(10**40) - 1}.000"),
])
def test_score_formatting(score, text):
    assert lines((score, "c")) == [f"- ({text}) c"]


@given(st.floats())
def test_float_scores_render_as_the_host_formats_them(x):
    assert lines((x, "c")) == [f"- ({format(x, '.3f')}) c"]


def test_stable_order_for_equal_scores():
    abc = body((0.3, "A"), (0.9, "B"), (0.3, "C"))
    cba = body((0.3, "C"), (0.9, "B"), (0.3, "A"))
    assert abc.split("\n")[1:4] == ["- (0.900) B", "- (0.300) A", "- (0.300) C"]
    assert cba.split("\n")[1:4] == ["- (0.900) B", "- (0.300) C", "- (0.300) A"]
    assert g.compute_prompt_hash(abc) != g.compute_prompt_hash(cba)
    # Only the score is compared: equal values of different kinds keep input order.
    assert lines((1, "int"), (1.0, "float"), (True, "bool")) == [
        "- (1.000) int", "- (1.000) float", "- (1.000) bool"]


def test_nan_scores_go_last_in_input_order():
    assert lines((math.nan, "n1"), (-math.inf, "low"), (math.nan, "n2"), (0.5, "mid"),
                 (math.inf, "top"), (math.nan, "n3")) == [
        "- (inf) top", "- (0.500) mid", "- (-inf) low", "- (nan) n1", "- (nan) n2", "- (nan) n3"]


def test_ints_and_floats_compare_exactly():
    big = 2**53 + 1  # rounds to 2.0**53 as a double
    assert lines((2.0**53, "float"), (big, "int")) == [
        f"- ({big}.000) int", "- (9007199254740992.000) float"]
    assert lines((-(2.0**53), "float"), (-big, "int")) == [
        "- (-9007199254740992.000) float", f"- ({-big}.000) int"]
    huge = 10**400  # beyond the double range
    order = [ln.rsplit(" ", 1)[1] for ln in lines((huge, "h"), (math.inf, "i"),
                                                   (-math.inf, "-i"), (-huge, "-h"),
                                                   (1e308, "f"), (huge + 1, "h1"))]
    assert order == ["i", "h1", "h", "f", "-h", "-i"]


@given(st.lists(st.floats(allow_nan=False) | st.integers(-(2**70), 2**70), min_size=1,
                max_size=8, unique_by=float).flatmap(
    lambda scores: st.tuples(st.just(scores), st.permutations(range(len(scores))))))
def test_any_permutation_of_distinct_scores_gives_the_same_body(case):
    scores, perm = case
    rows = [SharedMemory(content=f"row {i} \u00e9", team_score=s) for i, s in enumerate(scores)]
    shuffled = [rows[i] for i in perm]
    a = g.build_group_digest_prompt(rows)
    b = g.build_group_digest_prompt(shuffled)
    assert a == b and g.compute_prompt_hash(a) == g.compute_prompt_hash(b)
    expected = sorted(rows, key=lambda r: r.team_score, reverse=True)
    assert a.split("\n")[1:-2] == [ln for r in expected for ln in lines((r.team_score, r.content))]


# Scores that tie as doubles but not as numbers (ints from 2**53 on, ints
# beyond the double range against infinities), equal values of several kinds,
# signed zeros and NaNs: the cases where the order needs more than doubles.
TIED_SCORES = [0.5, 0.5, 1, 1.0, True, False, 0, 0.0, -0.0, math.nan, math.inf, -math.inf,
               2.0**53, 2**53, 2**53 + 1, 2**53 + 2, -(2**53) - 1, -(2.0**53), 10**400,
               10**400 + 1, -(10**400), 1e308, 2**1024 - 1]


def expected_order(scores):
    """Input positions as the host orders them: by value, highest first, stable; NaN last."""
    numbers = [i for i, s in enumerate(scores) if not (isinstance(s, float) and math.isnan(s))]
    nans = [i for i in range(len(scores)) if i not in set(numbers)]
    return sorted(numbers, key=lambda i: scores[i], reverse=True) + nans


def digest_order(scores):
    rows = [SharedMemory(content=f"r{i}", team_score=s) for i, s in enumerate(scores)]
    got = g.build_group_digest_prompt(rows).split("\n")[1:-2]
    return [int(ln.rsplit(" r", 1)[1]) for ln in got]


@given(st.lists(st.sampled_from(TIED_SCORES) | st.floats(-2.0, 2.0, width=16), max_size=300))
def test_order_of_many_rows_with_ties(scores):
    assert digest_order(scores) == expected_order(scores)


@pytest.mark.parametrize("n", [127, 129, 200, 257, 1000])
def test_order_of_long_lists(n):
    # Long enough for every stage of a library sort: short runs, merges of
    # runs, the stretches between; mostly distinct scores with ties mixed in.
    rng = random.Random(n)
    scores = [rng.choice(TIED_SCORES) if rng.random() < 0.2 else rng.random()
              for _ in range(n)]
    assert digest_order(scores) == expected_order(scores)
    assert digest_order(scores[::-1]) == expected_order(scores[::-1])


def test_hash_tracks_rendering_precision():
    base = body((0.9001, "Refunds spike."), (0.2, "PDF invoices."))
    assert body((0.9004, "Refunds spike."), (0.2, "PDF invoices.")) == base
    for changed in (body((0.9006, "Refunds spike."), (0.2, "PDF invoices.")),
                    body((0.9001, "Refunds spike!"), (0.2, "PDF invoices."))):
        assert g.compute_prompt_hash(changed) != g.compute_prompt_hash(base)


def test_content_is_copied_as_it_is():
    assert lines((0.5, "  two\nlines {x} \ud800 ")) == ["- (0.500)   two", "lines {x} \ud800 "]
    row = SimpleNamespace(team_score=0.25, content=["not", "text"])
    assert g.build_group_digest_prompt([row]).split("\n")[1] == "- (0.250) ['not', 'text']"


class Row:
    """Counts attribute reads, to show when each is made."""

    reads: ClassVar[list[str]] = []

    def __init__(self, name, **attrs):
        self.name = name
        self.attrs = attrs

    def __getattr__(self, attr):
        Row.reads.append(f"{self.name}.{attr}")
        try:
            return self.attrs[attr]
        except KeyError:
            raise AttributeError(attr) from None


def test_every_score_is_read_before_any_content():
    Row.reads = []
    rows = [Row("a", team_score=0.1, content="A"), Row("b", team_score=0.9, content="B")]
    assert g.build_group_digest_prompt(rows).split("\n")[1:3] == ["- (0.900) B", "- (0.100) A"]
    assert Row.reads == ["a.team_score", "b.team_score", "b.content", "a.content"]

    with pytest.raises(AttributeError, match="team_score"):
        g.build_group_digest_prompt([Row("a", content="A")])
    with pytest.raises(AttributeError, match="team_score"):
        g.build_group_digest_prompt([Row("a", team_score=1.0), Row("b", content="B")])
    with pytest.raises(AttributeError, match="content"):
        g.build_group_digest_prompt([Row("a", team_score=1.0)])


@pytest.mark.parametrize("bad", [None, "0.5", 1j, [0.5]])
def test_non_number_scores_fail(bad):
    with pytest.raises(TypeError, match="team_score"):
        body((bad, "alone"))
    with pytest.raises(TypeError, match="team_score"):
        body((0.5, "a"), (bad, "b"), (0.2, "c"))
    # Checked before the row's content is read.
    with pytest.raises(TypeError, match="team_score"):
        g.build_group_digest_prompt([Row("a", team_score=bad)])


@pytest.mark.parametrize("bad", [None, (), "rows", iter([])])
def test_rows_must_be_a_list(bad):
    with pytest.raises(TypeError, match="rows"):
        g.build_group_digest_prompt(bad)


def test_rows_by_name():
    rows = [SharedMemory(content="x", team_score=0.1)]
    assert g.build_group_digest_prompt(rows=rows) == g.build_group_digest_prompt(rows)


@pytest.mark.parametrize("prompt, key", [
    ("abc", "ba7816bf8f01cfea"), ("", "e3b0c44298fc1c14"),
])
def test_known_hashes(prompt, key):
    assert g.compute_prompt_hash(prompt) == key
    assert g.compute_prompt_hash(prompt=prompt) == key


@pytest.mark.parametrize("prompt", [
    "caf\u00e9", "\u2014" * 10, "\U0001f600 x", "a" * 65_535, "a" * 65_536, "a" * 1_000_000,
    "\u00e9" * 40_000, "\U0001f600" * 20_000,
])
def test_hash_is_sha256_of_the_utf8_bytes(prompt):
    key = g.compute_prompt_hash(prompt)
    assert key == hashlib.sha256(prompt.encode("utf-8")).hexdigest()[:16]


@given(st.text())
def test_hash_shape(prompt):
    try:
        expected = hashlib.sha256(prompt.encode("utf-8")).hexdigest()[:16]
    except UnicodeEncodeError:
        with pytest.raises(UnicodeEncodeError):
            g.compute_prompt_hash(prompt)
        return
    key = g.compute_prompt_hash(prompt)
    assert key == expected and len(key) == 16 and set(key) <= set("0123456789abcdef")


@pytest.mark.parametrize("prompt", ["a\ud800", "\udfff", "x" * 70_000 + "\udc00"])
def test_unpaired_surrogate_cannot_be_hashed(prompt):
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        g.compute_prompt_hash(prompt)


@pytest.mark.parametrize("bad", [None, b"abc", 3, ["abc"]])
def test_prompt_must_be_text(bad):
    with pytest.raises(TypeError, match="prompt"):
        g.compute_prompt_hash(bad)


def test_prompts_hash_correctly_from_many_threads():
    # Each thread hashes with a digest context of its own, made on its first
    # hash and freed when it ends: threads started in waves make and free
    # many, and short prompts (hashed holding the GIL) interleave with long
    # ones (hashed without it) on the same context.
    prompts = [("\u00e9" if i % 2 else "a") * 200_000 + str(i) for i in range(8)]
    prompts += [("\u00e9" if i % 2 else "a") * (i * 7) + str(i) for i in range(8)]
    expected = [hashlib.sha256(p.encode()).hexdigest()[:16] for p in prompts]
    failures: list[int] = []

    def worker(i: int) -> None:
        for k in range(20):
            j = i if k % 2 else i + 8
            if g.compute_prompt_hash(prompts[j]) != expected[j]:
                failures.append(j)

    for _wave in range(4):
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert not failures


def test_score_rounding_on_exact_ties_and_small_values():
    # Exact binary ties at the third decimal go to the even digit; values
    # just beside a tie, tiny and subnormal values, and the largest scores
    # written without the general conversion all round as the host rounds.
    cases = [k / 2000 for k in range(-4001, 4002)] + [k / 16 for k in range(-50, 50)]
    cases += [math.nextafter(x, d) for x in (0.0005, 0.0625, 0.9995, 1.0625) for d in (0, 2)]
    cases += [5e-324, -5e-324, 2.0**-1074, 1e-300, 2.0**-60, 9007199254740.0,
              9007199254739.999, 9007199254741.0, 4503599627370.4995, 1e15 + 0.5]
    assert lines(*((x, "c") for x in cases[:1])) == [f"- ({format(cases[0], '.3f')}) c"]
    ordered = sorted(cases, reverse=True)
    got = g.build_group_digest_prompt([SharedMemory(content="c", team_score=x) for x in ordered])
    assert got.split("\n")[1:-2] == [f"- ({format(x, '.3f')}) c" for x in ordered]


def test_kind_errors_name_the_argument():
    with pytest.raises(TypeError, match="'rows'"):
        g.build_group_digest_prompt({"team_score": 1})
    with pytest.raises(TypeError, match=r"rows\[1\]"):
        body((0.5, "a"), ("0.7", "b"))
    with pytest.raises(TypeError, match="'prompt'"):
        g.compute_prompt_hash(None)
