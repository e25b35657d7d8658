"""XML element writer: escaping, CDATA, the line rule and indentation, checked
against the model's plain writer, which builds every element's string and
re-cuts it in each ancestor."""

import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import model
from _vaskel_testing import split_cdata, xml_pretty
from model import CD_CLOSE, CD_OPEN


def E(name, attrs=(), kids=(), text=None):
    return (name, list(attrs), list(kids), text)


def pretty(element, newline="\n", indent="\t"):
    return xml_pretty(element, newline, indent)


# ---------------------------------------------------------------- fixed cases

@pytest.mark.parametrize("element, expected", [
    (E("test"), "<test/>"),
    (E("chunk", text="a<b"), "<chunk>\n\ta&lt;b\n</chunk>"),
    (E("chunk", text=""), "<chunk>\n</chunk>"),
    (E("chunk", [("type", "NP")], [E("chunk", text="x")]),
     '<chunk type="NP">\n\t<chunk>\n\t\tx\n\t</chunk>\n</chunk>'),
    (E("t", text="x <![CDATA[a<b]]> & y"), "<t>\n\tx <![CDATA[a<b]]> &amp; y\n</t>"),
    # attributes only: short form right after the last closing quote
    (E("e", [("a", "1"), ("a", "2"), ("b", "")]), '<e a="1" a="2" b=""/>'),
    # names are verbatim, values escaped so that a parser reads them back
    (E("a b<", [("x&", "&<>'\"\n\r\t")]), '<a b< x&="&amp;&lt;&gt;&apos;&quot;&#10;&#13;&#9;"/>'),
    (E(""), "</>"),
    (E("e", text="&lt; ' \" >"), "<e>\n\t&amp;lt; &apos; &quot; &gt;\n</e>"),
    (E("e", text="é€😀"), "<e>\n\té€😀\n</e>"),
    # children come before the text, each followed by the newline
    (E("p", kids=[E("a"), E("b", text="")], text="t"), "<p>\n\t<a/>\n\t<b>\n\t</b>\n\tt\n</p>"),
    (E("p", kids=[E("a", [("k", "a\nb")])]), '<p>\n\t<a k="a&#10;b"/>\n</p>'),
])
def test_fixed_outputs(element, expected):
    assert pretty(element) == expected
    assert model.pretty(element, "\n", "\t") == expected


@pytest.mark.parametrize("text, lines", [
    ("a\r\nb", ["a", "b"]),          # CR LF line ends lose the CR
    ("a\r", ["a"]),                  # lone CR at the end of the last line
    ("a\r\r", ["a\r"]),              # only one CR is removed
    ("\r", [""]),
    ("a\rb", ["a\rb"]),              # a CR inside a line stays
    ("a\n", ["a"]),                  # a final LF adds no empty line
    ("\n", [""]),
    ("a\n\nb", ["a", "", "b"]),      # two LFs in a row: a line holding only the indent
    ("a\n\n", ["a", ""]),
    ("", []),                        # empty content: no line at all
    ("\r\n\r\n", ["", ""]),
])
def test_line_rule(text, lines):
    expected = "<e>" + "".join("\n\t" + line for line in lines) + "\n</e>"
    assert pretty(E("e", text=text)) == expected


@pytest.mark.parametrize("depth", [0, 1, 2, 3])
@pytest.mark.parametrize("crs", [1, 2, 3, 5])
def test_trailing_crs_removed_once_per_enclosing_level(depth, crs):
    element = E("e", text="x" + "\r" * crs)
    for _ in range(depth):
        element = E("e", kids=[element])
    out = pretty(element)
    # The text's line is cut by its own element and by each of its ancestors.
    left = max(0, crs - (depth + 1))
    assert "\t" * (depth + 1) + "x" + "\r" * left + "\n" in out
    assert out.count("\r") == left
    assert out == model.pretty(element, "\n", "\t")


def test_multiline_text_reindented_at_every_level():
    inner = E("c", text="l1\nl2\r\n\nl4")
    out = pretty(E("a", kids=[E("b", kids=[inner])]))
    assert out == ("<a>\n\t<b>\n\t\t<c>\n\t\t\tl1\n\t\t\tl2\n\t\t\t\n\t\t\tl4\n"
                   "\t\t</c>\n\t</b>\n</a>")


@pytest.mark.parametrize("text, body", [
    ("<![CDATA[<&]]><![CDATA[<]]>", "<![CDATA[<&]]>&lt;![CDATA[&lt;]]&gt;"),
    ("<![CDATA[a<b", "&lt;![CDATA[a&lt;b"),
    ("]]><![CDATA[<]]>", "]]&gt;<![CDATA[<]]>"),
    ("a]]>b", "a]]&gt;b"),
    ("<![CDATA[]]>'", "<![CDATA[]]>&apos;"),
    ("x<![CDATA[a\nb]]>", "x<![CDATA[a\n\tb]]>"),  # a section is still cut into lines
])
def test_cdata_in_text(text, body):
    assert pretty(E("t", text=text)) == "<t>\n\t" + body + "\n</t>"


@pytest.mark.parametrize("text, expected", [
    ("", ("", None)),
    ("abc", ("abc", None)),
    ("a<![CDATA[x]]>b", ("a", ("<![CDATA[x]]>", "b"))),
    ("<![CDATA[]]>", ("", ("<![CDATA[]]>", ""))),
    ("a<![CDATA[x", ("a<![CDATA[x", None)),
    ("a<![CDATA[x]]", ("a<![CDATA[x]]", None)),
    ("]]>a<![CDATA[x", ("]]>a<![CDATA[x", None)),
    ("]]><![CDATA[x]]>y", ("]]>", ("<![CDATA[x]]>", "y"))),
    ("<![CDATA[a]]>]]>", ("", ("<![CDATA[a]]>", "]]>"))),
    ("<![CDATA[<![CDATA[a]]>b]]>", ("", ("<![CDATA[<![CDATA[a]]>", "b]]>"))),
    ("<![CDATA[]]]>z", ("", ("<![CDATA[]]]>", "z"))),
    ("<![CDATA[<![CDATA[", ("<![CDATA[<![CDATA[", None)),
    ("é<![CDATA[ü]]>ö", ("é", ("<![CDATA[ü]]>", "ö"))),
])
def test_split_cdata(text, expected):
    assert split_cdata(text) == expected
    assert model.split_cdata(text) == expected


def test_newline_without_line_feed_runs_children_together():
    element = E("a", kids=[E("b", text="x"), E("c")], text="y\nz")
    assert pretty(element, "", "  ") == "<a>  <b>  x</b><c/>y  z</a>"


SAMPLE = E("r", [("k", "v\"1\n")], [
    E("a", text="t1\r\nt2\n"),
    E("b", kids=[E("c", [("x", "")]), E("d", text="")], text="<![CDATA[\n]]>&\r"),
    E("e\nf"),
], text="\nend\r")


@pytest.mark.parametrize("newline", ["\n", "", "\r\n", "x\ny", "\n\n", "\r"])
@pytest.mark.parametrize("indent", ["\t", "", "  ", "\r", "\n"])
def test_newline_and_indent_match_reference(newline, indent):
    assert pretty(SAMPLE, newline, indent) == model.pretty(SAMPLE, newline, indent)


def test_deep_nesting_tabs():
    depth = 1000
    element = E("e", text="x")
    for _ in range(depth):
        element = E("e", kids=[element])
    expected = "\n".join(["\t" * k + "<e>" for k in range(depth + 1)] + ["\t" * (depth + 1) + "x"]
                         + ["\t" * k + "</e>" for k in reversed(range(depth + 1))])
    assert pretty(element) == expected


def nested(depth, text):
    element = E("e", text=text)
    for _ in range(depth):
        element = E("e", kids=[element])
    return element


# Layouts without line breaks, whose text stays linear in the depth, so the
# nesting can be deep.
@pytest.mark.parametrize("newline, indent, expected", [
    ("", "", lambda d: "<e>" * (d + 1) + "x" + "</e>" * (d + 1)),
    # a child's output, then the newline that follows it in its parent's
    # content, then the newline before the parent's closing tag
    (" ", "", lambda d: "<e> " * (d + 1) + "x </e>" + "  </e>" * d),
])
@pytest.mark.parametrize("stack", [None, 256 * 1024], ids=["main", "small-stack-thread"])
def test_deep_nesting(newline, indent, expected, stack):
    depth = 100_000
    element = nested(depth, "x")
    if stack is None:
        out = pretty(element, newline, indent)
    else:
        box = []
        previous = threading.stack_size(stack)
        try:
            worker = threading.Thread(target=lambda: box.append(pretty(element, newline, indent)))
            worker.start()
            worker.join()
        finally:
            threading.stack_size(previous)
        out = box[0]
    assert out == expected(depth)


@pytest.mark.parametrize("newline, indent", [("\n", ""), ("\r\n", ""), ("\n", "\t")])
def test_nesting_with_line_breaks(newline, indent):
    # Each line break travels through every enclosing element: quadratic
    # work, so a few thousand levels.
    depth = 2_000
    lines = ["<e>"] * (depth + 1) + ["x"] + ["</e>"] * (depth + 1)
    indents = list(range(depth + 1)) + [depth + 1] + list(reversed(range(depth + 1)))
    out = pretty(nested(depth, "x\r"), newline, indent)
    assert out == newline.join(indent * k + line for k, line in zip(indents, lines))


def ladder(depth):
    """Every level holds a leaf with text, the next level, an empty leaf."""
    element = E("e", kids=[E("a", text="x"), E("b", text="")])
    for _ in range(depth):
        element = E("e", kids=[E("a", text="x"), element, E("b", text="")])
    return element


def ladder_lines(depth, indent):
    down = [line for j in range(depth + 1)
            for line in (indent * j + "<e>", indent * (j + 1) + "<a>", indent * (j + 2) + "x", indent * (j + 1) + "</a>")]
    up = [line for j in reversed(range(depth + 1))
          for line in (indent * (j + 1) + "<b>", indent * (j + 1) + "</b>", indent * j + "</e>")]
    return down + up


# The writer keeps the line header of each depth once written, within a
# bound on depths and bytes, and writes leaves in one step where it can:
# documents that cross those bounds, a depth whose header is first written
# by a leaf, and leaves before and after nested elements, lay out the same.
@pytest.mark.parametrize("depth, indent", [
    (3, "\t"),
    (4094, "\t"), (4095, "\t"), (4096, "\t"), (4100, "\t"),
    (60, "." * 1000),   # the headers outgrow the bytes kept after some 45 levels
    (30, "\t "),
])
def test_ladder_across_kept_headers(depth, indent):
    assert pretty(ladder(depth), "\n", indent) == "\n".join(ladder_lines(depth, indent))


# ---------------------------------------------------------------- property

PIECES = ["a", "é", " ", "\n", "\r", "\t", "&", "<", ">", '"', "'", CD_OPEN, CD_CLOSE, "&lt;"]
texts = st.lists(st.sampled_from(PIECES), max_size=8).map("".join)
names = st.text(alphabet="ab\n\r<", max_size=3)
attrs = st.lists(st.tuples(names, texts), max_size=2)
elements = st.recursive(
    st.tuples(names, attrs, st.just([]), st.none() | texts),
    lambda kids: st.tuples(names, attrs, st.lists(kids, max_size=3), st.none() | texts),
    max_leaves=12,
)
separators = st.text(alphabet="\n\r\t x", max_size=3)


@settings(max_examples=400, deadline=None)
@given(elements, separators, separators)
def test_matches_reference(element, newline, indent):
    assert xml_pretty(element, newline, indent) == model.pretty(element, newline, indent)


# Names with line breaks under the usual layout: the writer's shortcuts give
# way to its line cutters in the middle of an element tree.
@settings(max_examples=300, deadline=None)
@given(elements)
def test_usual_layout_matches_reference(element):
    assert xml_pretty(element, "\n", "\t") == model.pretty(element, "\n", "\t")


@given(texts)
def test_split_cdata_matches_reference(text):
    assert split_cdata(text) == model.split_cdata(text)
