"""vaskel against the plain model in model.py, on random texts, token lists with
rule bases, and trees built from raw records (malformed ones included): same
results, same lines on standard output, same failure messages."""


import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import model
import vaskel
from _vaskel_testing import make_tree
from helpers import run_engine
from vaskel_tools import PanicException
from model import ModelFailure

U32_MAX = 4294967295

WITH_CAPFD = settings(max_examples=200, deadline=None,
                      suppress_health_check=[HealthCheck.function_scoped_fixture])


def records(nodes):
    return [(n.data, n.level, n.index, n.children) for n in nodes]


def levels_of(tree):
    return [records(level) for level in tree.data]


def real(call):
    """("ok", result) or ("fail", message) of a call into vaskel."""
    try:
        return "ok", call()
    except PanicException as exc:
        assert len(exc.args) == 1 and type(exc.args[0]) is str
        return "fail", exc.args[0]


def modelled(call):
    try:
        return "ok", call()
    except ModelFailure as failure:
        return "fail", failure.message


def stdout_lines(capfd):
    out = capfd.readouterr().out
    assert out == "" or out.endswith("\n")
    return out.splitlines()


# ---------------------------------------------------------------- tokenizer

# Characters whose class is the same in the interpreter's Unicode tables and
# in those of vaskel: the classes' own members, ASCII, and blocks of letters,
# digits and symbols that were complete long before either version. Each
# piece comes from one class first, so that every pair of classes meets often.
ALNUM_CHARS = ["\u0663", "\u0966", "\u216b", "\xb2", "\xbd", "\U00011f00", "\xe9", "\u03a9", "\u4e2d"]
OTHER_CHARS = [
    "-", "_", "/", '"', "(", "\x00", "\x1f", "\x7f", "\u0301", "\u0308", "\u0327",
    "\u2018", "\u2014", "\u20ac", "\u200b", "\u180e", "\ufeff", "\U0001f600", "\U0002ebf0",
]
OLD_BLOCKS = st.one_of(
    st.characters(min_codepoint=0x80, max_codepoint=0x24F),     # Latin-1, Latin Extended-A/B
    st.characters(min_codepoint=0x370, max_codepoint=0x3FF),    # Greek and Coptic
    st.characters(min_codepoint=0x4E00, max_codepoint=0x9FA5),  # CJK Unified Ideographs
)
TEXT_PIECE = st.one_of(
    [st.sampled_from(chars) for chars in (model.WHITESPACE, model.SENTENCE_MARKS, model.CLAUSE_MARKS,
                                          model.APOSTROPHES, ALNUM_CHARS, OTHER_CHARS)]
    + [
        st.text(st.sampled_from("abzAZ09"), min_size=1, max_size=20),
        st.text(st.characters(min_codepoint=0x00, max_codepoint=0x7F), min_size=1, max_size=4),
        OLD_BLOCKS,
    ]
)
TEXTS = st.lists(TEXT_PIECE, max_size=30).map("".join)


@settings(max_examples=300, deadline=None)
@given(TEXTS)
def test_tokenize(text):
    assert vaskel.tokenize(text) == model.tokenize(text)


# ---------------------------------------------------------------- engine

# Labels bring "+" characters (wider windows), the empty label, characters
# that the report line escapes, and texts of some hundred bytes.
LABELS = ["X", "Y", "", "X+", "+", "+Y", "\u00e9e\u0301", '\t"\\', "\xa0\x01", "\n", "L" * 254, "+" + "L" * 255]
VOCABULARY = ["a", "b", "c", "", "X", "+", "l'"]


@st.composite
def engine_inputs(draw):
    singles = draw(st.dictionaries(st.sampled_from(VOCABULARY).filter(lambda k: "+" not in k),
                                   st.sampled_from(LABELS), max_size=5))
    tokens = draw(st.lists(st.sampled_from(VOCABULARY), max_size=24))
    labels = [singles.get(t, "") for t in tokens]
    keys = draw(st.lists(st.lists(st.sampled_from(LABELS), min_size=2, max_size=4).map("+".join), max_size=3))
    # Keys copied from windows of the first pass's labels, so that some match.
    for _ in range(draw(st.integers(0, 4)) if labels else 0):
        start = draw(st.integers(0, len(labels) - 1))
        keys.append("+".join(labels[start:start + draw(st.integers(1, 4))]))
    # Only keys made of "+" alone can match after the first pass.
    keys += draw(st.lists(st.sampled_from(["+", "++", "+++"]), unique=True))
    rules = list(singles.items())
    rules += [(k, draw(st.sampled_from(["P", "+", "Q+R"]))) for k in keys if "+" in k]
    return tokens, dict(draw(st.permutations(rules)))


@WITH_CAPFD
@given(engine_inputs())
def test_engine(capfd, inputs):
    tokens, rules = inputs
    tree, out = run_engine(capfd, tokens, rules)
    expected_lines, expected_levels = model.engine(tokens, rules)
    # Labels may hold line feeds, so the output is compared as one text.
    assert out == "".join(line + "\n" for line in expected_lines)
    assert levels_of(tree) == expected_levels


@WITH_CAPFD
@given(engine_inputs(), st.sampled_from(["", " ", "+"]))
def test_engine_trees_navigate_and_export(capfd, inputs, sep):
    tokens, rules = inputs
    tree, _ = run_engine(capfd, tokens, rules)
    levels = levels_of(tree)
    for lvl, level in enumerate(levels):
        for i in range(len(level)):
            assert real(lambda: tree.concat(lvl, i, sep)) == modelled(lambda: model.concat(levels, lvl, i, sep))
            assert real(lambda: levels_of(tree.subtree(lvl, i))) == modelled(lambda: model.subtree(levels, lvl, i))
    xml = tree.to_xml()
    assert (xml, stdout_lines(capfd)) == model.to_xml(levels)


# ---------------------------------------------------------------- trees

DATA = st.sampled_from(["a", "", "b c", "X+Y", 'q"<&>\'', "l1\nl2\r\n", "\t\r", "<![CDATA[<]]>&"])
SMALL = st.integers(0, 3)
COORD = st.one_of(SMALL, SMALL, SMALL, st.integers(0, 5), st.just(U32_MAX))
SEPARATORS = st.sampled_from(["", " ", "+", " \u00e9, "])


def position(size):
    """Mostly a position inside a level of `size` nodes, sometimes beyond it."""
    inside = st.integers(0, size - 1) if size else st.integers(0, 1)
    return st.one_of(inside, inside, inside, st.integers(0, 5))


@st.composite
def trees(draw):
    """Levels of node records, up to 4 levels of up to 4 nodes with up to 3
    children each. Every node below the top level records the level that
    holds it; the rest (top-level coordinates, indexes, children) is mostly
    right and sometimes anything."""
    sizes = draw(st.lists(st.integers(0, 4), max_size=4))
    levels = []
    for lvl, size in enumerate(sizes):
        top = lvl == len(sizes) - 1
        below = sizes[lvl - 1] if lvl else 0
        level = []
        for k in range(size):
            if not top:
                recorded = lvl
            else:
                recorded = draw(st.one_of(st.just(lvl), st.just(lvl), st.integers(0, len(sizes) - 1),
                                          st.integers(0, len(sizes)), st.just(U32_MAX)))
            index = draw(st.one_of(st.just(k), st.just(k), position(size), st.just(U32_MAX)))
            children = st.lists(position(below), max_size=3)
            if lvl == 0:  # a leaf listing children is rare
                children = st.one_of(st.just([]), st.just([]), st.just([]), children)
            level.append((draw(DATA), recorded, index, draw(children)))
        levels.append(level)
    return levels


@st.composite
def wild_trees(draw):
    """Trees whose nodes may record any level and index, so that decapsulate
    is sent anywhere, round in cycles included. Recorded coordinates mostly
    name an existing node; few nodes and children keep the paths few."""
    sizes = draw(st.lists(st.integers(1, 3), min_size=2, max_size=3))
    levels = []
    for lvl, size in enumerate(sizes):
        below = sizes[lvl - 1] if lvl else 0
        level = []
        for _ in range(size):
            # Recorded levels at or above the node's own are what lead back up.
            upward = st.integers(max(lvl, 1), len(sizes) - 1)
            recorded = draw(st.one_of(upward, upward, upward, st.integers(0, len(sizes) - 1),
                                      st.sampled_from([len(sizes), U32_MAX])))
            held = sizes[recorded] if recorded < len(sizes) else 1
            if lvl:
                some = st.lists(position(below), min_size=1, max_size=2)
                children = st.one_of(some, some, st.just([]))
            else:
                children = st.lists(st.integers(0, 3), max_size=1)
            level.append((draw(DATA), recorded, draw(position(held)), draw(children)))
        levels.append(level)
    return levels


WILD_TREES = wild_trees()
QUERIES = st.lists(st.tuples(COORD, COORD), min_size=1, max_size=6)


def compare_navigation(tree, levels, queries, sep):
    for lvl, i in queries:
        assert real(lambda: records(tree.get_children(lvl, i))) == modelled(
            lambda: model.get_children(levels, lvl, i))
        assert real(lambda: records(tree.decapsulate(lvl, i))) == modelled(
            lambda: model.decapsulate(levels, lvl, i))
        assert real(lambda: tree.concat(lvl, i, sep)) == modelled(lambda: model.concat(levels, lvl, i, sep))
        assert real(lambda: levels_of(tree.subtree(lvl, i))) == modelled(lambda: model.subtree(levels, lvl, i))
    # Nothing that was asked changed the tree.
    assert levels_of(tree) == levels


def compare_to_xml(capfd, tree, levels):
    """Same XML or same failure, and the same node lines before either."""
    capfd.readouterr()
    status, value = real(tree.to_xml)
    out, err = capfd.readouterr()
    if status == "fail":
        assert value in err
    try:
        expected = ("ok", model.to_xml(levels))
    except ModelFailure as failure:
        expected = ("fail", (failure.message, failure.lines))
    assert (status, (value, out.splitlines())) == expected


@settings(max_examples=200, deadline=None)
@given(trees(), QUERIES, SEPARATORS)
def test_navigation(levels, queries, sep):
    compare_navigation(make_tree(levels), levels, queries, sep)


@st.composite
def wild_trees_and_queries(draw):
    """A wild tree and questions, most of them about nodes it holds."""
    levels = draw(WILD_TREES)
    inside = st.integers(0, len(levels) - 1).flatmap(
        lambda lvl: st.tuples(st.just(lvl), position(len(levels[lvl]))))
    return levels, draw(st.lists(st.one_of(inside, inside, st.tuples(COORD, COORD)), min_size=1, max_size=6))


@WITH_CAPFD
@given(wild_trees_and_queries(), SEPARATORS)
def test_navigation_following_recorded_levels(capfd, tree_and_queries, sep):
    levels, queries = tree_and_queries
    compare_navigation(make_tree(levels), levels, queries, sep)
    # The export follows children by position and reads recorded fields only
    # at the top level, whatever the rest records.
    compare_to_xml(capfd, make_tree(levels), levels)


@WITH_CAPFD
@given(trees())
def test_to_xml(capfd, levels):
    compare_to_xml(capfd, make_tree(levels), levels)


@WITH_CAPFD
@given(trees(), st.tuples(COORD, COORD), QUERIES, SEPARATORS)
def test_subtrees_navigate_and_export(capfd, levels, root, queries, sep):
    # A cut tree keeps the source's positions, so its own navigation and
    # export meet other nodes or fail: the same ones in vaskel and the model.
    outcome = modelled(lambda: model.subtree(levels, *root))
    assert real(lambda: levels_of(make_tree(levels).subtree(*root))) == outcome
    if outcome[0] == "ok":
        sub = make_tree(levels).subtree(*root)
        compare_navigation(sub, outcome[1], queries, sep)
        compare_to_xml(capfd, sub, outcome[1])


@pytest.mark.parametrize("levels, lvl, expected", [
    # a leaf recording level 1 that lists itself through its parent
    ([[("a", 1, 0, [])], [("B", 1, 0, [0])]], 1, model.CYCLE),
    # two nodes of level 2 reaching each other through level 1
    ([[("a", 0, 0, [])], [("p", 2, 1, []), ("q", 2, 0, [])], [("P", 2, 0, [0]), ("Q", 2, 1, [1])]], 2, model.CYCLE),
    # a recorded level beyond the tree ends in the bounds check, not a cycle
    ([[("a", 0, 0, [])], [("p", 7, 0, [])], [("P", 2, 0, [0])]], 2, model.oob(3, 7)),
])
def test_cycle_cases(levels, lvl, expected):
    assert real(lambda: make_tree(levels).decapsulate(lvl, 0)) == ("fail", expected)
    assert modelled(lambda: model.decapsulate(levels, lvl, 0)) == ("fail", expected)
