"""Copies and pickles of syntax nodes, tokens and references: every position
and the source are kept, trees of any depth the parser accepts survive, and
sharing within a tree is kept. Checked over real formulas of the corpus and
on the deepest and longest forms."""

import copy
import pathlib
import pickle

import pytest

from quarrow_dax import _syntax
from quarrow_dax import syntax as S
from quarrow_dax.references import references

SHARED = pathlib.Path(__file__).resolve().parents[2] / "shared"
CORPUS = SHARED / "corpus"
shared = pytest.mark.skipif(not CORPUS.is_dir(), reason=f"shared files not at {SHARED}")

# Every way of copying: each takes an object and gives its copy.
COPIES = {
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    **{f"pickle{protocol}": (lambda obj, p=protocol: pickle.loads(pickle.dumps(obj, protocol=p)))
       for protocol in (2, 4, 5)},
}


def positions(tree):
    """Every node's class, span and text, in walk order."""
    return [(type(node).__name__, node.span, node.text) for node, _ in tree.walk()]


def corpus_trees(limit=60):
    trees = []
    for folder, parse in (("expressions", S.parse_expression), ("queries", S.parse_query)):
        for path in sorted((CORPUS / folder).glob("*.dax"))[:limit]:
            text = path.read_text(encoding="utf-8")
            try:
                trees.append((path.name, parse(text)))
            except S.ParseError:
                continue
    return trees


@shared
@pytest.mark.parametrize("how", list(COPIES))
def test_copies_of_corpus_trees_keep_every_position(how):
    trees = corpus_trees()
    assert len(trees) > 80
    for name, tree in trees:
        copied = COPIES[how](tree)
        assert copied == tree, name
        assert positions(copied) == positions(tree), name
        if how != "copy":
            # Deep: no node of the copy is a node of the original.
            originals = {id(node) for node, _ in tree.walk()}
            assert not any(id(node) in originals for node, _ in copied.walk()), name


@shared
@pytest.mark.parametrize("how", list(COPIES))
def test_copies_of_tokens_and_references_keep_their_place(how):
    texts = [path.read_text(encoding="utf-8") for path in sorted((CORPUS / "expressions").glob("*.dax"))[:40]]
    for text in texts:
        tokens = S.tokenize(text, comments=True)
        copied = [COPIES[how](token) for token in tokens]
        assert [(t.kind, t.span, t.text, t.value) for t in copied] == [(t.kind, t.span, t.text, t.value) for t in tokens]
        found = references(text)
        copied_refs = [COPIES[how](ref) for ref in found]
        assert copied_refs == found
        assert [(r.span, r.text, r.name_span) for r in copied_refs] == [(r.span, r.text, r.name_span) for r in found]


@pytest.mark.parametrize("how", list(COPIES))
def test_the_reported_token_copy(how):
    token = S.tokenize("SUM(1)")[0]
    copied = COPIES[how](token)
    assert (copied.kind, copied.text, copied.span, copied.value) == ("Ident", "SUM", (0, 3), "SUM")
    assert copied == token


DEEPEST = [
    "(" * 255 + "1" + ")" * 255,
    "{" * 255 + "1" + "}" * 255,
    "f(" * 255 + "1" + ")" * 255,
    "- " * 255 + "1",
    "NOT " * 255 + "1",
    "VAR a = " * 255 + "1" + " RETURN 1" * 255,
    "2^" * 255 + "1",
]


@pytest.mark.parametrize("text", DEEPEST, ids=["parens", "braces", "calls", "minus", "not", "var", "power"])
@pytest.mark.parametrize("how", list(COPIES))
def test_the_deepest_nesting_copies(text, how):
    tree = S.parse_expression(text)
    copied = COPIES[how](tree)
    assert copied == tree
    assert positions(copied) == positions(tree)


def test_a_million_operators_pickle_and_deepcopy():
    text = "1" + " + 1" * 1_000_000
    tree = S.parse_expression(text)
    for copied in (pickle.loads(pickle.dumps(tree, protocol=pickle.HIGHEST_PROTOCOL)), copy.deepcopy(tree)):
        assert copied == tree
        leftmost = copied
        while isinstance(leftmost, S.Binary):
            leftmost = leftmost.left
        assert (leftmost.span, leftmost.text) == ((0, 1), "1")
        assert (copied.span, copied.right.span, copied.right.text) == ((0, len(text)), (len(text) - 1, len(text)), "1")
        del copied


def test_a_tree_built_from_parts_of_several_texts():
    first = S.parse_expression("SUM ( Sales[Amount] )")
    second = S.parse_expression("-- note\n[Cost] * 2")
    shared_node = second.left
    built = S.Binary("Sub", first, S.Binary("Add", shared_node, shared_node))
    for how, make in COPIES.items():
        copied = make(built)
        assert copied == built, how
        assert copied.span is None and copied.text == built.to_dax(), how
        assert (copied.left.span, copied.left.text) == ((0, 21), "SUM ( Sales[Amount] )"), how
        assert (copied.right.left.span, copied.right.left.text) == ((8, 14), "[Cost]"), how
        # One node in two places stays one node.
        assert copied.right.left is copied.right.right, how


def test_deepcopy_shares_the_copies_of_nodes_copied_together():
    tree = S.parse_expression("1 + 2 * 3")
    whole, part = copy.deepcopy([tree, tree.right])
    assert part is whole.right
    assert part.span == tree.right.span


def test_a_node_built_in_code_stays_without_a_position():
    node = S.FunctionCall("DIVIDE", (S.Number("1"), S.BracketRef("Sales")))
    for how, make in COPIES.items():
        copied = make(node)
        assert copied == node and copied.span is None and copied.text == "DIVIDE(1, [Sales])", how


# The native entries that copying uses refuse what would place an object
# outside its source, and never move an object that has a place already.
BAD_PLACES = [
    (b"abc", -1, 2, "is not a range"),
    (b"abc", 2, 1, "is not a range"),
    (b"abc", 0, 4, "is not a range"),
    ("é".encode(), 0, 1, "whole characters"),
    ("é".encode(), 1, 2, "whole characters"),
]


@pytest.mark.parametrize("source, start, end, message", BAD_PLACES)
def test_positions_outside_the_source_are_refused(source, start, end, message):
    with pytest.raises(ValueError, match=message):
        _syntax.placed(S.Number, source, start, end, ("1",))
    blank = object.__new__(S.Number)
    with pytest.raises(ValueError, match=message):
        _syntax.place(blank, source, start, end)
    assert blank.span is None


def test_a_placed_object_keeps_its_place():
    token = S.tokenize("SUM(1)")[0]
    with pytest.raises(ValueError, match="already has a position"):
        _syntax.place(token, b"other", 0, 1)
    assert token.span == (0, 3) and token.text == "SUM"
    with pytest.raises(TypeError):
        _syntax.placed(S.Number, b"1", 0, 1, ("1", "2"))  # one field too many
    with pytest.raises(TypeError):
        _syntax.placed(int, b"1", 0, 1, ())


def test_a_tampered_pickle_cannot_make_other_objects():
    tree = S.parse_expression("1 + 2")
    function, (sources, records) = tree.__reduce__()
    records[0] = (int, *records[0][1:])
    with pytest.raises(TypeError, match="not a syntax node class"):
        function(sources, records)


class Tagged(S.Number):
    """A caller's own node class: copied without the native fast path."""


def test_a_callers_subclass_is_copied_too():
    parsed = S.parse_expression("[a] * 2")
    tree = S.Binary("Add", parsed, Tagged("3"))
    with pytest.raises(ValueError, match="DAX number"):
        Tagged("three")
    for how, make in COPIES.items():
        copied = make(tree)
        assert type(copied.right) is Tagged and copied == tree, how
        assert (copied.left.span, copied.left.left.text) == ((0, 7), "[a]"), how
