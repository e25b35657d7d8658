"""Tree navigation: get_children, decapsulate, concat and subtree."""

import json

import pytest

import _vaskel_testing
import model
import vaskel
from vaskel_tools import PanicException

from helpers import run_python

A, B, C, D = ("a", 0, 0, []), ("b", 0, 1, []), ("c", 0, 2, []), ("d", 0, 3, [])
X, Y = ("X", 1, 0, [0, 1]), ("Y", 1, 1, [2, 3])
Z = ("Z", 2, 0, [0, 1])
EXAMPLE = [[A, B, C, D], [X, Y], [Z]]


def rec(node):
    return (node.data, node.level, node.index, node.children)


def recs(nodes):
    return [rec(n) for n in nodes]


def levels(tree):
    return [recs(level) for level in tree.data]


def make(lvls):
    return _vaskel_testing.make_tree(lvls)


oob = model.oob


@pytest.fixture
def tree():
    return make(EXAMPLE)


@pytest.mark.parametrize(
    "lvl, i, expected",
    [(2, 0, [X, Y]), (1, 0, [A, B]), (1, 1, [C, D]), (0, 3, []), (0, 0, [])],
)
def test_get_children(tree, lvl, i, expected):
    assert recs(tree.get_children(lvl, i)) == expected
    assert model.get_children(EXAMPLE, lvl, i) == expected


@pytest.mark.parametrize(
    "lvl, i, expected",
    [(2, 0, [A, B, C, D]), (1, 1, [C, D]), (1, 0, [A, B]), (0, 99, []), (0, 4294967295, [])],
)
def test_decapsulate(tree, lvl, i, expected):
    assert recs(tree.decapsulate(lvl, i)) == expected
    assert model.decapsulate(EXAMPLE, lvl, i) == expected


@pytest.mark.parametrize(
    "lvl, i, sep, expected",
    [
        (2, 0, " ", "a b c d"),
        (2, 0, "", "abcd"),
        (2, 0, " é, ", "a é, b é, c é, d"),
        (1, 1, "--", "c--d"),
        (0, 99, " ", ""),
    ],
)
def test_concat(tree, lvl, i, sep, expected):
    assert tree.concat(lvl, i, sep) == expected
    assert model.concat(EXAMPLE, lvl, i, sep) == expected


def test_keywords_and_fresh_copies(tree):
    assert tree.concat(sep="+", i=0, lvl=1) == "a+b"
    first, second = tree.get_children(i=0, lvl=2), tree.get_children(2, 0)
    assert first[0] is not second[0] and recs(first) == recs(second)
    first.clear()
    assert levels(tree) == EXAMPLE


@pytest.mark.parametrize(
    "call, length, index",
    [
        (lambda t: t.get_children(3, 0), 3, 3),
        (lambda t: t.get_children(1, 2), 2, 2),
        (lambda t: t.get_children(0, 4), 4, 4),
        (lambda t: t.get_children(4294967295, 0), 3, 4294967295),
        (lambda t: t.decapsulate(1, 2), 2, 2),
        (lambda t: t.decapsulate(3, 0), 3, 3),
        (lambda t: t.concat(2, 1, " "), 1, 1),
        (lambda t: t.subtree(3, 0), 3, 3),
        (lambda t: t.subtree(0, 4), 4, 4),
    ],
)
def test_out_of_bounds(capfd, tree, call, length, index):
    with pytest.raises(PanicException) as info:
        call(tree)
    assert info.value.args == (oob(length, index),)
    assert oob(length, index) in capfd.readouterr().err
    assert levels(tree) == EXAMPLE
    with pytest.raises(model.ModelFailure) as failure:
        call(model.Tree(EXAMPLE))
    assert failure.value.message == oob(length, index)


@pytest.mark.parametrize("method", ["get_children", "decapsulate", "subtree"])
@pytest.mark.parametrize(
    "args, exc",
    [((-1, 0), OverflowError), ((0, -1), OverflowError), ((4294967296, 0), OverflowError), ((1.0, 0), TypeError)],
)
def test_argument_conversion_comes_first(tree, method, args, exc):
    with pytest.raises(exc) as info:
        getattr(tree, method)(*args)
    if args[0] == 4294967296:
        assert str(info.value) == "out of range integral type conversion attempted"
    if exc is TypeError:
        assert str(info.value).startswith("argument 'lvl': ")


def test_subtree_of_root_is_the_whole_tree(tree):
    assert levels(tree.subtree(2, 0)) == EXAMPLE
    assert model.subtree(EXAMPLE, 2, 0) == EXAMPLE


def test_subtree_keeps_source_positions(tree):
    sub = tree.subtree(1, 1)
    assert type(sub) is vaskel.Tree
    assert levels(sub) == [[C, D], [Y]]
    assert model.subtree(EXAMPLE, 1, 1) == [[C, D], [Y]]
    # Y still lists 2 and 3, which are no positions of the new level 0.
    with pytest.raises(PanicException) as info:
        sub.get_children(1, 0)
    assert info.value.args == (oob(2, 2),)


def test_subtree_matching_positions_navigates(tree):
    sub = tree.subtree(1, 0)
    assert levels(sub) == [[A, B], [X]]
    assert sub.concat(1, 0, "/") == "a/b"


def test_subtree_of_leaf(tree):
    assert levels(tree.subtree(0, 2)) == [[C]]


def test_repeated_child():
    x = ("X", 1, 0, [0, 0])
    t = make([[A, B, C, D], [x, Y], [Z]])
    assert recs(t.decapsulate(2, 0)) == [A, A, C, D]
    assert t.concat(2, 0, ",") == "a,a,c,d"
    assert recs(t.get_children(1, 0)) == [A, A]
    assert levels(t.subtree(2, 0)) == [[A, A, C, D], [x, Y], [Z]]


@pytest.mark.parametrize("count", [0, 1, 2, 3, 4, 5, 8, 9, 16, 17, 1000])
def test_children_lists_of_every_length(count):
    # Lists of one child and of more are kept apart, and the longer ones grow
    # at every power of two: each length reads back, and copies, whole.
    children = [(7 * k) % 5 for k in range(count)]
    parent = ("P", 1, 0, children)
    t = make([[A, B, C, D, ("e", 0, 4, [])], [parent], [("R", 2, 0, [0, 0])]])
    assert t.data[1][0].children == children
    leaves = [t.data[0][c] for c in children]
    assert recs(t.get_children(1, 0)) == recs(leaves)
    assert recs(t.decapsulate(2, 0)) == recs(leaves) * 2
    assert levels(t.subtree(2, 0))[1] == [rec(t.data[1][0])] * 2
    assert recs(t.get_children(2, 0)) == [("P", 1, 0, children)] * 2


def test_leaf_listing_a_child():
    a = ("a", 0, 0, [1])
    t = make([[a, B, C, D], [X, Y], [Z]])
    with pytest.raises(PanicException) as info:
        t.get_children(0, 0)
    assert info.value.args == (oob(3, 4294967295),)
    # decapsulate takes a node whose recorded level is 0 as a leaf.
    assert recs(t.decapsulate(1, 0)) == [a, B]
    assert levels(t.subtree(1, 0)) == [[a, B], [X]]


def test_child_beyond_its_level():
    x = ("X", 1, 0, [0, 7])
    t = make([[A, B, C, D], [x, Y], [Z]])
    for call in (lambda: t.get_children(1, 0), lambda: t.decapsulate(2, 0),
                 lambda: t.concat(2, 0, " "), lambda: t.subtree(2, 0)):
        with pytest.raises(PanicException) as info:
            call()
        assert info.value.args == (oob(4, 7),)


def test_decapsulate_follows_recorded_fields():
    # Z lists Y (position 1), whose recorded index is 0: the recursion goes
    # to node 0 of level 1, which is X.
    y = ("Y", 1, 0, [2, 3])
    t = make([[A, B, C, D], [X, y], [("Z", 2, 0, [1])]])
    assert recs(t.decapsulate(2, 0)) == [A, B]
    # A child recording level 0 is a leaf whatever its children; a child
    # recording a higher level without children contributes nothing.
    x0 = ("X", 0, 0, [0, 1])
    empty = ("Y", 1, 1, [])
    t = make([[A, B, C, D], [x0, empty], [Z]])
    assert recs(t.decapsulate(2, 0)) == [x0]
    assert t.concat(2, 0, " ") == "X"


def test_recorded_levels_forming_a_cycle():
    cyclic = [[("a", 1, 0, [])], [("B", 1, 0, [0])]]
    t = make(cyclic)
    message = "decapsulate: the recorded levels of the tree form a cycle"
    for call in (lambda t: t.decapsulate(1, 0), lambda t: t.concat(1, 0, "")):
        with pytest.raises(PanicException) as info:
            call(t)
        assert info.value.args == (message,)
        with pytest.raises(model.ModelFailure, match=f"^{message}$"):
            call(model.Tree(cyclic))
    assert recs(t.get_children(1, 0)) == [("a", 1, 0, [])]


def test_tree_from_engine(capfd):
    t = vaskel.engine(["a", "b", "q", "a", "b"], {"a": "X", "b": "Y", "X+Y": "P", "X+Y+Z": "Q"})
    capfd.readouterr()
    # A node built from a match lists its own index as its one child.
    assert recs(t.get_children(1, 1)) == [B]
    assert recs(t.decapsulate(1, 1)) == [B]
    assert t.concat(1, 0, " ") == "a"
    assert t.decapsulate(2, 0) == [] and t.concat(2, 0, " ") == ""
    assert levels(t.subtree(1, 1)) == [[B], [("X+Y", 1, 1, [1])]]
    assert levels(t.subtree(2, 0)) == [[], [], [("0", 2, 0, [])]]


def test_tree_from_subtree_navigates():
    t = make(EXAMPLE).subtree(2, 0)
    assert t.concat(2, 0, "") == "abcd"
    assert levels(t.subtree(1, 1)) == [[C, D], [Y]]


def test_subtree_on_subclass_returns_plain_tree():
    class Sub(vaskel.Tree):
        pass

    t = Sub(["a", "b"])
    assert recs(t.get_children(0, 1)) == [] and t.decapsulate(0, 7) == []
    sub = t.subtree(0, 1)
    assert type(sub) is vaskel.Tree
    assert levels(sub) == [[B]]


# Malformed trees whose navigation reads outside a level unless a bounds check
# stops it. Each call runs in a child process, so that a missing check shows
# up as a failed comparison (or a child that died, named by its status)
# rather than as a crash of the test run. Positions just past a level's end
# fall inside the vector's spare capacity, where a missing check would read
# stale memory without crashing.
MALFORMED = [
    ([[A, B, C], [("X", 1, 0, [3])]], "get_children", (1, 0)),
    ([[A, B, C], [("X", 1, 0, [0, 3])], [("Z", 2, 0, [0])]], "decapsulate", (2, 0)),
    ([[A, B, C], [("X", 1, 0, [3])], [("Z", 2, 0, [0])]], "concat", (2, 0, "-")),
    ([[A, B, C], [("X", 1, 0, [1, 3])], [("Z", 2, 0, [0])]], "subtree", (2, 0)),
    ([[A, B, C], [("X", 1, 0, [0])], [("Z", 2, 0, [1])]], "subtree", (2, 0)),
    ([[("a", 0, 0, [5]), B]], "get_children", (0, 0)),
    ([[("a", 0, 0, [0]), B], [("X", 1, 0, [0])]], "subtree", (1, 0)),
    ([[A, B], [("X", 1, 0, [0]), ("Y", 3, 0, [0])], [("Z", 2, 0, [1])]], "decapsulate", (2, 0)),
    ([[A, B], [("X", 1, 5, [0]), ("Y", 1, 2, [0])], [("Z", 2, 0, [1])]], "decapsulate", (2, 0)),
    ([[A, B, C]], "get_children", (1, 0)),
    ([[A, B, C]], "subtree", (0, 3)),
    ([[A], [("X", 1, 0, [1])]], "to_xml", ()),
    ([[("a", 0, 0, [0])]], "to_xml", ()),
]

CHILD = r"""
import json, os, sys
import _vaskel_testing, vaskel
cases = json.loads(sys.stdin.read())
null = os.open(os.devnull, os.O_WRONLY)
os.dup2(null, 1)  # to_xml's node lines
for levels, method, args in cases:
    tree = _vaskel_testing.make_tree([[tuple(n) for n in level] for level in levels])
    try:
        result = getattr(tree, method)(*args)
        if isinstance(result, vaskel.Tree):
            result = [[[n.data, n.level, n.index, n.children] for n in level] for level in result.data]
        elif isinstance(result, list):
            result = [[n.data, n.level, n.index, n.children] for n in result]
        outcome = ["ok", result]
    except BaseException as exc:
        outcome = [type(exc).__name__, str(exc)]
    sys.stderr.write(json.dumps(outcome) + "\n")
"""


def expected_outcome(levels, method, args):
    try:
        result = getattr(model.Tree(levels), method)(*args)
    except model.ModelFailure as failure:
        return ["PanicException", failure.message]
    if isinstance(result, model.Tree):
        result = result.levels
    elif method == "to_xml":
        result = result[0]
    return ["ok", json.loads(json.dumps(result))]


def test_malformed_trees_in_a_child_process():
    done = run_python(CHILD, input=json.dumps(MALFORMED), text=True, timeout=120)
    outcomes = [json.loads(line) for line in done.stderr.splitlines() if line.startswith("[")]
    assert done.returncode == 0, f"child ended with status {done.returncode} after {len(outcomes)} cases"
    assert outcomes == [expected_outcome(*case) for case in MALFORMED]
