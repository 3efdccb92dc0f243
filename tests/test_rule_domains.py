import pytest
from _reference_models import DOMAIN_KEYWORDS as TABLE
from _reference_models import directive_domain as reference
from hypothesis import given
from hypothesis import strategies as st

from kelvane_layer._internal import rule_domains as rd

classify = rd.classify_directive_domain

def test_published_names_and_constants():
    assert rd.__all__ == ["DIRECTIVE_DOMAINS", "DOMAIN_GENERAL", "EVOLVE_DEDUP_THRESHOLD",
                          "EVOLVE_MAX_PER_DOMAIN", "classify_directive_domain"]
    assert type(rd.DIRECTIVE_DOMAINS) is frozenset
    assert rd.DIRECTIVE_DOMAINS == {*TABLE, "general"}
    assert rd.DOMAIN_GENERAL == "general"
    assert type(rd.EVOLVE_DEDUP_THRESHOLD) is float and rd.EVOLVE_DEDUP_THRESHOLD == 0.85
    assert type(rd.EVOLVE_MAX_PER_DOMAIN) is int and rd.EVOLVE_MAX_PER_DOMAIN == 1
    # The private table keeps its order (the order decides ties) and holds tuples.
    assert type(rd._DOMAIN_KEYWORDS) is dict
    assert list(rd._DOMAIN_KEYWORDS.items()) == list(TABLE.items())


@pytest.mark.parametrize(
    "text, domain",
    [
        ("", "general"),
        ("Be concise and friendly", "general"),
        ("Offer a REFUND when the password reset fails", "billing"),
        ("Renewal price must be stated up front", "billing"),
        ("Renewal pricing", "retention"),
        ("Build a good relationship with the customer", "fulfillment"),
        ("Always cite the author", "security"),
        ("Do not discharge the account", "billing"),
        ("Require 2FA for account changes", "security"),
        ("Hand over to a human agent", "escalation"),
        ("Hand over to a human  agent", "general"),
        ("Offer a win-back coupon", "general"),
        ("Offer a WIN BACK coupon", "retention"),
        ("Enable TWO-FACTOR login", "security"),
        ("Check the ORDER STATUS first", "fulfillment"),
        ("Check the order\tstatus first", "general"),  # the space must be a space
    ],
)
def test_documented_examples(text, domain):
    assert classify(text) == domain


@pytest.mark.parametrize(
    "text, domain",
    [
        # Full (not simple, not ASCII-only) lower-casing reaches the keywords.
        ("Check \u212aELVIN TRAC\u212aING", "fulfillment"),  # KELVIN SIGN -> "k"
        ("Ask for PAYMENT \u00e0 la carte", "billing"),  # non-ASCII elsewhere in the text
        # U+0130 lower-cases to "i" + U+0307, which breaks "price" apart.
        ("PR\u0130CE", "general"),
        ("PRICE \u0130", "billing"),
        # Letters that only look like keyword letters do not match.
        ("\uff52\uff45\uff46\uff55\uff4e\uff44", "general"),  # fullwidth "refund"
        # A lone surrogate is carried through and matches nothing.
        ("\ud800refund\udfff", "billing"),
        ("re\ud800fund", "general"),
        ("\udbff\udfffCANCEL", "retention"),  # two lone surrogates never pair up
    ],
)
def test_unicode_lower_casing(text, domain):
    assert classify(text) == domain


def test_accepts_keyword_and_str_subclass():
    class S(str):
        pass

    assert classify(text=S("REFUND now")) == "billing"


@pytest.mark.parametrize("bad", [None, b"refund", 3, ["refund"]])
def test_rejects_non_text(bad):
    with pytest.raises(TypeError):
        classify(bad)


keywordish = st.lists(
    st.one_of(
        st.sampled_from([k for ks in TABLE.values() for k in ks]).map(
            lambda k: k.upper() if len(k) % 2 else k.title()
        ),
        st.text(max_size=6),
        st.sampled_from(["\u0130", "\u212a", "\u03a3", "\u00df", " ", "-"]),
    ),
    max_size=8,
).map("".join)


@given(keywordish)
def test_matches_plain_python_lowercase_reference(text):
    assert classify(text) == reference(text)


@pytest.mark.parametrize("filler", ["\u00e9", "\u00e9 ", "\u03a3"])
def test_very_long_non_ascii_text_is_mapped_whole(filler):
    # Long texts are case-mapped piece by piece; nothing may be lost at the cuts.
    body = filler * ((1 << 22) // len(filler) + 7)
    assert classify(body + "REFUND") == "billing"
    assert classify(body[:-3] + "CHUR" + "N" + body[:5]) == "retention"
    assert classify(body) == "general"


@pytest.mark.parametrize("filler", ["x", "\u00e9", "\u03c9", "\U0001f600"])
@pytest.mark.parametrize("length", [59, 60, 61, 97, 240])
def test_keyword_found_at_every_position_of_a_long_text(filler, length):
    # Long texts are read in two overlapping halves; a keyword must be
    # found wherever it sits, across the cut included.
    for domain, keywords in TABLE.items():
        for keyword in (keywords[0], max(keywords, key=len)):
            for at in range(length - len(keyword) + 1):
                text = filler * at + keyword.upper() + filler * (length - at - len(keyword))
                assert classify(text) == domain, (keyword, at)
