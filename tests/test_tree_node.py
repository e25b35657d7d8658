"""Tree and Node records: construction, attributes and copies."""

import gc

import pytest

from vaskel import Node, Tree

import _vaskel_testing

from vaskel_tools import PanicException


def fields(node):
    return (node.data, node.level, node.index, node.children)


def levels(tree):
    return [[fields(n) for n in level] for level in tree.data]


@pytest.mark.parametrize("make", [
    lambda: Node("x", 2, 5),
    lambda: Node(txt="x", i=5, lvl=2),
    lambda: Node("x", i=5, lvl=2),
])
def test_node_fields(make):
    node = make()
    assert type(node) is Node
    assert fields(node) == ("x", 2, 5, [])
    assert all(type(v) is t for v, t in zip(fields(node), (str, int, int, list)))


@pytest.mark.parametrize("txt", ["", "a\x00b", "\xe9t\xe9 \u4e2d \U0001f600", "x" * 100_000])
def test_node_text_round_trip(txt):
    assert Node(txt, 0, 0).data == txt


def test_node_extremes():
    assert fields(Node("x", 4294967295, 4294967295)) == ("x", 4294967295, 4294967295, [])


@pytest.mark.parametrize(("lvl", "exc"), [(-1, OverflowError), (4294967296, OverflowError), (1.0, TypeError)])
def test_node_level_refused(lvl, exc):
    with pytest.raises(exc) as info:
        Node("x", lvl, 0)
    assert ("'lvl'" in str(info.value)) == (exc is TypeError)


@pytest.mark.parametrize(("leaves", "expected"), [
    ([], [[]]),
    (["a", "b"], [[("a", 0, 0, []), ("b", 0, 1, [])]]),
    (("", "", "\u4e2d"), [[("", 0, 0, []), ("", 0, 1, []), ("\u4e2d", 0, 2, [])]]),
])
def test_tree_from_leaves(leaves, expected):
    assert levels(Tree(leaves)) == expected


def test_empty_tree_data():
    assert Tree([]).data == [[]]


def test_many_leaves():
    words = [f"w{k}" for k in range(5000)]
    (level,) = Tree(words).data
    assert [n.data for n in level] == words
    assert [n.index for n in level] == list(range(5000))
    assert {n.level for n in level} == {0}


def test_tree_copies_leaves():
    leaves = ["a", "b"]
    tree = Tree(leaves)
    leaves.append("c")
    leaves[0] = "z"
    assert levels(tree) == [[("a", 0, 0, []), ("b", 0, 1, [])]]


def test_tree_data_reads_are_independent():
    tree = Tree(["a", "b"])
    first, second = tree.data, tree.data
    assert first is not second and first[0] is not second[0]
    assert all(type(n) is Node for n in first[0])
    assert all(a is not b for a, b in zip(first[0], second[0]))
    assert [fields(n) for n in first[0]] == [fields(n) for n in second[0]]
    assert first[0][0] != second[0][0]  # nodes compare by identity
    first.append([])
    first[0].append(Node("c", 0, 2))
    first[0].pop(0)
    assert levels(tree) == [[("a", 0, 0, []), ("b", 0, 1, [])]]


RAW = [
    [("a", 0, 0, []), ("b", 0, 1, []), ("c", 0, 2, [])],
    [("X", 1, 0, [0, 0, 2]), ("Y", 1, 1, [1])],
    [("Z", 2, 0, [1, 0])],
]


def test_raw_records_round_trip():
    tree = _vaskel_testing.make_tree(RAW)
    assert type(tree) is Tree
    assert levels(tree) == [[(d, lv, ix, ch) for d, lv, ix, ch in level] for level in RAW]


def test_children_lists_are_copies():
    tree = _vaskel_testing.make_tree(RAW)
    x = tree.data[1][0]
    first = x.children
    assert first == [0, 0, 2] and first is not x.children
    first.append(9)
    first[0] = 7
    assert x.children == [0, 0, 2]
    assert tree.data[1][0].children == [0, 0, 2]


def test_returned_nodes_outlive_tree():
    tree = _vaskel_testing.make_tree(RAW)
    kept = tree.data[1] + tree.get_children(2, 0)
    del tree
    gc.collect()
    assert [fields(n) for n in kept] == [
        ("X", 1, 0, [0, 0, 2]), ("Y", 1, 1, [1]), ("Y", 1, 1, [1]), ("X", 1, 0, [0, 0, 2]),
    ]


def test_navigation_leaves_tree_unchanged(capfd):
    tree = _vaskel_testing.make_tree(RAW)
    before = levels(tree)
    tree.get_children(2, 0)[0].children.append(5)
    tree.subtree(1, 0)
    tree.to_xml()
    with pytest.raises(PanicException):
        tree.get_children(3, 0)
    assert levels(tree) == before
    capfd.readouterr()


def test_tree_has_no_container_protocol():
    tree = Tree(["a"])
    for op in (len, iter):
        with pytest.raises(TypeError):
            op(tree)
    assert Node("x", 0, 0) != Node("x", 0, 0)
