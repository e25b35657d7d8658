"""to_dict, render_text and render_html on real trees."""

import json
import xml.etree.ElementTree as ET
from html.parser import HTMLParser

import pytest

import vaskel
from vaskel_tools import render_html, render_text, show, silence_trace, to_dict

RULES = {"le": "DET", "la": "DET", "chat": "NOM", "souris": "NOM", "DET+NOM": "GN", "DET+NOM+X": "_"}


def make(tokens, rules=RULES):
    with silence_trace():
        return vaskel.engine(tokens, rules)


def test_to_dict_is_plain_data_of_every_node():
    tree = make(vaskel.tokenize("le chat voit la souris."))
    d = to_dict(tree)
    assert json.loads(json.dumps(d)) == d
    assert [[n["data"] for n in level] for level in d["levels"]] == [[n.data for n in level] for level in tree.data]
    assert d["levels"][1] == [{"data": "DET+NOM", "level": 1, "index": 0, "children": [0]},
                              {"data": "DET+NOM", "level": 1, "index": 1, "children": [1]}]


def test_render_text_shows_levels_indexes_children_and_cuts():
    text = render_text(make(vaskel.tokenize("le chat voit la souris.")))
    assert "level 1 (2 nodes)\n  [0] DET+NOM  -> 0 le\n  [1] DET+NOM  -> 1 chat" in text
    assert text.index("\nlevel 2") < text.index("\nlevel 1") < text.index("\nlevel 0")
    big = render_text(make(["x"] * 500), max_nodes=10)
    assert "… 490 more nodes not shown" in big and big.count("\n  [") == 11
    odd = render_text(vaskel.Tree(["a\nb\x00", ""]))
    assert "[0] a\\x0ab\\x00" in odd and "[1] (empty)" in odd


def _parse_both(page):
    HTMLParser().feed(page)
    return ET.fromstring(page.split("\n", 1)[1])  # XHTML: the page minus its doctype


def test_render_html_is_well_formed_and_draws_every_node():
    tree = make(vaskel.tokenize("le chat voit la souris & <l'autre> \"x\"\x01."))
    root = _parse_both(render_html(tree, title="a <title> & more"))
    ns = {"h": "http://www.w3.org/1999/xhtml", "s": "http://www.w3.org/2000/svg"}
    groups = root.findall(".//s:svg/s:g", ns)
    assert len(groups) == sum(len(level) for level in tree.data)
    assert len(root.findall(".//s:line", ns)) == 2
    assert root.find(".//h:title", ns).text == "a <title> & more"
    page = render_html(tree)
    assert "<script" not in page and "src=" not in page and "href=" not in page
    assert page.count("http") == 2  # the two namespaces: nothing is fetched


def test_large_trees_are_cut_with_a_note():
    tree = make(["le", "chat"] * 3000)
    page = render_html(tree, max_nodes=500)
    root = _parse_both(page)
    assert "only 500 are drawn" in page or "are drawn" in page
    drawn = root.findall(".//{http://www.w3.org/2000/svg}g")
    assert len(drawn) <= 500


def test_show_displays_the_drawing_in_a_notebook(monkeypatch):
    import sys
    import types

    shown = []
    display = types.ModuleType("IPython.display")
    display.HTML = lambda text: ("HTML", text)
    display.display = shown.append
    monkeypatch.setitem(sys.modules, "IPython", types.ModuleType("IPython"))
    monkeypatch.setitem(sys.modules, "IPython.display", display)
    show(make(["le", "chat"]), title="t")
    [(kind, text)] = shown
    assert kind == "HTML" and text.startswith("<div class=\"vaskel-tree\"><style>") and "<svg" in text
    assert "body" not in text.split("</style>")[0]  # scoped: the notebook keeps its own styles
    ET.fromstring(text)


# --- hand-made trees (render_* take the result of to_dict too) -----------------------

SVG = "{http://www.w3.org/2000/svg}"


def dict_tree(*levels):
    """Levels of (data, children); level and index as recorded, unless given as a 4-tuple."""
    out = []
    for lvl, level in enumerate(levels):
        row = []
        for pos, node in enumerate(level):
            data, children, *recorded = node
            at_level, at_index = recorded or (lvl, pos)
            row.append({"data": data, "level": at_level, "index": at_index, "children": list(children)})
        out.append(row)
    return {"levels": out}


def drawing(page):
    root = _parse_both(page)
    boxes = []
    for group in root.iter(f"{SVG}g"):
        rect = group.find(f"{SVG}rect")
        texts = group.findall(f"{SVG}text")
        boxes.append({"kind": group.get("class").split()[1], "index": int(texts[0].text), "text": texts[1].text,
                      "x": float(rect.get("x")), "y": float(rect.get("y")), "w": float(rect.get("width")),
                      "h": float(rect.get("height")), "tip": group.find(f"{SVG}title").text})
    lines = [{k: float(line.get(k)) for k in ("x1", "y1", "x2", "y2")} | {"class": line.get("class")}
             for line in root.iter(f"{SVG}line")]
    return root, boxes, lines


TWO_LEVELS = dict_tree([("le", []), ("petit", []), ("chat", []), ("dort", [])],
                       [("DET+ADJ", [0]), ("NOM", [2]), ("V", [3])],
                       [("GN", [0])])


def test_the_top_level_is_drawn_at_the_top_and_links_join_the_boxes():
    _, boxes, lines = drawing(render_html(TWO_LEVELS))
    kinds = [b["kind"] for b in boxes]
    assert kinds == ["leaf"] * 4 + ["inner"] * 3 + ["top"]
    rows = [b["y"] for b in boxes]
    assert rows[0] == rows[3] > rows[4] == rows[6] > rows[7]  # leaves at the bottom
    by_level = [boxes[:4], boxes[4:7], boxes[7:]]
    # Each link goes from the middle of a node's bottom edge to the middle of
    # its child's top edge.
    expected = []
    for lvl, level in enumerate(TWO_LEVELS["levels"][1:], start=1):
        for j, node in enumerate(level):
            for child in node["children"]:
                top, bottom = by_level[lvl][j], by_level[lvl - 1][child]
                expected.append((top["x"] + top["w"] / 2, top["y"] + top["h"], bottom["x"] + bottom["w"] / 2,
                                 bottom["y"]))
    got = [(ln["x1"], ln["y1"], ln["x2"], ln["y2"]) for ln in lines]
    assert len(got) == len(expected)
    assert sum(got, ()) == pytest.approx(sum(expected, ()), abs=0.06) and {ln["class"] for ln in lines} == {"link"}
    # Boxes of one level stand side by side, left to right in index order.
    for level in by_level:
        assert [b["index"] for b in level] == list(range(len(level)))
        for left, right in zip(level, level[1:]):
            assert left["x"] + left["w"] <= right["x"]
    # A node above with its first child sits over it when it can.
    assert by_level[1][1]["x"] + by_level[1][1]["w"] / 2 == pytest.approx(
        by_level[0][2]["x"] + by_level[0][2]["w"] / 2, abs=0.06)


def test_boxes_of_a_level_never_overlap():
    # Wide nodes over narrow children cannot all sit over their child.
    tree = dict_tree([("a", []), ("b", []), ("c", [])],
                     [("a rather long text", [0]), ("another long one", [1]), ("x", [2])])
    _, boxes, _ = drawing(render_html(tree))
    above = boxes[3:]
    for left, right in zip(above, above[1:]):
        assert left["x"] + left["w"] <= right["x"]
    assert above[0]["x"] + above[0]["w"] / 2 == pytest.approx(boxes[0]["x"] + boxes[0]["w"] / 2, abs=0.06) \
        or above[0]["x"] == boxes[0]["x"]


def test_a_missing_child_is_drawn_as_a_broken_link():
    tree = dict_tree([("a", [])], [("x", [0, 5]), ("y", [-1])])
    _, boxes, lines = drawing(render_html(tree))
    assert [ln["class"] for ln in lines] == ["link", "link bad"]
    assert "child 5: no such node" in render_html(tree)
    text = render_text(tree)
    assert "[0] x  -> 0 a, 5 (no such node)" in text and "[1] y  -> -1 (no such node)" in text


def test_small_trees_have_no_note_and_cut_ones_do():
    assert "class=\"note\"" not in render_html(TWO_LEVELS)
    assert "class=\"note\"" not in render_html(TWO_LEVELS, max_nodes=8)
    page = render_html(TWO_LEVELS, max_nodes=7)
    assert "This tree has 8 nodes: only 7 are drawn" in page
    _, boxes, _ = drawing(page)
    assert len(boxes) == 7


def test_the_page_counts_and_titles():
    page = render_html(TWO_LEVELS, title='t "q" <&>')
    assert "3 levels, 8 nodes (level 0: 4, level 1: 3, level 2: 1)" in page
    root = _parse_both(page)
    assert root.find(f".//{SVG}svg").get("aria-label") == 't "q" <&>'
    assert root.find(".//{http://www.w3.org/1999/xhtml}h1").text == 't "q" <&>'
    _, boxes, _ = drawing(page)
    assert boxes[4]["tip"] == "level 1, index 0: DET+ADJ; children [0]" and boxes[0]["tip"] == "level 0, index 0: le"


@pytest.mark.parametrize("text, shown", [
    ("a\\x00", "a\\\\x00"),  # a backslash is doubled, so that it cannot pass for an escape
    ("a\x00", "a\\x00"),
    ("a b", "a b"),
    ("a\u00a0b\u2028c", "a\\xa0b\\u2028c"),
    ("\U0010fffe\u0378", "\\U0010fffe\\u0378"),
    ("é<&>", "é<&>"),
])
def test_node_texts_stay_on_one_line_and_unambiguous(text, shown):
    tree = dict_tree([(text, [])])
    assert f"  [0] {shown}" in render_text(tree).splitlines()
    _, boxes, _ = drawing(render_html(tree))
    assert boxes[0]["text"] == shown and boxes[0]["tip"] == f"level 0, index 0: {shown}"


@pytest.mark.parametrize("length, width", [(60, 60), (61, 60), (100, 60), (10, 5)])
def test_long_texts_are_shortened_to_the_width(length, width):
    row = render_text(dict_tree([("x" * length, [])]), width=width).splitlines()[-1]
    assert row == "  [0] " + ("x" * length if length <= width else "x" * (width - 1) + "…")


def test_render_text_cuts_and_notes():
    tree = dict_tree([(f"t{i}", []) for i in range(12)],
                     [("p", list(range(10))), ("q", list(range(8))), ("r", [], 3, 1), ("s", [], 1, 7)])
    text = render_text(tree, max_nodes=12)
    assert "more nodes not shown" not in text
    assert "[0] p  -> " + ", ".join(f"{i} t{i}" for i in range(8)) + ", … 2 more" in text
    assert "[1] q  -> " + ", ".join(f"{i} t{i}" for i in range(8)) + "\n" in text
    assert "[2] r  (recorded at level 3, index 1)" in text and "[3] s  (recorded at level 1, index 7)" in text
    cut = render_text(tree, max_nodes=11)
    assert "  … 1 more nodes not shown" in cut and "  [11]" not in cut
    assert text.splitlines()[0] == "2 levels: 12, 4 nodes (level 0 first)"
    assert render_text(dict_tree([("a", [])])).splitlines()[:3] == ["1 level: 1 nodes (level 0 first)", "",
                                                                   "level 0 (1 node)"]
