"""Tree.to_xml: the document, the node lines on fd 1, failures on malformed
trees, and a round trip through an XML parser."""

import os
import threading
import xml.etree.ElementTree as ET

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import model
import vaskel
from _vaskel_testing import make_tree
from vaskel_tools import PanicException

from helpers import run_python

U32_MAX = 4294967295

at = model.node_line


def records(tree):
    return [[(n.data, n.level, n.index, n.children) for n in level] for level in tree.data]


def export(capfd, tree):
    capfd.readouterr()
    xml = tree.to_xml()
    out, _ = capfd.readouterr()
    return xml, out.splitlines()


def leaves(*data):
    return [(d, 0, k, []) for k, d in enumerate(data)]


WORKED = [leaves("le", "chat"), [("GN", 1, 0, [0, 1])]]


@pytest.mark.parametrize("tree, expected, visits", [
    (lambda: make_tree(WORKED),
     '<test>\n\t<chunk type="GN">\n\t\t<chunk>\n\t\t\tle\n\t\t</chunk>\n'
     "\t\t<chunk>\n\t\t\tchat\n\t\t</chunk>\n\t</chunk>\n</test>",
     [(1, 0), (0, 0), (0, 1)]),
    (lambda: vaskel.Tree([]), "<test/>", []),
    (lambda: vaskel.Tree(["a", "b"]),
     "<test>\n\t<chunk>\n\t\ta\n\t</chunk>\n\t<chunk>\n\t\tb\n\t</chunk>\n</test>", [(0, 0), (0, 1)]),
    (lambda: vaskel.Tree(["a&b"]), "<test>\n\t<chunk>\n\t\ta&amp;b\n\t</chunk>\n</test>", [(0, 0)]),
    # an empty leaf keeps both tags
    (lambda: vaskel.Tree([""]), "<test>\n\t<chunk>\n\t</chunk>\n</test>", [(0, 0)]),
    # a node above level 0 without children takes the short form
    (lambda: make_tree([leaves("a"), [("X", 1, 0, [])]]), '<test>\n\t<chunk type="X"/>\n</test>', [(1, 0)]),
    # a shared child is written, and announced, under each parent
    (lambda: make_tree([leaves("a"), [("P", 1, 0, [0]), ("Q", 1, 1, [0])]]),
     '<test>\n\t<chunk type="P">\n\t\t<chunk>\n\t\t\ta\n\t\t</chunk>\n\t</chunk>\n'
     '\t<chunk type="Q">\n\t\t<chunk>\n\t\t\ta\n\t\t</chunk>\n\t</chunk>\n</test>',
     [(1, 0), (0, 0), (1, 1), (0, 0)]),
    # children listed twice by one node, and unreachable nodes left out
    (lambda: make_tree([leaves("a", "b"), [("P", 1, 0, [1, 1]), ("R", 1, 1, [])], [("T", 2, 0, [0])]]),
     '<test>\n\t<chunk type="T">\n\t\t<chunk type="P">\n\t\t\t<chunk>\n\t\t\t\tb\n\t\t\t</chunk>\n'
     "\t\t\t<chunk>\n\t\t\t\tb\n\t\t\t</chunk>\n\t\t</chunk>\n\t</chunk>\n</test>",
     [(2, 0), (1, 0), (0, 1), (0, 1)]),
    # top-level nodes are exported by their stored coordinates
    (lambda: make_tree([leaves("a", "b"), [("X", 1, 1, [0]), ("Y", 1, 0, [1]), ("Z", 0, 0, [])]]),
     '<test>\n\t<chunk type="Y">\n\t\t<chunk>\n\t\t\tb\n\t\t</chunk>\n\t</chunk>\n'
     '\t<chunk type="X">\n\t\t<chunk>\n\t\t\ta\n\t\t</chunk>\n\t</chunk>\n'
     "\t<chunk>\n\t\ta\n\t</chunk>\n</test>",
     [(1, 1), (0, 1), (1, 0), (0, 0), (0, 0)]),
    # the same data escaped as an attribute and as text; leaf lines re-indented
    (lambda: make_tree([leaves('q"<&\'\tx\r\ny\n'), [('q"<&\'\tx\r\ny\n', 1, 0, [0])]]),
     '<test>\n\t<chunk type="q&quot;&lt;&amp;&apos;&#9;x&#13;&#10;y&#10;">\n'
     "\t\t<chunk>\n\t\t\tq&quot;&lt;&amp;&apos;\tx\n\t\t\ty\n\t\t</chunk>\n\t</chunk>\n</test>",
     [(1, 0), (0, 0)]),
], ids=["worked", "empty", "a-b", "amp", "empty-leaf", "short", "shared", "repeat", "stored", "escape"])
def test_outputs(capfd, tree, expected, visits):
    tree = tree()
    for _ in range(2):  # the tree is only read: a second call gives the same
        xml, lines = export(capfd, tree)
        assert xml == expected
        assert lines == [at(*v) for v in visits]
    assert model.to_xml(records(tree)) == (expected, [at(*v) for v in visits])


@pytest.mark.parametrize("levels, visits, length, index", [
    ([], [], 0, 0),
    ([leaves("a"), [("X", 1, 0, [0, 5])]], [(1, 0), (0, 0), (0, 5)], 1, 5),
    ([leaves("a"), [("X", 1, 0, [0])], [("Y", 2, 0, [3])]], [(2, 0), (1, 3)], 1, 3),
    ([[("a", 0, 0, [3])]], [(0, 0), (U32_MAX, 3)], 1, U32_MAX),
    ([[("a", 0, 0, []), ("b", 0, 1, [7])], [("X", 1, 0, [0]), ("Y", 0, 1, [])]],
     [(1, 0), (0, 0), (0, 1), (U32_MAX, 7)], 2, U32_MAX),
    ([leaves("a")] + [[("X", 7, 0, [])]], [(7, 0)], 2, 7),
    ([leaves("a", "b"), [("X", 1, 4, [])]], [(1, 4)], 1, 4),
], ids=["no-levels", "child-beyond", "deep-child-beyond", "leaf-child", "leaf-child-late",
        "stored-level", "stored-index"])
def test_failures_on_malformed_trees(capfd, levels, visits, length, index):
    tree = make_tree(levels)
    capfd.readouterr()
    with pytest.raises(PanicException) as info:
        tree.to_xml()
    out, err = capfd.readouterr()
    message = f"index out of bounds: the len is {length} but the index is {index}"
    assert info.value.args == (message,)
    assert out.splitlines() == [at(*v) for v in visits]
    assert message in err
    with pytest.raises(model.ModelFailure) as failure:
        model.to_xml(levels)
    assert (failure.value.message, failure.value.lines) == (message, [at(*v) for v in visits])


# Exports far longer than the pieces the text is decoded in, with the first
# character of each width turning up in the first piece, in a later one, or
# in none, and a failure after much of the text was produced.
WIDE = {"latin-1": "é", "bmp": "’", "astral": "𝄞"}


def long_leaves(count, firsts):
    data = [f"mot{k % 97}" for k in range(count)]
    for at_leaf, char in firsts:
        data[at_leaf] = char + data[at_leaf]
    return data


@pytest.mark.parametrize("firsts", [
    [],
    [(0, WIDE["latin-1"])],
    [(3, WIDE["bmp"]), (15_000, WIDE["astral"])],
    [(19_999, WIDE["astral"])],
    [(5_000, WIDE["latin-1"]), (12_000, WIDE["bmp"]), (19_000, WIDE["astral"])],
], ids=["ascii", "latin1-first", "bmp-first-astral-late", "astral-last", "widening"])
def test_long_exports(capfd, firsts):
    data = long_leaves(20_000, firsts)
    xml, lines = export(capfd, vaskel.Tree(data))
    expected, visits = model.to_xml([leaves(*data)])
    assert xml == expected
    assert lines == visits


def test_long_export_of_one_deep_node(capfd):
    # One top node above all leaves: its pieces end inside it, after leaves.
    data = long_leaves(5_000, [(4_000, WIDE["bmp"])])
    levels = [leaves(*data), [("GN", 1, 0, list(range(len(data))))]]
    xml, lines = export(capfd, make_tree(levels))
    assert (xml, lines) == model.to_xml(levels)


def test_failure_after_long_output(capfd):
    levels = [leaves(*long_leaves(5_000, [])), [("GN", 1, 0, list(range(5_000)) + [9_999])]]
    capfd.readouterr()
    with pytest.raises(PanicException, match="^index out of bounds: the len is 5000 but the index is 9999$"):
        make_tree(levels).to_xml()
    assert len(capfd.readouterr()[0].splitlines()) == 5_002


def example_tree():
    return make_tree([leaves("a", "b", "c", "d"), [("X", 1, 0, [0, 1]), ("Y", 1, 1, [2, 3])],
                      [("Z", 2, 0, [0, 1])]])


def test_subtrees(capfd):
    tree = example_tree()
    whole, whole_lines = export(capfd, tree)
    assert export(capfd, tree.subtree(2, 0)) == (whole, whole_lines)
    # X's children still designate the first two leaves of the cut tree.
    assert export(capfd, tree.subtree(1, 0)) == (
        '<test>\n\t<chunk type="X">\n\t\t<chunk>\n\t\t\ta\n\t\t</chunk>\n'
        "\t\t<chunk>\n\t\t\tb\n\t\t</chunk>\n\t</chunk>\n</test>",
        [at(1, 0), at(0, 0), at(0, 1)])
    # Y keeps its index 1 and children [2, 3]; the cut tree has one node per level.
    for sub, visits, index in ((tree.subtree(1, 1), [(1, 1)], 1), (tree.subtree(0, 2), [(0, 2)], 2)):
        with pytest.raises(PanicException, match=f"^index out of bounds: the len is 1 but the index is {index}$"):
            sub.to_xml()
        assert capfd.readouterr()[0].splitlines() == [at(*v) for v in visits]


def test_takes_no_argument(capfd):
    tree = vaskel.Tree(["a"])
    capfd.readouterr()
    for call in (lambda: tree.to_xml(1), lambda: tree.to_xml(x=1), lambda: vaskel.Tree.to_xml(5)):
        with pytest.raises(TypeError):
            call()
    assert capfd.readouterr()[0] == ""


# ---------------------------------------------------------------- round trip

def text_as_parsed(data, depth):
    """What a parser reads as the text of a leaf at `depth` (root: 0), for
    data without carriage returns or CDATA markers."""
    lines = data.split("\n")
    if lines[-1] == "":
        lines.pop()
    return "".join("\n" + "\t" * (depth + 1) + line for line in lines) + "\n" + "\t" * depth


def check_element(element, levels, lvl, i, depth):
    node = levels[lvl][i]
    assert element.tag == "chunk"
    if lvl == 0:
        assert element.attrib == {}
        assert len(element) == 0
        assert element.text == text_as_parsed(node.data, depth)
        return
    assert element.attrib == {"type": node.data}
    assert len(element) == len(node.children)
    for child, c in zip(element, node.children):
        check_element(child, levels, lvl - 1, c, depth + 1)


def check_round_trip(tree):
    levels = tree.data
    root = ET.fromstring(tree.to_xml())
    assert root.tag == "test" and root.attrib == {}
    assert len(root) == len(levels[-1])
    for element, node in zip(root, levels[-1]):
        check_element(element, levels, node.level, node.index, 1)


LABELS = ['A"<+&\'B', "x\n+\ty", "+\r\n", "<<+>>", "'+'\"\t", "+<+\n"]


def engine_tree(leaf, label):
    """A tree whose top node is `label` over the leaf: the leaf's label is a
    multi-label key, so it matches as a window of one label. Padding tokens
    without a label make room for the widest window, which is tried first."""
    pads = ["z"] * (label.count("+") - 1)
    tree = vaskel.engine([leaf] + pads, {leaf: label, label: "E"})
    assert [n.data for n in tree.data[-1]] == [label]
    return tree


@pytest.mark.parametrize("label", LABELS)
@pytest.mark.parametrize("leaf", ["w", "a<b & 'c' \"d\"", "l1\nl2\n", "\tx\n\n y", ""])
def test_round_trip_one_match(leaf, label):
    check_round_trip(engine_tree(leaf, label))


def test_round_trip_three_levels():
    v1, v2 = "a\"<+&\n+'", "\t+>+\n\n"
    tree = vaskel.engine(["p&", "u", "q<", "w"], {"p&": v1, "q<": v2, v1: "P", v2: "Q", "+": "S"})
    assert [[n.data for n in level] for level in tree.data[1:]] == [[v1, v2], ["+"]]
    check_round_trip(tree)


LEAF_CHARS = "a é<&>\"'\n\t"
ATTR_CHARS = LEAF_CHARS + "\r+"


@settings(max_examples=150, deadline=None)
@given(st.text(alphabet=LEAF_CHARS, max_size=6),
       st.text(alphabet=ATTR_CHARS, max_size=6).filter(lambda s: "+" in s))
def test_round_trip_engine_property(leaf, label):
    check_round_trip(engine_tree(leaf, label))


@st.composite
def well_formed_levels(draw):
    levels = [leaves(*draw(st.lists(st.text(alphabet=LEAF_CHARS, max_size=4), min_size=1, max_size=4)))]
    for lvl in range(1, draw(st.integers(1, 3)) + 1):
        below = len(levels[-1])
        count = draw(st.integers(1, 3))
        levels.append([(draw(st.text(alphabet=ATTR_CHARS, max_size=4)), lvl, k,
                        draw(st.lists(st.integers(0, below - 1), max_size=3))) for k in range(count)])
    return levels


@settings(max_examples=150, deadline=None)
@given(well_formed_levels())
def test_round_trip_random_trees(levels):
    check_round_trip(make_tree(levels))


# Characters XML 1.0 cannot carry, even as references, come out as U+FFFD;
# every other character is read back as it was, by a real parser.
ANY_CHAR = st.characters(blacklist_categories=("Cs",), blacklist_characters="\r")
UNWRITABLE = st.sampled_from(model.UNWRITABLE)
SOME_TEXT = st.lists(st.one_of(ANY_CHAR, UNWRITABLE), max_size=8).map("".join)


@settings(max_examples=200, deadline=None)
@given(tokens=st.lists(SOME_TEXT.filter(lambda s: "]]>" not in s), min_size=1, max_size=4),
       label=SOME_TEXT.map(lambda s: s + "+"))
def test_any_text_is_read_back_by_a_parser(tokens, label):
    levels = [leaves(*tokens), [(label, 1, 0, list(range(len(tokens))))]]
    tree = make_tree(levels)
    root = ET.fromstring(tree.to_xml())
    (top,) = root
    assert top.attrib == {"type": model.xml_safe(label)}
    for element, token in zip(top, tokens, strict=True):
        assert element.text == text_as_parsed(model.xml_safe(token), 2)


@pytest.mark.parametrize("ch", model.UNWRITABLE)
def test_each_unwritable_character_becomes_a_replacement(ch, capfd):
    tree = make_tree([leaves(f"a{ch}b"), [(f"X{ch}+", 1, 0, [0])]])
    assert tree.to_xml() == ('<test>\n\t<chunk type="X\ufffd+">\n\t\t<chunk>\n\t\t\ta\ufffdb'
                             '\n\t\t</chunk>\n\t</chunk>\n</test>')
    capfd.readouterr()


# ---------------------------------------------------------------- leaf text

def chain(depth, leaf):
    """A tree of `depth` levels, one node each, every node above the leaf
    listing the one below: the leaf's tags stand behind `depth` tabs."""
    levels = [leaves(leaf)]
    for lvl in range(1, depth):
        levels.append([(f"L{lvl}", lvl, 0, [0])])
    return levels


def chain_xml(depth, lines):
    """The export of chain(depth, leaf) whose leaf text gives `lines`."""
    tabs = "\t" * depth
    body = "".join(f"\n{tabs}\t{line}" for line in lines)
    opening = "".join("\n" + "\t" * (lvl + 1) + f'<chunk type="L{depth - 1 - lvl}">' for lvl in range(depth - 1))
    closing = "".join("\n" + "\t" * (lvl + 1) + "</chunk>" for lvl in reversed(range(depth - 1)))
    return f"<test>{opening}\n{tabs}<chunk>{body}\n{tabs}</chunk>{closing}\n</test>"


def chain_lines(depth):
    return [at(lvl, 0) for lvl in reversed(range(depth))]


@pytest.mark.parametrize("depth", [1, 2, 4])
@pytest.mark.parametrize("text, written", [
    # each element around a line (the leaf's own and every ancestor, root
    # included) drops one carriage return before the line's end
    ("a\r\r\nb", lambda d: ["a" + "\r" * max(0, 2 - (d + 1)), "b"]),
    ("x\r\r\r\r\r\ny\r\r\r", lambda d: ["x" + "\r" * max(0, 5 - (d + 1)), "y" + "\r" * max(0, 3 - (d + 1))]),
    ("\r\r\r\r\n", lambda d: ["\r" * max(0, 4 - (d + 1))]),
    ("a\r\rb\r\n", lambda d: ["a\r\rb"]),
    ("\n\r\n", lambda d: ["", ""]),
    # text after the first CDATA section is escaped; the section is not
    ("<![CDATA[<]]>&", lambda d: ["<![CDATA[<]]>&amp;"]),
    ("'<![CDATA[a\r\nb]]>\"<![CDATA[>]]>", lambda d: ["&apos;<![CDATA[a", "b]]>&quot;&lt;![CDATA[&gt;]]&gt;"]),
])
def test_leaf_text_lines(capfd, depth, text, written):
    levels = chain(depth, text)
    xml, lines = export(capfd, make_tree(levels))
    assert xml == chain_xml(depth, written(depth))
    assert (xml, lines) == model.to_xml(levels)


# ---------------------------------------------------------------- deep trees

def test_chain_formula_matches_model():
    for depth in (1, 3, 30):
        assert model.to_xml(chain(depth, "a\r\nb")) == (chain_xml(depth, ["a", "b"]), chain_lines(depth))


def in_thread(fn, stack_size):
    """fn() in a new thread with the given native stack size: its result, or
    the exception it raised."""
    box = []
    previous = threading.stack_size(stack_size)
    try:
        worker = threading.Thread(target=lambda: box.append(run_catching(fn)))
        worker.start()
        worker.join()
    finally:
        threading.stack_size(previous)
    return box[0]


def run_catching(fn):
    try:
        return fn()
    except BaseException as exc:  # noqa: BLE001 - handed to the test
        return exc


SMALL_STACK = 256 * 1024
DEEP = 100_000


# Each element is indented by its depth, so the text of a chain that deep
# would be quadratic in size: the deep chains here end in a leaf that lists a
# child, and the walk fails at the bottom after writing every node line.
@pytest.mark.parametrize("where", ["main", "small-stack thread"])
def test_deep_failing_walk(capfd, where):
    levels = chain(DEEP, "x")
    levels[0] = [("x", 0, 0, [0])]
    tree = make_tree(levels)
    capfd.readouterr()
    result = run_catching(tree.to_xml) if where == "main" else in_thread(tree.to_xml, SMALL_STACK)
    out = capfd.readouterr()[0]
    assert isinstance(result, PanicException)
    assert result.args == (f"index out of bounds: the len is {DEEP} but the index is {U32_MAX}",)
    assert out.splitlines() == chain_lines(DEEP) + [at(U32_MAX, 0)]


@pytest.mark.parametrize("where", ["main", "small-stack thread"])
def test_deep_export(capfd, where):
    depth = 3_000
    tree = make_tree(chain(depth, "a\r\nb"))
    capfd.readouterr()
    result = tree.to_xml() if where == "main" else in_thread(tree.to_xml, SMALL_STACK)
    out = capfd.readouterr()[0]
    assert result == chain_xml(depth, ["a", "b"])
    assert out.splitlines() == chain_lines(depth)


MEMORY_CHILD = r"""
import os, resource, sys
import _vaskel_testing, vaskel
depth = int(sys.argv[1])
levels = [[("x", 0, 0, [0])]] + [[(f"L{l}", l, 0, [0])] for l in range(1, depth)]
tree = _vaskel_testing.make_tree(levels)
del levels
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    tree.to_xml()
except BaseException as exc:
    sys.stderr.write(type(exc).__name__ + "\n")
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
sys.stderr.write(f"{after - before}\n")
"""


def test_deep_failing_walk_memory():
    # Writing the elements of the walk before it fails would hold d * d / 2
    # bytes of indentation: about 5 GB here.
    done = run_python(MEMORY_CHILD, DEEP, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    lines = done.stderr.splitlines()
    assert lines[-2] == "PanicException"
    assert int(lines[-1]) < 64 * 1024  # kB


@pytest.mark.parametrize("depth", [63, 64, 65, 66, 200])
def test_failing_walks_around_the_shallow_bound(capfd, depth):
    # Shallow trees are checked while they are written, deeper ones first
    # checked, then written: the lines and the failure are the same.
    levels = chain(depth, "x")
    levels[0] = [("x", 0, 0, [0])]
    capfd.readouterr()
    with pytest.raises(PanicException) as info:
        make_tree(levels).to_xml()
    assert info.value.args == (f"index out of bounds: the len is {depth} but the index is {U32_MAX}",)
    assert capfd.readouterr()[0].splitlines() == chain_lines(depth) + [at(U32_MAX, 0)]
    xml, lines = export(capfd, make_tree(chain(depth, "y\r")))
    assert (xml, lines) == (chain_xml(depth, ["y"]), chain_lines(depth))


PEAK_CHILD = r"""
import gc, os, sys
import vaskel

def status(key):
    with open("/proc/self/status") as f:
        return int([l for l in f if l.startswith(key)][0].split()[1]) * 1024

first, count, width = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
tree = vaskel.Tree([first + "x" * width] + ["y" * width] * count)
gc.collect()
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
xml = tree.to_xml()
sys.stderr.write(f"{status('VmHWM') - before} {sys.getsizeof(xml)}\n")
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"), reason="needs Linux's /proc/self/clear_refs")
@pytest.mark.skipif(os.environ.get("VASKEL_SANITIZED") == "1",
                    reason="the sanitizers' allocator neither measures nor runs like the release one")
@pytest.mark.parametrize("first", ["a", "\u2019"], ids=["ascii", "two-byte-str"])
def test_export_peak_memory_stays_near_the_result(first):
    # A large export grows its one str in place: at its peak the call holds
    # little more than the result, neither a list of decoded pieces beside
    # it nor a second copy (a str of two bytes a character, once its first
    # character has come, stays one object that grows).
    done = run_python(PEAK_CHILD, first, 1500000, 100, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    peak, size = (int(x) for x in done.stderr.split())
    assert size > 150_000_000
    assert peak < 1.3 * size, (peak, size)
