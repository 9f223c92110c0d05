"""The close-name index finds exactly what comparing with every name finds
(difflib.get_close_matches at 0.8), for lists long enough to be indexed,
and the checks that use it stay linear in the names they compare."""

import difflib

from hypothesis import given, settings
from hypothesis import strategies as st

from quarrow_dax.close_names import CloseNames, best_of

_DECORATION = str.maketrans("", "", "'[]")


def compared_with_all(written, names):
    """The suggestion as made before the index: every name compared."""
    by_key = {}
    for name in names:
        by_key.setdefault(name.casefold().translate(_DECORATION), name)
    matches = difflib.get_close_matches(written.casefold().translate(_DECORATION), list(by_key), n=1, cutoff=0.8)
    return by_key[matches[0]] if matches else None


# Few letters, so that names collide, share bigrams and sit near the cutoff.
name = st.text(alphabet="abcAB[]'é ", min_size=0, max_size=12)


@settings(max_examples=300, deadline=None)
@given(names=st.lists(name, min_size=65, max_size=140), written=st.lists(name, min_size=1, max_size=8))
def test_the_index_finds_what_comparing_with_all_finds(names, written):
    close = CloseNames(names)
    for slip in [*written, *names[:5]]:
        assert close.closest(slip) == compared_with_all(slip, names), slip


@settings(max_examples=100, deadline=None)
@given(first=st.lists(name, min_size=0, max_size=80), second=st.lists(name, min_size=0, max_size=80), written=name)
def test_groups_rank_as_one_list(first, second, written):
    assert best_of(written, CloseNames(first), CloseNames(second)) == compared_with_all(written, first + second)


MODEL_NAMES = [f"[Sales Amount {i}]" for i in range(3000)] + ["[Revenue]", "[Quantity]", "[Total Sales]"]

SLIPS = [("[Revenu]", "[Revenue]"), ("[quantty]", "[Quantity]"), ("[Totl Sales]", "[Total Sales]"),
         ("[Sales Amont 17]", "[Sales Amount 17]"), ("[Nothing like it]", None), ("[]", None)]


def test_slips_in_a_large_model():
    close = CloseNames(MODEL_NAMES)
    for slip, expected in SLIPS:
        assert close.closest(slip) == expected == compared_with_all(slip, MODEL_NAMES)
